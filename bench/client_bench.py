"""RPC client benchmark: sequential calls on one connection against Apache Thrift's C++ server.

Run with `make bench` (or `tools/python bench/client_bench.py [--quick]` after
`cmake --build build --target bench_peers`). Starts build/apache_server (framed binary) and measures,
in one run, Apache Thrift's Python client (TBinaryProtocolAccelerated over TFramedTransport, code
generated at run time with `thrift --gen py`), velvane's ThriftClient, and build/apache_load with one
connection (Apache's C++ client: the ceiling). Each client runs in its own process for a fixed time
after a warm-up, pinned (server and client on CPU 0 with `taskset -c 0`) and unpinned, for `add(a, b)`
and for an `echo` of the medium struct both ways. A second table runs velvane's concurrent clients
(AsyncThriftClient coroutines, ThriftClients in threads) against the unpinned server. A last table
runs both velvane clients with no interceptor and with one whose hooks do nothing.

Every client process prints one JSON line: {"calls": n, "seconds": s, "calls_per_s": r, "p50_us": ..,
"p99_us": ..} or {"unavailable": reason}.
"""
import argparse
import asyncio
import contextlib
import json
import os
import socket
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests"))

from apache_peer import ApachePeer, running_child  # noqa: E402

IDL_PATH = os.path.join(HERE, "workloads.thrift")
NOT_AVAILABLE = "velvane: not available yet"
PIN = ["taskset", "-c", "0"]


def build_dir():
    return os.environ.get("VELVANE_BUILD_DIR", os.path.join(ROOT, "build"))


def peer_binary(name):
    path = os.path.join(build_dir(), name)
    if not os.access(path, os.X_OK):
        raise FileNotFoundError(f"{path} is missing: build it with `cmake --build build --target bench_peers` "
                                "(needs libthrift-dev, which tools/bootstrap installs)")
    return path


def require_peer_binaries():
    try:
        peer_binary("apache_server")
        peer_binary("apache_load")
    except FileNotFoundError as e:
        sys.exit(str(e))


def idl_text():
    with open(IDL_PATH) as f:
        return f.read()


@contextlib.contextmanager
def apache_cpp_server(pinned, transport="framed"):
    """build/apache_server in a child process; yields its port."""
    command = [peer_binary("apache_server"), "--port", "0", "--transport", transport]
    with running_child((PIN if pinned else []) + command) as (_, port):
        yield port


class Settings:
    def __init__(self, quick):
        self.seconds = 0.5 if quick else 2.0
        self.warmup = 300 if quick else 2000


# ---- results ----

def run_json(command, timeout):
    """Runs a measuring child process and returns the JSON object on its last stdout line."""
    try:
        done = subprocess.run(command, capture_output=True, text=True, timeout=timeout, stdin=subprocess.DEVNULL)
    except subprocess.TimeoutExpired:
        return {"error": f"no result within {timeout:g} s"}
    lines = done.stdout.strip().splitlines()
    if done.returncode != 0 or not lines:
        return {"error": (done.stderr.strip().splitlines() or [f"exit status {done.returncode}"])[-1]}
    return json.loads(lines[-1])


def apache_load(port, settings, connections=1, call="add", pinned=False, protocol="binary"):
    command = [peer_binary("apache_load"), "--port", str(port), "--connections", str(connections), "--call", call,
               "--seconds", str(settings.seconds), "--warmup-calls", str(settings.warmup), "--protocol", protocol]
    return run_json((PIN if pinned else []) + command, timeout=settings.seconds * 10 + 30)


def python_worker(script, worker, port, settings, pinned=False, call="add", extra=()):
    command = [sys.executable, script, "--worker", worker, "--port", str(port), "--call", call,
               "--seconds", str(settings.seconds), "--warmup", str(settings.warmup), *extra]
    return run_json((PIN if pinned else []) + command, timeout=settings.seconds * 10 + 60)


