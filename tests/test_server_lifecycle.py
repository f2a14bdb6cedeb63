"""ThriftServer's lifecycle: status lines on the process's own stdout and stderr (read from a child
process), threads, stop requests, Ctrl+C, borrow conflicts."""
import os
import signal
import subprocess
import sys
import textwrap
import threading

import pytest

import velvane
from server_support import DEADLINE, free_port, run_script, serving, wait_for

PRELUDE = """
import asyncio, os, sys, time
sys.path.insert(0, {tests!r})
import velvane
from server_support import free_port, wait_for, connected
parser = velvane.ThriftParser()
parser.parse("service S {{ i32 add(1: i32 a, 2: i32 b), i32 slow_add(1: i32 a, 2: i32 b) }}")
service = parser.get_service("S")

def make(**kw):
    server = velvane.ThriftServer(service, **kw)
    server.set_parser(parser)
    server.register_handler("add", lambda a, b: a + b)
    async def slow_add(a, b):
        await asyncio.sleep(0.01)
        return a + b
    server.register_handler("slow_add", slow_add)
    return server

def threads_named(prefix):
    names = []
    for task in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{{task}}/comm") as f:
                names.append(f.read().strip())
        except (FileNotFoundError, ProcessLookupError):  # the thread ended meanwhile
            pass
    return sum(1 for n in names if n == prefix)
""".format(tests=os.path.dirname(os.path.abspath(__file__)))


def child(body, timeout=60):
    return run_script(PRELUDE + textwrap.dedent(body), timeout=timeout)


def test_serve_prints_the_listening_line_and_stop_the_shutdown_line():
    port = free_port()
    done = child(f"""
        server = make()
        assert server.serve("127.0.0.1", {port}) is None
        wait_for(server.is_running, "listening")
        try:
            server.serve("127.0.0.1", {port})
        except RuntimeError as e:
            print("refused:", e, flush=True)
        with connected(service, parser, {port}) as c:
            assert c.call("add", a=1, b=2) == 3
        server.stop()
        assert not server.is_running()
        wait_for(lambda: threads_named("velvane-server") == 0, "the server thread to end")
        server.serve("127.0.0.1", {port})
        wait_for(server.is_running, "listening again")
        with connected(service, parser, {port}) as c:
            assert c.call("slow_add", a=2, b=2) == 4
        server.stop()
        wait_for(lambda: threads_named("velvane-server") == 0, "the server thread to end")
    """)
    assert done.returncode == 0, done.stderr
    listening = f"ThriftServer (Framed, 1 workers) listening on 127.0.0.1:{port}\n"
    assert done.stdout == (listening + "refused: server already running\n" + "shutdown requested\n" + listening
                           + "shutdown requested\n")
    assert done.stderr == ""


def test_a_taken_port_gives_the_bind_error_line():
    with socket_listening() as port:
        done = child(f"""
            server = make(transport=velvane.TransportType.Buffered)
            server.serve("127.0.0.1", {port})
            wait_for(lambda: threads_named("velvane-server") == 0, "the server thread to end")
            assert not server.is_running()
        """)
    assert done.returncode == 0, done.stderr
    assert done.stdout == f"ThriftServer (Buffered, 1 workers) listening on 127.0.0.1:{port}\n"
    assert done.stderr.startswith(f"bind error on 127.0.0.1:{port}: ") and done.stderr.endswith("\n")
    assert len(done.stderr.splitlines()) == 1


def socket_listening():
    import contextlib
    import socket

    @contextlib.contextmanager
    def listening():
        with socket.create_server(("127.0.0.1", 0)) as s:
            yield s.getsockname()[1]

    return listening()


def test_worker_and_loop_threads_follow_the_runtime():
    done = child("""
        server = make(workers=0)
        port = free_port()
        server.serve("127.0.0.1", port)
        wait_for(server.is_running, "listening")
        n = max(2, os.cpu_count())
        wait_for(lambda: threads_named("velvane-pyo3-py") == n, "one loop thread per worker")
        print(threads_named("velvane-worker"), threads_named("velvane-server"), threads_named("velvane-pyo3-py"))
        server.stop()
        wait_for(lambda: threads_named("velvane-pyo3-py") + threads_named("velvane-worker") == 0, "threads to end")
        print("gone")
    """)
    assert done.returncode == 0, done.stderr
    n = max(2, os.cpu_count())
    lines = done.stdout.splitlines()
    assert lines[0].startswith(f"ThriftServer (Framed, {n} workers) listening on 127.0.0.1:")
    assert lines[1:] == [f"{n} 1 {n}", "shutdown requested", "gone"]


def test_a_stop_while_binding_is_honoured():
    done = child("""
        server = make()
        server.serve("127.0.0.1", free_port())
        server.stop()
        wait_for(lambda: threads_named("velvane-server") == 0, "the server thread to end")
        print("running:", server.is_running())
    """)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines()[1:] == ["shutdown requested", "running: False"]


