// SPDX-License-Identifier: MIT
// xorscramble: scrambles a file in place with the built-in XOR key; a second run restores it. This
// file holds all that the command says: its arguments, its messages and its exit statuses. The
// full reference is the man page (man/xorscramble.1.in), from which --help is made (usage.h).

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <new>
#include <string>
#include <vector>

#include <xorcodec/xor_codec.h>

#include "outcome.h"
#include "platform.h"
#include "printable.h"
#include "progress.h"
#include "read_out.h"
#include "safe_replace.h"
#include "usage.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitReplacedBut = 3;

void Complain(const std::string& line) {
  progress::Clear();
  fprintf(stderr, "xorscramble: %s\n", line.c_str());
}

using Step = Outcome::Step;
using Why = Outcome::Why;
using Kept = Outcome::Kept;

// The words for how a step ended are written with these stand-ins, filled in by Fill: $E the
// system's error; $S the subject, quoted as a shell takes it back; $A the subject as it is (made
// printable); $F a space and the subject, where there is one; $N the count; $K the piece of
// metadata that could not be kept; $O "others" where that piece is plural, else "another".

// The pieces of metadata, as in "cannot keep its ACL".
struct KeptWords {
  Kept kept;
  const char* words;
  bool plural;
};
constexpr KeptWords kKeptWords[] = {
    {Kept::kOwnerAndGroup, "its owner and group", false},
    {Kept::kPermissions, "its permissions", true},
    {Kept::kSetGroupId, "its set-group-ID bit", false},
    {Kept::kAcl, "its access control list (ACL)", false},
    {Kept::kAttribute, "its extended attribute $A", false},
    {Kept::kAttributes, "its extended attributes", false},
    {Kept::kFlags, "its attribute flags (chattr$F)", true},
    {Kept::kXfsAttributes, "its XFS flags and hints (xfs_io chattr $A)", true},
    {Kept::kProjectId, "its project ID", false},
    {Kept::kFileAttributes, "its attributes", false},
    {Kept::kNothing, "its metadata", false},
};

// Why a step ended as it did, in one line without the program's name or the file's: the first
// row of the reason, at the step or at any step, holds the words. Where the system's error says
// why, the row of the step says what was being done; a step without one gives the error alone.
constexpr Step kAnyStep = Step::kNone;
struct ReasonWords {
  Why why;
  Step step;
  const char* words;
};
constexpr ReasonWords kReasonWords[] = {
    {Why::kNotRegular, kAnyStep, "not a regular file"},
    {Why::kForeignLink, kAnyStep,
     "not following the symbolic link $S: it belongs to another user, who does not own what it "
     "leads to"},
    {Why::kUnreachableLink, kAnyStep,
     "not following the symbolic link $S: the file it leads to cannot be reached by its name "
     "(deleted, moved, or in another mount namespace)"},
    {Why::kForeignMounts, kAnyStep,
     "not following $S into another user's mount namespace: that user does not own what it "
     "leads to"},
    {Why::kChangedOpening, kAnyStep, "changed while being opened; left as it was"},
    {Why::kLocked, kAnyStep, "in use by another process (locked)"},
    {Why::kOpenForWriting, kAnyStep, "open for writing by another program; left as it was"},
    {Why::kInUse, kAnyStep, "in use by another program; left as it was"},
    {Why::kHardLinks, kAnyStep, "has $N hard links; replacing it would split them"},
    {Why::kUnmapped, kAnyStep,
     "its owner/group is not mapped in this user namespace; left as it was"},
    {Why::kImmutable, Step::kCheckingFolder,
     "its directory $S is marked immutable; the file in it cannot be replaced"},
    {Why::kImmutable, kAnyStep, "is marked immutable; it cannot be replaced"},
    {Why::kAppendOnly, Step::kCheckingFolder,
     "its directory $S is marked append-only; the file in it cannot be replaced"},
    {Why::kAppendOnly, kAnyStep, "is marked append-only; it cannot be replaced"},
    {Why::kChanged, kAnyStep, "changed while being scrambled; left as it was"},
    {Why::kWriterMeanwhile, kAnyStep,
     "opened for writing by another program meanwhile; left as it was"},
    {Why::kWriterAtRename, kAnyStep,
     "replaced, but another program opened it for writing at that instant: what it writes is "
     "lost with the old file"},
    {Why::kKeptOther, kAnyStep, "cannot keep $K: the file system kept $O"},
    {Why::kGroupOnly, kAnyStep, "cannot keep $K: only a member of its group may set it"},
    {Why::kFolderProject, kAnyStep,
     "cannot keep $K: its directory gives every file in it the directory's own"},
    {Why::kNewAttribute, kAnyStep, "cannot keep $K: the new file's $A cannot be removed: $E"},
    // The system's error, after what was being done.
    {Why::kSystemError, Step::kOpeningFolder, "cannot open its directory $S: $E"},
    {Why::kSystemError, Step::kLocking, "cannot lock it: $E"},
    {Why::kSystemError, Step::kReadingMetadata, "cannot read its extended attributes: $E"},
    {Why::kSystemError, Step::kReadingPermissions, "cannot read its permissions: $E"},
    {Why::kSystemError, Step::kCheckingFile, "not writable: $E"},
    {Why::kSystemError, Step::kMakingTemporary, "cannot create a temporary file in $S: $E"},
    {Why::kSystemError, Step::kMakingPrivate, "cannot make the temporary file private: $E"},
    {Why::kSystemError, Step::kWriting, "cannot write the new content: $E"},
    {Why::kSystemError, Step::kKeeping, "cannot keep $K: $E"},
    {Why::kSystemError, Step::kReplacing, "cannot replace it: $E"},
    {Why::kSystemError, Step::kSyncingFolder,
     "replaced, but its directory could not be synced: $E"},
    {Why::kSystemError, Step::kHolding, "cannot hold it in memory: $E"},
    {Why::kSystemError, kAnyStep, "$E"},
};

