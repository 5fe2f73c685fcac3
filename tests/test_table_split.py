"""The table road on every core against one engine.

With no mode named, a large file (plain or compressed) is read in ranges by
several engines for table(), table_batches(), the Parquet and CSV writers,
group_by() and NDJSON projections; mode="batched" keeps one engine. Everything must come
out the same: rows in order, dtypes, bytes covered at a limit, first-seen
group order, float aggregates bit for bit, and the first error with its
text and offset.
"""
import gzip
import json
import os
import random
import struct

import pytest

from jorvane import group_by, ndjson_lines, table, table_batches, write_csv, write_ndjson, write_parquet

# One file splits from 8 MiB on.
SIZE = 9 * 1024 * 1024
COLUMNS = {"id": "id", "amount": "amount", "name": "user.name", "tags": "tags", "first_tag": "tags[*]", "x": "x"}


def record(rng, i):
    r = {"id": i, "amount": rng.choice([0.1, 2.5, -0.0, 1e-3, 7, 123456789012, 6.02e23]),
         "tags": [rng.choice("abc") for _ in range(rng.randrange(3))]}
    if rng.random() < 0.8:
        r["user"] = {"name": rng.choice(["Ann", "Bo", "Cy \u00e9", 'q"u\\o\n', None])}
    if rng.random() < 0.05:
        r["x"] = rng.choice([1, "s", None, [1, 2], {"k": 1}])
    return r


@pytest.fixture(scope="module", params=["plain", "pretty", "broken", "gzip"])
def source(request, tmp_path_factory):
    rng = random.Random(7)
    path = tmp_path_factory.mktemp("split") / f"{request.param}.ndjson"
    if request.param == "gzip":
        path = path.with_suffix(".ndjson.gz")
    lines, size, i = [], 0, 0
    while size < SIZE:
        pretty = request.param == "pretty" and i % 50 == 0
        text = json.dumps(record(rng, i), indent=1 if pretty else None) + "\n"
        lines.append(text)
        size += len(text)
        i += 1
    data = "".join(lines).encode()
    if request.param == "broken":
        at = data.index(b"\n", len(data) * 2 // 3) + 1
        data = data[:at] + b'{"id": 1, "tags": [}\n' + data[at:]
    path.write_bytes(gzip.compress(data, 1) if request.param == "gzip" else data)
    return str(path)


def outcome(call):
    try:
        return ("ok", call())
    except Exception as e:  # the same error, text included
        return ("error", type(e).__name__, str(e), getattr(e, "offset", None))


def table_text(t):
    dtypes = t.dtypes
    bits = {k: [struct.pack("<d", v).hex() if isinstance(v, float) else v for v in col] for k, col in t.to_dict().items()}
    return dtypes, t.bytes_covered, bits


def every_entry_point(path, mode, tmp, every_option):
    """What each entry point gives; with `every_option` False, one call of each kind of consumer the
    split feeds (rows, batches, lines, groups), which is what the kinds of input other than plain
    NDJSON (records cut inside, a failure, ranges of decoded input) can change."""
    out = {}
    for on_multi, limit in (("list", None), ("first", 1), ("last", 20000))[:: 1 if every_option else 2]:
        out["table", on_multi, limit] = outcome(
            lambda: table_text(table(path, "", COLUMNS, on_multi=on_multi, limit=limit, mode=mode)))
    out["batches"] = outcome(lambda: [table_text(b) for b in table_batches(
        path, "", COLUMNS, on_multi="first", batch_rows=10000, mode=mode)])
    fields = {"id": "id", "name": "user.name", "tags": "tags"}
    out["lines"] = outcome(lambda: list(ndjson_lines(path, "", fields=fields, mode=mode)))
    aggs = {"n": "count", "sum": ("sum", "amount"), "mean": ("mean", "amount"), "first": ("first", "id"),
            "max": ("max", "id"), "names": ("count_unique", "user.name")}
    out["group_by"] = outcome(lambda: table_text(group_by(path, "", "user.name", aggs, mode=mode)))
    out["max_groups"] = outcome(lambda: table_text(group_by(path, "", "id", aggs, max_groups=30000, mode=mode)))
    if not every_option:
        return out
    out["declared"] = outcome(lambda: table_text(table(path, "", {"id": "id", "amount": "amount"}, mode=mode,
                                                       dtypes={"amount": "float32", "id": "int64"})))
    for name, write in (("parquet", write_parquet), ("csv", write_csv)):
        target = str(tmp / f"{mode}.{name}")
        out[name] = outcome(lambda: write(path, target, "", {"id": "id", "name": "user.name"}, mode=mode))
        if out[name][0] == "ok":  # (the writers need pyarrow)
            out[name, "file"] = outcome(lambda: open(target, "rb").read() if name == "csv" else
                                        __import__("pyarrow.parquet").parquet.read_table(target).to_pydict())
    out["lines limited"] = outcome(lambda: list(ndjson_lines(path, "", fields=fields, limit=5000, mode=mode)))
    target = str(tmp / f"{mode}.ndjson")
    out["write_ndjson"] = outcome(lambda: (write_ndjson(path, target, "", fields=fields, mode=mode),
                                           open(target, "rb").read()))
    return out


def test_every_core_equals_one_engine(source, tmp_path):
    every_option = source.endswith("plain.ndjson")
    split = every_entry_point(source, None, tmp_path, every_option)
    one = every_entry_point(source, "batched", tmp_path, every_option)
    assert split.keys() == one.keys()
    for key in split:
        assert split[key] == one[key], key
    if source.endswith("plain.ndjson"):
        assert split["table", "last", 20000][1][1] is not None  # the limit stopped the scan
        assert split["max_groups"][0] == "error"


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="threads counted through /proc")
def test_walkers_run_only_with_no_mode_named(source):
    def threads_while_reading(mode):
        batches = table_batches(source, "", {"id": "id"}, batch_rows=1000, mode=mode)
        next(batches)
        return len(os.listdir("/proc/self/task"))

    before = len(os.listdir("/proc/self/task"))
    assert threads_while_reading("batched") == before
    assert threads_while_reading(None) > before or (len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else (os.cpu_count() or 1)) == 1
