// SPDX-License-Identifier: MIT
// Preloaded into xorscramble by tool_test to make the file system misbehave at chosen moments:
//   XORSCRAMBLE_TEST_TOUCH=path   at the first fsync, moves that file's modification time, as
//                                 another writer would;
//   XORSCRAMBLE_TEST_XATTR=path   at the first fsync, gives that file an extended attribute, as
//                                 its owner might, in the same clock tick;
//   XORSCRAMBLE_TEST_CREATE=path  at the first fsync, another process makes that file;
//   XORSCRAMBLE_TEST_WRITER=path  at the first fsync, another process opens that file for writing
//                                 and appends how many milliseconds its open took;
//   XORSCRAMBLE_TEST_LATE_WRITER=path  the same at the rename, just before it;
//   XORSCRAMBLE_TEST_LATE_TRUNCATE=path  at the rename, just before it, another process opens
//                                 that file for reading with O_TRUNC, which breaks no lease;
//   XORSCRAMBLE_TEST_SIGNAL=n     at the first fsync, raises signal n;
//   XORSCRAMBLE_TEST_NO_TMPFILE=1 O_TMPFILE fails, as on a file system without it;
//   XORSCRAMBLE_TEST_NO_REMOVE=1  renameat and unlinkat fail with EPERM, as in an append-only
//                                 folder;
//   XORSCRAMBLE_TEST_DIR_EIO=1    fsync of a directory fails with EIO;
//   XORSCRAMBLE_TEST_NO_FLINK=1   an unnamed file cannot be linked (ENOENT), as on a kernel before
//                                 6.10, without the capability and without /proc;
//   XORSCRAMBLE_TEST_NO_SETXATTR=1 fsetxattr fails with EOPNOTSUPP, as on a file system that
//                                 keeps less than another;
//   XORSCRAMBLE_TEST_DROP_ACL=1   fsetxattr of an access ACL succeeds without keeping it, as a
//                                 file system might without a word;
//   XORSCRAMBLE_TEST_NO_SETFLAGS=1 FS_IOC_SETFLAGS fails with EPERM, as for a flag that only a
//                                 capability lets one set (chattr +j);
//   XORSCRAMBLE_TEST_MODE_SEEN=path at the first write to a regular file, appends to that file
//                                 the permission bits of the file written, in octal;
//   XORSCRAMBLE_TEST_SLOW_WRITE=ms every write to a regular file waits that long first, as on a
//                                 slow disk;
//   XORSCRAMBLE_TEST_ACL_SEEN=path at the first write to a regular file, appends to that file
//                                 "acl" where the file written has an access ACL, else "none";
//   XORSCRAMBLE_TEST_GROW=path    at the second read of a piece, another process appends to that
//                                 file as XORSCRAMBLE_TEST_WRITER does;
//   XORSCRAMBLE_TEST_SHRINK=path  at the second read of a piece, another process truncates that
//                                 file to one byte;
//   XORSCRAMBLE_TEST_LINK=path    at the second read of a piece, another process makes a hard
//                                 link to that file, path.link.

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <string>

