"""Thrift over HTTP (TransportType.Http): velvane's client and server, Apache Thrift's THttpClient
and THttpServer, and what a hostile HTTP peer can and cannot make the server do."""
import asyncio
import http.client
import socket
import threading

import pytest

import velvane
from server_support import DEADLINE, raw_connection, serving, stderr_tap, wait_for

IDL = "service S { i32 add(1: i32 a, 2: i32 b), string echo(1: string s), oneway void note(1: string s) }"
HTTP = velvane.TransportType.Http


@pytest.fixture
def service(parse):
    return parse(IDL).get_service("S")


def http_server(service, **settings):
    notes = []
    server = velvane.ThriftServer(service, transport=HTTP)
    server.register_handler("add", lambda a, b: a + b)
    server.register_handler("echo", lambda s: s)
    server.register_handler("note", lambda s: notes.append(s))
    for name, value in settings.items():
        setattr(server, name, value)
    return server, notes


def test_the_transport_type():
    assert (int(HTTP), repr(HTTP)) == (2, "TransportType.Http")


def blocking_session(service, port, path, steps, **settings):
    client = velvane.ThriftClient(service, "127.0.0.1", port, HTTP)
    assert client.http_path == "/"
    client.http_path = path
    client.timeout = DEADLINE
    for name, value in settings.items():
        setattr(client, name, value)
    with client:
        return [client.call(name, **kwargs) for name, kwargs in steps]


def async_session(service, port, path, steps, **settings):
    async def run():
        client = velvane.AsyncThriftClient(service, "127.0.0.1", port, HTTP)
        assert client.http_path == "/"
        client.http_path = path
        client.timeout = DEADLINE
        for name, value in settings.items():
            setattr(client, name, value)
        await client.open()
        try:
            return [await client.call(name, **kwargs) for name, kwargs in steps]
        finally:
            await client.close()

    return asyncio.run(run())


STEPS = [("add", {"a": i, "b": 1}) for i in range(20)] + [
    ("echo", {"s": "z" * 200_000}), ("note", {"s": "hello"}), ("add", {"a": 1, "b": 1})]
EXPECTED = [i + 1 for i in range(20)] + ["z" * 200_000, None, 2]


@pytest.mark.parametrize("session", [blocking_session, async_session])
@pytest.mark.parametrize("path", ["/", "/thrift/calc"])
@pytest.mark.parametrize("retries", [{}, {"retries": 3, "idempotent": ["add", "echo", "note"]}],
                         ids=["once", "idempotent"])  # a oneway call's empty response is its success
def test_round_trips_on_one_kept_alive_connection(service, session, path, retries):
    server, notes = http_server(service)
    with serving(server) as port:
        assert session(service, port, path, STEPS, **retries) == EXPECTED
        wait_for(lambda: notes == ["hello"], "the oneway call")
        assert server.stats()["connections_accepted"] == 1


def test_other_requests_go_to_the_http_handler_and_limits_hold(service):
    server, _ = http_server(service, max_message_size=1000)
    server.register_http_handler(lambda sock: (sock.recv(65536), sock.sendall(
        b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok"), sock.close()))
    with stderr_tap() as err, serving(server) as port:
        conn = http.client.HTTPConnection("127.0.0.1", port, timeout=DEADLINE)
        conn.request("GET", "/health")
        assert conn.getresponse().read() == b"ok"
        conn.close()
        # A Content-Length over the limit ends the connection before any body is read.
        with raw_connection(port) as raw:
            raw.sendall(b"POST / HTTP/1.1\r\nContent-Length: 999999999999\r\n\r\n")
            assert raw.recv(100) == b""
        # A head without an end is cut off at 16 KiB.
        with raw_connection(port) as raw:
            raw.sendall(b"POST / HTTP/1.1\r\n" + b"X-Filler: " + b"a" * 20_000)
            assert raw.recv(100) == b""
        wait_for(lambda: err().count("connection error") == 2, "two connection errors")
        assert "larger than" in err() and "16 KiB" in err()
        client = velvane.ThriftClient(service, "127.0.0.1", port, HTTP)
        with client:
            assert client.call("add", a=2, b=3) == 5


@pytest.fixture(scope="module")
def apache(tmp_path_factory):
    from apache_peer import peer_or_skip

    return peer_or_skip(IDL, tmp_path_factory.mktemp("apache_http"))


def test_apache_http_client_calls_velvane(service, apache):
    from thrift.protocol import TBinaryProtocol
    from thrift.transport import THttpClient

    server, notes = http_server(service)
    with serving(server) as port:
        trans = THttpClient.THttpClient(f"http://127.0.0.1:{port}/any/path")
        client = apache.module("S").Client(TBinaryProtocol.TBinaryProtocol(trans))
        trans.open()
        try:
            assert client.add(40, 2) == 42
            assert client.echo("é" * 5000) == "é" * 5000
        finally:
            trans.close()


def test_velvane_clients_call_an_apache_http_server(service, apache):
    from thrift.protocol import TBinaryProtocol
    from thrift.server import THttpServer

    class Handler:
        def add(self, a, b):
            return a + b

        def echo(self, s):
            return s

        def note(self, s):
            pass

    processor = apache.module("S").Processor(Handler())
    factory = TBinaryProtocol.TBinaryProtocolFactory()
    server = THttpServer.THttpServer(processor, ("127.0.0.1", 0), factory)
    port = server.httpd.server_address[1]
    thread = threading.Thread(target=server.serve, daemon=True)
    thread.start()
    try:
        # Its responses are HTTP/1.0 and it closes each connection: every call connects anew.
        steps = [("add", {"a": i, "b": 2}) for i in range(3)] + [("echo", {"s": "q" * 100_000})]
        for session in (blocking_session, async_session):
            assert session(service, port, "/", steps) == [2, 3, 4, "q" * 100_000]
    finally:
        server.httpd.shutdown()
        server.httpd.server_close()
        thread.join(DEADLINE)
