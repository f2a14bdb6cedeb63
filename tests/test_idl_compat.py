"""ThriftParser(compat=True) rule by rule, each case also put to the reference compiler; parse_file
with includes in both modes; constants; error positions; i8 and uuid against Apache's Python library."""
import shutil
import subprocess
import sys
import uuid

import pytest

import velvane

thrift = pytest.importorskip("thrift")
from thrift.protocol import TBinaryProtocol, TCompactProtocol  # noqa: E402
from thrift.Thrift import TType  # noqa: E402
from thrift.transport import TTransport  # noqa: E402


def reference_accepts(text, tmp_path):
    """Whether `thrift --gen json` accepts the text (as file x.thrift)."""
    if not shutil.which("thrift"):
        pytest.skip("the thrift compiler is not installed")
    path = tmp_path / "x.thrift"
    path.write_text(text)
    return subprocess.run(["thrift", "--gen", "json", "-out", str(tmp_path), str(path)],
                          capture_output=True).returncode == 0


def compat(text):
    parser = velvane.ThriftParser(compat=True)
    parser.parse(text)
    return parser


def field_types(parser, struct):
    return [(f.id, repr(f).split("field_type=")[1][:-1]) for f in parser.get_struct(struct).fields]


ACCEPTED = [
    ("i8 is byte", "struct S { 1: i8 a, 2: byte b }",
     lambda p: field_types(p, "S") == [(1, "Byte"), (2, "Byte")]),
    ("single and double quotes with escapes", "const string A = 'it\\'s \"x\"'\nconst string B = \"a\\tb\"",
     lambda p: p.get_const("A") == "it's \"x\"" and p.get_const("B") == "a\tb"),
    ("hex, float and exponent literals",
     "const i32 H = 0x7f\nconst i8 N = -0x10\nconst double E = 1e3\nconst double F = -0.5\nconst double I = 3",
     lambda p: (p.get_const("H"), p.get_const("N"), p.get_const("E"), p.get_const("F")) == (127, -16, 1000.0, -0.5)
     and type(p.get_const("I")) is float),
    ("{} and [...] for sets, [] for a map",
     "const set<i32> A = {}\nconst set<i32> B = [1, 2, 2,]\nconst map<i32, i32> C = []",
     lambda p: (p.get_const("A"), p.get_const("B"), p.get_const("C")) == (set(), {1, 2}, {})),
    ("implicit field ids count down; a non-positive id is one of them",
     "struct S { i32 a, 2: i32 b, i32 c, 0: i32 d }",
     lambda p: [f.id for f in p.get_struct("S").fields] == [-1, 2, -2, -3]),
    ("maps keyed by lists, sets and maps",
     "const map<list<i32>, i32> A = {[1, 2]: 3}\nconst map<set<string>, i8> B = {['x']: 1}\n"
     "const map<map<i32, i32>, bool> C = {{1: 2}: 1}",
     lambda p: p.get_const("A") == {(1, 2): 3} and p.get_const("B") == {frozenset({"x"}): 1}
     and p.get_const("C") == {frozenset({(1, 2)}): True}),
    ("struct constants as maps: single-quoted keys, nested {}, declared defaults for the rest",
     "struct In { 1: map<string, i32> m, 2: i32 k = 7 }\n"
     "struct Out { 1: In inner, 2: string s = 'd', 3: bool f }\n"
     "const Out O = {'inner': {'m': {}}, \"f\": 1,}",
     lambda p: p.get_const("O").inner.m == {} and p.get_const("O").inner.k == 7
     and p.get_const("O").s == "d" and p.get_const("O").f is True),
    ("bools as 1/0, enum-qualified values also as keys, constants naming constants",
     "enum E { A = 1, B = 2 }\nconst bool T = 1\nconst E X = E.B\nconst map<E, string> M = {E.A: 'a', E.B: 'b'}\n"
     "const i32 Y = 5\nconst list<i32> Z = [Y, Y]\nstruct S { 1: E e = E.A, 2: E f = 2 }",
     lambda p: (p.get_const("T"), p.get_const("X"), p.get_const("M"), p.get_const("Z")) == (True, 2, {1: "a", 2: "b"}, [5, 5])
     and field_types(p, "S") == [(1, "I32"), (2, "I32")]),
    ("annotations on definitions, fields, types, enum values, methods and namespaces",
     "namespace py x.y (a = 'b')\ntypedef i32 (t = '1') T (u = '2')\n"
     "enum E { A (d = 'x'), B } (e = 'y')\n"
     "struct S { 1: map<i32 (k = 'v'), list<string (s = '')>> (c = 'd') m (f = 'g'); } (z = 'w')\n"
     "service V { void f(1: i32 a (x = 'y')) (m = 'n') } (s = 't')",
     lambda p: field_types(p, "S") == [(1, "Map(I32, List(String))")] and p.namespaces() == {"py": "x.y"}),
    ("dotted namespace scopes, cpp_include, xsd words, & references, async methods",
     "namespace java.swift com.x\nnamespace * all\ncpp_include '<map>'\n"
     "struct S xsd_all { 1: i32 & r xsd_optional xsd_nillable, 2: list<i32> cpp_type 'x' l }\n"
     "service V { async void go() }",
     lambda p: p.namespaces() == {"java.swift": "com.x", "*": "all"} and p.get_service("V").methods[0].oneway),
    ("forward references to structs, enums and typedefs",
     "struct A { 1: B b, 2: E e, 3: T t }\ntypedef list<B> T\nstruct B { 1: i32 x }\nenum E { X }",
     lambda p: field_types(p, "A") == [(1, 'Struct("B")'), (2, "I32"), (3, 'List(Struct("B"))')]),
]


