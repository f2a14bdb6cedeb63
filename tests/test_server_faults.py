"""ThriftServer under faults: a server killed mid-call, a client killed mid-call, accept out of
descriptors, a handler that never returns, stop() with calls in flight."""
import asyncio
import os
import selectors
import signal
import subprocess
import sys
import threading
import time

import pytest

import velvane
from server_support import DEADLINE, connected, free_port, raw_connection, run_script, serving, wait_for

TESTS = os.path.dirname(os.path.abspath(__file__))
IDL = "service F { i32 add(1: i32 a, 2: i32 b), i32 slow(1: i32 a), i32 block(), i32 ping() }"

SERVER = f"""
import os, resource, sys, threading, time
sys.path.insert(0, {TESTS!r})
import velvane
from server_support import wait_for
parser = velvane.ThriftParser()
parser.parse({IDL!r})
server = velvane.ThriftServer(parser.get_service("F"), workers=int(sys.argv[2]))
server.register_handler("add", lambda a, b: a + b)
def slow(a):
    print("in slow", flush=True)
    time.sleep(30)
    return a
server.register_handler("slow", slow)
async def ping():
    return 1
# Without coroutine handlers each connection costs one descriptor, so the accept path is what runs
# out (a connection lent to the asyncio loop needs a second one).
server.register_handler("ping", (lambda: 1) if sys.argv[3] == "few-descriptors" else ping)
server.serve("127.0.0.1", int(sys.argv[1]))
wait_for(server.is_running, "listening")
if sys.argv[3] == "few-descriptors":
    with velvane.ThriftClient(parser.get_service("F"), "127.0.0.1", int(sys.argv[1])) as c:
        c.call("ping")  # the worker's asyncio loop has started (and opened its files)
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (len(os.listdir("/proc/self/fd")) + 3, hard))
print("ready", flush=True)
sys.stdin.read()
"""


def start_server(port, stderr=subprocess.DEVNULL, workers=1, mode="plain"):
    child = subprocess.Popen([sys.executable, "-c", SERVER, str(port), str(workers), mode], stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, stderr=stderr)
    wait_for_line(child, "ready")
    return child


def wait_for_line(child, line):
    # Raw reads with our own buffer: a buffered readline() may take several lines at once and leave
    # the selector waiting for bytes that were already read.
    end = time.monotonic() + DEADLINE
    pending = _pending.pop(child.pid, b"")
    with selectors.DefaultSelector() as sel:
        sel.register(child.stdout, selectors.EVENT_READ)
        while True:
            head, newline, rest = pending.partition(b"\n")
            if newline:
                pending = rest
                if head.strip() == line.encode():
                    _pending[child.pid] = pending
                    return
                continue
            remaining = end - time.monotonic()
            if remaining <= 0 or not sel.select(remaining):
                break
            chunk = os.read(child.stdout.fileno(), 4096)
            if not chunk:
                break
            pending += chunk
    raise AssertionError(f"the child did not print {line!r}")


_pending = {}


def end(child):
    if child.poll() is None:
        child.kill()
    child.wait(DEADLINE)
    child.stdout.close()
    if child.stdin:
        child.stdin.close()


@pytest.fixture
def service(parse):
    parser = parse(IDL)
    return parser, parser.get_service("F")


@pytest.mark.parametrize("kind", ["blocking", "async"])
def test_a_server_killed_mid_call_fails_the_call_and_a_restarted_one_serves_reopened_clients(service, kind):
    parser, svc = service
    port = free_port()
    child = start_server(port)
    try:
        if kind == "blocking":
            client = velvane.ThriftClient(svc, "127.0.0.1", port)
            client.timeout = DEADLINE
            client.open()
            in_flight = []
            caller = threading.Thread(target=lambda: in_flight.append(_outcome(client.call, "slow", a=1)))
            caller.start()
            wait_for_line(child, "in slow")
            end(child)
            caller.join(DEADLINE)
            assert isinstance(in_flight[0], OSError)
            child = start_server(port)
            client.close()
            client.open()
            assert client.call("add", a=40, b=2) == 42
            client.close()
        else:
            async def main():
                nonlocal child
                client = velvane.AsyncThriftClient(svc, "127.0.0.1", port)
                await client.open()
                call = asyncio.ensure_future(client.call("slow", a=1))
                await asyncio.to_thread(wait_for_line, child, "in slow")
                end(child)
                with pytest.raises(OSError):
                    await call
                child = start_server(port)
                await client.open()
                assert await client.call("add", a=40, b=2) == 42
                await client.close()

            asyncio.run(asyncio.wait_for(main(), DEADLINE * 2))
    finally:
        end(child)


