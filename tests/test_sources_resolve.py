"""Resolution of classified sources: globbing, plain paths, URLs and labels."""
import io
import os
import subprocess
import sys

import pytest

from jorvane import Source

hooks = pytest.importorskip("jorvane_testhooks")


@pytest.fixture
def tree(tmp_path, monkeypatch):
    for name in ["a.json", "b.json", "c.json", ".hidden.json", "B.json", "notes.txt"]:
        (tmp_path / name).write_text("{}")
    (tmp_path / "sub").mkdir()
    (tmp_path / "sub" / "d.json").write_text("[]")
    (tmp_path / "dir.json").mkdir()
    (tmp_path / "sub" / ".deep").mkdir()
    (tmp_path / "sub" / ".deep" / "e.json").write_text("[]")
    monkeypatch.chdir(tmp_path)
    return tmp_path


def labels(source):
    return [r["label"] for r in hooks.resolve(source)]


def test_glob_order_hidden_and_non_files(tree):
    t = str(tree)
    # byte order, hidden names left out, the directory dir.json skipped, canonical labels
    assert labels("*.json") == [f"{t}/B.json", f"{t}/a.json", f"{t}/b.json", f"{t}/c.json"]
    assert labels("**/*.json") == [f"{t}/B.json", f"{t}/a.json", f"{t}/b.json", f"{t}/c.json", f"{t}/sub/d.json"]
    assert labels("nothing*") == []
    assert labels(["nothing*", b"[]"]) == ["<bytes:1>"]


def test_plain_paths(tree):
    t = str(tree)
    [r] = hooks.resolve("a.json")
    assert r["label"] == "a.json" and r["path"] == f"{t}/a.json" and r["kind"] == "file"
    assert labels("./sub/../a.json") == ["./sub/../a.json"]
    for bad in ["missing.json", "dir.json", "~/a.json", ""]:
        with pytest.raises(ValueError) as info:
            hooks.resolve(bad)
        assert str(info.value) == f'not a readable file: "{bad}"'
    os.symlink(tree / "a.json", tree / "link.json")
    assert [r["path"] for r in hooks.resolve("link.json")] == [f"{t}/a.json"]


def test_pattern_errors(tree):
    with pytest.raises(ValueError, match=r'^invalid glob "x\[ab": unterminated character class at position 1$'):
        hooks.resolve("x[ab")
    # a path with "[" is a pattern even when a file has that exact name
    (tree / "odd[1].json").write_text("{}")
    assert labels("odd[1].json") == []
    assert labels("odd[[]1].json") == [f"{tree}/odd[1].json"]


def test_duplicates_and_names(tree):
    t = str(tree)
    # no names anywhere: the first mention of a file wins, however it is written
    found = hooks.resolve(["a.json", "./[ab].json", "./a.json", f"{t}//sub/../a.json"])
    assert [r["label"] for r in found] == ["a.json", f"{t}/b.json"]
    assert found[0]["path"] == f"{t}/a.json"
    # with a name on any argument, each path item has its own seen set
    assert labels(["a.json", "./[ab].json", Source(b"[]", name="n")]) == ["a.json", f"{t}/a.json", f"{t}/b.json", "n"]
    # ...but duplicates within one pattern are still dropped
    assert labels([Source("a.json", name="x"), "a.json"]) == ["x", "a.json"]
    res = hooks.resolve([Source("./[ab].json", compression="gz")], labeled=False)
    assert [r["options"]["compression"] for r in res] == ["gzip", "gzip"]


def test_one_file_rules(tree):
    assert labels(Source("a*.json", name="only")) == ["only"]
    with pytest.raises(ValueError) as info:
        hooks.resolve(Source("*.json", name="n"))
    assert str(info.value) == 'named source "n" ("*.json") must resolve to exactly one file, got 4'
    with pytest.raises(ValueError) as info:
        hooks.resolve({"k": "zzz*"})
    assert str(info.value) == 'named source "k" ("zzz*") must resolve to exactly one file, got 0'
    with pytest.raises(ValueError) as info:
        hooks.resolve(Source("./[ab].json", progress=print))
    assert str(info.value) == 'Source(progress=...) must resolve to exactly one file; "./[ab].json" resolved to 2'
    # only the first file of a pattern keeps the wrapper's options
    cb = lambda n, r: None  # noqa: E731
    res = hooks.resolve(Source("a.json", progress=cb, progress_interval=9, compression="none"))
    assert res[0]["options"] == {"progress": cb, "progress_interval": 9, "name": None, "compression": "none"}
    res = hooks.resolve(Source("./[ab].json", compression="zst"), labeled=False)
    assert [r["options"]["compression"] for r in res] == ["zstd", "zstd"]


def test_positional_labels_count_arguments(tree):
    f = io.BytesIO(b"[]")
    res = hooks.resolve(["./[abc].json", b"[]", f, Source(f, name="r")])
    assert [r["label"] for r in res][3:] == ["<bytes:1>", "<reader:2>", "r"]
    assert res[4]["reader"] is f and res[4]["keep_open"] is True


def test_memory_url_is_opened():
    fsspec = pytest.importorskip("fsspec")
    with fsspec.open("memory://jorvane/one.json", "wb") as fh:
        fh.write(b'{"a": 1}')
    res = hooks.resolve(["memory://jorvane/one.json", "memory://jorvane/one.json"])
    assert [r["label"] for r in res] == ["memory://jorvane/one.json"] * 2
    assert all(r["kind"] == "reader" and r["keep_open"] is False for r in res)
    assert res[0]["reader"].read() == b'{"a": 1}'
    with pytest.raises(FileNotFoundError):
        hooks.resolve("memory://jorvane/missing.json")


def test_missing_fsspec_message():
    code = (
        "import sys; sys.modules['fsspec'] = None\n"
        "import jorvane_testhooks as h\n"
        "try:\n    h.resolve('s3://bucket/x.json')\n"
        "except ImportError as e:\n    print(e)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True,
                         env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    assert out.stdout.strip() == (
        '"s3://bucket/x.json" looks like a URL, but fsspec is not installed. Either `pip install fsspec` '
        "(plus the backend for this scheme, e.g. s3fs for s3://), or open the source yourself and pass the file "
        "object.")
