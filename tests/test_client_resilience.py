"""Clients that reconnect: against scripted peers that close, stall and refuse, and a server restarted
mid-run."""
import asyncio
import collections
import gc
import re
import socket
import threading
from concurrent.futures import ThreadPoolExecutor

import pytest

import velvane
from scripted_peer import DEADLINE, Peer, frame, recv_frame
from server_support import Hooks, free_port, serving, wait_for
from test_client import IDL, OOPS, binary_header, binary_i32_field, reply_body, serve_adds

NOT_OPEN = {
    "blocking": r"^ThriftClient is not open; call client.open\(\) first$",
    "async": r"^AsyncThriftClient is not open; await client.open\(\) first$",
}


@pytest.fixture
def calc(parse):
    parser = parse(IDL)
    return parser, parser.get_service("Calc")


class Driver:
    """One client of either kind behind the same blocking face; the async one runs on a loop thread."""

    def __init__(self, kind, calc, port, **options):
        parser, service = calc
        cls = velvane.ThriftClient if kind == "blocking" else velvane.AsyncThriftClient
        where = (port,) if isinstance(port, list) else ("127.0.0.1", port)  # a list of endpoints, or a port
        self.client = cls(service, *where, **options)
        self.client.set_parser(parser)
        self.client.timeout = DEADLINE
        self.kind = kind
        if kind == "async":
            self.loop = asyncio.new_event_loop()
            self.thread = threading.Thread(target=self.loop.run_forever, daemon=True)
            self.thread.start()

    def do(self, name, *args, **kwargs):
        if self.kind == "blocking":
            return getattr(self.client, name)(*args, **kwargs)
        return self.start(name, *args, **kwargs).result(DEADLINE)

    def start(self, name, *args, **kwargs):
        """Starts the operation on a thread of the pool or on the loop; returns a concurrent future."""
        if self.kind == "blocking":
            return self.pool.submit(self.do, name, *args, **kwargs)

        async def begin():
            return await getattr(self.client, name)(*args, **kwargs)

        return asyncio.run_coroutine_threadsafe(begin(), self.loop)

    def __enter__(self):
        if self.kind == "blocking":
            self.pool = ThreadPoolExecutor(8)
        return self

    def __exit__(self, *exc):
        self.do("close")
        if self.kind == "blocking":
            self.pool.shutdown()
        else:
            self.loop.call_soon_threadsafe(self.loop.stop)
            self.thread.join(DEADLINE)
            self.loop.close()


closed = threading.Event()


def answers_one_add(conn):
    """Answers one add and closes: on loopback the end of input has reached the client once `closed` is set."""
    closed.clear()
    request = recv_frame(conn)
    seqid = int.from_bytes(request[11:15], "big", signed=True)
    conn.sendall(frame(reply_body(binary_i32_field(0, 3) + b"\0", seqid=seqid)))
    conn.close()
    closed.set()


KINDS = pytest.mark.parametrize("kind", ["blocking", "async"])


@KINDS
def test_reconnect_is_off_by_default_and_settable(calc, kind):
    with Driver(kind, calc, 1) as d:
        assert d.client.reconnect is False
        d.client.reconnect = True
        assert d.client.reconnect is True
    with Driver(kind, calc, 1, reconnect=True) as d:
        assert d.client.reconnect is True
        with pytest.raises(TypeError, match="at most 5 positional arguments"):  # keyword only
            type(d.client)(calc[1], "127.0.0.1", 1, velvane.TransportType.Framed, velvane.ProtocolType.Binary, True)


@KINDS
@pytest.mark.parametrize("reconnect", [False, True])
def test_a_call_after_the_peer_closed(calc, kind, reconnect):
    scripts = (answers_one_add, serve_adds) if reconnect else (answers_one_add,)
    with Peer(*scripts) as peer, Driver(kind, calc, peer.port, reconnect=reconnect) as d:
        d.do("open")
        assert d.do("call", "add", a=1, b=2) == 3
        assert closed.wait(DEADLINE)
        if not reconnect:
            with pytest.raises(OSError):
                d.do("call", "add", a=1, b=2)
            with pytest.raises(OSError, match=NOT_OPEN[kind]):
                d.do("call", "add", a=1, b=2)
            return
        assert d.do("call", "add", a=5, b=6) == 11
        d.do("close")  # closing is not dropping: no call opens again
        with pytest.raises(OSError, match=NOT_OPEN[kind]):
            d.do("call", "add", a=1, b=2)


