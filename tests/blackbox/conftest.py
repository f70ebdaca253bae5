"""Fixtures and helpers for the black-box tests of tovrel.

The server command comes from the environment variable TOVREL_SERVER and is
split with shlex. It may be more than one word (for example
"/usr/lib/wine/wine64 /path/build-win/tovrel.exe"); the program file is always
the LAST word. Every test starts its own server on a free loopback port and
talks to it over real sockets. Every wait has a time-out, so nothing can hang.
"""

import os
import re
import shutil
import socket
import struct
import subprocess
import sys
import threading
import time
import warnings

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from tovrel_test_support import (ServerProcess, frame, free_port, normalize,  # noqa: E402,F401
                                 run_to_end, runs_under_wine, server_command)

# ---------------------------------------------------------------------------
# The server command and the platform it runs on

SERVER_COMMAND = server_command()
IS_WINE = runs_under_wine(SERVER_COMMAND)

# A first Wine start can take many seconds (wineserver, prefix set-up).
STARTUP_TIMEOUT = 30.0 if IS_WINE else 10.0
# Default time-out for anything that should happen within a few passes.
IO_TIMEOUT = 10.0 if IS_WINE else 5.0
# How long "nothing arrives" is watched for.
QUIET_WINDOW = 0.3

posix_only = pytest.mark.skipif(
    IS_WINE or os.name != "posix",
    reason="POSIX signals and paths; not available for the Windows build under Wine")

NEW_CLIENT = "New client connected"
DISCONNECTED = "Disconnected"

SANITIZER_MARKERS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer",
                     "runtime error:", "SUMMARY: UndefinedBehaviorSanitizer")


def program_file():
    return SERVER_COMMAND[-1]


def command_with_program(path):
    """The server command with its program file replaced by `path`."""
    return SERVER_COMMAND[:-1] + [str(path)]


def server_env(extra=None):
    env = dict(os.environ)
    if IS_WINE:
        env.setdefault("WINEDEBUG", "-all")
    if extra:
        env.update(extra)
    return env


# Wine's own diagnostics: "wine: ..." (prefix set-up on a first start) and
# debug channels such as "0024:fixme:ntdll:...".
_WINE_NOISE = re.compile(r"^(wine: |([0-9a-f]{4}:)?(fixme|err|warn|trace):)")


def stderr_text(raw):
    """Standard error as text; under Wine without Wine's own diagnostics."""
    text = normalize(raw.decode("latin-1"))
    if IS_WINE:
        text = "".join(line for line in text.splitlines(keepends=True)
                       if not _WINE_NOISE.match(line))
    return text


def expected_directory_line(program):
    """What the server prints as its directory: argv[0] up to its last separator."""
    cut = max(program.rfind("/"), program.rfind("\\"))
    return program[:cut + 1]


def assert_directory_line(line, program):
    expected = expected_directory_line(program)
    if IS_WINE:
        # Wine hands the program a DOS path (Z:\...\); compare the tail.
        assert line.endswith(("\\", "/")), line
        assert line.replace("\\", "/").lower().endswith(expected.lower()), (line, expected)
    else:
        assert line == expected


def wine_never_ran(rc, out, err):
    """Now and then Wine ends a program before the program runs: a failure
    status with not a byte written (docs/windows.md). Every path on which
    tovrel fails writes a line, so such a run proved nothing."""
    return IS_WINE and rc != 0 and not out and not err


def run_once(args, timeout=None, cwd=None, command=None, env=None):
    """Runs the server to completion (start-up failures); returns (rc, out, err).
    `env` holds variables to set beside the suite's environment."""
    argv = (command or SERVER_COMMAND) + list(args)
    for _ in range(2):
        rc, out, err = run_to_end(argv, cwd=cwd, env=server_env(env),
                                  timeout=timeout or STARTUP_TIMEOUT + 10)
        if not wine_never_ran(rc, out, err):
            break
        warnings.warn(f"Wine never ran {argv!r} (status {rc}); once more")
    return (rc, normalize(out.decode("latin-1")), stderr_text(err))


# ---------------------------------------------------------------------------
# A client connection


