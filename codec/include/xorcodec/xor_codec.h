// SPDX-License-Identifier: MIT
// Repeating-key XOR codec.
//
// Every operation applies the same key schedule: byte i of the data is XORed with the low eight
// bits of key[i % keyLen], with i counted from 0 at the first byte of each file or string (or from
// the offset given to the buffer transforms). The transform is its own inverse, so each operation
// both scrambles and restores. Only the file readers allocate, and only they can throw.
//
// Thread safety: the codec holds no state, so every operation, Instance() included, may be called
// from any number of threads at once; each works only on the caller's own buffers and files.

#ifndef XORCODEC_XOR_CODEC_H_
#define XORCODEC_XOR_CODEC_H_

#include <stdint.h>
#include <xorcodec/export.h>
#include <xorcodec/version.h>

namespace xorcodec {

// The key that xorscramble scrambles files with. Changing a value makes every file scrambled so
// far unreadable.
inline constexpr int32_t kBuiltInKey[] = {0x5A, 0xC3, 0x2E};
inline constexpr int32_t kBuiltInKeyLen = 3;

}  // namespace xorcodec

// Stateless; its operations are reached through the one instance.
class XORCODEC_API XorCodec {
 public:
  // The process-wide instance, created on first use. Throws nothing.
  static XorCodec& Instance();

  XorCodec(const XorCodec&) = delete;
  XorCodec& operator=(const XorCodec&) = delete;

  // Reads the whole regular file at `path` and returns its bytes transformed under the key, in a
  // buffer of *size + 1 bytes whose last byte is 0; the caller releases it with delete[].
  // On failure returns null with errno set and *size 0: EINVAL for keyLen < 1 or a null key with a
  // non-empty file, EISDIR or EINVAL for a directory or other file that is not regular, EFBIG for a
  // file whose length does not fit in *size, EIO for one that shrinks while it is read, else the
  // error of opening or reading the file. A null `path` or `size` returns null (EINVAL) and leaves
  // *size untouched. On Windows `path` is UTF-8 (or, if it is not valid UTF-8, the ANSI code page).
  // Throws std::bad_alloc when the buffer cannot be allocated: the whole file is held in one piece,
  // which a 32-bit process cannot do for the largest files (in practice from 1 to 2 GiB on).
  unsigned char* GetDataFromFile(const char* path, uint32_t* size, const int32_t* key,
                                 int32_t keyLen);

  // As GetDataFromFile, for the regular file open for reading on the descriptor `fd` (on Windows
  // a C runtime descriptor): its whole content from the first byte, whatever the descriptor's
  // offset, which is left as it was. `fd` stays open and the caller's. A descriptor that is not
  // open for reading fails with EBADF; a null `size` returns null (EINVAL).
  unsigned char* GetDataFromDescriptor(int fd, uint32_t* size, const int32_t* key, int32_t keyLen);

  // The same as GetDataFromFile, in every result.
  unsigned char* DecodeFile(const char* path, uint32_t* size, const int32_t* key, int32_t keyLen);

  // Reads a file scrambled with xorcodec::kBuiltInKey (as xorscramble writes them) and returns its
  // plain content, NUL-terminated after *size bytes (the content itself may hold NULs); the caller
  // releases it with delete[]. Reads in binary mode on every platform. On failure returns null
  // with errno set as GetDataFromFile does, and throws as it does; *size is written only on
  // success.
  char* GetCryptoDataFromFile(const char* path, uint32_t* size);

  // Transform `size` bytes at `data` in place, of any value (0 included), as bytes offset to
  // offset + size - 1 of a stream: byte i is XORed with key[(offset + i) % keyLen], so that a
  // stream transformed in pieces, each with its own offset, gives the same bytes as one call
  // (positions count modulo 2^64).
  // Either undoes the other. A null `data`, keyLen < 1, a null key, or a size larger than the
  // address space changes nothing. Throws nothing.
  void EncodeBuffer(void* data, uint64_t size, const int32_t* key, int32_t keyLen,
                    uint64_t offset = 0);
  void DecodeBuffer(void* data, uint64_t size, const int32_t* key, int32_t keyLen,
                    uint64_t offset = 0);

  // Transform the NUL-terminated `str` in place under the key, up to the length it has on entry:
  // a character that becomes 0 does not end the transform, but a later call stops there (use the
  // buffer transforms for data that may hold 0). Either undoes the other. A null `str`,
  // keyLen < 1, or a null key for a non-empty string leaves the string unchanged. Throws nothing.
  void EncodeString(char* str, const int32_t* key, int32_t keyLen);
  void DecodeString(char* str, const int32_t* key, int32_t keyLen);

  // `ch` XOR the low eight bits of `k`; the two are the same transform. Throws nothing.
  char EncodeChar(char ch, int32_t k);
  char DecodeChar(char ch, int32_t k);

 private:
  XorCodec() = default;
  ~XorCodec() = default;
};

#endif  // XORCODEC_XOR_CODEC_H_
