"""Options beside the port: --help, --version, --bind, --max-memory."""

import socket

import pytest

from conftest import IO_TIMEOUT, IS_WINE, StartupError, free_port, run_once


def test_help_and_version_print_to_stdout_and_exit_0():
    rc, out, err = run_once(["--help"])
    assert (rc, err) == (0, "")
    assert out.startswith("Usage: tovrel [OPTIONS] PORT\n")
    for option in ("--bind", "--max-memory", "--redis", "--room", "--metrics", "--version",
                   "fastcmdPORT.txt"):
        assert option in out
    rc, out, err = run_once(["--version"])
    assert (rc, err) == (0, "")
    assert out.startswith("tovrel ") and out.count("\n") == 1


@pytest.mark.parametrize("args, why", [
    (["--max-memory", "12Q", "5000"], "--max-memory"),
    (["--max-memory", "100K", "5000"], "--max-memory"),
    (["5000", "--bind", "localhost"], "--bind"),
    (["5000", "--bind", "1.2.3.256"], "--bind"),
    (["5000", "--redis", "host:0"], "--redis"),
    (["5000", "--redis", "::1"], "--redis: an IPv6 address goes in brackets"),
    (["5000", "--redis", "fe80::1:6379"], "--redis: an IPv6 address goes in brackets"),
    (["5000", "--redis", "[::1"], "--redis"),
    (["5000", "--redis", "[::1]6379"], "--redis"),
    (["5000", "--redis-sentinel", "127.0.0.1:26379"], "--redis-sentinel and --redis-master"),
    (["5000", "--redis-master", "m"], "--redis-sentinel and --redis-master"),
    (["5000", "--redis-sentinel", "127.0.0.1:26379,", "--redis-master", "m"], "--redis-sentinel"),
    (["5000", "--redis-sentinel", "a:1,b:0", "--redis-master", "m"], "--redis-sentinel"),
    (["5000", "--redis", "127.0.0.1", "--redis-sentinel", "a:1", "--redis-master", "m"],
     "--redis-sentinel: either"),
    (["5000", "--metrics", "localhost:9464"], "--metrics"),
    (["5000", "--metrics", "70000"], "--metrics"),
    (["5000", "--metrics", "127.0.0.1:"], "--metrics"),
    (["5000", "--drain-seconds", "0"], "--drain-seconds: expected a number from 1 to 3600"),
    (["--drain-seconds", "3601", "5000"], "--drain-seconds: expected a number from 1 to 3600"),
    (["5000", "--msg-rate", "0"], "--msg-rate: expected a number above 0"),
    (["5000", "--msg-rate", "-1"], "--msg-rate: expected a number above 0"),
    (["5000", "--msg-rate", "1e3"], "--msg-rate: expected a number above 0"),
    (["5000", "--msg-rate", "5", "--msg-burst", ".5"], "--msg-burst: expected a number above 0"),
    (["5000", "--msg-burst", "10"], "--msg-burst needs --msg-rate"),
    # Before the port, a second value is not read as the port.
    (["--allow", "10.0.0.0/8", "10.1.0.0/16", "5000"],
     "--allow: one value a use; give --allow again for 10.1.0.0/16"),
])
def test_bad_option_values_are_refused_before_serving(args, why):
    rc, out, err = run_once(args)
    assert rc == 1 and out == ""
    assert err.startswith(f"tovrel: {why}") and "tovrel --help" in err


@pytest.mark.parametrize("args, option", [
    (["5000", "--max-memroy", "256M"], "--max-memroy"),
    (["--tls-prot", "5001", "5000"], "--tls-prot"),
    (["5000", "--max-memroy=256M"], "--max-memroy"),
])
def test_unknown_options_are_refused_before_serving(args, option):
    rc, out, err = run_once(args)
    assert (rc, out, err) == (1, "", f"tovrel: {option}: unknown option\nTry 'tovrel --help'.\n")


@pytest.mark.parametrize("size", ["8589934592G", "9999999999G", "99999999999999999999999G"])
def test_a_memory_size_past_64_bits_is_refused_as_too_large(size):
    rc, out, err = run_once(["--max-memory", size, "5000"])
    assert (rc, out) == (1, "")
    assert err.startswith("tovrel: --max-memory: too large") and "tovrel --help" in err
    # The largest size that fits is taken: without a port, only the usage follows.
    assert run_once(["--max-memory", "8589934591G"]) == (1, "", "Usage: tovrel <port>\n")


def test_a_metrics_port_that_cannot_be_opened_fails_the_start():
    taken = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    taken.bind(("127.0.0.1", 0))
    taken.listen(1)
    mport = taken.getsockname()[1]
    try:
        rc, out, err = run_once([str(free_port()), "--metrics", str(mport)])
    finally:
        taken.close()
    assert rc == 1 and "Server is open" not in out
    assert err == f"Can't open metrics at 127.0.0.1:{mport}!\n"


def test_options_without_a_port_print_usage():
    rc, out, err = run_once(["--max-memory", "64M"])
    assert (rc, out, err) == (1, "", "Usage: tovrel <port>\n")


