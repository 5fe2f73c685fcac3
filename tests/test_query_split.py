"""One large plain file on every core against the same file on one.

Query(..., max_threads=8) cuts a large NDJSON file into ranges scanned at
once; everything it reports must be what max_threads=1 reports: results
(floats bit for bit), into= values in order, errors with their offsets and
messages, partial results. Pretty-printed files, broken files, limits and
progress callbacks included.
"""
import json
import math
import os
import random
import struct
import threading

import pytest

from jorvane import (Count, CountUnique, Exists, Max, Mean, Min, Mode, Product, Query, Sum, Types, ValueCounts,
                     Values, ValuesUnique)
from jorvane._errors import Corrupted, Incomplete

# The one-file run splits files of 8 MiB and more.
SIZE = 9 * 1024 * 1024


def record(rng, floats):
    def number():
        if floats and rng.random() < 0.3:
            return rng.choice([0.1, -0.0, 2.5, 1e-3, 3.14159, -7.25, 6.02e23])
        return rng.choice([0, 7, -3, 12, 123456789012, 40, 9007199254740991])

    r = {"id": rng.randrange(1000), "qty": number(), "tags": [rng.choice("abcde") for _ in range(rng.randrange(4))]}
    if rng.random() < 0.7:
        r["user"] = {"id": rng.randrange(50), "name": rng.choice(["Ann", "Bo", "Cy \u00e9", 'q"u\\o\n'])}
    if rng.random() < 0.3:
        r["events"] = [{"user": {"id": rng.randrange(20)}, "value": number()} for _ in range(rng.randrange(3))]
    if rng.random() < 0.1:
        r["qty"] = str(number())
    return r


def write_ndjson(path, seed, floats, pretty_every=0):
    rng = random.Random(seed)
    pool = [record(rng, floats) for _ in range(3000)]
    size = 0
    with open(path, "w") as f:
        i = 0
        while size < SIZE:
            r = rng.choice(pool)
            text = json.dumps(r, indent=1 if pretty_every and i % pretty_every == 0 else None) + "\n"
            f.write(text)
            size += len(text.encode())
            i += 1
    return path


ACCS = [
    ("qty", [Count, Sum, Mean, Product, Min, Max, Types]),
    ("user.id", [ValueCounts, Mode, CountUnique]),
    ("tags[*]", [ValuesUnique, Exists]),
    ("events[*].user.id", [Count, Values]),
    ("events[*].value", [Sum, Min, Max, Mean]),
    ("user.name", [Values, ValuesUnique, Types]),
]


def bits(x):
    return struct.pack("<d", x).hex() if isinstance(x, float) else x


def summary(r):
    out = {}
    for name in ["count", "count_unique", "exists", "min", "max", "sum", "mean", "product", "agg_skipped"]:
        try:
            out[name] = bits(getattr(r, name)())
        except Exception as e:  # an accumulator the query does not have
            out[name] = type(e).__name__
    for name in ["mode", "value_counts"]:
        try:
            v = getattr(r, name)()
            out[name] = list(v.items()) if isinstance(v, dict) else v
        except Exception as e:
            out[name] = type(e).__name__
    try:
        out["types"] = sorted(r.types())
    except Exception as e:
        out["types"] = type(e).__name__
    return out


def run(path, threads, **options):
    into = {}
    queries, accs = [], []
    for q, kinds in ACCS:
        made = []
        for k in kinds:
            if k in (Values, ValuesUnique):
                into[(q, k.__name__)] = []
                made.append(k(into=into[(q, k.__name__)]))
            else:
                made.append(k())
        queries.append(q)
        accs.append(made)
    query = Query(path, dict(zip(queries, accs)), max_threads=threads, **options)
    try:
        outcome = ("ok", [summary(query.result(0, i)) for i in range(len(queries))])
    except (Incomplete, Corrupted) as e:
        outcome = (type(e).__name__, str(e), e.offset, [summary(r) for r in e.recover()])
    return outcome, into, query.mode


def same_everywhere(path, **options):
    one = run(path, 1, **options)
    many = run(path, 8, **options)
    assert one[0] == many[0]
    assert one[1] == many[1]
    return one


