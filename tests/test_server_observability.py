"""What a server tells its operator and its handlers: logging, the request context, interceptors."""
import asyncio
import logging
import re
import socket
import struct
import threading

import pytest

import velvane
from server_support import DEADLINE, Hooks, connected, free_port, run_script, stderr_tap, wait_for

IDL = """
exception Nope { 1: string why }
service Obs {
  i32 add(1: i32 a, 2: i32 b),
  string check(1: string word) throws (1: Nope nope),
  string who(),
}
"""


class Nope(Exception):
    pass


def check(word):
    if word == "bad":
        raise Nope("bad word")
    if word == "boom":
        raise ValueError("undeclared " + word)
    return word


async def async_check(word):
    await asyncio.sleep(0)
    return check(word)


class Records(logging.Handler):
    """Keeps every record; `until(text)` waits for a record whose message starts with it."""

    def __init__(self):
        super().__init__(logging.DEBUG)
        self.records = []
        self.changed = threading.Condition()

    def emit(self, record):
        with self.changed:
            self.records.append(record)
            self.changed.notify_all()

    def until(self, text):
        with self.changed:
            found = self.changed.wait_for(lambda: any(r.getMessage().startswith(text) for r in self.records),
                                          DEADLINE)
        assert found, f"no record {text!r} in {[r.getMessage() for r in self.records]}"


@pytest.fixture
def records():
    handler = Records()
    logger = logging.getLogger(f"velvane-test-{id(handler)}")
    logger.setLevel(logging.DEBUG)
    logger.propagate = False
    logger.addHandler(handler)
    yield logger, handler
    logger.removeHandler(handler)


@pytest.fixture
def obs(parse):
    parser = parse(IDL)
    service = parser.get_service("Obs")
    server = velvane.ThriftServer(service)
    server.set_parser(parser)
    server.register_handler("add", lambda a, b: a + b)
    server.register_handler("check", check)
    yield server, service, parser
    server.stop()


def start(server):
    server.serve("127.0.0.1", 0)
    return server.wait_listening(DEADLINE)[1]


# --- Logging ---------------------------------------------------------------------------------------

def test_logger_gets_every_line_in_order_with_levels_extras_and_tracebacks(obs, records):
    server, service, parser = obs
    logger, handler = records
    server.set_logger(logger)
    with stderr_tap() as err, stderr_tap(1) as out:
        port = start(server)
        with connected(service, parser, port) as client:
            for _ in range(3):
                with pytest.raises(velvane.ThriftApplicationException, match="undeclared boom"):
                    client.call("check", word="boom")
        garbage = socket.create_connection(("127.0.0.1", port))
        garbage.sendall(struct.pack(">i", 5) + b"\xff" * 5)  # a frame that is no message
        peer = "%s:%d" % garbage.getsockname()
        handler.until("connection error")
        garbage.close()
        server.stop()
        handler.until("shutdown requested")
        assert "boom" not in err() + out() and "shutdown" not in out()  # the descriptors saw none of it

    seen = [(r.levelno, r.getMessage().split(":")[0]) for r in handler.records]
    assert seen == [(logging.INFO, f"ThriftServer (Framed, 1 workers) listening on 127.0.0.1"),
                    *[(logging.ERROR, "handler error")] * 3,
                    (logging.WARNING, "connection error"), (logging.INFO, "shutdown requested")]
    failed = handler.records[1]
    assert (failed.method, failed.error_kind) == ("check", "ValueError")
    assert re.fullmatch(r"127\.0\.0\.1:\d+", failed.peer)
    assert failed.exc_info[0] is ValueError
    assert "in check" in logging.Formatter().format(failed)  # the traceback reaches the handler's frame
    refused = handler.records[4]
    assert (refused.peer, refused.error_kind, refused.method) == (peer, "InvalidData", None)
    assert {r.threadName for r in handler.records} != {threading.current_thread().name}


