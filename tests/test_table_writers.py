"""table_batches(), TableBatches and the chunked Parquet and CSV writers."""
import datetime
import decimal
import gc
import io
import json
import os
import pathlib
import subprocess
import sys

import pytest

import jorvane
from jorvane import table, table_batches, write_csv, write_ndjson, write_parquet
from jorvane._errors import Corrupted

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")
pcsv = pytest.importorskip("pyarrow.csv")


class Rows(io.RawIOBase):
    """A file-like whose read() hands out one NDJSON record (or one raw piece) per call."""

    def __init__(self, records, fail_after=None):
        self.pieces = [p if isinstance(p, bytes) else (json.dumps(p) + "\n").encode() for p in records]
        self.i, self.fail_after = 0, fail_after

    def read(self, n=-1):
        if self.fail_after is not None and self.i >= self.fail_after:
            raise OSError("disk on fire")
        if self.i >= len(self.pieces):
            return b""
        self.i += 1
        return self.pieces[self.i - 1]


def ndjson(*records):
    return "\n".join(json.dumps(r) for r in records).encode()


def plain(values):
    return values.tolist() if hasattr(values, "tolist") else values


@pytest.mark.parametrize("kwargs, total", [({}, 10), ({"limit": 6}, 6), ({"limit": 99}, 10)])
def test_batches_hold_every_row_in_order(kwargs, total):
    records = [{"id": i, "name": f"n{i}"} for i in range(10)]
    chunks = list(table_batches(Rows(records), "", ["id", "name"], batch_rows=4, **kwargs))
    sizes = [len(c) for c in chunks]
    assert all(n >= 4 for n in sizes[:-1]) and sum(sizes) == total
    dicts = [c.to_dict() for c in chunks]
    assert sum((plain(d["id"]) for d in dicts), []) == list(range(total))
    assert sum((d["name"] for d in dicts), []) == [f"n{i}" for i in range(total)]


def test_batches_types_and_options():
    (chunk,) = table_batches(ndjson({"x": 1.5}, {"x": None}, {"x": 2}), "", ["x"], dtypes={"x": "float32?"})
    assert chunk.dtypes == [("x", "float32")]
    # use_float reaches every chunk: a Mixed cell's decimal comes back as a float
    (chunk,) = table_batches(ndjson({"m": 1.5}, {"m": "s"}), "", ["m"], use_float=True)
    assert chunk.to_dict()["m"] == [1.5, "s"]
    (chunk,) = table_batches(b'{"items": [{"a": 1}, {"a": 2, "b": [3, 4]}]}', "items[*]", ["a", "b[*]"],
                             on_multi="last")
    assert chunk.names == ["a", "b[*]"] and plain(chunk.to_dict()["b[*]"]) == [None, 4]
    assert list(table_batches(b"", "", ["a"])) == []
    batches = table_batches(b'{"a": 1}', "", ["a"])
    assert iter(batches) is batches
    with pytest.raises(TypeError, match="use_float"):
        table_batches(b"{}", "", ["a"], use_float=1)


def test_batches_after_an_error_are_exhausted():
    batches = table_batches(Rows([{"a": 1}] * 3 + [b'{"a": ]']), "", ["a"], batch_rows=2)
    assert len(next(batches)) == 2
    with pytest.raises(Corrupted) as info:
        next(batches)
    assert info.value.recover() == []
    with pytest.raises(StopIteration):
        next(batches)
    failing = table_batches(Rows([{"a": 1}] * 3, fail_after=2), "", ["a"], batch_rows=2)
    assert len(next(failing)) == 2
    with pytest.raises(RuntimeError, match=r"^error reading source #0: .*disk on fire"):
        next(failing)
    assert list(failing) == []


