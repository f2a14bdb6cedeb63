"""ThriftClient against scripted peers: exact request bytes, exact replies."""
import math
import select
import socket
import threading

import pytest

import velvane
from scripted_peer import DEADLINE, Peer, frame, recv_exact, recv_frame
from server_support import free_port

T = velvane.TransportType
P = velvane.ProtocolType

IDL = """
exception Oops { 1: string why }
struct Point { 1: i32 x, 2: i32 y }
service Calc {
  i32 add(1: i32 a, 2: i32 b) throws (1: Oops oops),
  Point echo(1: Point p),
  string name(1: string s),
  oneway void fire(1: i32 n),
}
"""


@pytest.fixture
def calc(parse):
    parser = parse(IDL)
    return parser, parser.get_service("Calc")


def client(calc, port, transport=T.Framed, protocol=P.Binary):
    parser, service = calc
    c = velvane.ThriftClient(service, "127.0.0.1", port, transport, protocol)
    c.set_parser(parser)
    return c


def binary_header(name, mtype, seqid):
    return bytes([0x80, 1, 0, mtype]) + len(name).to_bytes(4, "big") + name + seqid.to_bytes(4, "big", signed=True)


def binary_i32_field(fid, v):
    return bytes([8]) + fid.to_bytes(2, "big") + v.to_bytes(4, "big", signed=True)


ADD_REQUEST = {
    P.Binary: binary_header(b"add", 1, 0) + binary_i32_field(1, 1) + binary_i32_field(2, 2) + b"\0",
    P.Compact: bytes([0x82, 0x21, 0x00, 0x06]) + b"add" + bytes([0x15, 0x02, 0x15, 0x04, 0x00]),
    P.JSON: b'[1,"add",1,0,{"1":["i32",1],"2":["i32",2]}]',
}
ADD_REPLY = {
    P.Binary: binary_header(b"add", 2, 0) + binary_i32_field(0, 3) + b"\0",
    P.Compact: bytes([0x82, 0x41, 0x00, 0x06]) + b"add" + bytes([0x05, 0x00, 0x00, 0x06, 0x00]),
    P.JSON: b'[1,"add",2,0,{"0":["i32",3]}]',
}


def answer(request, reply, transport=T.Framed):
    """A script that checks one request and sends one reply."""

    def script(conn):
        if transport == T.Framed:
            assert recv_frame(conn) == request
            conn.sendall(frame(reply))
        else:
            assert recv_exact(conn, len(request)) == request
            conn.sendall(reply)

    return script


@pytest.mark.parametrize("protocol", [P.Binary, P.Compact, P.JSON])
@pytest.mark.parametrize("transport", [T.Framed, T.Buffered])
def test_add_round_trip(calc, transport, protocol):
    if transport == T.Buffered and protocol == P.Compact:
        with Peer(lambda conn: recv_exact(conn, len(ADD_REQUEST[protocol]))) as peer:
            with client(calc, peer.port, transport, protocol) as c:
                with pytest.raises(OSError, match=r"^I/O error: buffered RPC transport currently supports Binary "
                                                  r"and JSON protocols$"):
                    c.call("add", a=1, b=2)
                assert not c.is_open()
        return
    with Peer(answer(ADD_REQUEST[protocol], ADD_REPLY[protocol], transport)) as peer:
        with client(calc, peer.port, transport, protocol) as c:
            assert c.call("add", a=1, b=2) == 3
            assert c.is_open()


def reply_body(body, name=b"add", mtype=2, seqid=0):
    return binary_header(name, mtype, seqid) + body


OOPS = bytes([12, 0, 1, 11, 0, 1, 0, 0, 0, 3]) + b"bad" + b"\0\0"


@pytest.mark.parametrize(
    "body, raised, text",
    [
        (b"\0", None, None),  # a result struct that starts with the stop byte
        (binary_i32_field(0, -5) + b"\0", None, -5),
        (binary_i32_field(7, 1) + b"\0", RuntimeError, r"^Service exception 'unknown' \(field 7\): None$"),
        (OOPS, RuntimeError, r"^Service exception 'oops' \(field 1\): .*bad"),
        (bytes([5, 0, 0]), OSError, r"^Invalid type: 5$"),
    ],
)
def test_result_field_dispatch(calc, body, raised, text):
    with Peer(lambda conn: (recv_frame(conn), conn.sendall(frame(reply_body(body))))) as peer:
        with client(calc, peer.port) as c:
            if raised is None:
                assert c.call("add", a=1, b=2) == text
            else:
                with pytest.raises(raised, match=text):
                    c.call("add", a=1, b=2)
            assert c.is_open()


