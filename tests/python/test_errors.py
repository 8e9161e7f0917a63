"""How failures inside a call reach Python: numeric failures of the elliptic
integrals, internal faults, and what the interpreter holds afterwards."""

import ctypes
import math
import re
import sys
import threading

import pytest

import kelvora
from _support import (
    PANIC_DOC,
    SOURCE_LOCATION,
    HugeLength,
    RaisesNew,
    ReRaises,
    Unprintable,
    assert_resumed,
    pythonapi,
)

wm = kelvora.witt_mao_magnification

def witt_mao_characteristic(l, re_, rstar):
    """(delta, n) of the Witt-Mao formula for one separation, in double
    arithmetic: rho = rstar/re, u = rho*l, delta = u - rho and
    n = 4*rho*u / (rho + u)^2 = 1 - (delta/(rho + u))^2."""
    rho = rstar / re_
    u = rho * l
    sigma = rho + u
    return u - rho, (rho * 4.0 * u) / (sigma * sigma)


# Mathematically n < 1 whenever the lens is off the limb, but by only
# (delta/sigma)^2.  With a source of 1e8 Einstein radii and delta ~ 1e-4 (well
# outside the 1e-5 limb band) that is ~1e-25, far below half an ulp of 1, so n
# rounds to exactly 1: Pi(n = 1, m) has RJ's p = 1 - n = 0.  At 1e12 Einstein
# radii n rounds above 1 and Pi refuses the characteristic outright.
ELLIPTIC_FAILURES = [
    pytest.param(1.0 + 2.0**-40, 1.0, 1e8, 1.0, "elliprj: p must be non-zero", id="n-equals-1"),
    pytest.param(1.0 + 2.0**-39, 1.0, 1e12, 1.0 + 2.0**-52, "ellippi: n must be less than 1.", id="n-above-1"),
]


@pytest.mark.parametrize("l, re_, rstar, n_expected, message", ELLIPTIC_FAILURES)
def test_derivation_of_the_failing_inputs(l, re_, rstar, n_expected, message):
    delta, n = witt_mao_characteristic(l, re_, rstar)
    assert abs(delta) >= 1e-5
    assert n == n_expected


@pytest.mark.parametrize("l, re_, rstar, n_expected, message", ELLIPTIC_FAILURES)
def test_elliptic_failure_is_runtime_error(l, re_, rstar, n_expected, message):
    with pytest.raises(RuntimeError) as info:
        wm([l], re_, rstar)
    err = info.value
    assert type(err) is RuntimeError
    assert str(err) == message
    assert err.args == (message,)
    assert err.__cause__ is None
    assert err.__context__ is None
    assert err.__suppress_context__ is False


@pytest.mark.parametrize("position", [0, 1, 2, 4])
@pytest.mark.parametrize("l, re_, rstar, n_expected, message", ELLIPTIC_FAILURES)
def test_no_partial_result(l, re_, rstar, n_expected, message, position):
    good = [0.0, 0.5, 2.0, 3.0, 10.0]
    entries = good[:position] + [l] + good[position:]
    assert len(wm(good, re_, rstar)) == len(good)
    with pytest.raises(RuntimeError, match=f"^{re.escape(message)}$"):
        wm(entries, re_, rstar)


def test_first_failing_entry_decides_the_message():
    l1, _, rstar, _, msg1 = ELLIPTIC_FAILURES[0].values
    with pytest.raises(RuntimeError, match=f"^{re.escape(msg1)}$"):
        wm([l1, math.nan], 1.0, rstar)
    with pytest.raises(RuntimeError, match="^elliprj: Fail to converge$"):
        wm([math.nan, l1], 1.0, rstar)


def test_numeric_failure_inside_except_block_chains_context():
    # Ordinary CPython chaining: the exception being handled becomes the
    # context of the new one.
    handled = KeyError("handled")
    try:
        raise handled
    except KeyError:
        with pytest.raises(RuntimeError) as info:
            wm([1.0 + 2.0**-40], 1.0, 1e8)
    assert info.value.__context__ is handled