CALLS = {
    "table_batches": lambda **kw: table_batches("/nonexistent/x.ndjson", "", ["a"], **kw),
    "write_parquet": lambda **kw: write_parquet("/nonexistent/x.ndjson", "/nonexistent/out.parquet", "", ["a"], **kw),
    "write_csv": lambda **kw: write_csv("/nonexistent/x.ndjson", "/nonexistent/out.csv", "", ["a"], **kw),
}


@pytest.mark.parametrize("function", CALLS)
@pytest.mark.parametrize("kwargs, exc, pattern", [
    (dict(batch_rows=0), ValueError, r"^batch_rows must be at least 1$"),
    (dict(batch_rows=-1), OverflowError, None),
    (dict(batch_rows=None), TypeError, "batch_rows"),
    (dict(limit=0), ValueError, r"^limit must be at least 1"),
    (dict(mode="fast"), ValueError, r"^unknown mode"),
    (dict(on_multi="all"), ValueError, r"^on_multi must be"),
    (dict(dtypes=[]), TypeError, "dtypes"),
], ids=lambda v: str(v) if isinstance(v, dict) else "")
def test_refusals_come_before_the_source_is_opened(function, kwargs, exc, pattern):
    with pytest.raises(exc, match=pattern):
        CALLS[function](**kwargs)


def test_one_source_only():
    with pytest.raises(ValueError, match=r"^table_batches\(\) takes a single source, got 2"):
        table_batches([b"{}", b"{}"], "", ["a"])
    with pytest.raises(ValueError, match=r'^invalid input: dtype declared for unknown column "zz"$'):
        write_csv(b"{}", "/nonexistent/out.csv", "", ["a"], dtypes={"zz": "int64"})


def test_thread_binding(from_other_thread):
    gc.collect()  # objects left in cycles by earlier tests would be collected on the other thread
    batches = table_batches(b'{"a":1}', "", ["a"])
    caught = from_other_thread((lambda: next(batches), lambda: iter(batches)))
    assert len(caught) == 2 and not any(isinstance(e, Exception) for e in caught)
    assert all("jorvane2::python::TableBatches is unsendable, but sent to another thread" in str(e) for e in caught)
    assert [len(c) for c in batches] == [1]


def test_reading_from_the_source_cannot_reenter_the_iterator():
    seen = []

    class Reentrant(io.RawIOBase):
        sent = False

        def read(self, n=-1):
            if self.sent:
                return b""
            with pytest.raises(RuntimeError, match="Already borrowed"):
                next(batches)
            seen.append(1)
            self.sent = True
            return b'{"a": 1}'

    batches = table_batches(Reentrant(), "", ["a"])
    assert [len(c) for c in batches] == [1] and seen == [1]


RECORDS = [{"id": i, "amount": i + 0.25, "currency": ["EUR", "USD", None][i % 3], "ok": i % 2 == 0,
            "when": f"2024-01-{1 + i % 28:02d}T10:00:00Z", "price": i * 1.5}
           for i in range(25)]
COLUMNS = ["id", "amount", "currency", "ok", "when", "price"]
DTYPES = {"when": "timestamp", "price": "decimal(10,2)"}


def expected_rows(**kwargs):
    return table(ndjson(*RECORDS), "", COLUMNS, dtypes=DTYPES, **kwargs).to_arrow().to_pydict()


@pytest.mark.parametrize("batch_rows", [1, 4, 1000])
@pytest.mark.parametrize("fmt", ["parquet", "csv"])
def test_files_read_back_equal(tmp_path, fmt, batch_rows):
    path = str(tmp_path / f"out.{fmt}")
    writer = write_parquet if fmt == "parquet" else write_csv
    written = writer(Rows(RECORDS), path, "", COLUMNS, dtypes=DTYPES, batch_rows=batch_rows)
    assert written == len(RECORDS)
    expected = expected_rows()
    if fmt == "parquet":
        got = pq.read_table(path)
    else:
        schema = pa.schema([("id", pa.int64()), ("amount", pa.float64()), ("currency", pa.large_string()),
                            ("ok", pa.bool_()), ("when", pa.timestamp("us", tz="UTC")),
                            ("price", pa.decimal128(10, 2))])
        got = pcsv.read_csv(path, convert_options=pcsv.ConvertOptions(column_types=schema, strings_can_be_null=True))
    assert got.to_pydict() == expected


