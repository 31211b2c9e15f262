// SPDX-License-Identifier: MIT
// The replace step on Linux. The path is looked up once (PathLookup); from then on the file and
// its folder are used only through their descriptors: the file is opened, locked and leased, and
// checked (CheckReplaceable); the new content goes to a TempFile in the folder, takes the file's
// metadata (FileMetadata), and is renamed over the file, under the name the folder holds for it;
// the checks, the rename, the clean-up and the final sync are all relative to the folder's
// descriptor.

#include <errno.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <memory>
#include <string>

#include "file_metadata_linux.h"
#include "lease_linux.h"
#include "path_lookup_linux.h"
#include "pieces_linux.h"
#include "printable.h"
#include "replace_policy_linux.h"
#include "safe_replace.h"
#include "temp_file_linux.h"
#include "unique_fd.h"

namespace {

using Step = Outcome::Step;
using Why = Outcome::Why;

bool SameTime(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Whether the content may have been written: any write moves the modification time.
bool Unwritten(const struct stat& a, const struct stat& b) {
  return SameFile(a, b) && a.st_size == b.st_size && SameTime(a.st_mtim, b.st_mtim);
}

// Whether the file may have been changed at all: any change of its metadata moves its change
// time too, where the clock ticks finely enough to tell; a link made to it (which replacing it
// would split) changes its link count in any case.
bool Untouched(const struct stat& a, const struct stat& b) {
  return Unwritten(a, b) && SameTime(a.st_ctim, b.st_ctim) && a.st_nlink == b.st_nlink;
}

const Outcome kChanged = Outcome::Refused(Step::kWriting, Why::kChanged);

}  // namespace

struct SafeReplace::Impl {
  UniqueFd fd;         // the file, open for reading, locked and leased
  UniqueFd dir;        // the folder that holds it
  std::string name;    // as it was found, which its checks look it up by
  std::string stored;  // as the folder holds it, which it is replaced under
  bool fuse = false;
  struct stat before {};
  FileMetadata metadata;
  Lease lease;  // after `fd`, so that it goes first

  Outcome OpenFound(const FoundEntry& found);
  Outcome Lock();
  Outcome StillAsFound() const;
  Outcome Stream(int to, Transform transform) const;
  Outcome Replace(Transform transform);
};

SafeReplace::SafeReplace() : impl_(new Impl) {}

SafeReplace::~SafeReplace() = default;

void SafeReplace::PrepareProcess() {
  // A closed descriptor 0, 1 or 2 would be taken by the first file the command opens, and what
  // anything then writes to standard error (a message, the loader's LD_DEBUG lines) would land in
  // that file. Each is opened on /dev/null instead, and the wrong way round (as gnulib's stdopen
  // does), so that reading or writing it fails as it would have failed closed; on the root folder
  // without /dev/null (in a bare chroot), where nothing can be read or written at all.
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    // The lowest number free, which is this one: those below it are open.
    if (open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY) < 0) open("/", O_PATH);
  }
  signal(SIGXFSZ, SIG_IGN);
}

Outcome SafeReplace::Open(const std::string& path) {
  Impl& m = *impl_;
  FoundEntry found;
  if (Outcome lookup = PathLookup().Find(path, &found); !lookup.done()) return lookup;
  if (Outcome opened = m.OpenFound(found); !opened.done()) return opened;
  if (Outcome locked = m.Lock(); !locked.done()) return locked;
  m.stored = StoredName(m.dir.get(), m.name, m.before);
  return CheckReplaceable(m.fd.get(), m.dir.get(), m.name, m.before, &m.metadata);
}

