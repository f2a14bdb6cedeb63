"""Calls the Calculator of examples/server.py from asyncio with AsyncThriftClient, many calls at once.

    tools/python examples/async_client.py [--host 127.0.0.1] [--port 9090]
"""
import argparse
import asyncio
import pathlib

import velvane

HERE = pathlib.Path(__file__).parent


async def run(host, port):
    parser = velvane.ThriftParser()  # included files are never read: parse them together
    parser.parse((HERE / "shared.thrift").read_text() + (HERE / "calculator.thrift").read_text())

    client = velvane.AsyncThriftClient(parser.get_service("Calculator"), host, port)
    client.set_parser(parser)
    client.timeout = 5.0
    async with client:
        print("ping() ->", await client.call("ping"))
        # call() returns a future at once; concurrent calls share the connection one after the other.
        sums = await asyncio.gather(*(client.call("add", a=i, b=10 * i) for i in range(10)))
        print("10 concurrent add(i, 10 * i) ->", sums)
        work = {"request_id": "r-3", "op": 4, "operands": [7, 0]}
        outcomes = await asyncio.gather(client.call("calculate", work=work), client.call("history", since=-1),
                                        return_exceptions=True)
        for name, outcome in zip(("calculate(7 / 0)", "history(since=-1)"), outcomes):
            print(f"{name} raised {type(outcome).__name__}: {outcome}")
        try:
            await asyncio.wait_for(client.call("add", a=1, b=2), timeout=5.0)  # asyncio's own timeouts work too
        finally:
            print("is_open() ->", client.is_open())


def main():
    args = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    args.add_argument("--host", default="127.0.0.1")
    args.add_argument("--port", type=int, default=9090)
    opts = args.parse_args()
    asyncio.run(run(opts.host, opts.port))


if __name__ == "__main__":
    main()
