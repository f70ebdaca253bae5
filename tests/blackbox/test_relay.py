"""The wire protocol: relay, "@PING", history, frame sizes, closes and resets."""

import socket
import struct
import time

import pytest

from conftest import DISCONNECTED, NEW_CLIENT, expect_silence, frame


# The default pace and --low-latency relay and answer alike.
PACES = pytest.mark.parametrize("args", [["{port}"], ["--low-latency", "{port}"]],
                                ids=["default", "low-latency"])


@PACES
def test_relay_to_all_including_sender(server_factory, args):
    server = server_factory(args=args)
    a, b, c = server.connect(), server.connect(), server.connect()
    a.send_frame(b"hello")
    for client in (a, b, c):
        assert client.recv_exact(9) == b"\x05\x00\x00\x00hello"
    expect_silence(a, b, c)
    # Nothing is printed for a relayed message.
    assert server.lines()[2:] == [NEW_CLIENT] * 3


def test_relay_keeps_bytes_unchanged(server):
    a, b = server.connect(), server.connect()
    payload = bytes(range(1, 256)) + b"\r\n\xff\x80 end"
    a.send_frame(payload)
    a.expect_frame(payload)
    b.expect_frame(payload)


def test_relay_from_each_client_in_order(server):
    a, b = server.connect(), server.connect()
    a.send_frame(b"one")
    b.send_frame(b"two")
    a.send_frame(b"three")
    for client in (a, b):
        got = [client.recv_frame() for _ in range(3)]
        # "one" comes before "three"; "two" may be handled before or after "one".
        assert sorted(got) == [b"one", b"three", b"two"]
        assert got.index(b"one") < got.index(b"three")
        client.expect_nothing(0.1)


@PACES
def test_ping_answered_to_sender_only(server_factory, args):
    server = server_factory(args=args)
    a, b = server.connect(), server.connect()
    a.send_frame(b"@PING")
    assert a.recv_exact(9) == b"\x05\x00\x00\x00@PING"
    server.wait_line("@PING")
    expect_silence(a, b)
    assert server.count("@PING") == 1


def test_ping_with_embedded_nul_is_a_ping(server):
    a, b = server.connect(), server.connect()
    a.send_frame(b"@PING\x00more")
    a.expect_frame(b"@PING")
    server.wait_line("@PING")
    b.expect_nothing()


def test_ping_variants_are_relayed(server):
    a, b = server.connect(), server.connect()
    for text in (b"@ping", b"@PING ", b" @PING", b"@PING\n", b"@PIN"):
        a.send_frame(text)
        a.expect_frame(text)
        b.expect_frame(text)
    assert "@PING" not in server.lines()


def test_ping_not_kept_in_history(server):
    a = server.connect()
    a.send_frame(b"kept")
    a.expect_frame(b"kept")
    a.ping_barrier()
    newcomer = server.connect()
    newcomer.expect_frame(b"kept")
    newcomer.ping_barrier()


def test_embedded_nul_relayed_up_to_the_nul(server):
    a, b = server.connect(), server.connect()
    a.send_frame(b"ab\x00cd")
    assert a.recv_exact(6) == b"\x02\x00\x00\x00ab"
    assert b.recv_exact(6) == b"\x02\x00\x00\x00ab"
    a.ping_barrier()
    b.ping_barrier()


def test_history_of_three(server):
    a = server.connect()
    for text in (b"A", b"B", b"C", b"D"):
        a.send_frame(text)
        a.expect_frame(text)
    newcomer = server.connect()
    newcomer.expect_frame(b"B")
    newcomer.expect_frame(b"C")
    newcomer.expect_frame(b"D")
    newcomer.ping_barrier()


def test_history_replayed_before_live_messages(server):
    a = server.connect()
    a.send_frame(b"old")
    a.expect_frame(b"old")
    newcomer = server.connect()
    a.send_frame(b"new")
    newcomer.expect_frame(b"old")
    newcomer.expect_frame(b"new")


def test_history_with_fewer_than_three(server):
    a = server.connect()
    a.ping_barrier()
    first = server.connect()
    first.ping_barrier()  # empty history: nothing before the reply
    a.send_frame(b"only")
    a.expect_frame(b"only")
    first.expect_frame(b"only")
    second = server.connect()
    second.expect_frame(b"only")
    second.ping_barrier()


def test_history_survives_sender_leaving(server):
    a = server.connect()
    a.send_frame(b"x1")
    a.expect_frame(b"x1")
    a.close()
    server.wait_line(DISCONNECTED)
    newcomer = server.connect()
    newcomer.expect_frame(b"x1")


def test_zero_length_frame_relays_nothing_but_enters_history(server):
    a, b = server.connect(), server.connect()
    for text in (b"A", b"B", b"C"):
        a.send_frame(text)
        a.expect_frame(text)
        b.expect_frame(text)
    a.send_raw(struct.pack("<i", 0))
    a.ping_barrier()
    b.ping_barrier()
    # The empty entry pushed "A" out; it replays as nothing.
    newcomer = server.connect()
    newcomer.expect_frame(b"B")
    newcomer.expect_frame(b"C")
    newcomer.ping_barrier()


def test_largest_frame_relayed_whole(server):
    a, b = server.connect(), server.connect()
    payload = bytes((i * 7 + 1) % 255 + 1 for i in range(131072))  # no NUL
    a.send_frame(payload)
    assert a.recv_exact(4 + 131072) == frame(payload)
    assert b.recv_exact(4 + 131072) == frame(payload)
    a.ping_barrier()
    assert server.count(DISCONNECTED) == 0


