"""WebSocket clients beside TCP clients (--ws-port): a client no one here
wrote (Python's websockets) exchanges messages with plain TCP clients, and
raw sockets send what no honest client would."""

import asyncio
import base64
import hashlib
import os
import select
import shutil
import socket
import ssl
import subprocess
import struct
import threading
import time

import pytest

from conftest import (DISCONNECTED, IO_TIMEOUT, IS_WINE, NEW_CLIENT, frame, free_port, metric,
                      scrape)

websockets = pytest.importorskip("websockets")

GUID = b"258EAFA5-E914-47DA-95CA-C5AB0DC85B11"


pytestmark = pytest.mark.skipif(IS_WINE, reason="the Windows build has no WebSocket support")


@pytest.fixture
def ws_server(server_factory):
    """A server with a WebSocket listener; its port is `ws_port`."""
    def start(*extra, port_last=False):
        ws_port = free_port()
        options = ["--ws-port", str(ws_port), *extra]
        server = server_factory(args=options + ["{port}"] if port_last else ["{port}"] + options)
        server.ws_port = ws_port
        server.wait_line(f"WebSocket clients at port {ws_port}")
        return server
    return start


def run(coro):
    return asyncio.run(asyncio.wait_for(coro, 30))


def url(server):
    return f"ws://127.0.0.1:{server.ws_port}/"


async def recv(ws, timeout=IO_TIMEOUT):
    return await asyncio.wait_for(ws.recv(), timeout)


# ---------------------------------------------------------------------------
# Raw sockets, for what a library would never send


def mask(payload, key=b"\x01\x02\x03\x04"):
    return bytes(b ^ key[i % 4] for i, b in enumerate(payload))


def client_frame(opcode, payload, fin=True, masked=True):
    head = bytes([(0x80 if fin else 0) | opcode])
    n = len(payload)
    bit = 0x80 if masked else 0
    if n < 126:
        head += bytes([bit | n])
    elif n <= 0xFFFF:
        head += bytes([bit | 126]) + struct.pack(">H", n)
    else:
        head += bytes([bit | 127]) + struct.pack(">Q", n)
    if masked:
        return head + b"\x01\x02\x03\x04" + mask(payload)
    return head + payload


def request(port, key=None, version="13", extra="", path="/", upgrade=True):
    key = key or base64.b64encode(os.urandom(16)).decode()
    lines = [f"GET {path} HTTP/1.1", f"Host: 127.0.0.1:{port}"]
    if upgrade:
        lines += ["Upgrade: websocket", "Connection: Upgrade", f"Sec-WebSocket-Key: {key}",
                  f"Sec-WebSocket-Version: {version}"]
    return ("\r\n".join(lines) + "\r\n" + extra + "\r\n").encode(), key


class Raw:
    """A WebSocket spoken by hand over a plain socket."""

    def __init__(self, port=None, sock=None):
        self.sock = sock or socket.create_connection(("127.0.0.1", port), timeout=IO_TIMEOUT)
        self.buf = b""

    def http(self, data):
        """Sends a request; returns the answer's head (and keeps what follows)."""
        self.sock.sendall(data)
        while b"\r\n\r\n" not in self.buf:
            chunk = self.sock.recv(65536)
            assert chunk, f"closed before an answer: {self.buf!r}"
            self.buf += chunk
        head, self.buf = self.buf.split(b"\r\n\r\n", 1)
        return head.decode("latin-1")

    def upgrade(self, port):
        data, key = request(port)
        head = self.http(data)
        assert head.startswith("HTTP/1.1 101 "), head
        accept = base64.b64encode(hashlib.sha1(key.encode() + GUID).digest()).decode()
        assert f"Sec-WebSocket-Accept: {accept}" in head, head
        return self

    def _exact(self, n):
        while len(self.buf) < n:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise EOFError(f"closed with {len(self.buf)} of {n} bytes")
            self.buf += chunk
        out, self.buf = self.buf[:n], self.buf[n:]
        return out

    def read_frame(self):
        b0, b1 = self._exact(2)
        assert b1 & 0x80 == 0, "a server frame must not be masked"
        n = b1 & 0x7F
        if n == 126:
            (n,) = struct.unpack(">H", self._exact(2))
        elif n == 127:
            (n,) = struct.unpack(">Q", self._exact(8))
        return b0 & 0x0F, self._exact(n)

    def expect_close(self, code):
        """Reads until the close frame; asserts its code and then the end."""
        while True:
            opcode, payload = self.read_frame()
            if opcode == 8:
                break
        got = struct.unpack(">H", payload[:2])[0]
        assert got == code, f"close code {got}, expected {code}"
        self.sock.settimeout(IO_TIMEOUT)
        try:
            assert self.sock.recv(65536) == b"", "data after the close frame"
        except ConnectionResetError:
            pass

    def send(self, data):
        self.sock.sendall(data)

    def close(self):
        self.sock.close()


