"""TLS against plaintext: sequential `add` calls on one connection, the full-handshake rate, and the
server's thread count with many TLS connections open (no thread per connection).

Run with `make bench` (or `tools/python bench/tls_bench.py [--quick]`). The server runs in a child
process (plain handlers, one worker thread); the client is velvane's blocking ThriftClient. The calls
run with the server and the client pinned to CPU 0 (`taskset -c 0`), as the pinned rows of
server_bench.py do: unpinned, each call's two wake-ups cross CPUs, and on an idle virtual machine that
costs more than the call itself, whatever the connection. The certificate (ECDSA P-256, self-signed for
127.0.0.1) is made with the openssl command for the run.
"""
import argparse
import itertools
import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests"))
import velvane  # noqa: E402
from apache_peer import running_child  # noqa: E402

PIN = ["taskset", "-c", "0"]

IDL = "service Bench { i32 add(1: i32 a, 2: i32 b) }"
OPEN_CONNECTIONS = 200


def make_certificate(directory):
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                    "-days", "2", "-subj", "/CN=bench", "-addext", "subjectAltName=IP:127.0.0.1",
                    "-keyout", os.path.join(directory, "key.pem"), "-out", os.path.join(directory, "cert.pem")],
                   check=True, capture_output=True)


async def add(a, b):
    return a + b


def serve(mode, handlers, directory):
    parser = velvane.ThriftParser()
    parser.parse(IDL)
    server = velvane.ThriftServer(parser.get_service("Bench"), workers=1)
    server.register_handler("add", (lambda a, b: a + b) if handlers == "plain" else add)
    if mode == "tls":
        server.set_tls(os.path.join(directory, "cert.pem"), os.path.join(directory, "key.pem"))
    server.serve("127.0.0.1", 0)
    host, port = server.wait_listening(10)
    print(f"listening on {host}:{port}", flush=True)
    while True:  # until the parent ends the child
        time.sleep(3600)


def client(service, port, tls, directory):
    c = velvane.ThriftClient(service, "127.0.0.1", port)
    c.timeout = 10
    if tls:
        c.set_tls(cafile=os.path.join(directory, "cert.pem"))
    return c


def calls_per_second(service, port, tls, directory, calls):
    best = 0.0
    with client(service, port, tls, directory) as c:
        for _ in range(5):
            start = time.perf_counter()
            for i in range(calls):
                try:
                    c.call("add", a=i, b=1)
                except OSError as e:
                    raise SystemExit(f"{'tls' if tls else 'plain'} call {i}: {e}")
            best = max(best, calls / (time.perf_counter() - start))
    return best


def handshakes_per_second(service, port, directory, count):
    c = client(service, port, True, directory)
    start = time.perf_counter()
    for _ in range(count):
        c.open()
        c.close()
    return count / (time.perf_counter() - start)


def threads_of(pid):
    with open(f"/proc/{pid}/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("Threads:"))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--serve", choices=("plain", "tls"))
    ap.add_argument("--handlers", choices=("plain", "async"), default="plain")
    ap.add_argument("--dir")
    args = ap.parse_args()
    if args.serve:
        return serve(args.serve, args.handlers, args.dir)
    calls, handshakes = (2000, 200) if args.quick else (20000, 1000)
    parser = velvane.ThriftParser()
    parser.parse(IDL)
    service = parser.get_service("Bench")
    rows = {}
    os.sched_setaffinity(0, {0})  # the client's CPU; the server's child is pinned there too
    with tempfile.TemporaryDirectory() as directory:
        make_certificate(directory)
        for handlers, mode in itertools.product(("plain", "async"), ("plain", "tls")):
            command = PIN + [sys.executable, os.path.abspath(__file__), "--serve", mode, "--handlers", handlers,
                             "--dir", directory]
            with running_child(command) as (_, port):
                rows[mode, handlers] = calls_per_second(service, port, mode == "tls", directory, calls)
                if mode == "tls" and handlers == "plain":
                    rate = handshakes_per_second(service, port, directory, handshakes)
                    pid = int(subprocess.run(["pgrep", "-f", "--newest", "tls_bench.py --serve tls"],
                                             capture_output=True, text=True).stdout.split()[0])
                    before = threads_of(pid)
                    held = [client(service, port, True, directory) for _ in range(OPEN_CONNECTIONS)]
                    for c in held:
                        c.open()
                    during = threads_of(pid)
                    for c in held:
                        c.close()
    print("TLS against plaintext: sequential add(a, b) on one connection, blocking client, one worker thread, "
          "client and server pinned to CPU 0")
    print()
    print("| handlers | connection | calls/s | vs plaintext |")
    print("| --- | --- | ---: | ---: |")
    for handlers, name in (("plain", "plain functions"), ("async", "async def")):
        plain, tls = rows["plain", handlers], rows["tls", handlers]
        print(f"| {name} | plaintext | {plain:,.0f} | 1.00x |")
        print(f"| {name} | TLS 1.3 (ECDSA P-256) | {tls:,.0f} | {tls / plain:.2f}x |")
    print()
    print("TLS handshakes and connections")
    print()
    print("| measure | value |")
    print("| --- | ---: |")
    print(f"| full handshakes/s (connect, handshake, close; sequential) | {rate:,.0f} |")
    print(f"| server threads before / with {OPEN_CONNECTIONS} TLS connections open | {before} / {during} |")


if __name__ == "__main__":
    main()