def figures(result, baseline=None):
    """The calls/s, p50, p99 and ratio cells of one table row."""
    if "unavailable" in result:
        return [NOT_AVAILABLE, "", "", ""]
    if "error" in result:
        return [f"error: {result['error']}", "", "", ""]
    ratio = ""
    if baseline and "calls_per_s" in baseline:
        ratio = f"{result['calls_per_s'] / baseline['calls_per_s']:.2f}x"
    return [f"{result['calls_per_s']:,.0f}", f"{result['p50_us']:.1f}", f"{result['p99_us']:.1f}", ratio]


def markdown_table(header, rows):
    numeric = [h.endswith(("calls/s", "µs")) or h.startswith("vs") for h in header]
    lines = ["| " + " | ".join(header) + " |", "|" + "|".join("---:" if n else "---" for n in numeric) + "|"]
    lines += ["| " + " | ".join(row) + " |" for row in rows]
    return "\n".join(lines)


# ---- the measuring side of a client process ----

def summarize(latencies_ns, elapsed_ns, cpu_start_ns=None):
    """`cpu_start_ns`: time.process_time_ns() when the measured calls began, for the CPU the whole
    client process (every thread of it) spent per call."""
    cpu_ns = time.process_time_ns() - cpu_start_ns if cpu_start_ns is not None else None
    latencies_ns.sort()
    n = len(latencies_ns)

    def percentile_us(fraction):
        return latencies_ns[int(fraction * (n - 1) + 0.5)] / 1000 if n else 0.0

    return {"calls": n, "seconds": elapsed_ns / 1e9, "calls_per_s": n / (elapsed_ns / 1e9),
            "p50_us": percentile_us(0.50), "p99_us": percentile_us(0.99),
            **({"cpu_us_per_call": cpu_ns / 1000 / n} if cpu_ns is not None and n else {})}


def timed_calls(call, seconds, deadline_ns=None, clock=time.perf_counter_ns):
    """Calls `call()` back to back until the deadline; returns the per-call latencies in ns."""
    latencies = []
    now = clock()
    deadline = deadline_ns if deadline_ns is not None else now + int(seconds * 1e9)
    while now < deadline:
        call()
        after = clock()
        latencies.append(after - now)
        now = after
    return latencies


def sequential_run(call, args):
    for _ in range(args.warmup):
        call()
    start, cpu_start = time.perf_counter_ns(), time.process_time_ns()
    latencies = timed_calls(call, args.seconds)
    return summarize(latencies, time.perf_counter_ns() - start, cpu_start)


def medium_dict():
    from run import medium_dict as medium

    return medium()


def apache_python_client(args):
    from run import thrift_object

    with tempfile.TemporaryDirectory(prefix="velvane-bench-") as gen_dir:
        peer = ApachePeer(idl_text(), gen_dir, name="workloads")
        with peer.client("Bench", args.port, transport="framed", accelerated=True) as client:
            if args.call == "add":
                assert client.add(20, 22) == 42
                return sequential_run(lambda: client.add(20, 22), args)
            medium = thrift_object(peer.module("ttypes"), "Medium", medium_dict())
            assert client.echo(medium) == medium
            return sequential_run(lambda: client.echo(medium), args)


def raw_socket_floor(args):
    """Pre-encoded framed requests over a plain socket, no Thrift library in the loop: what any Python
    client pays for the round trip and the two system calls alone."""
    from thrift.protocol import TBinaryProtocol
    from thrift.transport import TTransport

    with tempfile.TemporaryDirectory(prefix="velvane-bench-") as gen_dir:
        peer = ApachePeer(idl_text(), gen_dir, name="workloads")
        bench = peer.module("Bench")
        request = TTransport.TMemoryBuffer()
        encoder = bench.Client(TBinaryProtocol.TBinaryProtocol(request))
        if args.call == "add":
            encoder.send_add(20, 22)
        else:
            from run import thrift_object

            encoder.send_echo(thrift_object(peer.module("ttypes"), "Medium", medium_dict()))
    frame = len(request.getvalue()).to_bytes(4, "big") + request.getvalue()
    reply = bytearray(1 << 16)
    view = memoryview(reply)
    with socket.create_connection(("127.0.0.1", args.port)) as sock:
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

        def call():
            sock.sendall(frame)
            got = sock.recv_into(view)
            while got < 4 or got < 4 + int.from_bytes(view[:4], "big"):
                got += sock.recv_into(view[got:])
            return got

        got = call()
        decoder = bench.Client(TBinaryProtocol.TBinaryProtocol(TTransport.TMemoryBuffer(bytes(view[4:got]))))
        answer = decoder.recv_add() if args.call == "add" else decoder.recv_echo().count
        assert answer == (42 if args.call == "add" else medium_dict()["count"])
        return sequential_run(call, args)


