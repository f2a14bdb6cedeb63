"""velvane-call in a subprocess against a ThriftServer: describe, call, encode and decode, and bad input
answered with one clear line and a non-zero status, never a traceback."""
import json
import pathlib
import socket
import subprocess
import sys

import pytest

from server_support import DEADLINE, free_port, serving, wait_for

ROOT = pathlib.Path(__file__).resolve().parent.parent
CALCULATOR = str(ROOT / "examples" / "calculator.thrift")
sys.path.insert(0, str(ROOT / "examples"))
from server import load_parser, make_server  # noqa: E402  (the example Calculator and its handlers)


def velvane_call(*args, stdin=None):
    return subprocess.run([sys.executable, str(ROOT / "python" / "velvane_call.py"), *map(str, args)],
                          input=stdin, capture_output=True, timeout=60)


@pytest.fixture(scope="module")
def port():
    server = make_server(load_parser())
    with serving(server) as port:
        yield port
    wait_for(lambda: not server.is_running(), "the server to stop")


def test_describe_lists_services_structs_and_enums():
    done = velvane_call("describe", CALCULATOR)
    out = done.stdout.decode()
    assert done.returncode == 0, done.stderr
    for line in ["service Calculator", "  bool ping()", "  oneway void log(1: string line)",
                 "  Number calculate(1: Work work) throws (1: InvalidOperation ouch)",
                 "  list<Number> history(1: i64 since)", "struct Work", "  1: required string request_id",
                 "  3: map<string, string> tags", "  5: list<i32> operands", "  7: shared.Point origin",
                 "struct Point", "enum Operation", "  DIVIDE = 4"]:
        assert line + "\n" in out + "\n"
    only = velvane_call("describe", CALCULATOR, "InvalidOperation").stdout.decode()
    assert only == "struct InvalidOperation\n  1: i32 op\n  2: string why\n"


@pytest.mark.parametrize("method, arguments, expected", [
    ("add", '{"a": 2, "b": 40}', 42),
    ("calculate", '{"work": {"request_id": "r", "op": 3, "operands": [6, 7], "origin": {"x": 1, "y": 2.5}}}',
     {"whole": 42}),
    ("ping", None, True),
    ("log", '{"line": "hi"}', None),
])
def test_call_prints_the_result_as_json(port, method, arguments, expected):
    args = ["call", CALCULATOR, f"Calculator.{method}", "--port", port, "--protocol", "binary"]
    done = velvane_call(*args, *([arguments] if arguments else []))
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout) == expected


@pytest.mark.parametrize("method, arguments, report", [
    ("calculate", '{"work": {"request_id": "r", "op": 4, "operands": [1, 0]}}',
     {"error": "declared exception", "name": "ouch", "field": 1, "type": "InvalidOperation",
      "value": {"op": 4, "why": "division by zero"}}),
    ("history", '{"since": -1}', {"error": "application error", "type": 6, "type_name": "INTERNAL_ERROR",
                                  "message": "ValueError: since must not be negative, got -1"}),
])
def test_service_errors_are_json_on_stderr_with_status_1(port, method, arguments, report):
    done = velvane_call("call", CALCULATOR, f"Calculator.{method}", "--port", port, arguments)
    assert (done.returncode, done.stdout) == (1, b"")
    assert json.loads(done.stderr) == report


