"""describe() and whole-row NDJSON output on every core against one walker.

With mode=None a plain file of 8 MiB or more (and a compressed one) is cut
into ranges that several walkers scan at once; mode="batched" keeps one
walker. Everything must be the same: the profile (paths in first-seen order,
counts, types, distinct counts, depth, bytes scanned), the lines written (the
files byte for byte, plain, gzip and zstd), lazily yielded lines, and errors
with their offsets, messages and partial results.
"""
import gzip
import itertools
import json
import random

import pytest

import jorvane
from jorvane._errors import Corrupted, Incomplete

# The one-file run splits files of 8 MiB and more.
SIZE = 9 * 1024 * 1024


def record(rng, i):
    r = {"id": i, "v": rng.choice([None, True, 1.5, "x", [1, {"a": None}], {"b": [], "c": "\u00e9"}]),
         "k%d" % rng.randrange(60): rng.randrange(5000), "s": "q\"\\" * rng.randrange(3)}
    if rng.random() < 0.3:
        r["user"] = {"id": rng.randrange(3000), "tags": [rng.choice("abc") for _ in range(rng.randrange(3))]}
    return r


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    """A large NDJSON file (some records pretty-printed), the same broken in its middle, cut
    short, with a value nested past the container limit (a bracket a line) in its middle, and
    gzip-compressed."""
    rng = random.Random(11)
    parts, size, i = [], 0, 0
    while size < SIZE:
        r = record(rng, i)
        text = json.dumps(r, indent=2) if i % 97 == 0 else json.dumps(r)
        parts.append(text + "\n")
        size += len(parts[-1])
        i += 1
    doc = "".join(parts).encode()
    d = tmp_path_factory.mktemp("split")
    out = {}
    # the deep value goes between two records, so the depth is the only fault
    line = doc.index(b"\n", len(doc) // 2) + 1
    for name, data in [("good.ndjson", doc),
                       ("broken.ndjson", doc[:len(doc) // 2] + b'{"a":[1,}\n' + doc[len(doc) // 2:]),
                       ("short.ndjson", doc[:len(doc) - 7]),
                       ("deep.ndjson", doc[:line] + b"[\n" * 1001 + b"]\n" * 1001 + doc[line:]),
                       ("good.ndjson.gz", gzip.compress(doc, compresslevel=1))]:
        (d / name).write_bytes(data)
        out[name] = str(d / name)
    return out


def outcome(call):
    try:
        return "ok", call()
    except (Corrupted, Incomplete) as e:
        return type(e).__name__, str(e), e.args[1:], repr(e.recover())


def profile(d):
    return d.paths(), d.max_depth, d.bytes_scanned, repr(d), len(d)


@pytest.mark.parametrize("name", ["good.ndjson", "broken.ndjson", "short.ndjson", "deep.ndjson", "good.ndjson.gz"])
@pytest.mark.parametrize("cap", [3, 1000])
def test_describe_on_every_core_as_on_one(files, name, cap):
    many = outcome(lambda: profile(jorvane.describe(files[name], distinct_cap=cap)))
    one = outcome(lambda: profile(jorvane.describe(files[name], distinct_cap=cap, mode="batched")))
    assert many == one
    assert (many[0] == "ok") == name.startswith("good")
    assert ("a matched value nested past the 1000-container limit" in str(many)) == (name == "deep.ndjson")


@pytest.mark.parametrize("name", ["good.ndjson", "broken.ndjson", "short.ndjson", "good.ndjson.gz"])
@pytest.mark.parametrize("suffix", ["", ".gz", ".zst"])
def test_whole_rows_on_every_core_as_on_one(files, tmp_path, name, suffix):
    written = {}
    for mode in (None, "batched"):
        out = tmp_path / f"out-{mode}.ndjson{suffix}"
        written[mode] = outcome(lambda: jorvane.write_ndjson(files[name], str(out), "", mode=mode)), out.read_bytes()
    assert written[None] == written["batched"]
    if name.startswith("good"):
        assert written[None][0][1] > 100_000


@pytest.mark.parametrize("name", ["good.ndjson", "broken.ndjson"])
def test_lines_on_every_core_come_lazily_and_in_order(files, name):
    def lines(mode):
        got = []
        it = jorvane.ndjson_lines(files[name], "", mode=mode)
        return outcome(lambda: got.extend(it)), got

    many, one = lines(None), lines("batched")
    assert many == one
    first = list(itertools.islice(jorvane.ndjson_lines(files[name], "", mode=None), 5))
    assert first == one[1][:5]
