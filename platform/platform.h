// SPDX-License-Identifier: MIT
// What differs between Windows and Linux beyond the file operations, shared by the library and the
// command: the program's arguments as UTF-8, and the conversions between UTF-8 and the wide
// strings of Windows. Header-only, so that both use the one copy without the library exporting it.

#ifndef XORCODEC_PLATFORM_H_
#define XORCODEC_PLATFORM_H_

#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
// shellapi.h needs windows.h first.
#include <shellapi.h>
#endif

namespace platform {

#ifdef _WIN32

// `utf8` as a wide string; where it is not valid UTF-8, it is taken in the system's ANSI code page,
// as the narrow Windows functions would take it.
inline std::wstring Widen(const std::string& utf8) {
  for (const UINT page : {UINT{CP_UTF8}, UINT{CP_ACP}}) {
    const DWORD flags = page == CP_UTF8 ? MB_ERR_INVALID_CHARS : 0;
    const int n = MultiByteToWideChar(page, flags, utf8.c_str(), -1, nullptr, 0);
    if (n <= 0) continue;
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(page, flags, utf8.c_str(), -1, wide.data(), n);
    wide.resize(static_cast<std::size_t>(n - 1));
    return wide;
  }
  return std::wstring();
}

inline std::string Narrow(const std::wstring& wide) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return std::string();
  std::string utf8(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, utf8.data(), n, nullptr, nullptr);
  utf8.resize(static_cast<std::size_t>(n - 1));
  return utf8;
}

// The arguments, argv[0] included, taken from the wide command line, so that any file name
// survives (argv holds them in the ANSI code page).
inline std::vector<std::string> Arguments(int argc, char** argv) {
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr) return std::vector<std::string>(argv, argv + argc);
  std::vector<std::string> args;
  for (int i = 0; i < count; ++i) args.push_back(Narrow(wide[i]));
  LocalFree(wide);
  return args;
}

#else

// The arguments, argv[0] included: on Linux they are bytes, and stay so.
inline std::vector<std::string> Arguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

#endif

}  // namespace platform

#endif  // XORCODEC_PLATFORM_H_
