#!/usr/bin/env python3
"""Load and attack cases against the real server on 127.0.0.1, one per run:

  attacks.py never-readers [--count K]    K clients never read while two clients
                                          send 131072-byte messages at full rate
  attacks.py full-rate [--count N]        N clients send 131072-byte messages at
                                          full rate and read everything
  attacks.py stalled-history [--count K]  K clients connect to a history of three
                                          131072-byte messages and never read
  attacks.py burst [--count N]            N connections at once, each sends a ping

In every case an honest client reads everything and pings every 200 ms. The
defaults are small enough for CI and assert loosely (RSS bounded, no honest
client dropped, the burst served); --report prints the figures as one JSON
line and asserts nothing, for measure_load.py. Every case is bounded in time
(--seconds) and count; the binary comes from TOVREL_SERVER."""

import argparse
import fcntl
import termios
import json
import multiprocessing
import os
import select
import selectors
import socket
import struct
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from serverproc import Server, built_with_asan, server_binary  # noqa: E402
from tovrel_test_support import HOST, frame  # noqa: E402

BIG = b"a" * 131072
BUDGET_MIB = 512  # the server's default memory budget
DROP_LINES = ("Output overflow", "TIMEOUT", "Memory budget exceeded")


def percentile(values, p):
    if not values:
        return None
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(len(ordered) * p / 100))]


class Honest:
    """Reads everything from its own thread; optionally pings every 200 ms
    and keeps the round trips, or sends BIG as fast as TCP takes it."""

    def __init__(self, port, ping=False, flood=False):
        self.sock = socket.create_connection((HOST, port), timeout=10)
        self.sock.settimeout(None)  # the reader waits in select, so sends may block
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.ping, self.flood = ping, flood
        self.stop = threading.Event()
        self.closed = None  # why the connection ended, if it did before stop
        self.frames = 0
        self.rtts = []
        self.unread = []  # bytes waiting in our kernel buffer at each reply
        self.ahead = []  # bytes that arrived between each ping and its reply
        self.received = 0
        self.pings_out = []  # (send time, bytes received by then) of pings not yet answered
        self.lock = threading.Lock()
        self.threads = [threading.Thread(target=self._read, daemon=True)]
        if ping or flood:
            self.threads.append(threading.Thread(target=self._send, daemon=True))

    def start(self):
        for t in self.threads:
            t.start()

    def _read(self):
        buf = bytearray()
        at = 0
        while not self.stop.is_set():
            try:
                if not select.select([self.sock], [], [], 0.5)[0]:
                    continue
                chunk = self.sock.recv(1 << 20)
            except (OSError, ValueError) as e:
                self._ended(repr(e))
                return
            if not chunk:
                self._ended("closed by the server")
                return
            buf += chunk
            self.received += len(chunk)
            while len(buf) - at >= 4:
                (n,) = struct.unpack_from("<i", buf, at)
                if len(buf) - at < 4 + n:
                    break
                if n == 5 and buf[at + 4:at + 9] == b"@PING":
                    with self.lock:
                        if self.pings_out:
                            sent_at, received = self.pings_out.pop(0)
                            self.rtts.append(time.monotonic() - sent_at)
                            self.ahead.append(self.received - received)
                            self.unread.append(struct.unpack("i", fcntl.ioctl(
                                self.sock.fileno(), termios.FIONREAD, b"\0\0\0\0"))[0])
                else:
                    self.frames += 1
                at += 4 + n
            if at > (1 << 20):
                del buf[:at]
                at = 0

    def _send(self):
        ping = frame(b"@PING")
        big = frame(BIG)
        next_ping = time.monotonic()
        try:
            while not self.stop.is_set():
                if self.ping and time.monotonic() >= next_ping:
                    with self.lock:
                        self.pings_out.append((time.monotonic(), self.received))
                    self.sock.sendall(ping)
                    next_ping += 0.2
                if self.flood:
                    self.sock.sendall(big)
                else:
                    time.sleep(max(0.0, next_ping - time.monotonic()))
        except OSError as e:
            self._ended(repr(e))

    def _ended(self, why):
        if not self.stop.is_set() and self.closed is None:  # not our own halt
            self.closed = why

    def halt(self):
        if self.stop.is_set():
            return
        self.stop.set()
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        for t in self.threads:
            t.join(5)
        self.sock.close()


def _pinger_main(port, conn):
    h = Honest(port, ping=True)
    h.start()
    conn.recv()  # the stop
    h.halt()
    conn.send({"rtts": h.rtts, "ahead": h.ahead, "unread": h.unread, "closed": h.closed, "frames": h.frames})


