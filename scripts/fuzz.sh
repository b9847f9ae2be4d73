#!/usr/bin/env bash
# fuzz.sh [SECONDS]: builds the libFuzzer targets of fuzz/ with clang (ASan +
# UBSan) in build-fuzz/ and runs each for SECONDS (default 60) on a copy of
# its seed corpus there. Fails on any crash, leak, timeout or memory blow-up.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
dir=$root/build-fuzz
cmake -S "$root" -B "$dir" -DCMAKE_CXX_COMPILER=clang++-14 -DKORVANE_FUZZ=ON -DKORVANE_WERROR=ON \
  -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$dir" --target fuzz -j "$(nproc)"
export ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1
status=0
for seeds in "$root"/fuzz/corpus/*/; do
  name=$(basename "$seeds")
  work=$dir/fuzz-runs/$name
  rm -rf "$work" && mkdir -p "$work/corpus" && cp "$seeds"/* "$work/corpus/"
  if "$dir/fuzz/fuzz_$name" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 \
    -print_final_stats=1 -artifact_prefix="$work/" "$work/corpus" >"$work/log" 2>&1; then
    echo "fuzz_$name: $(grep -o 'number_of_executed_units: *[0-9]*' "$work/log" | grep -o '[0-9]*$') runs, no finding"
  else
    echo "fuzz_$name: FAILED (log and input in $work)"
    tail -n 40 "$work/log"
    status=1
  fi
done
exit $status
