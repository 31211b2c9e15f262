// SPDX-License-Identifier: MIT
// The words for a Windows error in the command's messages: the same as on Linux for the common
// failures, the system's own for the rest.

#ifndef XORSCRAMBLE_SYSTEM_ERROR_WINDOWS_H_
#define XORSCRAMBLE_SYSTEM_ERROR_WINDOWS_H_

#include <windows.h>

#include <string>

std::string Describe(DWORD error);

#endif  // XORSCRAMBLE_SYSTEM_ERROR_WINDOWS_H_
