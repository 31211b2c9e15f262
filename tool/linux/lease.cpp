// SPDX-License-Identifier: MIT
#include "lease.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>

namespace {

// The leased file, for the handler, and whether its lease was broken.
volatile sig_atomic_t g_fd = -1;
volatile sig_atomic_t g_broken = 0;

// A writer is waiting in its open: the lease goes at once. (Given back twice, it is given back.)
extern "C" void GiveBack(int) {
  const int error = errno;
  if (g_fd >= 0) fcntl(g_fd, F_SETLEASE, F_UNLCK);
  g_broken = 1;
  errno = error;
}

}  // namespace

Lease::Taken Lease::Take(int fd) {
  g_fd = fd;
  g_broken = 0;
  // Whatever SIGIO was to the program that started this one (ignored, blocked), a writer must not
  // wait out the break time for it: the handler goes in place and the signal is let through.
  struct sigaction action {};
  action.sa_handler = GiveBack;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  sigaction(SIGIO, &action, nullptr);
  sigset_t sigio;
  sigemptyset(&sigio);
  sigaddset(&sigio, SIGIO);
  sigprocmask(SIG_UNBLOCK, &sigio, nullptr);

  if (fcntl(fd, F_SETLEASE, F_RDLCK) == 0) {
    held_ = true;
    return Taken::kHeld;
  }
  const int error = errno;
  g_fd = -1;
  return error == EAGAIN ? Taken::kOpenForWriting : Taken::kUnavailable;
}

bool Lease::Broken() const { return held_ && g_broken != 0; }

void Lease::Release() {
  if (!held_) return;
  fcntl(g_fd, F_SETLEASE, F_UNLCK);
  g_fd = -1;
  held_ = false;
}

Lease::~Lease() { Release(); }
