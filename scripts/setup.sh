#!/usr/bin/env bash
# Installs what the build and the tests need on Debian 12. Runs apt-get only
# when a package is missing, so a second run costs nothing.
set -euo pipefail

packages=(
  build-essential cmake g++ pkg-config clang-tidy
  clang-14 libclang-rt-14-dev
  libssl-dev openssl liburing-dev libsystemd-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libcli11-dev nlohmann-json3-dev tmux
  procps util-linux iproute2 nftables
  python3 python3-psutil strace
  systemd man-db groff-base lintian
  dbus-daemon dbus-bin polkitd libxml2-utils
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  if [[ $(id -u) -ne 0 ]]; then
    echo "setup: missing packages (${missing[*]}); run as root to install them" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# korvane-client: the genuine korvane-helperctl is installed set-group-ID to
# it, and the daemon admits only a client running with it. korvane-helper:
# the users who may connect to the helper at all.
for group in korvane-client korvane-helper; do
  getent group "$group" >/dev/null && continue
  if [[ $(id -u) -ne 0 ]]; then
    echo "setup: no group $group; run as root to create it" >&2
    exit 1
  fi
  groupadd --system "$group"
done
