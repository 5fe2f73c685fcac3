#!/usr/bin/env python3
"""The table road end to end against its peers, on all cores and on one thread.

    make bench-road                             # builds, installs the peers, runs this
    python bench/bench_road.py [--size 1G] [--reps 1] [--tasks ...] [--python-path DIR]

Tasks over the generated NDJSON (one plain file; --input reads another file of
gen_ndjson's shape), each on all cores and on one thread:

- table: four columns per record, `id`, `amount`, `currency` and the nested
  list `user.tags`, ending as a pandas DataFrame: jorvane.table(...)
  .to_pandas(), DuckDB read_json(...).df(), pyarrow read_json with an explicit
  schema, polars read_ndjson with a schema;
- group_by: records grouped by `currency` with the row count, the sum of
  `qty`, the mean of `amount` and the number of distinct `user.id`:
  jorvane.group_by, DuckDB GROUP BY, polars group_by/agg (pandas read in
  chunks with --pandas: slow, one thread);
- group_by count_unique: the number of distinct values of a near-unique
  column per group alone, jorvane.group_by against DuckDB's
  count(DISTINCT ...): `user.id` by `currency` over the generated records,
  and `uid` by a key of 999 values over records of about 370 bytes made once
  from a fixed seed (--short-size, default 480M, kept in the data directory);
- write_parquet: the four table columns written to Parquet (zstd) by
  jorvane.write_parquet and by DuckDB COPY (SELECT ...) TO (FORMAT parquet,
  COMPRESSION zstd); each file is read back and checked;
- write_ndjson: `id`, `user.id` and `currency` of every record, and the whole
  records, written as NDJSON by jorvane.write_ndjson and by an orjson loop
  (a line read, orjson.loads, orjson.dumps of the projection, written);
- describe: jorvane.describe alone; against another build with --python-path;
- memory: peak RSS of table_batches and write_parquet over the input and over
  its first quarter, to show it stays flat as the input grows.

Threads: all cores is jorvane's default (mode=None), DuckDB threads=N,
pyarrow use_threads with a CPU pool of N, POLARS_MAX_THREADS=N; one thread is
jorvane mode="batched" (and max_threads=1 where the function takes it), DuckDB
threads=1, pyarrow use_threads=False with pools of 1, POLARS_MAX_THREADS=1.
The orjson loop and chunked pandas have no thread setting and run once.

Each measurement runs in a fresh process that imports its modules first
(import time is not counted), times the call alone and reports the wall time,
the CPU time of the process, the resident size before the call and the peak
resident set size (VmHWM). The interpreter baseline of a measurement is a
fresh process that imports the same modules and does nothing. Answers are
checked equal to jorvane's first run of the task. Ratios are the peer's time
divided by jorvane's (how many times faster jorvane was); the goals after the
tables are reported, never asserted.

--python-path DIR (or JORVANE_BENCH_PYTHON_PATH) adds the engine `base`: the
same jorvane calls with the module imported from DIR (e.g. another worktree's
python/ directory), so two builds are compared in one run.
"""

from __future__ import annotations

import argparse
import importlib
import inspect
import json
import math
import os
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parent
sys.path.insert(0, str(HERE / "peers"))

import bench_groupby  # noqa: E402
import bench_ndjson  # noqa: E402
import bench_peers  # noqa: E402
import bench_tables  # noqa: E402
import bench_writers  # noqa: E402
import dataset  # noqa: E402
import engines as peer_engines  # noqa: E402
from worker import status_bytes  # noqa: E402

COLUMNS = {"id": "id", "amount": "amount", "currency": "currency", "tags": "user.tags"}
FIELDS = bench_ndjson.FIELDS
# DuckDB is told only the columns each task reads, as the other peers are.
DUCK_TABLE = ("read_json(?, format='newline_delimited', columns={'id': 'BIGINT', 'amount': 'DOUBLE', "
              "'currency': 'VARCHAR', 'user': 'STRUCT(tags VARCHAR[])'})")
DUCK_GROUPS = ("read_json(?, format='newline_delimited', columns={'qty': 'BIGINT', 'amount': 'DOUBLE', "
               "'currency': 'VARCHAR', 'user': 'STRUCT(id BIGINT)'})")
DUCK_DISTINCT = ("read_json(?, format='newline_delimited', columns={'currency': 'VARCHAR', "
                 "'user': 'STRUCT(id BIGINT)'})")
DUCK_SHORT = "read_json(?, format='newline_delimited', columns={'key': 'BIGINT', 'uid': 'BIGINT'})"

TASKS = ["table", "group_by", "write_parquet", "write_ndjson", "describe", "memory"]
ENGINES = ["jorvane", "base", "duckdb", "pyarrow", "polars", "orjson", "pandas"]
ENGINE_LABELS = {"jorvane": "jorvane", "base": "base build", "duckdb": "DuckDB", "pyarrow": "pyarrow",
                 "polars": "polars", "orjson": "orjson loop", "pandas": "pandas chunked"}
