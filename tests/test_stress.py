"""Many Query runs at once from several Python threads over shared files, runs stopped or aborted
by their progress callbacks, runs interrupted by KeyboardInterrupt, and what all of them leave
behind: every result is checked against answers computed once with the json module, and the
process ends with the open files and threads it started with."""
import _thread
import bisect
import collections
import contextlib
import gzip
import itertools
import json
import os
import random
import shutil
import signal
import subprocess
import threading
import time
import traceback
import warnings
import zlib

import pytest

from jorvane import Count, Max, Min, Query, Source, Sum, ValueCounts, Values
from jorvane._errors import Corrupted, Incomplete

N_QUERIES = 4
KINDS = ["view", "click", "buy", "caf\u00e9", 'say "hi"']
PYTHON_THREADS = 8
GRACE = 10.0  # seconds for exited threads to vanish from /proc


def queries(into=None):
    i = [Count(), Sum()] + ([Values(into=into)] if into is not None else [])
    return {"i": i, "k": [ValueCounts()], "v": [Sum(), Min(), Max()], "t[*]": [Count()]}


SHARED_QUERIES = queries()  # one set of accumulator objects used by every thread at once


class Expected:
    """What the queries give over some NDJSON rows, whole or cut after any byte."""

    def __init__(self, rows):
        lines = [json.dumps(r).encode() + b"\n" for r in rows]
        self.data = b"".join(lines)
        self.size = len(self.data)
        self.n = len(rows)
        self.ends = list(itertools.accumulate(map(len, lines)))
        self.ivals = [r["i"] for r in rows]
        self.isum = [0, *itertools.accumulate(self.ivals)]
        self.kinds = collections.Counter(r["k"] for r in rows)
        vs = [r["v"] for r in rows if "v" in r]
        self.v = (sum(vs), min(vs, default=None), max(vs, default=None))
        self.t = sum(len(r.get("t", ())) for r in rows)

    def rows_bounds(self, nbytes):
        """Rows surely counted within the first `nbytes` bytes, and rows begun there."""
        return bisect.bisect_right(self.ends, nbytes), min(self.n, bisect.bisect_left(self.ends, nbytes) + 1)


def make_rows(rnd, first, n):
    rows = []
    for i in range(first, first + n):
        row = {"i": i, "k": rnd.choice(KINDS)}
        if rnd.random() < 0.9:
            row["v"] = rnd.randint(-4000, 4000) / 4  # quarters add up exactly in any order
        if rnd.random() < 0.4:
            row["t"] = [rnd.randint(0, 9) for _ in range(rnd.randint(0, 3))]
        rows.append(row)
    return rows


def zstd_compressor():
    """A function writing data zstd-compressed to a path, or None when no compressor is at hand."""
    try:
        import zstandard
    except ImportError:
        zstandard = None
    if zstandard is not None:
        return lambda data, dest: dest.write_bytes(zstandard.ZstdCompressor().compress(data))
    tool = shutil.which("zstd")
    if tool is None:
        return None

    def compress(data, dest):
        plain = dest.with_suffix(".tmp")
        plain.write_bytes(data)
        subprocess.run([tool, "-q", "-f", str(plain), "-o", str(dest)], check=True, timeout=60)
        plain.unlink()

    return compress


