"""Struct instances and the serialize API: conversions, exact bytes, read errors."""
import os
import subprocess
import sys

import pytest

import velvane

P = velvane.ProtocolType
PROTOCOLS = [P.Binary, P.Compact, P.JSON]

IDL = """
struct Inner { 1: i64 id, 2: double score, 3: string label }
struct All {
  1: bool b, 2: byte y, 3: i16 s, 4: i32 i, 5: i64 l, 6: double d, 7: string str, 8: binary bin,
  9: list<i32> li, 10: set<string> st, 11: map<string, i64> m, 12: Inner inner, 13: list<Inner> inners,
}
struct Defaults { 1: i32 count = 5, 2: string name, 3: required string must }
struct Req { 1: required string name, 2: i32 n }
struct Node { 1: i32 v, 2: list<Node> kids }
struct Holder { 1: Missing m }
struct Empty {}
"""


@pytest.fixture(scope="module")
def schema():
    p = velvane.ThriftParser()
    p.parse(IDL)
    return p


def scalar_bytes(field_type_id, field_id, payload):
    return bytes([field_type_id]) + field_id.to_bytes(2, "big") + payload + b"\x00"


@pytest.mark.parametrize(
    "field, value, expected",
    [
        ("b", True, scalar_bytes(2, 1, b"\x01")),
        ("y", -1, scalar_bytes(3, 2, b"\xff")),
        ("s", 258, scalar_bytes(6, 3, b"\x01\x02")),
        ("i", True, scalar_bytes(8, 4, b"\x00\x00\x00\x01")),
        ("l", -2, scalar_bytes(10, 5, b"\xff" * 7 + b"\xfe")),
        ("d", 1, scalar_bytes(4, 6, b"\x3f\xf0" + b"\x00" * 6)),
        ("str", "hé", scalar_bytes(11, 7, b"\x00\x00\x00\x03h\xc3\xa9")),
        ("bin", [1, 2], scalar_bytes(11, 8, b"\x00\x00\x00\x02\x01\x02")),
        ("bin", bytearray(b"ab"), scalar_bytes(11, 8, b"\x00\x00\x00\x02ab")),
        ("li", [1, 2], scalar_bytes(15, 9, b"\x08\x00\x00\x00\x02\x00\x00\x00\x01\x00\x00\x00\x02")),
        ("st", [], scalar_bytes(14, 10, b"\x0b\x00\x00\x00\x00")),
        ("m", {"a": 1}, scalar_bytes(13, 11, b"\x0b\x0a\x00\x00\x00\x01\x00\x00\x00\x01a" + b"\x00" * 7 + b"\x01")),
        ("inner", {"id": 1}, scalar_bytes(12, 12, b"\x0a\x00\x01" + b"\x00" * 7 + b"\x01\x00")),
    ],
)
def test_binary_bytes_of_each_type(schema, field, value, expected):
    assert schema.get_struct("All").serialize({field: value}) == expected


@pytest.mark.parametrize(
    "field, value, exc, message",
    [
        ("b", 1, TypeError, "'int' object is not an instance of 'bool'"),
        ("y", 200, OverflowError, "out of range integral type conversion attempted"),
        ("s", -40000, OverflowError, "out of range integral type conversion attempted"),
        ("i", 2**31, OverflowError, None),
        ("l", 2**63, OverflowError, None),
        ("i", "1", TypeError, None),
        ("i", 1.5, TypeError, None),
        ("d", "x", TypeError, None),
        ("str", b"x", TypeError, "'bytes' object is not an instance of 'str'"),
        ("str", "\ud800", UnicodeEncodeError, None),
        ("bin", "text", TypeError, "Can't extract `str` to `Vec`"),
        ("bin", 5, TypeError, "'int' object is not an instance of 'Sequence'"),
        ("bin", [1, 256], OverflowError, "out of range integral type conversion attempted"),
        ("li", (1, 2), TypeError, "'tuple' object is not an instance of 'list'"),
        ("st", {"a"}, TypeError, "'set' object is not an instance of 'list'"),
        ("m", [("a", 1)], TypeError, "'list' object is not an instance of 'dict'"),
        ("inner", 3, TypeError, "'int' object is not an instance of 'dict'"),
        ("li", [1, None], TypeError, "None has no ThriftValue representation"),
    ],
)
@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_refused_values(schema, field, value, exc, message, protocol):
    with pytest.raises(exc) as info:
        schema.get_struct("All").serialize_with_protocol({field: value}, protocol)
    if message:
        assert str(info.value) == message


