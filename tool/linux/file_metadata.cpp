// SPDX-License-Identifier: MIT
#include "file_metadata.h"

#include <errno.h>
#include <linux/fs.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>

namespace {

// POSIX ACLs travel as this attribute, through the descriptors like any other.
constexpr char kAccessAcl[] = "system.posix_acl_access";

// Flags that the file system sets by itself, from how it stores the file (extents, inline data, a
// huge file, blocks past its end, an inode for a large attribute, compressed blocks): the new file
// has its own. Every other flag is carried, or the replacement refused: those that decide how the
// data is stored take effect only while the file is empty; the marks (+i, +a) keep it from being
// replaced at all.
constexpr int kFileSystemFlags = FS_EXTENT_FL | FS_INLINE_DATA_FL | FS_HUGE_FILE_FL |
                                 FS_EA_INODE_FL | FS_EOFBLOCKS_FL | FS_COMPRBLK_FL | FS_DIRTY_FL;
constexpr int kEmptyFileFlags = FS_COMPR_FL | FS_NOCOMP_FL | FS_NOCOW_FL | FS_DAX_FL;
constexpr int kCarriedFlags = ~(kFileSystemFlags | FS_IMMUTABLE_FL | FS_APPEND_FL);

// XFS's flags and hints of its own (beside those it shares with the flags above), all of which
// take effect only while the file is empty; the others (preallocated, has attributes) it sets
// by itself.
constexpr uint32_t kXfsOwnFlags = FS_XFLAG_REALTIME | FS_XFLAG_EXTSIZE | FS_XFLAG_COWEXTSIZE |
                                  FS_XFLAG_NODEFRAG | FS_XFLAG_FILESTREAM | FS_XFLAG_RTINHERIT |
                                  FS_XFLAG_PROJINHERIT | FS_XFLAG_NOSYMLINKS |
                                  FS_XFLAG_EXTSZINHERIT;

struct Letter {
  uint32_t bit;
  char letter;
};

// The letters of chattr and lsattr for the flags, and of xfs_io's chattr for XFS's own.
constexpr Letter kFlagLetters[] = {
    {FS_SECRM_FL, 's'},    {FS_UNRM_FL, 'u'},         {FS_COMPR_FL, 'c'},
    {FS_SYNC_FL, 'S'},     {FS_IMMUTABLE_FL, 'i'},    {FS_APPEND_FL, 'a'},
    {FS_NODUMP_FL, 'd'},   {FS_NOATIME_FL, 'A'},      {FS_ENCRYPT_FL, 'E'},
    {FS_INDEX_FL, 'I'},    {FS_JOURNAL_DATA_FL, 'j'}, {FS_NOTAIL_FL, 't'},
    {FS_DIRSYNC_FL, 'D'},  {FS_TOPDIR_FL, 'T'},       {FS_VERITY_FL, 'V'},
    {FS_NOCOW_FL, 'C'},    {FS_DAX_FL, 'x'},          {FS_PROJINHERIT_FL, 'P'},
    {FS_CASEFOLD_FL, 'F'}, {FS_NOCOMP_FL, 'm'},
};
constexpr Letter kXfsLetters[] = {
    {FS_XFLAG_REALTIME, 'r'},    {FS_XFLAG_EXTSIZE, 'e'},    {FS_XFLAG_COWEXTSIZE, 'C'},
    {FS_XFLAG_NODEFRAG, 'f'},    {FS_XFLAG_FILESTREAM, 'S'}, {FS_XFLAG_RTINHERIT, 't'},
    {FS_XFLAG_PROJINHERIT, 'P'}, {FS_XFLAG_NOSYMLINKS, 'n'}, {FS_XFLAG_EXTSZINHERIT, 'E'},
};

// What `have` lacks of `want` and has beyond it, as chattr would be told to set it: "+j", "-x",
// "+e -f"; a flag without a letter by its value.
template <std::size_t N>
std::string Change(uint32_t want, uint32_t have, const Letter (&letters)[N]) {
  std::string change;
  for (const auto& [sign, bits] :
       {std::pair<char, uint32_t>{'+', want & ~have}, {'-', have & ~want}}) {
    if (bits == 0) continue;
    change += (change.empty() ? "" : " ") + std::string(1, sign);
    uint32_t named = 0;
    for (const Letter& l : letters) {
      if ((bits & l.bit) != 0) change += l.letter;
      named |= bits & l.bit;
    }
    if (bits != named) {
      char value[16];
      snprintf(value, sizeof value, "0x%x", bits & ~named);
      change += value;
    }
  }
  return change;
}

using Kept = Outcome::Kept;
using Why = Outcome::Why;

// Attributes that the kernel drops or recomputes whenever the content is written.
bool BelongsToOldContent(const std::string& name) {
  return name == "security.capability" || name == "security.ima" || name == "security.evm";
}

// The flags of `fd`; none where the file system keeps none.
int Flags(int fd) {
  int flags = 0;
  return ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 ? flags : 0;
}

// The mark among `flags`; immutable, the stronger, first.
Mark MarkIn(int flags) {
  return (flags & FS_IMMUTABLE_FL) != 0 ? Mark::kImmutable
         : (flags & FS_APPEND_FL) != 0  ? Mark::kAppendOnly
                                        : Mark::kNone;
}

// The extended flags, hints and project ID of `fd`; none where the file system keeps none.
struct fsxattr XfsAttributes(int fd) {
  struct fsxattr attributes {};
  if (ioctl(fd, FS_IOC_FSGETXATTR, &attributes) != 0) attributes = {};
  return attributes;
}

// Whether `a` and `b` differ in what is carried of them: XFS's own flags, its hints, the project.
bool XfsDiffer(const struct fsxattr& a, const struct fsxattr& b) {
  return ((a.fsx_xflags ^ b.fsx_xflags) & kXfsOwnFlags) != 0 || a.fsx_extsize != b.fsx_extsize ||
         a.fsx_cowextsize != b.fsx_cowextsize || a.fsx_projid != b.fsx_projid;
}

// Gives `fd` the flags of `mask` as `want` has them, and leaves its others as they are.
bool SetFlags(int fd, int want, int mask) {
  const int now = Flags(fd);
  const int next = (now & ~mask) | (want & mask);
  return next == now || ioctl(fd, FS_IOC_SETFLAGS, &next) == 0;
}

// The names of the extended attributes of `fd`, none where the file system keeps none. false with
// errno set.
bool Names(int fd, std::vector<std::string>* names) {
  std::vector<char> list(256);
  ssize_t n;
  while ((n = flistxattr(fd, list.data(), list.size())) < 0) {
    if (errno == ENOTSUP) return true;
    const ssize_t need = errno == ERANGE ? flistxattr(fd, nullptr, 0) : -1;
    if (need < 0) return false;
    list.resize(static_cast<std::size_t>(need) + 1);
  }
  for (std::size_t at = 0; at < static_cast<std::size_t>(n); at += strlen(&list[at]) + 1) {
    names->emplace_back(&list[at]);
  }
  return true;
}

// The value of the attribute `name` of `fd`. false with errno set: ENODATA when it has none.
bool Value(int fd, const char* name, std::string* value) {
  value->resize(256);
  ssize_t n;
  while ((n = fgetxattr(fd, name, value->data(), value->size())) < 0) {
    const ssize_t need = errno == ERANGE ? fgetxattr(fd, name, nullptr, 0) : -1;
    if (need < 0) return false;
    value->resize(static_cast<std::size_t>(need) + 1);
  }
  value->resize(static_cast<std::size_t>(n));
  return true;
}

// That `kept` could not be kept, for the system's error.
Outcome Lost(Kept kept) { return Outcome::NotKept(kept, Why::kSystemError).Error(errno); }

// That the flags of `mask` in `want` could not be given to `fd`, for `why` (for the system's
// error: errno).
Outcome FlagsLost(int fd, int want, int mask, Why why) {
  const int error = errno;
  const auto bits = [mask](int flags) { return static_cast<uint32_t>(flags & mask); };
  return Outcome::NotKept(Kept::kFlags, why)
      .About(Change(bits(want), bits(Flags(fd)), kFlagLetters))
      .Error(error);
}

// The same for XFS's own flags and hints, and for the project ID where that is what differs.
Outcome XfsLost(const struct fsxattr& want, const struct fsxattr& have, Why why) {
  if (want.fsx_projid != have.fsx_projid) {
    return Outcome::NotKept(Kept::kProjectId, why).Error(errno);
  }
  return Outcome::NotKept(Kept::kXfsAttributes, why)
      .About(Change(want.fsx_xflags & kXfsOwnFlags, have.fsx_xflags & kXfsOwnFlags, kXfsLetters))
      .Error(errno);
}

// That the attribute `name` could not be kept, for the system's error.
Outcome LostAttribute(const std::string& name) {
  return name == kAccessAcl ? Lost(Kept::kAcl) : Lost(Kept::kAttribute).About(name);
}

}  // namespace

