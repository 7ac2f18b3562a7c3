#!/bin/sh
# Installs kelvard from the directory holding this script into /opt/apps/kelvard-1.0.0 and
# starts the daemon there. Run as root (kelvard install runs it with sudo).
#   KELVARD_SERVER=host:port   rendezvous server written into a new kelvard.cfg
# An existing kelvard.cfg and connects.json are kept; a running daemon is left running.
set -eu
SRC=$(cd "$(dirname "$0")" && pwd)
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
    echo "install.sh: must run as root" >&2
    exit 1
fi
for f in kelvard-daemon kelvard kelvard.cfg; do
    if [ ! -f "$SRC/$f" ]; then
        echo "install.sh: $SRC/$f is missing" >&2
        exit 1
    fi
done

umask 022
mkdir -p "$DIR/comm"
# Programs are replaced by a rename, so a running one keeps its old file.
for f in kelvard-daemon kelvard; do
    cp "$SRC/$f" "$DIR/.$f.new"
    chmod 755 "$DIR/.$f.new"
    mv -f "$DIR/.$f.new" "$DIR/$f"
done
[ -f "$LOCK" ] || install -m 600 /dev/null "$LOCK"
if [ ! -f "$DIR/kelvard.cfg" ]; then
    install -m 600 "$SRC/kelvard.cfg" "$DIR/kelvard.cfg"
    if [ -n "${KELVARD_SERVER:-}" ]; then
        sed -i "s|(SvrAddr){[^}]*}|(SvrAddr){$KELVARD_SERVER}|" "$DIR/kelvard.cfg"
    fi
fi

if [ -z "$(daemon_pid)" ]; then
    (cd "$DIR" && ./kelvard-daemon)
    # The daemon detaches at once; wait (up to 10 s) until it answers on its socket.
    i=0
    while [ ! -S "$DIR/comm/kelvard-com" ] && [ $i -lt 100 ]; do
        sleep 0.1
        i=$((i + 1))
    done
fi
[ -S "$DIR/comm/kelvard-com" ] || { echo "install.sh: the daemon did not start, see $DIR/log" >&2; exit 1; }
echo "kelvard installed in $DIR"
