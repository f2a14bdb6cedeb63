"""A Thrift server that also answers HTTP health checks on its own port.

Connections whose first bytes look like an HTTP request line are handed to the registered callback
as a Python socket; every other connection is served as Thrift. Run it with:

    tools/python examples/health_check.py [PORT]
"""
import socket
import sys
import time
import urllib.request

import velvane

IDL = "service Calculator { i32 add(1: i32 a, 2: i32 b) }"


def health(sock):
    """The callback owns the socket: it reads the request and writes the whole answer."""
    with sock:
        sock.recv(65536)
        sock.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok")


def unused_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def main():
    port = int(sys.argv[1]) if len(sys.argv) > 1 else unused_port()
    parser = velvane.ThriftParser()
    parser.parse(IDL)
    service = parser.get_service("Calculator")

    server = velvane.ThriftServer(service)
    server.set_parser(parser)
    server.register_handler("add", lambda a, b: a + b)
    server.register_http_handler(health)
    server.serve("127.0.0.1", port)
    try:
        deadline = time.monotonic() + 10
        while not server.is_running():
            if time.monotonic() > deadline:
                raise SystemExit("the server did not start listening")
            time.sleep(0.01)

        with urllib.request.urlopen(f"http://127.0.0.1:{port}/health", timeout=10) as answer:
            print(f"GET /health -> {answer.status} {answer.read().decode()}")

        with velvane.ThriftClient(service, "127.0.0.1", port) as client:
            client.set_parser(parser)
            print(f"add(2, 3) -> {client.call('add', a=2, b=3)}")
    finally:
        server.stop()


if __name__ == "__main__":
    main()
