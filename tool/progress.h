// SPDX-License-Identifier: MIT
// How far a long run has come, on standard error where that is a terminal: once a run has taken
// about a second, one line with the bytes done (of how many, where that is known) and the rate,
// written over a few times a second and cleared at the end, or before any message. Nothing at all
// where standard error is not a terminal, so that scripts and logs see nothing of it.
//
// One run at a time: the state is this unit's alone.

#ifndef XORSCRAMBLE_PROGRESS_H_
#define XORSCRAMBLE_PROGRESS_H_

#include <cstdint>
#include <string>

namespace progress {

// A run on `name` starts, of `total` bytes (0 where that is not known).
void Start(const std::string& name, std::uint64_t total);

// `done` bytes of it are done.
void Advance(std::uint64_t done);

// Takes the line away, if one is shown.
void Clear();

}  // namespace progress

#endif  // XORSCRAMBLE_PROGRESS_H_
