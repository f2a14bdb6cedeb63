"""RPC server benchmark: Apache Thrift's C++ load generator against three servers of the Bench service.

Run with `make bench` (or `tools/python bench/server_bench.py [--quick]` after
`cmake --build build --target bench_peers`). build/apache_load (closed loop, one thread per
connection, framed binary) drives, in one run and with the same handler code (BenchHandler below):
Apache Thrift's Python TThreadedServer (accelerated binary, framed), velvane's ThriftServer with plain
and `async def` handlers under serve(), with `async def` handlers under `await serve_async()` (on the
program's own asyncio loop), and build/apache_server (Apache's C++ TThreadedServer: the ceiling).
One connection runs with the server and the load generator pinned to CPU 0 (`taskset -c 0`), four
connections unpinned (the median of three runs). A second table runs velvane's ThriftServer (plain handlers, one worker
thread each) in 1 and in 2 processes sharing one port with `reuse_port`, under eight unpinned
connections. A third table runs velvane's server (plain and `async def` handlers) with no interceptor
and with one whose hooks do nothing. With --memory it also reports the resident memory of velvane's server process
after 100,000 and after 1,000,000 calls (four connections), for plain and `async def` handlers.
"""
import argparse
import asyncio
import contextlib
import os
import signal
import socket
import subprocess
import sys
import tempfile
import time

from client_bench import (NOT_AVAILABLE, PIN, ApachePeer, Settings, apache_cpp_server, apache_load, figures,
                          idl_text, markdown_table, peer_binary, require_peer_binaries, run_json, running_child,
                          velvane_bench_service)
from apache_peer import _wait_for_listening, stop_child  # noqa: E402

STARTUP_SECONDS = 20.0


class BenchHandler:
    def add(self, a, b):
        return a + b

    def echo(self, m):
        return m


class AsyncBenchHandler:
    async def add(self, a, b):
        return a + b

    async def echo(self, m):
        return m


class NoOpInterceptor:
    def before(self, ctx, args):
        pass

    def after(self, ctx, result, error, duration):
        pass


@contextlib.contextmanager
def apache_python_server(peer, pinned):
    cpu = 0 if pinned else None
    with peer.server("Bench", BenchHandler, transport="framed", kind="threaded", cpu=cpu) as (_, port):
        yield port


@contextlib.contextmanager
def velvane_server(pinned, handler_kind, workers, interceptors=0):
    command = [sys.executable, os.path.abspath(__file__), "--serve-velvane", handler_kind, "--workers", str(workers),
               "--interceptors", str(interceptors)]
    with running_child((PIN if pinned else []) + command, STARTUP_SECONDS) as (_, port):
        yield port


def velvane_server_missing():
    """Why velvane's ThriftServer cannot be used here yet, or None when it can be constructed."""
    velvane, _, service = velvane_bench_service()
    if not hasattr(velvane, "ThriftServer"):
        return "velvane has no ThriftServer"
    try:
        velvane.ThriftServer(service)
    except NotImplementedError as e:
        return str(e)
    return None


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def serve_velvane(handler_kind, workers, port=0, reuse_port=False, interceptors=0):
    """The child process behind velvane_server(): serves until SIGTERM or SIGINT."""
    velvane, parser, service = velvane_bench_service()
    server = velvane.ThriftServer(service, transport=velvane.TransportType.Framed, workers=workers,
                                  protocol=velvane.ProtocolType.Binary)
    server.set_parser(parser)
    server.reuse_port = reuse_port
    handler = BenchHandler() if handler_kind == "plain" else AsyncBenchHandler()
    server.register_handler("add", handler.add)
    server.register_handler("echo", handler.echo)
    for _ in range(interceptors):
        server.add_interceptor(NoOpInterceptor())
    port = port or free_port()
    if handler_kind == "serve_async":
        asyncio.run(serve_velvane_async(server, port))
        return
    # Blocked before serve() starts its threads, so they inherit the mask and sigwait below gets them.
    signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGTERM, signal.SIGINT})
    server.serve("127.0.0.1", port)
    deadline = time.monotonic() + STARTUP_SECONDS
    while not server.is_running():  # serve() returns before binding; there is no event to wait on
        if time.monotonic() > deadline:
            sys.exit(f"velvane's server did not start listening on port {port}")
        time.sleep(0.01)
    print(f"listening on 127.0.0.1:{port}", flush=True)
    signal.sigwait({signal.SIGTERM, signal.SIGINT})
    server.stop()


