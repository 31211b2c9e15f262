// SPDX-License-Identifier: MIT
#include <xorcodec/xor_codec.h>

#include <errno.h>
#include <stdint.h>
#include <string.h>

#include "file_reader.h"
#include "key_schedule.h"

XorCodec& XorCodec::Instance() {
  static XorCodec instance;
  return instance;
}

unsigned char* XorCodec::GetDataFromFile(const char* path, uint32_t* size, const int32_t* key,
                                         int32_t keyLen) {
  if (path == nullptr || size == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  *size = 0;
  return xorcodec::detail::ReadFileTransformed(path, key, keyLen, size);
}

unsigned char* XorCodec::GetDataFromDescriptor(int fd, uint32_t* size, const int32_t* key,
                                               int32_t keyLen) {
  if (size == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  *size = 0;
  return xorcodec::detail::ReadDescriptorTransformed(fd, key, keyLen, size);
}

unsigned char* XorCodec::DecodeFile(const char* path, uint32_t* size, const int32_t* key,
                                    int32_t keyLen) {
  return GetDataFromFile(path, size, key, keyLen);
}

char* XorCodec::GetCryptoDataFromFile(const char* path, uint32_t* size) {
  if (path == nullptr || size == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  return reinterpret_cast<char*>(xorcodec::detail::ReadFileTransformed(
      path, xorcodec::kBuiltInKey, xorcodec::kBuiltInKeyLen, size));
}

void XorCodec::EncodeString(char* str, const int32_t* key, int32_t keyLen) {
  if (str == nullptr || keyLen < 1) return;
  // Measured once: characters that become 0 are transformed like the rest.
  const std::size_t n = strlen(str);
  if (n == 0 || key == nullptr) return;
  xorcodec::detail::KeySchedule(key, keyLen, n).Apply(reinterpret_cast<unsigned char*>(str), n);
}

void XorCodec::EncodeBuffer(void* data, uint64_t size, const int32_t* key, int32_t keyLen,
                            uint64_t offset) {
  // A size beyond the address space describes no buffer at all.
  if (data == nullptr || size == 0 || size > SIZE_MAX || keyLen < 1 || key == nullptr) return;
  auto* bytes = static_cast<unsigned char*>(data);
  auto n = static_cast<std::size_t>(size);
  // Positions count modulo 2^64, as a caller's own offsets do: a stream that passes 2^64 - 1 goes
  // on from position 0, whether it is transformed in one call or in pieces.
  const uint64_t before_wrap = 0 - offset;
  if (offset != 0 && size > before_wrap) {
    const auto head = static_cast<std::size_t>(before_wrap);
    xorcodec::detail::KeySchedule(key, keyLen, head, offset).Apply(bytes, head);
    bytes += head;
    n -= head;
    offset = 0;
  }
  xorcodec::detail::KeySchedule(key, keyLen, n, offset).Apply(bytes, n);
}

void XorCodec::DecodeBuffer(void* data, uint64_t size, const int32_t* key, int32_t keyLen,
                            uint64_t offset) {
  EncodeBuffer(data, size, key, keyLen, offset);
}

void XorCodec::DecodeString(char* str, const int32_t* key, int32_t keyLen) {
  EncodeString(str, key, keyLen);
}

char XorCodec::EncodeChar(char ch, int32_t k) {
  return static_cast<char>(static_cast<unsigned char>(ch) ^ static_cast<unsigned char>(k & 0xFF));
}

char XorCodec::DecodeChar(char ch, int32_t k) { return EncodeChar(ch, k); }
