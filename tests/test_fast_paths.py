"""Fast paths against the general paths they shortcut: each case feeds both the same values and
expects the same result (bytes, objects or exception)."""
import pytest

import velvane

IDL = """
struct Inner { 1: i64 id, 2: double score, 3: string label }
struct Lists {
  1: list<i32> i32s, 2: list<i64> i64s, 3: list<double> doubles, 4: list<string> strings,
  5: list<Inner> inners, 6: list<bool> bools, 7: list<byte> bytes_, 8: list<i16> i16s,
  9: list<binary> blobs, 10: map<string, i64> counters, 11: i32 one, 12: i64 wide,
  13: i16 short_, 14: byte tiny, 15: double ratio, 16: string name, 17: binary blob, 18: bool flag,
}
struct Shadowed { 1: i32 to_dict, 2: string struct_name, 3: i32 plain }
""" + "struct Wide {\n" + "".join(f"  {i + 1}: i32 f{i},\n" for i in range(20)) + "}\n"

P = velvane.ProtocolType


@pytest.fixture(scope="module")
def parser():
    p = velvane.ThriftParser()
    p.parse(IDL)
    return p


class Int(int):
    """An int subclass: never takes the inline path for exact ints."""


def outcome(fn):
    try:
        return fn()
    except Exception as e:  # the exception's type and text are the result
        return type(e), str(e)


EDGES = [0, 1, -1, 127, 128, -129, 2**15, 2**30 - 1, 2**30, -(2**30), -(2**30) - 1, 2**31 - 1, 2**31,
         -(2**31), -(2**31) - 1, 2**60 - 1, 2**60, -(2**60) + 1, -(2**60), 2**63 - 1, 2**63, -(2**63) - 1]


@pytest.mark.parametrize("value", EDGES)
@pytest.mark.parametrize("field", ["one", "wide", "short_", "tiny", "i32s", "i64s", "i16s", "bytes_"])
@pytest.mark.parametrize("protocol", [P.Binary, P.Compact, P.JSON])
def test_exact_ints_convert_as_int_subclasses(parser, value, field, protocol):
    sdef = parser.get_struct("Lists")
    wrap = (lambda v: [1, v, 2]) if field in ("i32s", "i64s", "i16s", "bytes_") else (lambda v: v)
    fast = outcome(lambda: sdef.serialize_with_protocol({field: wrap(value)}, protocol))
    slow = outcome(lambda: sdef.serialize_with_protocol({field: wrap(Int(value))}, protocol))
    assert fast == slow


class Float(float):
    pass


class Str(str):
    pass


SCALARS = [
    ("ratio", 0.25, Float), ("name", "abc", Str), ("name", "é", Str), ("blob", b"\x00\xff", bytearray),
    ("counters", {"k": 5, "é": -1}, lambda d: {Str(k): Int(v) for k, v in d.items()}),
]


@pytest.mark.parametrize("field, value, wrap", SCALARS)
@pytest.mark.parametrize("protocol", [P.Binary, P.Compact, P.JSON])
def test_exact_scalars_write_as_their_subclasses(parser, field, value, wrap, protocol):
    # Values of the exact built-in type are written from borrowed references, others held.
    sdef = parser.get_struct("Lists")
    fast = sdef.serialize_with_protocol({field: value, "flag": True}, protocol)
    assert fast == sdef.serialize_with_protocol({field: wrap(value), "flag": True}, protocol)
    assert fast == sdef.serialize_with_protocol(sdef.new_instance_from_dict({field: value, "flag": True}), protocol)


@pytest.mark.parametrize("bad", [None, [], 1j])
@pytest.mark.parametrize("field", ["i32s", "i64s", "doubles", "strings", "inners", "bools"])
def test_list_items_refused_as_single_values(parser, bad, field):
    sdef = parser.get_struct("Lists")
    single = outcome(lambda: sdef.serialize({"wide": 1, field: [bad]}))
    listed = outcome(lambda: sdef.serialize({"wide": 1, field: [bad, bad]}))
    assert isinstance(single, tuple) and single == listed


