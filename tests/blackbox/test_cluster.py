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
from tovrel_test_support import REDIS_SERVER, RedisServer

pytestmark = pytest.mark.skipif(IS_WINE or not os.path.exists(REDIS_SERVER),
                                reason="needs redis-server and a build with Redis support")

_rooms = itertools.count()
# Backoff tops out at 5 s, so a restarted Redis is found within about that.
RECONNECT_TIMEOUT = 15.0


@pytest.fixture
def redis():
    server = RedisServer().start()
    yield server
    server.stop()


def new_room():
    return f"test-{os.getpid()}-{next(_rooms)}"


def join(server_factory, redis, room, env=None, connected=True, extra=()):
    server = server_factory(
        args=["{port}", "--redis", f"127.0.0.1:{redis.port}", "--room", room, *extra], env=env)
    if connected:
        server.wait_line("Redis connected")
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
        c.pipeline([("XADD", f"tovrel:{room}", "MAXLEN", "100", "*", "m", f"t{k}")
                    for k in range(300)])
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
