"""Soak: velvane's ThriftServer under about 1,000 concurrent connections and hostile peers.

Run with `make soak` (SOAK_SECONDS, default 120), or `tools/python bench/soak.py --seconds S` after
`cmake --build build --target bench_peers`. Loopback only.

The server process runs two ThriftServers of the Bench service (bench/workloads.thrift), 4 workers
each: "plain" answers add and echo with plain functions (every connection is then served on
blocking threads) and sets max_message_size to 1 MiB; "mixed" answers add with a plain function and
echo with an `async def` handler (served through the runtime and the asyncio loops).

Load, for the whole run and split evenly over both servers, every reply checked against its own
request (each request is unique):
- build/apache_load --check 1 (Apache Thrift's C++ client): 600 connections, add and echo;
- our ThriftClient: 100 connections in threads; our AsyncThriftClient: 300 connections in one loop;
- hostile peers, a few dozen at a time: garbage bytes, frames claiming 2 GiB, half a message then
  a stall, half-closed sockets (a whole request, then shutdown; the reply is checked), HTTP requests
  that never finish, peers that reset the connection in the middle of a large reply, requests
  dripped a byte at a time (the reply is checked) and connections that stay idle.

Prints a table per load source, the server's stderr lines by kind, and last the line
"calls N, lost L, mixed M, rss start/mid/end A/B/C MiB". Exits with status 1 when a call was lost or
answered with another request's reply, or when the server's RSS at the end is over 110% of the
middle's.
"""
import argparse
import asyncio
import collections
import json
import os
import random
import re
import resource
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from client_bench import markdown_table, peer_binary, require_peer_binaries, velvane_bench_service  # noqa: E402

WORKERS = 4
APACHE_CONNECTIONS = 600   # over four apache_load processes: each server, add and echo
BLOCKING_CONNECTIONS = 100
ASYNC_CONNECTIONS = 300
HOSTILE_THREADS = 24
STALL_SECONDS = 3.0
CALL_TIMEOUT = 60.0
MAX_MESSAGE_SIZE = 1 << 20


def raise_descriptor_limit():
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    return hard


# --- The server process --------------------------------------------------------------------------

def http_probe_handler(sock):
    """Reads a request head for a few seconds, answers it, or gives up on a peer that never ends it."""
    sock.settimeout(STALL_SECONDS * 2)
    head = b""
    try:
        while b"\r\n\r\n" not in head:
            chunk = sock.recv(4096)
            if not chunk:
                return
            head += chunk
        sock.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok")
    except OSError:
        pass
    finally:
        sock.close()


def serve():
    velvane, parser, service = velvane_bench_service()
    servers = {}
    for kind in ("plain", "mixed"):
        server = velvane.ThriftServer(service, workers=WORKERS)
        server.set_parser(parser)
        server.register_handler("add", lambda a, b: a + b)
        if kind == "plain":
            server.register_handler("echo", lambda m: m)
            server.max_message_size = MAX_MESSAGE_SIZE
        else:
            async def echo(m):
                return m
            server.register_handler("echo", echo)
        server.register_http_handler(http_probe_handler)
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        server.serve("127.0.0.1", port)
        servers[kind] = (server, port)
    deadline = time.monotonic() + 20
    while not all(server.is_running() for server, _ in servers.values()):
        if time.monotonic() > deadline:
            sys.exit("the soak servers did not start listening")
        time.sleep(0.01)
    print("ports", servers["plain"][1], servers["mixed"][1], flush=True)
    sys.stdin.read()  # until the driver closes our stdin
    for server, _ in servers.values():
        server.stop()


def rss_mib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return 0.0


# --- Our clients (child processes) ---------------------------------------------------------------

