import inspect
import os

import pytest

import jorvane

PLAIN = ["Count", "CountUnique", "ValueCounts", "Exists", "Min", "Max", "Sum", "Mean", "Product", "Mode", "Types"]


def test_plain_constructors_take_no_arguments_and_render_their_name():
    for name in PLAIN:
        ctor = getattr(jorvane, name)
        acc = ctor()
        assert isinstance(acc, jorvane.Accumulator)
        assert repr(acc) == name + "()"
        assert str(inspect.signature(ctor)) == "()"
        with pytest.raises(TypeError):
            ctor(1)


def test_streaming_constructors():
    for name in ("Values", "ValuesUnique"):
        ctor = getattr(jorvane, name)
        assert repr(ctor()) == f"{name}(into=None, numeric=False)"
        assert repr(ctor([], True)) == f"{name}(into=<dst>, numeric=True)"
        assert repr(ctor(into=None, numeric=True)) == f"{name}(into=None, numeric=True)"
        assert str(inspect.signature(ctor)) == "(into=None, numeric=False)"
        with pytest.raises(TypeError, match="numeric"):
            ctor(numeric=1)
        with pytest.raises(TypeError):
            ctor(bogus=1)


def test_registered_classes_cannot_be_built_from_python():
    assert jorvane.Accumulator.__doc__ == "A single accumulator plus, for streaming kinds, an optional destination."
    for cls in (jorvane.Accumulator, jorvane.NumericBuffer, jorvane.QueryResult):
        with pytest.raises(TypeError):
            cls()


def test_active_kernel_names_a_kernel_this_cpu_runs():
    names = {jorvane._active_kernel() for _ in range(3)}
    assert len(names) == 1
    assert names <= {"avx512", "avx2", "neon", "scalar"}
    # A run that knows its processor (an emulated one) names the kernel it must get.
    expected = os.environ.get("JORVANE_EXPECT_KERNEL")
    if expected:
        assert names == {expected}
    with pytest.raises(TypeError):
        jorvane._active_kernel(1)
    assert str(inspect.signature(jorvane._active_kernel)) == "()"


def test_every_registered_function_has_a_signature():
    for name in jorvane.__all__:
        obj = getattr(jorvane, name)
        if isinstance(obj, type) and name not in ("Query", "Source"):
            assert obj.__doc__  # plain docstring, no constructor
            continue
        if callable(obj):
            inspect.signature(obj)  # raises ValueError without a text signature
