"""How stored failures become exceptions, and what happens when jorvane._errors misbehaves."""
import subprocess
import sys
import textwrap

import pytest

import jorvane
import jorvane._errors
from jorvane import Query

BROKEN = b'{"a": 1}\n{"a": ]'


def test_exception_classes_come_from_the_errors_module(monkeypatch):
    class Refusing(Exception):
        pass

    class RaisingCorrupted:
        def __init__(self, *args):
            raise Refusing(args)

    q = Query([BROKEN, b"[1"], "a", "count")
    monkeypatch.setattr(jorvane._errors, "Corrupted", RaisingCorrupted)
    with pytest.raises(Refusing) as info:
        q.result(0)
    message, offset, partials = info.value.args[0]
    assert message.startswith("source 0 is malformed: malformed JSON at byte ") and offset == 15
    assert [r.count() for r in partials] == [1]

    monkeypatch.setattr(jorvane._errors, "Incomplete", lambda *args: "not an exception")
    with pytest.raises(TypeError) as info:
        q.result(1)
    assert str(info.value) == "exceptions must derive from BaseException"


def test_each_raise_gets_its_own_list_of_partials(monkeypatch):
    class Keeping(Exception):
        def __init__(self, message, offset, partials):
            super().__init__(message)
            self.partials = partials  # kept as given, not copied

    q = Query(b"[1", "[*]", "count")
    monkeypatch.setattr(jorvane._errors, "Incomplete", Keeping)
    with pytest.raises(Keeping) as first:
        q.result()
    first.value.partials.clear()
    with pytest.raises(Keeping) as second:
        q.result()
    assert [r.count() for r in second.value.partials] == [1]


def test_errors_module_is_imported_on_first_use_and_retried():
    script = textwrap.dedent("""
        import sys
        sys.modules["jorvane._errors"] = None      # make the import fail
        import jorvane
        q = jorvane.Query(b'{"a": ]', "a", "count")
        try:
            q.result()
        except ImportError:
            print("import error")
        del sys.modules["jorvane._errors"]
        try:
            q.result()
        except Exception as e:
            print(type(e).__name__, type(e).__module__)
    """)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    assert out.stdout.split("\n")[:2] == ["import error", "Corrupted jorvane._errors"]


def test_malformed_message_format():
    q = Query(b'{"a": 1}\n{"a": ]\n', "a", "count")
    with pytest.raises(jorvane._errors.Corrupted) as info:
        q.result()
    e = info.value
    assert str(e) == ("source 0 is malformed: malformed JSON at byte 15: ']' closes a container of the other kind\n"
                      "  near: \"{\\\"a\\\": 1}\\n{\\\"a\\\": ]\\n\"")
    assert e.offset == 15
    assert isinstance(e, ValueError)
    q = Query(b'{"a": "x', "a", "count")
    with pytest.raises(jorvane._errors.Incomplete) as info:
        q.result()
    assert str(info.value).endswith("partial results are available via .recover()")


TRUNCATED = b'{"a": 1}\n{"a": [2'
RECOVER = "\n  partial results are available via .recover()"


def first_rows(iterator):
    return [next(iterator) for _ in range(5)]


@pytest.mark.parametrize("name, run", [
    ("Query", lambda src: Query(src, "a", "count").result()),
    ("items", lambda src: list(jorvane.items(src, "a"))),
    ("table", lambda src: jorvane.table(src, "", ["a"])),
    ("group_by", lambda src: jorvane.group_by(src, "", ["a"], {"n": "count"})),
    ("describe", lambda src: jorvane.describe(src)),
    ("table_batches", lambda src: first_rows(jorvane.table_batches(src, "", ["a"], batch_rows=1))),
    ("ndjson_lines", lambda src: first_rows(jorvane.ndjson_lines(src, ""))),
], ids=lambda v: v if isinstance(v, str) else "")
def test_recover_is_advised_only_with_partial_results(name, run):
    with pytest.raises(jorvane._errors.Incomplete) as info:
        run(TRUNCATED)
    text, partials = str(info.value), info.value.recover()
    assert text.startswith(("input ended at byte 17: ", "source 0 ended early: input ended at byte 17: "))
    assert text.endswith(RECOVER) == bool(partials)
    # The lazy NDJSON lines keep the count of their row query.
    assert bool(partials) == (name in ("Query", "items", "ndjson_lines"))



