"""Query runs over several sources on worker threads."""
import json
import os
import random
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from jorvane import Count, CountUnique, Exists, Max, Min, Query, Source, Sum, Types, ValueCounts, Values

QUERIES = {
    "a": [Count(), Sum(), Min(), Max()],
    "b": [ValueCounts()],
    "c[*]": [CountUnique(), Types()],
    "d": [Exists()],
}


def make_sources(tmp_path, n, seed=7):
    rnd = random.Random(seed)
    paths = []
    for k in range(n):
        rows = []
        for i in range(rnd.randint(0, 300)):
            row = {"a": rnd.choice([i, i * 0.5, str(i), None]), "b": rnd.choice(["x", "y", 1, True])}
            if rnd.random() < 0.3:
                row["c"] = [rnd.randint(0, 5) for _ in range(rnd.randint(0, 4))]
            if k % 3 == 0 and rnd.random() < 0.1:
                row["d"] = 1
            rows.append(json.dumps(row))
        p = tmp_path / f"s{k:03d}.json"
        p.write_text("\n".join(rows))
        paths.append(str(p))
    return paths


def summary(r):
    return (r.count(), r.sum(), r.min(), r.max(), r.value_counts(), r.count_unique(),
            r.types(), r.exists(), r.bytes_covered, r.is_partial)


def answers(q, i):
    return [summary(q.result(i, k)) for k in range(q.n_queries)]


@pytest.mark.parametrize("threads", [0, 1, 2, 4])
@pytest.mark.parametrize("mode", ["batched", "pipelined"])
def test_many_sources_match_one_source_runs(tmp_path, threads, mode):
    paths = make_sources(tmp_path, 24)
    alone = [answers(Query(p, QUERIES, mode=mode), 0) for p in paths]
    for _ in range(3):
        q = Query(paths, QUERIES, max_threads=threads, mode=mode)
        assert q.sources == paths
        assert [answers(q, i) for i in range(len(paths))] == alone


def test_glob_and_values_from_every_source(tmp_path):
    paths = make_sources(tmp_path, 10)
    expected = []
    for p in paths:
        got = []
        Query(p, "b", Values(into=got))
        expected.extend(got)
    got = []
    q = Query(str(tmp_path / "*.json"), "b", [Values(into=got)], max_threads=3)
    assert q.n_sources == 10
    assert sorted(map(repr, got)) == sorted(map(repr, expected))
    assert sum(q.result(i).count() for i in range(10)) == len(expected)


def test_per_source_progress(tmp_path):
    big = tmp_path / "big.json"
    big.write_text("\n".join(json.dumps({"a": i}) for i in range(300000)))
    small = tmp_path / "small.json"
    small.write_text('{"a": 1}')
    calls = []
    got = []

    def report(n, results):
        # the into= list already holds every value matched before this call
        calls.append((n, results[0].count(), len(got), results[0].is_partial))
        return len(calls) == 2

    q = Query([Source(str(big), progress=report, progress_interval=1 << 20), str(small)], "a", Values(into=got),
              mode="batched", max_threads=2)
    assert len(calls) == 2
    assert all(have >= count and partial for _, count, have, partial in calls)
    r = q.result(0)
    assert r.bytes_covered == calls[-1][0] and r.count() < 300000 and not r.is_partial
    assert q.result(1).count() == 1
    assert len(got) == r.count() + 1

    class Stop(Exception):
        pass

    def raising(n, r):
        raise Stop()

    with pytest.raises(Stop):
        Query([Source(str(big), progress=raising, progress_interval=1 << 20), str(small)], "a", "count")


class Chunked:
    """A file-like whose every read hands out at most `size` bytes: one buffer each."""

    def __init__(self, data, size):
        self.data, self.size, self.at = data, size, 0

    def read(self, n=-1):
        piece = self.data[self.at:self.at + self.size]
        self.at += len(piece)
        return piece


LINES = b'{"a": 12}\n' * 10  # 100 bytes; the k-th value is complete from byte 10k + 9 on
# buffer size, interval, the byte counts the callback is given
SPACING = [
    (10, 10, [10, 20, 30, 40, 50, 60, 70, 80, 90, 100]),
    (10, 20, [20, 40, 60, 80, 100]),  # an interval that is a multiple of the buffer size
    (10, 25, [30, 60, 90]),  # each call starts the next stretch
    (7, 25, [28, 56, 84]),
    (7, 100, [100]),  # reached by the last, short buffer
    (7, 101, []),
]