JORVANE = {"jorvane", "base"}
ONE_THREAD_ONLY = {"orjson", "pandas"}

# The measured cases: the task each belongs to, its label and the engines that run it.
CASES = {
    "table": ("table", "table -> pandas", ["jorvane", "base", "duckdb", "pyarrow", "polars"]),
    "group_by": ("group_by", "group_by currency", ["jorvane", "base", "duckdb", "polars", "pandas"]),
    "distinct": ("group_by", "group_by count_unique", ["jorvane", "base", "duckdb"]),
    "distinct_short": ("group_by", "group_by count_unique, 370 B records", ["jorvane", "base", "duckdb"]),
    "write_parquet": ("write_parquet", "write_parquet", ["jorvane", "base", "duckdb"]),
    "ndjson_fields": ("write_ndjson", "write_ndjson, 3 fields", ["jorvane", "base", "orjson"]),
    "ndjson_rows": ("write_ndjson", "write_ndjson, whole rows", ["jorvane", "base", "orjson"]),
    "describe": ("describe", "describe", ["jorvane", "base"]),
}
# Cases over the records of about 370 bytes rather than the generated input.
SHORT_CASES = {"distinct_short"}
MEMORY_CASES = {"batches": "table_batches", "write_parquet": "write_parquet"}
CHUNK_ROWS = 65536  # the default batch_rows of table_batches and write_parquet

PRELOAD = {
    ("table", "jorvane"): ["jorvane", "pandas"],
    ("table", "duckdb"): ["duckdb", "pandas"],
    ("table", "pyarrow"): ["pyarrow", "pyarrow.json", "pandas"],
    ("table", "polars"): ["polars", "pandas", "pyarrow"],
    ("group_by", "jorvane"): ["jorvane", "numpy"],
    ("group_by", "duckdb"): ["duckdb"],
    ("group_by", "polars"): ["polars"],
    ("group_by", "pandas"): ["pandas"],
    ("distinct", "jorvane"): ["jorvane"],
    ("distinct", "duckdb"): ["duckdb"],
    ("distinct_short", "jorvane"): ["jorvane"],
    ("distinct_short", "duckdb"): ["duckdb"],
    # pyarrow imports pandas on the first batch it writes: loaded here so that import is not timed.
    ("write_parquet", "jorvane"): ["jorvane", "pyarrow", "pyarrow.parquet", "pandas"],
    ("write_parquet", "duckdb"): ["duckdb"],
    ("ndjson_fields", "jorvane"): ["jorvane"],
    ("ndjson_fields", "orjson"): ["orjson"],
    ("ndjson_rows", "jorvane"): ["jorvane"],
    ("ndjson_rows", "orjson"): ["orjson"],
    ("describe", "jorvane"): ["jorvane"],
    ("batches", "jorvane"): ["jorvane", "numpy"],
}


def preload(case: str, engine: str) -> list:
    return PRELOAD[(case, "jorvane" if engine in JORVANE else engine)]


# ---- the measured calls (in the worker process) ------------------------------------------------------------------

def jorvane_options(fn, threads: int) -> dict:
    """All cores: jorvane's own choice. One thread: batched mode, and a thread budget of one where the
    function takes one (older and newer builds may differ in that)."""
    if threads != 1:
        return {}
    options = {"mode": "batched"}
    try:
        if "max_threads" in inspect.signature(fn).parameters:
            options["max_threads"] = 1
    except (TypeError, ValueError):
        pass
    return options


def table_jorvane(threads, path, out):
    import jorvane

    t = jorvane.table(path, "", COLUMNS, use_float=True, **jorvane_options(jorvane.table, threads))
    return t.to_pandas()


def table_duckdb(threads, path, out):
    import duckdb

    con = duckdb.connect(config={"threads": threads})
    return con.execute(f"SELECT id, amount, currency, \"user\".tags AS tags FROM {DUCK_TABLE}", [path]).df()


def table_pyarrow(threads, path, out):
    import pyarrow as pa
    import pyarrow.json as pj

    schema = pa.schema([("id", pa.int64()), ("amount", pa.float64()), ("currency", pa.string()),
                        ("user", pa.struct([("tags", pa.list_(pa.string()))]))])
    t = pj.read_json(path, read_options=pj.ReadOptions(use_threads=threads > 1),
                     parse_options=pj.ParseOptions(explicit_schema=schema, unexpected_field_behavior="ignore"))
    tags = t.column("user").combine_chunks().field("tags")
    t = pa.table({"id": t.column("id"), "amount": t.column("amount"), "currency": t.column("currency"), "tags": tags})
    return t.to_pandas(use_threads=threads > 1)


def table_polars(threads, path, out):
    return bench_tables.run_polars(path)  # its threads come from POLARS_MAX_THREADS


def group_jorvane(threads, path, out):
    import jorvane

    t = jorvane.group_by(path, "", "currency", {"n": "count", "qty": ("sum", "qty"), "amount": ("mean", "amount"),
                                                "users": ("count_unique", "user.id")},
                         **jorvane_options(jorvane.group_by, threads))
    d = t.to_dict()
    return {c: (int(n), int(q), float(a), int(u)) for c, n, q, a, u in
            zip(d["currency"], d["n"], d["qty"], d["amount"], d["users"])}