def test_nested_lists_in_parquet_and_the_row_limit(tmp_path):
    records = [{"id": i, "tags": ["t"] * (i % 3) if i % 4 else None} for i in range(20)]
    path = str(tmp_path / "tags.parquet")
    assert write_parquet(Rows(records), path, "", ["id", "tags"], batch_rows=3, limit=11) == 11
    got = pq.read_table(path).to_pydict()
    assert got == {"id": list(range(11)), "tags": [r["tags"] for r in records[:11]]}


def test_options_reach_pyarrow(tmp_path):
    src = ndjson(*RECORDS[:3])
    # no compression= at all writes zstd
    for compression, expected in ((None, "ZSTD"), ("none", "UNCOMPRESSED"), ("snappy", "SNAPPY"), ("gzip", "GZIP")):
        path = str(tmp_path / f"{compression}.parquet")
        write_parquet(src, path, "", ["id"], **({} if compression is None else {"compression": compression}))
        assert pq.ParquetFile(path).metadata.row_group(0).column(0).compression == expected
    with pytest.raises(TypeError):
        write_parquet(src, str(tmp_path / "bad.parquet"), "", ["id"], compression=None)
    path = tmp_path / "plain.csv"
    assert write_csv(src, str(path), "", ["id", "currency"], include_header=False) == 3
    assert path.read_text() == '0,"EUR"\n1,"USD"\n2,\n'
    with pytest.raises(TypeError):
        write_csv(src, str(path), "", ["id"], include_header=1)
    with pytest.raises(TypeError):
        write_csv(src, os.fsencode(path), "", ["id"])


@pytest.mark.parametrize("dtypes, schema", [
    (None, [("a", pa.large_string()), ("b", pa.large_string())]),
    ({"a": "int64", "b": "float64?"}, [("a", pa.int64()), ("b", pa.float64())]),
    ({"a": "bool", "b": "str"}, [("a", pa.bool_()), ("b", pa.large_string())]),
    ({"a": "timestamp", "b": "uuid"}, [("a", pa.timestamp("us", tz="UTC")), ("b", pa.binary(16))]),
    ({"a": "int8", "b": "int32"}, [("a", pa.int8()), ("b", pa.int32())]),
    ({"a": "int16?", "b": "float32"}, [("a", pa.int16()), ("b", pa.float32())]),
    ({"a": "decimal(38,4)"}, [("a", pa.decimal128(38, 4)), ("b", pa.large_string())]),
])
@pytest.mark.parametrize("fmt", ["parquet", "csv"])
def test_a_source_without_rows_writes_the_declared_schema(tmp_path, fmt, dtypes, schema):
    path = tmp_path / f"empty.{fmt}"
    writer = write_parquet if fmt == "parquet" else write_csv
    assert writer(b'{"x": 1}', str(path), "rows[*]", ["a", "b"], dtypes=dtypes) == 0
    if fmt == "parquet":
        assert pq.read_schema(str(path)) == pa.schema(schema)
        assert pq.read_table(str(path)).num_rows == 0
    else:
        assert path.read_text() == '"a","b"\n'


def test_later_chunks_are_cast_to_the_first_schema(tmp_path):
    path = str(tmp_path / "drift.parquet")
    # int64 first, then a chunk whose numbers infer as float64 but cast exactly
    assert write_parquet(Rows([{"a": 1}, {"a": 2.0}, {"a": None}]), path, "", ["a"], batch_rows=1) == 3
    got = pq.read_table(path)
    assert got.schema.field("a").type == pa.int64() and got.column("a").to_pylist() == [1, 2, None]
    # a chunk where every value is missing (the null type) casts too
    assert write_parquet(Rows([{"a": "x"}, {}]), path, "", ["a"], batch_rows=1) == 2
    assert pq.read_table(path).column("a").to_pylist() == ["x", None]


