// SPDX-License-Identifier: MIT
// Replacing a file's whole content so that it is, at every moment, either wholly the old content or
// wholly the new, with the same owner, permissions and attributes: the new bytes go to a temporary
// file beside the target, which takes the target's metadata and is then renamed over it. The path
// is looked up once; every later step acts through what that lookup opened, so that nobody who
// controls a folder on the way can redirect a step elsewhere. Everything that depends on the
// operating system lives behind this interface, in linux/ and windows/.

#ifndef XORSCRAMBLE_SAFE_REPLACE_H_
#define XORSCRAMBLE_SAFE_REPLACE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "outcome.h"

class ReadOut;

class SafeReplace {
 public:
  SafeReplace();
  // Closes the file and its folder.
  ~SafeReplace();
  SafeReplace(const SafeReplace&) = delete;
  SafeReplace& operator=(const SafeReplace&) = delete;

  // Settles what the replace needs of the process as a whole. Call once, first of all. On Linux,
  // descriptors 0, 1 and 2 that are closed are opened on /dev/null, so that no file of the
  // command's takes their numbers, and exceeding the file-size limit becomes an error (EFBIG)
  // rather than a kill (SIGXFSZ is ignored); on Windows, the console handler that removes the
  // temporary file on Ctrl-C is installed.
  //
  // Process-wide besides, on Linux: the handlers that remove a named temporary file on a signal
  // are installed by the temporary file the first time it has a name (linux/temp_file.h), and the
  // lease's SIGIO handler when a lease is taken (linux/lease.h). Each keeps the state of one file:
  // a process replaces one file at a time, with one SafeReplace from Open to the end of Rewrite.
  static void PrepareProcess();

  // Opens the file that `path` names and its folder, following symbolic links (on Linux, a link of
  // another user's only to something of that user's), locks the file against other runs, records
  // its identity and checks that it may be replaced. Failed: the path leads to no regular file
  // that can be read, or the caller may not write it. Refused: a file whose replacement would
  // split hard links or that may not be replaced (a mark, an unmapped owner), or that is in use.
  Outcome Open(const std::string& path);

  // Opens `path` for new content from elsewhere (-o): as Open does where it names a file; where
  // its last name leads nowhere yet, the folder that would hold it, to make the file there with
  // the permission bits `mode`, and never over one made meanwhile. Failed or Refused as Open, and
  // where that folder cannot be found or opened.
  Outcome OpenOutput(const std::string& path, unsigned mode);

  // Whether the file that Open or OpenOutput opened is the one that `source` opened.
  bool Holds(const ReadOut& source) const;

  // The size of the file that Open opened (0 for one that OpenOutput is to make).
  std::uint64_t size() const;

  // The content passes through one buffer of this many bytes at the most, piece by piece: large
  // enough that the calls per byte cost nothing, small enough to stay in the processor's cache
  // between the read, the transform and the write (bench/README.md has the measurements).
  static constexpr std::size_t kPiece = std::size_t{256} << 10;

  // The buffer for a file of `size` bytes: a small file's size and one byte more, to see it end
  // where it should.
  static std::size_t BufferFor(std::uint64_t size) {
    return size < kPiece ? static_cast<std::size_t>(size) + 1 : kPiece;
  }

  // Changes `size` bytes at `data` in place, as the bytes at `offset` onwards of the content.
  using Transform = void (*)(unsigned char* data, std::size_t size, std::uint64_t offset);

  // Puts the content of the file that Open opened, read in pieces through one buffer and passed
  // through `transform` piece by piece, in place of the file, with its metadata, and makes it
  // durable: memory stays the same for a file of any size. Failed at Step::kReading where the
  // content cannot be read. Refused when the file changed since Open (it grew or shrank while it
  // was read, among others) or its metadata cannot be kept; on Refused and Failed the file is
  // exactly as it was.
  Outcome Rewrite(Transform transform);

  // As Rewrite, with the content of `source` (read to its end, standard input too) in place of
  // the file's own: Failed at Step::kReading, or Refused as changed at Step::kReading, where the
  // source cannot be read or changes meanwhile.
  Outcome RewriteFrom(const ReadOut& source, Transform transform);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The system's words for the error that an outcome carries: `error`, an errno value, or on Windows
// `windows_error` where it is not 0 (the same words as on Linux for the common failures).
std::string ErrorText(int error, unsigned long windows_error);

#endif  // XORSCRAMBLE_SAFE_REPLACE_H_
