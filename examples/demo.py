"""The velvane demo: parse the example IDL files and print their schemas as a tree, round-trip a
struct through the three protocols, then serve the Calculator and call it: blocking and concurrent
async calls, a declared exception, an application error, an HTTP health check on the Thrift port, and
a clean stop. Every step prints what it did. From a checkout, after `make build`:

    tools/python examples/demo.py      (or `make demo`)
"""
import asyncio
import glob
import os
import socket
import sys
import time
import urllib.request

import velvane
from server import load_parser, make_server, wait_until_listening

HERE = os.path.dirname(os.path.abspath(__file__))


def print_schema(path):
    parser = velvane.ThriftParser()
    with open(path, encoding="utf-8") as f:
        parser.parse(f.read())
    print(os.path.basename(path))
    for include in parser.list_includes():
        print(f"  include {include}")
    for scope, ns in sorted(parser.namespaces().items()):
        print(f"  namespace {scope} = {ns}")
    for name in sorted(parser.list_enums()):
        values = sorted(parser.get_enum(name).items(), key=lambda kv: kv[1])
        print(f"  enum {name}: " + ", ".join(f"{k}={v}" for k, v in values))
    for name in sorted(parser.list_structs()):
        print(f"  struct {name}")
        for field in parser.get_struct(name).fields:
            print(f"    {field!r}")
    for name in sorted(parser.list_services()):
        service = parser.get_service(name)
        print(f"  service {service.name}")
        for method in service.methods:
            args = ", ".join(f"{a.id}: {a.name}" for a in method.arguments)
            throws = ", ".join(e.name for e in method.exceptions)
            flags = " oneway" if method.oneway else ""
            print(f"    {method!r}{flags} ({args})" + (f" throws ({throws})" if throws else ""))


def round_trip():
    # Included files are recorded, never read: hand the parser the included text too, and the
    # include prefix resolves `shared.Point` to the `Point` of that text.
    parser = velvane.ThriftParser()
    texts = [open(os.path.join(HERE, name), encoding="utf-8").read() for name in ("shared.thrift", "calculator.thrift")]
    parser.parse("\n".join(texts))
    work = parser.get_struct("Work")
    value = work(request_id="r-1", sent_at=1_700_000_000, operands=[1, 2, 3], origin={"x": 1.0, "y": -2.5})
    print(f"Work instance: {value!r}")
    for protocol in (velvane.ProtocolType.Binary, velvane.ProtocolType.Compact, velvane.ProtocolType.JSON):
        data = work.serialize_with_protocol(value, protocol)
        back = work.deserialize_with_protocol(data, protocol)
        shown = data.decode() if protocol == velvane.ProtocolType.JSON else data.hex(" ")
        print(f"  {protocol!r:22} {len(data):3} bytes: {shown}")
        assert back.operands == [1, 2, 3] and back.origin.y == -2.5


STEPS = iter(range(1, 100))


def say(text):
    # One write per line: the server's threads print their own status lines to the same stream.
    sys.stdout.write(text + "\n")
    sys.stdout.flush()


def step(text):
    say(f"\n== {next(STEPS)}. {text}")


def show(text):
    say(f"   {text}")


def reserve_port():
    """A loopback port held (bound with SO_REUSEADDR, never listening) until the server binds it too."""
    holder = socket.socket()
    holder.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    holder.bind(("127.0.0.1", 0))
    return holder, holder.getsockname()[1]


def blocking_calls(parser, port):
    client = velvane.ThriftClient(parser.get_service("Calculator"), "127.0.0.1", port)
    client.set_parser(parser)
    client.timeout = 5.0
    with client:
        show(f"ping() -> {client.call('ping')}")
        show(f"add(a=2, b=3) -> {client.call('add', a=2, b=3)}")
        work = parser.get_struct("Work")(request_id="r-1", op=3, operands=[6, 7])
        show(f"calculate(work=6 * 7) -> {client.call('calculate', work=work)!r}  (async def handler)")
        try:
            client.call("calculate", work={"request_id": "r-2", "op": 4, "operands": [1, 0]})
            raise AssertionError("dividing by zero did not fail")
        except RuntimeError as e:
            show(f"calculate(work=1 / 0) raised the declared exception: {e}")
        try:
            client.call("history", since=-1)
            raise AssertionError("history(since=-1) did not fail")
        except velvane.ThriftApplicationException as e:
            show(f"history(since=-1) raised an application error: type {e.type_}, {e.message!r}")
        client.call("log", line="a oneway call")
        show("log(line=...) returned at once (oneway)")


async def concurrent_calls(parser, port):
    client = velvane.AsyncThriftClient(parser.get_service("Calculator"), "127.0.0.1", port)
    client.set_parser(parser)
    client.timeout = 5.0
    async with client:
        started = time.perf_counter()
        sums = await asyncio.gather(*(client.call("add", a=i, b=i * i) for i in range(20)))
        elapsed = (time.perf_counter() - started) * 1000
        show(f"20 concurrent add(a=i, b=i*i) -> {sums} in {elapsed:.1f} ms")
        assert sums == [i + i * i for i in range(20)]
        history = await client.call("history", since=0)
        show(f"history(since=0) -> {history}")


def health_check(port):
    url = f"http://127.0.0.1:{port}/health"
    with urllib.request.urlopen(url, timeout=5) as response:
        body = response.read().decode()
        show(f"GET {url} -> {response.status} {response.reason}, body {body!r}")
        assert response.status == 200


def serve_and_call():
    parser = load_parser()
    holder, port = reserve_port()
    server = make_server(parser)
    step(f"A ThriftServer for Calculator on 127.0.0.1:{port}")
    show("handlers: ping, add, log (plain functions), calculate, history (async def); an HTTP handler")
    server.serve("127.0.0.1", port)
    try:
        if not wait_until_listening(server):
            raise SystemExit(f"the server did not start listening on port {port}")
        show(f"is_running() -> {server.is_running()}")
        step("ThriftClient: blocking calls")
        blocking_calls(parser, port)
        step("AsyncThriftClient: concurrent calls on one connection")
        asyncio.run(concurrent_calls(parser, port))
        step("A health check with an HTTP client, on the Thrift port")
        health_check(port)
    finally:
        step("Stopping the server")
        server.stop()
        holder.close()
    show(f"is_running() -> {server.is_running()}")


def main():
    started = time.monotonic()
    step("The example IDL files as schema trees")
    for path in sorted(glob.glob(os.path.join(HERE, "*.thrift"))):
        print_schema(path)
    step("A Work struct through the three protocols")
    round_trip()
    serve_and_call()
    say(f"\ndemo finished in {(time.monotonic() - started) * 1000:.0f} ms")


if __name__ == "__main__":
    main()
