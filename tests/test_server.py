"""ThriftServer answering our ThriftClient, Apache's client and hostile peers over loopback."""
import asyncio
import socket
import threading

import pytest

import velvane
from scripted_peer import frame, recv_frame
from server_support import DEADLINE, connected, raw_connection, serving, stderr_tap, wait_for

T = velvane.TransportType
P = velvane.ProtocolType

IDL = """
include "shared.thrift"
exception NotFound { 1: string key, 2: i32 code }
exception Oops { 1: string why }
struct Point { 1: i32 x, 2: i32 y }
struct Label { 1: string x }
struct Bag { 1: list<Point> points, 2: map<string, set<i64>> tags, 3: double ratio, 4: binary blob, 5: bool flag }
service Calc {
  i32 add(1: i32 a, 2: i32 b),
  Point echo(1: Point p),
  Label relabel(1: Point p),
  Bag bag(1: Bag b),
  string find(1: string key) throws (1: NotFound nf, 2: shared.Oops oops),
  void nothing(),
  i32 nothing_back(),
  oneway void fire(1: i32 n),
  string unhandled(),
}
"""
# A client view of the service with one method the server does not have.
CLIENT_IDL = IDL.replace("  string unhandled(),", "  string unhandled(),\n  i32 missing(),")

ALL_WAYS = [(t, p) for t in (T.Framed, T.Buffered) for p in (P.Binary, P.Compact, P.JSON)
            if not (t == T.Buffered and p == P.Compact)]


class NotFound(Exception):
    pass


class Oops(Exception):
    pass


class Handlers:
    def __init__(self):
        self.fired = threading.Event()

    def add(self, a, b):
        return a + b

    def echo(self, p):
        return p

    def bag(self, b):
        return b

    def find(self, key):
        if key == "attrs":
            e = NotFound("ignored text")
            e.key, e.code = "k", 7
            raise e
        if key == "oops":
            raise Oops("no attributes")
        if key == "value":
            raise ValueError("bad")
        return key.upper()

    def nothing(self):
        return 42

    def nothing_back(self):
        return None

    def fire(self, n):
        self.fired.set()


class AsyncHandlers(Handlers):
    async def add(self, a, b):
        assert asyncio.get_running_loop() is not None
        await asyncio.sleep(0)
        return a + b

    async def find(self, key):
        await asyncio.sleep(0)
        return super().find(key)


@pytest.fixture
def calc(parse):
    server_parser, client_parser = parse(IDL), parse(CLIENT_IDL)
    return server_parser, client_parser, client_parser.get_service("Calc")


def make_server(calc, handlers, transport=T.Framed, protocol=P.Binary, workers=2):
    parser = calc[0]
    server = velvane.ThriftServer(parser.get_service("Calc"), transport=transport, workers=workers, protocol=protocol)
    server.set_parser(parser)
    for name in ("add", "echo", "bag", "find", "nothing", "nothing_back", "fire"):
        server.register_handler(name, getattr(handlers, name))
    return server


@pytest.mark.parametrize("kind", [Handlers, AsyncHandlers])
@pytest.mark.parametrize("transport,protocol", ALL_WAYS)
def test_round_trips(calc, transport, protocol, kind):
    handlers = kind()
    _, client_parser, service = calc
    with serving(make_server(calc, handlers, transport, protocol)) as port:
        with connected(service, client_parser, port, transport, protocol) as c:
            assert c.call("add", a=40, b=2) == 42
            assert c.call("echo", p={"x": 1, "y": -2}).to_dict() == {"x": 1, "y": -2}
            bag = {"points": [{"x": 1, "y": 2}], "tags": {"a": [1, 2**40]}, "ratio": 0.5, "blob": b"\x00\xff",
                   "flag": True}
            got = c.call("bag", b=bag).to_dict()
            assert got["points"][0].to_dict() == {"x": 1, "y": 2}
            assert sorted(got["tags"]["a"]) == [1, 2**40]
            assert (got["ratio"], got["blob"], got["flag"]) == (0.5, b"\x00\xff", True)
            assert c.call("find", key="abc") == "ABC"
            with pytest.raises(RuntimeError, match=r"^Service exception 'nf' \(field 1\): .*key='k'.*code=7"):
                c.call("find", key="attrs")
            # One-field struct, no attributes: the exception text fills the field.
            with pytest.raises(RuntimeError, match=r"^Service exception 'oops' \(field 2\): "
                                                   r".*why='Oops: no attributes'"):
                c.call("find", key="oops")
            with pytest.raises(velvane.ThriftApplicationException) as raised:
                c.call("find", key="value")
            assert (raised.value.type_, raised.value.message) == (6, "ValueError: bad")
            assert c.call("nothing") is None
            with pytest.raises(velvane.ThriftApplicationException) as raised:
                c.call("nothing_back")
            assert raised.value.type_ == 6 and raised.value.message.startswith("TypeError: ")
            with pytest.raises(velvane.ThriftApplicationException) as raised:
                c.call("missing")
            assert (raised.value.type_, raised.value.message) == (1, "Unknown method: missing")
            with pytest.raises(velvane.ThriftApplicationException) as raised:
                c.call("unhandled")
            assert (raised.value.type_, raised.value.message) == (1, "No handler registered for: unhandled")
            assert c.call("fire", n=1) is None
            assert handlers.fired.wait(DEADLINE)
            assert c.call("add", a=1, b=1) == 2  # the connection is still in step after all that


