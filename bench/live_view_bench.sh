#!/usr/bin/env bash
# live_view_bench.sh DAEMON CLIENT [SIZE] [SECONDS]: what watching costs. In a
# pid namespace of its own with SIZE sleeping processes (default 5000) it runs
# `korvane-helperctl top --interval 1` on a terminal (tmux) for SECONDS
# (default 20) and counts the CPU time of the client and the daemon; then
# procps `top -d 1` the same way, and htop's when it is installed. Prints
# lines "measure<TAB>column<TAB>cell" for scripts/bench.sh. Root only;
# nothing on the host changes.
set -euo pipefail
daemon=$1 client=$2 size=${3:-5000} seconds=${4:-20}

if [[ ${KORVANE_LIVE_BENCH_INSIDE:-} != 1 ]]; then
  exec env KORVANE_LIVE_BENCH_INSIDE=1 unshare --pid --fork --mount-proc --propagation private \
    "$0" "$@"
fi
mount -t tmpfs -o mode=0755 tmpfs /run
mount -t tmpfs -o mode=0755 tmpfs /tmp
# The hard open-file limit systemd gives services, where root may raise it
# (CAP_SYS_RESOURCE): the daemon keeps two descriptors per process up to its
# soft limit, which it raises to 65536 within the hard one.
ulimit -Hn 524288 2>/dev/null || true
pids=()
trap 'kill "${pids[@]}" 2>/dev/null; tmux -S /run/tmux kill-server 2>/dev/null; wait' EXIT
"$daemon" >/dev/null 2>&1 &
pids+=($!)
until [[ -S /run/com.korvane.helper.socket ]]; do sleep 0.05; done
for ((i = 0; i < size; i++)); do
  sleep 100000 &
  pids+=($!)
done

ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }

# CPU seconds of `command` run for $seconds on a 200x50 terminal, and of the
# daemon meanwhile.
watch() {
  local before=$(ticks "${pids[0]}")
  rm -f /run/times
  # The wait starts no process while the view runs (a poll loop's would be
  # new pids on every refresh).
  tmux -S /run/tmux new-session -d -x 200 -y 50 \
    "bash -c 'TIMEFORMAT=\"%U %S\"; { time timeout --foreground -s INT $seconds $1; } 2>/run/times; tmux -S /run/tmux wait-for -S done'"
  tmux -S /run/tmux wait-for done
  local after=$(ticks "${pids[0]}") hz=$(getconf CLK_TCK)
  awk -v d=$((after - before)) -v hz="$hz" '{ printf "%.2f %.2f\n", $1 + $2, d / hz; exit }' \
    /run/times
}

read -r ours_client ours_daemon < <(watch "$client top --interval 1")
read -r top _ < <(watch "top -d 1")
column="$size processes, ${seconds} s"
ours=$(awk -v a="$ours_client" -v b="$ours_daemon" 'BEGIN { printf "%.2f", a + b }')
printf 'live view CPU s: korvane-helperctl top + daemon\t%s\t%s (%s + %s)\n' \
  "$column" "$ours" "$ours_client" "$ours_daemon"
printf 'live view CPU s: procps top -d 1\t%s\t%s\n' "$column" "$top"
printf 'live view CPU / procps top\t%s\t%s\n' "$column" \
  "$(awk -v a="$ours" -v b="$top" 'BEGIN { printf "%.2f", a / b }')"
if command -v htop >/dev/null; then
  read -r htop _ < <(watch "htop -d 10")
  printf 'live view CPU / htop\t%s\t%s\n' "$column" \
    "$(awk -v a="$ours" -v b="$htop" 'BEGIN { printf "%.2f", a / b }')"
fi