@pytest.mark.parametrize("name,text,check", ACCEPTED, ids=[c[0] for c in ACCEPTED])
def test_compat_accepts_what_the_reference_compiler_accepts(name, text, check, tmp_path):
    assert check(compat(text))
    assert reference_accepts(text, tmp_path)


REJECTED = [
    ("unknown top-level word", "struct A { 1: i32 x }\nstrcut B { 1: i32 y }", 2, 1),
    ("undefined type", "struct A {\n  1: Missing m\n}", 2, 6),
    ("duplicate field id", "struct A { 1: i32 x,\n 1: i32 y }", 2, 2),
    ("duplicate field name", "struct A { 1: i32 x, 2: i64 x }", 1, 22),
    ("duplicate definition", "struct A { 1: i32 x }\nenum A { B }", 2, 6),
    ("duplicate enum value", "enum E { A, B, A }", 1, 16),
    ("struct extends", "struct B { 1: i32 x }\nstruct A extends B { 2: i32 y }", 2, 10),
    ("include after a definition", "struct A { 1: i32 x }\ninclude 'y.thrift'", 2, 1),
    ("semicolon after include", "include 'shared.thrift';", 1, 24),
    ("float for an integer", "const i32 X = 1.5", 1, 15),
    ("number for a string", "const string S = 1", 1, 18),
    ("value outside the enum", "enum E { A }\nconst E X = 5", 2, 13),
    ("unqualified enum value", "enum E { A }\nconst E X = A", 2, 13),
    ("unknown field in a struct constant", "struct P { 1: i32 x }\nconst P p = {'y': 1}", 2, 14),
    ("oneway with throws", "exception X {}\nservice S { oneway void f() throws (1: X x) }", 2, 13),
    ("line break in a string", "const string S = 'a\nb'", 1, 18),
    ("bad escape", "const string S = 'a\\qb'", 1, 21),
    ("integer out of range", "const i64 X = 99999999999999999999", 1, 15),
    ("unknown extended service", "service S extends T {}", 1, 19),
    ("duplicate method", "service S {\n  void f()\n  i32 f() }", 3, 3),
]


@pytest.mark.parametrize("name,text,line,column", REJECTED, ids=[c[0] for c in REJECTED])
def test_compat_rejects_what_the_reference_compiler_rejects(name, text, line, column, tmp_path):
    with pytest.raises(ValueError, match=r"^Parse error: .*\(line \d+, column \d+\)$") as e:
        compat(text)
    assert (e.value.lineno, e.value.offset, e.value.filename) == (line, column, None)
    assert not reference_accepts(text, tmp_path)


