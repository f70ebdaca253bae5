"""The one real idle time-out (15 s). Runs as its own CTest test
(blackbox_timeout), in parallel with the rest of the suite."""

import time

from conftest import DISCONNECTED, IS_WINE, free_port, metric, scrape

IDLE_MS = 15000
# The server counts real elapsed time per pass, so it can never drop a client
# early; late by at most a few passes, more under Wine or a sanitizer.
LATE_ALLOWANCE = 5.0 if IS_WINE else 3.0


def test_silent_client_times_out_busy_client_survives(server):
    busy = server.connect()
    silent = server.connect()
    connected_at = time.monotonic()

    # The busy client sends a frame every 3 s; "@PING" is answered to it
    # alone, so nothing is ever queued for the silent client.
    closed_at = None
    next_ping = connected_at
    while time.monotonic() - connected_at < IDLE_MS / 1000 + LATE_ALLOWANCE:
        if time.monotonic() >= next_ping:
            busy.ping_barrier()
            next_ping += 3.0
        if closed_at is None and not silent.is_open():
            closed_at = time.monotonic()
            break
        time.sleep(0.05)
    assert closed_at is not None, f"silent client not dropped; console={server.stdout!r}"
    waited = closed_at - connected_at
    assert IDLE_MS / 1000 - 0.1 <= waited <= IDLE_MS / 1000 + LATE_ALLOWANCE, waited
    assert silent.wait_closed() == b""

    server.wait_line(DISCONNECTED)  # printed just after the socket is closed
    lines = server.lines()
    at = lines.index("TIMEOUT")
    assert lines[at + 1] == DISCONNECTED
    assert lines.count("TIMEOUT") == 1
    assert lines.count(DISCONNECTED) == 1

    # The busy client has been connected as long and is still served.
    busy.ping_barrier()
    busy.send_frame(b"still here")
    busy.expect_frame(b"still here")
    assert server.count(DISCONNECTED) == 1
    print(f"silent client dropped after {waited:.2f}s")


def test_ten_time_outs_raise_the_counter_by_ten(server_factory):
    mport = free_port()
    server = server_factory(args=["{port}", "--metrics", str(mport)])
    before = scrape(mport)
    for _ in range(10):
        server.connect()
    server.wait_count("TIMEOUT", 10, timeout=IDLE_MS / 1000 + LATE_ALLOWANCE + 5)
    server.wait_count(DISCONNECTED, 10)
    after = scrape(mport)
    series = 'tovrel_disconnections_total{reason="timeout"}'
    assert metric(after, series) - metric(before, series) == server.count("TIMEOUT") == 10
    reasons = [line.split(" ")[0] for line in after.splitlines()
               if line.startswith("tovrel_disconnections_total{")]
    ended = sum(metric(after, r) - metric(before, r) for r in reasons)
    assert ended == server.count(DISCONNECTED) == 10
    assert metric(after, 'tovrel_clients{kind="tcp"}') == 0
