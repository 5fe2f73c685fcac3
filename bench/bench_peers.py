#!/usr/bin/env python3
"""jorvane against the Python tools a user would pick instead, on the same bytes.

    make bench-peers                      # builds, installs the peers, runs this
    python bench/bench_peers.py [--size 1G] [--quick] [options]

Runs four queries over the generated NDJSON (bench/gen_ndjson.cpp) with
jorvane and with each peer: an orjson per-line loop, ijson (yajl2_c), a
pysimdjson per-line loop, polars scan_ndjson, DuckDB read_ndjson and pyarrow
read_json (the last three given a schema of just the fields they need). Each
measurement runs in a fresh process; its answer is checked against jorvane's
(or, without jorvane, against the generator's totals) and its wall time and
peak resident set size are reported.

Inputs: plain, .gz and .zst, as one file or as the same records cut in eight
files; made once and kept in bench/data/peers-SIZE/. Thread settings: one
thread (jorvane max_threads=1, POLARS_MAX_THREADS=1, DuckDB threads=1,
pyarrow use_threads=False with a CPU pool of 1) and all cores (defaults, or
the core count). The per-line Python loops run on one core only and have no
all-cores rows.

GB/s is 10^9 bytes of uncompressed input per second; "vs jorvane" is the
peer's time divided by jorvane's in the same configuration (how many times
faster jorvane was).
"""

from __future__ import annotations

import argparse
import json
import math
import os
import platform
import shutil
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parent
sys.path.insert(0, str(HERE / "peers"))

import dataset  # noqa: E402
import engines  # noqa: E402

WORKER = HERE / "peers" / "worker.py"
INPUTS = ["plain", "gz", "zst"]
LAYOUTS = [1, dataset.N_PARTS]


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--size", default="1G", help="input size, N[K|M|G] in powers of ten (default 1G)")
    p.add_argument(
        "--quick", action="store_true", help="plain input only (no .gz/.zst), one timed run per measurement"
    )
    p.add_argument("--reps", type=int, default=1, help="fresh-process runs per measurement; the best is kept")
    p.add_argument("--queries", default=",".join(engines.QUERIES), help="subset of " + ",".join(engines.QUERIES))
    p.add_argument("--engines", default=",".join(engines.ENGINES), help="subset of " + ",".join(engines.ENGINES))
    p.add_argument("--inputs", default=",".join(INPUTS), help="subset of plain,gz,zst")
    p.add_argument("--files", default="1,8", help="subset of 1,8 (one file, or the data cut in eight)")
    p.add_argument("--threads", default="1,all", help="subset of 1,all")
    p.add_argument("--gen", help="path of gen_ndjson (default: found in build/, else built in build/bench)")
    p.add_argument("--data-dir", default=str(HERE / "data"), help="where inputs are kept (default bench/data)")
    p.add_argument("--json", help="also write every measurement to this JSON file")
    p.add_argument(
        "--resume",
        help="a --json file of an earlier run on the same input: its measurements are kept, only the missing "
        "ones are run, and the table shows both (the file is rewritten with the union)",
    )
    args = p.parse_args(argv)
    if args.quick:
        args.inputs = "plain"
    return args


def split_list(text: str, allowed: list, what: str) -> list:
    items = [t.strip() for t in text.split(",") if t.strip()]
    for t in items:
        if t not in allowed:
            sys.exit(f"unknown {what} {t!r}; expected some of {', '.join(map(str, allowed))}")
    return [a for a in allowed if a in items]


def find_gen(explicit) -> Path:
    if explicit:
        return Path(explicit)
    for build in ["build/bench", "build/cpp", "build/dev", "build/release"]:
        cand = REPO / build / "bench" / "gen_ndjson"
        if cand.is_file() and os.access(cand, os.X_OK):
            return cand
    cmake = shutil.which("cmake")
    if not cmake:
        sys.exit("gen_ndjson not found and cmake is not on the PATH: build it with -DJORVANE_BUILD_BENCH=ON")
    build = REPO / "build" / "bench"
    print(f"[data] building gen_ndjson in {build}", flush=True)
    gen_args = ["-G", "Ninja"] if shutil.which("ninja") else []
    subprocess.run(
        [cmake, "-S", str(REPO), "-B", str(build), *gen_args, "-DCMAKE_BUILD_TYPE=Release",
         "-DJORVANE_BUILD_BENCH=ON", "-DJORVANE_BUILD_TESTS=OFF", "-DJORVANE_BUILD_PYTHON=OFF"],
        check=True, stdout=subprocess.DEVNULL,
    )
    subprocess.run([cmake, "--build", str(build), "--target", "gen_ndjson"], check=True)
    return build / "bench" / "gen_ndjson"


