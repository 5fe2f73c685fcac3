"""What every entry point does alike with its source and output arguments: path objects name files
like path strings, and a refused source names the function that was called."""
import os
import pathlib

import pytest

import jorvane
from jorvane import Source

ROWS = b'{"a": 1}\n{"a": 2}\n'


class FsPath:
    """An os.PathLike other than pathlib's."""

    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        return self.path


# Each entry point reading `src`, with what it gives for ROWS.
READERS = {
    "Query": (lambda src: jorvane.Query(src, "a", "count").result().count(), 2),
    "items": (lambda src: list(jorvane.items(src, "a")), [1, 2]),
    "table": (lambda src: jorvane.table(src, "", ["a"]).n_rows, 2),
    "table_batches": (lambda src: len(next(jorvane.table_batches(src, "", ["a"]))), 2),
    "group_by": (lambda src: jorvane.group_by(src, "", ["a"], {"n": "count"}).n_rows, 2),
    "describe": (lambda src: "a" in repr(jorvane.describe(src)), True),
    "ndjson_lines": (lambda src: list(jorvane.ndjson_lines(src, "")), ROWS.splitlines()),
}


@pytest.mark.parametrize("wrap", [pathlib.Path, FsPath, lambda p: Source(pathlib.Path(p)),
                                  lambda p: [pathlib.Path(p)]], ids=["Path", "PathLike", "Source", "list"])
@pytest.mark.parametrize("reader", READERS)
def test_path_objects_are_read_as_their_path(tmp_path, monkeypatch, reader, wrap):
    # A relative name that a str would give as JSON text.
    monkeypatch.chdir(tmp_path)
    pathlib.Path("{1} rows.ndjson").write_bytes(ROWS)
    run, expected = READERS[reader]
    assert run(wrap("{1} rows.ndjson")) == expected


@pytest.mark.parametrize("writer", ["write_ndjson", "write_parquet", "write_csv"])
def test_output_path_objects(tmp_path, writer):
    if writer != "write_ndjson":
        pytest.importorskip("pyarrow")
    write = getattr(jorvane, writer)
    columns = [] if writer == "write_ndjson" else [["a"]]
    source = tmp_path / "in.ndjson"
    source.write_bytes(ROWS)
    for wrap in (pathlib.Path, FsPath):
        out = tmp_path / f"out-{wrap.__name__}"
        assert write(wrap(str(source)), wrap(str(out)), "", *columns) == 2 and out.stat().st_size > 0
        with pytest.raises(ValueError, match="names the same file as the source"):
            write(source, wrap(str(source)), "", *columns)
    assert source.read_bytes() == ROWS
    # A bytes path stays refused, whatever object gives it.
    for path in (os.fsencode(str(tmp_path / "x")), FsPath(os.fsencode(str(tmp_path / "x")))):
        with pytest.raises(TypeError, match="^argument 'path': "):
            write(ROWS, path, "", *columns)


CALLERS = {
    "items": lambda src: jorvane.items(src, "a"),
    "table": lambda src: jorvane.table(src, "", ["a"]),
    "table_batches": lambda src: jorvane.table_batches(src, "", ["a"]),
    "group_by": lambda src: jorvane.group_by(src, "", ["a"], {"n": "count"}),
    "describe": lambda src: jorvane.describe(src),
    "ndjson_lines": lambda src: jorvane.ndjson_lines(src, ""),
    "write_ndjson": lambda src: jorvane.write_ndjson(src, "/nonexistent/out.ndjson", ""),
    "write_parquet": lambda src: jorvane.write_parquet(src, "/nonexistent/out.parquet", "", ["a"]),
    "write_csv": lambda src: jorvane.write_csv(src, "/nonexistent/out.csv", "", ["a"]),
}


@pytest.mark.parametrize("caller", CALLERS)
def test_refusals_name_the_function_called(caller):
    if caller in ("write_parquet", "write_csv"):
        pytest.importorskip("pyarrow")
    call = CALLERS[caller]
    with pytest.raises(ValueError) as info:
        call(Source(ROWS, progress=print, name="x"))
    assert str(info.value) == f"Source(progress=...) is only supported by Query; {caller}() has no progress callbacks"
    with pytest.raises(ValueError) as info:
        call(Source(ROWS, name="x"))
    assert str(info.value) == f"Source(name=...) labels Query results; {caller}() does not use source names"
    if caller != "items":
        with pytest.raises(ValueError, match=rf"^{caller}\(\) takes a single source, got 2 \(rows from"):
            call([ROWS, ROWS])
