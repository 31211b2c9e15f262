# SPDX-License-Identifier: MIT
# Cross-builds for 32-bit Windows with Debian's mingw-w64 compilers:
#   cmake -S . -B build-win32 --toolchain cmake/toolchains/mingw-w64-i686.cmake -DBUILD_TESTING=OFF
set(XORCODEC_MINGW_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
