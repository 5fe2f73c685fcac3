"""items(), kvitems() and the Items iterator."""
import gc
import io
import os
import random
import threading

import pytest

import jorvane
from jorvane import Count, Query, Sum, Values, items, kvitems
from jorvane._errors import Corrupted, Incomplete


class Trickle(io.RawIOBase):
    """A file-like whose read() hands out `step` bytes at a time."""

    def __init__(self, data, step=1, fail_once_at=None):
        self.data, self.pos, self.step = data, 0, step
        self.fail_once_at = fail_once_at

    def read(self, n=-1):
        if self.fail_once_at is not None and self.pos >= self.fail_once_at:
            self.fail_once_at = None
            raise OSError("flaky disk")
        chunk = self.data[self.pos:self.pos + self.step]
        self.pos += len(chunk)
        return chunk


@pytest.mark.parametrize("case", [
    # (source, queries, kwargs, expected items)
    (b'{"a":[1,{"b":2},3]}', "a[*]", {}, [1, {"b": 2}, 3]),
    (b'{"a":[1,{"b":2},3]}', "a[*]", {"with_index": True}, [(0, 1), (0, {"b": 2}), (0, 3)]),
    # one buffer: every value of query 0 before any of query 1
    (b'{"b":1,"a":2} {"a":3,"b":4}', ["a", "b"], {"with_index": True}, [(0, 2), (0, 3), (1, 1), (1, 4)]),
    (b'[1,2,3,4]', "[*]", {"limit": 2}, [1, 2]),
    (b'{"a":1.5}', "a", {"use_float": True}, [1.5]),
], ids=["order", "index", "per-buffer", "limit", "float"])
def test_items_yield_shapes(case):
    source, queries, kwargs, expected = case
    assert list(items(source, queries, **kwargs)) == expected


@pytest.mark.parametrize("case", [
    (b'{"x":1} {"y":[2]}', "", {}, [("x", 1), ("y", [2])]),
    (b'{"x":1} {"y":[2]}', "  ", {}, [("x", 1), ("y", [2])]),
    (b'{"x":1} {"y":[2]}', "", {"with_index": True}, [(0, "x", 1), (0, "y", [2])]),
    (b'[1,2] [{"k":3}]', "", {}, []),                       # array elements have no names
    (b'{"o":{"a":1,"b":2,"c":3}}', "o", {"limit": 2}, [("a", 1), ("b", 2)]),  # the limit counts members
    (b'{"o":{"k\\u00e9":1}}', "o", {}, [("k\u00e9", 1)]),
], ids=["members", "blank-query", "index", "arrays", "limit", "decoded-name"])
def test_kvitems_yield_members(case):
    source, queries, kwargs, expected = case
    assert list(kvitems(source, queries, **kwargs)) == expected


@pytest.mark.parametrize("doc", [b'{"a\\x":{"b":tru}}', b'{"a\\x":[1,tru]}', b'{"a\\x":{"b\\q":1}}', b'{"a\\x":tru}'],
                         ids=["member-atom", "element-atom", "member-key", "value"])
@pytest.mark.parametrize("mode", ["batched", "pipelined"])
def test_kvitems_name_a_broken_key_before_the_faults_of_its_value(doc, mode):
    # The key is decoded for each member, so its bad escape (byte 4) is the first fault, though the
    # value that follows it is read to its end before the member is handed out.
    for with_index in (False, True):
        with pytest.raises(Corrupted) as info:
            list(kvitems(doc, "", with_index=with_index, mode=mode))
        assert info.value.offset == 4
        assert "invalid escape character 'x' (0x78) in a string" in str(info.value)


def test_lifecycle_stop_results_and_repr():
    it = kvitems(b'{"a":1}', "")
    assert repr(it) == "KvItems(1 query, active)"
    assert iter(it) is it and it.n_queries == 1

    it = items(b'[1,2] [3,4]', ["[0]", "[1]", "[*]"], accumulators=[Count(), Sum()])
    assert repr(it) == "Items(3 queries, active)"
    with pytest.raises(IndexError, match=r"^no query 5; this iterator multiplexes 3 queries$"):
        it.stop(5)
    it.stop(2)
    assert list(it) == [1, 3, 2, 4]  # one buffer: query 0's values, then query 1's
    assert repr(it) == "Items(3 queries, exhausted)"
    assert it.stop(0) is None
    counts = [r.count() for r in it.results()]
    assert counts == [2, 2, 0]
    assert it.results()[0].sum() == 4.0 and not it.results()[0].is_partial

    # results() before the first next() ends the scan where it stands.
    it = items(b'[1,2]', "[*]")
    res = it.results()
    assert res[0].bytes_covered == 0
    assert list(it) == []


