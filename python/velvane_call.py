"""velvane-call: describe a Thrift IDL file, call a service, or encode and decode struct payloads.

    velvane-call describe FILE.thrift [NAME]
    velvane-call call FILE.thrift SERVICE.METHOD --host H --port P [options] ['{"a": 1}']
    velvane-call encode FILE.thrift STRUCT [--protocol P] < value.json > payload
    velvane-call decode FILE.thrift STRUCT [--protocol P] < payload

Every command takes --compat (read the IDL as the reference Thrift compiler does: i8, uuid, single
quotes, float literals, ...) and -I DIR (where included files are looked for after the including
file's directory; with either, included files' definitions are named `x.Name`).

Values are JSON: structs are objects keyed by field name, binary fields Base64 text, sets lists,
maps objects (or lists of [key, value] pairs when the keys are not strings or numbers).

Exit status: 0 success; 1 the service answered with a declared exception or an application error
(printed as JSON on standard error); 2 the connection failed; 3 bad input (usage, IDL, JSON, types);
4 a fault of the tool or its installation.
"""
from __future__ import annotations

import argparse
import base64
import binascii
import json
import os
import re
import sys
import uuid
from dataclasses import dataclass
from typing import Any, NoReturn

try:
    import velvane
except ImportError as e:
    print(f"velvane-call: cannot import the velvane module ({e}); build it with `make build` "
          "or install it with `pip install .`", file=sys.stderr)
    sys.exit(4)

EXIT_SERVICE_ERROR = 1
EXIT_CONNECTION = 2
EXIT_BAD_INPUT = 3

PROTOCOLS = {"binary": velvane.ProtocolType.Binary, "compact": velvane.ProtocolType.Compact,
             "json": velvane.ProtocolType.JSON, "standard-compact": velvane.ProtocolType.StandardCompact,
             "standard-json": velvane.ProtocolType.StandardJSON}
TRANSPORTS = {"framed": velvane.TransportType.Framed, "buffered": velvane.TransportType.Buffered,
              "header": velvane.TransportType.Header}
APPLICATION_ERROR_TYPES = {0: "UNKNOWN", 1: "UNKNOWN_METHOD", 2: "INVALID_MESSAGE_TYPE", 3: "WRONG_METHOD_NAME",
                           4: "BAD_SEQUENCE_ID", 5: "MISSING_RESULT", 6: "INTERNAL_ERROR", 7: "PROTOCOL_ERROR"}


class BadInput(Exception):
    """Input the tool cannot use: reported as one line, exit status 3."""


class ConnectionFailed(Exception):
    """The server could not be reached or the connection broke: one line, exit status 2."""


# --- Types, read from the schema views' text forms -------------------------------------------------

@dataclass(frozen=True)
class Type:
    kind: str  # Bool Byte I16 I32 I64 Double String Binary Uuid List Set Map Struct
    args: tuple[Type, ...] = ()
    name: str = ""  # the struct (or enum, or "void") name of a Struct type

    def idl(self) -> str:
        if self.kind == "Struct":
            return self.name
        if self.kind in ("List", "Set"):
            return f"{self.kind.lower()}<{self.args[0].idl()}>"
        if self.kind == "Map":
            return f"map<{self.args[0].idl()}, {self.args[1].idl()}>"
        return self.kind.lower()


_TOKEN = re.compile(r'\s*(?:([A-Za-z0-9]+)|"([^"]*)"|([(),]))')


def parse_type(text: str) -> Type:
    """Reads a type's text form, e.g. `Map(String, List(Struct("Item")))`."""
    tokens = [m.group(1) or m.group(3) or ("name", m.group(2)) for m in _TOKEN.finditer(text)]
    pos = 0

    def take() -> Any:
        nonlocal pos
        if pos >= len(tokens):
            raise ValueError(f"unexpected end of type text {text!r}")
        pos += 1
        return tokens[pos - 1]

    def one() -> Type:
        kind = take()
        if kind not in ("List", "Set", "Map", "Struct"):
            return Type(kind)
        take()  # "("
        if kind == "Struct":
            name = take()[1]
            take()  # ")"
            return Type("Struct", name=name)
        args = [one()]
        while take() == ",":
            args.append(one())
        return Type(kind, tuple(args))

    return one()


@dataclass(frozen=True)
class Field:
    id: int
    name: str
    required: bool
    type: Type


