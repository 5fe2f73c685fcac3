"""Ctrl-C during the scans that keep the interpreter lock released for many buffers: each stops
between buffers with KeyboardInterrupt and leaves its output as a failed run does. The source is
a large file read through a raw file object (C reads, no Python code runs in them), and the
interrupt is sent once the scan has read from it; a scan that ignored it would read to the end."""
import contextlib
import gc
import json
import os
import signal
import subprocess
import sys
import textwrap
import threading

import pytest

import jorvane

ROWS = 1_500_000


@pytest.fixture(scope="module")
def big(tmp_path_factory):
    """About 70 MiB of rows {"id": i, ...}."""
    path = tmp_path_factory.mktemp("interrupts") / "big.ndjson"
    with open(path, "wb") as f:
        for start in range(0, ROWS, 100_000):
            f.write(b"".join(b'{"id": %d, "name": "n%d", "tags": ["a", "b"]}\n' % (i, i % 97)
                             for i in range(start, start + 100_000)))
    return path


@contextlib.contextmanager
def interrupted_once(happened):
    """Sends SIGINT to the main thread once `happened()` is true."""
    stop = threading.Event()

    def watch():
        while not stop.wait(0.001):
            if happened():
                signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)
                return

    watcher = threading.Thread(target=watch)
    watcher.start()
    try:
        yield
    finally:
        stop.set()
        watcher.join()


def interrupted_once_read(f):
    """Sends SIGINT to the main thread once something has been read from `f`."""
    return interrupted_once(lambda: os.lseek(f.fileno(), 0, os.SEEK_CUR) > 0)


def first_ids(out):
    """The ids of an NDJSON output, which must be whole lines: a failed run ends at a line end."""
    data = out.read_bytes()
    assert data == b"" or data.endswith(b"\n")
    return [json.loads(line)["id"] for line in data.splitlines()]


CALLS = {
    "table": lambda f, out: jorvane.table(f, "", ["id"]),
    "group_by": lambda f, out: jorvane.group_by(f, "", "name", {"n": "count"}),
    "write_ndjson": lambda f, out: jorvane.write_ndjson(f, str(out), ""),
    "write_ndjson fields": lambda f, out: jorvane.write_ndjson(f, str(out), "", fields=["id"]),
    # one chunk for the whole source: the interrupt comes before the writer is opened
    "write_parquet": lambda f, out: jorvane.write_parquet(f, str(out), "", ["id"], batch_rows=10 ** 9),
    "write_csv": lambda f, out: jorvane.write_csv(f, str(out), "", ["id"], batch_rows=10 ** 9),
}


@pytest.mark.parametrize("call", CALLS)
def test_a_scan_stops_at_the_interrupt(big, tmp_path, sigint_raises, call):
    if call in ("write_parquet", "write_csv"):
        pytest.importorskip("pyarrow")
    out = tmp_path / "out"
    with open(big, "rb", buffering=0) as f:
        with pytest.raises(KeyboardInterrupt), interrupted_once_read(f):
            CALLS[call](f, out)
        assert f.tell() < big.stat().st_size, "the scan read on to the end"
    if call.startswith("write_ndjson"):
        ids = first_ids(out)
        assert len(ids) < ROWS and ids == list(range(len(ids)))
    elif call.startswith("write_"):
        assert not out.exists()


def test_table_batches_go_on_after_the_interrupt(big, sigint_raises):
    with open(big, "rb", buffering=0) as f:
        it = jorvane.table_batches(f, "", ["id"], batch_rows=10 ** 9)
        with pytest.raises(KeyboardInterrupt), interrupted_once_read(f):
            next(it)
        assert f.tell() < big.stat().st_size, "the scan read on to the end"
        # the rows read before the interrupt stay gathered: none is lost or repeated
        assert [chunk.to_dict()["id"].tolist() for chunk in it] == [list(range(ROWS))]


def test_batches_read_in_ranges_go_on_after_the_interrupt(big, sigint_raises):
    # A path is read in ranges on every core; the interrupt may come in the scan or between calls
    # (the chunks are only kept there, so that none is dropped by the test itself), and either way
    # no row is lost or repeated.
    it = jorvane.table_batches(str(big), "", ["id"], batch_rows=10 ** 9)
    timer = threading.Timer(0.02, signal.pthread_kill, (threading.main_thread().ident, signal.SIGINT))
    timer.start()
    chunks = []
    while True:
        try:
            for chunk in it:
                chunks.append(chunk)
            timer.join()
            break
        except KeyboardInterrupt:
            continue
    assert [i for chunk in chunks for i in chunk.to_dict()["id"].tolist()] == list(range(ROWS))


