"""Instructions per operation under callgrind: velvane against msgspec and Apache Thrift.

Run with `make bench` (after bench/run.py) or `tools/python bench/instructions.py [--quick]`. Wall-clock
times on a shared machine move by tens of percent from run to run; instruction counts repeat exactly,
so the targets against msgspec are judged by them. Each workload runs in its own process under
`valgrind --tool=callgrind` twice, with N and 2N iterations of the same loop as bench/run.py's (a lambda
called in a `for` loop); the difference divided by N is the cost of one operation with its share of
the loop, free of start-up. PYTHONHASHSEED is fixed so that the runs repeat.

Workloads are those of the msgspec table in bench/run.py: binary `serialize` from a dict against
`msgspec.msgpack.Encoder().encode` of an array_like Struct (and Apache Thrift's fastbinary
`TSerialization.serialize`), `deserialize` followed by reading every field against
`msgspec.msgpack.Decoder(type).decode` followed by the same reads (and fastbinary's deserialize), and
ten attribute reads against a msgspec Struct and a `__slots__` class.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))

WORKLOADS = ["Small serialize", "Medium serialize", "Small deserialize+read", "Medium deserialize+read",
             "ten attribute reads"]
SUBJECTS = ["velvane", "msgspec", "apache"]


def loop_body(workload, subject):
    """The operation timed for one workload and subject, as a function of no arguments (or None)."""
    sys.path.insert(0, HERE)
    import run  # the benchmark's own values, Struct classes and read functions

    import velvane

    parser = velvane.ThriftParser()
    with open(run.IDL_PATH) as f:
        parser.parse(f.read())
    struct_name, op = workload.split(" ", 1)
    if workload == "ten attribute reads":
        data = run.medium_dict()
        sdef = parser.get_struct("Medium")
        obj = {
            "velvane": sdef.deserialize(sdef.serialize(data)),
            "msgspec": run.msgspec_value("Medium", data),
            "apache": run.SlotsMedium(**data),  # the third column is a plain __slots__ class here
        }[subject]
        code = "def body():\n    " + "; ".join(f"o.{n}" for n in run.MsMedium.__struct_fields__) + "\n"
        scope = {"o": obj}
        exec(code, scope)
        return scope["body"]
    data = run.small_dict() if struct_name == "Small" else run.medium_dict()
    read = run.read_small if struct_name == "Small" else run.read_medium
    sdef = parser.get_struct(struct_name)
    if subject == "velvane":
        if op == "serialize":
            return lambda: sdef.serialize(data)
        wire = sdef.serialize(data)
        return lambda: read(sdef.deserialize(wire))
    if subject == "msgspec":
        import msgspec

        value = run.msgspec_value(struct_name, data)
        if op == "serialize":
            encoder = msgspec.msgpack.Encoder()
            return lambda: encoder.encode(value)
        decoder = msgspec.msgpack.Decoder(run.MsSmall if struct_name == "Small" else run.MsMedium)
        wire = msgspec.msgpack.Encoder().encode(value)
        return lambda: read(decoder.decode(wire))
    from thrift.protocol import TBinaryProtocol
    from thrift.TSerialization import deserialize, serialize

    tt = run.generated_module()
    factory = TBinaryProtocol.TBinaryProtocolAcceleratedFactory()
    obj = run.thrift_object(tt, struct_name, data)
    if op == "serialize":
        return lambda: serialize(obj, factory)
    cls = getattr(tt, struct_name)
    wire = serialize(obj, factory)
    return lambda: read(deserialize(cls(), wire, factory))


def worker(workload, subject, n):
    fn = loop_body(workload, subject)
    for _ in range(200):  # warm-up: specialization, caches, lazily built plans
        fn()
    for _ in range(n):
        fn()


def worker_command(workload, subject, n):
    return [sys.executable, os.path.abspath(__file__), "--worker", workload, subject, str(n)]


def instructions(workload, subject, n, env):
    cmd = ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null"] + worker_command(workload, subject, n)
    proc = subprocess.run(cmd, env=env, capture_output=True, text=True)
    found = re.search(r"Collected : (\d+)", proc.stderr)
    if proc.returncode != 0 or not found:
        raise RuntimeError(f"callgrind run failed for {workload} / {subject}:\n{proc.stderr[-2000:]}")
    return int(found.group(1))


def per_op(workload, subject, n, env):
    # A run outside valgrind first compiles the modules into the cache directory, so that both
    # measured runs start alike and quickly (packages installed without their .pyc files would
    # otherwise be compiled at every start).
    subprocess.run(worker_command(workload, subject, 1), env=env, check=True, capture_output=True)
    return (instructions(workload, subject, 2 * n, env) - instructions(workload, subject, n, env)) / n


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true", help="fewer iterations")
    ap.add_argument("--only", action="append", choices=WORKLOADS, help="run only this workload (repeatable)")
    ap.add_argument("--velvane-only", action="store_true", help="measure velvane alone (while tuning it)")
    ap.add_argument("--worker", nargs=3, metavar=("WORKLOAD", "SUBJECT", "N"), help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.worker:
        workload, subject, n = args.worker
        worker(workload, subject, int(n))
        return
    if not shutil.which("valgrind"):
        print("instruction counts: valgrind is not installed (tools/bootstrap installs it)")
        return
    n = 200 if args.quick else 1000
    env = dict(os.environ, PYTHONHASHSEED="0", PYTHONPYCACHEPREFIX=tempfile.mkdtemp(prefix="velvane-pycache-"))
    subjects = ["velvane"] if args.velvane_only else SUBJECTS
    print("Instructions per operation (callgrind, the loop around each call included):")
    print()
    print("| operation | velvane | msgspec | Apache Thrift (fastbinary) | velvane / msgspec | Apache / velvane |")
    print("|---|---:|---:|---:|---:|---:|")
    for workload in args.only or WORKLOADS:
        counts = {s: per_op(workload, s, n, env) for s in subjects}
        v = counts["velvane"]
        m, a = counts.get("msgspec"), counts.get("apache")
        cells = [f"{v:,.0f}", f"{m:,.0f}" if m else "", f"{a:,.0f}" if a else "",
                 f"{v / m:.2f}" if m else "", f"{a / v:.1f}x" if a else ""]
        if workload == "ten attribute reads":
            cells[2] = f"{a:,.0f} (`__slots__`)" if a else ""
            cells[4] = f"{v / a:.2f} of `__slots__`" if a else ""
        print(f"| {workload} | " + " | ".join(cells) + " |", flush=True)


if __name__ == "__main__":
    main()
