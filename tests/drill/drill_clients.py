"""Resuming clients for the drill, TCP and WebSocket, all in one asyncio loop.

Each client keeps every message it got (position and text, in arrival
order) and its last position. On every open it sends "@RESUME" with that
position; the REPLAYED frames just before "@RESUMED" that do not begin with
"@" are the replay, earlier ones are dropped, and later ones are tagged. On
any close, or when nothing (not even its "@PING") comes back for a while, it
reconnects after a random delay up to a backoff that doubles (full jitter).
A client never drops a message itself, so a duplicate from the server shows.
"""

import asyncio
import random
import struct
import time

try:
    import websockets
except ImportError:  # the drill says so and skips
    websockets = None

HOST = "127.0.0.1"
PING_EVERY = 2.0  # keep-alive, well inside the server's 15 s idle time-out
DEAD_AFTER = 6.0  # nothing received for this long: the connection is dead
CONNECT_TIMEOUT = 5.0
BACKOFF_FIRST, BACKOFF_MAX, STABLE_AFTER = 0.5, 8.0, 10.0
_LENGTH = struct.Struct("<i")


class Record:
    """What one client got, and how its resumes were answered."""

    def __init__(self, name, kind):
        self.name, self.kind = name, kind
        self.got = []  # (position, text), in arrival order
        self.last = None
        self.resumes = []  # (asked position, NEWEST, REPLAYED, MISSED)
        self.anomalies = []
        self.opens = 0
        self.closes = {}  # why each connection ended: count
        self.resumed = False
        self.pending = []
        self.last_rx = time.monotonic()
        self.log = []  # (time, what): opens, resumes and closes, for a dump

    def opening(self):
        """The first frame of a new connection."""
        self.opens += 1
        self.resumed = False
        self.pending = []
        self.last_rx = time.monotonic()
        self.log.append((time.monotonic(), f"open after {len(self.got)}"))
        return "@RESUME" if self.last is None else f"@RESUME {self.last}"

    def on_frame(self, text):
        self.last_rx = time.monotonic()
        if text.startswith("@RESUMED "):
            self._on_resumed(text)
        elif text.startswith("@"):
            return
        elif self.resumed:
            self._take(text)
        else:
            self.pending.append(text)

    def _on_resumed(self, text):
        words = text.split(" ")
        if len(words) != 4 or not words[2].isdigit():
            self.anomalies.append(f"malformed {text!r}")
            return
        replayed = int(words[2])
        if replayed > len(self.pending):
            self.anomalies.append(f"{text!r} after {len(self.pending)} frames")
            replayed = len(self.pending)
        asked = self.last
        for tagged in self.pending[len(self.pending) - replayed:]:
            self._take(tagged)
        self.resumes.append((asked, words[1], replayed, words[3]))
        self.log.append((time.monotonic(), f"{text} asked {asked} dropped "
                         f"{len(self.pending) - replayed}"))
        self.pending = []
        self.resumed = True
        if self.last is None and words[1] != "-":
            self.last = words[1]  # what it has seen, though nothing was replayed

    def _take(self, tagged):
        position, space, text = tagged.partition(" ")
        if not space or parse_position(position) is None:
            self.anomalies.append(f"untagged {tagged[:60]!r}")
            return
        self.got.append((position, text))
        self.last = position

    def closed(self, why):
        self.log.append((time.monotonic(), f"closed: {why}"))
        self.closes[why] = self.closes.get(why, 0) + 1


def parse_position(text):
    major, dash, minor = text.partition("-")
    if not dash or not major.isdigit() or not minor.isdigit():
        return None
    return int(major), int(minor)


async def _watch(record, receive, send):
    """Runs one connection: frames to the record, "@PING" every PING_EVERY s;
    returns why it ended."""

    async def receiving():
        while True:
            record.on_frame(await receive())

    async def pinging():
        while time.monotonic() - record.last_rx < DEAD_AFTER:
            await asyncio.sleep(PING_EVERY)
            await send("@PING")
        return "dead"

    tasks = [asyncio.ensure_future(receiving()), asyncio.ensure_future(pinging())]
    try:
        done, _ = await asyncio.wait(tasks, return_when=asyncio.FIRST_COMPLETED)
    finally:
        for t in tasks:
            t.cancel()
    for t in done:
        if t.exception() is not None:
            raise t.exception()
        return t.result()


async def tcp_connection(record, port, on_open=None):
    reader, writer = await asyncio.wait_for(asyncio.open_connection(HOST, port), CONNECT_TIMEOUT)

    async def receive():
        (length,) = _LENGTH.unpack(await reader.readexactly(4))
        return (await reader.readexactly(length)).decode("utf-8", "replace")

    async def send(text):
        data = text.encode()
        writer.write(_LENGTH.pack(len(data)) + data)
        await writer.drain()

    try:
        await send(record.opening())
        if on_open:
            on_open(send)
        return await _watch(record, receive, send)
    finally:
        if on_open:
            on_open(None)
        writer.close()


async def ws_connection(record, port, on_open=None):
    async with websockets.connect(f"ws://{HOST}:{port}/", open_timeout=CONNECT_TIMEOUT,
                                  ping_interval=None, close_timeout=1,
                                  max_size=1 << 20) as ws:

        async def receive():
            message = await ws.recv()
            return message if isinstance(message, str) else message.decode("utf-8", "replace")

        await ws.send(record.opening())
        if on_open:
            on_open(ws.send)
        try:
            return await _watch(record, receive, ws.send)
        finally:
            if on_open:
                on_open(None)


def _why(error):
    code = getattr(error, "code", None)
    if code is not None:
        return f"ws close {code}"
    return type(error).__name__


async def keep_connected(record, connect, port, on_open=None):
    """Connects, and reconnects after every close, until cancelled."""
    backoff = BACKOFF_FIRST
    while True:
        started = time.monotonic()
        try:
            why = await connect(record, port, on_open)
        except asyncio.CancelledError:
            raise
        except Exception as e:  # every way a connection ends is a reason to reconnect
            why = _why(e)
        record.closed(why)
        backoff = BACKOFF_FIRST if time.monotonic() - started > STABLE_AFTER \
            else min(backoff * 2, BACKOFF_MAX)
        await asyncio.sleep(random.uniform(0, backoff))


class Sender:
    """A TCP client that also numbers its own messages, "sK-N", at `rate` per
    second while it is resumed, and notes which of them came back."""

    def __init__(self, index, rate):
        self.prefix = f"s{index}-"
        self.record = Record(f"sender{index}", "sender")
        self.rate = rate
        self.sent = []
        self.send = None

    def attach(self, send):
        self.send = send

    def confirmed(self):
        return {text for _, text in self.record.got if text.startswith(self.prefix)}

    def start(self, port, until):
        """The sender's tasks: its connection, and its sending until `until` is set."""
        return [asyncio.ensure_future(keep_connected(self.record, tcp_connection, port,
                                                     self.attach)),
                asyncio.ensure_future(self._sending(until))]

    async def _sending(self, until):
        number = 0
        while not until.is_set():
            await asyncio.sleep(1 / self.rate)
            if self.send is None or not self.record.resumed:
                continue
            text = f"{self.prefix}{number}"
            number += 1
            try:
                await self.send(text)
                self.sent.append(text)
            except Exception:  # the connection ended under it: not sent
                pass
