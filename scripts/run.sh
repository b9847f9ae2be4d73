#!/usr/bin/env bash
# Sets up, builds and starts the daemon in the foreground. Needs root: the
# daemon listens on /run/com.korvane.helper.socket and acts on every process.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$root/build"
cat >&2 <<MSG

korvane-helper is starting in the foreground (Ctrl-C stops it).
From another terminal, as root:
  $root/build/client/korvane-helperctl detailed-processes
  $root/build/client/korvane-helperctl --help

MSG
exec "$root/build/service/com.korvane.helper"
