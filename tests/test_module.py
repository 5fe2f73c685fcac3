import subprocess
import sys

import pytest

import jorvane

# Every public name, in registration order. Names whose feature has not landed
# yet are simply absent; those present must keep this order.
FULL_ORDER = [
    "__version__", "Query", "Source", "QueryResult", "Accumulator", "NumericBuffer",
    "Items", "items", "kvitems", "Table", "table", "group_by", "write_ndjson",
    "ndjson_lines", "table_batches", "describe", "write_parquet", "write_csv",
    "_arrow_export_counters", "_active_kernel", "Count", "CountUnique", "ValueCounts",
    "Exists", "Min", "Max", "Sum", "Mean", "Product", "Mode", "Types", "Values",
    "ValuesUnique",
]


def test_version():
    assert jorvane.__version__ == "0.2.0"


def test_all_follows_registration_order():
    names = list(jorvane.__all__)
    assert names[0] == "__version__"
    assert names == [n for n in FULL_ORDER if n in names]
    assert len(set(names)) == len(names)
    for name in names:
        assert hasattr(jorvane, name)


def test_never_registered_names_are_absent():
    for name in ("Description", "TableBatches", "NdjsonLines", "ArrowColumn", "Incomplete", "Corrupted"):
        assert not hasattr(jorvane, name)


def test_errors_module_carries_partials():
    from jorvane._errors import Corrupted, Incomplete

    for cls in (Incomplete, Corrupted):
        e = cls("malformed JSON at byte 5", 5, ["r"])
        assert str(e) == "malformed JSON at byte 5"
        assert e.offset == 5
        assert e.recover() == ["r"]


def _interpreters():
    import glob
    import re

    found = []
    for exe in sorted(glob.glob("/root/.pyenv/versions/*/bin/python3")):
        m = re.search(r"/versions/(\d+)\.(\d+)\.", exe)
        if m and (int(m.group(1)), int(m.group(2))) >= (3, 11):
            found.append(exe)
    return found


@pytest.mark.parametrize("exe", _interpreters() or [None])
def test_one_build_imports_under_every_python(exe, child_env):
    # The module is built once against the limited API; every CPython from
    # 3.11 on must load it.
    if exe is None:
        pytest.skip("no other CPython 3.11+ interpreters on this machine")
    code = ("import inspect, jorvane; "
            "print(jorvane.__version__, inspect.signature(jorvane.Source), repr(jorvane.Source(b'[]', name='n')))")
    out = subprocess.run([exe, "-c", code], capture_output=True, text=True, env=child_env)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == (
        "0.2.0 (obj, *, progress=None, progress_interval=None, name=None, compression=None) "
        "Source(b'[]', name=\"n\")")
