// SPDX-License-Identifier: MIT
// Finding the file that a path names, as the kernel's own lookup finds it, but one entry at a
// time: each entry is opened relative to the folder before it without being followed, so that every
// symbolic link is seen, and judged, before it is followed. What is found is held open, so that
// later steps act on it and its folder through descriptors, never through the path again.
//
// The link rule: a link that is neither the caller's nor root's is followed only to something its
// own owner owns, so that nobody's link makes the caller act on a file its owner could not touch;
// and where the path climbs out of the folder such a link led to (by ".."), what it reaches in the
// end must be that owner's too. A link on a mount made nosymfollow is not followed at all, as by
// the kernel.
// Links in /proc (a process's working folder, root, open files) lead where their process's
// descriptors lead, which their text only describes: the kernel follows those itself, one step,
// and the rule applies to what it reached, as to a link of the process's real user. Beyond a
// folder reached so, in a mount namespace that the caller does not answer for (another user's),
// that user's mounts may lead anywhere: what the path reaches at the end must be that user's.

#ifndef XORSCRAMBLE_LINUX_PATH_LOOKUP_H_
#define XORSCRAMBLE_LINUX_PATH_LOOKUP_H_

#include <sys/stat.h>

#include <string>
#include <vector>

#include "open_file.h"
#include "outcome.h"

// A found entry: the folder that holds it and its name there, with what it is. `fd` is open
// (O_PATH) only where the entry was asked for as a folder to go on from, or was reached through
// /proc; `dir` is open unless the entry is a folder reached through /proc.
struct FoundEntry {
  UniqueFd dir;
  std::string name;
  UniqueFd fd;
  struct stat st {};
};

class PathLookup {
 public:
  // Finds what `path` names, relative to the working folder, following symbolic links (a final
  // one too) under the link rule. Failed at Step::kFinding with errno where the path leads nowhere
  // (missing, a loop, no permission); Refused under the link rule (kForeignLink, kForeignMounts),
  // or for a link in /proc whose file its name no longer reaches (kUnreachableLink), about the
  // link.
  Outcome Find(const std::string& path, FoundEntry* out);

 private:
  Outcome Walk(int start, const std::string& path, bool as_folder, FoundEntry* out);
  Outcome FollowProcLink(int folder, const std::string& name, int link, bool as_folder,
                         FoundEntry* out, uid_t* owner);

  // A link of another user's out of whose folder the walk climbed, or one in /proc through which
  // it went on into another user's mount namespace: what it reaches in the end must be `owner`'s.
  struct Through {
    uid_t owner;
    Outcome::Why why;  // which of the two, for the message
    std::string link;  // where it is, for the message
  };

  int links_ = 0;
  std::vector<Through> through_;
};

// The name under which the folder open on `dir` holds the file `st` that was found there as
// `name`: `name` itself, unless the file system folds case and holds the file as, say, Data.JSON
// for data.json, so that a rename to `name` would change the name. Only letters of ASCII are
// folded here.
std::string StoredName(int dir, const std::string& name, const struct stat& st);

// Opens the regular file that was found into `fd`, for reading, and gives its state in `st`.
// Failed at Step::kFinding where it is no regular file (a folder, a device, a FIFO: neither is
// opened) or cannot be opened; Refused where it was replaced by another since it was found.
Outcome OpenRegular(const FoundEntry& found, UniqueFd* fd, struct stat* st);

// The state of `name` in the folder `at` (of the file open on `at`, for ""), as its file system
// has it now rather than as the kernel's cache keeps it: a FUSE server or a network file system
// is asked afresh, so that a change made beside this kernel (in the file system under a FUSE
// mirror, on another client) is seen. false with errno set.
bool FreshStat(int at, const char* name, struct stat* st);

// Whether the file open on `fd` is on a file system of this type (statfs's f_type).
bool OnFileSystem(int fd, unsigned long magic);

#endif  // XORSCRAMBLE_LINUX_PATH_LOOKUP_H_
