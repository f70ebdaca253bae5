"""Helpers that every Python test suite of tovrel shares.

- free_port: a free TCP port on the loopback address.
- frame / cut_frame / recv_exact / recv_frame: the wire format, a 4-byte
  little-endian length and then the payload.
- Process: any program with its output collected by background threads, so
  a test can wait for console lines while it runs (or hold them unread, as
  a stalled reader would); stopped by its PID.
- ServerProcess / server_command: the real server (the command in
  TOVREL_SERVER, which may be several words such as "wine64 build/tovrel.exe")
  on a free loopback port, waited for until it prints "Server is open".
- RedisServer / RedisConnection: Debian's redis-server on a free loopback
  port, and a small RESP client to look at it.

The suites put this folder on sys.path themselves (their conftest.py, or the
head of a script), so they run the same under CTest and by hand. Every wait
here has a time-out, and every socket talks to 127.0.0.1 only.
"""

import os
import shlex
import shutil
import signal
import random
import socket
import struct
import subprocess
import tempfile
import threading
import time

HOST = "127.0.0.1"

# ---------------------------------------------------------------------------
# Ports and frames

_LENGTH = struct.Struct("<i")


_PORTS_GIVEN = set()


def _ephemeral_low():
    """The first port of the kernel's range for outgoing connections."""
    try:
        with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
            return int(f.read().split()[0])
    except (OSError, ValueError, IndexError):
        return 32768


def free_port(host=HOST):
    """A TCP port that nothing listens on at the moment, below the kernel's
    range for outgoing connections: a port from that range could be taken
    by some test's outgoing connection between this pick and the bind of
    the listener it is for, or while that listener is stopped and started
    again. A port given once is not given again by this process."""
    low = _ephemeral_low()
    rng = random.Random()
    for _ in range(1000):
        port = rng.randrange(10000, max(10001, low))
        if port in _PORTS_GIVEN:
            continue
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
            try:
                s.bind((host, port))
            except OSError:
                continue
        _PORTS_GIVEN.add(port)
        return port
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind((host, 0))  # the kernel's pick, as a last resort
        return s.getsockname()[1]


# Listeners started again on the same port after a stop or a kill.
stable_port = free_port


def frame(payload):
    """One frame: the payload's length (4 bytes, little-endian), then the
    payload. A str payload is sent as Latin-1."""
    if isinstance(payload, str):
        payload = payload.encode("latin-1")
    return _LENGTH.pack(len(payload)) + payload


def cut_frame(buf):
    """Splits the first whole frame off `buf`: (payload, rest), or
    (None, buf) while the frame is not complete yet."""
    if len(buf) < 4:
        return None, buf
    (length,) = _LENGTH.unpack_from(buf)
    if len(buf) < 4 + length:
        return None, buf
    return buf[4:4 + length], buf[4 + length:]


def recv_exact(sock, count):
    """Exactly `count` bytes from a blocking socket (its own time-out applies)."""
    data = b""
    while len(data) < count:
        chunk = sock.recv(count - len(data))
        assert chunk, f"connection closed after {len(data)} of {count} bytes"
        data += chunk
    return data


def recv_frame(sock):
    """The payload of the next frame on a blocking socket."""
    (length,) = _LENGTH.unpack(recv_exact(sock, 4))
    return recv_exact(sock, length)


# ---------------------------------------------------------------------------
# Processes


def normalize(text):
    """Console text with Windows line ends folded to "\\n"."""
    return text.replace("\r\n", "\n")


