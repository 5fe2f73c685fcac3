"""Ctrl-C during the scans that keep the interpreter lock released for many buffers: table(),
group_by(), the writers and table_batches() stop between buffers with KeyboardInterrupt, leave
their output as a failed run does, and table_batches() goes on afterwards where it stopped.

The source is a large file read through a raw file object (C reads, no Python code runs in
them), and the interrupt is sent once the scan has read from it: the read position shows how far
the scan got. A scan that ignored the interrupt would read to the end and only then raise."""
import contextlib
import gc
import os
import signal
import threading

import pytest

import jorvane

ROWS = 1_500_000


@pytest.fixture(scope="module")
def big(tmp_path_factory):
    """About 70 MiB of rows {"id": i, ...}, then one row with a marker."""
    path = tmp_path_factory.mktemp("interrupts") / "big.ndjson"
    with open(path, "wb") as f:
        for start in range(0, ROWS, 100_000):
            f.write(b"".join(b'{"id": %d, "name": "n%d", "tags": ["a", "b"]}\n' % (i, i % 97)
                             for i in range(start, start + 100_000)))
        f.write(b'{"id": -1, "marker": true}\n')
    return path


@contextlib.contextmanager
def interrupted_once_read(f, after=0):
    """Sends SIGINT to the main thread as soon as more than `after` bytes have been read from `f`."""
    stop = threading.Event()

    def watch():
        while not stop.is_set():
            if os.lseek(f.fileno(), 0, os.SEEK_CUR) > after:
                signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)
                return
            stop.wait(0.001)

    watcher = threading.Thread(target=watch)
    watcher.start()
    try:
        yield
    finally:
        stop.set()
        watcher.join()


def whole_lines(data):
    assert data == b"" or data.endswith(b"\n")
    return data.splitlines()


def check_ndjson_rows(out, big):
    # whole rows are written as they stand: a prefix of the source, in whole lines
    data = out.read_bytes()
    assert len(whole_lines(data)) < ROWS and big.read_bytes().startswith(data)


def check_ndjson_fields(out, big):
    lines = whole_lines(out.read_bytes())
    assert len(lines) < ROWS and lines == [b'{"id":%d}' % i for i in range(len(lines))]


def check_parquet(out, big):
    pq = pytest.importorskip("pyarrow.parquet")
    gc.collect()  # the unclosed writer is closed by pyarrow when collected
    if out.exists():
        ids = pq.read_table(out).column("id").to_pylist()
        assert len(ids) < ROWS and ids == list(range(len(ids)))


def check_csv(out, big):
    lines = whole_lines(out.read_bytes()) if out.exists() else [b'"id"']
    assert lines[0] == b'"id"' and len(lines) - 1 < ROWS
    assert lines[1:] == [b"%d" % i for i in range(len(lines) - 1)]


ONE_SHOT = {
    # (the call, the check of its output, bytes read before the interrupt is sent)
    "table": (lambda f, out: jorvane.table(f, "", ["id"]), None, 0),
    "group_by": (lambda f, out: jorvane.group_by(f, "", "name", {"n": "count"}), None, 0),
    "write_ndjson": (lambda f, out: jorvane.write_ndjson(f, str(out), ""), check_ndjson_rows, 8 << 20),
    "write_ndjson fields": (lambda f, out: jorvane.write_ndjson(f, str(out), "", fields=["id"]),
                            check_ndjson_fields, 8 << 20),
    # one chunk for the whole source: the interrupt comes while it is read
    "write_parquet": (lambda f, out: jorvane.write_parquet(f, str(out), "", ["id"], batch_rows=10 ** 9),
                      check_parquet, 0),
    "write_csv": (lambda f, out: jorvane.write_csv(f, str(out), "", ["id"], batch_rows=10 ** 9), check_csv, 0),
    # chunks already written stay in the file
    "write_parquet chunks": (lambda f, out: jorvane.write_parquet(f, str(out), "", ["id"], batch_rows=100_000),
                             check_parquet, 16 << 20),
    "write_csv chunks": (lambda f, out: jorvane.write_csv(f, str(out), "", ["id"], batch_rows=100_000),
                         check_csv, 16 << 20),
}


@pytest.mark.parametrize("call", ONE_SHOT)
def test_a_scan_stops_at_the_interrupt(big, tmp_path, sigint_raises, call):
    run, check, after = ONE_SHOT[call]
    if "parquet" in call or "csv" in call:
        pytest.importorskip("pyarrow")
    out = tmp_path / "out"
    with open(big, "rb", buffering=0) as f:
        with pytest.raises(KeyboardInterrupt), interrupted_once_read(f, after):
            run(f, out)
        assert f.tell() < big.stat().st_size, "the scan read on to the end"
    if check:
        check(out, big)


def test_table_batches_go_on_after_the_interrupt(big, sigint_raises):
    with open(big, "rb", buffering=0) as f:
        it = jorvane.table_batches(f, "", ["id"], batch_rows=10 ** 9)
        with pytest.raises(KeyboardInterrupt), interrupted_once_read(f):
            next(it)
        assert f.tell() < big.stat().st_size, "the scan read on to the end"
        # the rows read before the interrupt are kept: nothing is lost or repeated
        assert [chunk.to_dict()["id"].tolist() for chunk in it] == [list(range(ROWS)) + [-1]]
