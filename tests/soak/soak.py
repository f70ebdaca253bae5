#!/usr/bin/env python3
"""Soak test: many clients on 127.0.0.1 relay through the real server for a
bounded time, and every byte they receive is checked.

Each client slot opens a session after another: it sends frames of random
size (0 to 131072 bytes; some with a NUL, some written a byte at a time, some
coalesced in one write), pings and fast-command requests, and after a random
lifetime closes gracefully (shutdown, then reads to the end), resets, or just
closes, and reconnects. Every identified payload carries its sender session
and a sequence number, and its content follows from them.

The server relays every message to every client in one order, so what each
session receives (history replay included) must be a contiguous run of what
an observer connected from the start receives: nothing missing, nothing
repeated, nothing out of order, nothing altered. A session also gets back
every message it sent, every ping and fast-command reply it asked for, and,
if it is still connected at the end, everything up to the last message. The
server must stay up, keep its RSS under a bound, never drop a client itself,
and exit 0 on SIGINT, closing every connection.

With --instances N (more than 1), N servers serve one room through a
redis-server on a free loopback port that the soak starts and stops; each
session connects to one of them at random and the observer to the first, so
every session's run must be a run of one order shared by all instances.
With --failover as well, the instances find that Redis through three
Sentinels, with one replica, and the primary is killed halfway through: the
same checks must hold across the failover.

Usage: soak.py [--seconds N] [--clients N] [--rate MSGS_PER_S] [--instances N]
       [--failover]
The binary comes from TOVREL_SERVER; N defaults to TOVREL_SOAK_SECONDS or 60.
"""

import argparse
import errno
import os
import random
import selectors
import socket
import struct
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from serverproc import Server, built_with_asan, server_binary  # noqa: E402
from tovrel_test_support import HOST, RedisSentinel, RedisServer, frame  # noqa: E402

MAX_PAYLOAD = 131072
# b"#", sender and sequence (8 hex digits each), length and NUL position (6 each)
HEADER = 29
NO_NUL = 0xFFFFFF
FAST_TEXT = b"look\r\ngo north\r\nsay hello\r\n"
FAST_REPLY = b"@FASTCOMMANDS\n" + FAST_TEXT
# Content of every identified payload: a slice of one block without NULs.
BLOCK = os.urandom(2 * MAX_PAYLOAD).translate(bytes([1]) + bytes(range(1, 256)))


class Failure(Exception):
    pass


def make_payload(sid, seq, length, nulpos):
    head = b"#%08x%08x%06x%06x" % (sid, seq, length, nulpos)
    offset = (sid * 7919 + seq * 104729) % MAX_PAYLOAD
    body = BLOCK[offset:offset + length - HEADER]
    if nulpos != NO_NUL:
        cut = nulpos - HEADER
        body = body[:cut] + b"\0" + body[cut + 1:]
    return head + body


def relayed_text(payload):
    """What the server relays: the payload up to its first NUL."""
    nul = payload.find(b"\0")
    return payload if nul < 0 else payload[:nul]


def key_of(sid, seq):
    return (sid << 32) | seq


def show(key):
    """A message key for a report: sender/sequence, or the raw text."""
    return f"{key >> 32}/{key & 0xFFFFFFFF}" if isinstance(key, int) else repr(key[:20])


