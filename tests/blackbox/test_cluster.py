"""Several instances serving one room through a real Redis (Debian's
redis-server on a free loopback port, no persistence, started and stopped
by the fixture): one order for everyone, the room's history, and what Redis
pausing, dying, trimming or refusing does to the clients."""

import itertools
import os
import signal
import time

import pytest

from conftest import IS_WINE, expect_silence, frame, free_port, http_get, metric, scrape, server_env
from tovrel_test_support import REDIS_SERVER, RedisSentinel, RedisServer

pytestmark = pytest.mark.skipif(IS_WINE or not os.path.exists(REDIS_SERVER),
                                reason="needs redis-server and a build with Redis support")

_rooms = itertools.count()
# Backoff tops out at 5 s, so a restarted Redis is found within about that.
RECONNECT_TIMEOUT = 15.0
# A writer's tag, as an instance marks its entries ("o" field: TAG:NUMBER).
WRITER = "00000000feedbeef"


@pytest.fixture
def redis():
    server = RedisServer().start()
    yield server
    server.stop()


def new_room():
    return f"test-{os.getpid()}-{next(_rooms)}"


def join(server_factory, redis, room, env=None, connected=True, host="127.0.0.1", timeout=None,
         extra=()):
    server = server_factory(
        args=["{port}", "--redis", f"{host}:{redis.port}", "--room", room, *extra], env=env)
    if connected:
        server.wait_line("Redis connected", timeout=timeout)
    return server


def texts(client, count, timeout=10.0):
    return [client.recv_frame(timeout).decode() for _ in range(count)]


def assert_one_order(orders, expected):
    """Every client got every expected message once, all in the same order."""
    assert sorted(orders[0]) == sorted(expected)
    for order in orders[1:]:
        assert order == orders[0]


def assert_nobody_dropped(servers):
    for s in servers:
        assert "Disconnected" not in s.lines(), s.stdout


def test_every_client_gets_every_message_once_in_one_order(redis, server_factory):
    room = new_room()
    servers = [join(server_factory, redis, room) for _ in range(3)]
    clients = [s.connect() for s in servers for _ in range(2)]
    clients[0].ping_barrier()  # answered by its own instance, relayed to nobody
    sent = []
    for k in range(30):
        for i, c in enumerate(clients):
            c.send_frame(f"c{i}-{k}")
            sent.append(f"c{i}-{k}")
    orders = [texts(c, len(sent)) for c in clients]
    assert_one_order(orders, sent)
    for i in range(len(clients)):
        mine = [t for t in orders[0] if t.startswith(f"c{i}-")]
        assert mine == [f"c{i}-{k}" for k in range(30)]
    expect_silence(*clients)
    # Written to Redis once, not once per client or instance.
    assert redis.call("XLEN", f"tovrel:{room}") == len(sent)


def test_newcomers_on_every_instance_get_the_rooms_last_three(redis, server_factory):
    room = new_room()
    servers = [join(server_factory, redis, room) for _ in range(3)]
    watchers = [s.connect() for s in servers]
    for k in range(7):
        watchers[k % 3].send_frame(f"h{k}")
    orders = [texts(w, 7) for w in watchers]
    assert_one_order(orders, [f"h{k}" for k in range(7)])
    late = join(server_factory, redis, room)  # loads the last three at start
    for s in servers + [late]:
        newcomer = s.connect()
        assert texts(newcomer, 3) == orders[0][-3:]
        newcomer.ping_barrier()


# More than an instance's first look at the stream reads without a window.
WINDOW = 50


def resume(client, position=None):
    """Sends "@RESUME [POSITION]"; returns the replay as (position, text)
    pairs, and the "@RESUMED" frame's NEWEST and MISSED."""
    client.send_frame("@RESUME" if position is None else f"@RESUME {position}")
    frames = []
    while not frames or not frames[-1].startswith("@RESUMED "):
        frames.append(client.recv_frame().decode())
    _, newest, replayed, missed = frames.pop().split(" ")
    replay = frames[len(frames) - int(replayed):] if int(replayed) > 0 else []
    return [tuple(f.split(" ", 1)) for f in replay], newest, missed


