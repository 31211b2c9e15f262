// Processes and user namespaces, as /proc tells of them: whose a process really is, and whether
// the mounts it sees may be trusted as the caller's. The path lookup asks both of a process whose
// links it follows.

#ifndef XORSCRAMBLE_NAMESPACES_LINUX_H_
#define XORSCRAMBLE_NAMESPACES_LINUX_H_

#include <sys/types.h>

#include "unique_fd.h"

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

#endif  // XORSCRAMBLE_NAMESPACES_LINUX_H_
