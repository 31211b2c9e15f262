#!/usr/bin/env bash
# Builds a Release tree in build-bench/ and measures every performance target: the codec against
# memcpy and read() (Google Benchmark, medians of 7 repetitions, each alternating the two) and the
# command against a durable copy (bench/command_bench.sh, median of 9 alternating pairs).
# Installs Google Benchmark and GNU time first when they are missing (Debian).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-packages.sh libbenchmark-dev time

cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build-bench -j "$(nproc)" >/dev/null

build-bench/bench/codec_bench --benchmark_repetitions=7 --benchmark_report_aggregates_only=true \
  --benchmark_display_aggregates_only=true --benchmark_min_time=0.1 \
  --benchmark_filter="${BENCH_FILTER:-.}"
echo
bench/command_bench.sh build-bench/xorscramble 128 9
