"""Hostile Python objects against serialize, instances and conversions: callbacks that change the
container being read, raise, or return odd values end in a result or an exception, never in a crash,
a hang, wrong bytes or an exception left pending."""
import subprocess
import sys
import threading
import time

import pytest

import velvane

P = velvane.ProtocolType
PROTOCOLS = [P.Binary, P.Compact, P.JSON]

IDL = """
struct Inner { 1: i32 v }
struct H { 1: binary b, 2: list<i32> li, 3: map<string, i32> m, 4: map<i32, i32> mk, 5: Inner inner,
           6: list<Inner> inners, 99: i32 tail }
struct Outer { 1: H h }
struct Node { 1: Node a, 2: Node b }
"""


@pytest.fixture(scope="module")
def p():
    parser = velvane.ThriftParser()
    parser.parse(IDL)
    return parser


def run_isolated(code, timeout=30):
    """Runs `code` in a fresh interpreter, so that a crash or a hang fails this test, not the suite."""
    prelude = f"import velvane\np = velvane.ThriftParser()\np.parse({IDL!r})\n"
    done = subprocess.run([sys.executable, "-c", prelude + code], capture_output=True, text=True, timeout=timeout)
    assert done.returncode == 0, done.stderr
    return done.stdout


SHRINKING_LIST = """
lst = []
class E:
    def __index__(self):
        lst.clear()
        return 1
lst += [E(), 2, 3]
"""


@pytest.mark.parametrize(
    "use, printed",
    [(f"p.get_struct('H').serialize_with_protocol({{'b': lst}}, velvane.ProtocolType.{proto})",
      "list changed size during iteration") for proto in ("Binary", "Compact", "JSON")]
    + [("h = p.get_struct('H').new_instance(); h.b = lst; print(h.b is lst)", "True"),
       ("x = velvane.ThriftStructInstance('X', b=0); x.b = lst; print(x.b is lst)", "True")],
)
def test_binary_from_a_list_emptied_while_read(use, printed):
    assert run_isolated(SHRINKING_LIST + f"try:\n    {use}\nexcept RuntimeError as e:\n    print(e)\n") == printed + "\n"


def test_instance_from_a_dict_emptied_by_a_key_lookup():
    code = """
d = {}
class K(str):
    def __hash__(self): return hash("v")
    def __eq__(self, o): d.clear(); return True
d[K("zz")] = int("9" * 40)
try:
    p.get_struct("Inner").new_instance_from_dict(d)
except RuntimeError as e:
    print(e)
"""
    assert run_isolated(code) == "dictionary changed size during iteration\n"


@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_map_rewritten_at_the_same_size_is_refused(p, protocol):
    d = {}

    class E:
        def __index__(self):
            if "a" in d:
                del d["a"]
                d["c"] = 3
            return 1

    d["a"], d["b"] = E(), 2
    with pytest.raises(RuntimeError, match="^dict changed during serialization$"):
        p.get_struct("H").serialize_with_protocol({"m": d, "tail": 7}, protocol)


def test_self_referential_data_assigned_to_a_struct_field_ends_at_once():
    code = """
node = p.get_struct("Node")
n = node.new_instance()
d = {}
d["a"] = d
d["b"] = d
n.a = d
n.a = n
n.b = n
n.a = n
try:
    node.serialize(n)
except ValueError as e:
    print(e)
"""
    assert run_isolated(code, timeout=20).startswith("Nesting too deep")


@pytest.mark.parametrize(
    "make",
    [lambda: {"\ud800": 1}, lambda: velvane.ThriftStructInstance("P", **{"\ud800": 1}),
     lambda: velvane.ThriftStructInstance("\ud800"), lambda: {"inner": {"\ud800": 1}, "tail": 3}],
)
def test_unencodable_text_leaves_no_exception_pending(p, make):
    typed, untyped = p.get_struct("Outer").new_instance(), velvane.ThriftStructInstance("X", h=0)
    value = make()
    typed.h = value
    assert len("ok") == 2  # a pending exception surfaces here as SystemError
    untyped.h = value
    assert len("ok") == 2
    assert typed.h is value and untyped.h is value