def cast_failure(value, arrow_type):
    """How pyarrow words its refusal to cast a one-row batch of `value` to int64."""
    batch = pa.record_batch([pa.array([value], type=arrow_type)], names=["a"])
    with pytest.raises(pa.ArrowException) as info:
        batch.cast(pa.schema([("a", pa.int64())]))
    return f"{type(info.value).__name__}: {info.value}"


@pytest.mark.parametrize("later, arrow_type", [(2.5, pa.float64()), ("abc", pa.large_string())])
@pytest.mark.parametrize("fmt", ["parquet", "csv"])
def test_a_later_chunk_that_cannot_be_cast(tmp_path, fmt, later, arrow_type):
    writer = write_parquet if fmt == "parquet" else write_csv
    with pytest.raises(ValueError) as info:
        writer(Rows([{"a": 1}, {"a": later}]), str(tmp_path / f"x.{fmt}"), "", ["a"], batch_rows=1)
    assert str(info.value) == ("a later chunk's inferred schema is incompatible with the file's "
                               f"({cast_failure(later, arrow_type)}); declare dtypes= to hold one schema across the "
                               "whole stream")
    assert info.value.__context__ is None or not isinstance(info.value.__context__, pa.ArrowException)


def test_declared_dtypes_hold_one_schema(tmp_path):
    path = str(tmp_path / "x.parquet")
    assert write_parquet(Rows([{"a": 1}, {"a": 2.5}]), path, "", ["a"], batch_rows=1, dtypes={"a": "float64"}) == 2
    assert pq.read_table(path).column("a").to_pylist() == [1.0, 2.5]


def test_declared_type_errors_name_the_row_of_the_source(tmp_path):
    records = [{"i": "seven" if i == 7 else i} for i in range(10)]
    message = ('data does not fit the requested shape: column "i" is declared int64 but row 7 holds a string')
    calls = [
        lambda: table(Rows(records), "", ["i"], dtypes={"i": "int64"}),
        lambda: list(table_batches(Rows(records), "", ["i"], batch_rows=3, dtypes={"i": "int64"})),
        lambda: write_parquet(Rows(records), str(tmp_path / "x.parquet"), "", ["i"], batch_rows=3,
                              dtypes={"i": "int64"}),
        lambda: write_csv(Rows(records), str(tmp_path / "x.csv"), "", ["i"], batch_rows=2, dtypes={"i": "int64"}),
    ]
    for call in calls:
        with pytest.raises(ValueError) as info:
            call()
        assert str(info.value) == message


def test_a_row_limit_ends_the_read_at_the_limit_th_row():
    records = [{"id": i} for i in range(6)]
    # Reached exactly at the end of a read: no read after it.
    src = Rows(records)
    t = table(src, "", ["id"], limit=3)
    assert plain(t.to_dict()["id"]) == [0, 1, 2] and src.i == 3
    assert t.bytes_covered == sum(len(p) for p in src.pieces[:3])
    # A malformed record after the limit-th row in the same read does not count.
    pieces = [b'{"id": 0}\n', b'{"id": 1}\n{"id": 2}\n{"id": ]}\n', b'{"id": 3}\n']
    for limit, got in ((2, [0, 1]), (1, [0])):
        src = Rows(pieces)
        chunks = list(table_batches(src, "", ["id"], batch_rows=1, limit=limit))
        assert sum((plain(c.to_dict()["id"]) for c in chunks), []) == got
    assert write_parquet(Rows(pieces), "/dev/null", "", ["id"], limit=2) == 2
    with pytest.raises(Corrupted):
        table(Rows(pieces), "", ["id"], limit=4)


