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
# A mirror in the middle of a sync can fail one index (say, security updates for i386) while the
# rest arrive: go on with what arrived, and let the install say whether that is enough.
"${sudo[@]}" apt-get update || echo "install-packages: some package indexes failed; going on with the rest" >&2
install=("${sudo[@]}" apt-get install -y --no-install-recommends)
"${install[@]}" "${missing[@]}" && exit 0
# Without one architecture's updates index, a library that every architecture must have at the same
# version (libssl3 and libssl3:i386) has no version common to both. The release's own suite has
# every architecture at the same versions: prefer it, then.
codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
[[ -n $codename ]] || exit 1
echo "install-packages: trying again with $codename's own versions preferred" >&2
"${install[@]}" -t "$codename" "${missing[@]}"
