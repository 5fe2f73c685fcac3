"""Argument checks of Query, in the order they are made."""
import os
import subprocess
import sys

import pytest

import jorvane
from jorvane import Count, Query, Source, Values, ValuesUnique

DOC = b'{"a": 1}\n{"a": 2}\n'


def refused(exc, text, *args, **kwargs):
    with pytest.raises(exc) as info:
        Query(*args, **kwargs)
    assert str(info.value) == text


def test_option_checks_come_first_in_order():
    refused(ValueError, "progress_interval= only makes sense with a progress= callback",
            DOC, "a", "count", progress_interval=5, limit=0)
    refused(ValueError, "progress_interval must be at least 1",
            DOC, "a", "count", progress=lambda n, r: False, progress_interval=0)
    refused(ValueError, "limit must be at least 1 (omit it for no limit)", {}, "a", "count", limit=0)
    refused(ValueError, "Query requires at least one source", {}, "a", "count")
    refused(ValueError, "Query requires at least one source", [], "a", "count")


def test_query_and_accumulator_shapes():
    refused(ValueError, "pass accumulators inside the dict, not as a separate argument", DOC, {"a": "count"}, "count")
    refused(ValueError, "accumulators is required when queries is a list", DOC, ["a"])
    refused(ValueError, "Query requires at least one query", DOC, [], "count")
    refused(ValueError, "Query requires at least one query", DOC, {})
    refused(ValueError, 'query "a\\"b" has no accumulators', DOC, ['a"b', "c"], [])
    # a str holding a lone surrogate is refused like a value that is no text
    for bad in (1, "\ud800"):
        refused(ValueError, "query keys must be strings", DOC, {bad: "count"})
        refused(ValueError, "source names must be strings", {bad: DOC}, "a", "count")
        refused(ValueError, "queries must be strings", DOC, ["a", bad], "count")
    refused(ValueError, "queries must be a string, a list of strings, or a dict", DOC, ("a",), "count")
    refused(ValueError, "queries must be a string, a list of strings, or a dict", DOC, "\ud800", "count")
    refused(ValueError,
            'accumulators must be Accumulator objects (Count(), Sum(), ...) or bare-name strings ("count", "sum", ...)',
            DOC, "a", ("count",))
    refused(ValueError,
            'accumulators must be Accumulator objects (Count(), Sum(), ...) or bare-name strings ("count", "sum", ...)',
            DOC, "a", [Count(), 3])
    refused(ValueError,
            'accumulators must be Accumulator objects (Count(), Sum(), ...) or bare-name strings ("count", "sum", ...)',
            DOC, "a", "count\ud800")


@pytest.mark.parametrize("name", ["counts", "keyed_values", "", "Valeurs\t"])
def test_unknown_bare_names_quote_the_text_as_given(name):
    quoted = '"' + name.replace("\t", "\\t") + '"'
    refused(ValueError,
            f"unknown accumulator {quoted}; expected one of: count, count_unique, value_counts, exists, min, max, "
            "sum, mean, product, mode, types, values, values_unique (or an Accumulator object such as "
            "Values(into=...))",
            DOC, "a", name)


def test_bare_names_are_normalised():
    q = Query(DOC, "a", ["Count", "COUNT_UNIQUE", "count_unique_", "value__counts", "VALUES", "Values_Unique"])
    assert q.accumulators == [["count", "count_unique", "count_unique", "value_counts", "values", "values_unique"]]


def test_into_bindings():
    a, b = [], []
    refused(ValueError,
            'query "a" binds Values(into=...) more than once; each stream kind can bind at most one target per '
            "query (copy the result in Python if you need a second)",
            DOC, "a", [Values(into=a), Values(into=b)])
    Query(DOC, "a", [Values(into=a), ValuesUnique(into=b)])
    assert a == [1, 2] and b == [1, 2]
    shared = []
    Query(DOC, {"a": Values(into=shared), "": Values(into=shared)})
    assert shared == [1, 2, {"a": 1}, {"a": 2}]


def test_mode_and_thread_options():
    refused(ValueError, "unknown mode \"Batched\"; expected 'auto', 'pipelined', or 'batched'",
            DOC, "a", "count", mode="Batched")
    for mode in (None, "auto", "batched", "pipelined"):
        q = Query(DOC, "a", "count", mode=mode)
        assert q.mode in ("batched", "pipelined")
        assert q.result().count() == 2
    assert Query(DOC, "a", "count", mode="batched").mode == "batched"
    assert Query(DOC, "a", "count", mode="pipelined").mode == "pipelined"
    assert Query(DOC, "a", "count", max_threads=2).mode == "pipelined"
    assert Query(DOC, "a", "count", max_threads=1).mode == "batched"
    assert Query(DOC, "a", "count", max_threads=0).mode == "batched"
    class Index:
        def __index__(self):
            return 1

    # any integer-like object serves as a number argument
    q = Query(DOC, "a", "count", max_threads=Index(), limit=Index(), progress=lambda n, r: False,
              progress_interval=Index())
    assert q.mode == "batched" and q.result().count() == 1
    with pytest.raises(OverflowError):
        Query(DOC, "a", "count", max_threads=-1)
    with pytest.raises(TypeError):
        Query(DOC, "a", "count", max_threads="2")
    with pytest.raises(TypeError):
        Query(DOC, "a", "count", use_float=1)
    with pytest.raises(TypeError):
        Query(DOC, "a", "count", mode=3)


