#!/usr/bin/env python3
"""group_by against its peers, on the generated NDJSON.

    make bench-groupby                          # builds, installs the peers, runs this
    python bench/bench_groupby.py [--size 1G] [--reps 1] [--input records.ndjson]

One task over one plain file on one thread: group the records by a string
field (`currency`) and compute the row count, the sum of an integer field
(`qty`), the mean of a decimal field (`amount`) and the number of distinct
nested ids (`user.id`):

- jorvane.group_by(path, "", "currency", {...}) in batched mode;
- polars scan_ndjson with a schema, then group_by/agg (POLARS_MAX_THREADS=1);
- DuckDB read_json with declared columns, then GROUP BY (threads=1);
- pandas read_json(lines=True) read in chunks of 200,000 lines (the whole
  file at once needs many times its size in memory), grouped per chunk and
  combined (sets of ids kept per currency).

Each measurement runs in a fresh process; answers are checked equal (counts,
sums and distinct counts exactly, means to 1e-9 relative), and wall time and
peak resident set size (VmHWM) are reported with the machine's load.
"""

from __future__ import annotations

import json
import math
import os
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE / "peers"))
import single_file  # noqa: E402

ENGINES = ["jorvane", "polars", "duckdb", "pandas"]


def run_jorvane(path):
    import jorvane

    t = jorvane.group_by(path, "", "currency", {"n": "count", "qty": ("sum", "qty"), "amount": ("mean", "amount"),
                                                "users": ("count_unique", "user.id")}, mode="batched")
    d = t.to_dict()
    return {c: (int(n), int(q), float(a), int(u)) for c, n, q, a, u in
            zip(d["currency"], d["n"], d["qty"], d["amount"], d["users"])}


def run_polars(path):
    import polars as pl

    schema = {"qty": pl.Int64, "amount": pl.Float64, "currency": pl.String, "user": pl.Struct({"id": pl.Int64})}
    df = (pl.scan_ndjson(path, schema=schema)
          .group_by("currency")
          .agg(n=pl.len(), qty=pl.col("qty").sum(), amount=pl.col("amount").mean(),
               users=pl.col("user").struct.field("id").n_unique())
          .collect())
    return {r["currency"]: (int(r["n"]), int(r["qty"]), float(r["amount"]), int(r["users"]))
            for r in df.iter_rows(named=True)}


def run_duckdb(path):
    import duckdb

    con = duckdb.connect(config={"threads": 1})
    rows = con.execute(
        "SELECT currency, count(*), sum(qty), avg(amount), count(DISTINCT \"user\".id) FROM read_json(?, "
        "format='newline_delimited', columns={'qty': 'BIGINT', 'amount': 'DOUBLE', 'currency': 'VARCHAR', "
        "'user': 'STRUCT(id BIGINT)'}) GROUP BY currency", [path]).fetchall()
    return {c: (int(n), int(q), float(a), int(u)) for c, n, q, a, u in rows}


def run_pandas(path):
    import pandas as pd

    totals = {}
    users = {}
    for chunk in pd.read_json(path, lines=True, chunksize=200_000, dtype=False):
        ids = chunk["user"].map(lambda u: u["id"])
        g = chunk.groupby("currency").agg(n=("qty", "size"), qty=("qty", "sum"), amount=("amount", "sum"),
                                          m=("amount", "count"))
        for cur, r in g.iterrows():
            t = totals.setdefault(cur, [0, 0, 0.0, 0])
            t[0] += int(r["n"])
            t[1] += int(r["qty"])
            t[2] += float(r["amount"])
            t[3] += int(r["m"])
        for cur, s in ids.groupby(chunk["currency"]):
            users.setdefault(cur, set()).update(s.tolist())
    return {c: (t[0], t[1], t[2] / t[3], len(users[c])) for c, t in totals.items()}


RUNNERS = {"jorvane": run_jorvane, "polars": run_polars, "duckdb": run_duckdb, "pandas": run_pandas}
PRELOAD = {"jorvane": ["jorvane", "numpy"], "polars": ["polars"], "duckdb": ["duckdb"], "pandas": ["pandas"]}


def cpu_seconds():
    import resource

    u = resource.getrusage(resource.RUSAGE_SELF)
    return u.ru_utime + u.ru_stime


def worker(engine, path):
    for name in PRELOAD[engine]:
        __import__(name)
    base = single_file.status_bytes("VmRSS")
    cpu = cpu_seconds()
    start = time.perf_counter()
    result = RUNNERS[engine](path)
    seconds = time.perf_counter() - start
    cpu = cpu_seconds() - cpu
    print(json.dumps({"result": result, "seconds": seconds, "cpu": cpu, "rss_peak": single_file.status_bytes("VmHWM"), "rss_base": base}))


def agree(a, b):
    if a.keys() != b.keys():
        return False
    for k in a:
        (n1, q1, m1, u1), (n2, q2, m2, u2) = a[k], b[k]
        if (n1, q1, u1) != (n2, q2, u2) or not math.isclose(m1, m2, rel_tol=1e-9):
            return False
    return True


def main(argv=None):
    p = single_file.parser(__doc__, 2)
    p.add_argument("--input", help="an NDJSON file of gen_ndjson's shape to read instead of generating one")
    p.add_argument("--engines", default=",".join(ENGINES))
    args = p.parse_args(argv)
    if args.worker:
        worker(*args.worker)
        return 0
    path = single_file.input_file(args)
    size = os.path.getsize(path)
    rows = []
    for engine in args.engines.split(","):
        before = single_file.load()
        row = {"engine": engine, "load": before,
               **single_file.measure(__file__, [engine, path], args.reps, {"POLARS_MAX_THREADS": "1"})}
        rows.append(row)
        state = row.get("error") or "%.2f s" % row["seconds"]
        print(f"  {engine:8} {state} ({before})", file=sys.stderr, flush=True)
    ref = next((r for r in rows if r["engine"] == "jorvane" and "error" not in r), None)
    print("\n| engine | GB/s | seconds | CPU seconds | peak RSS | vs jorvane | check | machine load before |")
    print("|---|---:|---:|---:|---:|---:|---|---|")
    for row in rows:
        if "error" in row:
            print(f"| {row['engine']} | — | — | — | — | — | {row['error'][:60]} | {row['load']} |")
            continue
        ratio = "" if row is ref or not ref else f"{row['seconds'] / ref['seconds']:.1f}x"
        check = "ref" if row is ref else ("ok" if ref and agree(row["result"], ref["result"]) else "DIFF")
        print(f"| {row['engine']} | {size / row['seconds'] / 1e9:.3f} | {row['seconds']:.2f} | {row['cpu']:.2f} | "
              f"{row['rss_peak'] / 1e6:,.0f} MB | {ratio} | {check} | {row['load']} |")
    if ref:
        groups = len(ref["result"])
        growth = ref["rss_peak"] - ref["rss_base"]
        print(f"\n{groups} groups; jorvane peak RSS above the interpreter: {growth / 1e6:,.0f} MB "
              f"(target: 64 MB plus the groups' own state)")
        print("groups:", json.dumps(ref["result"], sort_keys=True))
    return 0


if __name__ == "__main__":
    sys.exit(main())
