// SPDX-License-Identifier: MIT
// What the read-out holds on Windows, for the replace step too, which takes a new file's content
// from it (-o).

#ifndef XORSCRAMBLE_WINDOWS_READ_OUT_IMPL_H_
#define XORSCRAMBLE_WINDOWS_READ_OUT_IMPL_H_

#include <windows.h>

#include <cstdint>

#include "open_file.h"
#include "read_out.h"

struct ReadOut::Impl {
  UniqueHandle file;
  BY_HANDLE_FILE_INFORMATION info{};
  bool sized = false;  // a file on a disk, of `size` bytes; else standard input
  std::uint64_t size = 0;
};

#endif  // XORSCRAMBLE_WINDOWS_READ_OUT_IMPL_H_
