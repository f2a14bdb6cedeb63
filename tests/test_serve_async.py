"""ThriftServer.serve_async: the server on the program's own asyncio loop, and coroutine handlers
under both serve() and serve_async()."""
import asyncio
import contextlib
import contextvars
import os
import signal
import socket
import struct
import subprocess
import sys
import textwrap
import types
import threading

import pytest

import velvane
from server_support import DEADLINE, free_port

IDL = """
exception Busy { 1: string why }
service S {
  i32 add(1: i32 a, 2: i32 b),
  i32 plain_add(1: i32 a, 2: i32 b),
  i32 nap(1: i32 ms) throws (1: Busy busy),
  string tag(),
}
"""


class Busy(Exception):
    def __init__(self, why):
        super().__init__(why)
        self.why = why


def make(handlers, workers=2):
    parser = velvane.ThriftParser()
    parser.parse(IDL)
    service = parser.get_service("S")
    server = velvane.ThriftServer(service, workers=workers)
    server.set_parser(parser)
    for name, fn in handlers.items():
        server.register_handler(name, fn)
    return server, service, parser


def run(main):
    return asyncio.run(asyncio.wait_for(main(), DEADLINE * 2))


async def until(predicate, what):
    async with asyncio.timeout(DEADLINE):
        while not predicate():
            await asyncio.sleep(0.002)


@contextlib.asynccontextmanager
async def started(server, mode, **kw):
    """The server serving on a fresh port, by serve() or as a task running serve_async(); yields the
    port and the task (None under serve())."""
    port = free_port()
    task = None
    if mode == "serve":
        server.serve("127.0.0.1", port)
    else:
        task = asyncio.create_task(server.serve_async("127.0.0.1", port, **kw))
    del kw  # (serve() has no grace: its loops' calls in flight end with the server)
    try:
        await until(lambda: server.is_running() or (task is not None and task.done()), "the server to listen")
        if task is not None and task.done():
            task.result()
        yield port, task
    finally:
        server.stop()
        if task is not None:
            with contextlib.suppress(asyncio.CancelledError):
                await asyncio.wait_for(task, DEADLINE)


@contextlib.asynccontextmanager
async def client(service, parser, port):
    c = velvane.AsyncThriftClient(service, "127.0.0.1", port)
    c.set_parser(parser)
    c.timeout = DEADLINE
    await c.open()
    try:
        yield c
    finally:
        await c.close()


def test_handlers_share_the_applications_loop_lock_queue_and_context():
    async def main():
        request_tag = contextvars.ContextVar("request_tag")
        request_tag.set("set by the application")
        loop = asyncio.get_running_loop()
        lock, queue = asyncio.Lock(), asyncio.Queue()

        async def add(a, b):
            assert asyncio.get_running_loop() is loop
            async with lock:
                await queue.put(a + b)
            return a + b

        async def tag():
            assert velvane.ThriftServer.current_request().method == "tag"  # the request's own context too
            return request_tag.get()

        server, service, parser = make({"add": add, "tag": tag})
        async with started(server, "serve_async") as (port, _), client(service, parser, port) as c:
            async with lock:  # the application holds the lock: every call waits for it
                calls = [asyncio.ensure_future(c.call("add", a=i, b=1)) for i in range(4)]
                await until(lambda: len(lock._waiters or ()) == 1, "a handler to wait for the lock")
                assert queue.empty()
            assert sorted(await asyncio.gather(*calls)) == [1, 2, 3, 4]
            assert sorted(queue.get_nowait() for _ in range(4)) == [1, 2, 3, 4]
            assert await c.call("tag") == "set by the application"

    run(main)


@pytest.mark.parametrize("grace, fate", [(5.0, "finished"), (0.0, "cancelled")])
def test_cancelling_the_serving_task_stops_the_server_and_gives_calls_in_flight_the_grace(grace, fate):
    async def main():
        entered, fates = asyncio.Event(), []

        async def nap(ms):
            entered.set()
            try:
                await asyncio.sleep(ms / 1000)
            except asyncio.CancelledError:
                fates.append("cancelled")
                raise
            fates.append("finished")
            return ms

        server, service, parser = make({"nap": nap})
        port = free_port()
        serving = asyncio.create_task(server.serve_async("127.0.0.1", port, grace=grace))
        await until(server.is_running, "the server to listen")
        async with client(service, parser, port) as c:
            call = asyncio.ensure_future(c.call("nap", ms=200))
            await asyncio.wait_for(entered.wait(), DEADLINE)
            serving.cancel()
            with pytest.raises(asyncio.CancelledError):
                await asyncio.wait_for(serving, DEADLINE)
            assert fates == [fate]
            assert not server.is_running()
            with pytest.raises((OSError, velvane.ThriftApplicationException)):
                await call

    run(main)