def test_progress_runs_at_exact_byte_counts():
    def recorder(calls):
        def cb(n, results):
            calls.append((n, results[0].count()))
            return False

        return cb

    def expected(want):
        return [(n, (n + 1) // 10) for n in want]

    for size, interval, want in SPACING:
        calls = []
        q = Query(Chunked(LINES, size), "a", "count", progress=recorder(calls), progress_interval=interval)
        assert calls == expected(want), (size, interval)
        assert q.result().count() == 10
    # The same per source when several run on two workers, each with its own callback; the last
    # source is one that gets calls.
    rows = SPACING[::-1]
    calls = [[] for _ in rows]
    sources = [Source(Chunked(LINES, size), progress=recorder(c), progress_interval=interval)
               for (size, interval, _), c in zip(rows, calls)]
    q = Query(sources, "a", "count", max_threads=2)
    assert [q.result(i).count() for i in range(len(sources))] == [10] * len(sources)
    assert calls == [expected(want) for _, _, want in rows]


class SlowReader:
    """A file-like source that keeps a run busy for a long time."""

    def __init__(self, rounds=2000):
        self.rounds = rounds

    def read(self, n=-1):
        if self.rounds == 0:
            return b""
        self.rounds -= 1
        time.sleep(0.005)
        return b'{"a": 1}\n' * 100


class Alarm(Exception):
    pass


@pytest.mark.parametrize("exc_type, extra", [(Alarm, [b'{"a": 1}']), (KeyboardInterrupt, [])])
def test_signal_during_multi_source_run_raises(exc_type, extra):
    # value events keep flowing; the signal is still seen
    def handler(signum, frame):
        raise exc_type()

    old = signal.signal(signal.SIGALRM, handler)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.2)
        with pytest.raises(exc_type):
            Query([SlowReader(), SlowReader()] + extra, "a", [Values(into=[])], max_threads=2)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)


def test_runs_from_several_python_threads(tmp_path):
    paths = make_sources(tmp_path, 8)
    expected = [answers(Query(paths, QUERIES, max_threads=2), i) for i in range(8)]
    errors = []

    def run():
        try:
            for _ in range(3):
                q = Query(paths, QUERIES, max_threads=2)
                assert [answers(q, i) for i in range(8)] == expected
        except Exception as e:  # pragma: no cover - reported below
            errors.append(e)

    threads = [threading.Thread(target=run) for _ in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []


def test_thousands_of_files_under_a_low_open_file_limit(tmp_path):
    d = tmp_path / "many"
    d.mkdir()
    for i in range(5000):
        (d / f"f{i:05d}.json").write_text('{"a": %d}' % i)
    script = textwrap.dedent(f"""
        import resource
        resource.setrlimit(resource.RLIMIT_NOFILE, (1024, 1024))
        import jorvane
        q = jorvane.Query({str(d / '*.json')!r}, "a", ["count", "sum"], max_threads=4)
        assert q.n_sources == 5000
        assert sum(q.result(i).count() for i in range(5000)) == 5000
        assert sum(q.result(i).sum() for i in range(5000)) == sum(range(5000))
        print("ok")
    """)
    env = dict(os.environ)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env, timeout=600)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "ok"


def test_unopenable_file_fails_the_constructor(tmp_path):
    paths = make_sources(tmp_path, 3)
    os.chmod(paths[1], 0)
    if os.access(paths[1], os.R_OK):
        pytest.skip("running with permissions that ignore file modes")
    with pytest.raises(ValueError, match="cannot open"):
        Query(paths, "a", "count")


def test_compressed_sources_with_and_without_prefetching(tmp_path):
    import gzip

    paths = make_sources(tmp_path, 6)
    zipped = []
    for p in paths:
        z = p + ".gz"
        with open(p, "rb") as src, gzip.open(z, "wb") as dst:
            dst.write(src.read())
        zipped.append(z)
    plain = [answers(Query(p, QUERIES), 0) for p in paths]
    # one source with a budget of two prefetches on a reader thread
    assert [answers(Query(z, QUERIES, max_threads=2), 0) for z in zipped] == plain
    for threads in (1, 16):
        q = Query(zipped, QUERIES, max_threads=threads)
        assert [answers(q, i) for i in range(len(zipped))] == plain
