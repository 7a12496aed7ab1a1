#!/usr/bin/python3
"""The cost of the overlay at rest: brannoc-server's CPU and memory with N idle game clients (each
pinging every 2 s, as the client does), then with N idle event streams beside them.

    bench/overlay-idle.py BUILD [clients] [seconds]     (defaults: 1000 and 30 s)

Runs in a private network namespace (as root), on a new database in a temporary folder. The CPU is
the growth of utime + stime in /proc/PID/stat over the measured wall time, in percent of one core;
the memory VmRSS at the end and VmHWM (peak) from /proc/PID/status."""

import os
import selectors
import shutil
import socket
import subprocess
import sys
import tempfile
import time

if not os.environ.get("BRANNOC_BENCH_NETNS"):
    os.environ["BRANNOC_BENCH_NETNS"] = "1"
    os.execvp("unshare", ["unshare", "-n", sys.executable] + sys.argv)
subprocess.run(["ip", "link", "set", "lo", "up"], check=True)

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
from tally_client import frame  # noqa: E402

build = os.path.abspath(sys.argv[1])
clients = int(sys.argv[2]) if len(sys.argv) > 2 else 1000
seconds = float(sys.argv[3]) if len(sys.argv) > 3 else 30.0
tick = os.sysconf("SC_CLK_TCK")


def cpu(pid):
    fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / tick


def memory(pid):
    status = dict(line.split(":", 1) for line in open(f"/proc/{pid}/status"))
    return [int(status[key].split()[0]) / 1024 for key in ("VmRSS", "VmHWM")]


work = tempfile.mkdtemp(prefix="brannoc-overlay-idle.")
server = subprocess.Popen(
    [f"{build}/brannoc-server", "--db", f"{work}/tally.db", "--max-per-address", str(4 * clients),
     "--max-connections", str(4 * clients)],
    stderr=open(f"{work}/log", "w"))
selector = selectors.DefaultSelector()
games, streams = [], []
try:
    deadline = time.monotonic() + 10
    while "listening on" not in open(f"{work}/log").read():
        if time.monotonic() > deadline or server.poll() is not None:
            sys.exit("the server did not start:\n" + open(f"{work}/log").read())
        time.sleep(0.05)

    def connect(port, first):
        sock = socket.create_connection(("127.0.0.1", port))
        sock.sendall(first)
        sock.setblocking(False)
        selector.register(sock, selectors.EVENT_READ)
        return sock

    def serve(duration):
        """Reads everything that comes and pings each game client every 2 s, for duration seconds."""
        end = time.monotonic() + duration
        next_ping = time.monotonic()
        while (now := time.monotonic()) < end:
            if now >= next_ping:
                for sock in games:
                    sock.send(frame("ping"))
                next_ping = now + 2
            for key, _ in selector.select(min(end, next_ping) - now):
                if not key.fileobj.recv(65536):
                    sys.exit("the server closed a connection:\n" + open(f"{work}/log").read()[-2000:])

    def measure(what):
        serve(3)  # settled
        start_cpu, start = cpu(server.pid), time.monotonic()
        serve(seconds)
        share = 100 * (cpu(server.pid) - start_cpu) / (time.monotonic() - start)
        rss, peak = memory(server.pid)
        print(f"{what}: CPU {share:.2f} % of a core, memory {rss:.1f} MiB (peak {peak:.1f} MiB)")

    for i in range(clients):
        games.append(connect(34567, frame("whoami", f"user{i}", f"User {i}")))
    measure(f"{clients} idle game clients")
    for i in range(clients):
        streams.append(connect(34580, b"GET /overlay/events HTTP/1.1\r\nHost: bench\r\n\r\n"))
    measure(f"{clients} idle game clients and {clients} idle event streams")
    opened = open(f"{work}/log").read().count("overlay stream opened")
    if opened != clients:
        sys.exit(f"{opened} streams opened, not {clients}")
finally:
    for sock in games + streams:
        sock.close()
    server.terminate()
    server.wait(10)
    shutil.rmtree(work, ignore_errors=True)
