// SPDX-License-Identifier: MIT
#include "path_lookup.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <vector>

#include "namespaces.h"
#include "open_file.h"

namespace {

constexpr int kMaxLinks = 40;  // as the kernel allows on one lookup

using Step = Outcome::Step;
using Why = Outcome::Why;

// The path leads nowhere: errno says why.
Outcome NotFound() { return Outcome::Failed(Step::kFinding, errno); }

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

// A followed link may be another user's: it leads only to something of its owner's (or it is
// root's, whom every user trusts already).
bool MayFollow(uid_t owner, const struct stat& target) {
  return owner == geteuid() || owner == 0 || owner == target.st_uid;
}

// What a link's file system says of it: a link in /proc only describes its target in its text,
// and a mount made nosymfollow has its links followed by nobody.
struct LinkPlace {
  bool proc;
  bool unfollowed;
};

LinkPlace PlaceOf(int link) {
  constexpr unsigned long kValid = 0x0020;        // ST_VALID: f_flags holds the mount's flags
  constexpr unsigned long kNoSymFollow = 0x2000;  // ST_NOSYMFOLLOW (Linux 5.10)
  struct statfs fs;
  if (fstatfs(link, &fs) != 0) return {false, false};
  const auto flags = static_cast<unsigned long>(fs.f_flags);
  return {fs.f_type == PROC_SUPER_MAGIC, (flags & kValid) != 0 && (flags & kNoSymFollow) != 0};
}

}  // namespace

bool OnFileSystem(int fd, unsigned long magic) {
  struct statfs fs;
  return fstatfs(fd, &fs) == 0 && static_cast<unsigned long>(fs.f_type) == magic;
}

Outcome PathLookup::Find(const std::string& path, FoundEntry* out) {
  links_ = 0;
  through_.clear();
  const Outcome found = Walk(AT_FDCWD, path, false, out);
  if (!found.done()) return found;
  for (const Through& through : through_) {
    if (!MayFollow(through.owner, out->st)) {
      return Outcome::Refused(Step::kFinding, through.why).About(through.link);
    }
  }
  return found;
}

