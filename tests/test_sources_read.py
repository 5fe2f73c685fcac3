"""Opening resolved sources and reading them: files, compression, in-memory
text, Python file-likes (from any thread), URLs and abandoning."""
import gzip
import io
import os
import shutil
import subprocess
import sys

import pytest

from jorvane import Source

hooks = pytest.importorskip("jorvane_testhooks")

MiB = 1048576


def joined(source, **kw):
    return [b"".join(chunks) for chunks in hooks.read(source, **kw)]


def zstd_bytes(data):
    if not shutil.which("zstd"):
        pytest.skip("zstd tool not available")
    return subprocess.run(["zstd", "-q", "-c"], input=data, capture_output=True, check=True).stdout


class Reader:
    """A file-like whose read() answers from a script."""

    def __init__(self, *answers, close_raises=False):
        self.answers = list(answers)
        self.asked = []
        self.closes = 0
        self.close_raises = close_raises

    def read(self, n):
        self.asked.append(n)
        a = self.answers.pop(0) if self.answers else b""
        if isinstance(a, BaseException):
            raise a
        return a

    def close(self):
        self.closes += 1
        if self.close_raises:
            raise OSError("close failed")


# --- Python file-likes -------------------------------------------------------

@pytest.mark.parametrize("thread", [False, True])
def test_reader_results(thread):
    r = Reader(b"[1,", "2, \u00e9]", b"")
    assert hooks.read(r, thread=thread) == [[b"[1,", "2, \u00e9]".encode()]]
    assert r.asked == [MiB] * 3
    assert r.closes == 0
    assert joined(io.StringIO('{"t": "\u2603"}'), thread=thread) == ['{"t": "\u2603"}'.encode()]
    assert joined(Reader(b"x" * (MiB + 5))) == [b"x" * (MiB + 5)]  # a long answer is taken whole


@pytest.mark.parametrize("answer", [bytearray(b"[]"), None, 5, "\ud800"])
def test_reader_wrong_result_type(answer):
    with pytest.raises(RuntimeError, match=r"^file-like read\(\) must return bytes or str$"):
        hooks.read(Reader(answer))


@pytest.mark.parametrize("codec", ["gzip", "zstd"])
def test_compressed_reader_results(codec):
    data = b'{"k": [1, 2, 3]}\n' * 1000
    packed = gzip.compress(data) if codec == "gzip" else zstd_bytes(data)
    r = Reader(packed)
    assert joined(Source(r, compression=codec), buffer_len=4096) == [data]
    # the decoder fills its MiB buffer before decoding: a short answer is
    # followed by a read of what the buffer still lacks
    assert r.asked == [MiB, MiB - len(packed)]
    for junk in (bytearray(packed), "text"):
        with pytest.raises(RuntimeError) as info:
            hooks.read(Source(Reader(junk), compression=codec))
        assert str(info.value) == ("a compressed file-like source's read() must return bytes "
                                   "(open it in binary mode)")
    with pytest.raises(RuntimeError) as info:
        hooks.read(Source(Reader(b"x" * (MiB + 1)), compression=codec))
    assert str(info.value) == "file-like read(1048576) returned 1048577 bytes \u2014 more than asked"


class Trickle:
    """A binary file-like whose read(n) answers at most `step` bytes."""

    def __init__(self, data, step):
        self.f = io.BytesIO(data)
        self.step = step

    def read(self, n=-1):
        return self.f.read(min(n, self.step) if n >= 0 else self.step)