def test_truncated_input_values_then_error_then_the_end():
    it = items(b'{"a":[1,2', "a[*]", accumulators=Sum())
    assert next(it) == 1 and next(it) == 2
    with pytest.raises(Incomplete) as info:
        next(it)
    assert "input ended at byte 9" in str(info.value)
    partial = info.value.recover()[0]
    assert partial.is_partial and partial.bytes_covered == 9 and partial.sum() == 3.0
    assert list(it) == [] and it.results() == []

    with pytest.raises(Corrupted):
        next(items(b'] [1]', "[*]"))


def test_results_while_an_error_is_held_back():
    # Both values and the error come from the first buffer.
    it = items(b'[1,2] ] [3]', "[*]", accumulators=Count())
    assert next(it) == 1
    res = it.results()
    assert res[0].is_partial and res[0].bytes_covered == 6 and res[0].count() == 2
    assert next(it) == 2
    with pytest.raises(Corrupted) as info:
        next(it)
    assert info.value.offset == 6
    assert list(it) == []


def test_a_limit_ends_the_values_before_a_later_malformed_byte():
    assert list(items(b'[1, 2, 3, }]', "[*]", limit=2)) == [1, 2]
    assert list(jorvane.ndjson_lines(b'{"a":1}\n{"a":2}\n{"a": ]}\n', "", limit=2)) == [b'{"a":1}', b'{"a":2}']
    assert list(jorvane.ndjson_lines(b'{"a":1}\n{"a":2}\n{"a": ]}\n', "", fields=["a"], limit=2)) == \
        [b'{"a":1}', b'{"a":2}']
    with pytest.raises(Corrupted):
        list(items(b'[1, }, 3]', "[*]", limit=2))


def test_into_targets_are_ignored():
    kept = []
    assert list(items(b'[1,2]', "[*]", accumulators=[Values(into=kept), Count()])) == [1, 2]
    assert kept == []


def test_refusals():
    cases = [
        (lambda: items(b'[1]', "[*]", limit=0), ValueError, r"^limit must be at least 1 \(omit it for no limit\)$"),
        (lambda: items([], "[*]"), ValueError, r"^items\(\) requires a source$"),
        (lambda: items([b'[1]', b'[2]'], "[*]"), ValueError,
         r"^items\(\) takes a single source, got 2 \(use Query for multiple\)$"),
        (lambda: items(b'[1]', []), ValueError, r"^items\(\) requires at least one query$"),
        (lambda: items(b'[1]', "a["), ValueError, r"^failed to compile query \"a\[\""),
        (lambda: items(b'[1]', "a", mode="fast"), ValueError, r"^unknown mode"),
        (lambda: items(b'[1]', "a", with_index=1), TypeError, r"with_index"),
        (lambda: items(jorvane.Source(b'[1]', name="x"), "a"), ValueError, r"items\(\)"),
        (lambda: kvitems(b'[1]', 5, with_index=1), ValueError, r"queries"),
    ]
    for make, exc, pattern in cases:
        with pytest.raises(exc, match=pattern):
            make()


def test_file_like_sources():
    doc = b'{"a":[1,2,3]}\n{"a":[4]}'
    assert list(items(Trickle(doc), "a[*]")) == [1, 2, 3, 4]
    for fail_at in (0, 12):
        it = items(Trickle(doc, step=5, fail_once_at=fail_at), "a[*]")
        got, failures = [], 0
        while True:
            try:
                got.append(next(it))
            except StopIteration:
                break
            except RuntimeError as e:  # the iterator stays active and reads on
                assert str(e).startswith("error reading source #0: ") and "flaky disk" in str(e)
                assert repr(it) == "Items(1 query, active)"
                failures += 1
        assert (got, failures) == ([1, 2, 3, 4], 1)


