"""Who may connect: tokens, address rules, bounds at accept, the config file."""

import os
import re
import shlex
import socket
import tempfile
import time

import pytest

from conftest import (DISCONNECTED, IO_TIMEOUT, IS_WINE, NEW_CLIENT, SERVER_COMMAND,
                      STARTUP_TIMEOUT, Client, free_port, metric, run_once, run_to_end, scrape,
                      server_env, stderr_text)

REFUSED = re.compile(r"^Connections refused \(([a-z -]+)\): (\d+)$", re.M)


def refused(server, reason):
    """Refusals reported for `reason` so far, summed over the report lines."""
    return sum(int(n) for why, n in REFUSED.findall(server.stdout) if why == reason)


def client_from(port, source, timeout=IO_TIMEOUT):
    """A client whose connection comes from the loopback address `source`."""
    c = Client.__new__(Client)
    c.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    c.sock.bind((source, 0))
    c.sock.settimeout(timeout)
    c.sock.connect(("127.0.0.1", port))
    c.pending = b""
    return c


def assert_refused_at_accept(port, source):
    """A connection from `source` is closed by the server before any byte."""
    try:
        refused = client_from(port, source)
    except ConnectionResetError:
        # The server's reset came before connect() returned, as it may on a
        # busy machine: the handshake was done, then refused.
        return
    assert refused.wait_closed() == b"", source


def write_atomically(path, text):
    tmp = str(path) + ".new"
    with open(tmp, "w") as f:
        f.write(text)
    os.replace(tmp, path)


def authed(server, token):
    c = server.connect()
    c.send_frame(f"@AUTH {token}")
    return c


# ---------------------------------------------------------------------------
# Tokens


def test_token_file_missing_or_empty_at_start_is_a_start_up_error(tmp_path):
    missing = tmp_path / "nope"
    rc, out, err = run_once(["--token-file", str(missing), str(free_port())])
    assert rc == 1
    assert "token file" in err and "cannot be opened for reading" in err, err
    assert "Server is open" not in out
    empty = tmp_path / "empty"
    empty.write_text("# nothing yet\n\n")
    rc, out, err = run_once(["--token-file", str(empty), str(free_port())])
    assert rc == 1
    assert "holds no token" in err, err


def test_nothing_before_the_token_and_a_wrong_one_ends_the_client(server_factory, tmp_path):
    tokens = tmp_path / "tokens"
    tokens.write_text("# operators\nalpha-123\n  beta-456  \r\n")
    server = server_factory(args=["--token-file", str(tokens), "{port}"])
    a = authed(server, "alpha-123")
    a.send_frame("history")
    a.expect_frame("history")

    waiting = server.connect()
    waiting.expect_nothing()  # not even the history
    a.send_frame("while waiting")
    a.expect_frame("while waiting")
    waiting.expect_nothing()

    wrong = server.connect()
    wrong.send_frame("@AUTH alpha-124")
    wrong.send_frame("sneaked")
    assert wrong.wait_closed() == b""
    server.wait_line("Wrong token")
    pinger = server.connect()
    pinger.send_frame("@PING")
    assert pinger.wait_closed() == b""
    server.wait_line("No @AUTH first")
    a.ping_barrier()  # "sneaked" never reached the room

    waiting.send_frame("@AUTH beta-456")
    waiting.expect_frame("history")
    waiting.expect_frame("while waiting")
    waiting.ping_barrier()
    for secret in ("alpha-12", "beta-456"):
        assert secret not in server.stdout + server.stderr


