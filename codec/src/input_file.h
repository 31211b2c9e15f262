// Reading one regular file from start to end: the part of the codec that differs between
// operating systems.

#ifndef XORCODEC_INPUT_FILE_H_
#define XORCODEC_INPUT_FILE_H_

#include <stdint.h>

#include <cstddef>

namespace xorcodec::detail {

class InputFile {
 public:
  InputFile() = default;
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  // Opens the file at `path` in binary mode, without waiting on a FIFO. Fails with errno set:
  // EISDIR for a directory, EINVAL for anything else that is not a regular file.
  bool Open(const char* path);

  // The file's length when it was opened.
  uint64_t size() const { return size_; }

  // Reads the next n bytes; a file that ends early has shrunk since it was opened: EIO.
  bool Read(unsigned char* buf, std::size_t n);

 private:
  int fd_ = -1;
  uint64_t size_ = 0;
};

// Tells the system that a large, fresh buffer is about to be filled, where that helps.
void PrepareLargeBuffer(unsigned char* buf, std::size_t n);

}  // namespace xorcodec::detail

#endif  // XORCODEC_INPUT_FILE_H_
