#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <io.h>
#else
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <memory>
#include <new>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

#include <gtest/gtest.h>
#include <xorcodec/xor_codec.h>

#include "test_support.h"

// AddressSanitizer reserves far more address space than any limit a test could set.
#if defined(__SANITIZE_ADDRESS__)
#define XORCODEC_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define XORCODEC_TEST_ASAN 1
#endif
#endif
#ifndef XORCODEC_TEST_ASAN
#define XORCODEC_TEST_ASAN 0
#endif

namespace {

using testing_support::DataFile;
using testing_support::kBuiltIn;
using testing_support::RandomBytes;
using testing_support::ReadFile;
using testing_support::Scrambled;
using testing_support::ScratchDir;
using testing_support::WriteFile;

static_assert(!std::is_copy_constructible_v<XorCodec> && !std::is_copy_assignable_v<XorCodec>);
static_assert(!std::is_default_constructible_v<XorCodec>);

// A descriptor open for reading `path`, as another program would hold one; -1 with errno.
int OpenForReading(const std::string& path) {
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

Read ReadThroughCodec(const std::string& path, const int32_t* key, int32_t keyLen,
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
    if (seekable) EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 1) << "the descriptor's offset moved";
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

Read ReadThroughCodec(const std::string& path, const std::vector<int32_t>& key,
                      Via via = Via::kFile) {
  return ReadThroughCodec(path, key.data(), static_cast<int32_t>(key.size()), via);
}

TEST(KeySchedule, KnownVectors) {
  struct Case {
    std::string plain;
    std::vector<int32_t> key;
    std::string expected;
  } cases[] = {
      {"ABC", {1, 2, 3}, "@@@"},
      {"ABCDEFG", {1, 2, 3}, "@@@EGEF"},
      // Only the low eight bits act: 0x141 is 0x41, -191 is 0x41, 0x7F00 is 0.
      {"AAAA", {0x141, -191}, std::string(4, '\0')},
      {"xy", {0x7F00}, "xy"},
      // A key longer than the data uses only its first elements.
      {"a", {0x20, 0x55, 0x66}, "A"},
  };
  ScratchDir dir;
  for (const Case& c : cases) {
    WriteFile(dir / "f", c.plain);
    const Read got = ReadThroughCodec(dir / "f", c.key);
    ASSERT_TRUE(got.ok) << strerror(got.error);
    EXPECT_EQ(got.bytes, c.expected) << c.plain;
  }
}

// Sizes around the read block and the key window, keys short, odd, and longer than the window.
TEST(KeySchedule, AgreesWithReferenceAcrossBoundaries) {
  const std::size_t kBlock = 256 << 10;
  const std::size_t sizes[] = {0,    1,    2,          3,      4095,       4096,
                               4097, 8191, kBlock - 1, kBlock, kBlock + 1, 3 * kBlock + 7};
  std::vector<std::vector<int32_t>> keys = {kBuiltIn, {0x7F}, {1, -2, 0x1FF, 4, 5, 6, 7}};
  for (std::size_t len : {4096u, 4097u, 10000u}) {
    std::vector<int32_t> key(len);
    for (std::size_t i = 0; i < len; ++i) key[i] = static_cast<int32_t>(i * 2654435761u);
    keys.push_back(key);
  }
  ScratchDir dir;
  unsigned seed = 1;
  for (const auto& key : keys) {
    for (std::size_t size : sizes) {
      SCOPED_TRACE("key length " + std::to_string(key.size()) + ", size " + std::to_string(size));
      const std::string plain = RandomBytes(size, seed++);
      WriteFile(dir / "f", plain);
      const Read got = ReadThroughCodec(dir / "f", key);
      ASSERT_TRUE(got.ok) << strerror(got.error);
      EXPECT_EQ(got.size, size);
      EXPECT_TRUE(got.bytes == Scrambled(plain, key));
      EXPECT_TRUE(ReadThroughCodec(dir / "f", key, Via::kDecodeFile).bytes == got.bytes);
      EXPECT_TRUE(ReadThroughCodec(dir / "f", key, Via::kDescriptor).bytes == got.bytes);
    }
  }
}

// The checked-in pair pins the built-in key: files scrambled so far must stay readable.
TEST(KeySchedule, GoldenSample) {
  const std::string plain = ReadFile(DataFile("sample.json"));
  const std::string scrambled = ReadFile(DataFile("sample.json.scrambled"));
  EXPECT_EQ(ReadThroughCodec(DataFile("sample.json"), kBuiltIn).bytes, scrambled);
  EXPECT_EQ(ReadThroughCodec(DataFile("sample.json.scrambled"), kBuiltIn).bytes, plain);
}

TEST(GetDataFromFile, Failures) {
  ScratchDir dir;
  WriteFile(dir / "data", "{}");
  WriteFile(dir / "empty", "");
#ifndef _WIN32
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0644), 0);
#endif
  // Sparse: a length that does not fit the 32-bit count, without the disk space.
  const std::string huge = dir / "huge";
  WriteFile(huge, "");
  std::filesystem::resize_file(huge, uint64_t{1} << 32);

