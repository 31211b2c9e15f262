// SPDX-License-Identifier: MIT
// xorscramble interrupted and failing late, from outside: signals at chosen and at random moments,
// failures after the new file has a name, and two runs racing on one file. The file is always
// wholly the old content or wholly the new, and nothing of the run is left beside it.

#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "command_harness.h"

namespace command_test {
namespace {

namespace fs = std::filesystem;

// Every signal that ends a process by default and that users or the system send, taken while
// the new content is written: with a named temporary file, the handler removes it before the
// process ends by the signal; an unnamed one has no name to leave. Either way nothing is said and
// the folder is exactly as it was.
TEST(Interruptions, SignalsWhileWritingLeaveNothingBehind) {
  if (kEmulated) GTEST_SKIP() << kNoShimUnderEmulator;
  for (const bool named : {true, false}) {
    for (int sig : kEndingSignals) {
      SCOPED_TRACE(std::string(strsignal(sig)) + (named ? ", named" : ", unnamed"));
      ScratchDir dir;
      Plain(dir);
      const auto before = Tree(dir.path());
      RunOptions options;
      options.Faults({"XORSCRAMBLE_TEST_SIGNAL=" + std::to_string(sig)});
      if (named) options.Faults({kNoTmpfile});
      const Result run = RunTool(dir.path(), {"data.json"}, options);
      EXPECT_EQ(run.status, 128 + sig);
      EXPECT_EQ(run.out + run.err, "");
      EXPECT_EQ(Tree(dir.path()), before);
      // Without a handler, every such signal ends the process alike: one shows it.
      if (!named) break;
    }
  }
}

// Where an unnamed temporary file could not be given a name at the end (a kernel before 6.10,
// without the capability, and without /proc), a named one is used from the start: the run
// succeeds, and a signal while it writes removes the named file.
TEST(Interruptions, NamesTheTemporaryFileWhereAnUnnamedOneCannotBeLinked) {
  if (kEmulated) GTEST_SKIP() << kNoShimUnderEmulator;
  ScratchDir dir;
  Plain(dir);
  RunOptions options;
  options.Faults({"XORSCRAMBLE_TEST_NO_FLINK=1"});
  const Result run = RunTool(dir.path(), {"data.json"}, options);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(ReadFile(dir / "data.json") == kScrambled);
  options.env.push_back("XORSCRAMBLE_TEST_SIGNAL=" + std::to_string(SIGTERM));
  EXPECT_EQ(RunTool(dir.path(), {"data.json"}, options).status, 128 + SIGTERM);
  EXPECT_TRUE(ReadFile(dir / "data.json") == kScrambled);
  EXPECT_EQ(Names(dir.path()), std::vector<std::string>{"data.json"});
}

// A signal that was ignored when the command started (nohup, a background job) stays ignored: the
// run goes on and completes.
TEST(Interruptions, IgnoredSignalsStayIgnored) {
  if (kEmulated) GTEST_SKIP() << kNoShimUnderEmulator;
  for (int sig : {SIGHUP, SIGINT, SIGQUIT, SIGPIPE}) {
    SCOPED_TRACE(strsignal(sig));
    ScratchDir dir;
    Plain(dir);
    RunOptions options;
    options.Faults({"XORSCRAMBLE_TEST_SIGNAL=" + std::to_string(sig), kNoTmpfile}).Ignoring(sig);
    const Result run = RunTool(dir.path(), {"data.json"}, options);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(ReadFile(dir / "data.json") == kScrambled);
    EXPECT_EQ(Names(dir.path()), std::vector<std::string>{"data.json"});
  }
}

// Failures once the new file has a name in the folder: a temporary file that cannot be removed is
// named, so that the user can remove it; a directory sync that fails after the rename has a status
// of its own, since the file was replaced.
TEST(Interruptions, FailuresAfterTheNewFileHasAName) {
  if (kEmulated) GTEST_SKIP() << kNoShimUnderEmulator;
  for (const bool named : {false, true}) {
    SCOPED_TRACE(named ? "named temporary file" : "unnamed temporary file");
    ScratchDir dir;
    Plain(dir);
    RunOptions options;
    options.Faults({"XORSCRAMBLE_TEST_NO_REMOVE=1"});
    if (named) options.Faults({kNoTmpfile});
    const Result run = RunTool(dir.path(), {"data.json"}, options);
    EXPECT_EQ(run.status, 1);
    const std::regex message(
        "xorscramble: data.json: cannot replace it: Operation not permitted; the temporary file "
        "(" +
        dir.path() +
        "/\\.data\\.json\\.xorscramble-[A-Za-z0-9]{8}) could not be removed: "
        "Operation not permitted\n");
    std::smatch left;
    ASSERT_TRUE(std::regex_match(run.err, left, message)) << run.err;
    EXPECT_TRUE(ReadFile(dir / "data.json") == kPlain);
    EXPECT_TRUE(ReadFile(left[1]) == kScrambled) << "the file named is the one left";
  }

  ScratchDir dir;
  Plain(dir);
  RunOptions options;
  options.Faults({"XORSCRAMBLE_TEST_DIR_EIO=1"});
  const Result run = RunTool(dir.path(), {"data.json"}, options);
  EXPECT_EQ(run.status, 3);
  EXPECT_EQ(run.err,
            "xorscramble: data.json: replaced, but its directory could not be synced: "
            "Input/output error\n");
  EXPECT_TRUE(ReadFile(dir / "data.json") == kScrambled);
  EXPECT_EQ(Names(dir.path()), std::vector<std::string>{"data.json"});
}

// A program that opens the file for writing during a run (a logger, an editor) never waits on
// it. While the new content is being written, the run steps aside and leaves the file, and what
// the program wrote, as they are; in the instant of the rename, too late to step aside, the run
// says that what the program wrote was lost with the old file. So for a truncation, which the
// lease does not see, and through a FUSE mirror for a writer of the file underneath, which it does
// not see either: there the file's own state, asked of the mirror afresh, tells.
TEST(Interruptions, AWriterMeanwhileNeverWaitsNorLosesItsWriteUnsaid) {
  if (kEmulated) GTEST_SKIP() << kNoShimUnderEmulator;
  const std::regex kWrite("written meanwhile, after waiting ([0-9]+) ms to open\n");
  const std::string lost =
      "xorscramble: data.json: replaced, but another program opened it for writing at that "
      "instant: what it writes is lost with the old file\n";
  struct Case {
    const char* name;
    const char* knob;  // =data.json, in the folder or in the one under the mirror
    bool mirrored;
    int status;
    std::string message;
  } cases[] = {
      {"while writing", "XORSCRAMBLE_TEST_WRITER", false, 1,
       "xorscramble: data.json: opened for writing by another program meanwhile; left as it was\n"},
      {"at the rename", "XORSCRAMBLE_TEST_LATE_WRITER", false, 3, lost},
      {"truncated at the rename", "XORSCRAMBLE_TEST_LATE_TRUNCATE", false, 3, lost},
      {"under a FUSE mirror, while writing", "XORSCRAMBLE_TEST_WRITER", true, 1,
       "xorscramble: data.json: changed while being scrambled; left as it was\n"},
  };
  std::string skipped;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    std::unique_ptr<ScratchMount> mirror;
    std::string folder = dir.path();
    std::string written = folder;
    if (c.mirrored) {
      mirror = std::make_unique<ScratchMount>("bindfs");
      if (mirror->path().empty()) {
        skipped = mirror->why();
        continue;
      }
      folder = mirror->path();
      written = mirror->under();
    }
    WriteFile(folder + "/data.json", kPlain);
    const Result run =
        RunTool(folder, {"data.json"},
                RunOptions().Faults({std::string(c.knob) + "=" + written + "/data.json"}));
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(run.err, c.message);
    EXPECT_EQ(Names(folder), std::vector<std::string>{"data.json"});
    const std::string content = ReadFile(folder + "/data.json");
    if (c.status == 3) {
      EXPECT_TRUE(content == kScrambled);
      continue;
    }
    std::smatch waited;
    const std::string appended = content.substr(std::min(kPlain.size(), content.size()));
    ASSERT_TRUE(content.compare(0, kPlain.size(), kPlain) == 0 &&
                std::regex_match(appended, waited, kWrite))
        << appended;
    // The kernel would hold it back for up to /proc/sys/fs/lease-break-time (45 s by default).
    EXPECT_LT(std::stol(waited[1]), 5000) << "the writer waited for the run";
  }
  if (!skipped.empty()) GTEST_SKIP() << "the case under a FUSE mirror: " << skipped;
}

// A file read in pieces that another program makes longer or shorter between two of them, or
// gives a second name (on ext2, whose clock ticks in seconds, so that only its link count tells),
// is refused as changed, and left as that program left it, with nothing of the run beside it.
TEST(Interruptions, AFileChangedWhileReadIsLeftAsTheWriterLeftIt) {
  if (kEmulated) GTEST_SKIP() << kNoShimUnderEmulator;
  const std::string plain = testing_support::RandomBytes(3 << 20, 13);  // several pieces
  struct Case {
    const char* knob;
    const char* file_system;  // nullptr: the scratch folder's
    std::string after;
    std::vector<std::string> names;
  } cases[] = {
      {"XORSCRAMBLE_TEST_GROW", nullptr, "", {"data"}},
      {"XORSCRAMBLE_TEST_SHRINK", nullptr, plain.substr(0, 1), {"data"}},
      {"XORSCRAMBLE_TEST_LINK", "ext2", plain, {"data", "data.link"}},
  };
  std::string skipped;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.knob);
    ScratchDir dir;
    std::unique_ptr<ScratchMount> mount;
    std::string folder = dir.path();
    if (c.file_system != nullptr) {
      mount = std::make_unique<ScratchMount>(c.file_system);
      if (mount->path().empty()) {
        skipped = mount->why();
        continue;
      }
      folder = mount->path();
    }
    WriteFile(folder + "/data", plain);
    const Result run =
        RunTool(folder, {"data"}, RunOptions().Faults({std::string(c.knob) + "=data"}));
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "xorscramble: data: changed while being scrambled; left as it was\n");
    const std::string after = ReadFile(folder + "/data");
    if (c.after.empty()) {  // grown
      EXPECT_TRUE(after.compare(0, plain.size(), plain) == 0 && after.size() > plain.size());
    } else {
      EXPECT_TRUE(after == c.after);
    }
    std::vector<std::string> names = Names(folder);
    names.erase(std::remove(names.begin(), names.end(), "lost+found"), names.end());
    EXPECT_EQ(names, c.names);
  }
  if (!skipped.empty()) GTEST_SKIP() << "the case on ext2: " << skipped;
}

