// xorscramble tried from outside, as a user would: exit status, messages, and the files on disk.

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/fs.h>
#include <sched.h>
#include <signal.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <xorcodec/xor_codec.h>

#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using testing_support::DataFile;
using testing_support::kBuiltIn;
using testing_support::ReadFile;
using testing_support::ScratchDir;
using testing_support::WriteFile;

constexpr uid_t kNobody = 65534;

// Whether the command (and this program) run under an emulator, one for another machine's
// programs (qemu-user), which cannot do all that a kernel does: no ptrace, no preloading into a
// static program, and messages of its own for signals.
constexpr bool kEmulated = sizeof(XORSCRAMBLE_EMULATOR) > 1;

struct RunOptions {
  uid_t uid = 0;  // run as this user instead (needs root)
  rlim_t file_limit = RLIM_INFINITY;
  std::vector<std::string> env;    // NAME=value
  bool full_stdout = false;        // standard output on /dev/full
  std::vector<int> ignored;        // signals ignored when the command starts, as nohup leaves them
  bool traced = false;             // stopped before exec for a tracer (see RunAttacked)
  std::function<void()> in_child;  // run in the child, in its folder, before it drops its rights
};

struct Outcome {
  int status;  // the exit status, or 128 + the signal that ended it
  std::string out;
  std::string err;
};

std::string Slurp(FILE* f) {
  std::string text;
  rewind(f);
  for (int c; (c = fgetc(f)) != EOF;) text += static_cast<char>(c);
  fclose(f);
  return text;
}

std::string CopiedTo(const std::string& from, const std::string& to) {
  fs::copy_file(from, to);
  return to;
}

// The command as built, copied where any user may run it; or, for a run with the fault shim
// preloaded, the same objects linked with the shared C library (the command may be static).
const std::string& Tool(bool shimmed = false) {
  static ScratchDir home;
  static const std::string plain = CopiedTo(XORSCRAMBLE_PATH, home / "xorscramble");
  static const std::string shimmable =
      CopiedTo(XORSCRAMBLE_SHIMMABLE_PATH, home / "xorscramble-shimmable");
  return shimmed ? shimmable : plain;
}

bool IsShimmed(const RunOptions& options) {
  return std::any_of(options.env.begin(), options.env.end(),
                     [](const std::string& var) { return var.rfind("LD_PRELOAD=", 0) == 0; });
}

const char kNoShimUnderEmulator[] =
    "under the emulator: the command is static there, and never loads the fault shim";

// A run of the command that has been started and not yet waited for.
struct Child {
  pid_t pid;
  FILE* out;
  FILE* err;
};

Child StartTool(const std::string& cwd, const std::vector<std::string>& args,
                const RunOptions& options = {}) {
  const std::string& tool = Tool(IsShimmed(options));
  FILE* out = tmpfile();
  FILE* err = tmpfile();
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(options.full_stdout ? open("/dev/full", O_WRONLY) : fileno(out), 1);
    dup2(fileno(err), 2);
    const struct rlimit limit = {options.file_limit, options.file_limit};
    const struct rlimit no_core = {0, 0};  // a core file would land in the directory under test
    if (chdir(cwd.c_str()) != 0 || setrlimit(RLIMIT_FSIZE, &limit) != 0 ||
        setrlimit(RLIMIT_CORE, &no_core) != 0) {
      _exit(125);
    }
    for (int sig : options.ignored) signal(sig, SIG_IGN);
    if (options.in_child) options.in_child();
    if (options.uid != 0 &&
        (setgroups(0, nullptr) != 0 || setgid(options.uid) != 0 || setuid(options.uid) != 0)) {
      _exit(125);
    }
    for (const std::string& var : options.env) putenv(const_cast<char*>(var.c_str()));
    alarm(60);  // a hang fails the test instead of stalling the suite
    // Through the emulator, where there is one, rather than through whatever the kernel would do
    // with a program for another machine.
    std::vector<char*> argv;
    if (kEmulated) argv.push_back(const_cast<char*>(XORSCRAMBLE_EMULATOR));
    argv.push_back(const_cast<char*>(tool.c_str()));
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    if (options.traced && (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0 || raise(SIGSTOP))) {
      _exit(125);
    }
    execv(argv[0], argv.data());
    _exit(126);
  }
  return {pid, out, err};
}

// The outcome of a run whose wait status is known.
Outcome Collect(const Child& child, int wstatus) {
  const int status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  return {status, Slurp(child.out), Slurp(child.err)};
}

Outcome Finish(const Child& child) {
  int wstatus = 0;
  waitpid(child.pid, &wstatus, 0);
  return Collect(child, wstatus);
}

