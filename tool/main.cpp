// xorscramble: scrambles a file in place with the built-in XOR key; a second run restores it.

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <memory>
#include <new>
#include <string>
#include <vector>

#include <xorcodec/xor_codec.h>

#include "printable.h"
#include "safe_replace.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitNotDurable = 3;

constexpr char kUsage[] =
    "usage: xorscramble [--] FILE\n"
    "Scrambles FILE in place with the built-in XOR key; running it again restores FILE.\n"
    "\n"
    "  --help     print this help and exit\n"
    "  --version  print the version and exit\n"
    "\n"
    "Exit status: 0 FILE was rewritten; 1 FILE could not be read or rewritten and is left as it\n"
    "was; 2 the command line was wrong; 3 FILE was rewritten, but the change may not survive a\n"
    "crash (do not run again to retry: that would flip it back).\n";

void Complain(const std::string& line) { fprintf(stderr, "xorscramble: %s\n", line.c_str()); }

// The system's own words for a file it could not read, with the reason.
void ReadFailed(const std::string& jsonpath, const std::string& reason) {
  Complain("Get data from file(" + Printable(jsonpath) + ") failed! (" + reason + ")");
}

// The exit status for a failed step of the replace, with its one line said.
int Failed(const std::string& jsonpath, const SafeReplace& file, SafeReplace::Status status) {
  if (status == SafeReplace::Status::kUnreadable) {
    ReadFailed(jsonpath, file.Reason());
  } else {
    Complain(Printable(jsonpath) + ": " + file.Reason());
  }
  return status == SafeReplace::Status::kNotDurable ? kExitNotDurable : kExitFailed;
}

int Scramble(const std::string& jsonpath) {
  SafeReplace file;
  SafeReplace::Status status = file.Open(jsonpath);
  if (status != SafeReplace::Status::kOk) return Failed(jsonpath, file, status);

  // The content of the file that was opened, locked and checked: the path is not looked up again.
  uint32_t size = 0;
  const std::unique_ptr<unsigned char[]> data(XorCodec::Instance().GetDataFromDescriptor(
      file.Descriptor(), &size, xorcodec::kBuiltInKey, xorcodec::kBuiltInKeyLen));
  if (!data) {
    ReadFailed(jsonpath, strerror(errno));
    return kExitFailed;
  }
  status = file.Commit(data.get(), size);
  return status == SafeReplace::Status::kOk ? kExitOk : Failed(jsonpath, file, status);
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
  const std::vector<std::string> args = CommandLine(argc, argv);
  const std::string first = args.size() > 1 ? args[1] : "";
  if (first == "--help") return Print(kUsage);
  if (first == "--version") return Print("xorscramble " XORSCRAMBLE_VERSION "\n");
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
    Complain(Printable(args[at]) + ": cannot hold it in memory: " + strerror(ENOMEM));
    return kExitFailed;
  }
}
