#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Times xorscramble on a page-cached file against a durable copy of the same bytes
# (cat f > g; sync g), in alternating pairs, and reports the median of the pairs' time ratios and
# the command's peak memory (max RSS) above what it takes to start at all (xorscramble --version);
# and against the same copy put in the file's place (... ; mv g f), which pays, as the command
# does, for removing the old file. FORM says which of the command's forms is timed: "in-place"
# (the default); "output", `xorscramble -o g f`, a new file, against the same durable copy; or
# "stdout", `xorscramble -c f >/dev/null`, against `cat f >/dev/null`.
#
# usage: bench/command_bench.sh [XORSCRAMBLE [SIZE_MIB [PAIRS [COLD_SECONDS [TARGET [FORM]]]]]]
# With COLD_SECONDS, every timed run comes after a pause that long, in which memory freed by the
# run before goes back to the host (on a virtual machine that reclaims free memory), so that the
# run finds it cold, as a user's first run of the day does. The file goes to $TMPDIR (default
# /var/tmp), which should be on a real disk. With TARGET, the time ratio is checked against it too.
set -euo pipefail

tool=$(realpath "${1:-build/xorscramble}")
mib=${2:-128}
pairs=${3:-9}
cold=${4:-0}
target=${5:-}
form=${6:-in-place}
command -v /usr/bin/time >/dev/null || { echo "needs GNU time (apt-get install time)" >&2; exit 2; }

dir=$(mktemp -d "${TMPDIR:-/var/tmp}/xorscramble-bench.XXXXXX")
trap 'rm -rf "$dir"' EXIT
head -c "${mib}M" /dev/urandom >"$dir/f"
cat "$dir/f" >/dev/null

# Prints the seconds that "$@" takes; its max RSS in KiB goes to the file $dir/rss.
timed() {
  local start=$EPOCHREALTIME
  /usr/bin/time -f %M -o "$dir/rss" "$@"
  echo "$start $EPOCHREALTIME" | awk '{ printf "%.6f\n", $2 - $1 }'
}
copy() {
  sleep "$cold"
  if [[ $form == stdout ]]; then
    timed sh -c 'cat "$1" >/dev/null' sh "$dir/f"
  else
    timed sh -c 'cat "$1" >"$2" && sync "$2"' sh "$dir/f" "$dir/g"
  fi
  rm -f "$dir/g"
}
scramble() {
  sleep "$cold"
  case $form in
    output) timed "$tool" -o "$dir/g" "$dir/f" ;;
    stdout) timed sh -c 'exec "$1" -c "$2" >/dev/null' sh "$tool" "$dir/f" ;;
    *) timed "$tool" "$dir/f" ;;
  esac
  rm -f "$dir/g"
  cp "$dir/rss" "$dir/rss.scramble"
}
# The same durable copy, then put in the file's place as the command puts its own: the old file's
# removal, which the first floor never pays, is in it.
replace() {
  [[ $form == in-place ]] || { echo 1; return; }
  sleep "$cold"
  timed sh -c 'cat "$1" >"$2" && sync "$2" && mv "$2" "$1"' sh "$dir/f" "$dir/g"
}

# What the command takes in memory to start and exit, whatever the file.
/usr/bin/time -f %M -o "$dir/rss" "$tool" --version >/dev/null
start_rss=$(<"$dir/rss")

rows=()
rss_max=0
for ((i = 0; i < pairs; i++)); do
  # Alternate which goes first, so that neither always finds the machine as the other left it.
  if ((i % 2 == 0)); then
    c=$(copy); s=$(scramble); m=$(replace)
  else
    m=$(replace); s=$(scramble); c=$(copy)
  fi
  rss=$(<"$dir/rss.scramble")
  ((rss > rss_max)) && rss_max=$rss
  rows+=("$s $c $m")
done

floor=$([[ $form == stdout ]] && echo "cat >/dev/null" || echo "cat > g; sync g")
subject=$(case $form in output) echo "xorscramble -o g" ;; stdout) echo "xorscramble -c" ;;
  *) echo "xorscramble" ;; esac)
printf '%s\n' "${rows[@]}" | awk -v mib="$mib" -v rss="$rss_max" -v start="$start_rss" \
  -v cold="$cold" -v target="$target" -v form="$form" -v floor="$floor" -v subject="$subject" '
  { s[NR] = $1; c[NR] = $2; r[NR] = $1 / $2; m[NR] = $3; q[NR] = $1 / $3 }
  function median(a, n,   i, j, t) {
    for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (a[j] < a[i]) { t = a[i]; a[i] = a[j]; a[j] = t }
    return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
  }
  END {
    n = NR
    ms = median(s, n); mc = median(c, n); mr = median(r, n); mm = median(m, n); mq = median(q, n)
    limit = start + 16 * 1024
    printf "file                 %d MiB, page-cached, %d pairs%s\n", mib, n,
           (cold > 0 ? sprintf(", each run after %d s idle (cold)", cold) : " (warm)")
    printf "%-20s %.3f s (median)\n", subject, ms
    printf "%-20s %.3f s (median)\n", floor, mc
    if (target != "")
      printf "time ratio           %.2f (median of pairs; target <= %s): %s\n", mr, target,
             mr <= target + 0 ? "met" : "NOT met"
    else
      printf "time ratio           %.2f (median of pairs)\n", mr
    if (form == "in-place")
      printf "... ; mv g f         %.3f s (median); time ratio %.2f (median of runs)\n", mm, mq
    printf "peak memory          %.1f MiB (start + %.1f MiB; target <= start + 16 MiB): %s\n",
           rss / 1024, (rss - start) / 1024, rss <= limit ? "met" : "NOT met"
  }'
