"""The TLS listener (--tls-port, --tls-cert, --tls-key, --tls-ca) seen from
outside: Python's ssl module, `openssl s_client` and tovrel-client as TLS
clients, beside plain ones in the same room.

Every certificate is made for the test run by `openssl req` / `openssl x509`
in a temporary directory. Misbehaving peers (plaintext, handshakes that stop,
refused certificates, a certificate file turned to garbage) must each get a
clear end while honest clients keep their ping round trip and nobody else is
dropped.
"""

import base64
import os
import shlex
import shutil
import socket
import ssl
import struct
import subprocess
import threading
import time

import pytest

from conftest import (DISCONNECTED, IO_TIMEOUT, NEW_CLIENT, Client, frame, free_port, metric,
                      run_once, scrape)

OPENSSL = shutil.which("openssl")
CLIENT = shlex.split(os.environ.get("TOVREL_CLIENT", ""))


def _build_has_tls():
    rc, out, err = run_once(["1", "--tls-port", "2", "--tls-cert", "/nonexistent/c.pem",
                             "--tls-key", "/nonexistent/k.pem"])
    return "no TLS support" not in err


def _build_has_wss():
    rc, out, err = run_once(["1", "--wss-port", "2", "--tls-cert", "/nonexistent/c.pem",
                             "--tls-key", "/nonexistent/k.pem"])
    return "no WebSocket or TLS support" not in err


HAS_TLS = _build_has_tls()
HAS_WSS = HAS_TLS and _build_has_wss()
needs_tls = pytest.mark.skipif(not HAS_TLS or OPENSSL is None,
                               reason="a build without TLS, or no openssl program")
needs_wss = pytest.mark.skipif(not HAS_WSS, reason="a build without WebSocket clients over TLS")
needs_client = pytest.mark.skipif(not CLIENT, reason="TOVREL_CLIENT not set")

# Longest round trip an honest client may see while others misbehave: the
# pass is 20 ms; this leaves room for a loaded test machine.
HONEST_RTT = 1.5
# The server looks at its certificate files every 5 s.
RELOAD_WAIT = 12.0


# ---------------------------------------------------------------------------
# Certificates, made fresh by openssl for the run


def _openssl(*args, cwd):
    subprocess.run([OPENSSL, *args], cwd=cwd, check=True, capture_output=True, timeout=60)


class Pki:
    """A CA, two server certificates for localhost and 127.0.0.1, and client
    certificates: good, expired, self-signed and from another CA."""

    def __init__(self, directory):
        self.dir = directory
        ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
        for ca in ("ca", "otherca"):
            _openssl("req", "-x509", *ec, "-keyout", f"{ca}.key", "-out", f"{ca}.pem",
                     "-days", "2", "-subj", f"/CN=tovrel test {ca}", cwd=directory)
        (directory / "san.ext").write_text(
            "subjectAltName=DNS:localhost,IP:127.0.0.1\n")
        for name, ca, days in (("server", "ca", "2"), ("server2", "ca", "2"),
                               ("client", "ca", "2"), ("expired", "ca", "-1"),
                               ("foreign", "otherca", "2")):
            _openssl("req", *ec, "-keyout", f"{name}.key", "-out", f"{name}.csr",
                     "-subj", f"/CN={name}", cwd=directory)
            _openssl("x509", "-req", "-in", f"{name}.csr", "-CA", f"{ca}.pem", "-CAkey",
                     f"{ca}.key", "-CAcreateserial", "-out", f"{name}.pem", "-days", days,
                     "-extfile", "san.ext", cwd=directory)
        _openssl("req", "-x509", *ec, "-keyout", "selfsigned.key", "-out", "selfsigned.pem",
                 "-days", "2", "-subj", "/CN=selfsigned", cwd=directory)

    def path(self, name):
        return str(self.dir / name)


