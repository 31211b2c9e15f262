#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The whole test run, in stages that run in this order, or alone where named:
#   install   installs the Debian packages the rest needs (only those missing), the 32-bit wine
#             (Debian's wine32:i386, which adds the i386 architecture to apt) included where a
#             32-bit program runs; through sudo when not root, else one line for root to paste;
#   build     checks that the C++ sources are laid out as .clang-format says, builds with warnings
#             as errors and runs the whole suite;
#   sanitize  builds again with AddressSanitizer and UndefinedBehaviorSanitizer (clang) and runs
#             the whole suite under them, leaks included; builds the library shared, runs its
#             suite and checks that it exports its public names alone; and runs the libFuzzer
#             target for a bounded time (FUZZ_SECONDS, default 60);
#   cross     cross-builds for 32-bit Linux, statically, and runs the codec and command suites
#             under qemu-user (qemu-i386-static, named to CTest: the kernel need not run 32-bit
#             programs); cross-builds for 32- and 64-bit Windows with mingw-w64, checks that the
#             DLL exports its public names alone, runs both suites under wine and packs each build
#             into a .zip (where wine cannot start, or the 32-bit one is missing, its suite counts
#             as skipped);
#   package   builds the Debian package (scripts/package.sh) and checks it with lintian; then,
#             unless xorscramble is installed already, installs it, uses the installed command,
#             man page, CMake package and pkg-config file, and removes it again.
#
# usage: scripts/test.sh [install | build | sanitize | cross | package]...
#
# Ends with every skipped test and its reason, and the count of tests passed, failed and skipped;
# exits non-zero when anything failed. A stage run alone expects what `install` installs. The
# machine keeps only the packages the run needs. Root or sudo is needed only to install packages;
# tests that need root say they are skipped without it.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake make g++ clang clang-format libclang-rt-14-dev llvm libgtest-dev libgmock-dev
  nlohmann-json3-dev pkgconf man-db g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine64
  g++-i686-linux-gnu qemu-user-static googletest dpkg-dev file lintian acl attr e2fsprogs
  xfsprogs btrfs-progs exfatprogs exfat-fuse bindfs)
# shellcheck source=scripts/as-root.sh
source scripts/as-root.sh
jobs=$(nproc)

# Whether this kernel runs 32-bit x86 programs, found by running the smallest one: an ELF header,
# one segment, and exit(0) (mov $1,%eax; xor %ebx,%ebx; int $0x80). Prints why not, where not.
why_no_32_bit() {
  local probe bytes why
  probe=$(mktemp -p "$PWD" .i386-probe.XXXXXX)
  bytes="7f454c46 01010100 00000000 00000000 02000300 01000000 54800408 34000000 00000000
    00000000 34002000 01000000 00000000 01000000 00000000 00800408 00800408 5d000000 5d000000
    05000000 00100000 b8010000 0031dbcd 80"
  bytes=$(tr -d ' \n' <<<"$bytes")
  # shellcheck disable=SC2059 # the bytes are the format: printf turns each \xHH into its byte
  printf "$(sed 's/../\\x&/g' <<<"$bytes")" >"$probe"
  chmod +x "$probe"
  why=$("$probe" 2>&1) || echo "this machine runs no 32-bit program (${why##*: })"
  rm -f "$probe"
}

