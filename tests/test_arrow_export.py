"""Arrow export of table columns: ArrowColumn and its capsules, to_arrow() and to_polars()."""
import contextlib
import datetime
import decimal
import gc
import json
import math
import random
import subprocess
import sys
import threading
import uuid

import pytest

import jorvane
from jorvane import table

pa = pytest.importorskip("pyarrow")


def ndjson(*records):
    return "\n".join(json.dumps(r) for r in records).encode()


@contextlib.contextmanager
def caught_columns():
    """The ArrowColumn objects to_arrow() hands to pyarrow.array, caught on the way (pyarrow gets nulls instead)."""
    caught = []
    real = pa.array

    def catch(obj, *args, **kwargs):
        caught.append(obj)
        return real([None] * current_rows[0], type=pa.null())

    current_rows = [0]
    pa.array = catch
    try:
        yield caught, current_rows
    finally:
        pa.array = real


def arrow_column(src, path, dtypes=None, on_multi="error"):
    """The one ArrowColumn of a one-column table of `src`."""
    t = table(src, "", {"c": path}, dtypes=dtypes, on_multi=on_multi)
    with caught_columns() as (caught, rows):
        rows[0] = len(t)
        t.to_arrow()
    return caught[0]


UTC = datetime.timezone.utc
UUID = "12345678-1234-5678-1234-567812345678"

# (label, cell values (None: key absent), dtype, Arrow type, values pyarrow should read)
KINDS = [
    ("int64", [1, -2, 3], None, pa.int64(), [1, -2, 3]),
    ("int64 with nulls", [1, None, 3], None, pa.int64(), [1, None, 3]),
    ("float with nulls", [1.5, None, 2], None, pa.float64(), [1.5, None, 2.0]),
    ("bool of 9 rows", [True, False, None, True, True, False, False, False, True], None, pa.bool_(),
     [True, False, None, True, True, False, False, False, True]),
    ("str with nulls", ["a", None, "\u00e9\u20ac"], None, pa.large_string(), ["a", None, "\u00e9\u20ac"]),
    ("str, empty strings", ["", "", None], None, pa.large_string(), ["", "", None]),
    ("timestamp", ["1970-01-01T00:00:00Z", None, "2024-02-29T12:00:00+01:00"], "timestamp?",
     pa.timestamp("us", tz="UTC"),
     [datetime.datetime(1970, 1, 1, tzinfo=UTC), None, datetime.datetime(2024, 2, 29, 11, tzinfo=UTC)]),
    ("uuid", [UUID, None], "uuid?", pa.binary(16), [uuid.UUID(UUID).bytes, None]),
    ("int8", [-128, 127, None], "int8?", pa.int8(), [-128, 127, None]),
    ("int16 holding -1", [-1, None], "int16?", pa.int16(), [-1, None]),
    ("int32", [-70000, 70000], "int32", pa.int32(), [-70000, 70000]),
    ("float32", [0.5, None], "float32?", pa.float32(), [0.5, None]),
    ("decimal(10,2)", [12.34, None, 1], "decimal(10,2)?", pa.decimal128(10, 2),
     [decimal.Decimal("12.34"), None, decimal.Decimal("1.00")]),
    ("decimal(38,0)", [12345678901234567890123456789012345678], "decimal(38,0)", pa.decimal128(38, 0),
     [decimal.Decimal("12345678901234567890123456789012345678")]),
    ("list of int", [[1, 2], None, []], None, pa.large_list(pa.int64()), [[1, 2], None, []]),
    ("list of str with nulls", [["a", None], ["b"]], None, pa.large_list(pa.large_string()), [["a", None], ["b"]]),
    ("list, every row empty", [[], []], None, pa.large_list(pa.null()), [[], []]),
    ("absent everywhere", [None, None], None, pa.null(), [None, None]),
]


@pytest.mark.parametrize("case", KINDS, ids=[k[0] for k in KINDS])
def test_every_kind_imports_and_validates(case):
    _, cells, dtype, arrow_type, expected = case
    records = [{} if v is None else {"c": v} for v in cells]
    column = arrow_column(ndjson(*records), "c", dtypes={"c": dtype} if dtype else None)
    array = pa.array(column)
    array.validate(full=True)
    assert array.type == arrow_type
    assert array.to_pylist() == expected
    assert array.null_count == sum(v is None for v in expected)


