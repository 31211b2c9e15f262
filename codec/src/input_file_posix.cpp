// SPDX-License-Identifier: MIT
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "input_file.h"

namespace xorcodec::detail {

void InputFile::Release() {
  if (owned_) close(fd_);
}

bool InputFile::Open(const char* path) {
  // O_NONBLOCK: opening a FIFO must not wait for a writer; it is refused below like any other
  // file that is not regular.
  fd_ = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd_ < 0) return false;
  owned_ = true;
  return Measure();
}

bool InputFile::Attach(int fd) {
  fd_ = fd;
  return Measure();
}

bool InputFile::Measure() {
  struct stat st;
  if (fstat(fd_, &st) != 0) return false;
  if (!S_ISREG(st.st_mode)) {
    errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    return false;
  }
  size_ = static_cast<uint64_t>(st.st_size);
  return true;
}

// Positional reads leave a caller's descriptor where it was.
int64_t InputFile::ReadSome(unsigned char* buf, std::size_t n) {
  const ssize_t got = pread(fd_, buf, n, static_cast<off_t>(offset_));
  if (got > 0) offset_ += static_cast<uint64_t>(got);
  return got;
}

namespace {

uintptr_t AlignUp(uintptr_t at, uintptr_t unit) { return (at + unit - 1) & ~(unit - 1); }
uintptr_t AlignDown(uintptr_t at, uintptr_t unit) { return at & ~(unit - 1); }

}  // namespace

void Populate(unsigned char* data, std::size_t n) {
#ifdef MADV_POPULATE_WRITE
  // Below this, the faults cost less than the calls.
  constexpr std::size_t kFrom = std::size_t{1} << 20;
  if (n < kFrom) return;
  // Whole pages inside the buffer only.
  const auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  const auto at = reinterpret_cast<uintptr_t>(data);
  const uintptr_t first = AlignUp(at, page);
  const uintptr_t end = AlignDown(at + n, page);
  if (end <= first) return;
  // Memory that the allocator hands out again has its pages already, and asking for them again
  // would cost more than it saves: only a buffer whose first page is not there yet is fresh.
  unsigned char present = 0;
  if (mincore(reinterpret_cast<void*>(first), page, &present) == 0 && (present & 1) != 0) return;
  // 2 MiB pages where whole ones fit: a virtual machine pays for every page the first time it is
  // touched and for every miss in its address translation, which large pages make 512 times
  // rarer. Where the system keeps no such pages, the advice is ignored.
  constexpr uintptr_t kHuge = uintptr_t{2} << 20;
  const uintptr_t huge_first = AlignUp(at, kHuge);
  const uintptr_t huge_end = AlignDown(at + n, kHuge);
  if (huge_end > huge_first) {
    madvise(reinterpret_cast<void*>(huge_first), huge_end - huge_first, MADV_HUGEPAGE);
  }
  // Kernels older than 5.14 refuse this (EINVAL): the reads then fault the pages in as they go.
  madvise(reinterpret_cast<void*>(first), end - first, MADV_POPULATE_WRITE);
#else
  (void)data;
  (void)n;
#endif
}

}  // namespace xorcodec::detail
