#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the Debian package of the command and the library, build-deb/xorscramble_VERSION_ARCH.deb,
# which `apt-get install ./build-deb/xorscramble_*.deb` installs. Installs first what it needs
# (cmake, make, g++, and dpkg-dev and file to work out the package's dependencies).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-packages.sh cmake make g++ dpkg-dev file
# The packaged command links the system's C library, as Debian's packages do, so that the C
# library's security updates reach it.
cmake -S . -B build-deb -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DBUILD_TESTING=OFF -DXORCODEC_BUILD_BENCH=OFF -DXORCODEC_BUILD_EXAMPLES=OFF \
  -DXORSCRAMBLE_STATIC=OFF
cmake --build build-deb -j "$(nproc)"
(cd build-deb && cpack -G DEB)
