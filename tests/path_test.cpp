// SPDX-License-Identifier: MIT
// Which file xorscramble rewrites, from outside: symbolic links followed under the link rule, and
// the links in /proc followed as the kernel follows them.

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "command_harness.h"

namespace command_test {
namespace {

namespace fs = std::filesystem;

// Links are followed where nobody but their owner is at stake: the caller's own, root's, and
// another user's that leads to that user's own file, or to a folder of theirs and out of it to a
// file of theirs.
TEST(Paths, FollowsLinksItMayTrust) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give links other owners";
  struct Case {
    const char* name;
    uid_t link_owner;
    uid_t caller;  // 0: root
    const char* target;
    const char* arg;
  } cases[] = {
      {"another user's link to their own file", kNobody, 0, "data.json", "link.json"},
      {"root's link, for another user", 0, kNobody, "data.json", "link.json"},
      {"the caller's own link", kNobody, kNobody, "data.json", "link.json"},
      {"the caller's own link to a folder, then ..", 0, 0, "sub", "link.json/../data.json"},
      {"another user's link to their folder, then .. to their file", kNobody, 0, "sub",
       "link.json/../data.json"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    Own(dir / Plain(dir), kNobody, 0644);
    ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
    ASSERT_EQ(mkdir((dir / "sub").c_str(), 0755), 0);
    Own(dir / "sub", kNobody, 0755);
    Link(dir, c.target, "link.json", c.link_owner);
    RunOptions options;
    options.As(c.caller);
    const Result run = RunTool(dir.path(), {c.arg}, options);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_TRUE(ReadFile(dir / "data.json") == kScrambled);
    EXPECT_TRUE(fs::is_symlink(dir / "link.json"));
  }
}

// Makes `from` appear at `at` in the calling process's own mount namespace, and nowhere else;
// ends the process where it cannot.
void BindPrivately(const std::string& from, const std::string& at) {
  if (unshare(CLONE_NEWNS) != 0 ||
      mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      mount(from.c_str(), at.c_str(), nullptr, MS_BIND, nullptr) != 0) {
    _exit(124);
  }
}

// A process that has done `setup`, which says whether it could, and waits until it goes: its
// links in /proc are there to be followed meanwhile.
class Waiting {
 public:
  explicit Waiting(const std::function<bool()>& setup) {
    int ready[2];
    if (pipe(ready) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      const char done = setup() ? 1 : 0;
      if (write(ready[1], &done, 1) != 1) _exit(125);
      pause();
      _exit(0);
    }
    char done = 0;
    ready_ = read(ready[0], &done, 1) == 1 && done == 1;
    close(ready[0]);
    close(ready[1]);
  }
  ~Waiting() {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  Waiting(const Waiting&) = delete;
  Waiting& operator=(const Waiting&) = delete;

  bool ready() const { return ready_; }
  std::string proc() const { return "/proc/" + std::to_string(pid_); }

 private:
  pid_t pid_ = -1;
  bool ready_ = false;
};

// Whether a process here can have mounts of its own (not in a chroot, whose root is no mount).
bool CanBindPrivately(const std::string& dir) {
  const pid_t pid = fork();
  if (pid == 0) {
    BindPrivately(dir, dir);
    _exit(0);
  }
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  return WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0;
}

// Links in /proc lead where their process's descriptors lead, whatever their text says: the file
// rewritten is the one the kernel reaches, or none, and a bystander named like the text is never
// touched.
TEST(Paths, FollowsLinksInProcAsTheKernelDoes) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to mount";
  ScratchDir dir;
  if (!CanBindPrivately(dir.path())) GTEST_SKIP() << "cannot have mounts of its own here";
  fs::create_directory(dir / "named");
  fs::create_directory(dir / "cover");
  Plain(dir, "named/data.json");
  Plain(dir, "cover/data.json");

  // The working folder, covered by a mount since: /proc/self/cwd is the folder, not the mount.
  RunOptions covered;
  covered.InChild([&] { BindPrivately(dir / "cover", dir / "named"); });
  Result run = RunTool(dir / "named", {"/proc/self/cwd/data.json"}, covered);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(ReadFile(dir / "named/data.json") == kScrambled);
  EXPECT_TRUE(ReadFile(dir / "cover/data.json") == kPlain);

  // Another process's root, where a mount of its own covers the folder: its file, not ours.
  {
    const Waiting other([&] {
      BindPrivately(dir / "cover", dir / "named");
      return true;
    });
    ASSERT_TRUE(other.ready());
    run = RunTool(dir.path(), {other.proc() + "/root" + dir / "named/data.json"});
  }
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(ReadFile(dir / "cover/data.json") == kScrambled);
  EXPECT_TRUE(ReadFile(dir / "named/data.json") == kScrambled) << "changed by the second run";

