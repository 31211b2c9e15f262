#include <xorcodec/xor_codec.h>

#include <errno.h>

#include "file_reader.h"

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

unsigned char* XorCodec::DecodeFile(const char* path, uint32_t* size, const int32_t* key,
                                    int32_t keyLen) {
  return GetDataFromFile(path, size, key, keyLen);
}
