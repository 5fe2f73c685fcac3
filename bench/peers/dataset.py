"""Input files of bench_peers.py, made once and kept in bench/data/peers-SIZE/.

- records.ndjson: gen_ndjson's output for the size (seed 1), with meta.json
  holding the generator's own totals (records, events[*].user.id matches,
  sum of qty) to check answers against;
- part-0.ndjson ... part-7.ndjson: the same records cut in eight at line
  boundaries, in order;
- a .gz (level 6) and a .zst (level 3) copy of each of those files, made with
  the system's gzip and zstd tools when present, else with the Python gzip
  and zstandard modules.

Every file is written under a temporary name and renamed when complete, so an
interrupted preparation is redone on the next run.
"""

from __future__ import annotations

import json
import os
import re
import shutil
import subprocess
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

N_PARTS = 8
SUFFIX = {"plain": "", "gz": ".gz", "zst": ".zst"}


def parse_size(text: str) -> int:
    m = re.fullmatch(r"(\d+)([KkMmGg]?)", text)
    if not m:
        raise ValueError(f"bad size {text!r}: expected digits and an optional K, M or G")
    return int(m.group(1)) * {"": 1, "k": 10**3, "m": 10**6, "g": 10**9}[m.group(2).lower()]


def _log(msg: str) -> None:
    print(f"[data] {msg}", flush=True)


def _generate(gen: Path, size: str, out: Path, meta_path: Path) -> dict:
    tmp = out.with_name(out.name + ".tmp")
    _log(f"generating {out} ({size})")
    proc = subprocess.run(
        [str(gen), "--size", size, "--seed", "1", "--out", str(tmp)], capture_output=True, text=True, check=True
    )
    m = re.search(r"(\d+) bytes, (\d+) records, events\[\*\]\.user\.id matches (\d+), sum of qty (-?\d+)", proc.stderr)
    if not m:
        raise RuntimeError(f"unexpected gen_ndjson summary: {proc.stderr.strip()}")
    os.replace(tmp, out)
    meta = {
        "size": size,
        "bytes": int(m.group(1)),
        "records": int(m.group(2)),
        "user_ids": int(m.group(3)),
        "qty_sum": int(m.group(4)),
    }
    meta_path.write_text(json.dumps(meta, indent=1) + "\n")
    return meta


def _split(src: Path, parts: list) -> None:
    total = src.stat().st_size
    bounds = [0]
    with open(src, "rb") as f:
        for i in range(1, N_PARTS):
            f.seek(max(total * i // N_PARTS, bounds[-1]))
            f.readline()  # to the end of the line that holds the cut
            bounds.append(min(f.tell(), total))
    bounds.append(total)
    _log(f"splitting {src.name} in {N_PARTS} at line boundaries")
    with open(src, "rb") as f:
        for i, path in enumerate(parts):
            tmp = path.with_name(path.name + ".tmp")
            f.seek(bounds[i])
            left = bounds[i + 1] - bounds[i]
            with open(tmp, "wb") as out:
                while left:
                    block = f.read(min(left, 8 << 20))
                    out.write(block)
                    left -= len(block)
            os.replace(tmp, path)


def _compress(src: Path, kind: str) -> None:
    dst = Path(str(src) + SUFFIX[kind])
    tmp = dst.with_name(dst.name + ".tmp")
    tool = shutil.which("gzip" if kind == "gz" else "zstd")
    with open(tmp, "wb") as out:
        if tool and kind == "gz":
            subprocess.run([tool, "-6", "-c", str(src)], stdout=out, check=True)
        elif tool:
            subprocess.run([tool, "-3", "-q", "-c", str(src)], stdout=out, check=True)
        elif kind == "gz":
            import gzip

            with open(src, "rb") as f, gzip.GzipFile(fileobj=out, mode="wb", compresslevel=6, mtime=0) as z:
                shutil.copyfileobj(f, z, 8 << 20)
        else:
            import zstandard

            with open(src, "rb") as f:
                zstandard.ZstdCompressor(level=3).copy_stream(f, out)
    os.replace(tmp, dst)


def prepare(size: str, gen: Path, root: Path, inputs: list, layouts: list) -> tuple:
    """Makes what is missing; returns (meta, {(input, layout): [paths]})."""
    d = root / f"peers-{size}"
    d.mkdir(parents=True, exist_ok=True)
    records = d / "records.ndjson"
    meta_path = d / "meta.json"
    if records.exists() and meta_path.exists():
        meta = json.loads(meta_path.read_text())
    else:
        meta = _generate(gen, size, records, meta_path)
    parts = [d / f"part-{i}.ndjson" for i in range(N_PARTS)]
    if N_PARTS in layouts and not all(p.exists() for p in parts):
        _split(records, parts)
    plain = {1: [records], N_PARTS: parts}
    todo = []
    for kind in inputs:
        if kind == "plain":
            continue
        for layout in layouts:
            for p in plain[layout]:
                if not Path(str(p) + SUFFIX[kind]).exists():
                    todo.append((p, kind))
    if todo:
        _log(f"compressing {len(todo)} file(s) (gzip -6, zstd -3); done once, kept in {d}")
        workers = max(1, min(4, os.cpu_count() or 1))
        with ThreadPoolExecutor(max_workers=workers) as pool:
            list(pool.map(lambda job: _compress(*job), todo))
    files = {}
    for kind in inputs:
        for layout in layouts:
            files[(kind, layout)] = [str(p) + SUFFIX[kind] for p in plain[layout]]
    return meta, files