@pytest.fixture(scope="module")
def pki(tmp_path_factory):
    if not HAS_TLS or OPENSSL is None:
        pytest.skip("a build without TLS, or no openssl program")
    return Pki(tmp_path_factory.mktemp("pki"))


# ---------------------------------------------------------------------------
# Servers and clients


def start_tls_server(server_factory, pki, tmp_path, with_ca=False, extra=(), cas=("ca",)):
    """A server with a TLS listener; its certificate, key and (with_ca) the
    client CAs `cas` are copies in tmp_path, so a test may replace them."""
    cert = tmp_path / "live.pem"
    key = tmp_path / "live.key"
    shutil.copy(pki.path("server.pem"), cert)
    shutil.copy(pki.path("server.key"), key)
    tls_port = free_port()
    args = ["{port}", "--tls-port", str(tls_port), "--tls-cert", str(cert), "--tls-key", str(key)]
    if with_ca:
        server_ca = tmp_path / "live-ca.pem"
        server_ca.write_bytes(b"".join(open(pki.path(f"{ca}.pem"), "rb").read() for ca in cas))
        args += ["--tls-ca", str(server_ca)]
    server = server_factory(args=args + list(extra))
    server.wait_line(f"TLS is open at port {tls_port}")
    server.tls_port = tls_port
    server.cert_file = cert
    server.key_file = key
    server.ca_file = tmp_path / "live-ca.pem"
    return server


def client_context(pki, cert=None, maximum=None):
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    ctx.load_verify_locations(pki.path("ca.pem"))
    if cert is not None:
        ctx.load_cert_chain(pki.path(cert + ".pem"), pki.path(cert + ".key"))
    if maximum is not None:
        ctx.maximum_version = maximum
    return ctx


def tls_connect(server, pki, cert=None, maximum=None):
    """A TLS client, once the server has accepted it; the frame helpers of
    the plain Client work over it."""
    before = server.count(NEW_CLIENT)
    raw = socket.create_connection(("127.0.0.1", server.tls_port), timeout=IO_TIMEOUT)
    sock = client_context(pki, cert, maximum).wrap_socket(raw, server_hostname="localhost")
    client = Client.__new__(Client)
    client.sock = sock
    client.pending = b""
    server.clients.append(client)
    server.wait_count(NEW_CLIENT, before + 1)
    return client


class WssClient(Client):
    """A WebSocket client over TLS on raw frames: masked texts out, the
    server's text frames in; the frame helpers of the plain Client read the
    bytes."""

    def __init__(self, sock):
        self.sock = sock
        self.pending = b""

    def send_text(self, text):
        payload = text.encode()
        assert len(payload) < 126
        key = os.urandom(4)
        self.sock.sendall(bytes([0x81, 0x80 | len(payload)]) + key +
                          bytes(b ^ key[i % 4] for i, b in enumerate(payload)))

    def recv_text(self, timeout=IO_TIMEOUT):
        head = self.recv_exact(2, timeout)
        assert head[0] == 0x81, head  # a final text frame
        length = head[1] & 0x7F
        if length == 126:
            (length,) = struct.unpack(">H", self.recv_exact(2, timeout))
        elif length == 127:
            (length,) = struct.unpack(">Q", self.recv_exact(8, timeout))
        return self.recv_exact(length, timeout).decode()

    def ping_barrier(self, timeout=IO_TIMEOUT):
        self.send_text("@PING")
        assert self.recv_text(timeout) == "@PING"