@pytest.mark.parametrize("seed,floats,pretty_every", [(1, False, 0), (2, True, 0), (3, False, 7)])
def test_large_files_give_what_one_walker_gives(tmp_path, seed, floats, pretty_every):
    path = write_ndjson(str(tmp_path / "big.ndjson"), seed, floats, pretty_every)
    outcome, into, _ = same_everywhere(path)
    assert outcome[0] == "ok"
    # With a spare core per walker the policy picks batched walkers.
    assert run(path, 8)[2] == "batched"
    # Figures alone (no values streamed): the same bits.
    figures = [
        [summary(Query(path, {"qty": [Sum(), Mean(), Product()], "events[*].value": [Sum(), Mean()]},
                       max_threads=t).result(0, i)) for i in range(2)]
        for t in (1, 8)
    ]
    assert figures[0] == figures[1]
    assert into[("events[*].user.id", "Values")]


@pytest.mark.skipif((len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else (os.cpu_count() or 1)) < 2, reason="one processor: one walker")
def test_auto_mode_at_the_split_size(tmp_path):
    # Below the size from which one file is cut into ranges, "auto" keeps one
    # pipelined engine; from it on, batched walkers (a core each). Either
    # way, what max_threads=1 gives.
    base = open(write_ndjson(str(tmp_path / "base.ndjson"), 51, True), "rb").read()
    split = 8 * 1024 * 1024
    for size in (split - 1, split, split + 1):
        head = base[: base.rindex(b"\n", 0, size - 200) + 1]
        path = tmp_path / f"{size}.ndjson"
        path.write_bytes(head + b'{"qty": 1}' + b" " * (size - len(head) - 11) + b"\n")
        assert os.path.getsize(path) == size
        one, many = run(str(path), 1), run(str(path), 8)
        assert one[0][0] == "ok"
        assert one[:2] == many[:2]
        assert (one[2], many[2]) == ("batched", "batched" if size >= split else "pipelined")
        # Queries that can all settle early keep one engine, so "auto" keeps
        # it pipelined at any size.
        assert Query(str(path), "qty", Exists(), max_threads=8).mode == "pipelined"


@pytest.mark.skipif((len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else (os.cpu_count() or 1)) < 2, reason="one processor: one walker")
def test_auto_mode_of_compressed_bytes(tmp_path):
    # Compressed bytes are cut into ranges as a compressed file is, so "auto"
    # picks batched walkers for both; plain bytes keep one pipelined engine.
    import gzip

    from jorvane import Source

    data = b"".join(b'{"qty": %d}\n' % i for i in range(1000))
    path = tmp_path / "small.ndjson.gz"
    path.write_bytes(gzip.compress(data))
    for source in (str(path), Source(gzip.compress(data), compression="gzip")):
        q = Query(source, "qty", Count(), max_threads=8)
        assert (q.mode, q.result().count()) == ("batched", 1000)
    assert Query(data, "qty", Count(), max_threads=8).mode == "pipelined"


def test_pretty_printed_document(tmp_path):
    rng = random.Random(5)
    records = [record(rng, True) for _ in range(3000)]
    path = tmp_path / "pretty.json"
    with open(path, "w") as f:
        while f.tell() < SIZE:
            f.write(json.dumps(records, indent=2) + "\n")
    same_everywhere(str(path))


def test_broken_files_fail_alike(tmp_path):
    path = write_ndjson(str(tmp_path / "base.ndjson"), 11, True)
    data = open(path, "rb").read()
    rng = random.Random(12)
    for i in range(6):
        at = rng.randrange(len(data))
        if i % 3 == 0:
            broken = data[:at]
        elif i % 3 == 1:
            broken = data[:at] + rng.choice([b"]", b"}", b'"', b"x", b"1.", b"\n{"]) + data[at:]
        else:
            colon = data.index(b":", at)
            broken = data[: colon + 1] + b"-" + data[colon + 1 :]
        bad = tmp_path / f"bad{i}.ndjson"
        bad.write_bytes(broken)
        same_everywhere(str(bad))