async def serve_velvane_async(server, port):
    """serve_velvane's `await serve_async()` flavour: the handlers run on this asyncio.run loop."""
    loop = asyncio.get_running_loop()
    for signum in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(signum, server.stop)

    async def announce():
        while not server.is_running():
            await asyncio.sleep(0.005)
        print(f"listening on 127.0.0.1:{port}", flush=True)

    announcing = asyncio.create_task(announce())
    await server.serve_async("127.0.0.1", port)
    announcing.cancel()


SERVERS = ["Apache Python TThreadedServer", "velvane ThriftServer", "velvane ThriftServer, async def",
           "velvane serve_async, async def", "Apache C++ TThreadedServer (apache_server)"]
KINDS = {SERVERS[1]: "plain", SERVERS[2]: "async", SERVERS[3]: "serve_async"}


UNPINNED_RUNS = 3


def steady_load(port, settings, connections, call, pinned):
    """apache_load's figures; unpinned, the median of UNPINNED_RUNS runs (fresh connections each): where
    the scheduler places the server's and the load generator's threads moves an unpinned run by up
    to half either way on a small VM."""
    runs = [apache_load(port, settings, connections, call, pinned) for _ in range(1 if pinned else UNPINNED_RUNS)]
    measured = sorted((r for r in runs if "calls_per_s" in r), key=lambda r: r["calls_per_s"])
    return measured[len(measured) // 2] if len(measured) == len(runs) else next(r for r in runs if "error" in r)


def measure_servers(peer, settings, call, connections, pinned, workers, velvane_missing):
    """calls/s, p50 and p99 of each server in SERVERS under apache_load."""
    results = {}
    with apache_python_server(peer, pinned) as port:
        results[SERVERS[0]] = steady_load(port, settings, connections, call, pinned)
    for name, kind in KINDS.items():
        if velvane_missing:
            results[name] = {"unavailable": velvane_missing}
            continue
        with velvane_server(pinned, kind, workers) as port:
            results[name] = steady_load(port, settings, connections, call, pinned)
    with apache_cpp_server(pinned) as port:
        results[SERVERS[-1]] = steady_load(port, settings, connections, call, pinned)
    return results


def server_table(settings, workers, tmp_dir):
    peer = ApachePeer(idl_text(), tmp_dir, name="workloads")
    velvane_missing = velvane_server_missing()
    rows = []
    for call in ("add", "echo"):
        for connections, pinned in ((1, True), (4, False)):
            results = measure_servers(peer, settings, call, connections, pinned, workers, velvane_missing)
            python, ceiling = results[SERVERS[0]], results[SERVERS[-1]]
            what = "add(a, b)" if call == "add" else "echo(Medium)"
            load = f"{connections} conn, {'pinned' if pinned else 'unpinned'}"
            for name in SERVERS:
                cells = figures(results[name], python)
                vs_ceiling = figures(results[name], ceiling)[3] if cells[0] != NOT_AVAILABLE else ""
                rows.append([what, load, name] + cells + [vs_ceiling])
    header = ["call", "load", "server", "calls/s", "p50 µs", "p99 µs", "vs Apache Python", "vs C++"]
    return markdown_table(header, rows)


def interceptor_table(settings, workers):
    """add(a, b) against velvane's server without interceptors and with one no-op interceptor."""
    rows = []
    for kind in ("plain", "async"):
        for connections, pinned in ((1, True), (4, False)):
            results = {}
            for count in (0, 1):
                with velvane_server(pinned, kind, workers, count) as port:
                    results[count] = steady_load(port, settings, connections, "add", pinned)
            for count in (0, 1):
                rows.append([f"velvane ThriftServer{'' if kind == 'plain' else ', async def'}",
                             f"{connections} conn, {'pinned' if pinned else 'unpinned'}",
                             "none" if count == 0 else "one no-op", *figures(results[count], results[0])])
    header = ["server", "load", "interceptors", "calls/s", "p50 µs", "p99 µs", "vs none"]
    return markdown_table(header, rows)


MEMORY_CHECKPOINTS = (100_000, 1_000_000)
MEMORY_CONNECTIONS = 4


def rss_mb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    raise RuntimeError(f"no VmRSS for process {pid}")


def memory_rows(workers):
    """RSS of a velvane server process after each checkpoint's number of add calls, per handler kind."""
    rows = []
    for kind in ("plain", "async"):
        command = [sys.executable, os.path.abspath(__file__), "--serve-velvane", kind, "--workers", str(workers)]
        with tempfile.TemporaryFile() as errors:
            child = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=errors, stdin=subprocess.DEVNULL)
            try:
                _, port = _wait_for_listening(child, errors, STARTUP_SECONDS)
                done, cells = 0, []
                for target in MEMORY_CHECKPOINTS:
                    per_connection = (target - done) // MEMORY_CONNECTIONS
                    result = run_json([peer_binary("apache_load"), "--port", str(port), "--connections",
                                       str(MEMORY_CONNECTIONS), "--call", "add", "--calls", str(per_connection),
                                       "--warmup-calls", "0"], timeout=600)
                    if "error" in result:
                        cells.append(f"error: {result['error']}")
                        break
                    done += result["calls"]
                    cells.append(f"{rss_mb(child.pid):.1f}")
            finally:
                stop_child(child)
        change = ""
        if len(cells) == 2 and not cells[1].startswith("error"):
            change = f"{(float(cells[1]) / float(cells[0]) - 1) * 100:+.1f}%"
        rows.append([f"velvane ThriftServer{'' if kind == 'plain' else ', async def'}", *cells, change])
    header = ["server", *(f"RSS MB after {n:,} calls" for n in MEMORY_CHECKPOINTS), "change"]
    return markdown_table(header, rows)