def test_a_client_resumes_on_any_instance_at_the_rooms_positions(redis, server_factory):
    room = new_room()
    key = f"tovrel:{room}"
    window = ["--resume-window", str(WINDOW)]
    servers = [join(server_factory, redis, room, extra=window) for _ in range(2)]
    watchers = [s.connect() for s in servers]
    for w in watchers:
        replay, newest, _ = resume(w)
        assert (replay, newest) == ([], "-")
    # Every instance tags a message with its entry's id in the stream.
    watchers[0].send_frame("hello")
    tagged = [tuple(w.recv_frame().decode().split(" ", 1)) for w in watchers]
    (first_id, _), = redis.call("XRANGE", key, "-", "+")
    assert tagged == [(first_id.decode(), "hello")] * 2

    leaver = servers[1].connect()
    assert resume(leaver)[0] == [tagged[0]]
    leaver.close()
    missed = [f"while away {k}" for k in range(WINDOW - 1)]
    for text in missed:
        watchers[0].send_frame(text)
    got = [tuple(w.recv_frame().decode().split(" ", 1)) for w in watchers for _ in missed]
    ids = [entry_id.decode() for entry_id, _ in redis.call("XRANGE", key, "-", "+")][1:]
    assert got == list(zip(ids, missed)) * 2

    # Back on the other instance, and on one started after it left: exactly
    # what it missed, once, at the same positions.
    late = join(server_factory, redis, room, connected=False, extra=window)
    for server in (servers[0], late):
        back = server.connect()
        assert resume(back, tagged[0][0]) == (list(zip(ids, missed)), ids[-1], "0")
        back.ping_barrier()
    expect_silence(*watchers)


def test_a_newcomer_before_the_history_is_known_gets_it_first(redis, server_factory):
    room = new_room()
    first = join(server_factory, redis, room)
    watcher = first.connect()
    for k in range(5):
        watcher.send_frame(f"m{k}")
    assert texts(watcher, 5) == [f"m{k}" for k in range(5)]
    # A new instance whose first look at the stream goes unanswered for now:
    # its client comes before the room's history is known there.
    redis.pause()
    try:
        late = join(server_factory, redis, room, connected=False)
        newcomer = late.connect()
        newcomer.ping_barrier()  # served meanwhile
        newcomer.send_frame("mine")  # held meanwhile
        newcomer.ping_barrier()
    finally:
        redis.resume()
    late.wait_line("Redis connected", timeout=RECONNECT_TIMEOUT)
    assert texts(newcomer, 4) == ["m2", "m3", "m4", "mine"]
    watcher.expect_frame("mine")
    later = late.connect()  # once known, at once as before
    assert texts(later, 3) == ["m3", "m4", "mine"]
    later.ping_barrier()


def test_a_host_name_is_looked_up(redis, server_factory):
    room = new_room()
    server = join(server_factory, redis, room, host="localhost")  # from /etc/hosts
    client = server.connect()
    client.send_frame("by name")
    client.expect_frame("by name")
    assert redis.call("XLEN", f"tovrel:{room}") == 1


def test_redis_unreachable_at_start_serves_and_holds(server_factory):
    redis = RedisServer()  # its port chosen, nothing listening yet
    try:
        server = join(server_factory, redis, new_room(), connected=False)
        server.wait_line("Redis unreachable, retrying")
        client = server.connect()
        client.ping_barrier()
        client.send_frame("early")
        redis.start()
        server.wait_line("Redis connected", timeout=RECONNECT_TIMEOUT)
        client.expect_frame("early")
        assert server.count("Redis unreachable, retrying") == 1
        # Why, in hiredis's words, once for all the attempts it failed.
        assert server.count("Redis connection: Connection refused") == 1, server.stdout
    finally:
        redis.stop()


