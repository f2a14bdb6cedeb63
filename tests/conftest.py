import os
import signal
import time

import pytest

import velvane

# A shell that starts the suite in the background (`make test &`) makes it ignore Ctrl+C, and the
# children the tests interrupt would inherit that: they get Python's usual handling back.
if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)


@pytest.fixture
def parse():
    """Parse IDL text and return the parser."""

    def _parse(text):
        parser = velvane.ThriftParser()
        parser.parse(text)
        return parser

    return _parse


def _server_threads():
    """The thread ids of the process's server threads ("velvane-server") now."""
    found = set()
    for task in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{task}/comm") as comm:
                if comm.read().strip() == "velvane-server":
                    found.add(task)
        except OSError:
            pass  # the thread has just ended
    return found


def _let_stopped_servers_end(earlier, deadline=2.0):
    """A stopped server prints its last line ("shutdown requested") from its own thread after stop()
    has returned. Waiting for the server threads started since `earlier` to end, while pytest still
    captures the phase's output, keeps that line out of the progress report (pytest stops capturing
    between a test's phases). A server left running costs at most the deadline."""
    end = time.monotonic() + deadline
    while _server_threads() - earlier and time.monotonic() < end:
        time.sleep(0.002)


@pytest.hookimpl(wrapper=True, trylast=True)
def pytest_runtest_call(item):
    """Servers a test body starts and stops (inside the capture, which wraps this)."""
    earlier = _server_threads()
    try:
        return (yield)
    finally:
        _let_stopped_servers_end(earlier)


@pytest.fixture(autouse=True)
def _servers_end_with_their_test():
    """Servers that function-scoped fixtures start and stop."""
    earlier = _server_threads()
    yield
    _let_stopped_servers_end(earlier)


@pytest.fixture(autouse=True, scope="module")
def _servers_end_with_their_module():
    """Servers that module-scoped fixtures start and stop."""
    earlier = _server_threads()
    yield
    _let_stopped_servers_end(earlier)
