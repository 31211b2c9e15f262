#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds a Release tree in build-bench/ and measures every performance target: the codec against
# memcpy and read() (Google Benchmark, medians of 7 repetitions, each alternating the two), the
# command against a durable copy on large files, warm and cold (bench/command_bench.sh, median of 9
# alternating pairs), and with -o against the same copy and -c against cat, its peak memory on a
# file past 4 GiB (bench/big_file.sh), and on 2,000 small files against a C program doing the same
# durable rewrite, with its start-up against a trivial C program (bench/small_files.sh).
# Installs Google Benchmark and GNU time first when they are missing (Debian).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-packages.sh libbenchmark-dev time

cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build-bench -j "$(nproc)" >/dev/null

# The command's rows run on a file system made for them, ext4 as mkfs.ext4 and mount make it by
# default (a journal, no `discard`), on a loop device that reads and writes its image directly:
# so that the figures say what the command costs, not how this machine's disk is mounted. (A disk
# mounted with `discard` and no journal, as some virtual machines' are, makes every removal of a
# file wait for the disk to discard its blocks, which only the command, whose new file takes the
# old one's place, pays.) With TMPDIR set, or without root, they run in $TMPDIR (default /var/tmp).
image= mnt= loop=
trap '[[ -z $mnt ]] || { umount "$mnt" 2>/dev/null; [[ -z $loop ]] || losetup -d "$loop"; rm -rf "$image" "$mnt"; }' EXIT
if [[ -z ${TMPDIR:-} && $(id -u) == 0 ]] && command -v mkfs.ext4 losetup >/dev/null; then
  image=$(mktemp /var/tmp/xorscramble-bench-fs.XXXXXX)
  mnt=$(mktemp -d)
  if truncate -s 12G "$image" && mkfs.ext4 -q -F "$image" &&
    loop=$(losetup --direct-io=on -f --show "$image") && mount "$loop" "$mnt"; then
    export TMPDIR=$mnt
  else
    echo "cannot make a file system for the command's rows here; they run in /var/tmp" >&2
  fi
fi
echo "the command's files: $(findmnt -no FSTYPE,OPTIONS -T "${TMPDIR:-/var/tmp}") (${TMPDIR:-/var/tmp})"

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
# The other forms on 1 GiB, warm: -o against the same durable copy (1.05), -c to /dev/null against
# cat (1.3).
echo
bench/command_bench.sh build-bench/xorscramble 1024 9 0 1.05 output
echo
bench/command_bench.sh build-bench/xorscramble 1024 9 0 1.3 stdout
echo
bench/big_file.sh build-bench/xorscramble
echo
bench/small_files.sh build-bench 2000 20
