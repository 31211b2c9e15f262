#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need (only those missing), then:
#   0. checks that the C++ sources are laid out as .clang-format says;
#   1. builds with warnings as errors and runs the whole suite;
#   2. builds again with AddressSanitizer and UndefinedBehaviorSanitizer (clang) and runs the whole
#      suite under them, leaks included;
#   3. runs the libFuzzer target for a bounded time (FUZZ_SECONDS, default 60);
#   4. cross-builds for 32- and 64-bit Windows with mingw-w64, and runs both suites under wine
#      (the 32-bit one under Debian's wine32:i386, which adds the i386 architecture to apt).
# Exits non-zero when anything fails. `ctest --test-dir build` alone reruns step 1's tests.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake make g++ clang clang-format libclang-rt-14-dev libgtest-dev libgmock-dev
  nlohmann-json3-dev pkgconf man-db g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine64
  wine32:i386 googletest)
scripts/install-packages.sh "${packages[@]}"
jobs=$(nproc)

# Runs ctest and adds its count of tests to the total reported at the end.
total=0
run_ctest() {
  local log
  log=$(mktemp)
  ctest "$@" | tee "$log"
  total=$((total + $(sed -n 's/.*tests failed out of \([0-9]*\).*/\1/p' "$log" | tail -n 1)))
  rm -f "$log"
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
  WINEPREFIX="$PWD/build-win$bits/wine-prefix" WINEDEBUG=-all \
    run_ctest --test-dir "build-win$bits" --output-on-failure
done

# Reached only when every step above passed.
echo "checks: ${total} passed, 0 failed"
