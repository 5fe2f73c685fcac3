"""Optional packages (numpy, pandas, polars, pyarrow, fsspec): only one that is not installed is
answered as missing. An import that fails any other way (an ImportError from inside an installed
package, Ctrl-C during the first import) reaches the caller as it was raised.

Each case takes the package out of sys.modules and puts a finder first on sys.meta_path that raises
for it; monkeypatch puts the real modules back after the test."""
import sys

import pytest

import jorvane

ROWS = b'{"a": 1}\n{"a": 2}\n'

CALLS = {
    "column": ("numpy", lambda tmp: jorvane.table(ROWS, "", ["a"]).column("a")),
    "to_dict": ("numpy", lambda tmp: jorvane.table(ROWS, "", ["a"]).to_dict()),
    "to_pandas": ("pandas", lambda tmp: jorvane.table(ROWS, "", ["a"]).to_pandas()),
    # pandas that keeps str in Arrow takes a string column as an Arrow array, through pyarrow
    "to_pandas strings": ("pyarrow", lambda tmp: jorvane.table(b'{"s": "x"}', "", ["s"]).to_pandas()),
    "to_polars": ("polars", lambda tmp: jorvane.table(ROWS, "", ["a"]).to_polars()),
    "to_arrow": ("pyarrow", lambda tmp: jorvane.table(ROWS, "", ["a"]).to_arrow()),
    "write_parquet": ("pyarrow", lambda tmp: jorvane.write_parquet(ROWS, str(tmp / "x.parquet"), "", ["a"])),
    "write_csv": ("pyarrow", lambda tmp: jorvane.write_csv(ROWS, str(tmp / "x.csv"), "", ["a"])),
    "url": ("fsspec", lambda tmp: jorvane.table("s3://bucket/x.json", "", ["a"])),
}

NOT_INSTALLED = {
    "column": lambda got: got == [1, 2],
    "to_dict": lambda got: got == {"a": [1, 2]},
    "to_pandas": "to_pandas() needs pandas installed; use to_dict() for a plain dict of lists",
    "to_pandas strings": lambda got: got["s"].tolist() == ["x"],
    "to_polars": "to_polars() needs polars installed; use to_dict() for a plain dict of lists",
    "to_arrow": "to_arrow() needs pyarrow installed; use to_dict() for a plain dict of lists",
    "write_parquet": "write_parquet() needs pyarrow installed",
    "write_csv": "write_csv() needs pyarrow installed",
    "url": '"s3://bucket/x.json" looks like a URL, but fsspec is not installed. Either `pip install fsspec` '
           "(plus the backend for this scheme, e.g. s3fs for s3://), or open the source yourself and pass the "
           "file object.",
}


def strings_in_arrow():
    pandas = pytest.importorskip("pandas")
    return getattr(pandas.Series(["a"]).dtype, "storage", None) == "pyarrow"


@pytest.fixture
def failing_import(monkeypatch):
    """Makes every import of the package `name` (and of its modules) raise `exc` during the test."""

    def plant(name, exc):
        class Finder:
            @staticmethod
            def find_spec(fullname, path=None, target=None):
                if fullname == name or fullname.startswith(name + "."):
                    raise exc
                return None

        for loaded in [m for m in sys.modules if m == name or m.startswith(name + ".")]:
            monkeypatch.delitem(sys.modules, loaded)
        monkeypatch.setattr(sys, "meta_path", [Finder(), *sys.meta_path])

    return plant


@pytest.mark.parametrize("exc", [
    ImportError("libfoo.so: cannot open shared object file"),
    ModuleNotFoundError("No module named 'libfoo'", name="libfoo"),
    KeyboardInterrupt(),
], ids=["ImportError", "a module it needs", "KeyboardInterrupt"])
@pytest.mark.parametrize("call", CALLS)
def test_an_import_that_fails_is_raised_as_it_is(failing_import, tmp_path, call, exc):
    package, run = CALLS[call]
    pytest.importorskip(package)
    if call == "to_pandas strings" and not strings_in_arrow():
        pytest.skip("this pandas keeps str as Python objects")
    failing_import(package, exc)
    with pytest.raises(type(exc)) as info:
        run(tmp_path)
    assert info.value is exc


@pytest.mark.parametrize("call", CALLS)
def test_a_package_not_installed_is_answered_as_missing(failing_import, tmp_path, call):
    package, run = CALLS[call]
    if call == "to_pandas strings":
        pytest.importorskip("pandas")
    failing_import(package, ModuleNotFoundError(f"No module named '{package}'", name=package))
    expected = NOT_INSTALLED[call]
    if callable(expected):
        got = run(tmp_path)
        assert expected(got), got
    else:
        with pytest.raises(ImportError) as info:
            run(tmp_path)
        assert str(info.value) == expected


@pytest.mark.parametrize("call", CALLS)
def test_an_installed_package_that_fails_to_import_is_not_missing(monkeypatch, tmp_path, call):
    # the package's own __init__ raises an ImportError naming the package: installed, but broken
    package, run = CALLS[call]
    pytest.importorskip(package)
    if call == "to_pandas strings" and not strings_in_arrow():
        pytest.skip("this pandas keeps str as Python objects")
    broken = tmp_path / "site" / package
    broken.mkdir(parents=True)
    (broken / "__init__.py").write_text(f"raise ImportError('{package} is broken', name='{package}')\n")
    for loaded in [m for m in sys.modules if m == package or m.startswith(package + ".")]:
        monkeypatch.delitem(sys.modules, loaded)
    monkeypatch.syspath_prepend(str(tmp_path / "site"))
    with pytest.raises(ImportError) as info:
        run(tmp_path)
    assert type(info.value) is ImportError
    assert str(info.value) == f"{package} is broken" and info.value.name == package
