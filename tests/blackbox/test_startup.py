"""Start-up: command line, messages, exit codes, console behaviour, stopping."""

import os
import signal
import socket

import pytest

from conftest import (DISCONNECTED, IS_WINE, NEW_CLIENT, assert_directory_line,
                      command_with_program, expected_directory_line, free_port, posix_only,
                      program_file, run_once)


def test_no_argument_prints_usage():
    rc, out, err = run_once([])
    assert rc == 1
    assert err == "Usage: tovrel <port>\n"
    assert out == ""


@pytest.mark.parametrize("argument", ["0", "abc", "70000", "65536", "-1", "-65535", "", " ", "+0", "0x50", "99999999999"])
def test_invalid_port(argument):
    rc, out, err = run_once([argument])
    assert rc == 1
    assert err == "Invalid port!\n"
    lines = out.split("\n")
    assert len(lines) == 2 and lines[1] == "", out  # exactly the directory line
    assert_directory_line(lines[0], program_file())


def test_port_in_use():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as other:
        other.bind(("0.0.0.0", 0))
        other.listen(1)
        port = other.getsockname()[1]
        rc, out, err = run_once([str(port)])
    assert rc == 1
    assert err == f"Can't open serevr at port {port}!\n"
    lines = out.split("\n")
    assert len(lines) == 2 and lines[1] == "", out
    assert_directory_line(lines[0], program_file())


def test_startup_lines_and_clean_stop(server):
    """Full console output of a short session, stopped with Ctrl+C."""
    client = server.connect()
    client.ping_barrier()
    server.wait_line("@PING")
    client.close()
    server.wait_line(DISCONNECTED)
    rc = server.stop(signal.SIGINT)
    assert rc == 0
    lines = server.lines()
    assert_directory_line(lines[0], program_file())
    assert lines[1:] == [f"Server is open at port {server.port}", NEW_CLIENT, "@PING", DISCONNECTED]
    if not IS_WINE:  # byte for byte
        assert server.stdout == (expected_directory_line(program_file()) + "\n"
                                 f"Server is open at port {server.port}\n"
                                 "New client connected\n@PING\nDisconnected\n")
    assert server.stderr == ""


def test_console_lines_reach_a_pipe_at_once(server):
    """Each line is readable from the pipe while the server is still running."""
    assert server.is_running()
    assert f"Server is open at port {server.port}" in server.lines()
    server.connect()  # waits for "New client connected" on the pipe
    assert server.is_running()


@pytest.mark.parametrize("argument", [" {port}", "\t {port}", "+{port}", "{port}abc", "{port}.9"])
def test_port_parsing_like_atoi(server_factory, argument):
    """Leading blanks and a sign are accepted, trailing text is ignored."""
    server = server_factory(args=[argument])
    server.connect().ping_barrier()


def test_extra_arguments_ignored(server_factory):
    server = server_factory(args=["{port}", "extra", "arguments"])
    server.connect().ping_barrier()


def test_second_server_on_same_port_fails(server):
    rc, out, err = run_once([str(server.port)])
    assert rc == 1
    assert err == f"Can't open serevr at port {server.port}!\n"


def test_sigint_with_two_clients(server):
    a = server.connect()
    b = server.connect()
    rc = server.stop(signal.SIGINT)
    assert rc == 0
    assert server.lines()[-2:] == [DISCONNECTED, DISCONNECTED]
    assert server.count(DISCONNECTED) == 2
    assert a.wait_closed() == b""
    assert b.wait_closed() == b""
    assert server.stderr == ""


@posix_only
@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGHUP], ids=["SIGTERM", "SIGHUP"])
def test_stop_signal_with_two_clients(server, sig):
    a = server.connect()
    b = server.connect()
    rc = server.stop(sig)
    assert rc == 0
    assert server.count(DISCONNECTED) == 2
    assert a.wait_closed() == b""
    assert b.wait_closed() == b""


