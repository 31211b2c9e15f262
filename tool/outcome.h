// SPDX-License-Identifier: MIT
// How a step of the command ended, as data: the kind, the step, why, the system's error, and what
// it concerns (a link, a folder, an attribute). The units say what happened; main.cpp alone puts
// it into words, quoting and all.

#ifndef XORSCRAMBLE_OUTCOME_H_
#define XORSCRAMBLE_OUTCOME_H_

#include <cstdint>
#include <string>

class [[nodiscard]] Outcome {
 public:
  enum class Kind {
    kDone,
    kRefused,      // the file's state forbids the step: hard links, a lock, another user's link,
                   // a mark, metadata that could not be kept, a writer, a change meanwhile; the
                   // file is as it was
    kFailed,       // the system failed the step (no such file, no permission, a full disk, an I/O
                   // error); the file is as it was
    kReplacedBut,  // the file was replaced, but not cleanly: its folder's sync failed (the
                   // change may not survive a crash), or a writer at that instant wrote to the
                   // old file
  };

  // What the command was doing.
  enum class Step {
    kNone,
    kFinding,        // looking the path up and opening the file
    kOpeningFolder,  // subject: the folder
    kLocking,
    kReading,             // the content
    kReadingMetadata,     // its extended attributes
    kReadingPermissions,  // Windows: its security descriptor
    kCheckingFile,        // whether the file may be replaced
    kCheckingFolder,      // whether its folder lets it be replaced; subject: the folder
    kMakingTemporary,     // subject: the folder
    kMakingPrivate,       // keeping the temporary file from what its folder would give it
    kWriting,
    kKeeping,  // giving the new file the old one's metadata; see Kept
    kReplacing,
    kSyncingFolder,
    kHolding,        // holding the content in memory
    kWritingOutput,  // to standard output
  };

  // Why, where the system's error alone does not say it.
  enum class Why {
    kSystemError,  // error() (or windows_error()) says
    kNotRegular,
    kForeignLink,      // subject: a symbolic link of another user's
    kUnreachableLink,  // subject: a link in /proc whose file its name does not reach
    kForeignMounts,    // subject: a link in /proc into another user's mount namespace
    kChangedOpening,
    kLocked,
    kOpenForWriting,
    kInUse,      // Windows: another program holds the file without sharing its deletion
    kHardLinks,  // count(): how many
    kUnmapped,
    kImmutable,
    kAppendOnly,
    kChanged,
    kWriterMeanwhile,
    kWriterAtRename,
    // Why a piece of metadata could not be kept, besides the system's error:
    kKeptOther,      // the file system kept another value than the one given
    kGroupOnly,      // only a member of the file's group may set its set-group-ID bit
    kFolderProject,  // the folder gives every file in it its own project ID
    kNewAttribute,   // subject: an attribute the new file got and could not lose; error()
  };

  // The piece of metadata that could not be kept (Step::kKeeping).
  enum class Kept {
    kNothing,
    kOwnerAndGroup,
    kPermissions,
    kSetGroupId,
    kAcl,
    kAttribute,      // subject: its name
    kAttributes,     // the extended attributes as a whole
    kFlags,          // subject: how chattr would be told to set them ("+j")
    kXfsAttributes,  // subject: how xfs_io's chattr would be told to set them ("+f")
    kProjectId,
    kFileAttributes,  // Windows: hidden, system, archive, not indexed
  };

  static Outcome Done() { return Outcome(Kind::kDone, Step::kNone, Why::kSystemError); }
  static Outcome Refused(Step step, Why why) { return Outcome(Kind::kRefused, step, why); }
  static Outcome Failed(Step step, Why why) { return Outcome(Kind::kFailed, step, why); }
  // Failed with the system's error (errno).
  static Outcome Failed(Step step, int error) {
    return Outcome(Kind::kFailed, step, Why::kSystemError).Error(error);
  }
  static Outcome FailedOnWindows(Step step, unsigned long error) {
    return Outcome(Kind::kFailed, step, Why::kSystemError).WindowsError(error);
  }
  static Outcome ReplacedBut(Step step, Why why) { return Outcome(Kind::kReplacedBut, step, why); }
  // The new file cannot keep `kept`: refused, for `why`.
  static Outcome NotKept(Kept kept, Why why) {
    Outcome outcome(Kind::kRefused, Step::kKeeping, why);
    outcome.kept_ = kept;
    return outcome;
  }

  // A temporary file that the run made and could not remove, and the system's error for that.
  struct Leftover {
    std::string path;  // empty where nothing was left
    int error = 0;
    unsigned long windows_error = 0;
  };

  // The same outcome with a detail added.
  Outcome Error(int error) const { return With(&Outcome::error_, error); }
  Outcome WindowsError(unsigned long error) const { return With(&Outcome::windows_error_, error); }
  Outcome About(const std::string& subject) const { return With(&Outcome::subject_, subject); }
  Outcome Count(std::uint64_t count) const { return With(&Outcome::count_, count); }
  Outcome Leaving(const Leftover& left) const { return With(&Outcome::left_, left); }

  bool done() const { return kind_ == Kind::kDone; }
  Kind kind() const { return kind_; }
  Step step() const { return step_; }
  Why why() const { return why_; }
  Kept kept() const { return kept_; }
  int error() const { return error_; }
  unsigned long windows_error() const { return windows_error_; }
  const std::string& subject() const { return subject_; }
  std::uint64_t count() const { return count_; }
  const Leftover& left() const { return left_; }

 private:
  Outcome(Kind kind, Step step, Why why) : kind_(kind), step_(step), why_(why) {}

  template <typename T>
  Outcome With(T Outcome::*field, const T& value) const {
    Outcome changed = *this;
    changed.*field = value;
    return changed;
  }

  Kind kind_;
  Step step_;
  Why why_;
  Kept kept_ = Kept::kNothing;
  int error_ = 0;
  unsigned long windows_error_ = 0;
  std::string subject_;
  std::uint64_t count_ = 0;
  Leftover left_;
};

#endif  // XORSCRAMBLE_OUTCOME_H_