// Signals at random moments while a large file is being rewritten: the file is always wholly
// the original or wholly transformed. Only SIGKILL, which cannot be caught, may leave the
// temporary file behind, and with O_TMPFILE only in the instant between linking and renaming it.
// The moments are tenths of a run's time, from its start to a quarter past its end. Each signal is
// sent at every moment once, and on until it has interrupted runs at kMoments distinct moments;
// a slow, instrumented build on a busy machine stops at the time given to each signal instead,
// and skips, said aloud, where it saw too few moments to tell.
TEST(Interruptions, SignalsAtRandomMomentsLeaveTheFileWhole) {
  using Clock = std::chrono::steady_clock;
  constexpr int kSlices = 10;
  constexpr std::size_t kMoments = 5;
  constexpr auto kTimePerSignal = std::chrono::seconds(25);
  ScratchDir dir;
  const std::string plain = testing_support::RandomBytes(8 << 20, 11);
  const std::string scrambled = testing_support::Scrambled(plain, kBuiltIn);
  WriteFile(dir / "data", plain);
  // How long a run takes here, measured again before every round of moments, to aim the signals
  // within a run as the machine's load comes and goes.
  const auto timed_run = [&dir] {
    const auto start = Clock::now();
    EXPECT_EQ(RunTool(dir.path(), {"data"}).status, 0);
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
  };
  double run_us = 0;
  std::mt19937 random(5);
  std::string too_few;
  for (int sig : {SIGKILL, SIGINT, SIGTERM}) {
    std::set<int> moments;
    const auto deadline = Clock::now() + kTimePerSignal;
    for (int trial = 0; (trial < kSlices || moments.size() < kMoments) && Clock::now() < deadline;
         ++trial) {
      SCOPED_TRACE("signal " + std::to_string(sig) + ", trial " + std::to_string(trial));
      const int slice = trial % kSlices;
      if (slice == 0) run_us = timed_run();
      const double delay =
          (slice + std::uniform_real_distribution<>()(random)) * run_us * 5 / 4 / kSlices;
      const std::string before = ReadFile(dir / "data");
      const Child child = StartTool(dir.path(), {"data"});
      usleep(static_cast<useconds_t>(delay));
      kill(child.pid, sig);
      const Result run = Finish(child);
      const std::string after = ReadFile(dir / "data");
      ASSERT_TRUE(after == plain || after == scrambled) << "a mixed file";
      if (run.status == 0) {
        EXPECT_TRUE(after != before) << "finished, so transformed";
      } else {
        EXPECT_EQ(run.status, 128 + sig) << run.err;
        moments.insert(slice);
      }
      if (sig == SIGKILL) {
        for (const std::string& name : Names(dir.path())) {
          if (name != "data") fs::remove(dir / name);
        }
      }
      EXPECT_EQ(Names(dir.path()), std::vector<std::string>{"data"});
    }
    RecordProperty("moments_interrupted_by_signal_" + std::to_string(sig),
                   static_cast<int>(moments.size()));
    if (moments.size() < kMoments) {
      too_few += " signal " + std::to_string(sig) + " at " + std::to_string(moments.size()) + ";";
    }
  }
  if (!too_few.empty()) {
    GTEST_SKIP() << "the machine was too slow to interrupt runs at " << kMoments
                 << " distinct moments in " << kTimePerSignal.count() << " s:" << too_few;
  }
}