def group_duckdb(threads, path, out):
    import duckdb

    con = duckdb.connect(config={"threads": threads})
    rows = con.execute(f"SELECT currency, count(*), sum(qty), avg(amount), count(DISTINCT \"user\".id) "
                       f"FROM {DUCK_GROUPS} GROUP BY currency", [path]).fetchall()
    return {c: (int(n), int(q), float(a), int(u)) for c, n, q, a, u in rows}


def distinct_jorvane(threads, path, out):
    import jorvane

    t = jorvane.group_by(path, "", "currency", {"users": ("count_unique", "user.id")},
                         **jorvane_options(jorvane.group_by, threads))
    d = t.to_dict()
    return dict(zip(d["currency"], (int(u) for u in d["users"])))


def distinct_duckdb(threads, path, out):
    import duckdb

    con = duckdb.connect(config={"threads": threads})
    rows = con.execute(f"SELECT currency, count(DISTINCT \"user\".id) FROM {DUCK_DISTINCT} GROUP BY currency",
                       [path]).fetchall()
    return {c: int(u) for c, u in rows}


def short_jorvane(threads, path, out):
    import jorvane

    t = jorvane.group_by(path, "", "key", {"users": ("count_unique", "uid")},
                         **jorvane_options(jorvane.group_by, threads))
    d = t.to_dict()
    return {str(k): int(u) for k, u in zip(d["key"], d["users"])}


def short_duckdb(threads, path, out):
    import duckdb

    con = duckdb.connect(config={"threads": threads})
    rows = con.execute(f"SELECT key, count(DISTINCT uid) FROM {DUCK_SHORT} GROUP BY key", [path]).fetchall()
    return {str(k): int(u) for k, u in rows}


def make_short_records(size: int, out: Path) -> Path:
    """NDJSON records of about 370 bytes, made once from a fixed seed: an id, a timestamp, a `key` of 999
    values, a `uid` drawn from 460,000 values (nearly unique within a key), an amount and free text."""
    if out.exists() and out.stat().st_size >= size:
        return out
    import random

    rng = random.Random(1)
    words = ["order", "arrived", "late", "but", "works", "fine", "great", "price", "shipping", "refund", "box",
             "café", "naïve", "résumé", "quick", "brown", "fox", "jumps", "over", "lazy", "dog"]
    tmp = out.with_name(out.name + ".tmp")
    written = 0
    with open(tmp, "w", encoding="utf-8") as f:
        i = 0
        while written < size:
            text = " ".join(rng.choice(words) for _ in range(34 + rng.randrange(20)))
            line = (f'{{"id":{i},"ts":"2024-{1 + rng.randrange(12):02d}-{1 + rng.randrange(28):02d}T'
                    f'{rng.randrange(24):02d}:{rng.randrange(60):02d}:00Z","key":{rng.randrange(999)},'
                    f'"uid":{rng.randrange(460000)},"amount":{rng.randrange(1000000) / 100:.2f},'
                    f'"flags":{{"beta":{"true" if rng.randrange(2) else "false"}}},"text":"{text}"}}\n')
            f.write(line)
            written += len(line.encode())
            i += 1
    os.replace(tmp, out)
    return out


def group_polars(threads, path, out):
    return bench_groupby.run_polars(path)


def group_pandas(threads, path, out):
    return bench_groupby.run_pandas(path)


def parquet_jorvane(threads, path, out):
    import jorvane

    return jorvane.write_parquet(path, out, "", COLUMNS, **jorvane_options(jorvane.write_parquet, threads))


def parquet_duckdb(threads, path, out):
    import duckdb

    con = duckdb.connect(config={"threads": threads})
    con.execute(f"COPY (SELECT id, amount, currency, \"user\".tags AS tags FROM {DUCK_TABLE}) TO "
                f"'{out}' (FORMAT parquet, COMPRESSION zstd)", [path])


def fields_jorvane(threads, path, out):
    import jorvane

    return jorvane.write_ndjson(path, out, "", fields=FIELDS, **jorvane_options(jorvane.write_ndjson, threads))


def fields_orjson(threads, path, out):
    return bench_ndjson.run_orjson(path, out)


def rows_jorvane(threads, path, out):
    import jorvane

    return jorvane.write_ndjson(path, out, "", **jorvane_options(jorvane.write_ndjson, threads))


def rows_orjson(threads, path, out):
    import orjson

    n = 0
    with open(path, "rb") as src, open(out, "wb") as dst:
        write = dst.write
        for line in src:
            if not line.strip():
                continue
            write(orjson.dumps(orjson.loads(line)) + b"\n")
            n += 1
    return n


def describe_jorvane(threads, path, out):
    import jorvane

    return jorvane.describe(path, **jorvane_options(jorvane.describe, threads))


