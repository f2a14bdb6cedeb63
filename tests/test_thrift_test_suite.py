"""Apache Thrift's own cross-language test programs against velvane's server and client: standard compact,
standard JSON, multiplexed and header, framed and buffered, both ways. The Python ones (test/py/TestClient.py,
TestServer.py and test/ThriftTest.thrift from Debian testing's thrift source package, fetched by
`tools/bootstrap --thrift-tests`) and the C++ ones (test/cpp's TestClient and TestServer of this release's
package, the version of the installed library, built by tools/thrift-cpp-test-peers), the latter also over
TLS, unix sockets and HTTP. Skipped when the package cannot be fetched."""
import contextlib
import os
import pathlib
import re
import shutil
import socket
import subprocess
import sys
import time

import pytest

import velvane

from server_support import free_port, serving

if not shutil.which("thrift"):
    pytest.skip("the thrift compiler is not installed", allow_module_level=True)

ROOT = pathlib.Path(__file__).resolve().parent.parent
P = velvane.ProtocolType
T = velvane.TransportType


@pytest.fixture(scope="module")
def suite(tmp_path_factory):
    """The fetched directory, and Python code generated from its IDL (without its uuid method and
    field: this machine's compiler predates uuid)."""
    try:
        done = subprocess.run([str(ROOT / "tools" / "bootstrap"), "--thrift-tests"], capture_output=True, text=True,
                              timeout=900)
    except subprocess.TimeoutExpired:
        pytest.skip("fetching Apache Thrift's test suite timed out")
    if done.returncode != 0:
        pytest.skip("Apache Thrift's test suite could not be fetched: " + (done.stderr.strip().splitlines() or [""])[-1])
    directory = pathlib.Path(done.stdout.strip().splitlines()[-1])
    idl = (directory / "ThriftTest.thrift").read_text()
    gen = tmp_path_factory.mktemp("thrift_test")
    stripped = gen / "ThriftTest.thrift"
    stripped.write_text("\n".join(line for line in idl.splitlines() if not re.match(r"\s*(5: )?uuid\s", line)))
    subprocess.run(["thrift", "--gen", "py", "-out", str(gen), str(stripped)], check=True, capture_output=True)
    return directory, idl, gen


class Xception(Exception):
    def __init__(self, errorCode, message):
        super().__init__(message)
        self.errorCode, self.message = errorCode, message


class Xception2(Exception):
    def __init__(self, errorCode, struct_thing):
        super().__init__(errorCode)
        self.errorCode, self.struct_thing = errorCode, struct_thing


def raise_as_asked(arg):
    if arg == "Xception":
        raise Xception(1001, arg)
    if arg == "TException":
        raise RuntimeError("an unexpected failure becomes an application exception")


def raise_or_return(arg0, arg1):
    if arg0 == "Xception":
        raise Xception(1001, "This is an Xception")
    if arg0 == "Xception2":
        raise Xception2(2002, {"string_thing": "This is an Xception2"})
    return {"string_thing": arg1}


HANDLERS = {
    "testVoid": lambda: None,
    "testMapMap": lambda hello: {-4: {-4: -4, -3: -3, -2: -2, -1: -1}, 4: {4: 4, 3: 3, 2: 2, 1: 1}},
    "testMulti": lambda arg0, arg1, arg2, arg3, arg4, arg5: {"string_thing": "Hello2", "byte_thing": arg0,
                                                             "i32_thing": arg1, "i64_thing": arg2},
    "testInsanity": lambda argument: {1: {2: argument, 3: argument}, 2: {6: {}}},
    "testException": raise_as_asked,
    "testMultiException": raise_or_return,
    "testOneway": lambda secondsToSleep: None,
}
ECHOED = ["testString", "testBool", "testByte", "testI32", "testI64", "testDouble", "testBinary", "testUuid",
          "testStruct", "testNest", "testMap", "testStringMap", "testSet", "testList", "testEnum", "testTypedef"]


def thrift_test_server(idl, transport, protocol):
    parser = velvane.ThriftParser(compat=True)
    parser.parse(idl)
    service = parser.get_service("ThriftTest")
    server = velvane.ThriftServer(service, transport, protocol=protocol)
    server.set_parser(parser)
    for name in ECHOED:
        if service.get_method(name):  # older IDLs have no uuid
            server.register_handler(name, lambda thing: thing)
    for name, handler in HANDLERS.items():
        server.register_handler(name, handler)
    server.add_service(parser.get_service("SecondService"))
    server.register_handler("SecondService:secondtestString", lambda thing: f'testString("{thing}")')
    return server