@pytest.mark.parametrize(
    "body, message, type_",
    [
        (bytes([11, 0, 1, 0, 0, 0, 4]) + b"boom" + binary_i32_field(2, 6) + b"\0", "boom", 6),
        (binary_i32_field(2, 3) + b"\0", "", 3),
        # wrong wire types for ids 1 and 2 and an unknown field are skipped
        (binary_i32_field(1, 9) + bytes([11, 0, 2, 0, 0, 0, 1]) + b"x" + bytes([3, 0, 9, 1]) + b"\0", "", 0),
    ],
)
def test_application_exception(calc, body, message, type_):
    with Peer(lambda conn: (recv_frame(conn), conn.sendall(frame(reply_body(body, mtype=3))))) as peer:
        with client(calc, peer.port) as c:
            with pytest.raises(velvane.ThriftApplicationException) as caught:
                c.call("add", a=1, b=2)
            assert (caught.value.message, caught.value.type_) == (message, type_)


def test_reply_with_another_name_and_seqid_is_accepted(calc):
    reply = reply_body(binary_i32_field(0, 42) + b"\0", name=b"other", seqid=99)
    with Peer(lambda conn: (recv_frame(conn), conn.sendall(frame(reply)))) as peer:
        with client(calc, peer.port) as c:
            assert c.call("add", a=1, b=2) == 42


def test_struct_arguments_and_results(calc):
    point = bytes([8, 0, 1, 0, 0, 0, 3, 8, 0, 2, 0, 0, 0, 4, 0])
    request = binary_header(b"echo", 1, 0) + bytes([12, 0, 1]) + point + b"\0"
    reply = binary_header(b"echo", 2, 0) + bytes([12, 0, 0]) + point + b"\0"
    with Peer(answer(request, reply)) as peer:
        with client(calc, peer.port) as c:
            result = c.call("echo", p={"x": 3, "y": 4})
            assert (result.x, result.y) == (3, 4)


def test_oneway_returns_once_sent_and_reads_nothing(calc):
    request = binary_header(b"fire", 4, 0) + binary_i32_field(1, 5) + b"\0"
    then = binary_header(b"add", 1, 1) + binary_i32_field(1, 1) + binary_i32_field(2, 2) + b"\0"

    def script(conn):
        assert recv_frame(conn) == request
        assert recv_frame(conn) == then
        conn.sendall(frame(reply_body(binary_i32_field(0, 3) + b"\0", seqid=1)))

    with Peer(script) as peer:
        with client(calc, peer.port) as c:
            assert c.call("fire", n=5) is None
            assert c.call("add", a=1, b=2) == 3


def test_sequence_ids_count_calls_that_failed_to_encode(calc):
    request = binary_header(b"add", 1, 1) + binary_i32_field(1, 1) + b"\0"
    with Peer(answer(request, reply_body(b"\0", seqid=1))) as peer:
        with client(calc, peer.port) as c:
            with pytest.raises(TypeError):
                c.call("add", a="x")
            assert c.call("add", a=1, ignored=7) is None


FULL_REPLY = reply_body(binary_i32_field(0, 3) + b"\0")


def truncated(transport, cut):
    def script(conn):
        if transport == T.Framed:
            recv_frame(conn)
            conn.sendall(len(FULL_REPLY).to_bytes(4, "big") + FULL_REPLY[:cut])
        else:
            recv_exact(conn, len(ADD_REQUEST[P.Binary]))
            conn.sendall(FULL_REPLY[:cut])

    return script