const KeptWords& KeptOf(const Outcome& outcome) {
  for (const KeptWords& row : kKeptWords) {
    if (row.kept == outcome.kept()) return row;
  }
  return kKeptWords[std::size(kKeptWords) - 1];
}

// `words` with its stand-ins filled in from `outcome`.
std::string Fill(const char* words, const Outcome& outcome) {
  const std::string& subject = outcome.subject();
  std::string out;
  for (const char* at = words; *at != '\0'; ++at) {
    if (at[0] != '$' || at[1] == '\0') {
      out += *at;
      continue;
    }
    switch (*++at) {
      case 'E':
        out += ErrorText(outcome.error(), outcome.windows_error());
        break;
      case 'S':
        out += Quoted(subject);
        break;
      case 'A':
        out += Printable(subject);
        break;
      case 'F':
        if (!subject.empty()) out += " " + Printable(subject);
        break;
      case 'N':
        out += std::to_string(outcome.count());
        break;
      case 'K':
        out += Fill(KeptOf(outcome).words, outcome);
        break;
      case 'O':
        out += KeptOf(outcome).plural ? "others" : "another";
        break;
      default:
        out += at[-1];
        out += *at;
    }
  }
  return out;
}

std::string Reason(const Outcome& outcome) {
  for (const ReasonWords& row : kReasonWords) {
    if (row.why == outcome.why() && (row.step == kAnyStep || row.step == outcome.step())) {
      return Fill(row.words, outcome);
    }
  }
  return Fill("$E", outcome);
}

// Says how a step ended, and returns the exit status for it. Everything names the file first, but
// a file that could not be found or read, which keeps the words the command has always used for
// it, kept for whoever reads its messages; `read` is false for a file only written (-o), which
// has none.
int Report(const std::string& jsonpath, const Outcome& outcome, bool read = true) {
  progress::Clear();
  if (outcome.done()) return kExitOk;
  std::string line;
  if (outcome.step() == Step::kWritingOutput) {
    // A reader that went away (| head) ends the run quietly, as it ends cat.
    if (outcome.error() == EPIPE) return kExitFailed;
    line = "write error: " + Reason(outcome);
  } else if (read && outcome.kind() == Outcome::Kind::kFailed &&
             (outcome.step() == Step::kFinding || outcome.step() == Step::kReading)) {
    line = "Get data from file(" + Printable(jsonpath) + ") failed! (" + Reason(outcome) + ")";
  } else {
    line = Quoted(jsonpath) + ": " + Reason(outcome);
  }
  const Outcome::Leftover& left = outcome.left();
  if (!left.path.empty()) {
    line += "; the temporary file " + Quoted(left.path) +
            " could not be removed: " + ErrorText(left.error, left.windows_error);
  }
  Complain(line);
  return outcome.kind() == Outcome::Kind::kReplacedBut ? kExitReplacedBut : kExitFailed;
}

// The built-in key's transform of the bytes at `offset` onwards of a file.
// Each piece passes through here, in order: how far the run has come, for its progress line.
void Scrambled(unsigned char* data, std::size_t size, std::uint64_t offset) {
  XorCodec::Instance().EncodeBuffer(data, size, xorcodec::kBuiltInKey, xorcodec::kBuiltInKeyLen,
                                    offset);
  progress::Advance(offset + size);
}

int Scramble(const std::string& jsonpath) {
  SafeReplace file;
  if (Outcome opened = file.Open(jsonpath); !opened.done()) return Report(jsonpath, opened);
  // The file that was opened, locked and checked, in pieces: the path is not looked up again.
  progress::Start(Printable(jsonpath), file.size());
  return Report(jsonpath, file.Rewrite(Scrambled));
}

