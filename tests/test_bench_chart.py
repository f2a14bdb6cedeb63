"""The bench chart is drawn from the tables the benchmark scripts print."""
import pathlib
import sys
import xml.etree.ElementTree as ET

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "bench"))
import chart  # noqa: E402
import record  # noqa: E402

OUTPUT = """Some text before.
| protocol | struct | operation | velvane µs | Apache Thrift µs | ratio | peer |
|---|---|---|---:|---:|---:|---|
| binary | Small | serialize | 0.50 | 1.00 | 2.0x | fastbinary |

RPC servers under apache_load:

| call | load | server | calls/s | p50 µs | p99 µs | vs Apache Python | vs C++ |
|---|---|---|---:|---:|---:|---:|---:|
| add(a, b) | 1 conn | Apache Python TThreadedServer | 20,000 | 1 | 2 | | |
| add(a, b) | 1 conn | velvane ThriftServer | 10,000 | 1 | 2 | 0.50x | |
| add(a, b) | 1 conn | Apache C++ TThreadedServer (apache_server) | error: no result | | | | |
"""


def test_bars_are_drawn_from_the_printed_tables_around_the_1x_line():
    tables = record.tables(OUTPUT.splitlines())
    assert [t["title"] for t in tables] == ["Some text before.", "RPC servers under apache_load:"]
    run, server = ({"tables": [t], "measured": "now", "cpus": 2} for t in tables)
    panels = chart.serialization_panels(run) + chart.rpc_panels(None, server)
    assert [bars for _, bars in panels] == [
        [("binary · Small · serialize", chart.PYTHON_PEER, 2.0)],
        [("add(a, b) · 1 conn · plain · vs (Python)", chart.PYTHON_PEER, 0.5)],  # no C++ figure: no bar
    ]
    svg = ET.fromstring(chart.render(panels, "note"))
    ns = {"s": "http://www.w3.org/2000/svg"}
    parity = next(l for l in svg.findall("s:line", ns) if l.get("class") == "parity")
    one = float(parity.get("x1"))
    bars = [r for r in svg.findall("s:rect", ns) if r.get("stroke")]
    faster, slower = (float(r.get("x")) for r in bars)
    widths = [float(r.get("width")) for r in bars]
    assert faster == one and slower + widths[1] == one and widths[0] == widths[1]  # log scale: 2x and 1/2x
