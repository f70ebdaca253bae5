"""Starts the real tovrel binary for the soak and fault tests and watches it.

The binary comes from the environment variable TOVREL_SERVER. It is copied
into a fresh directory so that its fast-command file can be written beside
it. Every wait here is bounded; the server listens on a free port and every
client talks to it over 127.0.0.1 only. The process handling is shared with
the other suites (tests/support); what is added here is the measuring: RSS,
open descriptors and CPU time from /proc."""

import os
import shutil
import signal
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from tovrel_test_support import ServerProcess, free_port  # noqa: E402


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


class Server(ServerProcess):
    """One server process on a free port, run from a copy of the binary
    (through `wrapper`, such as valgrind, if given); open when constructed."""

    def __init__(self, fast_text=None, wrapper=None, preexec_fn=None, port=None, args=()):
        self.dir = tempfile.mkdtemp(prefix="tovrel-soak-")
        self.binary = os.path.join(self.dir, "tovrel")
        shutil.copy2(server_binary(), self.binary)
        port = port or free_port()
        if fast_text is not None:
            with open(os.path.join(self.dir, f"fastcmd{port}.txt"), "wb") as f:
                f.write(fast_text)
        super().__init__((wrapper or []) + [self.binary], port, ["{port}"] + list(args),
                         preexec_fn=preexec_fn)
        self.max_rss_kib = 0
        self.wait_for(self.is_ready, 60, "the start-up line")

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
        return self.is_running()

    def interrupt(self, timeout=30):
        """SIGINT (Ctrl+C); returns the exit status."""
        return self.stop(signal.SIGINT, timeout)

    def kill(self):
        super().kill()
        shutil.rmtree(self.dir, ignore_errors=True)
