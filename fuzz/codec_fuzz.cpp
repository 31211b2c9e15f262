// SPDX-License-Identifier: MIT
// libFuzzer target: arbitrary bytes and keys through the buffer transforms, the file and
// descriptor readers, the crypto-data reader and the string transforms, each checked against the
// key schedule written out plainly and against its own round trip.
//
// Input: a key length (which may be invalid), that many key elements, a stream offset, a point to
// split the content at, then the content.

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>
#include <xorcodec/xor_codec.h>

namespace {

void Check(bool ok, const char* what) {
  if (!ok) {
    fprintf(stderr, "codec_fuzz: %s\n", what);
    abort();
  }
}

// The bytes as from `offset` on in a stream.
std::string Reference(std::string bytes, const int32_t* key, std::size_t keyLen,
                      uint64_t offset = 0) {
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const int32_t k = key[(offset + i) % keyLen];
    bytes[i] = static_cast<char>(static_cast<unsigned char>(bytes[i]) ^ (k & 0xFF));
  }
  return bytes;
}

// A file in memory, reached through a path like any other.
class MemoryFile {
 public:
  MemoryFile() : fd_(memfd_create("codec_fuzz", MFD_CLOEXEC)) {
    Check(fd_ >= 0, "memfd_create failed");
    path_ = "/proc/self/fd/" + std::to_string(fd_);
  }
  ~MemoryFile() { close(fd_); }
  void Set(const std::string& bytes) {
    Check(ftruncate(fd_, 0) == 0 &&
              pwrite(fd_, bytes.data(), bytes.size(), 0) == static_cast<ssize_t>(bytes.size()),
          "cannot write the memory file");
  }
  const char* path() const { return path_.c_str(); }
  int fd() const { return fd_; }

 private:
  int fd_;
  std::string path_;
};

std::string ReadBack(const char* path, const int32_t* key, int32_t keyLen, bool* ok) {
  uint32_t size = 0;
  const std::unique_ptr<unsigned char[]> data(
      XorCodec::Instance().GetDataFromFile(path, &size, key, keyLen));
  *ok = data != nullptr;
  if (!data) return "";
  Check(data[size] == 0, "the byte behind the content is not 0");
  return std::string(reinterpret_cast<char*>(data.get()), size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t length) {
  static MemoryFile file;
  XorCodec& codec = XorCodec::Instance();
  FuzzedDataProvider in(input, length);
  const auto keyLen = in.ConsumeIntegralInRange<int32_t>(-1, 5000);
  std::vector<int32_t> key(static_cast<std::size_t>(keyLen > 0 ? keyLen : 1));
  for (int32_t& k : key) k = in.ConsumeIntegral<int32_t>();
  const auto offset = in.ConsumeIntegral<uint64_t>();
  const auto split = in.ConsumeIntegral<uint16_t>();
  const std::string content = in.ConsumeRemainingBytesAsString();

  // The buffer transform at any offset, whole and in two pieces at any point.
  std::string whole = content;
  codec.EncodeBuffer(whole.data(), whole.size(), key.data(), keyLen, offset);
  if (keyLen < 1) {
    Check(whole == content, "EncodeBuffer changed the bytes under a key length below 1");
  } else {
    Check(whole == Reference(content, key.data(), key.size(), offset), "EncodeBuffer differs");
    std::string pieces = content;
    const std::size_t first = std::min<std::size_t>(split, pieces.size());
    codec.DecodeBuffer(pieces.data(), first, key.data(), keyLen, offset);
    codec.DecodeBuffer(pieces.data() + first, pieces.size() - first, key.data(), keyLen,
                       offset + first);
    Check(pieces == whole, "EncodeBuffer in two pieces differs from one call");
  }

  // The file reader, and its round trip.
  file.Set(content);
  bool ok = false;
  const std::string read = ReadBack(file.path(), key.data(), keyLen, &ok);
  if (keyLen < 1) {
    Check(!ok && errno == EINVAL, "a key length below 1 was accepted");
    return 0;
  }
  Check(ok, "GetDataFromFile failed on a regular file");
  Check(read == Reference(content, key.data(), key.size()), "GetDataFromFile differs");
  // The descriptor held by the caller gives the same, from the first byte whatever its offset.
  lseek(file.fd(), static_cast<off_t>(content.size() / 2), SEEK_SET);
  uint32_t held_size = 0;
  const std::unique_ptr<unsigned char[]> held(
      codec.GetDataFromDescriptor(file.fd(), &held_size, key.data(), keyLen));
  Check(held && std::string(reinterpret_cast<char*>(held.get()), held_size) == read,
        "GetDataFromDescriptor differs from GetDataFromFile");
  file.Set(read);
  Check(ReadBack(file.path(), key.data(), keyLen, &ok) == content, "file round trip differs");

  // The crypto-data reader undoes the built-in key.
  file.Set(Reference(content, xorcodec::kBuiltInKey, xorcodec::kBuiltInKeyLen));
  uint32_t size = 0;
  const std::unique_ptr<char[]> plain(codec.GetCryptoDataFromFile(file.path(), &size));
  Check(plain && std::string(plain.get(), size) == content && plain[size] == '\0',
        "GetCryptoDataFromFile differs");

  // The string transforms, up to the first NUL, against EncodeChar one character at a time.
  std::string str(content.c_str());
  std::string expected = str;
  for (std::size_t i = 0; i < str.size(); ++i) {
    expected[i] = codec.EncodeChar(str[i], key[i % key.size()]);
  }
  codec.EncodeString(str.data(), key.data(), keyLen);
  Check(str == expected, "EncodeString differs from EncodeChar");
  if (strlen(str.c_str()) == str.size()) {
    codec.DecodeString(str.data(), key.data(), keyLen);
    Check(str == std::string(content.c_str()), "string round trip differs");
  }
  return 0;
}
