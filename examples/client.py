"""Calls the Calculator of examples/server.py with the blocking ThriftClient.

    tools/python examples/client.py [--host 127.0.0.1] [--port 9090]
"""
import argparse
import pathlib

import velvane

HERE = pathlib.Path(__file__).parent


def main():
    args = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    args.add_argument("--host", default="127.0.0.1")
    args.add_argument("--port", type=int, default=9090)
    opts = args.parse_args()

    parser = velvane.ThriftParser()  # included files are never read: parse them together
    parser.parse((HERE / "shared.thrift").read_text() + (HERE / "calculator.thrift").read_text())
    Work = parser.get_struct("Work")

    client = velvane.ThriftClient(parser.get_service("Calculator"), opts.host, opts.port)
    client.set_parser(parser)  # the schema that struct arguments and results are converted with
    client.timeout = 5.0  # seconds for connecting and for each call; None (the default) waits for ever
    with client:
        print("ping() ->", client.call("ping"))
        print("add(a=2, b=3) ->", client.call("add", a=2, b=3))
        result = client.call("calculate", work=Work(request_id="r-1", op=3, operands=[6, 7]))
        print("calculate(6 * 7) ->", result, "whole =", result.whole)
        try:
            client.call("calculate", work={"request_id": "r-2", "op": 4, "operands": [1, 0]})
        except RuntimeError as e:  # a declared exception: its field name, id and value as text
            print("calculate(1 / 0) raised:", e)
        try:
            client.call("history", since=-1)
        except velvane.ThriftApplicationException as e:  # the handler failed: type 6, its error text
            print(f"history(since=-1) raised: type {e.type_}, {e.message!r}")
        client.call("log", line="hello from client.py")  # oneway: returns once the request is sent
        print("history(since=0) ->", client.call("history", since=0))


if __name__ == "__main__":
    main()
