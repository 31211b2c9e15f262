// SPDX-License-Identifier: MIT
/* Times two programs run many times, alternately, the way a user runs a command once per file:
 *
 *   spawn_bench [-f DIR] ROUNDS RUNS -- SUBJECT [ARG...] -- FLOOR [ARG...]
 *
 * Each round runs SUBJECT RUNS times and FLOOR RUNS times, which of the two first alternating from
 * round to round. With -f, each run of either gets the next file of DIR (names 0, 1, ...) as its
 * last argument, so that every file is rewritten once by each. Prints each one's time per run
 * (median over the rounds, ms) and the median of the rounds' time ratios, subject / floor.
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>

extern char** environ;

static double Now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

/* Runs argv RUNS times (with files first .. first + RUNS - 1 appended when dir is set), its output
 * discarded; seconds. */
static double Runs(char** argv, int argc, const char* dir, int first, int runs) {
  char file[4096];
  posix_spawn_file_actions_t quiet;
  posix_spawn_file_actions_init(&quiet);
  posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
  const double start = Now();
  for (int i = 0; i < runs; ++i) {
    if (dir != NULL) {
      snprintf(file, sizeof file, "%s/%d", dir, first + i);
      argv[argc] = file;
    }
    pid_t pid;
    int status;
    if (posix_spawn(&pid, argv[0], &quiet, NULL, argv, environ) != 0 ||
        waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      fprintf(stderr, "spawn_bench: %s failed\n", argv[0]);
      exit(1);
    }
  }
  const double took = Now() - start;
  posix_spawn_file_actions_destroy(&quiet);
  return took;
}

static int Less(const void* a, const void* b) {
  const double x = *(const double*)a;
  const double y = *(const double*)b;
  return (x > y) - (x < y);
}

static double Median(double* values, int n) {
  qsort(values, (size_t)n, sizeof *values, Less);
  return n % 2 != 0 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

int main(int argc, char** argv) {
  const char* dir = NULL;
  int at = 1;
  if (argc > 2 && strcmp(argv[1], "-f") == 0) {
    dir = argv[2];
    at = 3;
  }
  if (argc < at + 6 || strcmp(argv[at + 2], "--") != 0) {
    fprintf(stderr, "usage: spawn_bench [-f DIR] ROUNDS RUNS -- SUBJECT [ARG...] -- FLOOR [ARG...]\n");
    return 2;
  }
  const int rounds = atoi(argv[at]);
  const int runs = atoi(argv[at + 1]);
  /* Two argument vectors, each with room for the file and the terminating null. */
  char* subject[64] = {0};
  char* floor_argv[64] = {0};
  int n_subject = 0;
  int n_floor = 0;
  int i = at + 3;
  for (; i < argc && strcmp(argv[i], "--") != 0 && n_subject < 62; ++i) subject[n_subject++] = argv[i];
  for (++i; i < argc && n_floor < 62; ++i) floor_argv[n_floor++] = argv[i];
  if (rounds < 1 || runs < 1 || n_subject == 0 || n_floor == 0) return 2;

  double* subject_s = calloc((size_t)rounds, sizeof(double));
  double* floor_s = calloc((size_t)rounds, sizeof(double));
  double* ratios = calloc((size_t)rounds, sizeof(double));
  for (int r = 0; r < rounds; ++r) {
    const int first = r * runs;
    if (r % 2 == 0) {
      floor_s[r] = Runs(floor_argv, n_floor, dir, first, runs);
      subject_s[r] = Runs(subject, n_subject, dir, first, runs);
    } else {
      subject_s[r] = Runs(subject, n_subject, dir, first, runs);
      floor_s[r] = Runs(floor_argv, n_floor, dir, first, runs);
    }
    ratios[r] = subject_s[r] / floor_s[r];
  }
  const double ratio = Median(ratios, rounds);
  printf("%-24s %.3f ms per run (median of %d rounds of %d)\n", subject[0],
         Median(subject_s, rounds) / runs * 1e3, rounds, runs);
  printf("%-24s %.3f ms per run\n", floor_argv[0], Median(floor_s, rounds) / runs * 1e3);
  printf("time ratio               %.2f (median of rounds; min %.2f, max %.2f)\n", ratio,
         ratios[0], ratios[rounds - 1]);
  return 0;
}