class Process:
    """A running program. Its standard output (and standard error, unless
    merged into the output) is collected by background threads; the waits
    wake on every new chunk and give up at their time-out or once the
    program's output has ended."""

    # Default time-out of the waits; a suite's subclass may set its own.
    io_timeout = 10.0

    def __init__(self, argv, cwd=None, env=None, stdin=subprocess.DEVNULL, merge_stderr=False,
                 preexec_fn=None):
        self.argv = list(argv)
        self._out = bytearray()
        self._err = bytearray()
        self._cond = threading.Condition()
        # Cleared while a test holds the output (hold_output): the pumps stop
        # reading, so the program's pipes fill as behind a stalled reader.
        self._reading = threading.Event()
        self._reading.set()
        self.proc = subprocess.Popen(self.argv, stdin=stdin, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT if merge_stderr else subprocess.PIPE,
                                     cwd=cwd, env=env, preexec_fn=preexec_fn)
        pipes = [(self.proc.stdout, self._out)]
        if not merge_stderr:
            pipes.append((self.proc.stderr, self._err))
        self._eof = [False] * len(pipes)
        self._threads = [threading.Thread(target=self._pump, args=(pipe, sink, i), daemon=True)
                         for i, (pipe, sink) in enumerate(pipes)]
        for t in self._threads:
            t.start()

    def _pump(self, pipe, sink, index):
        fd = pipe.fileno()
        while True:
            self._reading.wait()
            try:
                chunk = os.read(fd, 65536)
            except OSError:
                chunk = b""
            with self._cond:
                if chunk:
                    sink.extend(chunk)
                else:
                    self._eof[index] = True
                self._cond.notify_all()
            if not chunk:
                return

    def hold_output(self):
        """Stops reading the program's output after the chunk being read."""
        self._reading.clear()

    def release_output(self):
        self._reading.set()

    @property
    def pid(self):
        return self.proc.pid

    # console output
    @property
    def stdout(self):
        with self._cond:
            return normalize(self._out.decode("latin-1"))

    @property
    def stderr(self):
        with self._cond:
            return normalize(bytes(self._err).decode("latin-1"))

    def _complete_lines(self):
        return self.stdout.split("\n")[:-1]

    def lines(self):
        """Complete stdout lines so far, without their line ends."""
        return self._complete_lines()

    def count(self, line):
        """How often `line` is a whole line of stdout so far."""
        return self._complete_lines().count(line)

    def output_ended(self):
        with self._cond:
            return all(self._eof)

    def describe(self):
        """The state for a failure message: exit status and the output's ends."""
        return (f"rc={self.proc.poll()} stdout={self.stdout[-2000:]!r} "
                f"stderr={self.stderr[-2000:]!r}")

    def wait_for(self, predicate, timeout=None, what="the condition"):
        """Waits until predicate() holds; AssertionError at the time-out or
        when the output ends without it."""
        timeout = self.io_timeout if timeout is None else timeout
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                if predicate():
                    return
                left = deadline - time.monotonic()
                if left <= 0 or all(self._eof):
                    break
                # Output wakes the wait; other state the predicate reads is polled.
                self._cond.wait(min(left, 0.05))
        if predicate():
            return
        raise AssertionError(f"timed out waiting for {what}; {self.describe()}")

    def wait_count(self, line, count, timeout=None):
        """Waits until stdout holds `line` at least `count` times."""
        self.wait_for(lambda: self.count(line) >= count, timeout, f"{count} x {line!r}")

    def wait_line(self, line, timeout=None):
        self.wait_count(line, 1, timeout)

    # stopping, always by the PID of the process started here
    def is_running(self):
        return self.proc.poll() is None

    def wait_exit(self, timeout=None):
        """Waits for the exit; returns the status. AssertionError if it runs on."""
        timeout = self.io_timeout if timeout is None else timeout
        try:
            rc = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError(f"{self.argv[0]} still running after {timeout}s; "
                                 f"stdout={self.stdout[-2000:]!r}")
        for t in self._threads:
            t.join(5)
        return rc

    def stop(self, sig=signal.SIGINT, timeout=None):
        """Sends `sig` (SIGINT = Ctrl+C) and returns the exit status."""
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        return self.wait_exit(timeout)

    def kill(self):
        """SIGKILL if still running; then the output threads are ended."""
        self.release_output()
        if self.proc.poll() is None:
            self.proc.kill()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                pass
        for t in self._threads:
            t.join(2)
        for pipe in (self.proc.stdout, self.proc.stderr):
            if pipe is not None:
                pipe.close()


# ---------------------------------------------------------------------------
# The server


def server_command():
    """The server command from TOVREL_SERVER, split into words; the program
    file is the last word. Empty when the variable is not set."""
    return shlex.split(os.environ.get("TOVREL_SERVER", ""))


def runs_under_wine(command):
    return any("wine" in word.lower() for word in command)


class ServerProcess(Process):
    """The real server on a loopback port (a free one unless `port` is given).

    The arguments are `args` with "{port}" replaced, by default just the port.
    Starting does not wait; wait_ready() waits for "Server is open at port N"."""

    def __init__(self, command=None, port=None, args=("{port}",), **kwargs):
        self.command = list(command or server_command())
        self.port = port or free_port()
        super().__init__(self.command + [a.format(port=self.port) for a in args], **kwargs)

    @property
    def ready_line(self):
        return f"Server is open at port {self.port}"

    def is_ready(self):
        return self.ready_line in self.stdout

    def wait_ready(self, timeout=None):
        """True once the server is open; False if it ended without opening
        (its output closed). AssertionError if neither happens in time."""
        self.wait_for(lambda: self.is_ready() or self.output_ended(), timeout,
                      repr(self.ready_line))
        return self.is_ready()


# ---------------------------------------------------------------------------
# Redis

REDIS_SERVER = shutil.which("redis-server") or "/usr/bin/redis-server"


def redis_encode(*args):
    """One command in RESP2."""
    out = [b"*%d\r\n" % len(args)]
    for a in args:
        a = a if isinstance(a, bytes) else str(a).encode()
        out.append(b"$%d\r\n%s\r\n" % (len(a), a))
    return b"".join(out)


