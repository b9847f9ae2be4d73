#!/usr/bin/env bash
# install_pfctl_test.sh INSTALLER BINARY: the installer puts the stand-in in
# place only where nothing is, inside a temporary folder (never /sbin).
set -euo pipefail
installer=$1 binary=$2 dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

"$installer" "$binary" "$dir/pfctl" || fail "fresh install"
cmp -s "$binary" "$dir/pfctl" && [[ $(stat -c %a "$dir/pfctl") == 755 ]] || fail "installed file"
"$installer" "$binary" "$dir/pfctl" || fail "a second install of the same binary"

# Something else there, a file or a dangling link: status 2, left alone.
echo "a real pfctl" >"$dir/other"
ln -s "$dir/nowhere" "$dir/link"
for dest in other link; do
  status=0
  "$installer" "$binary" "$dir/$dest" 2>/dev/null || status=$?
  [[ $status == 2 ]] || fail "$dest: status $status"
done
[[ $(cat "$dir/other") == "a real pfctl" && -L $dir/link && ! -e $dir/nowhere ]] || fail "changed"
[[ $(ls -A "$dir" | sort | tr '\n' ' ') == "link other pfctl " ]] || fail "leftovers: $(ls -A "$dir")"
echo "ok"
