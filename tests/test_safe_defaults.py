"""A default server and default clients against hostile peers: each attack runs in a child process
with a deadline and a memory watchdog, and ends in a refusal, not a blow-up or a hang."""
import select
import signal
import subprocess
import sys
import time

import pytest

import velvane
from server_support import run_bounded

SERVER_CHILD = """
import socket, sys, threading, time
import velvane
from server_support import free_port, print_peak, raw_connection, serving, wait_for
parser = velvane.ThriftParser()
parser.parse("struct Node { 1: list<Node> kids } service S { i32 add(1: i32 a, 2: i32 b), i32 take(1: Node n) }")
service = parser.get_service("S")
def server_with(transport=velvane.TransportType.Framed, protocol=velvane.ProtocolType.Binary):
    server = velvane.ThriftServer(service, transport, 1, protocol)
    server.set_parser(parser)
    server.register_handler("add", lambda a, b: a + b)
    server.register_handler("take", lambda n: 1)
    return server
def still_serves(port, transport=velvane.TransportType.Framed, protocol=velvane.ProtocolType.Binary):
    with velvane.ThriftClient(service, "127.0.0.1", port, transport, protocol) as client:
        client.timeout = 10
        assert client.call("add", a=2, b=3) == 5
def until_closed(conn):
    while conn.recv(65536):
        pass
"""


def test_json_nesting_is_refused_as_it_is_read():
    source = SERVER_CHILD + """
buffered, json = velvane.TransportType.Buffered, velvane.ProtocolType.JSON
server = server_with(buffered, json)
server.max_message_size = 0
with serving(server) as port:
    with raw_connection(port) as conn:
        conn.sendall(b"[" * (15 << 20))
        conn.shutdown(socket.SHUT_WR)
        until_closed(conn)
    still_serves(port, buffered, json)
try:
    parser.get_struct("Node").deserialize_with_protocol(b"[" * (15 << 20), velvane.ProtocolType.JSON)
except ValueError as e:
    print(e)
print_peak()
"""
    out, peak = run_bounded(source, rss_mib=400, seconds=60)
    assert "unexpected end of input" in out
    assert peak < 200, out


@pytest.mark.parametrize("transport", ["framed", "buffered"])
def test_a_default_server_refuses_a_message_over_16_mib_as_it_arrives(transport):
    source = SERVER_CHILD + f"""
import struct
framed = {transport == "framed"}
kind = velvane.TransportType.Framed if framed else velvane.TransportType.Buffered
server = server_with(kind)
assert server.max_message_size == 16 << 20
with serving(server) as port:
    for size in (100 << 20, 1 << 30):
        # take(n): a binary call whose struct holds a string field of `size` bytes, sent in full.
        body = struct.pack(">iI", -2147418111, 4) + b"take" + struct.pack(">i", 0)
        body += b"\\x0c\\x00\\x01" + b"\\x0b\\x00\\x09" + struct.pack(">i", size)
        with raw_connection(port) as conn:
            conn.sendall(struct.pack(">i", len(body) + size) if framed else b"")
            try:
                conn.sendall(body)
                chunk = b"x" * (1 << 20)
                for _ in range(size >> 20):
                    conn.sendall(chunk)
                until_closed(conn)
            except OSError:
                pass  # the server reset the connection: what it had not read was refused
    still_serves(port, kind)
print_peak()
"""
    out, peak = run_bounded(source, rss_mib=400, seconds=60)
    assert peak < 150, out


@pytest.mark.parametrize("client", ["blocking", "asyncio"])
def test_both_clients_refuse_a_1_gib_reply_frame(client):
    source = SERVER_CHILD + f"""
import asyncio, struct
listener = socket.create_server(("127.0.0.1", 0))
def huge_replies():
    conn, _ = listener.accept()
    with conn:
        conn.recv(65536)
        conn.sendall(struct.pack(">i", 1 << 30))
        try:
            chunk = b"x" * (1 << 20)
            for _ in range(1024):
                conn.sendall(chunk)
        except OSError:
            pass
threading.Thread(target=huge_replies, daemon=True).start()
port = listener.getsockname()[1]
if {client == "blocking"}:
    client = velvane.ThriftClient(service, "127.0.0.1", port)
    assert client.max_message_size == 16 << 20
    client.open()
    try:
        client.call("add", a=1, b=2)
    except OSError as e:
        print(type(e).__name__, e)
    print(client.is_open())
else:
    async def main():
        client = velvane.AsyncThriftClient(service, "127.0.0.1", port)
        assert client.max_message_size == 16 << 20
        await client.open()
        try:
            await client.call("add", a=1, b=2)
        except OSError as e:
            print(type(e).__name__, e)
        print(client.is_open())
    asyncio.run(main())
print_peak()
"""
    out, peak = run_bounded(source, rss_mib=400, seconds=60)
    assert "OSError I/O error: message of 1073741824 bytes is larger than max_message_size (16777216 bytes)" in out
    assert "False" in out
    assert peak < 150, out


