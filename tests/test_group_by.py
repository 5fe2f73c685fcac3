"""group_by(): arguments and their refusals in order, aggregates and their
typing, max_groups, and a differential test against a plain Python loop."""
import decimal
import json
import math
import random

import pytest

import jorvane
from jorvane import group_by
from jorvane._errors import Corrupted, Incomplete

SHAPE = "data does not fit the requested shape: "
MAX_GROUPS = ("group_by exceeded max_groups={} distinct groups; raise max_groups= if this cardinality is intended "
              "(memory is proportional to the number of groups)")
UNKNOWN_OP = ('unknown aggregate {} for {}; expected "count", "sum", "min", "max", "mean", "count_unique", "first", '
              'or "last"')


def ndjson(*records):
    return "\n".join(r if isinstance(r, str) else json.dumps(r) for r in records).encode()


def plain(column):
    """A converted column as a list, NaN (a missing float) as None."""
    values = column.tolist() if hasattr(column, "tolist") else list(column)
    return [None if isinstance(v, float) and math.isnan(v) else v for v in values]


def grouped(src, by, agg, **kwargs):
    t = group_by(src, "", by, agg, **kwargs)
    dtypes = dict(t.dtypes)
    return dtypes, {name: plain(col) for name, col in t.to_dict().items()}


BASE = dict(source=b'{"k":1,"v":2}', rows="", by="k", agg={"n": "count"})


@pytest.mark.parametrize("case", [
    # argument types, in signature order, before anything else
    (dict(rows=None, by=5), TypeError, "argument 'rows'"),
    (dict(agg=None, by=5), TypeError, "argument 'agg'"),
    (dict(agg=[("n", "count")]), TypeError, "argument 'agg'"),
    (dict(on_multi=1, by=5), TypeError, "argument 'on_multi'"),
    (dict(max_groups="3", by=5), TypeError, "argument 'max_groups'"),
    (dict(max_groups=-1, by=5), OverflowError, None),
    (dict(mode=1, by=5), TypeError, "argument 'mode'"),
    (dict(use_float=1, by=5), TypeError, "argument 'use_float'"),
    # by=
    (dict(by=5), ValueError, "by= must be a {name: path} dict, a path string, or a list of paths"),
    (dict(by=["a", 1]), ValueError, "by= must be a {name: path} dict, a path string, or a list of paths"),
    (dict(by={"k": 1}), TypeError, "'int' object cannot be converted to 'str'"),
    (dict(by={1: "k"}), TypeError, "'int' object cannot be converted to 'str'"),
    # agg=, item by item, before the empty checks
    (dict(agg={1: "count"}), TypeError, "'int' object cannot be converted to 'str'"),
    (dict(agg={"s": ["sum", "v"]}), ValueError, 'agg "s" must be "count" or an (op, path) tuple'),
    (dict(agg={"s": ("sum", "v", "w")}), ValueError, 'agg "s" must be "count" or an (op, path) tuple'),
    (dict(agg={"s": ("sum", 1)}), ValueError, 'agg "s" must be "count" or an (op, path) tuple'),
    (dict(agg={"s": ("Sum", "v")}), ValueError, UNKNOWN_OP.format('"Sum"', '"s"')),
    (dict(agg={"s": "average"}), ValueError, UNKNOWN_OP.format('"average"', '"s"')),
    (dict(agg={"c": ("count", "v")}), ValueError, 'aggregate "c": "count" counts rows and takes no path'),
    (dict(agg={"s": "sum"}), ValueError, 'aggregate "s" (sum) needs a path: ("sum", "some.path")'),
    (dict(agg={"s": ("sum",)}), ValueError, 'aggregate "s" (sum) needs a path: ("sum", "some.path")'),
    (dict(agg={"m": "avg"}), ValueError, 'aggregate "m" (mean) needs a path: ("mean", "some.path")'),
    (dict(agg={"bad": "sum"}, by={}), ValueError, 'aggregate "bad" (sum) needs a path: ("sum", "some.path")'),
    # an empty agg= is refused before the source is opened, an empty by= only once it is open
    (dict(agg={}), ValueError, "agg= must name at least one aggregate"),
    (dict(by={}, agg={}), ValueError, "agg= must name at least one aggregate"),
    (dict(by=[], source="/nonexistent/never-opened.json"), ValueError,
     'not a readable file: "/nonexistent/never-opened.json"'),
    (dict(by={}, on_multi="First"), ValueError, 'on_multi must be "error", "first", "last" or "list", not "First"'),
    (dict(by={}, source=[b"{}", b"{}"]), ValueError,
     "group_by() takes a single source, got 2 (rows from different sources would have no defined order)"),
    (dict(by={}), ValueError, "invalid input: group_by needs at least one key column (by=)"),
    (dict(by=[], source=b""), ValueError, "invalid input: group_by needs at least one key column (by=)"),
    # unique output names, then the options, then the source
    (dict(by=["a", "a"]), ValueError, 'output column "a" appears more than once across by= and agg='),
    (dict(by={"k": "k"}, agg={"n": "count", "k": ("sum", "v")}), ValueError,
     'output column "k" appears more than once across by= and agg='),
    (dict(on_multi="First", source="/nonexistent/never-opened.json"), ValueError,
     'on_multi must be "error", "first", "last" or "list", not "First"'),
    (dict(mode="fast", source="/nonexistent/never-opened.json"), ValueError, None),
    (dict(source=[b"{}", b"{}"]), ValueError,
     "group_by() takes a single source, got 2 (rows from different sources would have no defined order)"),
], ids=lambda c: str(c[0]) if isinstance(c, dict) else "")
def test_refusals(case):
    kwargs, exc, message = case
    args = dict(BASE)
    args.update(kwargs)
    with pytest.raises(exc) as info:
        group_by(args.pop("source"), args.pop("rows"), args.pop("by"), args.pop("agg"), **args)
    if exc is TypeError:  # the binding layer's text goes on after the argument's name
        assert str(info.value).startswith(message)
    elif message is not None:
        assert str(info.value) == message


