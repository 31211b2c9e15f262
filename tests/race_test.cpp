// SPDX-License-Identifier: MIT
// An attacker who moves names between the command's steps while root runs it: the command runs
// under ptrace, and at each of its file-system calls a second user swaps a folder or a file of
// hers for a link to a root-only place. Also, from the same trace, the order in which the new
// content is made durable.

#include <fcntl.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "command_harness.h"

namespace command_test {
namespace {

namespace fs = std::filesystem;

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
  EXPECT_EQ(AsUser(uid, GroupOf(uid),
                   [&] {
                     return syscall(SYS_renameat2, AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(),
                                    RENAME_EXCHANGE) == 0
                                ? 0
                                : 1;
                   }),
            0)
      << "the swap failed";
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
