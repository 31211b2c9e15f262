# Cross-builds for 64-bit Windows with Debian's mingw-w64 compilers:
#   cmake -S . -B build-win64 --toolchain cmake/toolchains/mingw-w64-x86_64.cmake
set(XORCODEC_MINGW_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
# Where wine64 is installed, CTest runs the programs under it.
find_program(XORCODEC_WINE64 wine64 PATHS /usr/lib/wine)
if(XORCODEC_WINE64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${XORCODEC_WINE64})
endif()
