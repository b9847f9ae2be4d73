#!/usr/bin/env bash
# Sets up, builds and runs every test: in a Release build (then clang-tidy over
# the sources), under AddressSanitizer and UndefinedBehaviorSanitizer, and
# under ThreadSanitizer; then runs each fuzz target briefly.
# Needs root (the end-to-end tests run the daemon in private mount, network
# and pid namespaces).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"

status=0
run_suite() {
  local name=$1 dir=$2
  shift 2
  echo "== $name: build"
  "$root/scripts/build.sh" "$dir" "$@"
  echo "== $name: test"
  (cd "$dir" && ctest --output-on-failure -j 2) || status=1
}

run_suite release "$root/build" -DCMAKE_BUILD_TYPE=Release -DKORVANE_WERROR=ON
echo "== clang-tidy"
"$root/scripts/tidy.sh" "$root/build" || { echo "clang-tidy found problems"; status=1; }
export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
run_suite asan-ubsan "$root/build-asan" -DKORVANE_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug -DKORVANE_WERROR=ON
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
run_suite tsan "$root/build-tsan" -DKORVANE_TSAN=ON -DCMAKE_BUILD_TYPE=Debug -DKORVANE_WERROR=ON
echo "== fuzz"
"$root/scripts/fuzz.sh" 20 || status=1
exit $status
