"""TLS and mutual TLS: round trips with both clients, every refusal, and Apache Thrift's TLS peers.

The certificates are made with the openssl command at test time: a CA, a server certificate for
localhost and 127.0.0.1, a client certificate, an expired one, one for another host, and a second CA
with a client certificate of its own."""
import asyncio
import shutil
import socket
import subprocess
import threading

import pytest

import velvane
from scripted_peer import frame, recv_frame
from server_support import DEADLINE, free_port, serving, stderr_tap, wait_for

if not shutil.which("openssl"):
    pytest.skip("the openssl command is not installed", allow_module_level=True)

IDL = "service S { i32 add(1: i32 a, 2: i32 b), string echo(1: string s) }"
TRANSPORTS = [velvane.TransportType.Framed, velvane.TransportType.Buffered]

CA_CONFIG = """
[ca]
default_ca = d
[d]
database = index.txt
new_certs_dir = .
serial = serial
default_md = sha256
policy = p
unique_subject = no
[p]
commonName = supplied
"""


class Certs:
    """The files of one test session's certificates: certs.server_pem is server.pem."""

    def __init__(self, root):
        self.root = root

    def __getattr__(self, name):
        stem, _, suffix = name.rpartition("_")
        return str(self.root / (f"{stem}.{suffix}" if "." not in name else name))


def _openssl(root, *args):
    subprocess.run(["openssl", *args], cwd=root, check=True, capture_output=True, timeout=60)


def _key_and_request(root, name, subject):
    _openssl(root, "req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
             "-keyout", f"{name}.key", "-out", f"{name}.csr", "-subj", subject)


def _sign(root, ca, name, extensions, dates=None):
    (root / f"{name}.ext").write_text(extensions + "\nauthorityKeyIdentifier=keyid\nsubjectKeyIdentifier=hash\n")
    if dates is None:
        _openssl(root, "x509", "-req", "-in", f"{name}.csr", "-CA", f"{ca}.pem", "-CAkey", f"{ca}.key",
                 "-CAcreateserial", "-days", "30", "-sha256", "-extfile", f"{name}.ext", "-out", f"{name}.pem")
    else:
        _openssl(root, "ca", "-batch", "-config", "ca.cnf", "-cert", f"{ca}.pem", "-keyfile", f"{ca}.key",
                 "-in", f"{name}.csr", "-out", f"{name}.pem", "-startdate", dates[0], "-enddate", dates[1],
                 "-notext", "-extfile", f"{name}.ext")


