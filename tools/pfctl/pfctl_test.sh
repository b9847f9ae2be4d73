#!/usr/bin/env bash
# pfctl_test.sh BINARY INSTALLER: a reload of pf.conf gives every anchor to one
# nft run (one transaction), and a bad anchor stops the whole reload before
# nft runs (a recording nft stands in for the real one: no rule is ever
# applied); the installer puts the stand-in in place only where nothing is.
# Everything happens inside a temporary folder (never /sbin).
set -euo pipefail
pfctl=$1 installer=$2 dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

printf '#!/bin/sh\necho nft "$@" >>%s/runs\ncat >>%s/runs\n' "$dir" "$dir" >"$dir/nft"
chmod 755 "$dir/nft"
export KORVANE_NFT=$dir/nft
rules() { echo "block return out inet proto tcp from any to any port { $1 }" >"$dir/$2"; }
rules 22 first
rules 25 second
printf 'set skip on lo0\nload anchor "first.a" from "%s/first"\nload anchor second from "%s/second"\n' \
  "$dir" "$dir" >"$dir/pf.conf"

"$pfctl" -f "$dir/pf.conf" || fail "reload"
[[ $(grep -c '^nft -f -$' "$dir/runs") == 1 ]] || fail "not one nft run: $(cat "$dir/runs")"
grep -q '^table inet first.a {$' "$dir/runs" && grep -q '^table inet second {$' "$dir/runs" ||
  fail "an anchor is missing"

# A bad port, then a bad anchor name (a;b would be nft syntax): nothing runs.
for change in "rules 70000 second" "rules 25 second; sed -i s/anchor.second/anchor\ \"a;b\"/ $dir/pf.conf"; do
  eval "$change"
  rm -f "$dir/runs"
  status=0
  "$pfctl" -f "$dir/pf.conf" 2>"$dir/err" || status=$?
  [[ $status == 1 && ! -e $dir/runs ]] || fail "$change: status $status, $(cat "$dir/err")"
done

sbin=$dir/sbin
mkdir "$sbin"
"$installer" "$pfctl" "$sbin/pfctl" || fail "fresh install"
cmp -s "$pfctl" "$sbin/pfctl" && [[ $(stat -c %a "$sbin/pfctl") == 755 ]] || fail "installed file"
"$installer" "$pfctl" "$sbin/pfctl" || fail "a second install of the same binary"
# Something else there, a file or a dangling link: status 2, left alone.
echo "a real pfctl" >"$sbin/other"
ln -s "$dir/nowhere" "$sbin/link"
for dest in other link; do
  status=0
  "$installer" "$pfctl" "$sbin/$dest" 2>/dev/null || status=$?
  [[ $status == 2 ]] || fail "$dest: status $status"
done
[[ $(cat "$sbin/other") == "a real pfctl" && -L $sbin/link && ! -e $dir/nowhere ]] || fail "changed"
[[ $(ls -A "$sbin" | sort | tr '\n' ' ') == "link other pfctl " ]] || fail "leftovers: $(ls -A "$sbin")"
echo "ok"
