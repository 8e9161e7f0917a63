"""Helpers shared by the kelvora test modules."""

import ctypes
import os
import re
import sys


# Warnings are errors in the examples the tests run, except the one a
# free-threaded interpreter gives when importing kelvora turns the GIL on (the
# module declares that it needs it; test_gil.py checks that).
EXAMPLE_WARNINGS = "error,ignore:The global interpreter lock (GIL) has been enabled:RuntimeWarning"


def example_env(**extra):
    """The environment of an example run as a child process (without -X dev).

    Under the sanitizer run (KELVORA_SANITIZER set, the ASan runtime preloaded
    into every interpreter) the child does not check for leaks at exit: numpy
    and scipy keep the objects of their modules until the process ends, which
    LeakSanitizer reports; leaks of kelvora's own are sought in the test
    process itself, which makes the same calls."""
    env = dict(os.environ, PYTHONWARNINGS=EXAMPLE_WARNINGS, MPLBACKEND="Agg")
    # The example runs as its users run it, not in the test process's -X dev
    # (whose asyncio debug mode reports dask's slow callbacks on stderr).
    env.pop("PYTHONDEVMODE", None)
    if os.environ.get("KELVORA_SANITIZER"):
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":detect_leaks=0"
    env.update(extra)
    return env


class OwnError(Exception):
    """An exception of the test's own, to tell it apart from the module's."""


class Floaty:
    """A number only through __float__, which returns ``value`` as it is."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value

    def __repr__(self):
        return f"Floaty({self.value!r})"


class HugeLength:
    """A sequence whose reported length is far beyond any array of doubles.

    8 * sys.maxsize bytes exceeds the largest object size of the platform, so
    reserving space for it is refused before a single item is read.
    """

    def __len__(self):
        return sys.maxsize

    def __getitem__(self, index):
        raise AssertionError("items are taken through __iter__")

    def __iter__(self):
        raise AssertionError("the length check comes before iteration")


def _pythonapi(name, restype, *argtypes):
    func = getattr(ctypes.pythonapi, name)
    func.restype = restype
    func.argtypes = list(argtypes)
    return func


_PyFloat_AsDouble = _pythonapi("PyFloat_AsDouble", ctypes.c_double, ctypes.py_object)


def cpython_float_error(obj):
    """The exception CPython's own PyFloat_AsDouble raises for ``obj``.

    Used as the reference for the interpreter's conversion messages, so the
    expected texts come from the running interpreter and not from this suite.
    """
    try:
        value = _PyFloat_AsDouble(obj)
    except BaseException as exc:  # noqa: BLE001
        return exc
    raise AssertionError(f"PyFloat_AsDouble accepted {obj!r} as {value!r}")


def pyobject_vectorcall(func, args, kwnames):
    """Call ``func`` through PyObject_Vectorcall with an explicit keyword-name
    tuple; this can pass the same keyword twice, which Python syntax cannot."""
    values = list(args) + [v for _, v in kwnames]
    names = tuple(n for n, _ in kwnames)
    array = (ctypes.py_object * max(len(values), 1))(*values)
    call = _pythonapi(
        "PyObject_Vectorcall",
        ctypes.py_object,
        ctypes.py_object,
        ctypes.c_void_p,
        ctypes.c_size_t,
        ctypes.py_object,
    )
    return call(func, ctypes.addressof(array), len(args), names)


PANIC_DOC = (
    "\nThe exception raised when C++ code called from Python panics.\n\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n"
)

SOURCE_LOCATION = re.compile(r"[\w./\\-]+\.(?:cpp|cc|cxx|hpp|h|hh):\d+(?::\d+)?")


class ReRaises:
    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        raise self.exc.with_traceback(None)  # no traceback carried over from an earlier raise


def assert_resumed(err, message):
    """Check the standard-error output of a fault resumed from Python."""
    lines = err.splitlines()
    assert "Python stack trace below:" in lines, err
    marker = lines.index("Python stack trace below:")
    assert marker >= 1 and lines[marker - 1].strip(), "no banner line before the trace marker"
    trace = lines[marker + 1:]
    assert trace and trace[0] == "Traceback (most recent call last):", err
    assert any("__float__" in line for line in trace), err
    assert f"pyo3_runtime.PanicException: {message}" in trace, err