# ---------------------------------------------------------------------------
# Messages both ways


def test_websocket_and_tcp_clients_share_the_room(ws_server):
    server = ws_server()
    tcp = server.connect()
    for text in (b"one", b"two", b"three", b"four"):
        tcp.send_frame(text)
        tcp.expect_frame(text)

    async def scenario():
        async with websockets.connect(url(server)) as ws:
            # The history, oldest first, as text messages.
            assert [await recv(ws) for _ in range(3)] == ["two", "three", "four"]
            await ws.send("héllo from the browser")
            assert await recv(ws) == "héllo from the browser"
            tcp.expect_frame("héllo from the browser".encode())
            # A TCP message that is not UTF-8 comes as a binary message.
            tcp.send_frame(b"\xff\xfe raw")
            assert await recv(ws) == b"\xff\xfe raw"
            tcp.expect_frame(b"\xff\xfe raw")
            # A binary message is a message like any other.
            await ws.send(b"bin\x01")
            tcp.expect_frame(b"bin\x01")
            assert await recv(ws) == "bin\x01"
            # Fragments are put back together into one message.
            await ws.send(["frag", "men", "ted"])
            tcp.expect_frame(b"fragmented")
            assert await recv(ws) == "fragmented"
            # Long messages: 16- and 64-bit lengths both ways.
            for size in (200, 70000, 131072):
                text = "x" * size
                await ws.send(text)
                tcp.expect_frame(text.encode())
                assert await recv(ws) == text
            tcp.send_frame(b"y" * 70000)
            assert await recv(ws) == "y" * 70000
            tcp.expect_frame(b"y" * 70000)
            # "@PING" is answered to the sender alone, and a ping with a pong.
            await ws.send("@PING")
            assert await recv(ws) == "@PING"
            pong = await ws.ping(b"are you there")
            await asyncio.wait_for(pong, IO_TIMEOUT)
            tcp.ping_barrier()
            # The close handshake started by the client.
            await ws.close()
            assert ws.close_code == 1000

    run(scenario())
    server.wait_count(DISCONNECTED, 1)
    tcp.ping_barrier()
    server.wait_line("@PING")


def test_server_ends_the_session_with_a_close_frame(ws_server):
    server = ws_server()

    async def scenario():
        async with websockets.connect(url(server)) as ws:
            await ws.send("@PING")
            assert await recv(ws) == "@PING"
            server.stop()
            with pytest.raises(websockets.ConnectionClosed):
                await recv(ws)
            assert ws.close_code == 1001  # going away

    run(scenario())


def test_messages_reach_many_websocket_clients_once_encoded(ws_server):
    server = ws_server()
    tcp = server.connect()

    async def scenario():
        clients = [await websockets.connect(url(server)) for _ in range(20)]
        server.wait_count(NEW_CLIENT, 21)
        await clients[0].send("@PING")
        assert await recv(clients[0]) == "@PING"
        tcp.send_frame(b"to everyone")
        for ws in clients:
            assert await recv(ws) == "to everyone"
        for ws in clients:
            await ws.close()

    run(scenario())
    tcp.expect_frame(b"to everyone")


def test_tokens_hold_for_websocket_clients_too(ws_server, tmp_path):
    tokens = tmp_path / "tokens"
    tokens.write_text("good-token\n")
    mport = free_port()
    server = ws_server("--token-file", str(tokens), "--metrics", str(mport))
    tcp = server.connect()
    tcp.send_frame(b"@AUTH good-token")
    tcp.send_frame(b"history")
    tcp.expect_frame(b"history")

    async def scenario():
        async with websockets.connect(url(server)) as stranger:
            # Nothing before the token, and another first message ends it.
            await stranger.send("hello")
            with pytest.raises(websockets.ConnectionClosed):
                await recv(stranger)
        async with websockets.connect(url(server)) as ws:
            await ws.send("@AUTH good-token")
            assert await recv(ws) == "history"
            await ws.send("in")
            assert await recv(ws) == "in"
            tcp.expect_frame(b"in")
            text = scrape(mport)
            assert metric(text, 'tovrel_clients{kind="ws"}') == 1
            assert metric(text, 'tovrel_clients{kind="tcp"}') == 1

    run(scenario())
    server.wait_line("No @AUTH first")
    tcp.ping_barrier()  # "hello" was never relayed: the ping's answer comes first


