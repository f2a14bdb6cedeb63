"""Slow and silent peers against a default ThriftServer: what they cost the server and other callers.

    tools/python bench/slow_peers.py [--peers 1000] [--seconds 8]

The server runs in a child process (workers=2, plain handlers, an HTTP handler registered) and is
measured from outside through /proc. Rows:
- drip: `--peers` connections each sending an `add` request one byte at a time over `--seconds`:
  the server's thread count, and the median latency of one normal caller meanwhile (and quiet);
- silent "G": 2,000 connections that send only "G" (the start of an HTTP method) and then nothing:
  the server's CPU seconds over the run, and the normal caller's median latency;
- idle: 10,000 connections that connect and send nothing: the server's resident memory per connection.
"""
import argparse
import os
import socket
import statistics
import struct
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from client_bench import markdown_table, velvane_bench_service  # noqa: E402
from soak import raise_descriptor_limit  # noqa: E402


def serve():
    raise_descriptor_limit()
    velvane, parser, service = velvane_bench_service()
    server = velvane.ThriftServer(service, workers=2)
    server.set_parser(parser)
    server.register_handler("add", lambda a, b: a + b)
    server.register_handler("echo", lambda m: m)
    server.register_http_handler(lambda sock: sock.close())
    server.serve("127.0.0.1", 0)
    print("port", server.wait_listening(20)[1], flush=True)
    sys.stdin.read()
    server.stop()


def proc_status(pid, key):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    raise KeyError(key)


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def add_request(seqid):
    name = b"add"
    args = b"\x08\x00\x01" + struct.pack(">i", 2) + b"\x08\x00\x02" + struct.pack(">i", 3) + b"\x00"
    body = struct.pack(">iI", -2147418111, len(name)) + name + struct.pack(">i", seqid) + args
    return struct.pack(">i", len(body)) + body


def caller_latencies(velvane, parser, service, port, seconds):
    """Median milliseconds of sequential add calls on one connection for `seconds`."""
    client = velvane.ThriftClient(service, "127.0.0.1", port)
    client.set_parser(parser)
    client.timeout = 30.0
    client.open()
    times, end = [], time.monotonic() + seconds
    try:
        while time.monotonic() < end:
            t = time.perf_counter()
            client.call("add", a=1, b=2)
            times.append(time.perf_counter() - t)
            time.sleep(0.005)
    finally:
        client.close()
    return statistics.median(times) * 1000


def open_many(port, count, first=b""):
    conns = []
    for _ in range(count):
        c = socket.create_connection(("127.0.0.1", port))
        if first:
            c.sendall(first)
        conns.append(c)
    return conns


def drip(port, peers, seconds, stop):
    conns = open_many(port, peers)
    request = add_request(7)
    pause = seconds / len(request)
    step = 0
    while not stop.is_set() and step < len(request):
        for c in conns:
            try:
                c.send(request[step:step + 1])
            except OSError:
                pass
        step += 1
        stop.wait(pause)
    for c in conns:
        c.close()


def main():
    args = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    args.add_argument("--peers", type=int, default=1000)
    args.add_argument("--seconds", type=float, default=8.0)
    args.add_argument("--serve", action="store_true", help=argparse.SUPPRESS)
    opts = args.parse_args()
    if opts.serve:
        return serve()
    raise_descriptor_limit()
    velvane, parser, service = velvane_bench_service()
    child = subprocess.Popen([sys.executable, __file__, "--serve"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                             text=True)
    try:
        line = child.stdout.readline()
        while not line.startswith("port "):  # the server's own status line comes first
            line = child.stdout.readline()
        port = int(line.split()[1])
        pid = child.pid
        rows = []
        quiet = caller_latencies(velvane, parser, service, port, 2)
        rows.append(["quiet", "-", str(proc_status(pid, "Threads")), "-", f"{quiet:.2f}", "-"])

        stop = threading.Event()
        dripping = threading.Thread(target=drip, args=(port, opts.peers, opts.seconds, stop))
        dripping.start()
        time.sleep(opts.seconds / 4)
        cpu = cpu_seconds(pid)
        latency = caller_latencies(velvane, parser, service, port, opts.seconds / 2)
        threads = proc_status(pid, "Threads")
        rows.append([f"{opts.peers} dripping peers", str(opts.peers), str(threads),
                     f"{cpu_seconds(pid) - cpu:.2f}", f"{latency:.2f}", "-"])
        stop.set()
        dripping.join()

        silent = open_many(port, 2000, b"G")
        time.sleep(0.5)
        cpu = cpu_seconds(pid)
        latency = caller_latencies(velvane, parser, service, port, opts.seconds)
        rows.append(["2,000 silent \"G\" peers", "2000", str(proc_status(pid, "Threads")),
                     f"{cpu_seconds(pid) - cpu:.2f}", f"{latency:.2f}", "-"])
        for c in silent:
            c.close()
        time.sleep(0.5)

        before = proc_status(pid, "VmRSS")
        idle = open_many(port, 10_000)
        time.sleep(2.0)
        per = (proc_status(pid, "VmRSS") - before) * 1024 / len(idle) / 1000
        rows.append(["10,000 idle connections", "10000", str(proc_status(pid, "Threads")), "-", "-", f"{per:.1f}"])
        for c in idle:
            c.close()
        print(markdown_table(["peers", "connections", "server threads", "server CPU-s", "call median ms",
                              "KB per connection"], rows))
    finally:
        child.stdin.close()
        child.wait(timeout=60)


if __name__ == "__main__":
    main()