INTERRUPTED_CHILD = """
import select, signal, socket, sys
import velvane
parser = velvane.ThriftParser()
parser.parse("service S { i32 add(1: i32 a, 2: i32 b) }")
client = velvane.ThriftClient(parser.get_service("S"), "127.0.0.1", 0)
class Stop(Exception):
    pass
def on_signal(signum, frame):
    raise Stop(signum)
signal.signal(signal.SIGINT, on_signal)
signal.signal(signal.SIGUSR1, lambda *_: print("usr1 handled", flush=True))  # returns: the wait goes on
# A peer that never answers: connections wait in the backlog, never accepted.
listener = socket.create_server(("127.0.0.1", 0), backlog=0)
port = listener.getsockname()[1]
fillers = []
if sys.argv[1] == "open":  # fill the one place of the queue: a connect then waits for ever
    for _ in range(3):
        s = socket.socket()
        s.setblocking(False)
        s.connect_ex(("127.0.0.1", port))
        fillers.append(s)
    assert select.select([], fillers[:1], [], 10)[1]
if sys.argv[2] == "pooled":  # several connections, to a list of endpoints
    client = velvane.ThriftClient(parser.get_service("S"), [("127.0.0.1", port)], connections=2)
else:
    client = velvane.ThriftClient(parser.get_service("S"), "127.0.0.1", port)
if sys.argv[1] == "call":
    client.open()
print("waiting", flush=True)
try:
    client.open() if sys.argv[1] == "open" else client.call("add", a=1, b=2)
except Stop as e:
    print("stopped by", e, client.is_open(), flush=True)
"""


@pytest.mark.parametrize("client", ["plain", "pooled"])
@pytest.mark.parametrize("operation", ["open", "call"])
def test_a_signal_whose_handler_raises_ends_a_blocking_open_or_call(operation, client):
    child = subprocess.Popen([sys.executable, "-c", INTERRUPTED_CHILD, operation, client], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)

    def next_line():
        assert select.select([child.stdout], [], [], 10)[0], "the child said nothing for 10 s"
        return child.stdout.readline()

    try:
        assert next_line() == "waiting\n"
        time.sleep(0.2)  # let it enter the wait: a signal before is handled as well, only sooner
        child.send_signal(signal.SIGUSR1)
        assert next_line() == "usr1 handled\n"
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=10)
    finally:
        child.kill()
        child.wait()
    assert out == f"stopped by {int(signal.SIGINT)} False\n", err


def test_a_timeout_bounds_a_call_whose_reply_keeps_streaming():
    source = SERVER_CHILD + """
listener = socket.create_server(("127.0.0.1", 0))
# The peer is a process of its own that keeps the socket full: a JSON string that never ends.
PEER = '''
import socket, sys
listener = socket.socket(fileno=int(sys.argv[1]))
conn, _ = listener.accept()
conn.recv(65536)
conn.sendall(b'[1,"add",2,0,{"0":["str","')
chunk = memoryview(b"x" * (64 << 20))
try:
    while True:
        conn.sendall(chunk)
except OSError:
    pass
'''
import subprocess
peer = subprocess.Popen([sys.executable, "-c", PEER, str(listener.fileno())], pass_fds=[listener.fileno()])
client = velvane.ThriftClient(service, "127.0.0.1", listener.getsockname()[1], velvane.TransportType.Buffered,
                              velvane.ProtocolType.JSON)
client.max_message_size = 0
client.timeout = 1
client.open()
started = time.monotonic()
try:
    client.call("add", a=1, b=2)
except TimeoutError as e:
    print(e, client.is_open(), round(time.monotonic() - started))
peer.kill()
print_peak()
"""
    out, peak = run_bounded(source, rss_mib=2000, seconds=20)
    assert out.startswith("I/O error: timed out False 1\n"), out


