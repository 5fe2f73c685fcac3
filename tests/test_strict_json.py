"""A value that is read, converted or written is what a strict JSON reader reads, or the
source fails as Corrupted at the byte that breaks it, after the results before it: the
same byte through every entry point and mode."""
import gzip

import pytest

from jorvane import (Count, Query, Types, Values, describe, group_by, items, kvitems, ndjson_lines, table,
                     table_batches, write_csv, write_ndjson, write_parquet)
from jorvane._errors import Corrupted, Incomplete

MODES = ["batched", "pipelined"]

# (second row of a two-row document, offset of the byte named, the message, what
# items() yields first)
FAULTS = [
    (b'{"n":tru}', 15, "invalid atom character 'u' (0x75)", [1]),
    (b'{"n":nope}', 14, "invalid atom character 'o' (0x6f)", [1]),
    (b'{"n":"ab\\qcd"}', 17, "invalid escape character 'q' (0x71) in a string", [1]),
    (b'{"n":"\\u12"}', 18, "invalid escape character '\"' (0x22) in a string", [1]),
    (b'{"n":2 "m":3}', 15, "expected ',' or '}' after a value, found '\"' (0x22)", [1, 2]),
    (b'{"n":2,}', 15, "expected a string key, found '}' (0x7d)", [1, 2]),
    (b'{"n" 2}', 13, "expected ':' after a key, found '2' (0x32)", [1]),
    (b'{"n":[1,,2]}', 16, "expected a value, found ',' (0x2c)", [1]),
    (b'{1:2}', 9, "expected a string key or '}', found '1' (0x31)", [1]),
    # the misplaced string is the fault, though the input ends inside it
    (b'{"n":2 "m', 15, "expected ',' or '}' after a value, found '\"' (0x22)", [1, 2]),
    # a byte-order mark is named only where the source begins
    (b'\xef\xbb\xbf{"n":2}', 8, "expected a structural byte in the index, found '\u00ef' (0xef)", [1]),
]
IDS = ["true", "null", "escape", "short-unicode", "comma", "trailing-comma", "colon", "double-comma", "key",
       "string-left-open", "mark-inside"]

# Every way to read the rows: what each gives for the first row comes out before the error.
ENTRY_POINTS = {
    "items": lambda doc, mode: items(doc, "n", mode=mode),
    "kvitems": lambda doc, mode: kvitems(doc, "", mode=mode),
    "values": lambda doc, mode: Query(doc, "n", Values(into=[]), mode=mode).result(),
    "table": lambda doc, mode: table(doc, "", {"n": "n"}, mode=mode),
    "table_batches": lambda doc, mode: table_batches(doc, "", {"n": "n"}, batch_rows=1, mode=mode),
    "group_by": lambda doc, mode: group_by(doc, "", {"n": "n"}, {"c": "count"}, mode=mode),
    "fields": lambda doc, mode: ndjson_lines(doc, "", fields={"n": "n"}, mode=mode),
    "whole rows": lambda doc, mode: ndjson_lines(doc, "", mode=mode),
    "describe": lambda doc, mode: describe(doc, mode=mode),
}


@pytest.mark.parametrize("fault", FAULTS, ids=IDS)
@pytest.mark.parametrize("mode", MODES)
def test_every_entry_point_fails_at_the_byte(fault, mode):
    row, offset, message, first = fault
    doc = b'{"n":1}\n' + row + b"\n"
    for name, read in ENTRY_POINTS.items():
        got = []
        with pytest.raises(Corrupted) as info:
            for item in read(doc, mode) or ():
                got.append(item)
        assert info.value.offset == offset, name
        assert message in str(info.value), name
        if name == "items":
            assert got == first


class Trickle:
    """A file-like object that answers every read with at most `step` bytes."""

    def __init__(self, data, step):
        self.data, self.step, self.pos = data, step, 0

    def read(self, n=-1):
        chunk = self.data[self.pos:self.pos + (self.step if n is None or n < 0 else min(n, self.step))]
        self.pos += len(chunk)
        return chunk


@pytest.mark.parametrize("mode", MODES)
def test_a_leading_byte_order_mark_is_named_through_every_entry_point(mode):
    # The same message whether the reads hold the mark whole or cut it.
    doc = b'\xef\xbb\xbf{"n":1}\n{"n":2}\n'
    for name, read in ENTRY_POINTS.items():
        for source in (lambda: doc, lambda: Trickle(doc, 1), lambda: Trickle(doc, 2)):
            with pytest.raises(Corrupted) as info:
                for _ in read(source(), mode) or ():
                    pass
            assert info.value.offset == 0, name
            assert ("malformed JSON at byte 0: the input starts with a UTF-8 byte-order mark (0xef 0xbb 0xbf), "
                    "which JSON text does not allow\n  near: \"\\u{feff}") in str(info.value), name


