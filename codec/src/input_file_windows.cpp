#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <string>

#include "input_file.h"

namespace xorcodec::detail {
namespace {

// Paths are UTF-8, so that any name can be given; a path that is not valid UTF-8 is taken in the
// system's ANSI code page, as the narrow Windows functions would take it.
std::wstring Widen(const char* path) {
  for (const UINT page : {UINT{CP_UTF8}, UINT{CP_ACP}}) {
    const DWORD flags = page == CP_UTF8 ? MB_ERR_INVALID_CHARS : 0;
    const int n = MultiByteToWideChar(page, flags, path, -1, nullptr, 0);
    if (n <= 0) continue;
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(page, flags, path, -1, wide.data(), n);
    wide.resize(static_cast<std::size_t>(n - 1));
    return wide;
  }
  return std::wstring();
}

}  // namespace

void InputFile::Close() { _close(fd_); }

bool InputFile::Open(const char* path) {
  const std::wstring wide = Widen(path);
  // Binary: text mode would turn CR LF into LF and stop at the byte 0x1A.
  fd_ = _wopen(wide.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
  struct _stat64 st;
  if (fd_ < 0) {
    // Windows will not open a directory at all, and says only that access is denied.
    if (errno == EACCES && _wstat64(wide.c_str(), &st) == 0 && (st.st_mode & _S_IFDIR) != 0) {
      errno = EISDIR;
    }
    return false;
  }
  if (_fstat64(fd_, &st) != 0) return false;
  if ((st.st_mode & _S_IFREG) == 0) {
    errno = (st.st_mode & _S_IFDIR) != 0 ? EISDIR : EINVAL;
    return false;
  }
  size_ = static_cast<uint64_t>(st.st_size);
  return true;
}

int64_t InputFile::ReadSome(unsigned char* buf, std::size_t n) {
  return _read(fd_, buf, n < (1u << 30) ? static_cast<unsigned int>(n) : (1u << 30));
}

void PrepareLargeBuffer(unsigned char*, std::size_t) {}

}  // namespace xorcodec::detail
