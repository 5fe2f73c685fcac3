"""Classification of source arguments into paths, JSON text, URLs and readers,
seen through resolution (nothing is opened or read)."""
import io

import pytest

from jorvane import Source

hooks = pytest.importorskip("jorvane_testhooks")

FORM = "each source must be a path/glob string, JSON text (str/bytes), or a file-like object with read()"


@pytest.fixture(autouse=True)
def fake_fsspec(monkeypatch):
    fsspec = pytest.importorskip("fsspec")
    opened = []

    class Opener:
        def __init__(self, url, mode, compression):
            opened.append(url)

        def open(self):
            return io.BytesIO(b"[]")

    monkeypatch.setattr(fsspec, "open", Opener)
    return opened


# the code points with Unicode's White_Space property
WHITE_SPACE = [*range(0x09, 0x0E), 0x20, 0x85, 0xA0, 0x1680, *range(0x2000, 0x200B), 0x2028, 0x2029, 0x202F, 0x205F,
               0x3000]


def kinds(source):
    """(kind, payload) per source: bytes with their text, url and path with theirs, reader with the object."""
    out = []
    items = source if isinstance(source, list) else [source]
    for item in items:
        try:
            found = hooks.resolve(item, labeled=False)
        except ValueError as e:
            if not str(e).startswith("not a readable file: "):
                raise
            found = []
        if not found:  # a path to no file, or a pattern matching none
            out.append(("path", item))
            continue
        [r] = found
        if r["kind"] == "bytes":
            out.append(("bytes", r["bytes"]))
        elif r["keep_open"]:
            out.append(("reader", r["reader"]))
        else:
            out.append(("url", item))
    return out


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
        ("s3://x://y", "url"),
        # every white-space character may stand before JSON text; others that Python calls space may not
        *[(chr(c) + doc, "bytes") for c in WHITE_SPACE for doc in ("[1]", "{}")],
        *[(chr(c) + "[1]", "path") for c in (0x1C, 0x1F, 0x180E, 0x200B, 0xFEFF)],
    ],
)
def test_text_forms(text, kind, fake_fsspec):
    [(k, payload)] = kinds(text)
    assert k == kind
    assert payload == (text.encode() if kind == "bytes" else text)
    assert fake_fsspec == ([text] if kind == "url" else [])


def test_bytes_and_readers():
    class B(bytes):
        pass

    class BA(bytearray):
        pass

    class NotCallable:
        read = 5

    f, nc = io.BytesIO(b"[]"), NotCallable()
    assert kinds([b"{}", B(b"[2]"), bytearray(b"[1]"), BA(b"[3]"), b"", f, nc]) == [
        ("bytes", b"{}"), ("bytes", b"[2]"), ("bytes", b"[1]"), ("bytes", b"[3]"), ("bytes", b""),
        ("reader", f), ("reader", nc)]


class FsPath:
    """An os.PathLike other than pathlib's."""

    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        return self.path

    def __repr__(self):
        return f"FsPath({self.path!r})"


@pytest.mark.parametrize(
    "source",
    [("a.json", "b.json"), [["a.json"]], 3, None, FsPath(b"a.json"), FsPath("\ud800"), memoryview(b"[]"), "\ud800",
     {"a": "b.json"}.keys(), Source(["a.json"]), Source(3)],
    # a memoryview's repr holds its address: ids must be the same in every process of a run
    ids=lambda v: "memoryview" if isinstance(v, memoryview) else repr(v),
)
def test_refused_forms(source):
    with pytest.raises(ValueError) as info:
        hooks.resolve(source)
    assert str(info.value) == FORM


def test_read_lookup_errors_pass_through():
    class Raising:
        @property
        def read(self):
            raise KeyError("boom")

    with pytest.raises(KeyError, match="boom"):
        hooks.resolve([Raising()])


def test_lists():
    assert hooks.resolve([]) == []
    # a first failure stops the walk
    with pytest.raises(ValueError, match="^each source"):
        hooks.resolve([b"[]", 3, "b.json"])

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
    lst.extend([b"[]", None, b"[]"])
    lst[1] = Shrinker(lst)
    with pytest.raises(ValueError, match="^each source"):
        hooks.resolve(lst)


def test_dict_form_names_its_items():
    items = hooks.resolve({"first": b"[1]", "second": Source(b"[]", name="second", compression="gz")})
    assert [(r["label"], r["options"]["name"], r["options"]["compression"]) for r in items] == [
        ("first", "first", None), ("second", "second", "gzip")]
    with pytest.raises(ValueError) as info:
        hooks.resolve({"k": Source("a.json", name="other")})
    assert str(info.value) == (
        'source is named twice: "k" as its dict key and "other" via Source(name=...); use one')
    with pytest.raises(ValueError, match="^source names must be strings$"):
        hooks.resolve({1: "a.json"})