class Pinger:
    """An honest client that reads everything and pings every 200 ms, in a
    process of its own, so the load generators' threads do not delay it."""

    def __init__(self, port):
        self.conn, child = multiprocessing.Pipe()
        self.proc = multiprocessing.Process(target=_pinger_main, args=(port, child), daemon=True)
        self.proc.start()
        self.rtts, self.ahead, self.unread, self.closed, self.frames = [], [], [], None, 0
        self.done = False

    def start(self):
        pass  # it starts by itself

    def halt(self):
        if self.done:
            return
        self.done = True
        self.conn.send("stop")
        if self.conn.poll(15):
            r = self.conn.recv()
            self.rtts, self.ahead, self.unread = r["rtts"], r["ahead"], r["unread"]
            self.closed, self.frames = r["closed"], r["frames"]
        else:
            self.closed = "the pinger did not report"
        self.proc.join(5)
        if self.proc.is_alive():
            self.proc.kill()


def quiet_socket():
    """A client that never reads: a small receive buffer, so the server's
    queue for it grows instead of the kernel's."""
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    return s


def connect_paced(server, count, deadline, rss_cap_kib):
    """Connects `count` never-reading clients, a few at a time, so that even a
    listen backlog of 5 takes them all; stops early once the server's RSS
    passes the cap. Returns the sockets."""
    socks = []
    base = server.count("New client connected")
    while len(socks) < count and time.monotonic() < deadline:
        rss = server.sample_rss()
        if rss is None or rss > rss_cap_kib:
            break
        for _ in range(min(4, count - len(socks))):
            s = quiet_socket()
            s.settimeout(10)
            s.connect((HOST, server.port))
            socks.append(s)
        target = base + len(socks)
        while server.count("New client connected") < target and time.monotonic() < deadline:
            time.sleep(0.005)
    return socks


def stop_all(server, honest, sockets=()):
    """Ends a case: its honest clients, its other sockets, then the server."""
    for h in honest:
        h.halt()
    for s in sockets:
        s.close()
    server.kill()


def drops(server):
    return {line: server.count(line) for line in DROP_LINES}


def watch(server, seconds, rss_cap_kib, until=None):
    """Samples RSS every 0.1 s for up to `seconds`, or until `until()` holds,
    or the RSS passes the cap. Returns the seconds watched."""
    t0 = time.monotonic()
    while time.monotonic() - t0 < seconds:
        rss = server.sample_rss()
        if rss is None or (rss_cap_kib and rss > rss_cap_kib):
            break
        if until is not None and until():
            break
        time.sleep(0.1)
    return time.monotonic() - t0


def honest_report(honest):
    rtts = [r for h in honest for r in h.rtts]
    ahead = [a for h in honest for a in h.ahead]
    unread = [u for h in honest for u in getattr(h, "unread", [])]
    return {
        "unread_p99_kib": round(percentile(unread, 99) / 1024, 1) if unread else None,
        "ahead_p99_kib": round(percentile(ahead, 99) / 1024, 1) if ahead else None,
        "honest_dropped": sum(1 for h in honest if h.closed),
        "ping_p50_ms": round(percentile(rtts, 50) * 1000, 1) if rtts else None,
        "ping_p99_ms": round(percentile(rtts, 99) * 1000, 1) if rtts else None,
        "pings": len(rtts),
    }


def case_never_readers(args):
    server = Server()
    quiet, honest = [], []
    try:
        # The load runs first, so each never-reader has output queued (and
        # is no idle client) from its accept on.
        honest = [Honest(server.port, flood=True), Honest(server.port, flood=True),
                  Pinger(server.port)]
        server.wait_for(lambda: server.count("New client connected") == 3, 20, "the accepts")
        for h in honest:
            h.start()
        quiet = connect_paced(server, args.count, time.monotonic() + 120, args.rss_cap_mib * 1024)
        watched = watch(server, args.seconds, args.rss_cap_mib * 1024)
        for h in honest:
            h.halt()
        result = {"case": "never-readers", "count": args.count, "connected": len(quiet),
                  "seconds": round(watched, 1),
                  "peak_rss_mib": round(server.max_rss_kib / 1024, 1),
                  "stopped_at_cap": server.max_rss_kib > args.rss_cap_mib * 1024,
                  **drops(server), **honest_report(honest)}
        return result, server
    finally:
        stop_all(server, honest, quiet)


def case_full_rate(args):
    server = Server()
    honest = []
    try:
        for _ in range(args.count):
            honest.append(Honest(server.port, flood=True))
        honest.append(Pinger(server.port))
        server.wait_for(lambda: server.count("New client connected") == len(honest), 20,
                        "the accepts")
        for h in honest:
            h.start()
        watched = watch(server, args.seconds, args.rss_cap_mib * 1024)
        for h in honest:
            h.halt()
        result = {"case": "full-rate", "count": args.count, "seconds": round(watched, 1),
                  "peak_rss_mib": round(server.max_rss_kib / 1024, 1),
                  "frames_to_pinger": honest[-1].frames,
                  **drops(server), **honest_report(honest)}
        return result, server
    finally:
        stop_all(server, honest)


