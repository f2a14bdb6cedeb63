"""ThriftParser and the schema views, as Python code sees them."""
import threading

import pytest

import velvane

CALC = """
include "idl/shared.thrift"
namespace py example.gen
namespace * example
typedef i64 Timestamp
enum Color { RED = 1, GREEN }
struct Item { 1: string name, 2: optional double price = 2 }
struct Order {
  1: required i64 id,
  2: list<Item> items,
  3: map<string, list<Item>> by_tag,
  4: Timestamp at,
  5: Color color = Color.GREEN,
}
exception Oops { 1: string why }
struct Extended extends Order { 6: bool rush }
service Base { void ping() }
service Calc extends Base {
  i32 add(1: i32 a, 2: i32 b) throws (1: Oops oops),
  oneway void fire(1: string what)
}
"""


def test_fresh_parser_state():
    p = velvane.ThriftParser()
    assert p.list_structs() == [] and p.list_services() == [] and p.list_enums() == []
    for call in (lambda: p.get_struct("X"), lambda: p.get_service("X"), lambda: p.get_enum("X"),
                 p.list_includes, p.namespaces):
        with pytest.raises(ValueError, match="^No document parsed yet$"):
            call()


def test_empty_document_clears_the_no_document_state():
    p = velvane.ThriftParser()
    assert p.parse("") is None
    assert p.get_struct("X") is None
    assert p.list_includes() == [] and p.namespaces() == {}


def test_listing_and_lookup(parse):
    p = parse(CALC)
    assert sorted(p.list_structs()) == ["Extended", "Item", "Oops", "Order"]
    assert sorted(p.list_services()) == ["Base", "Calc"]
    assert p.list_enums() == ["Color"]
    assert p.get_enum("Color") == {"RED": 1, "GREEN": 2}
    assert p.get_enum("color") is None
    assert p.list_includes() == ["idl/shared.thrift"]
    assert p.namespaces() == {"py": "example.gen", "*": "example"}
    assert p.get_struct("Nope") is None and p.get_service("Nope") is None


def test_struct_view(parse):
    order = parse(CALC).get_struct("Order")
    assert order.name == "Order"
    assert [f.name for f in order.fields] == ["id", "items", "by_tag", "at", "color"]
    assert [f.id for f in order.fields] == [1, 2, 3, 4, 5]
    assert [f.required for f in order.fields] == [True, False, False, False, False]
    assert repr(order.fields[2]) == (
        'ThriftField(id=3, name="by_tag", required=false, field_type=Map(String, List(Struct("Item"))))')
    assert repr(order.fields[3]) == 'ThriftField(id=4, name="at", required=false, field_type=I64)'
    assert repr(parse("struct A { 1: i32 x }").get_struct("A")) == (
        'ThriftStruct(name="A", fields=[ThriftField { id: 1, name: "x", required: false, '
        'field_type: I32, default_value: None }])')
    item = parse(CALC).get_struct("Item")
    assert repr(item).endswith(
        'ThriftField { id: 2, name: "price", required: false, field_type: Double, '
        'default_value: Some(Double(2.0)) }])')
    assert [f.name for f in parse(CALC).get_struct("Extended").fields][-2:] == ["color", "rush"]


def test_views_are_read_only(parse):
    order = parse(CALC).get_struct("Order")
    with pytest.raises(AttributeError):
        order.name = "B"
    with pytest.raises(AttributeError):
        order.fields[0].id = 3
    service = parse(CALC).get_service("Calc")
    with pytest.raises(AttributeError):
        service.name = "X"
    with pytest.raises(AttributeError):
        service.methods[0].oneway = True


def test_service_and_method_views(parse):
    calc = parse(CALC).get_service("Calc")
    assert calc.name == "Calc"
    assert repr(calc) == 'ThriftService(name="Calc", methods=["ping", "add", "fire"])'
    assert [m.name for m in calc.methods] == ["ping", "add", "fire"]
    add = calc.get_method("add")
    assert repr(add) == 'ThriftMethod(name="add", return_type=I32)'
    assert [a.name for a in add.arguments] == ["a", "b"]
    assert [e.name for e in add.exceptions] == ["oops"]
    assert repr(add.exceptions[0]) == 'ThriftField(id=1, name="oops", required=false, field_type=Struct("Oops"))'
    assert add.oneway is False
    fire = calc.get_method(name="fire")
    assert fire.oneway is True
    assert repr(fire) == 'ThriftMethod(name="fire", return_type=Struct("void"))'
    assert calc.get_method("missing") is None


