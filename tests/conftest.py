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


@pytest.fixture
def child_env():
    """The environment of a fresh interpreter that loads this build: its package on PYTHONPATH, a
    plain PATH, and a sanitized build's preloaded runtime and options (it loads only behind them)."""
    import jorvane

    env = {"PYTHONPATH": os.path.dirname(os.path.dirname(jorvane.__file__)), "PATH": "/usr/bin:/bin"}
    env.update({k: v for k, v in os.environ.items() if k in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")})
    return env


@pytest.fixture
def sigint_raises():
    """SIGINT raises KeyboardInterrupt during the test (where the tests run it may be ignored: a
    background job)."""
    import signal

    old = signal.signal(signal.SIGINT, signal.default_int_handler)
    yield
    if old is not None:
        signal.signal(signal.SIGINT, old)


@pytest.fixture
def from_other_thread():
    """Calls each of `calls` on a new thread and returns what they raised (BaseException included: a
    thread-bound object's panic derives from BaseException only)."""
    import threading

    def run(calls):
        caught = []

        def use():
            for call in calls:
                try:
                    call()
                except BaseException as e:
                    caught.append(e)

        t = threading.Thread(target=use)
        t.start()
        t.join()
        return caught

    return run


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


@pytest.fixture(autouse=True)
def arrow_exports_balance():
    """Every Arrow array a test exports is released by the time it ends."""
    import gc

    import jorvane

    exported, released = jorvane._arrow_export_counters()
    yield
    delta = lambda: tuple(n - base for n, base in zip(jorvane._arrow_export_counters(), (exported, released)))
    if delta()[0] != delta()[1]:
        gc.collect()  # arrays held in reference cycles go with the collector
    now = delta()
    assert now[0] == now[1], f"{now[0]} Arrow arrays exported during the test, {now[1]} released"
