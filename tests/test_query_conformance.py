"""Every conformance document read back through Values() on the empty query."""
import decimal
import json
import pathlib

import pytest

from jorvane import Query, Values
from jorvane._errors import Corrupted, Incomplete

ROOT = pathlib.Path(__file__).resolve().parent / "data" / "conformance"
FILES = sorted(ROOT.glob("*.json"))
# The data ships with the repository: a missing copy is a failure, not a skip.
assert len(FILES) > 300, f"conformance files missing under {ROOT}"
MODES = ["batched", "pipelined"]


def top_level_is_container(text):
    stripped = text.lstrip(b" \t\r\n")
    return stripped[:1] in (b"{", b"[")


def outcome(data, mode, into=True):
    got = []
    try:
        q = Query(data, "", Values(into=got) if into else Values(), mode=mode)
        return ("ok", got, q.result().count())
    except (Incomplete, Corrupted) as e:
        return (type(e).__name__, got, e.recover()[0].count())


def test_accepted_documents_read_back_exactly():
    checked = 0
    for path in FILES:
        if not path.name.startswith("y_"):
            continue
        data = path.read_bytes()
        try:
            expected = json.loads(data.decode("utf-8"), parse_float=decimal.Decimal)
        except (UnicodeDecodeError, ValueError):
            continue
        for mode in MODES:
            kind, got, _ = outcome(data, mode)
            if top_level_is_container(data):
                assert kind == "ok", (path.name, mode)
                assert got == [expected], (path.name, mode)
            else:
                assert kind == "Corrupted", (path.name, mode)
        checked += 1
    assert checked > 50


def test_other_documents_end_the_same_way_in_every_mode():
    for path in FILES:
        if path.name.startswith("y_"):
            continue
        data = path.read_bytes()
        # every value is converted: anything but the two documented errors
        # escapes outcome() and fails the test
        results = [outcome(data, mode) for mode in MODES]
        assert results[0][0] in ("ok", "Incomplete", "Corrupted")
        assert all(r == results[0] for r in results), path.name
        counted = [outcome(data, mode, into=False) for mode in MODES]
        assert all(c[0] == results[0][0] and c[2] == results[0][2] for c in counted), path.name
