// SPDX-License-Identifier: MIT
#include "file_reader.h"

#include <errno.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "input_file.h"
#include "key_schedule.h"

namespace xorcodec::detail {

InputFile::~InputFile() {
  if (fd_ >= 0) {
    const int saved = errno;
    Release();
    errno = saved;
  }
}

bool InputFile::Read(unsigned char* buf, std::size_t n) {
  while (n > 0) {
    const int64_t got = ReadSome(buf, n);
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

namespace {

// Large enough that system calls cost nothing next to the copy, small enough that a block is
// still in cache when it is transformed.
constexpr std::size_t kBlock = std::size_t{256} << 10;

// Opens the input with `open` (a call on the InputFile), then reads and transforms it block by
// block straight into the buffer that is returned.
template <typename Opener>
unsigned char* ReadTransformed(Opener open, const int32_t* key, int32_t keyLen, uint32_t* count) {
  if (keyLen < 1) {
    errno = EINVAL;
    return nullptr;
  }
  InputFile file;
  if (!open(file)) return nullptr;
  // The count is 32 bits, and the buffer needs one byte more than the content.
  if (file.size() > UINT32_MAX || file.size() >= SIZE_MAX) {
    errno = EFBIG;
    return nullptr;
  }
  const auto n = static_cast<std::size_t>(file.size());
  if (n > 0 && key == nullptr) {
    errno = EINVAL;
    return nullptr;
  }

  std::unique_ptr<unsigned char[]> data(new unsigned char[n + 1]);
  Populate(data.get(), n);
  KeySchedule schedule(key, keyLen, n);
  for (std::size_t done = 0; done < n;) {
    const std::size_t block = n - done < kBlock ? n - done : kBlock;
    if (!file.Read(data.get() + done, block)) return nullptr;
    schedule.Apply(data.get() + done, block);
    done += block;
  }
  data[n] = 0;
  *count = static_cast<uint32_t>(n);
  return data.release();
}

}  // namespace

unsigned char* ReadFileTransformed(const char* path, const int32_t* key, int32_t keyLen,
                                   uint32_t* count) {
  return ReadTransformed([path](InputFile& file) { return file.Open(path); }, key, keyLen, count);
}

unsigned char* ReadDescriptorTransformed(int fd, const int32_t* key, int32_t keyLen,
                                         uint32_t* count) {
  return ReadTransformed([fd](InputFile& file) { return file.Attach(fd); }, key, keyLen, count);
}

}  // namespace xorcodec::detail
