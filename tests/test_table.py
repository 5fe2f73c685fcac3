"""table(), the Table class and its conversions."""
import datetime
import decimal
import json
import math
import pathlib
import re
import uuid

import pytest

import jorvane
from jorvane import table
from jorvane._errors import Corrupted, Incomplete

ONE_SHOT = ("this Table's columns have already been converted. A conversion frees each column as it goes, to keep "
            "peak memory down, so it can only be attempted once \u2014 even a conversion that failed partway has "
            "freed the columns it reached. Keep the result of the first successful call")


def ndjson(*records):
    return "\n".join(json.dumps(r) for r in records).encode()


def test_inferred_columns_and_accessors():
    src = ndjson({"id": 1, "name": "a", "score": 1.5, "ok": True, "tags": [1, 2]},
                 {"id": 2, "score": 2, "ok": None, "tags": None},
                 {"id": 3, "name": "c", "score": None, "ok": False, "tags": []})
    t = table(src, "", ["id", "name", "score", "ok", "tags"])
    assert len(t) == 3 and t.n_rows == 3 and t.bytes_covered is None
    assert t.names == ["id", "name", "score", "ok", "tags"]
    assert t.dtypes == [("id", "int64"), ("name", "str"), ("score", "float64"), ("ok", "bool"), ("tags", "list")]
    assert repr(t) == "Table(3 rows, [id:int64, name:str, score:float64, ok:bool, tags:list])"
    assert t.column("id").tolist() == [1, 2, 3]
    assert t.column("name") == ["a", None, "c"]
    score = t.column("score")
    assert score[0] == 1.5 and score[1] == 2.0 and math.isnan(score[2])
    assert t.column("ok") == [True, None, False]
    assert t.column("tags") == [[1, 2], None, []]
    with pytest.raises(ValueError, match=r'^no column named "nope"$'):
        t.column("nope")
    d = t.to_dict()
    assert list(d) == t.names and d["tags"] == [[1, 2], None, []]
    # one-shot: the accessors stay, the conversions are refused
    for again in (t.to_dict, lambda: t.column("id"), t.to_pandas):
        with pytest.raises(RuntimeError) as info:
            again()
        assert str(info.value) == ONE_SHOT
    assert t.names == ["id", "name", "score", "ok", "tags"] and len(t) == 3
    assert t.dtypes == [(n, "object") for n in t.names]
    assert repr(t) == "Table(3 rows, converted)"


def test_rows_limits_and_multiple_matches():
    src = json.dumps({"items": [{"id": i, "t": ["x"] * (i % 3)} for i in range(5)]}).encode()
    t = table(src, "items[*]", {"id": "id", "tags": "t[*]"}, on_multi="list")
    d = t.to_dict()
    assert list(d["id"]) == [0, 1, 2, 3, 4] and d["tags"] == [None, "x", ["x", "x"], None, "x"]
    t = table(src, "items[*]", {"id": "id", "tags": "t[*]"}, on_multi="first", limit=2)
    assert len(t) == 2 and t.bytes_covered == len(src)
    assert repr(t).endswith(f", stopped at byte {len(src)})")
    t.to_dict()
    assert repr(t) == f"Table(2 rows, converted, stopped at byte {len(src)})"
    assert table(src, "items[*]", ["id"], limit=99).bytes_covered is None
    with pytest.raises(ValueError, match=r'matched 2 times in one row; pass on_multi="list"'):
        table(src, "items[*]", {"tags": "t[*]"})
    empty = table(b"", "", ["a", "b"])
    assert len(empty) == 0 and repr(empty) == "Table(0 rows, [a:object, b:object])"
    assert empty.to_dict() == {"a": [], "b": []}


@pytest.mark.parametrize("collector_on", [True, False])
def test_list_and_mixed_columns_leave_the_collector_as_they_found_it(collector_on):
    # Making a column of Python lists holds the cyclic collector off; it must
    # come back on afterwards, and stay off for a caller who switched it off.
    import gc
    src = ndjson(*({"l": [i, i + 1], "m": [i] if i % 2 else "s"} for i in range(50)))
    (gc.enable if collector_on else gc.disable)()
    try:
        d = table(src, "", {"l": "l", "m": "m"}).to_dict()
        assert d["l"][3] == [3, 4] and d["m"][:2] == ["s", [1]]
        assert gc.isenabled() is collector_on
    finally:
        gc.enable()