def test_ctrl_c_stops_the_server_and_still_raises_keyboard_interrupt():
    proc = subprocess.Popen([sys.executable, "-c", PRELUDE + textwrap.dedent("""
        server = make()
        server.serve("127.0.0.1", free_port())
        wait_for(server.is_running, "listening")
        print("ready", flush=True)
        try:
            while True:
                time.sleep(0.01)
        except KeyboardInterrupt:
            print("KeyboardInterrupt", flush=True)
        wait_for(lambda: not server.is_running(), "the server to stop")
        print("stopped", flush=True)
    """)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert "listening on" in proc.stdout.readline()
        assert proc.stdout.readline() == "ready\n"
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=DEADLINE * 3)
    finally:
        proc.kill()
        proc.wait()
    assert proc.returncode == 0, err
    assert set(out.splitlines()) == {"received Ctrl+C, shutting down", "KeyboardInterrupt", "stopped"}


def test_the_interpreter_exits_cleanly_with_a_server_running_and_handlers_busy():
    done = child("""
        import threading
        server = make(workers=2)
        busy = threading.Event()
        def add(a, b):
            busy.set()
            time.sleep(0.5)
            return a + b
        async def slow_add(a, b):
            await asyncio.sleep(0.5)
            return a + b
        server.register_handler("add", add)
        server.register_handler("slow_add", slow_add)
        port = free_port()
        server.serve("127.0.0.1", port)
        wait_for(server.is_running, "listening")
        def call(name):
            with connected(service, parser, port) as c:
                c.call(name, a=1, b=2)
        for name in ("add", "slow_add"):
            threading.Thread(target=call, args=(name,), daemon=True).start()
        busy.wait(10)
        print("leaving", flush=True)
    """, timeout=30)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines()[-1] == "leaving"


def test_a_failing_loop_start_is_reported_and_only_coroutine_handlers_fail():
    done = child("""
        def broken():
            raise RuntimeError("no loops today")
        asyncio.new_event_loop = broken
        server = make(workers=2)
        port = free_port()
        server.serve("127.0.0.1", port)
        wait_for(server.is_running, "listening")
        with connected(service, parser, port) as c:
            assert c.call("add", a=1, b=2) == 3
            try:
                c.call("slow_add", a=1, b=2)
            except velvane.ThriftApplicationException as e:
                print(e.type_, e.message)
        server.stop()
        # Each worker reports its failed loop start before it runs; the server thread ends after
        # both workers have, and a report made while the interpreter exits is left out.
        wait_for(lambda: threads_named("velvane-server") == 0, "the server thread to end")
    """)
    assert done.returncode == 0, done.stderr
    assert "6 RuntimeError: no loops today" in done.stdout.splitlines()
    assert done.stderr.splitlines()[:2] == ["python asyncio worker init error: RuntimeError: no loops today"] * 2


# --- In this process: settings and borrow conflicts ----------------------------------------------


def test_settings_and_argument_errors(parse):
    service = parse("service S { void f() }").get_service("S")
    server = velvane.ThriftServer(service, workers=0, protocol=velvane.ProtocolType.JSON)
    assert (server.transport, server.protocol, server.workers) == (velvane.TransportType.Framed,
                                                                   velvane.ProtocolType.JSON, 0)
    server.transport, server.workers = velvane.TransportType.Buffered, 3
    assert (server.transport, server.workers) == (velvane.TransportType.Buffered, 3)
    assert (server.max_message_size, server.max_connections, server.reuse_port) == (16 << 20, 0, False)
    server.max_message_size, server.max_connections, server.reuse_port = 1 << 20, 1000, True
    assert (server.max_message_size, server.max_connections, server.reuse_port) == (1 << 20, 1000, True)
    for name, bad in (("max_message_size", -1), ("max_connections", "9"), ("reuse_port", 1)):
        with pytest.raises((TypeError, OverflowError), match=name):
            setattr(server, name, bad)
    with pytest.raises(TypeError, match="transport"):
        velvane.ThriftServer(service, transport=1)
    with pytest.raises(TypeError, match="service"):
        velvane.ThriftServer("S")
    with pytest.raises(OverflowError):
        server.serve("127.0.0.1", 70000)
    with pytest.raises(TypeError):
        server.serve("127.0.0.1", "80")
    assert server.stop() is None and not server.is_running()
    server.register_handler("not_in_the_service", print)
    server.clear_http_handler()


def test_a_change_during_another_call_is_refused(parse):
    service = parse("service S { void f() }").get_service("S")
    server = velvane.ThriftServer(service)
    entered, leave = threading.Event(), threading.Event()

    class SlowToInspect:
        def __call__(self):
            pass

        def __getattr__(self, name):
            entered.set()
            leave.wait(DEADLINE)
            raise AttributeError(name)

    registering = threading.Thread(target=server.register_handler, args=("f", SlowToInspect()))
    registering.start()
    try:
        assert entered.wait(DEADLINE)
        with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
            server.is_running()
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            server.register_handler("f", print)
    finally:
        leave.set()
        registering.join(DEADLINE)
    with serving(server):
        wait_for(server.is_running, "listening")


def test_the_multi_process_example_spreads_connections_over_its_processes():
    example = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples", "multi_process.py")
    done = subprocess.run([sys.executable, example, "2"], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    # 16 connections over 2 processes: all on one would mean the port is not shared.
    assert len([line for line in lines if line.startswith("process ")]) == 2
    assert lines[-1].startswith("2 processes served port ")


def test_a_server_held_by_its_own_handler_is_collected(parse):
    import gc
    import weakref
    service = parse("service S { i32 f() }").get_service("S")

    class App:
        def __init__(self):
            self.server = velvane.ThriftServer(service)
            self.server.register_handler("f", self.f)  # App -> server -> bound method -> App
            self.server.register_http_handler(self.http)

        def f(self):
            return 1

        def http(self, sock):
            pass

    app = App()
    assert gc.is_tracked(app.server)
    gone = weakref.ref(app)
    del app
    gc.collect()
    assert gone() is None
