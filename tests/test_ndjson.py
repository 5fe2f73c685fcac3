"""write_ndjson() and ndjson_lines(): the line format in both modes, output
compression, errors in the middle of a run, thread binding, and refusals
that leave an existing output file alone."""
import ctypes
import ctypes.util
import gc
import gzip
import io
import json
import os

import pytest

import jorvane
from jorvane import ndjson_lines, write_ndjson
from jorvane._errors import Corrupted, Incomplete

GZIP_HEADER = b"\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\xff"


def zstd_decode(data):
    """The bytes of a Zstandard stream and whether its last frame ended,
    decoded with libzstd itself."""
    name = ctypes.util.find_library("zstd")
    if not name:
        pytest.skip("libzstd not found")
    lib = ctypes.CDLL(name)

    class Buffer(ctypes.Structure):
        _fields_ = [("ptr", ctypes.c_void_p), ("size", ctypes.c_size_t), ("pos", ctypes.c_size_t)]

    lib.ZSTD_createDCtx.restype = ctypes.c_void_p
    lib.ZSTD_freeDCtx.argtypes = [ctypes.c_void_p]
    lib.ZSTD_isError.argtypes = [ctypes.c_size_t]
    lib.ZSTD_decompressStream.restype = ctypes.c_size_t
    lib.ZSTD_decompressStream.argtypes = [ctypes.c_void_p, ctypes.POINTER(Buffer), ctypes.POINTER(Buffer)]
    dctx = lib.ZSTD_createDCtx()
    src = ctypes.create_string_buffer(data, len(data))
    dst = ctypes.create_string_buffer(1 << 17)
    inb = Buffer(ctypes.cast(src, ctypes.c_void_p), len(data), 0)
    out = bytearray()
    hint = 1
    try:
        while True:
            outb = Buffer(ctypes.cast(dst, ctypes.c_void_p), len(dst), 0)
            hint = lib.ZSTD_decompressStream(dctx, ctypes.byref(outb), ctypes.byref(inb))
            if lib.ZSTD_isError(hint):
                return bytes(out), False
            out += dst.raw[:outb.pos]
            if inb.pos == inb.size and (hint == 0 or outb.pos == 0):
                break
    finally:
        lib.ZSTD_freeDCtx(dctx)
    return bytes(out), hint == 0


def file_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def joined(lines):
    return b"".join(line + b"\n" for line in lines)


PRETTY = b'{"events": [\n  {\n    "id": 1,\n    "tags": ["a",\n      "b"]\n  },\n  {"id": 2, "t": "x y"}\n]}'
NUMBERS = b'{"id":12345678901234567890,"p":1.50,"z":-0}'
ESCAPES = b'{"s":"a\\tb\\/c\\u00e9"}'