def test_limits_and_progress_keep_one_walker(tmp_path):
    path = write_ndjson(str(tmp_path / "big.ndjson"), 21, False)
    # (Where an early stop lands depends on the buffer length: same mode.)
    one = Query(path, {"qty": [Values(), Count()]}, limit=1000, max_threads=1, mode="batched").result()
    many = Query(path, {"qty": [Values(), Count()]}, limit=1000, max_threads=8, mode="batched").result()
    assert one.count() == many.count() == 1000
    assert one.bytes_covered == many.bytes_covered
    seen = {1: [], 8: []}
    for t in (1, 8):
        Query(path, {"qty": [Sum()]}, max_threads=t, mode="batched", progress=lambda n, rs, t=t: seen[t].append((n, rs[0].sum())),
              progress_interval=1 << 20)
    assert seen[1] == seen[8] and seen[1]


@pytest.mark.skipif((os.cpu_count() or 1) < 2, reason="one processor: one walker")
def test_a_file_truncated_while_it_is_read_fails_cleanly(tmp_path):
    # Wherever the scan stands when the file is cut to 1000 bytes, the run
    # gives the answer over the whole file, the answer over those 1000 bytes
    # (cut before the run took the file's size), or the error of a file that
    # shrank: never an answer over some other part of it. The same holds for
    # a table.
    import jorvane

    path = tmp_path / "shrinking.ndjson"
    write_ndjson(str(path), 31, False)
    data = path.read_bytes()
    head = tmp_path / "head.ndjson"
    head.write_bytes(data[:1000])

    def query(p):
        r = Query(str(p), {"qty": [Count(), Sum()]}, max_threads=8).result()
        return ("ok", r.count(), r.sum())

    def table(p):
        ids = jorvane.table(str(p), "", {"id": "id"}).to_dict()["id"]
        return ("ok", len(ids), int(sum(ids)))

    def answer(run, p):
        try:
            return run(p)
        except (Incomplete, Corrupted) as e:
            return (type(e).__name__, str(e), [(r.count(), r.sum()) for r in e.recover()] if run is query else None)
        except RuntimeError as e:
            return ("RuntimeError", str(e))

    for run, delays, prefix in ((query, (0.0, 0.01, 0.03, 0.1), "source 0 failed: "), (table, (0.01, 0.05), "")):
        shrank = ("RuntimeError", prefix + "error reading source #0: the file shrank while it was being read")
        path.write_bytes(data)
        allowed = [answer(run, path), answer(run, head), shrank]
        for delay in delays:
            path.write_bytes(data)
            timer = threading.Timer(delay, lambda: os.truncate(path, 1000))
            timer.start()
            got = answer(run, path)
            timer.join()
            assert got in allowed, (run.__name__, delay)


@pytest.mark.parametrize("compressed", [False, True], ids=["plain", "gzip"])
def test_figures_split_bit_for_bit(tmp_path, compressed):
    # Sum, Mean and Product over ranges replay each range's numbers onto the
    # running figures: one walker's bits, whatever the number of walkers.
    import gzip

    rng = random.Random(61)
    numbers = ["9007199254740993", "12345678901234567890", "4.9e-324", "3e300", "-2.5e-310", '"2.5"', "null", "-0"]
    lines, size = [], 0
    while size < SIZE:
        a = rng.choice([str(rng.randrange(-999, 999)), f"{rng.randrange(-9999, 9999)}.{rng.randrange(999)}e{rng.randrange(-20, 20)}",
                        rng.choice(numbers)])
        lines.append(f'{{"a": {a}, "p": {rng.choice(["1.0000001", "0.999", "-1.25", "1.5", "2"])}}}\n')
        size += len(lines[-1])
    data = "".join(lines).encode()
    path = tmp_path / ("f.ndjson.gz" if compressed else "f.ndjson")
    path.write_bytes(gzip.compress(data, 1) if compressed else data)
    queries = [Query(str(path), {"a": [Sum(), Mean(), Count()], "p": [Product(), Sum()]}, max_threads=t)
               for t in (1, 2, 3, 8)]
    figures = [[summary(q.result(0, i)) for i in range(2)] for q in queries]
    assert figures[0][1]["product"] not in (bits(0.0), bits(1.0))
    assert figures[1:] == [figures[0]] * 3


