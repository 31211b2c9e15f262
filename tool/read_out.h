// SPDX-License-Identifier: MIT
// A file's content, transformed, written to standard output, as a filter writes: the file is found
// as the replace step finds it (on Linux, following symbolic links under the same rule) and opened
// for reading only, neither locked nor leased, so that it is left exactly as it was; or standard
// input is read to its end. The content passes through one buffer, piece by piece, at any size.
// What depends on the operating system lives behind this interface, in linux/ and windows/.

#ifndef XORSCRAMBLE_READ_OUT_H_
#define XORSCRAMBLE_READ_OUT_H_

#include <cstdint>
#include <memory>
#include <string>

#include "outcome.h"
#include "safe_replace.h"

class ReadOut {
 public:
  ReadOut();
  // Closes the file, if one was opened.
  ~ReadOut();
  ReadOut(const ReadOut&) = delete;
  ReadOut& operator=(const ReadOut&) = delete;

  // Opens the file that `path` names ("-" is a name like any other here). Failed at
  // Step::kFinding where it leads to no regular file that can be read; Refused under the link
  // rule.
  Outcome Open(const std::string& path);

  // Reads standard input instead, as it comes, to its end.
  void UseStandardInput();

  // Writes the content, passed through `transform`, to standard output. Failed at Step::kReading,
  // or at Step::kWritingOutput (EPIPE where the reader went away); Refused where a file grew or
  // shrank meanwhile, after what was read of it was written.
  Outcome CopyToStandardOutput(SafeReplace::Transform transform);

  // The permission bits that a new file made of this content gets (-o), as gzip and zstd give
  // them: the file's own, without its set-ID bits; for standard input, 0666 less the umask.
  unsigned NewFileMode() const;

  // The content's size where it is known (a file), else 0.
  std::uint64_t size() const;

 private:
  friend class SafeReplace;  // which takes a new file's content from it
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

#endif  // XORSCRAMBLE_READ_OUT_H_
