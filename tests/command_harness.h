// SPDX-License-Identifier: MIT
// Running xorscramble from outside, as a user would, for the command's tests: in a folder, as
// another user, with a file-size limit, with signals ignored, with a fault injected
// (tests/fault_shim.cpp), under a tracer or under an emulator; and what a run leaves behind,
// described for comparison. Linux only.

#ifndef XORSCRAMBLE_TESTS_COMMAND_HARNESS_H_
#define XORSCRAMBLE_TESTS_COMMAND_HARNESS_H_

#include <signal.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/types.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "test_support.h"

namespace command_test {

using testing_support::DataFile;
using testing_support::kBuiltIn;
using testing_support::kSanitized;
using testing_support::ReadFile;
using testing_support::ScratchDir;
using testing_support::WriteFile;

constexpr uid_t kNobody = 65534;

// The group the harness gives a user (and the files it gives that user): a number other than the
// user's own, so that a check that reads the one for the other is seen. Root keeps group 0.
constexpr gid_t GroupOf(uid_t uid) { return uid == 0 ? 0 : uid - 1; }

// Whether the command (and the test) run under an emulator for another machine's programs
// (qemu-user), which cannot do all that a kernel does: no ptrace, no preloading into a static
// program, and messages of its own for signals.
constexpr bool kEmulated = sizeof(XORSCRAMBLE_EMULATOR) > 1;
constexpr char kNoShimUnderEmulator[] =
    "under the emulator: the command is static there, and never loads the fault shim";

// The shipped sample, plain and scrambled with the built-in key.
inline const std::string kPlain = ReadFile(DataFile("sample.json"));
inline const std::string kScrambled = ReadFile(DataFile("sample.json.scrambled"));

// Knobs of the fault shim (see tests/fault_shim.cpp).
inline const std::string kTouch = "XORSCRAMBLE_TEST_TOUCH=data.json";
inline const std::string kNoTmpfile = "XORSCRAMBLE_TEST_NO_TMPFILE=1";

// How to run the command; each setter returns the options, to be chained.
struct RunOptions {
  uid_t uid = 0;  // run as this user instead (needs root)
  rlim_t file_limit = RLIM_INFINITY;
  std::vector<std::string> env;    // NAME=value
  bool full_stdout = false;        // standard output on /dev/full
  std::vector<int> ignored;        // signals ignored when the command starts, as nohup leaves them
  bool traced = false;             // stopped before exec for a tracer
  std::function<void()> in_child;  // run in the child, in its folder, before it drops its rights

  RunOptions& As(uid_t user) {
    uid = user;
    return *this;
  }
  RunOptions& FileLimit(rlim_t bytes) {
    file_limit = bytes;
    return *this;
  }
  // Preloads the fault shim with these knobs set.
  RunOptions& Faults(std::vector<std::string> knobs);
  RunOptions& Ignoring(int sig) {
    ignored.push_back(sig);
    return *this;
  }
  RunOptions& InChild(std::function<void()> step) {
    in_child = std::move(step);
    return *this;
  }
  // Whether the fault shim is preloaded.
  bool shimmed() const;
};

struct Result {
  int status;  // the exit status, or 128 + the signal that ended it
  std::string out;
  std::string err;
};

// A run of the command that has been started and not yet waited for.
struct Child {
  pid_t pid;
  FILE* out;
  FILE* err;
};

Child StartTool(const std::string& cwd, const std::vector<std::string>& args,
                const RunOptions& options = {});
// The result of a run whose wait status is known.
Result Collect(const Child& child, int wstatus);
Result Finish(const Child& child);
Result RunTool(const std::string& cwd, const std::vector<std::string>& args,
               const RunOptions& options = {});

// Every entry below `root` with its type, permissions, owner and content: what a failed run
// must leave exactly as it found it.
std::map<std::string, std::string> Tree(const std::string& root);

// The names in a folder, sorted: a run must leave no temporary file behind.
std::vector<std::string> Names(const std::string& dir);

// The message for a file that could not be read.
std::string ReadFailed(const std::string& arg, const std::string& reason);

// Writes the plain sample to `dir / name`; returns `name`.
std::string Plain(const ScratchDir& dir, const std::string& name = "data.json");

// Gives `path` an owner (and that owner's GroupOf) and a mode; needs root.
void Own(const std::string& path, uid_t uid, mode_t mode);

// A symbolic link at `dir / name` to `target`, owned by `uid` (which needs root); returns `name`.
std::string Link(const ScratchDir& dir, const std::string& target, const std::string& name,
                 uid_t uid);

// Sets or clears a chattr flag (a mark: FS_APPEND_FL, FS_IMMUTABLE_FL) of a file or folder; false
// where the file system or the process's rights do not allow it.
bool Mark(const std::string& path, int flag, bool on);

// Gives the calling process the rights of user `uid` and group `gid` alone; false where it cannot.
bool BecomeUser(uid_t uid, gid_t gid);

// Runs `step` in a child process with the rights of user `uid` and group `gid` alone, and returns
// its exit status (125 where the rights cannot be taken).
int AsUser(uid_t uid, gid_t gid, const std::function<int()>& step);

// The signals that end a process by default and that users or the system send: those whose
// handler must remove a named temporary file first.
inline constexpr int kEndingSignals[] = {SIGINT,  SIGTERM, SIGHUP,  SIGQUIT, SIGUSR1,
                                         SIGUSR2, SIGALRM, SIGPIPE, SIGXCPU, SIGVTALRM};

// Whether a process here can make a user namespace.
bool CanMakeUserNamespace();

// Moves the calling process into a new user namespace with `map` ("inner outer count" lines) as
// both its uid and its gid map, written by a helper with root's rights; ends the process (124)
// where it cannot.
void EnterUserNamespace(const std::string& map);

// The output of a shell command (standard error included), with its exit status in *status.
std::string Shell(const std::string& command, int* status = nullptr);

// A file system of its own on a scratch folder, for as long as the object lives: tmpfs (with
// `options`); ext2 (with timestamps in whole seconds), ext4, XFS or Btrfs on a loop device over
// a sparse image the size its mkfs asks at least; exFAT through FUSE; or a bindfs mirror (with
// `options`) of the folder under(). Where it cannot be made here, path() is empty and why() says
// why.
class ScratchMount {
 public:
  explicit ScratchMount(const std::string& type, const std::string& options = "");
  ~ScratchMount();
  ScratchMount(const ScratchMount&) = delete;
  ScratchMount& operator=(const ScratchMount&) = delete;

  const std::string& path() const { return path_; }
  std::string under() const { return home_ / "under"; }
  const std::string& why() const { return why_; }

 private:
  ScratchDir home_;
  std::string path_;
  std::string why_;
};

}  // namespace command_test

#endif  // XORSCRAMBLE_TESTS_COMMAND_HARNESS_H_
