"""--resume-window: "@RESUME [POSITION]", the replay, "@RESUMED", tagged delivery."""

import pytest

from conftest import DISCONNECTED, run_once

RESUMED = b"@RESUMED "
HISTORY = 3  # what a newcomer gets


def tagged(payload):
    """(position, text) of a tagged message."""
    position, text = payload.split(b" ", 1)
    return position, text


def order(position):
    major, minor = position.split(b"-")
    return int(major), int(minor)


def resume(client, position=None):
    """Sends "@RESUME [POSITION]" and reads up to its answer, as a client
    does: the REPLAYED frames just before "@RESUMED" that do not begin with
    "@" are the replay; earlier ones came before the resume and are dropped.
    Returns (replay as (position, text) pairs, NEWEST, REPLAYED, MISSED)."""
    client.send_frame(b"@RESUME" + (b" " + position if position is not None else b""))
    texts = []
    while True:
        payload = client.recv_frame()
        if payload.startswith(RESUMED):
            break
        if not payload.startswith(b"@"):
            texts.append(payload)
    newest, replayed, missed = payload[len(RESUMED):].split(b" ")
    count = int(replayed)
    assert count <= len(texts)
    return [tagged(t) for t in texts[len(texts) - count:]], newest, count, missed


def relay(sender, texts):
    """Sends `texts` and waits until each has come back to the sender."""
    for text in texts:
        sender.send_frame(text)
    for text in texts:
        sender.expect_frame(text)


def test_resume_after_a_disconnect_gets_what_was_missed_once_then_live(server_factory):
    server = server_factory(args=["--resume-window", "100", "{port}"])
    sender = server.connect()
    a = server.connect()
    assert resume(a) == ([], b"-", 0, b"0")
    relay(sender, [b"seen 1", b"seen 2"])
    seen = [tagged(a.recv_frame()) for _ in range(2)]
    assert [text for _, text in seen] == [b"seen 1", b"seen 2"]
    a.close()
    server.wait_count(DISCONNECTED, 1)
    missed = [b"missed %d" % i for i in range(5)]
    relay(sender, missed)

    b = server.connect()
    replay, newest, count, lost = resume(b, seen[-1][0])
    assert [text for _, text in replay] == missed
    assert (count, lost, newest) == (len(missed), b"0", replay[-1][0])
    positions = [seen[-1][0]] + [position for position, _ in replay]
    assert sorted(positions, key=order) == positions and len(set(positions)) == len(positions)
    b.expect_nothing()  # nothing twice
    relay(sender, [b"live"])
    position, text = tagged(b.recv_frame())
    assert text == b"live" and order(position) > order(newest)
    b.expect_nothing()


def test_a_lone_servers_positions_are_unknown_after_its_restart(server_factory):
    args = ["--resume-window", "100", "{port}"]
    server = server_factory(args=args)
    a = server.connect()
    resume(a)
    relay(server.connect(), [b"before"])
    old, _ = tagged(a.recv_frame())
    assert server.stop() == 0

    server = server_factory(args=args)
    after = [b"after %d" % i for i in range(HISTORY + 2)]
    relay(server.connect(), after)
    replay, newest, count, lost = resume(server.connect(), old)
    assert lost == b"?"
    assert [text for _, text in replay] == after[-HISTORY:] and count == HISTORY
    assert newest == replay[-1][0]


@pytest.mark.parametrize("options, size, sent", [
    (["--resume-window", "3"], 10, 12),                          # the window is full
    (["--resume-window", "1000", "--max-memory", "1M"], 100000, 20),  # the budget is
], ids=["window", "memory"])
def test_messages_pushed_out_are_counted_as_missed(server_factory, options, size, sent):
    server = server_factory(args=options + ["{port}"])
    sender = server.connect()
    a = server.connect()
    resume(a)
    relay(sender, [b"first"])
    start, _ = tagged(a.recv_frame())
    a.close()
    server.wait_count(DISCONNECTED, 1)
    texts = [(b"%d " % i) + b"x" * size for i in range(sent)]
    for text in texts:  # one at a time, so no client holds much
        relay(sender, [text])

    replay, newest, count, lost = resume(server.connect(), start)
    assert lost != b"?" and int(lost) > 0
    assert count + int(lost) == sent
    assert [text for _, text in replay] == texts[sent - count:]
    assert newest == replay[-1][0] if replay else True
    assert "Memory budget exceeded" not in server.stdout


@pytest.mark.parametrize("position", [
    b"", b"abc", b"12-", b"-5", b"1-2-3", b"1 -2", b"18446744073709551616-1",
    b"1" * 10240, b"1-1", b"99999999999999-1",
], ids=["empty", "letters", "no-minor", "no-major", "three-parts", "space", "too-large",
        "10KB", "another-major", "newer"])
def test_bad_positions_are_answered_with_unknown(server_factory, position):
    server = server_factory(args=["--resume-window", "100", "{port}"])
    sender = server.connect()
    texts = [b"m%d" % i for i in range(HISTORY + 1)]
    relay(sender, texts)
    client = server.connect()
    replay, newest, count, lost = resume(client, position)
    assert (count, lost) == (HISTORY, b"?")
    assert [text for _, text in replay] == texts[-HISTORY:] and newest == replay[-1][0]
    # Harmless to anyone else: the sender gets nothing from it.
    sender.ping_barrier()


def test_without_the_option_resume_is_an_ordinary_message(server):
    a, b = server.connect(), server.connect()
    a.send_frame(b"@RESUME 1-1")
    a.expect_frame(b"@RESUME 1-1")
    b.expect_frame(b"@RESUME 1-1")


@pytest.mark.parametrize("value", ["0", "100001", "x", ""])
def test_a_window_out_of_range_is_refused(value):
    rc, out, err = run_once(["5000", "--resume-window", value])
    assert (rc, out) == (1, "")
    assert err == "tovrel: --resume-window: expected a number from 1 to 100000\nTry 'tovrel --help'.\n"
