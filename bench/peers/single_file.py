"""What the one-file benchmarks (bench_lazy.py, bench_tables.py, ...) share:
their command line, the input file made once by dataset.py, and one
measurement run in a fresh process whose last output line is a JSON record
with at least "seconds" and "rss_peak" (bytes)."""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
from pathlib import Path

from worker import status_bytes  # noqa: F401  (re-exported for the benchmark workers)

HERE = Path(__file__).resolve().parent


def parser(doc: str, worker_args: int) -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(description=doc.split("\n\n")[0])
    p.add_argument("--size", default="1G", help="input size, N[K|M|G] in powers of ten (default 1G)")
    p.add_argument("--reps", type=int, default=1, help="fresh-process runs per measurement; the best is kept")
    p.add_argument("--gen", help="path of gen_ndjson")
    p.add_argument("--data-dir", default=str(HERE.parent / "data"))
    p.add_argument("--worker", nargs=worker_args, help=argparse.SUPPRESS)
    return p


def prepare(args):
    """The plain input file (made once) and its metadata; prints what is measured where."""
    import bench_peers
    import dataset

    meta, files = dataset.prepare(args.size, bench_peers.find_gen(args.gen), Path(args.data_dir), ["plain"], [1])
    path = files[("plain", 1)][0]
    print(f"input: {meta['bytes']:,} bytes, {meta['records']:,} records")
    print(f"machine: {bench_peers.machine_line()}; load: {os.getloadavg()[0]:.1f}")
    bench_peers.warm([path])
    return meta, path


def load() -> str:
    return "load %.1f %.1f %.1f" % os.getloadavg()


def input_file(args):
    """--input when given (nothing is generated), else the generated file of --size."""
    if not args.input:
        return prepare(args)[1]
    import bench_peers

    print(f"input: {args.input}, {os.path.getsize(args.input):,} bytes")
    print(f"machine: {bench_peers.machine_line()}; load: {os.getloadavg()[0]:.1f}")
    bench_peers.warm([args.input])
    return args.input


def measure(script: str, worker_args: list, reps: int, extra_env: dict | None = None) -> dict:
    """The best of `reps` fresh-process runs of `script --worker ...`, or {"error": ...}."""
    import bench_peers

    env = bench_peers.child_env(extra_env or {})
    runs = []
    for _ in range(max(1, reps)):
        proc = subprocess.run([sys.executable, script, "--worker", *worker_args], env=env, capture_output=True,
                              text=True)
        if proc.returncode != 0:
            runs.append({"error": (proc.stderr.strip().splitlines() or ["failed"])[-1]})
        else:
            runs.append(json.loads(proc.stdout.strip().splitlines()[-1]))
    good = [r for r in runs if "error" not in r]
    if not good:
        return {"error": runs[0]["error"]}
    best = dict(min(good, key=lambda r: r["seconds"]))
    best["rss_peak"] = max(r["rss_peak"] for r in good)
    return best
