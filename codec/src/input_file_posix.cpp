#include <errno.h>
#include <fcntl.h>
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

}  // namespace xorcodec::detail
