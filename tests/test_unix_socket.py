"""Unix domain sockets ("unix:/path", port 0): both clients, the socket file's life, Apache Thrift's peers."""
import asyncio
import os
import socket
import threading

import pytest

import velvane
from server_support import DEADLINE, wait_for

IDL = "service S { i32 add(1: i32 a, 2: i32 b), string echo(1: string s) }"


@pytest.fixture
def service(parse):
    return parse(IDL).get_service("S")


@pytest.fixture
def path(tmp_path):
    return str(tmp_path / "s.sock")


def unix_server(service, transport=velvane.TransportType.Framed):
    server = velvane.ThriftServer(service, transport=transport)
    server.register_handler("add", lambda a, b: a + b)
    server.register_handler("echo", lambda s: s)
    return server


def blocking_calls(service, host, transport):
    with velvane.ThriftClient(service, host, 0, transport) as client:
        client.timeout = DEADLINE
        return client.call("add", a=40, b=2), client.call("echo", s="y" * 300_000)


def async_calls(service, host, transport):
    async def run():
        client = velvane.AsyncThriftClient(service, host, 0, transport)
        client.timeout = DEADLINE
        await client.open()
        try:
            return await client.call("add", a=40, b=2), await client.call("echo", s="y" * 300_000)
        finally:
            await client.close()

    return asyncio.run(run())


@pytest.mark.parametrize("calls", [blocking_calls, async_calls])
@pytest.mark.parametrize("transport", [velvane.TransportType.Framed, velvane.TransportType.Buffered])
def test_round_trips_and_the_socket_file(service, path, calls, transport):
    with socket.socket(socket.AF_UNIX) as stale:  # a file left by a server that is gone
        stale.bind(path)
    server = unix_server(service, transport)
    server.serve("unix:" + path, 0)
    try:
        assert server.wait_listening(DEADLINE) == ("unix:" + path, 0)
        assert calls(service, "unix:" + path, transport) == (42, "y" * 300_000)
    finally:
        server.stop()
    wait_for(lambda: not os.path.exists(path), "the socket file to go")


def test_what_is_not_a_stale_socket_is_left_alone_and_bad_arguments_refused(service, path):
    with open(path, "w") as f:
        f.write("data")
    server = unix_server(service)
    server.serve("unix:" + path, 0)
    with pytest.raises(OSError, match="bind error on unix:" + path):
        server.wait_listening(DEADLINE)
    with open(path) as f:
        assert f.read() == "data"
    with pytest.raises(ValueError, match="port 0"):
        server.serve("unix:" + path, 9090)
    with pytest.raises(OSError):
        velvane.ThriftClient(service, "unix:" + path + ".none", 0).open()


@pytest.fixture(scope="module")
def apache(tmp_path_factory):
    from apache_peer import peer_or_skip

    return peer_or_skip(IDL, tmp_path_factory.mktemp("apache_unix"))


def test_apache_client_calls_velvane_on_a_unix_socket(service, path, apache):
    from thrift.protocol import TBinaryProtocol
    from thrift.transport import TSocket, TTransport

    server = unix_server(service)
    server.serve("unix:" + path, 0)
    try:
        server.wait_listening(DEADLINE)
        trans = TTransport.TFramedTransport(TSocket.TSocket(unix_socket=path))
        client = apache.module("S").Client(TBinaryProtocol.TBinaryProtocol(trans))
        trans.open()
        try:
            assert client.add(40, 2) == 42
        finally:
            trans.close()
    finally:
        server.stop()


def test_velvane_calls_an_apache_server_on_a_unix_socket(service, path, apache):
    from thrift.protocol import TBinaryProtocol
    from thrift.transport import TSocket, TTransport

    class Handler:
        def add(self, a, b):
            return a + b

        def echo(self, s):
            return s

    listen = TSocket.TServerSocket(unix_socket=path)
    listen.listen()
    processor = apache.module("S").Processor(Handler())

    def serve_one():
        trans = TTransport.TFramedTransport(listen.accept())
        proto = TBinaryProtocol.TBinaryProtocol(trans)
        try:
            while True:
                processor.process(proto, proto)
        except TTransport.TTransportException:
            trans.close()

    thread = threading.Thread(target=serve_one, daemon=True)
    thread.start()
    try:
        assert blocking_calls(service, "unix:" + path, velvane.TransportType.Framed) == (42, "y" * 300_000)
        thread.join(DEADLINE)
        assert not thread.is_alive()
    finally:
        listen.close()
