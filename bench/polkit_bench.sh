#!/usr/bin/env bash
# polkit_bench.sh DAEMON CLIENT [ROUNDS]: what asking polkit costs a caller
# outside korvane-helper. In a private mount namespace (a tmpfs on /run) it
# starts a system bus, polkitd with the helper's policy alone, and the daemon;
# then it times whole `korvane-helperctl signal -CONT PID` runs on a process of
# nobody's, alternately as nobody in korvane-helper (no polkit call) and as
# nobody outside it (one CheckAuthorization, allowed as signal-own-process).
# Prints lines "measure<TAB>polkit<TAB>cell" for scripts/bench.sh. Root only;
# nothing on the host changes.
set -euo pipefail
daemon=$1 client=$2 rounds=${3:-200}
policy=$(cd "$(dirname "$0")/.." && pwd)/packaging/polkit/com.korvane.helper.policy

if [[ ${KORVANE_POLKIT_BENCH_INSIDE:-} != 1 ]]; then
  exec env KORVANE_POLKIT_BENCH_INSIDE=1 unshare --mount --propagation private "$0" "$@"
fi
mount -t tmpfs -o mode=0755 tmpfs /run
mkdir -p /run/dbus /run/bench/actions
cp "$policy" /run/bench/actions/
mount --bind /run/bench/actions /usr/share/polkit-1/actions
cat >/run/bench/bus.conf <<'EOF'
<busconfig><type>system</type><auth>EXTERNAL</auth>
<listen>unix:path=/run/dbus/system_bus_socket</listen>
<policy context="default"><allow user="*"/><allow own="*"/><allow send_destination="*"/>
<allow receive_sender="*"/></policy><includedir>/usr/share/dbus-1/system.d</includedir>
</busconfig>
EOF
install -o root -g korvane-client -m 2755 "$client" /run/bench/korvane-helperctl
pids=()
trap 'kill "${pids[@]}" 2>/dev/null; wait' EXIT
dbus-daemon --config-file=/run/bench/bus.conf --nofork --nopidfile --nosyslog 2>/dev/null &
pids+=($!)
until [[ -S /run/dbus/system_bus_socket ]]; do sleep 0.05; done
/usr/lib/polkit-1/polkitd --no-debug >/dev/null 2>&1 &
pids+=($!)
until dbus-send --system --print-reply --dest=org.freedesktop.DBus / \
  org.freedesktop.DBus.NameHasOwner string:org.freedesktop.PolicyKit1 2>/dev/null |
  grep -q 'boolean true'; do sleep 0.05; done
"$daemon" >/dev/null 2>&1 &
pids+=($!)
until [[ -S /run/com.korvane.helper.socket ]]; do sleep 0.05; done
setpriv --reuid=nobody --regid=nogroup --clear-groups sleep 600 &
pids+=($!)
target=$!

python3 - "$rounds" "$target" <<'PY'
import statistics, subprocess, sys, time
rounds, target = int(sys.argv[1]), sys.argv[2]
base = ["setpriv", "--reuid=nobody", "--regid=nogroup"]
ways = {"member": base + ["--groups=korvane-helper"], "polkit": base + ["--clear-groups"]}
times = {way: [] for way in ways}
for _ in range(rounds):
    for way, prefix in ways.items():
        start = time.perf_counter()
        out = subprocess.run(prefix + ["/run/bench/korvane-helperctl", "signal", "-CONT", target],
                             capture_output=True, text=True).stdout
        times[way].append((time.perf_counter() - start) * 1000)
        if out != "YES\n":
            sys.exit(f"polkit_bench: {way} got {out!r}")
member, polkit = (statistics.median(times[w]) for w in ("member", "polkit"))
print(f"signal own process, member, whole client (ms)\tpolkit\t{member:.2f}")
print(f"signal own process, asked through polkit (ms)\tpolkit\t{polkit:.2f}")
print(f"one polkit check (ms, the difference)\tpolkit\t{polkit - member:.2f}")
print(f"asked through polkit / member\tpolkit\t{polkit / member:.2f}")
PY
