#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds a Release tree in build-bench/ and measures every performance target: the codec against
# memcpy and read() (Google Benchmark, medians of 7 repetitions, each alternating the two), the
# command against a durable copy on large files, warm and cold (bench/command_bench.sh, median of 9
# alternating pairs), its peak memory on a file past 4 GiB (bench/big_file.sh), and on 2,000 small
# files against a C program doing the same durable rewrite, with its start-up against a trivial C
# program (bench/small_files.sh).
# Installs Google Benchmark and GNU time first when they are missing (Debian).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-packages.sh libbenchmark-dev time

cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build-bench -j "$(nproc)" >/dev/null

build-bench/bench/codec_bench --benchmark_repetitions=7 --benchmark_report_aggregates_only=true \
  --benchmark_display_aggregates_only=true --benchmark_min_time=0.1 \
  --benchmark_filter="${BENCH_FILTER:-.}"
# The command on large files, with memory warm and cold (after 5 s idle), against the same floor
# measured the same way (targets: 1.05 warm, 1.3 cold); its peak memory past 4 GiB; then on many
# small files, and its start-up.
for mib in 128 1024; do
  for cold in 0 5; do
    echo
    target=$([[ $cold == 0 ]] && echo 1.05 || echo 1.3)
    bench/command_bench.sh build-bench/xorscramble "$mib" 9 "$cold" "$target"
  done
done
echo
bench/big_file.sh build-bench/xorscramble
echo
bench/small_files.sh build-bench 2000 20
