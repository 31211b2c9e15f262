// xorscramble: scrambles a file in place with the built-in XOR key; a second run restores it.

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <memory>
#include <new>
#include <string>
#include <vector>

#include <xorcodec/xor_codec.h>

#include "safe_replace.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

constexpr char kUsage[] =
    "usage: xorscramble [--] FILE\n"
    "Scrambles FILE in place with the built-in XOR key; running it again restores FILE.\n"
    "\n"
    "  --help     print this help and exit\n"
    "  --version  print the version and exit\n"
    "\n"
    "Exit status: 0 FILE was rewritten; 1 FILE could not be read or rewritten and is left as it\n"
    "was; 2 the command line was wrong.\n";

void Complain(const std::string& line) { fprintf(stderr, "xorscramble: %s\n", line.c_str()); }

// The system's own words for a file it could not read, with the reason.
void ReadFailed(const std::string& jsonpath, const std::string& reason) {
  Complain("Get data from file(" + jsonpath + ") failed! (" + reason + ")");
}

int Scramble(const std::string& jsonpath) {
  SafeReplace file;
  switch (file.Open(jsonpath)) {
    case SafeReplace::Status::kOk:
      break;
    case SafeReplace::Status::kUnreadable:
      ReadFailed(jsonpath, file.Reason());
      return kExitFailed;
    case SafeReplace::Status::kRefused:
      Complain(jsonpath + ": " + file.Reason());
      return kExitFailed;
  }

  uint32_t size = 0;
  const std::unique_ptr<unsigned char[]> data(XorCodec::Instance().GetDataFromFile(
      file.Target().c_str(), &size, xorcodec::kBuiltInKey, xorcodec::kBuiltInKeyLen));
  if (!data) {
    ReadFailed(jsonpath, strerror(errno));
    return kExitFailed;
  }
  if (file.Commit(data.get(), size) != SafeReplace::Status::kOk) {
    Complain(jsonpath + ": " + file.Reason());
    return kExitFailed;
  }
  return kExitOk;
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
    Complain(args[at] + ": " + strerror(ENOMEM));
    return kExitFailed;
  }
}
