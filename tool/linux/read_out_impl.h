// SPDX-License-Identifier: MIT
// What the read-out holds on Linux, for the replace step too, which takes a new file's content
// from it (-o).

#ifndef XORSCRAMBLE_LINUX_READ_OUT_IMPL_H_
#define XORSCRAMBLE_LINUX_READ_OUT_IMPL_H_

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>

#include "open_file.h"
#include "read_out.h"

struct ReadOut::Impl {
  UniqueFd file;
  int from = STDIN_FILENO;
  bool sized = false;  // a regular file, of st's size
  struct stat st {};
};

#endif  // XORSCRAMBLE_LINUX_READ_OUT_IMPL_H_