def damaged(codec):
    """(name, compressed input the decoder refuses)."""
    body = b'{"a": 1, "b": [true, null, "x"]}\n' * 3000
    if codec == "zstd":
        # a frame whose error once followed the read sizes of a file-like
        yield "reported", bytes.fromhex("28b52ffd81810000000100010000000100010036100032b942d776")
        # declares 200000 bytes, holds 10 and ends with an empty block
        yield "short", bytes.fromhex("28b52ffda0400d030050000068656c6c6f68656c6c6f010000")
        packed, header = zstd_bytes(body), 5
    else:
        packed, header = gzip.compress(body), 3
        yield "truncated", packed[: len(packed) // 2]
    for at in (header, len(packed) // 3, len(packed) - 6, len(packed) - 1):
        yield f"byte {at}", packed[:at] + bytes([packed[at] ^ 0x55]) + packed[at + 1:]


@pytest.mark.parametrize("codec", ["gzip", "zstd"])
def test_decoder_errors_do_not_follow_read_sizes(codec, tmp_path):
    from jorvane import Query
    path = tmp_path / "data.json"
    for name, data in damaged(codec):
        path.write_bytes(data)
        outcomes = set()
        for src in (data, io.BytesIO(data), Trickle(data, 1), Trickle(data, 7), Trickle(data, 4099), str(path)):
            try:
                outcomes.add(("ok", Query(Source(src, compression=codec), "a", "count").result().count()))
            except RuntimeError as e:
                outcomes.add(("error", str(e)))
        assert len(outcomes) == 1, (name, outcomes)
        assert next(iter(outcomes))[0] == "error", name


@pytest.mark.parametrize("thread", [False, True])
@pytest.mark.parametrize("exc_type", [KeyboardInterrupt, SystemExit])
@pytest.mark.parametrize("compression", [None, "gzip", "zstd"])
def test_interrupt_from_read_comes_back_unchanged(exc_type, thread, compression):
    # under gzip the raising read() is the header's, made while opening
    exc = exc_type("stop")
    r = Reader(exc)
    with pytest.raises(exc_type) as info:
        hooks.read(Source(r, compression=compression), thread=thread)
    assert info.value is exc and r.asked == [MiB]


def test_other_exceptions_become_read_failure_text():
    with pytest.raises(RuntimeError, match=r"^ValueError: bad value$"):
        hooks.read(Reader(ValueError("bad value")))

    class Unprintable(Exception):
        def __str__(self):
            raise TypeError("no")

    with pytest.raises(RuntimeError, match=r"Unprintable: <exception str\(\) failed>$"):
        hooks.read(Reader(Unprintable()))
    # a message holding a lone surrogate is kept, the surrogate replaced
    with pytest.raises(RuntimeError, match="^ValueError: bad \ufffd+ byte$"):
        hooks.read(Reader(ValueError("bad \udc80 byte")))

    class NotCallable:
        read = 5

    with pytest.raises(RuntimeError, match=r"^TypeError: .*'int'.* not callable$"):
        hooks.read(NotCallable())


def test_bytes_are_decoded_only_when_asked():
    packed = gzip.compress(b"[1]")
    assert joined(packed) == [packed]
    assert joined(Source(packed, compression="gzip")) == [b"[1]"]
    assert joined(Source(io.BytesIO(packed), compression="none")) == [packed]
    assert hooks.read(b"") == [[]]
    with pytest.raises(RuntimeError, match="^unexpected end of file$"):
        hooks.read(Source(b"", compression="gzip"))
    big = b" " * (2 * 4 * MiB + 1)
    assert [len(c) for c in hooks.read(big, buffer_len=1000)[0]] == [4 * MiB, 4 * MiB, 1]


# --- files -------------------------------------------------------------------

@pytest.fixture
def files(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    data = b'{"n": 1}\n' * 300
    (tmp_path / "plain.json").write_bytes(data)
    (tmp_path / "DATA.JSON.GZ").write_bytes(gzip.compress(data))
    (tmp_path / "data.gzip").write_bytes(gzip.compress(data))
    (tmp_path / "noext").write_bytes(gzip.compress(data))
    (tmp_path / "empty.gz").write_bytes(b"")
    (tmp_path / "damaged.gz").write_bytes(b"\x1f\x8c garbage")
    return data


def test_compression_by_extension_and_option(files):
    packed = gzip.compress(files)
    assert joined("plain.json") == [files]
    assert joined("DATA.JSON.GZ") == [files]
    assert joined("data.gzip") == [packed]
    assert joined(Source("DATA.JSON.GZ", compression="none")) == [packed]
    assert joined(Source("noext", compression="gzip")) == [files]
    with pytest.raises(RuntimeError, match="^unexpected end of file$"):
        hooks.read("empty.gz")
    with pytest.raises(RuntimeError, match="^invalid gzip header$"):
        hooks.read("damaged.gz")


def test_zstd_files(files, tmp_path):
    (tmp_path / "data.json.ZSTD").write_bytes(zstd_bytes(files))
    assert joined("data.json.ZSTD") == [files]


def test_chunk_lengths(files, tmp_path):
    assert [len(c) for c in hooks.read("plain.json", buffer_len=1000)[0]] == [1000, 1000, 700]
    big = os.urandom(3 * MiB) + b"tail"
    (tmp_path / "big.gz").write_bytes(gzip.compress(big, compresslevel=1))
    # Prefetched or not, a decoder's buffers have the length asked for.
    for prefetch in (True, False):
        [chunks] = hooks.read("big.gz", buffer_len=MiB, prefetch=prefetch)
        assert [len(c) for c in chunks] == [MiB, MiB, MiB, 4] and b"".join(chunks) == big
    assert [len(c) for c in hooks.read("plain.json", buffer_len=1000, prefetch=True)[0]] == [1000, 1000, 700]


def test_cannot_open(files, tmp_path):
    with pytest.raises(ValueError) as info:
        hooks.open_path(b"missing.json")
    assert str(info.value) == 'cannot open "missing.json": No such file or directory (os error 2)'
    with pytest.raises(ValueError) as info:
        hooks.open_path(b"a\0b.json")
    assert str(info.value) == 'cannot open "a\\0b.json": file name contained an unexpected NUL byte'
    with pytest.raises(ValueError) as info:
        hooks.open_path(b"caf\xe9x")
    assert str(info.value) == 'cannot open "caf\ufffdx": No such file or directory (os error 2)'


def test_non_utf8_name_found_by_glob_opens(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    # two names that are not UTF-8 and read alike once decoded: two files all the same
    for raw, body in ((b"caf\xe9.json", b"[42]"), (b"caf\xff.json", b"[7]")):
        with open(raw, "wb") as fh:
            fh.write(body)
    found = hooks.resolve("caf*.json")
    assert [r["label"] for r in found] == [str(tmp_path) + "/caf\ufffd.json"] * 2
    assert [r["raw"] for r in found] == [os.fsencode(str(tmp_path)) + raw for raw in (b"/caf\xe9.json", b"/caf\xff.json")]
    assert joined("caf*.json") == [b"[42]", b"[7]"]


def test_single_table_source(files):
    assert b"".join(hooks.single_table_source(["plain.json"])) == files
    assert b"".join(hooks.single_table_source("DATA.JSON.GZ", pipelined=True)) == files
    for source, count in ((["plain.json", "DATA.JSON.GZ"], 2), ("nomatch*", 0), ([], 0)):
        with pytest.raises(ValueError) as info:
            hooks.single_table_source(source)
        assert str(info.value) == (f"table() takes a single source, got {count} "
                                   "(rows from different sources would have no defined order)")
    with pytest.raises(ValueError, match=r"^Source\(progress=...\) is only supported by Query; table\(\)"):
        hooks.single_table_source(Source("plain.json", progress=print, name="n"))
    with pytest.raises(ValueError, match=r"^Source\(name=...\) labels Query results; table\(\) does not"):
        hooks.single_table_source(Source("plain.json", name="n"))


# --- URLs and abandoning -----------------------------------------------------

def test_fsspec_urls(files, tmp_path):
    fsspec = pytest.importorskip("fsspec")
    assert joined("file://" + str(tmp_path / "plain.json")) == [files]
    # fsspec infers gzip from the name; no second decoding happens here
    assert joined("file://" + str(tmp_path / "DATA.JSON.GZ")) == [files]
    with fsspec.open("memory://jorvane/read.json.gz", "wb") as fh:
        fh.write(gzip.compress(b"[1]"))
    assert joined("memory://jorvane/read.json.gz") == [b"[1]"]
    with fsspec.open("memory://jorvane/raw.bin", "wb") as fh:
        fh.write(gzip.compress(b"[2]"))
    assert joined(Source("memory://jorvane/raw.bin", compression="gzip")) == [b"[2]"]


@pytest.fixture
def fake_fsspec(monkeypatch):
    fsspec = pytest.importorskip("fsspec")
    opened = []

    class Opener:
        def __init__(self, url, mode, compression):
            assert (mode, compression) == ("rb", "infer")
            self.url = url

        def open(self):
            r = Reader(b"[1]", b"[2]", close_raises="raise" in self.url)
            opened.append(r)
            return r

    monkeypatch.setattr(fsspec, "open", Opener)
    return opened


@pytest.mark.parametrize("compression", [None, "gzip"])
def test_abandon_closes_only_what_the_system_opened(fake_fsspec, compression):
    c = compression
    # a file the system opened: closed once, even when abandoned twice or close() raises
    hooks.read(Source("mem://x/a.json", compression=c), abandon_after=0)
    hooks.read(Source("mem://x/raise.json", compression=c), abandon_after=0)
    assert [r.closes for r in fake_fsspec] == [1, 1]
    # read to the end and dropped: not closed
    if not c:
        assert joined("mem://x/b.json") == [b"[1][2]"]
        assert fake_fsspec[-1].closes == 0
    # a file-like the caller passed: never closed
    mine = Reader(b"[1]", b"[2]")
    hooks.read(Source(mine, compression=c), abandon_after=0)
    assert mine.closes == 0


def test_abandon_keeps_plain_sources_readable(files):
    assert hooks.read("plain.json", buffer_len=1000, abandon_after=1)[0] == [files[:1000]]


def test_readers_released_on_other_threads_do_not_leak():
    import gc
    import weakref

    r = Reader(b"[1]")
    ref = weakref.ref(r)
    hooks.read(r, thread=True)
    del r
    gc.collect()
    assert ref() is None