def test_redis_paused_holds_messages_and_drops_nobody(redis, server_factory):
    room = new_room()
    servers = [join(server_factory, redis, room) for _ in range(3)]
    clients = [s.connect() for s in servers]
    redis.pause()
    paused = time.monotonic()
    for s in servers:
        s.wait_line("Redis not answering", timeout=5)
    sent = []
    for k in range(5):
        for i, c in enumerate(clients):
            c.send_frame(f"p{i}-{k}")
            sent.append(f"p{i}-{k}")
    time.sleep(max(0.0, 5.0 - (time.monotonic() - paused)))
    redis.resume()
    for s in servers:
        s.wait_line("Redis answering")
    orders = [texts(c, len(sent)) for c in clients]
    assert_one_order(orders, sent)
    for c in clients:
        c.ping_barrier()
    assert_nobody_dropped(servers)
    for s in servers:
        assert "Redis lost, retrying" not in s.lines()


def test_redis_killed_and_restarted_empty(redis, server_factory):
    room = new_room()
    servers = [join(server_factory, redis, room) for _ in range(3)]
    clients = [s.connect() for s in servers]
    for i, c in enumerate(clients):
        c.send_frame(f"before{i}")
    assert_one_order([texts(c, 3) for c in clients], [f"before{i}" for i in range(3)])
    redis.kill()
    for s in servers:
        s.wait_line("Redis lost, retrying")
    sent = []
    for k in range(3):
        for i, c in enumerate(clients):
            c.send_frame(f"during{i}-{k}")
            sent.append(f"during{i}-{k}")
    time.sleep(1.0)
    redis.start()  # same port, nothing kept
    for s in servers:
        s.wait_count("Redis connected", 2, timeout=RECONNECT_TIMEOUT)
        s.wait_line("Room stream reset in Redis")
    orders = [texts(c, len(sent)) for c in clients]
    assert_one_order(orders, sent)
    # The history is the new stream's: the same everywhere.
    for s in servers:
        newcomer = s.connect()
        assert texts(newcomer, 3) == orders[0][-3:]
    for c in clients:
        c.ping_barrier()
    assert_nobody_dropped(servers)


def test_entries_trimmed_before_an_instance_read_them_are_counted(redis, server_factory):
    room = new_room()
    mport = free_port()
    server = join(server_factory, redis, room, extra=["--metrics", str(mport)])
    client = server.connect()
    client.send_frame("warm")
    client.expect_frame("warm")
    os.kill(server.proc.pid, signal.SIGSTOP)
    try:
        time.sleep(0.2)
        c = redis.connect()
        c.pipeline([("XADD", f"tovrel:{room}", "MAXLEN", "100", "*", "m", f"t{k}", "o",
                     f"{WRITER}:{k}") for k in range(300)])
        c.close()
        time.sleep(1.2)  # longer than a pass may take without a look at the stream
    finally:
        os.kill(server.proc.pid, signal.SIGCONT)
    server.wait_line("Missed 200 messages")
    assert texts(client, 100) == [f"t{k}" for k in range(200, 300)]
    client.ping_barrier()
    text = scrape(mport)
    assert metric(text, "tovrel_room_missed_messages_total") == 200
    assert metric(text, "tovrel_room_entries_read_total") == 101  # "warm" and the last 100


def test_health_fails_while_the_redis_link_is_down(redis, server_factory):
    mport = free_port()
    server = join(server_factory, redis, new_room(), extra=["--metrics", str(mport)])
    client = server.connect()
    client.send_frame("one")
    client.expect_frame("one")
    assert http_get(mport, "/healthz")[0::2] == (200, b"ok\n")
    assert metric(scrape(mport), "tovrel_room_link_up") == 1
    redis.kill()
    server.wait_line("Redis lost, retrying")
    assert metric(scrape(mport), "tovrel_room_link_up") == 0
    server.wait_for(lambda: http_get(mport, "/healthz")[0] == 503, timeout=15,
                    what="the health check to fail")
    status, _, body = http_get(mport, "/healthz")
    assert status == 503 and body.startswith(b"Redis link down for ") and body.count(b"\n") == 1
    client.ping_barrier()  # the clients are still served
    redis.start()
    server.wait_count("Redis connected", 2, timeout=RECONNECT_TIMEOUT)
    assert http_get(mport, "/healthz")[0::2] == (200, b"ok\n")
    text = scrape(mport)
    assert metric(text, "tovrel_room_link_up") == 1
    assert metric(text, "tovrel_room_reconnects_total") >= 1


