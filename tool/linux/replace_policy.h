// SPDX-License-Identifier: MIT
// Whether a file that was found, opened and locked may be replaced at all: the refusals that
// follow from the file and its folder as they are, checked once, before anything is written.
// Whatever changes afterwards is the replace step's to see (its checks before the rename).
//
// Done where nothing forbids it. Refused: the file has hard links (a replacement would split
// them), an owner or group that this user namespace cannot name (the new file would get the
// overflow ID, which names somebody else outside), or a chattr mark (immutable, append-only) on it
// or on its folder. Failed: its metadata cannot be read, or the caller may not write it. Nothing is
// changed either way.

#ifndef XORSCRAMBLE_LINUX_REPLACE_POLICY_H_
#define XORSCRAMBLE_LINUX_REPLACE_POLICY_H_

#include <sys/stat.h>

#include <string>

#include "file_metadata.h"
#include "outcome.h"

// The file open on `fd`, named `name` in the folder open on `dir`, whose fstat is `st`. Reads
// its metadata into `metadata`, for the replacement to carry.
Outcome CheckReplaceable(int fd, int dir, const std::string& name, const struct stat& st,
                         FileMetadata* metadata);

// Whether the folder open on `dir` lets a file in it be replaced, or made by rename: Refused, about
// the folder, where it is marked immutable or append-only.
Outcome CheckFolder(int dir);

#endif  // XORSCRAMBLE_LINUX_REPLACE_POLICY_H_
