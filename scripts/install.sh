#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds xorscramble and the XorCodec library without the test stack and installs them under
# PREFIX (default /usr/local; a relative PREFIX is taken from where this is run): the command, its
# man page, the library, its header, the CMake package and the pkg-config file, and the list of
# what was installed (and the folders made for it, PREFIX and those above it included),
# PREFIX/share/xorscramble/install_manifest.txt, which scripts/uninstall.sh PREFIX follows to
# remove it all again. Checks first that it may write PREFIX, then installs what is missing for
# the build and for using what was installed (cmake, make, g++, man-db, pkgconf), from Debian's
# packages. Needs apt-get, and root or sudo rights for what is missing and for a PREFIX that the
# user may not write. Where PREFIX is off the places that the shell, man, pkg-config and CMake
# search, the closing lines say what to set.
#
# usage: scripts/install.sh [PREFIX]
set -euo pipefail
prefix=$(realpath -m -- "${1:-/usr/local}")
cd "$(dirname "$0")/.."
# shellcheck source=scripts/as-root.sh
source scripts/as-root.sh

# Whether PREFIX may be written is settled before anything is built: the nearest existing folder
# of PREFIX says, and sudo is used only where the user may not write it. The folders above it
# that do not exist yet are the install's to make, and the uninstall's to remove.
existing=$prefix
above=()
while [[ ! -e $existing ]]; do
  above+=("$existing/")
  existing=$(dirname "$existing")
done
sudo=()
if [[ ! -w $existing ]] && ! as_root; then
  echo "install: $prefix is not writable: run this as root or as a user with sudo rights" >&2
  exit 1
fi

scripts/install-packages.sh cmake make g++ man-db pkgconf
build="build-install"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
  -DBUILD_TESTING=OFF -DXORCODEC_BUILD_BENCH=OFF -DXORCODEC_BUILD_EXAMPLES=OFF
cmake --build "$build" -j "$(nproc)"
# The folders that the install makes (none of what it installs lies deeper than this), so that
# uninstalling removes them again, and only them.
folders() { [[ ! -d $prefix ]] || find "$prefix" -maxdepth 3 -type d | sort; }
before=$(folders)
manifest=$prefix/share/xorscramble/install_manifest.txt
# Installed over an earlier install, the folders that one made are still the project's.
made_before=$([[ ! -f $manifest ]] || grep '/$' "$manifest" || true)
"${sudo[@]}" cmake --install "$build"
"${sudo[@]}" mkdir -p "$(dirname "$manifest")"
# What the install wrote in the build tree (its manifest, the .pc file) stays the user's.
((${#sudo[@]} == 0)) || sudo chown -R "$(id -u):$(id -g)" "$build"
{
  sed '$a\' "$build/install_manifest.txt"
  echo "$manifest"
  {
    comm -13 <(echo "$before") <(folders) | sed 's|$|/|'
    printf '%s\n' "${above[@]}" "$made_before"
  } | sed '/^$/d' | sort -u
} | "${sudo[@]}" tee "$manifest" >/dev/null
# man finds the new page at once, not only after the next scheduled index update.
command -v mandb >/dev/null && { "${sudo[@]}" mandb -q || true; }

printf -v uninstall '%q %q' "$PWD/scripts/uninstall.sh" "$prefix"
echo "installed $prefix/bin/xorscramble and the XorCodec library under $prefix; $uninstall" \
  "removes them"
# What the shell, man, pkg-config and CMake need to be told to find what is there.
tell=()
[[ :$PATH: == *:$prefix/bin:* ]] || tell+=("export PATH=\"$prefix/bin:\$PATH\"")
[[ $(man -w xorscramble 2>/dev/null) == "$prefix"/* ]] ||
  tell+=("export MANPATH=\"$prefix/share/man:\$MANPATH\"")
pc_dir=$(dirname "$(grep '/xorcodec\.pc$' "$manifest")")
[[ $(pkg-config --variable=prefix xorcodec 2>/dev/null) == "$prefix" ]] ||
  tell+=("export PKG_CONFIG_PATH=\"$pc_dir\${PKG_CONFIG_PATH:+:\$PKG_CONFIG_PATH}\"")
# CMake looks in the system's prefixes and beside every bin folder on PATH.
case $prefix in
  /usr/local | /usr | /) ;;
  *) [[ :$PATH: == *:$prefix/bin:* ]] ||
    tell+=("export CMAKE_PREFIX_PATH=\"$prefix\${CMAKE_PREFIX_PATH:+:\$CMAKE_PREFIX_PATH}\"") ;;
esac
if ((${#tell[@]} == 0)); then
  echo "see 'man xorscramble'"
else
  echo "$prefix is off the places searched; to use what is there, first run:"
  printf '  %s\n' "${tell[@]}"
  echo "(they last for this shell; to keep them for every login, add the same lines to ~/.profile)"
fi