def test_declared_dtypes():
    src = ndjson({"i": 1, "t": "2024-01-01T10:00:00+01:00", "u": "12345678-1234-5678-1234-567812345678",
                  "d": 12.34, "s": 5, "n": 1},
                 {"i": None, "t": "2024-02-29", "u": "0" * 32, "d": 1, "s": -128, "n": None})
    t = table(src, "", ["i", "t", "u", "d", "s", "n"],
              dtypes={"i": "int64?", "t": "timestamp", "u": "uuid", "d": "decimal(10,2)", "s": "int8", "n": "int32 ?"})
    assert t.dtypes == [("i", "int64"), ("t", "timestamp"), ("u", "uuid"), ("d", "decimal"), ("s", "int8"),
                        ("n", "int32")]
    d = t.to_dict()
    assert d["i"] == d["n"] == [1, None]
    utc = datetime.timezone.utc
    assert d["t"] == [datetime.datetime(2024, 1, 1, 9, tzinfo=utc), datetime.datetime(2024, 2, 29, tzinfo=utc)]
    assert d["u"] == [uuid.UUID("12345678-1234-5678-1234-567812345678"), uuid.UUID(int=0)]
    assert d["d"] == [decimal.Decimal("12.34"), decimal.Decimal("1.00")]
    assert d["s"] == [5, -128]
    with pytest.raises(ValueError) as info:
        table(ndjson({"i": 1}, {"i": None}), "", ["i"], dtypes={"i": "int64"})
    assert str(info.value) == ('data does not fit the requested shape: column "i" is declared int64 but row 1 holds '
                               'null (declare "int64?" to accept explicit nulls)')


# dtype texts refused with a reason, and the reason
DTYPE_REASONS = {
    **dict.fromkeys(["half", "float16"], "float16 is deliberately not supported: JSON numbers are parsed at full "
                    "precision, and half-float support is patchy across pandas and parquet \u2014 declare \"float32\""),
    **dict.fromkeys(["uint8", "uint16", "uint32", "uint64"], "unsigned integer widths are not supported yet; declare the "
                    "next wider signed type, or \"decimal(20,0)\" for the full uint64 range"),
    **dict.fromkeys(["bytes", "binary", "large_binary"], "binary columns are deliberately not supported: JSON has no "
                    "binary values, only encoded strings \u2014 keep the base64/hex string as \"str\" (fixed 16-byte "
                    "ids are covered by \"uuid\")"),
    **dict.fromkeys(["category", "dictionary", "categorical"], "dictionary/categorical encoding is deliberately not "
                    "supported as a column type: it is a storage optimization, and the parquet writer already "
                    "applies dictionary encoding on disk \u2014 declare the logical type (\"str\") instead"),
}


@pytest.mark.parametrize("case", [
    *[(dict(dtypes={"a": text + mark}), ValueError,
       "^" + re.escape(f'dtype "{text + mark}" for column "a": {reason}') + "$")
      for text, reason in DTYPE_REASONS.items() for mark in ("", "?", " ?")],
    (dict(limit=0), ValueError, r"^limit must be at least 1 \(omit it for no limit\)$"),
    (dict(columns="a"), ValueError, r"^columns must be a \{name: path\} dict or a list of paths$"),
    (dict(columns={"a": 1}), TypeError, r"int"),
    (dict(on_multi="First"), ValueError, r'^on_multi must be "error", "first", "last" or "list", not "First"$'),
    (dict(dtypes={"a": "Int64"}), ValueError, r'^unknown dtype "Int64" for column "a"; expected'),
    (dict(dtypes={"a": "uint8?"}), ValueError, r'^dtype "uint8\?" for column "a": unsigned integer widths'),
    (dict(dtypes={"a": "int64 "}), ValueError, r'^unknown dtype "int64 " for column "a"'),
    (dict(dtypes={"a": "?"}), ValueError, r'^unknown dtype "\?" for column "a"'),
    (dict(dtypes={"zz": "int64"}), ValueError, r'^invalid input: dtype declared for unknown column "zz"$'),
    (dict(mode="fast"), ValueError, r"^unknown mode"),
    (dict(rows=None), TypeError, r"rows"),
    (dict(dtypes=[]), TypeError, r"dtypes"),
], ids=lambda c: str(c[0]) if isinstance(c, dict) else "")
def test_refusals(case):
    kwargs, exc, pattern = case
    args = dict(source="/nonexistent/never-opened.json", rows="", columns=["a"])
    args.update(kwargs)
    if "dtypes" in kwargs and exc is ValueError and "unknown column" in pattern:
        args["source"] = b"{}"
    with pytest.raises(exc, match=pattern):
        table(args.pop("source"), args.pop("rows"), args.pop("columns"), **args)


