// SPDX-License-Identifier: MIT
// What the Linux units share of open files: a descriptor with one owner, closed when the owner
// goes; the path in /proc through which the kernel reaches what a descriptor has open, and where
// that is, for messages; and whether two stats are of one file.

#ifndef XORSCRAMBLE_LINUX_OPEN_FILE_H_
#define XORSCRAMBLE_LINUX_OPEN_FILE_H_

#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      Reset();
      fd_ = other.Release();
    }
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  // Gives the descriptor up, open, to the caller.
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void Reset() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

// "/proc/self/fd/N" for the descriptor N.
struct ProcPath {
  explicit ProcPath(int fd) { snprintf(path, sizeof path, "/proc/self/fd/%d", fd); }
  char path[32];
};

// Where the file open on `fd` is (with `name` in it, if given), as the kernel last knew it: for
// messages only, never looked up again.
std::string ShownPath(int fd, const std::string& name = "");

// Whether two stats are of one file.
inline bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

#endif  // XORSCRAMBLE_LINUX_OPEN_FILE_H_
