"""The engines compared by bench_peers.py, one function per engine.

Every engine answers the same four queries over a list of NDJSON files
(plain, .gz or .zst) and returns the answer in one normalised form, so the
driver can check it against jorvane's:

- count: the number of events that have a user.id (`events[*].user.id`), an int;
- sum:   the sum of the integer field `qty`, a float;
- vcounts: the number of records per value of the string field `currency`,
  a dict {str: int};
- skip:  the number of matches of a path that is absent from the data
  (`trace.span.id`), an int (0): the whole of every record is skipped.

`threads` is 1 for a single-threaded run, or the number of cores. Only the
engines in MULTI_THREADED have a thread setting; the others are per-line
Python loops that run on one core whatever is asked.

Module imports are done inside each function, so a run imports only the
engine it measures (the driver runs every measurement in a fresh process).
"""

from __future__ import annotations

import collections
import io
import os

# Query texts in jorvane's path language, and the same paths for the others.
PATHS = {
    "count": "events[*].user.id",
    "sum": "qty",
    "vcounts": "currency",
    "skip": "trace.span.id",
}
QUERY_LABELS = {
    "count": "Count events[*].user.id",
    "sum": "Sum qty",
    "vcounts": "ValueCounts currency",
    "skip": "Count trace.span.id (absent)",
}
QUERIES = list(PATHS)

ENGINES = ["jorvane", "orjson", "ijson", "pysimdjson", "polars", "duckdb", "pyarrow"]
MULTI_THREADED = {"jorvane", "polars", "duckdb", "pyarrow"}
ENGINE_LABELS = {
    "jorvane": "jorvane",
    "orjson": "orjson loop",
    "ijson": "ijson yajl2_c",
    "pysimdjson": "pysimdjson loop",
    "polars": "polars scan_ndjson",
    "duckdb": "duckdb read_ndjson",
    "pyarrow": "pyarrow read_json",
}


def engine_env(engine: str, threads: int) -> dict:
    """Environment variables the engine reads at import time."""
    if engine == "polars":
        return {"POLARS_MAX_THREADS": str(threads)}
    return {}


# ---------------------------------------------------------------- helpers


def open_stream(path: str, buffer_size: int = 1 << 20):
    """A buffered binary stream of the decompressed bytes of `path`."""
    if path.endswith(".gz"):
        import gzip

        return io.BufferedReader(gzip.GzipFile(path, "rb"), buffer_size)
    if path.endswith(".zst"):
        import zstandard

        raw = open(path, "rb")
        return io.BufferedReader(zstandard.ZstdDecompressor().stream_reader(raw, closefd=True), buffer_size)
    return open(path, "rb", buffering=buffer_size)


def merge(query: str, parts: list):
    """Combines per-file answers into one."""
    if query == "vcounts":
        total = collections.Counter()
        for p in parts:
            total.update(p)
        return dict(total)
    if query == "sum":
        return float(sum(parts))
    return int(sum(parts))


# ---------------------------------------------------------------- jorvane


def run_jorvane(query: str, files: list, threads: int):
    import jorvane

    acc = {"count": jorvane.Count, "sum": jorvane.Sum, "vcounts": jorvane.ValueCounts, "skip": jorvane.Count}[query]()
    kwargs = {"max_threads": 1} if threads == 1 else {}
    q = jorvane.Query(files, [PATHS[query]], [acc], **kwargs)
    parts = []
    for i in range(len(files)):
        r = q.result(source=i, query=0)
        if query == "sum":
            parts.append(r.sum() or 0.0)
        elif query == "vcounts":
            parts.append(r.value_counts() or {})
        else:
            parts.append(r.count() or 0)
    return merge(query, parts), {"mode": q.mode}


# ---------------------------------------------------------------- per-line Python loops


