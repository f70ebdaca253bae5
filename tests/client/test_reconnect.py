"""--listen --reconnect against a server with a resume window: every message
printed once across lost connections, and what was missed on stderr."""

import os
import signal
import time

from conftest import (SERVER, TIMEOUT, Peer, Server, posix_client, read_lines, run_client,
                      start_client)

RESUMING = ("{port}", "--resume-window", "100")
LONGEST = 131072  # the longest message a client may send
ANSWER_S = 5  # how long the client's "@PING" may go unanswered


def finish(client):
    """Stops the client; returns its standard error."""
    client.kill()
    _, err = client.communicate(timeout=TIMEOUT)
    return err.decode("utf-8", "replace")


def test_reconnect_across_a_server_kill_prints_every_message_once():
    server = Server(SERVER, args=RESUMING)
    port = server.port
    client = None
    try:
        run_client(port, "--send", "one", "two")
        client = start_client("--listen", "--reconnect", port)
        # The replay, not the history that came first as well.
        assert read_lines(client, 2) == [b"one\n", b"two\n"]
        # Tagged, the longest message is longer than any frame a client sends.
        longest = b"x" * LONGEST
        peer = Peer(port)
        peer.send(longest)
        assert read_lines(client, 1) == [longest + b"\n"]

        server.kill()
        server = Server(SERVER, args=RESUMING, port=port)
        for text in ("three", "four"):
            run_client(port, "--send", text)
        assert read_lines(client, 2) == [b"three\n", b"four\n"]
    finally:
        err = finish(client) if client else ""
        server.stop()
    assert "tovrel-client: some messages may have been missed" in err
    assert "reconnecting in" in err


@posix_client
def test_reconnect_when_pings_go_unanswered_and_resume_what_came_meanwhile():
    server = Server(SERVER, args=RESUMING)
    port = server.port
    client = start_client("--listen", "--reconnect", "--keepalive", 200, port)
    try:
        run_client(port, "--send", "one")
        assert read_lines(client, 1) == [b"one\n"]
        # A frozen server holds its connections open and answers nothing.
        os.kill(server.pid, signal.SIGSTOP)
        try:
            peer = Peer(port)  # taken by the kernel's backlog meanwhile
            peer.send(b"two")
            time.sleep(ANSWER_S + 1.5)
        finally:
            os.kill(server.pid, signal.SIGCONT)
        peer.send(b"three")
        assert read_lines(client, 2) == [b"two\n", b"three\n"]
    finally:
        err = finish(client)
        server.stop()
    assert f'did not answer "@PING" within {ANSWER_S * 1000} ms' in err
    assert "missed" not in err
