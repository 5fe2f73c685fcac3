"""An exception raised inside a file-like's read() and caught around next(): every lazy iterator goes
on from where it stopped, and what it yields in all equals an uninterrupted run, nothing lost or
repeated, over plain and compressed file-likes and in every mode. A table_batches iterator goes on
after an interrupt only (KeyboardInterrupt, SystemExit or another exception that is not an Exception)
and ends after any other failure. The object answers in pieces of varying sizes, so that the reads
that fail fall everywhere: inside the first gzip header, between members, inside a buffer's fill.

A read() written in Python may also raise after it has taken its bytes (a Ctrl-C handled after the operating
system's read returned). An object that can seek is put back where that read began, and nothing is lost either;
one that can only tell its place makes the next call fail with a clear error instead of going on short. So does
a byte reader that other code read from or moved between two calls."""
import gzip
import io
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
    """A file-like that raises `exc` at each of its read numbers in `trips` (counted from 1), before taking
    anything."""

    takes = False

    def __init__(self, data, pieces, trips=(), exc=None):
        self.data, self.pieces, self.pos, self.calls, self.trips, self.exc = data, pieces, 0, 0, set(trips), exc
        self.raised, self.lost = [], 0

    def read(self, n):
        self.calls += 1
        self.began = self.pos
        tripped = self.calls in self.trips
        if tripped and not self.takes:
            self.raised.append(self.exc("tripped at read %d" % self.calls))
            raise self.raised[-1]
        take = min(n, self.pieces[self.calls % len(self.pieces)])
        out = self.data[self.pos:self.pos + take]
        self.pos += len(out)
        if tripped:
            self.lost += len(out)
            self.raised.append(self.exc("tripped at read %d" % self.calls))
            raise self.raised[-1]
        return out


class Telling(Tripping):
    """Raises after taking its bytes, and can tell its place but not go back."""

    takes = True

    def seekable(self):
        return False

    def tell(self):
        return self.pos


class Seeking(Telling):
    """Raises after taking its bytes, and can go back."""

    def seekable(self):
        return True

    def seek(self, pos):
        self.pos = pos
        self.lost = 0


LOST = "the source cannot be read on in order"


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
            if LOST in str(e):
                return got, caught
            continue
        got.extend(flatten(kind, value))


def check_every_read(kind, source, mode, exc, reader=Tripping):
    data, compression, pieces = source

    def make(f, compression, mode):
        return ITERATORS[kind](jorvane.Source(f, compression=compression) if compression else f, mode)

    whole = reader(data, pieces)
    expected, none = take_all(kind, make(whole, compression, mode))
    assert not none and len(expected) >= 60
    goes_on = kind != "table_batches" or not issubclass(exc, Exception)
    for k in range(1, whole.calls + 2):
        f = reader(data, pieces, [k], exc)
        got, caught = take_all(kind, make(f, compression, mode))
        # Bytes taken by a reader that cannot go back: the next call says so, and the iterator ends there.
        lost = f.lost > 0 and goes_on
        assert len(f.raised) == (k <= whole.calls) and len(caught) == len(f.raised) + lost, k
        if caught:
            if exc in (KeyboardInterrupt, SystemExit):
                assert caught[0] is f.raised[0]
            else:
                assert type(caught[0]) is RuntimeError and "tripped at read %d" % k in str(caught[0])
        if lost:
            assert type(caught[1]) is RuntimeError and LOST in str(caught[1]), k
        if goes_on and not lost:
            assert got == expected, k
        else:
            assert got == expected[:len(got)], k


READERS = [Tripping, Seeking, Telling]


@pytest.mark.parametrize("reader", READERS)
@pytest.mark.parametrize("kind", ITERATORS)
@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit, Halt, ValueError])
def test_every_read_may_fail(inputs, kind, exc, reader):
    check_every_read(kind, inputs["plain"], None, exc, reader)


@pytest.mark.parametrize("reader", READERS)
@pytest.mark.parametrize("kind", ITERATORS)
@pytest.mark.parametrize("source", ["gzip", "zstd"])
def test_every_read_of_a_compressed_source_may_fail(inputs, kind, source, reader):
    check_every_read(kind, inputs[source], None, KeyboardInterrupt, reader)


@pytest.mark.parametrize("reader", READERS)
@pytest.mark.parametrize("kind", ITERATORS)
@pytest.mark.parametrize("mode", ["batched", "pipelined"])
def test_every_read_may_fail_in_every_mode(inputs, kind, mode, reader):
    check_every_read(kind, inputs["plain"], mode, KeyboardInterrupt, reader)


