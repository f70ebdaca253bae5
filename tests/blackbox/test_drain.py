"""The drain before a stop (--drain-seconds S): SIGTERM closes the listeners
at once and then the clients one by one, spread over S seconds, each after
what was queued for it; the server then exits with status 0."""

import asyncio
import signal
import socket
import struct
import threading
import time

import pytest

from conftest import (DISCONNECTED, IO_TIMEOUT, free_port, http_get, metric, posix_only,
                      scrape)

pytestmark = posix_only

DRAIN_SECONDS = 3
DRAINING = "Draining {} clients over {} s"


def drain_server(server_factory, *extra, seconds=DRAIN_SECONDS):
    return server_factory(args=["{port}", "--drain-seconds", str(seconds), *extra])


def refuses(port):
    """True when nothing listens on `port` any more."""
    try:
        socket.create_connection(("127.0.0.1", port), timeout=IO_TIMEOUT).close()
    except ConnectionRefusedError:
        return True
    return False


class Reader(threading.Thread):
    """Reads a client's frames until the server closes it; notes when."""

    def __init__(self, client):
        super().__init__(daemon=True)
        self.client = client
        self.frames = []
        self.closed_at = None
        self.start()

    def run(self):
        sock = self.client.sock
        sock.settimeout(DRAIN_SECONDS + IO_TIMEOUT)
        data = self.client.pending
        try:
            while True:
                chunk = sock.recv(1 << 20)
                if not chunk:
                    break
                data += chunk
                while len(data) >= 4:
                    (length,) = struct.unpack("<i", data[:4])
                    if len(data) < 4 + length:
                        break
                    self.frames.append(data[4:4 + length])
                    data = data[4 + length:]
        except OSError:
            return  # no close seen: closed_at stays None
        self.closed_at = time.monotonic()


def test_sigterm_drains_clients_one_by_one(server_factory):
    mport = free_port()
    server = drain_server(server_factory, "--metrics", str(mport))
    # The oldest closes first, at once: it has not read a byte of its queue.
    slow = server.connect(rcvbuf=4096)
    others = [server.connect() for _ in range(5)]
    readers = [Reader(c) for c in others]
    burst = [b"%04d " % i + b"x" * 8000 for i in range(1000)]
    for text in burst:
        others[0].send_frame(text)
    others[0].send_frame(b"@PING")  # answered once the burst is relayed
    server.wait_for(lambda: readers[0].frames[-1:] == [b"@PING"], timeout=30,
                    what="the burst relayed")
    before = scrape(mport)
    assert metric(before, "tovrel_draining") == 0
    # More than the system buffers take waits in the server for the slow one.
    assert metric(before, "tovrel_largest_queue_bytes") > 0

    server.proc.send_signal(signal.SIGTERM)
    server.wait_line(DRAINING.format(1 + len(others), DRAIN_SECONDS))
    assert refuses(server.port)
    assert http_get(mport, "/healthz")[0::2] == (503, b"draining\n")
    assert metric(scrape(mport), "tovrel_draining") == 1
    # Clients not yet closed are still served; the newest goes last.
    others[-1].send_frame(b"during")
    slow_reader = Reader(slow)

    assert server.wait_exit(DRAIN_SECONDS + IO_TIMEOUT) == 0
    for r in readers + [slow_reader]:
        r.join(IO_TIMEOUT)
    # Everything queued before a client's close reached it, then the close.
    assert slow_reader.frames == burst
    assert readers[-1].frames == burst + [b"during"]
    for r in readers[1:]:
        assert r.frames in (burst, burst + [b"during"])
    assert readers[0].frames[:len(burst) + 1] == burst + [b"@PING"]
    closes = sorted(r.closed_at for r in readers + [slow_reader])
    assert None not in closes
    # Spread over the drain, not all at its start or its end.
    assert DRAIN_SECONDS / 2 <= closes[-1] - closes[0] <= DRAIN_SECONDS + 1
    assert server.count(DISCONNECTED) == 1 + len(others)
    assert sum(line.startswith("Draining") for line in server.lines()) == 1


@pytest.mark.parametrize("second", [signal.SIGTERM, signal.SIGINT], ids=["SIGTERM", "SIGINT"])
def test_second_stop_request_ends_the_drain_at_once(server_factory, second):
    server = drain_server(server_factory, seconds=600)
    clients = [server.connect() for _ in range(3)]
    server.proc.send_signal(signal.SIGTERM)
    server.wait_line(DRAINING.format(len(clients), 600))
    clients[-1].ping_barrier()  # still served
    assert server.stop(second, timeout=IO_TIMEOUT) == 0
    for c in clients:
        c.wait_closed()
    assert server.count(DISCONNECTED) == len(clients)


def test_what_a_client_sends_before_it_learns_of_its_close_is_still_relayed(server_factory):
    """The server finishes sending (a FIN after the queue) and reads on until
    the client closes too, so a message in flight at the close is not lost."""
    server = drain_server(server_factory)
    leaving = server.connect()  # the oldest: its close comes at once
    staying = server.connect()
    for client in (leaving, staying):
        client.send_frame(b"@PING")
        client.expect_frame("@PING")
    server.proc.send_signal(signal.SIGTERM)
    server.wait_line(DRAINING.format(2, DRAIN_SECONDS))
    leaving.sock.settimeout(IO_TIMEOUT)
    assert leaving.sock.recv(1) == b""  # told that nothing more comes
    leaving.send_frame(b"last words")
    staying.expect_frame("last words")
    leaving.sock.close()


def test_websocket_client_gets_its_messages_then_1012(server_factory):
    websockets = pytest.importorskip("websockets")
    ws_port = free_port()
    server = drain_server(server_factory, "--ws-port", str(ws_port))
    tcp = server.connect()
    got = []

    async def scenario():
        async with websockets.connect(f"ws://127.0.0.1:{ws_port}/") as ws:
            await ws.send("@PING")
            assert await asyncio.wait_for(ws.recv(), IO_TIMEOUT) == "@PING"
            for text in ("one", "two"):
                tcp.send_frame(text.encode())
                tcp.expect_frame(text)
            server.proc.send_signal(signal.SIGTERM)
            server.wait_line(DRAINING.format(2, DRAIN_SECONDS))
            assert refuses(ws_port) and refuses(server.port)
            try:
                while True:
                    got.append(await asyncio.wait_for(ws.recv(), DRAIN_SECONDS + IO_TIMEOUT))
            except websockets.ConnectionClosed:
                pass
            return ws.close_code

    code = asyncio.run(asyncio.wait_for(scenario(), 30))
    assert (code, got) == (1012, ["one", "two"])
    tcp.wait_closed(DRAIN_SECONDS + IO_TIMEOUT)
    assert server.wait_exit(IO_TIMEOUT) == 0