def child_env(extra: dict) -> dict:
    env = dict(os.environ)
    py = str(REPO / "python")
    env["PYTHONPATH"] = (env["PYTHONPATH"] + os.pathsep if env.get("PYTHONPATH") else "") + py
    env.update(extra)
    return env


def jorvane_status() -> str | None:
    """None when jorvane.Query can be used, else why not."""
    code = "import jorvane, sys; sys.exit(0 if hasattr(jorvane, 'Query') else 3)"
    proc = subprocess.run([sys.executable, "-c", code], env=child_env({}), capture_output=True, text=True)
    if proc.returncode == 3:
        return "jorvane is importable but has no Query yet"
    if proc.returncode != 0:
        last = (proc.stderr.strip().splitlines() or ["unknown error"])[-1]
        return f"jorvane cannot be imported ({last})"
    return None


def run_one(engine: str, query: str, files: list, threads: int) -> dict:
    spec = json.dumps({"engine": engine, "query": query, "files": files, "threads": threads})
    proc = subprocess.run(
        [sys.executable, str(WORKER), spec],
        env=child_env(engines.engine_env(engine, threads)),
        capture_output=True,
        text=True,
    )
    if proc.returncode != 0:
        lines = proc.stderr.strip().splitlines() or [f"exit status {proc.returncode}"]
        return {"error": lines[-1][:200]}
    return json.loads(proc.stdout.strip().splitlines()[-1])


def warm(paths: list) -> None:
    buf = bytearray(8 << 20)
    for p in paths:
        with open(p, "rb", buffering=0) as f:
            while f.readinto(buf):
                pass


def same(query: str, a, b) -> bool:
    if query == "sum":
        return math.isclose(float(a), float(b), rel_tol=1e-9, abs_tol=1e-9)
    if query == "vcounts":
        return {str(k): int(v) for k, v in a.items()} == {str(k): int(v) for k, v in b.items()}
    return int(a) == int(b)


def expected_from_generator(query: str, meta: dict):
    return {"count": meta["user_ids"], "sum": float(meta["qty_sum"]), "skip": 0}.get(query)


def fmt_mb(n: int) -> str:
    return f"{n / 1e6:,.0f} MB"


def print_table(rows: list, out=sys.stdout) -> None:
    head = ["query", "input", "files", "threads", "engine", "GB/s", "seconds", "peak RSS", "vs jorvane", "check"]
    body = []
    for r in rows:
        if "error" in r:
            cells = ["—", "—", "—", "—", "—"]
        else:
            ratio = "" if r["engine"] == "jorvane" else (f"{r['ratio']:.1f}x" if r.get("ratio") else "—")
            cells = [f"{r['gbps']:.3f}", f"{r['seconds']:.2f}", fmt_mb(r["rss_peak"]), ratio, r["check"]]
        label = engines.ENGINE_LABELS[r["engine"]]
        if r["engine"] == "jorvane" and r.get("info", {}).get("mode"):
            label += f" ({r['info']['mode']})"
        body.append(
            [engines.QUERY_LABELS[r["query"]], r["input"], str(r["files"]), str(r["threads"]), label, *cells]
        )
    widths = [max(len(h), *(len(b[i]) for b in body)) if body else len(h) for i, h in enumerate(head)]
    right = {2, 3, 5, 6, 7, 8}

    def line(cells):
        return "| " + " | ".join(c.rjust(w) if i in right else c.ljust(w) for i, (c, w) in enumerate(zip(cells, widths))) + " |"

    print(line(head), file=out)
    print("|" + "|".join(("-" * (w + 1) + ":") if i in right else ("-" * (w + 2)) for i, w in enumerate(widths)) + "|", file=out)
    for b in body:
        print(line(b), file=out)
    for r in rows:
        if "error" in r:
            print(f"  error: {r['engine']} {r['query']} {r['input']} x{r['files']} t{r['threads']}: {r['error']}", file=out)


