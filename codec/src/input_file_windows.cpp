// SPDX-License-Identifier: MIT
#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <string>

#include "input_file.h"
#include "platform.h"

namespace xorcodec::detail {

void InputFile::Release() {
  if (owned_) {
    _close(fd_);
  } else if (caller_offset_ >= 0) {
    _setmode(fd_, caller_mode_);
    _lseeki64(fd_, caller_offset_, SEEK_SET);
  }
}

bool InputFile::Open(const char* path) {
  const std::wstring wide = platform::Widen(path);
  // Binary: text mode would turn CR LF into LF and stop at the byte 0x1A.
  fd_ = _wopen(wide.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
  if (fd_ < 0) {
    // Windows will not open a directory at all, and says only that access is denied.
    struct _stat64 st;
    if (errno == EACCES && _wstat64(wide.c_str(), &st) == 0 && (st.st_mode & _S_IFDIR) != 0) {
      errno = EISDIR;
    }
    return false;
  }
  owned_ = true;
  return Measure();
}

// The CRT has no positional read: an attached descriptor is read from its start and put back
// where it stood when the reader is done.
bool InputFile::Attach(int fd) {
  // Not every C runtime says EBADF for a descriptor that is not open.
  if (fd < 0 || _get_osfhandle(fd) == -1) {
    errno = EBADF;
    return false;
  }
  fd_ = fd;
  if (!Measure()) return false;
  const int64_t at = _telli64(fd_);
  if (at < 0 || _lseeki64(fd_, 0, SEEK_SET) != 0) return false;
  // Text mode would translate what is read.
  caller_mode_ = _setmode(fd_, _O_BINARY);
  caller_offset_ = at;
  return true;
}

bool InputFile::Measure() {
  struct _stat64 st;
  if (_fstat64(fd_, &st) != 0) return false;
  if ((st.st_mode & _S_IFREG) == 0) {
    errno = (st.st_mode & _S_IFDIR) != 0 ? EISDIR : EINVAL;
    return false;
  }
  size_ = static_cast<uint64_t>(st.st_size);
  return true;
}

int64_t InputFile::ReadSome(unsigned char* buf, std::size_t n) {
  const int got = _read(fd_, buf, n < (1u << 30) ? static_cast<unsigned int>(n) : (1u << 30));
  if (got > 0) offset_ += static_cast<uint64_t>(got);
  return got;
}

// Windows has no call that makes fresh pages present without touching them: the reads do it.
void Populate(unsigned char*, std::size_t) {}

}  // namespace xorcodec::detail
