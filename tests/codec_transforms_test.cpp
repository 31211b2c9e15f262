// SPDX-License-Identifier: MIT
// The codec's transforms: the key schedule against known vectors, the plain reference and the
// checked-in sample; the string and buffer transforms, whole and in pieces, at any offset.

#include <errno.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <xorcodec/xor_codec.h>

#include "test_support.h"

namespace {

using testing_support::DataFile;
using testing_support::kBuiltIn;
using testing_support::RandomBytes;
using testing_support::Read;
using testing_support::ReadFile;
using testing_support::ReadThroughCodec;
using testing_support::Scrambled;
using testing_support::ScratchDir;
using testing_support::Via;
using testing_support::WriteFile;

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
  const uint64_t offsets[] = {0,
                              1,
                              2,
                              4095,
                              4097,
                              INT32_MAX,
                              1u << 31,
                              UINT32_MAX,
                              1ull << 32,
                              (1ull << 32) + 1,
                              INT64_MAX,
                              UINT64_MAX - 20000,
                              UINT64_MAX - 5,
                              UINT64_MAX};  // the last two cross 2^64
  XorCodec& codec = XorCodec::Instance();
  std::mt19937_64 random(3);
  ScratchDir dir;
  for (const auto& key : keys) {
    const auto keyLen = static_cast<int32_t>(key.size());
    for (const uint64_t offset : offsets) {
      const auto n = static_cast<std::size_t>(random() % 12000);
      SCOPED_TRACE("key length " + std::to_string(key.size()) + ", offset " +
                   std::to_string(offset) + ", size " + std::to_string(n));
      const std::string plain = RandomBytes(n, static_cast<unsigned>(random()));
      const std::string expected = Scrambled(plain, key, offset);
      std::string whole = plain;
      codec.EncodeBuffer(whole.data(), n, key.data(), keyLen, offset);
      EXPECT_TRUE(whole == expected);

      std::string pieces = plain;
      for (std::size_t at = 0; at < n;) {
        const std::size_t piece = std::min(n - at, static_cast<std::size_t>(random() % 3000));
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

}  // namespace