def test_a_chunk_column_without_an_arrow_type(tmp_path):
    with pytest.raises(ValueError) as info:
        write_parquet(Rows([{"a": 1}, {"a": {"b": 2}}]), str(tmp_path / "x.parquet"), "", ["a"], batch_rows=1)
    assert str(info.value) == (
        'column "a" holds JSON objects; struct columns are deliberately not supported \u2014 extract the fields you '
        'need as their own columns (e.g. "a.field"), or take the rows via to_dict(); a chunked writer needs a '
        'single type per column \u2014 declare it via dtypes=')
    # pyarrow's CSV writer takes no lists: its refusal is the cause of one that names the column
    with pytest.raises(ValueError, match='^column "a" holds lists') as info:
        write_csv(b'{"a": [1]}', str(tmp_path / "x.csv"), "", ["a"])
    assert isinstance(info.value.__cause__, pa.ArrowInvalid) and "Unsupported Type" in str(info.value.__cause__)


@pytest.fixture
def recorded_writers(monkeypatch):
    """Every pyarrow writer the writers open on their output path (not the trial of a compression
    in memory), and how often each was closed."""
    made = []

    def recording(base):
        class Recorded(base):
            def __init__(self, *args, **kwargs):
                super().__init__(*args, **kwargs)
                self.closes = 0
                if isinstance(args[0], str):
                    made.append(self)

            def close(self):
                self.closes += 1
                super().close()

        return Recorded

    monkeypatch.setattr(pq, "ParquetWriter", recording(pq.ParquetWriter))
    monkeypatch.setattr(pcsv, "CSVWriter", recording(pcsv.CSVWriter))
    return made


@pytest.mark.parametrize("fmt", ["parquet", "csv"])
def test_the_writer_is_closed_once_on_success(tmp_path, recorded_writers, fmt):
    writer = write_parquet if fmt == "parquet" else write_csv
    assert writer(Rows(RECORDS[:5]), str(tmp_path / f"x.{fmt}"), "", ["id"], batch_rows=2) == 5
    assert writer(b"", str(tmp_path / f"e.{fmt}"), "", ["id"]) == 0
    assert [w.closes for w in recorded_writers] == [1, 1]


@pytest.mark.parametrize("fmt", ["parquet", "csv"])
def test_a_source_failing_mid_stream_leaves_the_earlier_batches(tmp_path, recorded_writers, fmt):
    path = tmp_path / f"x.{fmt}"
    writer = write_parquet if fmt == "parquet" else write_csv
    records = [{"id": i} for i in range(10)]
    with pytest.raises(RuntimeError) as info:
        writer(Rows(records, fail_after=7), str(path), "", ["id"], batch_rows=3)
    assert str(info.value).startswith("error reading source #0: ") and "disk on fire" in str(info.value)
    (opened,) = recorded_writers
    assert opened.closes == 0  # released unclosed
    if fmt == "csv":
        # every batch handed to the writer is in the file already
        assert path.read_text() == '"id"\n' + "".join(f"{i}\n" for i in range(6))
    else:
        # no footer until the writer object goes: pyarrow's finalizer closes it, and then the file holds the
        # batches written before the error
        with pytest.raises(pa.ArrowInvalid):
            pq.read_table(str(path))
        recorded_writers.clear()
        del opened
        gc.collect()
        assert pq.read_table(str(path)).column("id").to_pylist() == list(range(6))


WRITERS = {
    "write_ndjson": lambda source, path, **kw: write_ndjson(source, path, "", **kw),
    "write_parquet": lambda source, path, **kw: write_parquet(source, path, "", ["id"], **kw),
    "write_csv": lambda source, path, **kw: write_csv(source, path, "", ["id"], **kw),
}