@pytest.mark.parametrize("case", [
    # (records, by, agg, expected dtypes, expected columns)
    ([{"repo": {"name": "x"}}, {"repo": {"name": "y"}}, {"repo": {"name": "x"}}], "repo.name", {"n": "count"},
     {"repo.name": "str", "n": "int64"}, {"repo.name": ["x", "y"], "n": [2, 1]}),
    ([{"a": 1, "b": "x"}, {"a": 1, "b": "y"}, {"a": 1, "b": "x"}], ["a", "b"], {"n": "count"},
     {"a": "int64", "b": "str", "n": "int64"}, {"a": [1, 1], "b": ["x", "y"], "n": [2, 1]}),
    # a missing key and a null key are one group, whose key is null
    ([{"k": None}, {"k": "a"}, {}], {"key": "k"}, {"n": "count"}, {"key": "str", "n": "int64"},
     {"key": [None, "a"], "n": [2, 1]}),
    # 1 and 1.0 are one key; the key column shows the group's first row
    (['{"k":1}', '{"k":1.0}', '{"k":"1"}', '{"k":100e-2}'], "k", {"n": "count"}, {"k": "object", "n": "int64"},
     {"k": [1, "1"], "n": [3, 1]}),
    # sums: exact integers, then a float anywhere makes the column float
    ([{"k": "a", "v": 1}, {"k": "a", "v": 2}, {"k": "a", "v": 3}], "k", {"s": ("sum", "v")},
     {"k": "str", "s": "int64"}, {"k": ["a"], "s": [6]}),
    ([{"k": "a", "v": 1}, {"k": "a", "v": 2}, {"k": "a", "v": 3}, {"k": "b", "v": 0.5}, {"k": "c", "v": None}],
     "k", {"s": ("sum", "v")}, {"k": "str", "s": "float64"}, {"k": ["a", "b", "c"], "s": [6.0, 0.5, None]}),
    # sums past 2^53 stay exact while the column is integral
    ([{"k": 1, "v": 9007199254740993}, {"k": 1, "v": 1}, {"k": 1, "v": -2}], "k", {"s": ("sum", "v")},
     {"k": "int64", "s": "int64"}, {"k": [1], "s": [9007199254740992]}),
    ([{"k": 1, "v": 2 ** 62}, {"k": 1, "v": 2 ** 62}, {"k": 1, "v": -(2 ** 62)}, {"k": 1, "v": 2 ** 62 - 1}], "k",
     {"s": ("sum", "v")}, {"k": "int64", "s": "int64"}, {"k": [1], "s": [2 ** 63 - 1]}),
    # avg is mean; mean and min over a group of missing values are null, count still counts
    ([{"k": 1, "v": 1}, {"k": 1, "v": 2}, {"k": 2}, {"k": 2, "v": None}], "k",
     {"m": ("avg", "v"), "lo": ("min", "v"), "hi": ("max", "v"), "n": "count"},
     {"k": "int64", "m": "float64", "lo": "float64", "hi": "float64", "n": "int64"},
     {"k": [1, 2], "m": [1.5, None], "lo": [1.0, None], "hi": [2.0, None], "n": [2, 2]}),
    # first and last keep any kind of value, count_unique counts JSON-equal values once
    ([{"k": 1, "v": "x"}, {"k": 1, "v": [1, 2]}, {"k": 1, "v": 1}, {"k": 1, "v": 1.0}, {"k": 1, "v": None}], "k",
     {"f": ("first", "v"), "l": ("last", "v"), "u": ("count_unique", "v")},
     {"k": "int64", "f": "str", "l": "float64", "u": "int64"}, {"k": [1], "f": ["x"], "l": [1.0], "u": [3]}),
], ids=["path-string", "path-list", "null-key", "equal-keys", "int-sum", "float-sum", "exact-2^53",
        "int64-max", "mean-min-max", "first-last-unique"])
