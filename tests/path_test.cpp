// SPDX-License-Identifier: MIT
// Which file xorscramble rewrites, from outside: symbolic links followed under the link rule, the
// links in /proc followed as the kernel follows them, and an attacker who moves names between the
// command's steps while root runs it.

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <grp.h>
#include <algorithm>
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
             (c.user == 0 ||
              (setgroups(0, nullptr) == 0 && setgid(c.user) == 0 && setuid(c.user) == 0)) &&
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

// The file-system calls of a run: the moments at which an attacker may act between its steps.
bool IsFileCall(uint64_t nr) {
  static const long kCalls[] = {
      SYS_openat,     SYS_fstat,    SYS_statx,     SYS_readlinkat, SYS_linkat, SYS_renameat,
      SYS_renameat2,  SYS_unlinkat, SYS_faccessat, SYS_faccessat2, SYS_fchown, SYS_fchmod,
      SYS_fsync,      SYS_flock,    SYS_ioctl,     SYS_pread64,    SYS_write,
#ifdef SYS_newfstatat
      SYS_newfstatat,
#endif
#ifdef SYS_fstatat64
      SYS_fstatat64,  SYS_fstat64,  SYS_fchown32,
#endif
#ifdef SYS_open
      SYS_open,       SYS_stat,     SYS_lstat,     SYS_rename,     SYS_unlink, SYS_readlink,
      SYS_access,     SYS_link,     SYS_chown,     SYS_chmod,
#endif
  };
  return std::find(std::begin(kCalls), std::end(kCalls), static_cast<long>(nr)) != std::end(kCalls);
}

// Exchanges the names `a` and `b` with the rights of `uid` alone, as that user would.
void SwapAs(uid_t uid, const std::string& a, const std::string& b) {
  const pid_t pid = fork();
  if (pid == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0) _exit(125);
    _exit(syscall(SYS_renameat2, AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) == 0
              ? 0
              : 1);
  }
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  EXPECT_TRUE(WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0) << "the swap failed";
}

// Which names a second user swaps, and at which file-system calls of the run (counted from 1; 0
// is never).
struct Attack {
  std::string a, b;
  int at = 0;
  int back = 0;
};

// What a call of process `pid` does for the new content's durability: 'f' syncs a file, 'd' a
// folder, 'r' renames; 0 for any other call.
char Durability(pid_t pid, uint64_t nr, uint64_t fd) {
  if (nr == SYS_renameat || nr == SYS_renameat2) return 'r';
  if (nr != SYS_fsync && nr != SYS_fdatasync) return 0;
  struct stat st;
  const std::string at = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
  if (stat(at.c_str(), &st) != 0) return '?';
  return S_ISDIR(st.st_mode) ? 'd' : 'f';
}

// Runs the command under ptrace, stopped at the entry of each of its file-system calls; at the
// attack's moments the second user swaps the names while the command waits. `calls` gets the
// number of file-system calls that the run made, and `durability` (unless null) its syncs and
// renames in order, as Durability tells them.
Result RunAttacked(const std::string& cwd, const std::vector<std::string>& args, RunOptions options,
                   const Attack& attack, int* calls, std::string* durability = nullptr) {
  options.traced = true;
  // LeakSanitizer cannot stop a process that is traced already.
  options.env.push_back("ASAN_OPTIONS=detect_leaks=0:verify_asan_link_order=0");
  const Child child = StartTool(cwd, args, options);
  int wstatus = 0;
  waitpid(child.pid, &wstatus, 0);  // stopped before exec
  ptrace(PTRACE_SETOPTIONS, child.pid, nullptr,
         PTRACE_O_TRACESYSGOOD | PTRACE_O_TRACEEXEC | PTRACE_O_EXITKILL);
  *calls = 0;
  for (int deliver = 0;;) {
    ptrace(PTRACE_SYSCALL, child.pid, nullptr, deliver);
    deliver = 0;
    waitpid(child.pid, &wstatus, 0);
    if (!WIFSTOPPED(wstatus)) break;
    if (WSTOPSIG(wstatus) == (SIGTRAP | 0x80)) {
      struct __ptrace_syscall_info info {};
      if (ptrace(PTRACE_GET_SYSCALL_INFO, child.pid, sizeof info, &info) > 0 &&
          info.op == PTRACE_SYSCALL_INFO_ENTRY) {
        const char step = Durability(child.pid, info.entry.nr, info.entry.args[0]);
        if (durability != nullptr && step != 0) durability->push_back(step);
        if (IsFileCall(info.entry.nr) && (++*calls == attack.at || *calls == attack.back)) {
          SwapAs(kNobody, attack.a, attack.b);
        }
      }
    } else if (wstatus >> 16 == 0) {
      deliver = WSTOPSIG(wstatus);  // a signal for the command, not a tracing event
    }
  }
  return Collect(child, wstatus);
}

const std::string kSecret = "root only: the content of this file must never leave its folder";

