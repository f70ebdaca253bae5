#!/usr/bin/env python3
"""The rolling-restart drill: three tovrel instances in one room through
Redis with Sentinel, behind HAProxy, with resuming clients, while every
instance is restarted in turn and one is killed, one paused, the Redis
primary killed and one instance's link to Redis cut. Then every client's
list is checked: nothing twice, one order, nothing missing beyond what its
"@RESUMED" reported. A second, short drill restarts a lone server: every
client is told "?" and none gets a message twice.

    drill.py [--exe build/tovrel] [--table] [--fixture-only]

Exit status 0 passed, 1 failed, 77 skipped (what is missing is printed).
Every process is started here on free ports of 127.0.0.1 and stopped by
its PID. Linux only (/proc, signals).
"""

import argparse
import asyncio
import json
import os
import random
import shutil
import signal
import subprocess
import sys
import time

import drill_check
import drill_clients
from drill_clients import Record, Sender, keep_connected, parse_position, tcp_connection, \
    ws_connection
from drill_fixture import HAPROXY, HAProxy, Instance, RedisGroup, post, wait_until

SKIP = 77
DRAIN_SECONDS = 5
WINDOW = 10000
PAUSE_SECONDS = 20
CUT_SECONDS = 10
CATCH_UP_SECONDS = 30


