#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite: the normal build, then the
# AddressSanitizer + UndefinedBehaviorSanitizer build, then each fuzzer for 30 seconds.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

scripts/install-deps.sh

scripts/build.sh build/release
(cd build/release && ctest --output-on-failure -j 2 --timeout 600)

scripts/build.sh build/asan -DCMAKE_BUILD_TYPE=Debug -DPOLLENSIFT_SANITIZE=ON \
  -DPOLLENSIFT_BENCHMARKS=OFF
(cd build/asan && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -j 2 --timeout 900)

scripts/fuzz.sh 30