@pytest.fixture(scope="session")
def certs(tmp_path_factory):
    root = tmp_path_factory.mktemp("tls")
    (root / "ca.cnf").write_text(CA_CONFIG)
    (root / "index.txt").write_text("")
    (root / "serial").write_text("1000\n")
    for ca in ("ca", "other_ca"):
        _openssl(root, "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                 "-keyout", f"{ca}.key", "-out", f"{ca}.pem", "-days", "30", "-subj", f"/CN=Test {ca}",
                 "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    server_ext = "subjectAltName=DNS:localhost,IP:127.0.0.1\nextendedKeyUsage=serverAuth"
    client_ext = "extendedKeyUsage=clientAuth"
    for name, subject, ca, ext, dates in [
        ("server", "/CN=localhost", "ca", server_ext, None),
        ("client", "/O=Example/CN=client one", "ca", client_ext, None),
        ("expired", "/CN=localhost", "ca", server_ext, ("20200101000000Z", "20200201000000Z")),
        ("wrong_host", "/CN=elsewhere.example", "ca", "subjectAltName=DNS:elsewhere.example", None),
        ("stranger", "/CN=stranger", "other_ca", client_ext, None),
    ]:
        _key_and_request(root, name, subject)
        _sign(root, ca, name, ext, dates)
    return Certs(root)


@pytest.fixture
def service(parse):
    return parse(IDL).get_service("S")


def tls_server(service, certs, cert="server", transport=velvane.TransportType.Framed, **tls):
    server = velvane.ThriftServer(service, transport=transport, workers=1)
    server.register_handler("add", lambda a, b: a + b)
    server.register_handler("echo", lambda s: s)
    server.set_tls(getattr(certs, f"{cert}.pem"), getattr(certs, f"{cert}.key"), **tls)
    return server


def blocking_calls(service, port, transport, host="127.0.0.1", **tls):
    client = velvane.ThriftClient(service, host, port, transport)
    client.timeout = DEADLINE
    client.set_tls(**tls)
    with client:
        return client.call("add", a=40, b=2), client.call("echo", s="x" * 200_000)


def async_calls(service, port, transport, host="127.0.0.1", **tls):
    async def run():
        client = velvane.AsyncThriftClient(service, host, port, transport)
        client.timeout = DEADLINE
        client.set_tls(**tls)
        await client.open()
        try:
            # Calls in line on one connection: the next request goes out while a reply is read.
            many = await asyncio.gather(*(client.call("echo", s=str(i) * 5000) for i in range(40)))
            assert many == [str(i) * 5000 for i in range(40)]
            return await client.call("add", a=40, b=2), await client.call("echo", s="x" * 200_000)
        finally:
            await client.close()

    return asyncio.run(run())


CLIENTS = [blocking_calls, async_calls]


@pytest.mark.parametrize("calls", CLIENTS)
@pytest.mark.parametrize("transport", TRANSPORTS)
@pytest.mark.parametrize("mutual", [False, True])
def test_round_trips(service, certs, calls, transport, mutual):
    server_tls = {"cafile": certs.ca_pem, "require_client_cert": True} if mutual else {}
    client_tls = {"certfile": certs.client_pem, "keyfile": certs.client_key} if mutual else {}
    with serving(tls_server(service, certs, transport=transport, **server_tls)) as port:
        for host in ("127.0.0.1", "localhost"):
            assert calls(service, port, transport, host=host, cafile=certs.ca_pem, **client_tls) == (42, "x" * 200_000)


def test_verification_can_be_turned_off_and_the_host_name_given(service, certs):
    with serving(tls_server(service, certs, cert="wrong_host")) as port:
        framed = velvane.TransportType.Framed
        assert blocking_calls(service, port, framed, verify=False)[0] == 42
        assert blocking_calls(service, port, framed, cafile=certs.ca_pem, server_hostname="elsewhere.example")[0] == 42


# (server certificate, server settings, client settings, what the client's error says)
REFUSED_AT_OPEN = {
    "wrong CA": ("server", {}, {"cafile": "other_ca.pem"}, "certificate verify failed: unable to get local issuer"),
    "wrong host": ("wrong_host", {}, {"cafile": "ca.pem"}, "certificate verify failed: hostname mismatch"),
    "expired": ("expired", {}, {"cafile": "ca.pem"}, "certificate verify failed: certificate has expired"),
    "system store": ("server", {}, {}, "certificate verify failed"),
}
# Under TLS 1.3 the server judges the client's certificate after the client finished its handshake:
# the refusal reaches the client at its first call.
REFUSED_CLIENTS = {
    "no client certificate": {"cafile": "ca.pem"},
    "certificate of another CA": {"cafile": "ca.pem", "certfile": "stranger.pem", "keyfile": "stranger.key"},
}


def _files(certs, settings):
    return {k: getattr(certs, v) if k in ("cafile", "certfile", "keyfile") else v for k, v in settings.items()}


def _still_serves(service, certs, port, transport=velvane.TransportType.Framed, **client_tls):
    assert blocking_calls(service, port, transport, cafile=certs.ca_pem, **client_tls)[0] == 42


@pytest.mark.parametrize("calls", CLIENTS)
@pytest.mark.parametrize("case", sorted(REFUSED_AT_OPEN))
def test_a_server_the_client_cannot_trust_is_refused_at_open(service, certs, calls, case):
    cert, server_tls, client_tls, says = REFUSED_AT_OPEN[case]
    with serving(tls_server(service, certs, cert=cert, **server_tls)) as port:
        with pytest.raises(OSError, match=says):
            calls(service, port, velvane.TransportType.Framed, host="localhost", **_files(certs, client_tls))
        assert blocking_calls(service, port, velvane.TransportType.Framed, verify=False)[0] == 42


@pytest.mark.parametrize("calls", CLIENTS)
@pytest.mark.parametrize("case", sorted(REFUSED_CLIENTS))
def test_a_client_the_server_cannot_trust_is_refused_with_one_line(service, certs, calls, case):
    server = tls_server(service, certs, cafile=certs.ca_pem, require_client_cert=True)
    with stderr_tap() as err, serving(server) as port:
        with pytest.raises(OSError):
            calls(service, port, velvane.TransportType.Framed, **_files(certs, REFUSED_CLIENTS[case]))
        _still_serves(service, certs, port, certfile=certs.client_pem, keyfile=certs.client_key)
        wait_for(lambda: "connection error: TLS handshake failed" in err(), "the refusal's line")
        assert err().count("connection error") == 1, err()


@pytest.mark.parametrize("transport", TRANSPORTS)
def test_plaintext_and_tls_peers_on_the_wrong_port_fail_cleanly(service, certs, transport):
    plain = velvane.ThriftServer(service, transport=transport)
    plain.register_handler("add", lambda a, b: a + b)
    with serving(tls_server(service, certs, transport=transport)) as tls_port, serving(plain) as plain_port:
        with pytest.raises(OSError):
            client = velvane.ThriftClient(service, "127.0.0.1", tls_port, transport)
            client.timeout = DEADLINE
            with client:
                client.call("add", a=1, b=2)
        with pytest.raises(OSError, match="TLS handshake failed"):
            blocking_calls(service, plain_port, transport, cafile=certs.ca_pem)
        with velvane.ThriftClient(service, "127.0.0.1", plain_port, transport) as client:
            assert client.call("add", a=1, b=2) == 3
        _still_serves(service, certs, tls_port, transport)


def test_a_stalled_handshake_holds_no_worker_and_times_out(service, certs):
    server = tls_server(service, certs)
    server.idle_timeout = 0.5
    with stderr_tap() as err, serving(server) as port:
        stalled = socket.create_connection(("127.0.0.1", port), timeout=DEADLINE)
        stalled.sendall(b"\x16\x03\x01")  # the start of a record, and then nothing
        _still_serves(service, certs, port)  # the only worker thread is free meanwhile
        assert stalled.recv(1) == b""  # the server gave up on it
        stalled.close()
        wait_for(lambda: "TLS handshake timed out" in err(), "the timeout's line")


def test_a_peer_that_leaves_without_close_notify_ends_quietly(service, certs):
    import ssl

    context = ssl.create_default_context(cafile=certs.ca_pem)
    with stderr_tap() as err, serving(tls_server(service, certs)) as port:
        raw = socket.create_connection(("127.0.0.1", port), timeout=DEADLINE)
        with context.wrap_socket(raw, server_hostname="localhost") as tls:
            tls.do_handshake()
            raw_fd = tls.detach()  # closes the TCP connection below TLS, no close_notify sent
        socket.socket(fileno=raw_fd).close()
        _still_serves(service, certs, port)
        with socket.create_connection(("127.0.0.1", port), timeout=DEADLINE):
            pass  # a probe that leaves before its handshake
        _still_serves(service, certs, port)
        assert "connection error" not in err()


@pytest.mark.parametrize("kind", ["server", "client"])
def test_bad_files_are_refused_at_set_tls(service, certs, kind, tmp_path):
    (tmp_path / "junk.pem").write_text("not a certificate\n")
    if kind == "server":
        set_tls = velvane.ThriftServer(service).set_tls
        missing, junk, mismatch = (
            (str(tmp_path / "nope.pem"), certs.server_key), (str(tmp_path / "junk.pem"), certs.server_key),
            (certs.server_pem, certs.client_key))
    else:
        set_tls = velvane.ThriftClient(service, "127.0.0.1", 1).set_tls
        missing, junk, mismatch = (
            {"cafile": str(tmp_path / "nope.pem")}, {"cafile": str(tmp_path / "junk.pem")},
            {"certfile": certs.client_pem, "keyfile": certs.server_key})
    call = (lambda a: set_tls(*a)) if kind == "server" else (lambda k: set_tls(**k))
    with pytest.raises(OSError, match="nope.pem"):
        call(missing)
    with pytest.raises(ValueError, match="junk.pem"):
        call(junk)
    with pytest.raises(ValueError, match="mismatch"):
        call(mismatch)


# --- Connections served by a pool thread or by the host ----------------------------------------

def served_by(server, where):
    """Plain functions have pool threads serve a connection while its requests keep coming; with
    `async def` handlers the host's loop reads and answers it."""
    if where == "host":
        async def add(a, b):
            return a + b

        async def echo(s):
            return s

        server.register_handler("add", add)
        server.register_handler("echo", echo)
    return server


def _message(seqid, name, args):
    body = b"".join(bytes([8, 0, i + 1]) + v.to_bytes(4, "big", signed=True) if isinstance(v, int) else
                    bytes([11, 0, i + 1]) + len(v).to_bytes(4, "big") + v for i, v in enumerate(args))
    return frame(bytes([0x80, 1, 0, 1]) + len(name).to_bytes(4, "big") + name + seqid.to_bytes(4, "big") + body + b"\0")


def _result(reply):
    """The seqid and the success value of a binary reply."""
    at = 8 + int.from_bytes(reply[4:8], "big")
    seqid, kind, value = int.from_bytes(reply[at:at + 4], "big"), reply[at + 4], reply[at + 7:]
    assert reply[:4] == bytes([0x80, 1, 0, 2]) and reply[at + 5:at + 7] == b"\0\0", reply[:64]
    if kind == 8:
        return seqid, int.from_bytes(value[:4], "big", signed=True)
    return seqid, value[4:4 + int.from_bytes(value[:4], "big")]


def _raw_tls(certs, port, rcvbuf=None):
    import ssl

    raw = socket.socket()
    if rcvbuf:
        raw.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
    raw.settimeout(DEADLINE)
    raw.connect(("127.0.0.1", port))
    return ssl.create_default_context(cafile=certs.ca_pem).wrap_socket(raw, server_hostname="localhost")


@pytest.mark.parametrize("where", ["pool", "host"])
def test_requests_in_line_are_answered_in_order_to_a_peer_that_reads_late(service, certs, where):
    # A request and a reply of many records each, the reply more than the socket buffers hold while
    # the peer is still sending: what the socket does not take goes out later, in order.
    big = b"y" * 3_000_000
    calls = [(b"add", [i, 1]) for i in range(5)] + [(b"echo", [big])] + [(b"echo", [b"%d" % i * 300]) for i in range(20)]
    with stderr_tap() as err, serving(served_by(tls_server(service, certs), where)) as port:
        with _raw_tls(certs, port, rcvbuf=8192) as tls:
            tls.sendall(b"".join(_message(seqid, name, args) for seqid, (name, args) in enumerate(calls)))
            replies = [_result(recv_frame(tls)) for _ in calls]
        expected = [(seqid, args[0] + 1 if name == b"add" else args[0]) for seqid, (name, args) in enumerate(calls)]
        assert replies == expected
        _still_serves(service, certs, port)
        assert "connection error" not in err()


@pytest.mark.parametrize("where", ["pool", "host"])
def test_a_peer_that_leaves_mid_burst_without_close_notify_ends_quietly(service, certs, where):
    with stderr_tap() as err, serving(served_by(tls_server(service, certs), where)) as port:
        tls = _raw_tls(certs, port)
        tls.sendall(b"".join(_message(i, b"echo", [b"z" * 20_000]) for i in range(40)))
        assert _result(recv_frame(tls)) == (0, b"z" * 20_000)
        socket.socket(fileno=tls.detach()).close()  # the rest unread, no close_notify
        _still_serves(service, certs, port)
        assert "connection error" not in err()


@pytest.mark.parametrize("where", ["pool", "host"])
def test_many_tls_clients_at_once_each_get_their_own_replies(service, certs, where):
    def one(n, results):
        client = velvane.ThriftClient(service, "127.0.0.1", port)
        client.timeout = DEADLINE
        client.set_tls(cafile=certs.ca_pem)
        with client:
            results[n] = [client.call("echo", s=f"{n}.{i}." * (1 + 50 * i)) for i in range(30)]

    with serving(served_by(tls_server(service, certs), where)) as port:
        results = {}
        threads = [threading.Thread(target=one, args=(n, results)) for n in range(12)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(DEADLINE * 3)
    assert results == {n: [f"{n}.{i}." * (1 + 50 * i) for i in range(30)] for n in range(12)}


# --- Apache Thrift's TLS peers -------------------------------------------------------------------

@pytest.fixture(scope="module")
def apache(tmp_path_factory):
    from apache_peer import peer_or_skip

    return peer_or_skip(IDL, tmp_path_factory.mktemp("apache_tls"))


@pytest.mark.parametrize("mutual", [False, True])
def test_apache_tls_client_calls_velvane(service, certs, apache, mutual):
    import ssl

    from thrift.protocol import TBinaryProtocol
    from thrift.transport import TSSLSocket, TTransport

    server_tls = {"cafile": certs.ca_pem, "require_client_cert": True} if mutual else {}
    client_tls = {"certfile": certs.client_pem, "keyfile": certs.client_key} if mutual else {}
    with serving(tls_server(service, certs, **server_tls)) as port:
        sock = TSSLSocket.TSSLSocket("localhost", port, cert_reqs=ssl.CERT_REQUIRED, ca_certs=certs.ca_pem,
                                     **client_tls)
        trans = TTransport.TFramedTransport(sock)
        client = apache.module("S").Client(TBinaryProtocol.TBinaryProtocol(trans))
        trans.open()
        try:
            assert client.add(40, 2) == 42
            assert client.echo("é" * 1000) == "é" * 1000
        finally:
            trans.close()


@pytest.mark.parametrize("mutual", [False, True])
def test_velvane_calls_an_apache_tls_server(service, certs, apache, mutual):
    import ssl

    from thrift.protocol import TBinaryProtocol
    from thrift.transport import TSSLSocket, TTransport

    class Handler:
        def add(self, a, b):
            return a + b

        def echo(self, s):
            return s

    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(certs.server_pem, certs.server_key)
    if mutual:
        context.load_verify_locations(certs.ca_pem)
        context.verify_mode = ssl.CERT_REQUIRED
    listen = TSSLSocket.TSSLServerSocket("127.0.0.1", 0, ssl_context=context,
                                         validate_callback=lambda cert, hostname: None)
    listen.listen()
    port = listen.handle.getsockname()[1]
    processor = apache.module("S").Processor(Handler())
    failures = []

    def serve_one():  # one connection, until the client leaves
        try:
            trans = TTransport.TFramedTransport(listen.accept())
            proto = TBinaryProtocol.TBinaryProtocol(trans)
            try:
                while True:
                    processor.process(proto, proto)
            except TTransport.TTransportException:
                pass
            finally:
                trans.close()
        except Exception as e:  # reported by the test's thread
            failures.append(e)

    thread = threading.Thread(target=serve_one, daemon=True)
    thread.start()
    try:
        client_tls = {"certfile": certs.client_pem, "keyfile": certs.client_key} if mutual else {}
        assert blocking_calls(service, port, velvane.TransportType.Framed, host="localhost", cafile=certs.ca_pem,
                              **client_tls) == (42, "x" * 200_000)
        thread.join(DEADLINE)
        assert not thread.is_alive() and not failures, failures
    finally:
        listen.close()


def test_velvane_call_speaks_tls(service, certs, tmp_path):
    import os
    import sys

    script = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "python", "velvane_call.py")
    idl = tmp_path / "s.thrift"
    idl.write_text(IDL)

    def velvane_call(*flags):
        return subprocess.run([sys.executable, script, "call", str(idl), "S.add", '{"a": 40, "b": 2}', "--port",
                               str(port), "--host", "localhost", *flags], capture_output=True, text=True, timeout=60)

    server = tls_server(service, certs, cafile=certs.ca_pem, require_client_cert=True)
    with serving(server) as port:
        identity = ["--cert", certs.client_pem, "--key", certs.client_key]
        done = velvane_call("--cafile", certs.ca_pem, *identity)
        assert (done.returncode, done.stdout.strip()) == (0, "42"), done.stderr
        assert velvane_call("--insecure", *identity).stdout.strip() == "42"
        refused = velvane_call("--tls", *identity)  # the test CA is in no system store
        assert refused.returncode == 2 and "certificate verify failed" in refused.stderr, refused.stderr
        assert velvane_call("--cafile", certs.ca_pem + ".missing").returncode == 3


def test_handlers_see_the_peer_and_its_certificate_subject(service, certs):
    def who(s):
        request = velvane.ThriftServer.current_request()
        return f"{request.peer.rsplit(':', 1)[0]} {request.tls_peer_subject}"

    server = tls_server(service, certs, cafile=certs.ca_pem)
    server.register_handler("echo", who)
    with serving(server) as port:
        client = velvane.ThriftClient(service, "127.0.0.1", port)
        client.timeout = DEADLINE
        client.set_tls(cafile=certs.ca_pem, certfile=certs.client_pem, keyfile=certs.client_key)
        with client:
            assert client.call("echo", s="") == "127.0.0.1 CN=client one,O=Example"
        client.set_tls(cafile=certs.ca_pem)  # no certificate: none to show
        with client:
            assert client.call("echo", s="") == "127.0.0.1 None"