Outcome RunTool(const std::string& cwd, const std::vector<std::string>& args,
                const RunOptions& options = {}) {
  return Finish(StartTool(cwd, args, options));
}

// Every entry below `root` with its type, permissions, owner and content: what a failed run
// must leave exactly as it found it.
std::map<std::string, std::string> Tree(const std::string& root) {
  std::map<std::string, std::string> tree;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    struct stat st;
    lstat(entry.path().c_str(), &st);
    std::string& desc = tree[entry.path().string()];
    desc = std::to_string(st.st_mode) + " " + std::to_string(st.st_uid) + ":" +
           std::to_string(st.st_gid) + " " + std::to_string(st.st_nlink);
    if (S_ISREG(st.st_mode)) desc += " " + ReadFile(entry.path().string());
    if (S_ISLNK(st.st_mode)) desc += " -> " + fs::read_symlink(entry.path()).string();
  }
  return tree;
}

// The names in a directory, sorted: a run must leave no temporary file behind.
std::vector<std::string> Names(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

const std::string kPlain = ReadFile(DataFile("sample.json"));
const std::string kScrambled = ReadFile(DataFile("sample.json.scrambled"));

std::string ReadFailed(const std::string& arg, const std::string& reason) {
  return "xorscramble: Get data from file(" + arg + ") failed! (" + reason + ")\n";
}

void Own(const std::string& path, uid_t uid, mode_t mode) {
  ASSERT_EQ(chown(path.c_str(), uid, uid), 0);
  ASSERT_EQ(chmod(path.c_str(), mode), 0);
}

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
    const Outcome run = RunTool(dir.path(), step.args);
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
  const Outcome help = RunTool("/", {"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("usage: xorscramble", 0), 0u) << help.out;
  EXPECT_EQ(help.err, "");

  const Outcome none = RunTool("/", {});
  EXPECT_EQ(none.status, 2);
  EXPECT_EQ(none.out, "");
  EXPECT_EQ(none.err, "xorscramble: missing file operand\n" + help.out);

  const Outcome version = RunTool("/", {"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("xorscramble ", 0), 0u) << version.out;

  RunOptions full;
  full.full_stdout = true;
  const Outcome lost = RunTool("/", {"--help"}, full);
  EXPECT_EQ(lost.status, 1) << "output that was lost is not a success";
  EXPECT_EQ(lost.err, "xorscramble: write error: No space left on device\n");
}

// Each case arranges a scratch directory and names the path to pass; the command must fail with
// the message given and leave every file in the directory as it was, with no temporary file.
struct Refusal {
  std::string name;
  std::function<std::string(const ScratchDir&, std::string* skip)> arrange;
  RunOptions options;
  int status;
  std::string message;      // "{}" stands for the path passed, "{dir}" for the directory
  bool needs_root = false;  // to act as another user: skipped, before any set-up, without root
};

std::string Plain(const ScratchDir& dir, const std::string& name = "data.json") {
  WriteFile(dir / name, kPlain);
  return name;
}

const std::string kTouch = "XORSCRAMBLE_TEST_TOUCH=data.json";
const std::string kNoTmpfile = "XORSCRAMBLE_TEST_NO_TMPFILE=1";

// The fault shim preloaded, with its knobs set.
std::vector<std::string> Shimmed(std::vector<std::string> knobs) {
  knobs.push_back(std::string("LD_PRELOAD=") + FAULT_SHIM_PATH);
  // Under AddressSanitizer the shim would otherwise be refused for loading before its runtime.
  knobs.push_back("ASAN_OPTIONS=verify_asan_link_order=0");
  return knobs;
}

// Marks a file or folder append-only (chattr +a), or clears its marks; false where the file
// system or the process's rights do not allow it.
bool AppendOnly(const std::string& path, bool on) {
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  int flags = 0;
  const bool ok = fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
                  (flags = on ? flags | FS_APPEND_FL : flags & ~FS_APPEND_FL,
                   ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0);
  if (fd >= 0) close(fd);
  return ok;
}

std::string MarkedAppendOnly(const std::string& path, std::string* skip) {
  if (!AppendOnly(path, true))
    *skip = std::string("cannot mark a file append-only here: ") + strerror(errno);
  return "data.json";
}

// A symbolic link at `dir / name` to `target`, owned by `uid` (which needs root).
std::string Link(const ScratchDir& dir, const std::string& target, const std::string& name,
                 uid_t uid) {
  EXPECT_EQ(symlink(target.c_str(), (dir / name).c_str()), 0);
  lchown((dir / name).c_str(), uid, uid);
  return name;
}

std::vector<Refusal> RefusalCases() {
  using S = std::string;
  const S kLinkRefused = ": it belongs to another user, who does not own what it leads to\n";
  // clang-format off
  std::vector<Refusal> cases = {
      {"missing file", [](auto&, auto) { return S("missing.json"); },
       {}, 1, ReadFailed("{}", "No such file or directory")},
      {"directory", [](auto& dir, auto) { return fs::create_directory(dir / "sub"), S("sub"); },
       {}, 1, ReadFailed("{}", "Is a directory")},
      {"FIFO, without waiting for a writer",
       [](auto& dir, auto) { return mkfifo((dir / "fifo").c_str(), 0644), S("fifo"); },
       {}, 1, ReadFailed("{}", "Not a regular file")},
      {"regular file taken for a directory", [](auto& dir, auto) { return Plain(dir) + "/"; },
       {}, 1, ReadFailed("{}", "Not a directory")},
      {"dangling symlink", [](auto& dir, auto) { return symlink("gone", (dir / "l").c_str()), S("l"); },
       {}, 1, ReadFailed("{}", "No such file or directory")},
      {"symlink loop", [](auto& dir, auto) { return symlink("loop", (dir / "loop").c_str()), S("loop"); },
       {}, 1, ReadFailed("{}", "Too many levels of symbolic links")},
      {"name that would drive the terminal", [](auto&, auto) { return S("new\nline\x1b[2J\x9b\xc2\x85.json"); },
       {}, 1, "xorscramble: Get data from file(new\\nline\\x1b[2J\\x9b\\xc2\\x85.json) failed! "
              "(No such file or directory)\n"},
      {"hard links",
       [](auto& dir, auto) { return link((dir / Plain(dir)).c_str(), (dir / "b").c_str()), S("data.json"); },
       {}, 1, "xorscramble: {}: has 2 hard links; replacing it would split them\n"},
      {"locked by another run",
       [](auto& dir, auto) {
         // The lock is held, like another run's, until the test program ends.
         return flock(open((dir / Plain(dir)).c_str(), O_RDONLY | O_CLOEXEC), LOCK_EX), S("data.json");
       },
       {}, 1, "xorscramble: {}: in use by another process (locked)\n"},
      {"file-size limit", [](auto& dir, auto) { return Plain(dir); },
       {0, 256}, 1, "xorscramble: {}: cannot write the new content: File too large\n"},
      {"file-size limit, named temporary file", [](auto& dir, auto) { return Plain(dir); },
       {0, 256, Shimmed({kNoTmpfile})}, 1, "xorscramble: {}: cannot write the new content: File too large\n"},
      {"changed by another writer meanwhile", [](auto& dir, auto) { return Plain(dir); },
       {0, RLIM_INFINITY, Shimmed({kTouch})}, 1,
       "xorscramble: {}: changed while being scrambled; left as it was\n"},
      {"changed meanwhile, named temporary file", [](auto& dir, auto) { return Plain(dir); },
       {0, RLIM_INFINITY, Shimmed({kTouch, kNoTmpfile})}, 1,
       "xorscramble: {}: changed while being scrambled; left as it was\n"},
      {"another user's link to root's file",
       [](auto& dir, auto) { Plain(dir); return Link(dir, "data.json", "evil", kNobody); },
       {}, 1, "xorscramble: {}: not following the symbolic link {dir}/evil" + kLinkRefused, true},
      {"another user's link to root's folder, on the way",
       [](auto& dir, auto) { Plain(dir); return Link(dir, ".", "here", kNobody) + "/data.json"; },
       {}, 1, "xorscramble: {}: not following the symbolic link {dir}/here" + kLinkRefused, true},
      {"another user's link to a link to root's file",
       [](auto& dir, auto) {
         Plain(dir), Link(dir, "data.json", "mine", 0);
         return Link(dir, "mine", "evil", kNobody);
       },
       {}, 1, "xorscramble: {}: not following the symbolic link {dir}/evil" + kLinkRefused, true},
      {"unreadable", [](auto& dir, auto) { Own(dir / Plain(dir), 0, 0200); return S("data.json"); },
       {kNobody}, 1, ReadFailed("{}", "Permission denied"), true},
      {"read-only file",
       [](auto& dir, auto) {
         Own(dir / Plain(dir), kNobody, 0444);
         return chmod(dir.path().c_str(), 0777), S("data.json");
       },
       {kNobody}, 1, "xorscramble: {}: not writable: Permission denied\n", true},
      {"read-only directory",
       [](auto& dir, auto) { Own(dir / Plain(dir), kNobody, 0644); return S("data.json"); },
       {kNobody}, 1, "xorscramble: {}: cannot create a temporary file in {dir}: Permission denied\n", true},
      {"directory that can be written but not read",
       [](auto& dir, auto) {
         Own(dir / Plain(dir), kNobody, 0644);
         Own(dir.path(), kNobody, 0300);
         return S("data.json");
       },
       {kNobody}, 1, "xorscramble: {}: cannot open its directory {dir}: Permission denied\n", true},
      {"append-only directory", [](auto& dir, auto skip) { Plain(dir); return MarkedAppendOnly(dir.path(), skip); },
       {}, 1, "xorscramble: {}: its directory {dir} is marked append-only or immutable; the file in it "
              "cannot be replaced\n"},
      {"append-only file", [](auto& dir, auto skip) { return MarkedAppendOnly(dir / Plain(dir), skip); },
       {}, 1, "xorscramble: {}: is marked append-only; it cannot be replaced\n"},
      {"owner that cannot be kept",
       [](auto& dir, auto) {
         Own(dir / Plain(dir), 1, 0666);
         return chmod(dir.path().c_str(), 0777), S("data.json");
       },
       {kNobody}, 1, "xorscramble: {}: cannot keep its owner and group: Operation not permitted\n", true},
      {"attribute the file system will not keep",
       [](auto& dir, auto skip) {
         if (setxattr((dir / Plain(dir)).c_str(), "user.note", "x", 1, 0) != 0)
           *skip = S("no user attributes here: ") + strerror(errno);
         return S("data.json");
       },
       {0, RLIM_INFINITY, Shimmed({"XORSCRAMBLE_TEST_NO_SETXATTR=1"})}, 1,
       "xorscramble: {}: cannot keep its extended attribute user.note: Operation not supported\n"},
      {"full disk",
       [](auto& dir, auto skip) {
         // A private mount namespace keeps the small file system to this test process.
         fs::create_directory(dir / "disk");
         if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
             mount("tmpfs", (dir / "disk").c_str(), "tmpfs", 0, "size=64k") != 0) {
           *skip = S("cannot mount a small tmpfs here: ") + strerror(errno);
         }
         WriteFile(dir / "disk/data.json", S(40 << 10, 'x'));
         return S("disk/data.json");
       },
       {}, 1, "xorscramble: {}: cannot write the new content: No space left on device\n"},
  };
  // clang-format on
  // Every signal that ends a process by default and that users or the system send, while the new
  // content is written to an unnamed and to a named temporary file.
  for (int sig :
       {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGPIPE, SIGXCPU, SIGVTALRM}) {
    for (const bool named : {false, true}) {
      std::vector<std::string> knobs = {"XORSCRAMBLE_TEST_SIGNAL=" + std::to_string(sig)};
      if (named) knobs.push_back(kNoTmpfile);
      cases.push_back(
          {std::string("SIG") + sigabbrev_np(sig) + (named ? ", named temporary file" : ""),
           [](auto& dir, auto) { return Plain(dir); },
           {0, RLIM_INFINITY, Shimmed(knobs)},
           128 + sig,
           ""});
    }
  }

  return cases;
}

class Refuses : public testing::TestWithParam<Refusal> {};

void PrintTo(const Refusal& refusal, std::ostream* out) { *out << refusal.name; }

TEST_P(Refuses, LeavesEverythingAsItWas) {
  const Refusal& c = GetParam();
  if (c.needs_root && geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  if (kEmulated && IsShimmed(c.options)) GTEST_SKIP() << kNoShimUnderEmulator;
  ScratchDir dir;
  std::string skip;
  const std::string arg = c.arrange(dir, &skip);
  if (!skip.empty()) GTEST_SKIP() << skip;
  std::string message = c.message;
  for (const auto& [from, to] :
       {std::pair<std::string, std::string>{"{}", arg}, {"{dir}", dir.path()}}) {
    for (std::size_t at; (at = message.find(from)) != std::string::npos;)
      message.replace(at, from.size(), to);
  }
  const auto before = Tree(dir.path());
  const Outcome run = RunTool(dir.path(), {arg}, c.options);
  EXPECT_EQ(run.status, c.status);
  EXPECT_EQ(run.err, message);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(Tree(dir.path()), before) << "the directory changed";
  umount2((dir / "disk").c_str(), MNT_DETACH);
  AppendOnly(dir.path(), false);
  AppendOnly(dir / "data.json", false);
}

// Each case is a test of its own, named after it, so that one that cannot run here is counted as
// skipped without hiding the others.
INSTANTIATE_TEST_SUITE_P(Command, Refuses, testing::ValuesIn(RefusalCases()),
                         [](const testing::TestParamInfo<Refusal>& info) {
                           std::string name = info.param.name;
                           for (char& c : name)
                             c = isalnum(static_cast<unsigned char>(c)) ? c : '_';
                           return name;
                         });

// Links are followed where nobody but their owner is at stake: the caller's own, root's, and
// another user's that leads to that user's own file.
TEST(Command, FollowsLinksItMayTrust) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give links other owners";
  struct Case {
    const char* name;
    uid_t link_owner;
    uid_t caller;  // 0: root
  } cases[] = {
      {"another user's link to their own file", kNobody, 0},
      {"root's link, for another user", 0, kNobody},
      {"the caller's own link", kNobody, kNobody},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    Own(dir / Plain(dir), kNobody, 0644);
    ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
    Link(dir, "data.json", "link.json", c.link_owner);
    RunOptions options;
    options.uid = c.caller;
    const Outcome run = RunTool(dir.path(), {"link.json"}, options);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_TRUE(ReadFile(dir / "data.json") == kScrambled);
    EXPECT_TRUE(fs::is_symlink(dir / "link.json"));
  }
}

// Where an unnamed temporary file could not be given a name at the end (a kernel before 6.10,
// without the capability, and without /proc), a named one is used from the start: the run
// succeeds, and a signal while it writes removes the named file.
TEST(Command, NamesTheTemporaryFileWhereAnUnnamedOneCannotBeLinked) {
  if (kEmulated) GTEST_SKIP() << kNoShimUnderEmulator;
  ScratchDir dir;
  Plain(dir);
  RunOptions options;
  options.env = Shimmed({"XORSCRAMBLE_TEST_NO_FLINK=1"});
  const Outcome run = RunTool(dir.path(), {"data.json"}, options);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(ReadFile(dir / "data.json") == kScrambled);
  options.env.push_back("XORSCRAMBLE_TEST_SIGNAL=" + std::to_string(SIGTERM));
  EXPECT_EQ(RunTool(dir.path(), {"data.json"}, options).status, 128 + SIGTERM);
  EXPECT_TRUE(ReadFile(dir / "data.json") == kScrambled);
  EXPECT_EQ(Names(dir.path()), std::vector<std::string>{"data.json"});
}

// Makes `from` appear at `at` in the calling process's own mount namespace, and nowhere else.
void BindPrivately(const std::string& from, const std::string& at) {
  if (unshare(CLONE_NEWNS) != 0 ||
      mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      mount(from.c_str(), at.c_str(), nullptr, MS_BIND, nullptr) != 0) {
    _exit(124);
  }
}

// Links in /proc lead where their process's descriptors lead, whatever their text says: the file
// rewritten is the one the kernel reaches, or none, and a bystander named like the text is never
// touched.
TEST(Command, FollowsLinksInProcAsTheKernelDoes) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to mount";
  ScratchDir dir;
  fs::create_directory(dir / "named");
  fs::create_directory(dir / "cover");
  Plain(dir, "named/data.json");
  Plain(dir, "cover/data.json");

  // The working folder, covered by a mount since: /proc/self/cwd is the folder, not the mount.
  RunOptions covered;
  covered.in_child = [&] { BindPrivately(dir / "cover", dir / "named"); };
  Outcome run = RunTool(dir / "named", {"/proc/self/cwd/data.json"}, covered);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(ReadFile(dir / "named/data.json") == kScrambled);
  EXPECT_TRUE(ReadFile(dir / "cover/data.json") == kPlain);

  // Another process's root, where a mount of its own covers the folder: its file, not ours.
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t other = fork();
  if (other == 0) {
    BindPrivately(dir / "cover", dir / "named");
    if (write(ready[1], "", 1) != 1) _exit(125);
    pause();
    _exit(0);
  }
  char byte;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  run = RunTool(dir.path(), {"/proc/" + std::to_string(other) + "/root" + dir / "named/data.json"});
  kill(other, SIGKILL);
  waitpid(other, nullptr, 0);
  close(ready[0]);
  close(ready[1]);
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
    held.in_child = [&] {
      if (dup2(open((dir / "open.json").c_str(), O_RDONLY), 3) != 3) _exit(124);
      if (deleted) unlink((dir / "open.json").c_str());
    };
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

// The output of a shell command, with its exit status in *status.
std::string Shell(const std::string& command, int* status = nullptr) {
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  std::string out;
  char buf[4096];
  for (std::size_t n; (n = fread(buf, 1, sizeof buf, pipe)) > 0;) out.append(buf, n);
  const int wstatus = pclose(pipe);
  if (status != nullptr) *status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
  return out;
}

// A file system of its own on a scratch folder, for as long as the object lives: tmpfs, or ext4,
// XFS or Btrfs on a loop device over a sparse image the size its mkfs asks at least. Where it
// cannot be made here, path() is empty and why() says why.
class ScratchMount {
 public:
  explicit ScratchMount(const std::string& type) : point_(home_ / "mnt") {
    if (geteuid() != 0) {
      why_ = "needs root to mount";
      return;
    }
    fs::create_directory(point_);
    std::string mount = "mount -t tmpfs tmpfs " + point_;
    if (type != "tmpfs") {
      const std::string image = home_ / "image";
      const std::string size = type == "xfs" ? "300M" : type == "btrfs" ? "120M" : "16M";
      mount = "truncate -s " + size + " " + image + " && mkfs." + type + " -q " +
              (type == "ext4" ? "-F " : "-f ") + image + " >/dev/null && mount -o loop " + image +
              " " + point_;
    }
    int status;
    const std::string out = Shell(mount, &status);
    if (status != 0) {
      why_ = "cannot mount " + type + " here: " + out;
      return;
    }
    path_ = point_;
  }
  ~ScratchMount() {
    if (!path_.empty()) umount2(path_.c_str(), MNT_DETACH);
  }
  const std::string& path() const { return path_; }
  const std::string& why() const { return why_; }

 private:
  ScratchDir home_;
  std::string point_;
  std::string path_;
  std::string why_;
};

// What the file `name` in `dir` carries, as getfacl, getfattr, lsattr and stat tell it.
std::string Metadata(const std::string& dir, const std::string& name) {
  return Shell("cd " + dir + " && getfacl -cpn " + name + "; getfattr -d -m - -e hex " + name +
               " | grep =" + "; lsattr " + name + "; stat -c '%A %u:%g' " + name);
}

// What each of three ordinary users may do with `path`: "rw", "r-", "-w" or "--" each.
std::string Access(const std::string& path) {
  std::string can_do;
  for (uid_t uid : {1u, 2u, kNobody}) {  // daemon, bin, nobody, each in its own group
    const pid_t pid = fork();
    if (pid == 0) {
      if (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0) _exit(125);
      _exit((access(path.c_str(), R_OK) == 0 ? 1 : 0) | (access(path.c_str(), W_OK) == 0 ? 2 : 0));
    }
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    const int can = WEXITSTATUS(wstatus);
    can_do += std::to_string(uid) + ":" + (can & 1 ? "r" : "-") + (can & 2 ? "w" : "-") + " ";
  }
  return can_do;
}

struct MetadataCase {
  const char* name;
  const char* arrange;  // shell, in a folder holding data.json, the plain sample (0644, root's)
  uid_t caller;         // who runs the command (0: root)
  const char* refusal;  // the reason the run is refused with, or "" where everything is kept
  const char* only_on;  // the one file system that has what the case needs, or nullptr
  const char* dropped;  // what the run drops as any write would (getfattr's line), or nullptr
};

const MetadataCase kMetadataCases[] = {
    {"restrictive ACL",
     "chgrp bin data.json && chmod 664 data.json && "
     "setfacl -m g::---,u:daemon:rw-,m::rw- data.json",
     0, "", nullptr, nullptr},
    {"restrictive ACL, run by the file's owner",
     "chown nobody:nogroup data.json && chmod 664 data.json && chmod 777 . && "
     "setfacl -m g::---,u:daemon:rw-,m::rw- data.json",
     kNobody, "", nullptr, nullptr},
    {"folder's default ACL over a file without one",
     "chmod 640 data.json && setfacl -d -m u:nobody:rw-,g:bin:r-- .", 0, "", nullptr, nullptr},
    {"extended attributes",
     "setfattr -n user.note -v hello data.json && setfattr -n trusted.origin -v test data.json", 0,
     "", nullptr, nullptr},
    {"attribute flags", "chattr +dA data.json", 0, "", nullptr, nullptr},
    {"no copy-on-write, set while empty",
     "mv data.json plain && touch data.json && chattr +C data.json && cat plain >data.json && "
     "rm plain",
     0, "", "btrfs", nullptr},
    {"set-group-ID bit, caller outside the file's group",
     "chown nobody:bin data.json && chmod 2755 data.json && chgrp bin . && chmod 2777 .", kNobody,
     "cannot keep its set-group-ID bit: only a member of its group may set it", nullptr, nullptr},
    {"file capability, which any write drops",
     "setfattr -n security.capability -v 0sAQAAAgAgAAAAAAAAAAAAAAAAAAA= data.json", 0, "", nullptr,
     "security.capability="},
};

class KeepsMetadata : public testing::TestWithParam<std::string> {};

// On each file system: every piece of metadata survives a run exactly, and so does what every
// other user may do with the file; or the run is refused and the file left exactly as it was.
TEST_P(KeepsMetadata, OrRefuses) {
  const ScratchMount mount(GetParam());
  if (mount.path().empty()) GTEST_SKIP() << mount.why();
  int ran = 0;
  for (const MetadataCase& c : kMetadataCases) {
    if (c.only_on != nullptr && c.only_on != GetParam()) continue;
    SCOPED_TRACE(c.name);
    const std::string dir = mount.path() + "/" + std::to_string(++ran);
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    WriteFile(dir + "/data.json", kPlain);
    ASSERT_EQ(chmod((dir + "/data.json").c_str(), 0644), 0);
    int status;
    const std::string out = Shell(std::string("cd ") + dir + " && " + c.arrange, &status);
    ASSERT_EQ(status, 0) << out;
    std::string metadata = Metadata(dir, "data.json");
    if (c.dropped != nullptr) {
      const std::size_t at = metadata.find(c.dropped);
      ASSERT_NE(at, std::string::npos) << metadata;
      metadata.erase(at, metadata.find('\n', at) + 1 - at);
    }
    const std::string access = Access(dir + "/data.json");
    const auto tree = Tree(dir);

    RunOptions options;
    options.uid = c.caller;
    const Outcome run = RunTool(dir, {"data.json"}, options);
    if (*c.refusal != '\0') {
      EXPECT_EQ(run.status, 1);
      EXPECT_EQ(run.err, std::string("xorscramble: data.json: ") + c.refusal + "\n");
      EXPECT_EQ(Tree(dir), tree) << "the folder changed";
    } else {
      EXPECT_EQ(run.status, 0) << run.err;
      EXPECT_TRUE(ReadFile(dir + "/data.json") == kScrambled);
      EXPECT_EQ(Names(dir), std::vector<std::string>{"data.json"});
    }
    EXPECT_EQ(Metadata(dir, "data.json"), metadata);
    EXPECT_EQ(Access(dir + "/data.json"), access);
  }
}

INSTANTIATE_TEST_SUITE_P(Command, KeepsMetadata, testing::Values("tmpfs", "ext4", "xfs", "btrfs"));

// A signal that was ignored when the command started (nohup, a background job) stays ignored: the
// run goes on and completes.
TEST(Command, IgnoredSignalsStayIgnored) {
  if (kEmulated) GTEST_SKIP() << kNoShimUnderEmulator;
  for (int sig : {SIGHUP, SIGINT, SIGQUIT, SIGPIPE}) {
    SCOPED_TRACE(strsignal(sig));
    ScratchDir dir;
    Plain(dir);
    RunOptions options;
    options.env = Shimmed({"XORSCRAMBLE_TEST_SIGNAL=" + std::to_string(sig), kNoTmpfile});
    options.ignored = {sig};
    const Outcome run = RunTool(dir.path(), {"data.json"}, options);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(ReadFile(dir / "data.json") == kScrambled);
    EXPECT_EQ(Names(dir.path()), std::vector<std::string>{"data.json"});
  }
}

// Failures once the new file has a name in the folder: a temporary file that cannot be removed is
// named, so that the user can remove it; a directory sync that fails after the rename has a status
// of its own, since the file was replaced.
TEST(Command, FailuresAfterTheNewFileHasAName) {
  if (kEmulated) GTEST_SKIP() << kNoShimUnderEmulator;
  for (const bool named : {false, true}) {
    SCOPED_TRACE(named ? "named temporary file" : "unnamed temporary file");
    ScratchDir dir;
    Plain(dir);
    RunOptions options;
    options.env = Shimmed({"XORSCRAMBLE_TEST_NO_REMOVE=1"});
    if (named) options.env.push_back(kNoTmpfile);
    const Outcome run = RunTool(dir.path(), {"data.json"}, options);
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
  options.env = Shimmed({"XORSCRAMBLE_TEST_DIR_EIO=1"});
  const Outcome run = RunTool(dir.path(), {"data.json"}, options);
  EXPECT_EQ(run.status, 3);
  EXPECT_EQ(run.err,
            "xorscramble: data.json: replaced, but its directory could not be synced: "
            "Input/output error\n");
  EXPECT_TRUE(ReadFile(dir / "data.json") == kScrambled);
  EXPECT_EQ(Names(dir.path()), std::vector<std::string>{"data.json"});
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

// Runs the command under ptrace, stopped at the entry of each of its file-system calls; at the
// attack's moments the second user swaps the names while the command waits. `calls` gets the
// number of file-system calls that the run made.
Outcome RunAttacked(const std::string& cwd, const std::vector<std::string>& args,
                    RunOptions options, const Attack& attack, int* calls) {
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
          info.op == PTRACE_SYSCALL_INFO_ENTRY && IsFileCall(info.entry.nr) &&
          (++*calls == attack.at || *calls == attack.back)) {
        SwapAs(kNobody, attack.a, attack.b);
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
        if (named) options.env = Shimmed({kNoTmpfile});
        int made = 0;
        const Outcome run =
            RunAttacked(root.path(), {"shared/alice/data.json"}, options, attack, &made);
        if (at == 0) calls = made;  // the run undisturbed: how many moments there are
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
  std::cout << runs << " attacked runs, " << replaced << " of them replaced the file\n";
}

TEST(PathRaces, FolderSwappedForALink) { RaceEveryMoment(true); }
TEST(PathRaces, FileSwappedForALink) { RaceEveryMoment(false); }

}  // namespace

// Realistic documents, bytes of every kind, and 40 MiB of them: each is scrambled (and differs,
// unless empty) and restored byte for byte, by the command and by the library alike.
TEST(Command, JsonSamples) {
  XorCodec& codec = XorCodec::Instance();
  std::vector<std::pair<std::string, std::string>> samples = {
      {"bytes.json", std::string("{\"k\":\r\n\x1a\0\xff}\r\n", 12) + kPlain},
      {"large.bin", testing_support::RandomBytes(40 << 20, 13)}};
  for (const char* name : {"nested.json", "large.json", "utf8.json", "crlf.json", "empty.json"}) {
    samples.emplace_back(name, ReadFile(DataFile(std::string("json/") + name)));
  }
  for (const auto& [name, plain] : samples) {
    SCOPED_TRACE(name);
    const std::string scrambled = testing_support::Scrambled(plain, kBuiltIn);
    ScratchDir dir;
    WriteFile(dir / name, plain);

    ASSERT_EQ(RunTool(dir.path(), {name}).status, 0);
    const std::string once = ReadFile(dir / name);
    EXPECT_TRUE(once == scrambled);
    EXPECT_EQ(once != plain, !plain.empty());
    uint32_t size = 0;
    const std::unique_ptr<char[]> back(codec.GetCryptoDataFromFile((dir / name).c_str(), &size));
    ASSERT_TRUE(back);
    EXPECT_TRUE(std::string(back.get(), size) == plain);

    ASSERT_EQ(RunTool(dir.path(), {name}).status, 0);
    EXPECT_TRUE(ReadFile(dir / name) == plain);
  }
}

// Signals at random moments while a large file is being rewritten: the file is always wholly
// the original or wholly transformed. Only SIGKILL, which cannot be caught, may leave the
// temporary file behind, and with O_TMPFILE only in the instant between linking and renaming it.
TEST(Faults, SignalsAtRandomMomentsLeaveTheFileWhole) {
  ScratchDir dir;
  const std::string plain = testing_support::RandomBytes(8 << 20, 11);
  const std::string scrambled = testing_support::Scrambled(plain, kBuiltIn);
  WriteFile(dir / "data", plain);
  // How long one run takes here, to aim the signals within it.
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(RunTool(dir.path(), {"data"}).status, 0);
  const auto run_us = std::chrono::duration_cast<std::chrono::microseconds>(
                          std::chrono::steady_clock::now() - start)
                          .count();
  std::mt19937 random(5);
  int interrupted = 0;
  for (int sig : {SIGKILL, SIGINT, SIGTERM}) {
    for (int trial = 0; trial < 10; ++trial) {
      SCOPED_TRACE("signal " + std::to_string(sig) + ", trial " + std::to_string(trial));
      const std::string before = ReadFile(dir / "data");
      const Child child = StartTool(dir.path(), {"data"});
      usleep(static_cast<useconds_t>(random() % static_cast<unsigned long>(run_us * 5 / 4 + 1)));
      kill(child.pid, sig);
      const Outcome run = Finish(child);
      const std::string after = ReadFile(dir / "data");
      ASSERT_TRUE(after == plain || after == scrambled) << "a mixed file";
      if (run.status == 0) {
        EXPECT_TRUE(after != before) << "finished, so transformed";
      } else {
        EXPECT_EQ(run.status, 128 + sig) << run.err;
        ++interrupted;
      }
      if (sig == SIGKILL) {
        for (const std::string& name : Names(dir.path())) {
          if (name != "data") fs::remove(dir / name);
        }
      }
      EXPECT_EQ(Names(dir.path()), std::vector<std::string>{"data"});
    }
  }
  std::cout << interrupted << " of 30 runs were interrupted before they finished\n";
}

// Two runs started together on one file: it ends transformed as often as runs succeeded, never
// mixed, and a run that lost the race says so.
TEST(Faults, RacingRunsNeverMixTheFile) {
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
    for (const Outcome& run : {Finish(first), Finish(second)}) {
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
  std::cout << races_lost << " of 20 races were lost by one run\n";
}
