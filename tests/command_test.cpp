// SPDX-License-Identifier: MIT
// xorscramble's basic behaviour, tried from outside as a user would: what it writes, what it
// keeps, what it says.

#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <regex>
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

  // With standard error closed, no file of the run's may take its number: the loader's lines
  // for it (the shim makes the command load it) would land in the new content.
  const RunOptions closed = RunOptions().Faults({"LD_DEBUG=bindings"}).InChild([] { close(2); });
  struct Step {
    std::vector<std::string> args;
    const std::string& expected;
    RunOptions options;
    std::string err;
  } steps[] = {
      {{"data.json"}, kScrambled, {}, ""},
      {{"data.json"}, kPlain, {}, ""},
      // Through the link; the rest is named, and not acted on.
      {{"link.json", "-c", "a b"},
       kScrambled,
       {},
       "xorscramble: ignoring -c: one file per run\nxorscramble: ignoring 'a b': one file per "
       "run\n"},
      {{"--", "data.json"}, kPlain, {}, ""},
      {{"data.json"}, kScrambled, closed, ""},
  };
  for (const Step& step : steps) {
    const Result run = RunTool(dir.path(), step.args, step.options);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, step.err);
    EXPECT_TRUE(ReadFile(dir / "data.json") == step.expected) << step.args[0];
  }
  EXPECT_TRUE(fs::is_symlink(dir / "link.json")) << "the link stays a link";
  EXPECT_EQ(fs::status(dir / "data.json").permissions(), fs::perms(0640));

  EXPECT_EQ(RunTool(dir.path(), {"empty.json"}).status, 0);
  EXPECT_EQ(ReadFile(dir / "empty.json"), "");
  EXPECT_EQ(Names(dir.path()), names) << "no temporary file left behind";
}

// The name stays as the folder holds it: on a file system that folds case, a run on data.json
// leaves Data.JSON so named; and a temporary name made of a long name's first bytes is cut where a
// character starts, which a file system that keeps names as Unicode insists on.
TEST(Command, KeepsTheNameAsTheFolderHoldsIt) {
  const ScratchMount mount("exfat");
  if (mount.path().empty()) GTEST_SKIP() << mount.why();
  std::string long_name = "a";
  for (int i = 0; i < 20; ++i) long_name += "\u00e9";  // its 32nd byte inside the 16th
  for (const auto& [held, arg] : {std::pair<std::string, std::string>{"Data.JSON", "data.json"},
                                  {long_name + ".json", long_name + ".json"}}) {
    SCOPED_TRACE(held);
    WriteFile(mount.path() + "/" + held, kPlain);
    const Result run = RunTool(mount.path(), {arg});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(Names(mount.path()), std::vector<std::string>{held});
    EXPECT_TRUE(ReadFile(mount.path() + "/" + held) == kScrambled);
    fs::remove(mount.path() + "/" + held);
  }
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

  for (const std::vector<std::string>& none : {std::vector<std::string>{}, {"-c"}, {"--"}}) {
    const Result run = RunTool("/", none);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err,
              "xorscramble: missing file operand\n"
              "Try 'xorscramble --help' for more information.\n");
  }
  EXPECT_EQ(RunTool("/", {"-c", "-h"}).out, help.out);

  const Result version = RunTool("/", {"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("xorscramble ", 0), 0u) << version.out;
  EXPECT_EQ(RunTool("/", {"-V"}).out, version.out);

  RunOptions full;
  full.full_stdout = true;
  const Result lost = RunTool("/", {"--help"}, full);
  EXPECT_EQ(lost.status, 1) << "output that was lost is not a success";
  EXPECT_EQ(lost.err, "xorscramble: write error: No space left on device\n");
}

// -c writes what the in-place form would write to standard output and leaves the file exactly as
// it was, its identity and times included; "-" is standard input, so that two filters give the
// plain bytes back; a file named "-" is reached after "--"; and a reader that goes away (| head)
// ends the run without a word, whether SIGPIPE kills it or is ignored.
TEST(Command, WritesToStandardOutput) {
  ScratchDir dir;
  Plain(dir);
  WriteFile(dir / "-", kPlain);
  struct stat before;
  ASSERT_EQ(stat((dir / "data.json").c_str(), &before), 0);
  const auto input = [&dir](const std::string& name) {
    return RunOptions().InChild([path = dir / name] {
      if (dup2(open(path.c_str(), O_RDONLY), 0) != 0) _exit(124);
    });
  };
  struct Case {
    std::vector<std::string> args;
    RunOptions options;
    const std::string& out;
  } cases[] = {
      {{"-c", "data.json"}, {}, kScrambled},
      {{"--stdout", "--", "-"}, {}, kScrambled},
      {{"-"}, input("data.json"), kScrambled},
      {{"-c", "-"}, input("scrambled"), kPlain},
  };
  WriteFile(dir / "scrambled", kScrambled);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.back());
    const Result run = RunTool(dir.path(), c.args, c.options);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_TRUE(run.out == c.out);
  }
  struct stat after;
  ASSERT_EQ(stat((dir / "data.json").c_str(), &after), 0);
  EXPECT_TRUE(ReadFile(dir / "data.json") == kPlain && ReadFile(dir / "-") == kPlain);
  EXPECT_TRUE(after.st_ino == before.st_ino && after.st_mtim.tv_nsec == before.st_mtim.tv_nsec &&
              after.st_ctim.tv_nsec == before.st_ctim.tv_nsec);

  // In place, a file named "-" after "--".
  EXPECT_EQ(RunTool(dir.path(), {"--", "-"}).status, 0);
  EXPECT_TRUE(ReadFile(dir / "-") == kScrambled);

  const std::string big = testing_support::RandomBytes(4 << 20, 3);  // more than a pipe holds
  WriteFile(dir / "big", big);
  for (const bool ignored : {false, true}) {
    RunOptions closed = RunOptions().InChild([] {
      int ends[2];
      if (pipe(ends) != 0 || dup2(ends[1], 1) != 1) _exit(124);
      close(ends[0]);
    });
    if (ignored) closed.Ignoring(SIGPIPE);
    const Result run = RunTool(dir.path(), {"-c", "big"}, closed);
    EXPECT_EQ(run.status, ignored ? 1 : 128 + SIGPIPE);
    // The emulator has words of its own for a signal that ends its program.
    if (ignored || !kEmulated) {
      EXPECT_EQ(run.err, "");
    }
  }
  EXPECT_EQ(Names(dir.path()), (std::vector<std::string>{"-", "big", "data.json", "scrambled"}));
}

