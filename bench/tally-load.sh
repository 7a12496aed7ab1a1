#!/bin/bash
# The tally server under load, then its durability when killed.
#
#   bench/tally-load.sh BUILD [seconds] [clients...]     (defaults: 20 s; 1000 and 5000 clients)
#   bench/tally-load.sh BUILD durability [rounds]         (durability alone; default 100 rounds)
#   bench/tally-load.sh BUILD cluster [seconds] [clients]  (default: 20 s, 5000 clients)
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
# BRANNOC_TALLY_ROUNDS sets the durability rounds after the load runs (0: none).
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

echo "$(nproc) cores; load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
for clients in "$@"; do
    "$server" --db "$work/load-$clients.db" --admin-socket "$work/admin-$clients.sock" \
        2>"$work/server-$clients.log" &
    pid=$!
    for _ in $(seq 100); do
        grep -q "listening on" "$work/server-$clients.log" && break
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    if ! grep -q "listening on" "$work/server-$clients.log"; then
        cat "$work/server-$clients.log" >&2
        exit 1
    fi
    echo
    status=0
    # shellcheck disable=SC2086 # the extra options are meant to split
    "$load" --clients "$clients" --duration "$seconds" --server-pid "$pid" ${BRANNOC_TALLY_LOAD_ARGS:-} || status=$?
    echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg); server log lines: $(wc -l <"$work/server-$clients.log")"
    kill "$pid"
    wait "$pid" || true
    pid=
    [ "$status" = 0 ] || echo "brannoc-tally-load: exit status $status" >&2
done
rounds=${BRANNOC_TALLY_ROUNDS:-100}
if [ "$rounds" -gt 0 ]; then
    echo
    durability "$rounds"
fi
