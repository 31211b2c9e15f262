#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <string.h>
#include <windows.h>
// aclapi.h and sddl.h need windows.h first.
#include <aclapi.h>
#include <bcrypt.h>
#include <sddl.h>

#include <string>

#include "printable.h"
#include "safe_replace.h"

// shellapi.h needs windows.h first.
#include <shellapi.h>

namespace {

std::wstring Widen(const std::string& utf8) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(n > 0 ? n : 1), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, wide.data(), n);
  wide.resize(wide.size() - 1);
  return wide;
}

std::string Narrow(const std::wstring& wide) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<std::size_t>(n > 0 ? n : 1), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, utf8.data(), n, nullptr, nullptr);
  utf8.resize(utf8.size() - 1);
  return utf8;
}

// The same words as on other systems for the common failures, the system's own for the rest.
std::string Describe(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
      return strerror(ENOENT);
    case ERROR_ACCESS_DENIED:
      return strerror(EACCES);
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return strerror(ENOSPC);
    default:
      break;
  }
  wchar_t* text = nullptr;
  FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string reason = text != nullptr ? Narrow(text) : "error " + std::to_string(error);
  LocalFree(text);
  while (!reason.empty() &&
         (reason.back() == '\n' || reason.back() == '\r' || reason.back() == '.')) {
    reason.pop_back();
  }
  return reason;
}

std::string LastReason() { return Describe(GetLastError()); }

// The temporary file, for the console handler, which runs on a thread of its own: g_armed says
// whether g_temp_path names a file of ours that must go.
wchar_t g_temp_path[32768];
volatile LONG g_armed = 0;

BOOL WINAPI RemoveTempOnInterrupt(DWORD) {
  if (InterlockedCompareExchange(&g_armed, 0, 0) != 0) DeleteFileW(g_temp_path);
  return FALSE;  // and let the default handler end the process
}

bool SameFile(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
  return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
}

bool SameContent(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
  return SameFile(a, b) && a.nFileSizeHigh == b.nFileSizeHigh && a.nFileSizeLow == b.nFileSizeLow &&
         a.ftLastWriteTime.dwLowDateTime == b.ftLastWriteTime.dwLowDateTime &&
         a.ftLastWriteTime.dwHighDateTime == b.ftLastWriteTime.dwHighDateTime;
}

// The absolute form of `path` that Windows takes at any length ("\\?\C:\..." or
// "\\?\UNC\server\share\..."), so that paths longer than 260 characters work too.
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

// A security descriptor that lets the caller's own account read, write, delete and set the
// permissions of a file, and nobody else anything, whatever the folder would let it inherit. The
// account is named by its SID, not as "the owner", so that it holds wherever the file's owner is
// mapped otherwise (wine gives a file that only "the owner" may use no permission bits at all).
// Null, with the error in GetLastError, where it cannot be built; LocalFree releases it.
PSECURITY_DESCRIPTOR CallerOnly() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return nullptr;
  alignas(TOKEN_USER) unsigned char buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  DWORD size = 0;
  const BOOL got = GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size);
  const DWORD error = GetLastError();
  CloseHandle(token);
  wchar_t* sid = nullptr;
  if (!got || !ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &sid)) {
    SetLastError(got ? GetLastError() : error);
    return nullptr;
  }
  const std::wstring sddl = L"D:P(A;;FRFWSDWDRC;;;" + std::wstring(sid) + L")";
  LocalFree(sid);
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                            &descriptor, nullptr)) {
    return nullptr;
  }
  return descriptor;
}

// A name for the temporary file that nobody can guess, from the system's random generator.
bool RandomSuffix(std::wstring* suffix) {
  static const wchar_t kChars[] = L"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  unsigned char random[8];
  if (!BCRYPT_SUCCESS(
          BCryptGenRandom(nullptr, random, sizeof random, BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
    return false;
  }
  suffix->clear();
  for (unsigned char r : random) *suffix += kChars[r % (sizeof kChars / sizeof kChars[0] - 1)];
  return true;
}

}  // namespace

std::vector<std::string> CommandLine(int argc, char** argv) {
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr) return std::vector<std::string>(argv, argv + argc);
  std::vector<std::string> args;
  for (int i = 0; i < count; ++i) args.push_back(Narrow(wide[i]));
  LocalFree(wide);
  return args;
}

struct SafeReplace::Impl {
  HANDLE file = INVALID_HANDLE_VALUE;
  int crt = -1;  // the C runtime's descriptor on `file`, which owns the handle once made
  std::wstring wide_target;
  BY_HANDLE_FILE_INFORMATION before{};
  std::string reason;

  Status Fail(Status status, std::string why) {
    reason = std::move(why);
    return status;
  }
  Status Replace(const unsigned char* data, std::size_t size);
  void CloseFile() {
    if (crt >= 0) {
      _close(crt);
    } else if (file != INVALID_HANDLE_VALUE) {
      CloseHandle(file);
    }
    crt = -1;
    file = INVALID_HANDLE_VALUE;
  }
};

