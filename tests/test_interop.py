"""Byte-for-byte interoperability with Apache Thrift's binary protocol (its generated Python classes)."""
import shutil
import subprocess
import sys

import pytest

import velvane

thrift = pytest.importorskip("thrift")
from thrift.protocol import TBinaryProtocol  # noqa: E402
from thrift.TSerialization import deserialize, serialize  # noqa: E402

IDL = """
struct Inner { 1: i64 id, 2: double score, 3: string label }
struct Everything {
  1: bool b, 2: byte y, 3: i16 s, 4: i32 i, 5: i64 l, 6: double d, 7: string str, 8: binary bin,
  9: list<i32> li, 10: set<string> st, 11: map<string, i64> m, 12: Inner inner, 13: list<Inner> inners,
  14: map<i32, list<string>> nested, 300: i32 far,
}
"""

FACTORIES = [TBinaryProtocol.TBinaryProtocolFactory(), TBinaryProtocol.TBinaryProtocolAcceleratedFactory()]


@pytest.fixture(scope="module")
def generated(tmp_path_factory):
    if not shutil.which("thrift"):
        pytest.skip("the thrift compiler is not installed")
    out = tmp_path_factory.mktemp("gen")
    idl = out / "interop.thrift"
    idl.write_text(IDL)
    subprocess.run(["thrift", "--gen", "py", "-out", str(out), str(idl)], check=True)
    sys.path.insert(0, str(out))
    try:
        import interop.ttypes as ttypes
    finally:
        sys.path.remove(str(out))
    return ttypes


@pytest.fixture(scope="module")
def everything():
    p = velvane.ThriftParser()
    p.parse(IDL)
    return p.get_struct("Everything")


VALUES = [
    {},
    {"b": True, "y": -5, "s": 300, "i": -70000, "l": 2**62, "d": -0.5, "str": "héllo", "bin": b"\x00\xff"},
    {"li": [3, -1, 0], "st": ["only"], "m": {"a": 1, "b": -2}, "far": 9},
    {"inner": {"id": 1, "score": 1.5, "label": "x"}, "inners": [{"id": 2}, {"label": "y"}]},
    {"nested": {1: ["a", "b"], -2: []}},
]


def to_thrift(tt, value):
    v = dict(value)
    if "inner" in v:
        v["inner"] = tt.Inner(**v["inner"])
    if "inners" in v:
        v["inners"] = [tt.Inner(**i) for i in v["inners"]]
    if "st" in v:
        v["st"] = set(v["st"])
    return tt.Everything(**v)


@pytest.mark.parametrize("value", VALUES)
@pytest.mark.parametrize("factory", FACTORIES, ids=["pure", "accelerated"])
def test_same_bytes_both_ways(generated, everything, value, factory):
    ours = everything.serialize(value)
    theirs = serialize(to_thrift(generated, value), factory)
    assert ours == theirs
    back = deserialize(generated.Everything(), ours, factory)
    assert back == to_thrift(generated, value)
    mine = everything.deserialize(theirs).to_dict()
    for key, expected in value.items():
        got = mine[key]
        if key == "inner":
            got = {k: x for k, x in got.to_dict().items() if x is not None}
        elif key == "inners":
            got = [{k: x for k, x in g.to_dict().items() if x is not None} for g in got]
        assert got == expected
