"""What Python code expects of any value or object: pickles, copies, plain dicts, exceptions with
fields, introspection, docstrings, and clients and servers that need no set_parser."""
import asyncio
import copy
import json
import multiprocessing
import pathlib
import pickle
import re
import tomllib

import pytest

import velvane
from server_support import serving

ROOT = pathlib.Path(__file__).resolve().parent.parent

IDL = """
enum Color { RED = 1, GREEN = 2 }
struct Leaf { 1: string label = "leaf", 2: binary raw, 3: Color color = Color.GREEN }
struct Tree {
  1: required string name,
  2: list<Leaf> leaves,
  3: map<string, Leaf> by_label,
  4: set<i64> ids,
  5: map<i32, list<Leaf>> layers,
  6: Leaf root,
  7: i16 weight = 5,
  8: optional i32 depth,
}
exception NotFound { 1: string key, 2: i32 code = 404 }
exception Conflict { 1: string key, 2: Tree theirs }
service Store {
  Tree get(1: string key) throws (1: NotFound missing, 2: Conflict clash),
  Tree put(1: Tree tree),
}
"""


def parsed(text=IDL):
    parser = velvane.ThriftParser()
    parser.parse(text)
    return parser


def sample_tree(parser):
    Tree, Leaf = parser.get_struct("Tree"), parser.get_struct("Leaf")
    return Tree(name="t", leaves=[Leaf(label="a", raw=b"\x00\xff"), Leaf()],
                by_label={"b": Leaf(label="b", raw=b"")}, ids=[1, -(2**40)],
                layers={0: [Leaf(label="z")], -3: []}, root=Leaf(raw=b"r"), depth=3)


def in_a_fresh_process(tree):
    """Runs in a fresh interpreter, which rebuilds the instance's schema from its pickle."""
    return tree.to_dict(deep=True), copy.replace(tree, name="from the child")


# --- Pickles and copies -----------------------------------------------------------------------------


@pytest.mark.parametrize("protocol", range(2, pickle.HIGHEST_PROTOCOL + 1))
def test_pickle_round_trips_keep_every_field(protocol):
    parser = parsed()
    Tree = parser.get_struct("Tree")
    for tree in (sample_tree(parser), Tree.new_instance(), Tree.deserialize(Tree.serialize(sample_tree(parser)))):
        back = pickle.loads(pickle.dumps(tree, protocol))
        assert repr(back) == repr(tree)
        assert Tree.serialize(back) == Tree.serialize(tree)
        for p in velvane.ProtocolType.Compact, velvane.ProtocolType.JSON:
            assert Tree.serialize_with_protocol(back, p) == Tree.serialize_with_protocol(tree, p)


def test_a_pickle_of_many_instances_holds_the_idl_text_once():
    parser = parsed()
    tree = sample_tree(parser)
    one = len(pickle.dumps(tree))
    many = pickle.dumps([copy.copy(tree) for _ in range(1000)])
    assert len(many) < 1000 * (one - len(IDL)) + 2 * one
    assert many.count(b"enum Color") == 1


def test_directly_built_instances_pickle_and_copy():
    point = velvane.ThriftStructInstance("Point", x=1, y=[2, 3])
    for back in (pickle.loads(pickle.dumps(point)), copy.copy(point), copy.deepcopy(point)):
        assert (back.struct_name, back.field_names(), back.x, back.y) == ("Point", ["x", "y"], 1, [2, 3])
    assert copy.deepcopy(point).y is not point.y


def test_instances_cross_a_process_pool():
    parser = parsed()
    Tree = parser.get_struct("Tree")
    trees = [sample_tree(parser), Tree.new_instance(), Tree(name="only")]
    with multiprocessing.get_context("spawn").Pool(1) as pool:
        results = pool.map(in_a_fresh_process, trees)
    for tree, (plain, changed) in zip(trees, results):
        assert plain == tree.to_dict(deep=True)
        assert Tree.serialize(changed) == Tree.serialize(copy.replace(tree, name="from the child"))


def test_copies_are_independent_of_their_source():
    parser = parsed()
    tree = sample_tree(parser)
    shallow, deep = copy.copy(tree), copy.deepcopy(tree)
    shallow.name = deep.name = "other"
    assert tree.name == "t"
    assert shallow.leaves is tree.leaves and deep.leaves is not tree.leaves
    deep.leaves[0].label = "changed"
    deep.layers[0].append(None)
    assert (tree.leaves[0].label, len(tree.layers[0])) == ("a", 1)
    Tree = parser.get_struct("Tree")
    assert Tree.serialize(copy.deepcopy(tree)) == Tree.serialize(tree)
    # Fields never read (stored values only) are copied too.
    fresh = Tree.deserialize(Tree.serialize(tree))
    assert Tree.serialize(copy.copy(fresh)) == Tree.serialize(tree)