def test_compat_parse_leaves_names_of_unread_includes_as_struct_references():
    parser = compat('include "shared.thrift"\nstruct S { 1: shared.Point p }')
    assert field_types(parser, "S") == [(1, 'Struct("shared.Point")')]
    with pytest.raises(ValueError, match="Type other.Point is not defined"):
        compat('include "shared.thrift"\nstruct S { 1: other.Point p }')


def test_default_grammar_is_unchanged_and_errors_gain_positions():
    default = velvane.ThriftParser()
    default.parse("struct S { 1: i8 a, 2: uuid u }\nconst i32 X = 5")
    assert field_types(default, "S") == [(1, 'Struct("i8")'), (2, 'Struct("uuid")')]
    assert default.list_consts() == ["X"] and default.get_const("X") == 5 and default.get_const("Y") is None
    for text, message, line, column in [
            ("struct A {\n  1: i32 x\n  2 i32 y }", 'Parse error: Unexpected token: Identifier("i32")', 3, 5),
            ("enum E {\n  A = 'x' }", "Parse error: Syntax error: Unexpected input: 'x' }", 2, 7),
            ("struct A {\n  1: i32 x", "Parse error: End of input", 2, 11),
            ("struct B extends\n  Missing { }", "Parse error: Syntax error: Unknown parent struct: Missing", 2, 3)]:
        with pytest.raises(ValueError) as e:
            default.parse(text)
        assert (str(e.value), e.value.lineno, e.value.offset, e.value.filename) == (message, line, column, None)
    with pytest.raises(ValueError, match="No document parsed yet"):
        velvane.ThriftParser().get_const("X")
    assert velvane.ThriftParser().list_consts() == []


@pytest.fixture
def tree(tmp_path):
    """top.thrift includes a/shapes.thrift (beside it) and lib/colors.thrift (through include_dirs);
    both define Point, as does top; shapes includes colors too."""
    (tmp_path / "a").mkdir()
    (tmp_path / "lib").mkdir()
    (tmp_path / "lib" / "colors.thrift").write_text(
        "enum Color { RED = 1, BLUE = 2 }\nstruct Point { 1: double x }\nconst Color FAVOURITE = Color.BLUE\n")
    (tmp_path / "a" / "shapes.thrift").write_text(
        'include "colors.thrift"\ntypedef list<Point> Points\nstruct Point { 1: i32 x, 2: colors.Color c }\n'
        'const Point ORIGIN = {"x": 0}\nservice Base { Points all() }\n')
    (tmp_path / "top.thrift").write_text(
        'include "a/shapes.thrift"\ninclude "colors.thrift"\nstruct Point { 1: string name }\n'
        "struct Shape { 1: shapes.Point p, 2: colors.Point q, 3: shapes.Points ps, 4: Point own,\n"
        "  5: colors.Color c = colors.Color.RED }\nservice Draw extends shapes.Base { void draw(1: Shape s) }\n")
    return tmp_path


@pytest.mark.parametrize("compat_mode", [False, True])
def test_parse_file_reads_includes_and_keeps_same_named_definitions_apart(tree, compat_mode):
    parser = velvane.ThriftParser(compat=compat_mode)
    parser.parse_file(tree / "top.thrift", include_dirs=[str(tree / "lib")])
    assert parser.list_includes() == ["a/shapes.thrift", "colors.thrift"]
    assert field_types(parser, "Shape") == [(1, 'Struct("shapes.Point")'), (2, 'Struct("colors.Point")'),
                                            (3, 'List(Struct("shapes.Point"))'), (4, 'Struct("Point")'), (5, "I32")]
    assert field_types(parser, "shapes.Point") == [(1, "I32"), (2, "I32")]
    assert field_types(parser, "colors.Point") == [(1, "Double")]
    assert parser.get_enum("colors.Color") == {"RED": 1, "BLUE": 2}
    assert sorted(parser.list_consts()) == ["colors.FAVOURITE", "shapes.ORIGIN"]
    assert parser.get_const("colors.FAVOURITE") == 2
    # The default grammar reads a struct constant as an empty struct (its value is skipped).
    assert parser.get_const("shapes.ORIGIN").x == (0 if compat_mode else None)
    assert [m.name for m in parser.get_service("Draw").methods] == ["all", "draw"]
    shape = parser.get_struct("Shape")
    value = {"p": {"x": 1, "c": 2}, "q": {"x": 0.5}, "ps": [{"x": 3}], "own": {"name": "n"}}
    back = velvane.BinaryProtocol.deserialize_struct(shape, velvane.BinaryProtocol.serialize_struct(shape, value))
    assert (back.p.x, back.q.x, back.ps[0].x, back.own.name, back.c) == (1, 0.5, 3, "n", 1)