class CancellingHandlers(Handlers):
    async def find(self, key):
        asyncio.current_task().cancel("by the handler")
        if key == "wait":
            await asyncio.sleep(0)
        return key


@pytest.mark.parametrize("key", ["at once", "wait"])
def test_a_cancelled_handler_task_answers_an_internal_error(calc, key):
    _, client_parser, service = calc
    with serving(make_server(calc, CancellingHandlers())) as port, connected(service, client_parser, port) as c:
        with pytest.raises(velvane.ThriftApplicationException) as raised:
            c.call("find", key=key)
        assert (raised.value.type_, raised.value.message) == (6, "CancelledError: by the handler")
        assert c.call("add", a=1, b=1) == 2


@pytest.mark.parametrize("kind", [Handlers, AsyncHandlers])
def test_hidden_error_details_reach_standard_error_not_the_caller(calc, kind, capsys):
    _, client_parser, service = calc
    server = make_server(calc, kind())
    assert server.hide_error_details is False
    server.hide_error_details = True
    with serving(server) as port, connected(service, client_parser, port) as c:
        for method, args in (("find", {"key": "value"}), ("nothing_back", {})):
            with pytest.raises(velvane.ThriftApplicationException) as raised:
                c.call(method, **args)
            assert (raised.value.type_, raised.value.message) == (6, "Internal error")
        # Declared exceptions are the service's answers, not internal details.
        with pytest.raises(RuntimeError, match=r"^Service exception 'oops' \(field 2\): "):
            c.call("find", key="oops")
        assert c.call("add", a=1, b=1) == 2
    err = capsys.readouterr().err
    assert "Traceback (most recent call last):" in err and "ValueError: bad" in err and "TypeError: " in err
    assert "Oops" not in err


def test_buffered_compact_answers_nothing_and_says_why(calc):
    _, client_parser, service = calc
    with stderr_tap() as stderr, serving(make_server(calc, Handlers(), T.Buffered, P.Compact)) as port:
        with connected(service, client_parser, port, T.Buffered, P.Compact) as c:
            with pytest.raises(OSError):
                c.call("add", a=1, b=2)
        wait_for(lambda: "connection error: buffered RPC transport currently supports Binary and JSON protocols\n"
                 in stderr(), "the connection-error line")


@pytest.mark.parametrize("protocol", [P.Binary, P.Compact, P.JSON])
def test_a_struct_returned_as_another_is_refused_not_written_malformed(calc, protocol):
    # The handler gets a Point holding the values read from the request and returns it as a Label,
    # whose field x is a string: an i32 under a string header would be malformed bytes.
    _, client_parser, service = calc
    server = make_server(calc, Handlers(), protocol=protocol)
    server.register_handler("relabel", lambda p: p)
    with serving(server) as port, connected(service, client_parser, port, protocol=protocol) as c:
        with pytest.raises(velvane.ThriftApplicationException) as raised:
            c.call("relabel", p={"x": 1, "y": 2})
        assert (raised.value.type_, raised.value.message) == (
            6, "TypeError: Stored value of field 'x' does not match its declared type")
        assert c.call("add", a=1, b=2) == 3


def test_missing_arguments_arrive_as_none(calc):
    got = []
    server = make_server(calc, Handlers())
    server.register_handler("add", lambda a, b: got.append((a, b)) or 0)
    with serving(server) as port, raw_connection(port) as conn:
        request = (bytes([0x80, 1, 0, 1]) + (3).to_bytes(4, "big") + b"add" + (9).to_bytes(4, "big")
                   + bytes([8, 0, 1]) + (5).to_bytes(4, "big") + b"\0")
        conn.sendall(frame(request))
        reply = recv_frame(conn)
        assert reply[:15] == bytes([0x80, 1, 0, 2]) + (3).to_bytes(4, "big") + b"add" + (9).to_bytes(4, "big")
    assert got == [(5, None)]