def test_aggregates(case):
    records, by, agg, dtypes, columns = case
    got_dtypes, got = grouped(ndjson(*records), by, agg)
    assert got_dtypes == dtypes
    assert got == columns


@pytest.mark.parametrize("case", [
    ([{"k": 1, "v": 2 ** 63 - 1}, {"k": 1, "v": 1}], {"s": ("sum", "v")},
     SHAPE + 'group_by aggregate "s" (sum) overflows int64 in one group \u2014 an exact integer sum cannot '
             'represent it'),
    ([{"k": 1, "v": 2 ** 53}, {"k": 1, "v": 1}, {"k": 2, "v": 0.5}], {"s": ("sum", "v")},
     SHAPE + 'group_by aggregate "s" (sum): a float elsewhere in the column forces float64, but one group\'s exact '
             'integer sum (9007199254740993) is not representable in float64'),
    ([{"k": 1, "v": 1}, {"k": 1, "v": "2"}], {"lo": ("min", "v")},
     SHAPE + 'group_by aggregate "lo" (min) expects numbers, but the path produced a string'),
    ([{"k": 1, "v": [1]}], {"m": ("avg", "v")},
     SHAPE + 'group_by aggregate "m" (mean) expects numbers, but the path produced an array'),
    ([{"k": 1, "v": True}], {"s": ("sum", "v")},
     SHAPE + 'group_by aggregate "s" (sum) expects numbers, but the path produced a boolean'),
    ([{"k": [1, 2]}], {"n": "count"}, None),
], ids=["overflow", "not-float64", "min-string", "mean-array", "sum-bool", "key-twice"])
def test_data_refusals(case):
    records, agg, message = case
    by = "k[*]" if message is None else "k"
    with pytest.raises(ValueError) as info:
        group_by(ndjson(*records), "", by, agg)
    if message is None:
        assert str(info.value).startswith(SHAPE + 'column "k[*]" matched 2 times in one row')
    else:
        assert str(info.value) == message