def test_deepcopy_keeps_shared_and_cyclic_references():
    parser = parsed()
    Leaf = parser.get_struct("Leaf")
    shared = Leaf(label="s")
    holder = velvane.ThriftStructInstance("Pair", a=shared, b=shared, me=None)
    holder.me = holder
    twin = copy.deepcopy(holder)
    assert twin.a is twin.b and twin.a is not shared and twin.me is twin


def test_replace_assigns_like_attributes():
    parser = parsed()
    tree = sample_tree(parser)
    changed = copy.replace(tree, name="r", depth=None, weight=2)
    assert (changed.name, changed.depth, changed.weight, changed.leaves) == ("r", None, 2, tree.leaves)
    assert (tree.name, tree.depth, tree.weight) == ("t", 3, 5)
    with pytest.raises(TypeError, match=r"^Tree.__replace__\(\) got an unexpected keyword argument 'nope'$"):
        copy.replace(tree, nope=1)


def test_deep_to_dict_is_plain_data():
    parser = parsed()
    tree = sample_tree(parser)
    plain = tree.to_dict(deep=True)
    assert plain["leaves"] == [{"label": "a", "raw": b"\x00\xff", "color": 2},
                               {"label": "leaf", "raw": None, "color": 2}]
    assert plain["by_label"] == {"b": {"label": "b", "raw": b"", "color": 2}}
    assert plain["layers"] == {0: [{"label": "z", "raw": None, "color": 2}], -3: []}
    assert plain["root"]["raw"] == b"r" and plain["weight"] == 5
    Leaf = parser.get_struct("Leaf")
    text = json.dumps(parser.get_struct("Tree")(name="j", layers={1: [Leaf(label="x")]}).to_dict(deep=True))
    assert json.loads(text)["layers"] == {"1": [{"label": "x", "raw": None, "color": 2}]}
    # Without deep, nested instances stay instances, as before.
    assert isinstance(tree.to_dict()["root"], velvane.ThriftStructInstance)
    with pytest.raises(TypeError):
        tree.to_dict(True)


# --- Declared exceptions ---------------------------------------------------------------------------


class NotFound(Exception):
    def __init__(self, key):
        super().__init__(key)
        self.key = key


def store_server(parser, set_parser):
    server = velvane.ThriftServer(parser.get_service("Store"))
    if set_parser:
        server.set_parser(parser)
    Tree = parser.get_struct("Tree")

    def get(key):
        if key == "missing":
            raise NotFound(key)
        return Tree(name=key, root={"label": key})

    server.register_handler("get", get)
    server.register_handler("put", lambda tree: copy.replace(tree, name=tree.name + "!"))
    return server


def check_declared_exception(raised):
    error = raised.value
    assert type(error) is RuntimeError
    assert re.match(r"^Service exception 'missing' \(field 1\): NotFound\(key='missing', code=404\)$", str(error))
    assert (error.name, error.field, error.type) == ("missing", 1, "NotFound")
    assert isinstance(error.value, velvane.ThriftStructInstance)
    assert error.value.to_dict() == {"key": "missing", "code": 404}


@pytest.mark.parametrize("set_parser", [True, False], ids=["set_parser", "service's own schema"])
def test_both_clients_against_a_server(set_parser):
    parser = parsed()
    service = parser.get_service("Store")
    tree = sample_tree(parser)
    with serving(store_server(parser, set_parser)) as port:
        client = velvane.ThriftClient(service, "127.0.0.1", port)
        if set_parser:
            client.set_parser(parser)
        with client:
            assert client.call("get", key="k").root.label == "k"
            expected = copy.replace(tree, name="t!").to_dict(deep=True)
            assert client.call("put", tree=tree).to_dict(deep=True) == expected
            with pytest.raises(RuntimeError) as raised:
                client.call("get", key="missing")
            check_declared_exception(raised)

        async def main():
            aclient = velvane.AsyncThriftClient(service, "127.0.0.1", port)
            if set_parser:
                aclient.set_parser(parser)
            async with aclient:
                assert (await aclient.call("get", key="k")).root.label == "k"
                assert (await aclient.call("put", tree=tree)).to_dict(deep=True) == expected
                with pytest.raises(RuntimeError) as raised:
                    await aclient.call("get", key="missing")
                check_declared_exception(raised)

        asyncio.run(main())


