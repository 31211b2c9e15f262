// SPDX-License-Identifier: MIT
// The words for a Windows error in the command's messages: the same as on Linux for the common
// failures, the system's own for the rest.
#include <errno.h>
#include <string.h>
#include <windows.h>

#include <string>

#include "platform.h"
#include "safe_replace.h"

std::string ErrorText(int error, unsigned long windows_error) {
  if (windows_error == 0) return strerror(error);
  switch (windows_error) {
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
      nullptr, windows_error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string reason =
      text != nullptr ? platform::Narrow(text) : "error " + std::to_string(windows_error);
  LocalFree(text);
  while (!reason.empty() &&
         (reason.back() == '\n' || reason.back() == '\r' || reason.back() == '.')) {
    reason.pop_back();
  }
  return reason;
}