class Tally:
    def __init__(self):
        self.latencies = []
        self.checked = self.lost = self.mixed = 0
        self.errors = collections.Counter()

    def record(self, started, ok):
        self.latencies.append(time.perf_counter_ns() - started)
        if ok:
            self.checked += 1
        else:
            self.mixed += 1

    def lose(self, error):
        self.lost += 1
        self.errors[f"{type(error).__name__}: {error}"[:100]] += 1

    def merge(self, other):
        self.latencies += other.latencies
        self.checked += other.checked
        self.lost += other.lost
        self.mixed += other.mixed
        self.errors.update(other.errors)

    def report(self, source, connections, seconds):
        lat = sorted(self.latencies)

        def pct(fraction):
            return lat[int(fraction * (len(lat) - 1) + 0.5)] / 1000 if lat else 0.0

        return {"source": source, "connections": connections, "calls": len(lat), "seconds": seconds,
                "calls_per_s": len(lat) / seconds, "p50_us": pct(0.5), "p99_us": pct(0.99), "p999_us": pct(0.999),
                "checked": self.checked, "lost": self.lost, "mixed": self.mixed,
                "errors": dict(self.errors.most_common(5))}


def request_for(number, k):
    """A unique request of connection `number`'s k-th call, and the check of its reply."""
    unique = number * 1_000_000 + k % 1_000_000
    if k % 2 == 0:
        return "add", {"a": number * 1_000_000, "b": k % 1_000_000}, lambda reply: reply == unique
    medium = {"count": unique, "name": f"conn {number}", "numbers": [number, k], "tags": [str(k)]}
    return "echo", {"m": medium}, lambda reply: (reply.count, reply.name, list(reply.numbers)) == (
        unique, f"conn {number}", [number, k])


def blocking_clients(ports, connections, seconds, first_number):
    velvane, parser, service = velvane_bench_service()
    start = threading.Barrier(connections + 1)
    tallies = [Tally() for _ in range(connections)]

    def drive(i):
        port = ports[i % len(ports)]
        number = first_number + i
        tally = tallies[i]
        client = velvane.ThriftClient(service, "127.0.0.1", port)
        client.set_parser(parser)
        client.timeout = CALL_TIMEOUT
        try:
            client.open()
        except OSError as e:
            tally.lose(e)
            start.wait()
            return
        start.wait()
        end = time.monotonic() + seconds
        k = 0
        while time.monotonic() < end:
            name, args, check = request_for(number, k)
            k += 1
            started = time.perf_counter_ns()
            try:
                tally.record(started, check(client.call(name, **args)))
            except Exception as e:  # counted as lost; the client reconnects and goes on
                tally.lose(e)
                try:
                    client.close()
                    client.open()
                except OSError as e:
                    tally.lose(e)
                    return
        client.close()

    threads = [threading.Thread(target=drive, args=(i,)) for i in range(connections)]
    for t in threads:
        t.start()
    start.wait()
    began = time.monotonic()
    for t in threads:
        t.join()
    total = Tally()
    for tally in tallies:
        total.merge(tally)
    return total.report("velvane ThriftClient (threads)", connections, time.monotonic() - began)


def async_clients(ports, connections, seconds, first_number):
    velvane, parser, service = velvane_bench_service()

    async def main():
        clients = []
        for i in range(connections):
            client = velvane.AsyncThriftClient(service, "127.0.0.1", ports[i % len(ports)])
            client.set_parser(parser)
            await client.open()
            clients.append(client)
        end = time.monotonic() + seconds
        tallies = [Tally() for _ in clients]

        async def drive(i, client):
            number, tally, k = first_number + i, tallies[i], 0
            while time.monotonic() < end:
                name, args, check = request_for(number, k)
                k += 1
                started = time.perf_counter_ns()
                try:
                    reply = await asyncio.wait_for(client.call(name, **args), CALL_TIMEOUT)
                    tally.record(started, check(reply))
                except Exception as e:  # counted as lost; the client reconnects and goes on
                    tally.lose(e)
                    try:
                        await client.close()
                        await client.open()
                    except OSError as e:
                        tally.lose(e)
                        return
            await client.close()

        began = time.monotonic()
        await asyncio.gather(*(drive(i, c) for i, c in enumerate(clients)))
        total = Tally()
        for tally in tallies:
            total.merge(tally)
        return total.report("velvane AsyncThriftClient", connections, time.monotonic() - began)

    return asyncio.run(main())


