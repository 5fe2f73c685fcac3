"""Classification of source arguments into paths, JSON text, URLs and readers."""
import io
import pathlib

import pytest

from jorvane import Source

hooks = pytest.importorskip("jorvane_testhooks")

FORM = "each source must be a path/glob string, JSON text (str/bytes), or a file-like object with read()"


def kinds(source):
    return [(k, p) for k, p, _ in hooks.classify(source)]


@pytest.mark.parametrize(
    "text, kind",
    [
        ("  [1, 2]", "bytes"),
        ("\u3000\u2028\n{not json", "bytes"),
        ("\u00a0[", "bytes"),
        ("  ", "path"),
        ("", "path"),
        ("\u200b[1]", "path"),  # zero-width space is not white space
        ("s3://bucket/key.json", "url"),
        ("file:///tmp/a.json", "url"),
        ("svn+ssh://x/y.json", "url"),
        ("a.b-c://x", "url"),
        ("://x", "path"),
        ("3s://x", "path"),
        ("a b://x", "path"),
        (" s3://x", "path"),
        ("data/a://b.json", "path"),
        ("data/*.json", "path"),
        ("s3://x://y", "url"),
    ],
)
def test_text_forms(text, kind):
    [(k, payload)] = kinds(text)
    assert k == kind
    assert payload == (text.encode() if kind == "bytes" else text)


def test_bytes_forms_are_copied():
    class B(bytes):
        pass

    class BA(bytearray):
        pass

    ba = bytearray(b"[1]")
    items = kinds([b"{}", B(b"[2]"), ba, BA(b"[3]"), b""])
    ba[0:1] = b"X"
    assert items == [("bytes", b"{}"), ("bytes", b"[2]"), ("bytes", b"[1]"), ("bytes", b"[3]"), ("bytes", b"")]


def test_readers():
    f = io.BytesIO(b"[]")

    class NotCallable:
        read = 5

    nc = NotCallable()
    assert kinds([f, nc]) == [("reader", f), ("reader", nc)]


@pytest.mark.parametrize(
    "source",
    [("a.json", "b.json"), [["a.json"]], 3, None, pathlib.Path("a.json"), memoryview(b"[]"), "\ud800",
     {"a": "b.json"}.keys(), Source(["a.json"])],
    ids=repr,
)
def test_refused_forms(source):
    with pytest.raises(ValueError) as info:
        hooks.classify(source)
    assert str(info.value) == FORM


def test_read_lookup_errors_pass_through():
    class Raising:
        @property
        def read(self):
            raise KeyError("boom")

    with pytest.raises(KeyError, match="boom"):
        hooks.classify([Raising()])


def test_lists():
    assert kinds([]) == []
    assert kinds(["a.json", b"[]"]) == [("path", "a.json"), ("bytes", b"[]")]
    # a first failure stops the walk
    with pytest.raises(ValueError, match="^each source"):
        hooks.classify(["a.json", 3, "b.json"])

    class Shrinker:
        # looking up "read" empties the list being walked
        def __init__(self, target):
            self.target = target

        def __getattr__(self, name):
            self.target.clear()
            raise AttributeError(name)

    class Sub(list):
        pass

    lst = Sub()
    lst.extend(["a.json", None, "b.json"])
    lst[1] = Shrinker(lst)
    with pytest.raises(ValueError, match="^each source"):
        hooks.classify(lst)


def test_dict_form_names_its_items():
    items = hooks.classify({"first": "a.json", "second": Source(b"[]", name="second", compression="gz")})
    assert [(k, o["name"], o["compression"]) for k, _, o in items] == [
        ("path", "first", None), ("bytes", "second", "gzip")]
    with pytest.raises(ValueError) as info:
        hooks.classify({"k": Source("a.json", name="other")})
    assert str(info.value) == (
        'source is named twice: "k" as its dict key and "other" via Source(name=...); use one')
    with pytest.raises(ValueError, match="^source names must be strings$"):
        hooks.classify({1: "a.json"})