def test_bind_error_is_logged_at_error(obs, records):
    server, _, _ = obs
    logger, handler = records
    server.set_logger(logger)
    busy = socket.socket()
    busy.bind(("127.0.0.1", 0))
    busy.listen()
    server.serve("127.0.0.1", busy.getsockname()[1])
    with pytest.raises(OSError, match="bind error"):
        server.wait_listening(DEADLINE)
    handler.until("bind error")
    record = next(r for r in handler.records if r.getMessage().startswith("bind error"))
    assert (record.levelno, record.error_kind) == (logging.ERROR, "Os")
    busy.close()


def test_a_slow_logging_handler_does_not_hold_up_serving(obs, records):
    server, service, parser = obs
    logger, _ = records
    entered, release = threading.Event(), threading.Event()

    class Stuck(logging.Handler):
        def emit(self, record):
            entered.set()
            release.wait(DEADLINE)

    logger.addHandler(Stuck())
    server.set_logger(logger)
    port = start(server)  # its status line blocks the logging thread
    assert entered.wait(DEADLINE)
    try:
        with connected(service, parser, port) as client:
            for _ in range(20):
                with pytest.raises(velvane.ThriftApplicationException):
                    client.call("check", word="boom")  # each queues a record behind the stuck one
            assert client.call("add", a=2, b=3) == 5
        assert not release.is_set()
    finally:
        release.set()
        server.stop()


# --- The request context ---------------------------------------------------------------------------

@pytest.mark.parametrize("coroutine", [False, True], ids=["plain", "async"])
def test_current_request_inside_handlers(obs, coroutine):
    server, service, parser = obs
    seen = {}

    def look(where):
        ctx = velvane.ThriftServer.current_request()
        seen[where] = ctx
        return ctx

    def who():
        return look("plain").peer

    async def async_who():
        first = look("before await")
        await asyncio.sleep(0.001)
        assert look("after await") is first
        return first.peer

    server.register_handler("who", async_who if coroutine else who)
    port = start(server)
    client_seqids = []

    class Seqids:
        def before(self, ctx, args):
            client_seqids.append(ctx.seqid)

    with connected(service, parser, port) as client:
        client.add_interceptor(Seqids())
        client.call("add", a=1, b=1)
        peer = client.call("who")
    server.stop()
    ctx = seen["after await" if coroutine else "plain"]
    assert peer == ctx.peer and re.fullmatch(r"127\.0\.0\.1:\d+", peer) and not peer.endswith(f":{port}")
    assert (ctx.method, ctx.seqid) == ("who", client_seqids[-1])
    assert (ctx.protocol, ctx.transport) == (velvane.ProtocolType.Binary, velvane.TransportType.Framed)
    assert (ctx.headers, ctx.tls_peer_subject, ctx.deadline) == ({}, None, None)
    assert isinstance(ctx, velvane.ThriftServer.RequestContext)
    assert repr(ctx) == f"RequestContext(method='who', seqid={ctx.seqid}, peer='{peer}')"
    assert velvane.ThriftServer.current_request() is None


# --- Interceptors ----------------------------------------------------------------------------------

class Journal(Hooks):
    """Notes its hooks' calls in a shared list under its name."""

    def __init__(self, name, journal, reject=None, coroutine=False):
        super().__init__(coroutine)
        self.name, self.journal, self.reject = name, journal, reject

    def _before(self, ctx, args):
        self.journal.append((self.name, "before", ctx.method, dict(args)))
        if self.reject and ctx.method == "add":
            raise self.reject("no adding")

    def _after(self, ctx, result, error, duration):
        assert duration >= 0
        self.journal.append((self.name, "after", result, type(error).__name__ if error else None))


@pytest.mark.parametrize("coroutine, async_hooks", [(False, False), (True, True), (True, False)],
                         ids=["plain", "async", "async handlers, plain hooks"])