def test_a_sum_overflowing_with_a_float_elsewhere_converts():
    _, got = grouped(ndjson({"k": 1, "v": 2 ** 63 - 1}, {"k": 1, "v": 1}, {"k": 2, "v": 0.5}), "k",
                     {"s": ("sum", "v")})
    assert got["s"] == [9223372036854775808.0, 0.5]


def test_max_groups():
    keys = ndjson(*({"k": k} for k in "abac"))
    with pytest.raises(ValueError) as info:
        group_by(keys, "", "k", {"n": "count"}, max_groups=2)
    assert str(info.value) == SHAPE + MAX_GROUPS.format(2)
    assert plain(group_by(ndjson(*({"k": k} for k in "aba")), "", "k", {"n": "count"}, max_groups=2)
                 .column("n")) == [2, 1]
    with pytest.raises(ValueError, match="max_groups=0 distinct"):
        group_by(keys, "", "k", {"n": "count"}, max_groups=0)
    assert len(group_by(b"", "", "k", {"n": "count"}, max_groups=0)) == 0
    # Left out, the limit is one million groups; None lifts it.
    many = b"\n".join(b"[%d]" % i for i in range(1_000_001))
    for default in ({}, {"max_groups": ...}):
        with pytest.raises(ValueError) as info:
            group_by(many, "", "[0]", {"n": "count"}, **default)
        assert str(info.value) == SHAPE + MAX_GROUPS.format(1000000)
    assert len(group_by(many, "", "[0]", {"n": "count"}, max_groups=None)) == 1_000_001


def test_result_is_a_table_and_input_errors_carry_no_partials():
    t = group_by(ndjson({"k": "a", "v": 1.25}), "", "k", {"m": ("mean", "v"), "f": ("first", "v")}, use_float=True)
    assert isinstance(t, jorvane.Table)
    assert repr(t) == "Table(1 rows, [k:str, m:float64, f:float64])"
    t = group_by(b'{"k":1,"v":[1.5,2]}', "", "k", {"f": ("first", "v")})
    assert t.to_dict()["f"] == [[decimal.Decimal("1.5"), 2]]
    assert group_by(b'{"k":1,"v":[1.5,2]}', "", "k", {"f": ("first", "v")}, use_float=True).to_dict()["f"] == [[1.5, 2]]
    empty = group_by(b"", "", {"key": "k"}, {"n": "count", "s": ("sum", "v"), "f": ("first", "v")})
    assert empty.dtypes == [("key", "object"), ("n", "int64"), ("s", "int64"), ("f", "object")]
    with pytest.raises(Incomplete) as info:
        group_by(b'{"k":1}\n{"k":', "", "k", {"n": "count"})
    assert info.value.recover() == []
    with pytest.raises(Corrupted) as info:
        group_by(b'{"k":1}]', "", "k", {"n": "count"})
    assert info.value.recover() == []


def test_rows_anchor_and_on_multi():
    src = json.dumps({"items": [{"k": "a", "t": [1, 2]}, {"k": "b", "t": [3]}, {"k": "a", "t": []}]}).encode()
    _, got = grouped(src, "k", {"n": "count"})
    assert got == {"k": [None], "n": [1]}
    t = group_by(src, "items[*]", "k", {"last": ("last", "t[*]"), "s": ("sum", "t[*]")}, on_multi="last")
    assert {k: plain(v) for k, v in t.to_dict().items()} == {"k": ["a", "b"], "last": [2, 3], "s": [2, 3]}


# ---- differential: random records against a plain Python computation ----

KEYS = ["x", "y", "z", 1, 1.0, 2.5, True, None, "MISSING"]
VALUES = [0, 1, -7, 2 ** 40, 3, 0.5, -2.25, 1e-3, 12.0, None, "MISSING"]
OTHER = ["s", "t", 1, 1.0, 2, [1], {"a": 1}, None, True, "MISSING"]


