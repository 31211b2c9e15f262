// The replace step on Linux. The path is looked up once (PathLookup); from then on the file and
// its folder are used only through their descriptors: the new content goes to a TempFile in the
// folder, takes the file's metadata (FileMetadata), and is renamed over the file; the checks, the
// rename, the clean-up and the final sync are all relative to the folder's descriptor.

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "file_metadata_linux.h"
#include "lease_linux.h"
#include "namespaces_linux.h"
#include "path_lookup_linux.h"
#include "safe_replace.h"
#include "temp_file_linux.h"
#include "unique_fd.h"

namespace {

std::string Errno() { return strerror(errno); }

const char* Marked(Mark mark) { return mark == Mark::kImmutable ? "immutable" : "append-only"; }

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

// Whether the file may have been written: any write moves its modification time, and any change
// of its metadata its change time (where the clock ticks finely enough to tell).
bool Untouched(const struct stat& a, const struct stat& b) {
  return SameFile(a, b) && a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
         a.st_mtim.tv_nsec == b.st_mtim.tv_nsec && a.st_ctim.tv_sec == b.st_ctim.tv_sec &&
         a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// A file whose cached pages are worth giving back before the new content is written.
constexpr std::size_t kLargeFile = std::size_t{8} << 20;

constexpr char kChangedOpening[] = "changed while being opened; left as it was";
constexpr char kChanged[] = "changed while being scrambled; left as it was";

}  // namespace

struct SafeReplace::Impl {
  UniqueFd fd;   // the file, open for reading, locked and leased
  UniqueFd dir;  // the folder that holds it
  std::string name;
  struct stat before {};
  FileMetadata metadata;
  Lease lease;  // after `fd`, so that it goes first

