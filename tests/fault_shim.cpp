// Preloaded into xorscramble by tool_test to act at the moment the new content has been written,
// the first fsync: XORSCRAMBLE_TEST_TOUCH=path moves that file's modification time, as another
// writer would; XORSCRAMBLE_TEST_SIGNAL=n raises signal n.

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>

extern "C" int fsync(int fd) {
  using Fsync = int (*)(int);
  static const auto real = reinterpret_cast<Fsync>(dlsym(RTLD_NEXT, "fsync"));
  static bool fired = false;
  if (!fired) {
    fired = true;
    if (const char* path = getenv("XORSCRAMBLE_TEST_TOUCH")) {
      const struct timespec long_ago[2] = {{1, 0}, {1, 0}};
      utimensat(AT_FDCWD, path, long_ago, 0);
    }
    if (const char* sig = getenv("XORSCRAMBLE_TEST_SIGNAL")) raise(atoi(sig));
  }
  return real(fd);
}