def fields_of(views: list[velvane.ThriftField]) -> list[Field]:
    return [Field(view.id, view.name, view.required, parse_type(view.field_type)) for view in views]


def return_type(method: velvane.PyThriftMethod) -> Type:
    return parse_type(method.return_type)


# --- The IDL file and its includes ----------------------------------------------------------------

_INCLUDE = re.compile(r'^\s*include\s+"([^"]+)"', re.MULTILINE)


def read_idl(path: str, compat: bool = False, include_dirs: list[str] | None = None) -> velvane.ThriftParser:
    """Parses the file and the files it includes: with `compat` or `include_dirs` as the module's
    parse_file does (each file once, included definitions as `x.Name`); otherwise by concatenating
    the texts, so that included definitions keep their own names."""
    if compat or include_dirs:
        parser = velvane.ThriftParser(compat=compat)
        try:
            parser.parse_file(path, include_dirs or ())
        except OSError as e:
            raise BadInput(f"cannot read {path}: {e}") from None
        except ValueError as e:
            raise BadInput(str(e)) from None
        return parser
    return _read_concatenated(path)


def _read_concatenated(path: str) -> velvane.ThriftParser:
    """Parses the file with the files it includes (read from beside it, each once, included files first):
    the module records includes without reading them, and resolves `prefix.Name` within one text."""
    texts: list[str] = []
    seen: set[str] = set()

    def add(file: str, required: bool) -> None:
        real = os.path.realpath(file)
        if real in seen:
            return
        seen.add(real)
        try:
            with open(file, encoding="utf-8") as f:
                text = f.read()
        except (OSError, UnicodeDecodeError) as e:
            if required:
                raise BadInput(f"cannot read {file}: {e.strerror if isinstance(e, OSError) else e}") from None
            print(f"velvane-call: warning: included file {file} not read ({e.__class__.__name__}); "
                  "its types stay unresolved", file=sys.stderr)
            return
        for include in _INCLUDE.findall(text):
            add(os.path.join(os.path.dirname(file), include), False)
        texts.append(text)

    add(path, True)
    parser = velvane.ThriftParser()
    try:
        parser.parse("\n".join(texts))
    except ValueError as e:
        raise BadInput(f"{path}: {e}") from None
    return parser


# --- describe --------------------------------------------------------------------------------------

def describe_service(parser: velvane.ThriftParser, name: str) -> list[str]:
    service = parser.get_service(name)
    assert service is not None
    lines = [f"service {service.name}"]
    for method in service.methods:
        args = ", ".join(f"{f.id}: {f.type.idl()} {f.name}" for f in fields_of(method.arguments))
        throws = ", ".join(f"{f.id}: {f.type.idl()} {f.name}" for f in fields_of(method.exceptions))
        oneway = "oneway " if method.oneway else ""
        line = f"  {oneway}{return_type(method).idl()} {method.name}({args})"
        lines.append(line + (f" throws ({throws})" if throws else ""))
    return lines


def describe_struct(parser: velvane.ThriftParser, name: str) -> list[str]:
    struct = parser.get_struct(name)
    assert struct is not None
    lines = [f"struct {struct.name}"]
    for f in fields_of(struct.fields):
        lines.append(f"  {f.id}: {'required ' if f.required else ''}{f.type.idl()} {f.name}")
    return lines


def describe_enum(parser: velvane.ThriftParser, name: str) -> list[str]:
    values = parser.get_enum(name) or {}
    return [f"enum {name}"] + [f"  {k} = {v}" for k, v in sorted(values.items(), key=lambda kv: (kv[1], kv[0]))]


def describe(args: argparse.Namespace) -> int:
    parser = read_idl(args.file, args.compat, args.include_dir)
    sections = []
    kinds = ((parser.list_services(), describe_service), (parser.list_structs(), describe_struct),
             (parser.list_enums(), describe_enum))
    for names, show in kinds:
        for name in sorted(names):
            if "." in name:  # the same struct again under an include prefix
                continue
            if args.name is None or args.name == name:
                sections.append("\n".join(show(parser, name)))
    if not sections:
        if args.name is not None:
            raise BadInput(f"{args.file} has no service, struct or enum named {args.name!r}")
        sections.append(f"{args.file} defines no services, structs or enums")
    print("\n\n".join(sections))
    return 0


# --- JSON to the Python values velvane takes, and back --------------------------------------------