# -- after a failure ---------------------------------------------------------------


def _failures():
    return [
        ("binding", lambda: wm([0.5]), TypeError),
        ("conversion", lambda: wm([0.5, "x"], 1.0, 0.1), TypeError),
        ("downcast", lambda: wm(5, 1.0, 0.1), TypeError),
        ("overflow", lambda: wm([0.5], 10**400, 0.1), OverflowError),
        ("user", lambda: wm([0.5], RaisesNew(ValueError, "from user code"), 0.1), ValueError),
        ("numeric", lambda: wm([0.5, 1.0 + 2.0**-40], 1.0, 1e8), RuntimeError),
        ("nan", lambda: wm([math.nan], 1.0, 0.1), RuntimeError),
        ("fault", lambda: wm(HugeLength(), 1.0, 0.1), BaseException),
    ]


@pytest.mark.parametrize("kind, fail, exc_type", _failures(), ids=[f[0] for f in _failures()])
def test_next_call_behaves_as_if_nothing_happened(kind, fail, exc_type):
    expected = wm([0.0, 0.5, 2.0], 1.0, 0.1)
    for _ in range(3):
        with pytest.raises(exc_type):
            fail()
        assert sys.exc_info() == (None, None, None)
        assert wm([0.0, 0.5, 2.0], 1.0, 0.1) == expected
    # A second failure carries no trace of the first.
    first = second = None
    try:
        fail()
    except BaseException as exc:  # noqa: BLE001
        first = exc
    try:
        fail()
    except BaseException as exc:  # noqa: BLE001
        second = exc
    assert first is not None and second is not None
    assert first is not second
    assert second.__context__ is None


# -- internal faults ---------------------------------------------------------------


def test_capacity_overflow_is_an_internal_fault(panic_type, capfd):
    with pytest.raises(panic_type) as info:
        wm(HugeLength(), 1.0, 0.1)
    assert type(info.value) is panic_type
    assert str(info.value) == "capacity overflow"
    assert info.value.args == ("capacity overflow",)
    err = capfd.readouterr().err
    assert "capacity overflow" in err
    assert SOURCE_LOCATION.search(err), err


@pytest.mark.parametrize("length", [sys.maxsize, 2**60, 2**62], ids=["maxsize", "2**60", "2**62"])
def test_any_length_beyond_the_object_size_limit_faults(panic_type, length):
    class Reported:
        def __len__(self):
            return length

        def __getitem__(self, index):
            raise AssertionError

        def __iter__(self):
            raise AssertionError

    with pytest.raises(panic_type, match="^capacity overflow$"):
        wm(Reported(), 1.0, 0.1)


def test_fault_report_names_the_thread(panic_type, capfd):
    name = "kv-fault-thread"
    caught = []

    def worker():
        # Name the thread for Python and for the operating system alike.
        libc = ctypes.CDLL(None)
        prctl = getattr(libc, "prctl", None)
        if prctl is not None:
            prctl(15, name.encode(), 0, 0, 0)  # PR_SET_NAME
        try:
            wm(HugeLength(), 1.0, 0.1)
        except BaseException as exc:  # noqa: BLE001
            caught.append(exc)

    thread = threading.Thread(target=worker, name=name)
    thread.start()
    thread.join()
    assert len(caught) == 1 and type(caught[0]) is panic_type
    err = capfd.readouterr().err
    [line_index] = [i for i, line in enumerate(err.splitlines()) if name in line]
    report = "\n".join(err.splitlines()[line_index:])
    assert SOURCE_LOCATION.search(report), err
    assert "capacity overflow" in report


def test_panic_exception_type(panic_type):
    assert panic_type.__module__ == "pyo3_runtime"
    assert panic_type.__name__ == "PanicException"
    assert panic_type.__qualname__ == "PanicException"
    assert panic_type.__bases__ == (BaseException,)
    assert not issubclass(panic_type, Exception)
    assert panic_type.__doc__ == PANIC_DOC


