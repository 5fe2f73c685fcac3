"""One measurement in a fresh process: run by bench_peers.py as

    python bench/peers/worker.py '{"engine": ..., "query": ..., "files": [...], "threads": N}'

It imports the engine's modules first (import time is not measured), times
the query, and prints one JSON line on standard output: the answer, the wall
time in seconds, the resident set size after the imports and the peak
resident set size of the process (VmHWM), in bytes.
"""

import importlib
import json
import sys
import time

import engines

PRELOAD = {
    "jorvane": ["jorvane"],
    "orjson": ["orjson", "gzip", "zstandard"],
    "ijson": ["ijson", "gzip", "zstandard"],
    "pysimdjson": ["simdjson", "gzip", "zstandard"],
    "polars": ["polars"],
    "duckdb": ["duckdb"],
    "pyarrow": ["pyarrow", "pyarrow.json", "pyarrow.compute"],
}


def status_bytes(field: str) -> int:
    """A size field of /proc/self/status (VmRSS, VmHWM) in bytes."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    return 0


def main() -> int:
    spec = json.loads(sys.argv[1])
    engine, query, files, threads = spec["engine"], spec["query"], spec["files"], spec["threads"]
    for name in PRELOAD[engine]:
        importlib.import_module(name)
    base = status_bytes("VmRSS")
    start = time.perf_counter()
    result, info = engines.RUNNERS[engine](query, files, threads)
    seconds = time.perf_counter() - start
    out = {
        "result": result,
        "seconds": seconds,
        "rss_base": base,
        "rss_peak": status_bytes("VmHWM"),
        "info": info,
    }
    sys.stdout.write(json.dumps(out) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
