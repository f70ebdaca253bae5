#!/usr/bin/env python3
"""Latency and CPU per delivery of one room served through Redis by three
instances, next to one instance alone, over 127.0.0.1.

The same clients send the same load in both: every client sends frames of
--size bytes at its share of --rate, stamped with the send time; every
client receives every frame, and each arrival gives one latency. CPU comes
from /proc for the tovrel processes and, in the room, redis-server. Every
frame is checked to arrive once at every client, in one order.

With --failover it runs a third setup: the three instances find the room's
Redis through three Sentinels, with one replica, and the primary is killed
a third of the way through the load. Every frame must still arrive once at
every client, in one order; it prints the time from the kill to the first
arrival of a frame sent after it, the longest time any client went without
a frame, and what the instances' consoles counted (messages sent again,
duplicates suppressed, messages missed).

Usage: bench/cluster.py --exe build/tovrel [--seconds 10] [--clients 30]
       [--rate 200] [--size 64] [--failover]
Prints one tab-separated row per setup."""

import argparse
import os
import re
import selectors
import socket
import struct
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "soak"))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "support"))
from tovrel_test_support import RedisSentinel, RedisServer, frame  # noqa: E402


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


class Peer:
    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=5)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.sock.setblocking(False)
        self.buf = bytearray()
        self.order = []
        self.last = None


def run(setup, servers, pids, args, kill_at=None, kill=None):
    peers = [Peer(servers[i % len(servers)].port) for i in range(args.clients)]
    # Every client accepted before the first frame (one accept per pass).
    deadline = time.monotonic() + 30
    while sum(s.stdout.count("New client connected") for s in servers) < args.clients:
        if time.monotonic() > deadline:
            raise SystemExit(f"{setup}: not every client was accepted")
        time.sleep(0.05)
    sel = selectors.DefaultSelector()
    for p in peers:
        sel.register(p.sock, selectors.EVENT_READ, p)
    latencies = []
    interval = args.clients / args.rate
    start = time.monotonic()
    due = [start + i * interval / args.clients for i in range(args.clients)]
    seq = 0
    cpu0 = [cpu_seconds(pid) for pid in pids]
    pad = b"x" * (args.size - 33)
    end = start + args.seconds
    killed_at = None
    first_after_kill = None
    arrivals = []  # per client, the time of its last frame
    longest_gap = 0.0
    while True:
        now = time.monotonic()
        if now >= end and all(len(p.order) == seq for p in peers):
            break
        if now > end + 30:
            raise SystemExit(f"{setup}: frames missing after the load ended")
        if kill_at is not None and killed_at is None and now >= start + kill_at:
            kill()
            killed_at = time.monotonic()
        for i, p in enumerate(peers):
            if now < end and now >= due[i]:
                # Text: the server relays a payload only up to a NUL byte.
                payload = b"B%016x%016x" % (seq, time.monotonic_ns()) + pad
                p.sock.sendall(frame(payload))
                seq += 1
                due[i] += interval
        for key, _ in sel.select(0.001):
            p = key.data
            data = p.sock.recv(1 << 20)
            if not data:
                raise SystemExit(f"{setup}: the server closed a client")
            p.buf += data
            got = time.monotonic_ns() / 1e9
            if p.last is not None:
                longest_gap = max(longest_gap, got - p.last)
            p.last = got
            while len(p.buf) >= 4:
                (n,) = struct.unpack_from("<i", p.buf)
                if len(p.buf) < 4 + n:
                    break
                number = int(p.buf[5:21], 16)
                sent = int(p.buf[21:37], 16) / 1e9
                p.order.append(number)
                latencies.append(got - sent)
                if killed_at is not None and first_after_kill is None and sent > killed_at:
                    first_after_kill = got - killed_at
                del p.buf[:4 + n]
    cpu = [cpu_seconds(pid) - c for pid, c in zip(pids, cpu0)]
    for p in peers:
        if p.order != peers[0].order or sorted(p.order) != list(range(seq)):
            raise SystemExit(f"{setup}: a client did not get every frame once in one order")
        p.sock.close()
    latencies.sort()
    deliveries = len(latencies)

    def pct(q):
        return latencies[min(deliveries - 1, int(q * deliveries))] * 1000

    tovrel_cpu = sum(cpu[:len(servers)])
    redis_cpu = sum(cpu[len(servers):])
    print(f"{setup}\t{len(servers)}\t{args.clients}\t{args.rate:g}\t{args.size}\t{deliveries}\t"
          f"{pct(0.5):.2f}\t{pct(0.99):.2f}\t{latencies[-1] * 1000:.2f}\t"
          f"{tovrel_cpu / deliveries * 1e6:.2f}\t{redis_cpu / deliveries * 1e6:.2f}", flush=True)
    return first_after_kill, longest_gap


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--exe", required=True)
    parser.add_argument("--seconds", type=float, default=10)
    parser.add_argument("--clients", type=int, default=30)
    parser.add_argument("--rate", type=float, default=200, help="frames per second, all senders")
    parser.add_argument("--size", type=int, default=64)
    parser.add_argument("--failover", action="store_true",
                        help="also run the room through Sentinel and kill its primary")
    args = parser.parse_args()
    if args.size < 33:
        raise SystemExit("--size must be at least 33")
    os.environ["TOVREL_SERVER"] = os.path.abspath(args.exe)
    from serverproc import Server
    print("setup\tinstances\tclients\trate\tsize\tdeliveries\tp50_ms\tp99_ms\tmax_ms\t"
          "tovrel_cpu_us_per_delivery\tredis_cpu_us_per_delivery", flush=True)
    alone = Server()
    try:
        run("alone", [alone], [alone.proc.pid], args)
    finally:
        alone.kill()
    redis = RedisServer().start()
    servers = []
    try:
        room = ["--redis", f"127.0.0.1:{redis.port}", "--room", "bench"]
        for _ in range(3):
            servers.append(Server(args=room))
            servers[-1].wait_for(lambda: "Redis connected" in servers[-1].stdout, 10, "Redis")
        run("redis", servers, [s.proc.pid for s in servers] + [redis.proc.pid], args)
    finally:
        for s in servers:
            s.kill()
        redis.stop()
    if args.failover:
        failover(args)