def test_entries_that_are_no_message_are_skipped(redis, server_factory):
    room = new_room()
    key = f"tovrel:{room}"
    server = join(server_factory, redis, room)
    clients = [server.connect() for _ in range(2)]
    clients[0].send_frame("good1")
    for c in clients:
        c.expect_frame("good1")
    bad = [
        ("m", "x" * 131073, "o", f"{WRITER}:1"),  # longer than a frame
        ("m", "no origin"),
        ("m", "bad origin", "o", "nocolon"),
        ("text", "wrong field", "o", f"{WRITER}:2"),
        ("m", b"nul\0inside", "o", f"{WRITER}:3"),
        ("m", "x" * (33 << 20), "o", f"{WRITER}:4"),  # past the output bound
    ]
    c = redis.connect()
    c.pipeline([("XADD", key, "*") + fields for fields in bad])
    c.close()
    clients[1].send_frame("good2")
    for c in clients:
        # Nothing bad came before it; reading 33 MiB takes a while in a
        # sanitizer build.
        c.expect_frame("good2", timeout=30)
        c.ping_barrier()
    # One line, not one per entry, within the rate limit.
    skipped = [line for line in server.lines() if line.startswith("Skipped room entry ")]
    assert skipped == [skipped[0]] and "longer than a frame" in skipped[0], server.stdout
    # An instance that starts now takes the last three messages as history.
    late = join(server_factory, redis, room, timeout=30)  # its first look reads 33 MiB
    newcomer = late.connect()
    assert texts(newcomer, 2, timeout=30) == ["good1", "good2"]
    newcomer.ping_barrier()
    assert_nobody_dropped([server, late])
    assert redis.call("XLEN", key) == 2 + len(bad)


def test_a_forged_number_or_tag_leaves_the_writers_later_messages_alone(redis, server_factory):
    room = new_room()
    key = f"tovrel:{room}"
    servers = [join(server_factory, redis, room) for _ in range(2)]
    clients = [s.connect() for s in servers]
    clients[0].send_frame("one")
    for c in clients:
        c.expect_frame("one")
    (_, fields), = redis.call("XRANGE", key, "-", "+")
    tag = dict(zip(fields[0::2], fields[1::2]))[b"o"].decode().split(":")[0]
    c = redis.connect()
    forged, long_tag = c.pipeline([
        # The first instance's tag with the highest number there is: its own
        # count for the first instance, a leap past the entries between for
        # the second.
        ("XADD", key, "*", "m", "forged", "o", f"{tag}:18446744073709551615"),
        ("XADD", key, "*", "m", "long tag", "o", "a" * 100 + ":1"),
    ])
    c.close()
    clients[0].send_frame("two")
    clients[1].send_frame("three")
    orders = [texts(c, 2) for c in clients]
    assert_one_order(orders, ["two", "three"])
    for c in clients:
        c.ping_barrier()
    for s in servers:
        s.wait_line(f"Skipped room entry {forged.decode()}: number far ahead of its writer")
    assert_nobody_dropped(servers)


def memory_kib(pid, field):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise KeyError(field)


