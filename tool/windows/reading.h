// SPDX-License-Identifier: MIT
// Reading on Windows, for the replace step and the read-out: paths of any length, a file opened
// for reading and nothing else, and the bulk copy of its content (or of a stream's) in pieces
// through one buffer, each passed through the transform at its offset.

#ifndef XORSCRAMBLE_WINDOWS_READING_H_
#define XORSCRAMBLE_WINDOWS_READING_H_

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>

#include "open_file.h"
#include "outcome.h"
#include "safe_replace.h"

// The absolute form of `path` that Windows takes at any length ("\\?\C:\..." or
// "\\?\UNC\server\share\..."), so that paths longer than 260 characters work too.
std::wstring LongPath(const std::wstring& path);

// Opens the file that the UTF-8 `path` names for reading, sharing reading, writing and deletion
// with every other program, into `file`, with its identity and size in `info` and the path it
// was opened by in `wide`. Failed at Step::kFinding where it leads to no file on a disk that can
// be read (a folder: EISDIR).
Outcome OpenToRead(const std::string& path, UniqueHandle* file, BY_HANDLE_FILE_INFORMATION* info,
                   std::wstring* wide);

// Hands on `size` bytes at `data`, transformed; Done, or why not.
using Sink = std::function<Outcome(const unsigned char* data, DWORD size)>;

// Reads `from` from its first byte to its end in pieces, passes each through `transform` and
// hands it to `sink`. Where `sized`, `from` is a file of `size` bytes, read at offsets, which must
// end there (Refused as changed where it grows or shrinks meanwhile); else a stream (a pipe, a
// console) read as it comes, to its end. Failed at Step::kReading where it cannot be read.
Outcome CopyPieces(HANDLE from, bool sized, std::uint64_t size, SafeReplace::Transform transform,
                   const Sink& sink);

#endif  // XORSCRAMBLE_WINDOWS_READING_H_