_INT_BITS = {"Byte": 8, "I16": 16, "I32": 32, "I64": 64}
_INT_KINDS = tuple(_INT_BITS)


def _where(path: str) -> str:
    return path or "the value"


def from_json(parser: velvane.ThriftParser, t: Type, value: Any, path: str) -> Any:
    """Checks and converts a JSON value for a field of type `t`; `path` names it in messages."""
    if value is None:
        return None
    kind = t.kind
    if kind == "Bool":
        if isinstance(value, bool):
            return value
    elif kind in _INT_KINDS:
        if isinstance(value, int) and not isinstance(value, bool):
            bits = _INT_BITS[kind]
            if not -(1 << (bits - 1)) <= value < 1 << (bits - 1):
                raise BadInput(f"{_where(path)}: {value} is out of range for {t.idl()}")
            return value
    elif kind == "Double":
        if isinstance(value, (int, float)) and not isinstance(value, bool):
            return float(value)
    elif kind == "String":
        if isinstance(value, str):
            return value
    elif kind == "Binary":
        if isinstance(value, str):
            try:
                return base64.b64decode(value, validate=True)
            except binascii.Error:
                raise BadInput(f"{_where(path)}: expected Base64 text for binary, got {value!r}") from None
    elif kind == "Uuid":
        if isinstance(value, str):
            try:
                return uuid.UUID(value)
            except ValueError:
                raise BadInput(f"{_where(path)}: expected UUID text, got {value!r}") from None
    elif kind in ("List", "Set"):
        if isinstance(value, list):
            return [from_json(parser, t.args[0], item, f"{path}[{i}]") for i, item in enumerate(value)]
    elif kind == "Map":
        return _map_from_json(parser, t, value, path)
    elif kind == "Struct":
        return _struct_from_json(parser, t.name, value, path)
    raise BadInput(f"{_where(path)}: expected {t.idl()}, got {json.dumps(value)}")


def _map_from_json(parser: velvane.ThriftParser, t: Type, value: Any, path: str) -> dict[Any, Any]:
    if isinstance(value, dict):
        pairs = [(_key_from_text(t.args[0], k, path), v) for k, v in value.items()]
    elif isinstance(value, list) and all(isinstance(p, list) and len(p) == 2 for p in value):
        pairs = [(_key_from_json(parser, t.args[0], k, f"{path}.key"), v) for k, v in value]
    else:
        raise BadInput(f"{_where(path)}: expected {t.idl()} as an object or a list of [key, value] pairs, "
                       f"got {json.dumps(value)}")
    out = {}
    for k, v in pairs:
        try:
            out[k] = from_json(parser, t.args[1], v, f"{path}[{json.dumps(k) if isinstance(k, str) else k}]")
        except TypeError:  # an unhashable key (a struct or a list)
            raise BadInput(f"{_where(path)}: keys of type {t.args[0].idl()} cannot be given in JSON") from None
    return out


def _key_from_json(parser: velvane.ThriftParser, t: Type, key: Any, path: str) -> Any:
    converted = from_json(parser, t, key, path)
    struct = parser.get_struct(t.name) if t.kind == "Struct" else None
    return struct.new_instance_from_dict(converted) if struct is not None else converted  # hashable


def _key_from_text(t: Type, key: str, path: str) -> Any:
    try:
        if t.kind in _INT_KINDS:
            return int(key)
        if t.kind == "Double":
            return float(key)
        if t.kind == "Bool" and key in ("true", "false"):
            return key == "true"
        if t.kind == "String":
            return key
        if t.kind == "Binary":
            return base64.b64decode(key, validate=True)
        if t.kind == "Uuid":
            return uuid.UUID(key)
    except (ValueError, binascii.Error):
        pass
    raise BadInput(f"{_where(path)}: key {key!r} is not a {t.idl()}")


def _struct_from_json(parser: velvane.ThriftParser, name: str, value: Any, path: str) -> Any:
    struct = parser.get_struct(name)
    if struct is None:
        enum = parser.get_enum(name)
        if enum is not None:  # an enum used before its declaration is typed by name
            if isinstance(value, str) and value in enum:
                return enum[value]
            if isinstance(value, int) and not isinstance(value, bool):
                return value
            raise BadInput(f"{_where(path)}: expected a value of enum {name}, got {json.dumps(value)}")
        raise BadInput(f"{_where(path)}: type {name} is not defined in the IDL")
    if not isinstance(value, dict):
        raise BadInput(f"{_where(path)}: expected struct {name} as a JSON object, got {json.dumps(value)}")
    return struct_args(parser, fields_of(struct.fields), value, path, f"struct {name}")