def batches_jorvane(threads, path, out):
    import jorvane

    rows = ids = 0
    for batch in jorvane.table_batches(path, "", COLUMNS, use_float=True,
                                       **jorvane_options(jorvane.table_batches, threads)):
        rows += batch.n_rows
        col = batch.column("id")
        ids += int(col.sum()) if hasattr(col, "sum") else sum(v for v in col if v is not None)
        del batch, col  # the caller keeps nothing while the next chunk is gathered
    return [rows, ids]


RUNNERS = {
    ("table", "jorvane"): table_jorvane, ("table", "duckdb"): table_duckdb, ("table", "pyarrow"): table_pyarrow,
    ("table", "polars"): table_polars,
    ("group_by", "jorvane"): group_jorvane, ("group_by", "duckdb"): group_duckdb,
    ("group_by", "polars"): group_polars, ("group_by", "pandas"): group_pandas,
    ("distinct", "jorvane"): distinct_jorvane, ("distinct", "duckdb"): distinct_duckdb,
    ("distinct_short", "jorvane"): short_jorvane, ("distinct_short", "duckdb"): short_duckdb,
    ("write_parquet", "jorvane"): parquet_jorvane, ("write_parquet", "duckdb"): parquet_duckdb,
    ("ndjson_fields", "jorvane"): fields_jorvane, ("ndjson_fields", "orjson"): fields_orjson,
    ("ndjson_rows", "jorvane"): rows_jorvane, ("ndjson_rows", "orjson"): rows_orjson,
    ("describe", "jorvane"): describe_jorvane,
    ("batches", "jorvane"): batches_jorvane,
}


def answer(case, value, out) -> dict:
    """What the engines of a case must agree on, computed after the measurement."""
    if case == "table":
        return {"result": bench_tables.summary(value), "frame_bytes": int(value.memory_usage(deep=True).sum())}
    if case == "write_parquet":
        return {"result": bench_writers.read_back("parquet", out)}
    if case in ("ndjson_fields", "ndjson_rows"):
        return {"result": {"lines": count_lines(out)}, "digest": bench_ndjson.digest(out),
                "out_bytes": os.path.getsize(out)}
    if case == "describe":
        return {"result": {p: [e["count"], sorted(e["types"].items())] for p, e in value.paths().items()}}
    return {"result": value}


def count_lines(path) -> int:
    n = 0
    with open(path, "rb") as f:
        while block := f.read(8 << 20):
            n += block.count(b"\n")
    return n


def cpu_seconds() -> float:
    u = resource.getrusage(resource.RUSAGE_SELF)
    return u.ru_utime + u.ru_stime


def worker(task: dict) -> None:
    case, engine, threads = task["case"], task["engine"], task["threads"]
    for name in preload(case, engine):
        importlib.import_module(name)
    module = None
    if engine in JORVANE:
        module = str(Path(sys.modules["jorvane"].__file__).resolve().parent)
    if task.get("idle"):
        print(json.dumps({"rss_peak": status_bytes("VmHWM"), "module": module}))
        return
    if threads == 1 and "pyarrow" in sys.modules:
        import pyarrow as pa

        pa.set_cpu_count(1)
        pa.set_io_thread_count(1)
    base = status_bytes("VmRSS")
    cpu = cpu_seconds()
    start = time.perf_counter()
    value = RUNNERS[(case, "jorvane" if engine in JORVANE else engine)](threads, task["path"], task.get("out"))
    seconds = time.perf_counter() - start
    cpu = cpu_seconds() - cpu
    peak = status_bytes("VmHWM")
    print(json.dumps({"seconds": seconds, "cpu": cpu, "rss_base": base, "rss_peak": peak, "module": module,
                      **answer(case, value, task.get("out"))}))


# ---- running the measurements ------------------------------------------------------------------------------------

def child_env(engine: str, threads: int, base_dir: str | None) -> dict:
    env = dict(os.environ)
    if engine == "base":
        env["PYTHONPATH"] = base_dir  # that build alone, never this tree's module
    else:
        env = bench_peers.child_env({})
    env["OPENBLAS_NUM_THREADS"] = "1"  # numpy's pool would otherwise start threads that spin
    if engine == "polars":
        env["POLARS_MAX_THREADS"] = str(threads)
    return env


def run_worker(task: dict, base_dir: str | None) -> dict:
    proc = subprocess.run([sys.executable, __file__, "--worker", json.dumps(task)],
                          env=child_env(task["engine"], task["threads"], base_dir), capture_output=True, text=True)
    if proc.returncode != 0:
        return {"error": (proc.stderr.strip().splitlines() or [f"exit status {proc.returncode}"])[-1][:200]}
    return json.loads(proc.stdout.strip().splitlines()[-1])


