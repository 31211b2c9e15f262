// SPDX-License-Identifier: MIT
// The read-out on Windows: the file opened for reading as the replace step opens it, without its
// lock, and copied to the standard output handle, which takes bytes as they are.

#include <errno.h>
#include <windows.h>

#include <cstdint>
#include <string>

#include "read_out_impl.h"
#include "reading.h"

ReadOut::ReadOut() : impl_(new Impl) {}

ReadOut::~ReadOut() = default;

Outcome ReadOut::Open(const std::string& path) {
  Impl& m = *impl_;
  std::wstring wide;
  if (Outcome opened = OpenToRead(path, &m.file, &m.info, &wide); !opened.done()) return opened;
  m.sized = true;
  m.size = (std::uint64_t{m.info.nFileSizeHigh} << 32) | m.info.nFileSizeLow;
  return Outcome::Done();
}

void ReadOut::UseStandardInput() {
  impl_->file.Reset();
  impl_->sized = false;
}

Outcome ReadOut::CopyToStandardOutput(SafeReplace::Transform transform) {
  const Impl& m = *impl_;
  const HANDLE from = m.sized ? m.file.get() : GetStdHandle(STD_INPUT_HANDLE);
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

// Windows gives a new file the permissions of its folder, whatever the source's.
unsigned ReadOut::NewFileMode() const { return 0; }

std::uint64_t ReadOut::size() const { return impl_->sized ? impl_->size : 0; }
