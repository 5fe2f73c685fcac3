"""Query runs over one source: results, lookup, stored failures, into= and progress."""
import array
import decimal
import io
import json

import pytest

import jorvane
from jorvane import Count, Exists, Max, Mean, Min, Query, Source, Sum, Types, ValueCounts, Values
from jorvane._errors import Corrupted, Incomplete

DOC = b'{"a": 1, "b": "x"}\n{"a": 2, "b": "y"}\n{"a": 2.5, "b": "x"}\n'


def test_accessors():
    q = Query({"first": DOC, "second": b'{"a": 7}'}, ["a", "b"], ["count", "sum"])
    assert (q.n_sources, q.n_queries, q.sources, q.queries) == (2, 2, ["first", "second"], ["a", "b"])
    assert q.accumulators == [["count", "sum"], ["count", "sum"]]
    assert (q.result().count(), q.result().sum(), q.result("second").sum()) == (3, 5.5, 7.0)
    assert repr(q) == f"Query(sources=[\"first\", \"second\"], queries=[\"a\", \"b\"], mode='{q.mode}')"


def test_stored_failures_raise_on_lookup_only():
    class Boom:
        def read(self, n=-1):
            raise ValueError("boom")

    q = Query([DOC, b'{"a": 1}\n{"a": [2, }', b'{"a": 4}\n{"a": "', Boom()], "a", ["count", "values"])
    assert q.result(0).count() == 3
    with pytest.raises(Corrupted) as info:
        q.result(1)
    assert str(info.value).startswith("source 1 is malformed: malformed JSON at byte ")
    partial = info.value.recover()
    assert len(partial) == 1 and partial[0].is_partial and partial[0].count() >= 1
    with pytest.raises(Incomplete) as info:
        q.result(2, 99)  # the failure wins over the bad query index
    assert str(info.value).startswith("source 2 ended early: input ended at byte ")
    assert info.value.recover()[0].count() == 1
    assert info.value.offset == info.value.recover()[0].bytes_covered
    with pytest.raises(RuntimeError) as info:
        q.result(3)
    assert str(info.value) == "source 3 failed: error reading source #3: ValueError: boom"


def test_single_source_failures():
    class Boom:
        def read(self, n=-1):
            raise ValueError("boom")

    q = Query(Boom(), "a", "count")
    with pytest.raises(RuntimeError) as info:
        q.result()
    assert str(info.value) == "source 0 failed: error reading source #0: ValueError: boom"
    q = Query(b'{"a": 1.5}\n{"a": 2.25}\n[1, 2', "a", ValueCounts(), use_float=True)
    with pytest.raises(Incomplete) as info:
        q.result()
    # the partial results convert like the complete ones of this Query
    assert info.value.recover()[0].value_counts() == {1.5: 1, 2.25: 1}
    q = Query(b'{"a": 1.5}\n[1, 2', "a", ValueCounts())
    with pytest.raises(Incomplete) as info:
        q.result()
    assert info.value.recover()[0].value_counts() == {decimal.Decimal("1.5"): 1}


@pytest.mark.parametrize("exc_type", [KeyboardInterrupt, SystemExit])
def test_carried_interrupts(exc_type):
    class Interrupting:
        def __init__(self):
            self.exc = exc_type("stop")

        def read(self, n=-1):
            raise self.exc

    # a one-source run raises the very exception read() raised
    for run in (lambda src: Query(src, "a", "count"), lambda src: list(jorvane.items(src, "a")),
                lambda src: jorvane.table(src, "", ["a"])):
        src = Interrupting()
        with pytest.raises(exc_type) as info:
            run(src)
        assert info.value is src.exc
    # over several sources it is that source's read failure, like any other
    q = Query([Interrupting(), DOC], "a", "count")
    with pytest.raises(RuntimeError) as info:
        q.result(0)
    assert type(info.value) is RuntimeError
    assert str(info.value) == f"source 0 failed: error reading source #0: {exc_type.__name__}: stop"
    assert q.result(1).count() == 3


def test_value_counts_merges_keys_equal_in_python():
    q = Query(b'[true, 1, 1, false, 0, null, 1.0, "1"]', "[*]", ValueCounts())
    counts = q.result().value_counts()
    assert sum(counts.values()) == 8
    assert counts[True] == counts[1] and counts[1] >= 3
    assert counts[False] == 2 and counts[None] == 1 and counts["1"] == 1
    with pytest.raises(TypeError):
        Query(b'[[1], [1]]', "[*]", ValueCounts()).result().value_counts()


