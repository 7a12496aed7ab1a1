#!/bin/bash
# The tally server under load, then its durability when killed.
#
#   bench/tally-load.sh BUILD [seconds] [clients...]     (defaults: 20 s; 1000 and 5000 clients)
#   bench/tally-load.sh BUILD durability [rounds]         (durability alone; default 100 rounds)
#   bench/tally-load.sh BUILD cluster [seconds] [clients]  (default: 20 s, 5000 clients)
#   bench/tally-load.sh BUILD storm [clients...]           (named connect storms; default 2000 5000)
#
# storm: for each number of clients, a new server, then that many named clients connecting and
# sending their whoami at once; the time until each holds every user online, the server's CPU and
# peak memory for it, and the connections the listen backlog dropped.
#
# cluster: one after the other, the clients spread over two brannoc-server processes sharing
# the tally in a redis-server (append-only file fsynced on every write), then the same clients on
# one process with SQLite; the CPU of each server process and of Redis over the increments.
#
# For each number of clients: starts BUILD/brannoc-server on a new database in a temporary folder,
# runs BUILD/brannoc-tally-load against it with the server's process id (for its CPU time and
# peak memory), and stops it. Then the durability check: BUILD/brannoc-tally-load --durability
# starts, kills (SIGKILL) and restarts the server 100 times on one database. Runs as root in a
# private network namespace, so port 34567 and the addresses 127.0.0.X are its own. Everything it
# starts is stopped on every way out. BRANNOC_SERVER overrides the server program;
# BRANNOC_TALLY_LOAD_ARGS adds options to the load runs (e.g. "--threads 2" or "--named yes");
# BRANNOC_TALLY_ROUNDS sets the durability rounds after the load runs (0: none). Each load run is
# followed by the same run against the floor server (the least a server of this design can do),
# built with cc from BRANNOC_FLOOR_SOURCE (default: ../shared/bench/floor-server.c beside the
# repository; none if absent), and a line setting the two side by side.
set -eu

build=${1:?usage: bench/tally-load.sh BUILD [seconds|durability] [clients...|rounds]}
build=$(cd "$build" && pwd)
shift

if [ -z "${BRANNOC_TALLY_NETNS:-}" ]; then
    exec unshare -n env BRANNOC_TALLY_NETNS=1 "$0" "$build" "$@"
fi
ip link set lo up

server=${BRANNOC_SERVER:-$build/brannoc-server}
load=$build/brannoc-tally-load
work=$(mktemp -d /tmp/brannoc-tally-load.XXXXXX)
pid=
others=()