def test_a_changed_token_file_takes_effect_and_a_missing_one_keeps_the_last(
        server_factory, tmp_path):
    tokens = tmp_path / "tokens"
    tokens.write_text("old\nkeep\n")
    server = server_factory(args=["--token-file", str(tokens), "{port}"])
    kept = authed(server, "keep")
    kept.ping_barrier()
    revoked = authed(server, "old")
    revoked.ping_barrier()
    write_atomically(tokens, "new\nkeep\n")
    server.wait_line(f"Token file {tokens} read again", timeout=5)
    # Revoked: its client is dropped, and it lets nobody in any more.
    assert revoked.wait_closed() == b""
    server.wait_line("Token revoked")
    c = authed(server, "old")
    assert c.wait_closed() == b""
    authed(server, "new").ping_barrier()

    tokens.unlink()
    line = f"Token file {tokens} is missing; the last tokens read stay in force"
    server.wait_line(line, timeout=5)
    authed(server, "new").ping_barrier()
    tokens.write_text("")
    time.sleep(2.5)
    authed(server, "new").ping_barrier()
    assert server.count(line) == 1
    kept.ping_barrier()  # a client whose token stayed keeps its place


def test_a_listen_only_client_gets_everything_and_says_nothing(server_factory, tmp_path):
    tokens = tmp_path / "tokens"
    tokens.write_text("speaker\naudience listen\n")
    mport = free_port()
    server = server_factory(args=["--token-file", str(tokens), "--metrics", str(mport), "{port}"])
    speaker = authed(server, "speaker")
    speaker.send_frame("before")
    speaker.expect_frame("before")
    listener = authed(server, "audience")
    listener.expect_frame("before")  # the history
    speaker.send_frame("live")
    speaker.expect_frame("live")
    listener.expect_frame("live")

    said = ["mine", "@AUTH speaker", "more of mine"]
    for text in said:
        listener.send_frame(text)
        listener.expect_frame("@DENIED")
    listener.send_frame("@PING")
    listener.expect_frame("@PING")
    speaker.ping_barrier()  # nothing the listener said reached the room
    assert metric(scrape(mport), "tovrel_denied_messages_total") == len(said)

    # Its rights follow the file: made a full token, it speaks.
    write_atomically(tokens, "speaker\naudience\n")
    server.wait_line(f"Token file {tokens} read again", timeout=5)
    listener.send_frame("now heard")
    listener.expect_frame("now heard")
    speaker.expect_frame("now heard")


# ---------------------------------------------------------------------------
# Addresses and bounds


def test_deny_wins_over_allow_and_a_refused_connection_costs_no_client(server_factory):
    server = server_factory(args=["--allow", "127.0.0.0/8", "--deny", "127.0.0.2",
                                  "--max-clients", "1", "{port}"])
    assert_refused_at_accept(server.port, "127.0.0.2")
    server.wait_line("Connections refused (address not allowed): 1")
    assert server.count(NEW_CLIENT) == 0
    # The refused one took no place: the one client allowed still gets in.
    c = client_from(server.port, "127.0.0.3")
    c.ping_barrier()
    server.wait_line(NEW_CLIENT)  # the line may still be in the pipe
    assert server.count(NEW_CLIENT) == 1


def assert_admits(server, admitted=(), refused=()):
    """Connections from each `refused` loopback address are closed at accept;
    those from each `admitted` one are served."""
    for source in refused:
        assert_refused_at_accept(server.port, source)
    for source in admitted:
        client_from(server.port, source).ping_barrier()


@pytest.mark.parametrize("args, admitted, refused", [
    (["--deny", "127.0.0.2", "{port}"], ["127.0.0.1"], ["127.0.0.2"]),
    (["--allow", "127.0.0.1", "--allow", "127.0.0.3", "{port}"], ["127.0.0.1", "127.0.0.3"],
     ["127.0.0.2"]),
    (["{port}", "--deny", "127.0.0.2", "--deny", "127.0.0.3"], ["127.0.0.1"],
     ["127.0.0.2", "127.0.0.3"]),
    # After the port, further ranges may follow one use, as they always could.
    (["{port}", "--deny", "127.0.0.2", "127.0.0.3"], ["127.0.0.1"], ["127.0.0.2", "127.0.0.3"]),
])
def test_address_rules_take_one_range_per_use_before_or_after_the_port(server_factory, args,
                                                                       admitted, refused):
    assert_admits(server_factory(args=args), admitted, refused)


