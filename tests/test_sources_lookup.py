"""Lookup of results by index or label, and label lists in messages and reprs."""
import pytest

from jorvane import Query, Source

DOC = b"[1]"


def query(labels, queries=("q",)):
    return Query({label: DOC for label in labels}, list(queries), "count")


THREE = ["a.json", "<bytes:1>", "s3://b/k"]


def test_positions():
    q = query(THREE, ["a.b", "a .b"])
    assert q.result() is q.result(0, 0)
    assert q.result(-1) is q.result(2)
    assert q.result(-3) is q.result(0)
    assert q.result("s3://b/k") is q.result(2)
    assert q.result(0, "a .b") is q.result(0, 1)

    class Idx:
        def __index__(self):
            return 1

    assert q.result(Idx()) is q.result(1)


def test_label_lists():
    q = query(list("abcde"))
    assert repr(q) == f'Query(sources=["a", "b", "c", \u2026 +2], queries=["q"], mode=\'{q.mode}\')'
    assert repr(query(['q"t', "n\nl"])).startswith('Query(sources=["q\\"t", "n\\nl"], queries=["q"], mode=')
    empty = Query("/nothing/*.json", "q", "count")  # a run without sources
    assert repr(empty).startswith("Query(sources=[], queries=[\"q\"], mode=") and empty.n_sources == 0
    with pytest.raises(IndexError, match=r"^no source 0 \(0 sources\)$"):
        empty.result()


@pytest.mark.parametrize(
    "labels, source, query_key, exc, message",
    [
        (THREE, True, None, TypeError, "source must be an int index or a string (a source name), got bool"),
        (THREE, 0, False, TypeError, "query must be an int index or a string (a query name), got bool"),
        (THREE, 1.0, None, TypeError, "source must be an int index or a string (a source name), got float"),
        (THREE, 2**64, None, TypeError, "source must be an int index or a string (a source name), got int"),
        (THREE, -2**64, None, TypeError, "source must be an int index or a string (a source name), got int"),
        (THREE, 0, [0], TypeError, "query must be an int index or a string (a query name), got list"),
        (THREE, -4, None, IndexError, "no source -4 (3 sources)"),
        (THREE, 3, None, IndexError, "no source 3 (3 sources)"),
        (THREE, 2**64 - 1, None, IndexError, "no source 18446744073709551615 (3 sources)"),
        (THREE, 0, -2, IndexError, "no query -2 (1 queries)"),
        (THREE, 0, 1, IndexError, "no query 1 (1 queries)"),
        (THREE, "A.json", None, KeyError,
         'no source named "A.json"; valid sources: ["a.json", "<bytes:1>", "s3://b/k"]'),
        (list("abcde"), "z", None, KeyError, 'no source named "z"; valid sources: ["a", "b", "c", \u2026 +2]'),
        (THREE, 0, "q ", KeyError, 'no query named "q "; valid queries: ["q"]'),
        # the source is looked up first
        (THREE, "x", "y", KeyError, 'no source named "x"; valid sources: ["a.json", "<bytes:1>", "s3://b/k"]'),
    ],
)
def test_refusals(labels, source, query_key, exc, message):
    with pytest.raises(exc) as info:
        query(labels).result(source, query_key)
    assert info.value.args[0] == message


def test_shared_labels_are_ambiguous():
    q = Query([Source(b"[1]", name="n"), Source(b"[2, 3]", name="n")], ["[*]", "[*]"], "count")
    with pytest.raises(ValueError) as info:
        q.result("n")
    assert str(info.value) == 'source "n" is ambiguous (appears more than once); use an integer index'
    with pytest.raises(ValueError) as info:
        q.result(0, "[*]")
    assert str(info.value) == 'query "[*]" is ambiguous (appears more than once); use an integer index'
    assert q.result(1, 1).count() == 2