@pytest.mark.parametrize("mode", ["serve", "serve_async"])
def test_a_handler_awaiting_a_long_sleep_holds_up_no_other_connection(mode):
    async def main():
        entered = asyncio.Event()

        async def nap(ms):
            entered.set()
            await asyncio.sleep(ms / 1000)
            return ms

        async def add(a, b):
            return a + b

        server, service, parser = make({"nap": nap, "add": add}, workers=1)
        async with started(server, mode, grace=0.0) as (port, _), client(service, parser, port) as sleeper, \
                client(service, parser, port) as other:
            napping = asyncio.ensure_future(sleeper.call("nap", ms=60_000))
            if mode == "serve_async":  # (under serve() the handler runs on the server's own loop)
                await asyncio.wait_for(entered.wait(), DEADLINE)
            assert [await other.call("add", a=i, b=i) for i in range(20)] == [2 * i for i in range(20)]
            assert not napping.done()
            napping.cancel()

    run(main)


def test_serve_shares_connections_evenly_among_the_workers_loops():
    async def tag():
        return str(threading.get_ident())

    async def main():
        server, service, parser = make({"tag": tag}, workers=2)
        async with started(server, "serve") as (port, _), contextlib.AsyncExitStack() as stack:
            loops = []
            for _ in range(4):  # one at a time: each is hosted before the next connects
                c = await stack.enter_async_context(client(service, parser, port))
                loops.append(await c.call("tag"))
            assert sorted(loops.count(t) for t in set(loops)) == [2, 2]

    run(main)


async def _double(ms):
    return 2 * ms


async def _triple_after_a_turn(ms):
    await asyncio.sleep(0)
    return 3 * ms


@pytest.mark.parametrize("mode", ["serve", "serve_async"])
@pytest.mark.parametrize("body", ["no await", "await"])
def test_a_handler_without_await_answers_as_one_that_awaits(mode, body):
    """A body that cannot suspend runs without a task; its answers, errors, context and request are
    the same as a task's."""
    tag = contextvars.ContextVar("tag", default="unset")

    async def main():
        entries, in_children, children = [], [], []

        async def child():
            in_children.append(velvane.ThriftServer.current_request().seqid)

        def answer(ms):
            entries.append((tag.get(), asyncio.current_task() is None, velvane.ThriftServer.current_request().seqid))
            tag.set(f"set by call {ms}")  # stays in the call's own context
            children.append(asyncio.get_running_loop().create_task(child()))
            if ms < 0:
                raise Busy("negative")
            if ms == 13:
                raise ValueError("unlucky")
            return ms

        async def straight(ms):
            return answer(ms)

        async def awaiting(ms):
            await asyncio.sleep(0)
            return answer(ms)

        tag.set("application")
        server, service, parser = make({"nap": straight if body == "no await" else awaiting})
        async with started(server, mode) as (port, _), client(service, parser, port) as c:
            assert [await c.call("nap", ms=i) for i in range(3)] == [0, 1, 2]
            with pytest.raises(RuntimeError, match=r"^Service exception 'busy' \(field 1\): Busy\(why='negative'\)"):
                await c.call("nap", ms=-1)
            with pytest.raises(velvane.ThriftApplicationException, match="ValueError: unlucky"):
                await c.call("nap", ms=13)
            await until(lambda: len(in_children) == 5, "the tasks the handler started")
            assert tag.get() == "application"
        seqids = [seqid for _, _, seqid in entries]
        assert sorted(in_children) == seqids == list(range(5))  # started tasks see the request too
        at_entry = "application" if mode == "serve_async" else "unset"  # (serve(): the loop's own context)
        assert [(t, no_task) for t, no_task, _ in entries] == [(at_entry, body == "no await")] * 5

    run(main)


def test_a_handler_whose_code_is_swapped_for_one_that_awaits_runs_as_a_task():
    swapped = types.FunctionType(_double.__code__, globals())

    async def main():
        server, service, parser = make({"nap": swapped})
        swapped.__code__ = _triple_after_a_turn.__code__
        async with started(server, "serve_async") as (port, _), client(service, parser, port) as c:
            assert await c.call("nap", ms=5) == 15

    run(main)


def framed_add_calls(count, start=0):
    """`count` framed binary add(i, 1) calls, seqids from `start`."""
    out = bytearray()
    for seqid in range(start, start + count):
        body = struct.pack(">iI", -0x7FFF0000 | 1, 3) + b"add" + struct.pack(">i", seqid)
        body += struct.pack(">bhibhib", 8, 1, seqid, 8, 2, 1, 0)
        out += struct.pack(">I", len(body)) + body
    return bytes(out)