def struct_args(parser: velvane.ThriftParser, fields: list[Field], value: dict[str, Any], path: str,
                what: str) -> dict[str, Any]:
    by_name = {f.name: f for f in fields}
    out = {}
    for key, item in value.items():
        field = by_name.get(key)
        if field is None:
            known = ", ".join(by_name) or "none"
            raise BadInput(f"{what} has no field {key!r} (fields: {known})")
        out[key] = from_json(parser, field.type, item, f"{path}.{key}" if path else key)
    return out


def to_json(parser: velvane.ThriftParser, value: Any) -> Any:
    """A Python value from velvane as JSON data: structs as objects (unset fields left out), binary
    as Base64, maps with string or number keys as objects and other maps as [key, value] pairs."""
    if isinstance(value, velvane.ThriftStructInstance):
        return {k: to_json(parser, v) for k, v in value.to_dict().items() if v is not None}
    if isinstance(value, (bytes, bytearray)):
        return base64.b64encode(value).decode("ascii")
    if isinstance(value, uuid.UUID):
        return str(value)
    if isinstance(value, (list, tuple, set, frozenset)):
        return [to_json(parser, v) for v in value]
    if isinstance(value, dict):
        if all(isinstance(k, (str, int, float, uuid.UUID)) for k in value):
            return {_key_text(k): to_json(parser, v) for k, v in value.items()}
        return [[to_json(parser, k), to_json(parser, v)] for k, v in value.items()]
    return value


def _key_text(key: str | int | float | uuid.UUID) -> str:
    if isinstance(key, uuid.UUID):
        return str(key)
    if isinstance(key, bool):
        return "true" if key else "false"
    return key if isinstance(key, str) else json.dumps(key)


def dump(data: Any, stream: Any) -> None:
    json.dump(data, stream, indent=2, ensure_ascii=False)
    stream.write("\n")


def load_json(text: str, what: str) -> Any:
    try:
        return json.loads(text)
    except ValueError as e:
        raise BadInput(f"{what}: not valid JSON: {e}") from None


# --- call ------------------------------------------------------------------------------------------

def declared_exception(parser: velvane.ThriftParser, error: RuntimeError) -> dict[str, Any] | None:
    """The report of a service's exception result, from the attributes the client gives it; None for
    any other RuntimeError."""
    field = getattr(error, "field", None)
    if not isinstance(field, int):
        return None
    report: dict[str, Any] = {"error": "declared exception", "name": getattr(error, "name", ""), "field": field}
    value = getattr(error, "value", None)
    if isinstance(value, velvane.ThriftStructInstance):
        report["type"] = getattr(error, "type", None) or value.struct_name
        report["value"] = to_json(parser, value)
    else:
        report["text"] = str(error).partition("): ")[2]
    return report


class CallTrace:
    """An interceptor that notes what --verbose prints about each attempt of the call."""

    def __init__(self) -> None:
        self.attempts: list[dict[str, Any]] = []

    def after(self, ctx: velvane.ThriftClient.CallContext, result: Any, error: BaseException | None,
              duration: float) -> None:
        # The call's headers as the client holds them once the attempt is over; a header transport
        # fills them with the server's reply headers.
        self.attempts.append({"method": ctx.method, "seqid": ctx.seqid, "attempt": ctx.attempt,
                              "seconds": round(duration, 6), "headers": dict(ctx.headers),
                              "error": None if error is None else type(error).__name__})