@KINDS
@pytest.mark.parametrize("reconnect", [False, True])
def test_calls_in_line_behind_a_call_that_timed_out(calc, kind, reconnect):
    first_in = threading.Event()

    def stalls(conn):
        recv_frame(conn)
        first_in.set()
        while conn.recv(65536):  # until the client drops the connection
            pass

    scripts = (stalls, serve_adds) if reconnect else (stalls,)
    with Peer(*scripts) as peer, Driver(kind, calc, peer.port, reconnect=reconnect) as d:
        d.client.timeout = 0.5
        d.do("open")
        stalled = d.start("call", "add", a=0, b=0)
        assert first_in.wait(DEADLINE)
        behind = [d.start("call", "add", a=i, b=1) for i in range(20)]
        with pytest.raises(TimeoutError):
            stalled.result(DEADLINE)
        for i, f in enumerate(behind):
            if reconnect:
                assert f.result(DEADLINE) == i + 1
            else:
                with pytest.raises(OSError, match=NOT_OPEN[kind]):
                    f.result(DEADLINE)


@KINDS
def test_a_peer_that_refuses_fails_the_call_as_a_connect(calc, kind):
    with Peer(answers_one_add) as peer:
        port = peer.port
        d = Driver(kind, calc, port, reconnect=True)
        d.do("open")
        assert d.do("call", "add", a=1, b=2) == 3
    with d:
        for _ in range(2):  # the client keeps trying on each call
            with pytest.raises(OSError, match=rf"^connect to 127\.0\.0\.1:{port}: "):
                d.do("call", "add", a=1, b=2)


@KINDS
def test_retry_settings(calc, kind):
    with Driver(kind, calc, 1) as d:
        c = d.client
        assert (c.retries, c.retry_backoff, c.retry_deadline, c.idempotent) == (0, 0.05, None, frozenset())
        c.retries, c.retry_backoff, c.retry_deadline, c.idempotent = 3, 0.01, 2.0, ["add", "echo"]
        assert (c.retries, c.retry_backoff, c.retry_deadline, c.idempotent) == (3, 0.01, 2.0, {"add", "echo"})
        for name, value, error in [("retries", -1, ValueError), ("retries", 1.5, TypeError),
                                   ("retry_backoff", None, ValueError), ("retry_deadline", -1, ValueError),
                                   ("idempotent", "add", TypeError), ("idempotent", [1], TypeError)]:
            with pytest.raises(error):
                setattr(c, name, value)


@KINDS
@pytest.mark.parametrize("idempotent", [False, True])
def test_only_idempotent_calls_are_repeated_once_sent(calc, kind, idempotent):
    received = []

    def takes_and_closes(conn):
        received.append(recv_frame(conn))

    def serves(conn):
        received.append(None)
        serve_adds(conn)

    scripts = (answers_one_add, takes_and_closes, serves) if idempotent else (answers_one_add, takes_and_closes)
    with Peer(*scripts) as peer, Driver(kind, calc, peer.port) as d:
        d.client.retries, d.client.retry_backoff = 3, 0.001
        d.client.idempotent = {"add"} if idempotent else {"echo"}
        d.do("open")
        assert d.do("call", "add", a=1, b=2) == 3
        assert closed.wait(DEADLINE)
        # The stale connection is seen closed before sending; the new one closes after taking the request.
        if idempotent:
            assert d.do("call", "add", a=4, b=5) == 9
            assert len(received) == 2
        else:
            with pytest.raises(OSError):
                d.do("call", "add", a=4, b=5)
            assert len(received) == 1


APP_ERROR = bytes([11, 0, 1, 0, 0, 0, 2]) + b"no" + binary_i32_field(2, 6) + b"\0"


