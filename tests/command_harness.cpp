// SPDX-License-Identifier: MIT
#include "command_harness.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/fs.h>
#include <sched.h>
#include <signal.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include <gtest/gtest.h>

namespace command_test {

namespace fs = std::filesystem;

namespace {

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
const std::string& Tool(bool shimmed) {
  static ScratchDir home;
  static const std::string plain = CopiedTo(XORSCRAMBLE_PATH, home / "xorscramble");
  static const std::string shimmable =
      CopiedTo(XORSCRAMBLE_SHIMMABLE_PATH, home / "xorscramble-shimmable");
  return shimmed ? shimmable : plain;
}

}  // namespace

RunOptions& RunOptions::Faults(std::vector<std::string> knobs) {
  env.insert(env.end(), knobs.begin(), knobs.end());
  env.push_back(std::string("LD_PRELOAD=") + FAULT_SHIM_PATH);
  // Under AddressSanitizer the shim would otherwise be refused for loading before its runtime.
  env.push_back("ASAN_OPTIONS=verify_asan_link_order=0");
  return *this;
}

bool RunOptions::shimmed() const {
  return std::any_of(env.begin(), env.end(),
                     [](const std::string& var) { return var.rfind("LD_PRELOAD=", 0) == 0; });
}

Child StartTool(const std::string& cwd, const std::vector<std::string>& args,
                const RunOptions& options) {
  const std::string& tool = Tool(options.shimmed());
  FILE* out = tmpfile();
  FILE* err = tmpfile();
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(options.full_stdout ? open("/dev/full", O_WRONLY) : fileno(out), 1);
    dup2(fileno(err), 2);
    const struct rlimit limit = {options.file_limit, options.file_limit};
    const struct rlimit no_core = {0, 0};  // a core file would land in the folder under test
    if (chdir(cwd.c_str()) != 0 || setrlimit(RLIMIT_FSIZE, &limit) != 0 ||
        setrlimit(RLIMIT_CORE, &no_core) != 0) {
      _exit(125);
    }
    for (int sig : options.ignored) signal(sig, SIG_IGN);
    if (options.in_child) options.in_child();
    if (options.uid != 0 && !BecomeUser(options.uid, GroupOf(options.uid))) _exit(125);
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

Result Collect(const Child& child, int wstatus) {
  const int status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  return {status, Slurp(child.out), Slurp(child.err)};
}

Result Finish(const Child& child) {
  int wstatus = 0;
  waitpid(child.pid, &wstatus, 0);
  return Collect(child, wstatus);
}

Result RunTool(const std::string& cwd, const std::vector<std::string>& args,
               const RunOptions& options) {
  return Finish(StartTool(cwd, args, options));
}

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

std::vector<std::string> Names(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

std::string ReadFailed(const std::string& arg, const std::string& reason) {
  return "xorscramble: Get data from file(" + arg + ") failed! (" + reason + ")\n";
}

std::string Plain(const ScratchDir& dir, const std::string& name) {
  WriteFile(dir / name, kPlain);
  return name;
}

bool BecomeUser(uid_t uid, gid_t gid) {
  return setgroups(0, nullptr) == 0 && setgid(gid) == 0 && setuid(uid) == 0;
}

int AsUser(uid_t uid, gid_t gid, const std::function<int()>& step) {
  const pid_t pid = fork();
  if (pid == 0) _exit(BecomeUser(uid, gid) ? step() : 125);
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
}

void Own(const std::string& path, uid_t uid, mode_t mode) {
  ASSERT_EQ(chown(path.c_str(), uid, GroupOf(uid)), 0) << path;
  ASSERT_EQ(chmod(path.c_str(), mode), 0) << path;
}

std::string Link(const ScratchDir& dir, const std::string& target, const std::string& name,
                 uid_t uid) {
  EXPECT_EQ(symlink(target.c_str(), (dir / name).c_str()), 0);
  EXPECT_EQ(lchown((dir / name).c_str(), uid, GroupOf(uid)), 0);
  return name;
}

bool Mark(const std::string& path, int flag, bool on) {
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  int flags = 0;
  bool ok = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
  if (ok) {
    flags = on ? flags | flag : flags & ~flag;
    ok = ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
  }
  close(fd);
  return ok;
}

bool CanMakeUserNamespace() {
  const pid_t pid = fork();
  if (pid == 0) _exit(unshare(CLONE_NEWUSER) == 0 ? 0 : 1);
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  return WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0;
}

void EnterUserNamespace(const std::string& map) {
  int go[2];
  if (pipe(go) != 0) _exit(124);
  const std::string proc = "/proc/" + std::to_string(getpid()) + "/";
  // Only a process with root's rights outside the namespace may map more than its own id.
  const pid_t helper = fork();
  if (helper == 0) {
    char byte;
    if (read(go[0], &byte, 1) != 1) _exit(1);
    for (const char* file : {"uid_map", "gid_map"}) {
      const int fd = open((proc + file).c_str(), O_WRONLY | O_CLOEXEC);
      if (fd < 0 || write(fd, map.data(), map.size()) != static_cast<ssize_t>(map.size())) _exit(1);
      close(fd);
    }
    _exit(0);
  }
  int wstatus = 0;
  if (unshare(CLONE_NEWUSER) != 0 || write(go[1], "", 1) != 1 ||
      waitpid(helper, &wstatus, 0) != helper || wstatus != 0) {
    _exit(124);
  }
  close(go[0]);
  close(go[1]);
}

std::string Shell(const std::string& command, int* status) {
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  std::string out;
  char buf[4096];
  for (std::size_t n; (n = fread(buf, 1, sizeof buf, pipe)) > 0;) out.append(buf, n);
  const int wstatus = pclose(pipe);
  if (status != nullptr) *status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
  return out;
}

ScratchMount::ScratchMount(const std::string& type, const std::string& options) {
  if (geteuid() != 0) {
    why_ = "needs root to mount";
    return;
  }
  const std::string point = home_ / "mnt";
  fs::create_directory(point);
  std::string mount =
      "mount -t tmpfs " + (options.empty() ? "" : "-o " + options + " ") + "tmpfs " + point;
  if (type == "bindfs") {
    fs::create_directory(home_ / "under");
    mount = "bindfs " + options + " " + (home_ / "under") + " " + point;
  } else if (type == "exfat") {
    // Only through FUSE here (exfat-fuse), a case-insensitive file system from user space.
    mount = "truncate -s 16M " + (home_ / "image") + " && mkfs.exfat " + (home_ / "image") +
            " >/dev/null && mount -t exfat-fuse -o loop " + (home_ / "image") + " " + point;
  } else if (type != "tmpfs") {
    const std::string image = home_ / "image";
    const std::string size = type == "xfs" ? "300M" : type == "btrfs" ? "120M" : "16M";
    // Small inodes keep ext2's timestamps in whole seconds, whichever driver mounts it.
    const std::string force = type == "ext2" ? "-F -I 128 " : type == "ext4" ? "-F " : "-f ";
    mount = "truncate -s " + size + " " + image + " && mkfs." + type + " -q " + force + image +
            " >/dev/null && mount -o loop " + image + " " + point;
  }
  int status;
  const std::string out = Shell(mount, &status);
  if (status != 0) {
    why_ = "cannot mount " + type + " here: " + out;
    return;
  }
  path_ = point;
}

ScratchMount::~ScratchMount() {
  if (!path_.empty()) umount2(path_.c_str(), MNT_DETACH);
}

}  // namespace command_test
