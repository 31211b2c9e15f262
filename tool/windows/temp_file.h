// SPDX-License-Identifier: MIT
// The file that the new content is written to on Windows, beside the file it will replace, and
// then put in its place: a random name from the system's generator, made exclusively, with a
// security descriptor that lets the caller's own account use it and nobody else, whatever the
// folder would let it inherit.
//
// While it exists, Ctrl-C and the other console events remove it before the process ends: this
// class alone keeps the state that the console handler reads, which runs on a thread of its own.

#ifndef XORSCRAMBLE_WINDOWS_TEMP_FILE_H_
#define XORSCRAMBLE_WINDOWS_TEMP_FILE_H_

#include <windows.h>

#include <cstddef>
#include <string>

#include "outcome.h"

class TempFile {
 public:
  TempFile() = default;
  // Discards the file unless it took its target's place.
  ~TempFile() { Discard(); }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  // Installs the console handler. Call once, before any TempFile is made.
  static void CatchInterrupts();

  // Makes the file in the folder `dir` (a long path), for the file named `target` there.
  Outcome Create(const std::wstring& dir, const std::wstring& target);

  // Writes `data` after what was written before.
  Outcome Write(const unsigned char* data, std::size_t size);

  // Flushes what was written to the disk and closes the file, which reports any delayed error.
  Outcome Finish();

  const std::wstring& path() const { return path_; }

  // The file has taken its target's place: nothing of it is left to remove.
  void Replaced();

  // Closes and removes the file, if it is still there. Returns what could not be removed, if
  // anything.
  Outcome::Leftover Discard();

 private:
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  std::wstring path_;       // empty once nothing is left to remove
  Outcome::Leftover left_;  // what Discard could not remove
};

#endif  // XORSCRAMBLE_WINDOWS_TEMP_FILE_H_
