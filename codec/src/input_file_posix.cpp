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

void Populate(unsigned char* data, std::size_t n) {
#ifdef MADV_POPULATE_WRITE
  // Below this, the faults cost less than the call.
  constexpr std::size_t kFrom = std::size_t{1} << 20;
  if (n < kFrom) return;
  // Whole pages inside the buffer only. Kernels older than 5.14 refuse the advice (EINVAL): the
  // reads then fault the pages in as they go.
  const auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  const auto first = (reinterpret_cast<uintptr_t>(data) + page - 1) & ~(page - 1);
  const auto end = (reinterpret_cast<uintptr_t>(data) + n) & ~(page - 1);
  if (end <= first) return;
  // Memory that the allocator hands out again has its pages already, and asking for them again
  // would cost more than it saves: only a buffer whose first page is not there yet is fresh.
  unsigned char present = 0;
  if (mincore(reinterpret_cast<void*>(first), page, &present) == 0 && (present & 1) != 0) return;
  madvise(reinterpret_cast<void*>(first), end - first, MADV_POPULATE_WRITE);
#else
  (void)data;
  (void)n;
#endif
}

}  // namespace xorcodec::detail