def velvane_bench_service():
    import velvane

    parser = velvane.ThriftParser()
    parser.parse(idl_text())
    return velvane, parser, parser.get_service("Bench")


def velvane_call_args(call):
    return {"a": 20, "b": 22} if call == "add" else {"m": medium_dict()}


def check_reply(call, reply):
    expected = 42 if call == "add" else medium_dict()["count"]
    got = reply if call == "add" else reply.count
    if got != expected:
        raise AssertionError(f"{call} replied {reply!r}")


class NoOpInterceptor:
    def before(self, ctx, args):
        pass

    def after(self, ctx, result, error, duration):
        pass


def open_velvane_client(velvane, parser, service, port, interceptors=0, header=False, zlib=False):
    transport = velvane.TransportType.Header if header else velvane.TransportType.Framed
    client = velvane.ThriftClient(service, "127.0.0.1", port, transport=transport,
                                  protocol=velvane.ProtocolType.Binary)
    client.set_parser(parser)
    client.header_zlib = zlib
    for _ in range(interceptors):
        client.add_interceptor(NoOpInterceptor())
    client.open()
    return client


def velvane_client(args, header=False, zlib=False):
    velvane, parser, service = velvane_bench_service()
    client = open_velvane_client(velvane, parser, service, args.port, args.interceptors, header, zlib)
    try:
        kwargs = velvane_call_args(args.call)
        check_reply(args.call, client.call(args.call, **kwargs))
        return sequential_run(lambda: client.call(args.call, **kwargs), args)
    finally:
        client.close()


def run_threads(threads, results, deadline, seconds, start_together, warm=None):
    """Starts the calling threads (after `warm`, when given, once they have warmed up), sets their common
    deadline, lets them go together and sums up their timings."""
    for t in threads:
        t.start()
    if warm is not None:
        warm.wait()
    start, cpu_start = time.perf_counter_ns(), time.process_time_ns()
    deadline.append(start + int(seconds * 1e9))
    start_together.wait()
    for t in threads:
        t.join()
    return summarize([x for r in results for x in r], time.perf_counter_ns() - start, cpu_start)


def velvane_threads(args):
    """args.clients ThriftClients, one thread each, calling at the same time."""
    velvane, parser, service = velvane_bench_service()
    clients = [open_velvane_client(velvane, parser, service, args.port) for _ in range(args.clients)]
    kwargs = velvane_call_args(args.call)
    results = [None] * len(clients)
    deadline = []
    start_together = threading.Barrier(len(clients) + 1)

    def drive(index, client):
        for _ in range(args.warmup):
            client.call(args.call, **kwargs)
        start_together.wait()
        results[index] = timed_calls(lambda: client.call(args.call, **kwargs), 0, deadline_ns=deadline[0])

    threads = [threading.Thread(target=drive, args=(i, c)) for i, c in enumerate(clients)]
    try:
        return run_threads(threads, results, deadline, args.seconds, start_together)
    finally:
        for c in clients:
            c.close()


