"""SIGHUP with a configuration file named: the command line and the file are
read again and what can change live is applied while the clients chat; the
new configuration is taken whole or not at all. Without a file SIGHUP stops."""

import os
import shutil
import signal
import socket
import ssl
import subprocess
import threading
import time

import pytest

from conftest import (DISCONNECTED, IO_TIMEOUT, NEW_CLIENT, Client, free_port, metric,
                      posix_only, run_once, scrape, server_env,
                      start_server)

pytestmark = posix_only

CLIENTS = 100
# Of them, the ones that the new rules of a case refuse.
REFUSED = 10
RELOADED = "Configuration reloaded"
NOT_RELOADED = "Configuration not reloaded: "
RESTART_ONLY = "{} changes only at a restart"
MIB = 1 << 20
OPENSSL = shutil.which("openssl")


def _build_refuses(needs, *args):
    """Whether this build says it lacks the support `args` need (port 0: it
    never serves)."""
    _, _, err = run_once(["0", *args])
    return needs in err


NO_TLS = OPENSSL is None or _build_refuses("no TLS support", "--tls-port", "2", "--tls-cert",
                                           "/nonexistent/c.pem", "--tls-key", "/nonexistent/k.pem")
NO_WEBSOCKET = _build_refuses("no WebSocket support", "--ws-port", "2")


def client_from(port, source, timeout=IO_TIMEOUT):
    """A client whose connection comes from the loopback address `source`."""
    c = Client.__new__(Client)
    c.sock = socket.create_connection(("127.0.0.1", port), timeout=timeout,
                                      source_address=(source, 0))
    c.pending = b""
    return c


def refused_at_accept(port, source="127.0.0.1"):
    """True when a connection from `source` is closed before any byte."""
    try:
        return client_from(port, source).wait_closed() == b""
    except ConnectionResetError:
        return True  # the reset came before connect() returned


def admitted(port, source="127.0.0.1", first=None):
    """True when a client from `source` (sending `first` first) is served: its
    "@PING" answered, after the room's history."""
    client = client_from(port, source)
    if first is not None:
        client.send_frame(first)
    client.send_frame(b"@PING")
    while client.recv_frame() != b"@PING":
        pass
    client.close()
    return True


def write(path, text):
    """Replaces `path` at once, as an editor saving it would."""
    tmp = str(path) + ".new"
    with open(tmp, "w") as f:
        f.write(text)
    os.replace(tmp, path)


def outcomes(server):
    """The lines that end a reload, so far."""
    return [l for l in server.lines() if l == RELOADED or l.startswith(NOT_RELOADED)]


def hang_up(server):
    """SIGHUP, then the line that ends the reload; returns it."""
    before = len(outcomes(server))
    os.kill(server.pid, signal.SIGHUP)
    server.wait_for(lambda: len(outcomes(server)) > before, what="the reload's line")
    return outcomes(server)[before]


class Chat:
    """CLIENTS clients in the room, `refused` of them in the group a case's new
    rules refuse; one talks, numbering its messages, while a reload happens."""

    def __init__(self, server, join, refused):
        before = server.count(NEW_CLIENT)
        self.members = [(i < refused, join(i < refused)) for i in range(CLIENTS)]
        server.wait_count(NEW_CLIENT, before + CLIENTS)
        for _, client in self.members:
            client.ping_barrier()
        self.talker = self.members[-1][1]
        self.sent = 0
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self._talk, daemon=True)
        self.thread.start()

    def _talk(self):
        while not self.stopping.is_set():
            self.talker.send_frame(f"message {self.sent}")
            self.sent += 1
            time.sleep(0.005)

    def stop(self):
        self.stopping.set()
        self.thread.join(IO_TIMEOUT)

    def check(self):
        """Those refused are closed; every other one got every message, in order."""
        self.stop()
        assert self.sent > 0
        for refused, client in self.members:
            if refused:
                client.wait_closed()
                continue
            for i in range(self.sent):
                client.expect_frame(f"message {i}")
            client.ping_barrier()


