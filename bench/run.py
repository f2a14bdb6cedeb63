"""velvane against Apache Thrift's Python library, side by side in one run.

Run with `make bench` (or `tools/python bench/run.py [--quick] [--memory]`). Prints a Markdown table of
per-operation times and the ratio (Apache Thrift time / velvane time: above 1 means velvane is faster).

velvane's "deserialize" returns an instance; "deserialize+materialize" also turns it and every nested
instance into dicts with to_dict() (the Python-level recursion in materialize() is part of the cost).
Apache Thrift's side is TSerialization.deserialize into a new generated object in both rows.

A second table compares velvane's binary protocol with msgspec's msgpack on the same values: msgspec
encodes an equivalent array_like Struct and decodes into it; both sides then read every field, nested
ones included, with the same code. Ratios there are velvane's time divided by msgspec's (at most 1 means
velvane is as fast or faster). A third table reports attribute reads against a plain __slots__ class.
"""
import argparse
import gc
import os
import resource
import subprocess
import sys
import tempfile
import time
import timeit

import msgspec
import velvane

HERE = os.path.dirname(os.path.abspath(__file__))
IDL_PATH = os.path.join(HERE, "workloads.thrift")


def generated_module():
    """Apache Thrift's generated classes for the workloads (thrift --gen py, into a temp dir)."""
    out = tempfile.mkdtemp(prefix="velvane-bench-")
    subprocess.run(["thrift", "--gen", "py", "-out", out, IDL_PATH], check=True)
    sys.path.insert(0, out)
    import workloads.ttypes as ttypes  # noqa: E402

    return ttypes


def small_dict():
    return {"a": 7, "b": 1 << 40, "c": 2.5}


def medium_dict():
    return {
        "count": 42,
        "name": "a medium struct",
        "stamp": 1_700_000_000_000,
        "ratio": 0.125,
        "active": True,
        "numbers": list(range(100)),
        "counters": {f"counter{i}": i * 1000 for i in range(10)},
        "inners": [{"id": i, "score": i / 7, "label": f"inner-{i}"} for i in range(10)],
        "blob": bytes(range(256)),
        "tags": [f"tag{i}" for i in range(5)],
    }


def thrift_object(tt, name, d):
    if name == "Small":
        return tt.Small(**d)
    m = dict(d)
    m["inners"] = [tt.Inner(**i) for i in d["inners"]]
    m["tags"] = set(d["tags"])
    return tt.Medium(**m)


def materialize(instance):
    """Fully materialize a velvane result: the instance and every nested instance become dicts."""
    d = instance.to_dict()
    for key, value in d.items():
        kind = type(value)
        if kind is velvane.ThriftStructInstance:
            d[key] = materialize(value)
        elif kind is list and value and type(value[0]) is velvane.ThriftStructInstance:
            d[key] = [materialize(v) for v in value]
    return d