# Runs ctest on the build named first and adds its tests to the counts reported at the end, as
# CTest's JUnit report tells them apart (its own summary counts a skipped test as passed), and its
# skipped tests, with their reasons, to the list that ends the run. A failure does not stop the run.
passed=0
failed=0
skipped=0
ctest_failed=0
skips=$(mktemp -p "$PWD" .skips.XXXXXX)
trap 'rm -f "$skips"' EXIT
# What $HOME (three levels down, where wine and font caches put theirs) and /tmp hold now, or once
# the packages are installed: the run must leave them so (checked at its end).
home_now() { find "$HOME" -mindepth 1 -maxdepth 3 2>/dev/null | sort || true; }
tmp_now() { find /tmp -mindepth 1 -maxdepth 1 2>/dev/null | sort || true; }
found_home=$(home_now)
found_tmp=$(tmp_now)
count() { grep -c "status=\"$1\"" "$2" || true; }
run_ctest() {
  local build=$1 junit
  shift
  junit=$(mktemp)
  ctest --output-junit "$junit" "$@" || ctest_failed=1
  passed=$((passed + $(count run "$junit")))
  failed=$((failed + $(count fail "$junit")))
  skipped=$((skipped + $(count notrun "$junit")))
  skips_of "$build" "$junit" >>"$skips"
  rm -f "$junit"
}
# The skipped tests of a JUnit report, a line each: the build, the test, and the reason it gave
# (GoogleTest's lines after "Skipped", or a script's own "skipped: ..." line).
skips_of() {
  awk -v build="$1" '
    /<testcase / {
      skipping = /status="notrun"/
      match($0, /name="[^"]*"/)
      name = substr($0, RSTART + 6, RLENGTH - 7)
      sub(/ +# GetParam\(\) = .*/, "", name)
      why = ""
      taking = 0
      next
    }
    !skipping { next }
    /<\/testcase>/ { print build ": " name ": " (why == "" ? "(no reason given)" : why); skipping = 0; next }
    /^\[  SKIPPED \]/ || /^Google Test trace:/ { taking = 0; next }
    taking { why = why (why == "" ? "" : "; ") $0; next }
    /: Skipped$/ { taking = 1; next }
    /skipped: / && why == "" { why = substr($0, index($0, "skipped: ") + 9) }
  ' "$2" | sed "s/&lt;/</g; s/&gt;/>/g; s/&quot;/\"/g; s/&apos;/'/g; s/&amp;/\\&/g"
}

stage_install() {
  echo "== install what is missing"
  # The 32-bit wine (Debian's wine32:i386, which adds the i386 architecture) only where it can run:
  # not at all on a kernel that runs no 32-bit programs, and taken away again, with all it brought,
  # where it installs but cannot start.
  # One call for all of it, so that a user who cannot install gets one line to paste.
  if [[ -z $wine32_why ]]; then
    echo "this machine runs 32-bit programs: the 32-bit wine is installed, for its suite"
    scripts/install-packages.sh "${packages[@]}" --optional wine32:i386 --check /usr/lib/wine/wine \
      --version
  else
    echo "$wine32_why: the 32-bit wine is not installed"
    scripts/install-packages.sh "${packages[@]}"
  fi
  # What the packages' own scripts made is the machine's, not the run's: systemd's tmpfiles, run
  # when apt upgrades systemd to match an i386 library, makes /root/.ssh.
  found_home=$(home_now)
  found_tmp=$(tmp_now)
}

stage_build() {
  echo "== layout"
  find codec tool platform tests bench fuzz examples -name '*.cpp' -o -name '*.h' |
    xargs clang-format --dry-run -Werror

  echo "== build and test"
  cmake --preset default -DXORCODEC_WERROR=ON
  cmake --build --preset default -j "$jobs"
  run_ctest build --preset default -j "$jobs"
}

stage_sanitize() {
  echo "== build and test under AddressSanitizer and UndefinedBehaviorSanitizer"
  cmake --preset sanitize -DXORCODEC_WERROR=ON
  cmake --build --preset sanitize -j "$jobs"
  run_ctest build-sanitize --preset sanitize -j "$jobs"

  echo "== build the library shared and test it, and that it exports its public names alone"
  cmake -S . -B build-shared -DBUILD_SHARED_LIBS=ON -DXORCODEC_BUILD_TOOL=OFF \
    -DXORCODEC_BUILD_BENCH=OFF -DXORCODEC_BUILD_EXAMPLES=OFF -DBUILD_TESTING=ON -DXORCODEC_WERROR=ON
  cmake --build build-shared -j "$jobs"
  run_ctest build-shared --test-dir build-shared --output-on-failure -j "$jobs"

  echo "== fuzz for ${FUZZ_SECONDS:-60} s"
  # New inputs go to a scratch corpus; the seeds in fuzz/corpus stay as they are.
  mkdir -p build-sanitize/fuzz-corpus
  build-sanitize/fuzz/codec_fuzz -max_total_time="${FUZZ_SECONDS:-60}" -print_final_stats=1 \
    -artifact_prefix=build-sanitize/ \
    build-sanitize/fuzz-corpus fuzz/corpus
}

stage_cross() {
  echo "== build for 32-bit Linux and test under qemu-user"
  cmake -S . -B build-i686 --toolchain cmake/toolchains/i686-linux-gnu.cmake \
    -DXORCODEC_GTEST_SOURCE_DIR=/usr/src/googletest -DXORCODEC_WERROR=ON
  cmake --build build-i686 -j "$jobs"
  run_ctest build-i686 --test-dir build-i686 --output-on-failure -j "$jobs"

  echo "== build the library shared for Windows, and that its DLL exports its public names alone"
  cmake -S . -B build-win64-shared --toolchain cmake/toolchains/mingw-w64-x86_64.cmake \
    -DBUILD_SHARED_LIBS=ON -DXORCODEC_BUILD_TOOL=OFF -DXORCODEC_BUILD_BENCH=OFF \
    -DXORCODEC_BUILD_EXAMPLES=OFF -DBUILD_TESTING=OFF -DXORCODEC_WERROR=ON
  cmake --build build-win64-shared -j "$jobs"
  exports=$(x86_64-w64-mingw32-objdump -p build-win64-shared/codec/libxorcodec.dll |
    sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | grep -E '^\s*\[ *[0-9]+\]' |
    awk '{print $NF}' | c++filt)
  if [[ -z $exports ]] || grep -v '^XorCodec::' <<<"$exports"; then
    echo "the DLL exports names besides XorCodec's (above), or none"
    exit 1
  fi

  for bits in 32 64; do
    echo "== build for ${bits}-bit Windows and test under wine"
    arch=$([[ $bits == 32 ]] && echo i686 || echo x86_64)
    cmake -S . -B "build-win$bits" --toolchain "cmake/toolchains/mingw-w64-$arch.cmake" \
      -DXORCODEC_GTEST_SOURCE_DIR=/usr/src/googletest -DXORCODEC_WERROR=ON
    cmake --build "build-win$bits" -j "$jobs"
    # Where there is no wine for these programs, or it cannot start, the suite cannot run: its
    # tests count as skipped, each with the reason, rather than as passed or failed.
    wine=$(sed -n 's/^XORCODEC_WINE:FILEPATH=//p' "build-win$bits/CMakeCache.txt")
    why=""
    if [[ $bits == 32 && -n $wine32_why ]]; then
      why=$wine32_why
    elif [[ -z $wine || $wine == *-NOTFOUND ]]; then
      why="no wine for ${bits}-bit programs is installed"
    elif ! why=$("$wine" --version 2>&1); then
      why="this machine cannot start $wine (${why##*: })"
    else
      why=""
    fi
    if [[ -n $why ]]; then
      mapfile -t tests < <(ctest --test-dir "build-win$bits" -N | sed -n 's/^ *Test *#[0-9]*: //p')
      echo "$why: the ${#tests[@]} tests of the ${bits}-bit Windows suite are skipped"
      skipped=$((skipped + ${#tests[@]}))
      for test in "${tests[@]}"; do echo "build-win$bits: $test: $why"; done >>"$skips"
    else
      # Everything wine keeps (its prefix, its server's folder, the fonts' cache) goes in the build
      # tree, and no menu entries are made; a second user's run keeps its own in a home of its own.
      # Both go when the suite is done: a prefix is some 700 MB.
      wine_home="$PWD/build-win$bits/wine-home"
      mkdir -p "$wine_home/tmp"
      LC_ALL=C.UTF-8 WINEPREFIX="$PWD/build-win$bits/wine-prefix" WINEDEBUG=-all \
        WINEDLLOVERRIDES=winemenubuilder.exe=d HOME="$wine_home" TMPDIR="$wine_home/tmp" \
        XDG_CACHE_HOME="$wine_home/.cache" XDG_CONFIG_HOME="$wine_home/.config" \
        XDG_DATA_HOME="$wine_home/.local/share" XORSCRAMBLE_TEST_USER_TMPDIR="${TMPDIR:-/tmp}" \
        run_ctest "build-win$bits" --test-dir "build-win$bits" --output-on-failure
      WINEPREFIX="$PWD/build-win$bits/wine-prefix" TMPDIR="$wine_home/tmp" "${wine%/*}/wineserver" -w
      rm -rf "$wine_home" "$PWD/build-win$bits/wine-prefix"
    fi
    (cd "build-win$bits" && cpack -G ZIP)
    cmake -E tar tf "build-win$bits"/xorscramble-*-win"$bits".zip | grep -c '/bin/xorscramble.exe$' >/dev/null
  done
}

stage_package() {
  echo "== Debian package: build, lint, install, use, remove"
  scripts/package.sh
  deb=$(ls build-deb/xorscramble_*.deb)
  # lintian's own temporary files go in the build tree, and with it.
  mkdir -p build-deb/lintian-tmp
  TMPDIR="$PWD/build-deb/lintian-tmp" lintian --fail-on error "$deb"
  rm -rf build-deb/lintian-tmp
  # The machine is left as it was found: a copy the user installed is neither replaced nor removed.
  if dpkg-query -W -f='${Status}' xorscramble 2>/dev/null | grep -q 'ok installed'; then
    echo "xorscramble is installed on this machine already: the package is not installed over it," \
      "used or removed"
  elif ! as_root; then
    echo "installing the package needs root or sudo rights: it is not installed, used or removed"
  else
    "${sudo[@]}" apt-get install -y "./$deb"
    work=$(mktemp -d)
    cp tests/data/sample.json "$work/"
    /usr/bin/xorscramble "$work/sample.json"
    cmp "$work/sample.json" tests/data/sample.json.scrambled
    test -z "$(MANWIDTH=80 man --warnings xorscramble 2>&1 >/dev/null)"
    for mode in cmake pkg-config; do
      cmake -DINSTALLED=ON -DWITH_TOOL=ON -DMODE=$mode -DSOURCE_DIR="$PWD" -DWORK_DIR="$work/$mode" \
        -P tests/consumer/check.cmake
    done
    files=$(dpkg -L xorscramble)
    "${sudo[@]}" apt-get remove -y xorscramble
    for file in $files; do [[ -d $file || ! -e $file ]] || { echo "left after removal: $file"; exit 1; }; done
    rm -rf "$work"
  fi
}

# Whether the 32-bit wine can run here, for the stages that install it and run its suite.
wine32_why=$(why_no_32_bit)
all_stages=(install build sanitize cross package)
stages=("$@")
((${#stages[@]} > 0)) || stages=("${all_stages[@]}")
for stage in "${stages[@]}"; do
  if [[ " ${all_stages[*]} " != *" $stage "* ]]; then
    echo "test.sh: no stage '$stage'; the stages are: ${all_stages[*]}" >&2
    exit 2
  fi
done
for stage in "${stages[@]}"; do "stage_$stage"; done

if [[ -s $skips ]]; then
  echo "skipped, and why:"
  sed 's/^/  /' "$skips"
fi
# Anything the run left in $HOME or /tmp is named, and fails it.
left=$(comm -13 <(echo "$found_home") <(home_now); comm -13 <(echo "$found_tmp") <(tmp_now))
if [[ -n $left ]]; then
  echo "left behind by the run:"
  sed 's/^/  /' <<<"$left"
  failed=$((failed + 1))
fi
echo "checks: ${passed} passed, ${failed} failed, ${skipped} skipped"
# A failed test, or a ctest that could not run its tests at all, fails the run.
((failed == 0 && ctest_failed == 0))