def console_total(servers, pattern):
    return sum(int(m) for s in servers for m in re.findall(pattern, s.stdout))


def failover(args):
    from serverproc import Server
    started = []
    servers = []
    try:
        primary = RedisServer().start()
        started.append(primary)
        replica = RedisServer(replica_of=primary.port).start()
        started.append(replica)
        deadline = time.monotonic() + 15
        while "master_link_status:up" not in replica.call("INFO", "replication").decode():
            if time.monotonic() > deadline:
                raise SystemExit("failover: the replica did not get in sync")
            time.sleep(0.1)
        sentinels = [RedisSentinel("bench-primary", primary.port) for _ in range(3)]
        for s in sentinels:
            started.append(s.start())
        deadline = time.monotonic() + 20
        while not all(s.knows(replicas=1, sentinels=2) for s in sentinels):
            if time.monotonic() > deadline:
                raise SystemExit("failover: the Sentinels did not find each other")
            time.sleep(0.1)
        room = ["--redis-sentinel", ",".join(f"127.0.0.1:{s.port}" for s in sentinels),
                "--redis-master", "bench-primary", "--room", "bench"]
        for _ in range(3):
            servers.append(Server(args=room))
            servers[-1].wait_for(lambda: "Redis connected" in servers[-1].stdout, 10, "Redis")
        recovery, gap = run("failover", servers,
                            [s.proc.pid for s in servers] + [replica.proc.pid], args,
                            kill_at=args.seconds / 3, kill=primary.kill)
        again = console_total(servers, r"Sending (\d+) messages again")
        duplicates = console_total(servers, r"Suppressed (\d+) duplicate messages")
        missed = console_total(servers, r"Missed (\d+) messages")
        print(f"failover: first frame sent after the kill arrived {recovery:.2f} s after it; "
              f"longest a client went without a frame {gap:.2f} s; sent again {again}, "
              f"duplicates suppressed {duplicates}, missed {missed}", flush=True)
    finally:
        for s in servers:
            s.kill()
        for proc in reversed(started):
            proc.stop()


if __name__ == "__main__":
    main()
