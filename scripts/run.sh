#!/usr/bin/env bash
# Sets up, builds and starts the daemon in the foreground. Needs root: the
# daemon listens on /run/com.korvane.helper.socket and acts on every process.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$root/build"
# pf's files and tool, as the daemon expects them; nothing existing is replaced.
mkdir -p /etc/pf.anchors
[[ -e /etc/pf.conf ]] || : >/etc/pf.conf
[[ -e /sbin/pfctl ]] || "$root/tools/pfctl/install-pfctl.sh" "$root/build/tools/pfctl/korvane-pfctl"

cat >&2 <<MSG

korvane-helper is starting in the foreground (Ctrl-C stops it).
From another terminal, as root:
  $root/build/client/korvane-helperctl detailed-processes
  $root/build/client/korvane-helperctl --help

MSG
exec "$root/build/service/com.korvane.helper"
