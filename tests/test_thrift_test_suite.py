"""Apache Thrift's own cross-language test client (test/py/TestClient.py and test/ThriftTest.thrift from
Debian's thrift source package, fetched by `tools/bootstrap --thrift-tests`) against velvane's server:
standard compact, standard JSON, multiplexed and header. Skipped when the package cannot be fetched."""
import pathlib
import re
import shutil
import subprocess
import sys

import pytest

import velvane

from server_support import serving

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
    "testException": raise_as_asked,
    "testMultiException": raise_or_return,
    "testOneway": lambda secondsToSleep: None,
}
ECHOED = ["testString", "testBool", "testByte", "testI32", "testI64", "testDouble", "testBinary", "testUuid",
          "testStruct", "testNest", "testMap", "testStringMap", "testSet", "testList", "testEnum", "testTypedef"]


def thrift_test_server(idl, transport, protocol):
    parser = velvane.ThriftParser(compat=True)
    parser.parse(idl)
    server = velvane.ThriftServer(parser.get_service("ThriftTest"), transport, protocol=protocol)
    server.set_parser(parser)
    for name in ECHOED:
        server.register_handler(name, lambda thing: thing)
    for name, handler in HANDLERS.items():
        server.register_handler(name, handler)
    server.add_service(parser.get_service("SecondService"))
    server.register_handler("SecondService:secondtestString", lambda thing: f'testString("{thing}")')
    return server


# TestClient's --protocol, its test class, and what our server speaks for it.
PROTOCOLS = {
    "compact": ("CompactTest", P.StandardCompact),
    "accelc": ("AcceleratedCompactTest", P.StandardCompact),
    "json": ("JSONTest", P.StandardJSON),
    "multic": ("MultiplexedCompactTest", P.StandardCompact),
    "multij": ("MultiplexedJSONTest", P.StandardJSON),
    "header": ("HeaderTest", P.Binary),
    "multih": ("MultiplexedHeaderTest", P.Binary),
}


@pytest.mark.parametrize("transport", ["framed", "buffered"])
@pytest.mark.parametrize("protocol", sorted(PROTOCOLS))
def test_apache_test_client_against_our_server(suite, protocol, transport):
    directory, idl, gen = suite
    test_class, ours = PROTOCOLS[protocol]
    header = protocol in ("header", "multih")
    if header and transport == "framed":
        pytest.skip("the header protocol makes its own frames: TestClient runs it over its buffered transport")
    client_script = directory / "py" / "TestClient.py"
    # Every case but the uuid one (the generated code has none).
    cases = [f"{test_class}.{name}" for name in re.findall(r"    def (test\w+)\(self\)", client_script.read_text())
             if name != "testUuid"]
    server = thrift_test_server(idl, T.Header if header else {"framed": T.Framed, "buffered": T.Buffered}[transport],
                                ours)
    with serving(server) as port:
        done = subprocess.run([sys.executable, str(client_script), "--genpydir", str(gen), "--host", "127.0.0.1",
                               "--port", str(port), "--protocol", protocol, "--transport", transport, *cases],
                              capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr
    assert re.search(rf"Ran {len(cases)} tests", done.stderr), done.stderr