  const int32_t key[] = {1};
  struct Case {
    const char* name;
    std::string path;
    const int32_t* key;
    int32_t keyLen;
    int error;
  } cases[] = {
      {"missing", dir / "missing", key, 1, ENOENT},
      {"directory", dir.path(), key, 1, EISDIR},
#ifndef _WIN32
      {"fifo, without waiting for a writer", dir / "fifo", key, 1, EINVAL},
#endif
      {"4 GiB", huge, key, 1, EFBIG},
      {"key length 0", dir / "data", key, 0, EINVAL},
      {"negative key length", dir / "empty", key, -3, EINVAL},
      {"null key", dir / "data", nullptr, 1, EINVAL},
  };
  for (const Case& c : cases) {
    for (const Via via : {Via::kFile, Via::kDescriptor}) {
      const Read got = ReadThroughCodec(c.path, c.key, c.keyLen, via);
      if (!got.opened) continue;  // missing, or a directory on Windows
      EXPECT_FALSE(got.ok) << c.name;
      EXPECT_EQ(got.error, c.error) << c.name << ": " << strerror(got.error);
      EXPECT_EQ(got.size, 0u) << c.name;
    }

    if (c.key != key || c.keyLen != 1) continue;
    // The crypto-data reader fails alike, and leaves the caller's count alone.
    uint32_t size = 12345;
    errno = 0;
    EXPECT_EQ(XorCodec::Instance().GetCryptoDataFromFile(c.path.c_str(), &size), nullptr);
    EXPECT_EQ(errno, c.error) << c.name;
    EXPECT_EQ(size, 12345u) << c.name;
  }

  // A null key is fine where no byte needs it.
  EXPECT_TRUE(ReadThroughCodec(dir / "empty", nullptr, 1).ok);

  // Descriptors that cannot be read from.
  uint32_t size = 12345;
  const int write_only = open((dir / "data").c_str(), O_WRONLY);
  for (const int fd : {-1, write_only}) {
    errno = 0;
    EXPECT_EQ(XorCodec::Instance().GetDataFromDescriptor(fd, &size, key, 1), nullptr);
    EXPECT_EQ(errno, EBADF) << "descriptor " << fd;
    EXPECT_EQ(size, 0u);
    size = 12345;
  }
  close(write_only);
  EXPECT_EQ(XorCodec::Instance().GetDataFromDescriptor(0, nullptr, key, 1), nullptr);

  EXPECT_EQ(XorCodec::Instance().GetDataFromFile(nullptr, &size, key, 1), nullptr);
  EXPECT_EQ(size, 12345u) << "a null path leaves the count alone";
  EXPECT_EQ(XorCodec::Instance().DecodeFile((dir / "data").c_str(), nullptr, key, 1), nullptr);
  EXPECT_EQ(XorCodec::Instance().GetCryptoDataFromFile(nullptr, &size), nullptr);
  EXPECT_EQ(XorCodec::Instance().GetCryptoDataFromFile((dir / "data").c_str(), nullptr), nullptr);
  EXPECT_EQ(size, 12345u);
}

// What the command writes comes back as the plain bytes, whatever they are: line ends, the byte
// that ends a text-mode read on some platforms, and NULs (the count covers them, the terminator
// follows them).
TEST(GetCryptoDataFromFile, ReadsBackScrambledFiles) {
  ScratchDir dir;
  const std::string contents[] = {
      "", "x", ReadFile(DataFile("sample.json")),
      std::string("{\"a\":\r\n\x1a\0\"b\"\r\r\n}\0", 16) + RandomBytes(70000, 7)};
  for (const std::string& plain : contents) {
    WriteFile(dir / "f", Scrambled(plain, kBuiltIn));
    uint32_t size = 12345;
    const std::unique_ptr<char[]> data(
        XorCodec::Instance().GetCryptoDataFromFile((dir / "f").c_str(), &size));
    ASSERT_TRUE(data) << strerror(errno);
    ASSERT_EQ(size, plain.size());
    EXPECT_TRUE(std::string(data.get(), size) == plain);
    EXPECT_EQ(data[size], '\0');
  }
}