Mark MarkOf(int fd) { return MarkIn(Flags(fd)); }

bool FileMetadata::Read(int fd, const struct stat& st) {
  st_ = st;
  flags_ = Flags(fd);
  xfs_ = XfsAttributes(fd);
  attributes_.clear();
  std::vector<std::string> names;
  if (!Names(fd, &names)) return false;
  for (const std::string& name : names) {
    std::string value;
    if (BelongsToOldContent(name)) continue;
    if (!Value(fd, name.c_str(), &value)) {
      if (errno == ENODATA) continue;  // removed meanwhile
      return false;
    }
    attributes_.emplace_back(name, std::move(value));
  }
  std::sort(attributes_.begin(), attributes_.end());
  return true;
}

bool FileMetadata::SameAs(const FileMetadata& other) const {
  return st_.st_uid == other.st_.st_uid && st_.st_gid == other.st_.st_gid &&
         st_.st_mode == other.st_.st_mode && flags_ == other.flags_ &&
         xfs_.fsx_xflags == other.xfs_.fsx_xflags && !XfsDiffer(xfs_, other.xfs_) &&
         attributes_ == other.attributes_;
}

Mark FileMetadata::mark() const { return MarkIn(flags_); }

Outcome FileMetadata::Prepare(int fd, int dir) const {
  // A folder's default ACL is inherited by every file made in it, limited by the mode it is made
  // with (0600, the caller's alone); removed, it cannot open the file up when the mode is set.
  if (fremovexattr(fd, kAccessAcl) != 0 && errno != ENODATA && errno != ENOTSUP) {
    return Outcome::Failed(Outcome::Step::kMakingPrivate, errno);
  }
  if (!SetFlags(fd, flags_, kEmptyFileFlags)) {
    return FlagsLost(fd, flags_, kEmptyFileFlags, Why::kSystemError);
  }
  const struct fsxattr made = XfsAttributes(fd);
  if (!XfsDiffer(made, xfs_)) return Outcome::Done();
  // A folder that gives its project to every file in it takes no file of another by rename.
  if (made.fsx_projid != xfs_.fsx_projid &&
      (XfsAttributes(dir).fsx_xflags & FS_XFLAG_PROJINHERIT) != 0) {
    return Outcome::NotKept(Kept::kProjectId, Why::kFolderProject);
  }
  struct fsxattr next = made;
  next.fsx_xflags = (made.fsx_xflags & ~kXfsOwnFlags) | (xfs_.fsx_xflags & kXfsOwnFlags);
  next.fsx_extsize = xfs_.fsx_extsize;
  next.fsx_cowextsize = xfs_.fsx_cowextsize;
  next.fsx_projid = xfs_.fsx_projid;
  if (ioctl(fd, FS_IOC_FSSETXATTR, &next) != 0) return XfsLost(xfs_, made, Why::kSystemError);
  return Outcome::Done();
}

