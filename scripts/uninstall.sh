#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Removes what scripts/install.sh PREFIX installed under PREFIX (default /usr/local; a relative
# PREFIX is taken from where this is run), as the list it left there says
# (PREFIX/share/xorscramble/install_manifest.txt): those files and nothing else, then the folders
# the install made, PREFIX and those above it included, where they are left empty. Needs root or
# sudo rights for a PREFIX that the user may not write.
#
# usage: scripts/uninstall.sh [PREFIX]
set -euo pipefail
prefix=$(realpath -m -- "${1:-/usr/local}")
manifest=$prefix/share/xorscramble/install_manifest.txt
if [[ ! -f $manifest ]]; then
  echo "uninstall: scripts/install.sh installed nothing under $prefix (no $manifest)" >&2
  exit 1
fi
# shellcheck source=scripts/as-root.sh
source "$(dirname "$0")/as-root.sh"
sudo=()
if [[ ! -w $(dirname "$manifest") ]] && ! as_root; then
  echo "uninstall: $prefix is not writable: run this as root or as a user with sudo rights" >&2
  exit 1
fi

files=()
folders=()
while IFS= read -r line; do
  [[ -n $line ]] || continue
  # Only files under PREFIX, and folders under it or above it (those the install made for it),
  # however the list came to say otherwise.
  if [[ $line == */../* || $line == */./* ]]; then
    echo "uninstall: not removing $line: it is not a plain path" >&2
  elif [[ $line == */ && ($line == "$prefix"/* || $prefix/ == "$line"*) ]]; then
    folders+=("$line")
  elif [[ $line == "$prefix"/* && $line != */ ]]; then
    files+=("$line")
  else
    echo "uninstall: not removing $line: it is not under $prefix" >&2
  fi
done <"$manifest"
"${sudo[@]}" rm -f -- "${files[@]}"
# The folders the install made, deepest first, where nothing else has come to lie in them.
mapfile -t folders < <(printf '%s\n' "${folders[@]}" | sort -r)
for folder in "${folders[@]}"; do
  [[ -z $folder ]] || "${sudo[@]}" rmdir --ignore-fail-on-non-empty -- "$folder"
done
command -v mandb >/dev/null && { "${sudo[@]}" mandb -q || true; }
echo "removed xorscramble and the XorCodec library from $prefix (${#files[@]} files)"