@pytest.mark.parametrize("writer", WRITERS)
@pytest.mark.parametrize("how", ["same path", "symbolic link", "hard link", "glob", "list", "file object", "copy"])
def test_an_output_that_is_the_source_is_refused(tmp_path, writer, how):
    src = tmp_path / "in.ndjson"
    content = b"".join(b'{"id": %d}\n' % i for i in range(5000))
    src.write_bytes(content)
    out = tmp_path / "out.data"
    if how == "symbolic link":
        out.symlink_to(src)
    elif how == "hard link":
        os.link(src, out)
    elif how == "copy":
        out.write_bytes(content)
    else:
        out = src
    with open(src, "rb") as f:
        source = {"glob": str(tmp_path / "*.ndjson"), "list": [str(src)], "file object": f}.get(how, str(src))
        if how == "copy":  # the same bytes in another file: written over as usual
            assert WRITERS[writer](source, str(out)) == 5000
            assert src.read_bytes() == content
            return
        with pytest.raises(ValueError) as info:
            WRITERS[writer](source, str(out))
    assert str(info.value).startswith(f'output path "{out}" names the same file as the source ')
    assert src.read_bytes() == content


REFUSED = [
    (dict(rows="a["), r'^failed to compile query "\(a\[\)\.\(id\)"'),
    (dict(batch_rows=0), r"^batch_rows must be at least 1$"),
    (dict(dtypes={"id": "uint8"}), r'^dtype "uint8" for column "id": unsigned'),
    (dict(columns={"id": ""}), r'^invalid input: column "id" has an empty path'),
    (dict(source="/nonexistent/in.ndjson"), r'^not a readable file: "/nonexistent/in.ndjson"$'),
    (dict(source=[b"{}", b"{}"]), r"^write_(parquet|csv)\(\) takes a single source, got 2"),
]
REFUSED_COMPRESSIONS = [
    (dict(compression="bogus"),
     r'^compression "bogus" is refused by pyarrow\'s Parquet writer \(ArrowException: Unsupported compression: '),
    # known to the format, but refused only once data is compressed
    (dict(compression="lzo"), r'^compression "lzo" is refused by pyarrow\'s Parquet writer \(OSError: '),
]


@pytest.mark.parametrize("fmt, kwargs, pattern",
                         [("parquet", *c) for c in REFUSED + REFUSED_COMPRESSIONS] + [("csv", *c) for c in REFUSED],
                         ids=lambda v: "" if isinstance(v, str) and v.startswith("^") else str(v))
def test_a_refused_call_leaves_an_existing_output_alone(tmp_path, fmt, kwargs, pattern):
    existing = tmp_path / f"keep.{fmt}"
    existing.write_bytes(b"precious\n")
    args = dict(source=ndjson({"id": 1}), rows="", columns=["id"])
    args.update(kwargs)
    writer = write_parquet if fmt == "parquet" else write_csv
    with pytest.raises(ValueError, match=pattern):
        writer(args.pop("source"), str(existing), args.pop("rows"), args.pop("columns"), **args)
    assert existing.read_bytes() == b"precious\n"


@pytest.mark.parametrize("columns, kwargs, name, hint", [
    (["tags"], {}, "tags", "tags[0]"),
    (["id", "tags"], {}, "tags", "tags[0]"),
    ({"n": "a.nums"}, {}, "n", "a.nums[0]"),
    ({"t": "tags[*]"}, {"on_multi": "list"}, "t", "tags[0]"),
])
def test_a_list_column_in_csv_is_refused_before_the_output_is_opened(tmp_path, columns, kwargs, name, hint):
    existing = tmp_path / "keep.csv"
    existing.write_bytes(b"precious\n")
    source = ndjson({"id": 1, "tags": ["a", "b"], "a": {"nums": [1, 2]}})
    with pytest.raises(ValueError) as info:
        write_csv(source, str(existing), "", columns, **kwargs)
    assert str(info.value).startswith(
        f'column "{name}" holds lists, which CSV cannot hold: take one element with a path such as "{hint}", '
        "or write Parquet (ArrowInvalid: Unsupported Type:large_list<")
    assert existing.read_bytes() == b"precious\n"


