// SPDX-License-Identifier: MIT
// Processes and user namespaces, as /proc tells of them: whose a process really is, whether the
// mounts it sees may be trusted as the caller's, and which owners the caller's user namespace
// cannot name. The path lookup asks the first two of a process whose links it follows; the
// replace step asks the last of the file it would rewrite.

#ifndef XORSCRAMBLE_LINUX_NAMESPACES_H_
#define XORSCRAMBLE_LINUX_NAMESPACES_H_

#include <sys/types.h>

#include "open_file.h"

// The process that the folder `folder` in /proc belongs to: its own folder (/proc/PID,
// /proc/PID/task/TID) or a folder in it (fd/, map_files/). Opens the process's folder into
// `process` and reads its real user into `uid`, which is the same however the process makes its
// entries in /proc look (a process that is not dumpable makes its links look like root's). false
// where `folder` holds no process's links: the top of /proc, or a process that is gone (whose
// links then lead nowhere).
bool ProcessOf(int folder, UniqueFd* process, uid_t* uid);

// Whether the mounts that the process whose folder in /proc is `process` sees may be trusted as
// the caller's own: they are the caller's mount namespace, or one that belongs to the caller's
// user namespace (a container that the caller made). false where that cannot be told.
bool MountsAnswerToCaller(int process);

// Whether `uid` (`gid`) is the overflow id that a user namespace other than the initial one shows
// for every id it does not map: the true owner (group) then cannot be named, nor given to a file.
bool UnmappedUser(uid_t uid);
bool UnmappedGroup(gid_t gid);

#endif  // XORSCRAMBLE_LINUX_NAMESPACES_H_