def test_field_selection_rules(schema):
    d = schema.get_struct("Defaults")
    # absent with default: written; absent required without default: left out silently
    assert d.serialize({}) == b"\x08\x00\x01\x00\x00\x00\x05\x00"
    # present None on an optional field: left out, default not applied
    assert d.serialize({"count": None}) == b"\x00"
    with pytest.raises(TypeError, match="^Required field 'must' cannot be None$"):
        d.serialize({"must": None})
    assert d.serialize({"count": 1, "unknown": object()}) == b"\x08\x00\x01\x00\x00\x00\x01\x00"
    assert schema.get_struct("Empty").serialize({}) == b"\x00"
    with pytest.raises(TypeError, match="^'list' object is not an instance of 'dict'$"):
        d.serialize([1])


def test_unknown_nested_struct(schema):
    with pytest.raises(ValueError, match="^Unknown struct in schema: Missing$"):
        schema.get_struct("Holder").serialize({"m": {}})


@pytest.mark.parametrize(
    "data, message",
    [
        (b"\x08\x00\x04", "Read error: IO error: failed to fill whole buffer"),
        (b"\x05\x00\x01", "Read error: Invalid type: 5"),
        (b"\x0f\x00\x09\x05\x00\x00\x00\x00\x00", "Read error: Invalid field type"),
        (b"", "Read error: IO error: failed to fill whole buffer"),
        (b"\x0b\x00\x07\x00\x00\x00\x01\xff\x00", "invalid utf-8 sequence of 1 bytes from index 0"),
        (b"\x0b\x00\x07\x7f\xff\xff\xff abc", "Read error: IO error: failed to fill whole buffer"),
        (b"\x0d\x00\x0b\x0b\x0a\xff\xff\xff\xff", "Negative size: -1"),
    ],
)
def test_binary_read_errors(schema, data, message):
    with pytest.raises(OSError) as info:
        schema.get_struct("All").deserialize(data)
    text = str(info.value)
    assert text.startswith("Read error: ")
    if message.startswith("Read error: "):
        assert text == message
    else:
        assert message in text


def test_read_tolerates_unknown_fields_and_declared_type_wins(schema):
    all_ = schema.get_struct("All")
    # unknown field 99 (binary, not UTF-8) is skipped; field 4 is read as declared i32
    data = b"\x0b\x00\x63\x00\x00\x00\x02\xff\xfe" + b"\x08\x00\x04\x00\x00\x00\x07" + b"\x00trailing"
    inst = all_.deserialize(data)
    assert inst.i == 7 and inst.b is None


def test_deserialize_argument_types(schema):
    with pytest.raises(TypeError, match="^argument 'data': 'str' object is not an instance of 'bytes'$"):
        schema.get_struct("All").deserialize("x")
    with pytest.raises(TypeError, match="argument 'protocol'"):
        schema.get_struct("All").serialize_with_protocol({}, 1)
    with pytest.raises(TypeError, match="argument 'protocol'"):
        schema.get_struct("All").deserialize_with_protocol(b"\x00", 0)


def test_instances(schema):
    d = schema.get_struct("Defaults")
    inst = d.new_instance()
    assert inst.count == 5 and inst.name is None
    assert inst.struct_name == "Defaults"
    assert inst.field_names() == ["count", "name", "must"]
    assert repr(inst) == "Defaults(count=5, name=None, must=None)"
    assert d.serialize(inst) == b"\x08\x00\x01\x00\x00\x00\x05\x00"
    inst.must = None  # no required check for instances
    inst.count = None
    assert d.serialize(inst) == b"\x00"
    with pytest.raises(AttributeError, match="^can't delete attribute$"):
        del inst.count
    with pytest.raises(AttributeError, match="^'Defaults' object has no attribute 'nope'$"):
        inst.nope
    with pytest.raises(AttributeError, match="^'Defaults' object has no attribute 'nope'$"):
        inst.nope = 1
    assert d(count=9, bogus=1).count == 9
    assert d().count == 5
    assert d.new_instance_from_dict({"count": "not an int", 3: "x"}).count == "not an int"


def test_reads_are_cached_so_mutation_is_serialized(schema):
    all_ = schema.get_struct("All")
    inst = all_.deserialize(all_.serialize({"li": [1]}))
    assert inst.li is inst.li
    inst.li.append(2)
    assert all_.deserialize(all_.serialize(inst)).li == [1, 2]


def test_to_dict_and_nested_instances(schema):
    all_ = schema.get_struct("All")
    inst = all_.deserialize(all_.serialize({"inner": {"id": 3, "label": "x"}, "inners": [{"score": 0.5}]}))
    d = inst.to_dict()
    assert list(d) == [f.name for f in all_.fields]
    assert d["b"] is None
    assert isinstance(d["inner"], velvane.ThriftStructInstance)
    assert d["inner"].to_dict() == {"id": 3, "score": None, "label": "x"}
    assert d["inners"][0].score == 0.5
    assert repr(d["inner"]) == "Inner(id=3, score=None, label='x')"