class Files:
    """The shared inputs: one big file and a few parts, each as plain NDJSON, gzip and (when a
    compressor is at hand) zstd, and a directory of a few hundred small files."""

    def __init__(self, root):
        rnd = random.Random(20240601)
        self.root = root
        self.zstd = zstd_compressor()
        self.formats = ["plain", "gz"] + (["zst"] if self.zstd else [])
        self.paths = {}
        self.expected = {}  # path -> Expected
        self.big = Expected(make_rows(rnd, 0, 100_000))  # a few buffers of a MiB or 4
        self._write("big", self.big)
        self.parts = [Expected(make_rows(rnd, 10**6 * (p + 1), 25_000)) for p in range(6)]
        for p, exp in enumerate(self.parts):
            self._write(f"part{p}", exp)
        # broken copies of the last part: malformed after a row, ended inside a row, gzip cut short
        last = self.parts[-1]
        self.rows_before_break = last.n // 2
        at = last.ends[self.rows_before_break - 1]
        self.malformed = str(root / "malformed.ndjson")
        (root / "malformed.ndjson").write_bytes(last.data[:at] + b'{"i": ]\n' + last.data[at:])
        self.malformed_at = at + len(b'{"i": ')
        self.cut = str(root / "cut.ndjson")
        self.cut_at = at + 15  # rows are longer than that
        (root / "cut.ndjson").write_bytes(last.data[: self.cut_at])
        self.cut_gz = str(root / "cut.ndjson.gz")
        packed = gzip.compress(last.data, compresslevel=1)
        (root / "cut.ndjson.gz").write_bytes(packed[: len(packed) // 2])
        small_dir = root / "small"
        small_dir.mkdir()
        self.small_glob = str(small_dir / "*.ndjson")
        self.small = []
        for s in range(200):
            exp = Expected(make_rows(rnd, 10**8 + 100 * s, rnd.randint(1, 40)))
            path = small_dir / f"s{s:03d}.ndjson"
            path.write_bytes(exp.data)
            self.small.append(str(path))
            self.expected[str(path)] = exp

    def _write(self, name, exp):
        for fmt in self.formats:
            path = self.root / (f"{name}.ndjson" + {"plain": "", "gz": ".gz", "zst": ".zst"}[fmt])
            if fmt == "plain":
                path.write_bytes(exp.data)
            elif fmt == "gz":
                path.write_bytes(gzip.compress(exp.data, compresslevel=1))
            else:
                self.zstd(exp.data, path)
            self.paths[name, fmt] = str(path)
            self.expected[str(path)] = exp

    def path(self, name, fmt):
        return self.paths[name, fmt]


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    f = Files(tmp_path_factory.mktemp("stress"))
    if "zst" not in f.formats:
        warnings.warn("the zstd runs are left out: neither the zstandard module nor the zstd tool is available")
    return f


# ---------------------------------------------------------------------------------------------
# What a run leaves behind


def tasks():
    return set(os.listdir("/proc/self/task"))


def open_fds():
    return len(os.listdir("/proc/self/fd"))


def resources():
    return threading.active_count(), len(tasks()), open_fds()


def wait_for_resources(expected):
    """The (Python threads, OS threads, open fds) once exited threads have had time to vanish."""
    deadline = time.monotonic() + GRACE
    now = resources()
    while now != expected and time.monotonic() < deadline:
        time.sleep(0.02)
        now = resources()
    return now


@contextlib.contextmanager
def nothing_left_behind():
    before = resources()
    yield
    assert wait_for_resources(before) == before, "(Python threads, OS threads, open fds) before and after"


# ---------------------------------------------------------------------------------------------
# Runs with their answers checked


class Boom(Exception):
    pass


class Watch:
    """A progress callback for one source: checks each snapshot, then observes, stops the
    source or raises at its `at`-th call."""

    def __init__(self, exp, action="observe", at=1):
        self.exp, self.action, self.at = exp, action, at
        self.calls = []
        self.raised = None

    def __call__(self, nbytes, results):
        assert len(results) == N_QUERIES and all(r.is_partial for r in results)
        count = results[0].count()
        last_bytes, last_count = self.calls[-1] if self.calls else (0, 0)
        assert last_bytes < nbytes <= self.exp.size and last_count <= count
        low, high = self.exp.rows_bounds(nbytes)
        assert low <= count <= high and results[0].sum() == self.exp.isum[count]
        self.calls.append((nbytes, count))
        if len(self.calls) == self.at:
            if self.action == "stop":
                return True
            if self.action == "raise":
                self.raised = Boom()
                raise self.raised
        return False

    @property
    def fired(self):
        return self.action != "observe" and len(self.calls) >= self.at


def check_source(q, index, exp, watch=None):
    """The results of one source against `exp`; the number of rows counted."""
    i, k, v, t = (q.result(index, n) for n in range(N_QUERIES))
    assert not any(r.is_partial for r in (i, k, v, t))
    if watch is None or not (watch.fired and watch.action == "stop"):
        assert [r.bytes_covered for r in (i, k, v, t)] == [None] * 4
        assert (i.count(), i.sum()) == (exp.n, exp.isum[-1])
        assert k.value_counts() == exp.kinds
        assert (v.sum(), v.min(), v.max()) == exp.v
        assert t.count() == exp.t
        return exp.n
    # stopped by its callback at the call that said so
    stop_at = watch.calls[watch.at - 1][0]
    assert [r.bytes_covered for r in (i, k, v, t)] == [stop_at] * 4
    count = i.count()
    low, high = exp.rows_bounds(stop_at)
    assert low <= count <= high and count == watch.calls[-1][1]
    assert i.sum() == exp.isum[count]
    assert sum(k.value_counts().values()) <= high and t.count() <= exp.t
    return count


def check_broken(q, index, files, path):
    """A broken source's stored error, raised on lookup, with the partial results before it."""
    exp = files.parts[-1]
    if path == files.cut_gz:
        with pytest.raises(RuntimeError, match=f"^source {index} failed: error reading source #{index}: "):
            q.result(index)
        return
    with pytest.raises(Corrupted if path == files.malformed else Incomplete) as info:
        q.result(index, 1)
    partial = info.value.recover()
    assert len(partial) == N_QUERIES and all(r.is_partial for r in partial)
    count = partial[0].count()
    if path == files.malformed:
        assert info.value.offset == files.malformed_at and count == files.rows_before_break
    else:
        low, high = exp.rows_bounds(files.cut_at)
        assert info.value.offset == files.cut_at and low <= count <= high
    assert partial[0].sum() == exp.isum[count]


def run_job(files, job):
    """Runs one job; raises on a wrong answer."""
    kind, fmt, mode, threads, action, at, interval, into = job
    got = [] if into else None
    qs = queries(got) if into else SHARED_QUERIES
    opened = []
    sources, expected, watches = [], [], []  # expected: an Expected, or the path of a broken source

    def add(src, exp, watched=False):
        w = None
        if watched:
            w = Watch(exp, action if not any(watches) else "observe", at)
            src = Source(src, progress=w, progress_interval=interval)
        watches.append(w)
        sources.append(src)
        expected.append(exp)

    if kind == "one":
        add(files.path("big", fmt), files.big, action is not None)
    elif kind == "parts":
        for p, exp in enumerate(files.parts):
            # fmt shifts the formats along the parts: every part in every format over the jobs
            add(files.path(f"part{p}", files.formats[(p + fmt) % len(files.formats)]), exp,
                action is not None and p % 3 == 1)
            if p == 2 + fmt:
                for broken in (files.malformed, files.cut, files.cut_gz):
                    add(broken, broken)
    elif kind == "readers":
        for p, exp in enumerate(files.parts[:4]):
            f = open(files.path(f"part{p}", "plain"), "rb")
            opened.append(f)
            add(f, exp, action is not None and p % 2 == 0)
        add(files.parts[4].data, files.parts[4])
    elif kind == "glob":
        for path in files.small:
            expected.append(files.expected[path])
            watches.append(None)
        sources.append(files.small_glob)
        add(files.path("big", fmt), files.big, action is not None)
    try:
        try:
            q = Query(sources[0] if kind == "one" else sources, qs, mode=mode, max_threads=threads)
        except Boom as e:
            assert e is next(w for w in watches if w).raised  # the callback's own exception
            return
        assert action != "raise" or not any(w and w.fired for w in watches)
        assert q.n_sources == len(expected)
        if kind == "glob":
            assert q.sources[:-1] == files.small
        want = []
        for n, (exp, w) in enumerate(zip(expected, watches)):
            if isinstance(exp, str):
                check_broken(q, n, files, exp)
            else:
                want += exp.ivals[: check_source(q, n, exp, w)]
        if into:
            if len(expected) == 1:
                assert got == want
            else:
                # the broken sources add what they reached of the last part's values
                missing = collections.Counter(want) - collections.Counter(got)
                extra = collections.Counter(got) - collections.Counter(want)
                assert not missing and set(extra) <= set(files.parts[-1].ivals)
    finally:
        for f in opened:
            f.close()


def make_jobs(files, seed=5):
    rnd = random.Random(seed)
    jobs = []
    kinds = [("one", fmt) for fmt in files.formats] + [("parts", 0), ("parts", 1), ("readers", None), ("glob", "gz")]
    for (kind, fmt), mode, action in itertools.product(kinds, [None, "batched", "pipelined"],
                                                      [None, "observe", "stop", "raise"]):
        jobs.append((kind, fmt, mode, rnd.choice([None, 0, 1, 2, 3]), action, rnd.choice([1, 2]),
                     rnd.choice([1, 1 << 20, 3 << 20]), rnd.random() < 0.25))
    rnd.shuffle(jobs)
    return jobs


def run_jobs_on_threads(files, jobs, n_threads, until=None):
    """Runs `jobs` on `n_threads` Python threads (over and over until the event `until` is set,
    when given); returns the threads and a list that gathers the failures as (job, traceback)."""
    lock = threading.Lock()
    todo = itertools.cycle(jobs) if until is not None else iter(jobs)
    failures = []

    def work():
        while until is None or not until.is_set():
            with lock:
                job = next(todo, None)
            if job is None:
                return
            try:
                run_job(files, job)
            except BaseException:  # noqa: B036 - reported by the test
                failures.append((job, traceback.format_exc()))

    threads = [threading.Thread(target=work, name=f"stress-{n}") for n in range(n_threads)]
    for t in threads:
        t.start()
    return threads, failures


def join_all(threads, timeout=120):
    deadline = time.monotonic() + timeout
    for t in threads:
        t.join(max(0.0, deadline - time.monotonic()))
    assert not any(t.is_alive() for t in threads), "a run never finished"


def test_every_job_alone_matches_the_answers(files):
    # the same jobs as below, one at a time, so that a wrong answer is told apart from a race
    with nothing_left_behind():
        for job in make_jobs(files, seed=11)[::4]:
            run_job(files, job)


def test_many_threads_at_once_match_the_answers(files):
    jobs = make_jobs(files)
    with nothing_left_behind():
        threads, failures = run_jobs_on_threads(files, jobs, PYTHON_THREADS)
        join_all(threads)
        assert failures == []


# ---------------------------------------------------------------------------------------------
# KeyboardInterrupt during a run

BLOCK = b"".join(b'{"i": %d, "k": "view", "t": [1, 2]}\n' % i for i in range(30_000))[: 1 << 20]
BLOCK = BLOCK[: BLOCK.rindex(b"\n") + 1]
GATE = 6 << 20  # bytes handed out before the interrupt is sent: the scan is well under way
GIVE_UP = 20.0  # seconds after the interrupt an unstopped run is let end (then the test fails)


class Endless:
    """A file-like giving NDJSON rows (or a gzip stream of them) for ever. Its reads pause once,
    after GATE bytes, until the interrupt has been sent; GIVE_UP seconds later it ends the stream."""

    def __init__(self, compressed=False):
        self.delivered = 0
        self.mark = None
        self.arrived, self.sent = threading.Event(), threading.Event()
        self.ran_out = False
        self.sent_at = None
        self.z = zlib.compressobj(1, zlib.DEFLATED, 31) if compressed else None
        self.pending = b""

    def gate(self):
        if self.delivered >= GATE and not self.sent.is_set():
            self.arrived.set()
            self.sent.wait(60)
        if self.sent.is_set() and (self.sent_at is None or time.monotonic() - self.sent_at > GIVE_UP):
            self.ran_out = True
        return not self.ran_out

    def read(self, n=-1):
        if not self.gate():
            return b""
        if self.z is None:
            self.delivered += len(BLOCK)
            return BLOCK
        if not self.pending:
            self.pending = self.z.compress(BLOCK) + self.z.flush(zlib.Z_SYNC_FLUSH)
            self.delivered += len(BLOCK)
        out, self.pending = self.pending[:n], self.pending[n:]
        return out


class PipeFeed(Endless):
    """The read end of a pipe as a plain binary file (C reads); a thread writes rows into it."""

    def __init__(self):
        super().__init__()
        r, self.w = os.pipe()
        self.file = os.fdopen(r, "rb")
        self.native_id = None
        self.thread = threading.Thread(target=self._write)
        self.thread.start()

    def _write(self):
        self.native_id = threading.get_native_id()
        try:
            while self.gate():
                os.write(self.w, BLOCK)
                self.delivered += len(BLOCK)
        except OSError:  # the read end is closed
            pass
        finally:
            os.close(self.w)

    def close(self):
        self.file.close()
        self.thread.join(60)
        assert not self.thread.is_alive()


def interrupter(src, how, done, ids):
    """Sends the interrupt once `src` is under way, then stays until `done`."""
    ids.append(threading.get_native_id())
    if not src.arrived.wait(60) or done.is_set():
        return
    src.mark = src.delivered
    src.sent_at = time.monotonic()
    if how == "interrupt_main":
        _thread.interrupt_main()
    else:
        signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)
    src.sent.set()
    done.wait(60)


SCENARIOS = ["reader", "gzip reader", "pipe", "many sources"]


def interrupted_run(files, scenario, mode, how, check_threads):
    """Runs `scenario` until interrupted; with `check_threads`, no thread of the run may be left
    when the KeyboardInterrupt comes out."""
    before = tasks()
    src = PipeFeed() if scenario == "pipe" else Endless(compressed=scenario == "gzip reader")
    done, ids = threading.Event(), []
    helper = threading.Thread(target=interrupter, args=(src, how, done, ids))
    helper.start()
    try:
        if scenario == "reader":
            args = (src, {"i": Count()})
        elif scenario == "gzip reader":
            args = (Source(src, compression="gzip"), {"i": Count()})
        elif scenario == "pipe":
            args = (src.file, {"i": Count()})
        else:
            args = ([files.path("part0", "gz"), src, files.small_glob, files.path("part1", "plain")], {"i": Count()})
        with pytest.raises(KeyboardInterrupt):
            Query(*args, mode=mode, max_threads=3)
        assert src.sent.wait(60)
        assert not src.ran_out, "the run ignored the interrupt until its input ended"
        if check_threads:
            ours = set(map(str, ids + [getattr(src, "native_id", None)]))
            # A joined thread can stay listed for a moment while the kernel reaps it.
            deadline = time.monotonic() + 2
            while tasks() - before - ours and time.monotonic() < deadline:
                time.sleep(0.01)
            assert tasks() - before - ours == set(), "threads of the run outlived it"
        if scenario != "many sources":
            # between buffers at the latest: a few MiB, not the stream's remainder
            assert src.delivered - src.mark <= 64 << 20
    finally:
        done.set()
        src.arrived.set()
        src.sent.set()
        helper.join(60)
        if scenario == "pipe":
            src.close()
    # nothing pending is left for the next run
    q = Query(files.path("part2", "plain"), SHARED_QUERIES, mode=mode)
    check_source(q, 0, files.parts[2])


@pytest.mark.parametrize("how", ["interrupt_main", "pthread_kill"])
@pytest.mark.parametrize("mode", [None, "batched", "pipelined"])
def test_keyboard_interrupt_ends_a_run_and_leaves_nothing(files, sigint_raises, how, mode):
    with nothing_left_behind():
        for scenario in SCENARIOS:
            interrupted_run(files, scenario, mode, how, check_threads=True)


def test_keyboard_interrupts_while_other_threads_run(files, sigint_raises):
    stop = threading.Event()
    # batched runs only: pipelined scans spin while they wait, and would mostly slow the test down
    jobs = [job for job in make_jobs(files, seed=3) if job[2] == "batched"]
    with nothing_left_behind():
        threads, failures = run_jobs_on_threads(files, jobs, PYTHON_THREADS // 2, until=stop)
        try:
            scenarios = itertools.product(SCENARIOS, ["interrupt_main", "pthread_kill"])
            for n, (scenario, how) in enumerate(scenarios):
                interrupted_run(files, scenario, [None, "batched", "pipelined"][n % 3], how, check_threads=False)
        finally:
            stop.set()
            join_all(threads)
        assert failures == []