def fixed(x):
    """The shortest round-trip digits of x without an exponent or a trailing .0."""
    s = format(decimal.Decimal(repr(x)), "f")
    return s.rstrip("0").rstrip(".") if "." in s else s


def test_reprs():
    assert repr(Query(DOC, "a", Count()).result()) == "QueryResult(count=3, exists=True)"
    assert repr(Query(DOC, "zz", Count()).result()) == "QueryResult(count=0, exists=False)"
    r = Query(b"[1e21, 1e23, 0.1, 2.0]", "[*]", [Min(), Max(), Sum(), Mean(), Types(), ValueCounts()]).result()
    assert repr(r) == (
        "QueryResult(count=4, count_unique=4, exists=True, min=0.1, max=1" + "0" * 23
        + f", sum={fixed(r.sum())}, mean={fixed(r.mean())}, mode=<4 value(s)>, value_counts=<4 key(s)>, "
        "types={number})"
    )
    assert fixed(1e21) == "1" + "0" * 21
    r = Query(b"[1e400, -1e400, 1e-7]", "[*]", [Sum(), Min(), Max()]).result()
    assert repr(r) == "QueryResult(exists=True, min=-inf, max=inf, sum=NaN)"
    r = Query(b'[1, "a", null]', "[*]", [Types()]).result()
    assert repr(r) == "QueryResult(exists=True, types={null, number, string})"
    r = Query(b"[0.0000001]", "[*]", [Min()]).result()
    assert repr(r) == "QueryResult(exists=True, min=0.0000001)"


def test_settled_queries_stop_early(tmp_path):
    body = b'{"a": 1}\n' + b'{"b": 2}\n' * 400000  # several MiB: more than one buffer
    path = tmp_path / "body.json"
    path.write_bytes(body)
    q = Query(str(path), "a", Exists(), mode="batched")
    r = q.result()
    assert r.exists() is True
    assert not r.is_partial
    assert r.bytes_covered is not None and 0 < r.bytes_covered < len(body)
    assert repr(r) == f"QueryResult(exists=True, stopped at byte {r.bytes_covered})"


@pytest.mark.parametrize("compressed", [False, True])
def test_a_malformed_byte_past_the_settle_point_never_surfaces(tmp_path, compressed):
    # The limit is reached in the first MiB; the malformed record lies past it
    # but inside the first 4 MiB, so one walker's 1 MiB buffers and the 4 MiB
    # buffers of several (prefetching, or pipelined on a plain file) both
    # hold it after the settle point in some buffer.
    import gzip

    body = b'{"a": 1}\n' * 200000 + b'{"a": ]\n' + b'{"a": 2}\n' * 1000
    path = tmp_path / ("body.ndjson.gz" if compressed else "body.ndjson")
    path.write_bytes(gzip.compress(body, 1) if compressed else body)
    for threads in (1, 8):
        found = []
        r = Query(str(path), "a", [Count(), Values(into=found)], limit=5, max_threads=threads).result()
        assert (r.count(), found) == (5, [1] * 5), threads
        assert r.bytes_covered in (1 << 20, len(body)), threads
        assert Query(str(path), "a", Exists(), max_threads=threads).result().exists() is True
    with pytest.raises(Corrupted):
        Query(str(path), "a", "count").result()


def test_number_conversion():
    big = "1" * 29
    q = Query(f"[{big}, 1.50, 1e400, -0, 12345678901234567890]".encode(), "[*]", Values(into=(out := [])))
    assert out == [int(big), decimal.Decimal("1.50"), decimal.Decimal("1e400"), 0, 12345678901234567890]
    assert str(out[1]) == "1.50"
    q = Query(f"[{big}, 1.50, 1e400]".encode(), "[*]", Values(into=(out := [])), use_float=True)
    assert out == [int(big), 1.5, float("inf")]
    assert q.result().count() == 3


