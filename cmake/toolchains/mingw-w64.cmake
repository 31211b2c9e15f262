# SPDX-License-Identifier: MIT
# Shared by the two Windows toolchain files, which set XORCODEC_MINGW_ARCH (i686 or x86_64) and
# include this one.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${XORCODEC_MINGW_ARCH})
# The posix thread model: GoogleTest needs std::mutex.
set(CMAKE_C_COMPILER ${XORCODEC_MINGW_ARCH}-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER ${XORCODEC_MINGW_ARCH}-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER ${XORCODEC_MINGW_ARCH}-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${XORCODEC_MINGW_ARCH}-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The programs carry their C++ runtime, so that they run anywhere without its DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Where wine is installed, CTest runs the programs under it: wine64 (Debian's wine64) for 64-bit
# programs, the 32-bit loader (Debian's wine32:i386) for 32-bit ones.
if(XORCODEC_MINGW_ARCH STREQUAL "x86_64")
  find_program(XORCODEC_WINE wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
else()
  find_program(XORCODEC_WINE wine PATHS /usr/lib/wine NO_DEFAULT_PATH)
endif()
if(XORCODEC_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${XORCODEC_WINE})
endif()
