// Reading one regular file from start to end. Opening, one read and closing differ between
// operating systems (input_file_posix.cpp, input_file_windows.cpp); the rest is file_reader.cpp.

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
  // One read of at most n bytes, as read() does it: the count, 0 at the end, or -1 with errno.
  int64_t ReadSome(unsigned char* buf, std::size_t n);
  void Close();

  int fd_ = -1;
  uint64_t size_ = 0;
};

// Tells the system that a large, fresh buffer is about to be filled, where that helps.
void PrepareLargeBuffer(unsigned char* buf, std::size_t n);

}  // namespace xorcodec::detail

#endif  // XORCODEC_INPUT_FILE_H_
