"""Lazy iterators inherited by a forked child.

The child has a copy of every iterator of the parent but none of the
parent's threads. An iterator that holds some (the walkers of a file read in
ranges, a stage-1 thread) is refused there with RuntimeError at every use,
and dropping it there neither hangs nor crashes; the parent's iterator goes
on with every row. One that holds none works in the child, and the child's
reads leave the parent's place in the file alone. An open file is shared
with the child: when the child reads on from it, the parent's iterator
cannot go on in order and says so instead of ending short.
"""
import ast
import base64
import gc
import gzip
import os
import random
import signal
import sys

import pytest

from jorvane import items, kvitems, ndjson_lines, table_batches

# A plain file splits into ranges from 8 MiB on, a compressed one at any
# size; a projection reads 65536 rows at its first call, and must not reach
# the end there. Rows of random text keep the compressed file several
# decoder reads long. Every MARK_EVERY-th row carries a "mark".
ROWS = 72000
MARK_EVERY = 800

pytestmark = pytest.mark.skipif(not hasattr(os, "fork"), reason="no fork()")

two_cores = pytest.mark.skipif(
    (len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else (os.cpu_count() or 1)) < 2,
    reason="one processor: one engine, no walkers",
)


@pytest.fixture(scope="module")
def paths(tmp_path_factory):
    rng = random.Random(5)
    lines = []
    for i in range(ROWS):
        row = '{"id": %d, "pad": "%s"' % (i, base64.b64encode(rng.randbytes(75)).decode())
        lines.append(row + (', "mark": %d}\n' % i if i % MARK_EVERY == 0 else "}\n"))
    data = "".join(lines).encode()
    assert len(data) > 8 * 1024 * 1024
    folder = tmp_path_factory.mktemp("fork")
    (folder / "rows.ndjson").write_bytes(data)
    (folder / "rows.ndjson.gz").write_bytes(gzip.compress(data, 1))
    return {"plain": str(folder / "rows.ndjson"), "gzip": str(folder / "rows.ndjson.gz"), "size": len(data)}


def in_child(action, seconds=10):
    """What `action` returned in a forked child (as "ok <repr>"), or the exception it raised ("<type>: <text>").
    The child is killed by an alarm if it hangs, which fails the test like a crash does."""
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            os.close(read_end)
            signal.alarm(seconds)
            try:
                report = "ok " + repr(action())
            except Exception as e:
                report = f"{type(e).__name__}: {e}"
            os.write(write_end, report.encode())
            code = 0
        finally:
            os._exit(code)
    os.close(write_end)
    with os.fdopen(read_end, "rb") as f:
        report = f.read().decode()
    _, status = os.waitpid(pid, 0)
    assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0, f"the child ended with status {status:#x}"
    return report


def refused(name):
    return f"RuntimeError: {name} was created in another process, whose threads it uses; create it again in this process"


# Each iterator, its type's name, the rows one item holds, and the fewest
# rows its first call makes beyond those it hands out: a batch is made by
# the call that hands it out, whole rows come a range at a time (256 KiB at
# least, over 2000 rows), a projection's lines a batch of 65536 rows or more.
HOLDING = {
    "table_batches": (lambda p: table_batches(p, "", ["id"], batch_rows=1000), "TableBatches", len, 0),
    "ndjson_lines": (lambda p: ndjson_lines(p, ""), "NdjsonLines", lambda line: 1, 2000),
    "ndjson_lines fields": (lambda p: ndjson_lines(p, "", fields=["id"]), "NdjsonLines", lambda line: 1, 65535),
}


@two_cores
@pytest.mark.parametrize("child_does", ["use", "drop"])
@pytest.mark.parametrize("input_kind", ["plain", "gzip"])
@pytest.mark.parametrize("kind", list(HOLDING))
def test_iterator_with_walkers_is_refused_in_a_child(paths, kind, input_kind, child_does):
    make, name, rows_of, made_ahead = HOLDING[kind]
    held = [make(paths[input_kind])]
    rows = rows_of(next(held[0]))  # the walkers are started
    refs = sys.getrefcount(held[0])
    assert refs == 2  # the list's and the call's: dropped with the list

    def use():
        # What the parent had made already is handed out; the call that needs more is refused,
        # and so is every call after it.
        handed, outcomes = 0, []
        try:
            while True:
                handed += rows_of(next(held[0]))
        except (RuntimeError, StopIteration) as e:
            outcomes.append(f"{type(e).__name__}: {e}")
        for call in (lambda: iter(held[0]), lambda: next(held[0])):
            try:
                call()
                outcomes.append("went on")
            except RuntimeError as e:
                outcomes.append(f"RuntimeError: {e}")
        return [handed, *outcomes]

    def drop():
        held.clear()
        gc.collect()
        return "dropped"

    if child_does == "use":
        report = in_child(use)
        assert report.startswith("ok "), report
        handed, *outcomes = ast.literal_eval(report[3:])
        assert outcomes == [refused(name)] * 3
        assert made_ahead <= handed and rows + handed < ROWS
    else:
        assert in_child(drop) == "ok 'dropped'"
    rows += sum(rows_of(item) for item in held[0])
    assert rows == ROWS