def make_certificate(tmp_path):
    """A self-signed certificate for 127.0.0.1, made for the test and never kept."""
    cert, key = tmp_path / "cert.pem", tmp_path / "key.pem"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                    "ec_paramgen_curve:prime256v1", "-nodes", "-days", "1", "-subj", "/CN=localhost",
                    "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", str(key), "-out",
                    str(cert)], check=True, capture_output=True)
    return cert, key


@pytest.mark.skipif(shutil.which("openssl") is None, reason="needs the openssl program")
def test_websocket_over_tls_shares_the_room(server_factory, tmp_path):
    cert, key = make_certificate(tmp_path)
    wss_port, mport = free_port(), free_port()
    server = server_factory(args=["{port}", "--wss-port", str(wss_port), "--tls-cert", str(cert),
                                  "--tls-key", str(key), "--metrics", str(mport)])
    server.wait_line(f"WebSocket clients over TLS at port {wss_port}")
    tcp = server.connect()
    tcp.send_frame(b"before")
    tcp.expect_frame(b"before")
    context = ssl.create_default_context(cafile=str(cert))

    async def scenario():
        async with websockets.connect(f"wss://127.0.0.1:{wss_port}/", ssl=context) as ws:
            assert await recv(ws) == "before"  # the history, over TLS
            await ws.send("from a secure page")
            assert await recv(ws) == "from a secure page"
            tcp.expect_frame(b"from a secure page")
            tcp.send_frame(b"to the page")
            assert await recv(ws) == "to the page"
            tcp.expect_frame(b"to the page")
            assert metric(scrape(mport), 'tovrel_clients{kind="wss"}') == 1
            await ws.close()
            assert ws.close_code == 1000

    run(scenario())
    server.wait_count(DISCONNECTED, 1)
    # Plain HTTP to the TLS port is no handshake: closed, and nobody else harmed.
    with socket.create_connection(("127.0.0.1", wss_port), timeout=IO_TIMEOUT) as plain:
        plain.sendall(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")
        plain.settimeout(IO_TIMEOUT)
        try:
            assert plain.recv(4096)[:1] in (b"", b"\x15")  # nothing, or a TLS alert
        except ConnectionResetError:
            pass
    tcp.ping_barrier()


def tcp_queues(local_port, remote_port):
    """(bytes sent and not yet acknowledged, bytes received and not yet read)
    of the loopback socket from `local_port` to `remote_port`, as the kernel
    lists them: what a process on either end has written or read."""
    want = [f"0100007F:{local_port:04X}", f"0100007F:{remote_port:04X}"]
    with open("/proc/net/tcp") as table:
        for line in table.readlines()[1:]:
            fields = line.split()
            if fields[1:3] == want:
                sent, received = fields[4].split(":")
                return int(sent, 16), int(received, 16)
    raise AssertionError(f"no socket {want} in /proc/net/tcp")


def wait_until(predicate, what, timeout=30.0):
    deadline = time.monotonic() + timeout
    while not predicate():
        assert time.monotonic() < deadline, f"not within {timeout} s: {what}"
        time.sleep(0.05)


@pytest.mark.skipif(not os.path.exists("/proc/net/tcp"), reason="needs Linux's socket table")
@pytest.mark.parametrize("control", ["ping", "close"])
@pytest.mark.parametrize("scheme", ["wss", "ws"])
def test_control_frames_wait_for_a_half_sent_frame(server_factory, tmp_path, scheme, control):
    """A ping or a close that comes while a frame, or the TLS record that
    holds it, is half sent to a reader that stopped reading: that is
    finished first, the answer follows between two frames, and the stream
    is neither cut nor sent twice."""
    wss_port = free_port()
    if scheme == "wss":
        if shutil.which("openssl") is None:
            pytest.skip("needs the openssl program")
        cert, key = make_certificate(tmp_path)
        server = server_factory(args=["{port}", "--wss-port", str(wss_port), "--tls-cert",
                                      str(cert), "--tls-key", str(key)])
        server.wait_line(f"WebSocket clients over TLS at port {wss_port}")
    else:
        server = server_factory(args=["{port}", "--ws-port", str(wss_port)])
        server.wait_line(f"WebSocket clients at port {wss_port}")
    # A small window and small segments: the server's socket takes part of
    # a frame (a record) and then no more.
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_MAXSEG, 536)
    sock.settimeout(IO_TIMEOUT)
    sock.connect(("127.0.0.1", wss_port))
    port = sock.getsockname()[1]
    if scheme == "wss":
        context = ssl.create_default_context(cafile=str(cert))
        sock = context.wrap_socket(sock, server_hostname="127.0.0.1")
    wss = Raw(sock=sock).upgrade(wss_port)
    server.wait_count(NEW_CLIENT, 1)
    tcp = server.connect()
    # Frames of exactly 1 KiB (4 header bytes and 1020 of text): 16 fill a record.
    texts = [b"%04d" % i + b"m" * 1016 for i in range(200)]
    tcp.send_raw(b"".join(frame(t) for t in texts))
    for t in texts:
        tcp.expect_frame(t)  # all 200 are queued for the WebSocket client

    # The server is held up once neither end's queue moves any more.
    def queues():
        return tcp_queues(wss_port, port)[0], tcp_queues(port, wss_port)[1]
    last = [queues(), time.monotonic()]

    def settled():
        now = queues()
        if now != last[0]:
            last[:] = [now, time.monotonic()]
        return time.monotonic() - last[1] > 1.0
    wait_until(settled, "the stream to the WebSocket client stops")
    ping, close = b"\x89\x80\x00\x00\x00\x00", b"\x88\x82\x00\x00\x00\x00\x03\xe8"
    wss.send(ping if control == "ping" else close)
    # Read only once the server has taken it from its socket.
    wait_until(lambda: tcp_queues(port, wss_port)[0] == 0 and tcp_queues(wss_port, port)[1] == 0,
               f"the server reads the {control}")
    got = []
    try:
        while len(got) < 201 and (not got or got[-1][0] != 8):
            got.append(wss.read_frame())
    except (EOFError, OSError) as e:
        raise AssertionError(f"cut after {len(got)} frames: {e!r}")
    data = [f for f in got if f[0] == 1]
    if control == "ping":
        assert got.count((0xA, b"")) == 1, [f for f in got if f[0] != 1]
        assert data == [(1, t) for t in texts]
        # Nothing follows: the next ping's pong is the very next frame.
        wss.send(ping)
        assert wss.read_frame() == (0xA, b"")
        assert server.count(DISCONNECTED) == 0
    else:
        # Whole frames from the start, then the answer, then nothing.
        assert got[-1] == (8, b"\x03\xe8"), got[-1]
        assert data == [(1, t) for t in texts[:len(data)]] and len(data) == len(got) - 1
        try:
            assert wss.sock.recv(65536) == b"", "data after the close frame"
        except (ssl.SSLEOFError, ConnectionResetError):
            pass
        server.wait_count(DISCONNECTED, 1)
    tcp.ping_barrier()