def test_oversized_frame_disconnects(server):
    a, b = server.connect(), server.connect()
    a.send_raw(struct.pack("<i", 131073) + b"x" * 100)
    server.wait_line("Invalid msg size")
    server.wait_line(DISCONNECTED)
    lines = server.lines()
    assert lines[-2:] == ["Invalid msg size", DISCONNECTED]
    assert a.wait_closed() == b""
    b.ping_barrier()
    assert server.count(DISCONNECTED) == 1


def test_oversized_length_alone_disconnects(server):
    """The length is judged as soon as its 4 bytes are in, before any payload."""
    a = server.connect()
    a.send_raw(struct.pack("<i", 131073))
    server.wait_line("Invalid msg size")
    assert a.wait_closed() == b""


def test_negative_lengths_disconnect(server):
    for length in (-1, -131072, -2 ** 31):
        client = server.connect()
        before = server.count("Invalid msg size")
        client.send_raw(struct.pack("<i", length))
        server.wait_count("Invalid msg size", before + 1)
        assert client.wait_closed() == b""
    server.wait_count(DISCONNECTED, 3)  # printed just after the socket is closed
    lines = server.lines()
    assert lines.count(DISCONNECTED) == 3
    for i, line in enumerate(lines):
        if line == "Invalid msg size":
            assert lines[i + 1] == DISCONNECTED


def test_bad_length_after_good_frames(server):
    """Frames before a bad length in the same send are still handled."""
    a, b = server.connect(), server.connect()
    a.send_raw(frame(b"first") + frame(b"second") + struct.pack("<i", 200000))
    b.expect_frame(b"first")
    b.expect_frame(b"second")
    server.wait_line("Invalid msg size")
    a.wait_closed()  # whatever was queued for it may be discarded


def test_frame_split_over_many_sends(server):
    a, b = server.connect(), server.connect()
    data = frame(b"split message")
    for i in range(len(data)):
        a.send_raw(data[i:i + 1])
        time.sleep(0.005)
    b.expect_frame(b"split message")
    a.expect_frame(b"split message")


def test_frame_split_across_passes(server):
    a, b = server.connect(), server.connect()
    data = frame(b"x" * 1000)
    a.send_raw(data[:2])
    time.sleep(0.1)
    a.send_raw(data[2:500])
    time.sleep(0.1)
    b.expect_nothing(0.1)
    a.send_raw(data[500:])
    b.expect_frame(b"x" * 1000)


def test_several_frames_in_one_send(server):
    a, b = server.connect(), server.connect()
    a.send_raw(frame(b"m1") + frame(b"@PING") + frame(b"m2") + frame(b"m3"))
    b.expect_frame(b"m1")
    b.expect_frame(b"m2")
    b.expect_frame(b"m3")
    a.expect_frame(b"m1")
    a.expect_frame(b"@PING")
    a.expect_frame(b"m2")
    a.expect_frame(b"m3")


def test_peer_close(server):
    a, b = server.connect(), server.connect()
    a.close()
    server.wait_line(DISCONNECTED)
    assert server.lines()[-1] == DISCONNECTED
    assert "TIMEOUT" not in server.lines()
    b.send_frame(b"still here")
    b.expect_frame(b"still here")
    server.assert_count_stays(DISCONNECTED, 1)


def test_bytes_sent_before_close_are_handled(server):
    a, b = server.connect(), server.connect()
    a.send_frame(b"last words")
    a.close()
    b.expect_frame(b"last words")
    server.wait_line(DISCONNECTED)


def test_reset_peer_is_removed(server):
    a, b = server.connect(), server.connect()
    a.reset()
    server.wait_line(DISCONNECTED)
    b.send_frame(b"after reset")
    b.expect_frame(b"after reset")
    server.assert_count_stays(DISCONNECTED, 1)


def test_reset_peer_with_queued_output_is_removed(server):
    """Issue 2, fault 1: a dead connection with output waiting is dropped."""
    reader = server.connect()
    dead = server.connect(rcvbuf=4096)
    payload = b"q" * 131072
    for _ in range(8):
        reader.send_frame(payload)
        reader.expect_frame(payload)
    dead.reset()
    server.wait_line(DISCONNECTED)
    reader.send_frame(b"alive")
    reader.expect_frame(b"alive")
    server.assert_count_stays(DISCONNECTED, 1)


def test_many_clients_at_once(server):
    """20 clients connecting together (the backlog is 5) are all accepted,
    one per pass, each announced. Each sends "@PING" at once (see
    connect_many about SYN cookies)."""
    clients = server.connect_many(20, first_frame=b"@PING")
    assert server.count(NEW_CLIENT) == 20
    for client in clients:
        client.expect_frame(b"@PING")
    server.wait_count("@PING", 20)
    clients[0].send_frame(b"to everyone")
    for client in clients:
        client.expect_frame(b"to everyone")
    expect_silence(*clients, window=0.1)


def test_half_close_is_a_close(server):
    """A client that shuts down its sending side is removed like a close."""
    a, b = server.connect(), server.connect()
    a.sock.shutdown(socket.SHUT_WR)
    server.wait_line(DISCONNECTED)
    assert a.wait_closed() == b""
    b.ping_barrier()
