"""Which build of the module the suite runs against.

A second build (clang, sanitized) keeps its modules in a directory of its own
and runs this suite with PYTHONPATH pointing there. A stray module earlier on
sys.path would make such a run test the wrong build and still pass, so when
JORVANE_TEST_MODULE_DIR names the directory, the run stops unless both the
extension and the test hooks module were loaded from inside it.
"""

import importlib
import os

import pytest

_MODULES = ("jorvane.jorvane", "jorvane_testhooks")


def _loaded_from(name):
    try:
        return importlib.import_module(name).__file__
    except ImportError as exc:
        return f"<not importable: {exc}>"


def pytest_report_header(config):
    return [f"{name}: {_loaded_from(name)}" for name in _MODULES]


def pytest_configure(config):
    expected = os.environ.get("JORVANE_TEST_MODULE_DIR")
    if not expected:
        return
    root = os.path.realpath(expected)
    for name in _MODULES:
        path = _loaded_from(name)
        inside = os.path.isabs(path) and os.path.commonpath([root, os.path.realpath(path)]) == root
        if not inside:
            raise pytest.UsageError(f"{name} was loaded from {path}, not from {root} (JORVANE_TEST_MODULE_DIR)")
