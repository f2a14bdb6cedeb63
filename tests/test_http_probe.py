"""HTTP requests on the Thrift port: handed to the registered callback as sockets, all else Thrift."""
import asyncio
import os
import pathlib
import socket
import subprocess
import sys
import threading
import time
import urllib.request

import pytest

import velvane
from server_support import DEADLINE, connected, free_port, raw_connection, serving, stderr_tap, wait_for

T = velvane.TransportType
P = velvane.ProtocolType

OK = b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok"
# What the buffered JSON reader says of bytes that are not JSON: proof that Thrift read them.
NOT_JSON = "connection error: expected JSON object or array at start of buffered message\n"


class Http:
    """Handlers that record each socket's blocking modes (the object's, the descriptor's) and the
    request head, then answer "ok"."""

    def __init__(self):
        self.seen = []

    def plain(self, sock):
        with sock:
            modes = (sock.getblocking(), os.get_blocking(sock.fileno()))
            sock.settimeout(DEADLINE)
            head = b""
            while b"\r\n\r\n" not in head:
                head += sock.recv(4096)
            self.seen.append((*modes, head))
            sock.sendall(OK)

    async def coroutine(self, sock):
        loop = asyncio.get_running_loop()
        with sock:
            modes = (sock.getblocking(), os.get_blocking(sock.fileno()))
            head = b""
            while b"\r\n\r\n" not in head:
                head += await asyncio.wait_for(loop.sock_recv(sock, 4096), DEADLINE)
            self.seen.append((*modes, head))
            await loop.sock_sendall(sock, OK)


@pytest.fixture
def calc(parse):
    parser = parse("service Calc { i32 add(1: i32 a, 2: i32 b) }")
    return parser, parser.get_service("Calc")


def make_server(calc, http=None, transport=T.Framed, protocol=P.Binary, workers=2):
    parser, service = calc
    server = velvane.ThriftServer(service, transport=transport, workers=workers, protocol=protocol)
    server.set_parser(parser)
    server.register_handler("add", lambda a, b: a + b)
    if http is not None:
        server.register_http_handler(http)
    return server


def read_to_end(conn):
    data = b""
    while chunk := conn.recv(4096):
        data += chunk
    return data


@pytest.mark.parametrize("kind,blocking", [("plain", True), ("coroutine", False)])
def test_http_client_is_handed_off_while_thrift_calls_go_on(calc, kind, blocking):
    http = Http()
    sums, stop, failures = [], threading.Event(), []

    def thrift_calls(port):
        try:
            with connected(calc[1], calc[0], port) as c:
                while not stop.is_set():
                    sums.append(c.call("add", a=len(sums), b=1))
        except Exception as e:  # reported below: a failure here must fail the test
            failures.append(e)

    with serving(make_server(calc, getattr(http, kind))) as port:
        caller = threading.Thread(target=thrift_calls, args=(port,))
        caller.start()
        try:
            wait_for(lambda: sums or failures, "the first Thrift call")
            for _ in range(3):
                with urllib.request.urlopen(f"http://127.0.0.1:{port}/health", timeout=DEADLINE) as answer:
                    assert (answer.status, answer.read()) == (200, b"ok")
            done = len(sums)
            wait_for(lambda: len(sums) > done or failures, "a Thrift call after the hand-offs")
        finally:
            stop.set()
            caller.join(DEADLINE)
    assert failures == [] and sums == list(range(1, len(sums) + 1))
    assert [s[:2] for s in http.seen] == [(blocking, blocking)] * 3
    assert http.seen[0][2].startswith(b"GET /health HTTP/1.1\r\n")