// EncodeString and DecodeString give what EncodeChar gives character by character, under keys
// short and long, with low bytes that repeat or not.
TEST(StringTransforms, AgreeWithCharacterByCharacter) {
  std::vector<std::vector<int32_t>> keys = {kBuiltIn, {0x41}, {0x141, -129, 3, 4, 5, 6, 7}};
  keys.emplace_back(5000, 0);
  for (std::size_t i = 0; i < keys.back().size(); ++i)
    keys.back()[i] = static_cast<int32_t>(i * 7919);
  XorCodec& codec = XorCodec::Instance();
  for (const auto& key : keys) {
    const auto keyLen = static_cast<int32_t>(key.size());
    for (std::size_t length : {1u, 2u, 3u, 64u, 4097u, 20000u}) {
      std::string plain = RandomBytes(length, static_cast<unsigned>(length));
      for (char& c : plain) c = c == '\0' ? 'z' : c;
      std::string expected = plain;
      for (std::size_t i = 0; i < length; ++i) {
        expected[i] = codec.EncodeChar(plain[i], key[i % key.size()]);
      }
      std::string encoded = plain;
      codec.EncodeString(encoded.data(), key.data(), keyLen);
      std::string decoded = plain;
      codec.DecodeString(decoded.data(), key.data(), keyLen);
      EXPECT_TRUE(encoded == expected) << "key length " << key.size() << ", length " << length;
      EXPECT_TRUE(decoded == expected) << "key length " << key.size() << ", length " << length;
    }
  }
}

TEST(StringTransforms, EdgeCases) {
  XorCodec& codec = XorCodec::Instance();
  // A character equal to its key byte becomes 0, and the rest are still transformed; a later
  // transform measures afresh and stops there.
  const int32_t key[] = {0x20, 'b', 0x20};
  char text[] = "AbCD";
  codec.EncodeString(text, key, 3);
  EXPECT_EQ(std::string(text, 4), std::string("a\0cd", 4));
  codec.DecodeString(text, key, 3);
  EXPECT_EQ(std::string(text, 4), std::string("A\0cd", 4));

  // Keys that agree in their low eight bits transform alike.
  const int32_t low[] = {0x41, 0x7F};
  const int32_t high[] = {0x141, -129};
  char a[] = "same output";
  char b[] = "same output";
  codec.EncodeString(a, low, 2);
  codec.EncodeString(b, high, 2);
  EXPECT_STREQ(a, b);
  EXPECT_EQ(codec.EncodeChar('A', 0x141), '\0');
  EXPECT_EQ(codec.DecodeChar('\xff', -1), '\0');

  // Nothing to do, or nothing it can do: the string stays as it was.
  char empty[] = "";
  codec.EncodeString(empty, key, 3);
  EXPECT_STREQ(empty, "");
  char kept[] = "kept";
  codec.EncodeString(kept, key, 0);
  codec.DecodeString(kept, key, -1);
  codec.EncodeString(kept, nullptr, 3);
  codec.EncodeString(nullptr, key, 3);
  EXPECT_STREQ(kept, "kept");
}

// The buffer transforms against the schedule written out with 64-bit positions: random lengths
// (across the key window), offsets at every width's limits and past 2^64 - 1 (where positions
// wrap to 0), keys short and long. Any split of a stream into pieces gives the bytes of one call,
// and the file reader the same bytes again.
TEST(BufferTransforms, AgreeWithReferenceWholeAndInPieces) {
  std::vector<std::vector<int32_t>> keys = {kBuiltIn, {0x7F}, {1, -2, 0x1FF, 4, 5, 6, 7}};
  keys.emplace_back(5000);
  for (std::size_t i = 0; i < keys.back().size(); ++i) {
    keys.back()[i] = static_cast<int32_t>(i * 2654435761u);
  }
  const uint64_t offsets[] = {0,          1,
                              2,          4095,
                              4097,       INT32_MAX,
                              1u << 31,   UINT32_MAX,
                              1ull << 32, (1ull << 32) + 1,
                              INT64_MAX,  UINT64_MAX - 20000};
  XorCodec& codec = XorCodec::Instance();
  std::mt19937_64 random(3);
  ScratchDir dir;
  for (const auto& key : keys) {
    const auto keyLen = static_cast<int32_t>(key.size());
    for (const uint64_t offset : offsets) {
      const std::size_t n = random() % 12000;
      SCOPED_TRACE("key length " + std::to_string(key.size()) + ", offset " +
                   std::to_string(offset) + ", size " + std::to_string(n));
      const std::string plain = RandomBytes(n, static_cast<unsigned>(random()));
      const std::string expected = Scrambled(plain, key, offset);
      std::string whole = plain;
      codec.EncodeBuffer(whole.data(), n, key.data(), keyLen, offset);
      EXPECT_TRUE(whole == expected);

      std::string pieces = plain;
      for (std::size_t at = 0; at < n;) {
        const std::size_t piece = std::min<std::size_t>(n - at, random() % 3000);
        codec.DecodeBuffer(pieces.data() + at, piece, key.data(), keyLen, offset + at);
        at += piece;
      }
      EXPECT_TRUE(pieces == expected);

      if (offset == 0) {
        WriteFile(dir / "f", plain);
        EXPECT_TRUE(ReadThroughCodec(dir / "f", key).bytes == expected) << "GetDataFromFile";
      }
    }
  }
}

