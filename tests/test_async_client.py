"""AsyncThriftClient against scripted peers and our ThriftServer."""
import asyncio
import socket
import threading

import pytest

import velvane
from scripted_peer import DEADLINE, Peer, frame, recv_exact, recv_frame
from server_support import free_port, run_script, serving
from test_client import (ADD_REPLY, ADD_REQUEST, FULL_REPLY, IDL, answer, binary_header, binary_i32_field, reply_body,
                         serve_adds)

T = velvane.TransportType
P = velvane.ProtocolType
NOT_OPEN = r"^AsyncThriftClient is not open; await client.open\(\) first$"


@pytest.fixture
def calc(parse):
    parser = parse(IDL)
    return parser, parser.get_service("Calc")


def aclient(calc, port, transport=T.Framed, protocol=P.Binary):
    parser, service = calc
    c = velvane.AsyncThriftClient(service, "127.0.0.1", port, transport, protocol)
    c.set_parser(parser)
    return c


def run(coro):
    return asyncio.run(asyncio.wait_for(coro, DEADLINE))


async def awaiting(start):
    return await start()


async def waited(event):
    assert await asyncio.to_thread(event.wait, DEADLINE)


@pytest.mark.parametrize("protocol", [P.Binary, P.Compact, P.JSON])
@pytest.mark.parametrize("transport", [T.Framed, T.Buffered])
def test_async_with_round_trip(calc, transport, protocol):
    unsupported = transport == T.Buffered and protocol == P.Compact
    script = (lambda conn: recv_exact(conn, len(ADD_REQUEST[protocol]))) if unsupported else \
        answer(ADD_REQUEST[protocol], ADD_REPLY[protocol], transport)

    async def main(port):
        async with aclient(calc, port, transport, protocol) as c:
            assert isinstance(c, velvane.AsyncThriftClient) and c.is_open()
            if unsupported:
                with pytest.raises(OSError, match="^I/O error: buffered RPC transport currently supports Binary"):
                    await c.call("add", a=1, b=2)
                assert not c.is_open()
                return
            assert await c.call("add", a=1, b=2) == 3
        assert not c.is_open()

    with Peer(script) as peer:
        run(main(peer.port))


def test_errors_at_the_call_and_at_the_await(calc):
    port = free_port()  # bound and never listening: a connection is refused
    c = aclient(calc, port)

    async def main():
        with pytest.raises(ValueError, match="^Unknown method: nosuch$"):
            c.call("nosuch")
        with pytest.raises(TypeError):
            c.call("add", a="x")
        pending = c.call("add", a=1, b=2)
        with pytest.raises(OSError, match=NOT_OPEN):
            await pending
        with pytest.raises(OSError, match=f"^connect to 127.0.0.1:{port}: ."):
            await c.open()
        assert await c.close() is None
        assert not c.is_open()

    run(main())


def test_no_running_loop_raises_at_once_and_connects_nothing(calc):
    with socket.create_server(("127.0.0.1", 0)) as listener:
        c = aclient(calc, listener.getsockname()[1])
        with pytest.raises(ValueError, match="^Unknown method"):
            c.call("nosuch")
        for start in (c.open, c.close, c.__aenter__, lambda: c.__aexit__(None, None, None),
                      lambda: c.call("add", a=1, b=2)):
            with pytest.raises(RuntimeError, match="no running event loop"):
                start()

        async def open_and_close():
            await c.open()
            await c.close()

        run(open_and_close())
        listener.settimeout(DEADLINE)
        listener.accept()[0].close()
        listener.setblocking(False)
        with pytest.raises(BlockingIOError):
            listener.accept()  # only the connection the awaited open() made


