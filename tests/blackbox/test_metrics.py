"""The metrics endpoint (--metrics) of the real server: its counters against
the console lines, the text checked by promtool, a real Prometheus scraping
it, and scrapers that misbehave while the room goes on."""

import json
import os
import random
import shutil
import signal
import socket
import subprocess
import threading
import time
import urllib.parse
import urllib.request

import pytest

from conftest import IO_TIMEOUT, IS_WINE, free_port, http_get, metric, scrape
from tovrel_test_support import Process

PROMETHEUS = shutil.which("prometheus")
PROMTOOL = shutil.which("promtool")
needs_promtool = pytest.mark.skipif(PROMTOOL is None,
                                    reason="needs promtool (apt-get install prometheus)")


def start_with_metrics(server_factory, *more):
    mport = free_port()
    server = server_factory(args=["{port}", "--metrics", str(mport), *more])
    server.wait_line(f"Metrics at http://127.0.0.1:{mport}/metrics")
    return server, mport


def test_counters_rise_with_their_console_lines(server_factory, tmp_path):
    server, mport = start_with_metrics(server_factory)
    before = scrape(mport)
    a = server.connect()
    b = server.connect()
    for _ in range(3):
        a.ping_barrier()
    a.send_frame("hello")
    a.expect_frame("hello")
    b.expect_frame("hello")
    a.send_frame("@FASTCOMMANDS")  # no file beside the program: no answer, still counted
    a.ping_barrier()
    bad = server.connect()
    bad.send_length(131073)
    server.wait_line("Invalid msg size")
    b.close()
    server.wait_count("Disconnected", 2)
    after = scrape(mport)

    def rise(series):
        return metric(after, series) - metric(before, series)

    console = server.lines()
    assert rise("tovrel_connections_accepted_total") == console.count("New client connected") == 3
    assert rise("tovrel_pings_total") == console.count("@PING") == 4
    assert rise("tovrel_fast_commands_total") == 1
    assert rise("tovrel_messages_relayed_total") == 1
    assert rise('tovrel_disconnections_total{reason="invalid_size"}') == \
        console.count("Invalid msg size") == 1
    assert rise('tovrel_disconnections_total{reason="peer_closed"}') == 1
    assert metric(after, 'tovrel_clients{kind="tcp"}') == 1
    # In: four pings, "hello", the request and the bad length. Out: the
    # answers, "hello" to both and once more to the newcomer from the history.
    assert rise("tovrel_received_bytes_total") == 4 * 9 + 9 + 17 + 4
    assert rise("tovrel_sent_bytes_total") == 4 * 9 + 3 * 9
    assert metric(after, "tovrel_pass_duration_seconds_count") > 0
    if not IS_WINE:  # Wine does not count a process's handles
        assert metric(after, "process_open_fds") > 0
    assert metric(after, "process_resident_memory_bytes") > 0
    start = metric(after, "process_start_time_seconds")
    assert abs(start - time.time()) < 600


def test_health_and_unknown_paths(server_factory):
    _, mport = start_with_metrics(server_factory)
    assert http_get(mport, "/healthz")[0::2] == (200, b"ok\n")
    assert http_get(mport, "/")[0] == 404
    assert http_get(mport, "/metrics/x")[0] == 404


def test_an_address_given_is_the_only_one_served(server_factory):
    mport = free_port("127.0.0.2")
    server = server_factory(args=["{port}", "--metrics", f"127.0.0.2:{mport}"])
    server.wait_line(f"Metrics at http://127.0.0.2:{mport}/metrics")
    assert http_get(mport, "/healthz", host="127.0.0.2")[0] == 200
    with pytest.raises(OSError):
        http_get(mport, "/healthz", host="127.0.0.1")


def test_without_the_option_nothing_listens_beside_the_port(server_factory):
    server = server_factory()
    assert not any(line.startswith("Metrics at") for line in server.lines())


@needs_promtool
def test_promtool_finds_no_problem_in_a_scrape(server_factory):
    server, mport = start_with_metrics(server_factory)
    client = server.connect()
    client.ping_barrier()
    text = scrape(mport)
    result = subprocess.run([PROMTOOL, "check", "metrics"], input=text.encode(),
                            capture_output=True, timeout=60)
    assert result.returncode == 0, (result.stdout, result.stderr)
    assert result.stdout == b"" and result.stderr == b"", (result.stdout, result.stderr)


def prometheus_query(port, query):
    url = f"http://127.0.0.1:{port}/api/v1/query?" + urllib.parse.urlencode({"query": query})
    with urllib.request.urlopen(url, timeout=5) as answer:
        data = json.loads(answer.read())
    assert data["status"] == "success", data
    return [float(r["value"][1]) for r in data["data"]["result"]]


