"""The argument binder and the error translation, driven through the test-only
extension ``_binder_probe`` with descriptors the public functions do not have:

- ``posonly(a, b, /, c)``: two positional-only parameters, all three required;
- ``kwonly(a, *, k, opt)``: ``a`` and the keyword-only ``k`` required;
- ``optional(a, b, c)``: only ``a`` required;
- ``one(a)``, ``four(a, b, c, d)``;
- ``method(a)`` described with the class name ``Probe``.

Each returns the tuple of its bound slots, None where a slot stayed empty.
"""

import re
import sys
import sysconfig
import types

import pytest

import kelvora
from _support import PANIC_DOC, SOURCE_LOCATION, ReRaises, assert_resumed, pyobject_vectorcall

wm = kelvora.witt_mao_magnification


# -- successful binding -------------------------------------------------------------


@pytest.mark.parametrize(
    "func, args, kwargs, slots",
    [
        ("posonly", (1, 2, 3), {}, (1, 2, 3)),
        ("posonly", (1, 2), {"c": 3}, (1, 2, 3)),
        ("kwonly", (1,), {"k": 2}, (1, 2, None)),
        ("kwonly", (1,), {"k": 2, "opt": 3}, (1, 2, 3)),
        ("kwonly", (1,), {"opt": 3, "k": 2}, (1, 2, 3)),
        ("kwonly", (), {"a": 1, "k": 2}, (1, 2, None)),
        ("kwonly", (), {"k": 2, "a": 1}, (1, 2, None)),
        ("optional", (1,), {}, (1, None, None)),
        ("optional", (1, 2), {}, (1, 2, None)),
        ("optional", (1, 2, 3), {}, (1, 2, 3)),
        ("optional", (1,), {"c": 3}, (1, None, 3)),
        ("optional", (), {"a": 1, "b": 2}, (1, 2, None)),
        ("one", (1,), {}, (1,)),
        ("one", (), {"a": 1}, (1,)),
        ("four", (1, 2, 3, 4), {}, (1, 2, 3, 4)),
        ("four", (), {"d": 4, "c": 3, "b": 2, "a": 1}, (1, 2, 3, 4)),
        ("four", (1, 2), {"d": 4, "c": 3}, (1, 2, 3, 4)),
        ("method", (1,), {}, (1,)),
        ("method", (), {"a": 1}, (1,)),
    ],
)
def test_bound_slots(probe, func, args, kwargs, slots):
    assert getattr(probe, func)(*args, **kwargs) == slots


def test_slots_hold_the_argument_objects(probe):
    a, b, c = object(), object(), object()
    result = probe.posonly(a, b, c=c)
    assert result[0] is a and result[1] is b and result[2] is c
    result = probe.kwonly(a, opt=c, k=b)
    assert result[0] is a and result[1] is b and result[2] is c


# -- binding messages ------------------------------------------------------------------