ROW2 = """
import struct
# take(n: Node) whose n.kids holds ten million empty Nodes: 10 MB on the wire.
count = 10_000_000
kids = b"\\x0f\\x00\\x01\\x0c" + struct.pack(">i", count) + b"\\x00" * count + b"\\x00"
args = b"\\x0c\\x00\\x01" + kids + b"\\x00"
request = struct.pack(">iI", -2147418111, 4) + b"take" + struct.pack(">i", 0) + args
"""


def test_a_server_refuses_a_request_that_would_decode_to_gigabytes():
    source = SERVER_CHILD + ROW2 + """
import os
os.dup2(1, 2)  # the server's lines, in order with ours
with serving(server_with()) as port:
    with raw_connection(port) as conn:
        conn.sendall(struct.pack(">i", len(request)) + request)
        sys.stdout.write(f"{conn.recv(65536)!r}\\n")  # one write: the server's line never lands inside it
    still_serves(port)
print_peak()
"""
    out, peak = run_bounded(source, rss_mib=1000, seconds=60)
    assert "b''\n" in out and ("connection error: Message too large to decode: it needs more than 32 bytes of "
                               "memory per byte\n") in out, out
    assert peak < 32 * 10 + 64 + 60, out


@pytest.mark.parametrize("protocol", ["Binary", "Compact", "JSON"])
def test_deserialize_refuses_data_that_would_decode_to_gigabytes(protocol):
    source = SERVER_CHILD + f"""
node = parser.get_struct("Node")
data = node.serialize_with_protocol({{"kids": [{{}}] * 3_000_000}}, velvane.ProtocolType.{protocol})
try:
    node.deserialize_with_protocol(data, velvane.ProtocolType.{protocol})
except (OSError, ValueError) as e:
    print(e)
print_peak()
"""
    out, peak = run_bounded(source, rss_mib=1500, seconds=60)
    assert "Message too large to decode" in out


def test_console_lines_never_block_serving_and_are_rate_limited():
    source = SERVER_CHILD + """
import fcntl, os, struct
unread, stderr = os.pipe()
os.dup2(stderr, 2)  # the server's standard error: a pipe nobody reads while it serves
fcntl.fcntl(unread, fcntl.F_SETFL, os.O_NONBLOCK)
with serving(server_with()) as port:
    started = time.monotonic()
    for _ in range(3000):
        with raw_connection(port) as conn:
            conn.sendall(struct.pack(">i", 8) + b"garbage!")  # a frame that is no message: one error line
            until_closed(conn)
    still_serves(port)
    seconds = time.monotonic() - started
    text, end = "", time.monotonic() + 5
    while "similar lines dropped" not in text and time.monotonic() < end:
        try:
            text += os.read(unread, 1 << 20).decode()
        except BlockingIOError:
            time.sleep(0.05)
# One write: the server's "shutdown requested" line comes from its own thread after stop() returned.
sys.stdout.write(f"console {seconds} {text.count('connection error: ')} {'\\u2026' in text} "
                 f"{'similar lines dropped' in text}\\n")
"""
    out, _ = run_bounded(source, rss_mib=500, seconds=90)
    said = next(line for line in out.splitlines() if line.startswith("console "))
    seconds, lines, ellipsis, dropped = said.split()[1:]
    assert ellipsis == dropped == "True", out
    assert 0 < int(lines) <= 100 * (float(seconds) + 2), out


async def async_add(a, b):
    return a + b


@pytest.mark.parametrize("add", [lambda a, b: a + b, async_add], ids=["plain", "async def"])
def test_idle_timeout_closes_connections_that_send_nothing(add):
    from server_support import raw_connection, serving
    parser = velvane.ThriftParser()
    parser.parse("service S { i32 add(1: i32 a, 2: i32 b) }")
    server = velvane.ThriftServer(parser.get_service("S"))
    server.register_handler("add", add)
    assert server.idle_timeout is None
    for bad, error in ((0, ValueError), (-1, ValueError), ("1", TypeError)):
        with pytest.raises(error, match="idle_timeout"):
            server.idle_timeout = bad
    server.idle_timeout = 0.3
    assert server.idle_timeout == pytest.approx(0.3)
    with serving(server) as port:
        with velvane.ThriftClient(parser.get_service("S"), "127.0.0.1", port) as client:
            client.timeout = 10
            with raw_connection(port) as idle:
                started = time.monotonic()
                for i in range(6):  # a connection in use outlives the timeout
                    assert client.call("add", a=i, b=1) == i + 1
                    time.sleep(0.1)
                assert idle.recv(1) == b""  # the silent one is closed
                assert 0.25 < time.monotonic() - started < 5
            assert client.call("add", a=2, b=2) == 4