def test_progress_placement(tmp_path):
    for i in range(2):
        (tmp_path / f"f{i}.json").write_bytes(DOC)
    cb = lambda n, r: False  # noqa: E731
    refused(ValueError, "progress= takes a single source, got 2 \u2014 attach a callback per source with "
            "jorvane.Source(src, progress=...)", str(tmp_path / "*.json"), "a", "count", progress=cb)
    refused(ValueError, "progress= takes a single source, got 0 \u2014 attach a callback per source with "
            "jorvane.Source(src, progress=...)", str(tmp_path / "*.nothing"), "a", "count", progress=cb)
    refused(ValueError, "pass either progress= on the Query or Source(progress=...) per source, not both",
            Source(DOC, progress=cb), "a", "count", progress=cb)
    # a per-source callback needs its pattern to match one file, none is no better than two
    empty = str(tmp_path / "*.nothing")
    refused(ValueError, f'Source(progress=...) must resolve to exactly one file; "{empty}" resolved to 0',
            [DOC, Source(empty, progress=cb)], "a", "count")


def test_named_sources():
    q = Query({"x": DOC, "y": Source(DOC, name="y")}, "a", "count")
    assert q.sources == ["x", "y"]
    refused(ValueError, 'source is named twice: "x" as its dict key and "z" via Source(name=...); use one',
            {"x": Source(DOC, name="z")}, "a", "count")


def test_compile_errors_quote_the_query():
    with pytest.raises(ValueError) as info:
        Query(DOC, ["a", 'b["'], "count")
    assert str(info.value).startswith('failed to compile query "b[\\"": ')
    with pytest.raises(ValueError) as info:
        Query([DOC, DOC], ["a", 'b["'], "count")
    assert str(info.value).startswith('failed to compile query "b[\\"": ')


def test_signatures():
    import inspect

    assert str(inspect.signature(Query)) == (
        "(sources, queries, accumulators=None, *, max_threads=None, mode=None, use_float=False, limit=None, "
        "progress=None, progress_interval=None)")
    q = Query(DOC, "a", "count")
    assert str(inspect.signature(q.result)) == "(source=None, query=None)"
    assert isinstance(q, jorvane.Query)


@pytest.mark.skipif((len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else (os.cpu_count() or 1)) < 2, reason="needs two processors")
def test_memory_size_caps_the_default_budget():
    # One source runs pipelined when the budget is at least 2, batched below.
    def mode_with(value):
        env = dict(os.environ)
        env.pop("AWS_LAMBDA_FUNCTION_MEMORY_SIZE", None)
        if value is not None:
            env["AWS_LAMBDA_FUNCTION_MEMORY_SIZE"] = value
        out = subprocess.run([sys.executable, "-c", "import jorvane; print(jorvane.Query(b'[1]', '[*]', 'count').mode)"],
                             capture_output=True, text=True, env=env, check=True)
        return out.stdout.strip()

    assert mode_with(None) == "pipelined"
    assert mode_with("+3538") == "pipelined"
    assert mode_with("3537") == "batched"
    assert mode_with("1000") == "batched"
    for ignored in ("3538 ", "-1000", "", "+", "99999999999999999999999"):
        assert mode_with(ignored) == "pipelined"


@pytest.mark.skipif(not hasattr(os, "sched_setaffinity") or len(os.sched_getaffinity(0)) < 2,
                    reason="needs an affinity set of two processors")
def test_default_budget_counts_the_processors_of_the_affinity_set(child_env):
    # One source runs pipelined with a budget of 2 or more, batched with 1:
    # pinned to one processor, the default budget is 1 however many the machine has.
    cpus = sorted(os.sched_getaffinity(0))

    def mode_pinned_to(pinned):
        code = (f"import os; os.sched_setaffinity(0, {set(pinned)!r})\n"
                "import jorvane; print(jorvane.Query(b'[1]', '[*]', 'count').mode)")
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=child_env, check=True)
        return out.stdout.strip()

    assert mode_pinned_to(cpus[:1]) == "batched"
    assert mode_pinned_to(cpus[-1:]) == "batched"
    assert mode_pinned_to(cpus[:2]) == "pipelined"


class Tracked:
    """A file object that records whether it was closed."""

    def __init__(self, inner):
        self.inner = inner
        self.closed = False

    def read(self, n=-1):
        return self.inner.read(n)

    def close(self):
        self.closed = True


def test_refused_mode_closes_the_urls_it_opened(monkeypatch):
    fsspec = pytest.importorskip("fsspec")
    with fsspec.open("memory://jorvane-test/doc.json", "wb") as f:
        f.write(DOC)
    opened = []
    real_open = fsspec.open

    def recording_open(*args, **kwargs):
        of = real_open(*args, **kwargs)
        real = of.open

        def open_and_record():
            fileobj = Tracked(real())
            opened.append(fileobj)
            return fileobj

        of.open = open_and_record
        return of

    monkeypatch.setattr(fsspec, "open", recording_open)
    q = Query("memory://jorvane-test/doc.json", "a", "count")
    assert q.result().count() == 2
    opened.clear()
    with pytest.raises(ValueError, match="unknown mode"):
        Query(["memory://jorvane-test/doc.json", "memory://jorvane-test/doc.json"], "a", "count", mode="fast")
    assert len(opened) == 2 and all(f.closed for f in opened)
