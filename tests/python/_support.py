"""Helpers shared by the kelvora test modules and the two fuzz children.

Everything here is defined once and imported where it is needed: the test
modules find this file because pytest puts their directory on ``sys.path``;
``_fuzz_child.py`` and ``_fspl_fuzz_child.py``, which also run as scripts in
child processes, find it because Python puts a script's own directory there.
Hence nothing here imports pytest or Hypothesis at import time.
"""

import csv
import ctypes
import json
import math
import os
import re
import shlex
import struct
import subprocess
import sys
import sysconfig
import tempfile
import time
from pathlib import Path

# -- the modules' surface -------------------------------------------------------

# kelvora's public functions in registration order (the order of __all__),
# each with its parameters.
KELVORA_FUNCTIONS = {
    "witt_mao_magnification": ("l", "re", "rstar"),
    "integrated_witt_mao_magnification": ("l", "re", "rstar"),
    "integrated_flux_map_witt_mao_magnification": ("l", "re", "rstar", "bl", "bf"),
    "heyrovsky_magnification": ("l", "r", "re", "rstar"),
    "integrated_heyrovsky_magnification": ("l", "re", "rstar"),
    "integrated_flux_map_heyrovsky_magnification": ("l", "re", "rstar", "bl", "bf"),
    "discrete_flux_map_heyrovsky_magnification": ("l", "re", "rstar", "bl", "bf"),
}
KELVORA_NAMES = list(KELVORA_FUNCTIONS)

# The limb-darkening laws of kelvora_fspl, in the order of kelvora_fspl.LAWS.
FSPL_LAWS = ("uniform", "linear", "quadratic", "square-root", "power-2", "tabulated")

# One example profile per law, (law, coefficients), in that order.
FSPL_EXAMPLES = (
    ("uniform", ()),
    ("linear", (0.6,)),
    ("quadratic", (0.4, 0.25)),
    ("square-root", (0.3, 0.5)),
    ("power-2", (0.7, 0.6)),
    ("tabulated", ((0.0, 0.3, 0.7, 1.0), (0.2, 0.6, 0.9, 1.0))),
)

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))

# -- places -----------------------------------------------------------------------

ROOT = Path(__file__).resolve().parent.parent.parent
EXAMPLES = ROOT / "examples"
DATA = Path(__file__).resolve().parent.parent / "data"


def data_rows(name):
    """The rows of tests/data/<name>, a CSV table whose comment lines start
    with '#', as dicts."""
    with open(DATA / name) as f:
        return list(csv.DictReader(line for line in f if not line.startswith("#") and line.strip()))

# -- the bits of doubles ----------------------------------------------------------


def bits(values):
    """The eight bytes of each double, for comparisons bit for bit."""
    return [struct.pack("<d", v) for v in values]


def bits_of(x):
    """The 64 bits of a double as an unsigned integer (how the fuzz cases store doubles)."""
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def from_bits(b):
    """The double with the 64 bits ``b``, taken modulo 2**64 (so a signed integer works too)."""
    return struct.unpack("<d", struct.pack("<Q", b & 0xFFFF_FFFF_FFFF_FFFF))[0]


# -- the C API through ctypes -------------------------------------------------------


def pythonapi(name, restype, *argtypes):
    """The C API function ``name`` of the running interpreter, with its types set."""
    func = getattr(ctypes.pythonapi, name)
    func.restype = restype
    func.argtypes = list(argtypes)
    return func


pyfloat_as_double = pythonapi("PyFloat_AsDouble", ctypes.c_double, ctypes.py_object)


def cpython_float_error(obj):
    """The exception CPython's own PyFloat_AsDouble raises for ``obj``.

    Used as the reference for the interpreter's conversion messages, so the
    expected texts come from the running interpreter and not from this suite.
    """
    try:
        value = pyfloat_as_double(obj)
    except BaseException as exc:  # noqa: BLE001
        return exc
    raise AssertionError(f"PyFloat_AsDouble accepted {obj!r} as {value!r}")


def pyobject_vectorcall(func, args, kwnames):
    """Call ``func`` through PyObject_Vectorcall with an explicit keyword-name
    tuple; this can pass the same keyword twice, which Python syntax cannot."""
    values = list(args) + [v for _, v in kwnames]
    names = tuple(n for n, _ in kwnames)
    array = (ctypes.py_object * max(len(values), 1))(*values)
    call = pythonapi(
        "PyObject_Vectorcall",
        ctypes.py_object,
        ctypes.py_object,
        ctypes.c_void_p,
        ctypes.c_size_t,
        ctypes.py_object,
    )
    return call(func, ctypes.addressof(array), len(args), names)


