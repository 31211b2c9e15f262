// SPDX-License-Identifier: MIT
// What a file carries besides its content, for its replacement to carry too: owner, group, mode
// with its set-ID bits, access ACL, extended attributes (user.*, trusted.*, security.* such as an
// SELinux label), its attribute flags (chattr) but those the file system sets by itself, XFS's
// flags and extent size hints, and its project ID (for project quotas on ext4 and XFS). The new
// file is checked
// afterwards rather than the calls trusted, so that a replacement never widens or narrows who may
// read or write the file: what cannot be kept is reported, and the replacement then abandoned.
//
// Not carried: file capabilities (security.capability) and integrity hashes (security.ima,
// security.evm), which belong to the old content: the kernel drops or recomputes them whenever
// content is written.

#ifndef XORSCRAMBLE_LINUX_FILE_METADATA_H_
#define XORSCRAMBLE_LINUX_FILE_METADATA_H_

#include <linux/fs.h>
#include <stdint.h>
#include <sys/stat.h>

#include <string>
#include <utility>
#include <vector>

#include "outcome.h"

// A chattr mark that keeps a file from being replaced, or the files in a folder (+i, +a).
enum class Mark { kNone, kImmutable, kAppendOnly };

class FileMetadata {
 public:
  // Reads what the file open on `fd` carries; `st` is its fstat. false with errno set.
  bool Read(int fd, const struct stat& st);

  // Whether all that the two carry is the same: a change of any of it, in whatever clock tick.
  bool SameAs(const FileMetadata& other) const;

  // The mark that keeps the file from being replaced, if any.
  Mark mark() const;

  // Makes the new, empty file `fd` in the folder `dir` the caller's alone, whatever the folder's
  // default ACL gave it, and gives it the flags that take effect only on an empty file and the
  // project ID, so that its blocks count where the file's did. Failed (Step::kMakingPrivate)
  // where the inherited ACL cannot be taken away; NotKept where the flags or project ID cannot be
  // kept.
  Outcome Prepare(int fd, int dir) const;

  // Gives the new file `fd`, written, everything else: owner and group first (which clears set-ID
  // bits), then ACL, attributes and flags, then mode; then checks the result. NotKept, naming
  // what, where anything cannot be kept.
  Outcome CarryTo(int fd) const;

 private:
  struct stat st_ {};
  int flags_ = 0;          // FS_IOC_GETFLAGS, 0 where the file system keeps none
  struct fsxattr xfs_ {};  // FS_IOC_FSGETXATTR (the project ID too), 0s where it keeps none
  std::vector<std::pair<std::string, std::string>> attributes_;  // name, value; sorted by name
};

// The mark of the file or folder open on `fd`.
Mark MarkOf(int fd);

#endif  // XORSCRAMBLE_LINUX_FILE_METADATA_H_