SafeReplace::SafeReplace() : impl_(new Impl) {}

SafeReplace::~SafeReplace() { impl_->CloseFile(); }

void SafeReplace::PrepareProcess() { SetConsoleCtrlHandler(RemoveTempOnInterrupt, TRUE); }

int SafeReplace::Descriptor() const { return impl_->crt; }

const std::string& SafeReplace::Reason() const { return impl_->reason; }

SafeReplace::Status SafeReplace::Open(const std::string& path) {
  Impl& m = *impl_;
  const std::wstring wide = LongPath(Widen(path));
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return m.Fail(Status::kUnreadable, LastReason());
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return m.Fail(Status::kUnreadable, strerror(EISDIR));
  }
  // Sharing delete lets the replacement be renamed over the file while it is open here.
  m.file = CreateFileW(wide.c_str(), GENERIC_READ,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (m.file == INVALID_HANDLE_VALUE) return m.Fail(Status::kUnreadable, LastReason());
  if (GetFileType(m.file) != FILE_TYPE_DISK || !GetFileInformationByHandle(m.file, &m.before)) {
    return m.Fail(Status::kUnreadable, "Not a regular file");
  }

  // Locks on Windows bar others from reading the bytes they cover, so the lock that keeps a
  // second run away covers a byte far past any end of file.
  OVERLAPPED beyond_end{};
  beyond_end.Offset = 0xFFFFFFFE;
  beyond_end.OffsetHigh = 0xFFFFFFFF;
  if (!LockFileEx(m.file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                  &beyond_end)) {
    return m.Fail(Status::kRefused, "in use by another process (locked)");
  }
  // The file itself, links resolved. Where the system cannot name it so (wine, past 260
  // characters), the path that was opened serves: it is checked below like the final one.
  static wchar_t final_path[32768];
  const DWORD n = GetFinalPathNameByHandleW(m.file, final_path, 32768, FILE_NAME_NORMALIZED);
  if (n > 0 && n < 32768) {
    m.wide_target.assign(final_path, n);
  } else {
    m.wide_target = wide;
  }

  BY_HANDLE_FILE_INFORMATION now;
  if (!Identify(m.wide_target, &now) || !SameFile(now, m.before)) {
    return m.Fail(Status::kRefused, "changed while being opened; left as it was");
  }
  // The content is read through the handle that was opened, locked and checked.
  m.crt = _open_osfhandle(reinterpret_cast<intptr_t>(m.file), _O_RDONLY | _O_BINARY);
  if (m.crt < 0) return m.Fail(Status::kUnreadable, strerror(errno));
  if (m.before.nNumberOfLinks > 1) {
    return m.Fail(Status::kRefused, "has " + std::to_string(m.before.nNumberOfLinks) +
                                        " hard links; replacing it would split them");
  }
  if ((m.before.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
    return m.Fail(Status::kRefused, std::string("not writable: ") + strerror(EACCES));
  }
  return Status::kOk;
}

SafeReplace::Status SafeReplace::Commit(const unsigned char* data, std::size_t size) {
  return impl_->Replace(data, size);
}

SafeReplace::Status SafeReplace::Impl::Replace(const unsigned char* data, std::size_t size) {
  const std::size_t slash = wide_target.find_last_of(L"\\/");
  const std::wstring dir = wide_target.substr(0, slash);
  // A short prefix of the name keeps the temporary name within the file system's limit.
  const std::wstring stem = dir + L"\\." + wide_target.substr(slash + 1, 32) + L".xorscramble-";
  // Until it takes the file's place the temporary file is the caller's alone: without a
  // descriptor that says so, it is not made at all.
  PSECURITY_DESCRIPTOR caller_only = CallerOnly();
  if (caller_only == nullptr) {
    return Fail(Status::kRefused, "cannot make a private temporary file: " + LastReason());
  }
  SECURITY_ATTRIBUTES private_file{sizeof private_file, caller_only, FALSE};
  HANDLE temp = INVALID_HANDLE_VALUE;
  std::wstring temp_path;
  std::wstring suffix;
  DWORD create_error = ERROR_SUCCESS;
  for (unsigned attempt = 0; temp == INVALID_HANDLE_VALUE && attempt < 100; ++attempt) {
    if (!RandomSuffix(&suffix)) {
      create_error = ERROR_GEN_FAILURE;
      break;
    }
    temp_path = stem + suffix;
    if (temp_path.size() >= sizeof g_temp_path / sizeof g_temp_path[0]) {
      create_error = ERROR_FILENAME_EXCED_RANGE;
      break;
    }
    // Sharing delete lets the console handler remove it while it is being written.
    temp = CreateFileW(temp_path.c_str(), GENERIC_WRITE | WRITE_DAC, FILE_SHARE_DELETE,
                       &private_file, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    create_error = GetLastError();
    if (temp == INVALID_HANDLE_VALUE && create_error != ERROR_FILE_EXISTS) break;
  }
  LocalFree(caller_only);
  if (temp == INVALID_HANDLE_VALUE) {
    return Fail(Status::kRefused, "cannot create a temporary file in " + Printable(Narrow(dir)) +
                                      ": " + Describe(create_error));
  }
  wcscpy(g_temp_path, temp_path.c_str());
  InterlockedExchange(&g_armed, 1);

  // Undoes everything but the file's lock: the original stays exactly as it was, and a temporary
  // file that cannot be removed is named.
  auto abandon = [&](std::string why) {
    if (temp != INVALID_HANDLE_VALUE) CloseHandle(temp);
    InterlockedExchange(&g_armed, 0);
    if (!DeleteFileW(temp_path.c_str())) {
      why += "; the temporary file " + Printable(Narrow(temp_path)) +
             " could not be removed: " + LastReason();
    }
    return Fail(Status::kRefused, std::move(why));
  };

  for (std::size_t done = 0; done < size;) {
    const DWORD piece = size - done < (1u << 30) ? static_cast<DWORD>(size - done) : (1u << 30);
    DWORD put = 0;
    if (!WriteFile(temp, data + done, piece, &put, nullptr) || put == 0) {
      return abandon("cannot write the new content: " + LastReason());
    }
    done += put;
  }
  if (!FlushFileBuffers(temp)) return abandon("cannot write the new content: " + LastReason());
  const BOOL closed = CloseHandle(temp);
  temp = INVALID_HANDLE_VALUE;
  if (!closed) return abandon("cannot write the new content: " + LastReason());
  // Attributes that say how the file is shown and backed up go with the content.
  const DWORD shown =
      before.dwFileAttributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                 FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
  if (!SetFileAttributesW(temp_path.c_str(), shown != 0 ? shown : FILE_ATTRIBUTE_NORMAL)) {
    return abandon("cannot keep its attributes: " + LastReason());
  }

  BY_HANDLE_FILE_INFORMATION now_open;
  BY_HANDLE_FILE_INFORMATION now_path;
  const uint64_t before_size = (uint64_t{before.nFileSizeHigh} << 32) | before.nFileSizeLow;
  if (before_size != size || !GetFileInformationByHandle(file, &now_open) ||
      !Identify(wide_target, &now_path) || !SameContent(now_open, before) ||
      !SameFile(now_path, before)) {
    return abandon("changed while being scrambled; left as it was");
  }
  // Where ReplaceFileW cannot apply, the new file is moved into place with the file's
  // permissions copied; its owner, streams and creation time are then the new file's.
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR security = nullptr;
  const DWORD read_security = GetSecurityInfo(file, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                              nullptr, nullptr, &dacl, nullptr, &security);
  if (read_security != ERROR_SUCCESS) {
    return abandon("cannot read its permissions: " + Describe(read_security));
  }
  // Windows will not replace a file that is open, even for delete: the lock goes here.
  CloseFile();
  // ReplaceFileW keeps what makes the file the same to Windows: its security descriptor (owner
  // and permissions), attributes, creation time and alternate data streams. A file in use is
  // retried for a moment: 0.6 s in all.
  bool replaced = false;
  bool fallback = false;
  bool permissions_kept = true;
  DWORD error = ERROR_SUCCESS;
  for (DWORD wait = 10; !replaced; wait *= 2) {
    // Whether another program holds the file without sharing its deletion, asked first: a
    // ReplaceFileW that fails on it may leave files of its own behind (wine does).
    const HANDLE probe = CreateFileW(wide_target.c_str(), DELETE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (probe == INVALID_HANDLE_VALUE && GetLastError() == ERROR_SHARING_VIOLATION) {
      error = ERROR_SHARING_VIOLATION;
    } else {
      if (probe != INVALID_HANDLE_VALUE) CloseHandle(probe);
      replaced = fallback ? MoveFileExW(temp_path.c_str(), wide_target.c_str(),
                                        MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0
                          : ReplaceFileW(wide_target.c_str(), temp_path.c_str(), nullptr,
                                         REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr) != 0;
      if (replaced) break;
      error = GetLastError();
      if (!fallback && ReplaceCannotApply(error)) {
        fallback = true;
        // A null DACL is one that lets everybody in, and is kept as such.
        error = SetNamedSecurityInfoW(temp_path.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                      nullptr, nullptr, dacl, nullptr);
        permissions_kept = error == ERROR_SUCCESS;
        if (!permissions_kept) break;
        continue;
      }
    }
    if (!Transient(error) || wait > 320) break;
    Sleep(wait);
  }
  LocalFree(security);
  if (!permissions_kept) return abandon("cannot keep its permissions: " + Describe(error));
  if (!replaced) {
    return abandon(InUse(error) ? "in use by another program; left as it was"
                                : "cannot replace it: " + Describe(error));
  }
  InterlockedExchange(&g_armed, 0);
  return Status::kOk;
}
