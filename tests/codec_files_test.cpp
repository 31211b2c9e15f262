// SPDX-License-Identifier: MIT
// The codec's file readers: what they refuse and how they say so, files that the command
// scrambled read back, and files too large to hold.

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#ifndef _WIN32
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <filesystem>
#include <fstream>
#include <memory>
#include <new>
#include <string>
#include <type_traits>
#include <vector>

#include <gtest/gtest.h>
#include <xorcodec/xor_codec.h>

#include "test_support.h"

namespace {

using testing_support::DataFile;
using testing_support::kBuiltIn;
using testing_support::OpenForReading;
using testing_support::RandomBytes;
using testing_support::Read;
using testing_support::ReadFile;
using testing_support::ReadThroughCodec;
using testing_support::Scrambled;
using testing_support::ScratchDir;
using testing_support::Via;
using testing_support::WriteFile;

static_assert(!std::is_default_constructible_v<XorCodec>);

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
#ifdef __linux__
      // Sized 4096 by the kernel, read as a few bytes: what a file that shrank while being read
      // looks like to its reader.
      {"ending before its length", "/sys/devices/system/cpu/online", key, 1, EIO},
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

// What the command writes comes back as the plain bytes, whatever they are: realistic documents,
// line ends, the byte that ends a text-mode read on some platforms, and NULs (the count covers
// them, the terminator follows them).
TEST(GetCryptoDataFromFile, ReadsBackScrambledFiles) {
  ScratchDir dir;
  std::vector<std::string> contents = {
      "", "x", ReadFile(DataFile("sample.json")),
      std::string("{\"a\":\r\n\x1a\0\"b\"\r\r\n}\0", 16) + RandomBytes(70000, 7)};
  for (const char* name : {"nested.json", "large.json", "utf8.json", "crlf.json", "empty.json"}) {
    contents.push_back(ReadFile(DataFile(std::string("json/") + name)));
  }
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

#ifndef _WIN32
// Where memory runs out, a 64-bit process fails alike: a limit on its address space stands in for
// a machine without the memory.
TEST(GetDataFromFile, OutOfMemoryThrows) {
  if (testing_support::kSanitized) {
    GTEST_SKIP() << "AddressSanitizer reserves far more address space than the limit allows";
  }
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
