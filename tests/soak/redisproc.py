"""Debian's redis-server for the tests of rooms across instances.

Started on a free port of 127.0.0.1 without persistence (--save '' and
--appendonly no) in a directory of its own, so a restart begins empty; every
wait is bounded, and stop() ends exactly the process that start() began.
A minimal RESP client lets a test look at the stream or write to it."""

import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time

HOST = "127.0.0.1"
REDIS_SERVER = shutil.which("redis-server") or "/usr/bin/redis-server"


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]


def encode(*args):
    out = [b"*%d\r\n" % len(args)]
    for a in args:
        a = a if isinstance(a, bytes) else str(a).encode()
        out.append(b"$%d\r\n%s\r\n" % (len(a), a))
    return b"".join(out)


class Connection:
    """A blocking RESP2 connection with a time-out on every read."""

    def __init__(self, port, password=None, timeout=10.0):
        self.sock = socket.create_connection((HOST, port), timeout=timeout)
        self.buf = b""
        if password:
            self.call("AUTH", password)

    def call(self, *args):
        self.sock.sendall(encode(*args))
        return self.read()

    def pipeline(self, commands):
        self.sock.sendall(b"".join(encode(*c) for c in commands))
        return [self.read() for _ in commands]

    def _line(self):
        while b"\r\n" not in self.buf:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise ConnectionError("redis closed the connection")
            self.buf += chunk
        line, self.buf = self.buf.split(b"\r\n", 1)
        return line

    def _exact(self, n):
        while len(self.buf) < n + 2:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise ConnectionError("redis closed the connection")
            self.buf += chunk
        data, self.buf = self.buf[:n], self.buf[n + 2:]
        return data

    def read(self):
        line = self._line()
        kind, rest = line[:1], line[1:]
        if kind == b"+":
            return rest.decode()
        if kind == b"-":
            raise RuntimeError(rest.decode())
        if kind == b":":
            return int(rest)
        if kind == b"$":
            n = int(rest)
            return None if n < 0 else self._exact(n)
        if kind == b"*":
            n = int(rest)
            return None if n < 0 else [self.read() for _ in range(n)]
        raise RuntimeError(f"unexpected reply {line!r}")

    def close(self):
        self.sock.close()


class RedisServer:
    def __init__(self, password=None):
        self.dir = tempfile.mkdtemp(prefix="tovrel-redis-")
        self.port = free_port()
        self.password = password
        self.proc = None

    def start(self, timeout=10.0):
        argv = [REDIS_SERVER, "--port", str(self.port), "--bind", HOST, "--save", "",
                "--appendonly", "no", "--daemonize", "no", "--dir", self.dir]
        if self.password:
            argv += ["--requirepass", self.password]
        log = open(os.path.join(self.dir, "redis.log"), "ab")
        self.proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=log,
                                     stderr=subprocess.STDOUT, cwd=self.dir)
        log.close()
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                raise RuntimeError(f"redis-server exited: {self.log()[-2000:]}")
            try:
                c = self.connect(timeout=1.0)
                ok = c.call("PING") == "PONG"
                c.close()
                if ok:
                    return self
            except OSError:
                pass
            time.sleep(0.05)
        raise RuntimeError(f"redis-server did not answer within {timeout} s")

    def connect(self, timeout=10.0):
        return Connection(self.port, self.password, timeout)

    def call(self, *args):
        c = self.connect()
        try:
            return c.call(*args)
        finally:
            c.close()

    def log(self):
        with open(os.path.join(self.dir, "redis.log"), "rb") as f:
            return f.read().decode("latin-1")

    def pause(self):
        self.proc.send_signal(signal.SIGSTOP)

    def resume(self):
        self.proc.send_signal(signal.SIGCONT)

    def kill(self):
        """SIGKILL, as a crash: nothing is saved (there is no persistence anyway)."""
        if self.proc is not None and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGCONT)
            self.proc.kill()
            self.proc.wait(10)

    def stop(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGCONT)
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(10)
        shutil.rmtree(self.dir, ignore_errors=True)