class Session:
    """One connection of a client slot."""

    def __init__(self, soak, sid, observer=False, port=None):
        self.soak = soak
        self.sid = sid
        self.observer = observer
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.setblocking(False)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.state = "connecting"
        self.out = bytearray()   # bytes to write in bulk
        self.trickle = bytearray()  # bytes to write one per loop turn, after `out`
        self.inbuf = bytearray()
        self.received = []  # relayed messages in order: int keys or raw texts
        self.sent_keys = []
        self.seq = 0
        self.pings_sent = self.pings_got = 0
        self.fast_sent = self.fast_got = 0
        self.last_send = time.monotonic()
        self.end_mode = None
        if port is None:
            port = (soak.servers[0] if len(soak.servers) == 1 else random.choice(soak.servers)).port
        err = self.sock.connect_ex((HOST, port))
        if err not in (0, errno.EINPROGRESS):
            raise Failure(f"connect failed: {os.strerror(err)}")
        soak.sel.register(self.sock, selectors.EVENT_WRITE, self)

    # -- sending
    def queue(self, data, trickle=False):
        if trickle:
            self.trickle += data
        else:
            if self.trickle:
                # Keep the order: bulk bytes wait behind a trickling frame.
                self.trickle += data
            else:
                self.out += data
        self.last_send = time.monotonic()
        self.flush()

    def flush(self):
        if self.state not in ("open",) or not self.out:
            return
        try:
            n = self.sock.send(self.out)
        except (BlockingIOError, InterruptedError):
            n = 0
        except OSError as e:
            raise Failure(f"session {self.sid}: send failed: {e!r}")
        del self.out[:n]
        self.soak.bytes_sent += n
        self.want_write(bool(self.out))

    def trickle_one(self):
        if self.state != "open" or self.out or not self.trickle:
            return
        try:
            n = self.sock.send(self.trickle[:1])
        except (BlockingIOError, InterruptedError):
            n = 0
        except OSError as e:
            raise Failure(f"session {self.sid}: send failed: {e!r}")
        del self.trickle[:n]
        self.soak.bytes_sent += n

    def idle(self):
        return not self.out and not self.trickle

    def want_write(self, on):
        events = selectors.EVENT_READ | (selectors.EVENT_WRITE if on else 0)
        self.soak.sel.modify(self.sock, events, self)

    def message(self, length, nul):
        """Queues one identified message of `length` bytes."""
        nulpos = NO_NUL
        if nul and length > HEADER:
            nulpos = random.randrange(HEADER, length)
        payload = make_payload(self.sid, self.seq, length, nulpos)
        self.sent_keys.append(key_of(self.sid, self.seq))
        self.seq += 1
        return frame(payload)

    def ping(self):
        self.pings_sent += 1
        return frame(b"@PING")

    def fast(self):
        self.fast_sent += 1
        return frame(b"@FASTCOMMANDS")

    # -- receiving
    def on_readable(self):
        try:
            data = self.sock.recv(1 << 18)
        except (BlockingIOError, InterruptedError):
            return
        except ConnectionError as e:
            data = None
            error = e
        else:
            error = None
        if data:
            self.soak.bytes_received += len(data)
            self.inbuf += data
            self.parse()
            return
        if self.state == "draining":
            self.finish("closed gracefully")
        elif self.soak.stopping:
            self.finish("closed by the server at stop")
        else:
            why = "closed" if error is None else f"broken ({error!r})"
            raise Failure(f"session {self.sid} ({'observer' if self.observer else 'client'}): "
                          f"connection {why} by the server while open")

    def parse(self):
        buf = self.inbuf
        at = 0
        view = memoryview(buf)
        while len(buf) - at >= 4:
            (n,) = struct.unpack_from("<i", buf, at)
            if n <= 0 or n > MAX_PAYLOAD + len(FAST_REPLY):
                raise Failure(f"session {self.sid}: frame length {n} from the server")
            if len(buf) - at < 4 + n:
                break
            payload = bytes(view[at + 4:at + 4 + n])
            at += 4 + n
            self.on_frame(payload)
        view.release()
        del buf[:at]

    def on_frame(self, payload):
        if b"\0" in payload:
            raise Failure(f"session {self.sid}: NUL inside a relayed frame")
        if payload == b"@PING":
            self.pings_got += 1
            if self.pings_got > self.pings_sent:
                raise Failure(f"session {self.sid}: a ping reply it did not ask for")
            return
        if payload.startswith(b"@FASTCOMMANDS\n"):
            if payload != FAST_REPLY:
                raise Failure(f"session {self.sid}: wrong fast-command reply {payload[:60]!r}")
            self.fast_got += 1
            if self.fast_got > self.fast_sent:
                raise Failure(f"session {self.sid}: a fast-command reply it did not ask for")
            return
        if len(payload) >= HEADER and payload[:1] == b"#":
            try:
                sid = int(payload[1:9], 16)
                seq = int(payload[9:17], 16)
                length = int(payload[17:23], 16)
                nulpos = int(payload[23:29], 16)
            except ValueError:
                raise Failure(f"session {self.sid}: corrupt header {payload[:29]!r}")
            if length > MAX_PAYLOAD or (nulpos != NO_NUL and not HEADER <= nulpos < length):
                raise Failure(f"session {self.sid}: corrupt header {payload[:29]!r}")
            if relayed_text(make_payload(sid, seq, length, nulpos)) != payload:
                raise Failure(f"session {self.sid}: message {sid}/{seq} corrupted "
                              f"(got {len(payload)} bytes)")
            self.received.append(key_of(sid, seq))
        else:
            self.received.append(payload)
        self.soak.frames_received += 1

    def finish(self, how):
        self.soak.sel.unregister(self.sock)
        self.sock.close()
        self.state = "closed"
        self.soak.session_closed(self, how)


