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
