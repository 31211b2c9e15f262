// SPDX-License-Identifier: MIT
#include "namespaces.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <linux/nsfs.h>
#include <stdio.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <string>
#include <utility>

#include "open_file.h"

namespace {

// The inode number of the top folder of every /proc.
constexpr ino_t kProcRootInode = 1;

// Up to `room` bytes of the file open on `fd`, which must be in /proc (whatever is mounted where
// /proc is expected).
std::string ProcText(int fd, std::size_t room) {
  struct statfs fs;
  if (fd < 0 || fstatfs(fd, &fs) != 0 || fs.f_type != PROC_SUPER_MAGIC) return "";
  std::string text(room, '\0');
  const ssize_t n = read(fd, text.data(), room);
  text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  return text;
}

std::string ProcText(const char* path, std::size_t room = 256) {
  const UniqueFd fd(open(path, O_RDONLY | O_CLOEXEC));
  return ProcText(fd.get(), room);
}

// The real user of the process whose folder in /proc is `dir`, from its status; false where
// `dir` is no process's.
bool RealUser(int dir, uid_t* uid) {
  const UniqueFd status(openat(dir, "status", O_RDONLY | O_CLOEXEC));
  const std::string text = ProcText(status.get(), 4096);
  const std::size_t at = text.find("\nUid:\t");
  if (at == std::string::npos) return false;
  unsigned long real = 0;
  if (sscanf(text.c_str() + at, "\nUid: %lu", &real) != 1) return false;
  *uid = static_cast<uid_t>(real);
  return true;
}

// Whether the two descriptors are open on one namespace.
bool SameNamespace(const UniqueFd& a, const UniqueFd& b) {
  struct stat sa;
  struct stat sb;
  return a && b && fstat(a.get(), &sa) == 0 && fstat(b.get(), &sb) == 0 && SameFile(sa, sb);
}

// The inode number of the initial user namespace, fixed by the kernel.
constexpr ino_t kInitialUserNamespace = 0xEFFFFFFDU;

unsigned long Number(const char* path) {
  unsigned long value = 65534;  // the kernel's default
  sscanf(ProcText(path).c_str(), "%lu", &value);
  return value;
}

// The ids that the caller's user namespace shows for those it does not map; none in the initial
// namespace, which maps every id. Where the namespace cannot be told, it is taken for another:
// that refuses more, never less.
struct Overflow {
  bool any;
  unsigned long uid;
  unsigned long gid;
};

const Overflow& Ids() {
  static const Overflow ids = [] {
    struct stat st;
    if (stat("/proc/self/ns/user", &st) == 0 && st.st_ino == kInitialUserNamespace) {
      return Overflow{false, 0, 0};
    }
    return Overflow{true, Number("/proc/sys/kernel/overflowuid"),
                    Number("/proc/sys/kernel/overflowgid")};
  }();
  return ids;
}

}  // namespace

bool ProcessOf(int folder, UniqueFd* process, uid_t* uid) {
  // The links at the top of /proc (self, thread-self, mounts) are the kernel's, not a process's.
  struct stat st;
  if (fstat(folder, &st) != 0 || st.st_ino == kProcRootInode) return false;
  for (const char* candidate : {".", ".."}) {
    UniqueFd dir(openat(folder, candidate, O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (dir && RealUser(dir.get(), uid)) {
      *process = std::move(dir);
      return true;
    }
  }
  return false;
}

bool MountsAnswerToCaller(int process) {
  const UniqueFd theirs(openat(process, "ns/mnt", O_RDONLY | O_CLOEXEC));
  if (SameNamespace(theirs, UniqueFd(open("/proc/self/ns/mnt", O_RDONLY | O_CLOEXEC)))) {
    return true;
  }
  const UniqueFd owner(theirs ? ioctl(theirs.get(), NS_GET_USERNS) : -1);
  return SameNamespace(owner, UniqueFd(open("/proc/self/ns/user", O_RDONLY | O_CLOEXEC)));
}

bool UnmappedUser(uid_t uid) { return Ids().any && uid == Ids().uid; }

bool UnmappedGroup(gid_t gid) { return Ids().any && gid == Ids().gid; }