// Root runs the command on shared/alice/data.json, a file of the second user's in a folder that
// she owns, inside another that she owns; secret/ is root's alone. At each file-system call of
// the run she swaps her folder (or her file) for her link to secret/ (or to secret/data.json),
// and swaps it back at the next call or never. Whatever the moment: secret/ holds exactly what
// it held, its content (plain or scrambled) is in no other file, her folder holds no temporary
// file, and the run reports success only when her folder holds her file scrambled, and failure
// only when it holds her file as it was.
void RaceEveryMoment(bool swap_folder) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as a second user";
  if (kEmulated) GTEST_SKIP() << "under the emulator: it has no ptrace";
  const std::string scrambled_secret = testing_support::Scrambled(kSecret, kBuiltIn);
  int runs = 0;
  int replaced = 0;
  for (const bool back : {true, false}) {
    for (const bool named : {false, true}) {
      int calls = 1;
      for (int at = 0; at <= calls; ++at) {
        SCOPED_TRACE(std::string(swap_folder ? "folder" : "file") + " swapped at call " +
                     std::to_string(at) + (back ? " and back" : "") +
                     (named ? ", named temporary file" : ""));
        ScratchDir root;
        ASSERT_EQ(mkdir((root / "secret").c_str(), 0700), 0);
        WriteFile(root / "secret/data.json", kSecret);
        ASSERT_EQ(chmod((root / "secret/data.json").c_str(), 0600), 0);
        for (const char* folder : {"shared", "shared/alice"}) {
          ASSERT_EQ(mkdir((root / folder).c_str(), 0755), 0);
          Own(root / folder, kNobody, 0755);
        }
        Own(root / Plain(root, "shared/alice/data.json"), kNobody, 0644);
        Link(root, root / "secret", "shared/decoy", kNobody);
        Link(root, root / "secret/data.json", "shared/alice/decoy.json", kNobody);
        const auto secret_before = Tree(root / "secret");

        Attack attack;
        attack.a = swap_folder ? root / "shared/alice" : root / "shared/alice/data.json";
        attack.b = swap_folder ? root / "shared/decoy" : root / "shared/alice/decoy.json";
        attack.at = at;
        attack.back = back && at > 0 ? at + 1 : 0;
        RunOptions options;
        if (named) options.Faults({kNoTmpfile});
        int made = 0;
        std::string durability;
        const Result run = RunAttacked(root.path(), {"shared/alice/data.json"}, options, attack,
                                       &made, &durability);
        if (at == 0) {
          calls = made;  // the run undisturbed: how many moments there are
          // A power cut at any moment leaves the old content or the new, whole.
          EXPECT_EQ(durability, "frd") << "the new file synced, renamed, then its folder synced";
        }
        ++runs;

        EXPECT_EQ(Tree(root / "secret"), secret_before) << "the root-only folder changed";
        for (auto it = fs::recursive_directory_iterator(root.path());
             it != fs::recursive_directory_iterator(); ++it) {
          if (it->path() == root / "secret") it.disable_recursion_pending();
          if (it->path().parent_path() == root / "secret" ||
              !fs::is_regular_file(it->symlink_status())) {
            continue;
          }
          const std::string content = ReadFile(it->path());
          EXPECT_TRUE(content.find(kSecret) == std::string::npos &&
                      content.find(scrambled_secret) == std::string::npos)
              << "root's content is in " << it->path();
        }
        const std::string alice =
            fs::is_symlink(root / "shared/alice") ? root / "shared/decoy" : root / "shared/alice";
        EXPECT_EQ(Names(alice), (std::vector<std::string>{"data.json", "decoy.json"}));
        // Her two names hold her file and her link, or, after a run that succeeded, her file or
        // her link replaced by the scrambled file (which she may have swapped on afterwards).
        int scrambled = 0;
        for (const char* name : {"/data.json", "/decoy.json"}) {
          struct stat st;
          if (lstat((alice + name).c_str(), &st) != 0 || S_ISLNK(st.st_mode)) continue;
          const std::string content = ReadFile(alice + name);
          scrambled += content == kScrambled;
          EXPECT_TRUE(content == kScrambled || content == kPlain) << name;
          EXPECT_EQ(st.st_uid, kNobody) << name;
        }
        EXPECT_EQ(scrambled, run.status == 0 ? 1 : 0) << "exit status " << run.status;
        if (run.status != 0) {
          EXPECT_EQ(run.status, 1);
          EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
        }
        replaced += run.status == 0;
      }
    }
  }
  testing::Test::RecordProperty("attacked_runs", runs);
  testing::Test::RecordProperty("attacked_runs_that_replaced", replaced);
  // Some moments come before anything is opened, some after the rename: an attack that changed no
  // outcome, or a harness that let no run through, has tested nothing.
  EXPECT_GT(replaced, 0) << "no run replaced her file: the harness stops every run";
  EXPECT_LT(replaced, runs) << "every run replaced her file: no swap took effect";
}

TEST(PathRaces, FolderSwappedForALink) { RaceEveryMoment(true); }
TEST(PathRaces, FileSwappedForALink) { RaceEveryMoment(false); }

}  // namespace
}  // namespace command_test