@pytest.mark.parametrize("input_kind", ["plain", "gzip"])
@pytest.mark.parametrize("kind", list(HOLDING))
def test_iterator_taken_over_before_its_threads_start_works_in_a_child(paths, kind, input_kind):
    # No thread starts before the first call: the child takes the iterator
    # over, and the threads that call starts (the walkers, the decoder) are
    # the child's own, which every later call goes on with.
    make, _, rows_of, _ = HOLDING[kind]
    it = make(paths[input_kind])
    assert in_child(lambda: sum(rows_of(item) for item in it)) == f"ok {ROWS}"
    assert sum(rows_of(item) for item in it) == ROWS


@pytest.mark.parametrize("mode", ["batched", "pipelined"])
@pytest.mark.parametrize("input_kind", ["plain", "gzip"])
def test_items_without_threads_work_in_a_child(paths, input_kind, mode):
    # The first buffer is never handed to a stage-1 thread: after it the
    # iterator holds no thread. In pipelined mode the second buffer goes to
    # a stage-1 thread of the child's own when a core is free (the load
    # average below the processor count), which nothing here can set: the
    # child must read every value either way.
    it = items(paths[input_kind], ["id"], mode=mode)
    first = next(it)
    assert in_child(lambda: list(it)) == "ok " + repr(list(range(1, ROWS)))
    assert [first, *it] == list(range(ROWS))


def threads():
    return len(os.listdir("/proc/self/task"))


@two_cores
@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="threads counted through /proc")
def test_pipelined_items_refused_in_a_child_while_its_stage_one_thread_runs(paths):
    # Pipelined mode hands a long buffer to a stage-1 thread only when
    # measuring says it pays and a core is free, so whether the iterator
    # holds one after its second buffer depends on the machine: the child's
    # outcome must follow it.
    gc.collect()
    before = threads()
    it = items(paths["plain"], ["mark"], mode="pipelined")
    marks_per_buffer = (4 << 20) * ROWS // paths["size"] // MARK_EVERY
    seen = [next(it) for _ in range(marks_per_buffer + 5)]  # well into the second buffer of 4 MiB
    holds = threads() > before
    expected = refused("Items") if holds else "ok " + repr(list(range(len(seen) * MARK_EVERY, ROWS, MARK_EVERY)))
    assert in_child(lambda: list(it)) == expected
    assert seen + list(it) == list(range(0, ROWS, MARK_EVERY))


# A projection reads 65536 rows ahead at its first call and the others one
# buffer of 1 MiB: the child takes rows well beyond both, so it reads on from
# the shared file whatever the kind, and the file is longer still. Rows of
# 128 bytes put every read's end between two rows, where a parent that went
# on from the child's place would see well-formed rows and miss some.
SHARED_ROWS = 90000
CHILD_ROWS = 70000

# Each lazy iterator in batched mode (no thread), and the rows a value holds.
SHARING = {
    "items": (lambda s: items(s, "id", mode="batched"), lambda v: 1),
    "kvitems": (lambda s: kvitems(s, "", mode="batched"), lambda kv: kv[0] == "id"),
    "ndjson_lines": (lambda s: ndjson_lines(s, "", mode="batched"), lambda line: 1),
    "ndjson_lines fields": (lambda s: ndjson_lines(s, "", fields=["id"], mode="batched"), lambda line: 1),
    "table_batches": (lambda s: table_batches(s, "", ["id"], batch_rows=50, mode="batched"), len),
}


@pytest.fixture(scope="module")
def shared_file(tmp_path_factory):
    rng = random.Random(11)
    rows = (b'{"id": %d, "pad": "' % i for i in range(SHARED_ROWS))
    data = b"".join(row + rng.randbytes(64).hex()[:125 - len(row)].encode() + b'"}\n' for row in rows)
    assert len(data) == 128 * SHARED_ROWS
    path = tmp_path_factory.mktemp("shared") / "rows.ndjson"
    path.write_bytes(data)
    return path


def values(value):
    return value.to_dict()["id"].tolist() if hasattr(value, "to_dict") else [value]


def take_rows(it, rows_of, rows):
    """Values of `it` until they hold at least `rows` rows."""
    taken, held = [], 0
    while held < rows:
        value = next(it)
        held += rows_of(value)
        taken += values(value)
    return taken


@pytest.mark.parametrize("opened_by", ["open", "file url"])
@pytest.mark.parametrize("kind", list(SHARING))
def test_a_child_reading_the_shared_file_ends_the_parent_with_an_error(shared_file, kind, opened_by):
    make, rows_of = SHARING[kind]
    if opened_by == "file url":
        pytest.importorskip("fsspec")
    with open(shared_file, "rb") as f:
        expected = [v for value in make(f) for v in values(value)]
    with open(shared_file, "rb") as f:
        it = make(f if opened_by == "open" else "file://" + str(shared_file))
        got = take_rows(it, rows_of, 1000)
        assert in_child(lambda: len(take_rows(it, rows_of, CHILD_ROWS))).startswith("ok ")
        with pytest.raises(RuntimeError, match="the source cannot be read on in order"):
            for value in it:
                got += values(value)
    # What the parent had read before the child is handed out first, and nothing else.
    assert 1000 <= len(got) < len(expected) and got == expected[:len(got)]
