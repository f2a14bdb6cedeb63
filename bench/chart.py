"""Draws the benchmark ratio tables kept by bench/record.py as one SVG chart (docs/bench.svg).

    tools/python bench/chart.py [--results bench/results] [--out docs/bench.svg]

Every bar is velvane against one peer on one workload, on a log scale around 1x: to the right velvane
is faster (peer time / velvane time, or velvane calls/s / peer calls/s), to the left slower.
"""
import argparse
import json
import math
import os
import re
from xml.sax.saxutils import escape

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

PYTHON_PEER, CPP_PEER, MSGSPEC = "Apache Thrift (Python)", "Apache Thrift (C++)", "msgspec"
PEER_COLOURS = {PYTHON_PEER: "#4c78a8", CPP_PEER: "#e45756", MSGSPEC: "#b279a2"}
SLOWER = "#bbbbbb"


def number(text):
    """The number in a table cell ("43,210", "1.40x", "2.05"), or None."""
    m = re.search(r"-?[\d,]*\.?\d+", text or "")
    return float(m.group(0).replace(",", "")) if m else None


def column(table, *names):
    for i, h in enumerate(table["header"]):
        if any(h.startswith(n) for n in names):
            return i
    return None


def find(record, *names):
    """The first table whose header has every one of the columns named."""
    for table in (record or {}).get("tables", []):
        if all(column(table, n) is not None for n in names):
            return table
    return None


def serialization_panels(record):
    panels = []
    table = find(record, "protocol", "struct", "operation", "ratio")
    if table:
        p, s, o, r = (column(table, n) for n in ("protocol", "struct", "operation", "ratio"))
        ours, theirs = column(table, "velvane µs"), column(table, "Apache Thrift µs")

        def ratio(row):  # from the times when they are there: the ratio column is rounded
            if ours is not None and theirs is not None and number(row[ours]) and number(row[theirs]):
                return number(row[theirs]) / number(row[ours])
            return number(row[r])
        bars = [(f"{row[p]} · {row[s]} · {row[o]}", PYTHON_PEER, ratio(row)) for row in table["rows"]]
        panels.append(("Serialization against Apache Thrift's Python library (time per operation)", bars))
    table = find(record, "struct", "operation", "velvane / msgspec")
    if table:
        s, o, r = (column(table, n) for n in ("struct", "operation", "velvane / msgspec"))
        bars = [(f"binary · {row[s]} · {row[o]}", MSGSPEC, 1 / number(row[r])) for row in table["rows"]
                if number(row[r])]
        panels.append(("Serialization against msgspec's msgpack (time per operation)", bars))
    return panels


def rpc_panel(title, table, who, group_columns, peers, plain=""):
    """Bars of each velvane row against the peer rows of its group (same call and load), by calls/s."""
    w, rate = column(table, who), column(table, "calls/s")
    groups = [column(table, c) for c in group_columns]
    by_group = {}
    for row in table["rows"]:
        by_group.setdefault(tuple(row[g] for g in groups), []).append(row)
    bars = []
    for key, rows in by_group.items():
        ours = [r for r in rows if r[w].startswith("velvane") and number(r[rate])]
        for peer_label, prefix in peers:
            theirs = next((r for r in rows if r[w].startswith(prefix) and number(r[rate])), None)
            for row in ours if theirs else []:
                variant = re.sub(r"^velvane( Thrift(Server|Client))?", "", row[w]).strip(" ,") or plain
                label = " · ".join([*key, *([variant] if variant else []),
                                    f"vs {peer_label.removeprefix('Apache Thrift ')}"])
                bars.append((label, peer_label, number(row[rate]) / number(theirs[rate])))
    return (title, bars)


# The peer rows of the RPC tables: Apache's Python client or server, and its C++ ones (the ceiling).
RPC_PEERS = [(PYTHON_PEER, "Apache Python"), (CPP_PEER, "Apache C++")]


def rpc_panels(client_record, server_record):
    panels = []
    table = find(client_record, "call", "client", "calls/s")
    if table:
        panels.append(rpc_panel("RPC client: velvane ThriftClient (calls/s, sequential)", table, "client",
                                ["call", "CPUs"], RPC_PEERS))
    table = find(server_record, "call", "load", "server", "calls/s")
    if table:
        panels.append(rpc_panel("RPC server: velvane ThriftServer (calls/s under Apache's C++ load generator)",
                                table, "server", ["call", "load"], RPC_PEERS, plain="plain"))
    return panels