# ---------------------------------------------------------------------------
# Limits and bad input: a clear end for the sender, no harm to anyone else


def test_oversized_message_closes_with_1009(ws_server):
    server = ws_server()
    tcp = server.connect()

    async def scenario():
        async with websockets.connect(url(server), max_size=None) as ws:
            await ws.send("z" * 131073)
            with pytest.raises(websockets.ConnectionClosed):
                await recv(ws)
            assert ws.close_code == 1009

    run(scenario())
    server.wait_line("Invalid msg size")
    tcp.ping_barrier()


def test_fragments_adding_up_past_the_limit_close_with_1009(ws_server):
    server = ws_server()
    raw = Raw(server.ws_port).upgrade(server.ws_port)
    raw.send(client_frame(1, b"a" * 70000, fin=False))
    raw.send(client_frame(0, b"b" * 70000, fin=True))
    raw.expect_close(1009)
    server.wait_line("Invalid msg size")


@pytest.mark.parametrize("payload", [b"ok \xc3\x28 not utf-8", b"ab\xe2\x82"],
                         ids=["invalid", "truncated"])
def test_invalid_utf8_text_closes_with_1007(ws_server, payload):
    server = ws_server()
    tcp = server.connect()
    raw = Raw(server.ws_port).upgrade(server.ws_port)
    raw.send(client_frame(1, payload))
    raw.expect_close(1007)
    server.wait_count(DISCONNECTED, 1)
    # Nothing of the text reached the room: the next frame is this one.
    tcp.send_frame(b"still here")
    tcp.expect_frame(b"still here")


