# SPDX-License-Identifier: MIT
# Cross-builds for 32-bit x86 Linux with Debian's g++-i686-linux-gnu (an amd64 package with an i386
# C library of its own), statically linked, and runs the programs under Debian's qemu-i386-static,
# named to CTest as the emulator, so that no registration of the emulator with the kernel (binfmt)
# is needed or touched:
#   cmake -S . -B build-i686 --toolchain cmake/toolchains/i686-linux-gnu.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER i686-linux-gnu-g++)
set(CMAKE_FIND_ROOT_PATH /usr/i686-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Static: the programs need no i386 libraries on the machine that runs them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

find_program(XORCODEC_QEMU_I386 qemu-i386-static)
if(XORCODEC_QEMU_I386)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${XORCODEC_QEMU_I386})
endif()
