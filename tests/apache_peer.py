"""Apache Thrift's Python library as a test and benchmark peer (support module, not a test file).

    peer = ApachePeer(idl_text, tmp_dir)              # thrift --gen py into tmp_dir, at test time
    with peer.server("Calculator", Handler) as (host, port):
        with peer.client("Calculator", port) as client:
            client.add(1, 2)

`server` runs Apache's TThreadedServer (or TSimpleServer) in a child process on 127.0.0.1 with an
ephemeral port; the handler is a class, or the source text of a module defining the class `Handler`. Its
source is run in the child next to `from <package>.ttypes import *`, so it can raise the IDL's exceptions.
The child announces "listening on HOST:PORT" on its stdout once it listens; the context manager waits
for that line (with a deadline) and always ends the child.

Run as a script, this file is that child.
"""
import argparse
import contextlib
import importlib
import inspect
import os
import pathlib
import selectors
import shutil
import signal
import subprocess
import sys
import tempfile
import textwrap
import threading
import time

STARTUP_SECONDS = 20.0
STOP_SECONDS = 5.0
TRANSPORTS = ("framed", "buffered", "header")
SERVER_KINDS = ("threaded", "simple")
PROTOCOLS = ("binary", "compact", "json")
HEADER_PROTOCOLS = ("binary", "compact")  # what the header transport carries (compact: the standard one)


def peer_or_skip(idl_text, directory, **kwargs):
    """An ApachePeer, or the calling test skipped when Apache's Python library or compiler is missing."""
    import pytest

    pytest.importorskip("thrift")
    if not shutil.which("thrift"):
        pytest.skip("the thrift compiler is not installed")
    return ApachePeer(idl_text, directory, **kwargs)


def header_protocol_factory(protocol):
    """Apache's THeaderProtocol factory around one of HEADER_PROTOCOLS (a client's choice; a server
    answers in the protocol of each request)."""
    from thrift.protocol import THeaderProtocol
    from thrift.transport.THeaderTransport import THeaderSubprotocolID

    _check_choice("protocol", protocol, HEADER_PROTOCOLS)
    subprotocol = THeaderSubprotocolID.COMPACT if protocol == "compact" else THeaderSubprotocolID.BINARY
    return THeaderProtocol.THeaderProtocolFactory(default_protocol=subprotocol)


def protocol_factory(protocol, accelerated=True, transport="framed"):
    """Apache's protocol factory for one of PROTOCOLS (JSON has no accelerated form)."""
    from thrift.protocol import TBinaryProtocol, TCompactProtocol, TJSONProtocol

    if transport == "header":
        return header_protocol_factory(protocol)
    _check_choice("protocol", protocol, PROTOCOLS)
    if protocol == "json":
        return TJSONProtocol.TJSONProtocolFactory()
    if protocol == "compact":
        return (TCompactProtocol.TCompactProtocolAcceleratedFactory() if accelerated
                else TCompactProtocol.TCompactProtocolFactory())
    return (TBinaryProtocol.TBinaryProtocolAcceleratedFactory() if accelerated
            else TBinaryProtocol.TBinaryProtocolFactory())