// The file's content (standard input's, for "-" where `standard_input`), transformed, to standard
// output; the file is left as it was.
int Show(const std::string& jsonpath, bool standard_input) {
  ReadOut source;
  if (standard_input) {
    source.UseStandardInput();
  } else if (Outcome opened = source.Open(jsonpath); !opened.done()) {
    return Report(jsonpath, opened);
  }
  progress::Start(Printable(jsonpath), source.size());
  return Report(jsonpath, source.CopyToStandardOutput(Scrambled));
}

// The content of the file (of standard input, where `standard_input`), transformed, put in place of
// `output` as the in-place form puts it in place of the file: with `output`'s metadata where it
// exists, else with the file's permission bits. Where `output` is the file, that is the in-place
// form. What goes wrong with reading is said of the file, the rest of `output`.
int Convert(const std::string& jsonpath, bool standard_input, const std::string& output) {
  ReadOut source;
  if (standard_input) {
    source.UseStandardInput();
  } else if (Outcome opened = source.Open(jsonpath); !opened.done()) {
    return Report(jsonpath, opened);
  }
  SafeReplace target;
  if (Outcome opened = target.OpenOutput(output, source.NewFileMode()); !opened.done()) {
    return Report(output, opened, false);
  }
  progress::Start(Printable(output), source.size());
  const Outcome done =
      target.Holds(source) ? target.Rewrite(Scrambled) : target.RewriteFrom(source, Scrambled);
  return done.step() == Step::kReading ? Report(jsonpath, done) : Report(output, done, false);
}

// What the command line asks for: options, then the file, then what is not acted on.
struct Request {
  enum class Form { kInPlace, kToStandardOutput, kToFile, kHelp, kVersion };
  Form form = Form::kInPlace;
  std::string output;  // with -o
  std::string file;
  bool standard_input = false;  // the file is "-", given before any "--"
  std::vector<std::string> ignored;
};

// Reads `args` into `request`. Returns what is wrong with them, or "" where nothing is. Only the
// options below are options: any other argument is the file, as it always was, whatever it starts
// with; "--" ends the options, so that a file may be named like one, or "-".
std::string Parse(const std::vector<std::string>& args, Request* request) {
  std::size_t at = 1;
  bool ended = false;
  for (; at < args.size(); ++at) {
    const std::string& arg = args[at];
    if (arg == "--") {
      ended = true;
      ++at;
      break;
    }
    if (arg == "-h" || arg == "--help") {
      request->form = Request::Form::kHelp;
      return "";
    }
    if (arg == "-V" || arg == "--version") {
      request->form = Request::Form::kVersion;
      return "";
    }
    if (arg == "-c" || arg == "--stdout") {
      if (request->form == Request::Form::kToFile) return "-c and -o cannot be used together";
      request->form = Request::Form::kToStandardOutput;
      continue;
    }
    const bool joined = arg.rfind("--output=", 0) == 0;
    if (arg != "-o" && arg != "--output" && !joined) break;
    if (request->form == Request::Form::kToStandardOutput) {
      return "-c and -o cannot be used together";
    }
    if (!joined && ++at == args.size()) return "option '" + arg + "' needs a file name";
    request->output = joined ? arg.substr(9) : args[at];
    if (request->output.empty()) return "option '--output' needs a file name";
    request->form = Request::Form::kToFile;
  }
  if (at >= args.size()) return "missing file operand";
  request->file = args[at];
  if (!ended && request->file == "-") {
    request->standard_input = true;
    if (request->form == Request::Form::kInPlace) request->form = Request::Form::kToStandardOutput;
  }
  request->ignored.assign(args.begin() + static_cast<std::ptrdiff_t>(at) + 1, args.end());
  return "";
}

// --help and --version must not claim success when their output was lost (a full disk, a closed
// pipe).
int Print(const char* text) {
  if (fputs(text, stdout) < 0 || fflush(stdout) != 0) {
    Complain(std::string("write error: ") + strerror(errno));
    return kExitFailed;
  }
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  // First of all, before anything is opened.
  SafeReplace::PrepareProcess();
  Request request;
  if (const std::string wrong = Parse(platform::Arguments(argc, argv), &request); !wrong.empty()) {
    Complain(wrong);
    fputs("Try 'xorscramble --help' for more information.\n", stderr);
    return kExitUsage;
  }
  if (request.form == Request::Form::kHelp) return Print(kUsage);
  if (request.form == Request::Form::kVersion) {
    return Print("xorscramble " XORCODEC_VERSION_STRING "\n");
  }
  for (const std::string& arg : request.ignored) {
    Complain("ignoring " + Quoted(arg) + ": one file per run");
  }

  try {
    switch (request.form) {
      case Request::Form::kToStandardOutput:
        return Show(request.file, request.standard_input);
      case Request::Form::kToFile:
        return Convert(request.file, request.standard_input, request.output);
      default:
        return Scramble(request.file);
    }
  } catch (const std::bad_alloc&) {
    // Little is held in memory, the content's one buffer of a few MiB the most, but a tight limit
    // on memory can refuse even that.
    return Report(request.file, Outcome::Failed(Step::kHolding, ENOMEM));
  }
}
