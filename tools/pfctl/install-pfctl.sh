#!/usr/bin/env bash
# install-pfctl.sh BINARY [DEST]: installs the pf stand-in BINARY (korvane-pfctl)
# as DEST, by default /sbin/pfctl, on Linux only and only where nothing is at
# DEST yet: a real pfctl, a link, or any other file there is never replaced.
# Exit status: 0 when DEST now holds BINARY (installed now or identical
# already), 1 on a usage error or when not on Linux, 2 when something else is
# at DEST (left as it is).
set -euo pipefail
if (($# < 1 || $# > 2)); then
  echo "usage: install-pfctl.sh BINARY [DEST]" >&2
  exit 1
fi
binary=$1
dest=${2:-/sbin/pfctl}
if [[ $(uname -s) != Linux ]]; then
  echo "install-pfctl: not Linux: pf has its own pfctl here; nothing installed" >&2
  exit 1
fi
if [[ ! -f $binary ]]; then
  echo "install-pfctl: $binary: no such file" >&2
  exit 1
fi
if [[ -e $dest || -L $dest ]]; then
  if [[ -f $dest && ! -L $dest ]] && cmp -s "$binary" "$dest"; then
    echo "install-pfctl: $dest already is this stand-in" >&2
    exit 0
  fi
  echo "install-pfctl: $dest exists and is not this stand-in; leaving it alone" >&2
  exit 2
fi

# Copy beside DEST, then hard-link into place: ln refuses an existing name,
# so a pfctl that appears meanwhile is not replaced either.
tmp=$(mktemp "$(dirname "$dest")/.pfctl.XXXXXX")
trap 'rm -f "$tmp"' EXIT
cp "$binary" "$tmp"
chmod 0755 "$tmp"
if ! ln -T "$tmp" "$dest" 2>/dev/null; then
  echo "install-pfctl: $dest appeared while installing; leaving it alone" >&2
  exit 2
fi
echo "install-pfctl: installed $binary as $dest" >&2