def test_close_waits_for_the_call_in_flight(calc):
    received, release, closed = threading.Event(), threading.Event(), threading.Event()

    def slow(conn):
        recv_frame(conn)
        received.set()
        release.wait(DEADLINE)
        conn.sendall(frame(FULL_REPLY))
        if conn.recv(1) == b"":
            closed.set()

    async def main(port):
        c = aclient(calc, port)
        await c.open()
        call = c.call("add", a=1, b=2)
        await waited(received)
        assert c.is_open()
        c.set_parser(calc[0])  # a call in flight holds no borrow of the client
        closing = c.close()
        done = []
        call.add_done_callback(lambda _: done.append("call"))
        closing.add_done_callback(lambda _: done.append("close"))
        await asyncio.sleep(0)
        assert not closing.done()
        release.set()
        assert await call == 3
        await closing
        await asyncio.sleep(0)  # lets the done-callbacks run
        assert done == ["call", "close"] and not c.is_open()
        await waited(closed)

    with Peer(slow) as peer:
        run(main(peer.port))


def test_threads_each_with_its_own_loop_share_a_client(calc):
    with Peer(serve_adds) as peer:
        c = aclient(calc, peer.port)
        run(awaiting(c.open))
        results = {}

        def worker(t):
            async def calls():
                return await asyncio.gather(*(c.call("add", a=t * 1000, b=i) for i in range(25)))
            results[t] = run(calls())

        threads = [threading.Thread(target=worker, args=(t,)) for t in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(DEADLINE)
        assert results == {t: [t * 1000 + i for i in range(25)] for t in range(4)}
        run(awaiting(c.close))


class Adder:
    def add(self, a, b):
        return a + b


@pytest.mark.parametrize("peer, clients, coroutines", [("scripted", 1, 100), ("server", 1, 100), ("server", 8, 50)])
def test_concurrent_coroutines_get_their_own_replies(calc, peer, clients, coroutines):
    async def main(port):
        cs = [aclient(calc, port) for _ in range(clients)]
        await asyncio.gather(*(c.open() for c in cs))
        got = await asyncio.gather(*(c.call("add", a=k * 1000, b=i) for k, c in enumerate(cs)
                                     for i in range(coroutines)))
        assert got == [k * 1000 + i for k in range(clients) for i in range(coroutines)]
        await asyncio.gather(*(c.close() for c in cs))

    if peer == "scripted":
        with Peer(serve_adds) as p:
            run(main(p.port))
        return
    server = velvane.ThriftServer(calc[1], workers=2)
    server.set_parser(calc[0])
    server.register_handler("add", Adder().add)
    with serving(server) as port:
        run(main(port))


def test_a_reply_arrives_while_the_calls_in_line_behind_it_stall(calc):
    # Reports of calls with many others in line may wait to be delivered together; a line that
    # stops moving must not hold back the replies that came before.
    all_in_line = threading.Event()

    def answers_once(conn):
        request = recv_frame(conn)
        all_in_line.wait(DEADLINE)
        seqid = int.from_bytes(request[11:15], "big", signed=True)
        conn.sendall(frame(reply_body(binary_i32_field(0, 3) + b"\0", seqid=seqid)))
        while conn.recv(65536):
            pass

    async def main(port):
        c = aclient(calc, port)
        await c.open()
        calls = [c.call("add", a=1, b=2) for _ in range(12)]
        all_in_line.set()
        assert await calls[0] == 3
        for stalled in calls[1:]:
            stalled.cancel()
        await asyncio.gather(*calls[1:], return_exceptions=True)
        await c.close()

    with Peer(answers_once) as peer:
        run(main(peer.port))


def test_a_request_larger_than_the_socket_buffers_goes_out_whole(calc):
    # A small receive buffer at the handshake keeps the peer's window under 64 KiB for the whole
    # connection, so the kernel takes at most the send buffer (4 MiB at most) plus that at once.
    text = "y" * (8 << 20)

    def script(conn):
        conn.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)  # reads whole windows from now on
        request = recv_frame(conn)
        assert request.endswith(text.encode() + b"\0")
        conn.sendall(frame(reply_body(bytes([11, 0, 0]) + (2).to_bytes(4, "big") + b"ok\0", name=b"name")))

    async def main(port):
        async with aclient(calc, port) as c:
            assert await c.call("name", s=text) == "ok"

    with Peer(script) as peer:
        peer.server.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        run(main(peer.port))


