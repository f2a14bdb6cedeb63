"""Mutation fuzzing of ThriftStruct.deserialize through the Python API (all three protocols).

The libFuzzer targets cover the core readers; this loop covers the path from bytes straight into
Python objects. Run it against the sanitizer build for a bounded time:

    make asan-build
    ASAN_OPTIONS=detect_leaks=0 LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)" \
      VELVANE_BUILD_DIR=build-asan tools/python fuzz/py_deserialize.py 300

A crash ends the process with the sanitizer's report; the seed and iteration are printed first.
"""
import random
import sys
import time

import velvane

IDL = """
struct Leaf { 1: i32 n, 2: string s, 3: binary b, 4: bool f }
struct Node { 1: i64 id, 2: list<Node> kids, 3: map<string, Leaf> leaves, 4: set<double> ds,
              5: Leaf leaf, 6: map<list<i32>, string> odd, 7: list<map<i16, bool>> flags, 8: byte y }
"""


def seeds(node):
    leaf = {"n": 1, "s": "x", "b": b"\x00\x01", "f": True}
    value = {"id": 7, "kids": [{"id": 1, "leaf": leaf}, {"id": 2, "kids": [{"id": 3}]}],
             "leaves": {"a": leaf}, "ds": [1.5, -2.0], "leaf": leaf, "odd": {}, "flags": [{1: True, 2: False}], "y": -1}
    return [node.serialize_with_protocol(value, p) for p in (velvane.ProtocolType.Binary,
                                                              velvane.ProtocolType.Compact,
                                                              velvane.ProtocolType.JSON)]


def mutate(rng, data):
    data = bytearray(data)
    for _ in range(rng.randint(1, 8)):
        op = rng.randrange(5)
        pos = rng.randrange(len(data) + 1)
        if op == 0 and data:
            data[pos % len(data)] = rng.randrange(256)
        elif op == 1:
            data[pos:pos] = bytes(rng.randrange(256) for _ in range(rng.randint(1, 4)))
        elif op == 2 and data:
            del data[pos:pos + rng.randint(1, 8)]
        elif op == 3 and data:
            chunk = data[pos:pos + rng.randint(1, 16)]
            at = rng.randrange(len(data) + 1)
            data[at:at] = chunk
        else:
            data[pos:pos] = rng.choice([b"\xff\xff\xff\x7f", b"\x80\x80\x80\x80\x80\x80", b"\x0f", b"[", b"{"])
    return bytes(data)


def main():
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 30
    seed = int(sys.argv[2]) if len(sys.argv) > 2 else random.randrange(2**32)
    print(f"fuzzing deserialize for {seconds:.0f}s, seed {seed}", flush=True)
    rng = random.Random(seed)
    parser = velvane.ThriftParser()
    parser.parse(IDL)
    node = parser.get_struct("Node")
    corpus = seeds(node)
    protocols = [velvane.ProtocolType.Binary, velvane.ProtocolType.Compact, velvane.ProtocolType.JSON]
    deadline = time.monotonic() + seconds
    runs = accepted = 0
    while time.monotonic() < deadline:
        index = rng.randrange(len(corpus))
        data = mutate(rng, corpus[index])
        protocol = protocols[rng.randrange(3)]
        runs += 1
        try:
            inst = node.deserialize_with_protocol(data, protocol)
            repr(inst)
            node.serialize_with_protocol(inst, protocol)
            accepted += 1
            if len(corpus) < 2000 and rng.random() < 0.05:
                corpus.append(data)
        except (OSError, ValueError, TypeError, OverflowError, UnicodeError):
            pass
    print(f"{runs} inputs, {accepted} accepted, no crash", flush=True)


if __name__ == "__main__":
    main()
