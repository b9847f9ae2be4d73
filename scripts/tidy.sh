#!/usr/bin/env bash
# tidy.sh BUILD_DIR: runs clang-tidy (.clang-tidy) over the production sources
# with the compile commands of BUILD_DIR; fails on any warning.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$1
cd "$root"
git ls-files '*.cc' | grep -v -E '_test\.cc$|(^|/)testsupport/|^(tests|fuzz)/' |
  xargs -n 8 -P "$(nproc)" clang-tidy -p "$build" --quiet 2>/dev/null
