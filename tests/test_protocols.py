"""Compact and JSON through the serialize API: exact bytes, documents, read errors."""
import math
import struct as pystruct

import pytest

import velvane

P = velvane.ProtocolType

IDL = """
struct Two { 1: i32 a, 2: bool flag }
struct Far { 1: i32 a, 20: i32 b }
struct Wide { 1: i64 l, 2: string s, 3: list<i32> li, 4: map<string, i32> m, 5: double d, 6: binary bin,
              10: i32 ten, 7: set<i64> st, 8: map<i32, string> im, 9: list<bool> flags }
struct WithDefaults { 1: string name, 2: i32 count = 7, 3: list<string> tags, 4: binary blob,
                      5: map<i32, bool> bits, 6: Two two, 7: double ratio }
struct Keys { 13: map<bool, i32> b, 14: map<i32, string> m, 15: list<Keys> kids }
"""


@pytest.fixture(scope="module")
def p():
    parser = velvane.ThriftParser()
    parser.parse(IDL)
    return parser


@pytest.mark.parametrize(
    "struct, data, expected",
    [
        ("Two", {"a": 5, "flag": True}, "15 0a 11 00"),
        ("Two", {"flag": False}, "22 00"),
        ("Far", {"a": 1, "b": 2}, "15 02 05 00 14 04 00"),
        ("Wide", {"l": 300}, "16 d8 04 00"),
        ("Wide", {"s": "abc"}, "28 06 61 62 63 00"),
        ("Wide", {"li": list(range(15))}, "39 f5 1e " + " ".join(f"{2 * i:02x}" for i in range(15)) + " 00"),
        ("Wide", {"m": {}}, "4b 00 00"),
        ("Wide", {"m": {"a": -1}}, "4b 02 85 02 61 01 00"),
        ("Wide", {"d": 1.0}, "57 3f f0 00 00 00 00 00 00 00"),
        ("Wide", {"flags": [True, False]}, "99 21 01 02 00"),
    ],
)
def test_compact_bytes(p, struct, data, expected):
    assert p.get_struct(struct).serialize_with_protocol(data, P.Compact).hex(" ") == expected
    back = p.get_struct(struct).deserialize_with_protocol(bytes.fromhex(expected), P.Compact)
    assert {k: v for k, v in back.to_dict().items() if v is not None} == data


@pytest.mark.parametrize(
    "data, message",
    [
        ("1d", "Read error: Invalid field type"),
        ("15", "Read error: IO error: failed to fill whole buffer"),
        ("28 0c 61", "Read error: IO error: failed to fill whole buffer"),
        ("16 ff ff ff ff ff ff ff ff ff ff 01 00", "Read error: "),
    ],
)
def test_compact_read_errors(p, data, message):
    with pytest.raises(OSError) as info:
        p.get_struct("Wide").deserialize_with_protocol(bytes.fromhex(data), P.Compact)
    assert str(info.value).startswith(message)
    if message != "Read error: ":
        assert str(info.value) == message


@pytest.mark.parametrize(
    "data, expected",
    [
        ({"a": 5, "flag": True}, b'{"1":["i32",5],"2":["tf",1]}'),
        ({"flag": False}, b'{"2":["tf",0]}'),
    ],
)
def test_json_struct_documents(p, data, expected):
    assert p.get_struct("Two").serialize_with_protocol(data, P.JSON) == expected
    assert velvane.JSONProtocol.serialize_struct(p.get_struct("Two"), data) == expected


def test_json_layout(p):
    wide = p.get_struct("Wide")
    out = wide.serialize_with_protocol(
        {"l": 5, "s": "ab", "li": [1, 2], "m": {"a": 1}, "bin": b"ab", "ten": 10, "im": {3: "x"}}, P.JSON)
    assert out == (b'{"1":["i64","5"],"10":["i32",10],"2":["str","ab"],"3":["lst",["i32",2,1,2]],'
                   b'"4":["map",["str","i32",1,{"a":1}]],"6":["str","YWI="],"8":["map",["i32","str",1,{"3":"x"}]]}')
    back = wide.deserialize_with_protocol(out, P.JSON)
    assert back.l == 5 and back.bin == b"ab" and back.im == {3: "x"} and back.m == {"a": 1}