class Drill:
    def __init__(self, args):
        self.args = args
        self.failures = []
        self.events = []
        self.started = time.monotonic()

    def note(self, text):
        line = f"{time.monotonic() - self.started:6.1f} s  {text}"
        self.events.append(line)
        print(line, flush=True)

    def expect(self, ok, text):
        if not ok:
            self.failures.append(text)
            self.note(f"FAILED: {text}")

    def dump(self, name, stream):
        if not self.args.dump:
            return
        with open(f"{self.args.dump}.{name}.json", "w") as f:
            json.dump({"events": self.events, "stream": stream,
                       "clients": [{"name": r.name, "got": r.got, "resumes": r.resumes,
                                    "closes": r.closes, "anomalies": r.anomalies,
                                    "log": r.log} for r in self.records]}, f)

    # -- clients ---------------------------------------------------------
    def start_clients(self, tcp_port, ws_port, tcp_count, ws_count, sender_count):
        self.until = asyncio.Event()
        self.records = [Record(f"tcp{i}", "tcp") for i in range(tcp_count)]
        self.records += [Record(f"ws{i}", "ws") for i in range(ws_count)]
        self.senders = [Sender(i, self.args.rate) for i in range(sender_count)]
        self.tasks = [asyncio.ensure_future(
            keep_connected(r, tcp_connection if r.kind == "tcp" else ws_connection,
                           tcp_port if r.kind == "tcp" else ws_port)) for r in self.records]
        self.records += [s.record for s in self.senders]

    async def all_resumed(self, records, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if all(r.resumed for r in records):
                return True
            await asyncio.sleep(0.1)
        return False

    async def start_sending(self, tcp_port):
        for s in self.senders:
            self.tasks += s.start(tcp_port, self.until)

    async def catch_up(self, newest):
        """Waits until every client is resumed and holds the newest position."""
        deadline = time.monotonic() + CATCH_UP_SECONDS
        while time.monotonic() < deadline:
            behind = [r for r in self.records
                      if not r.resumed or r.last is None or parse_position(r.last) < newest]
            if not behind:
                return []
            await asyncio.sleep(0.2)
        return behind

    async def stop_clients(self):
        for t in self.tasks:
            t.cancel()
        await asyncio.gather(*self.tasks, return_exceptions=True)

    def newest_position(self):
        known = [parse_position(r.last) for r in self.records if r.last]
        return max(known) if known else (0, 0)


async def blocking(function, *args):
    return await asyncio.get_running_loop().run_in_executor(None, function, *args)


# -- the room drill --------------------------------------------------------


def drain_and_restart(drill, haproxy, instances, index):
    """SIGTERM with a drain; HAProxy must take the instance out before it ends."""
    inst = instances[index]
    began = time.monotonic()
    inst.signal(signal.SIGTERM)
    taken_out = None
    while inst.proc.is_running() and time.monotonic() - began < DRAIN_SECONDS + 10:
        if taken_out is None and haproxy.server_down(index):
            taken_out = time.monotonic() - began
        time.sleep(0.05)
    rc = inst.proc.wait_exit(5)
    took = time.monotonic() - began
    drill.note(f"instance {index} drained in {took:.1f} s, exit {rc}, taken out by HAProxy "
               + ("never" if taken_out is None else f"after {taken_out:.1f} s"))
    drill.expect(rc == 0, f"instance {index} ended with {rc} after SIGTERM")
    drill.expect(taken_out is not None, f"HAProxy did not take draining instance {index} out")
    inst.start()
    wait_until(lambda: haproxy.server_up(index), 15, f"HAProxy to put instance {index} back")
    drill.note(f"instance {index} back in HAProxy")


def kill_and_restart(drill, haproxy, instances, index):
    instances[index].kill()
    drill.note(f"instance {index} killed (SIGKILL)")
    instances[index].start()
    wait_until(lambda: haproxy.server_up(index), 15, f"HAProxy to put instance {index} back")
    drill.note(f"instance {index} started again and back in HAProxy")


def lines_of(instances, line):
    return [inst.count(line) for inst in instances]


async def room_faults(drill, redis, haproxy, instances):
    for index in range(len(instances)):
        await blocking(drain_and_restart, drill, haproxy, instances, index)
    await blocking(kill_and_restart, drill, haproxy, instances, 0)

    paused, cut = 1, 2
    instances[paused].signal(signal.SIGSTOP)
    paused_at = time.monotonic()
    drill.note(f"instance {paused} paused (SIGSTOP)")
    await asyncio.sleep(2)

    connected = lines_of(instances, "Redis connected")
    await blocking(redis.fail_over)
    new_primary = f"Redis primary at 127.0.0.1:{redis.proxy_ports[redis.primary]}"
    drill.note(f"Redis primary killed; the Sentinels promoted the replica ({new_primary})")
    for i in (i for i in range(len(instances)) if i != paused):
        await blocking(instances[i].proc.wait_line, new_primary, 20)
        await blocking(wait_until, lambda i=i: instances[i].count("Redis connected") > connected[i],
                       20, f"instance {i} to reconnect")
    drill.note("the running instances follow the new primary")

    quiet = ["Redis not answering", "Redis lost, retrying"]
    before = [lines_of(instances, q) for q in quiet]
    dropped = instances[cut].count("Disconnected")
    held = await blocking(redis.proxy.cut, instances[cut].pid)
    drill.note(f"instance {cut}'s link to Redis cut ({held} connections held)")
    drill.expect(held >= 1, f"the proxy found no connection of instance {cut}")
    await asyncio.sleep(CUT_SECONDS)
    after = [lines_of(instances, q) for q in quiet]
    restored = await blocking(redis.proxy.restore)
    drill.note(f"instance {cut}'s link restored ({restored} connections released)")
    noticed = any(a[cut] > b[cut] for a, b in zip(after, before))
    running = [i for i in range(len(instances)) if i not in (paused, cut)]
    others = any(a[i] > b[i] for a, b in zip(after, before) for i in running)
    drill.expect(noticed, f"instance {cut} did not notice its link was cut")
    drill.expect(not others, "an instance whose link was not cut lost Redis too")
    dropped = instances[cut].count("Disconnected") - dropped
    drill.expect(dropped == 0, f"instance {cut} dropped {dropped} clients while its link was cut")

    await asyncio.sleep(max(0.0, PAUSE_SECONDS - (time.monotonic() - paused_at)))
    instances[paused].signal(signal.SIGCONT)
    drill.note(f"instance {paused} resumed (SIGCONT) after "
               f"{time.monotonic() - paused_at:.0f} s")
    await blocking(instances[paused].proc.wait_line, new_primary, 30)
    await blocking(wait_until, lambda: all(haproxy.server_up(i) for i in range(len(instances))),
                   30, "HAProxy to have every instance up")
    drill.note("every instance up in HAProxy")
    await blocking(redis.old_primary_follows, 30)
    drill.note("the old Redis primary, started again, replicates from the new one")


async def room_drill(drill, exe):
    args = drill.args
    room = f"drill-{os.getpid()}"
    redis = RedisGroup(f"drill-primary-{os.getpid()}")
    instances, haproxy = [], None
    try:
        options = ["--redis-sentinel", redis.sentinel_addresses(), "--redis-master", redis.name,
                   "--room", room, "--accepts-per-pass", "20"]
        if not args.fixture_only:
            options += ["--resume-window", str(args.window), "--drain-seconds", str(DRAIN_SECONDS)]
        for _ in range(3):
            instances.append(Instance(exe, options))
        for inst in instances:
            inst.start()
        haproxy = HAProxy(instances)
        await blocking(wait_until, lambda: all(haproxy.server_up(i) for i in range(3)), 15,
                       "HAProxy to have every instance up")
        drill.note(f"room: Redis primary, replica, 3 Sentinels, 3 instances, HAProxy at "
                   f"{haproxy.tcp_port} (TCP) and {haproxy.ws_port} (WebSocket)")
        if args.fixture_only:
            await room_faults(drill, redis, haproxy, instances)
            return
        # A first message, so that every client has a position from its first resume on.
        await blocking(post, haproxy.tcp_port, "first")
        drill.start_clients(haproxy.tcp_port, haproxy.ws_port, args.tcp, args.ws, args.senders)
        drill.expect(await drill.all_resumed(drill.records[:-args.senders], 60),
                     "not every client resumed at the start")
        await drill.start_sending(haproxy.tcp_port)
        drill.note(f"{args.tcp} TCP and {args.ws} WebSocket clients resumed; "
                   f"{args.senders} senders at {args.rate}/s each")
        await room_faults(drill, redis, haproxy, instances)
        await asyncio.sleep(3)
        drill.until.set()
        await asyncio.sleep(1)
        stream = await blocking(redis.stream, f"tovrel:{room}")
        newest = max([drill.newest_position()] + [parse_position(p) for p, _ in stream[-1:]])
        behind = await drill.catch_up(newest)
        drill.expect(not behind, f"{len(behind)} clients did not catch up, e.g. "
                     f"{[(r.name, r.last, r.resumed) for r in behind[:3]]}")
        await drill.stop_clients()
        sent = sum(len(s.sent) for s in drill.senders)
        confirmed = set().union(*(s.confirmed() for s in drill.senders))
        failures, rows = drill_check.check_room(drill.records, stream, confirmed)
        drill.dump("room", stream)
        drill.failures += failures
        print(drill_check.table(rows, args.table))
        for line in drill_check.closes(drill.records):
            drill.note(line)
        drill.note(f"room: {sent} sent, {len(confirmed)} came back to their sender, "
                   f"{len(stream)} in the stream; {len(rows)} clients")
        report_console(drill, instances)
    finally:
        if haproxy is not None:
            haproxy.close()
        for inst in instances:
            inst.close()
        redis.close()


CONSOLE_LINES = ("Redis lost, retrying", "Redis not answering", "Redis connected",
                 "Redis replica not in sync, delivering without one")
CONSOLE_COUNTS = ("Sending ", "Suppressed ", "Missed ", "Room stream reset in Redis")


def report_console(drill, instances):
    """What each instance said about its link to Redis, over all its runs."""
    for i, inst in enumerate(instances):
        lines = [line for run in inst.runs for line in run.lines()]
        said = [f"{line!r} x{lines.count(line)}" for line in CONSOLE_LINES if line in lines]
        said += [repr(line) for line in lines if line.startswith(CONSOLE_COUNTS)]
        drill.note(f"instance {i}, {len(inst.runs)} runs: {', '.join(said)}")


# -- the lone drill -----------------------------------------------------------


async def lone_drill(drill, exe):
    args = drill.args
    inst = Instance(exe, ["--resume-window", str(args.window), "--drain-seconds", "2"])
    try:
        inst.start(redis=False)
        await blocking(post, inst.port, "first")
        drill.start_clients(inst.port, inst.ws_port, args.lone_tcp, args.lone_ws, 1)
        drill.expect(await drill.all_resumed(drill.records[:-1], 30),
                     "lone: not every client resumed at the start")
        await drill.start_sending(inst.port)
        await asyncio.sleep(4)
        marks = {r.name: len(r.resumes) for r in drill.records}
        rc = await blocking(inst.terminate, 15)
        drill.note(f"lone server stopped (SIGTERM), exit {rc}")
        drill.expect(rc == 0, f"lone: the server ended with {rc} after SIGTERM")
        inst.start(redis=False)
        await asyncio.sleep(4)
        drill.until.set()
        await asyncio.sleep(1)
        behind = await drill.catch_up(drill.newest_position())
        drill.expect(not behind, f"lone: {len(behind)} clients did not catch up")
        await drill.stop_clients()
        newest = drill.newest_position()
        failures, rows = drill_check.check_lone(drill.records, marks, newest[0])
        drill.dump("lone", [])
        drill.failures += [f"lone: {f}" for f in failures]
        print(drill_check.table(rows, args.table))
        drill.note(f"lone: {sum(len(s.sent) for s in drill.senders)} sent; {len(rows)} clients")
    finally:
        inst.close()


def missing_parts(exe, fixture_only):
    missing = []
    if not shutil.which(HAPROXY):
        missing.append("haproxy (apt-get install haproxy)")
    if drill_clients.websockets is None:
        missing.append("python3-websockets")
    if not sys.platform.startswith("linux"):
        missing.append("Linux")
    helptext = subprocess.run([exe, "--help"], capture_output=True, text=True).stdout
    needed = ["--redis-sentinel", "--ws-port"]
    if not fixture_only:
        needed += ["--resume-window", "--drain-seconds"]
    missing += [f"the server option {o}" for o in needed if o not in helptext]
    return missing


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--exe", default=os.environ.get("TOVREL_SERVER"))
    parser.add_argument("--tcp", type=int, default=200)
    parser.add_argument("--ws", type=int, default=50)
    parser.add_argument("--senders", type=int, default=3)
    parser.add_argument("--rate", type=float, default=8.0, help="messages/s per sender")
    parser.add_argument("--window", type=int, default=WINDOW, help="--resume-window of the servers")
    parser.add_argument("--lone-tcp", type=int, default=40)
    parser.add_argument("--lone-ws", type=int, default=10)
    parser.add_argument("--table", action="store_true", help="a line for every client")
    parser.add_argument("--dump", help="write every client's list and resumes to this file (JSON)")
    parser.add_argument("--fixture-only", action="store_true",
                        help="the processes and faults, without clients")
    args = parser.parse_args()
    if not args.exe:
        parser.error("--exe or TOVREL_SERVER names the server")
    missing = missing_parts(args.exe, args.fixture_only)
    if missing:
        print(f"SKIPPED: the drill needs {', '.join(missing)}", flush=True)
        return SKIP
    random.seed(os.getpid())
    drill = Drill(args)
    asyncio.run(room_drill(drill, args.exe))
    if not args.fixture_only:
        room_failures = len(drill.failures)
        drill.note(f"room drill: {'passed' if not room_failures else 'FAILED'}")
        asyncio.run(lone_drill(drill, args.exe))
    for f in drill.failures:
        print(f"FAILED: {f}")
    print("drill passed" if not drill.failures else f"drill failed ({len(drill.failures)})")
    return 1 if drill.failures else 0


if __name__ == "__main__":
    sys.exit(main())
