// SPDX-License-Identifier: MIT
// What the read-out holds on Windows, for the replace step too, which takes a new file's content
// from it (-o).

#ifndef XORSCRAMBLE_READ_OUT_WINDOWS_H_
#define XORSCRAMBLE_READ_OUT_WINDOWS_H_

#include <windows.h>

#include <cstdint>

#include "read_out.h"

struct ReadOut::Impl {
  HANDLE file = INVALID_HANDLE_VALUE;
  BY_HANDLE_FILE_INFORMATION info{};
  bool sized = false;  // a file on a disk, of `size` bytes; else standard input
  std::uint64_t size = 0;

  void Close() {
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    file = INVALID_HANDLE_VALUE;
  }
};

#endif  // XORSCRAMBLE_READ_OUT_WINDOWS_H_
