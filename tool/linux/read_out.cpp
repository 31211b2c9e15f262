// SPDX-License-Identifier: MIT
// The read-out on Linux: the path looked up once (PathLookup), the file opened through the folder
// that holds it, and copied by the bulk copy, without its hints for a file to be synced.

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>

#include "path_lookup.h"
#include "pieces.h"
#include "read_out_impl.h"

ReadOut::ReadOut() : impl_(new Impl) {}

ReadOut::~ReadOut() = default;

Outcome ReadOut::Open(const std::string& path) {
  FoundEntry found;
  if (Outcome lookup = PathLookup().Find(path, &found); !lookup.done()) return lookup;
  if (Outcome opened = OpenRegular(found, &impl_->file, &impl_->st); !opened.done()) return opened;
  impl_->from = impl_->file.get();
  impl_->sized = true;
  return Outcome::Done();
}

void ReadOut::UseStandardInput() { *impl_ = Impl(); }

Outcome ReadOut::CopyToStandardOutput(SafeReplace::Transform transform) {
  const Impl& m = *impl_;
  return CopyPieces({m.from, m.sized, static_cast<std::uint64_t>(m.st.st_size), STDOUT_FILENO,
                     Outcome::Step::kWritingOutput, false},
                    transform);
}

unsigned ReadOut::NewFileMode() const {
  if (impl_->sized) return impl_->st.st_mode & 0777;
  const mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

std::uint64_t ReadOut::size() const {
  return impl_->sized ? static_cast<std::uint64_t>(impl_->st.st_size) : 0;
}