def wss_connect(server, pki, cert):
    """A WebSocket client on server.wss_port with the client certificate
    `cert`, once its upgrade is answered."""
    before = server.count(NEW_CLIENT)
    raw = socket.create_connection(("127.0.0.1", server.wss_port), timeout=IO_TIMEOUT)
    sock = client_context(pki, cert).wrap_socket(raw, server_hostname="localhost")
    server.wait_count(NEW_CLIENT, before + 1)
    key = base64.b64encode(os.urandom(16)).decode()
    sock.sendall((f"GET / HTTP/1.1\r\nHost: localhost\r\nUpgrade: websocket\r\n"
                  f"Connection: Upgrade\r\nSec-WebSocket-Key: {key}\r\n"
                  f"Sec-WebSocket-Version: 13\r\n\r\n").encode())
    client = WssClient(sock)
    server.clients.append(client)
    answer = b""
    while not answer.endswith(b"\r\n\r\n"):
        answer += client.recv_exact(1)
    assert answer.startswith(b"HTTP/1.1 101 "), answer
    return client


def wait_dropped(client, timeout=IO_TIMEOUT):
    """Reads until the server ends a TLS client: a close, a reset or an alert."""
    try:
        client.wait_closed(timeout)
    except ssl.SSLError:
        pass


def refused_without_certificate(server, pki):
    """A client without a certificate is refused in its handshake and gets nothing."""
    line = "TLS handshake failed: peer did not return a certificate"
    before = server.count(line)
    proc = s_client(server.tls_port, "-CAfile", pki.path("ca.pem"))
    proc.stdin.write(frame("@PING"))
    proc.stdin.flush()
    out, _ = proc.communicate(timeout=IO_TIMEOUT)
    assert out == b""
    server.wait_count(line, before + 1)


def peer_certificate(server, pki):
    """The certificate a new handshake is answered with (DER)."""
    raw = socket.create_connection(("127.0.0.1", server.tls_port), timeout=IO_TIMEOUT)
    with client_context(pki).wrap_socket(raw, server_hostname="localhost") as sock:
        return sock.getpeercert(binary_form=True)


def der_of(pem_path):
    return ssl.PEM_cert_to_DER_cert(open(pem_path).read())


class HonestPingers:
    """A plain and a TLS client that ping in a loop from a thread; each
    round trip is recorded. check() asserts that they kept pinging within
    HONEST_RTT and are still connected."""

    def __init__(self, server, pki):
        self.clients = [server.connect(), tls_connect(server, pki)]
        self.rtts = []
        self.errors = []
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        while not self._stop.is_set():
            for c in self.clients:
                started = time.monotonic()
                try:
                    c.ping_barrier(timeout=10.0)
                except AssertionError as e:
                    self.errors.append(str(e))
                    return
                self.rtts.append(time.monotonic() - started)
            time.sleep(0.1)

    def check(self):
        deadline = time.monotonic() + 10
        while len(self.rtts) < 6 and not self.errors and time.monotonic() < deadline:
            time.sleep(0.05)
        self._stop.set()
        self._thread.join(15)
        assert not self.errors, self.errors
        assert len(self.rtts) >= 6, self.rtts
        assert max(self.rtts) < HONEST_RTT, f"slowest round trip {max(self.rtts):.3f}s"
        for c in self.clients:
            c.ping_barrier()


def s_client(port, *extra):
    """`openssl s_client` to the TLS port; standard input and output are pipes."""
    return subprocess.Popen([OPENSSL, "s_client", "-connect", f"127.0.0.1:{port}", "-quiet",
                             *extra], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)


def run_client(*args, timeout=20):
    return subprocess.run(CLIENT + [str(a) for a in args], capture_output=True, text=True,
                          timeout=timeout, stdin=subprocess.DEVNULL)


def s_client_hello(pki):
    """The first flight `openssl s_client` sends: its ClientHello, caught by
    a listener of our own."""
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)
        port = listener.getsockname()[1]
        proc = s_client(port, "-CAfile", pki.path("ca.pem"))
        try:
            listener.settimeout(IO_TIMEOUT)
            conn, _ = listener.accept()
            conn.settimeout(IO_TIMEOUT)
            hello = conn.recv(65536)
            conn.close()
        finally:
            proc.kill()
            proc.wait(10)
    assert hello[:1] == b"\x16", hello[:10]  # a handshake record
    return hello