// Opens the regular file that the lookup found, and its folder.
Outcome SafeReplace::Impl::OpenFound(const FoundEntry& found) {
  if (Outcome opened = OpenRegular(found, &fd, &before); !opened.done()) return opened;
  // The folder itself, for the replace and its sync: a folder whose permissions keep it from
  // being opened is refused before anything is written in it.
  dir = UniqueFd(openat(found.dir.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir) {
    return Outcome::Failed(Step::kOpeningFolder, errno).About(ShownPath(found.dir.get()));
  }
  name = found.name;
  fuse = OnFileSystem(fd.get(), FUSE_SUPER_MAGIC);
  return Outcome::Done();
}

// Keeps other runs out, and sees every writer from now on where a lease can be had.
Outcome SafeReplace::Impl::Lock() {
  // A second run on the same file fails here instead of interleaving with this one; a file that
  // cannot be locked at all (no lock manager on a network file system) is not replaced unlocked.
  if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    return errno == EWOULDBLOCK ? Outcome::Refused(Step::kLocking, Why::kLocked)
                                : Outcome::Failed(Step::kLocking, errno);
  }
  // Where no lease can be had, the checks before the rename are all there is.
  if (lease.Take(fd.get()) == Lease::Taken::kOpenForWriting) {
    return Outcome::Refused(Step::kLocking, Why::kOpenForWriting);
  }
  // The lock is on what was opened; the name must still lead there.
  struct stat now;
  if (fstatat(dir.get(), name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 || !SameFile(now, before)) {
    return Outcome::Refused(Step::kFinding, Why::kChangedOpening);
  }
  return Outcome::Done();
}

// Done while the file is as Open found it: no writer opened it, neither its times, its links nor
// any of its metadata moved (compared, since a coarse clock may not tick), and its name still
// leads to it.
Outcome SafeReplace::Impl::StillAsFound() const {
  struct stat now_open;
  struct stat now_named;
  FileMetadata now;
  const bool same = FreshStat(fd.get(), "", &now_open) && Untouched(now_open, before) &&
                    now.Read(fd.get(), now_open) && now.SameAs(metadata) &&
                    FreshStat(dir.get(), name.c_str(), &now_named) && SameFile(now_named, before);
  // Asked last, to leave a writer the least time to come unseen before the rename.
  if (lease.Broken()) return Outcome::Refused(Step::kWriting, Why::kWriterMeanwhile);
  return same ? Outcome::Done() : kChanged;
}

Outcome SafeReplace::Rewrite(Transform transform) { return impl_->Replace(transform); }

// Copies the file, from its first byte to its end, into `to` through the transform: it must end
// where Open found it ending, so that one that grows or shrinks meanwhile is Refused as changed.
Outcome SafeReplace::Impl::Stream(int to, Transform transform) const {
  return CopyPieces(
      {fd.get(), true, static_cast<std::uint64_t>(before.st_size), to, Step::kWriting, true},
      transform);
}

Outcome SafeReplace::Impl::Replace(Transform transform) {
  TempFile temp;
  if (!temp.Create(dir.get(), stored)) {
    return Outcome::Failed(Step::kMakingTemporary, errno).About(ShownPath(dir.get()));
  }
  // Undoes everything but the file's lock: the original stays exactly as it was.
  auto abandon = [&](const Outcome& why) { return why.Leaving(temp.Discard()); };
  auto failed = [&](Step step) { return abandon(Outcome::Failed(step, errno)); };

  if (Outcome prepared = metadata.Prepare(temp.fd(), dir.get()); !prepared.done()) {
    return abandon(prepared);
  }
  if (Outcome streamed = Stream(temp.fd(), transform); !streamed.done()) return abandon(streamed);
  if (Outcome same = StillAsFound(); !same.done()) return abandon(same);
  // Only now, complete and checked, is the new file given away; one sync then makes content and
  // metadata durable together, before the file takes its place.
  if (Outcome carried = metadata.CarryTo(temp.fd()); !carried.done()) return abandon(carried);
  if (fsync(temp.fd()) != 0) return failed(Step::kWriting);
  // Checked again at the last moment before the rename, when the new file is ready to take the
  // file's place at once.
  Outcome last = Outcome::Done();
  const bool replaced = temp.Replace([&] {
    if (!(last = StillAsFound()).done()) return false;
    // A FUSE server keeps a file that is replaced while open under a hidden name
    // (.fuse_hidden*), old content and all, until it is closed: there it is closed first, its
    // lease and lock given up an instant early.
    if (fuse) {
      lease.Release();
      fd.Reset();
    }
    return true;
  });
  if (!replaced) return last.done() ? failed(Step::kReplacing) : abandon(last);

  // The rename is durable only once the folder is.
  if (fsync(dir.get()) != 0 && errno != EINVAL) {
    return Outcome::ReplacedBut(Step::kSyncingFolder, Why::kSystemError).Error(errno);
  }
  // A writer of the old file since the last check, whose writes now go nowhere: nothing can bring
  // them back, but they are not lost unsaid. The lease sees one that opened it for writing; its
  // times, one that the lease does not see (a truncation by an open for reading).
  struct stat after;
  if (lease.Broken() || (fd && FreshStat(fd.get(), "", &after) && !Unwritten(after, before))) {
    return Outcome::ReplacedBut(Step::kReplacing, Why::kWriterAtRename);
  }
  return Outcome::Done();
}