  // An open file, by its descriptor: rewritten while it has its name; refused once it has none,
  // though a bystander bears the name its link shows.
  for (const bool deleted : {false, true}) {
    SCOPED_TRACE(deleted ? "deleted" : "named");
    WriteFile(dir / "open.json", kPlain);
    WriteFile(dir / "open.json (deleted)", kPlain);
    RunOptions held;
    held.InChild([&] {
      if (dup2(open((dir / "open.json").c_str(), O_RDONLY), 3) != 3) _exit(124);
      if (deleted) unlink((dir / "open.json").c_str());
    });
    run = RunTool(dir.path(), {"/proc/self/fd/3"}, held);
    if (deleted) {
      EXPECT_EQ(run.status, 1);
      EXPECT_TRUE(std::regex_match(
          run.err, std::regex("xorscramble: /proc/self/fd/3: not following the symbolic link "
                              "/proc/[0-9]+/fd/3: the file it leads to cannot be reached by its "
                              "name \\(deleted, moved, or in another mount namespace\\)\n")))
          << run.err;
    } else {
      EXPECT_EQ(run.status, 0) << run.err;
      EXPECT_TRUE(ReadFile(dir / "open.json") == kScrambled);
    }
    EXPECT_TRUE(ReadFile(dir / "open.json (deleted)") == kPlain);
    fs::remove(dir / "open.json");
  }
}

// A process's links in /proc are its real user's, however it makes them look (one that is not
// dumpable makes them look like root's). Beyond one, in a mount namespace that the caller does not
// answer for, its user's mounts may lead anywhere, as its links may: what is reached must be that
// user's. So no other user's process gets root's file rewritten; root's own processes, and a mount
// namespace root made, are followed.
TEST(Paths, ProcessLinksAreTheirUsers) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as a second user";
  enum Mounts { kCallers, kRootMade, kUserMade };
  struct Case {
    const char* name;
    uid_t user;  // whose the process is
    Mounts mounts;
    const char* arg;  // from its folder in /proc
    bool followed;
  } cases[] = {
      {"another user's process, its open file", kNobody, kCallers, "fd/3", false},
      {"another user's process, its working folder", kNobody, kCallers, "cwd/data.json", false},
      {"root's process, its open file", 0, kCallers, "fd/3", true},
      {"root's mount of root's folder", kNobody, kRootMade, "cwd/m/data.json", true},
      {"another user's mount of root's folder", kNobody, kUserMade, "cwd/m/data.json", false},
      {"another user's mount of root's file over his own", kNobody, kUserMade, "cwd/f", false},
  };
  std::string skipped;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (kEmulated && c.mounts != kCallers) {
      skipped =
          "under the emulator, which cannot make a user namespace (it runs threads) and "
          "passes no namespace ioctl, the cases with mount namespaces are skipped";
      continue;
    }
    ScratchDir dir;
    ASSERT_EQ(mkdir((dir / "root").c_str(), 0755), 0);
    ASSERT_EQ(chmod((dir / Plain(dir, "root/data.json")).c_str(), 0600), 0);
    ASSERT_EQ(mkdir((dir / "home").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((dir / "home/m").c_str(), 0755), 0);
    WriteFile(dir / "home/f", "his own\n");
    for (const char* his : {"home", "home/m", "home/f"}) Own(dir / his, kNobody, 0755);
    const auto before = Tree(dir.path());
    auto bind = [&] {
      return mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
             mount((dir / "root").c_str(), (dir / "home/m").c_str(), nullptr, MS_BIND, nullptr) ==
                 0 &&
             mount((dir / "root/data.json").c_str(), (dir / "home/f").c_str(), nullptr, MS_BIND,
                   nullptr) == 0;
    };
    const Waiting process([&] {
      const bool own = c.mounts == kUserMade;
      return dup2(open((dir / "root/data.json").c_str(), O_RDONLY), 3) == 3 &&
             (c.mounts != kRootMade || (unshare(CLONE_NEWNS) == 0 && bind())) &&
             (c.user == 0 || BecomeUser(c.user, GroupOf(c.user))) &&
             (!own || (unshare(CLONE_NEWUSER | CLONE_NEWNS) == 0 && bind())) &&
             chdir((dir / (c.mounts == kCallers ? "root" : "home")).c_str()) == 0 &&
             prctl(PR_SET_DUMPABLE, 0) == 0;
    });
    if (!process.ready()) {
      ASSERT_NE(c.mounts, kCallers) << "the process could not be set up";
      skipped = "cannot have namespaces with mounts here: those cases are skipped";
      continue;
    }
    const Result run = RunTool(dir.path(), {process.proc() + "/" + c.arg});
    if (c.followed) {
      EXPECT_EQ(run.status, 0) << run.err;
      EXPECT_TRUE(ReadFile(dir / "root/data.json") == kScrambled);
    } else {
      EXPECT_EQ(run.status, 1);
      EXPECT_TRUE(
          std::regex_match(run.err, std::regex("xorscramble: [^\n]*: not following [^\n]*\n")))
          << run.err;
      EXPECT_EQ(Tree(dir.path()), before);
    }
  }
  if (!skipped.empty()) GTEST_SKIP() << skipped;
}

}  // namespace
}  // namespace command_test
