"""The standard compact and JSON protocols against Apache Thrift's Python library: what it writes is
read and written back byte for byte, and calls go both ways over framed and buffered transports."""
import asyncio
import math
import os
import pathlib
import shutil
import subprocess
import time
import uuid

import pytest

import velvane

pytest.importorskip("thrift")
if not shutil.which("thrift"):
    pytest.skip("the thrift compiler is not installed", allow_module_level=True)

from apache_peer import ApachePeer, protocol_factory, running_child  # noqa: E402
from scripted_peer import Peer, frame, recv_frame  # noqa: E402
from server_support import serving  # noqa: E402
from thrift.TSerialization import deserialize, serialize  # noqa: E402

P = velvane.ProtocolType
T = velvane.TransportType

IDL = """
exception Oops { 1: string why, 2: i32 code }
struct Inner { 1: i64 id, 2: double score, 3: string label }
struct Everything {
  1: bool b, 2: byte y, 3: i16 s, 4: i32 i, 5: i64 l, 6: double d, 7: string str, 8: binary bin,
  9: list<i32> li, 10: set<string> st, 11: map<string, i64> m, 12: Inner inner, 13: list<Inner> inners,
  14: map<i32, list<string>> nested, 15: list<bool> bools, 16: map<double, bool> dm, 17: bool off,
  40: i16 mid, 300: i32 far, 301: list<double> ds,
}
service Dialects {
  i32 add(1: i32 a, 2: i32 b),
  Everything echo(1: Everything e),
  void fail(1: string why) throws (1: Oops oops),
  oneway void note(1: string text),
  map<string, list<i32>> group(1: list<string> keys),
}
service Greeter { string hello(1: string who) }
struct Unordered { 3: list<Inner> c, 1: string a, 2: i32 b }
"""

HANDLER = """
class Handler:
    def add(self, a, b):
        return a + b

    def echo(self, e):
        return e

    def fail(self, why):
        raise Oops(why=why, code=7)

    def note(self, text):
        pass

    def group(self, keys):
        return {k: [len(k), i] for i, k in enumerate(keys)}
"""

DIALECTS = {"compact": P.StandardCompact, "json": P.StandardJSON}
TRANSPORTS = {"framed": T.Framed, "buffered": T.Buffered}

LIMITS = [
    {"b": True, "y": -128, "s": -32768, "i": -(2**31), "l": -(2**63), "d": 0.1, "off": False},
    {"b": False, "y": 127, "s": 32767, "i": 2**31 - 1, "l": 2**63 - 1, "d": -1e300, "mid": -1, "far": 1},
    {"d": 5e-324, "ds": [0.0, 1.0, 1e16, 2.5e-8, -123456.789], "str": "", "bin": b""},
]
VALUES = LIMITS + [
    {"str": "h\u00e9llo \U0001f600 \"q\" \\ \n\t\b\f\r", "bin": bytes(range(256)), "li": list(range(-3, 30))},
    {"st": ["only"], "m": {"b": -2, "a": 1}, "bools": [True, False, True], "dm": {1.5: True, -2.0: False}},
    {"inner": {"id": 1, "score": 1.5, "label": "x"}, "inners": [{"id": 2}, {"label": "y"}], "li": [], "m": {}},
    {"nested": {1: ["a", "b"], -2: []}, "far": 9},
]
# Compact only: Apache's Python JSON writer puts infinities out unquoted (not JSON), and its "-0" is an integer.
SPECIALS = [{"d": math.inf, "ds": [-math.inf, 1.0]}, {"d": -0.0, "ds": [-0.0]}]


@pytest.fixture(scope="module")
def peer(tmp_path_factory):
    return ApachePeer(IDL, tmp_path_factory.mktemp("dialects"))


@pytest.fixture(scope="module")
def parser():
    p = velvane.ThriftParser()
    p.parse(IDL)
    return p