// Resolves `path` relative to the folder `start`. The entry found is opened only if `as_folder`
// (it is a folder to go on from); its folder always is.
Outcome PathLookup::Walk(int start, const std::string& path, bool as_folder, FoundEntry* out) {
  if (path.empty()) {
    errno = ENOENT;
    return NotFound();
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
  if (!folder) return NotFound();
  // The folders that other users' links led to on this walk, with how far below each it is now.
  // Below one, a name reaches what a path into that folder would; a ".." climbs out of it, to a
  // place that its owner's link, not the caller, chose: from there on the walk is theirs.
  struct Inside {
    uid_t owner;
    std::string link;
    int depth;
  };
  std::vector<Inside> inside;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    const bool last = i + 1 == parts.size();
    const char* name = parts[i].c_str();
    for (Inside& in : inside) in.depth += parts[i] == ".." ? -1 : parts[i] == "." ? 0 : 1;
    for (const Inside& in : inside) {
      if (in.depth < 0) through_.push_back({in.owner, Why::kForeignLink, in.link});
    }
    inside.erase(
        std::remove_if(inside.begin(), inside.end(), [](const Inside& in) { return in.depth < 0; }),
        inside.end());
    struct stat st;
    if (last && !as_folder && fstatat(folder.get(), name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        !S_ISLNK(st.st_mode)) {
      *out = FoundEntry{std::move(folder), parts[i], UniqueFd(), st};
      return Outcome::Done();
    }
    UniqueFd entry(openat(folder.get(), name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!entry || fstat(entry.get(), &st) != 0) return NotFound();
    if (!S_ISLNK(st.st_mode)) {
      if (last) {
        *out = FoundEntry{std::move(folder), parts[i], std::move(entry), st};
        return Outcome::Done();
      }
      folder = std::move(entry);
      continue;
    }

    if (++links_ > kMaxLinks) {
      errno = ELOOP;
      return NotFound();
    }
    // The link's own inode, pinned by the descriptor: its owner and its target come from the same
    // link, whatever replaces it meanwhile.
    const bool onward = as_folder || !last;
    FoundEntry found;
    Outcome result = Outcome::Done();
    uid_t owner = st.st_uid;
    const LinkPlace place = PlaceOf(entry.get());
    if (place.unfollowed) {
      errno = ELOOP;  // as the kernel refuses it
      return NotFound();
    }
    if (place.proc) {
      result = FollowProcLink(folder.get(), parts[i], entry.get(), onward, &found, &owner);
    } else {
      std::string target;
      if (!ReadLink(entry.get(), &target)) return NotFound();
      result = Walk(folder.get(), target, onward, &found);
    }
    if (!result.done()) return result;
    if (!MayFollow(owner, found.st)) {
      return Outcome::Refused(Step::kFinding, Why::kForeignLink)
          .About(ShownPath(folder.get(), parts[i]));
    }
    if (onward && owner != geteuid() && owner != 0) {
      inside.push_back({owner, ShownPath(folder.get(), parts[i]), 0});
    }
    if (last) {
      *out = std::move(found);
      return Outcome::Done();
    }
    folder = std::move(found.fd);
  }
  return Outcome::Done();  // not reached: the last part returns
}

// Follows the link `name` in /proc (open on `link`) as the kernel does: to the working folder,
// root or open file of its process, which may be covered by a mount since, live in another mount
// namespace, or have no name left at all. `owner` becomes the process's real user.
Outcome PathLookup::FollowProcLink(int folder, const std::string& name, int link, bool as_folder,
                                   FoundEntry* out, uid_t* owner) {
  // Read before the link is followed: a process that is gone by then has no links to follow.
  UniqueFd process;
  const bool of_process = ProcessOf(folder, &process, owner);
  UniqueFd reached(openat(folder, name.c_str(), O_PATH | O_CLOEXEC));
  struct stat st;
  if (!reached || fstat(reached.get(), &st) != 0) return NotFound();
  if (as_folder && !S_ISDIR(st.st_mode)) {
    errno = ENOTDIR;
    return NotFound();
  }
  // A folder is gone on from through the descriptor, in the process's mount namespace. Where the
  // caller does not answer for that namespace's mounts, its user may have mounted anything
  // anywhere beyond, as a link of theirs could lead anywhere: what is reached at the end must be
  // that user's. Anything else but a regular file is refused by its type before it is opened.
  if (S_ISDIR(st.st_mode) && of_process && !MountsAnswerToCaller(process.get())) {
    through_.push_back({*owner, Why::kForeignMounts, ShownPath(folder, name)});
  }
  if (!S_ISREG(st.st_mode)) {
    *out = FoundEntry{UniqueFd(), "", std::move(reached), st};
    return Outcome::Done();
  }
  // A file is replaced in its folder, under its name: those are what the link's text says, if the
  // careful walk of that text reaches this very file. A deleted file's text ends in " (deleted)",
  // and one in another mount namespace's names a place here that may hold anything.
  const Outcome unreachable =
      Outcome::Refused(Step::kFinding, Why::kUnreachableLink).About(ShownPath(folder, name));
  std::string text;
  if (!ReadLink(link, &text)) return NotFound();
  if (text.empty() || text[0] != '/') return unreachable;
  FoundEntry named;
  const Outcome result = Walk(AT_FDCWD, text, false, &named);
  if (result.kind() == Outcome::Kind::kRefused) return result;
  if (!result.done() || !SameFile(named.st, st)) return unreachable;
  *out = std::move(named);
  return Outcome::Done();
}

std::string StoredName(int dir, const std::string& name, const struct stat& st) {
  // A file system that does not fold case finds no file under the name with its case turned
  // round, mostly: one lookup tells, and only one that folds case has its folder read.
  std::string turned = name;
  for (char& c : turned) {
    const auto u = static_cast<unsigned char>(c);
    c = static_cast<char>(isupper(u) ? tolower(u) : toupper(u));
  }
  struct stat seen;
  if (turned == name || fstatat(dir, turned.c_str(), &seen, AT_SYMLINK_NOFOLLOW) != 0) return name;
  DIR* const list = fdopendir(openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (list == nullptr) return name;
  std::string stored;
  int alike = 0;
  for (const struct dirent* entry; (entry = readdir(list)) != nullptr;) {
    if (name == entry->d_name) {
      alike = 0;  // held as it was given
      break;
    }
    if (strcasecmp(name.c_str(), entry->d_name) == 0) {
      stored = entry->d_name;
      ++alike;
    }
  }
  closedir(list);
  // The one entry so named must be the file found. A FUSE server may number a file by the name
  // it was looked up by, so there the same size, times, mode and owner stand for the same inode.
  if (alike != 1 || fstatat(dir, stored.c_str(), &seen, AT_SYMLINK_NOFOLLOW) != 0) return name;
  const bool same =
      SameFile(seen, st) ||
      (OnFileSystem(dir, FUSE_SUPER_MAGIC) && seen.st_dev == st.st_dev &&
       seen.st_size == st.st_size && seen.st_mode == st.st_mode && seen.st_uid == st.st_uid &&
       seen.st_mtim.tv_sec == st.st_mtim.tv_sec && seen.st_mtim.tv_nsec == st.st_mtim.tv_nsec);
  return same ? stored : name;
}

bool FreshStat(int at, const char* name, struct stat* st) {
  const int flags = AT_SYMLINK_NOFOLLOW | (*name == '\0' ? AT_EMPTY_PATH : 0);
  struct statx x;
  if (statx(at, name, flags | AT_STATX_FORCE_SYNC, STATX_BASIC_STATS, &x) != 0) {
    return errno == ENOSYS && fstatat(at, name, st, flags) == 0;
  }
  *st = {};
  st->st_dev = makedev(x.stx_dev_major, x.stx_dev_minor);
  st->st_ino = x.stx_ino;
  st->st_mode = x.stx_mode;
  st->st_nlink = x.stx_nlink;
  st->st_uid = x.stx_uid;
  st->st_gid = x.stx_gid;
  st->st_size = static_cast<off_t>(x.stx_size);
  // As wide as this system's times are (32 bits on 32-bit x86).
  const auto time = [](const struct statx_timestamp& t) {
    return timespec{static_cast<time_t>(t.tv_sec), static_cast<long>(t.tv_nsec)};
  };
  st->st_mtim = time(x.stx_mtime);
  st->st_ctim = time(x.stx_ctime);
  return true;
}

Outcome OpenRegular(const FoundEntry& found, UniqueFd* fd, struct stat* st) {
  const Outcome changed = Outcome::Refused(Step::kFinding, Why::kChangedOpening);
  if (S_ISDIR(found.st.st_mode)) return Outcome::Failed(Step::kFinding, EISDIR);
  // Devices and FIFOs are never opened at all.
  if (!S_ISREG(found.st.st_mode)) return Outcome::Failed(Step::kFinding, Why::kNotRegular);
  *fd = UniqueFd(openat(found.dir.get(), found.name.c_str(),
                        O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!*fd) return errno == ELOOP ? changed : Outcome::Failed(Step::kFinding, errno);
  if (!FreshStat(fd->get(), "", st)) return Outcome::Failed(Step::kFinding, errno);
  return SameFile(*st, found.st) ? Outcome::Done() : changed;
}
