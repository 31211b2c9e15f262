// SPDX-License-Identifier: MIT
/* The floor for xorscramble on small files: the same durable rewrite of one file, written plainly
 * in C with nothing else: read it, XOR it, write a temporary file beside it, fsync, rename it over
 * the file, fsync the folder. A one-byte key: the key's value costs nothing.
 *
 *   rewrite_floor FILE
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <libgen.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const int in = open(argv[1], O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (in < 0 || fstat(in, &st) != 0) return 1;
  unsigned char* data = malloc((size_t)st.st_size + 1);
  if (data == NULL || read(in, data, (size_t)st.st_size) != st.st_size) return 1;
  for (off_t i = 0; i < st.st_size; ++i) data[i] ^= 0x5A;

  char temp[4096];
  snprintf(temp, sizeof temp, "%s.floor-XXXXXX", argv[1]);
  const int out = mkostemp(temp, O_CLOEXEC);
  if (out < 0 || fchmod(out, st.st_mode & 07777) != 0 ||
      write(out, data, (size_t)st.st_size) != st.st_size || fsync(out) != 0 || close(out) != 0 ||
      rename(temp, argv[1]) != 0) {
    return 1;
  }
  char folder_path[4096];
  snprintf(folder_path, sizeof folder_path, "%s", argv[1]);
  const int folder = open(dirname(folder_path), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0 || fsync(folder) != 0) return 1;
  return 0;
}
