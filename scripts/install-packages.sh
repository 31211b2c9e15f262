#!/usr/bin/env bash
# Installs those of the given Debian packages that are missing, through sudo when not root.
# A package of another architecture (name:i386) has that architecture added first, so that the
# one `apt-get update` sees it.
set -euo pipefail
missing=()
for package in "$@"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' || missing+=("$package")
done
((${#missing[@]} > 0)) || exit 0
sudo=()
[[ $(id -u) -eq 0 ]] || sudo=(sudo)
for package in "${missing[@]}"; do
  arch=${package##*:}
  if [[ $package == *:* ]] && ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
    "${sudo[@]}" dpkg --add-architecture "$arch"
  fi
done
"${sudo[@]}" apt-get update
"${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
