#!/usr/bin/env python3
"""A reconnect storm: CLIENTS resuming TCP clients reach three tovrel
instances (one room through Redis with Sentinel) only through Debian's
haproxy; one sender numbers messages meanwhile. Once every client has
resumed, the instance with the most clients is killed (SIGKILL); its
clients come back through haproxy on the other two and resume. Prints the
seconds until all of them had resumed, each survivor's CPU over that time,
and what was replayed (messages and bytes), from the clients' own records.
    bench/storm.py --exe build/tovrel [--clients 5000] [--accepts 100]
Uses the drill's fixture (tests/drill); a figure, not a test."""
import argparse
import asyncio
import os
import resource
import sys
import time
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "drill"))
import drill_clients  # noqa: E402
from drill_clients import Record, Sender, keep_connected, tcp_connection  # noqa: E402
from drill_fixture import HAProxy, Instance, RedisGroup  # noqa: E402

# Fewer keep-alives than the drill's, so that 5000 clients in one Python
# process cost the servers' share of the two cores as little as they can.
drill_clients.PING_EVERY = 10.0
drill_clients.DEAD_AFTER = 14.0


class BigHAProxy(HAProxy):
    def _config(self, instances):
        return super()._config(instances).replace("maxconn 4000", "maxconn 9000")


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def clients_of(instance):
    body = urllib.request.urlopen(f"http://127.0.0.1:{instance.metrics_port}/metrics",
                                  timeout=5).read().decode()
    for line in body.splitlines():
        if line.startswith('tovrel_clients{kind="tcp"} '):
            return int(float(line.split()[1]))
    return 0


async def wait_for(predicate, timeout, what):
    end = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > end:
            raise SystemExit(f"storm: timed out waiting for {what}")
        await asyncio.sleep(0.05)


async def storm(args):
    group = RedisGroup("storm")
    options = ["--redis-sentinel", group.sentinel_addresses(), "--redis-master", "storm", "--room", "storm",
               "--resume-window", "10000", "--accepts-per-pass", str(args.accepts)]
    instances = [Instance(args.exe, options) for _ in range(3)]
    proxy = None
    tasks = []
    try:
        for inst in instances:
            inst.start()
        proxy = BigHAProxy(instances)
        await wait_for(lambda: all(proxy.server_up(i) for i in range(3)), 20, "haproxy")
        until = asyncio.Event()
        sender = Sender(0, args.rate)
        tasks += sender.start(proxy.tcp_port, until)
        await wait_for(lambda: sender.record.resumed and sender.sent, 20, "the sender")
        records = [Record(f"c{i}", "tcp") for i in range(args.clients)]
        for r in records:
            tasks.append(asyncio.ensure_future(keep_connected(r, tcp_connection, proxy.tcp_port)))
            await asyncio.sleep(0.0005)
        await wait_for(lambda: all(r.resumed for r in records), 120, "every client resumed")
        await asyncio.sleep(2)
        counts = [clients_of(inst) for inst in instances]
        victim = max(range(3), key=lambda i: counts[i])
        survivors = [i for i in range(3) if i != victim]
        records.append(sender.record)  # it may be among the killed instance's clients too
        opens = [r.opens for r in records]
        resumes = [len(r.resumes) for r in records]
        cpu0 = {i: cpu_seconds(instances[i].pid) for i in survivors}
        t0 = time.monotonic()
        instances[victim].kill()
        await wait_for(lambda: sum(r.opens > o for r, o in zip(records, opens)) >= counts[victim],
                       60, "the killed instance's clients to reconnect")
        moved = [k for k, r in enumerate(records) if r.opens > opens[k]]
        await wait_for(lambda: all(records[k].resumed and len(records[k].resumes) > resumes[k]
                                   for k in moved), 120, "the moved clients to resume")
        took = time.monotonic() - t0
        cpu = {i: cpu_seconds(instances[i].pid) - cpu0[i] for i in survivors}
        replayed = sum(rs[2] for k in moved for rs in records[k].resumes[resumes[k]:])
        replayed_bytes = 0
        for k in moved:
            for asked, _newest, n, _missed in records[k].resumes[resumes[k]:]:
                got = records[k].got
                replayed_bytes += sum(len(p) + 1 + len(t) + 4 for p, t in got[-n:]) if n else 0
        missed = [rs[3] for k in moved for rs in records[k].resumes[resumes[k]:]]
        print(f"clients {args.clients} and a sender, per instance before the kill {counts}, "
              f"--accepts-per-pass {args.accepts}, sender {args.rate}/s")
        print(f"killed instance {victim} with {counts[victim]} clients; "
              f"{len(moved)} came back and resumed in {took:.2f} s")
        for i in survivors:
            print(f"instance {i}: {clients_of(instances[i])} clients after, "
                  f"CPU {cpu[i]:.2f} s over those {took:.2f} s ({100 * cpu[i] / took:.0f} %)")
        print(f"replayed {replayed} messages, {replayed_bytes} bytes on the wire; "
              f"MISSED answers: {sorted(set(missed))}")
        until.set()
    finally:
        for t in tasks:
            t.cancel()
        if proxy is not None:
            proxy.close()
        for inst in instances:
            inst.close()
        group.close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True)
    parser.add_argument("--clients", type=int, default=5000)
    parser.add_argument("--accepts", type=int, default=100)
    parser.add_argument("--rate", type=float, default=5.0)
    args = parser.parse_args()
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    asyncio.run(storm(args))


if __name__ == "__main__":
    main()