@contextlib.contextmanager
def velvane_processes(count, workers):
    """`count` velvane server processes (plain handlers) sharing one port with reuse_port."""
    with socket.socket() as reserved, contextlib.ExitStack() as children:
        # Bound with SO_REUSEPORT and never listening: keeps the port ours, takes no connection.
        reserved.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
        reserved.bind(("127.0.0.1", 0))
        port = reserved.getsockname()[1]
        command = [sys.executable, os.path.abspath(__file__), "--serve-velvane", "plain", "--workers", str(workers),
                   "--port", str(port), "--reuse-port"]
        for _ in range(count):
            children.enter_context(running_child(command, STARTUP_SECONDS))
        yield port


def process_table(settings, workers=1):
    connections = 8
    rows, one = [], None
    for count in (1, 2):
        with velvane_processes(count, workers) as port:
            result = apache_load(port, settings, connections, "add")
        one = one or result
        rows.append(["add(a, b)", f"{connections} conn, unpinned", f"{count} process{'es' if count > 1 else ''}"]
                    + figures(result, one))
    header = ["call", "load", "velvane ThriftServer", "calls/s", "p50 µs", "p99 µs", "vs 1 process"]
    return markdown_table(header, rows)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true", help="shorter measurements")
    ap.add_argument("--workers", type=int, default=2, help="velvane ThriftServer worker threads")
    ap.add_argument("--memory", action="store_true", help="also report the server's RSS after 100k and 1M calls")
    ap.add_argument("--serve-velvane", choices=("plain", "async", "serve_async"), help=argparse.SUPPRESS)
    ap.add_argument("--port", type=int, default=0, help=argparse.SUPPRESS)
    ap.add_argument("--reuse-port", action="store_true", help=argparse.SUPPRESS)
    ap.add_argument("--interceptors", type=int, default=0, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.serve_velvane:
        serve_velvane(args.serve_velvane, args.workers, args.port, args.reuse_port, args.interceptors)
        return
    require_peer_binaries()
    settings = Settings(args.quick)
    print(f"RPC servers under apache_load (Apache Thrift C++, closed loop, framed binary), "
          f"{settings.seconds:g} s per row after {settings.warmup} warm-up calls per connection "
          f"(unpinned rows: the median of {UNPINNED_RUNS} such runs):")
    print()
    with tempfile.TemporaryDirectory(prefix="velvane-bench-") as tmp_dir:
        print(server_table(settings, args.workers, tmp_dir))
    if velvane_server_missing() is None:
        print()
        print("velvane's ThriftServer in several processes on one port (reuse_port), same load generator:")
        print()
        print(process_table(settings))
        print()
        print("velvane's ThriftServer with no interceptor and with one no-op interceptor (add, same load generator):")
        print()
        print(interceptor_table(settings, args.workers))
    if args.memory:
        print()
        print(f"Resident memory of velvane's server process under apache_load (add, {MEMORY_CONNECTIONS} connections):")
        print()
        print(memory_rows(args.workers))


if __name__ == "__main__":
    main()