Outcome FileMetadata::CarryTo(int fd) const {
  struct stat made;
  if (fstat(fd, &made) != 0) return Lost(Kept::kOwnerAndGroup);
  if ((made.st_uid != st_.st_uid || made.st_gid != st_.st_gid) &&
      fchown(fd, st_.st_uid, st_.st_gid) != 0) {
    return Lost(Kept::kOwnerAndGroup);
  }
  for (const auto& [name, value] : attributes_) {
    if (fsetxattr(fd, name.c_str(), value.data(), value.size(), 0) != 0) {
      return LostAttribute(name);
    }
  }
  // Whatever the new file has that the old one had not (a label its folder gave it) goes.
  std::vector<std::string> names;
  if (!Names(fd, &names)) return Lost(Kept::kAttributes);
  for (const std::string& name : names) {
    const bool old = std::any_of(attributes_.begin(), attributes_.end(),
                                 [&](const auto& attribute) { return attribute.first == name; });
    if (!old && !BelongsToOldContent(name) && fremovexattr(fd, name.c_str()) != 0 &&
        errno != ENODATA) {
      return Outcome::NotKept(Kept::kAttributes, Why::kNewAttribute).About(name).Error(errno);
    }
  }
  if (!SetFlags(fd, flags_, kCarriedFlags)) {
    return FlagsLost(fd, flags_, kCarriedFlags, Why::kSystemError);
  }
  if (fchmod(fd, st_.st_mode & 07777) != 0) return Lost(Kept::kPermissions);

  // Checked rather than trusted: the kernel may clear a set-group-ID bit for a caller outside
  // the file's group, and a call may succeed on a file system that keeps less than it was given.
  if (fstat(fd, &made) != 0) return Lost(Kept::kPermissions);
  const mode_t differ = (made.st_mode ^ st_.st_mode) & 07777;
  if (made.st_uid != st_.st_uid || made.st_gid != st_.st_gid) {
    return Outcome::NotKept(Kept::kOwnerAndGroup, Why::kKeptOther);
  }
  if (differ & S_ISGID) return Outcome::NotKept(Kept::kSetGroupId, Why::kGroupOnly);
  if (differ != 0) return Outcome::NotKept(Kept::kPermissions, Why::kKeptOther);
  std::string acl;
  const bool has_acl = Value(fd, kAccessAcl, &acl);
  const auto old_acl =
      std::find_if(attributes_.begin(), attributes_.end(),
                   [](const auto& attribute) { return attribute.first == kAccessAcl; });
  if (has_acl != (old_acl != attributes_.end()) || (has_acl && acl != old_acl->second)) {
    return Outcome::NotKept(Kept::kAcl, Why::kKeptOther);
  }
  if ((Flags(fd) & kCarriedFlags) != (flags_ & kCarriedFlags)) {
    return FlagsLost(fd, flags_, kCarriedFlags, Why::kKeptOther);
  }
  if (const struct fsxattr made_xfs = XfsAttributes(fd); XfsDiffer(made_xfs, xfs_)) {
    return XfsLost(xfs_, made_xfs, Why::kKeptOther);
  }
  return Outcome::Done();
}
