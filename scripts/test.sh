#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test: once in the normal
# build and once under AddressSanitizer + UndefinedBehaviorSanitizer.
# Set KESTRIX_TSAN=1 to add a ThreadSanitizer run.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
jobs=$(nproc)

run_suite() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRIX_STRICT=ON "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
  ctest --test-dir "$dir" --output-on-failure -j"$jobs" --timeout 600
}

run_suite build -DCMAKE_INSTALL_PREFIX=/usr
# The Debian package, built from the normal build and run from its files.
bash tests/package/package_test.sh build
run_suite build-asan -DKESTRIX_ASAN=ON -DKESTRIX_BENCH=OFF
# A short run of every fuzz target over its corpus (clang, its own build).
bash scripts/fuzz.sh
if [ "${KESTRIX_TSAN:-0}" = 1 ]; then
  run_suite build-tsan -DKESTRIX_TSAN=ON -DKESTRIX_BENCH=OFF
fi
