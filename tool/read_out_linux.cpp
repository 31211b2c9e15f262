// SPDX-License-Identifier: MIT
// The read-out on Linux: the path looked up once (PathLookup), the file opened through the folder
// that holds it, and copied by the bulk copy, without its hints for a file to be synced.

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>

#include "path_lookup_linux.h"
#include "pieces_linux.h"
#include "read_out.h"
#include "unique_fd.h"

struct ReadOut::Impl {
  UniqueFd file;
  int from = STDIN_FILENO;
  bool sized = false;
  std::uint64_t size = 0;
};

ReadOut::ReadOut() : impl_(new Impl) {}

ReadOut::~ReadOut() = default;

Outcome ReadOut::Open(const std::string& path) {
  FoundEntry found;
  if (Outcome lookup = PathLookup().Find(path, &found); !lookup.done()) return lookup;
  struct stat st;
  if (Outcome opened = OpenRegular(found, &impl_->file, &st); !opened.done()) return opened;
  impl_->from = impl_->file.get();
  impl_->sized = true;
  impl_->size = static_cast<std::uint64_t>(st.st_size);
  return Outcome::Done();
}

void ReadOut::UseStandardInput() { *impl_ = Impl(); }

Outcome ReadOut::CopyToStandardOutput(SafeReplace::Transform transform) {
  const Impl& m = *impl_;
  return CopyPieces({m.from, m.sized, m.size, STDOUT_FILENO, Outcome::Step::kWritingOutput, false},
                    transform);
}