def test_compressed_files_split_too(tmp_path):
    # The decoder reads on its own thread and the walkers take its output;
    # a damaged stream fails as it does for one walker.
    import gzip

    path = write_ndjson(str(tmp_path / "c.ndjson"), 41, True, pretty_every=5)
    data = open(path, "rb").read()[: 3 << 20]
    gz = tmp_path / "c.ndjson.gz"
    gz.write_bytes(gzip.compress(data, 1))
    broken = tmp_path / "broken.ndjson.gz"
    broken.write_bytes(gz.read_bytes()[: len(gz.read_bytes()) // 2])
    specs = {"user.id": [ValueCounts(), Mode(), CountUnique()], "tags[*]": [ValuesUnique(), Types()],
             "events[*].value": [Min(), Max(), Count(), Sum(), Mean()], "qty": [Product(), Sum()]}
    for p in (gz, broken):
        outcomes = []
        for t in (1, 8):
            values = []
            q = Query(str(p), dict(specs, **{"user.name": [Values(into=values)]}), max_threads=t)
            try:
                outcomes.append(([summary(q.result(0, i)) for i in range(5)], values))
            except (Incomplete, Corrupted) as e:
                outcomes.append((str(e), e.offset, [summary(r) for r in e.recover()], values))
            except RuntimeError as e:
                outcomes.append((str(e), values))
        assert outcomes[0] == outcomes[1]


def damaged_compressed_inputs(tmp_path):
    # About 1.6 MB of records: in a gzip member with a malformed record at
    # about 0.45 MB and a broken checksum; in two gzip members, the second's
    # deflate data damaged; in a zstd frame cut short.
    import gzip
    import shutil
    import subprocess

    rng = random.Random(43)
    lines = [json.dumps({"id": i, "tag": rng.choice("abc"), "x": rng.random()}) + "\n" for i in range(30000)]
    data = "".join(lines).encode()
    bad_at = data.index(b"\n", 450_000) + 1
    crc = bytearray(gzip.compress(data[:bad_at] + b'{"id": -1, "tag": x}\n' + data[bad_at:], 1))
    crc[-8] ^= 0x5A
    half = len(data) // 2
    second = bytearray(gzip.compress(data[half:], 1))
    second[len(second) // 2] ^= 0x5A
    blobs = {"gzip checksum": bytes(crc), "gzip second member": gzip.compress(data[:half], 1) + bytes(second)}
    if shutil.which("zstd"):
        packed = subprocess.run(["zstd", "-q", "-c"], input=data, capture_output=True, check=True).stdout
        blobs["zstd cut"] = packed[:-1000]
    paths = {}
    for name, blob in blobs.items():
        p = tmp_path / (name.replace(" ", "_") + (".ndjson.zst" if name.startswith("zstd") else ".ndjson.gz"))
        p.write_bytes(blob)
        paths[name] = str(p)
    return paths


def test_decode_errors_give_what_one_walker_gives(tmp_path):
    # The bytes decoded before a decode error are scanned in buffers of the
    # mode's length whatever the thread count: the same error, offset, near:
    # text, partial results and into= values at 1, 2 and 8 threads, and
    # from items() (which reads the same buffers).
    from jorvane import items

    for name, path in damaged_compressed_inputs(tmp_path).items():
        outcomes = []
        for t in (1, 2, 8):
            ids = []
            q = Query(path, {"id": [Count(), Values(into=ids)], "x": [Sum(), Mean()]}, max_threads=t, mode="batched")
            try:
                outcomes.append(("ok", [summary(q.result(0, i)) for i in range(2)], ids))
            except (Incomplete, Corrupted) as e:
                outcomes.append((type(e).__name__, str(e), e.offset, [summary(r) for r in e.recover()], ids))
            except RuntimeError as e:
                outcomes.append(("RuntimeError", str(e), ids))
        assert outcomes[1:] == [outcomes[0]] * 2, name
        assert outcomes[0][0] != "ok" and outcomes[0][-1], name
        pulled = []
        with pytest.raises((Incomplete, Corrupted, RuntimeError)) as e:
            for v in items(path, "id", mode="batched"):
                pulled.append(v)
        assert type(e.value).__name__ == outcomes[0][0] and outcomes[0][1].endswith(str(e.value)), name
        assert pulled == outcomes[0][-1], name
        # An early stop covers what one walker's buffers cover.
        covered = {Query(path, "id", Count(), limit=1000, max_threads=t, mode="batched").result().bytes_covered
                   for t in (1, 2, 8)}
        assert covered == {1 << 20}, name
