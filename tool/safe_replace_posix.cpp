// The replace step on Linux. The path is resolved once, one entry at a time, each opened relative
// to the folder before it (O_PATH, never following a link blindly); from then on the file and its
// folder are used only through their descriptors: the temporary file is made in the folder with
// O_TMPFILE, so that it has no name until the very end, and the checks, the rename, the clean-up
// and the final sync are all relative to the folder's descriptor.

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/fs.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "printable.h"
#include "safe_replace.h"

namespace {

// Signals that end a process by default and that users or the system send: none of them may leave
// a temporary file behind.
constexpr int kHandled[] = {SIGINT,  SIGTERM, SIGHUP,  SIGQUIT, SIGUSR1,
                            SIGUSR2, SIGALRM, SIGPIPE, SIGXCPU, SIGVTALRM};

// The temporary file while it has a name, for the signal handler. They change only while the
// handled signals are blocked, and g_armed says whether they name a file of ours that must go.
int g_temp_dir = -1;
char g_temp_name[NAME_MAX + 1];
volatile sig_atomic_t g_armed = 0;

extern "C" void RemoveTempAndDie(int sig) {
  if (g_armed) unlinkat(g_temp_dir, g_temp_name, 0);
  signal(sig, SIG_DFL);
  raise(sig);
}

// Blocks the handled signals for its lifetime, so that the temporary name and g_armed change
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

// Makes the handled signals remove the temporary file while it has a name. Only a file system
// without unnamed temporary files needs it: there the name exists for the whole write and sync,
// while an unnamed file gets its name and loses it again with the signals blocked throughout.
// Call with the handled signals blocked.
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
  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
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

std::string Errno() { return strerror(errno); }

// Where a descriptor's file is, for messages only: never looked up again.
std::string Shown(int fd, const std::string& name = "") {
  char link[32];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  char where[PATH_MAX];
  const ssize_t n = readlink(link, where, sizeof where - 1);
  std::string shown = n > 0 ? std::string(where, static_cast<std::size_t>(n)) : "?";
  if (!name.empty()) shown += (shown == "/" ? "" : "/") + name;
  return Printable(shown);
}

// The target of the symbolic link open (O_PATH) on `fd`.
bool ReadLink(int fd, std::string* target) {
  for (std::size_t room = 256;; room *= 4) {
    std::vector<char> buf(room);
    const ssize_t n = readlinkat(fd, "", buf.data(), room);
    if (n < 0) return false;
    if (static_cast<std::size_t>(n) < room) {
      target->assign(buf.data(), static_cast<std::size_t>(n));
      return true;
    }
  }
}

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
    // Only a hint, and none for the last piece, which the fsync that follows sends at once: fsync
    // reports any error.
    if (static_cast<std::size_t>(put) < size) sync_file_range(fd, at, put, SYNC_FILE_RANGE_WRITE);
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

// Append-only and immutable entries cannot be removed or replaced, and folders marked so cannot
// lose an entry; where the file system keeps no such marks, nothing is marked.
bool Marked(int fd) {
  int flags = 0;
  return ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & (FS_APPEND_FL | FS_IMMUTABLE_FL));
}

// A name for the temporary file that nobody can guess: a short prefix of the file's own name keeps
// it within the file system's limit.
std::string TempName(const std::string& name) {
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
  std::string temp = "." + name.substr(0, 32) + ".xorscramble-";
  for (unsigned char r : random) temp += kChars[r % (sizeof kChars - 1)];
  return temp;
}

// A followed link may be another user's: it leads only to something of its owner's (or it is
// root's, whom every user trusts already), so that nobody's link makes the caller act on a file
// the link's owner could not touch.
bool MayFollow(const struct stat& link, const struct stat& target) {
  return link.st_uid == geteuid() || link.st_uid == 0 || link.st_uid == target.st_uid;
}

constexpr int kMaxLinks = 40;  // as the kernel allows on one lookup

// A file whose cached pages are worth giving back before the new content is written.
constexpr std::size_t kLargeFile = std::size_t{8} << 20;

}  // namespace

