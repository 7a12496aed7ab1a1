#!/bin/sh
# Runs a command with a network of its own (--net: a new namespace, loopback up) and/or an X display
# of its own (--display [WxH] [--reset]: an Xvfb ended with the command, which resets when its last
# client leaves only with --reset). CTest runs test binaries through it.
set -eu
if [ "${1-}" = --net ]; then
    shift
    exec unshare -n sh -c 'ip link set lo up && exec sh "$0" "$@"' "$0" "$@"
fi
if [ "${1-}" = --display ]; then
    shift
    size=1920x1920
    case ${1-} in [0-9]*x[0-9]*) size=$1 && shift ;; esac
    noreset=-noreset
    [ "${1-}" != --reset ] || { noreset= && shift; }
    fifo=$(mktemp -u) && mkfifo "$fifo"
    # The number comes through the fifo once the server accepts clients. Numbers are unique within
    # a network namespace only (clients reach it by an abstract socket): its files go to folders of its own.
    setpriv --pdeathsig TERM unshare -m sh -c 'mount -t tmpfs tmpfs /tmp && mount -t tmpfs tmpfs /var/lib/xkb &&
        exec Xvfb -displayfd 3 -screen 0 "$0" -nolisten tcp $1' "${size}x24" "$noreset" 3>"$fifo" 2>/dev/null &
    number=$(timeout 30 head -n1 "$fifo" || true)
    rm -f "$fifo"
    [ -n "$number" ] || { echo "isolate.sh: Xvfb did not start" >&2 && exit 1; }
    export DISPLAY=":$number"
fi
exec "$@"
