"""ThriftClient against Apache Thrift's Python server (binary protocol, framed and buffered)."""
import shutil

import pytest

import velvane

pytest.importorskip("thrift")
if not shutil.which("thrift"):
    pytest.skip("the thrift compiler is not installed", allow_module_level=True)

from apache_peer import ApachePeer  # noqa: E402

IDL = """
exception Oops { 1: string why, 2: i32 code }
struct Item { 1: string name, 2: list<i32> values, 3: map<string, double> weights }
struct Box {
  1: Item item, 2: set<string> tags, 3: list<Item> items, 4: binary blob, 5: bool flag, 6: i64 big,
  7: map<i32, list<Item>> index,
}
service Interop {
  i32 add(1: i32 a, 2: i32 b),
  Box echo(1: Box box),
  void fail(1: string why) throws (1: Oops oops),
  void crash(),
  oneway void note(1: string text),
  map<string, list<i32>> group(1: list<string> keys),
}
"""

HANDLER = """
class Handler:
    notes = []

    def add(self, a, b):
        return a + b

    def echo(self, box):
        return box

    def fail(self, why):
        raise Oops(why=why, code=7)

    def crash(self):
        raise ValueError("boom")

    def note(self, text):
        Handler.notes.append(text)

    def group(self, keys):
        return {k: [len(k), i] for i, k in enumerate(keys)}
"""

TRANSPORTS = {"framed": velvane.TransportType.Framed, "buffered": velvane.TransportType.Buffered}


@pytest.fixture(scope="module")
def peer(tmp_path_factory):
    return ApachePeer(IDL, tmp_path_factory.mktemp("client_interop"))


@pytest.fixture(scope="module", params=sorted(TRANSPORTS))
def client(request, peer):
    parser = velvane.ThriftParser()
    parser.parse(IDL)
    with peer.server("Interop", HANDLER, transport=request.param) as (host, port):
        with velvane.ThriftClient(parser.get_service("Interop"), host, port, TRANSPORTS[request.param]) as c:
            c.set_parser(parser)
            yield c


def item(name, values, weights):
    return {"name": name, "values": values, "weights": weights}


def test_scalars(client):
    assert client.call("add", a=2**31 - 1, b=-5) == 2**31 - 6


def test_structs_and_containers_round_trip(client):
    box = {
        "item": item("a", [1, -2, 3], {"x": 0.5}),
        "tags": ["t1"],
        "items": [item("b", [], {}), item("c", [7], {"y": -1.25, "z": 2.0})],
        "blob": b"\x00\xff\x80",
        "flag": True,
        "big": -(2**62),
        "index": {3: [item("d", [4], {})], -1: []},
    }
    result = client.call("echo", box=box).to_dict()
    assert result["item"].to_dict() == box["item"]
    assert [i.to_dict() for i in result["items"]] == box["items"]
    assert [i.to_dict() for i in result["index"][3]] == box["index"][3] and result["index"][-1] == []
    assert (result["tags"], result["blob"], result["flag"], result["big"]) == (["t1"], b"\x00\xff\x80", True, -(2**62))
    assert client.call("group", keys=["ab", "c"]) == {"ab": [2, 0], "c": [1, 1]}


def test_declared_exception(client):
    with pytest.raises(RuntimeError, match=r"^Service exception 'oops' \(field 1\): .*nope") as caught:
        client.call("fail", why="nope")
    assert "7" in str(caught.value)
    error = caught.value
    assert (error.name, error.field, error.type) == ("oops", 1, "Oops")
    assert error.value.to_dict() == {"why": "nope", "code": 7}


def test_handler_failure_is_an_application_exception(client):
    with pytest.raises(velvane.ThriftApplicationException) as caught:
        client.call("crash")
    assert caught.value.type_ == 6  # INTERNAL_ERROR
    assert client.call("add", a=1, b=1) == 2  # the connection is still in step


def test_oneway_then_a_call(client):
    assert client.call("note", text="hello") is None
    assert client.call("add", a=20, b=22) == 42