@pytest.mark.parametrize("case", [
    # (source, rows, kwargs, expected lines)
    (PRETTY, "events[*]", {}, [b'{"id":1,"tags":["a","b"]}', b'{"id": 2, "t": "x y"}']),
    (NUMBERS, "", {}, [NUMBERS]),
    (NUMBERS, "", {"fields": ["id", "p", "z"]}, [b'{"id":12345678901234567890,"p":1.50,"z":0}']),
    (ESCAPES, "", {}, [ESCAPES]),
    (ESCAPES, "", {"fields": {"s": "s"}}, ['{"s":"a\\tb/c\u00e9"}'.encode()]),
    (b'{"id":1} {"id":2,"user":{"name":null}} {"user":{"name":"n"}} {}', "",
     {"fields": {"id": "id", "name": "user.name"}},
     [b'{"id":1}', b'{"id":2,"name":null}', b'{"name":"n"}', b"{}"]),
    (b'{"b":{"c":[1,2]},"a":"x"}', "", {"fields": ["a", "b.c"]}, [b'{"a":"x","b.c":[1,2]}']),
    (b'{"t":[1]} {"t":[1,2]}', "", {"fields": {"t": "t[*]"}, "on_multi": "list"}, [b'{"t":1}', b'{"t":[1,2]}']),
    (b'{"t":[1,2]}', "", {"fields": {"t": "t[*]"}, "on_multi": "last"}, [b'{"t":2}']),
    (b"[1] [2] [3] [4]", "", {"limit": 3}, [b"[1]", b"[2]", b"[3]"]),
    (b"[1] [2] [3] [4]", "", {"limit": 0}, []),
    (b'{"a":1} {"a":2} {"a":3} {"a":4}', "", {"fields": ["a"], "limit": 3}, [b'{"a":1}', b'{"a":2}', b'{"a":3}']),
    (b'{"a":1} {"a":2}', "", {"fields": ["a"], "limit": 0}, []),
    (b"[1] [2]", "nope[*]", {}, []),
    (b'{"r":[1,"t\\"w",[ 2 ]]}', "r[*]", {}, [b"1", b'"t\\"w"', b"[ 2 ]"]),
], ids=["pretty", "numbers-whole", "numbers-fields", "escapes-whole", "escapes-fields", "missing-and-null",
        "path-list", "on-multi-list", "on-multi-last", "limit-3", "limit-0", "limit-3-fields", "limit-0-fields",
        "no-match", "scalar-rows"])
def test_lines(case, tmp_path):
    src, rows, kwargs, expected = case
    lines = list(ndjson_lines(src, rows, **kwargs))
    assert all(type(line) is bytes for line in lines)
    assert lines == expected
    path = tmp_path / "out.ndjson"
    assert write_ndjson(src, str(path), rows, **kwargs) == len(expected)
    assert file_bytes(path) == joined(expected)


def big_source(n=40000):
    """About 4 MB of records, several lines each, with escapes and numbers."""
    parts = []
    for i in range(n):
        parts.append(b'{\n  "id": %d,\n  "name": "n\\u00e9\\"%d\\"",\n  "v": %d.50,\n  "pad": "%s"\n}\n'
                     % (i, i, i, b"p" * (i % 40)))
    return b"".join(parts)


@pytest.mark.parametrize("fields", [None, {"name": "name", "v": "v"}], ids=["whole", "fields"])
def test_the_iterator_and_the_file_agree(fields, tmp_path):
    src = big_source()
    path = tmp_path / "big.ndjson"
    lines = list(ndjson_lines(src, "", fields=fields))
    assert len(lines) == 40000
    assert write_ndjson(src, str(path), "", fields=fields) == 40000
    assert file_bytes(path) == joined(lines)
    expected = [json.loads(r + b"\n}") for r in src.split(b"\n}\n") if r.strip()]
    for line, record in zip(lines, expected):
        got = json.loads(line)
        assert got == (record if fields is None else {"name": record["name"], "v": record["v"]})


def test_compression_by_extension(tmp_path):
    src = big_source(5000)
    plain = joined(ndjson_lines(src, ""))
    for name in ("out.ndjson.gz", "OUT.NDJSON.GZ", "x.Gz"):
        path = tmp_path / name
        assert write_ndjson(src, str(path), "") == 5000
        data = file_bytes(path)
        assert data[:10] == GZIP_HEADER
        assert gzip.decompress(data) == plain
    for name in ("out.ndjson.zst", "out.ndjson.ZSTD"):
        path = tmp_path / name
        write_ndjson(src, str(path), "")
        assert zstd_decode(file_bytes(path)) == (plain, True)
    path = tmp_path / "out.ndjson.gzip"
    write_ndjson(src, str(path), "")
    assert file_bytes(path) == plain
    # No line at all: an empty file, an empty gzip member, an empty frame.
    for name, check in (("e.ndjson", lambda d: d == b""),
                        ("e.ndjson.gz", lambda d: d[:10] == GZIP_HEADER and gzip.decompress(d) == b""),
                        ("e.ndjson.zst", lambda d: zstd_decode(d) == (b"", True))):
        assert write_ndjson(b"[1]", str(tmp_path / name), "nope") == 0
        assert check(file_bytes(tmp_path / name)), name