def velvane_shared(args):
    """One ThriftClient with args.connections connections, shared by args.clients threads calling at once."""
    velvane, parser, service = velvane_bench_service()
    client = velvane.ThriftClient(service, "127.0.0.1", args.port, connections=args.connections)
    client.set_parser(parser)
    client.open()
    kwargs = velvane_call_args(args.call)
    results = [None] * args.clients
    deadline = []
    warm, start_together = threading.Barrier(args.clients + 1), threading.Barrier(args.clients + 1)

    def drive(index):
        for _ in range(max(1, args.warmup // args.clients)):
            client.call(args.call, **kwargs)
        warm.wait()  # the deadline is set once every thread has warmed up
        start_together.wait()
        results[index] = timed_calls(lambda: client.call(args.call, **kwargs), 0, deadline_ns=deadline[0])

    threads = [threading.Thread(target=drive, args=(i,)) for i in range(args.clients)]
    try:
        return run_threads(threads, results, deadline, args.seconds, start_together, warm)
    finally:
        client.close()


def velvane_async(args):
    """args.clients AsyncThriftClients with args.coroutines coroutines each, all calling in a loop."""
    velvane, parser, service = velvane_bench_service()
    kwargs = velvane_call_args(args.call)

    async def run():
        pooled = {"connections": args.connections} if args.connections != 1 else {}
        clients = [velvane.AsyncThriftClient(service, "127.0.0.1", args.port, transport=velvane.TransportType.Framed,
                                             protocol=velvane.ProtocolType.Binary, **pooled)
                   for _ in range(args.clients)]
        for c in clients:
            c.set_parser(parser)
            for _ in range(args.interceptors):
                c.add_interceptor(NoOpInterceptor())
            await c.open()
        try:
            for _ in range(max(1, args.warmup // args.coroutines)):
                await asyncio.gather(*(c.call(args.call, **kwargs) for c in clients for _ in range(args.coroutines)))
            start, cpu_start = time.perf_counter_ns(), time.process_time_ns()
            deadline = start + int(args.seconds * 1e9)
            latencies = []

            async def loop(client):
                clock = time.perf_counter_ns
                now = clock()
                while now < deadline:
                    await client.call(args.call, **kwargs)
                    after = clock()
                    latencies.append(after - now)
                    now = after

            await asyncio.gather(*(loop(c) for c in clients for _ in range(args.coroutines)))
            return summarize(latencies, time.perf_counter_ns() - start, cpu_start)
        finally:
            for c in clients:
                await c.close()

    return asyncio.run(run())


WORKERS = {"apache-py": apache_python_client, "raw-socket": raw_socket_floor, "velvane": velvane_client,
           "velvane-threads": velvane_threads, "velvane-shared": velvane_shared, "velvane-async": velvane_async,
           "velvane-header": lambda args: velvane_client(args, header=True),
           "velvane-header-zlib": lambda args: velvane_client(args, header=True, zlib=True)}


def worker_main(args):
    try:
        result = WORKERS[args.worker](args)
    except NotImplementedError as e:
        if not args.worker.startswith("velvane"):
            raise
        result = {"unavailable": str(e)}
    print(json.dumps(result))


# ---- the tables ----

def velvane_client_missing(kind="ThriftClient"):
    """Why velvane's client class cannot be used here yet, or None when it can be constructed."""
    velvane, _, service = velvane_bench_service()
    if not hasattr(velvane, kind):
        return f"velvane has no {kind}"
    try:
        getattr(velvane, kind)(service, "127.0.0.1", 1, transport=velvane.TransportType.Framed,
                               protocol=velvane.ProtocolType.Binary)
    except NotImplementedError as e:
        return str(e)
    return None


def client_table(settings):
    script = os.path.abspath(__file__)
    velvane_missing = velvane_client_missing()
    rows = []
    for call in ("add", "echo"):
        for pinned in (True, False):
            with apache_cpp_server(pinned) as port:
                python = python_worker(script, "apache-py", port, settings, pinned, call)
                ours = ({"unavailable": velvane_missing} if velvane_missing
                        else python_worker(script, "velvane", port, settings, pinned, call))
                ceiling = apache_load(port, settings, 1, call, pinned)
                floor = python_worker(script, "raw-socket", port, settings, pinned, call)
            what = "add(a, b)" if call == "add" else "echo(Medium)"
            where = "pinned" if pinned else "unpinned"
            for name, result in (("Apache Python (accelerated, framed)", python), ("velvane ThriftClient", ours),
                                 ("Apache C++ (apache_load, 1 conn)", ceiling),
                                 ("Python raw socket, pre-encoded frame", floor)):
                rows.append([what, where, name] + figures(result, python))
    return markdown_table(["call", "CPUs", "client", "calls/s", "p50 µs", "p99 µs", "vs Apache Python"], rows)


def header_table(settings):
    """The header protocol (binary inside) against Apache's C++ header server, pinned."""
    script = os.path.abspath(__file__)
    rows = []
    for call in ("add", "echo"):
        with apache_cpp_server(True, "header") as port:
            measured = [("velvane ThriftClient, TransportType.Header",
                         python_worker(script, "velvane-header", port, settings, True, call))]
            # Apache's C++ transport inflates into a buffer of about a kilobyte: a zlib Medium fails there.
            if call == "add":
                measured.append(("the same with header_zlib",
                                 python_worker(script, "velvane-header-zlib", port, settings, True, call)))
            ceiling = apache_load(port, settings, 1, call, True, protocol="header-binary")
        what = "add(a, b)" if call == "add" else "echo(Medium)"
        for name, result in measured + [("Apache C++ (apache_load, THeaderProtocol)", ceiling)]:
            rows.append([what, name] + figures(result, ceiling))
    return markdown_table(["call", "client", "calls/s", "p50 µs", "p99 µs", "vs Apache C++"], rows)


def median_result(results):
    """The run with the median calls/s (runs that failed count as slowest)."""
    ranked = sorted(results, key=lambda r: r.get("calls_per_s", -1))
    return ranked[len(ranked) // 2]


def concurrency_table(settings, rounds):
    """The rows run in turn, `rounds` times over, and each shows its median run: on a shared machine
    the load moves between rows, and taking turns spreads it over all of them alike."""
    script = os.path.abspath(__file__)
    blocking_missing = velvane_client_missing()
    async_missing = velvane_client_missing("AsyncThriftClient")
    def spread(clients, coroutines=1):
        return ["--clients", str(clients), "--coroutines", str(coroutines)]

    plans = [
        ("1 ThriftClient, sequential", "velvane", [], blocking_missing),
        ("1 AsyncThriftClient, 1 coroutine", "velvane-async", spread(1), async_missing),
        ("1 AsyncThriftClient, 100 coroutines", "velvane-async", spread(1, 100), async_missing),
        ("8 AsyncThriftClients x 50 coroutines", "velvane-async", spread(8, 50), async_missing),
        ("8 ThriftClients in 8 threads", "velvane-threads", spread(8), blocking_missing),
    ]
    runs = {name: [] for name, *_ in plans}
    with apache_cpp_server(pinned=False) as port:
        for _ in range(rounds):
            for name, worker, extra, missing in plans:
                runs[name].append({"unavailable": missing} if missing
                                  else python_worker(script, worker, port, settings, False, "add", extra))
    results = {name: median_result(found) for name, found in runs.items()}
    baseline = results[plans[0][0]]
    def cpu(result):
        return f"{result['cpu_us_per_call']:.1f}" if "cpu_us_per_call" in result else ""

    rows = [[name] + figures(results[name], baseline if "calls_per_s" in baseline else None) + [cpu(results[name])]
            for name, *_ in plans]
    table = markdown_table(["add(a, b), unpinned", "calls/s", "p50 µs", "p99 µs", "vs 1 ThriftClient",
                            "client CPU/call µs"], rows)
    many, threads = results[plans[3][0]], results[plans[4][0]]
    one, blocking = results[plans[1][0]], baseline
    if all("calls_per_s" in r for r in (many, threads, one, blocking)):
        table += (f"\n\n8 AsyncThriftClients / 8 ThriftClients in threads: "
                  f"{many['calls_per_s'] / threads['calls_per_s']:.2f}x calls/s; "
                  f"one async call's p50 / one blocking call's: {one['p50_us'] / blocking['p50_us']:.2f}x "
                  f"(median of {rounds} rounds)")
    return table


@contextlib.contextmanager
def sleeping_velvane_server():
    """A velvane ThriftServer in this process whose add sleeps 1 ms; yields its port."""
    velvane, parser, service = velvane_bench_service()

    def add(a, b):
        time.sleep(0.001)
        return a + b

    server = velvane.ThriftServer(service, workers=8)
    server.set_parser(parser)
    server.register_handler("add", add)
    probe = socket.socket()
    probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    probe.bind(("127.0.0.1", 0))
    port = probe.getsockname()[1]
    server.serve("127.0.0.1", port)
    end = time.monotonic() + 10
    while not server.is_running():
        if time.monotonic() > end:
            raise RuntimeError("the sleeping server did not start")
        time.sleep(0.01)
    try:
        yield port
    finally:
        server.stop()
        probe.close()


def pooled_table(settings):
    """Against a handler that sleeps 1 ms, one connection against four: one AsyncThriftClient with 200
    coroutines, and one ThriftClient shared by 8 threads."""
    script = os.path.abspath(__file__)
    kinds = [("AsyncThriftClient", "velvane-async", ["--clients", "1", "--coroutines", "200"], "200 coroutines"),
             ("ThriftClient", "velvane-shared", ["--clients", "8"], "8 threads")]
    rows = []
    with sleeping_velvane_server() as port:
        for cls, worker, extra, what in kinds:
            missing = velvane_client_missing(cls)
            results = {n: {"unavailable": missing} if missing
                       else python_worker(script, worker, port, settings, False, "add",
                                          extra + ["--connections", str(n)])
                       for n in (1, 4)}
            rows += [[f"1 {cls}, connections={n}, {what}"] +
                     figures(results[n], results[1] if "calls_per_s" in results[1] else None) for n in (1, 4)]
    return markdown_table(["add(a, b) sleeping 1 ms, velvane server", "calls/s", "p50 µs", "p99 µs",
                           "vs connections=1"], rows)


def interceptor_table(settings):
    """Both velvane clients, one call at a time, without interceptors and with one no-op interceptor."""
    script = os.path.abspath(__file__)
    rows = []
    for worker, name in (("velvane", "velvane ThriftClient"), ("velvane-async", "velvane AsyncThriftClient")):
        for pinned in (True, False):
            with apache_cpp_server(pinned) as port:
                results = [python_worker(script, worker, port, settings, pinned, "add", ("--interceptors", str(n)))
                           for n in (0, 1)]
            for n, result in enumerate(results):
                rows.append([name, "pinned" if pinned else "unpinned", "none" if n == 0 else "one no-op",
                             *figures(result, results[0])])
    return markdown_table(["client", "CPUs", "interceptors", "calls/s", "p50 µs", "p99 µs", "vs none"], rows)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true", help="shorter measurements")
    ap.add_argument("--worker", choices=sorted(WORKERS), help=argparse.SUPPRESS)
    ap.add_argument("--port", type=int, help=argparse.SUPPRESS)
    ap.add_argument("--call", choices=("add", "echo"), default="add", help=argparse.SUPPRESS)
    ap.add_argument("--seconds", type=float, default=2.0, help=argparse.SUPPRESS)
    ap.add_argument("--warmup", type=int, default=2000, help=argparse.SUPPRESS)
    ap.add_argument("--clients", type=int, default=1, help=argparse.SUPPRESS)
    ap.add_argument("--coroutines", type=int, default=1, help=argparse.SUPPRESS)
    ap.add_argument("--connections", type=int, default=1, help=argparse.SUPPRESS)
    ap.add_argument("--interceptors", type=int, default=0, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.worker:
        worker_main(args)
        return
    require_peer_binaries()
    settings = Settings(args.quick)
    print(f"RPC clients against Apache Thrift's C++ TThreadedServer (framed binary), "
          f"{settings.seconds:g} s per row after {settings.warmup} warm-up calls:")
    print()
    print(client_table(settings))
    print()
    print("velvane's concurrent clients on the same server:")
    print()
    print(concurrency_table(settings, rounds=1 if args.quick else 3))
    print()
    print("Several connections on one client:")
    print()
    print(pooled_table(settings))
    print()
    print("velvane's clients with no interceptor and with one no-op interceptor (add, one call at a time):")
    print()
    print(interceptor_table(settings))
    print()
    print("The header protocol (THeader, binary inside) against Apache's C++ TThreadedServer with THeaderProtocol:")
    print()
    print(header_table(settings))


if __name__ == "__main__":
    main()