def interrupted_once_made(out):
    """Sends SIGINT to the main thread once the file `out` exists."""
    return interrupted_once(out.exists)


@pytest.mark.parametrize("mode", [None, "batched"])
@pytest.mark.parametrize("fmt", ["parquet", "csv"])
def test_a_writer_reading_a_path_ahead_stops_at_the_interrupt(big, tmp_path, sigint_raises, fmt, mode):
    # A path is read a batch ahead on a thread of its own: the interrupt comes while a batch is awaited or
    # written, the reader is stopped, and the file holds the batches written before it, as a failed run leaves it.
    pq = pytest.importorskip("pyarrow.parquet")
    out = tmp_path / f"out.{fmt}"
    writer = jorvane.write_parquet if fmt == "parquet" else jorvane.write_csv
    with pytest.raises(KeyboardInterrupt), interrupted_once_made(out):
        writer(str(big), str(out), "", ["id"], batch_rows=10_000, mode=mode)
    gc.collect()  # the writer dropped unclosed is finalized by pyarrow
    if fmt == "csv":
        ids = [int(line) for line in out.read_text().splitlines()[1:]]
    elif out.stat().st_size == 0:
        ids = []  # the interrupt came while pyarrow was still making its writer over the new file
    else:
        ids = pq.read_table(str(out)).column("id").to_pylist()
    assert ids == list(range(len(ids))) and len(ids) < ROWS


# Ctrl-C caught around next() loses nothing: the interrupt is tripped inside a read() that runs no
# Python code (so it lands in the iterator's refill, not in the reader), and the value or batch that
# refill made is handed out by the next call. Each buffer holds BATCH whole rows, so every refill
# reads one buffer, the tripping one, and looks for signals only once it has returned; a projection
# reads to the end in one refill, so its interrupt is tripped by the read that finds the end.
BATCH = 4
ROW = b'{"id":%4d}\n'
DATA = b"".join(ROW % i for i in range(40))
CHUNK = BATCH * len(ROW % 0)

ITERATORS = {
    "items": (lambda f: jorvane.items(f, "", mode="batched"), lambda v: [v], [CHUNK, 3 * CHUNK, 4 * CHUNK]),
    "kvitems": (lambda f: jorvane.kvitems(f, "", mode="batched"), lambda v: [v], [2 * CHUNK, 9 * CHUNK]),
    "ndjson_lines": (lambda f: jorvane.ndjson_lines(f, "", mode="batched"), lambda v: [v], [0, CHUNK, 5 * CHUNK]),
    "ndjson_lines fields": (lambda f: jorvane.ndjson_lines(f, "", fields=["id"], mode="batched"), lambda v: [v],
                            [len(DATA)]),
    "table_batches": (lambda f: jorvane.table_batches(f, "", ["id"], batch_rows=BATCH, mode="batched"),
                      lambda t: t.to_dict()["id"].tolist(), [CHUNK, 2 * CHUNK, 7 * CHUNK]),
}


def take_all(it, flatten):
    """Every value of `it`, going on after each KeyboardInterrupt, and the number of those."""
    got, caught = [], 0
    while True:
        try:
            value = next(it)
        except StopIteration:
            return got, caught
        except KeyboardInterrupt:
            caught += 1
            continue
        got.extend(flatten(value))


@pytest.mark.parametrize("kind", ITERATORS)
def test_an_interrupt_caught_around_next_loses_nothing(sigint_raises, kind):
    hooks = pytest.importorskip("jorvane_testhooks")
    make, flatten, trips = ITERATORS[kind]
    expected, none = take_all(make(hooks.interrupting_reader(DATA, CHUNK, [])), flatten)
    assert none == 0 and len(expected) >= 10
    got, caught = take_all(make(hooks.interrupting_reader(DATA, CHUNK, trips)), flatten)
    assert caught == len(trips)
    assert got == expected


def test_a_value_whose_conversion_is_interrupted_stays_queued(child_env):
    """An interrupt during the first decimal import (here raised by the import itself) leaves the
    value being converted for the next call. A process of its own: the import happens once."""
    code = textwrap.dedent("""
        import decimal, sys, jorvane
        class Interrupting(type(sys)):
            def __getattr__(self, name):
                raise KeyboardInterrupt
        sys.modules["decimal"] = Interrupting("decimal")
        it = jorvane.items(b'[1.5, 2.5]', "[*]")
        try:
            next(it)
        except KeyboardInterrupt:
            print("interrupted")
        sys.modules["decimal"] = decimal
        print([str(v) for v in it])
    """)
    out = subprocess.run([sys.executable, "-c", code], env=child_env, capture_output=True, text=True, check=True)
    assert out.stdout.split("\n")[:2] == ["interrupted", "['1.5', '2.5']"]
