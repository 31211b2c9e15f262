// SPDX-License-Identifier: MIT
#include "replace_policy.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include "namespaces.h"
#include "open_file.h"

namespace {

using Step = Outcome::Step;
using Why = Outcome::Why;

Why WhyMarked(Mark mark) { return mark == Mark::kImmutable ? Why::kImmutable : Why::kAppendOnly; }

}  // namespace

Outcome CheckReplaceable(int fd, int dir, const std::string& name, const struct stat& st,
                         FileMetadata* metadata) {
  if (st.st_nlink > 1) {
    return Outcome::Refused(Step::kCheckingFile, Why::kHardLinks).Count(st.st_nlink);
  }
  if (UnmappedUser(st.st_uid) || UnmappedGroup(st.st_gid)) {
    return Outcome::Refused(Step::kCheckingFile, Why::kUnmapped);
  }
  if (!metadata->Read(fd, st)) return Outcome::Failed(Step::kReadingMetadata, errno);
  // Before the check for writing, which an immutable file fails too.
  if (metadata->mark() != Mark::kNone) {
    return Outcome::Refused(Step::kCheckingFile, WhyMarked(metadata->mark()));
  }
  if (faccessat(dir, name.c_str(), W_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) != 0) {
    return Outcome::Failed(Step::kCheckingFile, errno);
  }
  return CheckFolder(dir);
}

Outcome CheckFolder(int dir) {
  if (const Mark folder = MarkOf(dir); folder != Mark::kNone) {
    return Outcome::Refused(Step::kCheckingFolder, WhyMarked(folder)).About(ShownPath(dir));
  }
  return Outcome::Done();
}
