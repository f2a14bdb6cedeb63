"""Eight threads sharing one parser, its structs, instances, caller data, a blocking client and a server.
The module declares that it needs no GIL: every shared object must stay consistent however the calls
interleave (under the debug interpreter and ASan too, where this suite also runs)."""
import asyncio
import threading

import pytest

import velvane
from server_support import DEADLINE, serving

IDL = """
struct Point { 1: i32 x, 2: i32 y, 3: list<i32> tags, 4: map<string, i32> marks }
service S { i32 add(1: i32 a, 2: i32 b), Point echo(1: Point p) }
"""
VALUES = (0, 7, -3, 1 << 20)
PROTOCOLS = (velvane.ProtocolType.Binary, velvane.ProtocolType.Compact, velvane.ProtocolType.JSON)
# What two threads racing on shared objects may legitimately be told.
EXPECTED_REFUSALS = ("Already borrowed", "Already mutably borrowed", "changed size during iteration",
                     "changed during serialization", "list changed", "dictionary changed", "dict changed")


def test_eight_threads_share_parsers_structs_instances_clients_and_a_server(parse):
    parser = parse(IDL)
    point = parser.get_struct("Point")
    shared = point.new_instance()
    shared.x, shared.y, shared.tags, shared.marks = 7, 0, [1, 2], {"a": 1}
    data = {"x": 7, "y": -3, "tags": [1, 2, 3], "marks": {"k": 1}}
    server = velvane.ThriftServer(parser.get_service("S"), workers=2)
    server.set_parser(parser)
    server.register_handler("add", lambda a, b: a + b)

    async def echo(p):
        return p
    server.register_handler("echo", echo)
    failures, refusals = [], []
    start = threading.Barrier(8)

    def check(instance):
        assert instance.x in VALUES and instance.y in VALUES, (instance.x, instance.y)

    with serving(server) as port:
        client = velvane.ThriftClient(parser.get_service("S"), "127.0.0.1", port)
        client.set_parser(parser)
        client.timeout = DEADLINE
        client.open()

        def work(me):
            start.wait(DEADLINE)
            for i in range(150):
                try:
                    step = (me + i) % 8
                    protocol = PROTOCOLS[i % 3]
                    if step == 0:
                        check(point.deserialize_with_protocol(point.serialize_with_protocol(shared, protocol), protocol))
                    elif step == 1:
                        shared.x, shared.y = VALUES[i % 4], VALUES[me % 4]
                        shared.tags = [i, me]
                    elif step == 2:
                        assert client.call("add", a=me, b=i) == me + i
                    elif step == 3:
                        check(point.deserialize_with_protocol(point.serialize_with_protocol(data, protocol), protocol))
                    elif step == 4:
                        data["tags"].append(i) if len(data["tags"]) < 50 else data["tags"].clear()
                        data["marks"][str(i % 5)] = i
                    elif step == 5:
                        assert set(shared.to_dict()) == {"x", "y", "tags", "marks"}
                        assert repr(shared).startswith("Point(")
                    elif step == 6 and i % 10 == 0:
                        parser.parse(IDL)
                    elif step == 6:
                        assert parser.get_struct("Point")(x=7).x == 7
                    else:
                        check(client.call("echo", p=shared))
                except RuntimeError as e:
                    if not any(text in str(e) for text in EXPECTED_REFUSALS):
                        failures.append(repr(e))
                    refusals.append(str(e))
                except Exception as e:  # noqa: BLE001 - every other outcome is a fault
                    failures.append(repr(e))

        threads = [threading.Thread(target=work, args=(me,)) for me in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(60)
        client.close()
    assert not any(t.is_alive() for t in threads), "a thread is stuck"
    assert sorted(set(failures)) == []
