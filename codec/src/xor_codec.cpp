#include <xorcodec/xor_codec.h>

#include <errno.h>
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

void XorCodec::DecodeString(char* str, const int32_t* key, int32_t keyLen) {
  EncodeString(str, key, keyLen);
}

char XorCodec::EncodeChar(char ch, int32_t k) {
  return static_cast<char>(static_cast<unsigned char>(ch) ^ static_cast<unsigned char>(k & 0xFF));
}

char XorCodec::DecodeChar(char ch, int32_t k) { return EncodeChar(ch, k); }