std::vector<std::string> CommandLine(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

struct SafeReplace::Impl {
  UniqueFd fd;   // the file, open for reading and locked
  UniqueFd dir;  // the folder that holds it
  std::string name;
  struct stat before {};
  std::string reason;

  // What a lookup found: an entry (opened with O_PATH), the folder that holds it, and its name.
  struct Entry {
    UniqueFd dir;
    std::string name;
    UniqueFd fd;
    struct stat st {};
  };

  Status Fail(Status status, std::string why) {
    reason = std::move(why);
    return status;
  }
  Status Lookup(int start, const std::string& path, int* links, bool need_fd, Entry* out);
  Status Replace(const unsigned char* data, std::size_t size);
  int CreateTemp(std::string* temp_name);
  bool LinkTemp(int temp, std::string* temp_name);
  template <typename Make>
  bool NameTemp(Make make, std::string* temp_name);
};

// Resolves `path` relative to the folder `start` as the kernel would, but one entry at a time, each
// opened without following it relative to the folder before it, and with links checked before
// they are followed. The entry found is opened only if `need_fd` (it is a folder to go on from);
// its folder always is.
SafeReplace::Status SafeReplace::Impl::Lookup(int start, const std::string& path, int* links,
                                              bool need_fd, Entry* out) {
  if (path.empty()) {
    errno = ENOENT;
    return Fail(Status::kUnreadable, Errno());
  }
  std::vector<std::string> parts;
  for (std::size_t at = 0; at < path.size();) {
    const std::size_t end = std::min(path.find('/', at), path.size());
    if (end > at) parts.push_back(path.substr(at, end - at));
    at = end + 1;
  }
  // A trailing slash asks for a directory, as "." after it does.
  if (parts.empty() || path.back() == '/') parts.emplace_back(".");

  UniqueFd folder(openat(start, path[0] == '/' ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!folder) return Fail(Status::kUnreadable, Errno());
  for (std::size_t i = 0; i < parts.size(); ++i) {
    const bool last = i + 1 == parts.size();
    struct stat st;
    if (last && !need_fd &&
        fstatat(folder.get(), parts[i].c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        !S_ISLNK(st.st_mode)) {
      *out = Entry{std::move(folder), parts[i], UniqueFd(), st};
      return Status::kOk;
    }
    UniqueFd entry(openat(folder.get(), parts[i].c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!entry || fstat(entry.get(), &st) != 0) return Fail(Status::kUnreadable, Errno());
    if (!S_ISLNK(st.st_mode)) {
      if (last) {
        *out = Entry{std::move(folder), parts[i], std::move(entry), st};
        return Status::kOk;
      }
      folder = std::move(entry);
      continue;
    }

    if (++*links > kMaxLinks) {
      errno = ELOOP;
      return Fail(Status::kUnreadable, Errno());
    }
    // The link's own inode, pinned by the descriptor: its owner and its target come from the same
    // link, whatever replaces it meanwhile.
    std::string target;
    if (!ReadLink(entry.get(), &target)) return Fail(Status::kUnreadable, Errno());
    Entry found;
    const Status status = Lookup(folder.get(), target, links, need_fd || !last, &found);
    if (status != Status::kOk) return status;
    if (!MayFollow(st, found.st)) {
      return Fail(Status::kRefused,
                  "not following the symbolic link " + Shown(folder.get(), parts[i]) +
                      ": it belongs to another user, who does not own what it leads to");
    }
    if (last) {
      *out = std::move(found);
      return Status::kOk;
    }
    folder = std::move(found.fd);
  }
  return Status::kOk;  // not reached: the last part returns
}

SafeReplace::SafeReplace() : impl_(new Impl) {}

SafeReplace::~SafeReplace() = default;

void SafeReplace::PrepareProcess() { signal(SIGXFSZ, SIG_IGN); }

int SafeReplace::Descriptor() const { return impl_->fd.get(); }

const std::string& SafeReplace::Reason() const { return impl_->reason; }

SafeReplace::Status SafeReplace::Open(const std::string& path) {
  Impl& m = *impl_;
  int links = 0;
  Impl::Entry found;
  const Status status = m.Lookup(AT_FDCWD, path, &links, false, &found);
  if (status != Status::kOk) return status;
  if (S_ISDIR(found.st.st_mode)) return m.Fail(Status::kUnreadable, strerror(EISDIR));
  // Devices and FIFOs are never opened at all.
  if (!S_ISREG(found.st.st_mode)) return m.Fail(Status::kUnreadable, "Not a regular file");

  const std::string changed = "changed while being opened; left as it was";
  m.fd = UniqueFd(openat(found.dir.get(), found.name.c_str(),
                         O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!m.fd) {
    return errno == ELOOP ? m.Fail(Status::kRefused, changed)
                          : m.Fail(Status::kUnreadable, Errno());
  }
  if (fstat(m.fd.get(), &m.before) != 0) return m.Fail(Status::kUnreadable, Errno());
  if (!SameFile(m.before, found.st)) return m.Fail(Status::kRefused, changed);
  // The folder itself, for the replace and its sync: a folder that cannot be opened is refused
  // before anything is written in it.
  m.dir = UniqueFd(openat(found.dir.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!m.dir) {
    return m.Fail(Status::kRefused,
                  "cannot open its directory " + Shown(found.dir.get()) + ": " + Errno());
  }
  m.name = found.name;

  // A second run on the same file fails here instead of interleaving with this one.
  if (flock(m.fd.get(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
    return m.Fail(Status::kRefused, "in use by another process (locked)");
  }
  // The lock is on what was opened; the name must still lead there.
  struct stat now;
  if (fstatat(m.dir.get(), m.name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 ||
      !SameFile(now, m.before)) {
    return m.Fail(Status::kRefused, changed);
  }
  if (m.before.st_nlink > 1) {
    return m.Fail(Status::kRefused, "has " + std::to_string(m.before.st_nlink) +
                                        " hard links; replacing it would split them");
  }
  if (faccessat(m.dir.get(), m.name.c_str(), W_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) != 0) {
    return m.Fail(Status::kRefused, "not writable: " + Errno());
  }
  if (Marked(m.fd.get())) {
    return m.Fail(Status::kRefused, "is marked append-only; it cannot be replaced");
  }
  if (Marked(m.dir.get())) {
    return m.Fail(Status::kRefused, "its directory " + Shown(m.dir.get()) +
                                        " is marked append-only or immutable; the file in it "
                                        "cannot be replaced");
  }
  return Status::kOk;
}

SafeReplace::Status SafeReplace::Commit(const unsigned char* data, std::size_t size) {
  return impl_->Replace(data, size);
}

// Makes a file under a new random name in the folder with `make`, which fails with EEXIST where
// the name is taken and is tried again then, and tells the signal handler the name from the moment
// it exists. Call with the handled signals blocked. Fails with errno set.
template <typename Make>
bool SafeReplace::Impl::NameTemp(Make make, std::string* temp_name) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string candidate = TempName(name);
    if (make(candidate.c_str())) {
      *temp_name = candidate;
      memcpy(g_temp_name, candidate.c_str(), candidate.size() + 1);
      g_temp_dir = dir.get();
      g_armed = 1;
      return true;
    }
    if (errno != EEXIST) return false;
  }
  return false;
}

// The temporary file, the caller's and private until it is complete: unnamed where the file system
// allows it, else under a new random name (then known to the signal handler). Returns the
// descriptor, or -1 with errno set.
int SafeReplace::Impl::CreateTemp(std::string* temp_name) {
  const int unnamed = openat(dir.get(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  // File systems without O_TMPFILE say so in one of these ways.
  if (unnamed >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)) return unnamed;
  int named = -1;
  const SignalGuard guard;
  CatchSignals();
  NameTemp(
      [&](const char* temp) {
        named = openat(dir.get(), temp, O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC, 0600);
        return named >= 0;
      },
      temp_name);
  return named;
}

// Gives the unnamed temporary file `temp` a random name in the folder. Call with the handled
// signals blocked. Fails with errno set.
bool SafeReplace::Impl::LinkTemp(int temp, std::string* temp_name) {
  // AT_EMPTY_PATH needs a capability (root has it) and fails with ENOENT without; linking through
  // /proc needs none, but the walk through /proc costs some 2% of a small file's run, and even
  // formatting its name is worth saving when it is not needed.
  return NameTemp(
      [&](const char* candidate) {
        if (linkat(temp, "", dir.get(), candidate, AT_EMPTY_PATH) == 0) return true;
        if (errno != ENOENT) return false;
        char proc[32];
        snprintf(proc, sizeof proc, "/proc/self/fd/%d", temp);
        return linkat(AT_FDCWD, proc, dir.get(), candidate, AT_SYMLINK_FOLLOW) == 0;
      },
      temp_name);
}

SafeReplace::Status SafeReplace::Impl::Replace(const unsigned char* data, std::size_t size) {
  // The old content is in memory now and will not be read again: its cached pages are given back
  // at once, and the new file's go where they were. Fresh memory is dearer than it looks on a
  // virtual machine, whose host takes back memory left free for a few seconds and makes each
  // first touch of it a fault of its own. (A refused run leaves the file as it was, uncached.)
  if (size >= kLargeFile) posix_fadvise(fd.get(), 0, 0, POSIX_FADV_DONTNEED);
  std::string temp_name;  // empty while the temporary file has no name
  UniqueFd temp(CreateTemp(&temp_name));
  if (!temp) {
    return Fail(Status::kRefused,
                "cannot create a temporary file in " + Shown(dir.get()) + ": " + Errno());
  }
  // Undoes everything but the file's lock: the original stays exactly as it was.
  auto abandon = [&](std::string why) {
    temp.Reset();
    if (!temp_name.empty()) {
      const SignalGuard guard;
      if (unlinkat(dir.get(), temp_name.c_str(), 0) != 0) {
        why += "; the temporary file " + Shown(dir.get(), temp_name) +
               " could not be removed: " + Errno();
      }
      g_armed = 0;
    }
    return Fail(Status::kRefused, std::move(why));
  };

  if (!WriteAll(temp.get(), data, size) || fsync(temp.get()) != 0) {
    return abandon("cannot write the new content: " + Errno());
  }
  struct stat now_open;
  struct stat now_named;
  if (static_cast<std::size_t>(before.st_size) != size || fstat(fd.get(), &now_open) != 0 ||
      fstatat(dir.get(), name.c_str(), &now_named, AT_SYMLINK_NOFOLLOW) != 0 ||
      !SameContent(now_open, before) || !SameFile(now_named, before)) {
    return abandon("changed while being scrambled; left as it was");
  }
  // Only now, complete and checked, is the new file given away. Owner before mode: changing the
  // owner clears set-user-ID bits.
  struct stat made;
  if (fstat(temp.get(), &made) != 0) return abandon("cannot create a temporary file: " + Errno());
  if ((made.st_uid != before.st_uid || made.st_gid != before.st_gid) &&
      fchown(temp.get(), before.st_uid, before.st_gid) != 0) {
    return abandon("cannot keep its owner and group: " + Errno());
  }
  if (fchmod(temp.get(), before.st_mode & 07777) != 0) {
    return abandon("cannot keep its permissions: " + Errno());
  }

  {
    // An unnamed temporary file gets its name here and keeps it only until the rename, or until
    // abandon removes it: no handled signal is taken in between.
    const SignalGuard guard;
    if (temp_name.empty() && !LinkTemp(temp.get(), &temp_name)) {
      return abandon("cannot replace it: " + Errno());
    }
    // close() reports delayed write errors on some file systems, and releases the descriptor
    // either way.
    if (close(temp.Release()) != 0) return abandon("cannot write the new content: " + Errno());
    if (renameat(dir.get(), temp_name.c_str(), dir.get(), name.c_str()) != 0) {
      return abandon("cannot replace it: " + Errno());
    }
    g_armed = 0;
  }

  // The rename is durable only once the folder is.
  if (fsync(dir.get()) != 0 && errno != EINVAL) {
    return Fail(Status::kNotDurable, "replaced, but its directory could not be synced: " + Errno());
  }
  return Status::kOk;
}