def call(args: argparse.Namespace) -> int:
    parser = read_idl(args.file, args.compat, args.include_dir)
    service_name, _, method_name = args.method.rpartition(".")
    if not service_name or not method_name:
        raise BadInput(f"expected SERVICE.METHOD, got {args.method!r}")
    service = parser.get_service(service_name)
    if service is None:
        known = ", ".join(sorted(parser.list_services())) or "none"
        raise BadInput(f"{args.file} has no service {service_name!r} (services: {known})")
    method = service.get_method(method_name)
    if method is None:
        known = ", ".join(m.name for m in service.methods) or "none"
        raise BadInput(f"service {service_name} has no method {method_name!r} (methods: {known})")
    values = load_json(args.arguments, "the arguments") if args.arguments is not None else {}
    if not isinstance(values, dict):
        raise BadInput(f"the arguments must be a JSON object keyed by argument name, got {json.dumps(values)}")
    kwargs = struct_args(parser, fields_of(method.arguments), values, "", f"{service_name}.{method_name}")

    client = velvane.ThriftClient(service, args.host, args.port, TRANSPORTS[args.transport], PROTOCOLS[args.protocol])
    client.set_parser(parser)
    client.timeout = args.timeout
    if args.tls or args.cafile or args.cert or args.key or args.insecure:
        try:
            client.set_tls(cafile=args.cafile, certfile=args.cert, keyfile=args.key, verify=not args.insecure)
        except (OSError, ValueError) as e:
            raise BadInput(f"cannot use the TLS files: {e}") from None
    trace = CallTrace()
    if args.verbose:
        client.add_interceptor(trace)
    try:
        client.open()
    except OSError as e:
        raise ConnectionFailed(str(e)) from None
    try:
        try:
            result = client.call(method_name, **kwargs)
        except (TypeError, OverflowError, ValueError) as e:
            raise BadInput(f"cannot send {service_name}.{method_name}: {e}") from None
        except velvane.ThriftApplicationException as e:
            dump({"error": "application error", "type": e.type_,
                  "type_name": APPLICATION_ERROR_TYPES.get(e.type_, "UNKNOWN"), "message": e.message}, sys.stderr)
            return EXIT_SERVICE_ERROR
        except RuntimeError as e:
            report = declared_exception(parser, e)
            if report is None:
                raise
            dump(report, sys.stderr)
            return EXIT_SERVICE_ERROR
        except OSError as e:
            raise ConnectionFailed(f"{args.host}:{args.port}: {e}") from None
    finally:
        client.close()
        for attempt in trace.attempts:
            dump(attempt, sys.stderr)
    dump(to_json(parser, result), sys.stdout)
    return 0


# --- encode and decode -----------------------------------------------------------------------------

def _struct(parser: velvane.ThriftParser, args: argparse.Namespace) -> velvane.ThriftStruct:
    struct = parser.get_struct(args.struct)
    if struct is None:
        known = ", ".join(sorted(n for n in parser.list_structs() if "." not in n)) or "none"
        raise BadInput(f"{args.file} has no struct {args.struct!r} (structs: {known})")
    return struct


def encode(args: argparse.Namespace) -> int:
    parser = read_idl(args.file, args.compat, args.include_dir)
    struct = _struct(parser, args)
    value = load_json(sys.stdin.read(), "standard input")
    if not isinstance(value, dict):
        raise BadInput(f"expected struct {args.struct} as a JSON object, got {json.dumps(value)}")
    data = struct_args(parser, fields_of(struct.fields), value, "", f"struct {args.struct}")
    try:
        payload = struct.serialize_with_protocol(data, PROTOCOLS[args.protocol])
    except (TypeError, OverflowError, ValueError) as e:
        raise BadInput(f"cannot encode {args.struct}: {e}") from None
    if args.encoding == "hex":
        payload = payload.hex().encode("ascii") + b"\n"
    elif args.encoding == "base64":
        payload = base64.b64encode(payload) + b"\n"
    sys.stdout.buffer.write(payload)
    sys.stdout.buffer.flush()
    return 0


def decode(args: argparse.Namespace) -> int:
    parser = read_idl(args.file, args.compat, args.include_dir)
    struct = _struct(parser, args)
    payload = sys.stdin.buffer.read()
    try:
        if args.encoding == "hex":
            payload = bytes.fromhex(payload.decode("ascii"))
        elif args.encoding == "base64":
            payload = base64.b64decode(b"".join(payload.split()), validate=True)
    except (ValueError, binascii.Error) as e:
        raise BadInput(f"standard input is not {args.encoding} text: {e}") from None
    try:
        value = struct.deserialize_with_protocol(payload, PROTOCOLS[args.protocol])
    except (OSError, ValueError) as e:
        raise BadInput(f"cannot decode {args.struct}: {e}") from None
    dump(to_json(parser, value), sys.stdout)
    return 0


# --- command line ----------------------------------------------------------------------------------

class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        self.print_usage(sys.stderr)
        self.exit(EXIT_BAD_INPUT, f"{self.prog}: error: {message}\n")


