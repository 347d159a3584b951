#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs what is missing, builds, and runs the whole test suite: the normal build, then the
# AddressSanitizer + UndefinedBehaviorSanitizer build, then each fuzzer for 30 seconds.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

scripts/install-deps.sh

# Everything, whatever a tree configured by the README's build step switched off.
scripts/build.sh build/release -DPOLLENSIFT_TESTS=ON -DPOLLENSIFT_BENCHMARKS=ON
(cd build/release && ctest --output-on-failure -j 2 --timeout 600)

scripts/build.sh build/asan -DCMAKE_BUILD_TYPE=Debug -DPOLLENSIFT_SANITIZE=ON \
  -DPOLLENSIFT_TESTS=ON -DPOLLENSIFT_BENCHMARKS=OFF
(cd build/asan && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -j 2 --timeout 900)

scripts/fuzz.sh 30