@pytest.mark.parametrize("sent", [0, len(FULL_REPLY) // 2])
@pytest.mark.parametrize("how", ["cancel", "wait_for", "timeout"])
def test_stopping_a_call_before_its_whole_reply_drops_the_connection(calc, how, sent):
    received, dropped = threading.Event(), threading.Event()

    def stalls(conn):
        try:
            recv_frame(conn)
            conn.sendall(frame(FULL_REPLY)[:sent])
            received.set()
            ended = conn.recv(1) == b""
        except (EOFError, ConnectionError):  # a timeout that came first (a loaded machine) may reset it
            ended = True
        if ended:
            dropped.set()

    async def main(port):
        c = aclient(calc, port)
        await c.open()
        if how == "timeout":
            c.timeout = 0.05
        pending = c.call("add", a=1, b=2)
        if how == "cancel":
            await waited(received)
            pending.cancel()
            with pytest.raises(asyncio.CancelledError):
                await pending
        elif how == "wait_for":
            with pytest.raises(TimeoutError):
                await asyncio.wait_for(pending, 0.05)
        else:
            with pytest.raises(TimeoutError, match="^I/O error: timed out$"):
                await pending
        await waited(dropped)
        with pytest.raises(OSError, match=NOT_OPEN):  # in line behind the stopped call, if need be
            await c.call("add", a=1, b=2)
        assert not c.is_open()
        c.timeout = None
        await c.open()
        assert await c.call("add", a=2, b=3) == 5
        await c.close()

    with Peer(stalls, serve_adds) as peer:
        run(main(peer.port))


def test_a_call_cancelled_while_waiting_for_the_lock_leaves_the_connection(calc):
    received, release = threading.Event(), threading.Event()

    def script(conn):
        recv_frame(conn)
        received.set()
        release.wait(DEADLINE)
        conn.sendall(frame(FULL_REPLY))
        serve_adds(conn)

    async def main(port):
        c = aclient(calc, port)
        await c.open()
        first = c.call("add", a=1, b=2)
        await waited(received)
        second = c.call("add", a=5, b=5)
        second.cancel()
        release.set()
        assert await first == 3
        assert second.cancelled()
        assert c.is_open()
        assert await c.call("add", a=2, b=2) == 4
        await c.close()

    with Peer(script) as peer:
        run(main(peer.port))


class NoReaderLoop(asyncio.SelectorEventLoop):
    def add_reader(self, *args):
        raise NotImplementedError


def test_a_loop_that_cannot_watch_descriptors_still_gets_its_results(calc):
    async def main(port):
        c = aclient(calc, port)
        with pytest.raises(OSError, match=NOT_OPEN):
            await c.call("add", a=1, b=2)
        async with c:
            assert await asyncio.gather(*(c.call("add", a=i, b=1) for i in range(10))) == list(range(1, 11))
        assert not c.is_open()

    with Peer(serve_adds) as peer:
        asyncio.run(asyncio.wait_for(main(peer.port), DEADLINE), loop_factory=NoReaderLoop)


@pytest.mark.parametrize("transport, reply, text", [
    (T.Framed, b"\x7f\xff\xff\xff" + bytes(10), "early eof"),
    (T.Buffered, binary_header(b"add", 2, 0) + bytes([15, 0, 0]) + bytes([15, 0, 0, 0, 1]) * 10_000,
     "Depth limit exceeded"),
])
def test_hostile_replies_fail_the_call_and_drop_the_connection(calc, transport, reply, text):
    def script(conn):
        recv_exact(conn, len(ADD_REQUEST[P.Binary]) + (4 if transport == T.Framed else 0))
        try:
            conn.sendall(reply)
            conn.shutdown(socket.SHUT_WR)
        except OSError:
            pass  # the client may have given up on the reply already
        conn.recv(1)

    async def main(port):
        async with aclient(calc, port, transport) as c:
            c.max_message_size = 0  # the 2 GiB claim is taken at its word
            with pytest.raises(OSError, match=f"^I/O error: {text}$"):
                await c.call("add", a=1, b=2)
            assert not c.is_open()

    with Peer(script) as peer:
        run(main(peer.port))


EXIT_SCRIPT = """
import asyncio, atexit, socket, sys, threading
import velvane

parser = velvane.ThriftParser()
parser.parse('service Calc { i32 add(1: i32 a, 2: i32 b) }')
listener = socket.create_server(("127.0.0.1", 0))
received, answer = threading.Event(), threading.Event()
conns = []

def peer():
    conn, _ = listener.accept()
    conns.append(conn)
    conn.recv(1)
    received.set()
    answer.wait()
    reply = bytes([0x80, 1, 0, 2, 0, 0, 0, 3]) + b"add" + bytes(4) + bytes([8, 0, 0, 0, 0, 0, 3, 0])
    try:
        conn.sendall((len(reply).to_bytes(4, "big") + reply) * 100)
    except OSError:
        pass

threading.Thread(target=peer, daemon=True).start()
client = velvane.AsyncThriftClient(parser.get_service("Calc"), "127.0.0.1", listener.getsockname()[1])
atexit.register(answer.set)  # replies arrive while the interpreter exits

async def start_calls():
    await client.open()
    futures = [client.call("add", a=1, b=2) for _ in range(50)]
    await asyncio.to_thread(received.wait)
    return futures

if sys.argv[1] == "loop-closed":
    asyncio.run(start_calls())
else:
    loop = asyncio.new_event_loop()
    threading.Thread(target=loop.run_forever, daemon=True).start()
    asyncio.run_coroutine_threadsafe(start_calls(), loop).result()
print("exiting")
"""


@pytest.mark.parametrize("scenario", ["loop-closed", "loop-running"])
def test_interpreter_exits_cleanly_with_calls_in_flight(scenario):
    for _ in range(3):
        done = run_script(EXIT_SCRIPT.replace("sys.argv[1]", repr(scenario)), timeout=30)
        assert (done.returncode, done.stdout.strip()) == (0, "exiting"), done.stderr


def test_constructor_properties_and_signature(calc):
    service = calc[1]
    assert velvane.AsyncThriftClient.__text_signature__ == "(service, host, port, transport=..., protocol=...)"
    assert velvane.AsyncThriftClient.is_open.__doc__.splitlines() == [
        "Returns `True` if the client currently holds an open TCP connection.",
        "A concurrent in-flight call is also reported as open."]
    with pytest.raises(OverflowError, match="port"):
        velvane.AsyncThriftClient(service, "h", 70000)
    with pytest.raises(TypeError, match="argument 'transport'"):
        velvane.AsyncThriftClient(service, "h", 1, transport=1)
    c = velvane.AsyncThriftClient(port=1, host="h", service=service, protocol=P.JSON, transport=T.Buffered)
    assert (c.transport, c.protocol, c.timeout, c.is_open()) == (T.Buffered, P.JSON, None, False)
    c.transport, c.timeout = T.Framed, 2
    assert (c.transport, c.timeout) == (T.Framed, 2.0)
    for name, value, error in [("protocol", 0, TypeError), ("timeout", -1, ValueError), ("timeout", "1", TypeError)]:
        with pytest.raises(error):
            setattr(c, name, value)
    with pytest.raises(AttributeError, match="can't delete attribute"):
        del c.timeout
    with pytest.raises(TypeError, match="argument 'parser'"):
        c.set_parser(service)
