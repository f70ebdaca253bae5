"""--token-file: "@AUTH <token>" goes out before anything else."""

from conftest import SERVER, TIMEOUT, ScriptedServer, Server, frame, run_client


class TokenServer(Server):
    """The real server, started with a token file."""

    def __init__(self, tokens):
        super(Server, self).__init__([SERVER], args=["--token-file", str(tokens), "{port}"],
                                     merge_stderr=True)
        assert self.wait_ready(TIMEOUT), f"server did not start: {self.lines}"


def test_the_token_is_the_first_message(tmp_path):
    tokens = tmp_path / "tokens"
    tokens.write_text("# mine\n  s3cret  \nspare\n")
    scripted = ScriptedServer(hold=1.0)
    rc, _, err = run_client("--token-file", tokens, scripted.port, "--send", "hello")
    scripted.close()
    assert rc == 0, err
    assert scripted.received == frame(b"@AUTH s3cret") + frame(b"hello")


def test_a_server_with_tokens_lets_the_client_in(tmp_path):
    tokens = tmp_path / "tokens"
    tokens.write_text("s3cret\n")
    server = TokenServer(tokens)
    try:
        rc, out, err = run_client("--token-file", tokens, "--ping", server.port)
        assert rc == 0, err
        assert "1 sent, 1 received" in out.decode()
        # Without the token the server ends the connection.
        rc, out, err = run_client("--ping", server.port)
        assert rc == 1
        server.wait_console("No @AUTH first")
    finally:
        server.stop()


def test_a_missing_or_empty_token_file_is_an_error(tmp_path):
    rc, _, err = run_client("--token-file", tmp_path / "none", "--ping", 5000)
    assert rc == 1 and "cannot read the token file" in err, err
    (tmp_path / "empty").write_text("\n# no token\n")
    rc, _, err = run_client("--token-file", tmp_path / "empty", "--ping", 5000)
    assert rc == 1 and "holds no token" in err, err
