#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs those of the given Debian packages that are missing, through sudo when not root, after
# one `apt-get update`. Where this user cannot install (no sudo, or sudo that refuses), a line
# gives what root can paste to install them instead.
#
# usage: scripts/install-packages.sh PACKAGE... [--optional PACKAGE... [--check COMMAND...]]
#
# The packages after --optional may fail to install (a mirror in the middle of a sync, versions
# that disagree between architectures): a line then says so, and the run goes on without them.
# Where COMMAND is given and fails once they are installed, they are of no use on this machine:
# they are purged again, with every package they brought. A package of another architecture
# (name:i386) has that architecture added to dpkg first, so that the one update sees it, and
# taken away again where none of its packages stayed. The machine is left with the packages asked
# for, or as it was. Exits non-zero, with a line that says why, when a required package cannot be
# installed.
set -euo pipefail
required=()
optional=()
list=required
check=()
while (($# > 0)); do
  package=$1
  shift
  if [[ $package == --optional ]]; then
    list=optional
    continue
  fi
  if [[ $package == --check ]]; then
    check=("$@")
    break
  fi
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' && continue
  if [[ $list == required ]]; then required+=("$package"); else optional+=("$package"); fi
done
((${#required[@]} + ${#optional[@]} > 0)) || exit 0

# What to paste as root where this user cannot install: an architecture that a package needs is
# added first, and the index updated, as on a fresh system.
# The optional packages are installed apart, so that one that cannot be had (an i386 index out of
# step) keeps none of the others from being installed.
paste_line() {
  local arches
  arches=$(printf '%s\n' "${required[@]}" "${optional[@]}" | sed -n 's/^.*:\(.*\)$/\1/p' | sort -u)
  for arch in $arches; do printf 'dpkg --add-architecture %s && ' "$arch"; done
  printf 'apt-get update'
  if ((${#required[@]} > 0)); then
    printf ' && apt-get install -y --no-install-recommends %s' "${required[*]}"
  fi
  if ((${#optional[@]} > 0)); then
    printf '; apt-get install -y --no-install-recommends %s' "${optional[*]}"
  fi
  echo
}
# shellcheck source=scripts/as-root.sh
source "$(dirname "$0")/as-root.sh"
# One line says all that is missing, the optional packages too.
if ! as_root; then
  if ((${#required[@]} > 0)); then
    echo "install-packages: missing ${required[*]}${optional[*]:+ (and the optional ${optional[*]})}:" \
      "run this as root or as a user with sudo rights, or have root run: $(paste_line)" >&2
    exit 1
  fi
  echo "install-packages: going on without the optional ${optional[*]}; to have it, have root" \
    "run: $(paste_line)" >&2
  exit 0
fi

# Installed packages, one name (with its architecture where foreign) a line.
installed() {
  dpkg-query -W -f='${db:Status-Status} ${binary:Package}\n' | sed -n 's/^installed //p' | sort
}
# The architectures added here are taken away again where no package of theirs stayed.
added=()
take_back_architectures() {
  for arch in "${added[@]}"; do
    if ! dpkg-query -W -f='${db:Status-Status} ${Architecture}\n' | grep -qx "installed $arch"; then
      "${sudo[@]}" dpkg --remove-architecture "$arch"
      echo "install-packages: took the $arch architecture away again"
    fi
  done
}
for package in "${optional[@]}" "${required[@]}"; do
  [[ $package == *:* ]] || continue
  arch=${package##*:}
  if ! dpkg --print-foreign-architectures | grep -qx "$arch" && [[ " ${added[*]} " != *" $arch "* ]]; then
    "${sudo[@]}" dpkg --add-architecture "$arch"
    added+=("$arch")
  fi
done
# A mirror in the middle of a sync can fail one index (say, security updates for i386) while the
# rest arrive: go on with what arrived, and let the install say whether that is enough.
"${sudo[@]}" apt-get update || echo "install-packages: some package indexes failed; going on with the rest" >&2
install=("${sudo[@]}" apt-get install -y --no-install-recommends)
if ((${#required[@]} > 0)) && ! "${install[@]}" "${required[@]}"; then
  echo "install-packages: could not install ${required[*]}" >&2
  take_back_architectures
  exit 1
fi
((${#optional[@]} > 0)) || exit 0
echo "install-packages: installing the optional ${optional[*]}"
log=$(mktemp)
trap 'rm -f "$log"' EXIT
before=$(installed)
if ! "${install[@]}" "${optional[@]}" >"$log" 2>&1; then
  # apt's last error says why, in place of its page of unmet dependencies.
  why=$(grep '^E: ' "$log" | tail -n 1)
  echo "install-packages: could not install the optional ${optional[*]} (${why:-see apt-get}):" \
    "going on without" >&2
  take_back_architectures
elif ((${#check[@]} > 0)) && ! "${check[@]}" >"$log" 2>&1; then
  # Installed, but of no use here: what the install added goes again, and the machine is as it was.
  why=$(tail -n 1 "$log")
  mapfile -t brought < <(comm -13 <(echo "$before") <(installed))
  echo "install-packages: the optional ${optional[*]} installed, but '${check[*]}' fails here" \
    "(${why##*: }): removing it again, with the ${#brought[@]} packages it brought" >&2
  # apt counts a foreign architecture's C library as essential; these were not here before the
  # install, so nothing that was here depends on them.
  "${sudo[@]}" apt-get purge -y -q --allow-remove-essential "${brought[@]}" >"$log" 2>&1 || {
    cat "$log" >&2
    exit 1
  }
  take_back_architectures
fi
exit 0
