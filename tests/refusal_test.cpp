// SPDX-License-Identifier: MIT
// Every refusal of xorscramble, from outside: each case arranges a scratch folder and names the
// path to pass; the command must fail with the status and the one line given, and leave every file
// in the folder as it was, with no temporary file beside it.

#include <errno.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "command_harness.h"

namespace command_test {
namespace {

namespace fs = std::filesystem;

// One case's scratch folder, holding the sample in data.json, and what the case set up that must
// be undone after it, whatever the case was.
class Scene {
 public:
  Scene() : folder_(dir_.path()) { Plain(dir_); }
  ~Scene() {
    for (const auto& [path, flag] : marked_) Mark(path, flag, false);
    for (int fd : held_) close(fd);
  }
  Scene(const Scene&) = delete;
  Scene& operator=(const Scene&) = delete;

  const ScratchDir& dir() const { return dir_; }
  std::string operator/(const std::string& name) const { return dir_ / name; }
  // Where the command runs, and what must stay as it was: the scratch folder, or a mount.
  const std::string& folder() const { return folder_; }
  // Why the case cannot run here; empty where it can.
  std::string skip;

  // Gives `path` a chattr mark (FS_APPEND_FL, FS_IMMUTABLE_FL) for the scene's lifetime, or says
  // why it cannot.
  void SetMark(const std::string& path, int flag) {
    if (Mark(path, flag, true)) {
      marked_.emplace_back(path, flag);
    } else {
      skip = std::string("cannot mark a file here: ") + strerror(errno);
    }
  }
  // Keeps the descriptor `fd` open for the scene's lifetime.
  void Hold(int fd) { held_.push_back(fd); }
  // Runs the case in a file system of its own instead of the scratch folder, with data.json the
  // sample or `content`.
  void UseMount(const std::string& type, const std::string& options = "",
                const std::string& content = kPlain) {
    mount_ = std::make_unique<ScratchMount>(type, options);
    if (mount_->path().empty()) {
      skip = mount_->why();
      return;
    }
    folder_ = mount_->path();
    WriteFile(folder_ + "/data.json", content);
  }