def test_include_prefix_resolves_dotted_struct_types(parse):
    p = parse('include "idl/shared.thrift"\nstruct Point { 1: i32 x }\nstruct Line { 1: shared.Point a }')
    assert p.get_struct("shared.Point").name == "Point"
    line = p.get_struct("Line")
    data = line.serialize({"a": {"x": 3}})
    assert line.deserialize(data).a.x == 3


def test_parse_errors_keep_the_previous_document(parse):
    p = parse("struct A { 1: i32 x }")
    with pytest.raises(ValueError, match=r"^Parse error: End of input$"):
        p.parse("struct B {")
    with pytest.raises(ValueError, match=r"^Parse error: Unexpected token: LeftBrace$"):
        p.parse("struct {")
    with pytest.raises(ValueError, match=r"^Parse error: Syntax error: Unexpected input: \+ 4$"):
        p.parse("x = 3 + 4")
    assert p.get_struct("A") is not None


def test_views_outlive_a_later_parse(parse):
    p = parse("struct A { 1: i32 x }")
    a = p.get_struct("A")
    p.parse("struct A { 1: string y }")
    assert [f.name for f in a.fields] == ["x"]
    assert a.deserialize(a.serialize({"x": 5})).x == 5
    assert [f.name for f in p.get_struct("A").fields] == ["y"]
    del p
    assert a.serialize({"x": 1}) == b"\x08\x00\x01\x00\x00\x00\x01\x00"


def test_service_method_and_field_views_outlive_their_parser(parse):
    p = parse("service S { void ping(1: i32 n) }")
    service = p.get_service("S")
    method = service.get_method("ping")
    p.parse("service S { i32 other() }")
    del p
    field = method.arguments[0]
    del service, method
    assert (field.name, field.id) == ("n", 1)


@pytest.mark.parametrize(
    "call",
    [lambda p: p.parse(b"struct A {}"), lambda p: p.get_struct(1), lambda p: p.get_service(None),
     lambda p: p.get_enum(b"x")],
)
def test_argument_type_errors(call):
    p = velvane.ThriftParser()
    p.parse("")
    with pytest.raises(TypeError, match="argument '(content|name)'"):
        call(p)


@pytest.mark.parametrize(
    "call, param",
    [(lambda p: p.parse("\ud800"), "content"), (lambda p: p.get_struct("\ud800"), "name"),
     (lambda p: p.get_enum("\ud800"), "name"), (lambda p: p.get_service("\ud800"), "name"),
     (lambda p: p.get_service("S").get_method("\ud800"), "name")],
)
def test_unencodable_argument_keeps_its_unicode_error(call, param):
    p = velvane.ThriftParser()
    p.parse("service S { void f() }")
    with pytest.raises(UnicodeEncodeError) as info:
        call(p)
    assert info.value.args[:2] == ("utf-8", "\ud800") and info.value.reason == "surrogates not allowed"
    assert info.value.__notes__ == [f"argument '{param}'"]


def test_parse_error_shows_text_after_a_nul(parse):
    with pytest.raises(ValueError, match="^Parse error: Syntax error: Unexpected input: \x00 x$"):
        parse("struct A {} \0 x")


def test_keyword_arguments(parse):
    p = velvane.ThriftParser()
    p.parse(content="struct A { 1: i32 x }")
    assert p.get_struct(name="A").name == "A"


def big_idl(n=3000):
    return "\n".join(f"struct S{i} {{ 1: i32 a, 2: list<map<string, i64>> b = [{{\"k\": 1}}] }}" for i in range(n))


def test_concurrent_use_fails_at_once_instead_of_waiting():
    """While one thread is inside parse (which releases the interpreter), other calls are refused."""
    p = velvane.ThriftParser()
    p.parse("")
    text = big_idl()
    errors = []
    stop = threading.Event()

    def reader():
        while not stop.is_set():
            try:
                p.list_structs()
            except RuntimeError as e:
                errors.append(str(e))

    t = threading.Thread(target=reader)
    t.start()
    try:
        for _ in range(20):
            p.parse(text)
            if errors:
                break
    finally:
        stop.set()
        t.join()
    assert errors, "no conflicting call was observed"
    assert set(errors) == {"Already mutably borrowed"}
