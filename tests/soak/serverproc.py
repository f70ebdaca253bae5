"""Starts the real tovrel binary for the soak and fault tests and watches it.

The binary comes from the environment variable TOVREL_SERVER. It is copied
into a fresh directory so that its fast-command file can be written beside
it. Every wait here is bounded; the server listens on a free port and every
client talks to it over 127.0.0.1 only."""

import os
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import threading
import time

HOST = "127.0.0.1"


def server_binary():
    path = os.environ.get("TOVREL_SERVER", "")
    if not path or not os.path.exists(path):
        raise SystemExit(f"set TOVREL_SERVER to the tovrel binary (got {path!r})")
    return path


def built_with_asan(path):
    """AddressSanitizer builds keep freed memory in quarantine: RSS limits
    are scaled for them."""
    with open(path, "rb") as f:
        return b"__asan_init" in f.read()


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]


def frame(payload):
    return struct.pack("<i", len(payload)) + payload


def rss_kib(pid):
    """Resident set size of a process in KiB, or None once it is gone."""
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except OSError:
        return None
    return None


class Server:
    """One server process on a free port, its stdout collected by a thread."""

    def __init__(self, fast_text=None, wrapper=None, preexec_fn=None, port=None, args=()):
        self.dir = tempfile.mkdtemp(prefix="tovrel-soak-")
        self.binary = os.path.join(self.dir, "tovrel")
        shutil.copy2(server_binary(), self.binary)
        self.port = port or free_port()
        if fast_text is not None:
            with open(os.path.join(self.dir, f"fastcmd{self.port}.txt"), "wb") as f:
                f.write(fast_text)
        argv = (wrapper or []) + [self.binary, str(self.port)] + list(args)
        self.proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, preexec_fn=preexec_fn)
        self._out = bytearray()
        self._err = bytearray()
        self._lock = threading.Lock()
        self._threads = [threading.Thread(target=self._pump, args=(p, b), daemon=True)
                         for p, b in ((self.proc.stdout, self._out), (self.proc.stderr, self._err))]
        for t in self._threads:
            t.start()
        self.max_rss_kib = 0
        self.wait_for(lambda: f"Server is open at port {self.port}" in self.stdout, 60,
                      "the start-up line")

    def _pump(self, pipe, sink):
        while True:
            chunk = os.read(pipe.fileno(), 65536)
            if not chunk:
                return
            with self._lock:
                sink.extend(chunk)

    @property
    def stdout(self):
        with self._lock:
            return self._out.decode("latin-1")

    @property
    def stderr(self):
        with self._lock:
            return self._err.decode("latin-1")

    def count(self, line):
        return self.stdout.split("\n").count(line)

    def wait_for(self, predicate, timeout, what):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if predicate():
                return
            if self.proc.poll() is not None and not predicate():
                break
            time.sleep(0.05)
        if predicate():
            return
        raise AssertionError(f"timed out waiting for {what}; rc={self.proc.poll()}\n"
                             f"stdout tail: {self.stdout[-400:]!r}\nstderr: {self.stderr[-2000:]!r}")

    def sample_rss(self):
        """Current RSS in KiB (also kept as the maximum seen)."""
        value = rss_kib(self.proc.pid)
        if value is not None:
            self.max_rss_kib = max(self.max_rss_kib, value)
        return value

    def open_fds(self):
        try:
            return len(os.listdir(f"/proc/{self.proc.pid}/fd"))
        except OSError:
            return None

    def cpu_seconds(self):
        """User + system CPU time the server has used so far."""
        with open(f"/proc/{self.proc.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        ticks = os.sysconf("SC_CLK_TCK")
        return (int(fields[11]) + int(fields[12])) / ticks

    def alive(self):
        return self.proc.poll() is None

    def interrupt(self, timeout=30):
        """SIGINT (Ctrl+C); returns the exit status."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGINT)
        try:
            return self.proc.wait(timeout)
        finally:
            for t in self._threads:
                t.join(5)

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(10)
        for t in self._threads:
            t.join(5)
        shutil.rmtree(self.dir, ignore_errors=True)
