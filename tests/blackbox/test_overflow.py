"""The slow-consumer bound (issue 2, fault 2): a client's queued output is
bounded at 32 MiB; one that stops reading is dropped with "Output overflow",
and the clients that keep reading are not affected.

The server takes at most 32768 bytes per client per pass (20 ms) and sends at
most 65536, so filling 32 MiB needs several flooding clients; the reading
flooders then need a few seconds to drain their own echoes."""

import struct
import threading
import time

from conftest import DISCONNECTED, IO_TIMEOUT, free_port, metric, scrape

FLOODERS = 2
PAYLOAD = b"f" * 131072
FRAME = struct.pack("<i", len(PAYLOAD)) + PAYLOAD
OUTPUT_BOUND = 33554432


class Flooder:
    """A client that sends frames from one thread and reads (and parses)
    everything it gets from another."""

    def __init__(self, client):
        self.client = client
        self.stop_sending = threading.Event()
        self.stop_reading = threading.Event()
        self.frames_sent = 0
        self.frames_received = 0
        self.bad = []
        self.ping = threading.Event()
        self.errors = []
        self.sender = threading.Thread(target=self._send, daemon=True)
        self.reader = threading.Thread(target=self._read, daemon=True)

    def start(self):
        self.reader.start()
        self.sender.start()

    def _send(self):
        try:
            while not self.stop_sending.is_set():
                self.client.sock.sendall(FRAME)
                self.frames_sent += 1
        except Exception as e:  # reported by the test
            self.errors.append(("send", e))

    def _read(self):
        buf = bytearray()
        sock = self.client.sock
        try:
            while not self.stop_reading.is_set():
                try:
                    chunk = sock.recv(1 << 20)
                except TimeoutError:
                    continue
                if not chunk:
                    self.errors.append(("read", "closed by the server"))
                    return
                buf += chunk
                start = 0
                while len(buf) - start >= 4:
                    (n,) = struct.unpack_from("<i", buf, start)
                    if len(buf) - start < 4 + n:
                        break
                    body = bytes(buf[start + 4:start + 4 + n])
                    start += 4 + n
                    if body == PAYLOAD:
                        self.frames_received += 1
                    elif body == b"@PING":
                        self.ping.set()
                    else:
                        self.bad.append(body[:40])
                del buf[:start]
        except Exception as e:
            self.errors.append(("read", e))


def test_slow_consumer_dropped_flooders_keep_working(server_factory):
    mport = free_port()
    server = server_factory(args=["{port}", "--metrics", str(mport)])
    slow = server.connect(rcvbuf=4096)  # connects, then never reads
    flooders = [Flooder(server.connect()) for _ in range(FLOODERS)]
    started = time.monotonic()
    for f in flooders:
        f.start()
    try:
        # The shared intake fills 32 MiB in 15 to 25 s, about when a reader
        # that takes nothing is dropped as stalled: either rule may come first.
        server.wait_for(lambda: server.count("Output overflow") + server.count("TIMEOUT") > 0,
                        90, "the slow client dropped")
        reason = "Output overflow" if server.count("Output overflow") else "TIMEOUT"
        fill_time = time.monotonic() - started
        for f in flooders:
            f.stop_sending.set()
        for f in flooders:
            f.sender.join(IO_TIMEOUT)
            assert not f.sender.is_alive(), "a flooder could not finish its frame"
        server.wait_line(DISCONNECTED)
        lines = server.lines()
        at = lines.index(reason)
        assert lines[at + 1] == DISCONNECTED
        assert lines.count("Output overflow") + lines.count("TIMEOUT") == 1
        assert lines.count(DISCONNECTED) == 1
        # The counters name the same one drop: a "TIMEOUT" with output stuck
        # is a stall.
        text = scrape(mport)
        expected = "output_overflow" if reason == "Output overflow" else "stall"
        ended = {line.split('"')[1]: float(line.split(" ")[1]) for line in text.splitlines()
                 if line.startswith("tovrel_disconnections_total{")}
        assert ended[expected] == 1 and sum(ended.values()) == 1, ended
        assert metric(text, 'tovrel_clients{kind="tcp"}') == FLOODERS
        relayed = sum(f.frames_sent for f in flooders)
        if reason == "Output overflow":
            assert relayed * len(FRAME) >= OUTPUT_BOUND, "dropped before 32 MiB were queued"

        # The slow client's connection is closed: the start of the relayed
        # stream (possibly ending inside a frame), then EOF.
        got = slow.wait_closed(timeout=30)
        assert len(got) < relayed * len(FRAME)
        whole = len(got) // len(FRAME) + 1
        assert got == (FRAME * whole)[:len(got)], "the slow client got other bytes than the relayed frames"

        # The flooders keep working: each gets a "@PING" reply after all of
        # its echoes, and every frame it sent came back to it whole.
        for f in flooders:
            f.client.send_frame(b"@PING")
        for f in flooders:
            assert f.ping.wait(40), f"no ping reply; errors={f.errors} received={f.frames_received}"
        # Another flooder's last frame may be handled after this one's ping.
        deadline = time.monotonic() + IO_TIMEOUT
        while time.monotonic() < deadline and any(f.frames_received < relayed for f in flooders):
            time.sleep(0.05)
        for f in flooders:
            assert not f.errors and not f.bad, (f.errors, f.bad)
            assert f.frames_received == relayed
        assert server.count(DISCONNECTED) == 1
        print(f"filled in {fill_time:.1f}s, {relayed} frames relayed, "
              f"slow client had {len(got)} bytes buffered, total {time.monotonic() - started:.1f}s")
    finally:
        for f in flooders:
            f.stop_sending.set()
            f.stop_reading.set()