# -- argument objects ---------------------------------------------------------------


class OwnError(Exception):
    """An exception of the test's own, to tell it apart from the module's."""


class MyTypeError(TypeError):
    """A subclass of TypeError: passes unchanged, unlike TypeError itself."""


class MyBaseException(BaseException):
    """Neither an Exception nor a fault of the module."""


class Floaty:
    """A number only through __float__, which returns ``value`` as it is."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value

    def __repr__(self):
        return f"Floaty({self.value!r})"


class Indexy:
    """A number only through __index__, which returns ``value`` as it is."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"Indexy({self.value!r})"


class FloatSub(float):
    """A float subclass whose own __float__ a reader of the stored double never calls."""

    def __float__(self):
        return 99.0

    def __repr__(self):
        return f"FloatSub({float.__repr__(self)})"


class PlainFloatSub(float):
    """A float subclass that adds nothing."""


class StrSub(str):
    pass


class TupleSub(tuple):
    def __repr__(self):
        return f"TupleSub({tuple.__repr__(self)})"


class Outer:
    class Inner:
        """Iterable but not a sequence (no __getitem__)."""

        def __iter__(self):
            return iter([1.0])


class MappingLike(dict):
    def __getitem__(self, key):
        return 1.0


class NoFloat:
    """Not a number in any way."""

    def __repr__(self):
        return "NoFloat()"


class Unprintable:
    """An object whose str() raises (as the value of an exception, say)."""

    def __str__(self):
        raise ValueError("no text")

    def __repr__(self):
        return "Unprintable()"


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


class ReRaises:
    """__float__ raises the same exception object every time."""

    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        raise self.exc.with_traceback(None)  # no traceback carried over from an earlier raise

    def __repr__(self):
        return f"ReRaises({self.exc!r})"


class RaisesNew:
    """__float__ raises a new ``kind(message)`` every time."""

    def __init__(self, kind, message="refused"):
        self.kind = kind
        self.message = message

    def __float__(self):
        raise self.kind(self.message)


class RaisesTypeErrorFrom:
    """__float__ raises a TypeError with ``message`` whose cause is ``cause``."""

    def __init__(self, cause, message):
        self.cause = cause
        self.message = message

    def __float__(self):
        raise TypeError(self.message) from self.cause