def render(panels, note):
    ratios = [r for _, bars in panels for _, _, r in bars if r and r > 0]
    lo = 2.0 ** math.floor(math.log2(min(ratios + [0.5])))
    hi = 2.0 ** math.ceil(math.log2(max(ratios + [2.0])))
    longest = max(len(label) for _, bars in panels for label, _, _ in bars)
    label_w, bar_w, pad, row_h = int(longest * 6.3) + 16, 470, 16, 18
    width = pad + label_w + bar_w + 70

    def x(ratio):
        return pad + label_w + bar_w * (math.log2(ratio) - math.log2(lo)) / (math.log2(hi) - math.log2(lo))

    out, y = [], 30
    out.append(f'<text x="{pad}" y="{y}" class="title">velvane against its peers: how many times faster '
               f'(log scale; right of 1x is faster)</text>')
    y += 18
    out.append(f'<text x="{pad}" y="{y}" class="note">{escape(note)}</text>')
    y += 14
    legend_x = pad
    for peer in dict.fromkeys(p for _, bars in panels for _, p, _ in bars):
        out.append(f'<rect x="{legend_x}" y="{y}" width="10" height="10" fill="{PEER_COLOURS.get(peer, "#888")}"/>')
        out.append(f'<text x="{legend_x + 14}" y="{y + 9}" class="label">against {escape(peer)}</text>')
        legend_x += 30 + 7 * len(peer) + 60
    y += 24
    axis_top = y
    for title, bars in panels:
        y += 16
        out.append(f'<rect x="{pad}" y="{y - 13}" width="{len(title) * 7.6:.0f}" height="17" fill="white"/>')
        out.append(f'<text x="{pad}" y="{y}" class="panel">{escape(title)}</text>')
        y += 8
        for label, peer, ratio in bars:
            out.append(f'<text x="{pad + label_w - 8}" y="{y + 13}" class="label" text-anchor="end">'
                       f'{escape(label)}</text>')
            if ratio and ratio > 0:
                x0, x1 = sorted((x(1.0), x(min(max(ratio, lo), hi))))
                colour = PEER_COLOURS.get(peer, "#888") if ratio >= 1 else SLOWER
                out.append(f'<rect x="{x0:.1f}" y="{y + 3}" width="{max(x1 - x0, 1):.1f}" height="{row_h - 6}" '
                           f'fill="{colour}" stroke="{PEER_COLOURS.get(peer, "#888")}"/>')
                tx = x1 + 4 if ratio >= 1 else x(1.0) + 4  # a slower bar's figure sits right of the 1x line
                out.append(f'<text x="{tx:.1f}" y="{y + 13}" class="value">{ratio:.2f}x</text>')
            y += row_h
        y += 6
    ticks = []
    t = lo
    while t <= hi * 1.0001:
        ticks.append(t)
        t *= 2
    grid = []
    for t in ticks:
        cls = "parity" if t == 1 else "grid"
        grid.append(f'<line x1="{x(t):.1f}" y1="{axis_top}" x2="{x(t):.1f}" y2="{y}" class="{cls}"/>')
        text = f"{t:g}x" if t >= 1 else f"1/{1 / t:g}x"
        grid.append(f'<text x="{x(t):.1f}" y="{y + 14}" class="tick" text-anchor="middle">{text}</text>')
    height = y + 26
    style = ("text{font-family:DejaVu Sans,Helvetica,Arial,sans-serif;fill:#222}"
             ".title{font-size:15px;font-weight:bold}.panel{font-size:13px;font-weight:bold}"
             ".note{font-size:11px;fill:#555}.label,.value,.tick{font-size:11px}"
             ".grid{stroke:#e4e4e4}.parity{stroke:#222;stroke-width:1.5}")
    return "\n".join([
        f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" viewBox="0 0 {width} {height}">',
        f"<style>{style}</style>",
        f'<rect width="{width}" height="{height}" fill="white"/>',
        *grid, *out, "</svg>", ""])


def load(directory, name):
    path = os.path.join(directory, name + ".json")
    if not os.path.exists(path):
        return None
    with open(path, encoding="utf-8") as f:
        return json.load(f)


def main():
    ap = argparse.ArgumentParser(description="Draw the benchmark ratio tables as an SVG chart.")
    ap.add_argument("--results", default=os.path.join(HERE, "results"))
    ap.add_argument("--out", default=os.path.join(ROOT, "docs", "bench.svg"))
    args = ap.parse_args()
    records = {name: load(args.results, name) for name in ("run", "client_bench", "server_bench")}
    panels = serialization_panels(records["run"]) + rpc_panels(records["client_bench"], records["server_bench"])
    panels = [(title, bars) for title, bars in panels if bars]
    if not panels:
        raise SystemExit(f"no benchmark results in {args.results}: run `make bench` first")
    measured = sorted({r["measured"] for r in records.values() if r})
    measured = [measured[0]] if len(measured) == 1 else [f"{measured[0]} to {measured[-1][-9:]}"]
    cpus = sorted({str(r["cpus"]) for r in records.values() if r})
    loads = [r["load_average"] for r in records.values() if r and "load_average" in r]
    busy = f" (load average up to {max(loads):g})" if loads else ""
    note = (f"Measured by `make bench` on {', '.join(measured)}, {'/'.join(cpus)} logical CPUs{busy}; "
            "loopback RPC, Python 3.14.")
    with open(args.out, "w", encoding="utf-8") as f:
        f.write(render(panels, note))
    print(f"wrote {os.path.relpath(args.out)}: {sum(len(b) for _, b in panels)} bars in {len(panels)} panels")


if __name__ == "__main__":
    main()