@pytest.mark.parametrize("compat_mode", [False, True])
def test_parse_file_failures_name_the_file_line_and_column(tmp_path, compat_mode):
    (tmp_path / "a.thrift").write_text('include "b.thrift"\nstruct A { 1: i32 x }\n')
    (tmp_path / "b.thrift").write_text('\n\ninclude "a.thrift"\n')
    parser = velvane.ThriftParser(compat=compat_mode)
    with pytest.raises(ValueError, match="Include cycle: a.thrift -> b.thrift -> a.thrift") as e:
        parser.parse_file(tmp_path / "a.thrift")
    assert (e.value.filename, e.value.lineno, e.value.offset) == (str(tmp_path / "b.thrift"), 3, 9)
    (tmp_path / "c.thrift").write_text('struct C {\n  1: i32 x\n  oops }\n')
    (tmp_path / "d.thrift").write_text('include "c.thrift"\n')
    with pytest.raises(ValueError) as e:
        parser.parse_file(tmp_path / "d.thrift")
    assert (e.value.filename, e.value.lineno) == (str(tmp_path / "c.thrift"), 3)
    (tmp_path / "e.thrift").write_text('\ninclude "missing.thrift"\n')
    with pytest.raises(ValueError, match="Cannot find included file missing.thrift") as e:
        parser.parse_file(tmp_path / "e.thrift")
    assert (e.value.filename, e.value.lineno, e.value.offset) == (str(tmp_path / "e.thrift"), 2, 9)
    with pytest.raises(OSError):
        parser.parse_file(tmp_path / "nowhere.thrift")


def test_empty_container_defaults_are_written_with_their_declared_types(tmp_path):
    if not shutil.which("thrift"):
        pytest.skip("the thrift compiler is not installed")
    idl = "struct D { 1: list<i32> l = [], 2: map<i16, set<i64>> m = {}, 3: set<double> s = [] }\n"
    (tmp_path / "mend.thrift").write_text(idl)
    subprocess.run(["thrift", "--gen", "py", "-out", str(tmp_path), str(tmp_path / "mend.thrift")], check=True)
    sys.path.insert(0, str(tmp_path))
    try:
        from mend.ttypes import D
    finally:
        sys.path.remove(str(tmp_path))
    out = TTransport.TMemoryBuffer()
    D().write(TBinaryProtocol.TBinaryProtocol(out))
    for parser in (velvane.ThriftParser(), velvane.ThriftParser(compat=True)):
        parser.parse(idl)
        assert velvane.BinaryProtocol.serialize_struct(parser.get_struct("D"), {}) == out.getvalue()


PEER_PROTOCOLS = [(velvane.BinaryProtocol, TBinaryProtocol.TBinaryProtocol),
                  (velvane.CompactProtocol, TCompactProtocol.TCompactProtocol)]
UUIDS = [uuid.UUID("00112233-4455-6677-8899-aabbccddeeff"), uuid.UUID(int=0), uuid.UUID(int=(1 << 128) - 1)]


def apache_write(factory, small, ident, many):
    out = TTransport.TMemoryBuffer()
    proto = factory(out)
    proto.writeStructBegin("R")
    proto.writeFieldBegin("small", TType.BYTE, 1)
    proto.writeByte(small)
    proto.writeFieldEnd()
    proto.writeFieldBegin("ident", TType.UUID, 2)
    proto.writeUuid(ident)
    proto.writeFieldEnd()
    proto.writeFieldBegin("many", TType.LIST, 3)
    proto.writeListBegin(TType.UUID, len(many))
    for u in many:
        proto.writeUuid(u)
    proto.writeListEnd()
    proto.writeFieldEnd()
    proto.writeFieldStop()
    proto.writeStructEnd()
    return out.getvalue()