# --- Hostile peers (threads of the driver) -------------------------------------------------------

def binary_call(name, body, seqid=1):
    name = name.encode()
    return bytes([0x80, 1, 0, 1]) + struct.pack(">i", len(name)) + name + struct.pack(">i", seqid) + body


def framed(payload):
    return struct.pack(">i", len(payload)) + payload


def add_request(a, b, seqid=1):
    return binary_call("add", bytes([8, 0, 1]) + struct.pack(">i", a) + bytes([8, 0, 2]) + struct.pack(">i", b)
                       + b"\0", seqid)


def recv_exact(conn, n):
    data = bytearray()
    while len(data) < n:
        chunk = conn.recv(n - len(data))
        if not chunk:
            raise EOFError(f"closed after {len(data)} of {n} bytes")
        data += chunk
    return bytes(data)


class Hostile:
    """Hostile peers against both servers until the deadline; half-closed peers check their reply."""

    KINDS = ("garbage", "claims 2 GiB", "half then stall", "half-closed", "HTTP never ends", "reset mid-reply",
             "drip a byte at a time", "idle", "sends 100 MB")

    def __init__(self, ports, deadline):
        self.ports = ports
        self.deadline = deadline
        self.lock = threading.Lock()
        self.done = collections.Counter()
        self.checked = self.lost = self.mixed = 0
        self.failures = collections.Counter()

    def run(self, threads):
        workers = [threading.Thread(target=self.loop, args=(i,)) for i in range(threads)]
        for t in workers:
            t.start()
        return workers

    def loop(self, index):
        rng = random.Random(index)
        n = 0
        while time.monotonic() < self.deadline:
            kind = self.KINDS[(index + n) % len(self.KINDS)]
            port = self.ports[n % len(self.ports)]
            n += 1
            try:
                with socket.create_connection(("127.0.0.1", port), timeout=CALL_TIMEOUT) as conn:
                    getattr(self, "peer_" + kind.split()[0].replace("-", "_").lower())(conn, rng, index, n)
                with self.lock:
                    self.done[kind] += 1
            except (OSError, EOFError) as e:
                with self.lock:
                    self.failures[f"{kind}: {type(e).__name__}"] += 1

    def stall(self):
        time.sleep(min(STALL_SECONDS, max(0.0, self.deadline - time.monotonic())))

    def peer_garbage(self, conn, rng, index, n):
        conn.sendall(framed(bytes(rng.randrange(256) for _ in range(24))))
        conn.settimeout(STALL_SECONDS)
        try:
            while conn.recv(4096):  # the server ends the connection (a "connection error" line)
                pass
        except socket.timeout:  # or, by chance, the garbage reads as a call it answers or waits on
            pass

    def peer_claims(self, conn, rng, index, n):
        conn.sendall(b"\x7f\xff\xff\xff" + bytes(1000))
        self.stall()

    def peer_half(self, conn, rng, index, n):
        conn.sendall(framed(add_request(1, 2))[:11])
        self.stall()

    def peer_half_closed(self, conn, rng, index, n):
        a, b = (1000 + index) * 1_000_000, n % 1_000_000
        conn.sendall(framed(add_request(a, b, seqid=n)))
        conn.shutdown(socket.SHUT_WR)
        try:
            reply = recv_exact(conn, struct.unpack(">i", recv_exact(conn, 4))[0])
            extra = conn.recv(1)
        except (OSError, EOFError):
            with self.lock:
                self.lost += 1
            return
        ok = reply[-8:] == bytes([8, 0, 0]) + struct.pack(">i", a + b) + b"\0" and extra == b"" \
            and reply[11:15] == struct.pack(">i", n)
        with self.lock:
            if ok:
                self.checked += 1
            else:
                self.mixed += 1

    def peer_drip(self, conn, rng, index, n):
        """A whole request, a byte at a time over the stall; its reply is checked."""
        a, b = (2000 + index) * 1_000_000, n % 1_000_000
        request = framed(add_request(a, b, seqid=n))
        for i in range(len(request)):
            conn.sendall(request[i:i + 1])
            time.sleep(STALL_SECONDS / len(request))
        try:
            reply = recv_exact(conn, struct.unpack(">i", recv_exact(conn, 4))[0])
        except (OSError, EOFError):
            with self.lock:
                self.lost += 1
            return
        with self.lock:
            if reply[-8:] == bytes([8, 0, 0]) + struct.pack(">i", a + b) + b"\0" and reply[11:15] == struct.pack(">i", n):
                self.checked += 1
            else:
                self.mixed += 1

    def peer_sends(self, conn, rng, index, n):
        """A frame claiming 100 MB whose bytes follow: refused at its length, before they arrive."""
        conn.sendall(struct.pack(">i", 100 << 20))
        chunk = bytes(1 << 16)
        try:
            for _ in range(1600):
                conn.sendall(chunk)
        except OSError:  # the server ended the connection
            return
        with self.lock:
            self.failures["sends 100 MB: all taken"] += 1

    def peer_idle(self, conn, rng, index, n):
        self.stall()

    def peer_http(self, conn, rng, index, n):
        # A request head without its end, or only the start of a method.
        conn.sendall(b"GET /health HTTP/1.1\r\nHost: soak\r\n" if n % 2 else b"GE")
        self.stall()

    def peer_reset(self, conn, rng, index, n):
        blob = bytes(512 * 1024)
        medium = bytes([11, 0, 9]) + struct.pack(">i", len(blob)) + blob + b"\0"
        conn.sendall(framed(binary_call("echo", bytes([12, 0, 1]) + medium + b"\0")))
        recv_exact(conn, 100)
        conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))  # close sends a reset