class Yielding:
    """An integer that lets other threads run while the writer converts it."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        time.sleep(0)
        return self.value


def test_threads_share_an_instance(p):
    struct = p.get_struct("H")
    h = struct.new_instance()
    errors = []

    def work(k):
        try:
            for i in range(300):
                h.li, h.m = [Yielding(k), i], {str(k): Yielding(i)}
                protocol = PROTOCOLS[i % 3]
                back = struct.deserialize_with_protocol(struct.serialize_with_protocol(h, protocol), protocol)
                assert len(back.li) == 2 and len(back.m) == 1
                assert set(h.to_dict()) == {"b", "li", "m", "mk", "inner", "inners", "tail"} and repr(h)
        except Exception as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=60)
    assert not any(t.is_alive() for t in threads)
    assert errors == []


# --- the mutation harness -------------------------------------------------------------------------


class Hostile:
    """An integer-like object whose dunders first call `act` (once it is set)."""

    def __init__(self, value=1):
        self.value, self.act = value, lambda: None

    def __index__(self):
        self.act()
        return self.value

    def __float__(self):
        return float(self.__index__())

    def __hash__(self):
        return hash(self.__index__())

    def __eq__(self, other):
        return other == self.__index__()


class Odd:
    """Dunders that answer with the wrong kind of value."""

    __index__ = __float__ = lambda self: "one"
    __hash__ = lambda self: 2**80
    __eq__ = lambda self, other: Odd()

    def __bool__(self):
        raise ValueError("no truth")


def rewrite(c):
    if isinstance(c, list):
        c[-1] = 9
    elif c:
        del c[next(iter(c))]
        c[len(c) + 200] = 1


def fail(c):
    raise ValueError("hostile")


def grow(c):
    c.append(1) if isinstance(c, list) else c.__setitem__(len(c) + 100, 1)


ACTIONS = {"clear": lambda c: c.clear(), "grow": grow, "rewrite": rewrite, "raise": fail, "odd": None}


def hostile_fields(action):
    """Per field of H, a value holding one hostile object that acts on the container around it."""
    if action is None:
        return {"b": [Odd(), 1], "li": [Odd(), 1], "m": {"a": Odd()}, "mk": {Odd(): 1}, "inner": {"v": Odd()},
                "inners": [{"v": Odd()}]}
    h = [Hostile() for _ in range(6)]
    inner, first = {"v": h[4]}, {"v": h[5]}
    values = {"b": [h[0], 2, 3], "li": [h[1], 2, 3], "m": {"a": h[2], "b": 2}, "mk": {h[3]: 1, 2: 2}, "inner": inner,
              "inners": [first, {"v": 2}]}
    for hostile, container in zip(h, [values["b"], values["li"], values["m"], values["mk"], inner, first]):
        hostile.act = lambda c=container: action(c)
    return values


def serialize_with(protocol):
    def use(p, field, value):
        data = p.get_struct("H").serialize_with_protocol({field: value, "tail": 7}, protocol)
        assert p.get_struct("H").deserialize_with_protocol(data, protocol).tail == 7

    return use


def assign(p, field, value):
    h = p.get_struct("H").new_instance()
    h.tail = 7
    setattr(h, field, value)
    assert getattr(h, field) is value
    assert p.get_struct("H").deserialize(p.get_struct("H").serialize(h)).tail == 7


def untyped(p, field, value):
    direct = velvane.ThriftStructInstance("X", **{field: 0})
    setattr(direct, field, value)
    p.get_struct("Outer").new_instance().h = direct


def nested(p, field, value):
    outer = p.get_struct("Outer").new_instance()
    outer.h = {field: value, "tail": 7}
    assert p.get_struct("Outer").deserialize(p.get_struct("Outer").serialize(outer)).h.tail == 7


ENTRY_POINTS = {"serialize-binary": serialize_with(P.Binary), "serialize-compact": serialize_with(P.Compact),
                "serialize-json": serialize_with(P.JSON), "assign": assign, "untyped": untyped, "nested-dict": nested,
                "new_instance_from_dict": lambda p, f, v: p.get_struct("H").new_instance_from_dict({f: v, "tail": 7})}


@pytest.mark.parametrize("action", ACTIONS)
@pytest.mark.parametrize("entry", ENTRY_POINTS)
def test_mutation_harness(p, entry, action):
    for field, value in hostile_fields(ACTIONS[action]).items():
        try:
            ENTRY_POINTS[entry](p, field, value)
        except AssertionError:
            raise
        except Exception:  # refusing hostile data is fine; what it leaves behind is checked below
            pass
        assert len("ok") == 2, field  # a pending exception surfaces here as SystemError
