#!/usr/bin/env bash
# systemd_test.sh BUILD_DIR: boots systemd as pid 1 in private namespaces (cgroup, mount, pid,
# net, uts, ipc; root an overlay of the host's), installs the .deb there and uses the
# socket-activated, hardened service as root and as a member of korvane-helper.
set -euo pipefail
fail() { echo "FAIL: $*" >&2; [[ ${mode-} != check ]] || journalctl -n 30 --no-pager >&2; exit 1; }
within() { for _ in $(seq $(($1 * 10))); do "${@:2}" && return 0; sleep 0.1; done; false; }
svc=com.korvane.helper.service

case ${1-} in
--boot)  # pid 1 of the new namespaces, for as long as it takes to become systemd
  root=$2/root && mkdir "$2" && mount -t tmpfs tmpfs "$2" && mkdir "$2"/{upper,over,root}
  mount -t overlay overlay -o "lowerdir=/,upperdir=$2/upper,workdir=$2/over" "$root"
  mount -t proc proc "$root/proc"
  # Read-only, or systemd-sysctl would set the host's values.
  mount --bind "$root/proc/sys" "$root/proc/sys" && mount -o remount,bind,ro "$root/proc/sys"
  mount -t sysfs -o ro sysfs "$root/sys"
  mount -t cgroup2 cgroup2 "$root/sys/fs/cgroup"
  mount -t tmpfs -o mode=0755 tmpfs "$root/dev"
  for node in null:1:3 zero:1:5 full:1:7 random:1:8 urandom:1:9 tty:5:0; do
    (IFS=: && set -- $node && mknod -m 666 "$root/dev/$1" c "$2" "$3"); done
  mkdir "$root/dev/pts" && mount -t devpts -o newinstance,ptmxmode=0666 devpts "$root/dev/pts"
  ln -s pts/ptmx "$root/dev/ptmx" && touch "$2/console" "$root/dev/console"
  mount --bind "$2/console" "$root/dev/console"
  mount -t tmpfs -o mode=0755 tmpfs "$root/run" && mount -t tmpfs -o mode=1777 tmpfs "$root/tmp"
  # No host service starts, and postinst may start units (a policy-rc.d would forbid it).
  : >"$root/etc/fstab" && rm -f "$root/usr/sbin/policy-rc.d"
  printf '[Unit]\nRequires=sysinit.target sockets.target\nAfter=sysinit.target sockets.target\n' \
    >"$root/etc/systemd/system/korvane-test.target"
  mkdir "$root/opt/korvane-test" && cp "$0" "$3"/*.deb "$root/opt/korvane-test/"
  cd "$root" && mkdir .oldroot && pivot_root . .oldroot && umount -l /.oldroot && cd /
  # container= makes systemd leave udev and the shutdown's unmounting alone.
  exec setpriv --bounding-set -sys_module,-sys_time,-sys_rawio,-syslog,-wake_alarm,-mknod \
    env -i container=korvane-test /lib/systemd/systemd --system --unit=korvane-test.target
  ;;
--check)  # inside the booted box
  mode=check && cd /opt/korvane-test
  dpkg -i ./*.deb >dpkg.log 2>&1 || { cat dpkg.log; fail "dpkg -i"; }
  socket=com.korvane.helper.socket
  [[ "$(systemctl is-enabled $socket) $(systemctl is-active $socket)" == "enabled active" ]] ||
    fail "socket not enabled and started"
  # The daemon admits no client on an overlay, and a nosuid mount drops set-group-ID.
  mkdir bin && mount -t tmpfs -o mode=0755 tmpfs bin && cp -a /usr/bin/korvane-helperctl bin/
  mount --bind bin/korvane-helperctl /usr/bin/korvane-helperctl
  useradd -M -N -G korvane-helper korvane-member
  for who in root korvane-member; do
    as=(); [[ $who == root ]] || as=(setpriv --reuid="$who" --regid=users --init-groups)
    ctl() { "${as[@]}" korvane-helperctl --raw "$@"; }
    sleep 600 & term=$!; sleep 600 & kill=$!
    for listing in system-processes detailed-processes process-data; do
      ctl "$listing" >listing && grep -Eq "(^| )$kill[ |]" listing || fail "$who: $listing"
    done
    [[ $(ctl signal -TERM $term) == YES && $(ctl terminate $kill) == YES ]] || fail "$who: signal"
    wait $term || status=$?; wait $kill || status+=" $?"
    [[ $status == "143 137" ]] || fail "$who: the signals gave $status"
    mkdir -p apps/Scratch.app/Contents/MacOS
    [[ $(ctl uninstall "$PWD/apps/Scratch.app") == YES && ! -e apps/Scratch.app ]] ||
      fail "$who: uninstall"
    [[ $(ctl firewall enable --inbound-tcp 4242) == YES &&
      $(nft list ruleset) == *'dport 4242 '* ]] || fail "$who: enable"
    [[ $(ctl firewall disable) == YES* && $(nft list ruleset) != *4242* ]] || fail "$who: disable"
  done
  # Anyone may connect, and polkit (started on demand) lets a user signal its own process.
  nobody=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
  "${nobody[@]}" sleep 600 & own=$!
  [[ $("${nobody[@]}" korvane-helperctl terminate $own) == YES ]] || fail "a user outside the group"
  main=$(systemctl show -P MainPID $svc)
  [[ $(systemctl is-active $svc) == active ]] || fail "service not active"
  sandbox=$(grep -cE '^(NoNewPrivs:\s+1|Seccomp:\s+2|CapBnd:\s+0+8102b)$' /proc/"$main"/status)
  [[ $sandbox == 3 && $(readlink /proc/"$main"/ns/mnt) != $(readlink /proc/1/ns/mnt) ]] ||
    fail "not sandboxed: $(grep -E 'NoNewPrivs|Seccomp|CapBnd' "/proc/$main/status")"
  # A slow pf: the stop comes while the flush is at work, which must still answer. Its
  # environment has no LISTEN_ variable: the daemon's own socket is no tool's.
  printf '#!/bin/sh\nenv >/run/pf-busy\nsleep 2\nexec /usr/sbin/korvane-pfctl "$@"\n' >slow-pfctl
  chmod 755 slow-pfctl && ln -sfn "$PWD/slow-pfctl" /sbin/pfctl
  korvane-helperctl firewall disable >inflight & client=$!
  within 10 test -s /run/pf-busy && ! grep LISTEN_ /run/pf-busy || fail "the flush's pfctl"
  systemctl stop $svc
  wait $client && [[ $(<inflight) == YES* ]] || fail "the stop cut a request: $(<inflight)"
  [[ $(systemctl show -P Result $svc) == success ]] || fail "stop: $(systemctl status $svc)"
  for step in 'systemctl restart $svc' 'kill -9 $main'; do
    [[ $(korvane-helperctl terminate 0) == NO ]] || fail "not served before $step"
    main=$(systemctl show -P MainPID $svc)
    eval "$step"
    [[ $(korvane-helperctl terminate 0) == NO && $(systemctl show -P MainPID $svc) != $main ]] ||
      fail "not served after $step"
  done
  exit 0
  ;;
esac

build=$1 start=$SECONDS
work=$(mktemp -d "$build/systemd-test.XXXXXX")
# systemd's own cgroups land under a child of this test's cgroup, never elsewhere in the tree.
cgroup=$(findmnt -n -t cgroup2 -o TARGET | head -1)$(sed -n 's/^0:://p' /proc/self/cgroup)
cgroup=${cgroup%/}/${work##*/}
box() { nsenter -t "$pid1" -m -u -i -n -p -C -r -w "$@"; }
cleanup() {  # pid1 is killed only while unshare, not yet reaped, still has it as its child
  [[ -z ${pid1-} ]] || ! grep -qw "$pid1" "/proc/$unshare/task/$unshare/children" ||
    kill -9 "$pid1"
  wait || true
  rm -rf "$work"
  [[ ! -d $cgroup ]] || within 10 eval 'find "$cgroup" -depth -type d -exec rmdir {} + 2>&-' ||
    echo "left $cgroup" >&2
}
trap cleanup EXIT
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; fail "cpack"; }
packed=$SECONDS
mkdir "$cgroup"
(echo $BASHPID >"$cgroup/cgroup.procs" &&
  exec unshare --mount --propagation private --pid --fork --uts --ipc --net --cgroup \
    "$0" --boot "$work/box" "$work") &
unshare=$!
up() { pid1=$(<"/proc/$unshare/task/$unshare/children") && pid1=${pid1% } &&
  [[ -S /proc/$pid1/root/run/systemd/private ]]; }
within 10 up || fail "systemd did not start"
state=$(box timeout 30 systemctl is-system-running --wait) || [[ $state == degraded ]] ||
  fail "boot: $state $(tail "/proc/$pid1/root/dev/console")"
booted=$SECONDS
box /bin/bash /opt/korvane-test/systemd_test.sh --check
box systemctl --no-block poweroff
within 30 eval '! kill -0 $pid1 2>/dev/null' || fail "no poweroff"
pid1=
echo "PASS in $((SECONDS - start)) s: cpack $((packed - start)) s, boot $((booted - packed)) s"
