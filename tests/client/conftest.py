"""Fixtures for the black-box tests of tovrel-client.

TOVREL_SERVER and TOVREL_CLIENT name the built binaries. Every test starts its
own server on a free loopback port (or a scripted stand-in, for bytes the real
server never sends) and runs the client as a separate process. Every wait has
a time-out.
"""

import os
import shlex
import shutil
import socket
import subprocess
import sys
import threading
import time

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from tovrel_test_support import (ServerProcess, cut_frame, frame, free_port,  # noqa: E402,F401
                                 run_to_end)

SERVER = os.environ.get("TOVREL_SERVER", "")
# The client command may be more than one word ("wine64 tovrel-client.exe").
CLIENT = shlex.split(os.environ.get("TOVREL_CLIENT", ""))
IS_WINE = "wine" in os.environ.get("TOVREL_CLIENT", "").lower()
# Ctrl+C cannot be delivered to a program under Wine from here.
posix_client = pytest.mark.skipif(IS_WINE, reason="interrupts a native client with SIGINT")
TIMEOUT = 30.0 if IS_WINE else 10.0

SANITIZER_MARKERS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:")


class Server(ServerProcess):
    """The real server, run from `program`, with its console (standard output
    and error together) collected."""

    io_timeout = TIMEOUT

    def __init__(self, program, args=("{port}",), port=None):
        super().__init__([program], port=port, args=args, merge_stderr=True)
        assert self.wait_ready(TIMEOUT), f"server did not start: {self.lines}"

    @property
    def lines(self):
        """The console lines so far."""
        return self._complete_lines()

    def wait_console(self, text, count=1, timeout=TIMEOUT):
        self.wait_count(text, count, timeout)

    def stop(self):
        """Ctrl+C, then SIGKILL if it is still running after the time-out."""
        try:
            super().stop(timeout=TIMEOUT)
        except AssertionError:
            pass
        self.kill()


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
            payload, self.buf = cut_frame(self.buf)
            if payload is not None:
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
    rc, out, err = run_to_end(CLIENT + [str(a) for a in args], stdin=stdin, timeout=timeout)
    err = err.decode("utf-8", "replace")
    assert not any(m in err for m in SANITIZER_MARKERS), err
    return rc, out, err


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