def test_stop_without_clients(server):
    assert server.stop(signal.SIGINT) == 0
    assert DISCONNECTED not in server.lines()


def test_port_free_again_after_stop(server_factory):
    """SO_REUSEADDR: a restarted server binds the same port at once, even
    right after closing connections."""
    first = server_factory()
    client = first.connect()
    client.ping_barrier()
    assert first.stop() == 0
    client.wait_closed()
    second = server_factory(port=first.port)
    second.connect().ping_barrier()


# --- program path (issue 2, fault 5) ------------------------------------------------


def make_dir_with_length(base, length):
    """A directory whose path, with a trailing '/', is exactly `length` characters."""
    path = str(base)
    need = length - 1 - len(path)  # characters still to add, each part as "/name"
    assert need >= 2, (path, length)
    while need > 0:
        size = min(200, need - 1)
        if need - (size + 1) == 1:  # never leave room for a lone "/"
            size -= 1
        path = os.path.join(path, "d" * size)
        need -= size + 1
    assert len(path) + 1 == length, (len(path) + 1, length)
    os.makedirs(path, exist_ok=True)
    return path


def link_program(directory, name=None):
    target = os.path.join(directory, name or os.path.basename(program_file()))
    os.symlink(os.path.abspath(program_file()), target)
    return target


@posix_only
def test_program_directory_too_long(tmp_path):
    directory = make_dir_with_length(tmp_path, 256)
    program = link_program(directory)
    rc, out, err = run_once([str(free_port())], command=command_with_program(program))
    assert rc == 1
    assert err == "Program path too long!\n"
    assert out == ""


@posix_only
def test_program_directory_too_long_without_port(tmp_path):
    """The usage check comes first."""
    directory = make_dir_with_length(tmp_path, 300)
    program = link_program(directory)
    rc, out, err = run_once([], command=command_with_program(program))
    assert rc == 1
    assert err == "Usage: tovrel <port>\n"


@posix_only
def test_program_directory_of_255_characters_is_used(server_factory, tmp_path):
    directory = make_dir_with_length(tmp_path, 255)
    program = link_program(directory)
    server = server_factory(command=command_with_program(program))
    assert server.lines()[0] == directory + "/"
    assert len(server.lines()[0]) == 255
    # The fast-command file is found there.
    with open(os.path.join(directory, f"fastcmd{server.port}.txt"), "wb") as f:
        f.write(b"x")
    client = server.connect()
    client.send_frame(b"@FASTCOMMANDS")
    client.expect_frame(b"@FASTCOMMANDS\nx")


@posix_only
def test_long_program_name_in_short_directory(server_factory, tmp_path):
    """argv[0] longer than 255 characters is fine when its directory fits."""
    directory = make_dir_with_length(tmp_path, 100)
    program = link_program(directory, "t" * 250)
    assert len(program) > 300
    server = server_factory(command=command_with_program(program))
    assert server.lines()[0] == directory + "/"


@posix_only
def test_bare_program_name_prints_empty_directory(server_factory, tmp_path):
    """Started through PATH: argv[0] has no separator, the directory line is
    empty and the fast-command file is read from the current directory."""
    bindir = tmp_path / "bin"
    workdir = tmp_path / "work"
    bindir.mkdir()
    workdir.mkdir()
    name = os.path.basename(program_file())
    link_program(str(bindir))
    env = dict(os.environ, PATH=f"{bindir}:{os.environ.get('PATH', '')}")
    server = server_factory(command=command_with_program(name), cwd=str(workdir), env=env)
    assert server.lines()[0] == ""
    (workdir / f"fastcmd{server.port}.txt").write_bytes(b"here")
    (bindir / f"fastcmd{server.port}.txt").write_bytes(b"not here")
    client = server.connect()
    client.send_frame(b"@FASTCOMMANDS")
    client.expect_frame(b"@FASTCOMMANDS\nhere")
