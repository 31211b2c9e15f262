// SPDX-License-Identifier: MIT
// hold_open FILE PROGRAM [ARGUMENT...]: opens FILE as an editor, an indexer or a virus scanner
// would, sharing reading and writing but not deletion, runs PROGRAM while it holds the file, and
// exits with PROGRAM's status (125 if it could not do so). For the Windows command test.

#include <windows.h>

#include <string>

// shellapi.h needs windows.h first.
#include <shellapi.h>

int main() {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argv == nullptr || argc < 3) return 125;
  const HANDLE held = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (held == INVALID_HANDLE_VALUE) return 125;
  std::wstring command;
  for (int i = 2; i < argc; ++i)
    command += (i > 2 ? L" \"" : L"\"") + std::wstring(argv[i]) + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                      &startup, &process)) {
    return 125;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD status = 125;
  GetExitCodeProcess(process.hProcess, &status);
  CloseHandle(held);
  return static_cast<int>(status);
}
