"""An exception raised inside a file-like's read() and caught around next(): every lazy iterator goes
on from where it stopped, and what it yields in all equals an uninterrupted run, nothing lost or
repeated, over plain and compressed file-likes and in every mode. A table_batches iterator goes on
after an interrupt only (KeyboardInterrupt, SystemExit or another exception that is not an Exception)
and ends after any other failure. The object answers in pieces of varying sizes, so that the reads
that fail fall everywhere: inside the first gzip header, between members, inside a buffer's fill."""
import gzip
import random
import zlib

import pytest

import jorvane



def make_rows(n, pad):
    rng = random.Random(36)
    return b"".join(b'{"id": %d, "pad": "%s"}\n' % (i, rng.randbytes(pad).hex().encode()) for i in range(n))


# The interrupt kinds and the modes are tried over a small plain input; the compressed ones hold
# more than the decoder's input buffer of 1 MiB (hex padding compresses to about half), so that
# reads fail while a buffer of the decoder's output is partly filled.
SMALL = make_rows(60, 500)
BIG = make_rows(400, 4000)


def gzip_members(data):
    """Two gzip members, the second with a name and a comment in its header."""
    half = len(data) // 2
    second = zlib.compressobj(6, zlib.DEFLATED, -15)
    body = second.compress(data[half:]) + second.flush()
    header = b"\x1f\x8b\x08\x18\0\0\0\0\0\xff" + b"rows.ndjson\0" + b"a comment\0"
    trailer = zlib.crc32(data[half:]).to_bytes(4, "little") + (len(data) - half).to_bytes(4, "little")
    return gzip.compress(data[:half], mtime=0) + header + body + trailer


def zstd_frames(tmp_path_factory, data):
    """Two zstd frames, written by write_ndjson."""
    out = tmp_path_factory.mktemp("zst")
    frames, half = b"", data.index(b"\n", len(data) // 2) + 1
    for i, part in enumerate((data[:half], data[half:])):
        path = out / f"{i}.ndjson.zst"
        jorvane.write_ndjson(part, str(path), "")
        frames += path.read_bytes()
    return frames


@pytest.fixture(scope="module")
def inputs(tmp_path_factory):
    return {"plain": (SMALL, None, [1, 3, 9000, 4000, 7]),
            "gzip": (gzip_members(BIG), "gzip", [1, 3, 300_000, 700_000, 7]),
            "zstd": (zstd_frames(tmp_path_factory, BIG), "zstd", [1, 3, 300_000, 700_000, 7])}


class Tripping:
    """A file-like that raises `exc` at each of its read numbers in `trips` (counted from 1)."""

    def __init__(self, data, pieces, trips=(), exc=None):
        self.data, self.pieces, self.pos, self.calls, self.trips, self.exc = data, pieces, 0, 0, set(trips), exc
        self.raised = []

    def read(self, n):
        self.calls += 1
        if self.calls in self.trips:
            self.raised.append(self.exc("tripped at read %d" % self.calls))
            raise self.raised[-1]
        take = min(n, self.pieces[self.calls % len(self.pieces)])
        out = self.data[self.pos:self.pos + take]
        self.pos += len(out)
        return out


class Halt(BaseException):
    pass


ITERATORS = {
    "items": lambda s, m: jorvane.items(s, "id", mode=m),
    "kvitems": lambda s, m: jorvane.kvitems(s, "", mode=m),
    "table_batches": lambda s, m: jorvane.table_batches(s, "", ["id"], batch_rows=50, mode=m),
    "ndjson_lines": lambda s, m: jorvane.ndjson_lines(s, "", mode=m),
    "ndjson_lines fields": lambda s, m: jorvane.ndjson_lines(s, "", fields=["id"], mode=m),
}


def flatten(kind, value):
    if kind == "table_batches":
        return value.to_dict()["id"].tolist()
    return [value]


def take_all(kind, it):
    """Every value of `it`, going on after each exception, and the exceptions caught."""
    got, caught = [], []
    while True:
        try:
            value = next(it)
        except StopIteration:
            return got, caught
        except BaseException as e:  # noqa: B036 - the interrupts are what is tested
            caught.append(e)
            if len(caught) > 3:
                raise
            continue
        got.extend(flatten(kind, value))


def check_every_read(kind, source, mode, exc):
    data, compression, pieces = source

    def make(f, compression, mode):
        return ITERATORS[kind](jorvane.Source(f, compression=compression) if compression else f, mode)

    whole = Tripping(data, pieces)
    expected, none = take_all(kind, make(whole, compression, mode))
    assert not none and len(expected) >= 60
    goes_on = kind != "table_batches" or not issubclass(exc, Exception)
    for k in range(1, whole.calls + 2):
        f = Tripping(data, pieces, [k], exc)
        got, caught = take_all(kind, make(f, compression, mode))
        assert len(caught) == len(f.raised) == (k <= whole.calls), k
        if caught:
            if exc in (KeyboardInterrupt, SystemExit):
                assert caught[0] is f.raised[0]
            else:
                assert type(caught[0]) is RuntimeError and "tripped at read %d" % k in str(caught[0])
        if goes_on:
            assert got == expected, k
        else:
            assert got == expected[:len(got)], k


@pytest.mark.parametrize("kind", ITERATORS)
@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit, Halt, ValueError])
def test_every_read_may_fail(inputs, kind, exc):
    check_every_read(kind, inputs["plain"], None, exc)


@pytest.mark.parametrize("kind", ITERATORS)
@pytest.mark.parametrize("source", ["gzip", "zstd"])
def test_every_read_of_a_compressed_source_may_fail(inputs, kind, source):
    check_every_read(kind, inputs[source], None, KeyboardInterrupt)


@pytest.mark.parametrize("kind", ITERATORS)
@pytest.mark.parametrize("mode", ["batched", "pipelined"])
def test_every_read_may_fail_in_every_mode(inputs, kind, mode):
    check_every_read(kind, inputs["plain"], mode, KeyboardInterrupt)


def test_a_url_source_goes_on_after_an_interrupt(tmp_path, monkeypatch):
    local = pytest.importorskip("fsspec.implementations.local")
    path = tmp_path / "rows.ndjson"
    path.write_bytes(SMALL)
    url = "file://" + str(path)
    expected = list(jorvane.ndjson_lines(url, "", fields=["id"]))
    read = local.LocalFileOpener.read
    calls = []

    def tripping(self, *args):
        calls.append(1)
        if len(calls) in (1, 3):
            raise KeyboardInterrupt
        return read(self, *args)

    monkeypatch.setattr(local.LocalFileOpener, "read", tripping)
    got, caught = take_all("ndjson_lines fields", jorvane.ndjson_lines(url, "", fields=["id"]))
    assert len(caught) == 2 and all(type(e) is KeyboardInterrupt for e in caught)
    assert got == expected
