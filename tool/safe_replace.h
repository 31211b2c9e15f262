// Replacing a file's whole content so that it is, at every moment, either wholly the old content or
// wholly the new: the new bytes go to a temporary file beside the target, which is then renamed
// over it. The path is looked up once; every later step acts through what that lookup opened, so
// that nobody who controls a folder on the way can redirect a step elsewhere. Everything that
// depends on the operating system lives behind this interface.

#ifndef XORSCRAMBLE_SAFE_REPLACE_H_
#define XORSCRAMBLE_SAFE_REPLACE_H_

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

// The program's arguments, argv[0] included, as UTF-8: on Windows they are taken from the wide
// command line, so that any file name survives.
std::vector<std::string> CommandLine(int argc, char** argv);

class SafeReplace {
 public:
  enum class Status {
    kOk,
    kUnreadable,  // the path names nothing that can be opened as a regular file
    kRefused,     // replacing it would lose something, or a step of the replacement failed
    kNotDurable,  // replaced, but the replacement may not survive a crash (its folder's sync
                  // failed)
  };

  SafeReplace();
  // Closes the file and its folder.
  ~SafeReplace();
  SafeReplace(const SafeReplace&) = delete;
  SafeReplace& operator=(const SafeReplace&) = delete;

  // Makes exceeding the file-size limit an error rather than a kill, and sees to it that an
  // interruption never leaves a temporary file behind (where one can have a name while the content
  // is written, by handling the signals from then on). Call once, before Open.
  static void PrepareProcess();

  // Opens the file that `path` names and its folder, following symbolic links (but, on POSIX, a
  // link of another user's only to something of that user's), locks the file against other runs
  // and records its identity. Refuses a file whose replacement would split hard links or that the
  // caller may not write or replace.
  Status Open(const std::string& path);

  // The file that Open opened, for reading its content (on Windows a C runtime descriptor). It
  // stays open, and the SafeReplace's, until the SafeReplace goes.
  int Descriptor() const;

  // Puts `data` in place of the file's content, keeping its permission bits, owner and group, and
  // makes it durable. Refuses when the file changed since Open. On kRefused the file is exactly as
  // it was.
  Status Commit(const unsigned char* data, std::size_t size);

  // Why the last step failed: one line, without the program's name.
  const std::string& Reason() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

#endif  // XORSCRAMBLE_SAFE_REPLACE_H_