def test_ranges_may_follow_one_use_when_the_config_file_names_the_port(server_factory, tmp_path):
    port = free_port()
    config = tmp_path / "tovrel.toml"
    config.write_text(f"port = {port}\n")
    server = server_factory(port=port, args=["--config", str(config), "--deny", "127.0.0.2",
                                             "127.0.0.3"])
    assert_admits(server, ["127.0.0.1"], ["127.0.0.2", "127.0.0.3"])


def test_max_clients_closes_at_accept_and_frees_a_place_when_one_leaves(server_factory):
    mport = free_port()
    server = server_factory(args=["--max-clients", "2", "--metrics", str(mport), "{port}"])
    a = server.connect()
    b = server.connect()
    third = Client(server.port)
    assert third.wait_closed() == b""
    server.wait_line("Connections refused (max-clients): 1")
    # The counter agrees with the console, and the refused one is no client.
    text = scrape(mport)
    assert metric(text, 'tovrel_connections_refused_total{reason="max_clients"}') == 1
    assert metric(text, 'tovrel_clients{kind="tcp"}') == 2
    a.close()
    server.wait_line(DISCONNECTED)
    server.connect().ping_barrier()
    b.ping_barrier()


def test_5000_connections_from_one_address_leave_everyone_else_alone(server_factory):
    server = server_factory(args=["--max-per-address", "100", "--accepts-per-pass", "10",
                                  "{port}"])
    honest = client_from(server.port, "127.0.0.2")
    honest.ping_barrier()
    other = client_from(server.port, "127.0.0.3")
    other.ping_barrier()

    flood = []
    worst = 0.0
    try:
        for i in range(5000):
            s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            s.setblocking(False)
            s.bind(("127.0.0.1", 0))
            s.connect_ex(("127.0.0.1", server.port))
            flood.append(s)
            if i % 500 == 499:
                start = time.monotonic()
                honest.ping_barrier()
                worst = max(worst, time.monotonic() - start)
        server.wait_for(lambda: refused(server, "max-per-address") >= 4900, timeout=60,
                        what="4900 refusals")
        start = time.monotonic()
        honest.ping_barrier()
        worst = max(worst, time.monotonic() - start)
        # The flood's first hundred are served; the rest were refused at accept.
        assert server.count(NEW_CLIENT) == 102
        assert refused(server, "max-per-address") == 4900
        lines = len(REFUSED.findall(server.stdout))
        assert lines < 100, f"{lines} report lines"
        other.ping_barrier()  # nobody in the room was dropped
        print(f"slowest ping round trip during the flood: {worst * 1000:.1f} ms")
        assert worst < 1.0, f"ping round trip took {worst:.3f} s during the flood"
    finally:
        for s in flood:
            s.close()


# ---------------------------------------------------------------------------
# The configuration file


def test_config_file_sets_options_and_the_command_line_wins(server_factory, tmp_path):
    tokens = tmp_path / "tokens"
    tokens.write_text("t0k\n")
    config = tmp_path / "tovrel.toml"
    config.write_text(f'token-file = "{tokens.as_posix()}"\nmax-clients = 1\n'
                      'allow = ["127.0.0.0/8"]\n')
    server = server_factory(args=["--config", str(config), "--max-clients", "2", "{port}"])
    a = authed(server, "t0k")
    a.ping_barrier()
    b = authed(server, "t0k")  # a second place, from the command line
    b.ping_barrier()
    third = Client(server.port)
    assert third.wait_closed() == b""
    server.wait_line("Connections refused (max-clients): 1")


