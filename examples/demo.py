"""The velvane demo: parse the example IDL files and print their schemas as a tree,
then round-trip a struct through the three protocols."""
import glob
import os

import velvane

HERE = os.path.dirname(os.path.abspath(__file__))


def print_schema(path):
    parser = velvane.ThriftParser()
    with open(path, encoding="utf-8") as f:
        parser.parse(f.read())
    print(os.path.basename(path))
    for include in parser.list_includes():
        print(f"  include {include}")
    for scope, ns in sorted(parser.namespaces().items()):
        print(f"  namespace {scope} = {ns}")
    for name in sorted(parser.list_enums()):
        values = sorted(parser.get_enum(name).items(), key=lambda kv: kv[1])
        print(f"  enum {name}: " + ", ".join(f"{k}={v}" for k, v in values))
    for name in sorted(parser.list_structs()):
        print(f"  struct {name}")
        for field in parser.get_struct(name).fields:
            print(f"    {field!r}")
    for name in sorted(parser.list_services()):
        service = parser.get_service(name)
        print(f"  service {service.name}")
        for method in service.methods:
            args = ", ".join(f"{a.id}: {a.name}" for a in method.arguments)
            throws = ", ".join(e.name for e in method.exceptions)
            flags = " oneway" if method.oneway else ""
            print(f"    {method!r}{flags} ({args})" + (f" throws ({throws})" if throws else ""))


def round_trip():
    # Included files are recorded, never read: hand the parser the included text too, and the
    # include prefix resolves `shared.Point` to the `Point` of that text.
    parser = velvane.ThriftParser()
    texts = [open(os.path.join(HERE, name), encoding="utf-8").read() for name in ("shared.thrift", "calculator.thrift")]
    parser.parse("\n".join(texts))
    work = parser.get_struct("Work")
    value = work(request_id="r-1", sent_at=1_700_000_000, operands=[1, 2, 3], origin={"x": 1.0, "y": -2.5})
    print(f"\nWork instance: {value!r}")
    for protocol in (velvane.ProtocolType.Binary, velvane.ProtocolType.Compact, velvane.ProtocolType.JSON):
        data = work.serialize_with_protocol(value, protocol)
        back = work.deserialize_with_protocol(data, protocol)
        shown = data.decode() if protocol == velvane.ProtocolType.JSON else data.hex(" ")
        print(f"  {protocol!r:22} {len(data):3} bytes: {shown}")
        assert back.operands == [1, 2, 3] and back.origin.y == -2.5


def main():
    for path in sorted(glob.glob(os.path.join(HERE, "*.thrift"))):
        print_schema(path)
    round_trip()


if __name__ == "__main__":
    main()