// -o writes what -c writes to a file, as the in-place form writes: a new one with the file's
// permission bits (standard input's with those a shell would give), an existing one keeping its
// own metadata, the file itself in place; and never over a file that another program makes under
// that name meanwhile. Nothing of the run is left beside it.
TEST(Command, WritesAnotherFile) {
  ScratchDir dir;
  Plain(dir);
  ASSERT_EQ(chmod((dir / "data.json").c_str(), 0640), 0);
  WriteFile(dir / "kept.json", "");
  ASSERT_EQ(chmod((dir / "kept.json").c_str(), 0604), 0);
  const mode_t mask = umask(0);
  umask(mask);
  // While the new content is written, the file is the caller's alone, whatever it becomes.
  ScratchDir look;
  WriteFile(look / "mode", "");
  struct Case {
    std::vector<std::string> args;
    std::string out;
    mode_t mode;
    RunOptions options;
  } cases[] = {
      {{"-o", "new.json", "data.json"},
       "new.json",
       0640,
       RunOptions().Faults({"XORSCRAMBLE_TEST_MODE_SEEN=" + (look / "mode")})},
      {{"--output=kept.json", "data.json"}, "kept.json", 0604, {}},
      {{"-o", "piped.json", "-"},
       "piped.json",
       0666 & ~mask,
       RunOptions().InChild([path = dir / "data.json"] {
         if (dup2(open(path.c_str(), O_RDONLY), 0) != 0) _exit(124);
       })},
      {{"--output", "named.json", "data.json"},
       "named.json",
       0640,
       RunOptions().Faults({kNoTmpfile})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.out);
    const Result run = RunTool(dir.path(), c.args, c.options);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out + run.err, "");
    EXPECT_TRUE(ReadFile(dir / c.out) == kScrambled);
    EXPECT_EQ(fs::status(dir / c.out).permissions(), fs::perms(c.mode));
  }
  EXPECT_TRUE(ReadFile(dir / "data.json") == kPlain);
  if (!kEmulated) {
    EXPECT_EQ(ReadFile(look / "mode"), "600") << "the file was another's to read";
  }
  EXPECT_EQ(RunTool(dir.path(), {"-o", "data.json", "data.json"}).status, 0);
  EXPECT_TRUE(ReadFile(dir / "data.json") == kScrambled) << "onto itself: in place";

  if (!kEmulated) {
    const Result raced = RunTool(dir.path(), {"-o", "raced.json", "data.json"},
                                 RunOptions().Faults({"XORSCRAMBLE_TEST_CREATE=raced.json"}));
    EXPECT_EQ(raced.status, 1);
    EXPECT_EQ(raced.err,
              "xorscramble: raced.json: changed while being scrambled; left as it was\n");
    EXPECT_EQ(ReadFile(dir / "raced.json"), "");
    fs::remove(dir / "raced.json");
  }
  EXPECT_EQ(Names(dir.path()), (std::vector<std::string>{"data.json", "kept.json", "named.json",
                                                         "new.json", "piped.json"}));
}

