"""A first look at jorvane: several queries over one file and over a glob.

Run with `make demo` (or `PYTHONPATH=python python examples/quickstart.py`).
It writes a small NDJSON sample into a temporary directory and queries it.
"""

import json
import pathlib
import random
import tempfile

import jorvane
from jorvane import Count, CountUnique, Max, Mean, Min, Query, Source, ValueCounts, Values
from jorvane._errors import Corrupted


def write_sample(directory: pathlib.Path, days: int = 3, rows: int = 2000) -> None:
    rnd = random.Random(42)
    for day in range(days):
        with open(directory / f"events-{day + 1}.ndjson", "w") as f:
            for i in range(rows):
                event = {
                    "user": {"id": rnd.randint(1, 50), "country": rnd.choice(["fr", "de", "jp", "br"])},
                    "kind": rnd.choice(["click", "view", "view", "buy"]),
                    "price": round(rnd.uniform(1, 200), 2) if rnd.random() < 0.2 else None,
                    "tags": rnd.sample(["new", "promo", "mobile", "web"], rnd.randint(0, 2)),
                }
                f.write(json.dumps(event) + "\n")


def main() -> None:
    print(f"jorvane {jorvane.__version__} (stage-1 kernel: {jorvane._active_kernel()})")
    with tempfile.TemporaryDirectory() as tmp:
        directory = pathlib.Path(tmp)
        write_sample(directory)
        first = str(directory / "events-1.ndjson")

        # Several queries over one file, answered in a single pass.
        prices = []
        q = Query(first, {
            "kind": [Count(), ValueCounts()],
            "user.id": [CountUnique()],
            "price": [Min(), Max(), Mean(), Values(into=prices)],
            "tags[*]": ["value_counts"],
        })
        print("\none file:", q)
        print("  events:        ", q.result(query="kind").count())
        print("  kinds:         ", q.result(query="kind").value_counts())
        print("  distinct users:", q.result(query="user.id").count_unique())
        price = q.result(query="price")
        print(f"  prices:         min={price.min()} max={price.max()} mean={price.mean():.2f}")
        print("  priced events: ", sum(p is not None for p in prices), "of", len(prices))
        print("  tags:          ", q.result(query="tags[*]").value_counts())

        # The same queries over every file of a glob, on worker threads.
        q = Query(str(directory / "*.ndjson"), ["kind", "user.country"], ["count", "value_counts"])
        print("\nglob:", q)
        for i, label in enumerate(q.sources):
            print(f"  {pathlib.Path(label).name}: {q.result(i, 'user.country').value_counts()}")

        # Numbers as one buffer of floats, ready for array libraries.
        buffers = []
        Query(first, "price", Values(into=buffers, numeric=True))
        print("\nnumeric prices:", buffers[0], "skipped (null):", buffers[0].skipped)

        # A progress callback (called every progress_interval bytes).
        big = directory / "big.ndjson"
        big.write_bytes((directory / "events-1.ndjson").read_bytes() * 20)
        seen = []
        Query(Source(str(big), progress=lambda n, results: seen.append(n), progress_interval=1 << 20),
              "kind", "count", mode="batched")
        print("\nprogress reports at bytes:", seen)

        # Lazily, value by value: reading stops when the loop stops.
        print("\nfirst users:", [user for user in jorvane.items(first, "user", limit=3)])
        print("members of the first event:", list(jorvane.kvitems(first, "", limit=4)))

        # A typed table, one row per record, then a pandas DataFrame (or to_dict()).
        t = jorvane.table(first, "", {"user": "user.id", "kind": "kind", "price": "price", "tags": "tags"},
                          dtypes={"price": "decimal(10,2)?"})
        print("\ntable:", t)
        try:
            print(t.to_pandas().head())
        except ImportError:
            print({name: column[:3] for name, column in t.to_dict().items()})

        # The same columns as Arrow data, and streamed to a Parquet file chunk by chunk
        # (bounded memory however large the source), read back with pyarrow.
        columns = {"user": "user.id", "kind": "kind", "price": "price", "tags": "tags"}
        try:
            import pyarrow.parquet as pq
        except ImportError:
            print("\n(pyarrow is not installed: no Arrow or Parquet output)")
        else:
            arrow = jorvane.table(first, "", columns, use_float=True).to_arrow()
            print("\nas a pyarrow table:", arrow.schema.types)
            out = str(directory / "events.parquet")
            written = jorvane.write_parquet(first, out, "", columns, batch_rows=500)
            back = pq.read_table(out)
            print(f"parquet: {written} rows written, {back.num_rows} read back, columns {back.column_names}")
            print("first tags:", back.column("tags").to_pylist()[:3])
        # Chunk by chunk as Table objects: at least batch_rows rows each (the last may have fewer);
        # a chunk takes whole read buffers, so this small file comes as one.
        for chunk in jorvane.table_batches(first, "", columns, batch_rows=500):
            print("chunk:", chunk)

        # The structure of a file: every path, its count, types and distinct values.
        print()
        print(jorvane.describe(first))

        # Malformed input: the error keeps the results reached before it.
        broken = directory / "broken.ndjson"
        broken.write_text('{"kind": "view"}\n{"kind": "buy"}\n{"kind": ]\n')
        q = Query([first, str(broken)], "kind", "count")
        print("\nfirst file still readable:", q.result(0))
        try:
            q.result(1)
        except Corrupted as e:
            print("broken file:", str(e).splitlines()[0])
            print("partial results:", e.recover())


if __name__ == "__main__":
    main()