class Client:
    """One TCP connection to the server, with frame helpers and time-outs."""

    def __init__(self, port, rcvbuf=None, timeout=IO_TIMEOUT):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        if rcvbuf is not None:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        self.sock.settimeout(timeout)
        self.sock.connect(("127.0.0.1", port))
        self.pending = b""  # received but not yet consumed

    # sending
    def send_raw(self, data):
        self.sock.sendall(data)

    def send_frame(self, payload):
        self.sock.sendall(frame(payload))

    def send_length(self, length):
        self.sock.sendall(struct.pack("<i", length) if length < 2 ** 31
                          else struct.pack("<I", length))

    # receiving
    def recv_exact(self, count, timeout=IO_TIMEOUT):
        """Exactly `count` bytes, or an AssertionError on time-out or close."""
        deadline = time.monotonic() + timeout
        data = self.pending
        while len(data) < count:
            left = deadline - time.monotonic()
            if left <= 0:
                self.pending = data
                raise AssertionError(f"timed out after {timeout}s: got {len(data)} of {count} bytes"
                                     f" (first bytes {data[:40]!r})")
            self.sock.settimeout(left)
            try:
                chunk = self.sock.recv(max(65536, count - len(data)))
            except socket.timeout:
                continue
            except ConnectionError as e:
                raise AssertionError(f"connection broken ({e!r}) after {len(data)} of {count} bytes")
            if not chunk:
                raise AssertionError(f"connection closed after {len(data)} of {count} bytes"
                                     f" (first bytes {data[:40]!r})")
            data += chunk
        self.pending = data[count:]
        return data[:count]

    def recv_frame(self, timeout=IO_TIMEOUT):
        """The payload of the next frame."""
        deadline = time.monotonic() + timeout
        (length,) = struct.unpack("<i", self.recv_exact(4, timeout))
        assert 0 < length <= 20 * 1024 * 1024, f"implausible frame length {length}"
        return self.recv_exact(length, max(0.1, deadline - time.monotonic()))

    def expect_frame(self, payload, timeout=IO_TIMEOUT):
        if isinstance(payload, str):
            payload = payload.encode("latin-1")
        got = self.recv_frame(timeout)
        assert got == payload, f"expected frame {payload[:60]!r} (len {len(payload)}), got {got[:60]!r} (len {len(got)})"

    def expect_nothing(self, window=QUIET_WINDOW):
        """Asserts that no byte arrives (and the connection stays open) for `window` s."""
        assert self.pending == b"", f"unexpected bytes pending: {self.pending[:60]!r}"
        self.sock.settimeout(window)
        try:
            chunk = self.sock.recv(65536)
        except socket.timeout:
            return
        except ConnectionError as e:
            raise AssertionError(f"connection broken: {e!r}")
        if not chunk:
            raise AssertionError("connection closed by the server")
        raise AssertionError(f"unexpected bytes: {chunk[:60]!r}")

    def ping_barrier(self, timeout=IO_TIMEOUT):
        """Sends "@PING" and asserts that its reply is the very next frame.

        Everything the server queued for this client before it handled the
        ping would arrive first, so this proves nothing else was queued."""
        self.send_frame(b"@PING")
        self.expect_frame(b"@PING", timeout)

    def wait_closed(self, timeout=IO_TIMEOUT):
        """Reads until the server closes the connection; returns the bytes read
        before the close. AssertionError if it stays open past `timeout`."""
        deadline = time.monotonic() + timeout
        data = self.pending
        self.pending = b""
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError(f"connection still open after {timeout}s ({len(data)} bytes read)")
            self.sock.settimeout(left)
            try:
                chunk = self.sock.recv(1 << 20)
            except socket.timeout:
                continue
            except ConnectionError:
                return data
            if not chunk:
                return data
            data += chunk

    def is_open(self):
        """True while the server keeps the connection (nothing may be readable)."""
        self.sock.settimeout(0.05)
        try:
            chunk = self.sock.recv(1, socket.MSG_PEEK)
        except socket.timeout:
            return True
        except ConnectionError:
            return False
        return bool(chunk)

    def close(self):
        self.sock.close()

    def reset(self):
        """Closes with SO_LINGER 0, so the server sees a reset, not a FIN."""
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.sock.close()


def expect_silence(*clients, window=QUIET_WINDOW):
    """Asserts that none of `clients` receives a byte within one shared window."""
    time.sleep(window)
    for client in clients:
        client.expect_nothing(0.01)


# ---------------------------------------------------------------------------
# The metrics endpoint (--metrics)