def apache_read(factory, data):
    proto = factory(TTransport.TMemoryBuffer(data))
    got = {}
    proto.readStructBegin()
    while True:
        _, ftype, fid = proto.readFieldBegin()
        if ftype == TType.STOP:
            break
        if fid == 1 and ftype == TType.BYTE:
            got["small"] = proto.readByte()
        elif fid == 2 and ftype == TType.UUID:
            got["ident"] = proto.readUuid()
        elif fid == 3 and ftype == TType.LIST:
            etype, size = proto.readListBegin()
            assert etype == TType.UUID
            got["many"] = [proto.readUuid() for _ in range(size)]
            proto.readListEnd()
        else:
            raise AssertionError(f"unexpected field {fid} of type {ftype}")
        proto.readFieldEnd()
    proto.readStructEnd()
    return got


@pytest.mark.parametrize("ours,theirs", PEER_PROTOCOLS, ids=["binary", "compact"])
@pytest.mark.parametrize("small", [-128, -1, 0, 127])
def test_i8_and_uuid_fields_round_trip_with_apache(ours, theirs, small):
    struct = compat("struct R { 1: i8 small, 2: uuid ident, 3: list<uuid> many }").get_struct("R")
    value = {"small": small, "ident": UUIDS[0], "many": UUIDS}
    data = ours.serialize_struct(struct, value)
    assert data == apache_write(theirs, small, UUIDS[0], UUIDS)
    assert apache_read(theirs, data) == value
    back = ours.deserialize_struct(struct, apache_write(theirs, small, UUIDS[1], UUIDS[::-1]))
    assert (back.small, back.ident, back.many) == (small, UUIDS[1], UUIDS[::-1])


def test_uuid_in_json_and_refused_values():
    parser = compat("struct R { 1: uuid ident, 2: map<uuid, i8> m }\nconst uuid U = '00112233-4455-6677-8899-AABBCCDDEEFF'")
    struct = parser.get_struct("R")
    assert parser.get_const("U") == UUIDS[0]
    text = velvane.JSONProtocol.serialize_struct(struct, {"ident": UUIDS[0], "m": {UUIDS[1]: 1}})
    assert b'"00112233-4455-6677-8899-aabbccddeeff"' in text
    back = velvane.JSONProtocol.deserialize_struct(struct, text)
    assert (back.ident, back.m) == (UUIDS[0], {UUIDS[1]: 1})
    with pytest.raises(TypeError):
        velvane.BinaryProtocol.serialize_struct(struct, {"ident": str(UUIDS[0])})
    with pytest.raises(ValueError, match="Not a UUID"):
        compat("const uuid U = 'nope'")


@pytest.mark.parametrize("text,message", [
    ("typedef i32 T0\n" + "".join(f"typedef T{i} T{i + 1}\n" for i in range(5000)), "Typedef chain too long"),
    ("const list<i32> L = " + "[" * 5000 + "]" * 5000, "Nesting too deep"),
    ("typedef A B\ntypedef B A\nstruct S { 1: A a }", "Typedef cycle through"),
])
def test_hostile_compat_input_fails_in_order(text, message):
    with pytest.raises(ValueError, match=message):
        compat(text)


def test_instances_of_compat_and_file_schemas_refuse_pickling(tmp_path):
    import pickle
    text = "struct P { 1: i32 x }"
    (tmp_path / "p.thrift").write_text(text)
    file_parser = velvane.ThriftParser()
    file_parser.parse_file(tmp_path / "p.thrift")
    for parser in (compat(text), file_parser):  # no one text of the default grammar describes them
        with pytest.raises(TypeError, match="its schema has no IDL text"):
            pickle.dumps(parser.get_struct("P").new_instance_from_dict({"x": 1}))
    default = velvane.ThriftParser()
    default.parse(text)
    assert pickle.loads(pickle.dumps(default.get_struct("P").new_instance_from_dict({"x": 1}))).x == 1