 private:
  ScratchDir dir_;
  std::string folder_;
  std::vector<std::pair<std::string, int>> marked_;
  std::vector<int> held_;
  std::unique_ptr<ScratchMount> mount_;
};

enum : unsigned {
  kNeedsRoot = 1,  // acts as another user: skipped, before any set-up, without root
  kNamedToo = 2,   // run again with a named temporary file (no O_TMPFILE)
  kReadOut = 4,    // read out to standard output (-c) instead of replaced
  kToOut = 8,      // written to out.json (-o) instead of replaced
};

struct Refusal {
  std::string name;
  std::string arg;                      // the path passed, from the folder
  std::function<void(Scene&)> arrange;  // what the case needs beyond the sample
  RunOptions options;
  std::string message;  // "{}" stands for the path passed, "{dir}" for the folder
  unsigned also = 0;    // what else: kNeedsRoot, kNamedToo, kReadOut, kToOut
};

const std::string kLinkRefused =
    ": it belongs to another user, who does not own what it leads to\n";
const RunOptions kAsNobody = RunOptions().As(kNobody);

std::vector<Refusal> Cases() {
  const std::string d = "data.json";
  return {
      {"missing file", "missing.json", {}, {}, ReadFailed("{}", "No such file or directory")},
      {"directory",
       "sub",
       [](Scene& s) { fs::create_directory(s / "sub"); },
       {},
       ReadFailed("{}", "Is a directory")},
      {"FIFO, without waiting for a writer",
       "fifo",
       [](Scene& s) { mkfifo((s / "fifo").c_str(), 0644); },
       {},
       ReadFailed("{}", "not a regular file")},
      {"regular file taken for a directory", d + "/", {}, {}, ReadFailed("{}", "Not a directory")},
      {"dangling symlink",
       "l",
       [](Scene& s) { symlink("gone", (s / "l").c_str()); },
       {},
       ReadFailed("{}", "No such file or directory")},
      {"symlink loop",
       "loop",
       [](Scene& s) { symlink("loop", (s / "loop").c_str()); },
       {},
       ReadFailed("{}", "Too many levels of symbolic links")},
      {"name that would drive the terminal",
       "new\nline\x1b[2J\x9b\xc2\x85.json",
       {},
       {},
       "xorscramble: Get data from file(new\\nline\\x1b[2J\\x9b\\xc2\\x85.json) failed! "
       "(No such file or directory)\n"},
      {"hard links",
       d,
       [](Scene& s) { link((s / "data.json").c_str(), (s / "b").c_str()); },
       {},
       "xorscramble: {}: has 2 hard links; replacing it would split them\n"},
      {"name that could be misread, quoted",
       "it's: a file.json",
       [](Scene& s) {
         Plain(s.dir(), "it's: a file.json");
         link((s / "it's: a file.json").c_str(), (s / "b").c_str());
       },
       {},
       "xorscramble: 'it'\\''s: a file.json': has 2 hard links; replacing it would split them\n"},
      {"locked by another run",
       d,
       [](Scene& s) {
         const int fd = open((s / "data.json").c_str(), O_RDONLY | O_CLOEXEC);
         s.Hold(fd);
         flock(fd, LOCK_EX);
       },
       {},
       "xorscramble: {}: in use by another process (locked)\n"},
      {"file-size limit",
       d,
       {},
       RunOptions().FileLimit(256),
       "xorscramble: {}: cannot write the new content: File too large\n",
       kNamedToo},
      {"changed by another writer meanwhile",
       d,
       {},
       RunOptions().Faults({kTouch}),
       "xorscramble: {}: changed while being scrambled; left as it was\n",
       kNamedToo},
      {"another user's link to root's file",
       "evil",
       [](Scene& s) { Link(s.dir(), "data.json", "evil", kNobody); },
       {},
       "xorscramble: {}: not following the symbolic link {dir}/evil" + kLinkRefused,
       kNeedsRoot},
      {"another user's link to root's file in that user's group",
       "evil",
       [](Scene& s) {
         ASSERT_EQ(chown((s / "data.json").c_str(), 0, kNobody), 0);
         Link(s.dir(), "data.json", "evil", kNobody);
       },
       {},
       "xorscramble: {}: not following the symbolic link {dir}/evil" + kLinkRefused,
       kNeedsRoot},
      {"another user's link to root's folder, on the way",
       "here/data.json",
       [](Scene& s) { Link(s.dir(), ".", "here", kNobody); },
       {},
       "xorscramble: {}: not following the symbolic link {dir}/here" + kLinkRefused,
       kNeedsRoot},
      {"another user's link to root's file, read out",
       "evil",
       [](Scene& s) { Link(s.dir(), "data.json", "evil", kNobody); },
       {},
       "xorscramble: {}: not following the symbolic link {dir}/evil" + kLinkRefused,
       kNeedsRoot | kReadOut},
      {"another user's link to a link to root's file",
       "evil",
       [](Scene& s) {
         Link(s.dir(), "data.json", "mine", 0);
         Link(s.dir(), "mine", "evil", kNobody);
       },
       {},
       "xorscramble: {}: not following the symbolic link {dir}/evil" + kLinkRefused,
       kNeedsRoot},
      {"another user's link to their folder, then out of it by ..",
       "theirs/../data.json",
       [](Scene& s) {
         fs::create_directory(s / "sub");
         Own(s / "sub", kNobody, 0755);
         Link(s.dir(), "sub", "theirs", kNobody);
       },
       {},
       "xorscramble: {}: not following the symbolic link {dir}/theirs" + kLinkRefused,
       kNeedsRoot},
      {"link on a mount that follows none",
       "l",
       [](Scene& s) {
         s.UseMount("tmpfs", "nosymfollow");
         symlink("data.json", (s.folder() + "/l").c_str());
       },
       {},
       ReadFailed("{}", "Too many levels of symbolic links")},
      {"attribute flag the caller may not set", d,
       [](Scene& s) {
         if (!Mark(s / "data.json", FS_NODUMP_FL, true)) s.skip = "no attribute flags here";
       },
       RunOptions().Faults({"XORSCRAMBLE_TEST_NO_SETFLAGS=1"}),
       "xorscramble: {}: cannot keep its attribute flags (chattr +d): Operation not permitted\n"},
      {"unreadable", d, [](Scene& s) { Own(s / "data.json", 0, 0200); }, kAsNobody,
       ReadFailed("{}", "Permission denied"), kNeedsRoot},
      {"read-only file", d,
       [](Scene& s) {
         Own(s / "data.json", kNobody, 0444);
         chmod(s.dir().path().c_str(), 0777);
       },
       kAsNobody, "xorscramble: {}: not writable: Permission denied\n", kNeedsRoot},
      {"read-only directory", d, [](Scene& s) { Own(s / "data.json", kNobody, 0644); }, kAsNobody,
       "xorscramble: {}: cannot create a temporary file in {dir}: Permission denied\n", kNeedsRoot},
      {"directory that can be written but not read", d,
       [](Scene& s) {
         Own(s / "data.json", kNobody, 0644);
         Own(s.dir().path(), kNobody, 0300);
       },
       kAsNobody, "xorscramble: {}: cannot open its directory {dir}: Permission denied\n",
       kNeedsRoot},
      {"append-only directory",
       d,
       [](Scene& s) { s.SetMark(s.dir().path(), FS_APPEND_FL); },
       {},
       "xorscramble: {}: its directory {dir} is marked append-only; the file in it cannot be "
       "replaced\n"},
      {"append-only file",
       d,
       [](Scene& s) { s.SetMark(s / "data.json", FS_APPEND_FL); },
       {},
       "xorscramble: {}: is marked append-only; it cannot be replaced\n"},
      {"immutable file",
       d,
       [](Scene& s) { s.SetMark(s / "data.json", FS_IMMUTABLE_FL); },
       {},
       "xorscramble: {}: is marked immutable; it cannot be replaced\n"},
      {"open for writing by another program",
       d,
       [](Scene& s) { s.Hold(open((s / "data.json").c_str(), O_WRONLY | O_CLOEXEC)); },
       {},
       "xorscramble: {}: open for writing by another program; left as it was\n"},
      {"metadata changed in the same clock tick", d, [](Scene& s) { s.UseMount("ext2"); },
       RunOptions().Faults({"XORSCRAMBLE_TEST_XATTR=data.json"}),
       "xorscramble: {}: changed while being scrambled; left as it was\n"},
      {"group not mapped in the user namespace", d,
       [](Scene& s) {
         if (!CanMakeUserNamespace()) s.skip = "cannot make a user namespace here";
         ASSERT_EQ(chown((s / "data.json").c_str(), 0, 2), 0);
       },
       // Root stays root inside; every other id is another's outside, as in a rootless container.
       RunOptions().InChild([] { EnterUserNamespace("0 0 1\n1 100000 65536\n"); }),
       "xorscramble: {}: its owner/group is not mapped in this user namespace; left as it was\n",
       kNeedsRoot},
      {"ACL that the file system drops without a word", d,
       [](Scene& s) {
         int status;
         Shell("setfacl -m u:nobody:r-- " + (s / "data.json"), &status);
         if (status != 0) s.skip = "no ACLs here";
       },
       RunOptions().Faults({"XORSCRAMBLE_TEST_DROP_ACL=1"}),
       "xorscramble: {}: cannot keep its access control list (ACL): the file system kept "
       "another\n"},
      {"owner that cannot be kept", d,
       [](Scene& s) {
         Own(s / "data.json", 1, 0666);
         chmod(s.dir().path().c_str(), 0777);
       },
       kAsNobody, "xorscramble: {}: cannot keep its owner and group: Operation not permitted\n",
       kNeedsRoot},
      {"attribute the file system will not keep", d,
       [](Scene& s) {
         if (setxattr((s / "data.json").c_str(), "user.note", "x", 1, 0) != 0) {
           s.skip = std::string("no user attributes here: ") + strerror(errno);
         }
       },
       RunOptions().Faults({"XORSCRAMBLE_TEST_NO_SETXATTR=1"}),
       "xorscramble: {}: cannot keep its extended attribute user.note: Operation not supported\n"},
      {"full disk",
       d,
       [](Scene& s) { s.UseMount("tmpfs", "size=64k", std::string(40 << 10, 'x')); },
       {},
       "xorscramble: {}: cannot write the new content: No space left on device\n"},
      {"full disk, for another file",
       d,
       [](Scene& s) { s.UseMount("tmpfs", "size=64k", std::string(40 << 10, 'x')); },
       {},
       "xorscramble: out.json: cannot write the new content: No space left on device\n",
       kToOut},
      {"another file, in a directory the caller may not write", d,
       [](Scene& s) { Own(s / "data.json", kNobody, 0644); }, kAsNobody,
       "xorscramble: out.json: cannot create a temporary file in {dir}: Permission denied\n",
       kNeedsRoot | kToOut},
  };
}

std::string Filled(std::string message, const std::string& arg, const std::string& dir) {
  for (const auto& [from, to] : {std::pair<std::string, std::string>{"{}", arg}, {"{dir}", dir}}) {
    for (std::size_t at; (at = message.find(from)) != std::string::npos;) {
      message.replace(at, from.size(), to);
    }
  }
  return message;
}

class Refuses : public testing::TestWithParam<Refusal> {};

void PrintTo(const Refusal& refusal, std::ostream* out) { *out << refusal.name; }

TEST_P(Refuses, LeavesEverythingAsItWas) {
  const Refusal& c = GetParam();
  if ((c.also & kNeedsRoot) != 0 && geteuid() != 0)
    GTEST_SKIP() << "needs root to act as another user";
  // A half that cannot run here makes the test skip, said aloud, after the other half has run.
  std::string skipped;
  for (const bool named : {false, true}) {
    if (named && (c.also & kNamedToo) == 0) break;
    RunOptions options = c.options;
    if (named) options.Faults({kNoTmpfile});
    if (kEmulated && options.shimmed()) {
      skipped =
          std::string(named ? "the run with a named temporary file: " : "") + kNoShimUnderEmulator;
      continue;
    }
    SCOPED_TRACE(named ? "named temporary file" : "unnamed temporary file");
    Scene scene;
    if (c.arrange) c.arrange(scene);
    if (!scene.skip.empty()) GTEST_SKIP() << scene.skip;
    const auto before = Tree(scene.folder());
    std::vector<std::string> args = {c.arg};
    if ((c.also & kReadOut) != 0) args.insert(args.begin(), "-c");
    if ((c.also & kToOut) != 0) args.insert(args.begin(), {"-o", "out.json"});
    const Result run = RunTool(scene.folder(), args, options);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, Filled(c.message, c.arg, scene.folder()));
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(Tree(scene.folder()), before) << "the folder changed";
  }
  if (!skipped.empty()) GTEST_SKIP() << skipped;
}

// Each case is a test of its own, named after it, so that one that cannot run here is counted as
// skipped without hiding the others.
INSTANTIATE_TEST_SUITE_P(Command, Refuses, testing::ValuesIn(Cases()),
                         [](const testing::TestParamInfo<Refusal>& param) {
                           std::string name = param.param.name;
                           for (char& c : name) {
                             c = isalnum(static_cast<unsigned char>(c)) ? c : '_';
                           }
                           return name;
                         });

}  // namespace
}  // namespace command_test