def test_into_plain_and_numeric():
    plain, nums, distinct = [], [], []
    doc = b'["1", 2, 2.5, "x", null, true, [1], " 3 ", "nan", "inf", "Infinity", 2]'
    Query(doc, "[*]", Values(into=plain))
    Query(doc, "[*]", Values(into=nums, numeric=True))
    Query(b'[2, 2, 3]', "[*]", jorvane.ValuesUnique(into=distinct, numeric=True))
    assert plain[:3] == ["1", 2, decimal.Decimal("2.5")]
    assert len(nums) == 1
    buf = nums[0]
    assert isinstance(buf, jorvane.NumericBuffer)
    assert repr(buf) == "NumericBuffer(len=5, skipped=7)" and len(buf) == 5 and buf.skipped == 7
    assert len(buf.buffer) == 40
    assert array.array("d", buf.buffer).tolist() == [1.0, 2.0, 2.5, 3.0, 2.0]
    assert len(distinct) == 1 and array.array("d", distinct[0].buffer).tolist() == [2.0, 3.0]
    # ValueCounts beside ValuesUnique still streams the distinct values
    beside = []
    q = Query(b'[1, 2, 2, 1.0]', "[*]", [ValueCounts(), jorvane.ValuesUnique(into=beside)])
    assert beside == [1, 2] and q.result().value_counts() == {1: 2, 2: 2}
    np = pytest.importorskip("numpy")
    assert np.frombuffer(buf.buffer, dtype=np.float64).tolist() == [1.0, 2.0, 2.5, 3.0, 2.0]
    empty = []
    Query(DOC, "zz", Values(into=empty, numeric=True))
    assert len(empty) == 1 and len(empty[0]) == 0 and empty[0].buffer == b"" and repr(empty[0]) == \
        "NumericBuffer(len=0, skipped=0)"


def test_into_targets_are_used_through_their_methods():
    class Recorder:
        def __init__(self):
            self.calls = []

        def extend(self, items):
            self.calls.append(list(items))

    r = Recorder()
    Query(DOC, "zz", Values(into=r))
    assert r.calls == [[]]  # a final extend even when nothing matched
    with pytest.raises(AttributeError):
        Query(DOC, "a", Values(into=object()))


def big_file(tmp_path, n=200000):
    p = tmp_path / "big.ndjson"
    with open(p, "w") as f:
        for i in range(n):
            f.write(json.dumps({"i": i, "tag": "t%d" % (i % 7)}) + "\n")
    return p, n


def test_progress_callbacks(tmp_path):
    path, n = big_file(tmp_path)
    seen = []
    got = []

    def cb(nbytes, results):
        seen.append((nbytes, [r.count() for r in results], [r.is_partial for r in results], len(got)))
        return False

    q = Query(str(path), "i", [Count(), Values(into=got)], progress=cb, progress_interval=1 << 20, mode="batched")
    assert q.result().count() == n and len(got) == n
    # Plain files are read in 1 MiB buffers in batched mode: a call after each.
    assert [b for b, *_ in seen] == [k << 20 for k in range(1, path.stat().st_size // (1 << 20) + 1)]
    assert all(partial == [True] for _, _, partial, _ in seen)
    # the into= list already holds what was matched before each callback
    assert all(have == counts[0] for _, counts, _, have in seen)

    def stop(nbytes, results):
        return True

    q = Query(str(path), "i", "count", progress=stop, progress_interval=1 << 20, mode="batched")
    r = q.result()
    assert not r.is_partial and r.bytes_covered and r.count() < n
    assert f"stopped at byte {r.bytes_covered}" in repr(r)

    class Stop(Exception):
        pass

    def raising(nbytes, results):
        raise Stop()

    with pytest.raises(Stop):
        Query(str(path), "i", "count", progress=raising, progress_interval=1 << 20)

    class BadBool:
        def __bool__(self):
            raise Stop()

    with pytest.raises(Stop):
        Query(Source(str(path), progress=lambda n, r: BadBool(), progress_interval=1 << 20), "i", "count")


def test_short_source_never_calls_back():
    calls = []
    Query(DOC, "a", "count", progress=lambda n, r: calls.append(n))
    assert calls == []


def test_limit_reaches_every_query():
    q = Query(DOC, ["a", "b"], ["count", "values"], limit=1)
    assert [q.result(0, i).count() for i in range(2)] == [1, 1]
    assert Query(DOC, "a", Values(numeric=True)).result().count() == 3