def test_panic_exception_made_like_pyerr_new_exception_with_doc(panic_type):
    make = pythonapi("PyErr_NewExceptionWithDoc", ctypes.py_object,
                     ctypes.c_char_p, ctypes.c_char_p, ctypes.py_object, ctypes.c_void_p)
    reference = make(b"pyo3_runtime.PanicException", PANIC_DOC.encode(), BaseException, None)
    assert sorted(vars(panic_type)) == sorted(vars(reference))
    assert panic_type.__mro__[1:] == reference.__mro__[1:]


def test_panic_exception_is_not_a_module_attribute(panic_type):
    assert not hasattr(kelvora, "PanicException")
    assert all(value is not panic_type for value in vars(kelvora).values())


def test_panic_exception_type_is_the_same_every_time(panic_type):
    types = set()
    for _ in range(5):
        try:
            wm(HugeLength(), 1.0, 0.1)
        except BaseException as exc:  # noqa: BLE001
            types.add(type(exc))
    assert types == {panic_type}


def test_except_exception_does_not_catch_a_fault(panic_type):
    with pytest.raises(panic_type):
        try:
            wm(HugeLength(), 1.0, 0.1)
        except Exception:  # noqa: BLE001 - this is the point of the test
            pytest.fail("a plain 'except Exception' caught the internal fault")
    try:
        wm(HugeLength(), 1.0, 0.1)
    except BaseException as exc:  # noqa: BLE001
        assert type(exc) is panic_type
    assert wm([0.0], 1.0, 1.0) == pytest.approx([math.sqrt(5.0)], rel=1e-14)


# -- a fault that comes back through Python -------------------------------------


def _caught_fault():
    try:
        wm(HugeLength(), 1.0, 0.1)
    except BaseException as exc:  # noqa: BLE001
        return exc
    raise AssertionError("no fault")


@pytest.mark.parametrize("where", ["l", "re", "rstar"])
def test_fault_raised_again_from_python_is_resumed(panic_type, capfd, where):
    original = _caught_fault()
    capfd.readouterr()
    bad = ReRaises(original)
    kwargs = {"l": [0.5], "re": 1.0, "rstar": 0.1}
    kwargs[where] = [0.5, bad] if where == "l" else bad
    with pytest.raises(panic_type) as info:
        wm(**kwargs)
    resumed = info.value
    assert type(resumed) is panic_type
    assert resumed is not original
    assert str(resumed) == "capacity overflow"
    assert resumed.args == ("capacity overflow",)
    assert_resumed(capfd.readouterr().err, "capacity overflow")


def test_user_made_fault_exception_is_resumed(panic_type, capfd):
    message = "made by hand 7f3a"
    with pytest.raises(panic_type) as info:
        wm([0.5], ReRaises(panic_type(message)), 0.1)
    assert str(info.value) == message
    err = capfd.readouterr().err
    assert_resumed(err, message)
    # The resumed fault writes no report of its own: the message appears only
    # in the printed traceback.
    assert err.count(message) == 1, err


def test_fault_exception_without_text_is_resumed_with_fixed_message(panic_type, capfd):
    with pytest.raises(panic_type) as info:
        wm([0.5], ReRaises(panic_type(Unprintable())), 0.1)
    assert str(info.value) == "Unwrapped panic from Python code"
    assert "Python stack trace below:" in capfd.readouterr().err
    assert wm([0.0], 1.0, 1.0) == pytest.approx([math.sqrt(5.0)], rel=1e-14)


def test_subclass_of_fault_exception_passes_unchanged(panic_type, capfd):
    class Sub(panic_type):
        pass

    exc = Sub("a subclass")
    with pytest.raises(Sub) as info:
        wm([0.5], ReRaises(exc), 0.1)
    assert info.value is exc
    assert "Python stack trace below:" not in capfd.readouterr().err