LISTS = {
    "i32s": [0, -1, 2**31 - 1, -(2**31), 5],
    "i64s": [2**63 - 1, -(2**63), 0, 1 << 40],
    "doubles": [0.5, -1e300, 3.0],
    "strings": ["", "a", "é ünï", "x" * 100],
    "inners": [{"id": 1, "score": 0.5, "label": "a"}, {"id": 2, "score": 1.5, "label": "b"}],
    "bools": [True, False, True],
    "bytes_": [-128, 0, 127],
    "i16s": [-(2**15), 2**15 - 1],
    "blobs": [b"", b"\x00\xff"],
    "counters": {"a": 1, "é": 2, "k" * 40: 3, "counter1": 4},
}


@pytest.mark.parametrize("field", LISTS)
@pytest.mark.parametrize("protocol", [P.Binary, P.Compact])
def test_list_fast_paths_round_trip(parser, field, protocol):
    sdef = parser.get_struct("Lists")
    data = {field: LISTS[field]}
    value = sdef.deserialize_with_protocol(sdef.serialize_with_protocol(data, protocol), protocol)
    got = getattr(value, field)
    if field == "inners":
        got = [i.to_dict() for i in got]
    assert got == LISTS[field]
    # The instance path (Python values held) writes the same bytes as the dict path.
    assert sdef.serialize_with_protocol(value, protocol) == sdef.serialize_with_protocol(data, protocol)


def test_cached_map_keys_are_equal_to_fresh_ones(parser):
    sdef = parser.get_struct("Lists")
    first = {f"key{i}": i for i in range(600)}  # more keys than cache slots: slots are replaced
    second = {"key1": 7, "key599": 8, "other": 9, "é": 10}
    for data in (first, second, first):
        got = sdef.deserialize(sdef.serialize({"counters": data})).counters
        assert got == data and list(got) == list(data)


@pytest.mark.parametrize("order", [["a", "b", "c"], ["c", "b", "a"], ["b", "extra", "a"], ["c"], []])
def test_dict_key_order_does_not_change_bytes(parser, order):
    sdef = parser.get_struct("Inner")
    values = {"a": ("id", 5), "b": ("score", 0.5), "c": ("label", "x"), "extra": ("unknown", 1)}
    data = dict(values[k] for k in order)
    declared = {k: data[k] for k in ("id", "score", "label") if k in data}
    # Keys equal to the field names but not the same objects take the hashed lookup.
    copied = {"".join(list(k)): v for k, v in data.items()}
    assert sdef.serialize(data) == sdef.serialize(declared) == sdef.serialize(copied)


@pytest.mark.parametrize("struct", ["Shadowed", "Wide", "Inner"])
def test_attribute_reads_by_any_name_object(parser, struct):
    sdef = parser.get_struct(struct)
    names = [f.name for f in sdef.fields]
    inst = sdef.new_instance_from_dict({n: i for i, n in enumerate(names)})
    # struct_name cannot be a keyword of the constructor; the other names can.
    direct = velvane.ThriftStructInstance(struct, **{n: i for i, n in enumerate(names) if n != "struct_name"})
    for name in names:
        fresh = "".join(list(name))  # equal text, not the interned object
        for obj in (inst, direct):
            assert outcome(lambda: getattr(obj, fresh)) == outcome(lambda: getattr(obj, name))
        # A field that a class member shadows reads as the member, with or without a definition.
        assert type(getattr(inst, name)) is type(getattr(direct, name))
    if struct == "Shadowed":
        assert callable(inst.to_dict) and inst.struct_name == "Shadowed" and inst.plain == 2
    with pytest.raises(AttributeError, match="' object has no attribute 'missing'"):
        inst.missing


@pytest.mark.parametrize("protocol", [P.Binary, P.Compact, P.JSON])
def test_serialize_from_a_callback_keeps_both_outputs(parser, protocol):
    # The output buffer is shared between calls: a serialize started by an item's __index__ while
    # another is half written must leave both results whole.
    sdef = parser.get_struct("Lists")
    nested = {"i32s": list(range(50)), "strings": ["x" * 300]}
    seen = []

    class Reentrant:
        def __index__(self):
            seen.append(sdef.serialize_with_protocol(nested, protocol))
            return 7

    outer = sdef.serialize_with_protocol({"strings": ["y" * 300], "i32s": [1, Reentrant(), 3]}, protocol)
    assert outer == sdef.serialize_with_protocol({"strings": ["y" * 300], "i32s": [1, 7, 3]}, protocol)
    assert seen == [sdef.serialize_with_protocol(nested, protocol)]