@pytest.mark.parametrize("dtype, arrow_type", [
    (None, pa.null()), ("int64", pa.int64()), ("str", pa.large_string()), ("bool", pa.bool_()),
    ("decimal(5,1)", pa.decimal128(5, 1)), ("int16", pa.int16()), ("uuid", pa.binary(16)),
])
def test_empty_columns(dtype, arrow_type):
    column = arrow_column(b"", "c", dtypes={"c": dtype} if dtype else None)
    array = pa.array(column)
    array.validate(full=True)
    assert (array.type, len(array)) == (arrow_type, 0)


def test_capsules_are_handed_out_once():
    column = arrow_column(ndjson({"c": 1}, {"c": 2}), "c")
    schema, array = column.__arrow_c_array__(requested_schema=pa.schema([("x", pa.string())]))
    assert (type(schema).__name__, type(array).__name__) == ("PyCapsule", "PyCapsule")
    for again in (lambda: column.__arrow_c_array__(), lambda: column.__arrow_c_array__(None), lambda: pa.array(column)):
        with pytest.raises(RuntimeError, match="^this column has already been handed to a consumer$"):
            again()
    imported = pa.Array._import_from_c_capsule(schema, array)
    assert imported.to_pylist() == [1, 2]
    # the capsules are empty now: importing them again is pyarrow's error, and releases nothing twice
    with pytest.raises(pa.ArrowInvalid):
        pa.Array._import_from_c_capsule(schema, array)
    with pytest.raises(TypeError):
        column.__arrow_c_array__(1, 2)
    assert not hasattr(jorvane, "ArrowColumn")


@pytest.mark.parametrize("path", ["drop the column", "drop both capsules", "import the schema only",
                                  "drop the array on another thread", "list column, drop the capsules"])
def test_every_consumer_path_releases_once(path):
    src = ndjson({"c": [1, 2]}, {"c": [3]}) if path.startswith("list") else ndjson({"c": "a"}, {"c": None})
    before = jorvane._arrow_export_counters()
    column = arrow_column(src, "c")
    exported = jorvane._arrow_export_counters()[0] - before[0]
    assert exported == (2 if path.startswith("list") else 1)
    if path == "drop the column":
        del column
    elif path in ("drop both capsules", "list column, drop the capsules"):
        capsules = column.__arrow_c_array__()
        del column
        assert jorvane._arrow_export_counters()[1] == before[1]
        del capsules
    elif path == "import the schema only":
        schema, array = column.__arrow_c_array__()
        assert pa.Field._import_from_c_capsule(schema).type == pa.large_string()
        del schema, array
    else:
        holder = [pa.array(column)]
        t = threading.Thread(target=holder.pop)
        t.start()
        t.join()
    gc.collect()
    after = jorvane._arrow_export_counters()
    assert after[1] - before[1] == exported