# --- The driver ----------------------------------------------------------------------------------

def start_child(args):
    return subprocess.Popen([sys.executable, os.path.abspath(__file__), *args], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True)


def last_json(child, name):
    out, err = child.communicate()
    lines = out.strip().splitlines()
    try:
        return json.loads(lines[-1])
    except (IndexError, json.JSONDecodeError):
        return {"source": name, "error": (err.strip().splitlines() or [f"exit status {child.returncode}"])[-1]}


def stderr_kinds(text):
    """The server's stderr lines, numbers folded, counted by kind."""
    return collections.Counter(re.sub(r"0x[0-9a-fA-F]+|\d+", "N", line)[:90] for line in text.splitlines() if line)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--seconds", type=float, default=float(os.environ.get("SOAK_SECONDS", 120)))
    ap.add_argument("--serve", action="store_true", help=argparse.SUPPRESS)
    ap.add_argument("--clients", choices=("blocking", "async"), help=argparse.SUPPRESS)
    ap.add_argument("--ports", help=argparse.SUPPRESS)
    ap.add_argument("--connections", type=int, help=argparse.SUPPRESS)
    ap.add_argument("--first-number", type=int, default=0, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.serve:
        return serve()
    if args.clients:
        ports = [int(p) for p in args.ports.split(",")]
        drive = blocking_clients if args.clients == "blocking" else async_clients
        print(json.dumps(drive(ports, args.connections, args.seconds, args.first_number)), flush=True)
        return

    require_peer_binaries()
    limit = raise_descriptor_limit()
    seconds = args.seconds
    with tempfile.TemporaryFile(mode="w+") as server_errors:
        server = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--serve"], stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE, stderr=server_errors, text=True)
        line = ""
        while not line.startswith("ports "):
            line = server.stdout.readline()
            if not line:
                sys.exit("the soak server did not start")
        ports = [int(p) for p in line.split()[1:]]
        rss = {"start": rss_mib(server.pid)}
        print(f"soak: {seconds:g} s, servers on ports {ports[0]} (plain) and {ports[1]} (mixed), "
              f"{WORKERS} workers each; open-file limit {limit}", flush=True)

        # Connection numbers, which make every request unique: apache_load 0-599, threads 600-699,
        # coroutines 700-999, hostile peers from 1000.
        loads = []
        per_apache = APACHE_CONNECTIONS // 4
        targets = [(port, kind, call) for port, kind in zip(ports, ("plain", "mixed")) for call in ("add", "echo")]
        for i, (port, kind, call) in enumerate(targets):
            command = [peer_binary("apache_load"), "--port", str(port), "--connections", str(per_apache),
                       "--call", call, "--seconds", str(seconds), "--warmup-calls", "0", "--check", "1",
                       "--first-number", str(i * per_apache)]
            child = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     stdin=subprocess.DEVNULL, text=True)
            loads.append((f"apache_load {call} → {kind}", child))
        common = ["--ports", ",".join(map(str, ports)), "--seconds", str(seconds)]
        loads.append(("velvane ThriftClient (threads)", start_child(
            ["--clients", "blocking", "--connections", str(BLOCKING_CONNECTIONS), "--first-number", str(APACHE_CONNECTIONS), *common])))
        loads.append(("velvane AsyncThriftClient", start_child(
            ["--clients", "async", "--connections", str(ASYNC_CONNECTIONS), "--first-number", str(APACHE_CONNECTIONS + BLOCKING_CONNECTIONS),
             *common])))

        began = time.monotonic()
        hostile = Hostile(ports, began + seconds)
        hostile_threads = hostile.run(HOSTILE_THREADS)
        time.sleep(seconds / 2)
        rss["mid"] = rss_mib(server.pid)
        time.sleep(max(0.0, began + seconds * 0.95 - time.monotonic()))
        rss["end"] = rss_mib(server.pid)

        results = [(name, last_json(child, name)) for name, child in loads]
        for t in hostile_threads:
            t.join()
        server.stdin.close()
        server.wait(timeout=60)
        server.stdout.close()
        server_errors.seek(0)
        errors_text = server_errors.read()

    rows, calls, lost, mixed, checked = [], 0, hostile.lost, hostile.mixed, hostile.checked
    for name, r in results:
        if "error" in r:
            rows.append([name, "", f"error: {r['error']}", "", "", "", "", "", ""])
            lost += 1
            continue
        calls += r["calls"]
        checked += r["checked"]
        lost += r["lost"]
        mixed += r["mixed"]
        rows.append([name, str(r["connections"]), f"{r['calls']:,}", f"{r['calls_per_s']:,.0f}", f"{r['p50_us']:.0f}",
                     f"{r['p99_us']:.0f}", f"{r['p999_us']:.0f}", f"{r['checked']:,}", f"{r['lost']}/{r['mixed']}"])
        for error, count in r.get("errors", {}).items():
            print(f"  {name}: lost {count} × {error}")
    calls += hostile.checked + hostile.mixed
    rows.append(["hostile peers", f"{HOSTILE_THREADS} at a time", f"{sum(hostile.done.values()):,} conns", "", "", "",
                 "", f"{hostile.checked:,}", f"{hostile.lost}/{hostile.mixed}"])
    rows.append(["total", str(APACHE_CONNECTIONS + BLOCKING_CONNECTIONS + ASYNC_CONNECTIONS + HOSTILE_THREADS),
                 f"{calls:,}", f"{calls / seconds:,.0f}", "", "", "", f"{checked:,}", f"{lost}/{mixed}"])
    print()
    print(markdown_table(["load", "connections", "calls", "calls/s", "p50 µs", "p99 µs", "p999 µs", "replies checked",
                          "lost/mixed"], rows))
    print()
    print("hostile peers:", ", ".join(f"{k} {v}" for k, v in sorted(hostile.done.items())),
          "; failed:", dict(hostile.failures) or "none")
    print("server stderr:")
    for kind, count in stderr_kinds(errors_text).most_common():
        print(f"  {count:6d}  {kind}")
    grew = rss["end"] > rss["mid"] * 1.10
    print(f"calls {calls}, lost {lost}, mixed {mixed}, rss start/mid/end "
          f"{rss['start']:.0f}/{rss['mid']:.0f}/{rss['end']:.0f} MiB")
    if lost or mixed or grew:
        sys.exit(1)


if __name__ == "__main__":
    main()