def test_config_file_may_name_the_port_and_a_wrong_key_is_refused(server_factory, tmp_path):
    port = free_port()
    config = tmp_path / "tovrel.ini"
    config.write_text(f"port = {port}\nmax-per-address = 1\n")
    server = server_factory(port=port, args=["--config", str(config)])
    server.connect().ping_barrier()
    extra = Client(server.port)
    assert extra.wait_closed() == b""

    bad = tmp_path / "bad.ini"
    bad.write_text("max-clientz = 3\n")
    rc, _, err = run_once(["--config", str(bad), str(free_port())])
    assert rc == 1 and "max-clientz" in err, err
    # Named by the environment, the file is named in the line.
    rc, _, err = run_once([str(free_port())], env={"TOVREL_CONFIG": str(bad)})
    assert rc == 1 and err.startswith(f"tovrel: config file {bad}: ") and "max-clientz" in err, err
    rc, _, err = run_once(["--config", str(tmp_path / "missing.ini"), str(free_port())])
    assert rc == 1 and "missing.ini" in err, err


def test_a_config_named_by_the_environment_is_read_only_if_it_exists(server_factory, tmp_path):
    from conftest import server_env
    server = server_factory(env=server_env({"TOVREL_CONFIG": str(tmp_path / "none.toml")}))
    server.connect().ping_barrier()
    config = tmp_path / "here.toml"
    config.write_text("max-clients = 1\n")
    server2 = server_factory(env=server_env({"TOVREL_CONFIG": str(config)}))
    server2.connect().ping_barrier()
    extra = Client(server2.port)
    assert extra.wait_closed() == b""


@pytest.mark.parametrize("through", ["environment", "--config"])
def test_deny_entries_from_the_config_file_and_the_command_line_apply_together(
        server_factory, tmp_path, through):
    config = tmp_path / "tovrel.toml"
    config.write_text('deny = ["127.0.0.2"]\nallow = ["127.0.0.0/8"]\n')
    # As the service starts an instance: TOVREL_OPTIONS, then the port.
    options = shlex.split("--deny 127.0.0.3 --allow 127.0.0.0/30")
    if through == "environment":
        server = server_factory(args=options + ["{port}"],
                                env=server_env({"TOVREL_CONFIG": str(config)}))
    else:
        server = server_factory(args=["{port}", "--config", str(config)] + options)
    # Both deny lists hold; the command line's --allow replaces the file's.
    assert_admits(server, admitted=["127.0.0.1"], refused=["127.0.0.2", "127.0.0.3", "127.0.0.4"])


def run_unprivileged(args, env):
    """Runs the server to completion as the user nobody: (rc, out, err)."""
    def drop():
        os.setgroups([])
        os.setgid(65534)
        os.setuid(65534)
    rc, out, err = run_to_end(SERVER_COMMAND + args, env=server_env(env), preexec_fn=drop,
                              timeout=STARTUP_TIMEOUT + 10)
    return rc, out.decode("latin-1"), stderr_text(err)


def test_a_config_file_that_exists_but_cannot_be_read_stops_the_start(tmp_path):
    port = str(free_port())
    # A directory stands for a file that cannot be read, for root as well.
    folder = tmp_path / "tovrel.toml"
    folder.mkdir()
    for args, env in (([port], {"TOVREL_CONFIG": str(folder)}), (["--config", str(folder), port], {})):
        rc, out, err = run_once(args, env=env)
        assert (rc, out) == (1, ""), (args, env, err)
        assert err.startswith(f"tovrel: config file {folder} cannot be read"), err
        assert err.count("\n") == 1, err

    # A file without read permission, which root reads all the same: as root
    # the server runs as nobody, in a folder that nobody may enter.
    if IS_WINE or os.name != "posix":
        return
    shared = tempfile.mkdtemp()
    locked = os.path.join(shared, "tovrel.toml")
    try:
        os.chmod(shared, 0o755)
        with open(locked, "w") as f:
            f.write('token-file = "/nonexistent"\n')
        os.chmod(locked, 0)
        env = {"TOVREL_CONFIG": locked}
        rc, out, err = run_unprivileged([port], env) if os.geteuid() == 0 else run_once([port], env=env)
        assert (rc, out) == (1, ""), err
        assert err.startswith(f"tovrel: config file {locked} cannot be read"), err
    finally:
        if os.path.exists(locked):
            os.unlink(locked)
        os.rmdir(shared)
