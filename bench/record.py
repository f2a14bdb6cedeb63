"""Runs one benchmark script with its arguments, passes its output through, and keeps the markdown
tables it printed as JSON in bench/results/<script>.json, for bench/chart.py.

    tools/python bench/record.py bench/run.py --quick
"""
import datetime
import json
import os
import subprocess
import sys

RESULTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "results")


def cells(line):
    return [c.strip() for c in line.strip().strip("|").split("|")]


def tables(lines):
    """Each markdown table with the last line of text above it as its title."""
    found, title, i = [], "", 0
    while i < len(lines):
        line = lines[i].strip()
        if line.startswith("|") and i + 1 < len(lines) and set(lines[i + 1].strip()) <= set("|-: "):
            header, rows = cells(line), []
            i += 2
            while i < len(lines) and lines[i].strip().startswith("|"):
                rows.append(cells(lines[i]))
                i += 1
            found.append({"title": title, "header": header, "rows": rows})
            continue
        if line:
            title = line
        i += 1
    return found


def main():
    if len(sys.argv) < 2:
        sys.exit("usage: record.py SCRIPT [ARGS...]")
    script, args = sys.argv[1], sys.argv[2:]
    load = os.getloadavg()[0]
    child = subprocess.Popen([sys.executable, script, *args], stdout=subprocess.PIPE, text=True)
    lines = []
    for line in child.stdout:
        sys.stdout.write(line)
        sys.stdout.flush()
        lines.append(line.rstrip("\n"))
    status = child.wait()
    if status != 0:
        sys.exit(status)
    os.makedirs(RESULTS, exist_ok=True)
    name = os.path.splitext(os.path.basename(script))[0]
    record = {"script": os.path.basename(script), "args": args, "cpus": os.cpu_count(),
              "load_average": round(max(load, os.getloadavg()[0]), 1),
              "measured": datetime.datetime.now(datetime.UTC).strftime("%Y-%m-%d %H:%M UTC"),
              "tables": tables(lines)}
    with open(os.path.join(RESULTS, name + ".json"), "w", encoding="utf-8") as f:
        json.dump(record, f, indent=1, ensure_ascii=False)
        f.write("\n")


if __name__ == "__main__":
    main()
