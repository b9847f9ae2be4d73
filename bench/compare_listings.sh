#!/usr/bin/env bash
# compare_listings.sh OLD_BUILD NEW_BUILD: the detailed and process-data listings of two builds'
# daemons, of one fixed population (odd names, long and deleted executables, zombies, owners with
# and without a passwd entry, processes that are not dumpable; bench/listing_population.py), in a
# private pid and mount namespace; every record but the harness's own must be the same bytes.
# Then the host's kernel threads, listed by both in a private mount namespace. Needs root.
set -euo pipefail

# capture OUT OLD NEW: lists with each build in turn, on a private /run (in a mount namespace of
# its own).
if [[ ${1:-} == --capture ]]; then
  out=$2
  shift 2
  mount -t tmpfs tmpfs /run
  n=0
  for build in "$@"; do
    n=$((n + 1))
    "$build/service/com.korvane.helper" 2>/dev/null &
    daemon=$!
    for _ in $(seq 100); do [[ -S /run/com.korvane.helper.socket ]] && break; sleep 0.05; done
    for what in detailed-processes process-data; do
      "$build/client/korvane-helperctl" --raw $what >"$out.$n.$what"
    done
    kill $daemon
    wait $daemon || true
    rm -f /run/com.korvane.helper.socket
  done
  exit 0
fi
# population OUT OLD NEW: as the first process of a pid namespace, the population, then capture.
if [[ ${1:-} == --population ]]; then
  mkdir "$2.population"
  coproc POPULATION { python3 "$(dirname "$0")/listing_population.py" "$2.population"; }
  read -r _ <&"${POPULATION[0]}"
  "$0" --capture "$2" "$3" "$4"
  exec {POPULATION[1]}>&-
  wait
  exit 0
fi

old=$(cd "$1" && pwd) new=$(cd "$2" && pwd)
dir=$(mktemp -d)
chmod 755 "$dir"  # the population runs as other users too
trap 'rm -rf "$dir"' EXIT

# Records (split before each "PID|"), without the harness's own processes.
records() {
  python3 -c '
import re, sys
for r in re.split(rb"\n(?=\d+\|)", open(sys.argv[1], "rb").read()):
    if not re.search(rb"\|(com\.korvane\.hel|korvane-helperc|compare_listing|bash)\n?$", r):
        sys.stdout.buffer.write(r + b"\n")' "$1"
}

status=0
timeout 300 unshare --pid --fork --mount-proc --mount --propagation private \
  "$0" --population "$dir/ns" "$old" "$new"
for what in detailed-processes process-data; do
  if cmp -s <(records "$dir/ns.1.$what") <(records "$dir/ns.2.$what"); then
    echo "$what: the same bytes ($(records "$dir/ns.1.$what" | wc -l) records)"
  else
    echo "$what: DIFFERENT"
    diff <(records "$dir/ns.1.$what" | cat -A) <(records "$dir/ns.2.$what" | cat -A) | head -20
    status=1
  fi
done
unshare --mount --propagation private "$0" --capture "$dir/host" "$old" "$new"
# Kernel threads have no memory and no executable; a worker's name shows its current work, and
# a host process may come or go between the two listings: those both list are compared.
if python3 - "$dir/host.1.detailed-processes" "$dir/host.2.detailed-processes" <<'PY'; then
import sys
def kernel(path):
    lines = open(path, "rb").read().split(b"\n")
    return {l.split(b"|")[0]: l for l in lines if b"|0.0|0.0|1|Unknown|" in l and b"kworker" not in l}
a, b = kernel(sys.argv[1]), kernel(sys.argv[2])
both = sorted(set(a) & set(b))
differ = [(a[p], b[p]) for p in both if a[p] != b[p]]
print("kernel threads: %d listed by both, %d differ %r" % (len(both), len(differ), differ[:3]))
sys.exit(1 if differ else 0)
PY
  :
else
  status=1
fi
exit $status
