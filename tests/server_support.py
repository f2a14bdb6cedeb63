"""Helpers for ThriftServer tests (support module, not a test file)."""
import asyncio
import atexit
import contextlib
import os
import socket
import subprocess
import sys
import tempfile
import textwrap
import time

import velvane

DEADLINE = 10.0


_reserved = []  # sockets holding the ports free_port() handed out, for the rest of the process
atexit.register(lambda: [s.close() for s in _reserved])


def free_port():
    """A loopback port kept for the caller: closing the probe socket would let the kernel hand the
    port to another bind(port 0) or outgoing connection before the server binds it ("Address
    already in use"). The port stays bound here with SO_REUSEADDR and never listens, which keeps
    every other taker out while a server (it binds with SO_REUSEADDR) can still listen on it, and
    a connection to it is refused whenever no server does."""
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(("127.0.0.1", 0))
    _reserved.append(s)
    return s.getsockname()[1]


def wait_for(predicate, what, deadline=DEADLINE):
    end = time.monotonic() + deadline
    while not predicate():
        if time.monotonic() > end:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(0.005)


@contextlib.contextmanager
def serving(server, host="127.0.0.1"):
    """Serves on an ephemeral port until the block ends; yields the port."""
    port = free_port()
    server.serve(host, port)
    try:
        wait_for(server.is_running, "the server to listen")
        yield port
    finally:
        server.stop()


@contextlib.contextmanager
def connected(service, parser, port, transport=velvane.TransportType.Framed, protocol=velvane.ProtocolType.Binary):
    client = velvane.ThriftClient(service, "127.0.0.1", port, transport, protocol)
    client.set_parser(parser)
    client.timeout = DEADLINE
    client.open()
    try:
        yield client
    finally:
        client.close()


def raw_connection(port):
    conn = socket.create_connection(("127.0.0.1", port), timeout=DEADLINE)
    conn.settimeout(DEADLINE)
    return conn


@contextlib.contextmanager
def stderr_tap(fd=2):
    """Sends the process's own stderr (descriptor 2, where server threads print; or `fd`) to a file of
    ours for the block, and yields a function returning all of it so far. Reading never empties the file:
    pytest's readouterr() does (seek, read, truncate), and a line a server thread writes between the
    read and the truncate is lost. What was written is passed on to the previous stderr at the end.
    Use it inside a test's body: pytest points descriptor 2 back at its own file between phases."""
    tap = tempfile.TemporaryFile()
    saved = os.dup(fd)
    os.dup2(tap.fileno(), fd)
    try:
        yield lambda: os.pread(tap.fileno(), os.fstat(tap.fileno()).st_size, 0).decode(errors="replace")
    finally:
        os.dup2(saved, fd)
        os.close(saved)
        os.write(fd, os.pread(tap.fileno(), os.fstat(tap.fileno()).st_size, 0))
        tap.close()


def run_script(source, timeout=60, **popen):
    """Runs Python source in a child process with velvane importable; returns the CompletedProcess."""
    env = dict(os.environ, PYTHONUNBUFFERED="1")  # its prints and the server's lines keep their order
    return subprocess.run([sys.executable, "-c", textwrap.dedent(source)], capture_output=True, text=True,
                          timeout=timeout, env=env, **popen)


# Under AddressSanitizer resident memory says little about the code: run_bounded then guards against
# blow-ups only and reports no peak.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


def run_bounded(source, rss_mib, seconds=30, args=()):
    """Runs Python source in a child process (velvane and this module importable), killing it when its
    resident memory passes `rss_mib` MiB or it runs longer than `seconds`. Returns (stdout, peak RSS in
    MiB, 0 under AddressSanitizer); a kill or a failing child fails the caller's test with what happened."""
    if SANITIZED:
        rss_mib, seconds = rss_mib * 8, seconds * 4  # shadow memory and quarantine: only blow-ups count
    prelude = f"import sys\nsys.path.insert(0, {os.path.dirname(os.path.abspath(__file__))!r})\n"
    env = dict(os.environ, PYTHONUNBUFFERED="1")
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        child = subprocess.Popen([sys.executable, "-c", prelude + textwrap.dedent(source), *args],
                                 stdout=out, stderr=err, env=env)
        end, peak, verdict = time.monotonic() + seconds, 0.0, None
        while child.poll() is None:
            rss = _status_mib(child.pid, "VmRSS:")
            peak = max(peak, rss)
            if rss > rss_mib:
                verdict = f"resident memory passed {rss_mib} MiB"
            elif time.monotonic() > end:
                verdict = f"still running after {seconds} s"
            if verdict:
                child.kill()
                child.wait()
                break
            time.sleep(0.01)
        out.seek(0)
        err.seek(0)
        stdout, stderr = out.read().decode(errors="replace"), err.read().decode(errors="replace")
    assert verdict is None, f"{verdict} (peak {peak:.0f} MiB)\n{stdout}\n{stderr}"
    assert child.returncode == 0, stderr
    peak = max(peak, _peak_from(stdout))
    print(f"child peak RSS {peak:.0f} MiB")  # shown with pytest -s
    return stdout, 0.0 if SANITIZED else peak


def _status_mib(pid, key):
    try:
        with open(f"/proc/{pid}/status") as status:
            for line in status:
                if line.startswith(key):
                    return int(line.split()[1]) / 1024
    except OSError:
        pass
    return 0.0


def _peak_from(stdout):
    """A child may print "peak N" (its VmHWM in MiB, see print_peak) once, at its end (a server thread's
    late console line may still follow it)."""
    peaks = [line for line in stdout.splitlines() if line.startswith("peak ")]
    return float(peaks[-1].split()[1]) if peaks else 0.0


def print_peak():
    """For run_bounded children: the process's peak resident memory, in one write (print() writes the
    line and its end separately, and a server thread's line could land between them)."""
    sys.stdout.flush()
    os.write(1, f"peak {_status_mib(os.getpid(), 'VmHWM:'):.1f}\n".encode())


class Hooks:
    """A test interceptor's base: its `_before(ctx, args)` and `_after(ctx, result, error, duration)` as
    the hooks, or with `coroutine` wrapped as `async def` hooks that wait one loop turn first."""

    def __init__(self, coroutine=False):
        if coroutine:
            async def before(ctx, args):
                await asyncio.sleep(0)
                self._before(ctx, args)

            async def after(ctx, result, error, duration):
                await asyncio.sleep(0)
                self._after(ctx, result, error, duration)
            self.before, self.after = before, after
        else:
            self.before, self.after = self._before, self._after