class Flaky(io.RawIOBase):
    """A file-like that hands out `step` bytes per read and raises once at `fail_at`."""

    def __init__(self, data, step, fail_at, error=OSError("flaky disk")):
        self.data, self.pos, self.step, self.fail_at, self.error = data, 0, step, fail_at, error

    def readable(self):
        return True

    def read(self, n=-1):
        if self.fail_at is not None and self.pos >= self.fail_at:
            self.fail_at = None
            raise self.error
        chunk = self.data[self.pos:self.pos + self.step]
        self.pos += len(chunk)
        return chunk


def test_a_read_error_in_the_middle(tmp_path):
    src = big_source()
    expected = list(ndjson_lines(src, ""))
    fail_at = len(src) // 2

    # Whole rows and fields alike: the lines before the failure, the error, then the rest.
    for fields in (None, ["id"]):
        it = ndjson_lines(Flaky(src, 1 << 16, fail_at), "", fields=fields)
        got = []
        with pytest.raises(RuntimeError, match=r"^error reading source #0: .*flaky disk"):
            for line in it:
                got.append(line)
        assert len(got) < len(expected)
        got.extend(it)
        assert got == list(ndjson_lines(src, "", fields=fields))

    # write_ndjson keeps what reached the file: whole lines for plain output,
    # a complete member for gzip, a frame without its end for Zstandard.
    full = joined(expected)
    for name in ("cut.ndjson", "cut.ndjson.gz", "cut.ndjson.zst"):
        path = tmp_path / name
        with pytest.raises(RuntimeError, match="flaky disk"):
            write_ndjson(Flaky(src, 1 << 16, fail_at), str(path), "")
        data = file_bytes(path)
        if name.endswith(".gz"):
            data = gzip.decompress(data)
        elif name.endswith(".zst"):
            data, ended = zstd_decode(data)
            assert not ended
        if not name.endswith(".zst"):
            assert len(data) >= 1 << 20 and data.endswith(b"\n")
        assert 0 < len(data) < len(full) and full.startswith(data)