  Outcome Lock();
  Outcome Policy();
  Outcome StillAsFound() const;
  Outcome Replace(const unsigned char* data, std::size_t size);
};

SafeReplace::SafeReplace() : impl_(new Impl) {}

SafeReplace::~SafeReplace() = default;

void SafeReplace::PrepareProcess() { signal(SIGXFSZ, SIG_IGN); }

int SafeReplace::Descriptor() const { return impl_->fd.get(); }

Outcome SafeReplace::Open(const std::string& path) {
  Impl& m = *impl_;
  FoundEntry found;
  const Outcome lookup = PathLookup().Find(path, &found);
  if (!lookup.done()) return lookup;
  if (S_ISDIR(found.st.st_mode)) return Outcome::Failed(strerror(EISDIR));
  // Devices and FIFOs are never opened at all.
  if (!S_ISREG(found.st.st_mode)) return Outcome::Failed("Not a regular file");

  m.fd = UniqueFd(openat(found.dir.get(), found.name.c_str(),
                         O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!m.fd) {
    return errno == ELOOP ? Outcome::Refused(kChangedOpening) : Outcome::Failed(Errno());
  }
  if (fstat(m.fd.get(), &m.before) != 0) return Outcome::Failed(Errno());
  if (!SameFile(m.before, found.st)) return Outcome::Refused(kChangedOpening);
  // The folder itself, for the replace and its sync: a folder whose permissions keep it from
  // being opened is refused before anything is written in it.
  m.dir = UniqueFd(openat(found.dir.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!m.dir) {
    return Outcome::Refused("cannot open its directory " + ShownPath(found.dir.get()) + ": " +
                            Errno());
  }
  m.name = found.name;
  if (Outcome locked = m.Lock(); !locked.done()) return locked;
  return m.Policy();
}

// Keeps other runs out, and sees every writer from now on where a lease can be had.
Outcome SafeReplace::Impl::Lock() {
  // A second run on the same file fails here instead of interleaving with this one.
  if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
    return Outcome::Refused("in use by another process (locked)");
  }
  // Where no lease can be had, the checks before the rename are all there is.
  if (lease.Take(fd.get()) == Lease::Taken::kOpenForWriting) {
    return Outcome::Refused("open for writing by another program; left as it was");
  }
  // The lock is on what was opened; the name must still lead there.
  struct stat now;
  if (fstatat(dir.get(), name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 || !SameFile(now, before)) {
    return Outcome::Refused(kChangedOpening);
  }
  return Outcome::Done();
}

// What keeps the file that was opened and locked from being replaced: Done where nothing does.
Outcome SafeReplace::Impl::Policy() {
  if (before.st_nlink > 1) {
    return Outcome::Refused("has " + std::to_string(before.st_nlink) +
                            " hard links; replacing it would split them");
  }
  // An id that this user namespace cannot name would be given to the new file as the overflow
  // id, which names somebody else outside it.
  if (UnmappedUser(before.st_uid) || UnmappedGroup(before.st_gid)) {
    return Outcome::Refused("its owner/group is not mapped in this user namespace; left as it was");
  }
  if (!metadata.Read(fd.get(), before)) {
    return Outcome::Failed("cannot read its extended attributes: " + Errno());
  }
  // Before the check for writing, which an immutable file fails too.
  if (metadata.mark() != Mark::kNone) {
    return Outcome::Refused(std::string("is marked ") + Marked(metadata.mark()) +
                            "; it cannot be replaced");
  }
  if (faccessat(dir.get(), name.c_str(), W_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) != 0) {
    return Outcome::Refused("not writable: " + Errno());
  }
  if (const Mark folder = MarkOf(dir.get()); folder != Mark::kNone) {
    return Outcome::Refused("its directory " + ShownPath(dir.get()) + " is marked " +
                            Marked(folder) + "; the file in it cannot be replaced");
  }
  return Outcome::Done();
}

// Done while the file is as Open found it: no writer opened it, neither its times nor any of its
// metadata moved (compared, since a coarse clock may not tick), and its name still leads to it.
Outcome SafeReplace::Impl::StillAsFound() const {
  struct stat now_open;
  struct stat now_named;
  FileMetadata now;
  const bool same = fstat(fd.get(), &now_open) == 0 && Untouched(now_open, before) &&
                    now.Read(fd.get(), now_open) && now.SameAs(metadata) &&
                    fstatat(dir.get(), name.c_str(), &now_named, AT_SYMLINK_NOFOLLOW) == 0 &&
                    SameFile(now_named, before);
  // Asked last, to leave a writer the least time to come unseen before the rename.
  if (lease.Broken()) {
    return Outcome::Refused("opened for writing by another program meanwhile; left as it was");
  }
  return same ? Outcome::Done() : Outcome::Refused(kChanged);
}

Outcome SafeReplace::Commit(const unsigned char* data, std::size_t size) {
  return impl_->Replace(data, size);
}

Outcome SafeReplace::Impl::Replace(const unsigned char* data, std::size_t size) {
  // The old content is in memory now and will not be read again: its cached pages are given back
  // at once, and the new file's pages are made from that warm memory rather than from fresh. (A
  // refused run leaves the file as it was, uncached.)
  if (size >= kLargeFile) posix_fadvise(fd.get(), 0, 0, POSIX_FADV_DONTNEED);
  TempFile temp;
  if (!temp.Create(dir.get(), name)) {
    return Outcome::Failed("cannot create a temporary file in " + ShownPath(dir.get()) + ": " +
                           Errno());
  }
  // Undoes everything but the file's lock: the original stays exactly as it was.
  auto abandon = [&](const Outcome& why) { return why.With(temp.Discard()); };
  auto failed = [&](const std::string& what) { return abandon(Outcome::Failed(what + Errno())); };

  if (Outcome prepared = metadata.Prepare(temp.fd(), dir.get()); !prepared.done()) {
    return abandon(prepared);
  }
  if (!WriteAll(temp.fd(), data, size)) return failed("cannot write the new content: ");
  if (static_cast<std::size_t>(before.st_size) != size) return abandon(Outcome::Refused(kChanged));
  if (Outcome same = StillAsFound(); !same.done()) return abandon(same);
  // Only now, complete and checked, is the new file given away; one sync then makes content and
  // metadata durable together, before the file takes its place.
  if (Outcome carried = metadata.CarryTo(temp.fd()); !carried.done()) return abandon(carried);
  if (fsync(temp.fd()) != 0) return failed("cannot write the new content: ");
  // Checked again at the last moment before the rename, when the new file is ready to take the
  // file's place at once.
  Outcome last = Outcome::Done();
  if (!temp.Replace([&] { return (last = StillAsFound()).done(); })) {
    return last.done() ? failed("cannot replace it: ") : abandon(last);
  }

  // The rename is durable only once the folder is.
  if (fsync(dir.get()) != 0 && errno != EINVAL) {
    return Outcome::ReplacedBut("replaced, but its directory could not be synced: " + Errno());
  }
  // A lease broken since the last check was broken by a writer of the old file, whose writes
  // now go nowhere: nothing can bring them back, but they are not lost unsaid.
  if (lease.Broken()) {
    return Outcome::ReplacedBut(
        "replaced, but another program opened it for writing at that instant: what it writes is "
        "lost with the old file");
  }
  return Outcome::Done();
}
