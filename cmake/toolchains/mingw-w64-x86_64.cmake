# Cross-builds for 64-bit Windows with Debian's mingw-w64 compilers:
#   cmake -S . -B build-win-x86_64 --toolchain cmake/toolchains/mingw-w64-x86_64.cmake -DBUILD_TESTING=OFF
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
# The posix thread model: GoogleTest needs std::mutex.
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The programs carry their C++ runtime, so that they run anywhere without its DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
# Where wine64 is installed, CTest runs the programs under it.
find_program(XORCODEC_WINE64 wine64 PATHS /usr/lib/wine)
if(XORCODEC_WINE64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${XORCODEC_WINE64})
endif()
