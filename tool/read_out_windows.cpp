// SPDX-License-Identifier: MIT
// The read-out on Windows: the file opened for reading as the replace step opens it, without its
// lock, and copied to the standard output handle, which takes bytes as they are.

#include <errno.h>
#include <windows.h>

#include <cstdint>
#include <string>

#include "read_out.h"
#include "reading_windows.h"

struct ReadOut::Impl {
  HANDLE file = INVALID_HANDLE_VALUE;
  bool sized = false;
  std::uint64_t size = 0;

  void Close() {
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    file = INVALID_HANDLE_VALUE;
  }
};

ReadOut::ReadOut() : impl_(new Impl) {}

ReadOut::~ReadOut() { impl_->Close(); }

Outcome ReadOut::Open(const std::string& path) {
  Impl& m = *impl_;
  BY_HANDLE_FILE_INFORMATION info{};
  std::wstring wide;
  if (Outcome opened = OpenToRead(path, &m.file, &info, &wide); !opened.done()) return opened;
  m.sized = true;
  m.size = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
  return Outcome::Done();
}

void ReadOut::UseStandardInput() {
  impl_->Close();
  impl_->sized = false;
}

Outcome ReadOut::CopyToStandardOutput(SafeReplace::Transform transform) {
  const Impl& m = *impl_;
  const HANDLE from = m.sized ? m.file : GetStdHandle(STD_INPUT_HANDLE);
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  return CopyPieces(from, m.sized, m.size, transform, [out](const unsigned char* data, DWORD size) {
    for (DWORD done = 0; done < size;) {
      DWORD put = 0;
      if (!WriteFile(out, data + done, size - done, &put, nullptr) || put == 0) {
        const DWORD error = GetLastError();
        // A reader that went away: ended quietly, as on Linux.
        if (error == ERROR_NO_DATA || error == ERROR_BROKEN_PIPE) {
          return Outcome::Failed(Outcome::Step::kWritingOutput, EPIPE);
        }
        return Outcome::FailedOnWindows(Outcome::Step::kWritingOutput, error);
      }
      done += put;
    }
    return Outcome::Done();
  });
}
