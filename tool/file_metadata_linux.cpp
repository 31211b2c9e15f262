// SPDX-License-Identifier: MIT
#include "file_metadata_linux.h"

#include <errno.h>
#include <linux/fs.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>

namespace {

// POSIX ACLs travel as this attribute, through the descriptors like any other.
constexpr char kAccessAcl[] = "system.posix_acl_access";

// Flags that a file's owner may set with chattr and that belong to the file, not to its content
// or its file system's bookkeeping. Those of the first line decide how the data is stored, and take
// effect only while the file is empty.
constexpr int kEmptyFileFlags = FS_COMPR_FL | FS_NOCOMP_FL | FS_NOCOW_FL | FS_DAX_FL;
constexpr int kCarriedFlags = kEmptyFileFlags | FS_SECRM_FL | FS_UNRM_FL | FS_SYNC_FL |
                              FS_NODUMP_FL | FS_NOATIME_FL | FS_NOTAIL_FL;

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

// The project ID of `fd`, 0 where the file system keeps none.
uint32_t Project(int fd) {
  struct fsxattr attributes {};
  return ioctl(fd, FS_IOC_FSGETXATTR, &attributes) == 0 ? attributes.fsx_projid : 0;
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

// That the attribute `name` could not be kept, for the system's error.
Outcome LostAttribute(const std::string& name) {
  return name == kAccessAcl ? Lost(Kept::kAcl) : Lost(Kept::kAttribute).About(name);
}

}  // namespace

Mark MarkOf(int fd) { return MarkIn(Flags(fd)); }

bool FileMetadata::Read(int fd, const struct stat& st) {
  st_ = st;
  flags_ = Flags(fd);
  project_ = Project(fd);
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
         st_.st_mode == other.st_.st_mode && flags_ == other.flags_ && project_ == other.project_ &&
         attributes_ == other.attributes_;
}

Mark FileMetadata::mark() const { return MarkIn(flags_); }

Outcome FileMetadata::Prepare(int fd, int dir) const {
  // A folder's default ACL is inherited by every file made in it, limited by the mode it is made
  // with (0600, the caller's alone); removed, it cannot open the file up when the mode is set.
  if (fremovexattr(fd, kAccessAcl) != 0 && errno != ENODATA && errno != ENOTSUP) {
    return Outcome::Failed(Outcome::Step::kMakingPrivate, errno);
  }
  if (!SetFlags(fd, flags_, kEmptyFileFlags)) return Lost(Kept::kFlags);
  struct fsxattr attributes {};
  if (Project(fd) != project_) {
    // A folder that gives its project to every file in it takes no file of another by rename.
    if (ioctl(dir, FS_IOC_FSGETXATTR, &attributes) == 0 &&
        (attributes.fsx_xflags & FS_XFLAG_PROJINHERIT) != 0) {
      return Outcome::NotKept(Kept::kProjectId, Why::kFolderProject);
    }
    if (ioctl(fd, FS_IOC_FSGETXATTR, &attributes) != 0) return Lost(Kept::kProjectId);
    attributes.fsx_projid = project_;
    if (ioctl(fd, FS_IOC_FSSETXATTR, &attributes) != 0) return Lost(Kept::kProjectId);
  }
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
  if (!SetFlags(fd, flags_, kCarriedFlags)) return Lost(Kept::kFlags);
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
    return Outcome::NotKept(Kept::kFlags, Why::kKeptOther);
  }
  if (Project(fd) != project_) return Outcome::NotKept(Kept::kProjectId, Why::kKeptOther);
  return Outcome::Done();
}
