"""Exit codes, errors on standard error, --help and --version."""

import pytest

from conftest import ScriptedServer, free_port, run_client


def test_refused_connection_exits_1_with_a_message():
    port = free_port()
    rc, out, err = run_client(port, stdin=b"hi\n")
    assert (rc, out) == (1, b"")
    assert f"cannot connect to 127.0.0.1:{port}" in err
    rc, _, err = run_client("--ping", port)
    assert rc == 1 and "cannot connect" in err


def test_unknown_host_exits_1():
    rc, _, err = run_client("--host", "no-such-host.invalid", "--ping", 5000)
    assert rc == 1 and "cannot connect" in err


@pytest.mark.parametrize("args", [
    [], ["0"], ["65536"], ["port"], ["5000", "6000"], ["--bogus", "5000"],
    ["--fast", "--listen", "5000"], ["5000", "--send"], ["--wait", "5", "5000"],
    ["--ping", "0", "5000"],
])
def test_usage_errors_exit_2(args):
    rc, out, err = run_client(*args)
    assert (rc, out) == (2, b"")
    assert err.startswith("tovrel-client: ") and "--help" in err


def test_help_and_version():
    rc, out, _ = run_client("--help")
    assert rc == 0 and out.startswith(b"Usage: tovrel-client") and b"--ping" in out
    rc, out, _ = run_client("--version")
    assert rc == 0 and out.startswith(b"tovrel-client ") and out.endswith(b"\n")


def test_impossible_frame_length_exits_1():
    scripted = ScriptedServer(b"\xff\xff\xff\xff")
    rc, _, err = run_client("--listen", scripted.port)
    scripted.close()
    assert rc == 1 and "impossible length" in err
