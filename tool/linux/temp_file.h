// SPDX-License-Identifier: MIT
// The file that the new content is written to, beside the file it will replace, and then renamed
// over it. It has no name (O_TMPFILE) where the file system allows that and a name can be given to
// it at the end; else it has a random name that nobody can guess, made exclusively. It is made
// mode 0600, the caller's alone.
//
// While it has a name, the signals that end a process remove it first: this class alone keeps the
// state that the signal handler reads, and changes it only with those signals blocked, so that
// the state names a file of ours exactly while one exists. An unnamed file gets its name and loses
// it again (renamed, or removed) with the signals blocked throughout.
//
// Process-wide: the handlers for those signals are installed the first time a file is named, and
// stay; the handler knows one name, so a process has at most one TempFile at a time.

#ifndef XORSCRAMBLE_LINUX_TEMP_FILE_H_
#define XORSCRAMBLE_LINUX_TEMP_FILE_H_

#include <functional>
#include <string>

#include "open_file.h"
#include "outcome.h"

class TempFile {
 public:
  TempFile() = default;
  // Discards the file unless it replaced its target.
  ~TempFile() { Discard(); }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  // Makes the file in the folder open on `dir`, to replace `target` there. false with errno set.
  bool Create(int dir, const std::string& target);

  // The file, open for writing.
  int fd() const { return fd_.get(); }

  // Closes the file (which reports delayed write errors), names it if it has no name, asks
  // `still_wanted` at the last moment, and renames it over the target; or, where `fresh`, to the
  // target's name only while nothing has it (EEXIST). false, the file discarded: with errno set,
  // or without a rename where `still_wanted` said no.
  bool Replace(const std::function<bool()>& still_wanted, bool fresh = false);

  // Closes and removes the file, if it is still there. Returns what could not be removed (its name
  // could not be), if anything. Keeps errno as it was.
  Outcome::Leftover Discard();

 private:
  enum class Linking { kByDescriptor, kThroughProc };
  bool Linkable();
  bool RenameToNew();
  template <typename Make>
  bool Name(Make make);

  UniqueFd fd_;
  int dir_ = -1;
  std::string target_;
  std::string name_;  // empty while the file has no name
  Linking linking_ = Linking::kByDescriptor;
  Outcome::Leftover left_;  // what Discard could not remove
};

#endif  // XORSCRAMBLE_LINUX_TEMP_FILE_H_
