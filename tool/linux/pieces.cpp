// SPDX-License-Identifier: MIT
#include "pieces.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <memory>

namespace {

// How much of the new content is started on its way to the disk at a time (measured from 2 to
// 8 MiB, alike: bench/README.md).
constexpr std::uint64_t kWriteBehind = std::uint64_t{4} << 20;

// A file whose pages, once read, are worth giving back at once: the old content is not read
// again, and a large file would otherwise stand in the page cache twice, old and new.
constexpr std::uint64_t kLargeFile = std::uint64_t{8} << 20;

// Writes all of `size` bytes at `data` to `fd`. false with errno set.
bool WriteAll(int fd, const unsigned char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t put = write(fd, data, size);
    if (put < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += put;
    size -= static_cast<std::size_t>(put);
  }
  return true;
}

}  // namespace

// The disk works while the rest is still being copied, so that the fsync that follows has little
// left to wait for.
Outcome CopyPieces(const PieceCopy& copy, SafeReplace::Transform transform) {
  const Outcome changed = Outcome::Refused(Outcome::Step::kReading, Outcome::Why::kChanged);
  const std::size_t room = copy.sized ? SafeReplace::BufferFor(copy.size) : SafeReplace::kPiece;
  const std::unique_ptr<unsigned char[]> piece(new unsigned char[room]);
  std::uint64_t at = 0;
  std::uint64_t started = 0;  // the new content before this is on its way to the disk
  for (;;) {
    const ssize_t got = copy.sized ? pread(copy.from, piece.get(), room, static_cast<off_t>(at))
                                   : read(copy.from, piece.get(), room);
    if (got < 0) {
      if (errno == EINTR) continue;
      return Outcome::Failed(Outcome::Step::kReading, errno);
    }
    if (got == 0) break;
    const auto n = static_cast<std::size_t>(got);
    if (copy.sized && at + n > copy.size) return changed;
    transform(piece.get(), n, at);
    if (!WriteAll(copy.to, piece.get(), n)) return Outcome::Failed(copy.writing, errno);
    at += n;
    // Only hints: none for the end, which the fsync that follows sends at once, and which reports
    // any error.
    if (copy.write_behind && (!copy.sized || at < copy.size) && at - started >= kWriteBehind) {
      sync_file_range(copy.to, static_cast<off_t>(started), static_cast<off_t>(at - started),
                      SYNC_FILE_RANGE_WRITE);
      if (copy.size >= kLargeFile) {
        posix_fadvise(copy.from, static_cast<off_t>(started), static_cast<off_t>(at - started),
                      POSIX_FADV_DONTNEED);
      }
      started = at;
    }
  }
  return !copy.sized || at == copy.size ? Outcome::Done() : changed;
}