TEST(BufferTransforms, EdgeCases) {
  XorCodec& codec = XorCodec::Instance();
  // A scrambled file holds a 0 wherever a plain byte equals its key byte (the shipped sample
  // does, at 106): the buffer transform goes through it.
  std::string sample = ReadFile(DataFile("sample.json.scrambled"));
  ASSERT_NE(sample.find('\0'), std::string::npos);
  codec.DecodeBuffer(sample.data(), sample.size(), xorcodec::kBuiltInKey, 3);
  EXPECT_EQ(sample, ReadFile(DataFile("sample.json")));

  // Nothing it can do: the bytes stay as they were.
  const int32_t key[] = {1, 2, 3};
  std::string kept = "kept";
  codec.EncodeBuffer(kept.data(), kept.size(), key, 0);
  codec.EncodeBuffer(kept.data(), kept.size(), key, -1, 7);
  codec.EncodeBuffer(kept.data(), kept.size(), nullptr, 3);
  codec.EncodeBuffer(kept.data(), 0, key, 3);
  codec.DecodeBuffer(nullptr, 100, key, 3);
  EXPECT_EQ(kept, "kept");
}

// Positions past 2^31 keep the schedule's phase: a 32-bit signed counter would not. A 32-bit
// process cannot hold such a file in one piece: there every reader throws std::bad_alloc, as for
// any allocation that fails.
TEST(GetDataFromFile, BeyondTwoGiB) {
  ScratchDir dir;
  const std::string path = dir / "big";
  const std::size_t tail_at = (std::size_t{1} << 31) + 1;
  const std::string tail = "tail of a large file";
  {
    WriteFile(path, "");
    std::filesystem::resize_file(path, tail_at);
    std::ofstream out(path, std::ios::binary | std::ios::app);
    out << tail;
  }
  XorCodec& codec = XorCodec::Instance();
  uint32_t size = 0;
  if (sizeof(void*) < 8) {
    EXPECT_THROW(codec.GetDataFromFile(path.c_str(), &size, kBuiltIn.data(), 3), std::bad_alloc);
    EXPECT_THROW(codec.GetCryptoDataFromFile(path.c_str(), &size), std::bad_alloc);
    const int fd = OpenForReading(path);
    EXPECT_THROW(codec.GetDataFromDescriptor(fd, &size, kBuiltIn.data(), 3), std::bad_alloc);
    close(fd);
    return;
  }
  const std::unique_ptr<unsigned char[]> data(
      codec.GetDataFromFile(path.c_str(), &size, kBuiltIn.data(), 3));
  ASSERT_TRUE(data) << strerror(errno);
  ASSERT_EQ(size, tail_at + tail.size());
  for (std::size_t i = tail_at - 4; i < size; ++i) {
    const char plain = i < tail_at ? '\0' : tail[i - tail_at];
    ASSERT_EQ(data[i], static_cast<unsigned char>(plain ^ kBuiltIn[i % 3])) << "at " << i;
  }
}

#if !defined(_WIN32) && !XORCODEC_TEST_ASAN
// Where memory runs out, a 64-bit process fails alike: a limit on its address space stands in for
// a machine without the memory.
TEST(GetDataFromFile, OutOfMemoryThrows) {
  ScratchDir dir;
  WriteFile(dir / "big", "");
  std::filesystem::resize_file(dir / "big", std::size_t{1} << 30);
  constexpr int kLimitIgnored = 3;
  const pid_t pid = fork();
  if (pid == 0) {
    const struct rlimit limit = {std::size_t{256} << 20, std::size_t{256} << 20};
    uint32_t size = 0;
    try {
      if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(2);
      // An emulator (qemu-user) takes the limit and ignores it: more than it allows must fail.
      if (mmap(nullptr, std::size_t{512} << 20, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0) !=
          MAP_FAILED) {
        _exit(kLimitIgnored);
      }
      delete[] XorCodec::Instance().GetDataFromFile((dir / "big").c_str(), &size, kBuiltIn.data(),
                                                    3);
    } catch (const std::bad_alloc&) {
      _exit(0);
    }
    _exit(1);
  }
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  if (WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == kLimitIgnored) {
    GTEST_SKIP() << "a limit on the address space does not take here (an emulator ignores it)";
  }
  EXPECT_TRUE(WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0) << "status " << wstatus;
}
#endif

}  // namespace
