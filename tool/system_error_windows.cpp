// SPDX-License-Identifier: MIT
#include "system_error_windows.h"

#include <errno.h>
#include <string.h>

#include "platform.h"

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
  std::string reason = text != nullptr ? platform::Narrow(text) : "error " + std::to_string(error);
  LocalFree(text);
  while (!reason.empty() &&
         (reason.back() == '\n' || reason.back() == '\r' || reason.back() == '.')) {
    reason.pop_back();
  }
  return reason;
}
