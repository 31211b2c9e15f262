// SPDX-License-Identifier: MIT
// The replace step on Windows. The content is read through the handle that was opened and locked;
// the new content goes to a TempFile beside the file, which takes the file's place through
// ReplaceFileW: that keeps what makes the file the same to Windows (its security descriptor, owner
// and permissions, attributes, creation time and alternate data streams).

#include <errno.h>
#include <windows.h>
// aclapi.h needs windows.h first.
#include <aclapi.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>

#include "open_file.h"
#include "platform.h"
#include "read_out_impl.h"
#include "reading.h"
#include "safe_replace.h"
#include "temp_file.h"

namespace {

using Step = Outcome::Step;
using Why = Outcome::Why;

// What another program holding the file open without sharing its deletion (an editor, an indexer,
// a virus scanner) makes a replace fail with, often only for a moment.
bool InUse(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
         error == ERROR_USER_MAPPED_FILE;
}

// Failures worth a retry: a file in use, and those that a file being closed or scanned can cause.
bool Transient(DWORD error) {
  return InUse(error) || error == ERROR_ACCESS_DENIED || error == ERROR_UNABLE_TO_REMOVE_REPLACED;
}

// Where ReplaceFileW cannot do its work: file systems without it; the two failures after which
// the file's name is free and the new file still waits under its temporary name; and the names
// that wine's ReplaceFileW makes of a path longer than 260 characters, which it cuts short to
// find the folder (both files are where they were then).
bool ReplaceCannotApply(DWORD error) {
  return error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED ||
         error == ERROR_INVALID_PARAMETER || error == ERROR_UNABLE_TO_MOVE_REPLACEMENT ||
         error == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2 || error == ERROR_INVALID_NAME ||
         error == ERROR_DIRECTORY || error == ERROR_PATH_NOT_FOUND;
}

// Whatever `path` leads to now, identified.
bool Identify(const std::wstring& path, BY_HANDLE_FILE_INFORMATION* info) {
  const HANDLE h =
      CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  const bool ok = GetFileInformationByHandle(h, info) != 0;
  CloseHandle(h);
  return ok;
}

// Whether this is wine, whose ntdll says so.
bool UnderWine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// Whether wine's ReplaceFileW would run past a buffer of its own on `target`: it makes the name of
// a file of its own in the folder of `target`'s first MAX_PATH - 1 characters, in a buffer of
// MAX_PATH (GetTempFileNameW adds 14 characters to the folder), and where that folder is longer,
// the name overwrites its caller's registers on the stack, and the program crashes once the call
// has returned. Windows' own ReplaceFileW takes paths of any length.
bool ReplaceOverrunsOnWine(const std::wstring& target) {
  std::wstring head = target.substr(0, MAX_PATH - 1);
  head.resize(std::min(head.size(), head.find_last_of(L'\\')));
  return head.size() > MAX_PATH - 14 && UnderWine();
}

// Puts the file at `temp` in place of `target`, through ReplaceFileW, or where that cannot apply,
// by moving it there with `dacl` (the target's permissions) given to it first. A file in use is
// retried for a moment, 0.6 s in all.
Outcome PutInPlace(const std::wstring& temp, const std::wstring& target, PACL dacl) {
  // A null DACL is one that lets everybody in, and is kept as such.
  const auto permissions = [&] {
    return SetNamedSecurityInfoW(const_cast<wchar_t*>(temp.c_str()), SE_FILE_OBJECT,
                                 DACL_SECURITY_INFORMATION, nullptr, nullptr, dacl, nullptr);
  };
  const auto not_kept = [](DWORD error) {
    return Outcome::NotKept(Outcome::Kept::kPermissions, Why::kSystemError).WindowsError(error);
  };
  bool fallback = ReplaceOverrunsOnWine(target);
  DWORD error = fallback ? permissions() : ERROR_SUCCESS;
  if (error != ERROR_SUCCESS) return not_kept(error);
  for (DWORD wait = 10;; wait *= 2) {
    // Whether another program holds the file without sharing its deletion, asked first: a
    // ReplaceFileW that fails on it may leave files of its own behind (wine does).
    const HANDLE probe =
        CreateFileW(target.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (probe == INVALID_HANDLE_VALUE && GetLastError() == ERROR_SHARING_VIOLATION) {
      error = ERROR_SHARING_VIOLATION;
    } else {
      if (probe != INVALID_HANDLE_VALUE) CloseHandle(probe);
      const bool replaced =
          fallback ? MoveFileExW(temp.c_str(), target.c_str(),
                                 MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0
                   : ReplaceFileW(target.c_str(), temp.c_str(), nullptr,
                                  REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr) != 0;
      if (replaced) return Outcome::Done();
      error = GetLastError();
      if (!fallback && ReplaceCannotApply(error)) {
        fallback = true;
        if ((error = permissions()) != ERROR_SUCCESS) return not_kept(error);
        continue;
      }
    }
    if (!Transient(error) || wait > 320) break;
    Sleep(wait);
  }
  return InUse(error) ? Outcome::Refused(Step::kReplacing, Why::kInUse)
                      : Outcome::FailedOnWindows(Step::kReplacing, error);
}

}  // namespace

struct SafeReplace::Impl {
  UniqueHandle file;
  std::wstring wide_target;
  BY_HANDLE_FILE_INFORMATION before{};
  bool fresh = false;  // nothing has the name yet (OpenOutput): the file is made

  Outcome Replace(HANDLE from, bool sized, std::uint64_t size, Transform transform);
  Outcome PlaceFresh(TempFile* temp);
};

SafeReplace::SafeReplace() : impl_(new Impl) {}

SafeReplace::~SafeReplace() = default;

void SafeReplace::PrepareProcess() { TempFile::CatchInterrupts(); }

Outcome SafeReplace::Open(const std::string& path) {
  Impl& m = *impl_;
  std::wstring wide;
  if (Outcome opened = OpenToRead(path, &m.file, &m.before, &wide); !opened.done()) return opened;

  // Locks on Windows bar others from reading the bytes they cover, so the lock that keeps a
  // second run away covers a byte far past any end of file.
  OVERLAPPED beyond_end{};
  beyond_end.Offset = 0xFFFFFFFE;
  beyond_end.OffsetHigh = 0xFFFFFFFF;
  if (!LockFileEx(m.file.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                  &beyond_end)) {
    return Outcome::Refused(Step::kLocking, Why::kLocked);
  }
  // The file itself, links resolved. Where the system cannot name it so (wine, past 260
  // characters), the path that was opened serves: it is checked below like the final one.
  std::wstring final_path(32768, L'\0');
  const DWORD n = GetFinalPathNameByHandleW(
      m.file.get(), final_path.data(), static_cast<DWORD>(final_path.size()), FILE_NAME_NORMALIZED);
  if (n > 0 && n < final_path.size()) {
    m.wide_target = final_path.substr(0, n);
  } else {
    m.wide_target = wide;
  }

  BY_HANDLE_FILE_INFORMATION now;
  if (!Identify(m.wide_target, &now) || !SameFile(now, m.before)) {
    return Outcome::Refused(Step::kFinding, Why::kChangedOpening);
  }
  if (m.before.nNumberOfLinks > 1) {
    return Outcome::Refused(Step::kCheckingFile, Why::kHardLinks).Count(m.before.nNumberOfLinks);
  }
  if ((m.before.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
    return Outcome::Failed(Step::kCheckingFile, EACCES);
  }
  return Outcome::Done();
}

Outcome SafeReplace::OpenOutput(const std::string& path, unsigned) {
  Impl& m = *impl_;
  const std::wstring wide = LongPath(platform::Widen(path));
  if (GetFileAttributesW(wide.c_str()) != INVALID_FILE_ATTRIBUTES ||
      GetLastError() != ERROR_FILE_NOT_FOUND) {
    return Open(path);
  }
  // Where nothing has the name, its folder must be there to make the file in.
  const std::size_t slash = wide.find_last_of(L"\\/");
  const DWORD folder = GetFileAttributesW(wide.substr(0, slash).c_str());
  if (folder == INVALID_FILE_ATTRIBUTES) {
    return Outcome::FailedOnWindows(Step::kFinding, GetLastError());
  }
  if ((folder & FILE_ATTRIBUTE_DIRECTORY) == 0) return Outcome::Failed(Step::kFinding, ENOTDIR);
  m.wide_target = wide;
  m.fresh = true;
  return Outcome::Done();
}

bool SafeReplace::Holds(const ReadOut& source) const {
  return !impl_->fresh && source.impl_->sized && SameFile(impl_->before, source.impl_->info);
}

// The file's own content, through the handle that was opened, locked and checked: it must end
// where Open found it ending, so that one that grows or shrinks meanwhile is Refused as changed.
Outcome SafeReplace::Rewrite(Transform transform) {
  const Impl& m = *impl_;
  return impl_->Replace(m.file.get(), true,
                        (std::uint64_t{m.before.nFileSizeHigh} << 32) | m.before.nFileSizeLow,
                        transform);
}

Outcome SafeReplace::RewriteFrom(const ReadOut& source, Transform transform) {
  const ReadOut::Impl& s = *source.impl_;
  return impl_->Replace(s.sized ? s.file.get() : GetStdHandle(STD_INPUT_HANDLE), s.sized, s.size,
                        transform);
}

// Moves the new file to the name that nothing had, never over one made meanwhile, and gives it
// the permissions that its folder gives a new file there, in place of the caller's alone.
Outcome SafeReplace::Impl::PlaceFresh(TempFile* temp) {
  if (!MoveFileExW(temp->path().c_str(), wide_target.c_str(), MOVEFILE_WRITE_THROUGH)) {
    const DWORD error = GetLastError();
    return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS
               ? Outcome::Refused(Step::kReplacing, Why::kChanged)
               : Outcome::FailedOnWindows(Step::kReplacing, error);
  }
  temp->Replaced();
  ACL inherited;
  InitializeAcl(&inherited, sizeof inherited, ACL_REVISION);
  const DWORD error =
      SetNamedSecurityInfoW(const_cast<wchar_t*>(wide_target.c_str()), SE_FILE_OBJECT,
                            DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION,
                            nullptr, nullptr, &inherited, nullptr);
  if (error != ERROR_SUCCESS) {
    return Outcome::ReplacedBut(Step::kKeeping, Why::kSystemError).WindowsError(error);
  }
  return Outcome::Done();
}

// Copies `from` into a temporary file through the transform and puts that in the file's place
// (or, where the file is fresh, under its name).
Outcome SafeReplace::Impl::Replace(HANDLE from, bool sized, std::uint64_t size,
                                   Transform transform) {
  const std::size_t slash = wide_target.find_last_of(L"\\/");
  TempFile temp;
  if (Outcome made = temp.Create(wide_target.substr(0, slash), wide_target.substr(slash + 1));
      !made.done()) {
    return made;
  }
  // Undoes everything but the file's lock: the original stays exactly as it was.
  auto abandon = [&](const Outcome& why) { return why.Leaving(temp.Discard()); };

  TempFile* const to = &temp;
  if (Outcome streamed =
          CopyPieces(from, sized, size, transform,
                     [to](const unsigned char* data, DWORD n) { return to->Write(data, n); });
      !streamed.done()) {
    return abandon(streamed);
  }
  if (Outcome written = temp.Finish(); !written.done()) return abandon(written);
  if (fresh) {
    const Outcome placed = PlaceFresh(&temp);
    return placed.kind() == Outcome::Kind::kReplacedBut ? placed : abandon(placed);
  }
  // Attributes that say how the file is shown and backed up go with the content.
  const DWORD shown =
      before.dwFileAttributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                 FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
  if (!SetFileAttributesW(temp.path().c_str(), shown != 0 ? shown : FILE_ATTRIBUTE_NORMAL)) {
    return abandon(Outcome::NotKept(Outcome::Kept::kFileAttributes, Why::kSystemError)
                       .WindowsError(GetLastError()));
  }

  BY_HANDLE_FILE_INFORMATION now_open;
  BY_HANDLE_FILE_INFORMATION now_path;
  if (!GetFileInformationByHandle(file.get(), &now_open) || !Identify(wide_target, &now_path) ||
      !SameContent(now_open, before) || !SameFile(now_path, before)) {
    return abandon(Outcome::Refused(Step::kWriting, Why::kChanged));
  }
  // Where ReplaceFileW cannot apply, the new file is moved into place with the file's
  // permissions copied; its owner, streams and creation time are then the new file's.
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR security = nullptr;
  const DWORD read = GetSecurityInfo(file.get(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                     nullptr, &dacl, nullptr, &security);
  if (read != ERROR_SUCCESS) {
    return abandon(Outcome::FailedOnWindows(Step::kReadingPermissions, read));
  }
  // Windows will not replace a file that is open, even for delete: the lock goes here.
  file.Reset();
  const Outcome placed = PutInPlace(temp.path(), wide_target, dacl);
  LocalFree(security);
  if (!placed.done()) return abandon(placed);
  temp.Replaced();
  return Outcome::Done();
}

std::uint64_t SafeReplace::size() const {
  const Impl& m = *impl_;
  return m.fresh ? 0 : (std::uint64_t{m.before.nFileSizeHigh} << 32) | m.before.nFileSizeLow;
}
