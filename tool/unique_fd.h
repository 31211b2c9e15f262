// SPDX-License-Identifier: MIT
// A file descriptor with one owner, closed when the owner goes; and the path in /proc through
// which the kernel reaches what a descriptor has open.

#ifndef XORSCRAMBLE_UNIQUE_FD_H_
#define XORSCRAMBLE_UNIQUE_FD_H_

#include <stdio.h>
#include <unistd.h>

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

#endif  // XORSCRAMBLE_UNIQUE_FD_H_
