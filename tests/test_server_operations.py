"""What an operator relies on while a ThriftServer runs: the bound address, counters and metrics."""
import socket

import pytest

import velvane
from server_support import DEADLINE, connected, stderr_tap, wait_for

IDL = """
exception Nope { 1: string why }
service Ops {
  i32 add(1: i32 a, 2: i32 b),
  string check(1: string word) throws (1: Nope nope),
}
"""


class Nope(Exception):
    pass


def check(word):
    if word == "bad":
        raise Nope("bad word")
    if word == "boom":
        raise ValueError("undeclared")
    return word


@pytest.fixture
def ops(parse):
    parser = parse(IDL)
    service = parser.get_service("Ops")
    server = velvane.ThriftServer(service)
    server.set_parser(parser)
    server.register_handler("add", lambda a, b: a + b)
    server.register_handler("check", check)
    yield server, service, parser
    server.stop()


def test_wait_listening_gives_the_port_chosen_for_port_0(ops):
    server, service, parser = ops
    with pytest.raises(RuntimeError, match="server is not running"):
        server.wait_listening(0)
    server.serve("127.0.0.1", 0)
    host, port = server.wait_listening(DEADLINE)
    assert host == "127.0.0.1" and port != 0
    assert server.wait_listening() == (host, port)
    with connected(service, parser, port) as client:
        assert client.call("add", a=2, b=3) == 5
    server.stop()

    def ended():
        try:
            server.wait_listening(0)
        except RuntimeError:
            return True
        return False

    wait_for(ended, "wait_listening to see the server end")


def test_wait_listening_raises_the_bind_error_of_a_busy_port(ops):
    server, _, _ = ops
    with socket.create_server(("127.0.0.1", 0)) as busy, stderr_tap():
        port = busy.getsockname()[1]
        server.serve("127.0.0.1", port)
        with pytest.raises(OSError, match=f"^bind error on 127.0.0.1:{port}: ") as raised:
            server.wait_listening(DEADLINE)
    assert type(raised.value) is OSError
    wait_for(lambda: not server.is_running(), "the server to give up")