class Runner:
    def __init__(self, args, base_dir):
        self.reps = max(1, args.reps)
        self.base_dir = base_dir
        self.idle = {}  # (preloaded modules, engine is base) -> peak RSS of a process that does nothing
        self.modules = {}

    def baseline(self, case, engine) -> int | None:
        key = (tuple(preload(case, engine)), engine == "base")
        if key not in self.idle:
            r = run_worker({"case": case, "engine": engine, "threads": 1, "idle": True}, self.base_dir)
            self.idle[key] = r.get("rss_peak")
        return self.idle[key]

    def measure(self, case, engine, threads, path, out=None) -> dict:
        """The best of `reps` fresh-process runs (the highest peak RSS of them kept), or {"error": ...}."""
        runs = []
        load = os.getloadavg()[0]
        for _ in range(self.reps):
            if out:
                Path(out).unlink(missing_ok=True)
            runs.append(run_worker({"case": case, "engine": engine, "threads": threads, "path": str(path),
                                    "out": out}, self.base_dir))
        good = [r for r in runs if "error" not in r]
        row = {"case": case, "engine": engine, "threads": threads, "load": load, "input_bytes": os.path.getsize(path)}
        if not good:
            row["error"] = runs[0]["error"]
        else:
            best = dict(min(good, key=lambda r: r["seconds"]))
            best["rss_peak"] = max(r["rss_peak"] for r in good)
            best["all_seconds"] = [r["seconds"] for r in good]
            row.update(best)
            row["idle"] = self.baseline(case, engine)
            if best.get("module"):
                self.modules.setdefault(engine, best["module"])
        state = row.get("error") or f"{row['seconds']:.2f} s, {mb(row['rss_peak'])}"
        print(f"  {case:14} t{threads:<2} {engine:8} {state} (load {load:.1f})", file=sys.stderr, flush=True)
        return row


# ---- checks ------------------------------------------------------------------------------------------------------

def agree(a, b) -> bool:
    """Equal, floats to 1e-9 relative (sums and means depend on the order of addition)."""
    if isinstance(a, dict) and isinstance(b, dict):
        return a.keys() == b.keys() and all(agree(a[k], b[k]) for k in a)
    if isinstance(a, (list, tuple)) and isinstance(b, (list, tuple)):
        return len(a) == len(b) and all(agree(x, y) for x, y in zip(a, b))
    if isinstance(a, float) or isinstance(b, float):
        return isinstance(a, (int, float)) and isinstance(b, (int, float)) and math.isclose(a, b, rel_tol=1e-9)
    return a == b


def same_records(a: str, b: str) -> bool:
    """Two NDJSON files holding the same values line by line (numbers and escapes may be written differently)."""
    import orjson

    with open(a, "rb") as fa, open(b, "rb") as fb:
        for la, lb in zip(fa, fb):
            if orjson.loads(la) != orjson.loads(lb):
                return False
        return not fa.readline() and not fb.readline()


def check_case(rows: list, outputs: dict | None = None) -> None:
    """Marks every row of one case against the first jorvane row of it."""
    ref = next((r for r in rows if r["engine"] == "jorvane" and "error" not in r), None)
    for r in rows:
        if "error" in r:
            continue
        if r is ref:
            r["check"] = "ref"
        elif ref is None:
            r["check"] = "no ref"
        elif not agree(r["result"], ref["result"]):
            r["check"] = "DIFF"
        elif outputs is None or r.get("digest") == ref.get("digest"):
            r["check"] = "ok"
        else:
            r["check"] = "ok (same values)" if same_records(outputs[id(r)], outputs[id(ref)]) else "DIFF"


# ---- printing ----------------------------------------------------------------------------------------------------

def mb(n) -> str:
    return "—" if n is None else f"{round(n / 1e6) + 0:,} MB"


def threads_words(t: int, all_threads: int) -> str:
    return "one thread" if t == 1 else f"all cores ({all_threads})"


def threads_label(t: int, all_threads: int) -> str:
    return "1" if t == 1 else f"all ({all_threads})"


def find(rows, case, engine, threads):
    for r in rows:
        if r["case"] == case and r["engine"] == engine and "error" not in r and (
                threads is None or r["threads"] == threads or engine in ONE_THREAD_ONLY):
            return r
    return None


def print_summary(rows, thread_sets, all_threads):
    """One line per task and thread setting, one column per engine: seconds and the ratio to jorvane."""
    used = [e for e in ENGINES if any(r["engine"] == e for r in rows)]
    print("\n| task | threads | " + " | ".join(ENGINE_LABELS[e] for e in used) + " |")
    print("|---|---|" + "---:|" * len(used))
    for case, (_, label, _) in CASES.items():
        for t in thread_sets:
            if not any(r["case"] == case for r in rows):
                continue
            j = find(rows, case, "jorvane", t)
            cells = []
            for e in used:
                r = find(rows, case, e, t)
                bad = next((x for x in rows if x["case"] == case and x["engine"] == e and "error" in x), None)
                if r is None:
                    cells.append("error" if bad else "—")
                elif e == "jorvane" or j is None:
                    cells.append(f"{r['seconds']:.2f} s")
                else:
                    cells.append(f"{r['seconds']:.2f} s ({r['seconds'] / j['seconds']:.2f}x)")
            print(f"| {label} | {threads_label(t, all_threads)} | " + " | ".join(cells) + " |")
    if any(r["engine"] in ONE_THREAD_ONLY for r in rows):
        print("\nThe orjson loop and chunked pandas run on one thread; their one figure stands in every row.")