@pytest.mark.skipif(PROMETHEUS is None, reason="needs prometheus (apt-get install prometheus)")
@pytest.mark.skipif(IS_WINE, reason="Prometheus runs beside the Linux build")
def test_prometheus_scrapes_a_counter_the_test_drove(server_factory, tmp_path):
    server, mport = start_with_metrics(server_factory)
    client = server.connect()
    for _ in range(5):
        client.ping_barrier()
    pport = free_port()
    config = tmp_path / "prometheus.yml"
    config.write_text(
        "global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
        "scrape_configs:\n  - job_name: tovrel\n    static_configs:\n"
        f"      - targets: ['127.0.0.1:{mport}']\n")
    prometheus = Process([PROMETHEUS, f"--config.file={config}",
                          f"--storage.tsdb.path={tmp_path / 'data'}",
                          f"--web.listen-address=127.0.0.1:{pport}"], merge_stderr=True)
    try:
        def answers(query, expected):
            def check():
                try:
                    return prometheus_query(pport, query) == [expected]
                except OSError:
                    return False
            prometheus.wait_for(check, timeout=60, what=f"{query} == {expected}")

        answers('up{job="tovrel"}', 1.0)
        answers('tovrel_pings_total{job="tovrel"}', 5.0)
        client.ping_barrier()
        answers('tovrel_pings_total{job="tovrel"}', 6.0)
    finally:
        prometheus.stop(signal.SIGTERM)
        prometheus.kill()


def test_bad_scrapers_are_dropped_and_the_room_goes_on(server_factory):
    server, mport = start_with_metrics(server_factory)
    sender = server.connect()
    reader = server.connect()
    stop = threading.Event()
    errors = []

    def chat():
        # The room keeps talking throughout; every message must arrive.
        k = 0
        try:
            while not stop.is_set():
                sender.send_frame(f"m{k}")
                sender.expect_frame(f"m{k}")
                reader.expect_frame(f"m{k}")
                k += 1
                time.sleep(0.01)
        except Exception as e:  # reported by the test
            errors.append(e)

    talker = threading.Thread(target=chat)
    talker.start()
    idle = []
    try:
        # A thousand that never send a request, in bursts the accept queue
        # takes: past it the kernel may complete a handshake with a SYN
        # cookie that the server never learns of.
        for k in range(1000):
            s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            s.setblocking(False)
            s.connect_ex(("127.0.0.1", mport))
            idle.append(s)
            if k % 20 == 19:
                time.sleep(0.05)
        # Once the flood is refused or has timed out, scrapes work again.
        def served():
            try:
                text = scrape(mport)
            except (OSError, AssertionError, IndexError, ValueError):
                return False
            gone = (metric(text, "tovrel_metrics_refused_total") +
                    metric(text, "tovrel_metrics_dropped_total"))
            return gone >= 900 and metric(text, "tovrel_metrics_scrapers") == 1
        server.wait_for(served, timeout=30, what="the endpoint to shed the flood")
        # A request line of 1 MiB.
        huge = socket.create_connection(("127.0.0.1", mport), timeout=IO_TIMEOUT)
        try:
            huge.sendall(b"GET /" + b"a" * (1 << 20) + b" HTTP/1.1\r\n\r\n")
        except OSError:
            pass  # dropped while it was still sending
        # Garbage, and one that asks and never reads.
        garbage = socket.create_connection(("127.0.0.1", mport), timeout=IO_TIMEOUT)
        try:
            garbage.sendall(bytes(random.Random(7).randrange(256) for _ in range(5000)))
        except OSError:
            pass  # refused after its first 4 KiB
        deaf = socket.create_connection(("127.0.0.1", mport), timeout=IO_TIMEOUT)
        deaf.sendall(b"GET /metrics HTTP/1.1\r\n\r\n")

        def refused():
            text = scrape(mport)
            return metric(text, "tovrel_metrics_bad_requests_total") == 2
        server.wait_for(refused, timeout=IO_TIMEOUT, what="the large and the garbled request")
        # The one that does not read holds its place no longer than allowed.
        server.wait_for(lambda: metric(scrape(mport), "tovrel_metrics_scrapers") == 1,
                        timeout=IO_TIMEOUT + 5, what="every place but this one free")
    finally:
        stop.set()
        talker.join(30)
        for s in idle:
            s.close()
    assert not errors, errors
    sender.ping_barrier()
    reader.ping_barrier()
    assert "Disconnected" not in server.lines(), server.stdout
