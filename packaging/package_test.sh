#!/usr/bin/env bash
# package_test.sh BUILD_DIR SOURCE_DIR: checks the .debs with lintian, then installs, uses and
# purges them with /etc, /usr and /var overlaid in a private mount namespace (the host never
# changes).
set -euo pipefail
fail() { echo "FAIL: $*" >&2; exit 1; }

if [[ $1 != --inside ]]; then
  work=$(mktemp -d "$1/package-test.XXXXXX")
  trap 'rm -rf "$work"' EXIT
  cpack -G DEB --config "$1/CPackConfig.cmake" -B "$work" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log"; fail "cpack"; }
  # Any error or warning fails; overrides only in packaging/debian/*.lintian-overrides, with
  # their reasons. lintian also renders the man pages with man --warnings.
  lintian --fail-on error,warning "$work"/*.deb >"$work/lintian.log" 2>&1 ||
    { cat "$work/lintian.log"; fail "lintian"; }
  # A release identity signs only what ships: no test program is built.
  identity=$1/codesign-identity
  cmake -S "$2" -B "$work/release" -DKORVANE_TRUST_ANCHOR="$identity/root.pem" \
    -DKORVANE_SIGNING_IDENTITY="$identity/leaf.key,$identity/leaf.pem" >/dev/null
  ! cmake --build "$work/release" --target help | grep -E 'e2e_tests|signed_fixture|transport_bench' ||
    fail "test programs in a release build"
  unshare --mount --propagation private "$0" --inside "$1" "$2" "$work"
  exit
fi
build=$2 source=$3 packages=$4
# The daemon trusts no client on an overlay: work on a tmpfs, which nothing overlays.
mount -t tmpfs -o mode=0755 tmpfs /run
work=/run/package-test
for dir in etc usr var; do
  mkdir -p "$work/layers/$dir/upper" "$work/layers/$dir/work"
  mount -t overlay overlay -o "lowerdir=/$dir,upperdir=$work/layers/$dir/upper,workdir=$work/layers/$dir/work" "/$dir"
done
# The package makes groups and pf's files only where they are missing, and keeps the groups.
for group in korvane-helper korvane-client; do groupdel "$group" 2>/dev/null || true; done
rm -rf /etc/pf.conf /etc/pf.anchors /usr/sbin/pfctl

dpkg -i "$packages"/*.deb >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg -i"; }
! dpkg -L korvane-helper | grep -E '^/usr/(include|lib/debug)/' || fail "development files in korvane-helper"
# Each program's debug file lies where debuggers look for it by build ID.
for file in /usr/libexec/com.korvane.helper /usr/{bin/korvane-{helperctl,codesign},sbin/korvane-pfctl}; do
  id=$(readelf --notes "$file" | sed -n 's/.*Build ID: //p')
  [[ -n $id && -f /usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug ]] || fail "debug file of $file"
done
# postinst's work, and files nothing below uses (lintian checks the packaged files' modes).
expected="2755 root:korvane-client /usr/bin/korvane-helperctl
755 root:root /usr/sbin/korvane-pfctl
644 root:root /usr/share/polkit-1/actions/com.korvane.helper.policy
644 root:root /etc/pf.conf
755 root:root /etc/pf.anchors"
[[ $(stat -c '%a %U:%G %n' $(cut -d' ' -f3 <<<"$expected")) == "$expected" ]] ||
  fail "modes: $(stat -c '%a %U:%G %n' $(cut -d' ' -f3 <<<"$expected"))"
[[ $(readlink /sbin/pfctl) == /usr/sbin/korvane-pfctl ]] || fail "no /sbin/pfctl link"
for file in /usr/libexec/com.korvane.helper /usr/bin/korvane-helperctl; do
  korvane-codesign verify "$file" >/dev/null || fail "signature of $file"
done

units=(/usr/lib/systemd/system/com.korvane.helper.{socket,service})
out=$(systemd-analyze verify "${units[@]}" 2>&1) && [[ -z $out ]] || fail "systemd-analyze verify: $out"
systemd-analyze security --offline=true --threshold=35 "${units[1]}" >"$work/security.log" ||
  fail "$(tail -1 "$work/security.log")"
out=$(source /usr/share/bash-completion/completions/korvane-helperctl
  COMP_WORDS=(korvane-helperctl --json fi) COMP_CWORD=2 && _korvane_helperctl && echo "${COMPREPLY[*]}")
[[ $out == firewall ]] || fail "completion gave '$out'"
# The launchd job names the service the executable says it is.
objcopy -O binary --only-section=.info_plist /usr/libexec/com.korvane.helper "$work/info.plist"
python3 - "$work/info.plist" "$source/packaging/launchd/com.korvane.helper.plist" <<'PY'
import plistlib, sys
info = plistlib.loads(open(sys.argv[1], "rb").read().rstrip(b"\0"))
job = plistlib.load(open(sys.argv[2], "rb"))
assert job["Label"] == info["CFBundleIdentifier"] and job["MachServices"] == {job["Label"]: True}
PY

key=$work/encrypted.key
openssl pkey -in "$build/codesign-identity/leaf.key" -aes256 -passout pass:sesame -out "$key"
cp /usr/sbin/korvane-pfctl "$work/program" && echo sesame >"$work/passphrase"
out=$(setsid -w korvane-codesign sign --identity "$key,$build/codesign-identity/leaf.pem" \
  --identifier test "$work/program" 2>&1 </dev/null) && fail "signed with no passphrase"
[[ $out == *KORVANE_SIGNING_PASSPHRASE_FILE* ]] || fail "passphrase message: $out"
KORVANE_SIGNING_PASSPHRASE_FILE=$work/passphrase korvane-codesign sign \
  --identity "$key,$build/codesign-identity/leaf.pem" --identifier test "$work/program"

# Programs of one's own build and link against the installed library (the helper's serving
# its installed client, built on the same library, is systemd_test.sh's).
cat >"$work/consumer.cc" <<'CC'
#include <client/helper_client.h>
int main() {
  std::string error;
  auto helper = korvane::HelperClient::connect(korvane::defaultSocketPath(), nullptr, &error);
  return helper && helper->fetchDetailedProcesses(&error) ? 0 : 1;
}
CC
g++ -std=c++20 -o "$work/consumer" "$work/consumer.cc" $(pkg-config --cflags --libs korvane-helper-client)
printf 'cmake_minimum_required(VERSION 3.25)\nproject(c CXX)\nfind_package(KorvaneHelper REQUIRED)
add_executable(c consumer.cc)\ntarget_link_libraries(c KorvaneHelper::client)\n' >"$work/CMakeLists.txt"
cmake -S "$work" -B "$work/c" >/dev/null && cmake --build "$work/c" >/dev/null

dpkg --purge korvane-helper-dbgsym libkorvane-helper-client-dev korvane-helper \
  >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "purge"; }
getent group korvane-helper korvane-client >/dev/null || fail "groups removed on purge"
[[ ! -e /sbin/pfctl && ! -L /sbin/pfctl ]] || fail "/sbin/pfctl left"
! dpkg-statoverride --list /usr/bin/korvane-helperctl || fail "statoverride left"
# Whiteouts (character devices) are files removed, not left.
left=$(cd "$work/layers" && find */upper ! -type d ! -type c | grep -vE '^(var/upper/(lib/dpkg|log|cache)/|etc/upper/(pf\.conf|(g?shadow|group|passwd)-?|\.pwd\.lock)$)') || true
[[ -z $left ]] || fail "left behind: $left"
[[ -f /etc/pf.conf && -d /etc/pf.anchors ]] || fail "pf files removed"
echo "PASS ($(grep -o 'Overall exposure level.*' "$work/security.log"))"
