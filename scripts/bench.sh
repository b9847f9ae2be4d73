#!/usr/bin/env bash
# bench.sh [BUILD_DIR]: builds a Release tree (build-bench/ unless given) and
# prints one table of ratios, time or count of ours over the baseline named in
# the row (lower is better), one column per population or setting. A time is
# the least of interleaved runs: wall time, then CPU time in parentheses
# (steadier on a machine shared with other work). Needs root: every benchmark
# runs in private namespaces, so nothing on the host is counted and nothing
# on the host changes. ROUNDS (default 9) sets the runs per figure; SIZES
# (default 85,1000,5000) the process populations.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-bench}
"$root/scripts/setup.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
# A benchmark program of its own goes in bench/ and in this list.
targets=(com.korvane.helper korvane-helperctl korvane-listing-bench transport_bench admission_bench)
cmake --build "$build" -j "$(nproc)" --target "${targets[@]}" >/dev/null
daemon=$build/service/com.korvane.helper
client=$build/client/korvane-helperctl

# Row producers. Each prints lines "measure<TAB>column<TAB>cell" on standard
# output (progress, if any, on standard error). A cell is a ratio unless the
# measure names its unit. To add rows (round trip against a plain Unix-socket
# echo, admission time, parallel clients, daemon RSS), write a function here
# and add it to `producers`.

# The three listings end to end against ps and psutil, in a pid namespace of
# their own with populations of sleeping processes; system calls per process.
bench_listings() {
  unshare --pid --fork --mount-proc --propagation private \
    "$build/bench/korvane-listing-bench" --daemon "$daemon" --client "$client" \
    --rounds "${ROUNDS:-9}" --sizes "${SIZES:-85,1000,5000}"
}

# The transport: round trip against a plain Unix-socket echo, 1, 16 and 64
# parallel clients, the daemon's memory (its own private /run). The build
# gives the client's group to korvane-helperctl alone (anyone who can run a
# set-group-ID copy of this program is a genuine client), so it runs from a
# copy installed so on a tmpfs of a mount namespace of its own, reachable by
# root alone and gone with it. Files on tmpfs are hashed at every admission.
bench_transport() {
  mkdir -p "$build/bench/private"
  unshare --mount --propagation private sh -c 'mount -t tmpfs -o mode=0700 tmpfs "$1" &&
    install -o root -g korvane-client -m 2755 "$2" "$1" && "$1/transport_bench" --rows' \
    sh "$build/bench/private" "$build/bench/transport_bench"
}

# Admission of the installed client and a whole `terminate 0` against
# /bin/true (wall time, and CPU time with the daemon's share), as rows of
# milliseconds and ratios.
bench_admission() {
  "$build/bench/admission_bench" "$daemon" "$client" "${ROUNDS:-300}" | awk '
    /^first admission of the client/ { printf "first admission, hashing the client (ms)\tmedian\t%s\n", $6 }
    /^admission of the installed client/ { printf "admission of the installed client (ms)\tmedian\t%s\n", $6 }
    /^korvane-helperctl terminate 0 CPU/ { printf "terminate 0, CPU (ms)\tmedian\t%s\n", $5; next }
    /^terminate 0 \/ true CPU/ { printf "terminate 0 / /bin/true, CPU\tmedian\t%s\n", $7; next }
    /^korvane-helperctl terminate 0/ { printf "terminate 0 (ms)\tmedian\t%s\n", $4 }
    /^terminate 0 \/ true/ { printf "terminate 0 / /bin/true\tmedian\t%s\n", $6 }'
}

# A caller outside korvane-helper: one polkit check per request, against a
# member's request, whole client runs (bench/polkit_bench.sh).
bench_polkit() {
  "$root/bench/polkit_bench.sh" "$daemon" "$client" "${ROUNDS:-200}"
}

# The live view against procps top at the same population and refresh, CPU
# time of client and daemon together (bench/live_view_bench.sh).
bench_live_view() {
  local sizes=${SIZES:-85,1000,5000}
  "$root/bench/live_view_bench.sh" "$daemon" "$client" "${sizes##*,}" "${SECONDS_LIVE:-20}"
}

producers=(bench_listings bench_transport bench_admission bench_polkit bench_live_view)

rows=$(mktemp)
trap 'rm -f "$rows"' EXIT
for producer in "${producers[@]}"; do
  echo "bench: $producer" >&2
  "$producer" >>"$rows"
done

# One table: measures down, columns across, both in the order first seen.
awk -F'\t' '
  !($1 in seen) { seen[$1] = 1; measures[++nm] = $1; if (length($1) > w) w = length($1) }
  !($2 in col) { col[$2] = ++nc; cols[nc] = $2 }
  { cell[$1, $2] = $3 }
  END {
    printf "%-*s", w, "measure"
    for (c = 1; c <= nc; c++) printf "  %22s", cols[c]
    printf "\n"
    for (m = 1; m <= nm; m++) {
      printf "%-*s", w, measures[m]
      for (c = 1; c <= nc; c++) printf "  %22s", ((measures[m], cols[c]) in cell) ? cell[measures[m], cols[c]] : "-"
      printf "\n"
    }
  }' "$rows"
