#!/usr/bin/env python3
"""A small TCP proxy on 127.0.0.1 that can stop forwarding for one process.

    cut_proxy.py LISTEN_PORT:TARGET_PORT [...]

Each listening port forwards to its target port on 127.0.0.1. Commands on
standard input, one a line, each answered by one line on standard output:

    cut PID     stop forwarding, both ways, every connection that PID opened
                (now and later); the bytes wait in the sockets' buffers.
                Answer: "cut N", N connections of PID now held
    restore     forward them again. Answer: "restored N"

A connection belongs to the process that holds its client end: the
client's socket is found in /proc/net/tcp by its address, and its inode
among the PID's descriptors in /proc/PID/fd. So one program's link can be
cut while every other program on the same path (Sentinels, replicas, other
instances) keeps going. Loopback only; Linux only. The proxy ends when its
standard input closes, or on SIGTERM.
"""

import asyncio
import os
import sys

HOST = "127.0.0.1"


def _hex_address(port):
    return f"0100007F:{port:04X}"


def socket_inode(client_port, server_port):
    """The inode of the client end of a loopback connection, or None."""
    local, remote = _hex_address(client_port), _hex_address(server_port)
    try:
        with open("/proc/net/tcp") as f:
            next(f)
            for line in f:
                fields = line.split()
                if fields[1] == local and fields[2] == remote:
                    return fields[9]
    except OSError:
        pass
    return None


def owned_by(pid, inode):
    """True when process `pid` holds the socket `inode` among its descriptors."""
    wanted = f"socket:[{inode}]"
    fd_dir = f"/proc/{pid}/fd"
    try:
        names = os.listdir(fd_dir)
    except OSError:
        return False
    for name in names:
        try:
            if os.readlink(os.path.join(fd_dir, name)) == wanted:
                return True
        except OSError:
            continue
    return False


class Link:
    """One proxied connection: its owner is looked up only when a cut asks."""

    def __init__(self, client_port, listen_port):
        self.client_port = client_port
        self.listen_port = listen_port
        self.flowing = asyncio.Event()
        self.flowing.set()

    def belongs_to(self, pid):
        inode = socket_inode(self.client_port, self.listen_port)
        return inode is not None and owned_by(pid, inode)


class Proxy:
    def __init__(self):
        self.links = set()
        self.cut_pid = None

    async def pump(self, link, reader, writer):
        try:
            while True:
                await link.flowing.wait()
                data = await reader.read(65536)
                if not data:
                    break
                await link.flowing.wait()
                writer.write(data)
                await writer.drain()
        except (ConnectionError, OSError):
            pass
        finally:
            writer.close()

    async def serve(self, client_reader, client_writer, listen_port, target_port):
        client_port = client_writer.get_extra_info("peername")[1]
        link = Link(client_port, listen_port)
        if self.cut_pid is not None and link.belongs_to(self.cut_pid):
            link.flowing.clear()
        self.links.add(link)
        try:
            server_reader, server_writer = await asyncio.open_connection(HOST, target_port)
        except OSError:
            client_writer.close()
            self.links.discard(link)
            return
        await asyncio.gather(self.pump(link, client_reader, server_writer),
                             self.pump(link, server_reader, client_writer))
        self.links.discard(link)

    def cut(self, pid):
        self.cut_pid = pid
        held = 0
        for link in list(self.links):
            if link.belongs_to(pid):
                link.flowing.clear()
                held += 1
        return held

    def restore(self):
        self.cut_pid = None
        held = sum(1 for link in self.links if not link.flowing.is_set())
        for link in self.links:
            link.flowing.set()
        return held


async def main(pairs):
    proxy = Proxy()
    for listen_port, target_port in pairs:
        await asyncio.start_server(
            lambda r, w, lp=listen_port, tp=target_port: proxy.serve(r, w, lp, tp),
            HOST, listen_port)
    print("ready", flush=True)
    loop = asyncio.get_running_loop()
    reader = asyncio.StreamReader()
    await loop.connect_read_pipe(lambda: asyncio.StreamReaderProtocol(reader), sys.stdin)
    while True:
        line = (await reader.readline()).decode().split()
        if not line:
            if reader.at_eof():
                return
            continue
        if line[0] == "cut" and len(line) == 2:
            print(f"cut {proxy.cut(int(line[1]))}", flush=True)
        elif line[0] == "restore":
            print(f"restored {proxy.restore()}", flush=True)
        else:
            print(f"unknown {' '.join(line)}", flush=True)


if __name__ == "__main__":
    ports = [tuple(int(p) for p in arg.split(":")) for arg in sys.argv[1:]]
    if not ports:
        sys.exit(__doc__)
    asyncio.run(main(ports))