@KINDS
@pytest.mark.parametrize("mtype, body, raised", [(2, OOPS, RuntimeError), (3, APP_ERROR, velvane.ThriftApplicationException)])
def test_errors_in_replies_are_never_repeated(calc, kind, mtype, body, raised):
    requests = []

    def script(conn):
        while True:
            try:
                request = recv_frame(conn)
            except EOFError:
                return
            requests.append(request)
            seqid = int.from_bytes(request[11:15], "big", signed=True)
            conn.sendall(frame(binary_header(b"add", mtype, seqid) + body))

    with Peer(script) as peer, Driver(kind, calc, peer.port, reconnect=True) as d:
        d.client.retries, d.client.retry_backoff, d.client.idempotent = 3, 0.001, ["add"]
        d.do("open")
        with pytest.raises(raised):
            d.do("call", "add", a=1, b=2)
        d.do("close")
        assert len(requests) == 1


@KINDS
def test_a_call_waits_out_a_refusing_server(calc, kind):
    parser, service = calc
    server = velvane.ThriftServer(service)
    server.set_parser(parser)
    server.register_handler("add", lambda a, b: a + b)
    with Peer(answers_one_add) as peer:
        d = Driver(kind, calc, peer.port)
        d.client.retries, d.client.retry_backoff, d.client.retry_deadline = 1000, 0.005, DEADLINE
        d.do("open")
        assert d.do("call", "add", a=1, b=2) == 3
        assert closed.wait(DEADLINE)
    try:
        with d:  # the peer has gone: its port refuses until the server listens there
            call = d.start("call", "add", a=2, b=3)  # not idempotent: only failures to connect are repeated
            server.serve("127.0.0.1", peer.port)
            assert call.result(DEADLINE) == 5
    finally:
        server.stop()


class Backend:
    """A velvane server on a port of its own that stops and serves again; counts the calls it ran."""

    def __init__(self, calc, on_add=None, **options):
        self.parser, self.service = calc
        self.port = free_port()
        self.endpoint = ("127.0.0.1", self.port)
        self.options = options
        self.seen = collections.Counter()
        self.lock = threading.Lock()
        self.on_add = on_add
        self.servers = []
        self.start()

    def add(self, a, b):
        with self.lock:
            self.seen[(a, b)] += 1
            total = sum(self.seen.values())
        if self.on_add:
            self.on_add(total)
        return a + b

    def calls(self):
        with self.lock:
            return sum(self.seen.values())

    def start(self):
        for _ in range(20):  # the old listening socket may linger a moment after stop()
            server = velvane.ThriftServer(self.service, **self.options)
            server.set_parser(self.parser)
            server.register_handler("add", self.add)
            self.servers.append(server)
            server.serve("127.0.0.1", self.port)
            try:
                return wait_for(server.is_running, "the server to listen", deadline=0.5)
            except AssertionError:
                server.stop()
        raise AssertionError("the server did not come back")

    def stop(self):
        """Returns once the port refuses connections and the old ones have ended: stop() itself returns
        at once."""
        self.servers[-1].stop()

        def refuses():
            try:
                socket.create_connection(self.endpoint, timeout=DEADLINE).close()
            except ConnectionRefusedError:
                return True
            except ConnectionResetError:  # accepted by a listener as it closed
                pass
            return False

        wait_for(refuses, "the port to refuse")
        # Its connections end after its listener: a call must not meet one of them after the restart.
        wait_for(lambda: self.servers[-1].stats()["connections_open"] == 0, "the connections to end")

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        for server in self.servers:
            server.stop()


class Attempts(Hooks):
    """Notes each attempt's `before` and `after` per call (by seqid); its `before` sets a header that
    names the attempt. With `coroutine`, the hooks are `async def`. `on_after(ctx, error)` runs last."""

    def __init__(self, coroutine=False, on_after=None):
        super().__init__(coroutine)
        self.calls = collections.defaultdict(list)
        self.on_after = on_after

    def _before(self, ctx, args):
        ctx.headers["attempt"] = str(ctx.attempt)
        self.calls[ctx.seqid].append(("before", ctx.attempt))

    def _after(self, ctx, result, error, duration):
        self.calls[ctx.seqid].append(("after", ctx.attempt, result, type(error).__name__ if error else None))
        if self.on_after:
            self.on_after(ctx, error)

    def journal(self):
        [only] = self.calls.values()
        return only