# What the first byte of gzip and zstd data gets, and the advice added to it.
OPENINGS = {
    "gzip": ("expected a structural byte in the index, found '\\u{1f}' (0x1f)",
             "; the input starts like gzip-compressed data (0x1f 0x8b): read it with "
             "Source(..., compression=\"gzip\") or from a path ending in .gz\n  near: "),
    "zstd": ("expected a structural byte in the index, found '(' (0x28)",
             "; the input starts like zstd-compressed data (0x28 0xb5 0x2f 0xfd): read it with "
             "Source(..., compression=\"zstd\") or from a path ending in .zst\n  near: "),
}


@pytest.fixture(scope="module")
def compressed(tmp_path_factory):
    """Per format: its data, its path without the extension, and the path of a plain file of 8 MiB and
    more (scanned in ranges) that only opens with the format's magic."""
    folder = tmp_path_factory.mktemp("compressed")
    rows = b'{"n":1}\n' * 200
    write_ndjson(rows, str(folder / "rows.ndjson.zst"), "")
    data = {"gzip": gzip.compress(rows), "zstd": (folder / "rows.ndjson.zst").read_bytes()}
    out = {}
    for fmt, blob in data.items():
        (folder / fmt).write_bytes(blob)
        large = blob[:4] + b"\n" + rows * 6000
        assert len(large) >= 8 << 20
        (folder / (fmt + "-large")).write_bytes(large)
        out[fmt] = (blob, str(folder / fmt), str(folder / (fmt + "-large")))
    return out


@pytest.mark.parametrize("form", ["bytes", "path", "file", "one byte a read", "large path"])
@pytest.mark.parametrize("fmt", ["gzip", "zstd"])
def test_compressed_data_read_as_json_is_refused_with_how_to_read_it(compressed, fmt, form):
    blob, path, large = compressed[fmt]
    sources = {"bytes": lambda: blob, "path": lambda: path, "file": lambda: open(path, "rb"),
               "one byte a read": lambda: Trickle(blob, 1), "large path": lambda: large}
    found, advice = OPENINGS[fmt]
    readers = dict(ENTRY_POINTS)
    if form == "large path":
        # ranges of several walkers must say what one walker says
        readers = {"one walker": lambda src, mode: Query(src, "n", "count", max_threads=1, mode=mode).result(),
                   "walkers": lambda src, mode: Query(src, "n", "count", max_threads=4, mode=mode).result(),
                   "describe": ENTRY_POINTS["describe"], "table": ENTRY_POINTS["table"]}
    messages = set()
    for name, read in readers.items():
        source = sources[form]()
        with pytest.raises(Corrupted) as info:
            for _ in read(source, None) or ():
                pass
        if form == "file":
            source.close()
        assert info.value.offset == 0, name
        assert info.value.message == str(info.value), name
        assert f"malformed JSON at byte 0: {found}{advice}" in info.value.message, name
        messages.add(info.value.message.split("malformed JSON at byte 0: ")[1])
    assert len(messages) == 1


@pytest.mark.parametrize("doc, offset, found", [
    (b'\x1f{"n":1}\n', 0, "'\\u{1f}' (0x1f)"),
    (b"\x1f", 0, "'\\u{1f}' (0x1f)"),
    (b"\x1f\x8c\x08\x00", 0, "'\\u{1f}' (0x1f)"),
    (b"(", 0, "'(' (0x28)"),
    (b"(\xb5/", 0, "'(' (0x28)"),
    (b'(\xb5/\xfe{"n":1}', 0, "'(' (0x28)"),
    (b'{"n":1}\n\x1f\x8b\x08\x00\n', 8, "'\\u{1f}' (0x1f)"),
    (b'{"n":1}\n(\xb5/\xfd\n', 8, "'(' (0x28)"),
    (b'\xef\xbb\xbf{"n":1}\n', 0, "UTF-8 byte-order mark (0xef 0xbb 0xbf), which JSON text does not allow\n"),
], ids=["0x1f-then-json", "0x1f-alone", "0x1f-then-other", "paren-alone", "zstd-cut-short", "zstd-wrong-last",
        "gzip-on-a-later-line", "zstd-on-a-later-line", "byte-order-mark"])