def find(rows, **key):
    for r in rows:
        if all(r.get(k) == v for k, v in key.items()) and "error" not in r:
            return r
    return None


def print_targets(rows: list, all_threads: int, size_bytes: int) -> None:
    """The goals jorvane is measured against; reported, never asserted."""
    print("\nTargets (reported, not asserted):")
    if not any(r["engine"] == "jorvane" and "error" not in r for r in rows):
        print("  none: no jorvane measurement")
        return
    base = dict(input="plain", files=1, threads=1)
    for q in engines.QUERIES:
        j = find(rows, engine="jorvane", query=q, **base)
        if not j:
            continue
        o = find(rows, engine="orjson", query=q, **base)
        if o:
            r = o["seconds"] / j["seconds"]
            print(f"  {engines.QUERY_LABELS[q]}: {r:.1f}x the orjson loop (goal 20x): {'met' if r >= 20 else 'not met'}")
        for peer in ["polars", "duckdb", "pyarrow"]:
            p = find(rows, engine=peer, query=q, **base)
            if p:
                r = p["seconds"] / j["seconds"]
                verdict = "ahead" if r > 1 else "behind"
                print(f"  {engines.QUERY_LABELS[q]}: {r:.2f}x {engines.ENGINE_LABELS[peer]}, one thread (goal >1x): {verdict}")
    for q in engines.QUERIES:
        for inp in INPUTS:
            one = find(rows, engine="jorvane", query=q, input=inp, files=dataset.N_PARTS, threads=1)
            many = find(rows, engine="jorvane", query=q, input=inp, files=dataset.N_PARTS, threads=all_threads)
            if one and many:
                r = one["seconds"] / many["seconds"]
                print(
                    f"  {engines.QUERY_LABELS[q]}, {inp}, {dataset.N_PARTS} files: {all_threads} threads "
                    f"{r:.1f}x one thread (goal 5x): {'met' if r >= 5 else 'not met'}"
                )
    for t in [1, all_threads]:
        j = find(rows, engine="jorvane", query="count", input="plain", files=1, threads=t)
        if j:
            ok = j["rss_peak"] < 100e6
            print(
                f"  Count over {size_bytes / 1e9:.2f} GB, {t} thread(s): peak RSS {fmt_mb(j['rss_peak'])} "
                f"(goal < 100 MB): {'met' if ok else 'not met'}"
            )


def machine_line() -> str:
    model = ""
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return f"{model or platform.processor()}, {engines.cpu_count()} cores, Python {platform.python_version()}"


def versions() -> str:
    code = (
        "import importlib.metadata as m\n"
        "names = ['orjson', 'ijson', 'pysimdjson', 'polars', 'duckdb', 'pyarrow']\n"
        "out = []\n"
        "for n in names:\n"
        "    try: out.append(n + ' ' + m.version(n))\n"
        "    except Exception: out.append(n + ' missing')\n"
        "print(', '.join(out))\n"
    )
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    return proc.stdout.strip()


