"""Binding of arguments to parameters and conversion of Python values,
exercised through ``witt_mao_magnification(l, re, rstar)``."""

import array
import math
import sys
import warnings
from fractions import Fraction

import pytest

import kelvora
from _support import (
    FloatSub,
    Floaty,
    Indexy,
    MappingLike,
    MyBaseException,
    MyTypeError,
    Outer,
    RaisesTypeErrorFrom,
    ReRaises,
    StrSub,
    Unprintable,
    bits,
    cpython_float_error,
    pyobject_vectorcall,
)

wm = kelvora.witt_mao_magnification
NAME = "witt_mao_magnification()"

L = [0.0, 0.5, 1.0, 2.0]
RE = 1.0
RSTAR = 0.3


@pytest.fixture(scope="module")
def reference():
    return wm(L, RE, RSTAR)


# -- binding: keywords ------------------------------------------------------


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((L, RE, RSTAR), {}),
        ((L, RE), {"rstar": RSTAR}),
        ((L,), {"re": RE, "rstar": RSTAR}),
        ((L,), {"rstar": RSTAR, "re": RE}),
        ((), {"l": L, "re": RE, "rstar": RSTAR}),
        ((), {"l": L, "rstar": RSTAR, "re": RE}),
        ((), {"re": RE, "l": L, "rstar": RSTAR}),
        ((), {"re": RE, "rstar": RSTAR, "l": L}),
        ((), {"rstar": RSTAR, "l": L, "re": RE}),
        ((), {"rstar": RSTAR, "re": RE, "l": L}),
    ],
    ids=lambda v: repr(v) if isinstance(v, dict) else str(len(v)),
)
def test_keywords_bind_like_positions(reference, args, kwargs):
    assert bits(wm(*args, **kwargs)) == bits(reference)


