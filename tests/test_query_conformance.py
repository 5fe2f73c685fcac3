"""Every conformance document read back through Values() on the empty query, and
what a strict reader refuses refused alike."""
import decimal
import json
import pathlib

import pytest

from jorvane import Query, Values, describe, items, ndjson_lines
from jorvane._errors import Corrupted, Incomplete

ROOT = pathlib.Path(__file__).resolve().parent / "data" / "conformance"
FILES = sorted(ROOT.glob("*.json"))
# The data ships with the repository: a missing copy is a failure, not a skip.
assert len(FILES) > 300, f"conformance files missing under {ROOT}"
MODES = ["batched", "pipelined"]

# Documents a strict reader refuses that are read all the same, and why.
STILL_READ = {
    "n_array_comma_after_close.json": "several top-level values, a comma between them",
    "n_structure_double_array.json": "several top-level values",
    "n_single_space.json": "no data",
    "n_structure_no_data.json": "no data",
    "n_string_unescaped_ctrl_char.json": "a raw control character in a string is kept",
    "n_string_unescaped_newline.json": "a raw control character in a string is kept",
    "n_string_unescaped_tab.json": "a raw control character in a string is kept",
}


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
                assert list(items(data, "", mode=mode)) == [expected], (path.name, mode)
            else:
                assert kind == "Corrupted", (path.name, mode)
        checked += 1
    assert checked > 50


def ends_open(data):
    """Whether the input ends inside a string or a container, never having
    nested past the 1000-container limit (which fails first)."""
    depth, deepest, in_string, escaped = 0, 0, False, False
    for b in data:
        if in_string:
            if escaped:
                escaped = False
            elif b == 0x5C:
                escaped = True
            elif b == 0x22:
                in_string = False
        elif b == 0x22:
            in_string = True
        elif b in b"[{":
            depth += 1
            deepest = max(deepest, depth)
        elif b in b"]}":
            depth -= 1
    return (in_string or depth > 0) and deepest <= 1000


def failure(read):
    """The error a read ends with, as (class, offset, message), or None."""
    try:
        read()
    except (Corrupted, Incomplete) as e:
        return type(e).__name__, e.offset, str(e).splitlines()[0].split(": ")[-1]
    return None


def test_refused_documents_fail_where_a_strict_reader_does():
    for path in FILES:
        if not path.name.startswith("n_"):
            continue
        data = path.read_bytes()
        got = failure(lambda: list(items(data, "")))
        if path.name in STILL_READ:
            assert got is None, path.name
        elif got is None or got[0] != "Corrupted":
            # only input that ends early may end as incomplete
            assert got is not None and ends_open(data), (path.name, got)


def test_every_entry_point_fails_at_the_same_byte():
    for path in FILES:
        if path.name.startswith("y_"):
            continue
        data = path.read_bytes()
        expected = failure(lambda: list(items(data, "")))
        # whole rows written as text, the profile, kept values
        assert failure(lambda: list(ndjson_lines(data, ""))) == expected, path.name
        assert failure(lambda: describe(data)) == expected, path.name
        assert failure(lambda: Query(data, "", Values(into=[])).result()) == expected, path.name


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