def per_op(fn, number):
    best = float("inf")
    for _ in range(5):
        start = time.perf_counter()
        for _ in range(number):
            fn()
        best = min(best, (time.perf_counter() - start) / number)
    return best * 1e6


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true", help="fewer iterations")
    ap.add_argument("--memory", action="store_true", help="also run the 1M round-trip memory check")
    ap.add_argument("--msgspec-only", action="store_true", help="only the msgspec and attribute tables")
    args = ap.parse_args()
    scale = 0.1 if args.quick else 1.0
    if args.msgspec_only:
        parser = velvane.ThriftParser()
        with open(IDL_PATH) as f:
            parser.parse(f.read())
        print(msgspec_report(parser, scale))
        print()
        print(attribute_report(parser, scale))
        return

    from thrift.protocol import TBinaryProtocol, TCompactProtocol, TJSONProtocol
    from thrift.TSerialization import deserialize, serialize

    tt = generated_module()
    parser = velvane.ThriftParser()
    with open(IDL_PATH) as f:
        parser.parse(f.read())
    P = velvane.ProtocolType
    protocols = [
        ("binary", P.Binary, TBinaryProtocol.TBinaryProtocolAcceleratedFactory(), "fastbinary"),
        ("compact", P.Compact, TCompactProtocol.TCompactProtocolAcceleratedFactory(), "accelerated compact"),
        ("json", P.JSON, TJSONProtocol.TJSONProtocolFactory(), "TJSONProtocol (pure Python)"),
        ("standard-compact", P.StandardCompact, TCompactProtocol.TCompactProtocolAcceleratedFactory(),
         "accelerated compact"),
        ("standard-json", P.StandardJSON, TJSONProtocol.TJSONProtocolFactory(), "TJSONProtocol (pure Python)"),
    ]
    rows = []
    for proto_name, proto, factory, peer in protocols:
        for struct_name, data in (("Small", small_dict()), ("Medium", medium_dict())):
            sdef = parser.get_struct(struct_name)
            obj = thrift_object(tt, struct_name, data)
            cls = getattr(tt, struct_name)
            n = max(200, int((200_000 if struct_name == "Small" else 50_000) * scale))
            if proto_name.endswith("json"):
                n = max(100, n // 20)
            ours = sdef.serialize_with_protocol(data, proto)
            theirs = serialize(obj, factory)
            if proto_name.startswith("standard"):
                ours = theirs  # the standard dialects read what Apache Thrift wrote
            # velvane reads its own bytes back to the same values (sanity check before timing).
            assert materialize(sdef.deserialize_with_protocol(ours, proto))["count" if struct_name == "Medium" else "a"] == data["count" if struct_name == "Medium" else "a"]
            v_ser = per_op(lambda: sdef.serialize_with_protocol(data, proto), n)
            t_ser = per_op(lambda: serialize(obj, factory), n)
            v_read = per_op(lambda: sdef.deserialize_with_protocol(ours, proto), n)
            v_de = per_op(lambda: materialize(sdef.deserialize_with_protocol(ours, proto)), n)
            t_de = per_op(lambda: deserialize(cls(), theirs, factory), n)
            rows.append((proto_name, struct_name, "serialize", v_ser, t_ser, peer))
            rows.append((proto_name, struct_name, "deserialize", v_read, t_de, peer))
            rows.append((proto_name, struct_name, "deserialize+materialize", v_de, t_de, peer))

    print("| protocol | struct | operation | velvane µs | Apache Thrift µs | ratio | peer |")
    print("|---|---|---|---:|---:|---:|---|")
    for proto_name, struct_name, op, v, t, peer in rows:
        print(f"| {proto_name} | {struct_name} | {op} | {v:.2f} | {t:.2f} | {t / v:.1f}x | {peer} |")

    print()
    print(msgspec_report(parser, scale))
    print()
    print(attribute_report(parser, scale))

    print()
    print(idl_parse_report(scale))

    if args.memory:
        print()
        print(memory_report(parser))


class MsInner(msgspec.Struct, array_like=True):
    id: int
    score: float
    label: str


class MsSmall(msgspec.Struct, array_like=True):
    a: int
    b: int
    c: float


class MsMedium(msgspec.Struct, array_like=True):
    count: int
    name: str
    stamp: int
    ratio: float
    active: bool
    numbers: list[int]
    counters: dict[str, int]
    inners: list[MsInner]
    blob: bytes
    tags: list[str]  # velvane reads a Thrift set as a list: both sides build the same Python objects


def msgspec_value(name, d):
    if name == "Small":
        return MsSmall(**d)
    m = dict(d)
    m["inners"] = [MsInner(**i) for i in d["inners"]]
    return MsMedium(**m)


def read_small(o):
    return (o.a, o.b, o.c)


def read_medium(o):
    """Every field, nested ones included: the same code for velvane instances and msgspec Structs."""
    inners = [(i.id, i.score, i.label) for i in o.inners]
    return (o.count, o.name, o.stamp, o.ratio, o.active, o.numbers, o.counters, inners, o.blob, o.tags)


def msgspec_report(parser, scale):
    """velvane binary against msgspec msgpack, both ways, on the same values."""
    lines = ["| struct | operation | velvane µs | msgspec µs | velvane / msgspec |", "|---|---|---:|---:|---:|"]
    for struct_name, data, read in (("Small", small_dict(), read_small), ("Medium", medium_dict(), read_medium)):
        sdef = parser.get_struct(struct_name)
        ms_cls = MsSmall if struct_name == "Small" else MsMedium
        value = msgspec_value(struct_name, data)
        encoder = msgspec.msgpack.Encoder()
        decoder = msgspec.msgpack.Decoder(ms_cls)
        ours = sdef.serialize(data)
        theirs = encoder.encode(value)
        assert read(sdef.deserialize(ours)) == read(decoder.decode(theirs))
        n = max(200, int((200_000 if struct_name == "Small" else 50_000) * scale))
        v_ser = per_op(lambda: sdef.serialize(data), n)
        m_ser = per_op(lambda: encoder.encode(value), n)
        v_de = per_op(lambda: read(sdef.deserialize(ours)), n)
        m_de = per_op(lambda: read(decoder.decode(theirs)), n)
        lines.append(f"| {struct_name} | serialize | {v_ser:.2f} | {m_ser:.2f} | {v_ser / m_ser:.2f} |")
        lines.append(f"| {struct_name} | deserialize+read | {v_de:.2f} | {m_de:.2f} | {v_de / m_de:.2f} |")
    return "\n".join(lines)


class SlotsMedium:
    __slots__ = tuple(MsMedium.__struct_fields__)

    def __init__(self, **kwargs):
        for k, v in kwargs.items():
            setattr(self, k, v)


def attribute_report(parser, scale):
    """Ten attribute reads of a medium value: a velvane instance (fields set, and fields read back
    from the wire), a msgspec Struct and a plain __slots__ class."""
    data = medium_dict()
    sdef = parser.get_struct("Medium")
    subjects = [
        ("velvane instance (from dict)", sdef.new_instance_from_dict(data)),
        ("velvane instance (deserialized)", sdef.deserialize(sdef.serialize(data))),
        ("msgspec Struct", msgspec_value("Medium", data)),
        ("__slots__ class", SlotsMedium(**data)),
    ]
    stmt = "; ".join(f"o.{name}" for name in MsMedium.__struct_fields__)
    n = max(1000, int(200_000 * scale))
    times = []
    for label, obj in subjects:
        timer = timeit.Timer(stmt, globals={"o": obj})
        times.append((label, min(timer.repeat(5, n)) / n / len(MsMedium.__struct_fields__) * 1e9))
    slots_ns = times[-1][1]
    lines = ["| attribute read of | ns per read | / __slots__ |", "|---|---:|---:|"]
    lines += [f"| {label} | {ns:.1f} | {ns / slots_ns:.2f} |" for label, ns in times]
    return "\n".join(lines)


def generated_idl(structs=500, fields=20, services=50, methods=20):
    types = ["i32", "i64", "string", "double", "bool", "list<i32>", "map<string, i64>", "set<string>", "binary"]
    out = ['namespace py bench.generated', 'include "shared.thrift"', "typedef i64 Stamp",
           "enum Color { RED = 1, GREEN, BLUE }"]
    for s in range(structs):
        out.append(f"/** Struct number {s}. */")
        out.append(f"struct S{s} {{")
        for f in range(fields):
            t = types[(s + f) % len(types)]
            default = " = 5" if t in ("i32", "i64") and f % 3 == 0 else ""
            out.append(f"  {f + 1}: optional {t} field_{f}{default}, // field {f}")
        out.append("}")
    for v in range(services):
        out.append(f"service Svc{v} {{")
        for m in range(methods):
            out.append(f"  S{m} call_{m}(1: i32 a, 2: S{(m + 1) % structs} b, 3: list<string> c) throws (1: S0 oops),")
        out.append("}")
    return "\n".join(out) + "\n"


def idl_parse_report(scale):
    text = generated_idl()
    size = len(text.encode())
    parser = velvane.ThriftParser()
    n = max(3, int(20 * scale))
    per = per_op(lambda: parser.parse(text), n) / 1e6
    return (f"ThriftParser.parse from Python ({size / 1e6:.2f} MB document, 500 structs x 20 fields, 50 services x 20 methods): "
            f"{per * 1e3:.2f} ms per document, {size / per / 1e6:.0f} MB/s")


def peak_rss_mb():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def memory_report(parser):
    sdef = parser.get_struct("Medium")
    data = medium_dict()
    lines = ["Memory over binary serialize/deserialize round trips of the medium struct:"]
    gc.collect()
    for target in (100_000, 1_000_000):
        done = 0 if target == 100_000 else 100_000
        for _ in range(target - done):
            materialize(sdef.deserialize(sdef.serialize(data)))
        lines.append(f"- peak RSS after {target:,} round trips: {peak_rss_mb():.1f} MB")
    return "\n".join(lines)


if __name__ == "__main__":
    main()