namespace {

template <typename F>
F Real(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

bool Set(const char* knob) { return getenv(knob) != nullptr; }

constexpr char kAccessAcl[] = "system.posix_acl_access";

long Milliseconds() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

// Another process opens `path` for writing, as a logger or an editor would, and appends how long
// its open took; returns when it is done.
void WriteMeanwhile(const char* path) {
  const pid_t writer = fork();
  if (writer == 0) {
    const long start = Milliseconds();
    const int fd = open(path, O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0) _exit(1);
    dprintf(fd, "written meanwhile, after waiting %ld ms to open\n", Milliseconds() - start);
    _exit(0);
  }
  while (waitpid(writer, nullptr, 0) < 0 && errno == EINTR) {
  }
}

// Another process does `act` (which says whether it could); returns when it is done.
template <typename Act>
void Meanwhile(Act act) {
  const pid_t other = fork();
  if (other == 0) _exit(act() ? 0 : 1);
  while (waitpid(other, nullptr, 0) < 0 && errno == EINTR) {
  }
}

int OpenAt(int dir, const char* path, int flags, va_list args) {
  using OpenAtFn = int (*)(int, const char*, int, ...);
  const mode_t mode = (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE
                          ? static_cast<mode_t>(va_arg(args, int))
                          : 0;
  if ((flags & O_TMPFILE) == O_TMPFILE && Set("XORSCRAMBLE_TEST_NO_TMPFILE")) {
    errno = EOPNOTSUPP;
    return -1;
  }
  return Real<OpenAtFn>("openat")(dir, path, flags, mode);
}

}  // namespace

extern "C" {

int openat(int dir, const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const int fd = OpenAt(dir, path, flags, args);
  va_end(args);
  return fd;
}

// The same function under the name that 64-bit file offsets give it.
int openat64(int dir, const char* path, int flags, ...) __attribute__((alias("openat")));

int renameat(int from_dir, const char* from, int to_dir, const char* to) {
  if (const char* path = getenv("XORSCRAMBLE_TEST_LATE_WRITER")) WriteMeanwhile(path);
  if (const char* path = getenv("XORSCRAMBLE_TEST_LATE_TRUNCATE")) {
    Meanwhile([path] { return open(path, O_RDONLY | O_TRUNC | O_CLOEXEC) >= 0; });
  }
  if (Set("XORSCRAMBLE_TEST_NO_REMOVE")) {
    errno = EPERM;
    return -1;
  }
  return Real<int (*)(int, const char*, int, const char*)>("renameat")(from_dir, from, to_dir, to);
}

int unlinkat(int dir, const char* path, int flags) {
  if (Set("XORSCRAMBLE_TEST_NO_REMOVE")) {
    errno = EPERM;
    return -1;
  }
  return Real<int (*)(int, const char*, int)>("unlinkat")(dir, path, flags);
}

int linkat(int from_dir, const char* from, int to_dir, const char* to, int flags) {
  if (Set("XORSCRAMBLE_TEST_NO_FLINK") &&
      ((flags & AT_EMPTY_PATH) != 0 || strncmp(from, "/proc/", 6) == 0)) {
    errno = ENOENT;
    return -1;
  }
  return Real<int (*)(int, const char*, int, const char*, int)>("linkat")(from_dir, from, to_dir,
                                                                          to, flags);
}

int fsetxattr(int fd, const char* name, const void* value, size_t size, int flags) {
  if (Set("XORSCRAMBLE_TEST_NO_SETXATTR")) {
    errno = EOPNOTSUPP;
    return -1;
  }
  if (Set("XORSCRAMBLE_TEST_DROP_ACL") && strcmp(name, kAccessAcl) == 0) return 0;
  return Real<int (*)(int, const char*, const void*, size_t, int)>("fsetxattr")(fd, name, value,
                                                                                size, flags);
}

ssize_t write(int fd, const void* data, size_t size) {
  static bool seen = false;
  struct stat st;
  const char* path = getenv("XORSCRAMBLE_TEST_ACL_SEEN");
  if (path != nullptr && !seen && fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    seen = true;
    const bool acl = fgetxattr(fd, kAccessAcl, nullptr, 0) >= 0;
    const int out = open(path, O_WRONLY | O_APPEND | O_CLOEXEC);
    if (out >= 0) {
      dprintf(out, acl ? "acl" : "none");
      close(out);
    }
  }
  static bool mode_seen = false;
  const char* mode_path = getenv("XORSCRAMBLE_TEST_MODE_SEEN");
  if (mode_path != nullptr && !mode_seen && fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    mode_seen = true;
    const int out = open(mode_path, O_WRONLY | O_APPEND | O_CLOEXEC);
    if (out >= 0) {
      dprintf(out, "%o", st.st_mode & 07777);
      close(out);
    }
  }
  if (const char* ms = getenv("XORSCRAMBLE_TEST_SLOW_WRITE")) {
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
      usleep(static_cast<useconds_t>(atoi(ms)) * 1000);
  }
  return Real<ssize_t (*)(int, const void*, size_t)>("write")(fd, data, size);
}

ssize_t pread64(int fd, void* data, size_t size, off64_t at) {
  static int reads = 0;
  if (++reads == 2) {
    if (const char* path = getenv("XORSCRAMBLE_TEST_GROW")) WriteMeanwhile(path);
    if (const char* path = getenv("XORSCRAMBLE_TEST_SHRINK")) {
      Meanwhile([path] { return truncate(path, 1) == 0; });
    }
    if (const char* path = getenv("XORSCRAMBLE_TEST_LINK")) {
      Meanwhile([path] { return link(path, (std::string(path) + ".link").c_str()) == 0; });
    }
  }
  return Real<ssize_t (*)(int, void*, size_t, off64_t)>("pread64")(fd, data, size, at);
}

int ioctl(int fd, unsigned long request, ...) {
  va_list args;
  va_start(args, request);
  void* arg = va_arg(args, void*);
  va_end(args);
  if (request == FS_IOC_SETFLAGS && Set("XORSCRAMBLE_TEST_NO_SETFLAGS")) {
    errno = EPERM;
    return -1;
  }
  return Real<int (*)(int, unsigned long, void*)>("ioctl")(fd, request, arg);
}

int fsync(int fd) {
  static bool fired = false;
  if (!fired) {
    fired = true;
    if (const char* path = getenv("XORSCRAMBLE_TEST_TOUCH")) {
      const struct timespec long_ago[2] = {{1, 0}, {1, 0}};
      utimensat(AT_FDCWD, path, long_ago, 0);
    }
    if (const char* path = getenv("XORSCRAMBLE_TEST_XATTR")) {
      setxattr(path, "user.meanwhile", "1", 1, 0);
    }
    if (const char* path = getenv("XORSCRAMBLE_TEST_WRITER")) WriteMeanwhile(path);
    if (const char* path = getenv("XORSCRAMBLE_TEST_CREATE")) {
      Meanwhile([path] { return open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644) >= 0; });
    }
    if (const char* sig = getenv("XORSCRAMBLE_TEST_SIGNAL")) raise(atoi(sig));
  }
  struct stat st;
  if (Set("XORSCRAMBLE_TEST_DIR_EIO") && fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    errno = EIO;
    return -1;
  }
  return Real<int (*)(int)>("fsync")(fd);
}

}  // extern "C"
