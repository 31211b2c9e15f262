// Helpers shared by the tests: scratch directories, whole-file I/O and the key schedule written
// out the plain way, to check the codec against.

#ifndef XORCODEC_TESTS_TEST_SUPPORT_H_
#define XORCODEC_TESTS_TEST_SUPPORT_H_

#include <stdint.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <xorcodec/xor_codec.h>

namespace testing_support {

inline const std::vector<int32_t> kBuiltIn(std::begin(xorcodec::kBuiltInKey),
                                           std::end(xorcodec::kBuiltInKey));

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return std::string(std::istreambuf_iterator<char>(in), {});
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
    const int32_t k = key[(offset + i) % key.size()];
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

}  // namespace testing_support

#endif  // XORCODEC_TESTS_TEST_SUPPORT_H_
