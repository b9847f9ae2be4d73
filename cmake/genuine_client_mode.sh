#!/bin/sh
# genuine_client_mode.sh GROUP FILE: gives the signed genuine client FILE the
# group and mode the daemon demands (root:GROUP, 2755) when run as root and
# GROUP exists; otherwise says why not and leaves FILE alone.
group=$1 file=$2
if [ "$(id -u)" -ne 0 ]; then
  echo "note: $file is not set-group-ID $group (not built as root); the daemon will refuse it" >&2
elif ! getent group "$group" >/dev/null; then
  echo "note: no group $group (scripts/setup.sh makes it); the daemon will refuse $file" >&2
else
  chown root:"$group" "$file" && chmod 2755 "$file"
fi
