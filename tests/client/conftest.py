"""Fixtures for the black-box tests of tovrel-client.

TOVREL_SERVER and TOVREL_CLIENT name the built binaries. Every test starts its
own server on a free loopback port (or a scripted stand-in, for bytes the real
server never sends) and runs the client as a separate process. Every wait has
a time-out.
"""

import os
import shlex
import shutil
import signal
import socket
import struct
import subprocess
import threading
import time

import pytest

SERVER = os.environ.get("TOVREL_SERVER", "")
# The client command may be more than one word ("wine64 tovrel-client.exe").
CLIENT = shlex.split(os.environ.get("TOVREL_CLIENT", ""))
IS_WINE = "wine" in os.environ.get("TOVREL_CLIENT", "").lower()
# Ctrl+C cannot be delivered to a program under Wine from here.
posix_client = pytest.mark.skipif(IS_WINE, reason="interrupts a native client with SIGINT")
TIMEOUT = 30.0 if IS_WINE else 10.0

SANITIZER_MARKERS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:")


def frame(payload):
    return struct.pack("<i", len(payload)) + payload


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Server:
    """The real server, run from `program`, with its console collected."""

    def __init__(self, program):
        self.port = free_port()
        self.proc = subprocess.Popen([program, str(self.port)], stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.lines = []
        self.ready = threading.Event()
        threading.Thread(target=self._read, daemon=True).start()
        assert self.ready.wait(TIMEOUT), f"server did not start: {self.lines}"

    def _read(self):
        for raw in self.proc.stdout:
            line = raw.decode("latin-1").rstrip("\r\n")
            self.lines.append(line)
            if line.startswith("Server is open"):
                self.ready.set()

    def wait_console(self, text, count=1, timeout=TIMEOUT):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.lines.count(text) >= count:
                return
            time.sleep(0.02)
        raise AssertionError(f"console never showed {text!r} x{count}: {self.lines}")

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGINT)
            try:
                self.proc.wait(TIMEOUT)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


@pytest.fixture
def server():
    s = Server(SERVER)
    yield s
    s.stop()


@pytest.fixture
def server_in_tmp(tmp_path):
    """A server run from a copy in a temporary directory, beside its own
    fast-command file (written by the test)."""
    program = tmp_path / "tovrel"
    shutil.copy2(SERVER, program)
    s = Server(str(program))
    s.dir = tmp_path
    yield s
    s.stop()


class Peer:
    """A plain socket client of the server, to see what tovrel-client sends."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT)
        self.buf = b""

    def send(self, payload):
        self.sock.sendall(frame(payload))

    def recv_frame(self):
        while True:
            if len(self.buf) >= 4:
                (n,) = struct.unpack("<i", self.buf[:4])
                if len(self.buf) >= 4 + n:
                    payload, self.buf = self.buf[4:4 + n], self.buf[4 + n:]
                    return payload
            chunk = self.sock.recv(65536)
            assert chunk, "server closed the connection"
            self.buf += chunk

    def close(self):
        self.sock.close()


class ScriptedServer:
    """A one-connection stand-in for the server on loopback: sends `reply`
    once the client connects, then closes, or stays silent for `hold` s."""

    def __init__(self, reply=b"", hold=0.0):
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(1)
        self.listener.settimeout(TIMEOUT)
        self.port = self.listener.getsockname()[1]
        self.received = b""
        self.thread = threading.Thread(target=self._serve, args=(reply, hold), daemon=True)
        self.thread.start()

    def _serve(self, reply, hold):
        conn, _ = self.listener.accept()
        with conn:
            conn.sendall(reply)
            conn.settimeout(0.05)
            deadline = time.monotonic() + hold
            while time.monotonic() < deadline:
                try:
                    data = conn.recv(65536)
                except socket.timeout:
                    continue
                if not data:
                    break
                self.received += data

    def close(self):
        self.thread.join(TIMEOUT)
        self.listener.close()


def run_client(*args, stdin=b"", timeout=TIMEOUT):
    """Runs the client to its end; returns (exit status, stdout bytes, stderr text)."""
    result = subprocess.run(CLIENT + [str(a) for a in args], input=stdin,
                            capture_output=True, timeout=timeout)
    err = result.stderr.decode("utf-8", "replace")
    assert not any(m in err for m in SANITIZER_MARKERS), err
    return result.returncode, result.stdout, err


def start_client(*args, stdin=subprocess.DEVNULL):
    return subprocess.Popen(CLIENT + [str(a) for a in args], stdin=stdin,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)


def read_lines(proc, count, timeout=TIMEOUT):
    """The next `count` lines of a running client's standard output."""
    lines = []
    result = {}

    def reader():
        for _ in range(count):
            line = proc.stdout.readline()
            if not line:
                break
            lines.append(line)
        result["done"] = True

    t = threading.Thread(target=reader, daemon=True)
    t.start()
    t.join(timeout)
    assert result.get("done") and len(lines) == count, f"got only {lines!r}"
    return lines
