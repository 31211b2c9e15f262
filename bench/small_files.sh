#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Times xorscramble as a user with a folder of small JSON files runs it, one run per file, against
# a C program that does the same durable rewrite (bench/rewrite_floor.c), alternating blocks of
# runs; and `xorscramble --version` against a C program that prints a line (bench/hello.c).
#
# usage: bench/small_files.sh [BUILD_DIR [FILES [ROUNDS]]]
# The files go to $TMPDIR (default /var/tmp), which should be on a real disk.
set -euo pipefail
build=$(realpath "${1:-build}")
files=${2:-2000}
rounds=${3:-20}
runs=$((files / rounds))

dir=$(mktemp -d "${TMPDIR:-/var/tmp}/xorscramble-small.XXXXXX")
trap 'rm -rf "$dir"' EXIT
for ((i = 0; i < runs * rounds; ++i)); do head -c 2048 /dev/urandom >"$dir/$i"; done
sync

echo "== $((runs * rounds)) files of 2 KiB, one run each"
"$build/bench/spawn_bench" -f "$dir" "$rounds" "$runs" -- "$build/xorscramble" -- \
  "$build/bench/rewrite_floor"
echo "== start-up: --version"
"$build/bench/spawn_bench" "$rounds" 100 -- "$build/xorscramble" --version -- \
  "$build/bench/hello"
