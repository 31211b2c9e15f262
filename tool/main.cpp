// xorscramble: scrambles a file in place with the built-in XOR key; a second run restores it. This
// file holds all that the command says: its arguments, its messages and its exit statuses, whose
// full reference is the man page (man/xorscramble.1.in), in the same words.

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <memory>
#include <new>
#include <string>
#include <vector>

#include <xorcodec/xor_codec.h>

#include "outcome.h"
#include "platform.h"
#include "printable.h"
#include "safe_replace.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitReplacedBut = 3;

constexpr char kUsage[] =
    "usage: xorscramble [--] FILE\n"
    "Scrambles FILE in place with the built-in XOR key; running it again restores FILE.\n"
    "\n"
    "  --help     print this help and exit\n"
    "  --version  print the version and exit\n"
    "\n"
    "Exit status: 0 FILE was rewritten; 1 FILE could not be read or rewritten and is left as it\n"
    "was; 2 no FILE was given; 3 FILE was rewritten, but not cleanly: syncing its directory\n"
    "failed, or another program's write at that instant was lost (do not run again to retry:\n"
    "that would flip FILE back). See man xorscramble.\n";

void Complain(const std::string& line) { fprintf(stderr, "xorscramble: %s\n", line.c_str()); }

// Says how a step ended, and returns the exit status for it. Everything names the file first, but
// a file that could not be read, which keeps the words the command has always used for it, kept
// for whoever reads its messages.
int Report(const std::string& jsonpath, const Outcome& outcome, bool reading) {
  if (outcome.done()) return kExitOk;
  if (reading && outcome.kind() == Outcome::Kind::kFailed) {
    Complain("Get data from file(" + Printable(jsonpath) + ") failed! (" + outcome.reason() + ")");
  } else {
    Complain(Quoted(jsonpath) + ": " + outcome.reason());
  }
  return outcome.kind() == Outcome::Kind::kReplacedBut ? kExitReplacedBut : kExitFailed;
}

int Scramble(const std::string& jsonpath) {
  SafeReplace file;
  const Outcome opened = file.Open(jsonpath);
  if (!opened.done()) return Report(jsonpath, opened, true);

  // The content of the file that was opened, locked and checked: the path is not looked up again.
  uint32_t size = 0;
  const std::unique_ptr<unsigned char[]> data(XorCodec::Instance().GetDataFromDescriptor(
      file.Descriptor(), &size, xorcodec::kBuiltInKey, xorcodec::kBuiltInKeyLen));
  if (!data) return Report(jsonpath, Outcome::Failed(strerror(errno)), true);
  return Report(jsonpath, file.Commit(data.get(), size), false);
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
  const std::vector<std::string> args = platform::Arguments(argc, argv);
  const std::string first = args.size() > 1 ? args[1] : "";
  if (first == "--help") return Print(kUsage);
  if (first == "--version") return Print("xorscramble " XORCODEC_VERSION_STRING "\n");
  // Only the first argument counts; "--" lets it be a file whose name starts with "--".
  const std::size_t at = first == "--" ? 2 : 1;
  if (args.size() <= at) {
    fputs("xorscramble: missing file operand\n", stderr);
    fputs(kUsage, stderr);
    return kExitUsage;
  }

  SafeReplace::PrepareProcess();
  try {
    return Scramble(args[at]);
  } catch (const std::bad_alloc&) {
    // The whole file is held in memory: a 32-bit process cannot hold the largest files.
    return Report(args[at],
                  Outcome::Failed(std::string("cannot hold it in memory: ") + strerror(ENOMEM)),
                  false);
  }
}
