#!/usr/bin/env bash
# install_pfctl_test.sh INSTALLER BINARY: the installer puts the stand-in in
# place only where nothing is, inside a temporary folder (never /sbin).
set -euo pipefail
installer=$1
binary=$2
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

"$installer" "$binary" "$dir/pfctl" || fail "fresh install"
cmp -s "$binary" "$dir/pfctl" || fail "installed content"
[[ $(stat -c %a "$dir/pfctl") == 755 ]] || fail "installed mode"
"$installer" "$binary" "$dir/pfctl" || fail "a second install of the same binary"

echo "a real pfctl" >"$dir/other"
status=0
"$installer" "$binary" "$dir/other" || status=$?
[[ $status == 2 ]] || fail "existing file: status $status"
[[ $(cat "$dir/other") == "a real pfctl" ]] || fail "existing file was changed"

ln -s "$dir/nowhere" "$dir/link"
status=0
"$installer" "$binary" "$dir/link" || status=$?
[[ $status == 2 && -L $dir/link && ! -e $dir/nowhere ]] || fail "dangling link: status $status"

[[ $(ls -A "$dir" | sort | tr '\n' ' ') == "link other pfctl " ]] || fail "leftovers: $(ls -A "$dir")"
echo "ok"
