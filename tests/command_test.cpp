// SPDX-License-Identifier: MIT
// xorscramble's basic behaviour, tried from outside as a user would: what it writes, what it
// keeps, what it says.

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "command_harness.h"

namespace command_test {
namespace {

namespace fs = std::filesystem;

TEST(Command, ScramblesAndRestores) {
  ScratchDir dir;
  WriteFile(dir / "data.json", kPlain);
  WriteFile(dir / "empty.json", "");
  ASSERT_EQ(symlink("data.json", (dir / "link.json").c_str()), 0);
  ASSERT_EQ(chmod((dir / "data.json").c_str(), 0640), 0);
  const auto names = Names(dir.path());

  struct Step {
    std::vector<std::string> args;
    const std::string& expected;
  } steps[] = {
      {{"data.json"}, kScrambled},
      {{"data.json"}, kPlain},
      {{"link.json", "ignored", "--help"}, kScrambled},  // through the link; the rest ignored
      {{"--", "data.json"}, kPlain},
  };
  for (const Step& step : steps) {
    const Result run = RunTool(dir.path(), step.args);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out + run.err, "");
    EXPECT_TRUE(ReadFile(dir / "data.json") == step.expected) << step.args[0];
  }
  EXPECT_TRUE(fs::is_symlink(dir / "link.json")) << "the link stays a link";
  EXPECT_EQ(fs::status(dir / "data.json").permissions(), fs::perms(0640));

  EXPECT_EQ(RunTool(dir.path(), {"empty.json"}).status, 0);
  EXPECT_EQ(ReadFile(dir / "empty.json"), "");
  EXPECT_EQ(Names(dir.path()), names) << "no temporary file left behind";
}

TEST(Command, KeepsOwnerGroupAndMode) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give the file another owner";
  ScratchDir dir;
  WriteFile(dir / "data.json", kPlain);
  ASSERT_EQ(chown((dir / "data.json").c_str(), 1, 2), 0);
  ASSERT_EQ(chmod((dir / "data.json").c_str(), 04604), 0);
  ASSERT_EQ(RunTool(dir.path(), {"data.json"}).status, 0);
  struct stat st;
  ASSERT_EQ(stat((dir / "data.json").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 1u);
  EXPECT_EQ(st.st_gid, 2u);
  EXPECT_EQ(st.st_mode & 07777, 04604u);
}

TEST(Command, Usage) {
  const Result help = RunTool("/", {"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("usage: xorscramble", 0), 0u) << help.out;
  EXPECT_EQ(help.err, "");

  const Result none = RunTool("/", {});
  EXPECT_EQ(none.status, 2);
  EXPECT_EQ(none.out, "");
  EXPECT_EQ(none.err, "xorscramble: missing file operand\n" + help.out);

  const Result version = RunTool("/", {"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("xorscramble ", 0), 0u) << version.out;

  RunOptions full;
  full.full_stdout = true;
  const Result lost = RunTool("/", {"--help"}, full);
  EXPECT_EQ(lost.status, 1) << "output that was lost is not a success";
  EXPECT_EQ(lost.err, "xorscramble: write error: No space left on device\n");
}

// Realistic documents, bytes of every kind, and 40 MiB of them: each is scrambled as the key
// schedule says (and differs, unless empty), and restored byte for byte.
TEST(Command, ScramblesEveryKindOfContent) {
  std::vector<std::pair<std::string, std::string>> samples = {
      {"bytes.json", std::string("{\"k\":\r\n\x1a\0\xff}\r\n", 12) + kPlain},
      {"large.bin", testing_support::RandomBytes(40 << 20, 13)}};
  for (const char* name : {"nested.json", "large.json", "utf8.json", "crlf.json", "empty.json"}) {
    samples.emplace_back(name, ReadFile(DataFile(std::string("json/") + name)));
  }
  for (const auto& [name, plain] : samples) {
    SCOPED_TRACE(name);
    ScratchDir dir;
    WriteFile(dir / name, plain);
    ASSERT_EQ(RunTool(dir.path(), {name}).status, 0);
    const std::string once = ReadFile(dir / name);
    EXPECT_TRUE(once == testing_support::Scrambled(plain, kBuiltIn));
    EXPECT_EQ(once != plain, !plain.empty());
    ASSERT_EQ(RunTool(dir.path(), {name}).status, 0);
    EXPECT_TRUE(ReadFile(dir / name) == plain);
  }
}

}  // namespace
}  // namespace command_test
