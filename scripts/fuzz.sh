#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the libFuzzer harnesses with clang in build/fz and runs each one for a bounded time from
# its seed corpus: scripts/fuzz.sh [seconds per fuzzer, default 30]. Any finding fails the run;
# the input that caused it is kept in build/fz/findings/ for the regression test.
set -euo pipefail
seconds=${1:-30}
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

dir=build/fz
fuzzers=(header rcfile reply pop3 saved_mail rule state learn received)
cmake -S . -B "$dir" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPOLLENSIFT_WERROR=ON -DPOLLENSIFT_FUZZ=ON -DPOLLENSIFT_BENCHMARKS=OFF >/dev/null
cmake --build "$dir" -j "$(nproc)" --target "${fuzzers[@]/#/fuzz_}" >/dev/null

work=$(mktemp -d /tmp/pollensift-fuzz.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$dir/findings"

for name in "${fuzzers[@]}"; do
  # New inputs go to a scratch corpus; the committed seeds stay small.
  mkdir "$work/$name"
  log=$work/$name.log
  # The harnesses log at full verbosity; their output streams are closed (the fuzzer's own
  # reports still come through).
  if ! "$dir/fuzz/fuzz_$name" "$work/$name" "fuzz/corpus/$name" -dict="fuzz/$name.dict" \
      -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -close_fd_mask=3 \
      -artifact_prefix="$dir/findings/$name-" -print_final_stats=1 >"$log" 2>&1; then
    tail -n 60 "$log" >&2
    echo "fuzz_$name: FINDING; the input is in $dir/findings/" >&2
    exit 1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  cov=$(grep -o 'cov: [0-9]* ft: [0-9]*' "$log" | tail -n 1)
  echo "fuzz_$name: $runs runs in ${seconds} s, $cov, no finding"
done