class Soak:
    def __init__(self, args):
        self.args = args
        self.sel = selectors.DefaultSelector()
        self.redis = None
        self.redis_group = []  # with --failover: replica and Sentinels too
        self.servers = []
        try:
            self.start_servers(args.instances)
        except BaseException:
            self.kill()
            raise
        self.rss_limit_kib = args.rss_limit_mb * 1024 * (4 if built_with_asan(server_binary()) else 1)
        self.next_sid = 1
        self.stopping = False
        self.bytes_sent = self.bytes_received = self.frames_received = 0
        self.messages_sent = 0
        self.sessions_opened = 0
        self.ends = {"graceful": 0, "reset": 0, "close": 0}
        self.unanchored = 0
        self.deferred = []  # (session label, G index, keys) still beyond G's end
        self.g_index = {}
        self.g_checked = 0
        self.live = []
        self.must_relay = []  # (label, keys) that must all reach the observer

    def start_servers(self, instances):
        if instances <= 1:
            self.servers.append(Server(fast_text=FAST_TEXT))
            return
        self.redis = RedisServer().start()
        room = ["--redis", f"{HOST}:{self.redis.port}", "--room", "soak"]
        if self.args.failover:
            room = self.start_sentinels()
        for _ in range(instances):
            server = Server(fast_text=FAST_TEXT, args=room)
            self.servers.append(server)
            server.wait_for(lambda: "Redis connected" in server.stdout, 10, "the link to Redis")

    def start_sentinels(self):
        replica = RedisServer(replica_of=self.redis.port).start()
        self.redis_group.append(replica)
        deadline = time.monotonic() + 15
        while "master_link_status:up" not in replica.call("INFO", "replication").decode():
            if time.monotonic() > deadline:
                raise Failure("the replica did not get in sync")
            time.sleep(0.1)
        sentinels = [RedisSentinel("soak-primary", self.redis.port) for _ in range(3)]
        for sentinel in sentinels:
            self.redis_group.append(sentinel.start())
        deadline = time.monotonic() + 20
        while not all(sentinel.knows(replicas=1, sentinels=2) for sentinel in sentinels):
            if time.monotonic() > deadline:
                raise Failure("the Sentinels did not find each other")
            time.sleep(0.1)
        return ["--redis-sentinel", ",".join(f"{HOST}:{x.port}" for x in sentinels),
                "--redis-master", "soak-primary", "--room", "soak"]

    # -- the observer's sequence G
    @property
    def g(self):
        return self.observer.received

    def index_g(self):
        g = self.g
        for i in range(self.g_checked, len(g)):
            k = g[i]
            if isinstance(k, int):
                if k in self.g_index:
                    raise Failure(f"message {show(k)} relayed twice")
                self.g_index[k] = i
        self.g_checked = len(g)

    def check_run(self, label, keys, must_reach_end=False):
        """`keys` must be a contiguous run of G."""
        self.index_g()
        first = next((j for j, k in enumerate(keys) if isinstance(k, int)), None)
        if first is None:
            if keys:
                self.unanchored += 1
            return
        if keys[first] not in self.g_index:
            self.deferred.append((label, None, keys))
            return
        start = self.g_index[keys[first]] - first
        if start < 0:
            raise Failure(f"{label}: received more before {show(keys[first])} than was relayed")
        g = self.g
        for i, k in enumerate(keys):
            if start + i >= len(g):
                self.deferred.append((label, start + i, keys[i:]))
                return
            if g[start + i] != k:
                raise Failure(f"{label}: message {i} differs from the relay order "
                              f"(got {show(k)}, observer has {show(g[start + i])})")
        if must_reach_end and start + len(keys) != len(g):
            raise Failure(f"{label}: missed the last {len(g) - start - len(keys)} relayed messages")

    def check_deferred(self, final=False):
        self.index_g()
        pending, self.deferred = self.deferred, []
        for label, at, keys in pending:
            if at is None:
                if final and next(k for k in keys if isinstance(k, int)) not in self.g_index:
                    raise Failure(f"{label}: received a message the observer never got")
                self.check_run(label, keys)
                continue
            g = self.g
            for i, k in enumerate(keys):
                if at + i >= len(g):
                    raise Failure(f"{label}: received {show(k)} that the observer never got")
                if g[at + i] != k:
                    raise Failure(f"{label}: differs from the relay order at the end")

    def session_closed(self, s, how):
        label = f"session {s.sid} ({how})"
        self.check_run(label, s.received)
        if how == "closed gracefully":
            # The server reads everything before it sees the close, so every
            # message must be relayed; what was still queued for this session
            # itself is dropped with it, so its own copies are not required.
            self.must_relay.append((label, s.sent_keys))

    # -- the load
    def open_session(self):
        s = Session(self, self.next_sid)
        self.next_sid += 1
        self.sessions_opened += 1
        s.end_time = time.monotonic() + random.uniform(1.0, 30.0)
        s.next_action = time.monotonic() + random.expovariate(self.rate_per_slot)
        return s

    def random_length(self):
        r = random.random()
        if r < 0.01:
            return MAX_PAYLOAD
        if r < 0.04:
            return random.randint(16384, MAX_PAYLOAD)
        if r < 0.24:
            return random.randint(1000, 16384)
        return random.randint(HEADER, 1000)

    def raw_frame(self):
        """A payload too short to be identified; some empty, some NUL-first."""
        n = random.randint(0, HEADER - 1)
        body = bytes(random.randint(1, 255) for _ in range(n))
        if n and random.random() < 0.2:
            body = b"\0" + body[1:]
        if body in (b"@PING", b"@FASTCOMMANDS"):
            body = b"x" + body
        return frame(body)

    def act(self, s, now):
        r = random.random()
        self.messages_sent += 1
        if r < 0.70:
            length = self.random_length()
            trickle = length <= 300 and random.random() < 0.15
            s.queue(s.message(length, random.random() < 0.1), trickle=trickle)
        elif r < 0.78:
            s.queue(s.ping())
        elif r < 0.82:
            s.queue(s.fast())
        elif r < 0.86:
            s.queue(self.raw_frame())
        else:
            # Several frames in one write.
            parts = []
            for _ in range(random.randint(2, 8)):
                c = random.random()
                if c < 0.8:
                    parts.append(s.message(random.randint(HEADER, 2000), random.random() < 0.1))
                elif c < 0.9:
                    parts.append(s.ping())
                else:
                    parts.append(self.raw_frame())
            s.queue(b"".join(parts))
        s.next_action = now + random.expovariate(self.rate_per_slot)

    def end_session(self, s):
        mode = random.choice(["graceful", "graceful", "reset", "close"])
        self.ends[mode] += 1
        if mode == "graceful":
            s.sock.shutdown(socket.SHUT_WR)
            s.state = "draining"
            s.want_write(False)
            return
        if mode == "reset":
            s.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.sel.unregister(s.sock)
        s.sock.close()
        s.state = "closed"
        self.session_closed(s, mode)

    def pump(self, timeout):
        for key, mask in self.sel.select(timeout):
            s = key.data
            if s.state == "closed":
                continue
            if s.state == "connecting":
                err = s.sock.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR)
                if err and self.stopping:
                    s.finish("refused at stop")
                    continue
                if err:
                    raise Failure(f"session {s.sid}: connect failed: {os.strerror(err)}")
                s.state = "open"
                s.want_write(bool(s.out))
                s.flush()
                continue
            if mask & selectors.EVENT_READ:
                s.on_readable()
            if s.state == "open" and mask & selectors.EVENT_WRITE:
                s.flush()

    def run(self):
        a = self.args
        self.rate_per_slot = a.rate / a.clients
        self.observer = Session(self, 0, observer=True, port=self.servers[0].port)
        self.live_observer_wait()
        slots = [None] * a.clients
        reopen = [time.monotonic() + i * 0.02 for i in range(a.clients)]
        t0 = time.monotonic()
        t_end = t0 + a.seconds
        next_sample = t0
        kill_at = t0 + a.seconds / 2 if a.failover else None
        while time.monotonic() < t_end:
            self.pump(0.005)
            now = time.monotonic()
            if kill_at is not None and now >= kill_at:
                kill_at = None
                self.redis.kill()  # the primary: the Sentinels promote the replica
            for i in range(a.clients):
                s = slots[i]
                if s is None:
                    if now >= reopen[i]:
                        slots[i] = self.open_session()
                    continue
                if s.state == "closed":
                    slots[i] = None
                    reopen[i] = now + random.uniform(0.0, 1.0)
                    continue
                if s.state != "open":
                    continue
                if s.trickle:
                    s.trickle_one()  # a byte per turn; nothing else meanwhile
                    continue
                if now >= s.end_time:
                    if s.idle():
                        self.end_session(s)
                    continue
                if now >= s.next_action:
                    self.act(s, now)
                elif now - s.last_send > 5.0:
                    s.queue(s.ping())  # keeps a quiet session from timing out
            if now - self.observer.last_send > 5.0:
                self.observer.queue(self.observer.ping())
            if now >= next_sample:
                next_sample = now + 1.0
                self.sample()
        self.live = [s for s in slots if s is not None and s.state != "closed"]
        self.finish_phase()

    def live_observer_wait(self):
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and self.count("New client connected") < 1:
            self.pump(0.01)
        if self.count("New client connected") < 1:
            raise Failure("the observer was not accepted")

    def sample(self):
        for server in self.servers:
            if not server.alive():
                raise Failure(f"server exited: rc={server.proc.returncode} "
                              f"stderr={server.stderr[-2000:]!r}")
            rss = server.sample_rss()
            if rss is not None and rss > self.rss_limit_kib:
                raise Failure(f"server RSS {rss} KiB over the limit of {self.rss_limit_kib} KiB")
            # In a room the link must never have lost Redis (but for the
            # failover asked for) or a message.
            lines = ["Output overflow", "TIMEOUT", "Invalid msg size",
                     "Holding full, dropping messages"]
            if not self.args.failover:
                lines.append("Redis lost, retrying")
            for line in lines:
                if server.count(line):
                    raise Failure(f"server printed {line!r}: {server.stdout[-600:]!r}")

    def count(self, line):
        return sum(server.count(line) for server in self.servers)

    def max_rss_kib(self):
        return max(server.max_rss_kib for server in self.servers)

    def kill(self):
        for server in self.servers:
            server.kill()
        if self.redis is not None:
            self.redis.stop()
        for proc in reversed(self.redis_group):
            proc.stop()

    def settle(self, sessions, what, timeout=60):
        """Each session sends a ping and waits for its reply, which comes after
        everything the server had queued for it before. A session still
        connecting sends its ping once connected."""
        for s in sessions:
            if s.state in ("open", "connecting"):
                s.queue(s.ping())
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            waiting = [s for s in sessions
                       if s.state == "connecting" or
                       (s.state in ("open", "draining") and
                        (s.pings_got < s.pings_sent or not s.idle()))]
            if not waiting:
                return
            self.pump(0.01)
            for s in waiting:
                s.trickle_one()
        raise Failure(f"{what}: {len(waiting)} sessions still waiting after {timeout} s")

    def finish_phase(self):
        everyone = self.live + [self.observer]
        # Round one: every frame sent has been read and relayed. Round two:
        # every relayed frame has reached every session.
        self.settle(everyone, "the last messages")
        if self.redis is not None:
            # Read by their instances, the last messages are still on their
            # way through Redis: a few passes, given here generously.
            deadline = time.monotonic() + 1.0
            while time.monotonic() < deadline:
                self.pump(0.01)
        self.settle(everyone, "the last relays")
        self.sample()
        self.check_deferred()
        for s in self.live:
            if s.state != "open":
                continue
            label = f"session {s.sid} (connected at the end)"
            self.check_run(label, s.received, must_reach_end=True)
            received = set(s.received)
            missing = [k for k in s.sent_keys if k not in received]
            if missing:
                raise Failure(f"{label}: {len(missing)} of its own messages never came back")
            if s.fast_got != s.fast_sent:
                raise Failure(f"{label}: {s.fast_got} of {s.fast_sent} fast-command replies")
        self.check_deferred(final=True)
        for label, keys in self.must_relay:
            lost = [k for k in keys if k not in self.g_index]
            if lost:
                raise Failure(f"{label}: {len(lost)} of its messages were never relayed")
        if self.args.failover:
            for server in self.servers:
                if server.stdout.count("Redis primary at ") < 2:
                    raise Failure(f"an instance did not follow the failover: {server.stdout[-600:]!r}")
        # Ctrl+C: status 0 and every connection closed.
        self.stopping = True
        for server in self.servers:
            rc = server.interrupt()
            if rc != 0:
                raise Failure(f"exit status {rc} after SIGINT; stderr={server.stderr[-2000:]!r}")
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and any(s.state != "closed" for s in everyone):
            self.pump(0.05)
        left = [s.sid for s in everyone if s.state != "closed"]
        if left:
            raise Failure(f"sessions not closed after the stop: {left[:10]}")
        connected = self.count("New client connected")
        disconnected = self.count("Disconnected")
        if connected != self.sessions_opened + 1 or disconnected != connected:
            raise Failure(f"{connected} accepted and {disconnected} disconnected for "
                          f"{self.sessions_opened + 1} sessions")
        for server in self.servers:
            if server.stderr:
                raise Failure(f"server wrote to stderr: {server.stderr[-2000:]!r}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--seconds", type=float,
                        default=float(os.environ.get("TOVREL_SOAK_SECONDS", "60")))
    parser.add_argument("--clients", type=int, default=200)
    parser.add_argument("--rate", type=float, default=30.0,
                        help="actions per second over all clients")
    parser.add_argument("--rss-limit-mb", type=int, default=256)
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--instances", type=int, default=1,
                        help="servers joined to one room through Redis (1: alone, no Redis)")
    parser.add_argument("--failover", action="store_true",
                        help="with --instances: Redis through Sentinel, primary killed halfway")
    args = parser.parse_args()
    if args.failover and args.instances <= 1:
        parser.error("--failover needs --instances 2 or more")
    seed = args.seed if args.seed is not None else int.from_bytes(os.urandom(4), "little")
    random.seed(seed)
    started = time.monotonic()
    soak = Soak(args)
    try:
        soak.run()
        ok = True
    except Failure as e:
        print(f"FAIL: {e}", file=sys.stderr)
        ok = False
    finally:
        soak.kill()
    elapsed = time.monotonic() - started
    print(f"seed {seed}; {args.seconds:.0f} s load, {elapsed:.0f} s in all; "
          f"{args.clients} client slots, {soak.sessions_opened} sessions "
          f"(ended: {soak.ends['graceful']} graceful, {soak.ends['reset']} reset, "
          f"{soak.ends['close']} close); {soak.messages_sent} actions; "
          f"{len(soak.observer.received)} messages relayed; "
          f"{soak.frames_received} relayed frames checked; "
          f"{soak.bytes_sent / 1e6:.1f} MB sent, {soak.bytes_received / 1e6:.1f} MB received; "
          f"{len(soak.servers)} instance(s), largest max RSS {soak.max_rss_kib() / 1024:.1f} MiB; "
          f"{soak.unanchored} sessions without an identified message")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