# -- binding: messages ------------------------------------------------------


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, f"{NAME} missing 3 required positional arguments: 'l', 're', and 'rstar'"),
        (([1.0], 2.0), {}, f"{NAME} missing 1 required positional argument: 'rstar'"),
        (([1.0],), {}, f"{NAME} missing 2 required positional arguments: 're' and 'rstar'"),
        ((), {"l": [1.0]}, f"{NAME} missing 2 required positional arguments: 're' and 'rstar'"),
        ((), {"re": 1.0}, f"{NAME} missing 2 required positional arguments: 'l' and 'rstar'"),
        ((), {"rstar": 1.0}, f"{NAME} missing 2 required positional arguments: 'l' and 're'"),
        ((), {"l": [1.0], "rstar": 1.0}, f"{NAME} missing 1 required positional argument: 're'"),
        (([1.0], 1.0, 1.0, 4.0), {}, f"{NAME} takes 3 positional arguments but 4 were given"),
        (([1.0], 1.0, 1.0, 4.0, 5.0), {}, f"{NAME} takes 3 positional arguments but 5 were given"),
        # Positional surplus is reported before any keyword is looked at.
        (([1.0], 1.0, 1.0, 4.0), {"x": 1}, f"{NAME} takes 3 positional arguments but 4 were given"),
        (([1.0], 1.0, 1.0, 4.0), {"re": 1}, f"{NAME} takes 3 positional arguments but 4 were given"),
        (([1.0], 1.0, 1.0), {"re": 1.0}, f"{NAME} got multiple values for argument 're'"),
        (([1.0],), {"l": [1.0]}, f"{NAME} got multiple values for argument 'l'"),
        (([1.0], 1.0), {"rstar": 1.0, "re": 1.0}, f"{NAME} got multiple values for argument 're'"),
        # An unknown keyword is reported before the missing parameters.
        ((), {"x": 1}, f"{NAME} got an unexpected keyword argument 'x'"),
        (([1.0], 1.0, 1.0), {"x": 1}, f"{NAME} got an unexpected keyword argument 'x'"),
        # Keyword names match exactly and case-sensitively.
        (([1.0], 1.0), {"Rstar": 1.0}, f"{NAME} got an unexpected keyword argument 'Rstar'"),
        (([1.0], 1.0), {"rstar ": 1.0}, f"{NAME} got an unexpected keyword argument 'rstar '"),
        (([1.0], 1.0), {"é": 1.0}, f"{NAME} got an unexpected keyword argument 'é'"),
        # Keywords are taken in the order given; the first problem wins.
        (([1.0],), {"l": [1.0], "zz": 1}, f"{NAME} got multiple values for argument 'l'"),
        (([1.0],), {"zz": 1, "l": [1.0]}, f"{NAME} got an unexpected keyword argument 'zz'"),
        # Binding errors come before any conversion error.
        (("not a sequence", "not a number"), {}, f"{NAME} missing 1 required positional argument: 'rstar'"),
        ((5, None, None), {"q": 0}, f"{NAME} got an unexpected keyword argument 'q'"),
    ],
)
def test_binding_messages(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        wm(*args, **kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == message
    assert info.value.args == (message,)


def test_unencodable_keyword_name_is_unexpected():
    # A lone surrogate cannot be encoded as UTF-8; the name is reported as is.
    name = "\udcff"
    with pytest.raises(TypeError) as info:
        wm([1.0], 1.0, **{name: 1.0})
    assert str(info.value) == f"{NAME} got an unexpected keyword argument '{name}'"
    # The failed encoding is discarded, not chained.
    assert info.value.__context__ is None
    assert info.value.__cause__ is None


def test_same_keyword_twice_through_vectorcall():
    with pytest.raises(TypeError) as info:
        pyobject_vectorcall(wm, [[1.0], 1.0], [("rstar", 1.0), ("rstar", 2.0)])
    assert str(info.value) == f"{NAME} got multiple values for argument 'rstar'"


def test_vectorcall_keywords_bind(reference):
    result = pyobject_vectorcall(wm, [L], [("rstar", RSTAR), ("re", RE)])
    assert bits(result) == bits(reference)


# -- conversion of sequences ------------------------------------------------


@pytest.mark.parametrize(
    "sequence, as_floats",
    [
        ([1, 2.5, True], [1.0, 2.5, 1.0]),
        ((1, 2.5, True), [1.0, 2.5, 1.0]),
        ((False, 0), [0.0, 0.0]),
        (range(3), [0.0, 1.0, 2.0]),
        (range(4, 0, -2), [4.0, 2.0]),
        (b"ab", [97.0, 98.0]),
        (bytearray(b"ab"), [97.0, 98.0]),
        (memoryview(b"ab"), [97.0, 98.0]),
        (array.array("d", [0.25, 1.5]), [0.25, 1.5]),
        (array.array("i", [3, 2]), [3.0, 2.0]),
        ([FloatSub(0.5), FloatSub(2.0)], [0.5, 2.0]),
        ([Floaty(0.75), Floaty(3.0)], [0.75, 3.0]),
        ([Indexy(2), Indexy(7)], [2.0, 7.0]),
        ([Fraction(1, 4), Fraction(5, 2)], [0.25, 2.5]),
        ([2**53 + 1], [float(2**53)]),
    ],
    ids=lambda v: type(v).__name__ if not isinstance(v, list) or not v else repr(v)[:40],
)
def test_sequence_conversion(sequence, as_floats):
    assert bits(wm(sequence, 1.0, 0.3)) == bits(wm(as_floats, 1.0, 0.3))


def test_numpy_float64_array():
    np = pytest.importorskip("numpy")
    values = [0.0, 0.5, 1.0, 1.5, 3.0]
    result = wm(np.array(values, dtype=np.float64), np.float64(1.0), np.float64(0.3))
    assert type(result) is list
    assert all(type(x) is float for x in result)
    assert bits(result) == bits(wm(values, 1.0, 0.3))


def test_numpy_other_dtypes_and_scalars():
    np = pytest.importorskip("numpy")
    values32 = np.array([0.1, 2.5], dtype=np.float32)
    expected = wm([float(v) for v in values32], 1.0, 0.3)
    assert bits(wm(values32, np.int64(1), np.float64(0.3))) == bits(expected)
    assert bits(wm(np.arange(3), 1, 0.3)) == bits(wm([0.0, 1.0, 2.0], 1.0, 0.3))


def test_numpy_two_dimensional_array_element_error():
    np = pytest.importorskip("numpy")
    with pytest.raises(TypeError) as info:
        wm(np.zeros((2, 2)), 1.0, 0.3)
    assert type(info.value) is TypeError
    assert str(info.value).startswith("argument 'l': ")


# -- conversion of reals ----------------------------------------------------


@pytest.mark.parametrize(
    "value, as_float",
    [
        (1, 1.0),
        (True, 1.0),
        (FloatSub(1.0), 1.0),
        (Floaty(1.0), 1.0),
        (Indexy(1), 1.0),
        (Fraction(1, 1), 1.0),
        (2, 2.0),
        (-1, -1.0),
        (Floaty(-1.0), -1.0),
        (Indexy(-1), -1.0),
    ],
    ids=lambda v: f"{type(v).__name__}({getattr(v, 'value', v)})",
)
@pytest.mark.parametrize("parameter", ["re", "rstar"])
def test_real_conversion(parameter, value, as_float):
    base = {"l": [0.0, 0.5, 2.0], "re": 2.0, "rstar": 1.0}
    converted = dict(base, **{parameter: value})
    expected = dict(base, **{parameter: as_float})
    assert bits(wm(**converted)) == bits(wm(**expected))


def test_genuine_minus_one_is_not_an_error():
    # -1.0 is what a failed conversion returns as well; with nothing pending it
    # is a value.  rho = (-1) / (-1) = 1 exactly.
    assert bits(wm([0.0, 0.5], -1, -1.0)) == bits(wm([0.0, 0.5], 1.0, 1.0))
    assert bits(wm([0.0, 0.5], Floaty(-1.0), Indexy(-1))) == bits(wm([0.0, 0.5], 1.0, 1.0))
    assert sys.exc_info() == (None, None, None)


def test_zero_stellar_radius_flows_through_arithmetic():
    # rho = 0 puts every entry on the limb branch, where 2/rho is infinite and
    # multiplies asin(-1) + pi/2 = 0: not a number, not an error.
    result = wm([0.0, 3.0], 1.0, 0.0)
    assert len(result) == 2
    assert all(math.isnan(x) for x in result)


def test_nan_radius_is_passed_as_nan():
    # NaN passes every ordered test and reaches the elliptic integrals; the
    # Carlson RJ duplication then never meets its stopping test Q*f < A.
    with pytest.raises(RuntimeError) as info:
        wm([0.5], 1.0, math.nan)
    assert str(info.value) == "elliprj: Fail to converge"


def test_nan_separation_is_passed_as_nan():
    with pytest.raises(RuntimeError) as info:
        wm([0.5, math.nan], 1.0, 0.3)
    assert str(info.value) == "elliprj: Fail to converge"


def test_nan_with_no_entries_is_harmless():
    assert wm([], math.nan, math.nan) == []


# -- sequence refusals ------------------------------------------------------


class IterOnly:
    def __iter__(self):
        return iter([1.0])


def _gen():
    yield 1.0


@pytest.mark.parametrize(
    "value, type_name",
    [
        (5, "int"),
        (1.5, "float"),
        (None, "NoneType"),
        ({}, "dict"),
        ({0: 1.0}, "dict"),
        (MappingLike(), "MappingLike"),
        ({1.0}, "set"),
        (frozenset(), "frozenset"),
        (_gen(), "generator"),
        (iter([1.0]), "list_iterator"),
        ({1: 2}.keys(), "dict_keys"),
        (IterOnly(), "IterOnly"),
        (Outer.Inner(), "Outer.Inner"),
    ],
    ids=lambda v: v if isinstance(v, str) else None,
)
def test_non_sequence_message(value, type_name):
    with pytest.raises(TypeError) as info:
        wm(value, 1.0, 0.3)
    assert type(info.value) is TypeError
    assert str(info.value) == f"argument 'l': '{type_name}' object cannot be converted to 'Sequence'"


@pytest.mark.parametrize("value", ["", "ab", "0.5", StrSub("1")], ids=repr)
def test_str_is_refused(value):
    with pytest.raises(TypeError) as info:
        wm(value, 1.0, 0.3)
    assert type(info.value) is TypeError
    assert str(info.value) == "argument 'l': Can't extract `str` to `Vec`"
    assert info.value.__cause__ is None


# -- element and real conversion errors ---------------------------------------


class ReturnsInt:
    def __float__(self):
        return 1


@pytest.mark.parametrize(
    "bad",
    [
        "x",
        None,
        [1.0],
        1j,
        ReturnsInt(),
        object(),
    ],
    ids=lambda v: type(v).__name__,
)
def test_element_type_error_is_prefixed(bad):
    expected = cpython_float_error(bad)
    assert type(expected) is TypeError
    with pytest.raises(TypeError) as info:
        wm([1.0, bad, 2.0], 1.0, 0.3)
    assert type(info.value) is TypeError
    assert str(info.value) == f"argument 'l': {expected}"
    assert info.value.__cause__ is None
    assert info.value.__suppress_context__ is True


@pytest.mark.parametrize("parameter", ["re", "rstar"])
@pytest.mark.parametrize("bad", ["1.0", None, [1.0], ReturnsInt()], ids=lambda v: type(v).__name__)
def test_real_type_error_is_prefixed(parameter, bad):
    expected = cpython_float_error(bad)
    kwargs = {"l": [0.5], "re": 1.0, "rstar": 0.3, parameter: bad}
    with pytest.raises(TypeError) as info:
        wm(**kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == f"argument '{parameter}': {expected}"


@pytest.mark.parametrize(
    "args, parameter",
    [
        (("x", "y", "z"), "l"),
        (([1.0, "x"], "y", "z"), "l"),
        (([1.0], "y", "z"), "re"),
        (([1.0], 1.0, "z"), "rstar"),
        (((), None, None), "re"),
    ],
)
def test_parameters_are_converted_in_order(args, parameter):
    with pytest.raises(TypeError) as info:
        wm(*args)
    assert str(info.value).startswith(f"argument '{parameter}': ")


@pytest.mark.parametrize("big", [10**400, -(10**400), Indexy(10**400)], ids=["pos", "neg", "index"])
@pytest.mark.parametrize("where", ["re", "rstar", "l"])
def test_huge_int_overflow_is_unchanged(where, big):
    expected = cpython_float_error(big)
    assert type(expected) is OverflowError
    kwargs = {"l": [0.5], "re": 1.0, "rstar": 0.3}
    kwargs[where] = [0.5, big] if where == "l" else big
    with pytest.raises(OverflowError) as info:
        wm(**kwargs)
    assert type(info.value) is OverflowError
    assert str(info.value) == str(expected)
    assert not str(info.value).startswith("argument")


# -- the cause of a renamed error ------------------------------------------------


class RaisesTypeError:
    def __float__(self):
        raise TypeError("plain")


class RaisesTypeErrorInsideHandler:
    def __float__(self):
        try:
            raise KeyError("context only")
        except KeyError:
            raise TypeError("with context") from None


@pytest.mark.parametrize("where", ["l", "re", "rstar"])
def test_renamed_error_keeps_the_cause(where):
    cause = ValueError("y")
    bad = RaisesTypeErrorFrom(cause, "x")
    kwargs = {"l": [0.5], "re": 1.0, "rstar": 0.3}
    kwargs[where] = [bad] if where == "l" else bad
    with pytest.raises(TypeError) as info:
        wm(**kwargs)
    err = info.value
    assert type(err) is TypeError
    assert str(err) == f"argument '{where}': x"
    assert err.__cause__ is cause
    assert err.__suppress_context__ is True
    # The original TypeError is dropped, not chained in.
    assert err.__context__ is None


def test_renamed_error_without_cause():
    with pytest.raises(TypeError) as info:
        wm([RaisesTypeError()], 1.0, 0.3)
    err = info.value
    assert str(err) == "argument 'l': plain"
    assert err.__cause__ is None
    assert err.__suppress_context__ is True
    assert err.__context__ is None


def test_renamed_error_of_from_none():
    with pytest.raises(TypeError) as info:
        wm([0.5], RaisesTypeErrorInsideHandler(), 0.3)
    err = info.value
    assert str(err) == "argument 're': with context"
    assert err.__cause__ is None
    assert err.__suppress_context__ is True


def test_renamed_error_is_a_new_object_each_time():
    first = second = None
    try:
        wm([RaisesTypeError()], 1.0, 0.3)
    except TypeError as exc:
        first = exc
    try:
        wm([RaisesTypeError()], 1.0, 0.3)
    except TypeError as exc:
        second = exc
    assert first is not None and second is not None
    assert first is not second
    assert str(first) == str(second) == "argument 'l': plain"


class RaisesUnprintableTypeError:
    def __float__(self):
        raise TypeError(Unprintable())


def test_unprintable_type_error_value():
    # The hook is restored here rather than by monkeypatch, whose undo records
    # would keep each call's hook (and the exceptions it saw) alive for as
    # long as the fixture lives: across the repeated calls of the
    # reference-leak hunt, growth the test itself would cause.
    seen = []
    old, sys.unraisablehook = sys.unraisablehook, seen.append
    try:
        with pytest.raises(TypeError) as info:
            wm([0.5], RaisesUnprintableTypeError(), 0.3)
    finally:
        sys.unraisablehook = old
    assert str(info.value) == "argument 're': <unprintable TypeError object>"
    assert len(seen) == 1
    assert seen[0].exc_type is ValueError
    assert str(seen[0].exc_value) == "no text"
    # The hook's record (a struct sequence, which the cycle collector does not
    # track) and its traceback's frame, which holds `seen`, form a cycle that
    # is never collected: break it.
    seen.clear()


# -- exceptions that pass unchanged ------------------------------------------------


@pytest.mark.parametrize(
    "exc",
    [
        MyTypeError("subclass of TypeError"),
        ValueError("bad value"),
        ZeroDivisionError("zero"),
        KeyError("key"),
        MemoryError("memory"),
        OverflowError("overflow"),
        MyBaseException("base"),
    ],
    ids=lambda e: type(e).__name__,
)
@pytest.mark.parametrize("where", ["l", "re", "rstar"])
def test_other_exceptions_pass_through_as_the_same_object(where, exc):
    bad = ReRaises(exc)
    kwargs = {"l": [0.5, 1.5], "re": 1.0, "rstar": 0.3}
    kwargs[where] = [0.5, bad] if where == "l" else bad
    with pytest.raises(type(exc)) as info:
        wm(**kwargs)
    assert info.value is exc
    assert not str(info.value).startswith("argument")
    assert info.value.__cause__ is None


class WarnsOnFloat:
    class F(float):
        pass

    def __float__(self):
        # Returning a strict float subclass from __float__ is deprecated.
        return self.F(0.5)


def test_warning_raised_as_error_passes_unchanged():
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        with pytest.raises(DeprecationWarning) as info:
            wm([0.5], WarnsOnFloat(), 0.3)
    assert not str(info.value).startswith("argument")


def test_float_subclass_from_dunder_float_is_accepted_with_warning():
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", DeprecationWarning)
        result = wm([0.5], WarnsOnFloat(), 1.0)
    assert [w.category for w in caught] == [DeprecationWarning]
    assert bits(result) == bits(wm([0.5], 0.5, 1.0))


# -- iteration ---------------------------------------------------------------------------


class Seq:
    """A sequence whose items come from __iter__; __len__ reports ``length``."""

    def __init__(self, items, length):
        self.items = items
        self.length = length
        self.iterated = 0

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length.with_traceback(None)  # no traceback carried over from an earlier raise
        return self.length

    def __getitem__(self, index):
        raise AssertionError("items are taken through __iter__, not __getitem__")

    def __iter__(self):
        self.iterated += 1
        return iter(self.items)


ITEMS = [2.0, 0.0, 1.5, 0.5, 3.0]


@pytest.mark.parametrize(
    "length",
    [len(ITEMS), 0, 1, 2, 100, 10**6, ValueError("no length"), TypeError("no length"), 2**70],
    ids=repr,
)
def test_iteration_decides_order_and_count(length):
    seq = Seq(ITEMS, length)
    result = wm(seq, 1.0, 0.3)
    assert seq.iterated == 1
    assert bits(result) == bits(wm(list(ITEMS), 1.0, 0.3))
    assert sys.exc_info() == (None, None, None)


def test_len_that_raises_leaves_nothing_pending():
    seq = Seq([0.5], RuntimeError("length unavailable"))
    assert len(wm(seq, 1.0, 0.3)) == 1
    # A second call would fail with SystemError if an error had been left set.
    assert len(wm([0.5], 1.0, 0.3)) == 1


class FailingIterator:
    def __init__(self, exc, after):
        self.exc = exc
        self.after = after

    def __len__(self):
        return 5

    def __getitem__(self, index):
        raise AssertionError

    def __iter__(self):
        for i in range(self.after):
            yield float(i)
        raise self.exc.with_traceback(None)  # no traceback carried over from an earlier raise


def test_iteration_value_error_passes_unchanged():
    exc = ValueError("iteration stopped")
    with pytest.raises(ValueError) as info:
        wm(FailingIterator(exc, 2), 1.0, 0.3)
    assert info.value is exc


def test_iteration_type_error_is_prefixed():
    with pytest.raises(TypeError) as info:
        wm(FailingIterator(TypeError("iteration broke"), 1), 1.0, 0.3)
    assert str(info.value) == "argument 'l': iteration broke"


class IterRaises:
    def __getitem__(self, index):
        raise AssertionError

    def __iter__(self):
        raise LookupError("no iterator")


def test_getiter_failure_passes_unchanged():
    with pytest.raises(LookupError, match="^no iterator$"):
        wm(IterRaises(), 1.0, 0.3)


class IterReturnsNonIterator:
    def __getitem__(self, index):
        raise AssertionError

    def __iter__(self):
        return 5


def test_getiter_type_error_is_prefixed():
    with pytest.raises(TypeError) as info:
        wm(IterReturnsNonIterator(), 1.0, 0.3)
    assert str(info.value).startswith("argument 'l': ")
    assert "iter" in str(info.value)


def test_legacy_getitem_sequence_is_iterated():
    class Legacy:
        def __getitem__(self, index):
            if index >= 3:
                raise IndexError
            return index * 0.5

    assert bits(wm(Legacy(), 1.0, 0.3)) == bits(wm([0.0, 0.5, 1.0], 1.0, 0.3))


def test_sequence_mutated_during_iteration_follows_the_iterator():
    items = [0.5, 1.0]

    class Growing:
        def __getitem__(self, index):
            raise AssertionError

        def __len__(self):
            return 2

        def __iter__(self):
            for value in items:
                if len(items) < 4:
                    items.append(value + 1.0)
                yield value

    result = wm(Growing(), 1.0, 0.3)
    assert bits(result) == bits(wm([0.5, 1.0, 1.5, 2.0], 1.0, 0.3))