class RedisConnection:
    """A blocking RESP2 connection with a time-out on every read."""

    def __init__(self, port, password=None, timeout=10.0):
        self.sock = socket.create_connection((HOST, port), timeout=timeout)
        self.buf = b""
        if password:
            self.call("AUTH", password)

    def call(self, *args):
        self.sock.sendall(redis_encode(*args))
        return self.read()

    def pipeline(self, commands):
        self.sock.sendall(b"".join(redis_encode(*c) for c in commands))
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
    """Debian's redis-server on a free port of 127.0.0.1, without persistence
    (--save '' and --appendonly no) in a directory of its own, so a restart
    begins empty. The port is chosen at construction; start() may be called
    again after kill() or stop(), on the same port. Every wait is bounded,
    and the stops end exactly the process that start() began."""

    def __init__(self, password=None, replica_of=None, extra=()):
        self.dir = tempfile.mkdtemp(prefix="tovrel-redis-")
        self.port = free_port()
        self.password = password
        self.replica_of = replica_of  # the primary's port, for a replica
        self.extra = list(extra)  # further redis-server options, as "--name", "value"
        self.proc = None

    def start(self, timeout=10.0):
        argv = [REDIS_SERVER, "--port", str(self.port), "--bind", HOST, "--save", "",
                "--appendonly", "no", "--daemonize", "no", "--dir", self.dir]
        if self.password:
            argv += ["--requirepass", self.password]
        # A replica is sent the data set at once, not after the usual delay.
        argv += ["--repl-diskless-sync-delay", "0"]
        if self.replica_of is not None:
            argv += ["--replicaof", HOST, str(self.replica_of)]
        argv += self.extra
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
        return RedisConnection(self.port, self.password, timeout)

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


class RedisSentinel(RedisServer):
    """Debian's redis-server in Sentinel mode on a free port of 127.0.0.1,
    watching the primary on `primary_port` under `name` (quorum 2), with
    short time-outs so a failover takes seconds. Its configuration file,
    which a Sentinel rewrites, lives in its own directory."""

    def __init__(self, name, primary_port, down_after_ms=1000):
        super().__init__()
        self.name = name
        self.primary_port = primary_port
        self.down_after_ms = down_after_ms

    def start(self, timeout=10.0):
        conf = os.path.join(self.dir, "sentinel.conf")
        with open(conf, "w") as f:
            f.write(f"port {self.port}\nbind {HOST}\ndaemonize no\ndir {self.dir}\n"
                    f"sentinel monitor {self.name} {HOST} {self.primary_port} 2\n"
                    f"sentinel down-after-milliseconds {self.name} {self.down_after_ms}\n"
                    f"sentinel failover-timeout {self.name} 10000\n"
                    f"sentinel parallel-syncs {self.name} 1\n")
        log = open(os.path.join(self.dir, "redis.log"), "ab")
        self.proc = subprocess.Popen([REDIS_SERVER, conf, "--sentinel"], stdin=subprocess.DEVNULL,
                                     stdout=log, stderr=subprocess.STDOUT, cwd=self.dir)
        log.close()
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                raise RuntimeError(f"redis sentinel exited: {self.log()[-2000:]}")
            try:
                if self.call("PING") == "PONG":
                    return self
            except OSError:
                pass
            time.sleep(0.05)
        raise RuntimeError(f"redis sentinel did not answer within {timeout} s")

    def primary(self):
        """(host, port) of the primary as this Sentinel names it now."""
        host, port = self.call("SENTINEL", "get-master-addr-by-name", self.name)
        return host.decode(), int(port)

    def knows(self, replicas, sentinels):
        """True once it has found `replicas` replicas and `sentinels` others."""
        fields = self.call("SENTINEL", "master", self.name)
        info = {fields[i].decode(): fields[i + 1] for i in range(0, len(fields), 2)}
        return (int(info["num-slaves"]) >= replicas
                and int(info["num-other-sentinels"]) >= sentinels)


def run_to_end(argv, timeout, stdin=b"", cwd=None, env=None, preexec_fn=None):
    """Runs `argv` to its end with its output in files: (status, out, err)
    as bytes. It waits for the program itself, not for its output to close,
    since a Wine service the program started may hold inherited pipes open
    long after the program ended."""
    with tempfile.TemporaryFile() as given, tempfile.TemporaryFile() as out, \
            tempfile.TemporaryFile() as err:
        given.write(stdin)
        given.seek(0)
        process = subprocess.Popen(argv, stdin=given, stdout=out, stderr=err, cwd=cwd, env=env,
                                   preexec_fn=preexec_fn)
        try:
            rc = process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
            raise
        out.seek(0)
        err.seek(0)
        return rc, out.read(), err.read()
