#!/usr/bin/env python3
"""Latency and CPU per delivery of one room served through Redis by three
instances, next to one instance alone, over 127.0.0.1.

The same clients send the same load in both: every client sends frames of
--size bytes at its share of --rate, stamped with the send time; every
client receives every frame, and each arrival gives one latency. CPU comes
from /proc for the tovrel processes and, in the room, redis-server. Every
frame is checked to arrive once at every client, in one order.

Usage: bench/cluster.py --exe build/tovrel [--seconds 10] [--clients 30]
       [--rate 200] [--size 64]
Prints one tab-separated row per setup."""

import argparse
import os
import selectors
import socket
import struct
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "soak"))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "support"))
from tovrel_test_support import RedisServer, frame  # noqa: E402


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


def run(setup, servers, pids, args):
    peers = [Peer(servers[i % len(servers)].port) for i in range(args.clients)]
    time.sleep(0.5)  # every client accepted before the first frame
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
    while True:
        now = time.monotonic()
        if now >= end and all(len(p.order) == seq for p in peers):
            break
        if now > end + 10:
            raise SystemExit(f"{setup}: frames missing after the load ended")
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
            while len(p.buf) >= 4:
                (n,) = struct.unpack_from("<i", p.buf)
                if len(p.buf) < 4 + n:
                    break
                number = int(p.buf[5:21], 16)
                sent = int(p.buf[21:37], 16) / 1e9
                p.order.append(number)
                latencies.append(got - sent)
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


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--exe", required=True)
    parser.add_argument("--seconds", type=float, default=10)
    parser.add_argument("--clients", type=int, default=30)
    parser.add_argument("--rate", type=float, default=200, help="frames per second, all senders")
    parser.add_argument("--size", type=int, default=64)
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


if __name__ == "__main__":
    main()