def to_apache(tt, value):
    v = dict(value)
    if "inner" in v:
        v["inner"] = tt.Inner(**v["inner"])
    if "inners" in v:
        v["inners"] = [tt.Inner(**i) for i in v["inners"]]
    if "st" in v:
        v["st"] = set(v["st"])
    return tt.Everything(**v)


def plain(value):
    """A read value as plain Python data (instances as dicts, sets as lists)."""
    if hasattr(value, "to_dict"):
        return {k: plain(v) for k, v in value.to_dict().items() if v is not None}
    if isinstance(value, list):
        return [plain(v) for v in value]
    if isinstance(value, dict):
        return {k: plain(v) for k, v in value.items()}
    return value


def same_doubles(a, b):
    return a == b and math.copysign(1, a) == math.copysign(1, b) if isinstance(a, float) else a == b


CASES = [("compact", False), ("compact", True), ("json", False)]


@pytest.mark.parametrize("value", VALUES + SPECIALS, ids=range(len(VALUES + SPECIALS)))
@pytest.mark.parametrize("dialect,accelerated", CASES, ids=["compact", "compact-accelerated", "json"])
def test_apache_bytes_read_and_rewritten_byte_for_byte(peer, parser, dialect, accelerated, value):
    if dialect == "json" and any(value is s for s in SPECIALS):
        pytest.skip("not what JSON can carry")
    tt = peer.module("ttypes")
    everything = parser.get_struct("Everything")
    factory = protocol_factory(dialect, accelerated)
    theirs = serialize(to_apache(tt, value), factory)
    mine = everything.deserialize_with_protocol(theirs, DIALECTS[dialect])
    got = plain(mine)
    for key, expected in value.items():
        assert plain(got[key]) == expected or (key == "st" and sorted(got[key]) == sorted(expected)), key
    assert all(same_doubles(a, b) for a, b in zip([got.get("d")] + got.get("ds", []), [value.get("d")] + value.get("ds", [])))
    assert everything.serialize_with_protocol(mine, DIALECTS[dialect]) == theirs
    assert everything.serialize_with_protocol(value, DIALECTS[dialect]) == theirs
    assert deserialize(tt.Everything(), theirs, factory) == to_apache(tt, value)


def test_json_members_go_in_field_id_order(peer, parser):
    tt = peer.module("ttypes")
    value = {"c": [{"id": 1, "label": "x"}], "a": "s", "b": 2}
    theirs = serialize(tt.Unordered(a="s", b=2, c=[tt.Inner(id=1, label="x")]), protocol_factory("json"))
    assert parser.get_struct("Unordered").serialize_with_protocol(value, P.StandardJSON) == theirs