HOOKED = pytest.mark.parametrize("kind, coroutine", [("blocking", False), ("async", False), ("async", True)],
                                 ids=["blocking", "async, plain hooks", "async, async hooks"])


@HOOKED
def test_interceptors_see_each_attempt_and_send_its_headers(calc, kind, coroutine):
    headers = []
    with Backend(calc, transport=velvane.TransportType.Header) as backend:
        backend.on_add = lambda _: headers.append(velvane.ThriftServer.current_request().headers)
        hooks = Attempts(coroutine, on_after=lambda ctx, error: error and backend.start())
        with Driver(kind, calc, backend.port, transport=velvane.TransportType.Header) as d:
            d.client.retries, d.client.retry_backoff = 3, 0.001
            d.do("open")
            backend.stop()  # refused until the first attempt's `after` starts it again
            d.client.add_interceptor(hooks)
            assert d.do("call", "add", a=3, b=4) == 7
    assert hooks.journal() == [("before", 1), ("after", 1, None, "OSError"), ("before", 2), ("after", 2, 7, None)]
    assert [h["attempt"] for h in headers] == ["2"]


@HOOKED
@pytest.mark.parametrize("idempotent", [False, True])
def test_interceptors_see_a_sent_call_repeated_only_when_idempotent(calc, kind, coroutine, idempotent):
    release = threading.Event()
    hooks = Attempts(coroutine, on_after=lambda ctx, error: release.set())
    with Backend(calc, on_add=lambda total: total == 1 and release.wait(DEADLINE)) as backend:
        with Driver(kind, calc, backend.port) as d:
            d.client.retries, d.client.retry_backoff, d.client.timeout = 3, 0.001, 0.3
            d.client.idempotent = ["add"] if idempotent else []
            d.client.add_interceptor(hooks)
            d.do("open")
            if idempotent:
                assert d.do("call", "add", a=1, b=2) == 3
            else:
                with pytest.raises(TimeoutError):
                    d.do("call", "add", a=1, b=2)
        assert backend.seen[(1, 2)] == (2 if idempotent else 1)
    repeat = [("before", 2), ("after", 2, 3, None)] if idempotent else []
    assert hooks.journal() == [("before", 1), ("after", 1, None, "TimeoutError"), *repeat]


@pytest.mark.parametrize("coroutine", [False, True], ids=["plain hooks", "async hooks"])
@pytest.mark.parametrize("meanwhile", ["cancel", "close"])
def test_a_call_between_attempts_cancelled_or_its_client_closed(calc, coroutine, meanwhile):
    """In the pause after a failed attempt: a cancel ends the call there; a close makes the next
    attempt fail as "not open"."""
    problems = []

    async def main(port):
        asyncio.get_running_loop().set_exception_handler(lambda loop, context: problems.append(context))
        client = velvane.AsyncThriftClient(calc[1], "127.0.0.1", port)
        client.set_parser(calc[0])
        client.timeout, client.retries = DEADLINE, 3
        client.retry_backoff = 1000.0 if meanwhile == "cancel" else 0.001
        pausing = asyncio.Event()

        def after(ctx, error):
            pausing.set()
            if meanwhile == "close":
                client.close()  # its work starts at once: the next attempt finds the client closed

        hooks = Attempts(coroutine, on_after=after)
        client.add_interceptor(hooks)
        await client.open()
        backend.stop()
        call = asyncio.ensure_future(client.call("add", a=1, b=2))
        if meanwhile == "cancel":
            await pausing.wait()
            call.cancel()
            with pytest.raises(asyncio.CancelledError):
                await call
            assert hooks.journal() == [("before", 1), ("after", 1, None, "OSError")]
            backend.start()
            assert await client.call("add", a=2, b=2) == 4  # a fresh call, on a fresh connection
            await client.close()
        else:
            with pytest.raises(OSError, match=NOT_OPEN["async"]):
                await call
            assert hooks.journal() == [("before", 1), ("after", 1, None, "OSError"), ("before", 2),
                                       ("after", 2, None, "OSError")]
        del call
        gc.collect()  # a future left unresolved or unretrieved would complain now

    with Backend(calc) as backend:
        asyncio.run(asyncio.wait_for(main(backend.port), DEADLINE))
        assert backend.calls() == (1 if meanwhile == "cancel" else 0)
    assert problems == []


