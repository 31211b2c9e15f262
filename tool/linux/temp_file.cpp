// SPDX-License-Identifier: MIT
#include "temp_file.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "open_file.h"

namespace {

// Signals that end a process by default and that users or the system send: none of them may leave
// a temporary file behind.
constexpr int kHandled[] = {SIGINT,  SIGTERM, SIGHUP,  SIGQUIT, SIGUSR1,
                            SIGUSR2, SIGALRM, SIGPIPE, SIGXCPU, SIGVTALRM};

// The temporary file while it has a name, for the signal handler: g_armed says whether the other
// two name a file of ours that must go.
int g_temp_dir = -1;
char g_temp_name[NAME_MAX + 1];
volatile sig_atomic_t g_armed = 0;

extern "C" void RemoveTempAndDie(int sig) {
  if (g_armed) unlinkat(g_temp_dir, g_temp_name, 0);
  signal(sig, SIG_DFL);
  raise(sig);
}

// Blocks the handled signals for its lifetime.
class SignalGuard {
 public:
  SignalGuard() {
    sigset_t block;
    sigemptyset(&block);
    for (int sig : kHandled) sigaddset(&block, sig);
    sigprocmask(SIG_BLOCK, &block, &old_);
  }
  ~SignalGuard() { sigprocmask(SIG_SETMASK, &old_, nullptr); }
  SignalGuard(const SignalGuard&) = delete;
  SignalGuard& operator=(const SignalGuard&) = delete;

 private:
  sigset_t old_;
};

// Makes the handled signals remove the temporary file while it has a name. Only a file that is
// named while its content is written needs it. Call with the handled signals blocked.
void CatchSignals() {
  static bool caught = false;
  if (caught) return;
  caught = true;
  struct sigaction action {};
  action.sa_handler = RemoveTempAndDie;
  sigemptyset(&action.sa_mask);
  for (int sig : kHandled) sigaddset(&action.sa_mask, sig);
  for (int sig : kHandled) {
    struct sigaction old {};
    // A signal ignored by whoever started the command (nohup) stays ignored: it is put back at
    // once, and blocked meanwhile, so that none finds the handler in its place.
    if (sigaction(sig, &action, &old) == 0 && old.sa_handler == SIG_IGN) {
      sigaction(sig, &old, nullptr);
    }
  }
}

// Up to 32 bytes of the start of `name`, cut where a character starts: a file system that keeps
// names as Unicode (exFAT, NTFS) refuses one that ends inside a UTF-8 sequence.
std::string Prefix(const std::string& name) {
  std::size_t cut = std::min<std::size_t>(name.size(), 32);
  while (cut > 0 && cut < name.size() && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) {
    --cut;
  }
  return name.substr(0, cut);
}

// A name for the temporary file that nobody can guess: a short prefix of the target's own name
// keeps it within the file system's limit.
std::string RandomName(const std::string& target) {
  static const char kChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  unsigned char random[8];
  if (getrandom(random, sizeof random, GRND_NONBLOCK) != sizeof random) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    static unsigned counter = 0;
    const auto mix = static_cast<unsigned long long>(now.tv_nsec) ^
                     (static_cast<unsigned long long>(getpid()) << 32) ^ ++counter * 0x9E3779B9u;
    memcpy(random, &mix, sizeof random);
  }
  std::string name = "." + Prefix(target) + ".xorscramble-";
  for (unsigned char r : random) name += kChars[r % (sizeof kChars - 1)];
  return name;
}

}  // namespace

bool TempFile::Create(int dir, const std::string& target) {
  dir_ = dir;
  target_ = target;
  fd_ = UniqueFd(openat(dir, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600));
  if (fd_) {
    if (Linkable()) return true;
    fd_.Reset();
  } else if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
    // File systems without O_TMPFILE say so in one of those ways; this is another failure.
    return false;
  }
  const SignalGuard guard;
  CatchSignals();
  return Name([&](const char* candidate) {
    fd_ = UniqueFd(
        openat(dir_, candidate, O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC, 0600));
    return static_cast<bool>(fd_);
  });
}

// Whether the unnamed file can be given a name at the end, and how: from its descriptor, which
// needs a capability before Linux 6.10, or through /proc, which must be mounted. Each is asked
// with a name that can never be made ("." exists), so that the answer makes nothing, and a file
// that could not be named is never written.
bool TempFile::Linkable() {
  if (linkat(fd_.get(), "", dir_, ".", AT_EMPTY_PATH) != 0 && errno == EEXIST) {
    linking_ = Linking::kByDescriptor;
    return true;
  }
  if (linkat(AT_FDCWD, ProcPath(fd_.get()).path, dir_, ".", AT_SYMLINK_FOLLOW) != 0 &&
      errno == EEXIST) {
    linking_ = Linking::kThroughProc;
    return true;
  }
  return false;
}

// Gives the file a new random name in the folder with `make`, which fails with EEXIST where the
// name is taken and is tried again then, and tells the signal handler the name from the moment it
// exists. Call with the handled signals blocked. false with errno set.
template <typename Make>
bool TempFile::Name(Make make) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string candidate = RandomName(target_);
    if (make(candidate.c_str())) {
      name_ = candidate;
      memcpy(g_temp_name, candidate.c_str(), candidate.size() + 1);
      g_temp_dir = dir_;
      g_armed = 1;
      return true;
    }
    if (errno != EEXIST) return false;
  }
  return false;
}

// Renames the file to the target's name where nothing has that name: atomically where the file
// system can (RENAME_NOREPLACE); elsewhere by a link, which fails on a name that is taken, and the
// temporary name's removal, after which the new file is complete under its own.
bool TempFile::RenameToNew() {
  if (renameat2(dir_, name_.c_str(), dir_, target_.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  if (linkat(dir_, name_.c_str(), dir_, target_.c_str(), 0) != 0) return false;
  unlinkat(dir_, name_.c_str(), 0);
  return true;
}

bool TempFile::Replace(const std::function<bool()>& still_wanted, bool fresh) {
  const SignalGuard guard;
  const bool named = !name_.empty() || Name([&](const char* candidate) {
    return linking_ == Linking::kByDescriptor
               ? linkat(fd_.get(), "", dir_, candidate, AT_EMPTY_PATH) == 0
               : linkat(AT_FDCWD, ProcPath(fd_.get()).path, dir_, candidate, AT_SYMLINK_FOLLOW) ==
                     0;
  });
  // close() releases the descriptor even when it reports an error.
  if (!named || close(fd_.Release()) != 0 || !still_wanted() ||
      (fresh ? !RenameToNew() : renameat(dir_, name_.c_str(), dir_, target_.c_str()) != 0)) {
    // Removed before the signals are let through: an unnamed file has no handler to remove it.
    Discard();
    return false;
  }
  name_.clear();
  g_armed = 0;
  return true;
}

Outcome::Leftover TempFile::Discard() {
  const int error = errno;
  fd_.Reset();
  if (!name_.empty()) {
    const SignalGuard guard;
    if (unlinkat(dir_, name_.c_str(), 0) != 0) left_ = {ShownPath(dir_, name_), errno};
    name_.clear();
    g_armed = 0;
  }
  errno = error;
  return left_;
}