def test_a_large_backlog_is_read_in_bounded_replies(redis, server_factory):
    room = new_room()
    key = f"tovrel:{room}"
    server = join(server_factory, redis, room)
    pid = server.proc.pid
    client = server.connect()
    client.ping_barrier()

    def backlog(fields):
        # Written while the instance is stopped, so that one read finds it all.
        os.kill(pid, signal.SIGSTOP)
        try:
            c = redis.connect(timeout=60)
            ids = c.pipeline([("XADD", key, "*") + f for f in fields])
            c.close()
        finally:
            os.kill(pid, signal.SIGCONT)
        return ids

    # More than one reply may hold: every message still arrives, in order.
    sent = [f"o{k:04d}" + "x" * 16000 for k in range(600)]
    backlog([("m", t, "o", f"{WRITER}:{k}") for k, t in enumerate(sent)])
    for t in sent:
        client.expect_frame(t, timeout=30)
    client.ping_barrier()
    client.close()

    # Messages of a frame's full length, then one far longer: what the
    # instance holds meanwhile stays far below either.
    with open(f"/proc/{pid}/clear_refs", "w") as f:
        f.write("5")  # the peak starts again from here
    before = memory_kib(pid, "VmRSS")
    big = [f"b{k:04d}".ljust(131072, "y") for k in range(400)]
    ids = backlog([("m", t, "o", f"{WRITER}:{1000 + k}") for k, t in enumerate(big)] +
                  [("m", "z" * (100 << 20), "o", f"{WRITER}:2000")])
    server.wait_line(f"Skipped room entry {ids[-1].decode()}: text longer than a frame",
                     timeout=60)
    grown = memory_kib(pid, "VmHWM") - before
    newcomer = server.connect()
    assert texts(newcomer, 3) == big[-3:]
    newcomer.send_frame("after")
    newcomer.expect_frame("after")
    if not os.environ.get("TOVREL_SANITIZED"):  # freed memory stays in its quarantine
        assert grown < 48 * 1024, f"grew by {grown} KiB while reading"


def test_a_stop_sends_what_is_held(redis, server_factory):
    room = new_room()
    key = f"tovrel:{room}"
    server = join(server_factory, redis, room)
    client = server.connect()
    client.send_frame("before")
    client.expect_frame("before")
    redis.pause()  # what is sent from now on is held: no answer comes
    held = [f"held{k}" for k in range(20)]
    for text in held:
        client.send_frame(text)
    client.ping_barrier()  # all taken in
    started = time.monotonic()
    assert server.stop(signal.SIGTERM) == 0
    assert time.monotonic() - started < 5.0
    assert server.count(f"{len(held)} messages sent to Redis before stopping were not confirmed") \
        == 1, server.stdout
    redis.resume()
    # Written before the exit, so Redis applies them once it runs again.
    deadline = time.monotonic() + 5.0
    while redis.call("XLEN", key) < 1 + len(held) and time.monotonic() < deadline:
        time.sleep(0.05)
    entries = redis.call("XRANGE", key, "-", "+")
    assert [fields[1].decode() for _, fields in entries] == ["before"] + held


def test_a_stop_without_redis_counts_what_could_not_be_sent(redis, server_factory):
    room = new_room()
    server = join(server_factory, redis, room)
    client = server.connect()
    redis.kill()
    server.wait_line("Redis lost, retrying")
    for k in range(7):
        client.send_frame(f"lost{k}")
    client.ping_barrier()
    assert server.stop(signal.SIGTERM) == 0
    assert server.count("Could not send 7 messages to Redis before stopping") == 1, server.stdout


def test_one_instance_killed_the_others_go_on(redis, server_factory):
    room = new_room()
    servers = [join(server_factory, redis, room) for _ in range(3)]
    clients = [s.connect() for s in servers]
    servers[1].kill()
    clients[0].send_frame("still here")
    clients[2].send_frame("me too")
    assert_one_order([texts(clients[0], 2), texts(clients[2], 2)], ["still here", "me too"])


