#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need (only those missing), then:
#   0. checks that the C++ sources are laid out as .clang-format says;
#   1. builds with warnings as errors and runs the whole suite;
#   2. builds again with AddressSanitizer and UndefinedBehaviorSanitizer (clang) and runs the whole
#      suite under them, leaks included;
#   3. runs the libFuzzer target for a bounded time (FUZZ_SECONDS, default 60);
#   4. cross-builds for 32- and 64-bit Windows with mingw-w64, and runs both suites under wine
#      (the 32-bit one under Debian's wine32:i386, which adds the i386 architecture to apt; on a
#      kernel that runs no 32-bit programs its tests are counted as skipped), and packs each build
#      into a .zip;
#   5. builds the Debian package (scripts/package.sh), checks it with lintian, installs it, uses
#      the installed command, man page, CMake package and pkg-config file, and removes it again.
# Ends with the count of tests passed, failed and skipped, and exits non-zero when anything failed.
# `ctest --test-dir build` alone reruns step 1's tests.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake make g++ clang clang-format libclang-rt-14-dev llvm libgtest-dev libgmock-dev
  nlohmann-json3-dev pkgconf man-db g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine64
  wine32:i386 googletest dpkg-dev file lintian acl attr e2fsprogs xfsprogs btrfs-progs)
scripts/install-packages.sh "${packages[@]}"
jobs=$(nproc)

# Runs ctest and adds its tests to the counts reported at the end, as CTest's JUnit report tells
# them apart (its own summary counts a skipped test as passed). A failure does not stop the run.
passed=0
failed=0
skipped=0
ctest_failed=0
count() { grep -c "status=\"$1\"" "$2" || true; }
run_ctest() {
  local junit
  junit=$(mktemp)
  ctest --output-junit "$junit" "$@" || ctest_failed=1
  passed=$((passed + $(count run "$junit")))
  failed=$((failed + $(count fail "$junit")))
  skipped=$((skipped + $(count notrun "$junit")))
  rm -f "$junit"
}

echo "== layout"
find codec tool tests bench fuzz examples -name '*.cpp' -o -name '*.h' | xargs clang-format --dry-run -Werror

echo "== build and test"
cmake --preset default -DXORCODEC_WERROR=ON
cmake --build --preset default -j "$jobs"
run_ctest --preset default -j "$jobs"

echo "== build and test under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake --preset sanitize -DXORCODEC_WERROR=ON
cmake --build --preset sanitize -j "$jobs"
run_ctest --preset sanitize -j "$jobs"

echo "== fuzz for ${FUZZ_SECONDS:-60} s"
# New inputs go to a scratch corpus; the seeds in fuzz/corpus stay as they are.
mkdir -p build-sanitize/fuzz-corpus
build-sanitize/fuzz/codec_fuzz -max_total_time="${FUZZ_SECONDS:-60}" -print_final_stats=1 \
  -artifact_prefix=build-sanitize/ \
  build-sanitize/fuzz-corpus fuzz/corpus

for bits in 32 64; do
  echo "== build for ${bits}-bit Windows and test under wine"
  arch=$([[ $bits == 32 ]] && echo i686 || echo x86_64)
  cmake -S . -B "build-win$bits" --toolchain "cmake/toolchains/mingw-w64-$arch.cmake" \
    -DXORCODEC_GTEST_SOURCE_DIR=/usr/src/googletest -DXORCODEC_WERROR=ON
  cmake --build "build-win$bits" -j "$jobs"
  # Some kernels run no 32-bit programs at all (Exec format error): there the suite cannot run,
  # and its tests count as skipped, said aloud, rather than as passed or failed.
  wine=$(sed -n 's/^XORCODEC_WINE:FILEPATH=//p' "build-win$bits/CMakeCache.txt")
  if [[ -n $wine ]] && ! "$wine" --version >/dev/null 2>&1; then
    tests=$(ctest --test-dir "build-win$bits" -N | sed -n 's/^Total Tests: //p')
    echo "this machine cannot run $wine (${bits}-bit programs): its ${tests} tests are skipped"
    skipped=$((skipped + tests))
  else
    WINEPREFIX="$PWD/build-win$bits/wine-prefix" WINEDEBUG=-all \
      run_ctest --test-dir "build-win$bits" --output-on-failure
  fi
  (cd "build-win$bits" && cpack -G ZIP)
  cmake -E tar tf "build-win$bits"/xorscramble-*-win"$bits".zip | grep -c '/bin/xorscramble.exe$' >/dev/null
done

echo "== Debian package: build, lint, install, use, remove"
scripts/package.sh
deb=$(ls build-deb/xorscramble_*.deb)
lintian --fail-on error "$deb"
sudo=()
[[ $(id -u) -eq 0 ]] || sudo=(sudo)
"${sudo[@]}" apt-get install -y "./$deb"
work=$(mktemp -d)
cp tests/data/sample.json "$work/"
/usr/bin/xorscramble "$work/sample.json"
cmp "$work/sample.json" tests/data/sample.json.scrambled
test -z "$(MANWIDTH=80 man --warnings xorscramble 2>&1 >/dev/null)"
for mode in cmake pkg-config; do
  cmake -DINSTALLED=ON -DMODE=$mode -DSOURCE_DIR="$PWD" -DWORK_DIR="$work/$mode" \
    -P tests/consumer/check.cmake
done
files=$(dpkg -L xorscramble)
"${sudo[@]}" apt-get remove -y xorscramble
for file in $files; do [[ -d $file || ! -e $file ]] || { echo "left after removal: $file"; exit 1; }; done
rm -rf "$work"

echo "checks: ${passed} passed, ${failed} failed, ${skipped} skipped"
# A failed test, or a ctest that could not run its tests at all, fails the run.
((failed == 0 && ctest_failed == 0))
