"""--ping, --fast, --send and --stats."""

import re

from conftest import SERVER, Peer, ScriptedServer, Server, free_port, run_client


def test_ping_times_each_round_trip_and_sums_up(server):
    rc, out, err = run_client("--ping", 3, "--interval", 0, server.port)
    assert (rc, err) == (0, "")
    text = out.decode()
    assert text.startswith(f"PING 127.0.0.1:{server.port}\n")
    assert len(re.findall(r"^reply from .*: seq=\d time=\d+\.\d ms$", text, re.M)) == 3
    assert [int(n) for n in re.findall(r"seq=(\d)", text)] == [1, 2, 3]
    assert "3 sent, 3 received, 0% lost" in text
    low, avg, high = map(float, re.search(r"min/avg/max = ([\d.]+)/([\d.]+)/([\d.]+) ms",
                                          text).groups())
    assert 0 <= low <= avg <= high
    server.wait_console("@PING", count=3)


def test_ping_skips_history_and_default_is_one(server):
    run_client(server.port, "--send", "@PING ", "older")
    rc, out, _ = run_client("--ping", server.port)
    assert rc == 0
    assert "1 sent, 1 received" in out.decode()


def test_ping_fails_when_no_reply_comes():
    scripted = ScriptedServer(hold=3.0)
    rc, out, _ = run_client("--ping", 2, "--timeout", 300, scripted.port)
    assert rc == 1
    text = out.decode()
    assert "no reply" in text and "1 sent, 0 received, 100% lost" in text
    assert scripted.received.startswith(b"\x05\x00\x00\x00@PING")


def test_fast_prints_the_file_unchanged(server_in_tmp):
    content = b"cmd one\r\nzwei \xc3\xa4\r\n\ttab\n"
    (server_in_tmp.dir / f"fastcmd{server_in_tmp.port}.txt").write_bytes(content)
    rc, out, _ = run_client("--fast", server_in_tmp.port)
    assert (rc, out) == (0, content)


def test_fast_without_a_file_fails_after_a_short_wait(server_in_tmp):
    rc, out, err = run_client("--fast", "--timeout", 300, server_in_tmp.port)
    assert (rc, out) == (1, b"")
    assert "no fast commands" in err


def test_send_delivers_every_text_and_wait_prints_what_arrives(server):
    peer = Peer(server.port)
    server.wait_console("New client connected")
    rc, out, _ = run_client(server.port, "--send", "first", "sec ond")
    assert (rc, out) == (0, b"")
    assert [peer.recv_frame(), peer.recv_frame()] == [b"first", b"sec ond"]
    rc, out, _ = run_client(server.port, "--wait", 500, "--send", "third", "--", "--raw")
    assert rc == 0
    # The history, then the echoes of its own two messages.
    assert out == b"first\nsec ond\nthird\n--raw\n"
    assert [peer.recv_frame(), peer.recv_frame()] == [b"third", b"--raw"]
    peer.close()


def test_stats_prints_the_main_figures_of_the_metrics_port():
    mport = free_port()
    server = Server(SERVER, args=("{port}", "--metrics", str(mport)))
    try:
        assert run_client("--ping", 2, "--interval", 0, server.port)[0] == 0
        server.wait_console("Disconnected")
        rc, out, err = run_client("--stats", mport)
        assert (rc, err) == (0, ""), err
        lines = out.decode().splitlines()
        assert lines[0] == "clients:  0 now (tcp 0), 1 accepted, 1 gone (peer_closed 1)"
        assert lines[1] == "messages: 0 relayed, 2 pings, 0 fast commands; 18 B in, 18 B out"
        assert lines[2].startswith("memory:   0 B of 512.0 MiB budget (0.0 %); 0 B queued")
        assert re.match(r"passes:   \d+, mean \d+\.\d ms \(work \d+\.\d\d ms\), \d+ over 25 ms$",
                        lines[3]), lines[3]
        assert lines[4].startswith("process:  ")
        # The relay port serves no HTTP: refused in words, not garbage.
        rc, out, err = run_client("--stats", "--timeout", 500, server.port)
        assert rc == 1 and out == b"" and "tovrel-client: " in err
    finally:
        server.stop()