class ApachePeer:
    """Apache Thrift Python code generated from one IDL text, and servers and clients built on it."""

    def __init__(self, idl, out_dir, name="apache_peer_idl"):
        if not shutil.which("thrift"):
            raise FileNotFoundError("the thrift compiler is not installed")
        self.gen_dir = pathlib.Path(out_dir)
        self.gen_dir.mkdir(parents=True, exist_ok=True)
        idl_path = self.gen_dir / f"{name}.thrift"
        idl_path.write_text(idl)
        subprocess.run(["thrift", "--gen", "py", "-out", str(self.gen_dir), str(idl_path)], check=True)
        self.package = _generated_package(self.gen_dir)
        self._modules = None

    def module(self, name):
        """The generated module `name` ("ttypes", or a service name), imported in this process."""
        if self._modules is None:
            self._modules = self._import_generated()
        return self._modules[name]

    def _import_generated(self):
        """Imports every generated module at once, so they all share one ttypes even if another IDL
        was generated earlier under the same package name."""
        _forget_package(self.package)
        package_dir = self.gen_dir.joinpath(*self.package.split("."))
        sys.path.insert(0, str(self.gen_dir))
        try:
            return {path.stem: importlib.import_module(f"{self.package}.{path.stem}")
                    for path in package_dir.glob("*.py") if path.stem != "__init__"}
        finally:
            sys.path.remove(str(self.gen_dir))

    @contextlib.contextmanager
    def server(self, service, handler, transport="framed", kind="threaded", cpu=None, protocol="binary",
               multiplexed=None):
        """Runs the service in a child process; yields (host, port) once it listens.

        `cpu` pins the child to that CPU (taskset), for benchmarks. `multiplexed`, a name, serves the
        service under that name on a TMultiplexedProcessor."""
        _check_choice("transport", transport, TRANSPORTS)
        _check_choice("kind", kind, SERVER_KINDS)
        handler_file = self.gen_dir / f"handler_{service}_{os.getpid()}_{id(handler)}.py"
        handler_file.write_text(_handler_source(handler))
        command = [sys.executable, os.path.abspath(__file__), "--gen-dir", str(self.gen_dir),
                   "--package", self.package, "--service", service, "--handler-file", str(handler_file),
                   "--transport", transport, "--kind", kind, "--protocol", protocol]
        if multiplexed:
            command += ["--multiplexed", multiplexed]
        if cpu is not None:
            command = ["taskset", "-c", str(cpu)] + command
        with running_child(command) as address:
            yield address

    @contextlib.contextmanager
    def client(self, service, port, transport="framed", host="127.0.0.1", accelerated=True, protocol="binary",
               multiplexed=None):
        """An open Apache Thrift client of `service`, closed on exit; `multiplexed` names the service
        on a multiplexed server. Over the header transport, `client._iprot` is the THeaderProtocol
        (set_header, add_transform, get_headers)."""
        from thrift.protocol import TMultiplexedProtocol
        from thrift.transport import TSocket, TTransport

        _check_choice("transport", transport, TRANSPORTS)
        if transport == "header":
            trans = TSocket.TSocket(host, port)
        else:
            wrap = TTransport.TFramedTransport if transport == "framed" else TTransport.TBufferedTransport
            trans = wrap(TSocket.TSocket(host, port))
        proto = protocol_factory(protocol, accelerated, transport).getProtocol(trans)
        if multiplexed:
            proto = TMultiplexedProtocol.TMultiplexedProtocol(proto, multiplexed)
        client = self.module(service).Client(proto)
        trans.open()
        try:
            yield client
        finally:
            trans.close()


@contextlib.contextmanager
def running_child(command, startup_seconds=STARTUP_SECONDS):
    """Starts `command`, waits for a stdout line "listening on HOST:PORT" (other lines before it are
    skipped), yields (host, port) and ends the child (SIGTERM, then SIGKILL) however the block exits."""
    with tempfile.TemporaryFile() as errors:
        # stderr goes to a file: a pipe nobody reads could fill up and stall a long-running child.
        child = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=errors, stdin=subprocess.DEVNULL)
        try:
            yield _wait_for_listening(child, errors, startup_seconds)
        finally:
            stop_child(child)


def stop_child(child):
    if child.poll() is None:
        child.send_signal(signal.SIGTERM)
        try:
            child.wait(timeout=STOP_SECONDS)
        except subprocess.TimeoutExpired:
            child.kill()
            child.wait()
    child.stdout.close()


def _wait_for_listening(child, errors, startup_seconds):
    prefix = b"listening on "
    deadline = time.monotonic() + startup_seconds
    pending = b""
    with selectors.DefaultSelector() as selector:
        selector.register(child.stdout, selectors.EVENT_READ)
        while True:
            lines = pending.split(b"\n")
            found = [line for line in lines[:-1] if line.startswith(prefix)]
            if found:
                host, _, port = found[0][len(prefix):].decode().rpartition(":")
                return host, int(port)
            remaining = deadline - time.monotonic()
            if remaining <= 0 or not selector.select(remaining):
                raise TimeoutError(f"{command_name(child)} did not listen within {startup_seconds} s")
            chunk = os.read(child.stdout.fileno(), 4096)
            if not chunk:
                child.wait(timeout=STOP_SECONDS)
                errors.seek(0)
                raise RuntimeError(f"{command_name(child)} exited ({child.returncode}) before listening: "
                                   f"{errors.read().decode(errors='replace').strip()}")
            pending += chunk


