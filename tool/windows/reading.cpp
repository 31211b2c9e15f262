// SPDX-License-Identifier: MIT
#include "reading.h"

#include <errno.h>

#include <memory>

#include "platform.h"

std::wstring LongPath(const std::wstring& path) {
  if (path.rfind(L"\\\\?\\", 0) == 0 || path.rfind(L"\\\\.\\", 0) == 0) return path;
  const DWORD room = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (room == 0) return path;
  std::wstring full(room, L'\0');
  const DWORD n = GetFullPathNameW(path.c_str(), room, full.data(), nullptr);
  if (n == 0 || n >= room) return path;
  full.resize(n);
  if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

Outcome OpenToRead(const std::string& path, UniqueHandle* file, BY_HANDLE_FILE_INFORMATION* info,
                   std::wstring* wide) {
  using Step = Outcome::Step;
  *wide = LongPath(platform::Widen(path));
  const DWORD attributes = GetFileAttributesW(wide->c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    return Outcome::FailedOnWindows(Step::kFinding, GetLastError());
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return Outcome::Failed(Step::kFinding, EISDIR);
  // Sharing delete lets the replacement be renamed over the file while it is open here.
  file->Reset(CreateFileW(wide->c_str(), GENERIC_READ,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!*file) {
    return Outcome::FailedOnWindows(Step::kFinding, GetLastError());
  }
  if (GetFileType(file->get()) != FILE_TYPE_DISK ||
      !GetFileInformationByHandle(file->get(), info)) {
    return Outcome::Failed(Step::kFinding, Outcome::Why::kNotRegular);
  }
  return Outcome::Done();
}

Outcome CopyPieces(HANDLE from, bool sized, std::uint64_t size, SafeReplace::Transform transform,
                   const Sink& sink) {
  const std::size_t room = sized ? SafeReplace::BufferFor(size) : SafeReplace::kPiece;
  const std::unique_ptr<unsigned char[]> piece(new unsigned char[room]);
  const Outcome changed = Outcome::Refused(Outcome::Step::kWriting, Outcome::Why::kChanged);
  std::uint64_t at = 0;
  for (;;) {
    OVERLAPPED offset{};
    offset.Offset = static_cast<DWORD>(at);
    offset.OffsetHigh = static_cast<DWORD>(at >> 32);
    DWORD got = 0;
    // A pipe whose writer has gone reports its end as a broken pipe.
    if (!ReadFile(from, piece.get(), static_cast<DWORD>(room), &got, sized ? &offset : nullptr) &&
        GetLastError() != ERROR_HANDLE_EOF && GetLastError() != ERROR_BROKEN_PIPE) {
      return Outcome::FailedOnWindows(Outcome::Step::kReading, GetLastError());
    }
    if (got == 0) break;
    if (sized && at + got > size) return changed;
    transform(piece.get(), got, at);
    if (Outcome handed = sink(piece.get(), got); !handed.done()) return handed;
    at += got;
  }
  return !sized || at == size ? Outcome::Done() : changed;
}
