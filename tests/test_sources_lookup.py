"""Lookup of results by index or label, and label lists in messages."""
import pytest

hooks = pytest.importorskip("jorvane_testhooks")

THREE = ["a.json", "<bytes:1>", "s3://b/k"]


def test_label_list():
    assert hooks.label_list([]) == "[]"
    assert hooks.label_list(["a", "b", "c"]) == '["a", "b", "c"]'
    assert hooks.label_list(list("abcde")) == '["a", "b", "c", \u2026 +2]'
    assert hooks.label_list(['q"t', "n\nl"]) == '["q\\"t", "n\\nl"]'


def test_positions():
    assert hooks.lookup(None, THREE, "source") == 0
    assert hooks.lookup(-1, THREE, "source") == 2
    assert hooks.lookup(-3, THREE, "source") == 0
    assert hooks.lookup(3, THREE, "source") == 3  # the caller checks the bound
    assert hooks.lookup(2**64 - 1, THREE, "source") == 2**64 - 1

    class Idx:
        def __index__(self):
            return 1

    assert hooks.lookup(Idx(), THREE, "source") == 1
    assert hooks.lookup("s3://b/k", THREE, "source") == 2
    assert hooks.lookup("a.b", ["a.b", "a .b"], "query") == 0


@pytest.mark.parametrize(
    "key, labels, what, exc, message",
    [
        (True, THREE, "source", TypeError, "source must be an int index or a string (a source name), got bool"),
        (False, ["q"], "query", TypeError, "query must be an int index or a string (a query name), got bool"),
        (1.0, THREE, "source", TypeError, "source must be an int index or a string (a source name), got float"),
        (2**64, THREE, "source", TypeError, "source must be an int index or a string (a source name), got int"),
        (-2**64, THREE, "source", TypeError, "source must be an int index or a string (a source name), got int"),
        ([0], THREE, "query", TypeError, "query must be an int index or a string (a query name), got list"),
        (-4, THREE, "source", IndexError, "no source -4 (3 sources)"),
        (-3, ["x", "y"], "query", IndexError, "no query -3 (2 queries)"),
        ("a", ["a", "b", "a"], "source", ValueError,
         'source "a" is ambiguous (appears more than once); use an integer index'),
        ("A.json", THREE, "source", KeyError,
         'no source named "A.json"; valid sources: ["a.json", "<bytes:1>", "s3://b/k"]'),
        ("z", list("abcde"), "source", KeyError, 'no source named "z"; valid sources: ["a", "b", "c", \u2026 +2]'),
        ("a .b", ["a.b"], "query", KeyError, 'no query named "a .b"; valid queries: ["a.b"]'),
        ("x", [], "query", KeyError, 'no query named "x"; valid queries: []'),
    ],
)
def test_refusals(key, labels, what, exc, message):
    with pytest.raises(exc) as info:
        hooks.lookup(key, labels, what)
    assert info.value.args[0] == message
