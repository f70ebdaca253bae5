"""Windows-only behaviour of the platform layer, against the real server.

Exclusive port: on Windows, SO_REUSEADDR lets a second program bind a port
that a listener with SO_REUSEADDR already holds, and take over new
connections. bind_probe.exe is such a second program: it binds with
SO_REUSEADDR on 0.0.0.0 and on 127.0.0.1.

Fast-command file: it is opened with read sharing only, so while another
program (file_holder.exe) has it open for writing, a request gets no reply.

Everything runs over loopback. Environment (set by tests/windows/CMakeLists.txt):
  TOVREL_EXE        the server program
  BIND_PROBE_EXE    the bind probe
  FILE_HOLDER_EXE   the program that holds a file open for writing
  TOVREL_RUNNER     words that start a Windows program here, joined with "|"
                    (for example the Wine loader); empty to run it directly
"""

import os
import shutil
import signal
import socket
import subprocess
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import tovrel_test_support as support  # noqa: E402
from tovrel_test_support import frame, free_port, recv_frame  # noqa: E402

RUNNER = [w for w in os.environ.get("TOVREL_RUNNER", "").split("|") if w]
TOVREL = os.environ.get("TOVREL_EXE", "")
PROBE = os.environ.get("BIND_PROBE_EXE", "")
HOLDER = os.environ.get("FILE_HOLDER_EXE", "")
TIMEOUT = 30.0  # a cold Wine start takes seconds

if not (TOVREL and PROBE and HOLDER):
    pytest.skip("TOVREL_EXE, BIND_PROBE_EXE and FILE_HOLDER_EXE are not set",
                allow_module_level=True)


def probe_try(port):
    """Runs "bind_probe try <port>"; returns (exit status, output lines)."""
    rc, out, _ = support.run_to_end(RUNNER + [PROBE, "try", str(port)], timeout=TIMEOUT)
    return rc, out.decode("latin-1").split()


class Process(support.Process):
    """A Windows program, started through the runner, whose standard output
    and error are read as lines."""

    io_timeout = TIMEOUT

    def __init__(self, args, stdin=subprocess.DEVNULL):
        super().__init__(RUNNER + args, stdin=stdin, merge_stderr=True)

    def finish(self):
        """Stops the program the way Ctrl+C does; returns its exit status."""
        try:
            return self.stop(signal.SIGINT, TIMEOUT)
        finally:
            if self.proc.poll() is None:
                self.proc.kill()

    def drain(self):
        """Every line, once the program's output has ended."""
        self.wait_for(self.output_ended, TIMEOUT, "the end of the output")
        return self.lines()


def test_second_listener_cannot_bind_while_server_serves():
    port = free_port()
    server = Process([TOVREL, str(port)])
    try:
        server.wait_line(f"Server is open at port {port}")

        status, lines = probe_try(port)
        assert status == 0, f"the probe bound the server's port: {lines!r}"
        assert lines[0::3] == ["0.0.0.0", "127.0.0.1"], lines
        assert lines[1::3] == ["refused", "refused"], lines

        # New connections still reach the server, not the probe.
        with socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT) as client:
            server.wait_line("New client connected")
            client.sendall(frame(b"@PING"))
            assert recv_frame(client) == b"@PING"
            assert server.finish() == 0
    finally:
        if server.proc.poll() is None:
            server.proc.kill()
    assert "Disconnected" in server.drain()

    # The same probe binds both addresses once the port is free, so the
    # refusals above came from the server holding it.
    status, lines = probe_try(port)
    assert status == 2, f"the probe could not bind a free port: {lines!r}"


def test_shared_listener_would_be_taken_over():
    """Shows whether this system has the Windows SO_REUSEADDR behaviour that
    the test above guards against: two probes, both with SO_REUSEADDR."""
    port = free_port()
    holder = Process([PROBE, "hold", str(port)], stdin=subprocess.PIPE)
    try:
        holder.wait_line("listening")
        status, lines = probe_try(port)
    finally:
        holder.proc.stdin.close()
        holder.proc.wait(TIMEOUT)
    if status == 0:
        pytest.skip("this system refuses a second SO_REUSEADDR listener as well (Linux "
                    f"semantics under Wine: {' '.join(lines)}); here the test above cannot "
                    "tell SO_EXCLUSIVEADDRUSE from SO_REUSEADDR")
    assert status in (1, 2), lines


def test_fast_command_file_held_for_writing_gets_no_reply(tmp_path):
    # A copy of the server in a directory of its own, beside its file.
    exe = tmp_path / os.path.basename(TOVREL)
    shutil.copy2(TOVREL, exe)
    port = free_port()
    listing = b"join #lobby\r\nlist\r\n"
    path = tmp_path / f"fastcmd{port}.txt"
    path.write_bytes(listing)

    server = Process([str(exe), str(port)])
    holder = None
    try:
        server.wait_line(f"Server is open at port {port}")
        with socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT) as client:
            client.sendall(frame(b"@FASTCOMMANDS"))
            assert recv_frame(client) == b"@FASTCOMMANDS\n" + listing

            holder = Process([HOLDER, str(path)], stdin=subprocess.PIPE)
            holder.wait_line("holding")
            # The ping reply comes next: the request in front of it got none.
            client.sendall(frame(b"@FASTCOMMANDS") + frame(b"@PING"))
            assert recv_frame(client) == b"@PING"

            holder.proc.stdin.close()
            assert holder.proc.wait(TIMEOUT) == 0
            client.sendall(frame(b"@FASTCOMMANDS"))
            assert recv_frame(client) == b"@FASTCOMMANDS\n" + listing
            assert server.finish() == 0
    finally:
        for process in (server, holder):
            if process is not None and process.proc.poll() is None:
                process.proc.kill()