# TestClient's --protocol, its test class, and what our server speaks for it.
PROTOCOLS = {
    "compact": ("CompactTest", P.StandardCompact),
    "json": ("JSONTest", P.StandardJSON),
    "multic": ("MultiplexedCompactTest", P.StandardCompact),
    "multij": ("MultiplexedJSONTest", P.StandardJSON),
    "header": ("HeaderTest", P.Binary),
    "multih": ("MultiplexedHeaderTest", P.Binary),
}
HEADER = {"header", "multih"}
# The header protocol makes its own frames: Apache's test programs run it over their buffered transport
# (over "framed" they put each header frame inside a plain frame).
CASES = [(protocol, transport) for protocol in sorted(PROTOCOLS) for transport in ("framed", "buffered")
         if not (protocol in HEADER and transport == "framed")]


@pytest.mark.parametrize("protocol,transport", CASES)
def test_apache_test_client_against_our_server(suite, protocol, transport):
    directory, idl, gen = suite
    test_class, ours = PROTOCOLS[protocol]
    client_script = directory / "py" / "TestClient.py"
    # Every case but the uuid one (the generated code has none).
    cases = [f"{test_class}.{name}" for name in re.findall(r"    def (test\w+)\(self\)", client_script.read_text())
             if name != "testUuid"]
    server = thrift_test_server(idl, transport_type(protocol, transport), ours)
    with serving(server) as port:
        done = subprocess.run([sys.executable, str(client_script), "--genpydir", str(gen), "--host", "127.0.0.1",
                               "--port", str(port), "--protocol", protocol, "--transport", transport, *cases],
                              capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr
    assert re.search(rf"Ran {len(cases)} tests", done.stderr), done.stderr


def plain(value):
    """A value read by our client as plain data (instances as dicts without unset fields)."""
    if hasattr(value, "to_dict"):
        return {k: plain(v) for k, v in value.to_dict().items() if v is not None}
    if isinstance(value, (list, tuple)):
        return [plain(v) for v in value]
    if isinstance(value, dict):
        return {k: plain(v) for k, v in value.items()}
    return value


def thrift_test_calls(call, second, oneway=True):
    """What TestClient checks, as our client's calls."""
    xtruct = {"string_thing": "Zero", "byte_thing": 1, "i32_thing": -3, "i64_thing": -5}
    assert call("testVoid") is None
    for text in ("", "Python" * 20, "\b\t\n/\\\\\r{}:\u30d1\u30a4\u30bd\u30f3\""):
        assert call("testString", thing=text) == text
    for name, values in (("testBool", [True, False]), ("testByte", [63, -127]), ("testI32", [-1, 0, 2**31 - 1]),
                         ("testI64", [1, -34359738368, -2**63]), ("testDouble", [-5.235098235, 0.0, -0.000341012439638598279]),
                         ("testBinary", [bytes(range(256))]), ("testEnum", [5]), ("testTypedef", [0xffffffffffffff])):
        for value in values:
            assert call(name, thing=value) == value, name
    assert plain(call("testStruct", thing=xtruct)) == xtruct
    nest = {"struct_thing": xtruct, "byte_thing": 0, "i32_thing": 0}
    assert plain(call("testNest", thing=nest)) == nest
    assert call("testMap", thing={0: 1, 1: 2, -1: -2}) == {0: 1, 1: 2, -1: -2}
    assert call("testStringMap", thing={"a": "\u00e9", "": "b"}) == {"a": "\u00e9", "": "b"}
    assert sorted(call("testSet", thing=[8, 1, 42])) == [1, 8, 42]
    assert call("testList", thing=[1, 4, 9, -42]) == [1, 4, 9, -42]
    assert call("testMapMap", hello=42) == {-4: {-4: -4, -3: -3, -2: -2, -1: -1}, 4: {4: 4, 3: 3, 2: 2, 1: 1}}
    insanity = {"userMap": {5: 5000}, "xtructs": [xtruct]}
    insane = plain(call("testInsanity", argument=insanity))
    # The second entry is an empty Insanity: some peers send its containers empty, others leave them out.
    assert insane[1] == {2: insanity, 3: insanity} and list(insane[2]) == [6] and not any(insane[2][6].values())
    assert plain(call("testMulti", arg0=74, arg1=0xff00ff, arg2=0xffffffffd0d0, arg3={0: "abc"}, arg4=5,
                      arg5=0xf0f0f0)) == {"string_thing": "Hello2", "byte_thing": 74, "i32_thing": 0xff00ff,
                                          "i64_thing": 0xffffffffd0d0}
    assert call("testException", arg="Safe") is None
    with pytest.raises(RuntimeError, match=r"Service exception 'err1' \(field 1\)") as raised:
        call("testException", arg="Xception")
    assert raised.value.value.errorCode == 1001
    with pytest.raises(velvane.ThriftApplicationException):
        call("testException", arg="TException")
    with pytest.raises(RuntimeError) as raised:
        call("testMultiException", arg0="Xception2", arg1="ignore")
    assert (raised.value.name, raised.value.value.errorCode) == ("err2", 2002)
    assert plain(call("testMultiException", arg0="success", arg1="foobar"))["string_thing"] == "foobar"
    if oneway:
        assert call("testOneway", secondsToSleep=0) is None
        assert call("testString", thing="after oneway") == "after oneway"
    if second:
        assert second("secondtestString", thing="foobar") == 'testString("foobar")'


def wait_connectable(place, deadline=20.0):
    """Waits until a loopback port, or a unix socket's path, accepts connections."""
    end = time.monotonic() + deadline
    while time.monotonic() < end:
        try:
            if isinstance(place, int):
                socket.create_connection(("127.0.0.1", place), timeout=1).close()
            else:
                with socket.socket(socket.AF_UNIX) as unix:
                    unix.connect(place)
            return
        except OSError:
            time.sleep(0.05)
    raise TimeoutError(f"Apache's TestServer did not listen on {place} within {deadline} s")


def transport_type(protocol, transport):
    """Our transport for the test programs' --protocol and --transport."""
    return T.Header if protocol in HEADER else {"framed": T.Framed, "buffered": T.Buffered, "http": T.Http}[transport]


def run_thrift_test_calls(idl, port, protocol, transport, ours, host="127.0.0.1", **tls):
    """Our client's ThriftTest calls against a peer's server on the port, as `protocol` (the test programs'
    name) over `transport`; TLS with `tls` (set_tls's arguments) when given."""
    parser = velvane.ThriftParser(compat=True)
    parser.parse(idl)
    kind = transport_type(protocol, transport)
    multiplexed = protocol.startswith("multi")
    names = ("ThriftTest", "SecondService")
    clients = [velvane.ThriftClient(parser.get_service(name), host, port, kind, ours) for name in names]
    for name, client in zip(names, clients):
        client.set_parser(parser)
        client.timeout = 10.0
        if tls:
            client.set_tls(**tls)
        if multiplexed:
            client.service_name = name
        client.open()
    try:
        thrift_test_calls(clients[0].call, clients[1].call if multiplexed else None, oneway=transport != "http")
    finally:
        for client in clients:
            client.close()


@contextlib.contextmanager
def running(command):
    """Runs a peer's test server for the block, once its --port (or --domain-socket) accepts connections."""
    child = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
    try:
        if "--domain-socket" in command:
            wait_connectable(command[command.index("--domain-socket") + 1])
        else:
            wait_connectable(int(command[command.index("--port") + 1]))
        yield
    finally:
        child.terminate()
        try:
            child.wait(timeout=5)
        except subprocess.TimeoutExpired:
            child.kill()
            child.wait()


@pytest.mark.parametrize("protocol,transport", CASES)
def test_our_client_against_apache_test_server(suite, protocol, transport):
    directory, idl, gen = suite
    port = free_port()
    with running([sys.executable, str(directory / "py" / "TestServer.py"), "--genpydir", str(gen), "-q",
                  "--protocol", protocol, "--transport", transport, "--port", str(port), "TThreadedServer"]):
        run_thrift_test_calls(idl, port, protocol, transport, PROTOCOLS[protocol][1])


@pytest.fixture(scope="module")
def cpp_suite():
    """Apache's C++ TestClient and TestServer, built by tools/thrift-cpp-test-peers (kept in the build
    directory), and the IDL they were built from."""
    build = pathlib.Path(os.environ.get("VELVANE_BUILD_DIR", ROOT / "build"))
    try:
        done = subprocess.run([str(ROOT / "tools" / "thrift-cpp-test-peers"), str(build / "thrift-cpp-tests")],
                              capture_output=True, text=True, timeout=900)
    except subprocess.TimeoutExpired:
        pytest.skip("fetching or building Apache Thrift's C++ test programs timed out")
    if done.returncode == 3:
        pytest.skip("Apache Thrift's C++ test programs could not be fetched: "
                    + (done.stderr.strip().splitlines() or [""])[-1])
    assert done.returncode == 0, done.stderr
    directory = pathlib.Path(done.stdout.strip().splitlines()[-1])
    return directory, (directory / "ThriftTest.thrift").read_text()


# The C++ programs' --protocol names (also `multi`: multiplexed binary), and what we speak for each (Apache's
# C++ header transport carries compact, its Python one binary).
CPP_PROTOCOLS = {"multi": P.Binary, **{name: ours for name, (_, ours) in PROTOCOLS.items()},
                 **{name: P.StandardCompact for name in HEADER}}
CPP_CASES = [(protocol, transport) for protocol in sorted(CPP_PROTOCOLS) for transport in ("framed", "buffered")
             if not (protocol in HEADER and transport == "framed")]


@pytest.mark.parametrize("protocol,transport", CPP_CASES)
def test_apache_cpp_test_client_against_our_server(cpp_suite, protocol, transport):
    directory, idl = cpp_suite
    with serving(thrift_test_server(idl, transport_type(protocol, transport), CPP_PROTOCOLS[protocol])) as port:
        done = subprocess.run([str(directory / "TestClient"), "--host", "127.0.0.1", "--port", str(port),
                               "--protocol", protocol, "--transport", transport],
                              capture_output=True, text=True, errors="replace", timeout=120)
    assert done.returncode == 0 and "All tests done." in done.stdout, done.stdout + done.stderr


@pytest.mark.parametrize("protocol,transport", CPP_CASES)
def test_our_client_against_apache_cpp_test_server(cpp_suite, protocol, transport):
    directory, idl = cpp_suite
    port = free_port()
    with running([str(directory / "TestServer"), "--server-type", "threaded", "--protocol", protocol,
                  "--transport", transport, "--port", str(port)]):
        run_thrift_test_calls(idl, port, protocol, transport, CPP_PROTOCOLS[protocol])


# The C++ programs' other ways to reach a peer (in standard compact): TLS (ours asks for the client's
# certificate), a unix socket and HTTP. Apache's C++ HTTP transport answers no oneway request and reads
# no answer to one, where its Python and Java ones, and ours, answer each with an empty 200: over HTTP
# its TestClient (which always calls testOneway) cannot run against these, and ours leaves oneway out.
WAYS = {"ssl": ["--ssl"], "domain-socket": [], "http": ["--transport", "http"]}


@pytest.fixture(scope="module")
def cpp_keys(cpp_suite, tmp_path_factory):
    """A directory with keys/ (a CA, server.crt/.key, client.crt/.key, made with the openssl command) and
    links to the C++ programs two levels below it, where they look for their certificates."""
    if not shutil.which("openssl"):
        pytest.skip("the openssl command is not installed")
    from test_tls import _key_and_request, _openssl, _sign

    root = tmp_path_factory.mktemp("cpp_keys")
    keys = root / "keys"
    keys.mkdir()
    _openssl(keys, "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
             "-keyout", "CA.key", "-out", "CA.pem", "-days", "30", "-subj", "/CN=Test CA",
             "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    for name, subject, ext in [("server", "/CN=localhost", "subjectAltName=DNS:localhost,IP:127.0.0.1"),
                               ("client", "/CN=client", "extendedKeyUsage=clientAuth")]:
        _key_and_request(keys, name, subject)
        _sign(keys, "CA", name, ext)
        (keys / f"{name}.pem").rename(keys / f"{name}.crt")
    programs = root / "test" / "cpp"
    programs.mkdir(parents=True)
    for program in ("TestClient", "TestServer"):
        (programs / program).symlink_to(cpp_suite[0] / program)
    return root


@pytest.mark.parametrize("way", sorted(set(WAYS) - {"http"}))
def test_apache_cpp_test_client_reaches_our_server(cpp_suite, cpp_keys, way):
    keys = cpp_keys / "keys"
    server = thrift_test_server(cpp_suite[1], T.Http if way == "http" else T.Buffered, P.StandardCompact)
    if way == "ssl":
        server.set_tls(keys / "server.crt", keys / "server.key", cafile=keys / "CA.pem", require_client_cert=True)
    unix = cpp_keys / "our.sock"
    server.serve(f"unix:{unix}" if way == "domain-socket" else "127.0.0.1", 0)
    try:
        _, port = server.wait_listening(10.0)
        place = ["--domain-socket", str(unix)] if way == "domain-socket" else ["--host", "127.0.0.1", "--port", str(port)]
        done = subprocess.run([str(cpp_keys / "test" / "cpp" / "TestClient"), *place, "--protocol", "compact",
                               *WAYS[way]], capture_output=True, text=True, errors="replace", timeout=120)
    finally:
        server.stop()
    assert done.returncode == 0 and "All tests done." in done.stdout, done.stdout + done.stderr


@pytest.mark.parametrize("way", sorted(WAYS))
def test_our_client_reaches_apache_cpp_test_server(cpp_suite, cpp_keys, way):
    keys = cpp_keys / "keys"
    unix = cpp_keys / "theirs.sock"
    port = free_port()
    place = ["--domain-socket", str(unix)] if way == "domain-socket" else ["--port", str(port)]
    with running([str(cpp_keys / "test" / "cpp" / "TestServer"), "--server-type", "threaded", "--protocol", "compact",
                  *place, *WAYS[way]]):
        run_thrift_test_calls(cpp_suite[1], 0 if way == "domain-socket" else port, "compact",
                              "http" if way == "http" else "buffered", P.StandardCompact,
                              host=f"unix:{unix}" if way == "domain-socket" else "127.0.0.1",
                              **({"cafile": str(keys / "CA.pem")} if way == "ssl" else {}))