def test_input_errors_carry_no_partial_results():
    with pytest.raises(Incomplete) as info:
        table(b'{"a":1}\n{"a":[', "", ["a"])
    assert info.value.recover() == []
    with pytest.raises(Corrupted):
        table(b'{"a":1}]', "", ["a"])
    with pytest.raises(ValueError, match=r"^table\(\) takes a single source, got 2"):
        table([b"{}", b"{}"], "", ["a"])


def test_to_pandas():
    pandas = pytest.importorskip("pandas")
    src = ndjson({"i": 1, "f": 1.5, "t": "1970-01-01", "s": 1}, {"i": None, "f": None, "t": None, "s": 2})
    df = table(src, "", ["i", "f", "t", "s"], dtypes={"t": "timestamp?", "s": "int8"}).to_pandas()
    assert list(df.columns) == ["i", "f", "t", "s"]
    assert str(df["i"].dtype) == "Int64" and df["i"].isna().tolist() == [False, True]
    assert str(df["s"].dtype) == "Int8"
    assert str(df["t"].dtype) == "datetime64[us, UTC]" and pandas.isna(df["t"][1])
    assert math.isnan(df["f"][1])


def test_more_conversions():
    pandas = pytest.importorskip("pandas")
    src = ndjson({"b": True, "s": "x", "d": "12.5"}, {"b": None, "s": None, "d": 1})
    src = src.replace(b'"12.5"', b"12.5")
    df = table(src, "", ["b", "s", "d"], dtypes={"d": "decimal(38,2)"}).to_pandas()
    assert df["b"].tolist()[0] is True and df["s"].isna().tolist() == [False, True]
    assert df["d"].tolist() == [decimal.Decimal("12.50"), decimal.Decimal("1.00")]
    # every digit of a 38-digit decimal survives, beyond decimal's default 28-digit context
    big = "123456789012345678901234567890123456.78"
    t = table(b'{"d": ' + big.encode() + b"}", "", ["d"], dtypes={"d": "decimal(38,2)"})
    assert t.to_dict()["d"] == [decimal.Decimal(big)]


def test_string_columns_in_pandas_are_what_pandas_makes_of_the_strings():
    # Strings may go over to pandas in Arrow: the column must be the one pandas
    # builds from the same str objects, dtype, missing values and text alike.
    pandas = pytest.importorskip("pandas")
    src = b'{"s":"x"}\n{}\n{"s":null}\n{"s":"\\u00e9\\ud800 \xff"}\n{"s":""}\n{"s":"q\\"\\n"}\n'
    t = table(src, "", ["s"])
    as_list = table(src, "", ["s"]).to_dict()["s"]
    df = t.to_pandas()
    expected = pandas.Series(as_list, name="s")
    assert df["s"].dtype == expected.dtype
    pandas.testing.assert_series_equal(df["s"], expected)


def test_string_and_string_list_columns_keep_every_text():
    # Few distinct strings share their objects; many distinct or long ones do
    # not: either way every row holds its own text, missing ones None.
    words = ["a", "b", "", "\u00e9", "x" * 100]
    records = []
    for i in range(12000):
        s = words[i % 5] if i < 6000 else f"w{i}"
        tags = None if i % 7 == 0 else [None if j == 1 else (words[(i + j) % 5] if i % 2 else f"t{i}-{j}")
                                          for j in range(i % 4)]
        records.append({"s": None if i % 11 == 0 else s, "tags": tags})
    # column() reads the table in place; to_dict() and to_pandas() take its
    # columns and free the texts of lists of strings before making the lists.
    t = table(ndjson(*records), "", {"s": "s", "tags": "tags"})
    kept = t.column("tags")
    d = t.to_dict()
    assert d["s"] == [r["s"] for r in records]
    assert d["tags"] == [r["tags"] for r in records] == kept
    pandas = pytest.importorskip("pandas")
    assert table(ndjson(*records), "", {"tags": "tags"}).to_pandas()["tags"].tolist() == kept


def test_every_pandas_column_can_be_written():
    # The frame takes the converted columns without copying them: each must
    # be its own writable array.
    pytest.importorskip("pandas")
    src = ndjson({"i": 1, "n": 1, "f": 1.5, "b": True, "s": "x", "t": "1970-01-01", "l": ["a"], "m": 1},
                 {"i": 2, "n": None, "f": 2.5, "b": False, "s": "y", "t": "1970-01-02", "l": ["b", "c"], "m": "z"})
    df = table(src, "", ["i", "n", "f", "b", "s", "t", "l", "m"], dtypes={"t": "timestamp"}).to_pandas()
    before = df.iloc[1].tolist()
    for j in range(len(df.columns)):
        df.iloc[0, j] = df.iloc[1, j]
    assert df.iloc[0].tolist() == df.iloc[1].tolist() == before