class SeekFails(Seeking):
    """Says it can seek, but its seek() fails: the bytes a read took are lost."""

    def seek(self, pos):
        raise OSError("seek refused")


class TellFailsAfterAFailedRead(Telling):
    """Cannot tell where a read that raised left it: those bytes may be lost."""

    told = 0

    def tell(self):
        if self.told < len(self.raised):
            self.told = len(self.raised)
            raise OSError("lost track")
        return self.pos


class SeekInterrupted(Seeking):
    """The seek() putting it back is interrupted once: it is done again before the next read."""

    seeks = 0

    def seek(self, pos):
        self.seeks += 1
        if self.seeks == 1:
            raise KeyboardInterrupt
        super().seek(pos)


class SeekableInterrupted(Seeking):
    """seekable() is interrupted the first time: asked again at the next read."""

    asked = 0

    def seekable(self):
        self.asked += 1
        if self.asked == 1:
            raise KeyboardInterrupt
        return True


class RawTelling(io.RawIOBase):
    """A raw reader written in Python: the readinto() that io.BufferedReader calls raises after taking its bytes."""

    def __init__(self, data, pieces, trips=(), exc=None):
        self.inner = Seeking(data, pieces, trips, exc)

    def readable(self):
        return True

    def seekable(self):
        return True

    def seek(self, pos, whence=0):
        self.inner.seek(pos + (0, self.inner.pos, len(self.inner.data))[whence])
        return self.inner.pos

    def readinto(self, b):
        out = self.inner.read(len(b))
        b[:len(out)] = out
        return len(out)


def counted(f):
    """The reader that counts the reads and keeps what they raised."""
    return f.raw.inner if isinstance(f, io.BufferedReader) else f


# Each reader, the error ending the source when a read raised after taking bytes (None: every value
# comes once), and the exceptions the caller catches.
UNDOING = {
    "seek fails": (SeekFails, "seeking the file-like object back", 2),
    "tell fails after the failed read": (TellFailsAfterAFailedRead, "which cannot seek back", 2),
    "seek interrupted": (SeekInterrupted, None, 1),
    "seekable interrupted": (SeekableInterrupted, None, 2),
    "buffered over Python": (lambda *args: io.BufferedReader(RawTelling(*args)), None, 1),
}


@pytest.mark.parametrize("kind", ITERATORS)
@pytest.mark.parametrize("case", UNDOING)
def test_a_read_that_took_bytes_is_undone_or_ends_the_source(inputs, kind, case):
    make, lost, caught_count = UNDOING[case]
    data, _, pieces = inputs["plain"]
    expected, _ = take_all(kind, ITERATORS[kind](Tripping(data, pieces), None))
    whole = make(data, pieces)
    take_all(kind, ITERATORS[kind](whole, None))
    for k in range(1, counted(whole).calls + 1):
        f = make(data, pieces, [k], KeyboardInterrupt)
        got, caught = take_all(kind, ITERATORS[kind](f, None))
        assert counted(f).raised[0] in caught and len(caught) == caught_count, k
        if lost:
            assert type(caught[-1]) is RuntimeError and lost in str(caught[-1]) and LOST in str(caught[-1]), k
            assert got == expected[:len(got)], k
        else:
            assert all(type(e) is KeyboardInterrupt for e in caught) and got == expected, k


@pytest.mark.parametrize("k", [1, 2, 3, 4])
def test_a_reader_is_put_back_before_the_interrupt_reaches_the_caller(inputs, k):
    data, _, pieces = inputs["plain"]
    f = Seeking(data, pieces, [k], KeyboardInterrupt)
    with pytest.raises(KeyboardInterrupt):
        list(jorvane.items(f, "id", mode="batched"))
    assert f.calls == k and f.pos == f.began


def trip_url_reads(monkeypatch, trips, takes):
    """Makes the read() of every file:// URL's file object raise KeyboardInterrupt at the read numbers in `trips`,
    before taking anything or, with `takes`, after. The count of reads so far."""
    local = pytest.importorskip("fsspec.implementations.local")
    read = local.LocalFileOpener.read
    calls = []

    def tripping(self, *args):
        calls.append(1)
        if len(calls) in trips and not takes:
            raise KeyboardInterrupt
        out = read(self, *args)
        if len(calls) in trips:
            raise KeyboardInterrupt
        return out

    monkeypatch.setattr(local.LocalFileOpener, "read", tripping)
    return calls


