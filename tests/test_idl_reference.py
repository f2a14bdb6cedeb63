"""Published IDL files (tests/idl/, from Apache Thrift's own tests and tutorial) loaded in compat mode
and compared with what the reference compiler (`thrift --gen json`) makes of them."""
import json
import pathlib
import re
import shutil
import subprocess

import pytest

import velvane

IDL_DIR = pathlib.Path(__file__).parent / "idl"
CORPUS = sorted(p.name for p in IDL_DIR.glob("*.thrift"))

BASE_TYPES = {"bool": "Bool", "i8": "Byte", "i16": "I16", "i32": "I32", "i64": "I64", "double": "Double",
              "string": "String", "binary": "Binary", "uuid": "Uuid"}


def reference_view(path, out_dir):
    """The reference compiler's JSON view of one file. Where it writes constants keyed by containers
    (not JSON), the view's "constants" is None."""
    if not shutil.which("thrift"):
        pytest.skip("the thrift compiler is not installed")
    subprocess.run(["thrift", "--gen", "json", "-I", str(IDL_DIR), "-out", str(out_dir), str(path)],
                   check=True, capture_output=True)
    text = (out_dir / (path.stem + ".json")).read_text()
    try:
        return json.loads(text)
    except json.JSONDecodeError:
        start, end = text.index('"constants": ['), text.index('"services": [')
        view = json.loads(text[:start] + '"constants": null,' + text[end:])
        return view


def type_text(type_id, detail):
    """The reference compiler's type in velvane's text form (enums are I32 on the wire)."""
    if type_id in BASE_TYPES:
        return BASE_TYPES[type_id]
    if type_id in ("list", "set"):
        inner = type_text(detail["elemTypeId"], detail.get("elemType"))
        return f"{type_id.capitalize()}({inner})"
    if type_id == "map":
        key = type_text(detail["keyTypeId"], detail.get("keyType"))
        value = type_text(detail["valueTypeId"], detail.get("valueType"))
        return f"Map({key}, {value})"
    if type_id in ("struct", "union", "exception"):
        return f'Struct("{detail["class"]}")'
    raise AssertionError(f"unexpected type id {type_id}")


def field_tuples_ref(fields):
    return [(f["key"], f["name"], type_text(f["typeId"], f.get("type")), f["required"] == "required")
            for f in fields]


def field_tuples_ours(fields):
    return [(f.id, f.name, re.search(r"field_type=(.*)\)$", repr(f)).group(1), f.required) for f in fields]


def same(value, ref):
    """Whether our constant value is what the JSON view shows (map keys there are text, sets lists)."""
    if isinstance(value, (set, frozenset)):
        return all(any(same(v, r) for r in ref) for v in value) and all(any(same(v, r) for v in value) for r in ref)
    if isinstance(value, (list, tuple)):
        return len(value) == len(ref) and all(same(v, r) for v, r in zip(value, ref))
    if isinstance(value, dict):
        keys = {str(int(k)) if isinstance(k, bool) else str(k): v for k, v in value.items()}
        return keys.keys() == ref.keys() and all(same(keys[k], ref[k]) for k in ref)
    if isinstance(value, velvane.ThriftStructInstance):
        return all(same(getattr(value, name), sub) for name, sub in ref.items())
    return value == ref


@pytest.fixture(scope="module")
def out_dir(tmp_path_factory):
    return tmp_path_factory.mktemp("reference")


@pytest.mark.parametrize("name", CORPUS)
def test_file_matches_the_reference_compiler(name, out_dir):
    path = IDL_DIR / name
    ref = reference_view(path, out_dir)
    ours = velvane.ThriftParser(compat=True)
    ours.parse_file(str(path))

    assert [i.rsplit("/", 1)[-1].removesuffix(".thrift") for i in ours.list_includes()] == ref["includes"]
    assert ours.namespaces() == ref["namespaces"]

    for enum in ref["enums"]:
        assert ours.get_enum(enum["name"]) == {m["name"]: m["value"] for m in enum["members"]}, enum["name"]

    for struct in ref["structs"]:
        view = ours.get_struct(struct["name"])
        assert view is not None, struct["name"]
        assert field_tuples_ours(view.fields) == field_tuples_ref(struct["fields"]), struct["name"]

    for service in ref["services"]:
        view = ours.get_service(service["name"])
        own = view.methods[len(view.methods) - len(service["functions"]):]
        if "extends" in service:
            parent = ours.get_service(service["extends"])
            assert [m.name for m in view.methods[:len(parent.methods)]] == [m.name for m in parent.methods]
        for method, function in zip(own, service["functions"], strict=True):
            assert method.name == function["name"]
            assert method.oneway == function["oneway"]
            returns = "Struct(\"void\")" if function["returnTypeId"] == "void" else type_text(
                function["returnTypeId"], function.get("returnType"))
            assert repr(method) == f'ThriftMethod(name="{method.name}", return_type={returns})'
            assert field_tuples_ours(method.arguments) == field_tuples_ref(function["arguments"])
            assert field_tuples_ours(method.exceptions) == field_tuples_ref(function["exceptions"])

    if ref["constants"] is None:
        return
    own_consts = {c for c in ours.list_consts() if "." not in c}
    assert own_consts == {c["name"] for c in ref["constants"]}
    for const in ref["constants"]:
        value = ours.get_const(const["name"])
        assert same(value, const["value"]), (const["name"], value, const["value"])


def test_included_definitions_match_the_included_files_view(out_dir):
    ours = velvane.ThriftParser(compat=True)
    ours.parse_file(str(IDL_DIR / "tutorial.thrift"))
    shared = reference_view(IDL_DIR / "shared.thrift", out_dir)
    for struct in shared["structs"]:
        view = ours.get_struct("shared." + struct["name"])
        assert field_tuples_ours(view.fields) == field_tuples_ref(struct["fields"])
    calculator = ours.get_service("Calculator")
    assert [m.name for m in calculator.methods][:1] == ["getStruct"]  # shared.SharedService's method first
    assert ours.get_const("INT32CONSTANT") == 9853


def test_the_corpus_does_not_load_in_the_default_grammar():
    """What these files use (i8, single quotes, 1.0 literals, dotted scopes) is what compat mode is for."""
    failures = 0
    for name in CORPUS:
        try:
            velvane.ThriftParser().parse_file(str(IDL_DIR / name))
        except ValueError:
            failures += 1
    assert failures > 0
