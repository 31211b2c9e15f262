// SPDX-License-Identifier: MIT
#include "temp_file.h"

#include <wchar.h>
// sddl.h and bcrypt.h need windows.h first.
#include <bcrypt.h>
#include <sddl.h>

#include "platform.h"

namespace {

// The temporary file, for the console handler: g_armed says whether g_temp_path names a file of
// ours that must go.
wchar_t g_temp_path[32768];
volatile LONG g_armed = 0;

BOOL WINAPI RemoveTempOnInterrupt(DWORD) {
  if (InterlockedCompareExchange(&g_armed, 0, 0) != 0) DeleteFileW(g_temp_path);
  return FALSE;  // and let the default handler end the process
}

// A security descriptor that lets the caller's own account read, write, delete and set the
// permissions of a file, and nobody else anything. The account is named by its SID, not as "the
// owner", so that it holds wherever the file's owner is mapped otherwise (wine gives a file that
// only "the owner" may use no permission bits at all). Null, with the error in GetLastError, where
// it cannot be built; LocalFree releases it.
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

// Eight characters that nobody can guess, from the system's random generator.
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

// The new content could not be written: GetLastError() says why.
Outcome WriteFailed() { return Outcome::FailedOnWindows(Outcome::Step::kWriting, GetLastError()); }

}  // namespace

void TempFile::CatchInterrupts() { SetConsoleCtrlHandler(RemoveTempOnInterrupt, TRUE); }

Outcome TempFile::Create(const std::wstring& dir, const std::wstring& target) {
  // A short prefix of the target's name keeps the name within the file system's limit.
  const std::wstring stem = dir + L"\\." + target.substr(0, 32) + L".xorscramble-";
  // Without a descriptor that keeps it private, the file is not made at all.
  PSECURITY_DESCRIPTOR caller_only = CallerOnly();
  if (caller_only == nullptr) {
    return Outcome::FailedOnWindows(Outcome::Step::kMakingPrivate, GetLastError());
  }
  SECURITY_ATTRIBUTES private_file{sizeof private_file, caller_only, FALSE};
  DWORD error = ERROR_FILE_EXISTS;
  std::wstring suffix;
  for (unsigned attempt = 0; error == ERROR_FILE_EXISTS && attempt < 100; ++attempt) {
    if (!RandomSuffix(&suffix)) {
      error = ERROR_GEN_FAILURE;
      break;
    }
    const std::wstring candidate = stem + suffix;
    if (candidate.size() >= sizeof g_temp_path / sizeof g_temp_path[0]) {
      error = ERROR_FILENAME_EXCED_RANGE;
      break;
    }
    // Sharing delete lets the console handler remove it while it is being written.
    handle_ = CreateFileW(candidate.c_str(), GENERIC_WRITE | WRITE_DAC, FILE_SHARE_DELETE,
                          &private_file, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    error = handle_ == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
    if (error == ERROR_SUCCESS) path_ = candidate;
  }
  LocalFree(caller_only);
  if (error != ERROR_SUCCESS) {
    return Outcome::FailedOnWindows(Outcome::Step::kMakingTemporary, error)
        .About(platform::Narrow(dir));
  }
  wcscpy(g_temp_path, path_.c_str());
  InterlockedExchange(&g_armed, 1);
  return Outcome::Done();
}

Outcome TempFile::Write(const unsigned char* data, std::size_t size) {
  for (std::size_t done = 0; done < size;) {
    const DWORD piece = size - done < (1u << 30) ? static_cast<DWORD>(size - done) : (1u << 30);
    DWORD put = 0;
    if (!WriteFile(handle_, data + done, piece, &put, nullptr) || put == 0) return WriteFailed();
    done += put;
  }
  return Outcome::Done();
}

Outcome TempFile::Finish() {
  if (!FlushFileBuffers(handle_)) return WriteFailed();
  const BOOL closed = CloseHandle(handle_);
  handle_ = INVALID_HANDLE_VALUE;
  return closed ? Outcome::Done() : WriteFailed();
}

void TempFile::Replaced() {
  InterlockedExchange(&g_armed, 0);
  path_.clear();
}

Outcome::Leftover TempFile::Discard() {
  if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  handle_ = INVALID_HANDLE_VALUE;
  if (!path_.empty()) {
    InterlockedExchange(&g_armed, 0);
    if (!DeleteFileW(path_.c_str())) {
      left_ = {platform::Narrow(path_), 0, GetLastError()};
    }
    path_.clear();
  }
  return left_;
}