def tagged(v):
    """A JSON value as a hashable key under JSON equality (bool is not a number)."""
    if isinstance(v, bool):
        return ("b", v)
    if isinstance(v, (int, float)):
        return ("n", v)  # Python's 1 == 1.0 matches JSON's exact decimal equality here
    if isinstance(v, (list, dict)):
        return ("j", json.dumps(v, sort_keys=True))
    return ("s", v)


def oracle(records, key_names):
    groups = {}
    for r in records:
        key = tuple(tagged(r.get(k)) for k in key_names)
        g = groups.setdefault(key, {"keys": [r.get(k) for k in key_names], "rows": 0, "ints": 0, "floats": 0.0,
                                    "any_float": False, "seen": False, "nums": [], "others": []})
        g["rows"] += 1
        v = r.get("v")
        if v is not None:
            g["seen"] = True
            if isinstance(v, int):
                g["ints"] += v
            else:
                g["floats"] += v
                g["any_float"] = True
            g["nums"].append(float(v))
        if r.get("o") is not None:
            g["others"].append(r["o"])
    any_float = any(g["any_float"] for g in groups.values())
    out = {f"k{i}": [] for i in range(len(key_names))}
    out.update({"n": [], "s": [], "lo": [], "hi": [], "m": [], "u": [], "f": [], "l": []})
    for g in groups.values():
        for i, k in enumerate(g["keys"]):
            out[f"k{i}"].append(k)
        out["n"].append(g["rows"])
        if not g["seen"]:
            out["s"].append(None)
        else:
            out["s"].append(g["floats"] + float(g["ints"]) if any_float else g["ints"])
        nums = g["nums"]
        out["lo"].append(min(nums) if nums else None)
        out["hi"].append(max(nums) if nums else None)
        m = None
        if nums:
            total = 0.0
            for x in nums:
                total += x
            m = total / len(nums)
        out["m"].append(m)
        out["u"].append(len({tagged(o) for o in g["others"]}))
        out["f"].append(g["others"][0] if g["others"] else None)
        out["l"].append(g["others"][-1] if g["others"] else None)
    return out


def same(a, b):
    if isinstance(a, bool) or isinstance(b, bool):
        return a is b
    if isinstance(a, (int, float)) and isinstance(b, (int, float)):
        return a == b
    if isinstance(a, list) and isinstance(b, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict) and isinstance(b, dict):
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    return a == b


@pytest.mark.parametrize("seed", range(12))
def test_against_python(seed):
    rng = random.Random(seed)
    n_keys = 1 + seed % 2
    records = []
    for _ in range(rng.randrange(0, 400)):
        r = {}
        for i in range(n_keys):
            k = rng.choice(KEYS)
            if k != "MISSING":
                r[f"k{i}"] = k
        for field, pool in (("v", VALUES), ("o", OTHER)):
            x = rng.choice(pool)
            if x != "MISSING":
                r[field] = x
        records.append(r)
    if seed % 3 == 0:  # integer sums only
        for r in records:
            if isinstance(r.get("v"), float):
                r["v"] = int(r["v"] * 4)
    src = ndjson(*records)
    key_names = [f"k{i}" for i in range(n_keys)]
    agg = {"n": "count", "s": ("sum", "v"), "lo": ("min", "v"), "hi": ("max", "v"), "m": ("mean", "v"),
           "u": ("count_unique", "o"), "f": ("first", "o"), "l": ("last", "o")}
    t = group_by(src, "", key_names if n_keys > 1 else {"k0": "k0"}, agg, use_float=True,
                 mode=rng.choice(["batched", "pipelined"]))
    got = {name: plain(col) for name, col in t.to_dict().items()}
    expected = oracle([json.loads(line) for line in src.decode().splitlines() if line], key_names)
    assert list(got) == list(expected)
    for name in expected:
        assert same(got[name], expected[name]), name
