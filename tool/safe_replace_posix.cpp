#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "safe_replace.h"

namespace {

// The temporary file, for the signal handler. The name is written only while the handled signals
// are blocked, and g_armed says whether it names a file of ours that must go.
char g_temp_path[PATH_MAX];
volatile sig_atomic_t g_armed = 0;

extern "C" void RemoveTempAndDie(int sig) {
  if (g_armed) unlink(g_temp_path);
  signal(sig, SIG_DFL);
  raise(sig);
}

constexpr int kHandled[] = {SIGINT, SIGTERM, SIGHUP};

// Blocks the handled signals for its lifetime, so that the temporary file and g_armed change
// together.
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

std::string Errno() { return strerror(errno); }

// Writes in pieces and starts each piece on its way to the disk at once, so that the disk works
// while the rest is still being copied and the fsync that follows has little left to wait for.
bool WriteAll(int fd, const unsigned char* data, std::size_t size) {
  constexpr std::size_t kPiece = std::size_t{8} << 20;
  off_t at = 0;
  while (size > 0) {
    const ssize_t put = write(fd, data, size < kPiece ? size : kPiece);
    if (put < 0) {
      if (errno == EINTR) continue;
      return false;
    }
#ifdef SYNC_FILE_RANGE_WRITE
    // Only a hint: fsync reports any error.
    sync_file_range(fd, at, put, SYNC_FILE_RANGE_WRITE);
#endif
    at += put;
    data += put;
    size -= static_cast<std::size_t>(put);
  }
  return true;
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether the content may have changed: any write moves the modification time.
bool SameContent(const struct stat& a, const struct stat& b) {
  return SameFile(a, b) && a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
         a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

}  // namespace

std::vector<std::string> CommandLine(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

struct SafeReplace::Impl {
  int fd = -1;
  std::string target;
  struct stat before {};
  std::string reason;

  Status Fail(Status status, std::string why) {
    reason = std::move(why);
    return status;
  }
  Status Replace(const unsigned char* data, std::size_t size);
};

SafeReplace::SafeReplace() : impl_(new Impl) {}

SafeReplace::~SafeReplace() {
  if (impl_->fd >= 0) close(impl_->fd);
}

void SafeReplace::PrepareProcess() {
  signal(SIGXFSZ, SIG_IGN);
  struct sigaction action {};
  action.sa_handler = RemoveTempAndDie;
  sigemptyset(&action.sa_mask);
  for (int sig : kHandled) sigaddset(&action.sa_mask, sig);
  for (int sig : kHandled) sigaction(sig, &action, nullptr);
}

const std::string& SafeReplace::Target() const { return impl_->target; }

const std::string& SafeReplace::Reason() const { return impl_->reason; }

SafeReplace::Status SafeReplace::Open(const std::string& path) {
  Impl& m = *impl_;
  // O_NONBLOCK: a FIFO must be refused, not waited on.
  m.fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (m.fd < 0 || fstat(m.fd, &m.before) != 0) return m.Fail(Status::kUnreadable, Errno());
  if (S_ISDIR(m.before.st_mode)) return m.Fail(Status::kUnreadable, strerror(EISDIR));
  if (!S_ISREG(m.before.st_mode)) return m.Fail(Status::kUnreadable, "Not a regular file");

  // A second run on the same file fails here instead of interleaving with this one.
  if (flock(m.fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
    return m.Fail(Status::kRefused, "in use by another process (locked)");
  }
  char* real = realpath(path.c_str(), nullptr);
  if (real == nullptr) return m.Fail(Status::kUnreadable, Errno());
  m.target = real;
  free(real);
  // The lock is on what was opened; the path must still lead there.
  struct stat now;
  if (stat(m.target.c_str(), &now) != 0 || !SameFile(now, m.before)) {
    return m.Fail(Status::kRefused, "changed while being opened; left as it was");
  }
  if (m.before.st_nlink > 1) {
    return m.Fail(Status::kRefused, "has " + std::to_string(m.before.st_nlink) +
                                        " hard links; replacing it would split them");
  }
  if (faccessat(AT_FDCWD, m.target.c_str(), W_OK, AT_EACCESS) != 0) {
    return m.Fail(Status::kRefused, "not writable: " + Errno());
  }
  return Status::kOk;
}

SafeReplace::Status SafeReplace::Commit(const unsigned char* data, std::size_t size) {
  return impl_->Replace(data, size);
}

SafeReplace::Status SafeReplace::Impl::Replace(const unsigned char* data, std::size_t size) {
  const std::size_t slash = target.rfind('/');
  const std::string dir = target.substr(0, slash == 0 ? 1 : slash);
  // A short prefix of the name keeps the temporary name within the file system's limit.
  const std::string temp =
      dir + (slash == 0 ? "" : "/") + "." + target.substr(slash + 1, 32) + ".xorscramble-XXXXXX";
  if (temp.size() >= sizeof g_temp_path) {
    return Fail(Status::kRefused,
                "cannot create a temporary file in " + dir + ": " + strerror(ENAMETOOLONG));
  }

  int temp_fd;
  {
    const SignalGuard guard;
    memcpy(g_temp_path, temp.c_str(), temp.size() + 1);
    temp_fd = mkostemp(g_temp_path, O_CLOEXEC);
    if (temp_fd < 0) {
      return Fail(Status::kRefused, "cannot create a temporary file in " + dir + ": " + Errno());
    }
    g_armed = 1;
  }
  // Undoes everything but the file's lock: the original stays exactly as it was.
  auto abandon = [&](std::string why) {
    if (temp_fd >= 0) close(temp_fd);
    const SignalGuard guard;
    unlink(g_temp_path);
    g_armed = 0;
    return Fail(Status::kRefused, std::move(why));
  };

  struct stat made;
  if (fstat(temp_fd, &made) != 0) return abandon("cannot create a temporary file: " + Errno());
  // Owner before mode: changing the owner clears set-user-ID bits.
  if ((made.st_uid != before.st_uid || made.st_gid != before.st_gid) &&
      fchown(temp_fd, before.st_uid, before.st_gid) != 0) {
    return abandon("cannot keep its owner and group: " + Errno());
  }
  if (fchmod(temp_fd, before.st_mode & 07777) != 0) {
    return abandon("cannot keep its permissions: " + Errno());
  }
  if (!WriteAll(temp_fd, data, size) || fsync(temp_fd) != 0) {
    return abandon("cannot write the new content: " + Errno());
  }
  // close() reports delayed write errors on some file systems, and releases the descriptor either
  // way.
  const int closed = close(temp_fd);
  temp_fd = -1;
  if (closed != 0) return abandon("cannot write the new content: " + Errno());

  struct stat now_open;
  struct stat now_path;
  if (static_cast<std::size_t>(before.st_size) != size || fstat(fd, &now_open) != 0 ||
      stat(target.c_str(), &now_path) != 0 || !SameContent(now_open, before) ||
      !SameFile(now_path, before)) {
    return abandon("changed while being scrambled; left as it was");
  }

  int renamed;
  {
    const SignalGuard guard;
    renamed = rename(g_temp_path, target.c_str());
    if (renamed == 0) g_armed = 0;
  }
  if (renamed != 0) return abandon("cannot replace it: " + Errno());

  // The rename is durable only once the directory is.
  const int dir_fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd < 0 || (fsync(dir_fd) != 0 && errno != EINVAL)) {
    const std::string why = Errno();
    if (dir_fd >= 0) close(dir_fd);
    return Fail(Status::kRefused, "replaced, but its directory could not be synced: " + why);
  }
  close(dir_fd);
  return Status::kOk;
}
