#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "file_reader.h"
#include "key_schedule.h"

namespace xorcodec::detail {
namespace {

// Large enough that system calls cost nothing next to the copy, small enough that a block is
// still in cache when it is transformed.
constexpr std::size_t kBlock = std::size_t{256} << 10;

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) {
      const int saved = errno;
      close(fd_);
      errno = saved;
    }
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// A fresh buffer costs a page fault per page on first touch; for a large one, 2 MiB pages make
// that one fault where 4 KiB pages take 512. Only whole aligned huge pages inside it are advised.
void AdviseHugePages(unsigned char* buf, std::size_t n) {
#ifdef MADV_HUGEPAGE
  constexpr uintptr_t kHuge = uintptr_t{2} << 20;
  if (n < 4 * kHuge) return;
  const uintptr_t begin = (reinterpret_cast<uintptr_t>(buf) + kHuge - 1) & ~(kHuge - 1);
  const uintptr_t end = (reinterpret_cast<uintptr_t>(buf) + n) & ~(kHuge - 1);
  madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)buf;
  (void)n;
#endif
}

// Fills buf with exactly n bytes. A file that ends early has shrunk since it was measured: EIO
// rather than a silently short result.
bool ReadFully(int fd, unsigned char* buf, std::size_t n) {
  while (n > 0) {
    const ssize_t got = read(fd, buf, n);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (got == 0) {
      errno = EIO;
      return false;
    }
    buf += got;
    n -= static_cast<std::size_t>(got);
  }
  return true;
}

}  // namespace

unsigned char* ReadFileTransformed(const char* path, const int32_t* key, int32_t keyLen,
                                   uint32_t* count) {
  if (keyLen < 1) {
    errno = EINVAL;
    return nullptr;
  }
  // O_NONBLOCK: opening a FIFO must not wait for a writer; it is refused below like any other
  // file that is not regular.
  const Fd fd(open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (fd.get() < 0) return nullptr;
  struct stat st;
  if (fstat(fd.get(), &st) != 0) return nullptr;
  if (!S_ISREG(st.st_mode)) {
    errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    return nullptr;
  }
  const auto length = static_cast<uint64_t>(st.st_size);
  // The count is 32 bits, and the buffer needs one byte more than the content.
  if (length > UINT32_MAX || length >= SIZE_MAX) {
    errno = EFBIG;
    return nullptr;
  }
  if (length > 0 && key == nullptr) {
    errno = EINVAL;
    return nullptr;
  }

  const auto n = static_cast<std::size_t>(length);
  std::unique_ptr<unsigned char[]> data(new unsigned char[n + 1]);
  AdviseHugePages(data.get(), n);
  KeySchedule schedule(key, keyLen, n);
  for (std::size_t done = 0; done < n;) {
    const std::size_t block = n - done < kBlock ? n - done : kBlock;
    if (!ReadFully(fd.get(), data.get() + done, block)) return nullptr;
    schedule.Apply(data.get() + done, block);
    done += block;
  }
  data[n] = 0;
  *count = static_cast<uint32_t>(n);
  return data.release();
}

}  // namespace xorcodec::detail
