"""Console lines when standard output stops draining: the server's stdout is
a pipe the test stops reading. Clients are still served; the lines the
output could not take are counted, and once it drains one line says how
many were not written."""

import re
import signal
import threading
import time

from conftest import DISCONNECTED, NEW_CLIENT, STARTUP_TIMEOUT, Client, frame

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