def test_direct_instances():
    inst = velvane.ThriftStructInstance("Point", x=1, y=2)
    assert inst.field_names() == ["x", "y"]
    assert inst.struct_name == "Point"
    assert repr(inst) == "Point(x=1, y=2)"
    inst.x = 5
    assert inst.to_dict() == {"x": 5, "y": 2}
    with pytest.raises(AttributeError):
        inst.z = 1
    with pytest.raises(TypeError):
        velvane.ThriftStructInstance(5)
    with pytest.raises(TypeError, match="got multiple values for argument 'struct_name'"):
        velvane.ThriftStructInstance("P", struct_name="Q")
    assert velvane.ThriftStructInstance(struct_name="Q", x=1).struct_name == "Q"


def test_any_keyword_name_is_an_assignable_field():
    inst = velvane.ThriftStructInstance("P", **{"\ud800": 1, "x": 2})
    setattr(inst, "\ud800", 5)
    assert getattr(inst, "\ud800") == 5
    assert inst.to_dict() == {"\ud800": 5, "x": 2}


def test_instance_of_direct_struct_serializes_under_a_definition(schema):
    inner = schema.get_struct("Inner")
    data = inner.serialize(velvane.ThriftStructInstance("Whatever", id=4, label="q"))
    assert inner.deserialize(data).to_dict() == {"id": 4, "score": None, "label": "q"}


@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_nesting_is_bounded(schema, protocol):
    node = schema.get_struct("Node")
    deep = {"v": 0}
    for _ in range(200):
        deep = {"v": 1, "kids": [deep]}
    with pytest.raises(ValueError, match="Nesting too deep"):
        node.serialize_with_protocol(deep, protocol)
    cyclic = {"v": 1, "kids": []}
    cyclic["kids"].append(cyclic)
    with pytest.raises(ValueError, match="Nesting too deep"):
        node.serialize_with_protocol(cyclic, protocol)
    ok = {"v": 0}
    for _ in range(20):
        ok = {"v": 1, "kids": [ok]}
    assert node.deserialize_with_protocol(node.serialize_with_protocol(ok, protocol), protocol).v == 1


def test_deep_binary_input_fails_cleanly(schema):
    node = schema.get_struct("Node")
    # field 2 (list of struct, 1 element) repeated far deeper than any limit
    data = b"\x0f\x00\x02\x0c\x00\x00\x00\x01" * 100000
    with pytest.raises(OSError, match="^Read error: "):
        node.deserialize(data)


def test_size_bomb_fails_at_once(schema):
    with pytest.raises(OSError, match="^Read error: "):
        schema.get_struct("All").deserialize(b"\x0f\x00\x09\x08\x7f\xff\xff\xff" + b"\x00" * 12)


class Index:
    def __init__(self, value, on_use=None):
        self.value, self.on_use = value, on_use

    def __index__(self):
        if self.on_use:
            self.on_use()
        return self.value


class Floaty:
    def __float__(self):
        return 0.5


def test_number_protocols_are_accepted(schema):
    all_ = schema.get_struct("All")
    assert all_.serialize({"i": Index(5)}) == all_.serialize({"i": 5})
    assert all_.serialize({"d": Floaty()}) == all_.serialize({"d": 0.5})
    assert all_.serialize({"bin": [Index(1), 2]}) == all_.serialize({"bin": b"\x01\x02"})


@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_containers_changed_by_callbacks_fail_cleanly(schema, protocol):
    all_ = schema.get_struct("All")
    items = [1, 2, 3]
    items[0] = Index(1, on_use=items.clear)
    with pytest.raises(RuntimeError, match="list changed size during serialization"):
        all_.serialize_with_protocol({"li": items}, protocol)
    counters = {}
    counters["a"] = Index(1, on_use=lambda: counters.update(b=2))
    with pytest.raises(RuntimeError, match="dict changed size during serialization"):
        all_.serialize_with_protocol({"m": counters}, protocol)


ALLOCATION_FAILURE = r"""
import resource, sys, velvane
p = velvane.ThriftParser()
p.parse("struct Blob { 1: binary data }")
blob = p.get_struct("Blob")
protocol = getattr(velvane.ProtocolType, sys.argv[1])
big = {"data": b"x" * (64 << 20)}
with open("/proc/self/statm") as f:
    in_use = int(f.read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (in_use + (32 << 20), resource.RLIM_INFINITY))
try:
    blob.serialize_with_protocol(big, protocol)
except MemoryError:
    print("MemoryError")
del big
print(blob.deserialize(blob.serialize({"data": b"ok"})).data)
"""


@pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""), reason="the sanitizer reserves more address space than the limit"
)
@pytest.mark.parametrize("protocol", ["Binary", "Compact", "JSON"])
def test_allocation_failure_under_serialize_is_memory_error(protocol):
    command = [sys.executable, "-c", ALLOCATION_FAILURE, protocol]
    done = subprocess.run(command, capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stdout) == (0, "MemoryError\nb'ok'\n"), done.stderr