def make_certificate(directory, name):
    subprocess.run([OPENSSL, "req", "-x509", "-newkey", "ec", "-pkeyopt",
                    "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", f"{name}.key", "-out",
                    f"{name}.pem", "-days", "2", "-subj", f"/CN={name}"],
                   cwd=directory, check=True, capture_output=True, timeout=60)
    return directory / f"{name}.pem", directory / f"{name}.key"


def presented_certificate(port):
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    ctx.check_hostname = False
    ctx.verify_mode = ssl.CERT_NONE
    with ctx.wrap_socket(socket.create_connection(("127.0.0.1", port), timeout=IO_TIMEOUT)) as s:
        return s.getpeercert(binary_form=True)


def der_of(pem_path):
    return ssl.PEM_cert_to_DER_cert(open(pem_path).read())


def websocket_status(port, origin):
    """The status line's code that an upgrade from a page of `origin` gets."""
    with socket.create_connection(("127.0.0.1", port), timeout=IO_TIMEOUT) as s:
        s.sendall((f"GET / HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nUpgrade: websocket\r\n"
                   "Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                   f"Sec-WebSocket-Version: 13\r\nOrigin: {origin}\r\n\r\n").encode())
        head = b""
        while b"\r\n" not in head:
            chunk = s.recv(4096)
            assert chunk, head
            head += chunk
    return head.split(b" ")[1].decode()


# Each live change: the options the server starts with beside the file, the
# file before and after (formatted with the case's paths and ports), how a
# client of the refused group and of the others joins, and what the new
# configuration must do for clients that come after it.
def address_case(name, before, after, refused_source, newly_admitted):
    """A change of the address rules: clients from `refused_source` are
    dropped, and a new one from `newly_admitted` is let in."""
    def case(ctx):
        return dict(before=before, after=after, refused=REFUSED, line="Address no longer allowed",
                    join=lambda refused: client_from(ctx.port,
                                                     refused_source if refused else "127.0.0.1"),
                    then=lambda: refused_at_accept(ctx.port, refused_source) and
                    admitted(ctx.port, newly_admitted))
    case.__name__ = "case_" + name
    return case


case_deny = address_case("deny", 'deny = ["127.0.0.9"]\n', 'deny = ["127.0.0.2"]\n', "127.0.0.2",
                         "127.0.0.9")
case_allow = address_case("allow", 'allow = ["127.0.0.0/8"]\n',
                          'allow = ["127.0.0.1", "127.0.0.4"]\n', "127.0.0.3", "127.0.0.4")


def case_max_clients(ctx):
    def then():
        assert refused_at_accept(ctx.port)
        ctx.server.wait_line("Connections refused (max-clients): 1")
        return True

    return dict(before="", after=f"max-clients = {CLIENTS // 2}\n",
                join=lambda refused: client_from(ctx.port, "127.0.0.1"), refused=0, then=then)


def case_max_per_address(ctx):
    # Without a bound at start, those connected were not counted: the reload counts them.
    return dict(before="", after="max-per-address = 1\n",
                join=lambda refused: client_from(ctx.port, "127.0.0.1"), refused=0,
                then=lambda: refused_at_accept(ctx.port) and admitted(ctx.port, "127.0.0.5"))


def case_max_memory(ctx):
    return dict(before="", after='max-memory = "1M"\n', start=["--metrics", str(ctx.metrics)],
                join=lambda refused: client_from(ctx.port, "127.0.0.1"), refused=0,
                then=lambda: metric(scrape(ctx.metrics), "tovrel_memory_budget_bytes") == MIB)


def case_ws_origin(ctx):
    return dict(before='ws-origin = ["https://old.example"]\n',
                after='ws-origin = ["https://new.example"]\n', start=["--ws-port", str(ctx.ws)],
                join=lambda refused: client_from(ctx.port, "127.0.0.1"), refused=0,
                then=lambda: websocket_status(ctx.ws, "https://new.example") == "101" and
                websocket_status(ctx.ws, "https://old.example") == "403")


def case_token_file(ctx):
    # The file's name changes too: only a reload reads the new one.
    (ctx.tmp / "old-tokens").write_text("kept\nrevoked\n")
    (ctx.tmp / "new-tokens").write_text("kept\nadded\n")
    return dict(before=f'token-file = "{ctx.tmp / "old-tokens"}"\n',
                after=f'token-file = "{ctx.tmp / "new-tokens"}"\n',
                join=lambda refused: ctx.authed("@AUTH revoked" if refused else "@AUTH kept"),
                refused=REFUSED, line="Token revoked",
                then=lambda: admitted(ctx.port, first=b"@AUTH added"))


def case_tls_files(ctx):
    old = make_certificate(ctx.tmp, "old")
    new = make_certificate(ctx.tmp, "new")
    tls = f'tls-port = {ctx.tls}\ntls-cert = "{{}}"\ntls-key = "{{}}"\n'
    return dict(before=tls.format(*old), after=tls.format(*new),
                join=lambda refused: client_from(ctx.port, "127.0.0.1"), refused=0,
                then=lambda: presented_certificate(ctx.tls) == der_of(new[0]))


def case_msg_rate(ctx):
    # A client that sends past its burst of 2 x 100 is held back.
    def then():
        flooder = client_from(ctx.port, "127.0.0.1")
        for i in range(500):
            flooder.send_frame(b"flood %d" % i)
        ctx.server.wait_for(lambda: metric(scrape(ctx.metrics), "tovrel_flood_holds_total") > 0,
                            timeout=IO_TIMEOUT, what="a hold-back")
        return True

    return dict(before="", after="msg-rate = 100\n", start=["--metrics", str(ctx.metrics)],
                join=lambda refused: client_from(ctx.port, "127.0.0.1"), refused=0, then=then)


class Context:
    def __init__(self, tmp):
        self.tmp = tmp
        self.port, self.metrics, self.ws, self.tls = (free_port() for _ in range(4))
        self.server = None

    def authed(self, auth):
        client = client_from(self.port, "127.0.0.1")
        client.send_frame(auth)
        return client


@pytest.mark.parametrize("case", [case_deny, case_allow, case_max_clients, case_max_per_address,
                                  case_max_memory, case_ws_origin, case_token_file,
                                  case_tls_files, case_msg_rate], ids=lambda c: c.__name__[5:])
def test_a_live_change_applies_while_clients_chat(server_factory, tmp_path, case):
    if case is case_tls_files and NO_TLS:
        pytest.skip("a build without TLS, or no openssl program")
    if case is case_ws_origin and NO_WEBSOCKET:
        pytest.skip("a build without WebSocket support")
    ctx = Context(tmp_path)
    c = case(ctx)
    config = tmp_path / "tovrel.toml"
    write(config, c["before"])
    ctx.server = server = server_factory(
        port=ctx.port, args=["--config", str(config), "--accepts-per-pass", str(CLIENTS),
                             *c.get("start", []), "{port}"])
    chat = Chat(server, c["join"], c["refused"])
    write(config, c["after"])
    assert hang_up(server) == RELOADED, server.stdout
    chat.check()
    # No one else was dropped.
    if c["refused"]:
        server.wait_count(c["line"], c["refused"])
        server.assert_count_stays(c["line"], c["refused"])
    assert server.count(DISCONNECTED) == c["refused"], server.stdout
    assert c["then"](), server.stdout
    assert not [l for l in server.lines() if l.endswith("changes only at a restart")]


@pytest.mark.parametrize("broken", [
    'deny = ["127.0.0.3"]\nmax-clients = "many"\n',  # a bad value beside a good change
    'deny = ["127.0.0.3"]\n[section]\nx = 1\n',        # cannot be parsed
    'deny = ["127.0.0.3"]\nno-such-option = 1\n',     # names no option
    None,                                              # gone
], ids=["bad value", "syntax", "unknown key", "missing"])
def test_a_broken_configuration_changes_nothing(server_factory, tmp_path, broken):
    config = tmp_path / "tovrel.toml"
    write(config, 'deny = ["127.0.0.2"]\n')
    server = server_factory(args=["--config", str(config), "{port}"])
    chat = Chat(server, lambda refused: client_from(server.port, "127.0.0.3"), 0)
    if broken is None:
        config.unlink()
    else:
        write(config, broken)
    line = hang_up(server)
    assert line.startswith(NOT_RELOADED) and len(line) > len(NOT_RELOADED), server.stdout
    chat.check()
    assert server.count(DISCONNECTED) == 0, server.stdout
    # The old rules stay whole: .2 refused, .3 (which each broken file denies) let in.
    assert refused_at_accept(server.port, "127.0.0.2")
    assert admitted(server.port, "127.0.0.3")


def test_a_bad_certificate_changes_nothing(server_factory, tmp_path):
    if NO_TLS:
        pytest.skip("a build without TLS, or no openssl program")
    cert, key = make_certificate(tmp_path, "good")
    tls = free_port()
    config = tmp_path / "tovrel.toml"
    write(config, f'tls-port = {tls}\ntls-cert = "{cert}"\ntls-key = "{key}"\n')
    server = server_factory(args=["--config", str(config), "{port}"])
    garbage = tmp_path / "garbage.pem"
    garbage.write_text("not a certificate\n")
    write(config, f'tls-port = {tls}\ntls-cert = "{garbage}"\ntls-key = "{key}"\n'
                  'deny = ["127.0.0.1"]\n')
    assert hang_up(server).startswith(NOT_RELOADED + "TLS not set up: "), server.stdout
    assert presented_certificate(tls) == der_of(cert)
    assert admitted(server.port, "127.0.0.1")


def test_options_fixed_until_a_restart_get_a_line_each(server_factory, tmp_path):
    metrics = free_port()
    config = tmp_path / "tovrel.toml"
    write(config, "")
    server = server_factory(args=["--config", str(config), "{port}"])
    client = server.connect()
    write(config, f'bind = "127.0.0.1"\nmetrics = {metrics}\nmax-clients = 7\n')
    assert hang_up(server) == RELOADED, server.stdout
    for option in ("--bind", "--metrics"):
        assert server.count(RESTART_ONLY.format(option)) == 1, server.stdout
    assert len([l for l in server.lines() if l.endswith("changes only at a restart")]) == 2
    with pytest.raises(OSError):
        socket.create_connection(("127.0.0.1", metrics), timeout=IO_TIMEOUT).close()
    client.ping_barrier()


def test_without_a_configuration_file_sighup_stops():
    env = server_env()
    env.pop("TOVREL_CONFIG", None)
    server = start_server(env=env)
    try:
        client = server.connect()
        client.ping_barrier()
        assert server.stop(signal.SIGHUP) == 0
        client.wait_closed()
        assert server.count(DISCONNECTED) == 1
        assert server.count(RELOADED) == 0
    finally:
        server.kill()


def test_a_named_file_that_does_not_exist_makes_sighup_a_harmless_reload(server_factory,
                                                                        tmp_path):
    # As the service names one per instance, whether it was written or not.
    server = server_factory(env=server_env({"TOVREL_CONFIG": str(tmp_path / "none.toml")}))
    client = server.connect()
    assert hang_up(server) == RELOADED, server.stdout
    client.ping_barrier()
    # Written later, the file is read by the next reload.
    write(tmp_path / "none.toml", 'deny = ["127.0.0.2"]\n')
    assert hang_up(server) == RELOADED, server.stdout
    assert refused_at_accept(server.port, "127.0.0.2")
    client.ping_barrier()