def command_name(child):
    return " ".join(str(a) for a in child.args[:4])


def _check_choice(what, value, choices):
    if value not in choices:
        raise ValueError(f"{what} must be one of {choices}, not {value!r}")


def _handler_source(handler):
    if isinstance(handler, str):
        return handler
    # dedent: a class defined inside a function or another class comes back indented.
    return textwrap.dedent(inspect.getsource(handler)) + f"\nHandler = {handler.__name__}\n"


def _generated_package(gen_dir):
    """The package thrift --gen py wrote: the IDL's `namespace py`, or else the file's base name."""
    ttypes = sorted(gen_dir.rglob("ttypes.py"))
    if len(ttypes) != 1:
        raise RuntimeError(f"expected one generated package in {gen_dir}, found {len(ttypes)}")
    return ".".join(ttypes[0].parent.relative_to(gen_dir).parts)


def _forget_package(package):
    """Drops earlier imports of the package, so another IDL generated under the same name is seen."""
    top = package.split(".")[0]
    for name in [n for n in sys.modules if n == top or n.startswith(top + ".")]:
        del sys.modules[name]


# ---- the child process ----

def _listening_socket(host):
    """A server socket bound and listening before serve(), so its port is known; the server's own
    listen() call then keeps it."""
    from thrift.transport import TSocket

    class ListenOnce(TSocket.TServerSocket):
        def listen(self):
            if self.handle is None:
                super().listen()

    sock = ListenOnce(host=host, port=0)
    sock.listen()
    return sock, sock.handle.getsockname()[1]


class _HeaderAware:
    """A processor that lets the handler reach the connection's THeaderProtocol while it runs."""

    def __init__(self, processor, current):
        self.processor = processor
        self.current = current

    def process(self, iprot, oprot):
        self.current.protocol = iprot
        return self.processor.process(iprot, oprot)


def _serve(args):
    from thrift import TMultiplexedProcessor
    from thrift.server import TServer
    from thrift.transport import TTransport

    sys.path.insert(0, args.gen_dir)
    service = importlib.import_module(f"{args.package}.{args.service}")
    namespace = dict(vars(importlib.import_module(f"{args.package}.ttypes")))
    exec(compile(pathlib.Path(args.handler_file).read_text(), args.handler_file, "exec"), namespace)
    current = threading.local()
    # A handler over the header transport reads the request's headers and adds the reply's with these.
    namespace["request_headers"] = lambda: current.protocol.get_headers()
    namespace["reply_header"] = lambda key, value: current.protocol.set_header(key, value)
    processor = service.Processor(namespace["Handler"]())
    if args.transport == "header":
        processor = _HeaderAware(processor, current)
    if args.multiplexed:
        multiplexed = TMultiplexedProcessor.TMultiplexedProcessor()
        multiplexed.registerProcessor(args.multiplexed, processor)
        processor = multiplexed

    sock, port = _listening_socket("127.0.0.1")
    if args.transport == "header":
        transport_factory = TTransport.TTransportFactoryBase()
    elif args.transport == "framed":
        transport_factory = TTransport.TFramedTransportFactory()
    else:
        transport_factory = TTransport.TBufferedTransportFactory()
    factory = protocol_factory(args.protocol, transport=args.transport)
    if args.kind == "threaded":
        server = TServer.TThreadedServer(processor, sock, transport_factory, factory, daemon=True)
    else:
        server = TServer.TSimpleServer(processor, sock, transport_factory, factory)
    print(f"listening on 127.0.0.1:{port}", flush=True)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    try:
        server.serve()
    except (KeyboardInterrupt, SystemExit):
        pass


def main():
    ap = argparse.ArgumentParser(description="Apache Thrift Python server for tests and benchmarks")
    ap.add_argument("--gen-dir", required=True)
    ap.add_argument("--package", required=True)
    ap.add_argument("--service", required=True)
    ap.add_argument("--handler-file", required=True)
    ap.add_argument("--transport", choices=TRANSPORTS, default="framed")
    ap.add_argument("--kind", choices=SERVER_KINDS, default="threaded")
    ap.add_argument("--protocol", choices=PROTOCOLS, default="binary")
    ap.add_argument("--multiplexed")
    _serve(ap.parse_args())


if __name__ == "__main__":
    main()