def test_a_snapshot_is_taken_when_serving(calc):
    _, client_parser, service = calc
    server = make_server(calc, Handlers())
    with serving(server) as port:
        server.register_handler("add", lambda a, b: -1)
        with connected(service, client_parser, port) as c:
            assert c.call("add", a=1, b=2) == 3
    wait_for(lambda: not server.is_running(), "the server to stop")
    with serving(server) as port, connected(service, client_parser, port) as c:
        assert c.call("add", a=1, b=2) == -1


def test_handler_errors_match_declared_exceptions_by_last_name_segment(parse):
    parser = parse('include "shared.thrift"\nexception NotFound { 1: string why }\n'
                   "service S { void f() throws (1: shared.NotFound nf) }")
    server = velvane.ThriftServer(parser.get_service("S"))
    server.set_parser(parser)

    def f():
        raise NotFound("gone")

    server.register_handler("f", f)
    with serving(server) as port, connected(parser.get_service("S"), parser, port) as c:
        with pytest.raises(RuntimeError, match=r"^Service exception 'nf' \(field 1\): .*why='NotFound: gone'"):
            c.call("f")


# --- Concurrency --------------------------------------------------------------------------------


def test_fifty_connections_at_once_get_their_own_replies(calc):
    _, client_parser, service = calc
    failures = []
    start = threading.Barrier(50)

    def client(i):
        try:
            with connected(service, client_parser, port) as c:
                start.wait(DEADLINE)
                for k in range(20):
                    assert c.call("add", a=i * 1000, b=k) == i * 1000 + k
        except BaseException as e:  # reported below
            failures.append(e)

    with serving(make_server(calc, Handlers(), workers=2)) as port:
        threads = [threading.Thread(target=client, args=(i,)) for i in range(50)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(DEADLINE * 3)
    assert not failures and not any(t.is_alive() for t in threads)


@pytest.mark.parametrize("kind", ["plain", "async"])
def test_a_waiting_handler_does_not_stall_other_connections(calc, kind):
    _, client_parser, service = calc
    release = threading.Event()
    server = make_server(calc, Handlers(), workers=1)
    if kind == "plain":
        server.register_handler("echo", lambda p: release.wait(DEADLINE) and p)
    else:
        async def slow_echo(p):
            while not release.is_set():
                await asyncio.sleep(0.005)
            return p
        server.register_handler("echo", slow_echo)
    result = []
    with serving(server) as port:
        def slow():
            with connected(service, client_parser, port) as c:
                result.append(c.call("echo", p={"x": 1, "y": 1}))

        slow_thread = threading.Thread(target=slow)
        slow_thread.start()
        try:
            with connected(service, client_parser, port) as c:
                for k in range(5):
                    assert c.call("add", a=k, b=1) == k + 1
            assert not result  # the slow call is still waiting
        finally:
            release.set()
            slow_thread.join(DEADLINE)
    assert len(result) == 1


# --- Hostile peers ------------------------------------------------------------------------------


def healthy(service, parser, port):
    with connected(service, parser, port) as c:
        return c.call("add", a=2, b=3) == 5


def binary_request(name, body):
    return bytes([0x80, 1, 0, 1]) + len(name).to_bytes(4, "big") + name + (1).to_bytes(4, "big") + body


@pytest.mark.parametrize("transport,payload,line", [
    (T.Framed, frame(b"GET / HTTP/1.1\r\n\r\n"), "connection error: Bad version"),
    (T.Buffered, binary_request(b"add", bytes([5, 0, 1])), "connection error: Unknown field type byte 0x05 in "
                                                           "buffered stream\n"),
    (T.Buffered, binary_request(b"echo", bytes([12, 0, 1]) * 200), "connection error: Depth limit exceeded\n"),
    (T.Framed, frame(binary_request(b"echo", bytes([12, 0, 2]) * 200 + bytes(200))),
     "connection error: Depth limit exceeded\n"),
], ids=["garbage header", "unknown type id", "deep buffered", "deep framed"])
def test_malformed_requests_end_only_their_connection(calc, transport, payload, line):
    _, client_parser, service = calc
    with stderr_tap() as stderr, serving(make_server(calc, Handlers(), transport)) as port:
        with raw_connection(port) as conn:
            conn.sendall(payload)
            assert conn.recv(100) == b""  # closed by the server without a reply
        transport_client = dict(transport=transport)
        with connected(service, client_parser, port, **transport_client) as c:
            assert c.call("add", a=2, b=3) == 5
        wait_for(lambda: line in stderr(), "the connection-error line")


def test_silent_huge_and_half_closed_peers_cost_only_their_own_connection(calc):
    _, client_parser, service = calc
    server = make_server(calc, Handlers())
    server.max_message_size = 0  # the 2 GiB claim is taken at its word: its bytes just never come
    with stderr_tap() as stderr, serving(server) as port:
        silent = raw_connection(port)
        huge = raw_connection(port)
        huge.sendall(b"\x7f\xff\xff\xff" + b"x" * 1000)  # claims 2 GiB, sends 1000 bytes
        assert healthy(service, client_parser, port)
        half = raw_connection(port)
        request = binary_request(b"add", bytes([8, 0, 1]) + (1).to_bytes(4, "big") + bytes([8, 0, 2])
                                 + (2).to_bytes(4, "big") + b"\0")
        half.sendall(frame(request))
        half.shutdown(socket.SHUT_WR)
        reply = recv_frame(half)
        assert reply.endswith(bytes([8, 0, 0]) + (3).to_bytes(4, "big") + b"\0")
        assert half.recv(10) == b""  # then the server ends the connection cleanly
        for conn in (silent, huge, half):
            conn.close()
        assert healthy(service, client_parser, port)
        # Peers going away, even in the middle of a frame, are normal: nothing is printed.
        assert "connection error" not in stderr()


# --- Operator limits ----------------------------------------------------------------------------


@pytest.mark.parametrize("transport,payload,line", [
    (T.Framed, b"\x7f\xff\xff\xff" + b"x" * 1000,
     "connection error: message of 2147483647 bytes is larger than max_message_size (64 bytes)\n"),
    (T.Buffered, binary_request(b"echo", bytes([11, 0, 1]) + (1 << 30).to_bytes(4, "big") + b"x" * 1000),
     "connection error: message is larger than max_message_size (64 bytes)\n"),
])
def test_a_message_over_max_message_size_ends_its_connection(calc, transport, payload, line):
    _, client_parser, service = calc
    server = make_server(calc, Handlers(), transport)
    server.max_message_size = 64
    with stderr_tap() as stderr, serving(server) as port:
        with raw_connection(port) as conn:
            conn.sendall(payload)
            assert conn.recv(100) == b""
        with connected(service, client_parser, port, transport=transport) as c:
            assert c.call("add", a=2, b=3) == 5
            with pytest.raises(OSError):
                c.call("find", key="k" * 100)
        wait_for(lambda: line in stderr(), "the connection-error line")


def test_connections_over_max_connections_wait_for_one_to_end(calc):
    server = make_server(calc, Handlers())
    server.max_connections = 2
    request = frame(binary_request(b"nothing", b"\0"))
    with stderr_tap(fd=1) as stdout:
        with serving(server) as port:
            first, second = raw_connection(port), raw_connection(port)
            for conn in (first, second):
                conn.sendall(request)
                recv_frame(conn)
            third = raw_connection(port)  # the kernel completes the handshake; the server has not accepted it
            third.sendall(request)
            third.settimeout(0.3)
            with pytest.raises(socket.timeout):
                third.recv(1)
            third.settimeout(DEADLINE)
            first.close()
            assert recv_frame(third).startswith(bytes([0x80, 1, 0, 2]))
        # A stop reaches the accept loop while it waits for room.
        wait_for(lambda: "shutdown requested" in stdout(), "the shutdown line")
        second.close()
        third.close()


# --- Apache Thrift's client ---------------------------------------------------------------------

APACHE_IDL = """
struct Pair { 1: i32 left, 2: string right }
exception Oops { 1: string why }
service Peer {
  i32 add(1: i32 a, 2: i32 b),
  Pair swap(1: Pair p),
  void fail(1: string why) throws (1: Oops oops),
}
"""


@pytest.fixture(scope="module")
def apache(tmp_path_factory):
    from apache_peer import peer_or_skip
    return peer_or_skip(APACHE_IDL, tmp_path_factory.mktemp("apache_server_interop"), name="server_interop")


@pytest.mark.parametrize("transport", [T.Framed, T.Buffered])
def test_apache_client_against_our_server(parse, apache, transport):
    parser = parse(APACHE_IDL)
    server = velvane.ThriftServer(parser.get_service("Peer"), transport=transport)
    server.set_parser(parser)
    server.register_handler("add", lambda a, b: a + b)
    server.register_handler("swap", lambda p: {"left": -p.left, "right": p.right[::-1]})

    def fail(why):
        raise Oops(why)

    server.register_handler("fail", fail)
    tt = apache.module("ttypes")
    with serving(server) as port:
        with apache.client("Peer", port, transport="framed" if transport == T.Framed else "buffered") as client:
            assert client.add(40, 2) == 42
            assert client.swap(tt.Pair(left=3, right="abc")) == tt.Pair(left=-3, right="cba")
            with pytest.raises(tt.Oops) as raised:
                client.fail("because")
            assert raised.value.why == "Oops: because"