def http_get(port, path, timeout=IO_TIMEOUT, host="127.0.0.1"):
    """GET `path` from `host`:`port` over a connection of its own:
    (status, headers text, body bytes). The server closes after its answer."""
    with socket.create_connection((host, port), timeout=timeout) as s:
        s.sendall(f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n".encode())
        data = b""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            chunk = s.recv(65536)
            if not chunk:
                break
            data += chunk
    head, _, body = data.partition(b"\r\n\r\n")
    status_line, _, headers = head.decode("latin-1").partition("\r\n")
    return int(status_line.split(" ")[1]), headers, body


def scrape(port):
    """The metrics text, after checking the answer's status and type."""
    status, headers, body = http_get(port, "/metrics")
    assert status == 200, (status, body)
    assert "Content-Type: text/plain; version=0.0.4" in headers
    return body.decode()


def metric(text, series):
    """The value of one sample (name and labels as written), or None."""
    for line in text.splitlines():
        if line.startswith(series + " "):
            return float(line[len(series) + 1:])
    return None


# ---------------------------------------------------------------------------
# A running server


class StartupError(Exception):
    def __init__(self, rc, out, err):
        super().__init__(f"server did not start: rc={rc} stdout={out!r} stderr={err!r}")
        self.rc, self.out, self.err = rc, out, err


class Server(ServerProcess):
    """A running server process (see tovrel_test_support.ServerProcess), with
    its clients, Wine's diagnostics kept out of stderr and the suite's
    time-outs."""

    io_timeout = IO_TIMEOUT

    def __init__(self, command, port=None, args=("{port}",), cwd=None, env=None):
        super().__init__(command, port, args, cwd=cwd, env=env or server_env())
        self.clients = []

    @property
    def stderr(self):
        with self._cond:
            return stderr_text(bytes(self._err))

    def assert_count_stays(self, line, count, window=QUIET_WINDOW):
        time.sleep(window)
        assert self.count(line) == count, f"{line!r}: {self.count(line)} != {count}; {self.stdout!r}"

    # clients
    def connect(self, **kwargs):
        """Connects a client and waits until the server has accepted it."""
        before = self.count(NEW_CLIENT)
        client = Client(self.port, **kwargs)
        self.clients.append(client)
        self.wait_count(NEW_CLIENT, before + 1)
        return client

    def connect_many(self, count, timeout=20.0, first_frame=None):
        """Connects `count` clients at once (from threads); waits for all accepts.

        With `first_frame`, each client sends it right after connecting. (With
        a backlog of 5 the kernel may answer some of the SYNs with SYN cookies;
        such a client's handshake ACK is lost if the accept queue is full at
        that moment, and the server only learns of it from the client's next
        segment, which TCP retransmits until it is taken.)"""
        before = self.count(NEW_CLIENT)
        results = [None] * count
        errors = []

        def one(i):
            try:
                client = Client(self.port, timeout=timeout)
                if first_frame is not None:
                    client.send_frame(first_frame)
                results[i] = client
            except Exception as e:  # reported below
                errors.append(e)

        threads = [threading.Thread(target=one, args=(i,)) for i in range(count)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout + 5)
        self.clients.extend(c for c in results if c is not None)
        assert not errors, f"connect failed: {errors!r}"
        self.wait_count(NEW_CLIENT, before + count, timeout)
        return results

    def kill(self):
        super().kill()
        for c in self.clients:
            c.close()

    def assert_no_sanitizer_report(self):
        err = self.stderr
        for marker in SANITIZER_MARKERS:
            assert marker not in err, f"sanitizer report:\n{err}"


def start_server(command=None, port=None, cwd=None, env=None, args=None, attempts=5):
    """Starts the server on a free port (or on `port`) and waits for
    "Server is open at port N". The arguments are `args` with "{port}"
    replaced, by default just the port. Retries on another port when the
    chosen one was taken in between ("Can't open serevr ...")."""
    command = command or SERVER_COMMAND
    last = None
    tries = attempts if port is None else 1
    wine_retried = False
    while tries > 0:
        tries -= 1
        server = Server(command, port, args or ["{port}"], cwd=cwd, env=env)
        argv = server.argv[len(command):]
        try:
            ready = server.wait_ready(STARTUP_TIMEOUT)
        except AssertionError:
            server.kill()
            raise
        if ready:
            return server
        rc = server.wait_exit()
        last = StartupError(rc, server.stdout, server.stderr)
        server.kill()
        if wine_never_ran(rc, last.out, last.err) and not wine_retried:
            warnings.warn(f"Wine never ran {argv!r} (status {rc}); once more")
            wine_retried = True
            tries += 1
            continue
        if "Can't open serevr" not in last.err:
            raise last
    raise last


@pytest.fixture
def server_factory():
    """Starts servers; each is stopped with Ctrl+C at the end of the test and
    must then exit with status 0 and without a sanitizer report."""
    started = []

    def factory(**kwargs):
        server = start_server(**kwargs)
        started.append(server)
        return server

    yield factory
    problems = []
    for server in started:
        try:
            if server.is_running():
                rc = server.stop()
                if rc != 0:
                    problems.append(f"exit status {rc} after Ctrl+C; stderr={server.stderr!r}")
            server.assert_no_sanitizer_report()
        except AssertionError as e:
            problems.append(str(e))
        finally:
            server.kill()
    assert not problems, "; ".join(problems)


@pytest.fixture
def server(server_factory):
    return server_factory()


@pytest.fixture
def program_copy(tmp_path):
    """A copy of the program file in a fresh directory of its own.

    Returns (command, directory): the server command running the copy, and
    the directory where its fast-command files belong."""
    directory = tmp_path / "bin"
    directory.mkdir()
    source = program_file()
    target = directory / os.path.basename(source)
    shutil.copy2(source, target)
    return command_with_program(target), directory


def pytest_report_header(config):
    return f"tovrel server command: {SERVER_COMMAND!r} (wine: {IS_WINE})"


def pytest_configure(config):
    if not SERVER_COMMAND:
        raise pytest.UsageError("set TOVREL_SERVER to the server command, e.g. build/tovrel")
    if not os.path.exists(program_file()):
        raise pytest.UsageError(f"server program not found: {program_file()!r} (from TOVREL_SERVER)")
