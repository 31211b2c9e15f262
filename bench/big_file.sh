#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The command's peak memory (max RSS) and time on a file just past 4 GiB, against what it takes to
# start at all (xorscramble --version): the content passes through one buffer, so the file's size
# must not show. The file is sparse, made in no time, and goes to $TMPDIR (default /var/tmp),
# which needs 4 GiB free for the new content.
#
# usage: bench/big_file.sh [XORSCRAMBLE]
set -euo pipefail

tool=$(realpath "${1:-build/xorscramble}")
command -v /usr/bin/time >/dev/null || { echo "needs GNU time (apt-get install time)" >&2; exit 2; }
dir=$(mktemp -d "${TMPDIR:-/var/tmp}/xorscramble-bench.XXXXXX")
trap 'rm -rf "$dir"' EXIT

/usr/bin/time -f %M -o "$dir/rss" "$tool" --version >/dev/null
start=$(<"$dir/rss")
truncate -s $(((4 << 30) + 5)) "$dir/f"
/usr/bin/time -f '%M %e' -o "$dir/rss" "$tool" "$dir/f"
read -r peak seconds <"$dir/rss"
awk -v peak="$peak" -v start="$start" -v seconds="$seconds" 'BEGIN {
  printf "file                 4 GiB + 5 bytes, sparse, in %s s\n", seconds
  printf "peak memory          %.1f MiB (start + %.1f MiB; target <= start + 16 MiB): %s\n",
         peak / 1024, (peak - start) / 1024, peak - start <= 16 * 1024 ? "met" : "NOT met"
}'