@KINDS
def test_endpoints_that_go_down_and_come_up(calc, kind):
    with Backend(calc) as a, Backend(calc) as b, Driver(kind, calc, [a.endpoint, b.endpoint], reconnect=True) as d:
        def fresh(x):
            d.do("close")
            d.do("open")  # a new connection: the next endpoint in turn
            return d.do("call", "add", a=x, b=1)

        assert [fresh(i) for i in range(4)] == [1, 2, 3, 4]
        assert (a.calls(), b.calls()) == (2, 2)
        a.stop()  # refused from now on: skipped once it refused a connection
        assert [fresh(i) for i in range(4)] == [1, 2, 3, 4]
        assert (a.calls(), b.calls()) == (2, 6)
        a.start()  # taken again once its back-off (1 s) has passed
        wait_for(lambda: fresh(0) == 1 and a.calls() > 2, "a to take calls again")

        a.stop()
        b.stop()
        failures = []

        def down():  # a call may still go out on a connection whose server is stopping
            try:
                d.do("call", "add", a=0, b=0)
            except OSError as e:
                failures.append(str(e))
                return str(e).startswith("connect to")
            return False

        wait_for(down, "both endpoints to refuse")  # both tried, the last named
        assert re.match(rf"connect to 127\.0\.0\.1:({a.port}|{b.port}): ", failures[-1])
        a.start()  # skipped, but with every endpoint skipped all are tried
        assert d.do("call", "add", a=7, b=1) == 8


@KINDS
def test_a_unix_socket_among_the_endpoints(calc, kind, tmp_path):
    parser, service = calc
    server = velvane.ThriftServer(service)
    server.set_parser(parser)
    server.register_handler("add", lambda a, b: a + b)
    path = "unix:" + str(tmp_path / "calc.sock")
    server.serve(path, 0)
    try:
        server.wait_listening(DEADLINE)
        with Driver(kind, calc, [("127.0.0.1", free_port()), path]) as d:
            for i in range(3):  # whichever goes first, the refusing TCP endpoint is passed over
                d.do("open")
                assert d.do("call", "add", a=i, b=2) == i + 2
                d.do("close")
    finally:
        server.stop()


@pytest.mark.parametrize("kind, connections, hooked", [("async", 1, False), ("async", 4, False), ("async", 4, True),
                                                       ("blocking", 4, False)])