def test_unmasked_frame_closes_with_1002(ws_server):
    server = ws_server()
    tcp = server.connect()
    raw = Raw(server.ws_port).upgrade(server.ws_port)
    raw.send(client_frame(1, b"plain", masked=False))
    raw.expect_close(1002)
    tcp.send_frame(b"plain")
    tcp.expect_frame(b"plain")  # the unmasked text was never relayed


def test_fragment_storm_is_closed(ws_server):
    server = ws_server()
    tcp = server.connect()
    raw = Raw(server.ws_port).upgrade(server.ws_port)
    storm = client_frame(1, b"", fin=False) + client_frame(0, b"", fin=False) * 20000
    try:
        raw.send(storm)
    except (BrokenPipeError, ConnectionResetError):
        pass
    raw.expect_close(1008)
    tcp.ping_barrier()


def test_frames_sent_with_the_upgrade_are_not_lost(ws_server):
    server = ws_server()
    tcp = server.connect()
    raw = Raw(server.ws_port)
    data, _ = request(server.ws_port)
    head = raw.http(data + client_frame(1, b"early one") + client_frame(1, b"early two"))
    assert head.startswith("HTTP/1.1 101 ")
    tcp.expect_frame(b"early one")
    tcp.expect_frame(b"early two")
    assert raw.read_frame() == (1, b"early one")
    assert raw.read_frame() == (1, b"early two")


@pytest.mark.parametrize("data,status", [
    (b"GET / HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\n\r\n", "400"),
    (request(0, version="8")[0], "426"),
    (request(0, key="short")[0], "400"),
    (request(0, path="/elsewhere")[0], "404"),
    (b"POST / HTTP/1.1\r\nHost: x\r\n\r\n", "405"),
    (b"GET / HTTP/1.0\r\n\r\n", "505"),
    (b"nonsense\r\n\r\n", "400"),
])
def test_bad_requests_get_an_http_error_and_a_close(ws_server, data, status):
    server = ws_server()
    tcp = server.connect()
    raw = Raw(server.ws_port)
    head = raw.http(data)
    assert head.split(" ")[1] == status, head
    assert "Connection: close" in head
    raw.sock.settimeout(IO_TIMEOUT)
    rest = raw.buf
    while True:
        chunk = raw.sock.recv(65536)
        if not chunk:
            break
        rest += chunk
    assert rest, "no body"
    server.wait_count(DISCONNECTED, 1)
    tcp.ping_barrier()


def test_header_past_the_bound_gets_431(ws_server):
    server = ws_server()
    raw = Raw(server.ws_port)
    head = raw.http(b"GET / HTTP/1.1\r\nX-Pad: " + b"p" * 9000 + b"\r\n\r\n")
    assert head.startswith("HTTP/1.1 431 ")


@pytest.mark.parametrize("port_last", [False, True], ids=["port-first", "port-last"])
def test_origins_are_checked_when_given(ws_server, port_last):
    server = ws_server("--ws-origin", "https://good.example", "--ws-origin",
                       "http://also.example:8080", port_last=port_last)
    for origin, status in (("https://good.example", "101"), ("http://also.example:8080", "101"),
                           ("https://evil.example", "403"), (None, "403")):
        extra = f"Origin: {origin}\r\n" if origin else ""
        raw = Raw(server.ws_port)
        head = raw.http(request(server.ws_port, extra=extra)[0])
        assert head.split(" ")[1] == status, (origin, head)
        raw.close()


