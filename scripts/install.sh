#!/usr/bin/env bash
# Builds xorscramble and the XorCodec library without the test stack and installs them under
# PREFIX (default /usr/local): the command, its man page, the library, its header, the CMake
# package and the pkg-config file. Installs first what is missing for that and for using what was
# installed (cmake, make, g++, man-db, pkgconf), from Debian's packages. Needs apt-get, and root or
# sudo for what is missing and for a PREFIX that the user may not write.
#
# usage: scripts/install.sh [PREFIX]
set -euo pipefail
cd "$(dirname "$0")/.."
prefix=${1:-/usr/local}

scripts/install-packages.sh cmake make g++ man-db pkgconf
cmake -S . -B build-install -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
  -DBUILD_TESTING=OFF -DXORCODEC_BUILD_BENCH=OFF -DXORCODEC_BUILD_EXAMPLES=OFF
cmake --build build-install -j "$(nproc)"
# sudo only where the user may not write: the nearest existing folder of PREFIX says.
existing=$prefix
while [[ ! -e $existing ]]; do existing=$(dirname "$existing"); done
sudo=()
[[ -w $existing ]] || sudo=(sudo)
"${sudo[@]}" cmake --install build-install
# What the install wrote in the build tree (its manifest, the .pc file) stays the user's.
((${#sudo[@]} == 0)) || sudo chown -R "$(id -u):$(id -g)" build-install
# man finds the new page at once, not only after the next scheduled index update.
command -v mandb >/dev/null && { "${sudo[@]}" mandb -q || true; }
echo "installed $prefix/bin/xorscramble and the XorCodec library under $prefix; see 'man xorscramble'"