@pytest.mark.parametrize("takes", [False, True])
@pytest.mark.parametrize("name", ["rows.ndjson", "rows.ndjson.gz"])
@pytest.mark.parametrize("kind", ITERATORS)
def test_a_url_source_goes_on_after_an_interrupt(tmp_path, monkeypatch, kind, name, takes):
    # A .gz URL's file is Python's gzip reader over the file's: the interrupt comes from inside it.
    path = tmp_path / name
    path.write_bytes(gzip.compress(BIG, 1) if name.endswith(".gz") else BIG)
    url = "file://" + str(path)
    counted = trip_url_reads(monkeypatch, (), takes)
    expected, _ = take_all(kind, ITERATORS[kind](url, None))
    reads = len(counted)
    trip_url_reads(monkeypatch, (reads // 3, 2 * reads // 3), takes)
    got, caught = take_all(kind, ITERATORS[kind](url, None))
    assert len(caught) == 2 and all(type(e) is KeyboardInterrupt for e in caught)
    assert got == expected


@pytest.mark.parametrize("tells", [True, False], ids=["tells", "tells nothing"])
@pytest.mark.parametrize("compressed", [False, True], ids=["plain", "gzip"])
def test_a_url_that_cannot_seek_ends_after_an_interrupt(tmp_path, monkeypatch, compressed, tells):
    # Named without .gz, the file's bytes reach the decoder the Source asks for as they are.
    local = pytest.importorskip("fsspec.implementations.local")
    path = tmp_path / "rows.ndjson"
    path.write_bytes(gzip.compress(BIG, 1) if compressed else BIG)
    url = "file://" + str(path)

    def make():
        return jorvane.items(jorvane.Source(url, compression="gzip") if compressed else url, "id")

    expected = list(make())
    monkeypatch.setattr(local.LocalFileOpener, "seekable", lambda self: False)
    if not tells:
        def tell(self):
            raise OSError("no place")

        monkeypatch.setattr(local.LocalFileOpener, "tell", tell)
    trip_url_reads(monkeypatch, (2,), True)
    got, caught = take_all("items", make())
    assert [type(e) for e in caught] == [KeyboardInterrupt, RuntimeError]
    assert "URL's file" in str(caught[1]) and LOST in str(caught[1])
    assert got == expected[:len(got)] and len(got) < len(expected)


def read_and_seek_back(f):
    at = f.tell()
    f.read(1000)
    f.seek(at)


# How the caller moves the object between two calls, and whether it ends somewhere else.
MOVES = {
    "read": (lambda f: f.read(1000), True),
    "seek to the start": (lambda f: f.seek(0), True),
    "read and seek back": (read_and_seek_back, False),
}


@pytest.mark.parametrize("move", MOVES)
@pytest.mark.parametrize("opened", ["open", "BytesIO", "Seeking"])
@pytest.mark.parametrize("kind", ["items", "table_batches"])
def test_a_reader_moved_between_two_calls_ends_the_source(tmp_path, kind, opened, move):
    path = tmp_path / "rows.ndjson"
    path.write_bytes(BIG)
    f = {"open": lambda: open(path, "rb"), "BytesIO": lambda: io.BytesIO(BIG),
         "Seeking": lambda: Seeking(BIG, [1 << 20])}[opened]()
    expected, _ = take_all(kind, ITERATORS[kind](io.BytesIO(BIG), "batched"))
    it = ITERATORS[kind](f, "batched")
    got = flatten(kind, next(it))
    do, moved = MOVES[move]
    do(f)
    rest, caught = take_all(kind, it)
    got += rest
    getattr(f, "close", lambda: None)()
    if moved:
        assert len(caught) == 1 and type(caught[0]) is RuntimeError
        assert "something else read or moved it" in str(caught[0]) and LOST in str(caught[0])
        assert got == expected[:len(got)] and len(got) < len(expected)
    else:
        assert not caught and got == expected


@pytest.mark.parametrize("kind", ITERATORS)
def test_an_interrupt_while_the_malformed_input_error_is_made_leaves_it_for_the_next_call(monkeypatch, kind):
    # The error's class is written in Python, so a pending Ctrl-C lands while it is made: the
    # iterator raises the interrupt, then the error, instead of ending as if the input were whole.
    errors = pytest.importorskip("jorvane._errors")
    init, armed = errors._PartialResultsError.__init__, [True]

    def interrupted_once(self, *args):
        if armed.pop() if armed else False:
            raise KeyboardInterrupt
        init(self, *args)

    monkeypatch.setattr(errors._PartialResultsError, "__init__", interrupted_once)
    rows = b"".join(b'{"id": %d}\n' % i for i in range(100))
    expected, _ = take_all(kind, ITERATORS[kind](rows, None))
    got, caught = take_all(kind, ITERATORS[kind](rows + b'{"id": oops}\n{"id": 5}\n', None))
    assert [type(e) for e in caught] == [KeyboardInterrupt, errors.Corrupted]
    assert got == expected[:len(got)]