def test_server_interceptors_wrap_calls_in_order_and_can_reject(obs, records, coroutine, async_hooks):
    server, service, parser = obs
    logger, handler = records
    server.set_logger(logger)
    journal, added = [], []
    if coroutine:
        async def straight_check(word):  # (no await: runs at once, hooks and all)
            return check(word)
        server.register_handler("check", async_check if async_hooks else straight_check)

        async def add(a, b):
            added.append((a, b))
            return a + b
    else:
        def add(a, b):
            added.append((a, b))
            return a + b
    server.register_handler("add", add)
    server.add_interceptor(Journal("outer", journal, coroutine=async_hooks))
    server.add_interceptor(Journal("inner", journal, reject=Nope, coroutine=async_hooks))
    port = start(server)
    with connected(service, parser, port) as client:
        assert client.call("check", word="ok") == "ok"
        with pytest.raises(RuntimeError) as declared:
            client.call("check", word="bad")
        with pytest.raises(velvane.ThriftApplicationException, match="Nope: no adding") as refused:
            client.call("add", a=1, b=2)  # a declared exception class still refuses as an application error
    server.stop()
    assert declared.value.type == "Nope" and refused.value.type_ == 6 and added == []
    handler.until("call refused")
    record = next(r for r in handler.records if r.getMessage().startswith("call refused"))
    assert (record.levelno, record.method, record.error_kind) == (logging.WARNING, "add", "Nope")
    assert journal == [
        ("outer", "before", "check", {"word": "ok"}), ("inner", "before", "check", {"word": "ok"}),
        ("inner", "after", "ok", None), ("outer", "after", "ok", None),
        ("outer", "before", "check", {"word": "bad"}), ("inner", "before", "check", {"word": "bad"}),
        ("inner", "after", None, "Nope"), ("outer", "after", None, "Nope"),
        ("outer", "before", "add", {"a": 1, "b": 2}), ("inner", "before", "add", {"a": 1, "b": 2}),
    ]


@pytest.mark.parametrize("where", ["before", "after"])
def test_an_awaitable_from_a_plain_hook_is_awaited_in_order_around_an_async_handler(obs, where):
    server, service, parser = obs
    journal = []

    async def later(what):
        await asyncio.sleep(0)
        journal.append((what, asyncio.current_task() is not None))

    class Deferring:
        def __init__(self, name, defer):
            self.name, self.defer = name, defer

        def before(self, ctx, args):
            journal.append(f"{self.name} before")
            return later(f"{self.name} before awaited") if self.defer == "before" else None

        def after(self, ctx, result, error, duration):
            journal.append(f"{self.name} after {result}")
            return later(f"{self.name} after awaited") if self.defer == "after" else None

    async def add(a, b):  # (no await: the call runs at once until a hook returns an awaitable)
        journal.append("add")
        return a + b

    server.register_handler("add", add)
    server.add_interceptor(Deferring("outer", "before" if where == "before" else None))
    server.add_interceptor(Deferring("inner", "after" if where == "after" else None))
    port = start(server)
    with connected(service, parser, port) as client:
        assert client.call("add", a=1, b=2) == 3
    server.stop()
    awaited = (f"{'outer' if where == 'before' else 'inner'} {where} awaited", True)  # in a task
    expected = ["outer before", "inner before", "add", "inner after 3", "outer after 3"]
    expected.insert(1 if where == "before" else 4, awaited)
    assert journal == expected


def test_an_async_hook_on_a_plain_handler_fails_the_call(obs):
    server, service, parser = obs
    server.add_interceptor(Journal("async", [], coroutine=True))
    port = start(server)
    with connected(service, parser, port) as client:
        with pytest.raises(velvane.ThriftApplicationException, match="TypeError: an async def interceptor hook"):
            client.call("add", a=1, b=2)
    server.stop()


def test_before_hooks_may_rewrite_arguments_on_both_sides(obs):
    server, service, parser = obs

    class Double:
        def before(self, ctx, args):
            args["a"] *= 2

    server.add_interceptor(Double())
    port = start(server)
    with connected(service, parser, port) as client:
        client.add_interceptor(Double())
        assert client.call("add", a=5, b=1) == 21
    server.stop()


