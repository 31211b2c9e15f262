// SPDX-License-Identifier: MIT
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
  // Closes a file that Open opened; a descriptor given to Attach stays open.
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  // Opens the file at `path` in binary mode, without waiting on a FIFO. Fails with errno set:
  // EISDIR for a directory, EINVAL for anything else that is not a regular file.
  bool Open(const char* path);

  // Reads the file open on the caller's descriptor `fd`, from its first byte, whatever its offset.
  // Fails as Open does, or with EBADF.
  bool Attach(int fd);

  // The file's length when it was opened.
  uint64_t size() const { return size_; }

  // Reads the next n bytes; a file that ends early has shrunk since it was opened: EIO.
  bool Read(unsigned char* buf, std::size_t n);

 private:
  // Takes the length of the regular file on fd_, or fails as Open does.
  bool Measure();
  // One read of at most n bytes at offset_, as read() does it: the count, 0 at the end, or -1
  // with errno.
  int64_t ReadSome(unsigned char* buf, std::size_t n);
  // Closes an opened file; leaves an attached descriptor as the caller had it.
  void Release();

  int fd_ = -1;
  bool owned_ = false;
  uint64_t size_ = 0;
  uint64_t offset_ = 0;
  // Windows: where an attached descriptor stood and its text or binary mode, to put them back.
  int64_t caller_offset_ = -1;
  int caller_mode_ = 0;
};

// Makes the pages of the fresh buffer `data` of n bytes present at once, ahead of the reads that
// fill it, and large where the system allows it: one call for the buffer instead of a fault for
// each of its pages. Only a hint; it changes nothing the buffer holds.
void Populate(unsigned char* data, std::size_t n);

}  // namespace xorcodec::detail

#endif  // XORCODEC_INPUT_FILE_H_
