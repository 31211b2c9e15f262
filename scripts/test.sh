#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need (only those missing), builds with
# warnings as errors, and runs the whole suite. Exits non-zero when anything fails.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake make g++ libgtest-dev libgmock-dev)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' || missing+=("$package")
done
if ((${#missing[@]} > 0)); then
  sudo=()
  [[ $(id -u) -eq 0 ]] || sudo=(sudo)
  "${sudo[@]}" apt-get update
  "${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
fi

cmake -S . -B build -DBUILD_TESTING=ON -DXORCODEC_WERROR=ON
cmake --build build -j "$(nproc)"
ctest --test-dir build --output-on-failure -j "$(nproc)"