cleanup() {
    for p in $pid "${others[@]}"; do
        kill -9 "$p" 2>/dev/null || true
        wait "$p" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

durability() {
    "$load" --durability "${1:-100}" --server "$server" --dir "$work/durability" | tail -n 4
}

if [ "${1:-}" = durability ]; then
    durability "${2:-100}"
    exit
fi

# wait_log FILE PID: until FILE says "listening on" (or the process ended).
wait_log() {
    for _ in $(seq 200); do
        grep -q "listening on" "$1" && return 0
        kill -0 "$2" 2>/dev/null || break
        sleep 0.1
    done
    cat "$1" >&2
    exit 1
}

if [ "${1:-}" = storm ]; then
    shift
    [ $# -gt 0 ] || set -- 2000 5000
    echo "$(nproc) cores; load average before: $(cut -d' ' -f1-3 /proc/loadavg); somaxconn $(cat /proc/sys/net/core/somaxconn)"
    for clients in "$@"; do
        "$server" --db "$work/storm-$clients.db" --admin-socket "$work/storm-$clients.sock" \
            --max-connections 20000 2>"$work/storm-$clients.log" &
        pid=$!
        wait_log "$work/storm-$clients.log" "$pid"
        echo
        # shellcheck disable=SC2086 # the extra options are meant to split
        "$load" --storm yes --clients "$clients" --server-pid "$pid" ${BRANNOC_TALLY_LOAD_ARGS:-} ||
            echo "brannoc-tally-load: exit status $?" >&2
        kill "$pid"
        wait "$pid" || true
        pid=
    done
    echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
    exit
fi

if [ "${1:-}" = cluster ]; then
    seconds=${2:-20}
    clients=${3:-5000}
    echo "$(nproc) cores; load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
    echo
    echo "== $clients clients over two processes, tally in Redis"
    redis-server --port 6390 --bind 127.0.0.1 --dir "$work" --appendonly yes --appendfsync always \
        --save "" >"$work/redis.log" 2>&1 &
    others+=($!)
    redis=$!
    for _ in $(seq 100); do
        (exec 3<>/dev/tcp/127.0.0.1/6390) 2>/dev/null && break
        sleep 0.1
    done
    "$server" --bind 127.0.0.1 --port 34567 --http-port 0 --redis 127.0.0.1:6390 --admin-socket "$work/a1.sock" \
        2>"$work/cluster-1.log" &
    pid=$!
    wait_log "$work/cluster-1.log" "$pid"
    "$server" --bind 127.0.0.1 --port 34568 --http-port 0 --redis 127.0.0.1:6390 --admin-socket "$work/a2.sock" \
        2>"$work/cluster-2.log" &
    others+=($!)
    second=$!
    wait_log "$work/cluster-2.log" "$second"
    # shellcheck disable=SC2086 # the extra options are meant to split
    "$load" --clients "$clients" --duration "$seconds" --server-pid "$pid" --port2 34568 \
        --watch "second server=$second" --watch "redis-server=$redis" ${BRANNOC_TALLY_LOAD_ARGS:-} ||
        echo "brannoc-tally-load: exit status $?" >&2
    kill "$pid" "$second" "$redis"
    wait "$pid" "$second" "$redis" || true
    pid=
    others=()
    echo
    echo "== $clients clients on one process, tally in SQLite"
    "$server" --bind 127.0.0.1 --db "$work/sqlite.db" --admin-socket "$work/s.sock" 2>"$work/sqlite.log" &
    pid=$!
    wait_log "$work/sqlite.log" "$pid"
    # shellcheck disable=SC2086
    "$load" --clients "$clients" --duration "$seconds" --server-pid "$pid" ${BRANNOC_TALLY_LOAD_ARGS:-} ||
        echo "brannoc-tally-load: exit status $?" >&2
    echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
    exit
fi

seconds=${1:-20}
[ $# -gt 0 ] && shift
[ $# -gt 0 ] || set -- 1000 5000

floor_source=${BRANNOC_FLOOR_SOURCE:-$(dirname "$0")/../../shared/bench/floor-server.c}
floor=
if [ -f "$floor_source" ]; then
    cc -O2 -o "$work/floor-server" "$floor_source" && floor=$work/floor-server
fi

# load NAME PROGRAM CLIENTS: one load run against a new server; its summary line in $work/NAME.
load_run() {
    local name=$1 program=$2 clients=$3 status=0
    "$program" --db "$work/$name.db" --admin-socket "$work/$name.sock" --max-connections 20000 \
        2>"$work/$name.log" &
    pid=$!
    wait_log "$work/$name.log" "$pid"
    echo
    echo "== $clients clients, $name"
    # shellcheck disable=SC2086 # the extra options are meant to split
    "$load" --clients "$clients" --duration "$seconds" --server-pid "$pid" ${BRANNOC_TALLY_LOAD_ARGS:-} |
        tee "$work/$name.out" || status=$?
    echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg); server log lines: $(wc -l <"$work/$name.log")"
    kill "$pid"
    wait "$pid" || true
    pid=
    [ "$status" = 0 ] || echo "brannoc-tally-load: exit status $status" >&2
}

echo "$(nproc) cores; load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
for clients in "$@"; do
    load_run "server-$clients" "$server" "$clients"
    [ -n "$floor" ] || continue
    load_run "floor-$clients" "$floor" "$clients"
    # summary: p50 A p99 B max C cpu D peak E
    read -r _ _ p50 _ p99 _ max _ cpu _ peak < <(grep '^summary:' "$work/server-$clients.out" || echo)
    read -r _ _ fp50 _ fp99 _ fmax _ fcpu _ fpeak < <(grep '^summary:' "$work/floor-$clients.out" || echo)
    echo
    echo "| clients | | p50 ms | p99 ms | max ms | server CPU % | peak MiB |"
    echo "|---|---|---|---|---|---|---|"
    echo "| $clients | brannoc-server | $p50 | $p99 | $max | $cpu | $peak |"
    echo "| $clients | floor server | $fp50 | $fp99 | $fmax | $fcpu | $fpeak |"
    awk -v a="$p50" -v b="$fp50" -v c="$p99" -v d="$fp99" -v e="$peak" -v f="$fpeak" -v n="$clients" \
        'BEGIN { if (b > 0 && d > 0) printf "| %s | ratio | %.2f | %.2f | | | %.1f KiB a connection more |\n", n, a / b, c / d, (e - f) * 1024 / n }'
done
rounds=${BRANNOC_TALLY_ROUNDS:-100}
if [ "$rounds" -gt 0 ]; then
    echo
    durability "$rounds"
fi