def case_stalled_history(args):
    server = Server()
    quiet, honest = [], []
    try:
        author = Honest(server.port, ping=True)  # pings, so it is never idle
        honest = [author, Pinger(server.port)]
        server.wait_for(lambda: server.count("New client connected") == 2, 20, "the accepts")
        for _ in range(3):
            author.sock.sendall(frame(BIG))
        author.start()
        server.wait_for(lambda: author.frames >= 3, 20, "the history")
        t0 = time.monotonic()
        quiet = connect_paced(server, args.count, t0 + 120, args.rss_cap_mib * 1024)
        connected = time.monotonic() - t0
        rss_connected = server.sample_rss()
        watched = watch(server, args.seconds, args.rss_cap_mib * 1024,
                        until=lambda: server.count("Disconnected") >= args.count)
        rss_end = server.sample_rss()
        for h in honest:
            h.halt()
        result = {"case": "stalled-history", "count": args.count,
                  "accepted": server.count("New client connected") - 2,
                  "connect_seconds": round(connected, 1),
                  "peak_rss_mib": round(server.max_rss_kib / 1024, 1),
                  "rss_all_connected_mib": round((rss_connected or 0) / 1024, 1),
                  "rss_end_mib": round((rss_end or 0) / 1024, 1),
                  "watched_after_connect": round(watched, 1),
                  "dropped": server.count("Disconnected"), **drops(server),
                  **honest_report(honest)}
        return result, server
    finally:
        stop_all(server, honest, quiet)


def case_burst(args):
    server = Server()
    honest = [Pinger(server.port)]
    sel = selectors.DefaultSelector()
    socks = []
    try:
        honest[0].start()
        server.wait_for(lambda: server.count("New client connected") == 1, 20, "the accept")
        ping = frame(b"@PING")
        t0 = time.monotonic()
        for _ in range(args.count):
            s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            s.setblocking(False)
            s.connect_ex((HOST, server.port))
            socks.append(s)
            sel.register(s, selectors.EVENT_WRITE, [b"", False])
        answered = connected = 0
        last_answer = None
        while answered < args.count and time.monotonic() - t0 < args.seconds:
            for key, events in sel.select(timeout=0.2):
                s, state = key.fileobj, key.data
                if events & selectors.EVENT_WRITE and not state[1]:
                    if s.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR) != 0:
                        sel.unregister(s)
                        continue
                    state[1] = True
                    connected += 1
                    s.send(ping)  # 9 bytes: fits any send buffer
                    sel.modify(s, selectors.EVENT_READ, state)
                elif events & selectors.EVENT_READ:
                    try:
                        chunk = s.recv(4096)
                    except OSError:
                        chunk = b""
                    if not chunk:
                        sel.unregister(s)
                        continue
                    state[0] += chunk
                    if ping in state[0]:
                        answered += 1
                        last_answer = time.monotonic() - t0
                        sel.unregister(s)
        server.sample_rss()
        for h in honest:
            h.halt()
        result = {"case": "burst", "count": args.count, "connected": connected,
                  "accepted": server.count("New client connected") - 1, "answered": answered,
                  "all_answered_after_s": round(last_answer, 1)
                  if answered == args.count and last_answer else None,
                  "gave_up_after_s": None if answered == args.count else args.seconds,
                  "peak_rss_mib": round(server.max_rss_kib / 1024, 1),
                  **drops(server), **honest_report(honest)}
        return result, server
    finally:
        stop_all(server, honest, socks)


CASES = {
    "never-readers": (case_never_readers, 50, 10),
    "full-rate": (case_full_rate, 4, 8),
    "stalled-history": (case_stalled_history, 100, 25),
    "burst": (case_burst, 300, 30),
}


def check(result):
    """The loose assertions of the CI runs."""
    scale = 4 if built_with_asan(server_binary()) else 1
    assert result["honest_dropped"] == 0, result
    assert result["pings"] > 0, result
    case = result["case"]
    if case == "never-readers":
        assert result["peak_rss_mib"] < (BUDGET_MIB + 64) * scale, result
    elif case == "full-rate":
        assert all(result[line] == 0 for line in DROP_LINES), result
        assert result["frames_to_pinger"] > 0, result
    elif case == "stalled-history":
        assert result["accepted"] == result["count"], result
        assert result["TIMEOUT"] == result["count"], result  # every one dropped, by the stall rule
    elif case == "burst":
        assert result["answered"] == result["count"], result


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("case", choices=sorted(CASES))
    parser.add_argument("--count", type=int)
    parser.add_argument("--seconds", type=float)
    parser.add_argument("--rss-cap-mib", type=int, default=3072,
                        help="stop a case once the server's RSS passes this (default 3072)")
    parser.add_argument("--report", action="store_true",
                        help="print the figures as JSON and assert nothing")
    args = parser.parse_args()
    run, count, seconds = CASES[args.case]
    args.count = count if args.count is None else args.count
    args.seconds = seconds if args.seconds is None else args.seconds
    result, _ = run(args)
    if args.report:
        print(json.dumps(result))
        return
    print(" ".join(f"{k}={v}" for k, v in result.items()))
    check(result)


if __name__ == "__main__":
    main()