def test_a_server_restarted_under_load(calc, kind, connections, hooked):
    """8 clients with 50 calls each (blocking: one client shared by 8 threads), the server restarted
    halfway: each call succeeds or raises, with the reply to its own request, and runs at most once.
    `hooked`: the clients have interceptors and a list of endpoints, and the hooks see every attempt."""
    halfway = threading.Event()
    backend = Backend(calc, on_add=lambda total: total == 100 and halfway.set(), workers=2)

    def restart():
        assert halfway.wait(DEADLINE)
        backend.stop()
        backend.start()

    hooks = []  # each client's (seqids are a client's own)

    def prepare(c):  # add is not idempotent: only calls that never reached the server are repeated
        c.timeout, c.retries, c.retry_backoff = DEADLINE, 3, 0.01
        if hooked:
            hooks.append(Attempts())
            c.add_interceptor(hooks[-1])
        return c

    async def on_loop():
        where = ([backend.endpoint],) if hooked else backend.endpoint
        cs = [prepare(velvane.AsyncThriftClient(calc[1], *where, reconnect=True, connections=connections))
              for _ in range(8)]
        await asyncio.gather(*(c.open() for c in cs))
        restarting = asyncio.create_task(asyncio.to_thread(restart))
        got = await asyncio.gather(*(c.call("add", a=k, b=i) for k, c in enumerate(cs) for i in range(50)),
                                   return_exceptions=True)
        await restarting
        after = await asyncio.gather(*(c.call("add", a=k, b=1000) for k, c in enumerate(cs)))
        await asyncio.gather(*(c.close() for c in cs))
        return got, after

    def on_threads():
        c = prepare(velvane.ThriftClient(calc[1], *backend.endpoint, reconnect=True, connections=connections))
        c.open()

        def calls(k):
            got = []
            for i in range(50):
                try:
                    got.append(c.call("add", a=k, b=i))
                except Exception as e:  # noqa: BLE001 - checked below
                    got.append(e)
            return got

        with ThreadPoolExecutor(9) as pool:
            restarting = pool.submit(restart)
            got = [r for rs in pool.map(calls, range(8)) for r in rs]
            restarting.result(DEADLINE)
        after = [c.call("add", a=k, b=1000) for k in range(8)]
        c.close()
        return got, after

    with backend:
        got, after = asyncio.run(asyncio.wait_for(on_loop(), 3 * DEADLINE)) if kind == "async" else on_threads()
    seen = backend.seen
    assert after == [k + 1000 for k in range(8)]
    succeeded = 0
    for n, result in enumerate(got):
        k, i = divmod(n, 50)
        if isinstance(result, BaseException):
            assert isinstance(result, OSError), result
        else:
            assert result == k + i
            assert seen[(k, i)] == 1
            succeeded += 1
    assert succeeded >= 100
    assert max(seen.values()) == 1
    journals = [journal for h in hooks for journal in h.calls.values()]
    for journal in journals:  # every attempt of a call, numbered in turn, ran both hooks
        assert [entry[1] for entry in journal] == [n for n in range(1, len(journal) // 2 + 1) for _ in "ba"]
        assert all(entry[3] == "OSError" for entry in journal[1:-1:2])  # the attempts before the last failed
    assert len(journals) == (8 * 51 if hooked else 0)


@KINDS
def test_calls_overlap_on_several_connections(calc, kind):
    lock = threading.Lock()
    active, peak = [0], [0]
    all_in = threading.Event()

    def add(a, b):
        with lock:
            active[0] += 1
            peak[0] = max(peak[0], active[0])
            if active[0] == 4:
                all_in.set()
        all_in.wait(DEADLINE)
        with lock:
            active[0] -= 1
        return a + b

    parser, service = calc
    server = velvane.ThriftServer(service, workers=4)
    server.set_parser(parser)
    server.register_handler("add", add)
    with serving(server) as port, Driver(kind, calc, port, connections=4) as d:
        d.do("open")
        calls = [d.start("call", "add", a=i, b=1) for i in range(40)]  # 8 threads at once, or 40 coroutines
        assert [f.result(DEADLINE) for f in calls] == [i + 1 for i in range(40)]
        d.do("close")
        assert not d.client.is_open()
    assert all_in.is_set() and peak[0] == 4  # four calls ran at once, never more


@KINDS
@pytest.mark.parametrize("options, raised", [
    ({"connections": 0}, ValueError), ({"connections": 257}, ValueError), ({"connections": "2"}, TypeError),
    ({"host": [], "port": None}, ValueError), ({"host": [("127.0.0.1", 1)], "port": 1}, TypeError),
    ({"host": ["127.0.0.1:1"], "port": None}, TypeError), ({"host": [("127.0.0.1",)], "port": None}, TypeError),
    ({"host": [("127.0.0.1", 70000)], "port": None}, OverflowError), ({"port": None}, TypeError),
])
def test_constructor_arguments(calc, kind, options, raised):
    cls = velvane.ThriftClient if kind == "blocking" else velvane.AsyncThriftClient
    given = {"host": "127.0.0.1", "port": 1} | options
    if given["port"] is None:
        del given["port"]
    with pytest.raises(raised):
        cls(calc[1], **given)