@pytest.mark.parametrize("mode", ["serve", "serve_async"])
def test_a_connection_that_keeps_pipelining_does_not_starve_the_loop(mode):
    async def main():
        async def add(a, b):
            return a + b

        server, service, parser = make({"add": add}, workers=1)
        async with started(server, mode) as (port, _), client(service, parser, port) as other:
            stop, progress = threading.Event(), threading.Condition()
            counts = {"sent": 0, "answered": 0, "torn": 0}
            flood = socket.create_connection(("127.0.0.1", port))

            def send():  # a few thousand requests always waiting in the server's buffer, until told to stop
                while not stop.is_set():
                    with progress:
                        progress.wait_for(lambda: stop.is_set() or counts["sent"] - counts["answered"] < 3000, DEADLINE)
                    if not stop.is_set():
                        flood.sendall(framed_add_calls(500, counts["sent"]))
                        counts["sent"] += 500
                flood.shutdown(socket.SHUT_WR)

            def receive():
                pending = bytearray()
                while chunk := flood.recv(1 << 16):
                    pending += chunk
                    at, whole = 0, 0
                    while len(pending) - at >= 4 and len(pending) - at >= 4 + struct.unpack_from(">I", pending, at)[0]:
                        at += 4 + struct.unpack_from(">I", pending, at)[0]
                        whole += 1
                    del pending[:at]
                    with progress:
                        counts["answered"] += whole
                        progress.notify_all()
                counts["torn"] = len(pending)

            turns = 0

            async def count_turns():  # runs once every turn of the loop
                nonlocal turns
                while True:
                    turns += 1
                    await asyncio.sleep(0)

            threads = [threading.Thread(target=send), threading.Thread(target=receive)]
            for t in threads:
                t.start()
            ticker = asyncio.create_task(count_turns())
            try:
                await until(lambda: counts["answered"] > 3000, "the flood to be answered")
                answered, turns = counts["answered"], 0
                assert [await other.call("add", a=i, b=i) for i in range(20)] == [2 * i for i in range(20)]
                # One burst (64 requests) a turn of the loop, however the flood's bytes come: beyond
                # that, only the replies already on their way when the count started (< 4,000).
                assert counts["answered"] - answered <= 100 * turns + 4000, (counts["answered"] - answered, turns)
            finally:
                ticker.cancel()
                with progress:
                    stop.set()
                    progress.notify_all()
                for t in threads:  # (the loop keeps serving the flood meanwhile)
                    await asyncio.to_thread(t.join, DEADLINE)
                flood.close()
            # Every request answered, none lost between bursts.
            assert counts["answered"] == counts["sent"] and counts["torn"] == 0

    run(main)


@pytest.mark.parametrize("mode", ["serve", "serve_async"])
def test_replies_match_requests_under_8_clients_with_50_concurrent_calls_each(mode):
    async def main():
        async def add(a, b):
            if a % 3 == 0:
                await asyncio.sleep(0)  # some calls wait, most finish at once
            return a + b

        async def nap(ms):
            if ms % 7 == 0:
                raise Busy(f"busy {ms}")
            return ms

        server, service, parser = make({"add": add, "plain_add": lambda a, b: a - b, "nap": nap})
        async with started(server, mode) as (port, _), contextlib.AsyncExitStack() as stack:
            clients = [await stack.enter_async_context(client(service, parser, port)) for _ in range(8)]

            async def one(c, k, i):
                n = k * 1000 + i
                if i % 3 == 0:
                    return await c.call("plain_add", a=n, b=1) == n - 1
                if i % 3 == 1:
                    return await c.call("add", a=n, b=n) == 2 * n
                try:
                    return await c.call("nap", ms=n) == n and n % 7 != 0
                except RuntimeError as e:
                    return n % 7 == 0 and f"why='busy {n}'" in str(e)

            checks = await asyncio.gather(*(one(c, k, i) for k, c in enumerate(clients) for i in range(50)))
            assert all(checks) and len(checks) == 400

    run(main)


def test_a_port_in_use_raises_oserror_at_once():
    async def main():
        server, _, _ = make({})
        with socket.socket() as holder:
            holder.bind(("127.0.0.1", 0))
            holder.listen()
            with pytest.raises(OSError):
                await server.serve_async("127.0.0.1", holder.getsockname()[1])
        assert not server.is_running()

    run(main)


CTRL_C_CHILD = """
import asyncio, sys
sys.path.insert(0, {tests!r})
import velvane
from server_support import free_port

parser = velvane.ThriftParser()
parser.parse("service S {{ i32 add(1: i32 a, 2: i32 b) }}")
server = velvane.ThriftServer(parser.get_service("S"))
server.set_parser(parser)
async def add(a, b):
    return a + b
server.register_handler("add", add)

async def announce():
    while not server.is_running():
        await asyncio.sleep(0.005)
    print("ready", flush=True)

async def main():
    async with asyncio.TaskGroup() as group:
        group.create_task(announce())
        await server.serve_async("127.0.0.1", free_port())

try:
    asyncio.run(main())
except KeyboardInterrupt:
    print("KeyboardInterrupt", flush=True)
print("running" if server.is_running() else "stopped", flush=True)
"""


def test_ctrl_c_inside_asyncio_run_ends_serve_async_cleanly():
    source = CTRL_C_CHILD.format(tests=os.path.dirname(os.path.abspath(__file__)))
    proc = subprocess.Popen([sys.executable, "-c", textwrap.dedent(source)], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, env=dict(os.environ, PYTHONUNBUFFERED="1"))
    try:
        lines = iter(proc.stdout.readline, "")  # (ends when the child does)
        assert "ready" in (line.strip() for line in lines)
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=DEADLINE)
    finally:
        proc.kill()
        proc.wait()
    assert proc.returncode == 0, err
    assert out.splitlines()[-2:] == ["KeyboardInterrupt", "stopped"]