def _port(text: str) -> int:
    try:
        port = int(text)
    except ValueError:
        port = -1
    if not 0 < port < 65536:
        raise argparse.ArgumentTypeError(f"not a TCP port: {text!r}")
    return port


def _seconds(text: str) -> float:
    try:
        seconds = float(text)
    except ValueError:
        seconds = -1.0
    if not seconds > 0:
        raise argparse.ArgumentTypeError(f"not a positive number of seconds: {text!r}")
    return seconds


def build_parser() -> argparse.ArgumentParser:
    top = _Parser(prog="velvane-call", description="Describe a Thrift IDL file, call a service, "
                  "or encode and decode struct payloads, with JSON values.",
                  epilog="Exit status: 0 success, 1 declared exception or application error, "
                  "2 connection failure, 3 bad input.")
    commands = top.add_subparsers(dest="command", required=True, parser_class=_Parser)
    idl_options = _Parser(add_help=False)
    idl_options.add_argument("--compat", action="store_true",
                             help="read the IDL as the reference Thrift compiler does (i8, uuid, 'text', 1.5, ...)")
    idl_options.add_argument("-I", "--include-dir", action="append", default=[], metavar="DIR",
                             help="also look for included files here (repeatable)")

    p = commands.add_parser("describe", parents=[idl_options], help="list services, methods, structs and enums")
    p.add_argument("file", metavar="FILE.thrift", help="the IDL file (files it includes are read from beside it)")
    p.add_argument("name", nargs="?", help="show only this service, struct or enum")
    p.set_defaults(run=describe)

    p = commands.add_parser("call", parents=[idl_options], help="call a method and print its result as JSON")
    p.add_argument("file", metavar="FILE.thrift", help="the IDL file")
    p.add_argument("method", metavar="SERVICE.METHOD")
    p.add_argument("arguments", nargs="?", metavar="JSON", help='the arguments as a JSON object, e.g. \'{"a": 1}\'')
    p.add_argument("--host", default="127.0.0.1")
    p.add_argument("--port", type=_port, required=True)
    p.add_argument("--transport", choices=sorted(TRANSPORTS), default="framed")
    p.add_argument("--protocol", choices=sorted(PROTOCOLS), default="binary")
    p.add_argument("--timeout", type=_seconds, default=10.0, metavar="S",
                   help="seconds for connecting and for the call (default 10)")
    tls = p.add_argument_group("TLS (implied by any of its options)")
    tls.add_argument("--tls", action="store_true", help="connect with TLS, verifying the server against the system's CAs")
    tls.add_argument("--cafile", metavar="PEM", help="verify the server's certificate against these CAs instead")
    tls.add_argument("--cert", metavar="PEM", help="present this client certificate (chain)")
    tls.add_argument("--key", metavar="PEM", help="the client certificate's private key (default: in --cert)")
    tls.add_argument("--insecure", action="store_true", help="do not verify the server's certificate or host name")
    p.add_argument("-v", "--verbose", action="store_true",
                   help="print each attempt (method, seqid, seconds, headers) as JSON on standard error")
    p.set_defaults(run=call)

    for name, run, text in (("encode", encode, "JSON on standard input to Thrift bytes on standard output"),
                            ("decode", decode, "Thrift bytes on standard input to JSON on standard output")):
        p = commands.add_parser(name, parents=[idl_options], help=text)
        p.add_argument("file", metavar="FILE.thrift", help="the IDL file")
        p.add_argument("struct", metavar="STRUCT")
        p.add_argument("--protocol", choices=sorted(PROTOCOLS), default="binary")
        p.add_argument("--encoding", choices=("raw", "hex", "base64"), default="raw",
                       help="how the Thrift bytes are written (encode) or read (decode); default raw")
        p.set_defaults(run=run)
    return top


def _fail(message: str, status: int) -> int:
    print(f"velvane-call: {message}", file=sys.stderr)
    return status


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        return int(args.run(args))
    except BadInput as e:
        return _fail(str(e), EXIT_BAD_INPUT)
    except ConnectionFailed as e:
        return _fail(str(e), EXIT_CONNECTION)
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        return 0
    except Exception as e:  # a fault of this tool or the module: still one line, no traceback
        return _fail(f"unexpected {e.__class__.__name__}: {e}", 4)


if __name__ == "__main__":
    sys.exit(main())