@pytest.mark.parametrize("dialect", sorted(DIALECTS))
def test_wrong_or_truncated_input_is_an_error(parser, dialect):
    everything = parser.get_struct("Everything")
    good = everything.serialize_with_protocol(VALUES[3], DIALECTS[dialect])
    for cut in (1, len(good) // 2, len(good) - 1):
        with pytest.raises((OSError, ValueError)):
            everything.deserialize_with_protocol(good[:cut], DIALECTS[dialect])
    if dialect == "json":
        for bad in (b'{"4":{"i32":"5"}}', b'{"4":{"str":5}}', b'{"9":{"lst":["i32",3,1,2]}}', b'{"2":{"i8":128}}',
                    b'{"x":{"i32":1}}', b'{"11":{"map":["str","i64",1,{"a":"1"}]}}', b'[1]'):
            with pytest.raises((TypeError, ValueError)):
                everything.deserialize_with_protocol(bad, P.StandardJSON)
        # Escapes, surrogate pairs, whitespace and an unpadded Base64 as other writers produce them.
        text = b' { "7" : { "str" : "\\u00e9\\ud83d\\ude00\\/" } ,\n "8":{"str":"AP8"} } '
        assert everything.deserialize_with_protocol(text, P.StandardJSON).to_dict()["str"] == "\u00e9\U0001f600/"
        assert everything.deserialize_with_protocol(text, P.StandardJSON).to_dict()["bin"] == b"\x00\xff"


def test_own_dialects_stay_as_they_were(parser):
    everything = parser.get_struct("Everything")
    value = {"d": 1.5, "str": "ab", "far": 1}
    assert everything.serialize_with_protocol(value, P.Compact) != everything.serialize_with_protocol(value, P.StandardCompact)
    assert everything.serialize_with_protocol({"i": 5}, P.JSON) == b'{"4":["i32",5]}'
    assert everything.serialize_with_protocol({"i": 5}, P.StandardJSON) == b'{"4":{"i32":5}}'
    assert (repr(P.StandardCompact), int(P.StandardCompact), repr(P.StandardJSON), int(P.StandardJSON)) == (
        "ProtocolType.StandardCompact", 3, "ProtocolType.StandardJSON", 4)
    service = parser.get_service("Dialects")
    for proto in (P.StandardCompact, P.StandardJSON):
        assert velvane.ThriftClient(service, "127.0.0.1", 1, T.Framed, proto).protocol is proto
        assert velvane.AsyncThriftClient(service, "127.0.0.1", 1, protocol=proto).protocol is proto
        assert velvane.ThriftServer(service, protocol=proto).protocol is proto


BOX = {"b": True, "y": -1, "l": 2**40, "d": 2.5, "str": "\u00e9", "bin": b"\x00\x01", "li": [1, 2],
       "st": ["s"], "m": {"k": -1}, "inner": {"id": 3, "label": "in"}, "inners": [{"id": 4}], "nested": {7: ["x"]},
       "bools": [False], "dm": {0.5: True}, "far": -300}


def check_calls(call, tt=None):
    assert call("add", a=2**31 - 1, b=-5) == 2**31 - 6
    assert plain(call("echo", e=BOX)) == BOX
    assert call("group", keys=["ab", "c"]) == {"ab": [2, 0], "c": [1, 1]}
    with pytest.raises(RuntimeError, match=r"Service exception 'oops' \(field 1\): .*nope"):
        call("fail", why="nope")
    assert call("note", text="hello") is None
    assert call("add", a=20, b=22) == 42


@pytest.mark.parametrize("transport", sorted(TRANSPORTS))
@pytest.mark.parametrize("dialect", sorted(DIALECTS))
def test_our_client_against_apache_server(peer, parser, dialect, transport):
    with peer.server("Dialects", HANDLER, transport=transport, protocol=dialect) as (host, port):
        with velvane.ThriftClient(parser.get_service("Dialects"), host, port, TRANSPORTS[transport],
                                  DIALECTS[dialect]) as client:
            client.set_parser(parser)
            client.timeout = 10.0
            check_calls(client.call)


class Oops(Exception):
    pass


class Handlers:
    def add(self, a, b):
        return a + b

    def echo(self, e):
        return e

    def fail(self, why):
        e = Oops(why)
        e.why, e.code = why, 7
        raise e

    def note(self, text):
        pass

    def group(self, keys):
        return {k: [len(k), i] for i, k in enumerate(keys)}


def our_server(parser, dialect, transport):
    server = velvane.ThriftServer(parser.get_service("Dialects"), transport=TRANSPORTS[transport],
                                  protocol=DIALECTS[dialect])
    server.set_parser(parser)
    for name in ("add", "echo", "fail", "note", "group"):
        server.register_handler(name, getattr(Handlers(), name))
    return server


@pytest.mark.parametrize("transport", sorted(TRANSPORTS))
@pytest.mark.parametrize("dialect", sorted(DIALECTS))
def test_apache_client_against_our_server(peer, parser, dialect, transport):
    tt = peer.module("ttypes")
    with serving(our_server(parser, dialect, transport)) as port:
        with peer.client("Dialects", port, transport=transport, protocol=dialect) as client:
            assert client.add(2**31 - 1, -5) == 2**31 - 6
            box = to_apache(tt, BOX)
            assert client.echo(box) == box
            assert client.group(["ab", "c"]) == {"ab": [2, 0], "c": [1, 1]}
            with pytest.raises(tt.Oops) as raised:
                client.fail("nope")
            assert (raised.value.why, raised.value.code) == ("nope", 7)
            client.note("hello")
            assert client.add(20, 22) == 42


# --- Apache Thrift's C++ server (bench/peers/apache_server, built by `cmake --build build --target bench_peers`) ---

ROOT = pathlib.Path(__file__).resolve().parent.parent
CPP_SERVER = pathlib.Path(os.environ.get("VELVANE_BUILD_DIR", ROOT / "build")) / "apache_server"
MEDIUM = {"count": -7, "name": "m\u00e9", "stamp": -(2**63), "ratio": 0.1, "active": True, "numbers": [1, -2],
          "counters": {"a": 2**40}, "inners": [{"id": 1, "score": -1.5, "label": "i"}], "blob": b"\x00\xff",
          "tags": ["t"]}


def workloads():
    """A parser of the C++ peers' service (bench/workloads.thrift)."""
    parser = velvane.ThriftParser()
    parser.parse((ROOT / "bench" / "workloads.thrift").read_text())
    return parser


@pytest.mark.skipif(not CPP_SERVER.exists(), reason="the C++ peers are not built (target bench_peers)")
@pytest.mark.parametrize("transport", sorted(TRANSPORTS))
@pytest.mark.parametrize("dialect", sorted(DIALECTS))
def test_our_client_against_apache_cpp_server(dialect, transport):
    bench = workloads()
    command = [str(CPP_SERVER), "--transport", transport, "--protocol", dialect]
    with running_child(command) as (host, port):
        with velvane.ThriftClient(bench.get_service("Bench"), host, port, TRANSPORTS[transport],
                                  DIALECTS[dialect]) as client:
            client.set_parser(bench)
            client.timeout = 10.0
            assert client.call("add", a=2**31 - 1, b=-5) == 2**31 - 6
            assert plain(client.call("echo", m=MEDIUM)) == MEDIUM


CPP_LOAD = CPP_SERVER.with_name("apache_load")


@pytest.mark.skipif(not CPP_LOAD.exists(), reason="the C++ peers are not built (target bench_peers)")
@pytest.mark.parametrize("dialect", sorted(DIALECTS))
def test_apache_cpp_client_against_our_server(dialect):
    bench = workloads()
    server = velvane.ThriftServer(bench.get_service("Bench"), protocol=DIALECTS[dialect])
    server.set_parser(bench)
    server.register_handler("add", lambda a, b: a + b)
    server.register_handler("echo", lambda m: m)
    with serving(server) as port:
        for call in ("add", "echo"):
            done = subprocess.run([str(CPP_LOAD), "--port", str(port), "--call", call, "--calls", "200",
                                   "--warmup-calls", "10", "--check", "1", "--protocol", dialect],
                                  capture_output=True, text=True, timeout=60)
            assert done.returncode == 0, done.stderr
            assert '"checked":200,"lost":0,"mixed":0' in done.stdout


# --- Multiplexed services ---


@pytest.mark.parametrize("dialect", ["binary", "compact"])
def test_our_multiplexing_client_against_apache_multiplexed_server(peer, parser, dialect):
    proto = {"binary": P.Binary, "compact": P.StandardCompact}[dialect]
    with peer.server("Dialects", HANDLER, protocol=dialect, multiplexed="Calc") as (host, port):
        with velvane.ThriftClient(parser.get_service("Dialects"), host, port, T.Framed, proto) as client:
            client.service_name = "Calc"
            client.set_parser(parser)
            client.timeout = 10.0
            check_calls(client.call)


def multiplexing_server(parser, transport="framed"):
    server = our_server(parser, "compact", transport)
    server.add_service(parser.get_service("Greeter"))
    server.add_service(parser.get_service("Greeter"), name="Polite")
    server.register_handler("Greeter:hello", lambda who: f"hi {who}")
    server.register_handler("Polite:hello", lambda who: f"good day, {who}")
    return server


@pytest.mark.parametrize("transport", sorted(TRANSPORTS))
def test_apache_multiplexed_clients_against_our_server(peer, parser, transport):
    from thrift.Thrift import TApplicationException

    with serving(multiplexing_server(parser, transport)) as port:
        for name, expected in (("Greeter", "hi you"), ("Polite", "good day, you")):
            with peer.client("Greeter", port, transport=transport, protocol="compact", multiplexed=name) as client:
                assert client.hello("you") == expected
        for multiplexed in ("Dialects", None):  # the default service, by its name or without one
            with peer.client("Dialects", port, transport=transport, protocol="compact", multiplexed=multiplexed) as c:
                assert c.add(40, 2) == 42
        with peer.client("Greeter", port, transport=transport, protocol="compact", multiplexed="Nope") as client:
            with pytest.raises(TApplicationException) as raised:
                client.hello("you")
            assert raised.value.type == TApplicationException.UNKNOWN_METHOD


def test_our_multiplexing_clients_against_our_server(parser):
    greeter = parser.get_service("Greeter")
    with serving(multiplexing_server(parser)) as port:
        with velvane.ThriftClient(greeter, "127.0.0.1", port, T.Framed, P.StandardCompact) as c:
            c.set_parser(parser)
            assert c.service_name is None
            c.service_name = "Polite"
            assert c.service_name == "Polite"
            assert c.call("hello", who="sync") == "good day, sync"

        async def call_async():
            client = velvane.AsyncThriftClient(greeter, "127.0.0.1", port, protocol=P.StandardCompact)
            client.service_name = "Greeter"
            client.set_parser(parser)
            await client.open()
            try:
                return await asyncio.wait_for(client.call("hello", who="async"), 10)
            finally:
                await client.close()

        assert asyncio.run(call_async()) == "hi async"
    with pytest.raises(ValueError, match="Service already hosted: Greeter"):
        multiplexing_server(parser).add_service(greeter)
    client = velvane.ThriftClient(greeter, "127.0.0.1", 1)
    with pytest.raises(TypeError):
        client.service_name = 5
    client.service_name = "X"
    client.service_name = None
    assert client.service_name is None


# --- The header transport (THeader) ---

HEADER_PROTOCOLS = {"binary": P.Binary, "compact": P.StandardCompact}
# Apache's handler reads the request's headers and answers with two of them.
HEADER_HANDLER = HANDLER.replace("""    def add(self, a, b):
        return a + b""", """    def add(self, a, b):
        got = request_headers()
        reply_header(b"trace", got.get(b"trace", b"none"))
        reply_header(b"timeout", got.get(b"client_timeout", b"none"))
        return a + b""")


@pytest.mark.parametrize("zlib", [False, True], ids=["plain", "zlib"])
@pytest.mark.parametrize("dialect", sorted(HEADER_PROTOCOLS))
def test_our_header_clients_against_apache_header_server(peer, parser, dialect, zlib):
    with peer.server("Dialects", HEADER_HANDLER, transport="header", protocol=dialect) as (host, port):
        with velvane.ThriftClient(parser.get_service("Dialects"), host, port, T.Header,
                                  HEADER_PROTOCOLS[dialect]) as client:
            client.set_parser(parser)
            client.timeout = 10.0
            client.header_zlib = zlib
            client.headers = {"trace": "t-\u00e9", b"raw": b"\xff"}
            assert client.last_reply_headers == {}
            check_calls(client.call)
            assert client.last_reply_headers == {"trace": "t-\u00e9", "timeout": "10000"}
            client.headers = None
            client.timeout = None
            assert client.call("add", a=1, b=2) == 3
            assert client.last_reply_headers == {"trace": "none", "timeout": "none"}

        async def call_async():
            client = velvane.AsyncThriftClient(parser.get_service("Dialects"), host, port, T.Header,
                                               HEADER_PROTOCOLS[dialect])
            client.set_parser(parser)
            client.header_zlib = zlib
            client.headers = {"trace": "async"}
            client.timeout = 2.5
            await client.open()
            try:
                assert await asyncio.wait_for(client.call("add", a=40, b=2), 10) == 42
                return client.last_reply_headers
            finally:
                await client.close()

        assert asyncio.run(call_async()) == {"trace": "async", "timeout": "2500"}


@pytest.mark.parametrize("zlib", [False, True], ids=["plain", "zlib"])
@pytest.mark.parametrize("dialect", sorted(HEADER_PROTOCOLS))
def test_apache_header_client_against_our_server(peer, parser, dialect, zlib):
    from thrift.transport.THeaderTransport import THeaderTransformID

    tt = peer.module("ttypes")
    server = our_server(parser, "compact", "framed")
    server.transport, server.protocol = T.Header, HEADER_PROTOCOLS[dialect]
    with serving(server) as port:
        with peer.client("Dialects", port, transport="header", protocol=dialect) as client:
            if zlib:
                client._oprot.add_transform(THeaderTransformID.ZLIB)
            client._oprot.set_header(b"trace", b"x")
            assert client.add(2**31 - 1, -5) == 2**31 - 6
            box = to_apache(tt, BOX)
            assert client.echo(box) == box
            with pytest.raises(tt.Oops) as raised:
                client.fail("nope")
            assert (raised.value.why, raised.value.code) == ("nope", 7)
            client.note("hello")
            assert client.group(["ab", "c"]) == {"ab": [2, 0], "c": [1, 1]}


def test_our_header_client_against_our_server(parser):
    server = our_server(parser, "compact", "framed")
    server.transport = T.Header
    server.max_message_size = 64 << 10
    service = parser.get_service("Dialects")
    with serving(server) as port:
        with velvane.ThriftClient(service, "127.0.0.1", port, T.Header, P.StandardCompact) as client:
            client.set_parser(parser)
            client.timeout = 10.0
            client.header_zlib = True
            check_calls(client.call)
            # Compressed, the request fits the server's limit; inflated, it would not.
            with pytest.raises(OSError):
                client.call("echo", e={"str": "z" * (1 << 20)})
        # A request in the other protocol ends its connection; one the transport cannot carry is refused.
        with velvane.ThriftClient(service, "127.0.0.1", port, T.Header, P.Binary) as client:
            with pytest.raises(OSError, match="failed to fill whole buffer"):
                client.call("add", a=1, b=2)
        with velvane.ThriftClient(service, "127.0.0.1", port, T.Header, P.Compact) as client:
            with pytest.raises(ValueError, match="carries ProtocolType.Binary or ProtocolType.StandardCompact only"):
                client.call("add", a=1, b=2)
    server.protocol = P.JSON
    with pytest.raises(ValueError, match="carries ProtocolType.Binary or ProtocolType.StandardCompact only"):
        server.serve("127.0.0.1", 0)
    assert repr(T.Header) == "TransportType.Header" and int(T.Header) == 3


@pytest.mark.parametrize("protocol_id", [0, 1], ids=["binary", "json"])
def test_a_header_reply_is_read_in_the_protocol_its_frame_names(parser, protocol_id):
    """Apache's C++ server, multiplexed, answers a compact header request in binary; its clients read the
    reply as the frame says, and so do ours. A protocol the transport cannot carry is refused."""
    def answer_in_binary(conn):
        request = recv_frame(conn)
        seqid = request[4:8]
        message = (b"\x80\x01\x00\x02" + (3).to_bytes(4, "big") + b"add" + seqid
                   + b"\x08\x00\x00" + (3).to_bytes(4, "big") + b"\x00")
        section = bytes([protocol_id, 0, 0, 0])  # protocol id, no transforms, padding
        conn.sendall(frame(b"\x0f\xff\x00\x00" + seqid + (1).to_bytes(2, "big") + section + message))

    with Peer(answer_in_binary) as peer:
        with velvane.ThriftClient(parser.get_service("Dialects"), "127.0.0.1", peer.port, T.Header,
                                  P.StandardCompact) as client:
            client.timeout = 10.0
            if protocol_id == 0:
                assert client.call("add", a=1, b=2) == 3
            else:
                with pytest.raises(OSError, match=r"protocol 1, neither binary \(0\) nor compact \(2\)"):
                    client.call("add", a=1, b=2)


def test_a_handler_sees_the_header_requests_headers_and_deadline(parser):
    server = our_server(parser, "compact", "framed")
    server.transport = T.Header
    seen = []

    def add(a, b):
        ctx = velvane.ThriftServer.current_request()
        seen.append((ctx.headers, ctx.transport, ctx.deadline and ctx.deadline - time.monotonic()))
        return a + b

    server.register_handler("add", add)
    with serving(server) as port:
        with velvane.ThriftClient(parser.get_service("Dialects"), "127.0.0.1", port, T.Header,
                                  P.StandardCompact) as client:
            client.set_parser(parser)
            client.headers = {"trace": "t-1"}
            client.timeout = 30.0
            assert client.call("add", a=1, b=2) == 3
            client.timeout = None
            assert client.call("add", a=3, b=4) == 7
    (headers, transport, left), (plain_headers, _, no_deadline) = seen
    assert headers == {"trace": "t-1", "client_timeout": "30000"} and transport == T.Header
    assert 20 < left <= 30
    assert plain_headers == {"trace": "t-1"} and no_deadline is None


@pytest.mark.parametrize("client_kind", ["blocking", "async, plain hook", "async, async hook"])
def test_headers_a_client_interceptor_adds_reach_the_handler(parser, client_kind):
    server = our_server(parser, "compact", "framed")
    server.transport = T.Header
    seen = []

    def add(a, b):
        seen.append(velvane.ThriftServer.current_request().headers)
        return a + b

    server.register_handler("add", add)

    class Tracing:
        def before(self, ctx, args):
            ctx.headers["span"] = f"{ctx.method}-{ctx.seqid}"

    class AsyncTracing:
        async def before(self, ctx, args):
            ctx.headers["span"] = f"{ctx.method}-{ctx.seqid}"

    service = parser.get_service("Dialects")
    with serving(server) as port:
        if client_kind == "blocking":
            with velvane.ThriftClient(service, "127.0.0.1", port, T.Header, P.StandardCompact) as client:
                client.headers = {"trace": "t-1"}
                client.add_interceptor(Tracing())
                assert client.call("add", a=1, b=2) == 3
        else:
            async def run():
                client = velvane.AsyncThriftClient(service, "127.0.0.1", port, T.Header, P.StandardCompact)
                client.headers = {"trace": "t-1"}
                client.add_interceptor(AsyncTracing() if "async hook" in client_kind else Tracing())
                async with client:
                    return await client.call("add", a=1, b=2)

            assert asyncio.run(run()) == 3
    [headers] = seen
    assert headers["trace"] == "t-1" and headers["span"].startswith("add-")


@pytest.mark.skipif(not CPP_SERVER.exists(), reason="the C++ peers are not built (target bench_peers)")
@pytest.mark.parametrize("zlib", [False, True], ids=["plain", "zlib"])
@pytest.mark.parametrize("dialect", sorted(HEADER_PROTOCOLS))
def test_our_header_client_against_apache_cpp_header_server(dialect, zlib):
    bench = workloads()
    with running_child([str(CPP_SERVER), "--transport", "header"]) as (host, port):
        with velvane.ThriftClient(bench.get_service("Bench"), host, port, T.Header,
                                  HEADER_PROTOCOLS[dialect]) as client:
            client.set_parser(bench)
            client.timeout = 10.0
            client.header_zlib = zlib
            client.headers = {"trace": "cpp"}
            assert client.call("add", a=2**31 - 1, b=-5) == 2**31 - 6
            # Apache's C++ transport inflates into a buffer of about a kilobyte: larger zlib messages
            # fail there, whoever sent them.
            sent = {k: MEDIUM[k] for k in ("count", "name", "stamp", "numbers")} if zlib else MEDIUM
            unset = {"ratio": 0.0, "active": False, "counters": {}, "inners": [], "blob": b"", "tags": []}
            assert plain(client.call("echo", m=sent)) == unset | sent  # C++ writes every default field


@pytest.mark.skipif(not CPP_LOAD.exists(), reason="the C++ peers are not built (target bench_peers)")
@pytest.mark.parametrize("dialect", sorted(HEADER_PROTOCOLS))
def test_apache_cpp_header_client_against_our_server(dialect):
    bench = workloads()
    server = velvane.ThriftServer(bench.get_service("Bench"), T.Header, protocol=HEADER_PROTOCOLS[dialect])
    server.set_parser(bench)
    server.register_handler("add", lambda a, b: a + b)
    server.register_handler("echo", lambda m: m)
    with serving(server) as port:
        for call in ("add", "echo"):
            done = subprocess.run([str(CPP_LOAD), "--port", str(port), "--call", call, "--calls", "200",
                                   "--warmup-calls", "10", "--check", "1", "--protocol", f"header-{dialect}"],
                                  capture_output=True, text=True, timeout=60)
            assert done.returncode == 0, done.stderr
            assert '"checked":200,"lost":0,"mixed":0' in done.stdout


# --- uuid, as Apache's compact (type 0x0D) and JSON ("uid") protocols write it ---


@pytest.mark.parametrize("dialect", sorted(DIALECTS))
def test_uuid_read_and_written_as_apache_does(dialect):
    from test_idl_compat import UUIDS, apache_read, apache_write
    from thrift.protocol import TCompactProtocol, TJSONProtocol

    theirs = {"compact": TCompactProtocol.TCompactProtocol, "json": TJSONProtocol.TJSONProtocol}[dialect]
    parser = velvane.ThriftParser(compat=True)
    parser.parse("struct R { 1: i8 small, 2: uuid ident, 3: list<uuid> many }")
    struct = parser.get_struct("R")
    value = {"small": -1, "ident": UUIDS[0], "many": UUIDS}
    data = struct.serialize_with_protocol(value, DIALECTS[dialect])
    assert data == apache_write(theirs, -1, UUIDS[0], UUIDS)
    assert apache_read(theirs, data) == value
    back = struct.deserialize_with_protocol(apache_write(theirs, 5, UUIDS[1], UUIDS[::-1]), DIALECTS[dialect])
    assert (back.small, back.ident, back.many) == (5, UUIDS[1], UUIDS[::-1])


@pytest.mark.parametrize("dialect", sorted(DIALECTS))
def test_uuid_calls_over_buffered_transport(dialect):
    parser = velvane.ThriftParser(compat=True)
    parser.parse("service Ids { map<uuid, list<uuid>> pair(1: uuid a, 2: set<uuid> b) }")
    server = velvane.ThriftServer(parser.get_service("Ids"), T.Buffered, protocol=DIALECTS[dialect])
    server.set_parser(parser)
    server.register_handler("pair", lambda a, b: {a: sorted(b)})
    a, b = uuid.uuid4(), [uuid.uuid4(), uuid.uuid4()]
    with serving(server) as port:
        with velvane.ThriftClient(parser.get_service("Ids"), "127.0.0.1", port, T.Buffered, DIALECTS[dialect]) as c:
            c.set_parser(parser)
            c.timeout = 10.0
            assert c.call("pair", a=a, b=b) == {a: sorted(b)}