class Yielding:
    """A number that lets other threads run while it is being converted."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        time.sleep(0)
        return self.value


# -- internal faults ------------------------------------------------------------------

PANIC_DOC = (
    "\nThe exception raised when C++ code called from Python panics.\n\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n"
)

SOURCE_LOCATION = re.compile(r"[\w./\\-]+\.(?:cpp|cc|cxx|hpp|h|hh):\d+(?::\d+)?")


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


# -- references -----------------------------------------------------------------------


def point_lens(u):
    """Point-source point-lens magnification (u^2 + 2) / (u sqrt(u^2 + 4)) (Paczynski 1986)."""
    return (u * u + 2) / (u * math.sqrt(u * u + 4))


def point_lens_mp(u):
    """The same in mpmath, at its working precision."""
    import mpmath

    return (u * u + 2) / (u * mpmath.sqrt(u * u + 4))


# -- randomised cases -----------------------------------------------------------------


class HypothesisSource:
    """The choices of a fuzz child's ``gen_case`` drawn by Hypothesis instead of
    the child's ``RandomSource``, so that a failing case shrinks.

    ``anyfloat`` draws a float, or 64 bits made a double by ``from_bits``
    after ``BITS_OFFSET`` is taken off them.
    """

    BITS_OFFSET = 0

    def __init__(self, data):
        from hypothesis import strategies

        self.data = data
        self.st = strategies

    def integer(self, lo, hi):
        return self.data.draw(self.st.integers(lo, hi))

    def pick(self, options):
        return self.data.draw(self.st.sampled_from([v for w, v in options for _ in range(w)]))

    def chance(self, p):
        if p <= 0:
            return False
        if p >= 1:
            return True
        return self.data.draw(self.st.integers(0, 999)) >= 1000 - round(p * 1000)

    def uniform(self, lo, hi):
        return self.data.draw(self.st.floats(lo, hi))

    def anyfloat(self):
        st, offset = self.st, self.BITS_OFFSET
        return self.data.draw(st.floats(allow_nan=True, allow_infinity=True, allow_subnormal=True)
                              | st.integers(0, 2**64 - 1).map(lambda b: from_bits(b - offset)))


def rerun_command(script, module, where, case):
    """A shell command that runs just this case of the fuzz child ``script``
    again, verbosely, with the ``module`` the caller imported."""
    module_dir = os.path.dirname(os.path.abspath(module.__file__))
    head = (f"PYTHONPATH={shlex.quote(module_dir)} {shlex.quote(sys.executable)} "
            f"{shlex.quote(os.path.abspath(script))}")
    if "seed" in where:
        return f"{head} --seed {where['seed']} --start {where['index']} --count 1 --verbose"
    return f"{head} --case {shlex.quote(json.dumps(case))} --verbose"


def run_batch_in_child(script, module, child_args, timeout):
    """Run the fuzz child ``script`` with ``child_args`` in a fresh interpreter
    that imports the same ``module`` as this process, and return its JSON report.

    The child rewrites a state file with the current case before each call and
    writes its standard error to a regular file: when it crashes or hangs, the
    report is ``{"crash": ...}`` with the case it happened on, a command that
    reruns it and the end of its standard error.
    """
    env = dict(os.environ)
    module_file = os.path.abspath(module.__file__)
    module_dir = os.path.dirname(module_file)
    env["PYTHONPATH"] = os.pathsep.join([module_dir] + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p])
    with tempfile.TemporaryDirectory(prefix=f"{module.__name__}-fuzz-") as tmp:
        state = os.path.join(tmp, "state.json")
        with open(os.path.join(tmp, "stderr"), "w+b") as err:
            cmd = [sys.executable, os.path.abspath(script), *child_args, "--state", state,
                   "--expect-module", module_file]
            started = time.perf_counter()
            try:
                proc = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=err, timeout=timeout, env=env)
                rc, out, how = proc.returncode, proc.stdout, None
            except subprocess.TimeoutExpired as exc:
                rc, out, how = None, exc.stdout or b"", f"no answer within {timeout} s (killed)"
            elapsed = time.perf_counter() - started
            err.seek(0, os.SEEK_END)
            size = err.tell()
            err.seek(max(0, size - 4000))
            tail = err.read().decode("utf-8", "replace")
        if rc == 0:
            try:
                return json.loads(out.decode().strip().splitlines()[-1])
            except (ValueError, IndexError):
                how = "no report on standard output"
        last = None
        try:
            with open(state) as fh:
                last = json.load(fh)
        except (OSError, ValueError):
            pass
    if how is None:
        how = f"exited with {rc}" + (f" (signal {-rc})" if rc is not None and rc < 0 else "")
    crash = {"how": how, "returncode": rc, "elapsed": elapsed, "stderr_tail": tail, "command": cmd}
    if last is not None:
        crash["where"] = last["where"]
        crash["case"] = last["case"]
        crash["reproduce"] = rerun_command(script, module, last["where"], last["case"])
    return {"crash": crash}


def assert_clean_report(report):
    """A fuzz child's batch report: no crash and no failed case."""
    assert "crash" not in report, json.dumps(report["crash"], indent=1)
    assert report["failed"] == 0, json.dumps(report["failures"][:5], indent=1)


# -- memory ---------------------------------------------------------------------------


def rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def run_operations(ops, calls):
    """Make ``calls`` calls, going round the (call, expected exception type or
    None) pairs ``ops``; each must end as expected.  Returns the number of
    outcomes by name ("result" for a return), so that the counts hold no
    exception class."""
    outcomes = {}
    n = len(ops)
    for i in range(calls):
        call, expected = ops[i % n]
        try:
            call()
        except BaseException as exc:  # noqa: BLE001
            kind = type(exc)
        else:
            kind = None
        if kind is not expected:
            raise AssertionError(f"operation {i % n} gave {kind}, expected {expected}")
        name = kind.__name__ if kind else "result"
        outcomes[name] = outcomes.get(name, 0) + 1
    return outcomes


# -- child processes ------------------------------------------------------------------

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


def run_example(name, *args, timeout=120):
    """Run the example ``name`` with ``args``; it must succeed without a word
    on standard error.  Returns its standard output."""
    done = subprocess.run(
        [sys.executable, str(EXAMPLES / name), *args], capture_output=True, text=True, env=example_env(),
        timeout=timeout,
    )
    assert done.returncode == 0, done.stdout + done.stderr
    assert done.stderr == ""
    return done.stdout


def run_python_module(*args):
    """``python -m args...`` in the source tree."""
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True, cwd=ROOT, timeout=600)