@pytest.mark.parametrize("fields", [None, ["id"]], ids=["whole", "fields"])
@pytest.mark.parametrize("suffix", [".gz", ".zst"])
def test_a_cut_compressed_file_ends_at_its_error(tmp_path, suffix, fields):
    # A compressed file is decoded on a thread of its own and cut into ranges
    # for the walkers. A decoder's failure is not one the stream reads past:
    # the lines of the batch it broke are dropped with it, and the next call
    # hands none of them out.
    src = big_source()
    whole = tmp_path / ("whole.ndjson" + suffix)
    write_ndjson(src, str(whole), "")
    packed = file_bytes(whole)
    cut = tmp_path / ("cut.ndjson" + suffix)
    cut.write_bytes(packed[:len(packed) // 2])
    expected = list(ndjson_lines(src, "", fields=fields))
    it = ndjson_lines(str(cut), "", fields=fields)
    got = []
    with pytest.raises(RuntimeError, match=r"^error reading source #0: ") as failure:
        for line in it:
            got.append(line)
    assert got == expected[:len(got)]
    # The scan in ranges is over; a single engine (one core) meets its
    # decoder's error again.
    with pytest.raises((StopIteration, RuntimeError)) as after:
        next(it)
    assert after.type is StopIteration or str(after.value) == str(failure.value)


def test_an_interrupt_from_read_escapes_unchanged(tmp_path):
    src = big_source(2000)
    with pytest.raises(KeyboardInterrupt):
        write_ndjson(Flaky(src, 4096, 10000, KeyboardInterrupt()), str(tmp_path / "i.ndjson"), "")
    it = ndjson_lines(Flaky(src, 4096, 10000, KeyboardInterrupt()), "", fields=["id"])
    with pytest.raises(KeyboardInterrupt):
        list(it)


def test_malformed_input():
    # Whole rows: the rows before the bad byte, then the error with the row
    # query's partial results; then the end.
    it = ndjson_lines(b"[1]\n[2]\n[3]]", "")
    assert [next(it), next(it), next(it)] == [b"[1]", b"[2]", b"[3]"]
    with pytest.raises(Corrupted) as info:
        next(it)
    partials = info.value.recover()
    assert len(partials) == 1 and partials[0].count() == 3
    assert list(it) == []
    with pytest.raises(Incomplete):
        list(ndjson_lines(b"[1]\n[2", ""))
    # Fields: no partial results.
    with pytest.raises(Incomplete) as info:
        list(ndjson_lines(b'{"a":1}\n{"a":', "", fields=["a"]))
    assert info.value.recover() == []


# Rows that are no JSON, each after a megabyte of good rows (so that write_ndjson
# hands some lines to its file before the error): (rows query, text before the
# good rows, their separator, the text after them).
MALFORMED_ROWS = [
    ("", b"", b"\n", b'\n{"a":1\\",\n"b":"x\ty"}\n'),  # a backslash after a number, in a row with line breaks
    ("", b"", b"\n", b'\n{"a":12x}\n'),
    ("", b"", b"\n", b'\n{"a":{"b":[1,-]}}\n'),
    ("", b"", b"\n", b'\n{"a":{"b":01}}\n'),
    ("", b"", b"\n", b'\n{"a":[{"e":1e+}]}\n'),
    ("", b"", b"\n", b'\n{\n  "a": [\n    1.5.2\n  ]\n}\n'),
    ("", b"", b"\n", b'\n{"a":[1, x]}\n'),
    ("", b"", b"\n", b'\n{"a":{"b":\\"x"}}\n'),
    ("", b"", b"\n", b'\n{"a":[{"b":1]}]}\n'),
    ("r[*]", b'{"r":[', b",", b', 7, 3x, 4]}'),
]
MALFORMED_IDS = ["backslash-after-number", "letters-in-number", "lone-minus-nested", "leading-zero-nested",
                 "exponent-without-digits", "two-points-pretty", "stray-byte-nested", "backslash-nested",
                 "mismatched-close-nested", "scalar-rows"]


@pytest.mark.parametrize("case", MALFORMED_ROWS, ids=MALFORMED_IDS)
def test_whole_rows_fail_where_their_values_fail(case, tmp_path):
    rows, head, sep, tail = case
    good = [b'{"i":%d,"v":[%d.5,{"s":"r%d"}]}' % (i, i, i) for i in range(30000)]
    src = head + sep.join(good) + tail
    values = []
    with pytest.raises(Corrupted) as expected:
        for value in jorvane.items(src, rows):
            values.append(value)
    lines = []
    with pytest.raises(Corrupted) as got:
        for line in ndjson_lines(src, rows):
            lines.append(line)
    assert (got.value.offset, str(got.value)) == (expected.value.offset, str(expected.value))
    assert len(lines) == len(values) >= len(good)
    assert lines[:len(good)] == good
    assert [json.loads(line) for line in lines[len(good):]] == values[len(good):]
    # The file keeps the whole lines handed to it before the error.
    for name in ("out.ndjson", "out.ndjson.gz"):
        path = tmp_path / name
        with pytest.raises(Corrupted) as written:
            write_ndjson(src, str(path), rows)
        assert (written.value.offset, str(written.value)) == (expected.value.offset, str(expected.value))
        data = file_bytes(path)
        if name.endswith(".gz"):
            data = gzip.decompress(data)
        assert len(data) >= 1 << 20 and data.endswith(b"\n") and joined(lines).startswith(data)


def test_a_failing_write(tmp_path):
    if not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full")
    with pytest.raises(RuntimeError, match=r"^error writing output: No space left on device \(os error 28\)$"):
        write_ndjson(b"[1]", "/dev/full", "")


def test_thread_binding(from_other_thread):
    gc.collect()
    it = ndjson_lines(b"[1] [2]", "")
    assert iter(it) is it
    assert type(it).__name__ == "NdjsonLines" and not hasattr(jorvane, "NdjsonLines")
    caught = from_other_thread((lambda: next(it), lambda: iter(it)))
    assert len(caught) == 2
    assert all("jorvane2::python::NdjsonLines is unsendable, but sent to another thread" in str(e) for e in caught)
    assert not any(isinstance(e, Exception) for e in caught)
    assert list(it) == [b"[1]", b"[2]"]


@pytest.mark.parametrize("case", [
    (dict(rows="a["), ValueError, 'failed to compile query "a["'),
    (dict(rows="a[", fields=["x"]), ValueError, 'failed to compile query "(a[).(x)"'),
    (dict(fields=[]), ValueError,
     "invalid input: fields= must name at least one field (or omit it to re-emit whole rows)"),
    (dict(fields={}), ValueError,
     "invalid input: fields= must name at least one field (or omit it to re-emit whole rows)"),
    (dict(fields={"a": "a", "b": ""}), ValueError, 'invalid input: column "b" has an empty path'),
    (dict(fields="a"), ValueError,
     "fields= must be a {name: path} dict, a list of paths, or None to re-emit whole rows"),
    (dict(fields=["a", 1]), ValueError,
     "fields= must be a {name: path} dict, a list of paths, or None to re-emit whole rows"),
    (dict(fields={"a": 1}), TypeError, "'int' object cannot be converted to 'str'"),
    (dict(on_multi="First"), ValueError, 'on_multi must be "error", "first", "last" or "list", not "First"'),
    (dict(on_multi=None), TypeError, "argument 'on_multi'"),
    (dict(mode="fast"), ValueError, "unknown mode"),
    (dict(limit="3"), TypeError, "argument 'limit'"),
    (dict(limit=-1), OverflowError, ""),
    (dict(rows=None), TypeError, "argument 'rows'"),
    (dict(source=[b"[1]", b"[2]"]), ValueError, "write_ndjson() takes a single source, got 2"),
    (dict(source="/nonexistent/input.json"), ValueError, 'not a readable file: "/nonexistent/input.json"'),
], ids=lambda c: str(c[0]) if isinstance(c, dict) else "")
def test_refusals_leave_the_output_alone(case, tmp_path):
    kwargs, exc, prefix = case
    for name in ("keep.ndjson", "keep.ndjson.gz", "keep.ndjson.zst"):
        existing = tmp_path / name
        existing.write_bytes(b"precious\n")
        missing = tmp_path / ("new-" + name)
        for path in (existing, missing):
            args = dict(source=b"[1] [2]", rows="")
            args.update(kwargs)
            with pytest.raises(exc) as info:
                write_ndjson(args.pop("source"), str(path), args.pop("rows"), **args)
            assert str(info.value).startswith(prefix)
        assert existing.read_bytes() == b"precious\n"
        assert not missing.exists()
    # ndjson_lines refuses the same way.
    args = dict(source=b"[1] [2]", rows="")
    args.update(kwargs)
    with pytest.raises(exc):
        ndjson_lines(args.pop("source"), args.pop("rows"), **args)


def test_output_path_refusals(tmp_path):
    bad = tmp_path / "no" / "such" / "dir.ndjson"
    with pytest.raises(ValueError) as info:
        write_ndjson(b"[1]", str(bad), "")
    assert str(info.value) == f'cannot create "{bad}": No such file or directory (os error 2)'
    with pytest.raises(TypeError, match="argument 'path'"):
        write_ndjson(b"[1]", None, "")
