// SPDX-License-Identifier: MIT
// The codec's one way of reading a file: in large blocks, each transformed while still in cache.

#ifndef XORCODEC_FILE_READER_H_
#define XORCODEC_FILE_READER_H_

#include <stdint.h>

namespace xorcodec::detail {

// Read the whole regular file at `path`, or open on the caller's descriptor `fd` (from its first
// byte; `fd` stays open), into a new[] buffer of *count + 1 bytes, transformed under the key, with
// the byte behind the content set to 0. They write *count only on success; on failure they return
// null with errno set (see XorCodec::GetDataFromFile for the values).
unsigned char* ReadFileTransformed(const char* path, const int32_t* key, int32_t keyLen,
                                   uint32_t* count);
unsigned char* ReadDescriptorTransformed(int fd, const int32_t* key, int32_t keyLen,
                                         uint32_t* count);

}  // namespace xorcodec::detail

#endif  // XORCODEC_FILE_READER_H_