def test_held_messages_are_bounded(redis, server_factory):
    server = join(server_factory, redis, new_room())
    client = server.connect()
    redis.pause()
    client.send_raw(b"".join(frame(f"b{k}") for k in range(10050)))
    server.wait_line("Holding full, dropping messages")
    redis.resume()
    server.wait_line("Dropped 50 messages", timeout=15)
    assert texts(client, 10000) == [f"b{k}" for k in range(10000)]
    client.ping_barrier()


def test_password_comes_from_the_environment(server_factory):
    redis = RedisServer(password="s3cret").start()
    try:
        room = new_room()
        good = join(server_factory, redis, room, env=server_env({"TOVREL_REDIS_PASSWORD": "s3cret"}))
        client = good.connect()
        client.send_frame("authenticated")
        client.expect_frame("authenticated")
        bad = join(server_factory, redis, room, env=server_env({"TOVREL_REDIS_PASSWORD": "wrong"}),
                   connected=False)
        bad.wait_line("Redis unreachable, retrying")
        assert any(line.startswith("Redis error: WRONGPASS") for line in bad.lines()), bad.stdout
    finally:
        redis.stop()


def wait_until(condition, timeout, what):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            if condition():
                return
        except (OSError, RuntimeError, ValueError, KeyError):
            pass
        time.sleep(0.1)
    raise AssertionError(f"not within {timeout} s: {what}")


@pytest.fixture
def sentinel_group():
    """A primary, one replica in sync and three Sentinels watching them."""
    started = []
    try:
        primary = RedisServer().start()
        started.append(primary)
        replica = RedisServer(replica_of=primary.port).start()
        started.append(replica)
        wait_until(lambda: "master_link_status:up" in replica.call("INFO", "replication").decode(),
                   15, "the replica in sync")
        name = f"room-primary-{os.getpid()}"
        sentinels = []
        for _ in range(3):
            sentinels.append(RedisSentinel(name, primary.port).start())
            started.append(sentinels[-1])
        for s in sentinels:
            wait_until(lambda: s.knows(replicas=1, sentinels=2), 20, "Sentinels that know all")
        yield primary, replica, sentinels
    finally:
        for proc in reversed(started):
            proc.stop()


def test_failover_through_sentinel_delivers_every_message_once_in_one_order(sentinel_group,
                                                                            server_factory):
    primary, replica, sentinels = sentinel_group
    room = new_room()
    args = ["{port}", "--redis-sentinel", ",".join(f"127.0.0.1:{s.port}" for s in sentinels),
            "--redis-master", sentinels[0].name, "--room", room]
    servers = [server_factory(args=args) for _ in range(2)]
    for s in servers:
        s.wait_line("Redis connected")
        assert s.count(f"Redis primary at 127.0.0.1:{primary.port}") == 1, s.stdout
    clients = [s.connect() for s in servers for _ in range(2)]
    sent = []
    # A steady flow from all four clients; the primary dies a third of the way.
    for k in range(150):
        for i, c in enumerate(clients):
            c.send_frame(f"c{i}-{k}")
            sent.append(f"c{i}-{k}")
        if k == 50:
            primary.kill()
        time.sleep(0.02)
    wait_until(lambda: sentinels[0].primary() == ("127.0.0.1", replica.port), 30, "the failover")
    for s in servers:
        s.wait_count("Redis connected", 2, timeout=30)
        assert s.count(f"Redis primary at 127.0.0.1:{replica.port}") == 1, s.stdout
    orders = [texts(c, len(sent), timeout=30) for c in clients]
    assert_one_order(orders, sent)
    for i in range(len(clients)):
        mine = [t for t in orders[0] if t.startswith(f"c{i}-")]
        assert mine == [f"c{i}-{k}" for k in range(150)]
    expect_silence(*clients)
    for c in clients:
        c.ping_barrier()
    assert_nobody_dropped(servers)
    # Written once each to the new primary: nothing the old one had is lost
    # or doubled there.
    entries = replica.call("XRANGE", f"tovrel:{room}", "-", "+")
    assert sorted(fields[1].decode() for _, fields in entries) == sorted(sent)
