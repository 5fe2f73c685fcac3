"""The Source wrapper: signature, option checks, text form, classification."""
import inspect

import pytest

import jorvane
from jorvane import Source

hooks = pytest.importorskip("jorvane_testhooks")

NO_OPTS = {"progress": None, "progress_interval": None, "name": None, "compression": None}


def test_signature_and_registration():
    sig = inspect.signature(Source)
    assert str(sig) == "(obj, *, progress=None, progress_interval=None, name=None, compression=None)"
    assert Source.__doc__.startswith("Declarative per-source configuration")
    assert Source.__mro__ == (Source, object)
    assert jorvane.__all__[:3] == ["__version__", "Query", "Source"]


def test_repr():
    assert repr(Source("a.json")) == "Source('a.json')"
    cb = lambda n, r: None  # noqa: E731
    s = Source(b"[]", compression="raw", name='x"y', progress_interval=7, progress=cb)
    assert repr(s) == "Source(b'[]', progress=..., progress_interval=7, name=\"x\\\"y\", compression=\"none\")"
    assert repr(Source("a", compression="gz")) == "Source('a', compression=\"gzip\")"
    assert repr(Source("a", compression="zst")) == "Source('a', compression=\"zstd\")"

    class BadRepr:
        def __repr__(self):
            raise RuntimeError("no")

    assert repr(Source(BadRepr(), name="")) == 'Source(<source>, name="")'


@pytest.mark.parametrize(
    "kwargs, exc, message",
    [
        ({"progress_interval": 5}, ValueError, "progress_interval= only makes sense with a progress= callback"),
        ({"progress_interval": 0}, ValueError, "progress_interval= only makes sense with a progress= callback"),
        ({"progress_interval": 0, "progress": print}, ValueError, "progress_interval must be at least 1"),
        ({"compression": "GZIP"}, ValueError, 'compression must be "gzip", "zstd", or "none", got "GZIP"'),
        ({"compression": "gzip "}, ValueError, 'compression must be "gzip", "zstd", or "none", got "gzip "'),
    ],
)
def test_option_refusals(kwargs, exc, message):
    with pytest.raises(exc) as info:
        Source("a.json", **kwargs)
    assert str(info.value) == message


def test_binding_and_conversion_errors_come_first():
    with pytest.raises(ValueError, match="^Source cannot wrap another Source; pass the underlying source once$"):
        Source(Source("a"), compression="bogus")
    # a conversion error wins over the wrapper check
    with pytest.raises(TypeError, match="name"):
        Source(Source("a"), name=3)
    with pytest.raises(TypeError, match="progress_interval"):
        Source("a", progress=print, progress_interval="5")
    with pytest.raises(TypeError, match="compression"):
        Source("a", compression=b"gzip")
    with pytest.raises(OverflowError):
        Source("a", progress=print, progress_interval=-1)
    with pytest.raises(OverflowError):
        Source("a", progress=print, progress_interval=2**64)
    with pytest.raises(TypeError):
        Source()
    with pytest.raises(TypeError):
        Source("a", "b")
    with pytest.raises(TypeError):
        Source("a", bogus=1)
    assert repr(Source(obj="k", compression=None, name=None)) == "Source('k')"
    assert repr(Source("k", progress=print, progress_interval=2**64 - 1)).endswith(
        "progress_interval=18446744073709551615)")


def test_options_reach_the_classified_item():
    cb = lambda n, r: None  # noqa: E731
    [r] = hooks.resolve(Source(b"{}", progress=cb, progress_interval=3, compression="zstd"))
    assert r["options"] == dict(NO_OPTS, progress=cb, progress_interval=3, compression="zstd")
    assert r["label"] == "<bytes:0>"


@pytest.mark.parametrize("wrap", [lambda h: Source(h, progress=h.__init__, name="cycle"),
                                  lambda h: jorvane.Values(into=h)], ids=["Source", "Values"])
def test_cycles_through_a_wrapper_are_collected(wrap):
    import gc
    import weakref

    class Holder(list):
        pass

    h = Holder()
    h.append(wrap(h))
    ref = weakref.ref(h)
    del h
    gc.collect()
    assert ref() is None
