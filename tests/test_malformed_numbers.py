"""Read atoms that begin like a number without being one make their source malformed."""
import decimal

import pytest

from jorvane import (Count, CountUnique, Exists, Max, Mean, Min, Mode, Product, Query, Sum, Types, ValueCounts,
                     Values, ValuesUnique, items, kvitems)
from jorvane._errors import Corrupted

MODES = ["batched", "pipelined"]

# (document, query, offset of the byte the error names, values kept before it)
CASES = [
    (b'[-]', "[*]", 1, []),
    (b'[12abc]', "[*]", 3, []),
    (b'[1.2.3]', "[*]", 4, []),
    (b'{"a":[1,-]}', "a[*]", 8, [1]),
    (b'{"a":[1,-]}', "a", 8, []),  # a matched container holding one
    (b'[1,2.5,01]', "[*]", 8, [1, decimal.Decimal("2.5")]),
    (b'[[3],[1,-],4]', "[*]", 8, [[3]]),
]
IDS = ["sign", "letters", "two-points", "member", "container", "leading-zero", "nested"]


@pytest.mark.parametrize("case", CASES, ids=IDS)
@pytest.mark.parametrize("mode", MODES)
def test_values_fail_after_the_values_before(case, mode):
    doc, query, offset, before = case
    kept = []
    q = Query(doc, query, Values(into=kept), mode=mode)
    with pytest.raises(Corrupted) as info:
        q.result()
    assert info.value.offset == offset
    assert "invalid atom character" in str(info.value)
    assert kept == before
    assert info.value.recover()[0].count() == len(before)


@pytest.mark.parametrize("case", CASES, ids=IDS)
def test_every_kind_that_keeps_values_fails_alike(case):
    doc, query, offset, before = case
    for acc in (ValuesUnique(into=[]), CountUnique(), ValueCounts(), Mode(), Values(numeric=True)):
        with pytest.raises(Corrupted) as info:
            Query(doc, query, acc).result()
        assert info.value.offset == offset, acc
    with pytest.raises(Corrupted) as info:
        Query(doc, query, CountUnique()).result()
    assert info.value.recover()[0].count_unique() == len(before)


@pytest.mark.parametrize("case", CASES, ids=IDS)
def test_counting_is_lenient_and_other_folds_fail(case):
    doc, query, offset, _ = case
    result = Query(doc, query, [Count(), Exists()]).result()
    # counted like the same document with the broken literal spelled 0
    fixed = doc.replace(b"01]", b"0]").replace(b"12abc", b"0").replace(b"1.2.3", b"0").replace(b"-]", b"0]")
    assert result.count() == Query(fixed, query, Count()).result().count() > 0
    assert result.exists()
    # the folds that read numbers or types read a matched atom, never what a
    # matched container holds
    inside = IDS[CASES.index(case)] in ("container", "nested")
    for fold in (Min(), Max(), Sum(), Mean(), Product(), Types()):
        if inside:
            Query(doc, query, fold).result()
            continue
        with pytest.raises(Corrupted) as info:
            Query(doc, query, fold).result()
        assert info.value.offset == offset, fold


@pytest.mark.parametrize("case", CASES, ids=IDS)
def test_items_yield_the_values_before_then_raise(case):
    doc, query, offset, before = case
    it = items(doc, query)
    got = []
    with pytest.raises(Corrupted) as info:
        for v in it:
            got.append(v)
    assert got == before and info.value.offset == offset
    assert list(it) == []


def test_kvitems_keep_members_only():
    it = kvitems(b'{"a":1,"b":-,"c":2}', "")
    assert next(it) == ("a", 1)
    with pytest.raises(Corrupted) as info:
        next(it)
    assert info.value.offset == 11
    # array elements have no names, so none is kept
    assert list(kvitems(b'[-,1.2.3]', "")) == []


def test_misspelled_literals_fail_where_they_break():
    for doc, offset, byte in [(b'[null,nul]', 8, "'l'"), (b'[tru]', 3, "'u'"), (b'[fals]', 4, "'s'"),
                              (b'[nope]', 2, "'o'"), (b'[truex]', 5, "'x'")]:
        kept = []
        with pytest.raises(Corrupted) as info:
            Query(doc, "[*]", Values(into=kept)).result()
        assert info.value.offset == offset and f"invalid atom character {byte}" in str(info.value), doc
        assert kept == ([None] if doc.startswith(b'[null,') else [])


SIGNALS = [decimal.Clamped, decimal.DivisionByZero, decimal.FloatOperation, decimal.Inexact, decimal.InvalidOperation,
           decimal.Overflow, decimal.Rounded, decimal.Subnormal, decimal.Underflow]
# the default context, one without traps (flags already raised), one trapping everything with a small
# precision and another rounding
CONTEXTS = [
    pytest.param(decimal.Context(), id="default"),
    pytest.param(decimal.Context(traps=[], flags=[decimal.Inexact, decimal.Rounded]), id="no traps"),
    pytest.param(decimal.Context(prec=3, rounding=decimal.ROUND_FLOOR, traps=SIGNALS), id="all traps"),
]


@pytest.mark.parametrize("context", CONTEXTS)
def test_exponents_beyond_decimal_reach_take_their_limit(context):
    big = "9" * 25
    # 1.5e100000000 and the long mantissa are within reach; neither may follow the context
    doc = (f'[1e{big},-2E+{big},3e-{big},-4.5e-{big},0e{big},-0.0e{big},1.5e3,1.5e100000000,'
           f'-1234567.891e-0000000000002]').encode()
    D = decimal.Decimal
    expected = [D("Infinity"), D("-Infinity"), D("0"), D("-0"), D("0"), D("-0"), D("1.5E+3"), D("1.5E+100000000"),
                D("-12345.67891")]
    kept, floats = [], []
    with decimal.localcontext(context) as used:
        flags = dict(used.flags)
        Query(doc, "[*]", Values(into=kept)).result()
        Query(doc, "[*]", Values(into=floats), use_float=True).result()
        iterated = list(items(doc, "[*]"))
    assert dict(used.flags) == flags
    assert [str(v) for v in kept] == [str(v) for v in expected]
    assert [str(v) for v in iterated] == [str(v) for v in expected]
    assert [float(v) for v in kept] == floats