# ---------------------------------------------------------------------------
# The room over TLS


@needs_tls
def test_tls_clients_share_the_room_with_plain_ones(server_factory, pki, tmp_path):
    mport = free_port()
    server = start_tls_server(server_factory, pki, tmp_path, extra=["--metrics", str(mport)])
    plain = server.connect()
    plain.send_frame("before")
    plain.expect_frame("before")
    secure = tls_connect(server, pki)
    assert secure.sock.version() in ("TLSv1.2", "TLSv1.3")
    secure.expect_frame("before")  # the history
    secure.ping_barrier()
    plain.send_frame("from plain")
    plain.expect_frame("from plain")
    secure.expect_frame("from plain")
    big = bytes(range(256)).replace(b"\0", b"x") * 400  # 102400 bytes, several records
    secure.send_frame(big)
    plain.expect_frame(big)
    secure.expect_frame(big)
    secure.ping_barrier()
    plain.ping_barrier()
    # Each counted under the listener it came in on.
    text = scrape(mport)
    assert metric(text, 'tovrel_clients{kind="tcp"}') == 1
    assert metric(text, 'tovrel_clients{kind="tls"}') == 1


@needs_tls
def test_many_tls_readers_get_every_byte_of_a_burst(server_factory, pki, tmp_path):
    server = start_tls_server(server_factory, pki, tmp_path)
    readers = [tls_connect(server, pki) for _ in range(20)]
    # Accepted is not yet in the room: the server ends its side of the
    # handshake in a later turn. An answered "@PING" says it has.
    for r in readers:
        r.ping_barrier()
    sender = server.connect()
    messages = [bytes([65 + i % 26]) * 4096 + str(i).encode() for i in range(300)]
    sender.send_raw(b"".join(frame(m) for m in messages))
    for r in readers + [sender]:
        for m in messages:
            r.expect_frame(m, timeout=30)
        r.ping_barrier()
    assert server.count(DISCONNECTED) == 0