def _orjson_file(query: str, path: str):
    import orjson

    loads = orjson.loads
    with open_stream(path) as f:
        if query == "count":
            n = 0
            for line in f:
                events = loads(line).get("events")
                if type(events) is list:
                    for e in events:
                        if type(e) is dict:
                            u = e.get("user")
                            if type(u) is dict and "id" in u:
                                n += 1
            return n
        if query == "sum":
            s = 0
            for line in f:
                v = loads(line).get("qty")
                if type(v) is int or type(v) is float:
                    s += v
            return s
        if query == "vcounts":
            c = collections.Counter()
            for line in f:
                d = loads(line)
                if "currency" in d:
                    c[d["currency"]] += 1
            return c
        n = 0
        for line in f:
            t = loads(line).get("trace")
            if type(t) is dict:
                s = t.get("span")
                if type(s) is dict and "id" in s:
                    n += 1
        return n


def run_orjson(query: str, files: list, threads: int):
    return merge(query, [_orjson_file(query, p) for p in files]), {}


def _ijson_file(query: str, path: str):
    import ijson

    prefix = {"count": "events.item.user.id", "sum": "qty", "vcounts": "currency", "skip": "trace.span.id"}[query]
    with open_stream(path) as f:
        items = ijson.items(f, prefix, multiple_values=True, buf_size=1 << 16)
        if query == "sum":
            return sum(v for v in items if isinstance(v, (int, float)) and not isinstance(v, bool))
        if query == "vcounts":
            return collections.Counter(items)
        return sum(1 for _ in items)


def run_ijson(query: str, files: list, threads: int):
    import ijson

    if ijson.backend != "yajl2_c":
        raise RuntimeError(f"ijson backend is {ijson.backend}, not yajl2_c")
    return merge(query, [_ijson_file(query, p) for p in files]), {}


def _simd_count(doc) -> int:
    events = doc.get("events")
    n = 0
    if events is not None and hasattr(events, "__iter__") and not isinstance(events, str):
        for e in events:
            u = e.get("user") if hasattr(e, "get") else None
            if u is not None and hasattr(u, "get") and "id" in u:
                n += 1
    return n


def _simd_skip(doc) -> int:
    t = doc.get("trace")
    if t is not None and hasattr(t, "get"):
        s = t.get("span")
        if s is not None and hasattr(s, "get") and "id" in s:
            return 1
    return 0


def _simd_file(query: str, path: str, parser):
    # A parsed document is only valid until the parser parses the next one, so
    # each line is handled inside a call that drops its references.
    with open_stream(path) as f:
        if query == "count":
            return sum(_simd_count(parser.parse(line)) for line in f)
        if query == "skip":
            return sum(_simd_skip(parser.parse(line)) for line in f)
        if query == "sum":
            s = 0
            for line in f:
                v = parser.parse(line).get("qty")
                if type(v) is int or type(v) is float:
                    s += v
            return s
        c = collections.Counter()
        for line in f:
            v = parser.parse(line).get("currency")
            if v is not None:
                c[v] += 1
        return c


def run_pysimdjson(query: str, files: list, threads: int):
    import simdjson

    parser = simdjson.Parser()
    return merge(query, [_simd_file(query, p, parser) for p in files]), {}


# ---------------------------------------------------------------- columnar engines with a schema


def run_polars(query: str, files: list, threads: int):
    import polars as pl

    if query == "count":
        schema = {"events": pl.List(pl.Struct({"user": pl.Struct({"id": pl.Int64})}))}
        expr = pl.col("events").explode().struct.field("user").struct.field("id").count()
    elif query == "sum":
        schema = {"qty": pl.Int64}
        expr = pl.col("qty").sum()
    elif query == "vcounts":
        schema = {"currency": pl.String}
        expr = None
    else:
        schema = {"trace": pl.Struct({"span": pl.Struct({"id": pl.Int64})})}
        expr = pl.col("trace").struct.field("span").struct.field("id").count()
    lf = pl.scan_ndjson(files, schema=schema)
    if expr is None:
        df = lf.drop_nulls("currency").group_by("currency").len().collect()
        result = {k: int(v) for k, v in df.iter_rows()}
    else:
        result = lf.select(expr).collect().item()
        result = float(result) if query == "sum" else int(result)
    return result, {"threads": pl.thread_pool_size()}


