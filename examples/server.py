"""A Calculator server: plain and `async def` handlers, a declared exception, an HTTP health check.

    tools/python examples/server.py [--host 127.0.0.1] [--port 9090]      (Ctrl+C stops it)
"""
import argparse
import asyncio
import pathlib
import time

import velvane

HERE = pathlib.Path(__file__).parent


def load_parser():
    # Included files are recorded, never read: parse shared.thrift together with the file that includes
    # it, and `shared.Point` resolves to its `Point`.
    parser = velvane.ThriftParser()
    parser.parse((HERE / "shared.thrift").read_text() + (HERE / "calculator.thrift").read_text())
    return parser


class InvalidOperation(Exception):
    """Sent to the caller as the declared exception of the same name, with its fields op and why."""

    def __init__(self, op, why):
        super().__init__(why)
        self.op, self.why = op, why


ADD, SUBTRACT, MULTIPLY, DIVIDE = 1, 2, 3, 4
results = []  # what calculate() answered, for history()


def ping():
    return True


def add(a, b):
    return a + b


def log(line):  # oneway: the caller does not wait for this
    print(f"[server] log: {line}", flush=True)


async def calculate(work):  # a struct argument arrives as a ThriftStructInstance
    await asyncio.sleep(0)  # an async handler runs on the server's asyncio loop and may await
    first, *rest = work.operands or [0]
    for x in rest:
        if work.op == DIVIDE and x == 0:
            raise InvalidOperation(work.op, "division by zero")
        first = {ADD: first + x, SUBTRACT: first - x, MULTIPLY: first * x, DIVIDE: first // x}[work.op]
    results.append((work.sent_at or 0, first))
    return {"whole": first}  # the union Number, as a dict


async def history(since):
    if since < 0:
        raise ValueError(f"since must not be negative, got {since}")  # becomes an application error
    return [{"whole": value} for sent_at, value in results if sent_at >= since]


def health(sock):
    """Answers any HTTP request on the Thrift port with 200 ok (the socket is ours: read, answer, close)."""
    with sock:
        request = b""
        while b"\r\n\r\n" not in request:
            chunk = sock.recv(4096)
            if not chunk:
                return
            request += chunk
        body = b"ok\n"
        sock.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: %d\r\n"
                     b"Connection: close\r\n\r\n%s" % (len(body), body))


def make_server(parser, workers=2):
    server = velvane.ThriftServer(parser.get_service("Calculator"), workers=workers)
    server.set_parser(parser)
    for name, handler in (("ping", ping), ("add", add), ("log", log), ("calculate", calculate),
                          ("history", history)):
        server.register_handler(name, handler)
    server.register_http_handler(health)
    return server


def wait_until_listening(server, seconds=5.0):
    """serve() returns at once; wait_listening() tells when the port is bound, or why it could not be."""
    try:
        server.wait_listening(seconds)
    except (OSError, TimeoutError):  # a bind error is also printed on stderr by the server
        return False
    return True


def main():
    args = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    args.add_argument("--host", default="127.0.0.1")
    args.add_argument("--port", type=int, default=9090)
    opts = args.parse_args()
    server = make_server(load_parser())
    server.serve(opts.host, opts.port)
    if not wait_until_listening(server):
        raise SystemExit(f"could not listen on {opts.host}:{opts.port}")
    print(f"Calculator listening on {opts.host}:{opts.port} (Ctrl+C stops it)", flush=True)
    try:
        while server.is_running():  # Ctrl+C stops the server, and raises KeyboardInterrupt here
            time.sleep(0.2)
    except KeyboardInterrupt:
        server.stop()  # already stopped by Ctrl+C; harmless, and needed for any other interruption
    print("stopped", flush=True)


if __name__ == "__main__":
    main()
