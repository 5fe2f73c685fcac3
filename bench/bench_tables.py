#!/usr/bin/env python3
"""Typed tables against their peers, on the same bytes as bench_peers.py.

    make bench-tables                      # builds, installs the peers, runs this
    python bench/bench_tables.py [--size 1G] [--reps 1]

One task over the generated NDJSON (one plain file, one thread): a table of
four columns per record, an integer (`id`), a float (`amount`), a string
(`currency`) and a nested list (`user.tags`), ending as a pandas DataFrame:
jorvane.table(...).to_pandas(), polars read_ndjson with a schema, pyarrow
read_json with an explicit schema, and DuckDB read_json selecting the same
columns. Each measurement runs in a fresh process; answers are checked equal
(row count, sums of id and amount, currency counts, number of tags) and wall
time and peak resident set size are reported, with the size of the result's
columns for the memory target.
"""

from __future__ import annotations

import json
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE / "peers"))

import single_file  # noqa: E402

ENGINES = ["jorvane", "polars", "pyarrow", "duckdb"]


def summary(df):
    """What every engine's DataFrame must agree on."""
    tags = df["tags"]
    n_tags = int(sum(len(t) for t in tags if t is not None))
    counts = {str(k): int(v) for k, v in df["currency"].value_counts().items()}
    return {"rows": int(len(df)), "id": int(df["id"].sum()), "amount": round(float(df["amount"].sum()), 3),
            "currency": counts, "tags": n_tags}


def run_jorvane(path):
    import jorvane

    t = jorvane.table(path, "", {"id": "id", "amount": "amount", "currency": "currency", "tags": "user.tags"},
                      use_float=True, mode="batched")
    return t.to_pandas()


def run_polars(path):
    import polars as pl

    schema = {"id": pl.Int64, "amount": pl.Float64, "currency": pl.String,
              "user": pl.Struct({"tags": pl.List(pl.String)})}
    df = pl.read_ndjson(path, schema=schema)
    df = df.select("id", "amount", "currency", pl.col("user").struct.field("tags").alias("tags"))
    return df.to_pandas()


def run_pyarrow(path):
    import pyarrow as pa
    import pyarrow.json as pj

    pa.set_cpu_count(1)
    schema = pa.schema([("id", pa.int64()), ("amount", pa.float64()), ("currency", pa.string()),
                        ("user", pa.struct([("tags", pa.list_(pa.string()))]))])
    t = pj.read_json(path, read_options=pj.ReadOptions(use_threads=False),
                     parse_options=pj.ParseOptions(explicit_schema=schema, unexpected_field_behavior="ignore"))
    tags = t.column("user").combine_chunks().field("tags")
    t = pa.table({"id": t.column("id"), "amount": t.column("amount"), "currency": t.column("currency"), "tags": tags})
    return t.to_pandas()


def run_duckdb(path):
    import duckdb

    con = duckdb.connect(config={"threads": 1})
    return con.execute(
        "SELECT id, amount, currency, \"user\".tags AS tags FROM read_json(?, format='newline_delimited', "
        "columns={'id': 'BIGINT', 'amount': 'DOUBLE', 'currency': 'VARCHAR', 'user': 'STRUCT(tags VARCHAR[])'})",
        [path]).df()


RUNNERS = {"jorvane": run_jorvane, "polars": run_polars, "pyarrow": run_pyarrow, "duckdb": run_duckdb}
PRELOAD = {"jorvane": ["jorvane", "pandas"], "polars": ["polars", "pandas", "pyarrow"],
           "pyarrow": ["pyarrow", "pyarrow.json", "pandas"], "duckdb": ["duckdb", "pandas"]}


def worker(engine, path):
    for name in PRELOAD[engine]:
        __import__(name)
    base = single_file.status_bytes("VmRSS")
    start = time.perf_counter()
    df = RUNNERS[engine](path)
    seconds = time.perf_counter() - start
    size = int(df.memory_usage(deep=True).sum())
    print(json.dumps({"result": summary(df), "seconds": seconds, "rss_peak": single_file.status_bytes("VmHWM"),
                      "rss_base": base, "frame_bytes": size}))


def main(argv=None):
    args = single_file.parser(__doc__, 2).parse_args(argv)
    if args.worker:
        worker(*args.worker)
        return 0
    meta, path = single_file.prepare(args)
    rows = []
    for engine in ENGINES:
        row = {"engine": engine, **single_file.measure(__file__, [engine, path], args.reps, {"POLARS_MAX_THREADS": "1"})}
        rows.append(row)
        state = row.get("error") or "%.2f s" % row["seconds"]
        print(f"  {engine:8} {state}", file=sys.stderr, flush=True)
    ref = next((r for r in rows if r["engine"] == "jorvane" and "error" not in r), None)
    print("\n| engine | GB/s | seconds | peak RSS | DataFrame | vs jorvane | check |")
    print("|---|---:|---:|---:|---:|---:|---|")
    for row in rows:
        if "error" in row:
            print(f"| {row['engine']} | — | — | — | — | — | {row['error'][:60]} |")
            continue
        ratio = "" if row is ref or not ref else f"{row['seconds'] / ref['seconds']:.1f}x"
        check = "ref" if row is ref else ("ok" if ref and row["result"] == ref["result"] else "DIFF")
        print(f"| {row['engine']} | {meta['bytes'] / row['seconds'] / 1e9:.3f} | {row['seconds']:.2f} | "
              f"{row['rss_peak'] / 1e6:,.0f} MB | {row['frame_bytes'] / 1e6:,.0f} MB | {ratio} | {check} |")
    if ref:
        budget = 1.5 * ref["frame_bytes"] + 64e6
        growth = ref["rss_peak"] - ref["rss_base"]
        print(f"\njorvane peak RSS above the interpreter: {growth / 1e6:,.0f} MB; "
              f"target 1.5 x DataFrame + 64 MB = {budget / 1e6:,.0f} MB: {'met' if growth <= budget else 'not met'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
