// SPDX-License-Identifier: MIT
#include "open_file.h"

#include <limits.h>

std::string ShownPath(int fd, const std::string& name) {
  char where[PATH_MAX];
  const ssize_t n = readlink(ProcPath(fd).path, where, sizeof where - 1);
  std::string shown = n > 0 ? std::string(where, static_cast<std::size_t>(n)) : "?";
  if (!name.empty()) shown += (shown == "/" ? "" : "/") + name;
  return shown;
}