def test_failing_read_is_a_runtime_error():
    class Failing:
        def read(self, n=-1):
            raise OSError("disk on fire")

    with pytest.raises(RuntimeError, match=r"^error reading source #0: .*disk on fire"):
        table(Failing(), "", ["a"])


def run_strict(code):
    """Runs `code` in a fresh interpreter in development mode with warnings as errors."""
    import os
    import subprocess
    import sys
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([str(pathlib.Path(jorvane.__file__).parent.parent), env.get("PYTHONPATH", "")])
    proc = subprocess.run([sys.executable, "-X", "dev", "-W", "error", "-c", code], env=env, capture_output=True,
                          text=True)
    assert proc.returncode == 0, proc.stderr


def test_without_numpy_columns_are_lists():
    run_strict(
        "import sys; sys.modules['numpy'] = None\n"
        "import jorvane\n"
        "t = jorvane.table(b'{\"i\":1,\"f\":1.5}\\n{\"i\":2,\"f\":null}', '', ['i', 'f'])\n"
        "d = t.to_dict()\n"
        "assert d == {'i': [1, 2], 'f': [1.5, None]}, d\n"
    )


def test_dev_mode_and_warnings_as_errors_stay_clean():
    run_strict(
        "import jorvane\n"
        "t = jorvane.table(b'{\"a\":{\"b\":[1,2]},\"t\":\"2024-01-01\"}', '', {'b': 'a.b', 't': 't'}, "
        "dtypes={'t': 'timestamp'})\n"
        "t.column('b'); repr(t); t.to_dict()\n"
        "try:\n    t.to_dict()\nexcept RuntimeError:\n    pass\n"
    )


def python_cells(records, path, on_multi):
    """What one column should hold, worked out with json.loads."""
    out = []
    for rec in records:
        matches = []
        node = rec
        for step in path.split("."):
            if step == "*":
                matches = [x for x in (node if isinstance(node, list) else [])]
                break
            if not isinstance(node, dict) or step not in node:
                node = None
                break
            node = node[step]
        else:
            if node is not None or (isinstance(rec, dict) and path in rec):
                matches = [node]
        if path.endswith(".*"):
            pass
        if not matches:
            out.append(None)
        elif len(matches) == 1:
            out.append(matches[0])
        else:
            out.append({"first": matches[0], "last": matches[-1], "list": matches}[on_multi])
    return out


def test_tables_agree_with_a_python_loop():
    import random
    rng = random.Random(3)

    def scalar():
        return rng.choice([None, 1, -7, 2.5, "s", "\u00e9", True, False])

    def value(depth=0):
        r = rng.random()
        if depth < 2 and r < 0.15:
            return [value(depth + 1) for _ in range(rng.randrange(3))]
        if depth < 2 and r < 0.25:
            return {"k": value(depth + 1)}
        return scalar()

    for trial in range(40):
        records = []
        for _ in range(rng.randrange(1, 30)):
            rec = {}
            for key in ("a", "b", "c"):
                if rng.random() < 0.8:
                    rec[key] = value()
            records.append(rec)
        src = ndjson(*records)
        for on_multi in ("first", "last", "list"):
            t = table(src, "", {"a": "a", "b": "b", "ck": "c.k", "all": "c[*]"}, on_multi=on_multi)
            got = {k: (v.tolist() if hasattr(v, "tolist") else v) for k, v in t.to_dict().items()}
            expected = {
                "a": python_cells(records, "a", on_multi),
                "b": python_cells(records, "b", on_multi),
                "ck": python_cells(records, "c.k", on_multi),
                "all": python_cells(records, "c.*", on_multi),
            }
            for name in expected:
                want = [normalise(x) for x in expected[name]]
                have = [normalise(x) for x in got[name]]
                assert have == want, (name, on_multi, src)


def normalise(x):
    """Numbers compared by value, whatever their Python type (int, float, Decimal)."""
    if isinstance(x, bool) or x is None or isinstance(x, str):
        return x
    if isinstance(x, (int, float, decimal.Decimal)):
        return ("n", float(x)) if not (isinstance(x, float) and math.isnan(x)) else None
    if isinstance(x, list):
        return [normalise(y) for y in x]
    if isinstance(x, dict):
        return {k: normalise(v) for k, v in x.items()}
    return x