@needs_tls
def test_idle_tls_clients_count_in_the_memory_budget(server_factory, pki, tmp_path):
    """What OpenSSL holds for each TLS client counts in --max-memory: idle
    clients, whose own buffers are empty, fill a small budget, and the
    budget makes room by dropping some of them."""
    limit = 1 << 20
    mport = free_port()
    server = start_tls_server(server_factory, pki, tmp_path,
                              extra=["--max-memory", str(limit), "--metrics", str(mport)])
    # Each TLS connection's state is several KiB: this many overfill the budget.
    for _ in range(limit // 4096):
        if server.count("Memory budget exceeded") > 0:
            break
        try:
            tls_connect(server, pki).ping_barrier()
        except (OSError, AssertionError):
            break  # dropped for the budget in its handshake
    server.wait_line("Memory budget exceeded")
    text = scrape(mport)
    assert (metric(text, "tovrel_memory_budget_used_bytes") <=
            metric(text, "tovrel_memory_budget_bytes") == limit)
    assert metric(text, 'tovrel_disconnections_total{reason="memory_budget"}') >= 1
    server.connect().ping_barrier()


@needs_tls
def test_tls_1_2_is_served_and_older_versions_refused(server_factory, pki, tmp_path):
    server = start_tls_server(server_factory, pki, tmp_path)
    twelve = tls_connect(server, pki, maximum=ssl.TLSVersion.TLSv1_2)
    assert twelve.sock.version() == "TLSv1.2"
    twelve.ping_barrier()
    old = s_client(server.tls_port, "-tls1_1", "-cipher", "DEFAULT@SECLEVEL=0")
    _, err = old.communicate(timeout=IO_TIMEOUT)
    assert old.returncode != 0, err
    server.wait_line("TLS handshake failed: unsupported protocol")
    twelve.ping_barrier()


@needs_tls
def test_openssl_s_client_pings_and_receives_relayed_messages(server_factory, pki, tmp_path):
    server = start_tls_server(server_factory, pki, tmp_path)
    proc = s_client(server.tls_port, "-CAfile", pki.path("ca.pem"), "-verify_return_error")
    try:
        server.wait_count(NEW_CLIENT, 1)
        proc.stdin.write(frame("@PING"))
        proc.stdin.flush()
        server.wait_line("@PING")
        plain = server.connect()
        plain.send_frame("to everyone")
        wanted = frame("@PING") + frame("to everyone")
        got = b""
        deadline = time.monotonic() + IO_TIMEOUT
        while len(got) < len(wanted) and time.monotonic() < deadline:
            chunk = os.read(proc.stdout.fileno(), 65536)
            if not chunk:
                break
            got += chunk
        assert got == wanted
    finally:
        proc.kill()
        proc.wait(10)


# ---------------------------------------------------------------------------
# Client certificates


@needs_tls
def test_client_certificates_are_required_with_tls_ca(server_factory, pki, tmp_path):
    server = start_tls_server(server_factory, pki, tmp_path, with_ca=True)
    ca = pki.path("ca.pem")
    honest_plain = server.connect()
    honest = tls_connect(server, pki, cert="client")
    pingers_drops = 0
    refusals = [("expired", "TLS client certificate refused: certificate has expired"),
                ("selfsigned", "TLS client certificate refused: self-signed certificate"),
                ("foreign",
                 "TLS client certificate refused: unable to get local issuer certificate")]
    for name, line in refusals:
        before = server.count(line)
        proc = s_client(server.tls_port, "-CAfile", ca, "-cert", pki.path(name + ".pem"),
                        "-key", pki.path(name + ".key"))
        proc.stdin.write(frame("@PING"))
        proc.stdin.flush()
        out, _ = proc.communicate(timeout=IO_TIMEOUT)
        assert out == b""  # never a byte of the room
        server.wait_count(line, before + 1)
        honest.ping_barrier()
        honest_plain.ping_barrier()
        pingers_drops += 1
    # No certificate at all.
    proc = s_client(server.tls_port, "-CAfile", ca)
    proc.stdin.write(frame("@PING"))
    proc.stdin.flush()
    out, _ = proc.communicate(timeout=IO_TIMEOUT)
    assert out == b""
    server.wait_line("TLS handshake failed: peer did not return a certificate")
    pingers_drops += 1
    server.wait_count(DISCONNECTED, pingers_drops)
    honest.ping_barrier()
    honest_plain.ping_barrier()
    assert server.count(DISCONNECTED) == pingers_drops
    # A good certificate through s_client works.
    good = s_client(server.tls_port, "-CAfile", ca, "-cert", pki.path("client.pem"), "-key",
                    pki.path("client.key"))
    try:
        good.stdin.write(frame("@PING"))
        good.stdin.flush()
        assert os.read(good.stdout.fileno(), 9) == frame("@PING")
    finally:
        good.kill()
        good.wait(10)


@needs_tls
@needs_client
def test_tovrel_client_with_and_without_a_good_client_certificate(server_factory, pki,
                                                                  tmp_path):
    server = start_tls_server(server_factory, pki, tmp_path, with_ca=True)
    honest = tls_connect(server, pki, cert="client")
    ca = pki.path("ca.pem")
    ok = run_client("--tls", "--ca", ca, "--cert", pki.path("client.pem"), "--key",
                    pki.path("client.key"), "--ping", "2", "--interval", "50", server.tls_port)
    assert ok.returncode == 0, ok.stderr
    assert "2 received" in ok.stdout
    for name in ("expired", "selfsigned", "foreign"):
        bad = run_client("--tls", "--ca", ca, "--cert", pki.path(name + ".pem"), "--key",
                         pki.path(name + ".key"), "--ping", "1", server.tls_port)
        assert bad.returncode == 1, (name, bad.stdout, bad.stderr)
        assert "TLS" in bad.stderr, bad.stderr
    none = run_client("--tls", "--ca", ca, "--ping", "1", server.tls_port)
    assert none.returncode == 1, none.stderr
    server.wait_count("TLS client certificate refused: certificate has expired", 1)
    server.wait_count("TLS handshake failed: peer did not return a certificate", 1)
    # The client checks the server too: another CA does not vouch for it.
    distrust = run_client("--tls", "--ca", pki.path("otherca.pem"), "--cert",
                          pki.path("client.pem"), "--key", pki.path("client.key"), "--ping", "1",
                          server.tls_port)
    assert distrust.returncode == 1
    assert "server certificate not trusted" in distrust.stderr
    honest.ping_barrier()


@needs_tls
def test_an_emptied_client_ca_file_is_refused_and_certificates_stay_required(
        server_factory, pki, tmp_path):
    server = start_tls_server(server_factory, pki, tmp_path, with_ca=True)
    honest = tls_connect(server, pki, cert="client")
    honest.ping_barrier()
    refused_without_certificate(server, pki)
    server.ca_file.write_bytes(b"")
    refusal = ("TLS certificate not reloaded: no CA certificate in the --tls-ca file; "
               "the previous one stays in use")
    server.wait_line(refusal, RELOAD_WAIT)
    refused_without_certificate(server, pki)
    late = tls_connect(server, pki, cert="client")  # the CA set in use still vouches for it
    late.ping_barrier()
    honest.ping_barrier()
    assert server.count(refusal) == 1
    assert server.count("TLS certificate reloaded") == 0


@needs_tls
@needs_wss
def test_clients_of_a_client_ca_taken_out_are_dropped_over_tls_and_wss(server_factory, pki,
                                                                        tmp_path):
    wss_port = free_port()
    server = start_tls_server(server_factory, pki, tmp_path, with_ca=True, cas=("ca", "otherca"),
                              extra=["--wss-port", str(wss_port)])
    server.wss_port = wss_port
    server.wait_line(f"WebSocket clients over TLS at port {wss_port}")
    plain = server.connect()
    kept = [tls_connect(server, pki, cert="client"), wss_connect(server, pki, cert="client")]
    dropped = [tls_connect(server, pki, cert="foreign"), wss_connect(server, pki, cert="foreign")]
    for c in kept + dropped:
        c.ping_barrier()
    # One more of the CA taken out, accepted before the change, ends its
    # handshake after it, against the set it began with.
    late = socket.create_connection(("127.0.0.1", server.tls_port), timeout=IO_TIMEOUT)
    server.wait_count(NEW_CLIENT, 6)
    # Whole, by a rename: a look never sees half of it.
    shutil.copy(pki.path("ca.pem"), tmp_path / "next-ca.pem")
    os.replace(tmp_path / "next-ca.pem", server.ca_file)
    server.wait_line("TLS certificate reloaded", RELOAD_WAIT)  # one set for both ports
    late = client_context(pki, "foreign").wrap_socket(late, server_hostname="localhost")
    dropped.append(Client.__new__(Client))
    dropped[-1].sock, dropped[-1].pending = late, b""
    line = "Certificate no longer accepted"
    server.wait_count(line, 3)
    for c in dropped:
        wait_dropped(c)
    server.wait_count(DISCONNECTED, 3)
    plain.send_frame("after")
    plain.expect_frame("after")
    kept[0].expect_frame("after")
    assert kept[1].recv_text() == "after"
    for c in kept + [plain]:
        c.ping_barrier()
    assert server.count(line) == 3
    assert server.count(DISCONNECTED) == 3
    assert server.count("TLS certificate reloaded") == 1


# ---------------------------------------------------------------------------
# Bad input on the TLS port


@needs_tls
def test_plaintext_to_the_tls_port_is_closed(server_factory, pki, tmp_path):
    server = start_tls_server(server_factory, pki, tmp_path)
    pingers = HonestPingers(server, pki)
    stranger = Client(server.tls_port)
    stranger.send_frame("@PING")
    data = stranger.wait_closed()
    assert b"@PING" not in data
    server.wait_line("TLS handshake failed: wrong version number")
    if CLIENT:
        mistaken = run_client("--ping", "1", "--timeout", "3000", server.tls_port)
        assert mistaken.returncode == 1
    server.wait_count(DISCONNECTED, 2 if CLIENT else 1)
    pingers.check()
    assert server.count(DISCONNECTED) == (2 if CLIENT else 1)


@needs_tls
def test_handshakes_stopped_halfway_end_after_ten_seconds(server_factory, pki, tmp_path):
    server = start_tls_server(server_factory, pki, tmp_path)
    pingers = HonestPingers(server, pki)
    # s_client's ClientHello, then nothing; and a Python one, then nothing.
    halfway = []
    for hello in (s_client_hello(pki), None):
        if hello is None:
            incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
            obj = client_context(pki).wrap_bio(incoming, outgoing, server_hostname="localhost")
            with pytest.raises(ssl.SSLWantReadError):
                obj.do_handshake()
            hello = outgoing.read()
        c = Client(server.tls_port)
        c.send_raw(hello)
        head = c.recv_exact(5)
        assert head[:1] == b"\x16", head  # the server answered with its hello
        halfway.append(c)
    started = time.monotonic()
    for c in halfway:
        c.wait_closed(timeout=15)
    waited = time.monotonic() - started
    assert 8.0 < waited < 14.0, waited
    # The lines come through a pipe: the sockets may close before they are read.
    server.wait_count("TIMEOUT", 2)
    server.wait_count(DISCONNECTED, 2)
    pingers.check()
    assert server.count("TIMEOUT") == 2
    assert server.count(DISCONNECTED) == 2


@needs_tls
def test_a_thousand_unfinished_handshakes_cost_honest_clients_nothing(server_factory, pki,
                                                                      tmp_path):
    server = start_tls_server(server_factory, pki, tmp_path)
    pingers = HonestPingers(server, pki)
    hello = s_client_hello(pki)
    attackers = []
    for i in range(1000):
        s = socket.socket()
        s.setblocking(False)
        s.connect_ex(("127.0.0.1", server.tls_port))
        attackers.append(s)
    time.sleep(0.5)
    for i, s in enumerate(attackers):
        if i % 2 == 0:
            try:
                s.send(hello)  # half of them begin, none finishes
            except OSError:
                pass
    # One accept a pass: 1000 take 20 s to come in, each has 10 s.
    server.wait_count("TIMEOUT", 1000, timeout=60)
    server.wait_count(DISCONNECTED, 1000, timeout=10)
    pingers.check()
    assert server.count(DISCONNECTED) == 1000
    for s in attackers:
        s.close()
    # A new TLS client is served at once again.
    late = tls_connect(server, pki)
    late.ping_barrier()


# ---------------------------------------------------------------------------
# Certificate rotation


@needs_tls
def test_certificate_replaced_by_garbage_then_by_a_new_pair(server_factory, pki, tmp_path):
    server = start_tls_server(server_factory, pki, tmp_path)
    pingers = HonestPingers(server, pki)
    old = der_of(pki.path("server.pem"))
    assert peer_certificate(server, pki) == old
    server.cert_file.write_bytes(b"-----BEGIN CERTIFICATE-----\ngarbage\n")
    server.wait_for(lambda: any(l.startswith("TLS certificate not reloaded: ")
                                for l in server.lines()), RELOAD_WAIT, "the refusal")
    assert peer_certificate(server, pki) == old
    # A key that does not belong to the certificate is refused too.
    shutil.copy(pki.path("server.pem"), server.cert_file)
    shutil.copy(pki.path("server2.key"), server.key_file)
    server.wait_for(lambda: any("does not match" in l for l in server.lines()), RELOAD_WAIT,
                    "the mismatch")
    assert peer_certificate(server, pki) == old
    shutil.copy(pki.path("server2.pem"), server.cert_file)
    server.wait_line("TLS certificate reloaded", RELOAD_WAIT)
    assert peer_certificate(server, pki) == der_of(pki.path("server2.pem"))
    pingers.check()  # the TLS pinger kept its session through all of it
    assert server.count("TLS certificate reloaded") == 1
    server.wait_count(DISCONNECTED, 4)  # the four looks at the certificate
    assert server.count(DISCONNECTED) == 4


# ---------------------------------------------------------------------------
# Start-up


@needs_tls
def test_start_up_refuses_what_cannot_be_loaded(pki, tmp_path):
    garbage = tmp_path / "garbage.pem"
    garbage.write_text("not a certificate\n")
    empty = tmp_path / "empty.pem"
    empty.write_text("")
    cases = [
        (["--tls-cert", pki.path("server.pem")], "--tls-port, --tls-cert and --tls-key go together"),
        (["--tls-port", "70000", "--tls-cert", pki.path("server.pem"), "--tls-key",
          pki.path("server.key")], "--tls-port: expected a port from 1 to 65535"),
        (["--tls-port", str(free_port()), "--tls-cert", str(tmp_path / "missing.pem"),
          "--tls-key", pki.path("server.key")], "cannot read the --tls-cert file"),
        (["--tls-port", str(free_port()), "--tls-cert", str(garbage), "--tls-key",
          pki.path("server.key")], "no certificate in the --tls-cert file"),
        (["--tls-port", str(free_port()), "--tls-cert", pki.path("server.pem"), "--tls-key",
          pki.path("client.key")], "does not match"),
        (["--tls-port", str(free_port()), "--tls-cert", pki.path("server.pem"), "--tls-key",
          pki.path("server.key"), "--tls-ca", str(garbage)], "no CA certificate"),
        (["--tls-port", str(free_port()), "--tls-cert", pki.path("server.pem"), "--tls-key",
          pki.path("server.key"), "--tls-ca", str(empty)], "no CA certificate"),
        (["--tls-port", str(free_port()), "--tls-cert", pki.path("server.pem"), "--tls-key",
          pki.path("server.key"), "--tls-ca", pki.path("client.key")], "no CA certificate"),
    ]
    for extra, why in cases:
        rc, out, err = run_once([str(free_port())] + extra)
        assert rc == 1, (extra, out, err)
        assert why in err, (extra, err)
        if "--tls-ca" in extra:
            assert len(err.splitlines()) == 1, (extra, err)  # no usage text: the file is wrong
        assert "Server is open" not in out


@pytest.mark.skipif(HAS_TLS, reason="this build has TLS")
def test_a_build_without_tls_refuses_the_tls_port():
    rc, out, err = run_once([str(free_port()), "--tls-port", str(free_port()), "--tls-cert",
                             "c.pem", "--tls-key", "k.pem"])
    assert rc == 1
    assert "tovrel: this build has no TLS support (--tls-port)\n" in err
    assert "Server is open" not in out


@needs_tls
@needs_client
def test_tovrel_client_sends_and_listens_over_tls(server_factory, pki, tmp_path):
    server = start_tls_server(server_factory, pki, tmp_path)
    plain = server.connect()
    sent = run_client("--tls", "--ca", pki.path("ca.pem"), "--host", "localhost",
                      server.tls_port, "--send", "hello over tls", "--wait", "300")
    assert sent.returncode == 0, sent.stderr
    assert "hello over tls" in sent.stdout
    plain.expect_frame("hello over tls")
    untrusted = run_client("--tls", "--ping", "1", server.tls_port)
    assert untrusted.returncode == 1
    assert "server certificate not trusted" in untrusted.stderr