@pytest.mark.parametrize("transport", [T.Framed, T.Buffered])
def test_reply_cut_at_every_offset(calc, transport):
    # Buffered: the field type byte, both field id bytes and the stop byte are single-byte reads.
    single_byte = {len(FULL_REPLY) - 8, len(FULL_REPLY) - 7, len(FULL_REPLY) - 6, len(FULL_REPLY) - 1}
    cuts = range(len(FULL_REPLY))
    with Peer(*(truncated(transport, cut) for cut in cuts)) as peer:
        c = client(calc, peer.port, transport)
        for cut in cuts:
            c.open()
            eof = "unexpected end of file" if transport == T.Buffered and cut in single_byte else "early eof"
            with pytest.raises(OSError, match=f"^I/O error: {eof}$"):
                c.call("add", a=1, b=2)
            assert not c.is_open(), "a half-read reply must not stay on the connection"
            with pytest.raises(OSError, match=r"^ThriftClient is not open; call client.open\(\) first$"):
                c.call("add", a=1, b=2)


@pytest.mark.parametrize("prefix", [b"", b"\0\0", b"\x80\0\0\0", b"\xff\xff\xff\xff", b"\0\0\0\0"])
def test_closed_connection_or_non_positive_length_is_an_empty_reply(calc, prefix):
    with Peer(lambda conn: (recv_frame(conn), conn.sendall(prefix + b"junk"[: 4 if len(prefix) == 4 else 0]))) as peer:
        with client(calc, peer.port) as c:
            with pytest.raises(OSError) as caught:
                c.call("add", a=1, b=2)
            assert not str(caught.value).startswith("I/O error")
            assert not c.is_open()


def test_buffered_binary_peer_closing_is_early_eof(calc):
    with Peer(lambda conn: recv_exact(conn, len(ADD_REQUEST[P.Binary]))) as peer:
        with client(calc, peer.port, T.Buffered) as c:
            with pytest.raises(OSError, match="^I/O error: early eof$"):
                c.call("add", a=1, b=2)


@pytest.mark.parametrize(
    "reply, result",
    [
        (b' \t\n\f\r[1,"name",2,0,{"0":["str","a]\\"b"]}]', 'a]"b'),
        (b'[1,"name",2,0,{"0":["str","\\\\"]}]', "\\"),
    ],
)
def test_buffered_json_scan(calc, reply, result):
    request = b'[1,"name",1,0,{"1":["str","q"]}]'
    with Peer(answer(request, reply, T.Buffered)) as peer:
        with client(calc, peer.port, T.Buffered, P.JSON) as c:
            assert c.call("name", s="q") == result


def test_buffered_json_refuses_a_non_bracket_start(calc):
    with Peer(lambda conn: (conn.recv(100), conn.sendall(b" 1"))) as peer:
        with client(calc, peer.port, T.Buffered, P.JSON) as c:
            with pytest.raises(OSError, match="^I/O error: expected JSON object or array at start of buffered message$"):
                c.call("name", s="q")


def serve_adds(conn):
    """Answers framed binary add requests with a + b and the request's sequence id until EOF."""
    while True:
        try:
            request = recv_frame(conn)
        except EOFError:
            return
        seqid = int.from_bytes(request[11:15], "big", signed=True)
        a = int.from_bytes(request[18:22], "big", signed=True)
        b = int.from_bytes(request[25:29], "big", signed=True)
        conn.sendall(frame(reply_body(binary_i32_field(0, a + b) + b"\0", seqid=seqid)))