def test_plain_get_serves_the_page_with_a_strict_policy(ws_server):
    server = ws_server()
    raw = Raw(server.ws_port)
    head = raw.http(b"GET /?room HTTP/1.1\r\nHost: x\r\n\r\n")
    assert head.startswith("HTTP/1.1 200 ")
    assert "Content-Type: text/html; charset=utf-8" in head
    csp = [line for line in head.split("\r\n") if line.startswith("Content-Security-Policy: ")]
    assert csp and "default-src 'none'" in csp[0] and "'unsafe-inline'" not in csp[0]
    length = int([line for line in head.split("\r\n")
                  if line.startswith("Content-Length: ")][0].split(": ")[1])
    body = raw._exact(length)
    assert b"new WebSocket(" in body
    assert b"http://" not in body and b"https://" not in body  # nothing from elsewhere
    # The style and the script are exactly those the policy allows.
    for tag in (b"style", b"script"):
        inline = body.split(b"<" + tag + b">")[1].split(b"</" + tag + b">")[0]
        digest = base64.b64encode(hashlib.sha256(inline).digest()).decode()
        assert f"'sha256-{digest}'" in csp[0], tag


def test_trickled_header_times_out_and_harms_no_one(ws_server):
    server = ws_server()
    tcp = server.connect()
    raw = Raw(server.ws_port)
    start = time.monotonic()
    # A byte every half second, until the server answers; the room goes on.
    while not select.select([raw.sock], [], [], 0.5)[0]:
        assert time.monotonic() - start < 14, "the trickle was never cut"
        raw.send(b"X")
        tcp.ping_barrier()
    answer = b""
    raw.sock.settimeout(IO_TIMEOUT)
    try:
        while True:
            chunk = raw.sock.recv(65536)
            if not chunk:
                break
            answer += chunk
    except ConnectionResetError:
        pass
    assert answer.startswith(b"HTTP/1.1 408 "), answer[:80]
    assert time.monotonic() - start > 9  # the handshake's 10 s
    server.wait_line("TIMEOUT")


def test_a_thousand_unfinished_upgrades(ws_server):
    server = ws_server()
    tcp = server.connect()
    half = request(server.ws_port)[0][:40]
    socks = []
    for _ in range(1000):
        s = socket.create_connection(("127.0.0.1", server.ws_port), timeout=IO_TIMEOUT)
        s.sendall(half)
        socks.append(s)
    # Meanwhile the TCP room goes on.
    for i in range(10):
        tcp.send_frame(b"busy %d" % i)
        tcp.expect_frame(b"busy %d" % i)
        time.sleep(0.2)
    # Each is cut by the handshake's time-out once it has been taken; the
    # TCP client keeps talking (it would be idle for 15 s otherwise).
    deadline = time.monotonic() + 60
    while server.count("TIMEOUT") < 1000:
        assert time.monotonic() < deadline, f"{server.count('TIMEOUT')} of 1000 timed out"
        tcp.ping_barrier()
        time.sleep(1)
    # Each was told why.
    for s in socks[:: 100]:
        assert s.recv(65536).startswith(b"HTTP/1.1 408 ")
    for s in socks:
        s.close()

    async def after():
        async with websockets.connect(url(server)) as ws:
            assert [await recv(ws) for _ in range(3)] == ["busy 7", "busy 8", "busy 9"]
            await ws.send("after the storm")
            assert await recv(ws) == "after the storm"

    run(after())
    tcp.expect_frame(b"after the storm")


# ---------------------------------------------------------------------------
# The memory budget: what a connection holds before its message or its
# request is whole goes through it, and no holder can make it spin


# Not final, text, masked, a 64-bit length of 131072, then one payload byte.
HALF_MESSAGE_HEADER = bytes.fromhex("01ff" "0000000000020000" "00000000" "41")


def budget_used(server):
    return metric(scrape(server.metrics_port), "tovrel_memory_budget_used_bytes")


def assert_room_goes_on(server, tcp, history):
    """The honest TCP client's message is relayed and its "@PING" answered,
    and a newcomer joins with the history (the message last)."""
    tcp.send_frame(history[-1])
    tcp.expect_frame(history[-1])
    tcp.ping_barrier()
    newcomer = server.connect()
    for text in history:
        newcomer.expect_frame(text)
    newcomer.ping_barrier()
    newcomer.close()


def budget_server(ws_server, *extra):
    mport = free_port()
    server = ws_server("--metrics", str(mport), *extra)
    server.metrics_port = mport
    return server


def send_quietly(sock, data):
    """Sends what the server may cut off: a connection it dropped is no error here."""
    try:
        sock.sendall(data)
    except (BrokenPipeError, ConnectionResetError):
        pass


