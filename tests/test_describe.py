"""describe() and the Description it returns."""
import io
import json

import pytest

from jorvane import describe
from jorvane._errors import Corrupted, Incomplete

HEADER4 = "path      count   distinct  types\n"


@pytest.mark.parametrize("case", [
    (b"", {}, "Description(0 paths, max_depth=0, 0.0MB scanned)\n" + HEADER4),
    (b'{"a":1}\n{"a":2}', {},
     "Description(2 paths, max_depth=1, 0.0MB scanned)\n" + HEADER4 +
     "$             2          \u2014  object\n"
     "a             2          2  number\n"),
    (b'{"a":1}\n{"a":2}', {"distinct_cap": 0},
     "Description(2 paths, max_depth=1, 0.0MB scanned)\n" + HEADER4 +
     "$             2          \u2014  object\n"
     "a             2       high  number\n"),
    (b'{"vals":[1,2,3,"x"],"arrs":[[],[]],"mixed":[null,"s",null,"t"]}', {},
     "Description(7 paths, max_depth=3, 0.0MB scanned)\n"
     "path         count   distinct  types\n"
     "$                1          \u2014  object\n"
     "vals             1          \u2014  array\n"
     "vals[]           4          4  number\u00d73, string\u00d71\n"
     "arrs             1          \u2014  array\n"
     "arrs[]           2          \u2014  array\n"
     "mixed            1          \u2014  array\n"
     "mixed[]          4          3  null\u00d72, string\u00d72\n"),
], ids=["empty", "ndjson", "cap-0", "types"])
def test_golden_reprs(case):
    source, kwargs, expected = case
    assert repr(describe(source, **kwargs)) == expected


def test_wide_and_many_paths():
    long_key = "k" * 60
    d = describe(json.dumps({long_key: 1, "\u00e9t\u00e9": 2}, ensure_ascii=False).encode())
    lines = repr(d).splitlines()
    assert lines[1] == "path" + " " * 44 + "      count   distinct  types"
    assert lines[3] == long_key + "          1          1  number"
    # characters, not bytes, are padded: the accented key is 4 characters wide
    assert lines[4] == "\u00e9t\u00e9" + " " * 45 + "          1          1  number"

    d = describe(json.dumps({f"p{i:02d}": i for i in range(44)}).encode())
    assert len(d) == 45
    lines = repr(d).splitlines()
    assert len(lines) == 2 + 40 + 1
    assert lines[-1] == "\u2026 5 more paths (see .paths())"


def test_paths_and_attributes():
    doc = b'{"a":[1,{"b":"x"}],"a.b":true} {"a":[],"":null}'
    d = describe(doc)
    assert d.max_depth == 3 and d.bytes_scanned == len(doc) and len(d) == 6
    assert d.paths() == {
        "$": {"count": 2, "types": {"object": 2}, "distinct": 0},
        "a": {"count": 2, "types": {"array": 2}, "distinct": 0},
        "a[]": {"count": 2, "types": {"number": 1, "object": 1}, "distinct": 1},
        "a[].b": {"count": 1, "types": {"string": 1}, "distinct": 1},
        "a.b": {"count": 1, "types": {"boolean": 1}, "distinct": 1},
        "": {"count": 1, "types": {"null": 1}, "distinct": 1},
    }
    assert list(d.paths()["a[]"]) == ["count", "types", "distinct"]
    big = b'{"k":"' + b"x" * 1_234_000 + b'"}'
    assert repr(describe(big)).startswith("Description(2 paths, max_depth=1, 1.2MB scanned)")


def test_distinct_counts_stop_past_the_default_cap():
    # "a" holds exactly 1000 distinct values, "b" one more: only "a" keeps its count
    doc = "\n".join(json.dumps({"a": i % 1000, "b": f"v{i}"}) for i in range(1001)).encode()
    paths = describe(doc).paths()
    assert (paths["a"]["distinct"], paths["b"]["distinct"]) == (1000, None)


def test_nesting_to_the_container_limit_and_past_it():
    # Up to the limit every level is a new path whose text grows with the depth.
    depth = 1000
    d = describe(b"[" * depth + b"]" * depth)
    assert d.max_depth == depth and len(d) == depth  # "$", then one path per level below the top
    assert repr(d).splitlines()[3] == "[]" + " " * 46 + "          1          \u2014  array"
    assert list(d.paths())[-1] == "[]" * (depth - 1)
    # an unterminated run of brackets is an input that ended early
    with pytest.raises(Incomplete) as info:
        describe(b"[" * depth)
    assert info.value.recover() == []
    # One level more is refused at its opening bracket, with the text a
    # captured value nested as deep gets, and nothing of the profile.
    refused = r"^malformed JSON at byte {}: a matched value nested past the 1000-container limit\n"
    for doc, at in [(b"[" * 1001 + b"]" * 1001, 1000),
                    (b'{"k":' * 1000 + b"[1]" + b"}" * 1000, 5000),
                    (b"[" * (1 << 20), 1000)]:
        for mode in ("batched", "pipelined"):
            with pytest.raises(Corrupted, match=refused.format(at)) as info:
                describe(doc, mode=mode)
            assert info.value.recover() == []
    # An endless run from a file-like stops with the buffer that holds the refused bracket.
    src = Trickle(b"[" * (1 << 21), 1 << 16)
    with pytest.raises(Corrupted, match=refused.format(1000)):
        describe(src, mode="batched")
    assert src.reads < 4


class Trickle(io.RawIOBase):
    def __init__(self, data, step):
        self.data, self.pos, self.step, self.reads = data, 0, step, 0

    def read(self, n=-1):
        self.reads += 1
        chunk = self.data[self.pos:self.pos + self.step]
        self.pos += len(chunk)
        return chunk


def test_limit_bytes_and_failures():
    src = Trickle(b'{"abc":[1,2,3]}', 3)
    d = describe(src, limit_bytes=0)
    assert d.bytes_scanned == 3 and src.reads == 1      # one buffer; the cut value does not raise
    assert describe(Trickle(b'[1,2,3,4]', 2), limit_bytes=5).bytes_scanned == 6
    # A limit equal to the bytes read so far stops there, with no read after.
    src = Trickle(b'[1,2,3,4]', 2)
    assert describe(src, limit_bytes=6).bytes_scanned == 6 and src.reads == 3
    assert describe(b"[false,0,true]").paths()["[]"]["types"] == {"boolean": 2, "number": 1}

    with pytest.raises(Incomplete) as info:
        describe(b'{"a":[1,2')
    assert info.value.recover() == []
    with pytest.raises(Corrupted):
        describe(b'[1]]')

    untouched = Trickle(b'[1]', 1)
    with pytest.raises(ValueError, match=r"^unknown mode \"x\""):
        describe(untouched, mode="x")
    assert untouched.reads == 0
    with pytest.raises(TypeError, match="distinct_cap"):
        describe(b"[]", distinct_cap=None)
    with pytest.raises(TypeError, match="limit_bytes"):
        describe(b"[]", limit_bytes="1")
    with pytest.raises(ValueError, match=r"^describe\(\) takes a single source, got 2"):
        describe([b"[]", b"[]"])