def test_threads_sharing_a_client_get_their_own_replies(calc):
    with Peer(serve_adds) as peer:
        c = client(calc, peer.port)
        c.open()
        failures = []

        def worker(t):
            for i in range(200):
                if c.call("add", a=t * 1000, b=i) != t * 1000 + i:
                    failures.append((t, i))

        threads = [threading.Thread(target=worker, args=(t,)) for t in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(DEADLINE)
        assert not any(t.is_alive() for t in threads)
        assert failures == []
        c.close()


def test_python_runs_while_a_call_waits(calc):
    received, release = threading.Event(), threading.Event()

    def slow(conn):
        recv_frame(conn)
        received.set()
        release.wait(DEADLINE)
        conn.sendall(frame(FULL_REPLY))

    with Peer(slow) as peer:
        c = client(calc, peer.port)
        c.open()
        results = []
        caller = threading.Thread(target=lambda: results.append(c.call("add", a=1, b=2)))
        caller.start()
        assert received.wait(DEADLINE)
        assert sum(range(100_000)) == 4_999_950_000  # runs only if the waiting call released the interpreter
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            c.set_parser(calc[0])
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            c.protocol = P.JSON
        assert caller.is_alive()
        release.set()
        caller.join(DEADLINE)
        assert results == [3]


def test_timeout_against_a_peer_that_never_answers(calc):
    done = threading.Event()
    with Peer(lambda conn: (recv_frame(conn), done.wait(DEADLINE))) as peer:
        c = client(calc, peer.port)
        c.timeout = 0.2
        assert c.timeout == pytest.approx(0.2)
        c.open()
        with pytest.raises(TimeoutError, match="^I/O error: timed out$"):
            c.call("add", a=1, b=2)
        assert not c.is_open()
        done.set()


def test_connect_timeout_against_a_full_accept_queue(calc):
    with socket.create_server(("127.0.0.1", 0), backlog=0) as server:
        port = server.getsockname()[1]
        fillers = [socket.socket() for _ in range(3)]
        try:
            for s in fillers:
                s.setblocking(False)
                s.connect_ex(("127.0.0.1", port))
            assert select.select([], fillers[:1], [], DEADLINE)[1], "the queue's one place is taken"
            c = velvane.ThriftClient(calc[1], "127.0.0.1", port)
            c.timeout = 0.2
            with pytest.raises(TimeoutError, match=f"^connect to 127.0.0.1:{port}: timed out$"):
                c.open()
            assert not c.is_open()
        finally:
            for s in fillers:
                s.close()


@pytest.mark.parametrize("value, error", [(-1, ValueError), (math.nan, ValueError), ("1", TypeError)])
def test_timeout_values(calc, value, error):
    c = velvane.ThriftClient(calc[1], "127.0.0.1", 1)
    with pytest.raises(error):
        c.timeout = value
    with pytest.raises(AttributeError):
        del c.timeout
    c.timeout = 3
    c.timeout = None
    assert c.timeout is None


def test_open_close_and_not_open(calc):
    c = velvane.ThriftClient(calc[1], "127.0.0.1", 1)
    with pytest.raises(ValueError, match="^Unknown method: nosuch$"):
        c.call("nosuch")
    with pytest.raises(OSError, match=r"^ThriftClient is not open; call client.open\(\) first$"):
        c.call("add", a=1, b=2)
    assert not c.is_open()
    c.close()


def test_open_twice_replaces_the_connection(calc):
    first_closed = threading.Event()

    def first(conn):
        if conn.recv(1) == b"":
            first_closed.set()

    with Peer(first, serve_adds) as peer:
        with client(calc, peer.port) as c:
            c.open()
            assert first_closed.wait(DEADLINE)
            assert c.call("add", a=2, b=3) == 5
        assert not c.is_open()


def test_connect_failure_names_the_address(calc):
    port = free_port()  # bound and never listening: a connection is refused
    c = velvane.ThriftClient(calc[1], "127.0.0.1", port)
    with pytest.raises(OSError, match=f"^connect to 127.0.0.1:{port}: ."):
        c.open()
    assert not c.is_open()


def test_constructor_and_properties(calc):
    service = calc[1]
    with pytest.raises(OverflowError, match="port"):
        velvane.ThriftClient(service, "h", 70000)
    with pytest.raises(TypeError, match="argument 'transport'"):
        velvane.ThriftClient(service, "h", 1, transport=1)
    with pytest.raises(TypeError, match="argument 'protocol'"):
        velvane.ThriftClient(service, "h", 1, protocol=velvane.BinaryProtocol())
    with pytest.raises(TypeError, match="argument 'service'"):
        velvane.ThriftClient("svc", "h", 1)
    c = velvane.ThriftClient(port=1, host="h", service=service, protocol=P.JSON, transport=T.Buffered)
    assert (c.transport, c.protocol) == (T.Buffered, P.JSON)
    c.transport = T.Framed
    assert repr(c.transport) == "TransportType.Framed"
    with pytest.raises(TypeError, match="transport"):
        c.transport = 0
    with pytest.raises(AttributeError, match="can't delete attribute"):
        del c.protocol
    with pytest.raises(TypeError, match="argument 'parser'"):
        c.set_parser(service)