class Trickle:
    """A file-like object that answers every read with at most `step` bytes."""

    def __init__(self, data, step):
        self.data, self.step, self.pos = data, step, 0

    def read(self, n=-1):
        k = self.step if n is None or n < 0 else min(n, self.step)
        chunk = self.data[self.pos:self.pos + k]
        self.pos += len(chunk)
        return chunk


def near_text(error):
    # The near line of the message, unquoted (the documents here escape
    # only double quotes and line feeds).
    quoted = str(error).split("\n  near: ", 1)[1]
    assert quoted[0] == quoted[-1] == '"'
    return quoted[1:-1].replace('\\"', '"').replace("\\n", "\n")


LEAD = b'{"a": "' + b"p" * 90 + b'"}\n'
# Each token the walk refuses begins well before the read that ends it.
STRADDLING = [
    (LEAD + b'{"a": 5 ' + b"7" * 150 + b"}\n", len(LEAD) + 8),
    (LEAD + b'{"a": 5 "' + b"s" * 150 + b'"}\n', len(LEAD) + 8),
    (LEAD + b'{"a": 5' + b" " * 200 + b"6}\n", len(LEAD) + 207),
]


@pytest.mark.parametrize("name, run", [
    ("Query", lambda src: Query(src, "a", "count").result()),
    ("items", lambda src: list(jorvane.items(src, "a"))),
    ("table", lambda src: jorvane.table(src, "", ["a"])),
    ("describe", lambda src: jorvane.describe(src)),
], ids=lambda v: v if isinstance(v, str) else "")
def test_near_text_reaches_back_past_the_reads(name, run):
    # The 64 bytes before the error and the byte it names, whatever the
    # reads returned; after it, what the read that ended the token held
    # (read() is not called again for the context), up to 64 bytes.
    for doc, offset in STRADDLING:
        with pytest.raises(jorvane._errors.Corrupted) as whole:
            run(doc)
        assert whole.value.offset == offset
        assert near_text(whole.value) == doc[offset - 64:offset + 64].decode()
        for step in (1, 5, 64, 97):
            with pytest.raises(jorvane._errors.Corrupted) as cut:
                run(Trickle(doc, step))
            shown = near_text(cut.value)
            assert near_text(whole.value).startswith(shown) and len(shown) > 64, (doc[:20], step)
            assert str(cut.value).split("\n  near: ")[0] == str(whole.value).split("\n  near: ")[0]


def test_near_text_across_the_buffers_of_a_file(tmp_path):
    # A token cut by the end of the first MiB buffer of a file, and an error
    # just before the end of that buffer, plain and compressed, in either
    # mode: the message of the document held whole.
    import gzip

    filler = b'{"a": 1}\n' * ((1 << 20) // 9)
    edge = 1 << 20
    docs = [
        filler[: edge - 40] + b' {"a": 5 "' + b"s" * 100 + b'"}\n' + b'{"a": 2}\n' * 100,
        filler[: edge - 31] + b' {"a": 5 6}\n' + b'{"a": 2}\n' * 100,
    ]
    for n, doc in enumerate(docs):
        plain, packed = tmp_path / f"cut{n}.json", tmp_path / f"cut{n}.json.gz"
        plain.write_bytes(doc)
        packed.write_bytes(gzip.compress(doc, 1))
        with pytest.raises(jorvane._errors.Corrupted) as whole:
            Query(doc, "a", "count", mode="batched").result()
        offset = whole.value.offset
        assert near_text(whole.value) == doc[offset - 64:offset + 64].decode()
        for src in (str(plain), str(packed)):
            for mode in ("batched", "pipelined"):
                with pytest.raises(jorvane._errors.Corrupted) as cut:
                    Query(src, "a", "count", mode=mode).result()
                assert str(cut.value) == str(whole.value), (n, src, mode)
                with pytest.raises(jorvane._errors.Corrupted) as pulled:
                    list(jorvane.items(src, "a", mode=mode))
                assert str(whole.value).endswith(str(pulled.value)), (n, src, mode)