def test_set_parser_still_overrides_the_services_schema():
    parser = parsed()
    other = parsed("struct Tree { 1: required string name }")
    with serving(store_server(parser, True)) as port:
        with velvane.ThriftClient(parser.get_service("Store"), "127.0.0.1", port) as client:
            client.set_parser(other)
            assert client.call("get", key="k").to_dict() == {"name": "k"}


# --- Introspection ---------------------------------------------------------------------------------

FIELD_REPR = re.compile(r'^ThriftField\(id=-?\d+, name="[^"]*", required=(?:true|false), field_type=(.*)\)$')
METHOD_REPR = re.compile(r'^ThriftMethod\(name="[^"]*", return_type=(.*)\)$')


def real_world_idls():
    examples = ROOT / "examples"
    return {"calculator": (examples / "shared.thrift").read_text() + (examples / "calculator.thrift").read_text(),
            "workloads": (ROOT / "bench/workloads.thrift").read_text(),
            "store": IDL}


@pytest.mark.parametrize("name", sorted(real_world_idls()))
def test_types_and_defaults_are_attributes(name):
    parser = parsed(real_world_idls()[name])
    fields = [f for s in parser.list_structs() for f in parser.get_struct(s).fields]
    methods = [m for s in parser.list_services() for m in parser.get_service(s).methods]
    fields += [f for m in methods for f in m.arguments + m.exceptions]
    for field in fields:
        assert field.field_type == FIELD_REPR.match(repr(field)).group(1)
    for method in methods:
        assert method.return_type == METHOD_REPR.match(repr(method)).group(1)
    assert fields and methods


def test_every_type_form_and_default_value():
    parser = parsed(real_world_idls()["calculator"] + IDL.replace("Tree", "Tree2").replace("Leaf", "Leaf2")
                    .replace("Color", "Color2").replace("NotFound", "NF2").replace("Conflict", "C2")
                    .replace("Store", "Store2"))
    work = {f.name: f for f in parser.get_struct("Work").fields}
    assert [(f.field_type, f.default_value) for f in parser.get_struct("Work").fields] == [
        ("String", None), ("I64", None), ("Map(String, String)", None), ("I32", 1), ("List(I32)", None),
        ("String", "none"), ('Struct("shared.Point")', None)]
    assert work["request_id"].required and not work["op"].required
    tree = {f.name: (f.field_type, f.default_value) for f in parser.get_struct("Tree2").fields}
    assert tree == {"name": ("String", None), "leaves": ('List(Struct("Leaf2"))', None),
                    "by_label": ('Map(String, Struct("Leaf2"))', None), "ids": ("Set(I64)", None),
                    "layers": ('Map(I32, List(Struct("Leaf2")))', None), "root": ('Struct("Leaf2")', None),
                    "weight": ("I16", 5), "depth": ("I32", None)}
    assert [(f.field_type, f.default_value) for f in parser.get_struct("Leaf2").fields] == [
        ("String", "leaf"), ("Binary", None), ("I32", 2)]
    calc = {m.name: m for m in parser.get_service("Calculator").methods}
    assert [(n, m.return_type) for n, m in calc.items()] == [
        ("ping", "Bool"), ("log", 'Struct("void")'), ("calculate", 'Struct("Number")'), ("add", "I64"),
        ("history", 'List(Struct("Number"))')]
    assert calc["history"].arguments[0].default_value == 0
    assert calc["calculate"].exceptions[0].field_type == 'Struct("InvalidOperation")'


# --- Docstrings and the version --------------------------------------------------------------------

CLASSES = ["ThriftParser", "BinaryProtocol", "CompactProtocol", "JSONProtocol", "ThriftStruct", "ThriftField",
           "ThriftStructInstance", "PyThriftService", "PyThriftMethod", "ThriftServer", "ThriftClient",
           "AsyncThriftClient", "ThriftApplicationException"]


@pytest.mark.parametrize("cls", CLASSES)
def test_every_method_and_property_describes_itself(cls):
    klass = getattr(velvane, cls)
    own = {name: member for name, member in vars(klass).items()
           if not name.startswith("_") or name in ("__enter__", "__exit__", "__aenter__", "__aexit__", "__copy__",
                                                   "__deepcopy__", "__replace__", "__reduce__")}
    assert own
    for name, member in own.items():
        if callable(member) or hasattr(member, "__get__"):
            doc = member.__doc__
            assert doc and doc.strip(), f"{cls}.{name} has no description"


def test_version_is_the_packages():
    with open(ROOT / "pyproject.toml", "rb") as f:
        assert velvane.__version__ == tomllib.load(f)["project"]["version"]
