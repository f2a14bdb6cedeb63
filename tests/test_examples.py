"""The example scripts and the demo run as a user runs them, so they never rot."""
import contextlib
import os
import pathlib
import queue
import signal
import subprocess
import sys
import threading
import time

import pytest

from server_support import DEADLINE, free_port

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"
ENV = dict(os.environ, PYTHONUNBUFFERED="1")


def run_example(name, *args):
    return subprocess.run([sys.executable, str(EXAMPLES / name), *args], capture_output=True, text=True,
                          timeout=60, env=ENV)


@contextlib.contextmanager
def example_server():
    """examples/server.py in a child process until the block ends, then Ctrl+C; yields (port, output)."""
    port = free_port()
    child = subprocess.Popen([sys.executable, str(EXAMPLES / "server.py"), "--port", str(port)],
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, env=ENV)
    lines = queue.Queue()
    reader = threading.Thread(target=lambda: [lines.put(line) for line in child.stdout], daemon=True)
    reader.start()
    output = []
    try:
        end = time.monotonic() + DEADLINE
        while not any("Calculator listening on" in line for line in output):
            output.append(lines.get(timeout=max(0.0, end - time.monotonic())))
        yield port, output
    finally:
        child.send_signal(signal.SIGINT)
        child.wait(timeout=DEADLINE)
        reader.join(DEADLINE)
        child.stdout.close()
        while not lines.empty():
            output.append(lines.get())
    assert child.returncode == 0, "".join(output)
    assert "stopped" in "".join(output)  # the server thread's own lines may land inside it


@pytest.mark.parametrize("script, expected", [
    ("client.py", ["ping() -> True", "add(a=2, b=3) -> 5", "whole = 42",
                   "calculate(1 / 0) raised: Service exception 'ouch' (field 1): InvalidOperation(op=4, why='division by zero')",
                   "history(since=-1) raised: type 6, 'ValueError: since must not be negative, got -1'",
                   "history(since=0) -> [Number(whole=42, real=None)]"]),
    ("async_client.py", ["ping() -> True", "10 concurrent add(i, 10 * i) -> [0, 11, 22, 33, 44, 55, 66, 77, 88, 99]",
                         "calculate(7 / 0) raised RuntimeError: Service exception 'ouch'",
                         "history(since=-1) raised ThriftApplicationException", "is_open() -> True"]),
])
def test_example_client_against_example_server(script, expected):
    with example_server() as (port, server_output):
        done = run_example(script, "--port", str(port))
    assert done.returncode == 0, done.stderr
    for text in expected:
        assert text in done.stdout
    if script == "client.py":
        assert any("[server] log: hello from client.py" in line for line in server_output)


def test_demo_runs_every_step_and_exits_cleanly():
    done = run_example("demo.py")
    assert done.returncode == 0, done.stdout + done.stderr
    for text in ["service Calculator", "JSON", "ping() -> True", "raised the declared exception",
                 "raised an application error: type 6", "20 concurrent add", "-> 200 OK, body 'ok\\n'",
                 "is_running() -> False", "demo finished in"]:
        assert text in done.stdout
    assert "Traceback" not in done.stderr