def print_details(rows, all_threads):
    print("\n| task | threads | engine | seconds | GB/s | CPU s | cores busy | peak RSS | interpreter | above it "
          "| DataFrame | check | load |")
    print("|---|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---|---:|")
    for r in rows:
        label = CASES[r["case"]][1] if r["case"] in CASES else r["case"]
        head = f"| {label} | {threads_label(r['threads'], all_threads)} | {ENGINE_LABELS[r['engine']]} |"
        if "error" in r:
            print(f"{head} — | — | — | — | — | — | — | — | {r['error'][:70]} | {r['load']:.1f} |")
            continue
        above = r["rss_peak"] - r["idle"] if r.get("idle") else None
        print(f"{head} {r['seconds']:.2f} | {r['input_bytes'] / r['seconds'] / 1e9:.3f} | {r['cpu']:.2f} | "
              f"{r['cpu'] / r['seconds']:.1f} | {mb(r['rss_peak'])} | {mb(r.get('idle'))} | {mb(above)} | "
              f"{mb(r.get('frame_bytes')) if 'frame_bytes' in r else ''} | {r.get('check', '')} | {r['load']:.1f} |")
        if r.get("check") == "DIFF":
            ref = next(x for x in rows if x["case"] == r["case"] and x.get("check") == "ref")
            print(f"    {r['engine']}: {json.dumps(r['result'])[:300]}\n    jorvane: {json.dumps(ref['result'])[:300]}")


def print_memory(rows, all_threads):
    print("\nPeak RSS as the input grows:")
    print("\n| call | threads | engine | input | seconds | peak RSS | interpreter | above it | check |")
    print("|---|---|---|---:|---:|---:|---:|---:|---|")
    for r in rows:
        head = (f"| {MEMORY_CASES[r['call']]} | {threads_label(r['threads'], all_threads)} | "
                f"{ENGINE_LABELS[r['engine']]} |")
        if "error" in r:
            print(f"{head} {mb(r['input_bytes'])} | — | — | — | — | {r['error'][:70]} |")
            continue
        above = r["rss_peak"] - r["idle"] if r.get("idle") else None
        print(f"{head} {mb(r['input_bytes'])} | {r['seconds']:.2f} | {mb(r['rss_peak'])} | {mb(r.get('idle'))} | "
              f"{mb(above)} | {r.get('check', '')} |")
    groups = {}
    for r in rows:
        if "error" not in r and r.get("idle"):
            groups.setdefault((r["call"], r["threads"], r["engine"]), []).append(r)
    for (call, t, e), rs in groups.items():
        if len(rs) == 2:
            small, big = sorted(rs, key=lambda r: r["input_bytes"])
            a, b = small["rss_peak"] - small["idle"], big["rss_peak"] - big["idle"]
            print(f"  {MEMORY_CASES[call]}, {threads_words(t, all_threads)}, {ENGINE_LABELS[e]}: "
                  f"{mb(a)} above the interpreter over {mb(small['input_bytes'])}, {mb(b)} over "
                  f"{mb(big['input_bytes'])} ({(b - a) / 1e6:+,.0f} MB for "
                  f"{big['input_bytes'] / small['input_bytes']:.1f}x the input)")
    small_rows = min((rows_of(r) for r in rows if "error" not in r), default=None)
    if small_rows is not None and small_rows < 4 * CHUNK_ROWS:
        print(f"  (the smaller input holds {small_rows:,} rows, under four chunks of {CHUNK_ROWS:,}: "
              "too few for the peak to settle; use a larger --size)")


def rows_of(r) -> int:
    res = r["result"]
    return res[0] if isinstance(res, list) else res["rows"]