def _outcome(fn, *args, **kwargs):
    try:
        return fn(*args, **kwargs)
    except BaseException as e:  # handed to the test thread
        return e


def test_a_client_killed_mid_call_costs_at_most_one_line(service, capfd):
    parser, svc = service
    entered, release = threading.Event(), threading.Event()
    server = velvane.ThriftServer(svc)
    server.register_handler("add", lambda a, b: a + b)
    server.register_handler("slow", lambda a: entered.set() or release.wait(DEADLINE) and a)
    with serving(server) as port:
        client = subprocess.Popen([sys.executable, "-c", f"""
import sys; sys.path.insert(0, {TESTS!r})
import velvane
parser = velvane.ThriftParser(); parser.parse({IDL!r})
c = velvane.ThriftClient(parser.get_service("F"), "127.0.0.1", {port}); c.open()
c.call("slow", a=1)
"""])
        try:
            assert entered.wait(DEADLINE)
        finally:
            client.kill()
            client.wait(DEADLINE)
        release.set()  # the reply goes to a connection nobody holds any more
        with connected(svc, parser, port) as c:
            for k in range(20):
                assert c.call("add", a=k, b=1) == k + 1
    assert capfd.readouterr().err.count("connection error") <= 1


def test_accept_out_of_descriptors_prints_the_accept_error_and_recovers(service, tmp_path):
    parser, svc = service
    port = free_port()
    errors = tmp_path / "stderr"
    with open(errors, "w") as sink:
        child = start_server(port, stderr=sink, mode="few-descriptors")
    held = []
    try:
        def starved():
            held.append(raw_connection(port))  # completed by the kernel, waiting in the backlog
            return "accept error: Too many open files" in errors.read_text()

        wait_for(starved, "the accept-error line")
        for conn in held:
            conn.close()
        # The descriptors come back as the server closes those connections; then it accepts again.
        with connected(svc, parser, port) as c:
            assert c.call("add", a=1, b=2) == 3
    finally:
        for conn in held:
            conn.close()
        end(child)
    lines = errors.read_text().splitlines()
    assert lines and set(lines) == {"accept error: Too many open files"}


def test_stop_with_a_handler_blocked_forever_and_calls_in_flight():
    done = run_script(f"""
        import asyncio, sys, threading, time
        sys.path.insert(0, {TESTS!r})
        import velvane
        from server_support import connected, free_port, wait_for
        parser = velvane.ThriftParser()
        parser.parse({IDL!r})
        svc = parser.get_service("F")
        server = velvane.ThriftServer(svc, workers=1)
        never, blocked, slowed = threading.Event(), threading.Event(), threading.Event()
        server.register_handler("add", lambda a, b: a + b)
        server.register_handler("block", lambda: blocked.set() or never.wait())
        async def slow(a):
            slowed.set()
            await asyncio.sleep(0.5)
            return a
        server.register_handler("slow", slow)
        port = free_port()
        server.serve("127.0.0.1", port)
        wait_for(server.is_running, "listening")
        outcomes = []
        def call(name, **args):
            with connected(svc, parser, port) as c:
                try:
                    outcomes.append(c.call(name, **args))
                except OSError as e:
                    outcomes.append(type(e).__name__)
        blocked_call = threading.Thread(target=call, args=("block",), daemon=True)
        blocked_call.start()
        assert blocked.wait(10)
        # One blocked handler holds one blocking thread: the other connections are served.
        for k in range(4):
            with connected(svc, parser, port) as c:
                assert c.call("add", a=k, b=1) == k + 1
        idle = velvane.ThriftClient(svc, "127.0.0.1", port)
        idle.timeout = 20.0
        idle.open()
        assert idle.call("add", a=1, b=1) == 2
        in_flight = threading.Thread(target=call, args=("slow",), kwargs=dict(a=1))
        in_flight.start()
        assert slowed.wait(10)
        server.stop()
        in_flight.join(30)
        # Until the runtime has gone, calls may still be answered; then they fail at once.
        while True:
            try:
                idle.call("add", a=1, b=1)
            except OSError as e:
                outcomes.append(type(e).__name__)
                break
        blocked_call.join(30)  # its handler never returns, but its connection ends
        print("outcomes:", sorted(outcomes), flush=True)
        print("leaving", flush=True)
    """, timeout=90)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[-1] == "leaving"
    # Neither the call in flight nor the idle connection waits for the blocked handler.
    assert "outcomes: ['OSError', 'OSError', 'OSError']" in lines
