"""Plain mode: standard input lines out, received frames printed as lines."""

import signal

from conftest import (Peer, ScriptedServer, frame, posix_client, read_lines, run_client,
                      start_client)


def test_each_line_goes_out_as_one_frame_and_comes_back_as_one_line(server):
    peer = Peer(server.port)
    server.wait_console("New client connected")
    rc, out, err = run_client(server.port, stdin=b"hello\r\nsecond line\nno line end")
    assert (rc, err) == (0, "")
    # The echo of every line is printed before the client leaves.
    assert out == b"hello\nsecond line\nno line end\n"
    assert [peer.recv_frame() for _ in range(3)] == [b"hello", b"second line", b"no line end"]
    peer.close()


def test_control_bytes_and_invalid_utf8_are_escaped_unless_raw(server):
    line = b"a\x01b\tc\\d \xff \xc3\xa9 \x1b[31m \xc2\x85 x\ry"
    rc, out, _ = run_client(server.port, stdin=line + b"\n")
    assert rc == 0
    assert out == b"a\\x01b\\tc\\\\d \\xff \xc3\xa9 \\x1b[31m \\xc2\\x85 x\\ry\n"
    rc, out, _ = run_client("--raw", server.port, stdin=line + b"\n")
    assert rc == 0
    # The history brings the first copy back, then the echo of the second.
    assert out == line + b"\n" + line + b"\n"


def test_nul_is_escaped_and_raw_prints_it_as_is():
    # The real server never sends a NUL, so a stand-in sends one.
    scripted = ScriptedServer(frame(b"a\x00b") + frame(b"\\x00"))
    rc, out, _ = run_client("--listen", scripted.port)
    scripted.close()
    assert (rc, out) == (0, b"a\\x00b\n\\\\x00\n")
    scripted = ScriptedServer(frame(b"a\x00b"))
    rc, out, _ = run_client("--listen", "--raw", scripted.port)
    scripted.close()
    assert (rc, out) == (0, b"a\x00b\n")


def test_a_line_of_131072_bytes_round_trips_and_a_longer_one_is_refused(server):
    longest = bytes(range(ord("a"), ord("z") + 1)) * 5041 + b"abcdef"
    assert len(longest) == 131072
    too_long = b"y" * 131073
    rc, out, err = run_client(server.port, stdin=longest + b"\n" + too_long + b"\nafter\n")
    assert rc == 0
    assert out == longest + b"\n" + b"after\n"
    assert "131073 bytes was not sent" in err
    # The server kept the connection: it never saw the oversized frame.
    assert "Invalid msg size" not in server.lines


@posix_client
def test_listen_prints_the_history_first_then_new_messages(server):
    rc, _, _ = run_client(server.port, "--send", "A", "B", "C", "D")
    assert rc == 0
    listener = start_client("--listen", server.port)
    try:
        assert read_lines(listener, 3) == [b"B\n", b"C\n", b"D\n"]
        peer = Peer(server.port)
        peer.send(b"E")
        assert read_lines(listener, 1) == [b"E\n"]
        listener.send_signal(signal.SIGINT)
        assert listener.wait(10) == 0
        peer.close()
    finally:
        listener.kill()
        listener.wait()


@posix_client
def test_keepalive_pings_are_sent_and_their_replies_hidden(server):
    listener = start_client("--listen", "--keepalive", "100", server.port)
    try:
        server.wait_console("@PING", count=3)
        run_client(server.port, "--send", "visible")
        assert read_lines(listener, 1) == [b"visible\n"]
        listener.send_signal(signal.SIGINT)
        out, _ = listener.communicate(timeout=10)
        assert listener.returncode == 0
        assert b"@PING" not in out
    finally:
        listener.kill()
        listener.wait()


def test_client_exits_0_when_the_server_closes(server):
    listener = start_client("--listen", server.port)
    try:
        server.wait_console("New client connected")
        server.stop()
        assert listener.wait(10) == 0
    finally:
        listener.kill()
        listener.wait()
