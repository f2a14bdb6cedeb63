"""What an operator relies on while a ThriftServer runs: the bound address, counters and metrics."""
import re
import socket

import pytest

import velvane
from server_support import DEADLINE, connected, stderr_tap, wait_for

IDL = """
exception Nope { 1: string why }
service Ops {
  i32 add(1: i32 a, 2: i32 b),
  string check(1: string word) throws (1: Nope nope),
}
"""


class Nope(Exception):
    pass


def check(word):
    if word == "bad":
        raise Nope("bad word")
    if word == "boom":
        raise ValueError("undeclared")
    return word


@pytest.fixture
def ops(parse):
    parser = parse(IDL)
    service = parser.get_service("Ops")
    server = velvane.ThriftServer(service)
    server.set_parser(parser)
    server.register_handler("add", lambda a, b: a + b)
    server.register_handler("check", check)
    yield server, service, parser
    server.stop()


def test_wait_listening_gives_the_port_chosen_for_port_0(ops):
    server, service, parser = ops
    with pytest.raises(RuntimeError, match="server is not running"):
        server.wait_listening(0)
    server.serve("127.0.0.1", 0)
    host, port = server.wait_listening(DEADLINE)
    assert host == "127.0.0.1" and port != 0
    assert server.wait_listening() == (host, port)
    with connected(service, parser, port) as client:
        assert client.call("add", a=2, b=3) == 5
    server.stop()

    def ended():
        try:
            server.wait_listening(0)
        except RuntimeError:
            return True
        return False

    wait_for(ended, "wait_listening to see the server end")


def test_wait_listening_raises_the_bind_error_of_a_busy_port(ops):
    server, _, _ = ops
    with socket.create_server(("127.0.0.1", 0)) as busy, stderr_tap():
        port = busy.getsockname()[1]
        server.serve("127.0.0.1", port)
        with pytest.raises(OSError, match=f"^bind error on 127.0.0.1:{port}: ") as raised:
            server.wait_listening(DEADLINE)
    assert type(raised.value) is OSError
    wait_for(lambda: not server.is_running(), "the server to give up")


SAMPLE = re.compile(r'^([a-zA-Z_:][a-zA-Z0-9_:]*)(?:\{((?:[a-zA-Z_][a-zA-Z0-9_]*="(?:[^"\\\n]|\\.)*",?)*)\})? (\S+)$')
LABEL = re.compile(r'([a-zA-Z_][a-zA-Z0-9_]*)="((?:[^"\\\n]|\\.)*)"')


def parse_exposition(text):
    """Checks `text` against the Prometheus text format and returns {(name, labels): value}; each
    sample must belong to a family whose TYPE came before it."""
    assert text.endswith("\n")
    types, samples = {}, {}
    for line in text.splitlines():
        if line.startswith("# TYPE "):
            _, _, name, kind = line.split(" ")
            assert kind in ("counter", "gauge", "histogram") and name not in types
            types[name] = kind
            continue
        if line.startswith("# HELP "):
            continue
        match = SAMPLE.match(line)
        assert match, line
        name, labels, value = match.groups()
        family = re.sub(r"_(bucket|sum|count)$", "", name) if name not in types else name
        assert family in types, line
        labels = tuple(LABEL.findall(labels or ""))
        assert (name, labels) not in samples, line
        samples[name, labels] = float(value)
    return types, samples


def http_get(port, path):
    with socket.create_connection(("127.0.0.1", port), timeout=DEADLINE) as conn:
        conn.sendall(f"GET {path} HTTP/1.1\r\nHost: test\r\n\r\n".encode())
        answer = b""
        while chunk := conn.recv(65536):
            answer += chunk
    head, _, body = answer.partition(b"\r\n\r\n")
    return head.decode().split("\r\n"), body.decode()


def test_stats_and_metrics_count_a_known_mix_of_calls(ops):
    server, service, parser = ops
    server.metrics_path = "/metrics"
    server.serve("127.0.0.1", 0)
    _, port = server.wait_listening(DEADLINE)
    with connected(service, parser, port) as client:
        for i in range(3):
            assert client.call("add", a=i, b=1) == i + 1
        assert client.call("check", word="fine") == "fine"
        with pytest.raises(Exception, match="bad word"):
            client.call("check", word="bad")
        with pytest.raises(velvane.ThriftApplicationException, match="ValueError: undeclared"):
            client.call("check", word="boom")
    with stderr_tap() as errors, socket.create_connection(("127.0.0.1", port), timeout=DEADLINE) as garbage:
        garbage.sendall(b"\x00\x00\x00\x05hello")
        assert garbage.recv(1) == b""
        wait_for(lambda: server.stats()["connections_refused"] == 1 and server.stats()["connections_open"] == 0,
                 "the malformed connection to be counted")
        # The line is written by the console thread, after the count.
        wait_for(lambda: "connection error: Bad version" in errors(), "the malformed connection's error line")

    stats = server.stats()
    assert {k: stats[k] for k in ("connections_accepted", "connections_open", "connections_refused")} == {
        "connections_accepted": 2, "connections_open": 0, "connections_refused": 1}
    assert stats["bytes_in"] > 0 and stats["bytes_out"] > 0
    add, check = stats["methods"]["add"], stats["methods"]["check"]
    assert (add["calls"], add["errors"], check["calls"], check["errors"]) == (3, 0, 3, 2)
    for method in (add, check):
        counts = list(method["latency_buckets"].values())
        assert counts == sorted(counts) and counts[-1] == method["calls"]
        assert list(method["latency_buckets"])[-1] == float("inf") and method["latency_sum"] > 0

    head, body = http_get(port, "/metrics")
    assert head[0] == "HTTP/1.1 200 OK" and "Content-Type: text/plain; version=0.0.4; charset=utf-8" in head
    types, samples = parse_exposition(body)
    assert types["velvane_call_duration_seconds"] == "histogram"
    assert samples["velvane_connections_accepted_total", ()] == 3  # the scrape's own connection too
    assert samples["velvane_connections_open", ()] == 1
    assert samples["velvane_connections_refused_total", ()] == 1
    assert samples["velvane_received_bytes_total", ()] == stats["bytes_in"]
    assert samples["velvane_sent_bytes_total", ()] == stats["bytes_out"]
    for name, method in (("add", add), ("check", check)):
        assert samples["velvane_calls_total", (("method", name),)] == method["calls"]
        assert samples["velvane_call_errors_total", (("method", name),)] == method["errors"]
        assert samples["velvane_call_duration_seconds_count", (("method", name),)] == method["calls"]
        assert samples["velvane_call_duration_seconds_bucket", (("method", name), ("le", "+Inf"))] == method["calls"]
    assert http_get(port, "/other")[0][0] == "HTTP/1.1 404 Not Found"
    with connected(service, parser, port) as client:  # Thrift is still served beside it
        assert client.call("add", a=1, b=1) == 2


@pytest.mark.parametrize("path", ["metrics", "/with space", "/tab\t", ""])
def test_metrics_path_must_be_a_plain_absolute_path(ops, path):
    server, _, _ = ops
    with pytest.raises(ValueError, match="metrics_path must start with '/'"):
        server.metrics_path = path
    assert server.metrics_path is None