def main(argv=None) -> int:
    args = parse_args(argv)
    queries = split_list(args.queries, engines.QUERIES, "query")
    engine_list = split_list(args.engines, engines.ENGINES, "engine")
    inputs = split_list(args.inputs, INPUTS, "input")
    layouts = [int(x) for x in split_list(args.files, [str(x) for x in LAYOUTS], "file count")]
    all_threads = engines.cpu_count()
    thread_sets = [1 if t == "1" else all_threads for t in split_list(args.threads, ["1", "all"], "thread setting")]
    thread_sets = list(dict.fromkeys(thread_sets))

    if "jorvane" in engine_list:
        why = jorvane_status()
        if why:
            print(f"skipping jorvane: {why}; peers are checked against the generator's totals instead", flush=True)
            engine_list.remove("jorvane")

    meta, files = dataset.prepare(args.size, find_gen(args.gen), Path(args.data_dir), inputs, layouts)
    print(f"input: {meta['bytes']:,} bytes, {meta['records']:,} records, {meta['user_ids']:,} events with user.id")
    print(f"machine: {machine_line()}")
    print(f"peers: {versions()}")
    print(f"started {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}\n", flush=True)

    warm(sorted({p for paths in files.values() for p in paths}))
    kept = {}
    if args.resume and Path(args.resume).exists():
        old = json.loads(Path(args.resume).read_text())
        if old.get("meta", {}).get("bytes") != meta["bytes"]:
            sys.exit(f"{args.resume} was measured on another input size")
        kept = {row_key(r): r for r in old["rows"] if "error" not in r}
        print(f"kept {len(kept)} measurement(s) from {args.resume}\n", flush=True)
    rows = []
    for q in queries:
        for inp in inputs:
            for layout in layouts:
                paths = files[(inp, layout)]
                for threads in thread_sets:
                    group = []
                    for engine in engine_list:
                        if threads > 1 and engine not in engines.MULTI_THREADED:
                            continue
                        row = {"query": q, "input": inp, "files": layout, "threads": threads, "engine": engine}
                        if row_key(row) in kept:
                            group.append(kept.pop(row_key(row)))
                            continue
                        runs = [run_one(engine, q, paths, threads) for _ in range(max(1, args.reps))]
                        good = [r for r in runs if "error" not in r]
                        if not good:
                            row["error"] = runs[0]["error"]
                        else:
                            best = min(good, key=lambda r: r["seconds"])
                            row.update(
                                result=best["result"],
                                seconds=best["seconds"],
                                all_seconds=[r["seconds"] for r in good],
                                rss_peak=max(r["rss_peak"] for r in good),
                                rss_base=best["rss_base"],
                                info=best["info"],
                                gbps=meta["bytes"] / best["seconds"] / 1e9,
                            )
                        group.append(row)
                        state = row.get("error") or f"{row['seconds']:.2f} s, {fmt_mb(row['rss_peak'])}"
                        print(f"  {q:7} {inp:5} x{layout} t{threads} {engine:10} {state}", file=sys.stderr, flush=True)
                    rows.extend(group)
    rows = sorted(rows + list(kept.values()), key=row_order)
    for key in {(r["query"], r["input"], r["files"], r["threads"]) for r in rows}:
        check_group([r for r in rows if (r["query"], r["input"], r["files"], r["threads"]) == key], key[0], meta)

    print()
    print_table(rows)
    print_targets(rows, all_threads, meta["bytes"])
    out_json = args.json or args.resume
    if out_json:
        Path(out_json).write_text(json.dumps({"meta": meta, "machine": machine_line(), "rows": rows}, indent=1))
    bad = [r for r in rows if r.get("check", "").startswith("DIFF")]
    if bad:
        print(f"\n{len(bad)} answer(s) differ from the reference: see the check column")
    return 0


def row_key(r: dict) -> tuple:
    return (r["query"], r["input"], r["files"], r["threads"], r["engine"])


def row_order(r: dict) -> tuple:
    return (
        engines.QUERIES.index(r["query"]), INPUTS.index(r["input"]), r["files"], r["threads"],
        engines.ENGINES.index(r["engine"]),
    )


def check_group(group: list, query: str, meta: dict) -> None:
    """Marks each answer: ok when equal to jorvane's (or the generator's)."""
    ref_row = next((r for r in group if r["engine"] == "jorvane" and "error" not in r), None)
    gen = expected_from_generator(query, meta)
    if ref_row is not None:
        ref, ref_name = ref_row["result"], "jorvane"
    elif gen is not None:
        ref, ref_name = gen, "generator"
    else:
        first = next((r for r in group if "error" not in r), None)
        ref, ref_name = (first["result"], engines.ENGINE_LABELS[first["engine"]]) if first else (None, "")
    for r in group:
        r.pop("ratio", None)
        if "error" in r:
            continue
        if r is ref_row:
            r["check"] = "ref" if gen is None or same(query, r["result"], gen) else "DIFF gen"
        else:
            r["check"] = "ok" if same(query, r["result"], ref) else f"DIFF {ref_name}"
        if ref_row is not None and r is not ref_row:
            r["ratio"] = r["seconds"] / ref_row["seconds"]


if __name__ == "__main__":
    sys.exit(main())