def test_client_interceptors_see_each_attempt_and_can_reject_before_sending(obs):
    server, service, parser = obs
    port = free_port()  # refuses connections once the server is gone
    server.serve("127.0.0.1", port)
    server.wait_listening(DEADLINE)
    journal = []
    client = velvane.ThriftClient(service, "127.0.0.1", port)
    client.set_parser(parser)
    client.add_interceptor(Journal("j", journal, reject=PermissionError))

    class Attempts:
        def before(self, ctx, args):
            ctx.headers["trace"] = f"t-{ctx.seqid}"
            journal.append(("attempt", ctx.attempt, repr(ctx)))

        def after(self, ctx, result, error, duration):
            journal.append(("headers", dict(ctx.headers)))

    client.add_interceptor(Attempts())
    with client:
        with pytest.raises(PermissionError, match="no adding"):
            client.call("add", a=1, b=2)
        assert server.stats()["methods"]["add"]["calls"] == 0  # nothing was sent
        assert client.call("check", word="fine") == "fine"
        server.stop()
        wait_for(lambda: server.stats()["connections_open"] == 0, "the server to drop its connections")
        client.retries, client.retry_backoff = 2, 0
        with pytest.raises(OSError):
            client.call("check", word="gone")
    attempts = [entry[1] for entry in journal if entry[0] == "attempt"]
    assert attempts == [1, 1, 2, 3]
    assert ("attempt", 1, "CallContext(method='check', seqid=1, attempt=1)") in journal
    assert ("headers", {"trace": "t-1"}) in journal
    assert [e for e in journal if e[1] == "after" and e[0] == "j"] == [
        ("j", "after", "fine", None), *[("j", "after", None, "OSError")] * 3]


@pytest.mark.parametrize("coroutine", [False, True], ids=["plain hooks", "async hooks"])
def test_async_client_runs_hooks_and_rejects_without_sending(obs, coroutine):
    server, service, parser = obs
    port = start(server)
    journal = []

    async def main():
        client = velvane.AsyncThriftClient(service, "127.0.0.1", port)
        client.set_parser(parser)
        client.add_interceptor(Journal("a", journal, reject=PermissionError, coroutine=coroutine))
        async with client:
            future = client.call("check", word="hi")
            assert isinstance(future, asyncio.Future)
            assert await future == "hi"
            with pytest.raises(PermissionError):
                await client.call("add", a=1, b=2)

    asyncio.run(main())
    server.stop()  # inside the test: a server still running at its end is waited for
    assert server.stats()["methods"]["add"]["calls"] == 0
    assert journal == [("a", "before", "check", {"word": "hi"}), ("a", "after", "hi", None),
                       ("a", "before", "add", {"a": 1, "b": 2})]


def test_add_interceptor_needs_a_hook(obs):
    server, service, _ = obs
    with pytest.raises(TypeError, match="before or an after"):
        server.add_interceptor(object())
    with pytest.raises(TypeError, match="before or an after"):
        velvane.ThriftClient(service, "127.0.0.1", free_port()).add_interceptor(object())


def test_a_server_dropped_with_its_interceptors_and_logger_ends_cleanly():
    done = run_script("""
        import logging, velvane
        parser = velvane.ThriftParser()
        parser.parse("service S { i32 add(1: i32 a, 2: i32 b) }")
        service = parser.get_service("S")

        class NoOp:
            def before(self, ctx, args): pass

        for _ in range(20):
            server = velvane.ThriftServer(service)
            server.register_handler("add", lambda a, b: a + b)
            server.add_interceptor(NoOp())
            server.set_logger(logging.getLogger("dropped"))
            server.serve("127.0.0.1", 0)
            port = server.wait_listening(10)[1]
            with velvane.ThriftClient(service, "127.0.0.1", port) as client:
                assert client.call("add", a=1, b=2) == 3
            server.stop()
            del server  # the running server's snapshot is the last owner of the interceptors
        print("done")
    """)
    assert (done.returncode, done.stdout.strip()) == (0, "done"), done.stderr