// Two runs started together on one file: it ends transformed as often as runs succeeded, never
// mixed, and a run that lost the race says so.
TEST(Interruptions, RacingRunsNeverMixTheFile) {
  ScratchDir dir;
  const std::string plain = testing_support::RandomBytes(4 << 20, 12);
  const std::string scrambled = testing_support::Scrambled(plain, kBuiltIn);
  WriteFile(dir / "data", plain);
  const std::string lost[] = {
      "xorscramble: data: in use by another process (locked)\n",
      "xorscramble: data: changed while being opened; left as it was\n",
  };
  int races_lost = 0;
  for (int trial = 0; trial < 20; ++trial) {
    const std::string before = ReadFile(dir / "data");
    const Child first = StartTool(dir.path(), {"data"});
    const Child second = StartTool(dir.path(), {"data"});
    int succeeded = 0;
    for (const Result& run : {Finish(first), Finish(second)}) {
      if (run.status == 0) {
        ++succeeded;
        continue;
      }
      ++races_lost;
      EXPECT_EQ(run.status, 1);
      EXPECT_TRUE(run.err == lost[0] || run.err == lost[1]) << run.err;
    }
    const std::string after = ReadFile(dir / "data");
    const std::string& flipped = before == plain ? scrambled : plain;
    EXPECT_TRUE(after == (succeeded == 1 ? flipped : before)) << "trial " << trial;
    EXPECT_EQ(Names(dir.path()), std::vector<std::string>{"data"});
  }
  RecordProperty("races_lost_by_one_run", races_lost);
  if (races_lost == 0) GTEST_SKIP() << "the two runs never met in 20 tries: no race to judge";
}

}  // namespace
}  // namespace command_test