@pytest.mark.parametrize("setup,pieces,handed", [
    ("registered", [b"GE", b"T /x HTTP/1.1\r\n\r\n"], True),
    ("registered", [b"POST", b" /x HTTP/1.1\r\n\r\n"], True),
    ("registered", [b"GETX / HTTP/1.1\r\n\r\n"], False),
    ("registered", [b"get / HTTP/1.1\r\n\r\n"], False),
    ("never registered", [b"GET / HTTP/1.1\r\n\r\n"], False),
    ("cleared before serve", [b"GET / HTTP/1.1\r\n\r\n"], False),
    ("registered after serve", [b"GET / HTTP/1.1\r\n\r\n"], False),
], ids=["GE then the rest", "POST then its space", "GETX", "lowercase get", "no handler", "cleared", "too late"])
def test_opening_bytes_choose_between_http_and_thrift(calc, setup, pieces, handed):
    http = Http()
    server = make_server(calc, http.plain if setup in ("registered", "cleared before serve") else None,
                         T.Buffered, P.JSON)
    if setup != "registered":
        server.clear_http_handler()  # with nothing registered, a no-op
    with stderr_tap() as stderr, serving(server) as port:
        if setup == "registered after serve":
            server.register_http_handler(http.plain)
        with raw_connection(port) as conn:
            for i, piece in enumerate(pieces):
                if i:
                    time.sleep(0.05)  # the rest of the line arrives 50 ms later: the probe has to wait for it
                conn.sendall(piece)
            reply = read_to_end(conn)
        if handed:
            assert reply == OK and http.seen == [(True, True, b"".join(pieces))]
        else:
            assert reply == b"" and http.seen == []
            wait_for(lambda: NOT_JSON in stderr(), "the Thrift reader's connection-error line")


@pytest.mark.parametrize("kind", ["plain", "coroutine"])
def test_a_raising_handler_costs_only_its_connection(calc, kind):
    handed = []  # the handler owns its socket, raising or not: the test closes them

    def plain(sock):
        handed.append(sock)
        raise ValueError("no health here")

    async def coroutine(sock):
        handed.append(sock)
        await asyncio.sleep(0)
        raise ValueError("no health here")

    with stderr_tap() as stderr, serving(make_server(calc, plain if kind == "plain" else coroutine)) as port:
        for _ in range(2):
            with raw_connection(port) as conn:
                conn.sendall(b"GET / HTTP/1.1\r\n\r\n")
        wait_for(lambda: "connection error: ValueError: no health here\n" * 2 in stderr(), "both error lines")
        with connected(calc[1], calc[0], port) as c:
            assert c.call("add", a=2, b=3) == 5
    for sock in handed:
        sock.close()


def test_a_peer_stuck_on_a_method_prefix_is_served_as_thrift_after_ten_seconds(calc):
    http = Http()
    with stderr_tap() as stderr, serving(make_server(calc, http.plain, T.Buffered, P.JSON, workers=1)) as port:
        with connected(calc[1], calc[0], port, T.Buffered, P.JSON) as silent, raw_connection(port) as conn:
            conn.settimeout(DEADLINE + 10)
            conn.sendall(b"GE")
            start = time.monotonic()
            # The probe waits on a timer, so the only worker thread still serves other connections.
            with connected(calc[1], calc[0], port, T.Buffered, P.JSON) as c:
                assert c.call("add", a=2, b=3) == 5
            assert conn.recv(100) == b""
            waited = time.monotonic() - start
            # A client silent for as long is served as Thrift too, not dropped.
            assert silent.call("add", a=1, b=1) == 2
        assert waited > 9.5 and http.seen == []
        wait_for(lambda: NOT_JSON in stderr(), "the Thrift reader's connection-error line")


def test_a_peer_that_ends_its_side_after_a_method_prefix_is_not_kept_waiting(calc):
    http = Http()
    with stderr_tap() as stderr, serving(make_server(calc, http.plain, T.Buffered, P.JSON)) as port:
        with raw_connection(port) as conn:
            conn.settimeout(DEADLINE / 2)  # well inside the ten seconds an undecided peer is given
            conn.sendall(b"GE")
            conn.shutdown(socket.SHUT_WR)
            assert conn.recv(100) == b""
        wait_for(lambda: "connection error" in stderr(), "the Thrift reader's connection-error line")
        assert http.seen == []


def test_health_check_example_runs():
    example = pathlib.Path(__file__).parent.parent / "examples" / "health_check.py"
    done = subprocess.run([sys.executable, str(example), str(free_port())], capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 0, done.stderr
    assert "GET /health -> 200 ok\n" in done.stdout and "add(2, 3) -> 5\n" in done.stdout
