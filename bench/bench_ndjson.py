#!/usr/bin/env python3
"""write_ndjson against a Python loop, on the generated NDJSON.

    make bench-ndjson                           # builds, installs the peers, runs this
    python bench/bench_ndjson.py [--size 1G] [--reps 1] [--input records.ndjson]

One task over one plain file on one thread: project three fields of every
record (`id`, the nested `user.id` and `currency`) into a new NDJSON file,
plain and gzip-compressed:

- jorvane.write_ndjson(path, out, "", fields={...}) in batched mode (the
  output's compression follows its name);
- an orjson loop: orjson.loads per input line, orjson.dumps of the projected
  dict per output line, written to a file opened with open() or, for .gz,
  gzip.open() at level 6.

Both write the same bytes; each output is checked by the SHA-256 of its
(decompressed) content. Each measurement runs in a fresh process; wall time
and peak resident set size (VmHWM) are reported with the machine's load.
"""

from __future__ import annotations

import gzip
import hashlib
import json
import os
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE / "peers"))
import single_file  # noqa: E402

CASES = [("jorvane", "plain"), ("orjson", "plain"), ("jorvane", "gz"), ("orjson", "gz")]
FIELDS = {"id": "id", "user": "user.id", "currency": "currency"}


def run_jorvane(path, out):
    import jorvane

    return jorvane.write_ndjson(path, out, "", fields=FIELDS, mode="batched")


def run_orjson(path, out):
    import orjson

    n = 0
    opener = gzip.open(out, "wb", compresslevel=6) if out.endswith(".gz") else open(out, "wb")
    with open(path, "rb") as src, opener as dst:
        write = dst.write
        for line in src:
            if not line.strip():
                continue
            r = orjson.loads(line)
            write(orjson.dumps({"id": r["id"], "user": r["user"]["id"], "currency": r["currency"]}) + b"\n")
            n += 1
    return n


RUNNERS = {"jorvane": run_jorvane, "orjson": run_orjson}


def cpu_seconds():
    import resource

    u = resource.getrusage(resource.RUSAGE_SELF)
    return u.ru_utime + u.ru_stime


def digest(out):
    h = hashlib.sha256()
    with (gzip.open(out, "rb") if out.endswith(".gz") else open(out, "rb")) as f:
        while block := f.read(8 << 20):
            h.update(block)
    return h.hexdigest()


def worker(engine, path, out):
    __import__("jorvane" if engine == "jorvane" else "orjson")
    base = single_file.status_bytes("VmRSS")
    cpu = cpu_seconds()
    start = time.perf_counter()
    lines = RUNNERS[engine](path, out)
    seconds = time.perf_counter() - start
    cpu = cpu_seconds() - cpu
    print(json.dumps({"lines": lines, "seconds": seconds, "cpu": cpu, "rss_peak": single_file.status_bytes("VmHWM"), "rss_base": base}))


def main(argv=None):
    p = single_file.parser(__doc__, 3)
    p.add_argument("--input", help="an NDJSON file of gen_ndjson's shape to read instead of generating one")
    p.add_argument("--out-dir", help="where the outputs go (default: a temporary directory, removed after)")
    args = p.parse_args(argv)
    if args.worker:
        worker(*args.worker)
        return 0
    path = single_file.input_file(args)
    size = os.path.getsize(path)
    rows = []
    with tempfile.TemporaryDirectory(dir=args.out_dir) as tmp:
        for engine, kind in CASES:
            out = os.path.join(tmp, f"{engine}.ndjson" + (".gz" if kind == "gz" else ""))
            before = single_file.load()
            row = {"engine": engine, "kind": kind, "load": before,
                   **single_file.measure(__file__, [engine, path, out], args.reps)}
            if "error" not in row:
                row["bytes"] = os.path.getsize(out)
                row["digest"] = digest(out)
                os.remove(out)
            rows.append(row)
            state = row.get("error") or "%.2f s" % row["seconds"]
            print(f"  {engine:8} {kind:5} {state} ({before})", file=sys.stderr, flush=True)
    ref = {r["kind"]: r for r in rows if r["engine"] == "jorvane" and "error" not in r}
    print("\n| writer | output | GB/s of input | seconds | CPU seconds | peak RSS | output bytes | vs jorvane | check | "
          "machine load before |")
    print("|---|---|---:|---:|---:|---:|---:|---:|---|---|")
    for row in rows:
        if "error" in row:
            print(f"| {row['engine']} | {row['kind']} | — | — | — | — | — | — | {row['error'][:60]} | {row['load']} |")
            continue
        r = ref.get(row["kind"])
        ratio = "" if row is r or not r else f"{row['seconds'] / r['seconds']:.1f}x"
        same = r and row["digest"] == r["digest"] and row["lines"] == r["lines"]
        check = "ref" if row is r else ("same lines" if same else "DIFF")
        print(f"| {row['engine']} | {row['kind']} | {size / row['seconds'] / 1e9:.3f} | {row['seconds']:.2f} | "
              f"{row['cpu']:.2f} | {row['rss_peak'] / 1e6:,.0f} MB | {row['bytes']:,} | {ratio} | {check} | "
              f"{row['load']} |")
    if "plain" in ref:
        print(f"\n{ref['plain']['lines']:,} lines; target: jorvane at least 10x the orjson loop on plain output")
    return 0


if __name__ == "__main__":
    sys.exit(main())
