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
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <memory>
#include <string>

#include "file_metadata.h"
#include "lease.h"
#include "open_file.h"
#include "path_lookup.h"
#include "pieces.h"
#include "read_out_impl.h"
#include "replace_policy.h"
#include "safe_replace.h"
#include "temp_file.h"

namespace {

using Step = Outcome::Step;
using Why = Outcome::Why;
using Kept = Outcome::Kept;

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
  // Where nothing had the name yet (OpenOutput): the file is made, with these permission bits.
  bool fresh = false;
  mode_t mode = 0;

  Outcome OpenFound(const FoundEntry& found);
  Outcome OpenExisting(const FoundEntry& found);
  Outcome OpenFolder(const std::string& path);
  Outcome Lock();
  Outcome StillAsFound() const;
  Outcome Replace(PieceCopy source, Transform transform);
};

SafeReplace::SafeReplace() : impl_(new Impl) {}

SafeReplace::~SafeReplace() = default;

std::string ErrorText(int error, unsigned long /*windows_error*/) { return strerror(error); }

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
  FoundEntry found;
  if (Outcome lookup = PathLookup().Find(path, &found); !lookup.done()) return lookup;
  return impl_->OpenExisting(found);
}

Outcome SafeReplace::OpenOutput(const std::string& path, unsigned mode) {
  FoundEntry found;
  const Outcome lookup = PathLookup().Find(path, &found);
  if (lookup.done()) return impl_->OpenExisting(found);
  if (lookup.kind() != Outcome::Kind::kFailed || lookup.error() != ENOENT) return lookup;
  impl_->mode = static_cast<mode_t>(mode);
  return impl_->OpenFolder(path);
}

bool SafeReplace::Holds(const ReadOut& source) const {
  return !impl_->fresh && source.impl_->sized && SameFile(impl_->before, source.impl_->st);
}

// Opens the file that the lookup found, locks it and checks that it may be replaced.
Outcome SafeReplace::Impl::OpenExisting(const FoundEntry& found) {
  if (Outcome opened = OpenFound(found); !opened.done()) return opened;
  if (Outcome locked = Lock(); !locked.done()) return locked;
  stored = StoredName(dir.get(), name, before);
  return CheckReplaceable(fd.get(), dir.get(), name, before, &metadata);
}

// Opens the folder that would hold `path`, whose last name leads nowhere, to make the file in it.
Outcome SafeReplace::Impl::OpenFolder(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name.empty() || name == "." || name == "..") return Outcome::Failed(Step::kFinding, ENOENT);
  // The folder as a folder (a trailing slash), under the link rule.
  FoundEntry found;
  const std::string folder = slash == std::string::npos ? "./" : path.substr(0, slash + 1);
  if (Outcome lookup = PathLookup().Find(folder, &found); !lookup.done()) return lookup;
  dir = UniqueFd(openat(found.dir.get(), found.name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir) return Outcome::Failed(Step::kOpeningFolder, errno).About(ShownPath(found.dir.get()));
  if (Outcome folder_ok = CheckFolder(dir.get()); !folder_ok.done()) return folder_ok;
  stored = name;
  fresh = true;
  return Outcome::Done();
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

// The file's own content, which must end where Open found it ending.
Outcome SafeReplace::Rewrite(Transform transform) {
  const Impl& m = *impl_;
  return impl_->Replace(
      {m.fd.get(), true, static_cast<std::uint64_t>(m.before.st_size), -1, Step::kWriting, true},
      transform);
}

Outcome SafeReplace::RewriteFrom(const ReadOut& source, Transform transform) {
  const ReadOut::Impl& s = *source.impl_;
  return impl_->Replace(
      {s.from, s.sized, static_cast<std::uint64_t>(s.st.st_size), -1, Step::kWriting, true},
      transform);
}

// Copies `source` into a temporary file through the transform and puts that in the file's place
// (or, where the file is fresh, under its name), with the file's metadata.
Outcome SafeReplace::Impl::Replace(PieceCopy source, Transform transform) {
  TempFile temp;
  if (!temp.Create(dir.get(), stored)) {
    return Outcome::Failed(Step::kMakingTemporary, errno).About(ShownPath(dir.get()));
  }
  // Undoes everything but the file's lock: the original stays exactly as it was.
  auto abandon = [&](const Outcome& why) { return why.Leaving(temp.Discard()); };
  auto failed = [&](Step step) { return abandon(Outcome::Failed(step, errno)); };

  if (!fresh) {
    if (Outcome prepared = metadata.Prepare(temp.fd(), dir.get()); !prepared.done()) {
      return abandon(prepared);
    }
  }
  source.to = temp.fd();
  if (Outcome streamed = CopyPieces(source, transform); !streamed.done()) return abandon(streamed);
  // Only now, complete and checked, is the new file given away; one sync then makes content and
  // metadata durable together, before the file takes its place.
  if (fresh) {
    if (fchmod(temp.fd(), mode) != 0)
      return abandon(Outcome::NotKept(Kept::kPermissions, Why::kSystemError).Error(errno));
  } else {
    if (Outcome same = StillAsFound(); !same.done()) return abandon(same);
    if (Outcome carried = metadata.CarryTo(temp.fd()); !carried.done()) return abandon(carried);
  }
  if (fsync(temp.fd()) != 0) return failed(Step::kWriting);
  // Checked again at the last moment before the rename, when the new file is ready to take the
  // file's place at once.
  Outcome last = Outcome::Done();
  const bool replaced = temp.Replace(
      [&] {
        if (fresh) return true;
        if (!(last = StillAsFound()).done()) return false;
        // A FUSE server keeps a file that is replaced while open under a hidden name
        // (.fuse_hidden*), old content and all, until it is closed: there it is closed first, its
        // lease and lock given up an instant early.
        if (fuse) {
          lease.Release();
          fd.Reset();
        }
        return true;
      },
      fresh);
  if (!replaced) {
    // Where the file was to be made, another program made one under its name meanwhile.
    if (fresh && errno == EEXIST) return abandon(Outcome::Refused(Step::kReplacing, Why::kChanged));
    return last.done() ? failed(Step::kReplacing) : abandon(last);
  }

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

std::uint64_t SafeReplace::size() const {
  return impl_->fresh ? 0 : static_cast<std::uint64_t>(impl_->before.st_size);
}