def print_targets(rows, all_threads, describe_baseline):
    print("\nGoals (reported, never asserted):")
    lines = []

    def ratio_goal(case, peer, t, goal, text):
        j, p = find(rows, case, "jorvane", t), find(rows, case, peer, t)
        if j and p:
            r = p["seconds"] / j["seconds"]
            lines.append(f"  {text}: {r:.2f}x (goal {goal:g}x): {'met' if r >= goal else 'missed'}")

    ratio_goal("table", "duckdb", all_threads, 1.5, "all cores, table -> pandas vs DuckDB")
    ratio_goal("group_by", "duckdb", all_threads, 1.5, "all cores, group_by vs DuckDB")
    ratio_goal("distinct", "duckdb", all_threads, 1.5, "all cores, group_by count_unique vs DuckDB count(DISTINCT)")
    ratio_goal("distinct_short", "duckdb", all_threads, 1.5,
               "all cores, group_by count_unique vs DuckDB count(DISTINCT), 370 B records")
    ratio_goal("write_parquet", "duckdb", all_threads, 1.0, "all cores, write_parquet vs DuckDB COPY")
    ratio_goal("ndjson_fields", "orjson", all_threads, 10.0, "all cores, write_ndjson (3 fields) vs the orjson loop")
    j = find(rows, "describe", "jorvane", all_threads)
    b = find(rows, "describe", "base", all_threads)
    if j and b:
        r = b["seconds"] / j["seconds"]
        lines.append(f"  all cores, describe vs the base build: {r:.2f}x (goal 4x): {'met' if r >= 4 else 'missed'}")
    elif j and describe_baseline:
        r = j["input_bytes"] / j["seconds"] / 1e9 / describe_baseline
        lines.append(f"  all cores, describe vs {describe_baseline:g} GB/s: {r:.2f}x (goal 4x): "
                     f"{'met' if r >= 4 else 'missed'}")
    elif j:
        lines.append("  all cores, describe: no baseline (--python-path DIR or --describe-baseline GB/s)")
    ratio_goal("table", "duckdb", 1, 1.0, "one thread, table -> pandas vs DuckDB threads=1")
    for t in sorted({r["threads"] for r in rows if r["case"] == "table"}, reverse=True):
        j = find(rows, "table", "jorvane", t)
        if j and j.get("idle") and j.get("frame_bytes"):
            above = j["rss_peak"] - j["idle"]
            budget = 1.5 * j["frame_bytes"] + 64e6
            lines.append(f"  {threads_words(t, all_threads)}, table -> pandas peak RSS: {mb(above)} above the "
                         f"interpreter, goal 1.5 x DataFrame ({mb(j['frame_bytes'])}) + 64 MB = {mb(budget)}: "
                         f"{'met' if above <= budget else 'missed'}")
    print("\n".join(lines) if lines else "  none measured")


# ---- the driver --------------------------------------------------------------------------------------------------

def split_list(text: str, allowed: list, what: str) -> list:
    items = [t.strip() for t in text.split(",") if t.strip()]
    for t in items:
        if t not in allowed:
            sys.exit(f"unknown {what} {t!r}; expected some of {', '.join(allowed)}")
    return [a for a in allowed if a in items]


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--size", default="1G", help="input size, N[K|M|G] in powers of ten (default 1G)")
    p.add_argument("--input", help="an NDJSON file of gen_ndjson's shape to read instead of generating one")
    p.add_argument("--short-size", default="480M",
                   help="size of the records of about 370 bytes the short count_unique case reads (default 480M)")
    p.add_argument("--reps", type=int, default=1, help="fresh-process runs per measurement; the best is kept")
    p.add_argument("--quick", action="store_true", help="all cores only")
    p.add_argument("--tasks", default=",".join(TASKS), help="subset of " + ",".join(TASKS))
    p.add_argument("--engines", default=",".join(e for e in ENGINES if e != "pandas"),
                   help="subset of " + ",".join(ENGINES) + " (base needs --python-path)")
    p.add_argument("--pandas", action="store_true", help="add chunked pandas to group_by (slow)")
    p.add_argument("--threads", default="all,1", help="subset of all,1")
    p.add_argument("--python-path", default=os.environ.get("JORVANE_BENCH_PYTHON_PATH"),
                   help="module directory of another jorvane build, run as the engine `base` "
                        "(default: $JORVANE_BENCH_PYTHON_PATH)")
    p.add_argument("--describe-baseline", type=float,
                   help="a describe figure in GB/s to hold the all-cores describe against when no base build runs")
    p.add_argument("--json", help="also write every measurement to this JSON file")
    p.add_argument("--gen", help="path of gen_ndjson")
    p.add_argument("--data-dir", default=str(HERE / "data"))
    p.add_argument("--worker", help=argparse.SUPPRESS)
    args = p.parse_args(argv)
    if args.quick:
        args.threads = "all"
    return args


def pandas_version() -> str:
    import importlib.metadata

    try:
        return importlib.metadata.version("pandas")
    except importlib.metadata.PackageNotFoundError:
        return "missing"


def jorvane_module(env: dict) -> str:
    code = "import jorvane, os; print(os.path.dirname(os.path.abspath(jorvane.__file__)), jorvane.__version__)"
    proc = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True)
    if proc.returncode != 0:
        return "cannot be imported: " + (proc.stderr.strip().splitlines() or ["?"])[-1]
    return proc.stdout.strip()


