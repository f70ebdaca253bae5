"""Flood control (--msg-rate R, --msg-burst B) seen from outside: clients
sending as fast as they can over TCP, TLS and WebSocket are slowed to R
messages a second, each alone, while an honest client's "@PING" keeps
answering; after 30 s over their rate they are dropped with "Message flood".
"""

import base64
import os
import shutil
import socket
import ssl
import struct
import subprocess
import threading
import time

from conftest import (IO_TIMEOUT, IS_WINE, Client, frame, free_port, metric, run_once, scrape)

RATE = 5
BURST = 2 * RATE  # the default
FLOOD_DROP_S = 30
TCP_FLOODERS = 4
# Every ping answered within this, however hard the others flood.
PING_BOUND_S = 1.0
PING_EVERY_S = 0.25  # below the honest client's own rate
OPENSSL = shutil.which("openssl")


def _build_serves(*args):
    rc, out, err = run_once(["1", *args])
    return "support" not in err


HAS_TLS = OPENSSL is not None and _build_serves(
    "--tls-port", "2", "--tls-cert", "/nonexistent/c.pem", "--tls-key", "/nonexistent/k.pem")
HAS_WS = not IS_WINE


def _certificate(directory):
    cert, key = directory / "cert.pem", directory / "key.pem"
    subprocess.run([OPENSSL, "req", "-x509", "-newkey", "ec", "-pkeyopt",
                    "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", str(key), "-out",
                    str(cert), "-days", "2", "-subj", "/CN=127.0.0.1"],
                   check=True, capture_output=True, timeout=60)
    return cert, key


def _tls_socket(port):
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    ctx.check_hostname = False
    ctx.verify_mode = ssl.CERT_NONE  # a certificate made for this test alone
    raw = socket.create_connection(("127.0.0.1", port), timeout=IO_TIMEOUT)
    return ctx.wrap_socket(raw)


def _ws_socket(port):
    sock = socket.create_connection(("127.0.0.1", port), timeout=IO_TIMEOUT)
    key = base64.b64encode(os.urandom(16)).decode()
    sock.sendall((f"GET / HTTP/1.1\r\nHost: localhost\r\nUpgrade: websocket\r\n"
                  f"Connection: Upgrade\r\nSec-WebSocket-Key: {key}\r\n"
                  f"Sec-WebSocket-Version: 13\r\n\r\n").encode())
    answer = b""
    while not answer.endswith(b"\r\n\r\n"):
        chunk = sock.recv(1)
        assert chunk, f"closed during the upgrade: {answer!r}"
        answer += chunk
    assert answer.startswith(b"HTTP/1.1 101 "), answer
    return sock


def _ws_text(payload):
    mask = os.urandom(4)
    assert len(payload) < 126
    return (bytes([0x81, 0x80 | len(payload)]) + mask +
            bytes(b ^ mask[i % 4] for i, b in enumerate(payload)))


class Flooder(threading.Thread):
    """Sends its numbered messages as fast as the connection takes them,
    until the server ends it. It never reads: what is relayed to it fits in
    its socket's buffer for the length of the test."""

    def __init__(self, name, sock, encode):
        super().__init__(daemon=True)
        self.name_ = name
        self.sock = sock
        self.encode = encode
        self.started = time.monotonic()

    def run(self):
        n = 0
        try:
            while True:
                batch = b"".join(self.encode(f"{self.name_} {n + i}".encode()) for i in range(200))
                self.sock.sendall(batch)
                n += 200
        except (OSError, ValueError):
            pass  # dropped


class Room(threading.Thread):
    """A plain client that reads everything relayed, counting each
    flooder's messages and checking they come in order."""

    def __init__(self, client):
        super().__init__(daemon=True)
        self.client = client
        self.counts = {}
        self.out_of_order = []
        self.stop = False

    def run(self):
        while not self.stop:
            try:
                payload = self.client.recv_frame(timeout=0.5).decode()
            except AssertionError:
                continue
            name, _, number = payload.partition(" ")
            expected = self.counts.get(name, 0)
            if number != str(expected):
                self.out_of_order.append(payload)
            self.counts[name] = expected + 1


def _ping_round_trips(client, until):
    """Pings until `until` (monotonic); the round trips, in seconds."""
    trips = []
    while time.monotonic() < until:
        sent = time.monotonic()
        client.send_frame(b"@PING")
        while client.recv_frame(timeout=PING_BOUND_S * 5) != b"@PING":
            pass  # relayed flood messages come in between
        trips.append(time.monotonic() - sent)
        time.sleep(PING_EVERY_S)
    return trips


def test_flooders_are_slowed_to_their_rate_then_dropped(server_factory, tmp_path):
    metrics_port = free_port()
    args = ["{port}", "--msg-rate", str(RATE), "--metrics", str(metrics_port)]
    if HAS_TLS:
        cert, key = _certificate(tmp_path)
        tls_port = free_port()
        args += ["--tls-port", str(tls_port), "--tls-cert", str(cert), "--tls-key", str(key)]
    if HAS_WS:
        ws_port = free_port()
        args += ["--ws-port", str(ws_port)]
    server = server_factory(args=args)
    honest = server.connect()
    room = Room(server.connect())
    room.start()

    flooders = []
    for i in range(TCP_FLOODERS):
        flooders.append(Flooder(f"tcp{i}", server.connect().sock, frame))
    if HAS_TLS:
        server.wait_line(f"TLS is open at port {tls_port}")
        flooders.append(Flooder("tls", _tls_socket(tls_port), frame))
    if HAS_WS:
        server.wait_line(f"WebSocket clients at port {ws_port}")
        flooders.append(Flooder("ws", _ws_socket(ws_port), _ws_text))
    begun = time.monotonic()
    for f in flooders:
        f.start()

    # Ping while they flood, up to a little before the first drop.
    trips = _ping_round_trips(honest, begun + FLOOD_DROP_S - 2)
    trips.sort()
    p99 = trips[int(len(trips) * 0.99) - 1 if len(trips) >= 100 else -1]
    print(f"honest @PING while {len(flooders)} flood: {len(trips)} pings, p99 {p99 * 1000:.0f} ms,"
          f" slowest {trips[-1] * 1000:.0f} ms")
    assert trips[-1] < PING_BOUND_S, trips[-5:]
    held = metric(scrape(metrics_port), "tovrel_flood_held_clients")
    assert held == len(flooders), held

    server.wait_count("Message flood", len(flooders), timeout=FLOOD_DROP_S)
    ended = time.monotonic()
    time.sleep(0.5)  # the last relayed messages reach the room
    room.stop = True
    room.join(5)
    assert room.out_of_order == [], room.out_of_order[:5]
    # Each got about R a second: within its burst and the credit of the
    # time it flooded, and no less than half of that.
    most = BURST + RATE * (ended - begun) + RATE
    least = RATE * FLOOD_DROP_S / 2
    print(f"relayed over {ended - begun:.1f} s: {room.counts}")
    for f in flooders:
        got = room.counts.get(f.name_, 0)
        assert least <= got <= most, (f.name_, got, least, most)
    # The honest client stays, and keeps answering.
    assert _ping_round_trips(honest, time.monotonic() + PING_EVERY_S)
    text = scrape(metrics_port)
    assert metric(text, 'tovrel_disconnections_total{reason="flood"}') == len(flooders)
    assert metric(text, "tovrel_flood_held_clients") == 0
    assert metric(text, "tovrel_flood_holds_total") >= len(flooders)
    assert server.count("Message flood") == len(flooders)