// Where standard error is a terminal, a run that takes more than a second says how far it has come,
// on one line written over and cleared at the end; where it is not, nothing at all. Eight pieces,
// each written slowly (the fault shim), take the run past its first second.
TEST(Command, ShowsProgressOnATerminalOnly) {
  if (kEmulated) GTEST_SKIP() << kNoShimUnderEmulator;
  ScratchDir dir;
  WriteFile(dir / "big", testing_support::RandomBytes(2 << 20, 5));
  int terminal = -1;
  int user = -1;
  ASSERT_EQ(openpty(&terminal, &user, nullptr, nullptr, nullptr), 0);
  const RunOptions slow = RunOptions().Faults({"XORSCRAMBLE_TEST_SLOW_WRITE=200"});
  RunOptions on_terminal = slow;
  on_terminal.InChild([user] {
    if (dup2(user, 2) != 2) _exit(124);
  });
  const Result shown = RunTool(dir.path(), {"big"}, on_terminal);
  EXPECT_EQ(shown.status, 0);
  fcntl(terminal, F_SETFL, O_NONBLOCK);
  std::string seen;
  char buf[4096];
  for (ssize_t n; (n = read(terminal, buf, sizeof buf)) > 0;)
    seen.append(buf, static_cast<std::size_t>(n));
  close(user);
  close(terminal);
  EXPECT_TRUE(std::regex_match(
      seen, std::regex("(\rxorscramble: big: [0-9.]+ (bytes|KiB|MiB) of 2\\.0 MiB \\([0-9]+%\\), "
                       "[0-9.]+ (bytes|KiB|MiB)/s\x1b\\[K)+\r\x1b\\[K")))
      << seen;

  const Result quiet = RunTool(dir.path(), {"big"}, slow);
  EXPECT_EQ(quiet.status, 0);
  EXPECT_EQ(quiet.err, "");
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

// The memory this machine has free, in bytes; 0 where it cannot tell.
std::uint64_t FreeMemory() {
  std::ifstream meminfo("/proc/meminfo");
  std::string key;
  std::uint64_t kib = 0;
  while (meminfo >> key >> kib) {
    if (key == "MemAvailable:") return kib << 10;
    meminfo.ignore(64, '\n');
  }
  return 0;
}

// A file of any size, read and written in pieces with 64-bit offsets: a sparse file just past
// 4 GiB (past 2 GiB for a 32-bit build, under its emulator) on a tmpfs of its own, scrambled and
// restored, checked at its ends and at the edges of pieces, of the ranges written behind, of 2 GiB
// and of 4 GiB.
TEST(Command, ScramblesFilesPastFourGiB) {
  if (kSanitized) {
    GTEST_SKIP() << "under AddressSanitizer, 8 GiB of checked transforms take over a minute: the "
                    "plain build runs this";
  }
  const std::uint64_t size = (std::uint64_t{1} << (sizeof(void*) == 4 ? 31 : 32)) + 5;
  // The file and its replacement, both whole, at the second run.
  const std::uint64_t room = 2 * size + (std::uint64_t{64} << 20);
  if (FreeMemory() < room + (std::uint64_t{1} << 30)) {
    GTEST_SKIP() << "needs " << (room >> 30) + 1 << " GiB of free memory for the file on tmpfs";
  }
  const ScratchMount mount("tmpfs", "size=" + std::to_string(room));
  if (mount.path().empty()) GTEST_SKIP() << mount.why();
  const std::string big = mount.path() + "/big";
  const int fd = open(big.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
  ASSERT_TRUE(fd >= 0 && ftruncate(fd, static_cast<off_t>(size)) == 0 && close(fd) == 0);
  std::vector<std::uint64_t> offsets = {0, 1, 2, size - 1};
  for (const std::uint64_t edge :
       {std::uint64_t{256} << 10, std::uint64_t{4} << 20, std::uint64_t{8} << 20,
        std::uint64_t{1} << 31, std::uint64_t{1} << 32}) {
    for (const std::uint64_t at : {edge - 1, edge, edge + 1}) {
      if (at < size) offsets.push_back(at);
    }
  }
  for (const bool scrambled : {true, false}) {
    SCOPED_TRACE(scrambled ? "scrambled" : "restored");
    const Result run = RunTool(mount.path(), {"big"});
    ASSERT_EQ(run.status, 0) << run.err;
    struct stat st;
    ASSERT_EQ(stat(big.c_str(), &st), 0);
    EXPECT_EQ(static_cast<std::uint64_t>(st.st_size), size);
    const int in = open(big.c_str(), O_RDONLY | O_CLOEXEC);
    for (const std::uint64_t at : offsets) {
      unsigned char byte = 0xAA;
      EXPECT_EQ(pread(in, &byte, 1, static_cast<off_t>(at)), 1);
      EXPECT_EQ(byte,
                scrambled ? kBuiltIn[static_cast<std::size_t>(at % kBuiltIn.size())] & 0xFF : 0)
          << "at " << at;
    }
    close(in);
  }
}

}  // namespace
}  // namespace command_test
