#!/usr/bin/env python3
"""The lazy road against its peers, on the same bytes as bench_peers.py.

    make bench-lazy                        # builds, installs the peers, runs this
    python bench/bench_lazy.py [--size 1G] [--reps 1]

Two tasks over the generated NDJSON (one plain file):
- items: yield every `events[*].user.id` in document order, the caller keeping
  nothing: jorvane.items, ijson (yajl2_c) `items(..., "events.item.user.id",
  multiple_values=True)`, and an orjson per-line loop yielding the same values;
- describe: a structural profile (every path with its count and JSON types):
  jorvane.describe and a profiler in Python over orjson.loads of each line.

Each measurement runs in a fresh process; answers are checked equal (items:
the number of values and their sum; describe: every path's count and types)
and wall time and peak resident set size are reported.
"""

from __future__ import annotations

import json
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parent
sys.path.insert(0, str(HERE / "peers"))

import single_file  # noqa: E402

TASKS = {"items": ["jorvane", "ijson", "orjson"], "describe": ["jorvane", "orjson"]}


# ---------------------------------------------------------------- the runners (in the worker process)


def items_jorvane(path):
    import jorvane

    n = total = 0
    for v in jorvane.items(path, "events[*].user.id"):
        n += 1
        total += v
    return [n, total]


def items_ijson(path):
    import ijson

    n = total = 0
    with open(path, "rb") as f:
        for v in ijson.items(f, "events.item.user.id", multiple_values=True):
            n += 1
            total += v
    return [n, total]


def orjson_ids(path):
    import orjson

    with open(path, "rb", buffering=1 << 20) as f:
        for line in f:
            rec = orjson.loads(line)
            for ev in rec.get("events") or ():
                user = ev.get("user") if isinstance(ev, dict) else None
                if isinstance(user, dict) and "id" in user:
                    yield user["id"]


def items_orjson(path):
    n = total = 0
    for v in orjson_ids(path):
        n += 1
        total += v
    return [n, total]


def describe_jorvane(path):
    import jorvane

    d = jorvane.describe(path)
    return {p: [e["count"], sorted(e["types"].items())] for p, e in d.paths().items()}


TYPE_NAMES = {type(None): "null", bool: "boolean", int: "number", float: "number", str: "string",
              list: "array", dict: "object"}


def describe_orjson(path):
    import orjson

    stats = {}

    def note(p, v):
        e = stats.get(p)
        if e is None:
            e = stats[p] = [0, {}]
        e[0] += 1
        t = TYPE_NAMES[type(v)]
        e[1][t] = e[1].get(t, 0) + 1
        if isinstance(v, dict):
            for k, x in v.items():
                note(k if p == "$" else p + "." + k, x)
        elif isinstance(v, list):
            child = "[]" if p == "$" else p + "[]"
            for x in v:
                note(child, x)

    with open(path, "rb", buffering=1 << 20) as f:
        for line in f:
            if line.strip():
                note("$", orjson.loads(line))
    return {p: [e[0], sorted(e[1].items())] for p, e in stats.items()}


RUNNERS = {
    ("items", "jorvane"): items_jorvane,
    ("items", "ijson"): items_ijson,
    ("items", "orjson"): items_orjson,
    ("describe", "jorvane"): describe_jorvane,
    ("describe", "orjson"): describe_orjson,
}


def worker(task, engine, path):
    for name in {"jorvane": ["jorvane"], "ijson": ["ijson"], "orjson": ["orjson"]}[engine]:
        __import__(name)
    start = time.perf_counter()
    result = RUNNERS[(task, engine)](path)
    seconds = time.perf_counter() - start
    print(json.dumps({"result": result, "seconds": seconds, "rss_peak": single_file.status_bytes("VmHWM")}))


# ---------------------------------------------------------------- the driver


def main(argv=None):
    args = single_file.parser(__doc__, 3).parse_args(argv)
    if args.worker:
        worker(*args.worker)
        return 0
    meta, path = single_file.prepare(args)
    rows = []
    for task, engines in TASKS.items():
        answers = {}
        for engine in engines:
            row = {"task": task, "engine": engine, **single_file.measure(__file__, [task, engine, path], args.reps)}
            if "error" not in row:
                answers[engine] = row["result"]
            rows.append(row)
            state = row.get("error") or "%.2f s" % row["seconds"]
            print(f"  {task:8} {engine:8} {state}", file=sys.stderr, flush=True)
        ref = answers.get("jorvane")
        for row in rows:
            if row["task"] == task and "error" not in row:
                row["check"] = "ref" if row["engine"] == "jorvane" else ("ok" if answers[row["engine"]] == ref else "DIFF")
    print("\n| task | engine | GB/s | seconds | peak RSS | vs jorvane | check |")
    print("|---|---|---:|---:|---:|---:|---|")
    for row in rows:
        if "error" in row:
            print(f"| {row['task']} | {row['engine']} | — | — | — | — | {row['error'][:60]} |")
            continue
        j = next(r for r in rows if r["task"] == row["task"] and r["engine"] == "jorvane")
        ratio = "" if row["engine"] == "jorvane" or "seconds" not in j else f"{row['seconds'] / j['seconds']:.1f}x"
        print(f"| {row['task']} | {row['engine']} | {meta['bytes'] / row['seconds'] / 1e9:.3f} | {row['seconds']:.2f} | "
              f"{row['rss_peak'] / 1e6:,.0f} MB | {ratio} | {row['check']} |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
