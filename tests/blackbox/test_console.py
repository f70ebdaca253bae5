"""Console lines when standard output stops draining: the server's stdout is
a pipe the test stops reading. Clients are still served; the lines the
output could not take are counted, and once it drains one line says how
many were not written."""

import os
import re
import select
import signal
import socket
import subprocess
import threading
import time

import pytest
from conftest import (DISCONNECTED, NEW_CLIENT, SERVER_COMMAND, STARTUP_TIMEOUT, Client,
                      IS_WINE, frame, free_port, server_env)

PING = frame(b"@PING")
# Enough "@PING" lines to fill the pipe and every buffer behind it several
# times over (each line is 6 bytes, 7 on Windows).
FLOODERS = 8
PINGS_EACH = 8000
CHURN_THREADS = 10
CHURN_EACH = 10
# Every wait on a held console is bounded; a server that blocks on its
# output shows as a time-out here.
FLOOD_TIMEOUT = 60.0
SUMMARY = re.compile(r"^([0-9]+) console lines not written$")


def ping_flood(port, pings, errors):
    """One client sends `pings` "@PING"s at once and reads every answer."""
    try:
        client = Client(port, timeout=FLOOD_TIMEOUT)
        sender = threading.Thread(target=client.send_raw, args=(PING * pings,), daemon=True)
        sender.start()
        got = client.recv_exact(len(PING) * pings, timeout=FLOOD_TIMEOUT)
        sender.join(FLOOD_TIMEOUT)
        if got != PING * pings:
            errors.append("a flooder got something other than its answers")
        client.close()
    except Exception as e:  # reported by the test
        errors.append(repr(e))


def churn(port, count, errors):
    """Clients that connect, ping once and leave, one after another."""
    try:
        for _ in range(count):
            client = Client(port, timeout=FLOOD_TIMEOUT)
            client.send_raw(PING)
            client.expect_frame(b"@PING", timeout=FLOOD_TIMEOUT)
            client.close()
    except Exception as e:  # reported by the test
        errors.append(repr(e))


def run_threads(targets):
    errors = []
    threads = [threading.Thread(target=t, args=args + (errors,), daemon=True)
               for t, args in targets]
    for t in threads:
        t.start()
    for t in threads:
        t.join(FLOOD_TIMEOUT + 10)
    assert not any(t.is_alive() for t in threads), "clients still running"
    assert not errors, errors


def test_stalled_console_stalls_no_client_and_counts_what_it_missed(server):
    server.hold_output()
    run_threads([(ping_flood, (server.port, PINGS_EACH))] * FLOODERS +
                [(churn, (server.port, CHURN_EACH))] * CHURN_THREADS)

    # Two clients that came after the flood are served at once.
    a = Client(server.port)
    b = Client(server.port)
    server.clients += [a, b]
    b.ping_barrier(timeout=FLOOD_TIMEOUT)
    a.send_frame(b"@PING")
    a.expect_frame(b"@PING", timeout=1.0)
    a.send_frame(b"hello")
    a.expect_frame(b"hello")
    b.expect_frame(b"hello")

    server.release_output()
    server.wait_for(lambda: any(SUMMARY.match(line) for line in server.lines()),
                    FLOOD_TIMEOUT, "the count of lines not written")
    assert server.stop() == 0
    lines = server.lines()
    assert lines[1] == server.ready_line

    # Every line is whole and one of those the events print; with the
    # missed ones counted, each event has its line.
    clients = FLOODERS + CHURN_THREADS * CHURN_EACH + 2
    expected = {NEW_CLIENT: clients, DISCONNECTED: clients,
                "@PING": FLOODERS * PINGS_EACH + CHURN_THREADS * CHURN_EACH + 2}
    seen = {line: 0 for line in expected}
    missed = 0
    for line in lines[2:]:
        summary = SUMMARY.match(line)
        if summary:
            assert int(summary.group(1)) > 0, line
            missed += int(summary.group(1))
        else:
            assert line in seen, f"unexpected console line {line!r}"
            seen[line] += 1
    assert missed > 0
    for line, count in expected.items():
        assert seen[line] <= count, (line, seen[line], count)
    assert sum(seen.values()) + missed == sum(expected.values()), (seen, missed)
    # Once the output drained, the lines of the stop came out in full.
    assert lines[-2:] == [DISCONNECTED] * 2


def test_stop_ends_while_the_console_is_stalled(server):
    server.hold_output()
    run_threads([(ping_flood, (server.port, PINGS_EACH))] * 4)
    server.proc.send_signal(signal.SIGINT)
    # A bounded wait for the output, then the exit.
    deadline = time.monotonic() + FLOOD_TIMEOUT + STARTUP_TIMEOUT
    while server.proc.poll() is None and time.monotonic() < deadline:
        time.sleep(0.05)
    server.release_output()
    assert server.proc.poll() is not None, "still running with its output stalled"
    assert server.wait_exit() == 0


def read_until(read, fd, done, timeout):
    """Reads from `fd` until done(text) holds or nothing more comes."""
    text = b""
    deadline = time.monotonic() + timeout
    while not done(text) and time.monotonic() < deadline:
        if select.select([fd], [], [], 0.1)[0]:
            chunk = read()
            if not chunk:
                break
            text += chunk
    return text.replace(b"\r\n", b"\n").decode("latin-1")


@pytest.mark.skipif(IS_WINE or os.name != "posix",
                    reason="a POSIX terminal or socket as standard output; Windows "
                           "programs under Wine meet them only through Wine's emulation")
@pytest.mark.parametrize("kind", ["terminal", "socket"])
def test_stalled_terminal_or_socket_stalls_no_client(kind):
    """A terminal nobody reads, and a socket as the journal gives one."""
    if kind == "terminal":
        import pty
        mine, theirs = pty.openpty()
        fd = mine
        read = lambda: os.read(mine, 65536)  # noqa: E731
    else:
        mine, theirs_socket = socket.socketpair()
        theirs = theirs_socket.fileno()
        fd = mine.fileno()
        read = lambda: mine.recv(65536)  # noqa: E731
    port = free_port()
    proc = subprocess.Popen(SERVER_COMMAND + [str(port)], stdin=subprocess.DEVNULL,
                            stdout=theirs, env=server_env())
    try:
        ready = f"Server is open at port {port}\n"
        assert ready in read_until(read, fd, lambda t: ready.encode() in t.replace(b"\r", b""),
                                   STARTUP_TIMEOUT)
        run_threads([(ping_flood, (port, PINGS_EACH))] * FLOODERS)
        a = Client(port)
        a.send_frame(b"@PING")
        a.expect_frame(b"@PING", timeout=1.0)
        text = read_until(read, fd, lambda t: b"console lines not written" in t, FLOOD_TIMEOUT)
        lines = text.split("\n")[:-1]
        assert any(SUMMARY.match(line) for line in lines), text[-300:]
        assert set(lines) <= {NEW_CLIENT, DISCONNECTED, "@PING"} | set(
            line for line in lines if SUMMARY.match(line)), "a line cut or unknown"
        a.close()
        proc.send_signal(signal.SIGINT)
        read_until(read, fd, lambda t: False, 1.0)  # lets the stop write its lines
        assert proc.wait(FLOOD_TIMEOUT) == 0
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait(10)
        if kind == "terminal":
            os.close(mine)
            os.close(theirs)
        else:
            mine.close()
            theirs_socket.close()