class Endless(io.RawIOBase):
    """A first line, then `unit` over and over, 64 KiB a read: 4 MiB at most,
    so that a scan that followed the nesting ends (with another error) before
    it holds much memory."""

    def __init__(self, first, unit):
        self.first, self.block, self.reads, self.handed = first, unit * (65536 // len(unit)), 0, 0

    def read(self, n=-1):
        self.reads += 1
        if self.handed >= 4 << 20:
            return b""
        chunk = self.first + self.block if self.reads == 1 else self.block
        self.handed += len(chunk)
        return chunk


def test_a_value_nested_past_the_container_limit_fails_at_its_bracket():
    # Every road fails at the bracket of the 1001st level, keeps what came
    # before, and stops reading with the buffer that holds the bracket.
    def rows(src):
        return list(jorvane.ndjson_lines(src, ""))

    def kept(src):
        got = []
        try:
            Query(src, "", Values(into=got)).result()
        finally:
            assert got == [[1]]

    roads = {b"[": [lambda src: list(items(src, "")), rows, kept, lambda src: Query(src, "[*]*", Count()).result()],
             b'{"k":': [lambda src: list(items(src, "")), rows, kept, lambda src: Query(src, "**.x", Count()).result()]}
    for unit, reads in roads.items():
        at = 4 + 1000 * len(unit)
        for read in reads:
            src = Endless(b"[1]\n", unit)
            with pytest.raises(Corrupted, match=f"at byte {at}: a matched value nested past the 1000-container limit"):
                read(src)
            assert src.reads < 4, (unit, src.reads)
    it = items(Endless(b"[1]\n", b"["), "")
    assert next(it) == [1]
    with pytest.raises(Corrupted):
        next(it)


def test_reentrant_read_gets_the_borrow_error():
    seen = []

    class Reentrant(io.RawIOBase):
        def __init__(self):
            self.sent = False

        def read(self, n=-1):
            if self.sent:
                return b""
            for call in (lambda: next(it), lambda: it.stop(0), it.results):
                with pytest.raises(RuntimeError, match="Already borrowed"):
                    call()
                seen.append(1)
            self.sent = True
            return b'[1,2]'

    it = items(Reentrant(), "[*]")
    assert list(it) == [1, 2]
    assert len(seen) == 3


def test_thread_binding(from_other_thread):
    gc.collect()  # iterators left in cycles by earlier tests would be collected on the other thread
    it = items(b'[1,2]', "[*]")
    caught = from_other_thread((lambda: next(it), it.results, lambda: repr(it)))
    assert len(caught) == 3
    assert all("jorvane2::python::Items is unsendable, but sent to another thread" in str(e) for e in caught)
    assert not any(isinstance(e, Exception) for e in caught)
    assert list(it) == [1, 2]


def test_dropped_on_another_thread_frees_everything(tmp_path):
    path = tmp_path / "doc.json"
    path.write_bytes(b'[1,2,3]' * 1000)
    fds = lambda: len(os.listdir("/proc/self/fd"))
    before = fds()
    holder = [items(str(path), "[*]")]
    assert next(holder[0]) == 1
    assert fds() == before + 1
    reports = []
    old_hook = threading.excepthook
    import sys
    old_unraisable = sys.unraisablehook
    sys.unraisablehook = lambda u: reports.append(str(u.exc_value))
    try:
        t = threading.Thread(target=holder.pop)
        t.start()
        t.join()
        gc.collect()
    finally:
        sys.unraisablehook = old_unraisable
        threading.excepthook = old_hook
    assert fds() == before
    assert any("is unsendable, but is being dropped on another thread" in r for r in reports)


@pytest.mark.parametrize("start", [
    lambda src: items(src, "a"),
    lambda src: jorvane.ndjson_lines(src, ""),
    lambda src: jorvane.table_batches(src, "", ["a"], batch_rows=1),
], ids=["Items", "NdjsonLines", "TableBatches"])
def test_lazy_objects_dropped_on_another_thread_free_their_source(start, monkeypatch):
    # Freeing the object frees the file-like it holds, whichever thread drops it.
    import sys
    import weakref

    reports = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: reports.append(str(u.exc_value)))
    sources = [io.BytesIO(b'{"a": 1}\n' * 1000) for _ in range(20)]
    alive = [weakref.ref(s) for s in sources]
    for _ in range(20):
        holder = [start(sources.pop())]
        next(holder[0])
        t = threading.Thread(target=holder.pop)
        t.start()
        t.join()
    gc.collect()
    assert [r for r in alive if r() is not None] == []
    assert len(reports) == 20 and all("is being dropped on another thread" in r for r in reports)


def random_doc(rng, depth=0):
    r = rng.random()
    if depth > 3 or r < 0.3:
        return rng.choice([1, -2.5, "s", "x\"y", True, None, 10**20])
    if r < 0.65:
        return [random_doc(rng, depth + 1) for _ in range(rng.randrange(4))]
    return {rng.choice("abc"): random_doc(rng, depth + 1) for _ in range(rng.randrange(4))}


def test_items_agree_with_query_values():
    import json
    rng = random.Random(7)
    queries = ["", "a", "a[*]", "[*].b", "*", "a.*|b[0]", "[*]*"]
    for _ in range(60):
        docs = [random_doc(rng) for _ in range(rng.randrange(1, 4))]
        docs = [d if isinstance(d, (list, dict)) else [d] for d in docs]
        text = "\n".join(json.dumps(d) for d in docs).encode()
        for q in queries:
            for mode in ("batched", "pipelined"):
                kept = []
                Query(text, q, Values(into=kept), mode=mode)
                assert list(items(text, q, mode=mode)) == kept, (text, q, mode)