def test_half_sent_messages_cannot_hang_the_budget(ws_server):
    server = budget_server(ws_server, "--max-memory", "1M")
    raws = [Raw(server.ws_port).upgrade(server.ws_port) for _ in range(5)]
    before = budget_used(server)
    for raw in raws:
        raw.send(HALF_MESSAGE_HEADER)
    # Each holds at least the byte it sent, with the message's length.
    server.wait_for(lambda: budget_used(server) >= before + 5 * 5, what="the headers read")
    tcp = server.connect()
    assert_room_goes_on(server, tcp, [b"after the headers"])

    # Five more, then all send their messages but the last byte: more than
    # the budget, so holders are dropped, and never the client that reads.
    raws += [Raw(server.ws_port).upgrade(server.ws_port) for _ in range(5)]
    for raw in raws[5:]:
        raw.send(HALF_MESSAGE_HEADER)
    rest = mask(b"B" * 131070, b"\x00\x00\x00\x00")
    senders = [threading.Thread(target=send_quietly, args=(raw.sock, rest), daemon=True)
               for raw in raws]
    for t in senders:
        t.start()
    server.wait_line("Memory budget exceeded", timeout=30)
    for t in senders:
        t.join(30)
    assert_room_goes_on(server, tcp, [b"after the headers", b"after the bodies"])
    assert budget_used(server) <= 1024 * 1024
    for raw in raws:
        raw.close()


def test_unfinished_upgrades_cannot_hang_the_budget(ws_server):
    server = budget_server(ws_server, "--max-memory", "1M")
    tcp = server.connect()
    half = b"GET / HTTP/1.1\r\nHost: x\r\nX-Pad: " + b"p" * 6000
    socks = []
    for _ in range(200):
        s = socket.create_connection(("127.0.0.1", server.ws_port), timeout=IO_TIMEOUT)
        s.sendall(half)
        socks.append(s)
    server.wait_count(NEW_CLIENT, 201, timeout=60)
    # Each answer comes a pass after the one before: by the last, every
    # request has been read.
    for _ in range(3):
        tcp.ping_barrier()
    server.wait_line("Memory budget exceeded")
    assert_room_goes_on(server, tcp, [b"after the requests"])
    assert budget_used(server) <= 1024 * 1024
    for s in socks:
        s.close()


def test_full_budget_of_slow_readers_makes_room_for_half_sent_messages(ws_server):
    """With the default budget filled by readers that fell behind, the
    headers and bodies of half-sent messages still go through the budget."""
    server = budget_server(ws_server)
    limit = metric(scrape(server.metrics_port), "tovrel_memory_budget_bytes")
    readers = [server.connect(rcvbuf=4096) for _ in range(100)]
    stop = threading.Event()

    def keep_them_in():
        # A few KB now and then, so no reader is dropped as stalled.
        while not stop.wait(3):
            for reader in readers:
                try:
                    reader.sock.recv(4096, socket.MSG_DONTWAIT)
                except OSError:  # nothing waiting, or already gone
                    pass

    sipper = threading.Thread(target=keep_them_in, daemon=True)
    sipper.start()
    tcp = server.connect()
    text = b"r" * 20000
    try:
        # Each frame queues some 2 MB (100 readers): the budget fills to
        # within 4 MB of its bound before any reader has to go for it.
        while True:
            left = limit - budget_used(server)
            if left < 4 * 1024 * 1024:
                break
            for _ in range(max(1, int((left - 3 * 1024 * 1024) // (100 * len(text))))):
                tcp.send_frame(text)
            tcp.send_frame(b"@PING")  # answered once the frames before it are relayed
            while True:
                got = tcp.recv_frame(timeout=30)
                if got == b"@PING":
                    break
                assert got == text
        assert server.count("Memory budget exceeded") == 0
        # More than the room left: each message grows past it as it comes.
        raws = [Raw(server.ws_port).upgrade(server.ws_port) for _ in range(40)]
        for raw in raws:
            raw.send(HALF_MESSAGE_HEADER)
        rest = mask(b"B" * 131070, b"\x00\x00\x00\x00")
        for raw in raws:
            send_quietly(raw.sock, rest)
        server.wait_line("Memory budget exceeded", timeout=30)
        assert budget_used(server) <= limit
        tcp.ping_barrier()
        assert server.count("TIMEOUT") == 0
    finally:
        stop.set()
        sipper.join(10)
