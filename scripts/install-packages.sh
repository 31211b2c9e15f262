#!/usr/bin/env bash
# Installs those of the given Debian packages that are missing, through sudo when not root, after
# one `apt-get update`.
#
# usage: scripts/install-packages.sh PACKAGE... [--optional PACKAGE...]
#
# The packages after --optional may fail to install (a mirror in the middle of a sync, versions
# that disagree between architectures): a line then says so, and the run goes on without them. A
# package of another architecture (name:i386) has that architecture added to dpkg first, so that
# the one update sees it, and removed again if none of its packages could be installed.
# Exits non-zero, with a line that says why, when a required package cannot be installed.
set -euo pipefail
required=()
optional=()
list=required
for package in "$@"; do
  if [[ $package == --optional ]]; then
    list=optional
    continue
  fi
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' && continue
  if [[ $list == required ]]; then required+=("$package"); else optional+=("$package"); fi
done
((${#required[@]} + ${#optional[@]} > 0)) || exit 0

sudo=()
if [[ $(id -u) -ne 0 ]]; then
  if ! command -v sudo >/dev/null; then
    missing="${required[*]} ${optional[*]}"
    echo "install-packages: ${missing# } missing: run this as root, or install sudo, or have root" \
      "run: apt-get install ${missing# }" >&2
    [[ ${#required[@]} -eq 0 ]] && exit 0
    exit 1
  fi
  sudo=(sudo)
fi

added=()
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
  exit 1
fi
((${#optional[@]} > 0)) || exit 0
echo "install-packages: installing the optional ${optional[*]}"
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! "${install[@]}" "${optional[@]}" >"$log" 2>&1; then
  # apt's last error says why, in place of its page of unmet dependencies.
  why=$(grep '^E: ' "$log" | tail -n 1)
  echo "install-packages: could not install the optional ${optional[*]} (${why:-see apt-get}):" \
    "going on without" >&2
  for arch in "${added[@]}"; do
    if ! dpkg-query -W -f='${Architecture}\n' 2>/dev/null | grep -qx "$arch"; then
      "${sudo[@]}" dpkg --remove-architecture "$arch"
    fi
  done
fi
exit 0