def run_duckdb(query: str, files: list, threads: int):
    import duckdb

    con = duckdb.connect(config={"threads": threads})
    file_list = "[" + ", ".join("'" + p.replace("'", "''") + "'" for p in files) + "]"
    if query == "count":
        sql = (
            "SELECT count(e.\"user\".id) FROM (SELECT unnest(events) AS e FROM read_ndjson("
            + file_list
            + ", records=true, columns={'events': 'STRUCT(\"user\" STRUCT(id BIGINT))[]'}))"
        )
    elif query == "sum":
        sql = "SELECT sum(qty) FROM read_ndjson(" + file_list + ", records=true, columns={'qty': 'BIGINT'})"
    elif query == "vcounts":
        sql = (
            "SELECT currency, count(*) FROM read_ndjson("
            + file_list
            + ", records=true, columns={'currency': 'VARCHAR'}) WHERE currency IS NOT NULL GROUP BY currency"
        )
    else:
        sql = (
            "SELECT count(trace.span.id) FROM read_ndjson("
            + file_list
            + ", records=true, columns={'trace': 'STRUCT(span STRUCT(id BIGINT))'})"
        )
    rows = con.execute(sql).fetchall()
    if query == "vcounts":
        result = {k: int(v) for k, v in rows}
    elif query == "sum":
        result = float(rows[0][0] or 0)
    else:
        result = int(rows[0][0])
    used = con.execute("SELECT current_setting('threads')").fetchall()[0][0]
    con.close()
    return result, {"threads": used}


def _pyarrow_schema(query: str):
    import pyarrow as pa

    if query == "count":
        return pa.schema([("events", pa.list_(pa.struct([("user", pa.struct([("id", pa.int64())]))])))])
    if query == "sum":
        return pa.schema([("qty", pa.int64())])
    if query == "vcounts":
        return pa.schema([("currency", pa.string())])
    return pa.schema([("trace", pa.struct([("span", pa.struct([("id", pa.int64())]))]))])


def _pyarrow_file(query: str, path: str, use_threads: bool):
    import pyarrow.compute as pc
    import pyarrow.json as pj

    table = pj.read_json(
        path,
        read_options=pj.ReadOptions(use_threads=use_threads),
        parse_options=pj.ParseOptions(explicit_schema=_pyarrow_schema(query), unexpected_field_behavior="ignore"),
    )
    if query == "count":
        ids = pc.struct_field(pc.struct_field(pc.list_flatten(table["events"]), "user"), "id")
        return pc.count(ids, mode="only_valid").as_py()
    if query == "sum":
        return pc.sum(table["qty"]).as_py() or 0
    if query == "vcounts":
        vc = pc.value_counts(pc.drop_null(table["currency"]))
        return collections.Counter({d["values"]: d["counts"] for d in vc.to_pylist()})
    ids = pc.struct_field(pc.struct_field(table["trace"], "span"), "id")
    return pc.count(ids, mode="only_valid").as_py()


def run_pyarrow(query: str, files: list, threads: int):
    import pyarrow as pa

    use_threads = threads > 1
    pa.set_cpu_count(threads)
    pa.set_io_thread_count(threads)
    if use_threads and len(files) > 1:
        # Several files: one reader per file on a thread pool, each reader
        # itself threaded (read_json releases the interpreter lock).
        from concurrent.futures import ThreadPoolExecutor

        with ThreadPoolExecutor(max_workers=min(threads, len(files))) as pool:
            parts = list(pool.map(lambda p: _pyarrow_file(query, p, True), files))
    else:
        parts = [_pyarrow_file(query, p, use_threads) for p in files]
    return merge(query, parts), {"threads": pa.cpu_count()}


RUNNERS = {
    "jorvane": run_jorvane,
    "orjson": run_orjson,
    "ijson": run_ijson,
    "pysimdjson": run_pysimdjson,
    "polars": run_polars,
    "duckdb": run_duckdb,
    "pyarrow": run_pyarrow,
}


def cpu_count() -> int:
    return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else (os.cpu_count() or 1)
