// SPDX-License-Identifier: MIT
// Helpers shared by the tests: scratch directories, whole-file I/O, the key schedule written out
// the plain way to check the codec against, and the codec's three ways to read a file.

#ifndef XORCODEC_TESTS_TEST_SUPPORT_H_
#define XORCODEC_TESTS_TEST_SUPPORT_H_

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <xorcodec/xor_codec.h>

namespace testing_support {

// Whether this build checks every memory access (AddressSanitizer), which makes the command some
// four times slower on large files and reserves more address space than any limit could allow.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif
#else
inline constexpr bool kSanitized = false;
#endif

inline const std::vector<int32_t> kBuiltIn(std::begin(xorcodec::kBuiltInKey),
                                           std::end(xorcodec::kBuiltInKey));

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  // In bulk: a byte at a time costs seconds on large files in an unoptimised, sanitized build.
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

inline void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out.flush()) throw std::runtime_error("cannot write " + path);
}

inline std::string DataFile(const std::string& name) {
  return std::string(XORCODEC_TEST_DATA) + "/" + name;
}

// Byte i XOR the low eight bits of key[(offset + i) % key.size()]: the bytes as from `offset` on
// in a stream.
inline std::string Scrambled(std::string bytes, const std::vector<int32_t>& key,
                             uint64_t offset = 0) {
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const int32_t k = key[static_cast<std::size_t>((offset + i) % key.size())];
    bytes[i] = static_cast<char>(bytes[i] ^ static_cast<char>(k & 0xFF));
  }
  return bytes;
}

inline std::string RandomBytes(std::size_t n, unsigned seed) {
  std::string bytes(n, '\0');
  for (char& c : bytes) {
    seed = seed * 1103515245u + 12345u;
    c = static_cast<char>(seed >> 16);
  }
  return bytes;
}

// A fresh directory in the system's temporary directory ($TMPDIR on POSIX), removed with
// everything in it.
class ScratchDir {
 public:
  ScratchDir() {
    static std::mt19937_64 random(std::random_device{}());
    std::filesystem::path path;
    do {
      path = std::filesystem::temp_directory_path() / ("xorcodec-test-" + std::to_string(random()));
    } while (!std::filesystem::create_directory(path));
    path_ = std::filesystem::canonical(path).string();
    std::filesystem::permissions(path_, std::filesystem::perms(0755));
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// A descriptor open for reading `path`, as another program would hold one; -1 with errno.
inline int OpenForReading(const std::string& path) {
#ifdef _WIN32
  return _open(path.c_str(), _O_RDONLY | _O_BINARY);
#else
  return open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
#endif
}

// The three ways to read a file: they must agree in every result.
enum class Via { kFile, kDecodeFile, kDescriptor };

// Reads `path` through the codec; the content, or a failure with errno.
struct Read {
  bool ok;
  std::string bytes;
  int error;
  uint32_t size;
  bool opened = true;  // false: the test could not open a descriptor on `path`
};

inline Read ReadThroughCodec(const std::string& path, const int32_t* key, int32_t keyLen,
                             Via via = Via::kFile) {
  uint32_t size = 12345;
  XorCodec& codec = XorCodec::Instance();
  std::unique_ptr<unsigned char[]> data;
  if (via == Via::kDescriptor) {
    const int fd = OpenForReading(path);
    if (fd < 0) return {false, "", errno, size, false};
    // Read from the first byte whatever the offset, which stays where it was (a FIFO has none).
    const bool seekable = lseek(fd, 1, SEEK_SET) == 1;
    errno = 0;
    data.reset(codec.GetDataFromDescriptor(fd, &size, key, keyLen));
    const int error = errno;
    if (seekable) {
      EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 1) << "the descriptor's offset moved";
    }
    EXPECT_EQ(close(fd), 0) << "the descriptor was closed";
    errno = error;
  } else {
    errno = 0;
    data.reset(via == Via::kDecodeFile ? codec.DecodeFile(path.c_str(), &size, key, keyLen)
                                       : codec.GetDataFromFile(path.c_str(), &size, key, keyLen));
  }
  if (!data) return {false, "", errno, size};
  EXPECT_EQ(data[size], 0) << "the byte behind the content";
  return {true, std::string(reinterpret_cast<char*>(data.get()), size), 0, size};
}

inline Read ReadThroughCodec(const std::string& path, const std::vector<int32_t>& key,
                             Via via = Via::kFile) {
  return ReadThroughCodec(path, key.data(), static_cast<int32_t>(key.size()), via);
}

}  // namespace testing_support

#endif  // XORCODEC_TESTS_TEST_SUPPORT_H_