def test_only_a_whole_magic_at_the_start_gets_the_advice(doc, offset, found):
    for source in (doc, Trickle(doc, 1)):
        with pytest.raises(Corrupted) as info:
            Query(source, "n", "count").result()
        assert info.value.offset == offset
        assert f"malformed JSON at byte {offset}: " in str(info.value)
        assert found in str(info.value)
        assert "compression=" not in str(info.value)


def test_what_is_not_read_stays_lenient():
    # a key nobody decodes, an atom nobody reads, a container no query enters
    doc = b'{"n\\x":2,"x":tru,"s":[1 2,,{"a"}],"n":1}\n'
    assert list(items(doc, "n")) == [1]
    assert table(doc, "", {"n": "n"}).to_dict() == {"n": [1]}
    assert Query(doc, "x", "count").result().count() == 1
    with pytest.raises(Corrupted):
        list(kvitems(doc, ""))
    # several top-level values, raw control bytes and invalid UTF-8 in strings
    assert list(items(b'{"a":"x\ty"}{"a":"\xff"},{"a":1}', "a")) == ["x\ty", "\ufffd", 1]


@pytest.mark.parametrize("end, offset, message", [
    # the line feed after the backslash is the fault, before the input ends
    (b'["ab\\\n', 18, "invalid escape character '\\n' (0x0a) in a string"),
    # an atom the input ends in is read, inside text kept whole too
    (b'[1,trua', 19, "invalid atom character 'a' (0x61)"),
], ids=["escape", "atom"])
def test_a_fault_before_the_end_comes_first_though_the_input_ends_in_its_token(end, offset, message):
    doc = b'{"n":1}\n{"n":' + end
    for name, read in [("whole rows", lambda: list(ndjson_lines(doc, ""))),
                       ("describe", lambda: describe(doc)),
                       ("values", lambda: Query(doc, "n", Values(into=[])).result()),
                       ("items", lambda: list(items(doc, "n")))]:
        with pytest.raises(Corrupted) as info:
            read()
        assert info.value.offset == offset, name
        assert message in str(info.value), name


def _writers(out):
    """The entry points that write a file, pyarrow's writers only when it is there."""
    writers = {"write_ndjson": lambda src, mode: write_ndjson(src, str(out / "o.ndjson"), "", mode=mode)}
    try:
        import pyarrow.csv  # noqa: F401
        import pyarrow.parquet  # noqa: F401
    except ImportError:
        return writers
    columns = {"a": "a[0]"}
    writers["write_csv"] = lambda src, mode: write_csv(src, str(out / "o.csv"), "", columns, on_multi="list",
                                                       mode=mode)
    writers["write_parquet"] = lambda src, mode: write_parquet(src, str(out / "o.parquet"), "", columns,
                                                               on_multi="list", mode=mode)
    return writers


@pytest.mark.parametrize("end", [b'["x\\u1', b'["x\\'], ids=["unicode", "backslash"])
@pytest.mark.parametrize("mode", [None] + MODES)
def test_an_escape_the_input_ends_in_leaves_the_input_incomplete(end, mode, tmp_path):
    # The escape is cut short by the end, not broken: every reader, walked or kept as text, names the
    # open string at the end.
    doc = b'{"a":["y"]}\n{"a":' + end
    path = tmp_path / "in.json"
    path.write_bytes(doc)
    readers = {
        "query": lambda src, mode: Query(src, {"a": [Count(), Values(into=[])], "a[*]": ["count", Types()]},
                                         mode=mode).result(),
        "items": lambda src, mode: items(src, "a[*]", mode=mode),
        "kvitems": lambda src, mode: kvitems(src, "", mode=mode),
        "describe": lambda src, mode: describe(src, mode=mode),
        "table": lambda src, mode: table(src, "a[*]", {"s": "s"}, mode=mode),
        "table_batches": lambda src, mode: table_batches(src, "", {"a": "a"}, batch_rows=1, mode=mode),
        "group_by": lambda src, mode: group_by(src, "", {"a": "a[0]"}, {"n": "count"}, on_multi="list", mode=mode),
        "whole rows": lambda src, mode: ndjson_lines(src, "", mode=mode),
        "fields": lambda src, mode: ndjson_lines(src, "", fields={"a": "a"}, mode=mode),
        **_writers(tmp_path),
    }
    for src in (doc, str(path)):
        for name, read in readers.items():
            with pytest.raises(Incomplete) as info:
                for _ in read(src, mode) or ():
                    pass
            assert info.value.offset == len(doc), name
            assert "input ended while a string was still open" in str(info.value), name
