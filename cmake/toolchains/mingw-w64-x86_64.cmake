# SPDX-License-Identifier: MIT
# Cross-builds for 64-bit Windows with Debian's mingw-w64 compilers:
#   cmake -S . -B build-win64 --toolchain cmake/toolchains/mingw-w64-x86_64.cmake
set(XORCODEC_MINGW_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