def test_bind_serves_that_address_only(server_factory):
    server = server_factory(args=["--bind", "127.0.0.2", "{port}"])
    with socket.create_connection(("127.0.0.2", server.port), timeout=5):
        server.wait_line("New client connected")
    with pytest.raises(OSError):
        socket.create_connection(("127.0.0.1", server.port), timeout=5).close()


def test_options_before_or_after_the_port(server_factory):
    for args in (["--max-memory", "64M", "{port}"], ["{port}", "--max-memory=64M", "extra"]):
        server = server_factory(args=args)
        client = server.connect()
        client.send_frame("hello")
        client.expect_frame("hello")
        client.close()


# Every option that takes a value, as one would give it; "{file}" is a file
# holding a token or one config line, "{free}" a free port.
VALUED_OPTIONS = [
    ["--bind", "127.0.0.1"], ["--max-memory", "64M"], ["--room", "lobby"],
    ["--token-file", "{file}"], ["--config", "{file}"],
    ["--allow", "127.0.0.0/8"], ["--deny", "10.0.0.0/8"],
    ["--allow", "127.0.0.0/8", "--allow", "10.0.0.0/8"], ["--deny", "10.0.0.0/8", "--deny", "10.1.0.0/16"],
    ["--max-clients", "5"], ["--max-per-address", "5"], ["--accepts-per-pass", "2"],
    ["--resume-window", "10"],
    ["--msg-rate", "0.5"], ["--msg-rate", "5", "--msg-burst", "20"],
    ["--metrics", "{free}"], ["--drain-seconds", "5"],
    pytest.param(["--redis", "127.0.0.1:{free}"], marks=pytest.mark.skipif(IS_WINE, reason="no Redis")),
    pytest.param(["--ws-port", "{free}"], marks=pytest.mark.skipif(IS_WINE, reason="no WebSocket")),
    pytest.param(["--ws-port", "{free}", "--ws-origin", "https://a.example"],
                 marks=pytest.mark.skipif(IS_WINE, reason="no WebSocket")),
]


@pytest.mark.parametrize("port_last", [False, True], ids=["port-first", "port-last"])
@pytest.mark.parametrize("option", VALUED_OPTIONS, ids=lambda o: "_".join(o[::2]))
def test_every_option_takes_its_value_before_or_after_the_port(server_factory, tmp_path, option,
                                                               port_last):
    # The file serves as a token file and as a config file alike.
    (tmp_path / "f").write_text("max-clients = 5\n")
    # The server must come up on the port given, whichever side it is on,
    # and serve it. A free port picked for an option may be taken by
    # another program before the server opens it: then with another one.
    for attempt in range(3):
        words = [word.replace("{file}", str(tmp_path / "f")).replace("{free}", str(free_port()))
                 for word in option]
        try:
            server = server_factory(args=words + ["{port}"] if port_last else ["{port}"] + words)
            break
        except StartupError as e:
            if attempt == 2 or "Can't open" not in e.err:
                raise
    server.connect().close()


@pytest.mark.skipif(not IS_WINE, reason="the Windows build is the one without Redis support")
def test_a_build_without_redis_support_refuses_redis():
    rc, out, err = run_once(["5000", "--redis", "127.0.0.1"])
    assert (rc, out) == (1, "")
    assert err == "tovrel: this build has no Redis support (--redis)\n"


@pytest.mark.skipif(not IS_WINE, reason="the Windows build is the one without WebSocket support")
def test_a_build_without_websocket_support_refuses_ws_port():
    rc, out, err = run_once(["5000", "--ws-port", "5080"])
    assert (rc, out) == (1, "")
    assert err == "tovrel: this build has no WebSocket support (--ws-port)\n"
    rc, out, err = run_once(["5000", "--wss-port", "5443", "--tls-cert", "c", "--tls-key", "k"])
    assert (rc, out) == (1, "")
    assert err == "tovrel: this build has no WebSocket or TLS support (--wss-port)\n"


def test_ws_options_are_checked():
    for args, why in ((["5000", "--ws-port", "0"], "--ws-port: expected a port from 1 to 65535"),
                      (["5000", "--ws-port", "x"], "--ws-port: expected a port from 1 to 65535"),
                      (["5000", "--ws-origin", ""],
                       "--ws-origin: expected an origin such as https://example.org"),
                      (["5000", "--wss-port", "5443"], "--wss-port needs --tls-cert and --tls-key"),
                      (["5000", "--wss-port", "0", "--tls-cert", "c", "--tls-key", "k"],
                       "--wss-port: expected a port from 1 to 65535")):
        rc, out, err = run_once(args)
        assert (rc, out) == (1, "")
        assert err == f"tovrel: {why}\nTry 'tovrel --help'.\n"


@pytest.mark.skipif(IS_WINE, reason="the Windows build has no Redis support")
def test_redis_at_a_bracketed_ipv6_address_is_reached_there(server_factory):
    with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as listener:
        listener.bind(("::1", 0))
        listener.listen(1)
        listener.settimeout(IO_TIMEOUT)
        server_factory(args=["{port}", "--redis", f"[::1]:{listener.getsockname()[1]}"])
        peer, _ = listener.accept()
        peer.close()
    # Without a port the address is still taken (port 6379): only the usage follows.
    assert run_once(["--redis", "[::1]"]) == (1, "", "Usage: tovrel <port>\n")
