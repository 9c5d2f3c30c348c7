"""Failure paths of the frame, exercised through the test-only probe module."""

import importlib.metadata
import types

import pytest
import zelk_core


def panic_type(probe):
    try:
        probe.panic()
    except BaseException as error:
        return type(error)
    raise AssertionError("probe.panic() returned")


def test_panic_exception(probe):
    kind = panic_type(probe)
    assert kind.__name__ == "PanicException"
    assert kind.__module__ == "pyo3_runtime"
    assert kind.__bases__ == (BaseException,)
    assert not issubclass(kind, Exception)
    assert "BaseException" in kind.__doc__
    assert panic_type(probe) is kind  # created once
    with pytest.raises(BaseException) as info:
        try:
            probe.panic()
        except Exception:  # must not catch it
            pytest.fail("PanicException was caught as an Exception")
    assert type(info.value) is kind
    assert str(info.value) == "probe: an internal failure"
    assert info.value.args == ("probe: an internal failure",)


@pytest.mark.parametrize(
    "body, kind, message, printed",
    [
        ("std_failure", "PanicException", "probe: a standard exception", ""),
        ("bad_result", "PanicException", "Python API call failed", "UnicodeDecodeError"),
        ("bad_alloc", MemoryError, "", ""),
        ("length_error", MemoryError, "", ""),
        ("huge_result", MemoryError, "", ""),
        ("silent_failure", SystemError, "attempted to fetch exception but none was set", ""),
        ("forgetful", SystemError, "attempted to fetch exception but none was set", ""),
    ],
)
def test_failures_inside_the_trampoline(probe, capfd, body, kind, message, printed):
    if kind == "PanicException":
        kind = panic_type(probe)
    capfd.readouterr()
    with pytest.raises(BaseException) as info:
        getattr(probe, body)()
    assert type(info.value) is kind
    assert str(info.value) == message
    err = capfd.readouterr().err
    if printed:
        assert printed in err
    else:
        assert err == ""


def test_panic_raised_by_user_code_during_conversion(probe, capfd):
    kind = panic_type(probe)

    class Exploding:
        def __len__(self):
            return 1

        def __getitem__(self, i):
            return "a"

        def __iter__(self):
            raise kind("raised inside __iter__")

    capfd.readouterr()
    with pytest.raises(BaseException) as info:
        probe.texts(Exploding())
    assert type(info.value) is kind
    assert str(info.value) == "raised inside __iter__"
    err = capfd.readouterr().err
    assert "PanicException was raised while converting an argument" in err
    assert "raised inside __iter__" in err
    assert "Traceback" in err


def test_all_must_be_a_list(probe):
    module = types.ModuleType("scratch")
    probe.add_attribute(module, "first", 1)
    probe.add_attribute(module, "second", 2)
    assert module.__all__ == ["first", "second"] and module.second == 2
    module.__all__ = ("first",)
    with pytest.raises(TypeError, match=r"^'tuple' object cannot be converted to 'PyList'$"):
        probe.add_attribute(module, "third", 3)


def test_probe_is_not_in_the_wheel():
    installed = [str(f) for f in importlib.metadata.files("zelk_core")]
    assert not [f for f in installed if "probe" in f]


def test_nested_calls_from_conversion():
    # user code run during a conversion may call back into the module
    class Reentrant:
        def __float__(self):
            return zelk_core.aggregate_cost([1.0, 2.0])

    assert zelk_core.aggregate_cost([Reentrant(), Reentrant()]) == 6.0
