import inspect
import itertools
import re
import os

import pytest

import jorvane

PLAIN = ["Count", "CountUnique", "ValueCounts", "Exists", "Min", "Max", "Sum", "Mean", "Product", "Mode", "Types"]


def test_plain_constructors_take_no_arguments_and_render_their_name():
    for name in PLAIN:
        ctor = getattr(jorvane, name)
        acc = ctor()
        assert isinstance(acc, jorvane.Accumulator)
        assert repr(acc) == name + "()"
        assert str(inspect.signature(ctor)) == "()"
        with pytest.raises(TypeError):
            ctor(1)


def test_streaming_constructors():
    for name in ("Values", "ValuesUnique"):
        ctor = getattr(jorvane, name)
        assert repr(ctor()) == f"{name}(into=None, numeric=False)"
        assert repr(ctor([], True)) == f"{name}(into=<dst>, numeric=True)"
        assert repr(ctor(into=None, numeric=True)) == f"{name}(into=None, numeric=True)"
        assert str(inspect.signature(ctor)) == "(into=None, numeric=False)"
        with pytest.raises(TypeError, match="numeric"):
            ctor(numeric=1)
        with pytest.raises(TypeError):
            ctor(bogus=1)


def test_registered_classes_cannot_be_built_from_python():
    assert jorvane.Accumulator.__doc__ == "A single accumulator plus, for streaming kinds, an optional destination."
    for cls in (jorvane.Accumulator, jorvane.NumericBuffer, jorvane.QueryResult):
        with pytest.raises(TypeError):
            cls()


def test_active_kernel_names_a_kernel_this_cpu_runs():
    names = {jorvane._active_kernel() for _ in range(3)}
    assert len(names) == 1
    assert names <= {"avx512", "avx2", "neon", "scalar"}
    # A run that knows its processor (an emulated one) names the kernel it must get.
    expected = os.environ.get("JORVANE_EXPECT_KERNEL")
    if expected:
        assert names == {expected}
    with pytest.raises(TypeError):
        jorvane._active_kernel(1)
    assert str(inspect.signature(jorvane._active_kernel)) == "()"


def test_every_registered_function_has_a_signature():
    for name in jorvane.__all__:
        obj = getattr(jorvane, name)
        if isinstance(obj, type) and name not in ("Query", "Source"):
            assert obj.__doc__  # plain docstring, no constructor
            continue
        if callable(obj):
            inspect.signature(obj)  # raises ValueError without a text signature


KINDS = ["count", "count_unique", "value_counts", "exists", "min", "max", "sum", "mean", "product", "mode", "types",
         "values", "values_unique"]
READERS = ["count", "count_unique", "exists", "min", "max", "sum", "mean", "product", "agg_skipped", "mode",
           "value_counts", "types"]
# What each reader gives over the matches of "[*]" in MIXED, worked out by hand.
MIXED = b'[3, "x", 3, null, true, "x", 3, -1.5, false]'
MIXED_ANSWERS = {
    "count": 9, "count_unique": 6, "exists": True, "min": -1.5, "max": 3.0, "sum": 7.5, "mean": 1.875,
    "product": -40.5, "agg_skipped": 5, "mode": [[3, 3]],
    "value_counts": {3: 3, "x": 2, None: 1, True: 1, -1.5: 1, False: 1},
    "types": {"number", "string", "null", "boolean"},
}


def answers(doc, kinds):
    r = jorvane.Query(doc, "[*]", list(kinds)).result()
    return {name: getattr(r, name)() for name in READERS}, repr(r)


def gives(answer, reader):
    return answer is not None and not (reader == "agg_skipped" and answer == 0)


@pytest.mark.parametrize("doc", [MIXED, b'["a", "b", "a"]', b"[]", b"{}"])
def test_readers_agree_whatever_shares_the_query(doc):
    # Accumulators on one query share state (ValueCounts answers count_unique
    # and mode, Values counts, ...). A reader answers exactly when one of the
    # accumulators asked for answers it alone, and then with that answer.
    alone = {kind: answers(doc, [kind])[0] for kind in KINDS}
    truth = {}
    for kind in KINDS:
        for reader, value in alone[kind].items():
            if gives(value, reader):
                assert truth.setdefault(reader, value) == value, (reader, kind)
    if doc == MIXED:
        assert truth == MIXED_ANSWERS
        assert all(alone[kind]["exists"] is True for kind in KINDS)  # whatever was asked for
    for size in (2, 3):
        for combo in itertools.combinations(KINDS, size):
            got, text = answers(doc, combo)
            for reader in READERS:
                answered = any(gives(alone[k][reader], reader) for k in combo)
                # ValueCounts stands in for Mode, and an empty map names no mode.
                if reader == "mode" and "value_counts" in combo and truth.get("mode") == []:
                    answered = False
                want = truth[reader] if answered else (0 if reader == "agg_skipped" else None)
                assert got[reader] == want, (combo, reader)
                if reader in ("count", "count_unique", "min", "max", "sum", "mean", "product"):
                    assert (re.search(rf"\b{reader}=", text) is not None) == answered, (combo, text)