def main(argv=None) -> int:
    args = parse_args(argv)
    if args.worker:
        worker(json.loads(args.worker))
        return 0
    tasks = split_list(args.tasks, TASKS, "task")
    engine_list = split_list(args.engines, ENGINES, "engine")
    if args.pandas and "pandas" not in engine_list:
        engine_list.append("pandas")
    base_dir = None
    if args.python_path:
        base_dir = str(Path(args.python_path).resolve())
        if "base" not in engine_list:
            engine_list.append("base")
    else:
        engine_list = [e for e in engine_list if e != "base"]
    all_threads = peer_engines.cpu_count()
    thread_sets = [all_threads if t == "all" else 1 for t in split_list(args.threads, ["all", "1"], "thread setting")]

    if args.input:
        path = Path(args.input)
        size = path.stat().st_size
        print(f"input: {path}, {size:,} bytes")
    else:
        meta, files = dataset.prepare(args.size, bench_peers.find_gen(args.gen), Path(args.data_dir), ["plain"], [1])
        path = Path(files[("plain", 1)][0])
        size = meta["bytes"]
        print(f"input: {path}, {size:,} bytes, {meta['records']:,} records")
    print(f"machine: {bench_peers.machine_line()}; {os.cpu_count()} online processors")
    print(f"load average: {' '.join(f'{x:.1f}' for x in os.getloadavg())}")
    print(f"peers: {bench_peers.versions()}, pandas {pandas_version()}")
    print(f"jorvane: {jorvane_module(child_env('jorvane', 1, None))}")
    if base_dir:
        found = jorvane_module(child_env("base", 1, base_dir))
        if found.startswith("cannot"):
            sys.exit(f"--python-path {base_dir}: jorvane {found}")
        print(f"base build: {found}")
    print(f"started {time.strftime('%Y-%m-%d %H:%M:%S UTC', time.gmtime())}", flush=True)
    bench_peers.warm([str(path)])

    runner = Runner(args, base_dir)
    rows = []
    memory_rows = []
    work = Path(args.data_dir) / "road"
    work.mkdir(parents=True, exist_ok=True)
    short_path = None
    with tempfile.TemporaryDirectory(dir=work) as tmp:
        for case, (task, _, case_engines) in CASES.items():
            if task not in tasks:
                continue
            case_path = path
            if case in SHORT_CASES:
                if short_path is None:
                    short_size = dataset.parse_size(args.short_size)
                    short_path = make_short_records(short_size, work / f"short-records-{short_size}.ndjson")
                    print(f"370 B records: {short_path}, {short_path.stat().st_size:,} bytes", flush=True)
                    bench_peers.warm([str(short_path)])
                case_path = short_path
            group, outputs = [], {}
            for t in thread_sets:
                for engine in case_engines:
                    if engine not in engine_list:
                        continue
                    if engine in ONE_THREAD_ONLY and any(r["engine"] == engine for r in group):
                        continue
                    threads = 1 if engine in ONE_THREAD_ONLY else t
                    out = None
                    if case == "write_parquet":
                        out = os.path.join(tmp, f"{engine}-{threads}.parquet")
                    elif case.startswith("ndjson"):
                        out = os.path.join(tmp, f"{case}-{engine}-{threads}.ndjson")
                    row = runner.measure(case, engine, threads, case_path, out)
                    group.append(row)
                    if out and case.startswith("ndjson") and "error" not in row:
                        outputs[id(row)] = out
                    elif out:
                        Path(out).unlink(missing_ok=True)
            check_case(group, outputs if case.startswith("ndjson") else None)
            for out in outputs.values():
                Path(out).unlink(missing_ok=True)
            rows.extend(group)

        if "memory" in tasks:
            quarter = bench_writers.prefix_copy(path, size // 4, work / f"{path.stem}-{size}-quarter.ndjson")
            for call in MEMORY_CASES:
                group = []
                for t in thread_sets:
                    for engine in ("jorvane", "base"):
                        if engine not in engine_list:
                            continue
                        for src in (quarter, path):
                            reuse = find(rows, "write_parquet", engine, t) if call == "write_parquet" else None
                            if src == path and reuse:
                                row = dict(reuse)
                            else:
                                case = "batches" if call == "batches" else "write_parquet"
                                out = os.path.join(tmp, "memory.parquet") if call == "write_parquet" else None
                                row = runner.measure(case, engine, t, src, out)
                                if out:
                                    Path(out).unlink(missing_ok=True)
                            row["call"] = call
                            group.append(row)
                # Rows over the same bytes must agree; the quarter and the whole input differ.
                for src_bytes in {r["input_bytes"] for r in group}:
                    check_case([r for r in group if r["input_bytes"] == src_bytes])
                memory_rows.extend(group)

    print(f"\nfinished {time.strftime('%Y-%m-%d %H:%M:%S UTC', time.gmtime())}; "
          f"load average: {' '.join(f'{x:.1f}' for x in os.getloadavg())}")
    for engine, module in runner.modules.items():
        print(f"{ENGINE_LABELS[engine]} imported from {module}")
    if "base" in runner.modules and runner.modules["base"] == runner.modules.get("jorvane"):
        print("warning: the base build is the same module directory as jorvane's")
    if rows:
        print_summary(rows, thread_sets, all_threads)
        print_details(rows, all_threads)
    if memory_rows:
        print_memory(memory_rows, all_threads)
    print_targets(rows, all_threads, args.describe_baseline)
    if args.json:
        Path(args.json).write_text(json.dumps({"input": str(path), "bytes": size, "machine": bench_peers.machine_line(),
                                               "rows": rows, "memory": memory_rows}, indent=1))
    bad = [r for r in rows + memory_rows if r.get("check") == "DIFF"]
    if bad:
        print(f"\n{len(bad)} answer(s) differ from jorvane's: see the check column")
    return 0


if __name__ == "__main__":
    sys.exit(main())