@pytest.mark.parametrize("value, text", [(math.nan, b'"NaN"'), (math.inf, b'"Infinity"'), (-math.inf, b'"-Infinity"')])
def test_json_non_finite_doubles_survive(p, value, text):
    wide = p.get_struct("Wide")
    out = wide.serialize_with_protocol({"d": value}, P.JSON)
    assert out == b'{"5":["dbl",' + text + b"]}"
    back = wide.deserialize_with_protocol(out, P.JSON).d
    assert (math.isnan(back) and math.isnan(value)) or back == value


def test_json_reading_tolerance(p):
    wide = p.get_struct("Wide")
    assert wide.deserialize_with_protocol(b'{"1":["i64",5]}', P.JSON).l == 5
    assert wide.deserialize_with_protocol(b'{"1":["i64","-42"],"2":["str",3]}', P.JSON).to_dict()["s"] == ""
    framed = b'{"10":["i32",4]}'
    assert wide.deserialize_with_protocol(pystruct.pack(">I", len(framed)) + framed, P.JSON).ten == 4
    assert wide.deserialize_with_protocol(b'{"99":["i32",1],"x":[1]}', P.JSON).ten is None


@pytest.mark.parametrize(
    "doc, exc, message",
    [
        (b"[1,2]", TypeError, "Expected JSON object for struct"),
        (b"{oops", ValueError, "JSON parse error: "),
        (b'{"3":["lst",5]}', TypeError, "Expected JSON array"),
        (b'{"4":["map",["str","i32",1]]}', TypeError, "Map array too short"),
        (b'{"4":["map",7]}', TypeError, "Expected JSON array for map"),
        (b'{"4":["map",["str","i32",1,[]]]}', TypeError, "Expected JSON object in map"),
        (b'{"6":["str","!!!"]}', ValueError, "Base64 error: "),
    ],
)
def test_json_read_errors(p, doc, exc, message):
    with pytest.raises(exc) as info:
        p.get_struct("Wide").deserialize_with_protocol(doc, P.JSON)
    assert str(info.value).startswith(message)


def test_json_payload_form(p):
    d = p.get_struct("WithDefaults")
    inst = d.deserialize_with_protocol(
        b'{"payload":{"name":"x","tags":["a","b"],"blob":"not base64!","bits":{"1":true},"two":{"a":"3"}}}', P.JSON)
    assert inst.name == "x"
    assert inst.count == 7
    assert inst.tags == ["a", "b"]
    assert inst.blob == b"not base64!"
    assert inst.bits == {1: True}
    assert inst.two.a == 3
    assert inst.ratio is None
    with pytest.raises(ValueError, match="^expected JSON integer$"):
        d.deserialize_with_protocol(b'{"payload":{"count":"x"}}', P.JSON)


@pytest.mark.parametrize(
    "doc, data",
    [
        (b'{"14":["map",["i32","str",2,{"+10":"a","10":"b"}]]}', {"m": {10: "b"}}),
        (b'{"13":["map",["tf","i32",2,{"TRUE":1,"true":2}]]}', {"b": {True: 2}}),
        (b'{"15":["lst",["rec",1,{"14":["map",["i32","str",2,{"10":"a","+10":"b"}]]}]]}', {"kids": [{"m": {10: "a"}}]}),
    ],
)
def test_json_id_keyed_values_become_python_values(p, doc, data):
    keys = p.get_struct("Keys")
    inst = keys.deserialize_with_protocol(doc, P.JSON)
    # Serialized before any field is read: keys that read as one value are one pair.
    assert keys.serialize(inst) == keys.serialize(data)


@pytest.mark.parametrize("text, value", [(b'"2.5"', 0.0), (b'"1e3"', 0.0), (b"true", 0.0), (b"2.5", 2.5)])
def test_json_payload_double_is_a_number_only(p, text, value):
    doc = b'{"payload":{"ratio":' + text + b"}}"
    assert p.get_struct("WithDefaults").deserialize_with_protocol(doc, P.JSON).ratio == value


def test_marker_classes_pick_their_protocol(p):
    two = p.get_struct("Two")
    data = {"a": 5, "flag": True}
    assert velvane.BinaryProtocol.serialize_struct(two, data) == two.serialize(data)
    assert velvane.CompactProtocol.serialize_struct(two, data) == bytes.fromhex("150a1100")
    assert velvane.JSONProtocol.deserialize_struct(two, b'{"1":["i32",5]}').a == 5
    assert velvane.CompactProtocol.deserialize_struct(two, bytes.fromhex("150a1100")).flag is True