def test_arrow_export_counters_start_at_zero(child_env):
    code = "import jorvane; assert jorvane._arrow_export_counters() == (0, 0)"
    proc = subprocess.run([sys.executable, "-c", code], env=child_env, capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr
    with pytest.raises(TypeError):
        jorvane._arrow_export_counters(1)


OBJECTS = ('column "c" holds JSON objects; struct columns are deliberately not supported \u2014 extract the fields you '
           'need as their own columns (e.g. "c.field"), or take the rows via to_dict()')
ARRAYS = ('column "c" holds arrays with no single element type (nested or mixed-element lists); only one level of '
          'like-typed list is supported \u2014 flatten with a deeper path (e.g. "c[*]"), or take the rows via to_dict()')
MIXED = ('column "c" holds mixed types and has no single Arrow type; convert with to_dict()/to_polars(), or declare a '
         'dtype to narrow the data')


@pytest.mark.parametrize("cells, message", [
    ([{"a": 1}, None, {}], OBJECTS),
    ([[1], [[2]]], ARRAYS),
    ([[{"a": 1}]], ARRAYS),
    ([[1], "s"], MIXED),
    ([1, "s"], MIXED),
    ([2 ** 64], MIXED),
])
def test_columns_without_an_arrow_type_are_refused(cells, message):
    src = ndjson(*[{} if v is None else {"c": v} for v in cells])
    # The column is checked before any is freed, the refused column last:
    # the table stays whole for the conversions the refusal advises.
    t = table(src, "", ["id", "n", "c"], dtypes={"n": "int64?"})
    before = repr(t)
    with pytest.raises(ValueError) as info:
        t.to_arrow()
    assert str(info.value) == message
    assert repr(t) == before and t.column("c") == cells
    assert t.to_dict() == {"id": [None] * len(cells), "n": [None] * len(cells), "c": cells}
    assert repr(t) == f"Table({len(cells)} rows, converted)"
    # polars takes such a column as Python objects, also after a refused to_arrow()
    pl = pytest.importorskip("polars")
    t = table(src, "", ["c"])
    with pytest.raises(ValueError):
        t.to_arrow()
    df = t.to_polars()
    assert df.schema["c"] == pl.Object and df["c"].to_list() == cells


def normalise(value):
    """One comparable form for what to_dict(), pyarrow and polars give for the same cell."""
    if hasattr(value, "tolist"):
        value = value.tolist()
    if isinstance(value, list):
        return [normalise(v) for v in value]
    if isinstance(value, float) and math.isnan(value):
        return None
    if isinstance(value, uuid.UUID):
        return value.bytes
    if isinstance(value, decimal.Decimal):
        return ("dec", value)
    return value


def random_records(rng, n):
    def cell(kind):
        r = rng.random()
        if r < 0.15:
            return None
        return {
            "i": lambda: rng.randrange(-10 ** 12, 10 ** 12),
            "f": lambda: rng.choice([rng.uniform(-1e6, 1e6), rng.randrange(100)]),
            "b": lambda: rng.random() < 0.5,
            "s": lambda: rng.choice(["", "x", "\u00e9t\u00e9", "a\"b", "\U0001F600"]) * rng.randrange(3),
            "t": lambda: rng.choice(["2024-01-01T00:00:00Z", "1999-12-31T23:59:59.5Z", "1970-01-01"]),
            "d": lambda: round(rng.uniform(-1000, 1000), 2),
            "l": lambda: [rng.randrange(10) for _ in range(rng.randrange(4))],
            "ls": lambda: [rng.choice(["p", "q", None]) for _ in range(rng.randrange(3))],
        }[kind]()

    out = []
    for _ in range(n):
        rec = {}
        for k in ("i", "f", "b", "s", "t", "d", "l", "ls"):
            v = cell(k)
            if v is not None or rng.random() < 0.5:
                rec[k] = v
        out.append(rec)
    return out


DTYPES = {"t": "timestamp?", "d": "decimal(12,2)?"}


@pytest.mark.parametrize("seed", range(6))
def test_to_arrow_and_to_polars_agree_with_to_dict(seed):
    pl = pytest.importorskip("polars")
    rng = random.Random(seed)
    src = ndjson(*random_records(rng, rng.randrange(0, 60)))
    columns = ["i", "f", "b", "s", "t", "d", "l", "ls"]
    reference = {k: normalise(v) for k, v in table(src, "", columns, dtypes=DTYPES).to_dict().items()}

    arrow = table(src, "", columns, dtypes=DTYPES).to_arrow()
    arrow.validate(full=True)
    assert arrow.column_names == columns
    assert {k: normalise(v) for k, v in arrow.to_pydict().items()} == reference

    frame = table(src, "", columns, dtypes=DTYPES).to_polars()
    assert frame.columns == columns
    got = {k: normalise(v) for k, v in frame.to_dict(as_series=False).items()}
    # polars reads a column with no value anywhere as Python objects (None each)
    assert got == reference


def test_conversions_of_an_empty_table():
    pl = pytest.importorskip("polars")
    arrow = table(b"", "", ["a", "b"], dtypes={"b": "int64"}).to_arrow()
    assert arrow.schema == pa.schema([("a", pa.null()), ("b", pa.int64())]) and arrow.num_rows == 0
    frame = table(b"", "", ["a", "b"], dtypes={"b": "int64"}).to_polars()
    assert frame.shape == (0, 2) and frame.schema["b"] == pl.Int64


@pytest.mark.parametrize("package, method", [("pyarrow", "to_arrow"), ("polars", "to_polars")])
def test_missing_packages_leave_the_table_intact(package, method, child_env):
    code = (
        f"import sys; sys.modules[{package!r}] = None\n"
        "import jorvane\n"
        "t = jorvane.table(b'{\"a\": 1}', '', ['a'])\n"
        "try:\n"
        f"    t.{method}()\n"
        "except ImportError as e:\n"
        "    print(e)\n"
        "assert t.to_dict()['a'].tolist() == [1]\n"
    )
    proc = subprocess.run([sys.executable, "-c", code], env=child_env, capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == f"{method}() needs {package} installed; use to_dict() for a plain dict of lists"