@pytest.fixture
def silent_port():
    """A listener that accepts nothing and answers nothing."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        s.listen()
        yield s.getsockname()[1]


@pytest.mark.parametrize("case, status, message", [
    (["Calculator.divide", "{}"], 3, "service Calculator has no method 'divide' (methods: ping, log, calculate"),
    (["Nope.add", "{}"], 3, "has no service 'Nope' (services: Base, Calculator)"),
    (["Calculator.add", '{"a": 1,'], 3, "the arguments: not valid JSON: Expecting property name"),
    (["Calculator.add", "[1, 2]"], 3, "the arguments must be a JSON object"),
    (["Calculator.add", '{"a": "one", "b": 2}'], 3, 'a: expected i32, got "one"'),
    (["Calculator.add", '{"a": 1, "c": 2}'], 3, "Calculator.add has no field 'c' (fields: a, b)"),
    (["Calculator.add", '{"a": 2147483648, "b": 2}'], 3, "a: 2147483648 is out of range for i32"),
    (["Calculator.calculate", '{"work": {"operands": ["x"]}}'], 3, 'work.operands[0]: expected i32, got "x"'),
    (["Calculator.add", "{}", "--port", "nope"], 3, "argument --port: not a TCP port: 'nope'"),
    (["Calculator.add", "{}", "--protocol", "xml"], 3, "argument --protocol: invalid choice: 'xml'"),
    ("unreachable", 2, "connect to 127.0.0.1:"),
    ("silent", 2, "timed out"),
])
def test_bad_input_gives_one_clear_line(port, silent_port, case, status, message):
    if case == "unreachable":
        case = ["Calculator.ping", "--port", free_port()]
    elif case == "silent":
        case = ["Calculator.ping", "--port", silent_port, "--timeout", "0.2"]
    elif "--port" not in case:
        case = [*case, "--port", port]
    done = velvane_call("call", CALCULATOR, *case)
    err = done.stderr.decode()
    assert done.returncode == status
    assert message in err
    assert "Traceback" not in err and done.stdout == b""


def test_missing_idl_file_and_unknown_name():
    for args, message in ((["describe", "/nonexistent.thrift"], "cannot read /nonexistent.thrift"),
                          (["describe", CALCULATOR, "Nope"], "has no service, struct or enum named 'Nope'"),
                          (["decode", CALCULATOR, "Nope"], "has no struct 'Nope'")):
        done = velvane_call(*args, stdin=b"")
        assert done.returncode == 3 and message in done.stderr.decode()


@pytest.mark.parametrize("protocol", ["binary", "compact", "json", "standard-compact", "standard-json"])
def test_encode_then_decode_gives_the_value_back(tmp_path, protocol):
    idl = tmp_path / "blob.thrift"
    idl.write_text("struct Inner { 1: string s }\n"
                   "struct Blob { 1: binary data, 2: map<i32, string> names, 3: set<string> tags,"
                   " 4: list<Inner> inner, 5: map<Inner, i32> weights, 6: double ratio }\n")
    value = {"data": "AAEC/w==", "names": {"1": "one", "-2": "minus two"}, "tags": ["a", "b"],
             "inner": [{"s": "x"}], "weights": [[{"s": "k"}, 3]], "ratio": 0.5}
    if protocol.endswith("json"):  # JSON map keys are text: a struct key has no standard form, nor reads back
        del value["weights"]
    encoded = velvane_call("encode", idl, "Blob", "--protocol", protocol, stdin=json.dumps(value).encode())
    assert encoded.returncode == 0, encoded.stderr
    back = velvane_call("decode", idl, "Blob", "--protocol", protocol, stdin=encoded.stdout)
    assert back.returncode == 0, back.stderr
    assert json.loads(back.stdout) == value
    hexed = velvane_call("decode", idl, "Blob", "--protocol", protocol, "--encoding", "hex",
                         stdin=encoded.stdout.hex().encode())
    assert hexed.stdout == back.stdout
    broken = velvane_call("decode", idl, "Blob", "--protocol", protocol, stdin=encoded.stdout[:-3])
    assert broken.returncode == 3 and b"cannot decode Blob" in broken.stderr


def test_compat_and_include_dirs(tmp_path):
    (tmp_path / "lib").mkdir()
    (tmp_path / "lib" / "ids.thrift").write_text("typedef uuid Id\n")
    idl = tmp_path / "rec.thrift"
    idl.write_text("include 'ids.thrift'\nstruct Rec { 1: ids.Id id, 2: i8 small, 3: map<uuid, i8> seen }\n")
    done = velvane_call("describe", "--compat", "-I", tmp_path / "lib", idl, "Rec")
    assert done.returncode == 0, done.stderr
    assert done.stdout.decode().splitlines() == ["struct Rec", "  1: uuid id", "  2: byte small", "  3: map<uuid, byte> seen"]
    value = {"id": "00112233-4455-6677-8899-aabbccddeeff", "small": -2, "seen": {"00000000-0000-0000-0000-000000000001": 1}}
    encoded = velvane_call("encode", "--compat", "-I", tmp_path / "lib", idl, "Rec", "--protocol", "compact",
                           stdin=json.dumps(value).encode())
    assert encoded.returncode == 0, encoded.stderr
    decoded = velvane_call("decode", "--compat", "-I", tmp_path / "lib", idl, "Rec", "--protocol", "compact",
                           stdin=encoded.stdout)
    assert decoded.returncode == 0, decoded.stderr
    assert json.loads(decoded.stdout) == value
    refused = velvane_call("describe", idl)  # the default grammar has no single quotes
    assert refused.returncode == 3 and b"Parse error" in refused.stderr
    missing = velvane_call("describe", "--compat", idl)  # ids.thrift is not beside rec.thrift
    assert missing.returncode == 3 and b"Cannot find included file ids.thrift" in missing.stderr


def test_verbose_prints_each_attempt_on_stderr(port):
    done = velvane_call("call", CALCULATOR, "Calculator.add", "--port", port, "--verbose", '{"a": 2, "b": 40}')
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout) == 42
    attempt = json.loads(done.stderr)
    assert {k: attempt[k] for k in ("method", "attempt", "headers", "error")} == \
        {"method": "add", "attempt": 1, "headers": {}, "error": None}
    assert isinstance(attempt["seqid"], int) and attempt["seconds"] >= 0
