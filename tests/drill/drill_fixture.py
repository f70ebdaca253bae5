"""The drill's processes, each from Debian or this build, on free ports of
127.0.0.1, each stopped by the PID it was started with:

- RedisGroup: a redis-server primary and one replica, three Sentinels, and
  a cut_proxy.py in front of both Redis servers. Each Redis server announces
  itself at its proxy's port (replica-announce-port) and the Sentinels watch
  the primary there, so every connection to Redis, whoever opened it and
  whichever server is primary, goes through the proxy, and one instance's
  link can be cut by its PID.
- Instance: one tovrel joined to the room through the Sentinels.
- HAProxy: TCP mode in front of the instances' TCP and WebSocket ports,
  checking each instance's /healthz on its metrics port.
"""

import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
from tovrel_test_support import (HOST, Process, RedisSentinel, RedisServer,  # noqa: E402
                                 ServerProcess, frame, recv_frame, stable_port)

HAPROXY = "/usr/sbin/haproxy"


def wait_until(predicate, timeout, what):
    """Polls `predicate` (errors count as not yet) until it holds."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            if predicate():
                return
        except (OSError, RuntimeError, ValueError, KeyError, IndexError):
            pass
        time.sleep(0.1)
    raise AssertionError(f"not within {timeout} s: {what}")


def read_to_end(sock):
    """Everything `sock` sends until it closes (its own time-out applies)."""
    data = b""
    while True:
        chunk = sock.recv(65536)
        if not chunk:
            return data
        data += chunk


def http_status(port, path="/healthz", timeout=2.0):
    """The status code and body of GET `path` on 127.0.0.1:`port`."""
    with socket.create_connection((HOST, port), timeout=timeout) as s:
        s.sendall(f"GET {path} HTTP/1.1\r\nHost: {HOST}\r\n\r\n".encode())
        data = read_to_end(s)
    head, _, body = data.partition(b"\r\n\r\n")
    return int(head.split(b" ")[1]), body


def post(port, text, timeout=10.0):
    """Sends `text` as one client and waits until it comes back."""
    with socket.create_connection((HOST, port), timeout=timeout) as s:
        s.sendall(frame(text))
        while recv_frame(s).decode() != text:
            pass


class CutProxy(Process):
    """cut_proxy.py forwarding each (listen, target) pair; see that file."""

    def __init__(self, pairs):
        super().__init__([sys.executable, os.path.join(HERE, "cut_proxy.py")]
                         + [f"{a}:{b}" for a, b in pairs], stdin=subprocess.PIPE)
        self.wait_line("ready")

    def command(self, text):
        before = len(self.lines())
        self.proc.stdin.write(text.encode() + b"\n")
        self.proc.stdin.flush()
        self.wait_for(lambda: len(self.lines()) > before, 5, f"an answer to {text!r}")
        return self.lines()[before]

    def cut(self, pid):
        """Holds every connection of `pid`; returns how many it holds."""
        return int(self.command(f"cut {pid}").split()[1])

    def restore(self):
        return int(self.command("restore").split()[1])

    def close(self):
        self.proc.stdin.close()
        self.stop(signal.SIGTERM, 5)


class RedisGroup:
    """Primary, replica, three Sentinels, all reached through one CutProxy."""

    def __init__(self, name):
        self.name = name
        self.proxy_ports = [stable_port(), stable_port()]
        self.servers = [RedisServer(extra=self._announce(0)),
                        RedisServer(replica_of=self.proxy_ports[0], extra=self._announce(1))]
        self.proxy = None
        self.sentinels = []
        self.primary = 0
        try:
            self._start()
        except BaseException:
            self.close()
            raise

    def _start(self):
        name = self.name
        self.proxy = CutProxy(zip(self.proxy_ports, (s.port for s in self.servers)))
        for s in self.servers:
            s.start()
        wait_until(lambda: "master_link_status:up" in self.info(1), 15, "the replica in sync")
        for _ in range(3):
            self.sentinels.append(RedisSentinel(name, self.proxy_ports[0]))
            self.sentinels[-1].start()
        for s in self.sentinels:
            wait_until(lambda: s.knows(replicas=1, sentinels=2), 20, "Sentinels that know all")
        # The replica is known at its proxy's port, so a failover leads there.
        fields = self.sentinels[0].call("SENTINEL", "replicas", name)[0]
        info = {fields[i].decode(): fields[i + 1].decode() for i in range(0, len(fields), 2)}
        assert int(info["port"]) == self.proxy_ports[1], info

    def _announce(self, index):
        return ["--replica-announce-ip", HOST, "--replica-announce-port",
                str(self.proxy_ports[index])]

    def info(self, index):
        return self.servers[index].call("INFO", "replication").decode()

    def sentinel_addresses(self):
        return ",".join(f"{HOST}:{s.port}" for s in self.sentinels)

    def fail_over(self):
        """Kills the primary, waits until the Sentinels name the replica, and
        starts the old primary again, empty (see old_primary_follows)."""
        old, new = self.primary, 1 - self.primary
        self.servers[old].kill()
        wait_until(lambda: self.sentinels[0].primary() == (HOST, self.proxy_ports[new]), 30,
                   "the Sentinels to promote the replica")
        self.primary = new
        self.servers[old].start()

    def old_primary_follows(self, timeout):
        """Waits until the old primary replicates from the new one (the
        Sentinels look at it about every 10 s)."""
        old = 1 - self.primary
        wait_until(lambda: (f"master_port:{self.proxy_ports[self.primary]}" in self.info(old)
                            and "master_link_status:up" in self.info(old)), timeout,
                   "the old primary to follow the new one")

    def stream(self, key):
        """Every entry of the stream on the primary: [(id, text)]."""
        entries = self.servers[self.primary].call("XRANGE", key, "-", "+") or []
        out = []
        for entry_id, fields in entries:
            values = dict(zip(fields[0::2], fields[1::2]))
            out.append((entry_id.decode(), values.get(b"m", b"").decode("utf-8", "replace")))
        return out

    def close(self):
        for s in reversed(self.sentinels):
            s.stop()
        for s in reversed(self.servers):
            s.stop()
        if self.proxy is not None:
            self.proxy.close()


class Instance:
    """One tovrel; start() again after a stop, on the same ports."""

    def __init__(self, exe, options):
        self.exe = exe
        self.port, self.ws_port, self.metrics_port = stable_port(), stable_port(), stable_port()
        self.args = ["{port}", "--metrics", str(self.metrics_port), "--ws-port", str(self.ws_port),
                     *options]
        self.proc = None
        self.runs = []  # every process started, for the console lines

    def start(self, redis=True):
        self.proc = ServerProcess([self.exe], self.port, self.args)
        self.runs.append(self.proc)
        assert self.proc.wait_ready(10), self.proc.describe()
        if redis:
            self.proc.wait_line("Redis connected", 20)
        wait_until(lambda: http_status(self.metrics_port)[0] == 200, 15, "/healthz 200")
        return self

    @property
    def pid(self):
        return self.proc.pid

    def count(self, line):
        return sum(p.count(line) for p in self.runs)

    def signal(self, sig):
        os.kill(self.proc.pid, sig)

    def terminate(self, timeout):
        """SIGTERM; the exit status."""
        return self.proc.stop(signal.SIGTERM, timeout)

    def kill(self):
        self.proc.kill()

    def close(self):
        if self.proc is not None:
            if self.proc.is_running():
                os.kill(self.proc.pid, signal.SIGCONT)
            self.proc.kill()


class HAProxy(Process):
    """Debian's haproxy in TCP mode: one frontend for the instances' TCP
    ports, one for their WebSocket ports. An instance is taken out when its
    /healthz fails twice (checked every 200 ms) and put back after two
    passes; sessions stay open when it is taken out."""

    def __init__(self, instances):
        self.dir = tempfile.mkdtemp(prefix="tovrel-drill-haproxy-")
        self.socket_path = os.path.join(self.dir, "stats.sock")
        self.tcp_port, self.ws_port = stable_port(), stable_port()
        cfg = os.path.join(self.dir, "haproxy.cfg")
        with open(cfg, "w") as f:
            f.write(self._config(instances))
        super().__init__([HAPROXY, "-db", "-f", cfg])
        try:
            wait_until(lambda: os.path.exists(self.socket_path), 10, "haproxy's stats socket")
        except AssertionError:
            self.kill()
            raise AssertionError(f"haproxy did not start: {self.describe()}")

    def _config(self, instances):
        lines = ["global", "  maxconn 4000", f"  stats socket {self.socket_path} level admin",
                 "defaults", "  mode tcp", "  timeout connect 2s", "  timeout client 120s",
                 "  timeout server 120s", "  timeout check 1s", "  retries 3",
                 "  option redispatch",
                 "  default-server inter 200ms fastinter 200ms downinter 200ms fall 2 rise 2"]
        for kind, port, attr in (("tcp", self.tcp_port, "port"), ("ws", self.ws_port, "ws_port")):
            lines += [f"frontend {kind}_in", f"  bind {HOST}:{port}", f"  default_backend {kind}",
                      f"backend {kind}", "  balance roundrobin", "  option httpchk GET /healthz"]
            lines += [f"  server i{i} {HOST}:{getattr(inst, attr)} check port {inst.metrics_port}"
                      for i, inst in enumerate(instances)]
        return "\n".join(lines) + "\n"

    def states(self):
        """{(backend, server): status} from the stats socket."""
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.settimeout(2)
            s.connect(self.socket_path)
            s.sendall(b"show stat\n")
            data = read_to_end(s)
        out = {}
        for line in data.decode().splitlines():
            fields = line.split(",")
            if len(fields) > 17 and not line.startswith("#") and fields[1].startswith("i"):
                out[(fields[0], fields[1])] = fields[17]
        return out

    def server_up(self, index):
        """True when both backends have instance `index` up."""
        states = self.states()
        return all(states.get((b, f"i{index}"), "").startswith("UP") for b in ("tcp", "ws"))

    def server_down(self, index):
        states = self.states()
        return all(states.get((b, f"i{index}"), "").startswith("DOWN") for b in ("tcp", "ws"))

    def close(self):
        self.stop(signal.SIGTERM, 10)
        shutil.rmtree(self.dir, ignore_errors=True)