@pytest.mark.parametrize("refused, message", [
    (lambda names: "bad" in names, 'column "bad" of type int64 is refused by pyarrow\'s {} writer'),
    (lambda names: len(names) == 2, "the table's schema is refused by pyarrow's {} writer"),
])
@pytest.mark.parametrize("fmt", ["parquet", "csv"])
def test_a_schema_the_writer_refuses_leaves_an_existing_output_alone(tmp_path, monkeypatch, fmt, refused, message):
    module, opener = (pq, "ParquetWriter") if fmt == "parquet" else (pcsv, "CSVWriter")

    class Refusing(getattr(module, opener)):
        def __init__(self, where, schema, **kwargs):
            if isinstance(where, str):
                open(where, "wb").close()  # as pyarrow does: the output is opened before the schema is looked at
            if refused(schema.names):
                raise pa.ArrowNotImplementedError("no such column here")
            super().__init__(where, schema, **kwargs)

    monkeypatch.setattr(module, opener, Refusing)
    existing = tmp_path / f"keep.{fmt}"
    existing.write_bytes(b"precious\n")
    writer = write_parquet if fmt == "parquet" else write_csv
    with pytest.raises(ValueError) as info:
        writer(ndjson({"ok": 1, "bad": 2}), str(existing), "", ["ok", "bad"])
    label = "Parquet" if fmt == "parquet" else "CSV"
    assert str(info.value) == message.format(label) + " (ArrowNotImplementedError: no such column here)"
    assert existing.read_bytes() == b"precious\n"


def test_a_malformed_source_raises_with_no_partial_results(tmp_path):
    with pytest.raises(Corrupted) as info:
        write_parquet(Rows([{"a": 1}, b'{"a": ]']), str(tmp_path / "x.parquet"), "", ["a"], batch_rows=1)
    assert info.value.recover() == []


@pytest.mark.parametrize("module, function", [("pyarrow.csv", "write_csv"), ("pyarrow.parquet", "write_parquet"),
                                              ("pyarrow", "write_csv")])
def test_without_pyarrow_the_writers_refuse_first(module, function, child_env):
    code = (
        f"import sys; sys.modules[{module!r}] = None\n"
        "import jorvane\n"
        "try:\n"
        f"    jorvane.{function}(b'{{}}', '/nonexistent/out', '', ['a'], batch_rows=0)\n"
        "except ImportError as e:\n"
        "    print(e)\n"
    )
    proc = subprocess.run([sys.executable, "-c", code], env=child_env, capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == f"{function}() needs pyarrow installed"



@pytest.mark.parametrize("failure", ["malformed", "cast"])
@pytest.mark.parametrize("mode", [None, "batched"])
@pytest.mark.parametrize("fmt", ["parquet", "csv"])
def test_a_later_batch_failing_leaves_exactly_the_batches_before_it(tmp_path, fmt, mode, failure):
    # Batches of 3 rows (one record per read); the fourth batch is malformed, or strings where the file holds
    # int64, and the batches after it are never written.
    bad = [b'{"id": ]\n'] if failure == "malformed" else [{"id": w} for w in ("nine", "ten", "eleven")]
    records = [{"id": i} for i in range(9)] + bad + [{"id": i} for i in range(12, 20)]
    exc, pattern = (Corrupted, None) if failure == "malformed" else (ValueError, "incompatible with the file's")
    path = tmp_path / f"x.{fmt}"
    writer = write_parquet if fmt == "parquet" else write_csv
    with pytest.raises(exc, match=pattern):
        writer(Rows(records), str(path), "", ["id"], batch_rows=3, mode=mode)
    gc.collect()  # the writer dropped unclosed is finalized by pyarrow
    if fmt == "csv":
        assert path.read_text() == '"id"\n' + "".join(f"{i}\n" for i in range(9))
    else:
        assert pq.read_table(str(path)).column("id").to_pylist() == list(range(9))
