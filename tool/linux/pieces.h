// SPDX-License-Identifier: MIT
// The bulk copy on Linux: a file's content, or a stream's, read in pieces through one buffer,
// passed through the transform at each piece's offset, and written on. The replace step copies
// the file into its temporary file with it; the read-out copies a file, or standard input, to
// standard output.

#ifndef XORSCRAMBLE_LINUX_PIECES_H_
#define XORSCRAMBLE_LINUX_PIECES_H_

#include <cstdint>

#include "outcome.h"
#include "safe_replace.h"

struct PieceCopy {
  int from;
  // `from` is a regular file of `size` bytes, read at offsets from its first byte, which must end
  // where it ended; else a stream (a pipe, a terminal), read as it comes to its end.
  bool sized;
  std::uint64_t size;
  int to;
  Outcome::Step writing;  // the step that a failed write is reported at
  // `to` is a new file that is synced next: what is written is started on its way to the disk
  // every few MiB, and a large file's old pages, which are not read again, are given back.
  bool write_behind;
};

// Done once the whole content is written. Failed at Step::kReading or at `writing`, with the
// system's error; Refused as changed, at Step::kReading, where a sized `from` grows or shrinks
// meanwhile.
Outcome CopyPieces(const PieceCopy& copy, SafeReplace::Transform transform);

#endif  // XORSCRAMBLE_LINUX_PIECES_H_
