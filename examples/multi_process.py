"""Several server processes on one port.

One Python process runs Python handlers on one core at a time. With `reuse_port` set, N processes
listen on the same host and port and the kernel spreads new connections over them. This script
starts N processes serving `add` and `pid`, makes calls over several connections to show which
process answered each, and stops them:

    tools/python examples/multi_process.py [N] [--port PORT]

Each process could as well be started by a supervisor (systemd, a container runtime); with more
machines, the same processes sit behind any TCP load balancer.
"""
import argparse
import os
import socket
import subprocess
import sys
import time

import velvane

IDL = "service Demo { i32 add(1: i32 a, 2: i32 b), i32 pid() }"


def serve(port):
    """One server process: serves until its standard input closes."""
    parser = velvane.ThriftParser()
    parser.parse(IDL)
    server = velvane.ThriftServer(parser.get_service("Demo"), workers=2)
    server.set_parser(parser)
    server.reuse_port = True
    server.register_handler("add", lambda a, b: a + b)
    server.register_handler("pid", os.getpid)
    server.serve("127.0.0.1", port)
    deadline = time.monotonic() + 10
    while not server.is_running():  # serve() returns before the socket is bound
        if time.monotonic() > deadline:
            sys.exit(f"process {os.getpid()} could not listen on port {port}")
        time.sleep(0.01)
    print("ready", flush=True)
    sys.stdin.read()  # the parent closes our stdin to stop us
    server.stop()


def reserve_port():
    """A free port, kept bound (not listening) with SO_REUSEPORT so no other program takes it."""
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
    s.bind(("127.0.0.1", 0))
    return s


def call_all(port, connections):
    parser = velvane.ThriftParser()
    parser.parse(IDL)
    answered = {}
    for _ in range(connections):
        with velvane.ThriftClient(parser.get_service("Demo"), "127.0.0.1", port) as client:
            client.timeout = 10.0
            assert client.call("add", a=20, b=22) == 42
            pid = client.call("pid")
            answered[pid] = answered.get(pid, 0) + 1
    return answered


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("processes", type=int, nargs="?", default=2)
    ap.add_argument("--port", type=int, default=0, help="0: a free port")
    ap.add_argument("--serve", type=int, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.serve is not None:
        return serve(args.serve)
    reserved = reserve_port() if args.port == 0 else None
    port = reserved.getsockname()[1] if reserved else args.port
    children = [subprocess.Popen([sys.executable, __file__, "--serve", str(port)], stdin=subprocess.PIPE,
                                 stdout=subprocess.PIPE, text=True) for _ in range(args.processes)]
    try:
        for child in children:
            while (line := child.stdout.readline()) != "ready\n":
                if not line:
                    sys.exit("a server process ended before it listened")
        seen = call_all(port, 8 * len(children))
        for pid, calls in sorted(seen.items()):
            print(f"process {pid} answered {calls} connections")
        print(f"{len(children)} processes served port {port}")
    finally:
        for child in children:
            child.stdin.close()
            child.wait(timeout=30)
            child.stdout.close()


if __name__ == "__main__":
    main()