@pytest.mark.parametrize(
    "func, args, kwargs, message",
    [
        # positional-only parameters passed by keyword
        (
            "posonly",
            (),
            {"a": 1, "b": 2, "c": 3},
            "posonly() got some positional-only arguments passed as keyword arguments: 'a' and 'b'",
        ),
        (
            "posonly",
            (),
            {"b": 2, "a": 1, "c": 3},
            "posonly() got some positional-only arguments passed as keyword arguments: 'b' and 'a'",
        ),
        (
            "posonly",
            (1,),
            {"b": 2, "c": 3},
            "posonly() got some positional-only arguments passed as keyword arguments: 'b'",
        ),
        # reported before the missing parameters
        (
            "posonly",
            (),
            {"a": 1},
            "posonly() got some positional-only arguments passed as keyword arguments: 'a'",
        ),
        # ... but an unknown keyword ends binding at once
        ("posonly", (1, 2, 3), {"a": 5, "zz": 1}, "posonly() got an unexpected keyword argument 'zz'"),
        ("posonly", (1, 2, 3), {"c": 4}, "posonly() got multiple values for argument 'c'"),
        ("posonly", (1, 2), {}, "posonly() missing 1 required positional argument: 'c'"),
        ("posonly", (), {}, "posonly() missing 3 required positional arguments: 'a', 'b', and 'c'"),
        ("posonly", (1, 2, 3, 4), {}, "posonly() takes 3 positional arguments but 4 were given"),
        # keyword-only parameters
        ("kwonly", (1,), {}, "kwonly() missing 1 required keyword argument: 'k'"),
        ("kwonly", (1,), {"opt": 2}, "kwonly() missing 1 required keyword argument: 'k'"),
        ("kwonly", (), {"k": 2}, "kwonly() missing 1 required positional argument: 'a'"),
        ("kwonly", (), {}, "kwonly() missing 1 required positional argument: 'a'"),
        ("kwonly", (1, 2), {}, "kwonly() takes 1 positional arguments but 2 were given"),
        ("kwonly", (1, 2, 3), {"k": 1}, "kwonly() takes 1 positional arguments but 3 were given"),
        ("kwonly", (1,), {"a": 1, "k": 2}, "kwonly() got multiple values for argument 'a'"),
        ("kwonly", (1,), {"K": 2}, "kwonly() got an unexpected keyword argument 'K'"),
        ("kwonly", (1,), {"b": 2}, "kwonly() got an unexpected keyword argument 'b'"),
        # optional positional parameters
        ("optional", (1, 2, 3, 4), {}, "optional() takes from 1 to 3 positional arguments but 4 were given"),
        ("optional", (1, 2, 3, 4, 5), {}, "optional() takes from 1 to 3 positional arguments but 5 were given"),
        ("optional", (), {}, "optional() missing 1 required positional argument: 'a'"),
        ("optional", (), {"b": 2, "c": 3}, "optional() missing 1 required positional argument: 'a'"),
        ("optional", (1, 2), {"b": 2}, "optional() got multiple values for argument 'b'"),
        # a single parameter: "arguments" stays plural
        ("one", (1, 2), {}, "one() takes 1 positional arguments but 2 were given"),
        ("one", (), {}, "one() missing 1 required positional argument: 'a'"),
        ("one", (), {"b": 1}, "one() got an unexpected keyword argument 'b'"),
        ("one", (1,), {"a": 1}, "one() got multiple values for argument 'a'"),
        # name lists
        ("four", (), {}, "four() missing 4 required positional arguments: 'a', 'b', 'c', and 'd'"),
        ("four", (1,), {}, "four() missing 3 required positional arguments: 'b', 'c', and 'd'"),
        ("four", (1,), {"c": 3}, "four() missing 2 required positional arguments: 'b' and 'd'"),
        ("four", (), {"b": 2, "d": 4}, "four() missing 2 required positional arguments: 'a' and 'c'"),
        ("four", (1, 2, 3), {}, "four() missing 1 required positional argument: 'd'"),
        ("four", (1, 2, 3, 4, 5), {}, "four() takes 4 positional arguments but 5 were given"),
        # class-qualified display name
        ("method", (1, 2), {}, "Probe.method() takes 1 positional arguments but 2 were given"),
        ("method", (), {}, "Probe.method() missing 1 required positional argument: 'a'"),
        ("method", (), {"x": 1}, "Probe.method() got an unexpected keyword argument 'x'"),
        ("method", (1,), {"a": 1}, "Probe.method() got multiple values for argument 'a'"),
    ],
)
def test_binding_messages(probe, func, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        getattr(probe, func)(*args, **kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == message
    assert info.value.args == (message,)


@pytest.mark.parametrize("func", ["one", "kwonly", "posonly", "four"])
def test_unencodable_keyword_is_unexpected(probe, func):
    name = "\udcff"
    with pytest.raises(TypeError) as info:
        getattr(probe, func)(1, **{name: 2})
    assert str(info.value) == f"{func}() got an unexpected keyword argument '{name}'"
    assert info.value.__context__ is None


def test_keyword_only_given_twice(probe):
    # Python syntax cannot repeat a keyword; the vectorcall protocol can.
    with pytest.raises(TypeError) as info:
        pyobject_vectorcall(probe.kwonly, [1], [("k", 2), ("k", 3)])
    assert str(info.value) == "kwonly() got multiple values for argument 'k'"
    with pytest.raises(TypeError) as info:
        pyobject_vectorcall(probe.kwonly, [1], [("k", 2), ("opt", 3), ("opt", 4)])
    assert str(info.value) == "kwonly() got multiple values for argument 'opt'"


def test_positional_given_twice_by_keyword(probe):
    with pytest.raises(TypeError) as info:
        pyobject_vectorcall(probe.four, [], [("a", 1), ("b", 2), ("a", 3)])
    assert str(info.value) == "four() got multiple values for argument 'a'"


def test_positional_only_names_are_listed_as_met(probe):
    with pytest.raises(TypeError) as info:
        pyobject_vectorcall(probe.posonly, [], [("b", 1), ("c", 2), ("a", 3), ("b", 4)])
    assert str(info.value) == (
        "posonly() got some positional-only arguments passed as keyword arguments: 'b', 'a', and 'b'"
    )


# -- internal faults -----------------------------------------------------------------------


@pytest.mark.parametrize("message", ["boom", "", "two\nlines", "ünïcödé ✓", "x" * 1000])
def test_panic_message(probe, capfd, message):
    panic_type = probe.panic_type()
    with pytest.raises(panic_type) as info:
        probe.panic(message)
    assert type(info.value) is panic_type
    assert str(info.value) == message
    assert info.value.args == (message,)
    err = capfd.readouterr().err
    assert message in err
    assert SOURCE_LOCATION.search(err), err


def test_panic_with_opaque_payload(probe):
    with pytest.raises(probe.panic_type()) as info:
        probe.panic_opaque()
    assert str(info.value) == "panic from C++ code"
    assert info.value.args == ("panic from C++ code",)


def test_fetch_with_nothing_pending(probe):
    with pytest.raises(SystemError) as info:
        probe.fetch_none()
    assert type(info.value) is SystemError
    assert str(info.value) == "attempted to fetch exception but none was set"
    assert info.value.args == ("attempted to fetch exception but none was set",)


def test_result_list_refused_by_the_interpreter(probe, capfd):
    with pytest.raises(probe.panic_type()) as info:
        probe.refused_list()
    assert str(info.value) == "Python API call failed"
    err = capfd.readouterr().err
    # The interpreter's own error was printed (and cleared) first.
    assert re.search(r"^SystemError: .*bad argument to internal function", err, re.MULTILINE), err
    assert wm([0.0], 1.0, 1.0) == pytest.approx([5.0**0.5], rel=1e-14)


# A free-threaded CPython 3.13 frees the half-built list on PyList_New's
# out-of-memory path with a stale item pointer (a heap corruption inside the
# interpreter), so a real out-of-memory failure can only be provoked on the
# default build.
@pytest.mark.skipif(
    bool(sysconfig.get_config_var("Py_GIL_DISABLED")) and sys.version_info < (3, 14),
    reason="PyList_New's out-of-memory path corrupts the heap on free-threaded CPython 3.13",
)
def test_result_list_cannot_be_allocated(probe, capfd):
    with pytest.raises(probe.panic_type()) as info:
        probe.huge_list()
    assert str(info.value) == "Python API call failed"
    err = capfd.readouterr().err
    assert re.search(r"^MemoryError", err, re.MULTILINE), err
    assert wm([0.0], 1.0, 1.0) == pytest.approx([5.0**0.5], rel=1e-14)


def test_panic_type_properties(probe):
    panic_type = probe.panic_type()
    assert isinstance(panic_type, type)
    assert panic_type.__module__ == "pyo3_runtime"
    assert panic_type.__name__ == "PanicException"
    assert panic_type.__qualname__ == "PanicException"
    assert panic_type.__bases__ == (BaseException,)
    assert panic_type.__doc__ == PANIC_DOC
    assert probe.panic_type() is panic_type


def test_panic_is_not_caught_by_except_exception(probe):
    panic_type = probe.panic_type()
    with pytest.raises(panic_type):
        try:
            probe.panic("not an Exception")
        except Exception:  # noqa: BLE001 - this is the point of the test
            pytest.fail("a plain 'except Exception' caught the internal fault")
    try:
        probe.panic("is a BaseException")
    except BaseException as exc:  # noqa: BLE001
        assert type(exc) is panic_type
        assert str(exc) == "is a BaseException"


def test_panic_type_is_the_same_every_time(probe):
    seen = set()
    for i in range(5):
        try:
            probe.panic(f"fault {i}")
        except BaseException as exc:  # noqa: BLE001
            seen.add(type(exc))
    try:
        probe.panic_opaque()
    except BaseException as exc:  # noqa: BLE001
        seen.add(type(exc))
    assert seen == {probe.panic_type()}


def test_panic_type_is_not_a_kelvora_attribute(probe):
    panic_type = probe.panic_type()
    assert not hasattr(kelvora, "PanicException")
    assert all(value is not panic_type for value in vars(kelvora).values())


def test_probe_fault_resumed_by_its_converter(probe, capfd):
    panic_type = probe.panic_type()
    message = "probe fault 91c2"
    try:
        probe.panic(message)
    except BaseException as exc:  # noqa: BLE001
        original = exc
    capfd.readouterr()
    with pytest.raises(BaseException) as info:
        probe.to_real(ReRaises(original))
    resumed = info.value
    assert type(resumed) is panic_type
    assert resumed is not original
    assert str(resumed) == message
    assert resumed.args == (message,)
    assert_resumed(capfd.readouterr().err, message)


# -- the registration routine ------------------------------------------------------------


def _assert_registered(module):
    func = module.probe_fn
    assert isinstance(func, types.BuiltinFunctionType)
    assert func.__name__ == "probe_fn"
    assert func.__self__ is module
    assert func.__module__ == module.__name__


def test_register_creates_all(probe):
    module = types.ModuleType("fresh")
    assert probe.register_into(module) is None
    assert module.__all__ == ["probe_fn"]
    assert type(module.__all__) is list
    _assert_registered(module)


def test_register_appends_to_existing_all(probe):
    module = types.ModuleType("existing")
    existing = ["first"]
    module.__all__ = existing
    probe.register_into(module)
    assert module.__all__ is existing
    assert existing == ["first", "probe_fn"]
    probe.register_into(module)
    assert existing == ["first", "probe_fn", "probe_fn"]


def test_register_uses_a_list_subclass(probe):
    class Names(list):
        pass

    module = types.ModuleType("subclassed")
    names = Names()
    module.__all__ = names
    probe.register_into(module)
    assert module.__all__ is names
    assert list(names) == ["probe_fn"]
    _assert_registered(module)


@pytest.mark.parametrize(
    "value, type_name",
    [(("a",), "tuple"), ({"a"}, "set"), ("a", "str"), (None, "NoneType")],
    ids=lambda v: v if isinstance(v, str) and v.isidentifier() else None,
)
def test_register_refuses_all_that_is_not_a_list(probe, value, type_name):
    module = types.ModuleType("wrong")
    module.__all__ = value
    with pytest.raises(TypeError) as info:
        probe.register_into(module)
    assert type(info.value) is TypeError
    assert str(info.value) == f"'{type_name}' object cannot be converted to 'PyList'"
    assert module.__all__ is value


def test_register_passes_lookup_failure_through(probe):
    failure = ValueError("no __all__ for you")

    class Guarded(types.ModuleType):
        @property
        def __all__(self):
            raise failure

    module = Guarded("guarded")
    with pytest.raises(ValueError) as info:
        probe.register_into(module)
    assert info.value is failure
    assert "probe_fn" not in vars(module)


def test_register_treats_attribute_error_subclass_as_absent(probe):
    class Missing(AttributeError):
        pass

    class Lazy(types.ModuleType):
        stored = None

        @property
        def __all__(self):
            if self.stored is None:
                raise Missing("__all__")
            return self.stored

        @__all__.setter
        def __all__(self, value):
            self.stored = value

    module = Lazy("lazy")
    probe.register_into(module)
    assert module.stored == ["probe_fn"]
    _assert_registered(module)


def test_register_passes_setattr_failure_through(probe):
    class ReadOnly(types.ModuleType):
        @property
        def __all__(self):
            raise AttributeError("__all__")

        @__all__.setter
        def __all__(self, value):
            raise PermissionError("read-only module")

    module = ReadOnly("readonly")
    with pytest.raises(PermissionError, match="^read-only module$"):
        probe.register_into(module)


def test_register_into_nameless_module(probe):
    # PyModule_GetNameObject's own error for a module without a str __name__.
    module = types.ModuleType("nameless")
    del module.__name__
    with pytest.raises(SystemError, match="^nameless module$"):
        probe.register_into(module)
