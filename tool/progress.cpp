// SPDX-License-Identifier: MIT
#include "progress.h"

#include <stdio.h>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include <chrono>

namespace progress {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kQuiet = std::chrono::seconds(1);         // before the first line
constexpr auto kEvery = std::chrono::milliseconds(250);  // between lines

struct State {
  bool on = false;  // a run is under way, to a terminal
  bool shown = false;
  std::string name;
  std::uint64_t total = 0;
  Clock::time_point start;
  Clock::time_point next;
};

State g_state;

bool Terminal() {
#ifdef _WIN32
  return _isatty(_fileno(stderr)) != 0;
#else
  return isatty(STDERR_FILENO) == 1;
#endif
}

// `bytes` as a person reads them: 812 KiB, 3.4 MiB, 1.2 GiB.
std::string Amount(double bytes) {
  static const char* const kUnits[] = {"bytes", "KiB", "MiB", "GiB", "TiB"};
  int unit = 0;
  while (bytes >= 1024 && unit < 4) {
    bytes /= 1024;
    ++unit;
  }
  char text[32];
  snprintf(text, sizeof text, unit == 0 || bytes >= 100 ? "%.0f %s" : "%.1f %s", bytes,
           kUnits[unit]);
  return text;
}

}  // namespace

void Start(const std::string& name, std::uint64_t total) {
  g_state = State();
  g_state.on = Terminal();
  g_state.name = name;
  g_state.total = total;
  g_state.start = Clock::now();
  g_state.next = g_state.start + kQuiet;
}

void Advance(std::uint64_t done) {
  if (!g_state.on) return;
  const Clock::time_point now = Clock::now();
  if (now < g_state.next) return;
  g_state.next = now + kEvery;
  const double seconds = std::chrono::duration<double>(now - g_state.start).count();
  std::string line = "xorscramble: " + g_state.name + ": " + Amount(static_cast<double>(done));
  if (g_state.total > 0) {
    line += " of " + Amount(static_cast<double>(g_state.total)) + " (" +
            std::to_string(done * 100 / g_state.total) + "%)";
  }
  line += ", " + Amount(static_cast<double>(done) / seconds) + "/s";
  // Back to the line's start, and the rest of the line cleared after the new words.
  fprintf(stderr, "\r%s\033[K", line.c_str());
  fflush(stderr);
  g_state.shown = true;
}

void Clear() {
  if (g_state.shown) {
    fputs("\r\033[K", stderr);
    fflush(stderr);
  }
  g_state = State();
}

}  // namespace progress
