"""A default server and default clients against hostile peers: each attack runs in a child process
with a deadline and a memory watchdog, and ends in a refusal, not a blow-up or a hang."""
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
