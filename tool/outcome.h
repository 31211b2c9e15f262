// How a step of the command ended and, when it did not succeed, why: one line, without the
// program's name or the file's, which the caller adds as it words the message.

#ifndef XORSCRAMBLE_OUTCOME_H_
#define XORSCRAMBLE_OUTCOME_H_

#include <string>
#include <utility>

class Outcome {
 public:
  enum class Kind {
    kDone,
    kRefused,      // the file's state forbids the step: hard links, a lock, another user's link,
                   // metadata that could not be kept, a change meanwhile; the file is as it was
    kFailed,       // the system failed the step (no such file, no permission, a full disk, an I/O
                   // error); the file is as it was
    kReplacedBut,  // the file was replaced, but not cleanly: its folder's sync failed (the
                   // change may not survive a crash), or a writer at that instant wrote to the
                   // old file
  };

  static Outcome Done() { return Outcome(Kind::kDone, ""); }
  static Outcome Refused(std::string why) { return Outcome(Kind::kRefused, std::move(why)); }
  static Outcome Failed(std::string why) { return Outcome(Kind::kFailed, std::move(why)); }
  static Outcome ReplacedBut(std::string why) {
    return Outcome(Kind::kReplacedBut, std::move(why));
  }

  // The same outcome, with `note` added to its reason.
  Outcome With(const std::string& note) const { return Outcome(kind_, reason_ + note); }

  bool done() const { return kind_ == Kind::kDone; }
  Kind kind() const { return kind_; }
  const std::string& reason() const { return reason_; }

 private:
  Outcome(Kind kind, std::string reason) : kind_(kind), reason_(std::move(reason)) {}

  Kind kind_;
  std::string reason_;
};

#endif  // XORSCRAMBLE_OUTCOME_H_
