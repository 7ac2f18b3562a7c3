#!/bin/sh
# Stops kelvard-daemon and removes /opt/apps/kelvard-1.0.0 with everything in it (account,
# connections, log). Run as root (kelvard uninstall runs it with sudo).
set -u
DIR=/opt/apps/kelvard-1.0.0
LOCK=$DIR/kelvard.lock

# PID of the process holding the daemon's lock byte (offset 1) of the lock file, if any.
daemon_pid() {
    [ -f "$LOCK" ] || return 0
    dev=$(stat -c %d "$LOCK")
    ino=$(stat -c %i "$LOCK")
    key=$(printf '%02x:%02x:%s' $(( (dev >> 8) & 0xfff )) $(( (dev & 0xff) | ((dev >> 12) & 0xfff00) )) "$ino")
    awk -v k="$key" '$2 == "POSIX" && $4 == "WRITE" && $6 == k && $7 == "1" && $8 == "1" { print $5; exit }' /proc/locks
}

if [ "$(id -u)" -ne 0 ]; then
    echo "uninstall.sh: must run as root" >&2
    exit 1
fi
pid=$(daemon_pid)
if [ -n "$pid" ] && [ "$pid" -gt 0 ]; then
    kill "$pid" 2>/dev/null || true
    # Up to 5 s for it to end, then it is killed.
    i=0
    while [ -n "$(daemon_pid)" ] && [ $i -lt 50 ]; do
        sleep 0.1
        i=$((i + 1))
    done
    [ -z "$(daemon_pid)" ] || kill -9 "$pid" 2>/dev/null || true
fi
rm -rf "$DIR"
echo "kelvard removed from $DIR"
