"""The "@FASTCOMMANDS" request and the per-port file beside the program (issue 3).

Each test runs a copy of the program in a directory of its own, so the
fast-command file (fastcmd<port>.txt) is written beside that copy."""

import pytest

from conftest import DISCONNECTED, NEW_CLIENT

HEAD = b"@FASTCOMMANDS\n"


@pytest.fixture
def fast(server_factory, program_copy):
    """(server, path of its fast-command file)."""
    command, directory = program_copy
    server = server_factory(command=command)
    return server, directory / f"fastcmd{server.port}.txt"


def request(client):
    client.send_frame(b"@FASTCOMMANDS")


def test_crlf_file_sent_unchanged(fast):
    server, path = fast
    content = b"ab\r\ncdef\r\n"
    assert len(content) == 10
    path.write_bytes(content)
    client = server.connect()
    request(client)
    assert client.recv_exact(4) == b"\x18\x00\x00\x00"  # 24
    assert client.recv_exact(24) == HEAD + content
    client.ping_barrier()


def test_reply_to_requester_only_and_silent(fast):
    server, path = fast
    path.write_bytes(b"cmd1\ncmd2\n")
    a, b, c = server.connect(), server.connect(), server.connect()
    lines_before = server.lines()
    request(a)
    a.expect_frame(HEAD + b"cmd1\ncmd2\n")
    b.ping_barrier()
    c.ping_barrier()
    b.expect_nothing()
    # Only the two pings were printed: the request prints nothing.
    assert server.lines() == lines_before + ["@PING", "@PING"]


def test_empty_file_gives_nothing(fast):
    server, path = fast
    path.write_bytes(b"")
    client = server.connect()
    request(client)
    client.ping_barrier()
    assert server.lines()[-1] == "@PING"


def test_missing_file_gives_nothing(fast):
    server, path = fast
    assert not path.exists()
    client = server.connect()
    request(client)
    client.ping_barrier()
    client.expect_nothing()


def test_file_of_another_port_is_not_used(fast):
    server, path = fast
    other = path.with_name(f"fastcmd{server.port + 1 if server.port < 65535 else 1}.txt")
    other.write_bytes(b"wrong port")
    client = server.connect()
    request(client)
    client.ping_barrier()


def test_nul_at_offset_5_cuts_the_reply(fast):
    server, path = fast
    path.write_bytes(b"abcde\x00fghij")
    client = server.connect()
    request(client)
    assert client.recv_exact(4) == (14 + 5).to_bytes(4, "little")
    assert client.recv_exact(19) == HEAD + b"abcde"
    client.ping_barrier()


def test_file_starting_with_nul_gives_head_only(fast):
    server, path = fast
    path.write_bytes(b"\x00rest")
    client = server.connect()
    request(client)
    client.expect_frame(HEAD)
    client.ping_barrier()


def test_long_file_cut_at_19983_bytes(fast):
    server, path = fast
    content = bytes(ord("a") + i % 26 for i in range(30000))
    path.write_bytes(content)
    client = server.connect()
    request(client)
    assert client.recv_exact(4) == (19997).to_bytes(4, "little")
    assert client.recv_exact(19997) == HEAD + content[:19983]
    client.ping_barrier()


def test_file_of_exactly_19983_bytes(fast):
    server, path = fast
    content = b"z" * 19983
    path.write_bytes(content)
    client = server.connect()
    request(client)
    client.expect_frame(HEAD + content)


def test_edit_between_requests(fast):
    server, path = fast
    path.write_bytes(b"first version")
    client = server.connect()
    request(client)
    client.expect_frame(HEAD + b"first version")
    path.write_bytes(b"second, longer version\r\n")
    request(client)
    client.expect_frame(HEAD + b"second, longer version\r\n")
    path.unlink()
    request(client)
    client.ping_barrier()


def test_request_with_embedded_nul_counts(fast):
    server, path = fast
    path.write_bytes(b"list")
    a, b = server.connect(), server.connect()
    a.send_frame(b"@FASTCOMMANDS\x00trailing")
    a.expect_frame(HEAD + b"list")
    b.ping_barrier()


@pytest.mark.parametrize("text", [b"@FASTCOMMANDS\n", b"@fastcommands", b"@FASTCOMMAND", b"@FASTCOMMANDS "])
def test_lookalikes_are_relayed(fast, text):
    server, path = fast
    path.write_bytes(b"list")
    a, b = server.connect(), server.connect()
    a.send_frame(text)
    a.expect_frame(text)
    b.expect_frame(text)
    a.ping_barrier()
    b.ping_barrier()


def test_request_not_kept_in_history(fast):
    server, path = fast
    path.write_bytes(b"list")
    a = server.connect()
    for text in (b"X1", b"X2", b"X3"):
        a.send_frame(text)
        a.expect_frame(text)
    request(a)
    a.expect_frame(HEAD + b"list")
    newcomer = server.connect()
    newcomer.expect_frame(b"X1")  # still there: the request did not push it out
    newcomer.expect_frame(b"X2")
    newcomer.expect_frame(b"X3")
    newcomer.ping_barrier()


def test_reply_queued_behind_earlier_output(fast):
    server, path = fast
    path.write_bytes(b"list")
    a = server.connect()
    a.send_frame(b"before")
    a.expect_frame(b"before")
    newcomer = server.connect()  # "before" is queued for it from the history
    request(newcomer)
    newcomer.expect_frame(b"before")
    newcomer.expect_frame(HEAD + b"list")
    assert server.lines()[-2:] == [NEW_CLIENT, NEW_CLIENT]
    assert DISCONNECTED not in server.lines()
