"""Many calls of kelvora_fspl.magnification, succeeding and failing in every
way, must leave the argument reference counts, the number of live objects,
traced memory and the resident set where they were."""

import gc
import sys
import time
import tracemalloc

import pytest

np = pytest.importorskip("numpy")

import kelvora_fspl  # noqa: E402
from _support import Floaty, NoFloat, OwnError, RaisesNew, rss_bytes, run_operations  # noqa: E402

mag = kelvora_fspl.magnification
grad = kelvora_fspl.magnification_and_gradient

pytestmark = pytest.mark.leak

CALLS = 60_000
WARMUP = 6_000
RSS_LIMIT = 2 * 1024 * 1024
TRACED_LIMIT = 64 * 1024
OBJECTS_LIMIT = 50


def _operations():
    """Argument objects and the calls that use them, with the exception each raises."""
    o = {
        "u": np.linspace(0.0, 2.0, 257),
        "u_strided": np.linspace(0.0, 2.0, 514)[::-2],
        "u_2d": np.linspace(0.0, 1.0, 12).reshape(3, 4),
        "rho_col": np.array([[0.05], [0.1], [0.3]]),
        "u_list": [0.0, 0.05, 0.1, 2.0, float("nan"), float("inf")],
        "u_objects": [Floaty(0.05), Floaty(0.5)],
        "rho": 0.1,
        "linear": (0.6,),
        "quadratic": [0.4, 0.25],
        "square_root": np.array([0.3, 0.5]),
        "power_2": (0.7, 0.6),
        "table": ((0.0, 0.3, 0.7, 1.0), [0.2, 0.6, 0.9, 1.0]),
        "negative_u": [0.5, -1.0],
        "bad_rho": np.array([0.1, 0.0]),
        "too_many": (0.1, 0.2),
        "dark": (3.0,),
        "falling": ([0.5, 0.2], [1.0, 1.0]),
        "unequal": ([0.0, 1.0], [1.0]),
        "zero_alpha": (0.5, 0.0),
        "nan_coefficient": (float("nan"),),
        "two_d": np.array([[0.5]]),
        "not_a_number": NoFloat(),
        "huge": 10**400,
        "wide": np.zeros(3),
        "narrow": np.zeros(4),
        "empty": np.zeros((0, 3)),
    }
    o["raises_own"] = RaisesNew(OwnError)
    o["raises_type"] = RaisesNew(TypeError)
    ops = [
        (lambda: mag(o["u"], o["rho"]), None),
        (lambda: mag(o["u_strided"], o["rho"], "linear", o["linear"]), None),
        (lambda: mag(o["u_2d"][:, :1], o["rho_col"], "quadratic", o["quadratic"]), None),
        (lambda: mag(o["u_list"], o["rho"], "square-root", o["square_root"]), None),
        (lambda: mag(o["u_objects"], o["rho"], "power-2", o["power_2"]), None),
        (lambda: mag(o["u_2d"], o["rho"], "tabulated", o["table"]), None),
        (lambda: mag(0.5, o["rho"], law="linear", coefficients=o["linear"]), None),
        (lambda: mag(o["empty"], o["rho"]), None),
        (lambda: mag(o["negative_u"], o["rho"]), ValueError),
        (lambda: mag(o["u"], o["bad_rho"][1:]), ValueError),
        (lambda: mag(o["u"], o["rho"], "no such law"), ValueError),
        (lambda: mag(o["u"], o["rho"], "linear", o["too_many"]), ValueError),
        (lambda: mag(o["u"], o["rho"], "linear", o["dark"]), ValueError),
        (lambda: mag(o["u"], o["rho"], "linear", o["nan_coefficient"]), ValueError),
        (lambda: mag(o["u"], o["rho"], "linear", o["two_d"]), ValueError),
        (lambda: mag(o["u"], o["rho"], "power-2", o["zero_alpha"]), ValueError),
        (lambda: mag(o["u"], o["rho"], "tabulated", o["falling"]), ValueError),
        (lambda: mag(o["u"], o["rho"], "tabulated", o["unequal"]), ValueError),
        (lambda: mag(o["wide"], o["narrow"]), ValueError),
        (lambda: mag("0.5", o["rho"]), TypeError),
        (lambda: mag(o["not_a_number"], o["rho"]), TypeError),
        (lambda: mag(o["raises_type"], o["rho"]), TypeError),
        (lambda: mag(o["u"], o["rho"], 1), TypeError),
        (lambda: mag(o["u"], o["rho"], "linear", 0.5), TypeError),
        (lambda: mag(o["u"]), TypeError),
        (lambda: mag(o["u"], o["rho"], bogus=1), TypeError),
        (lambda: mag([0.5, o["raises_own"]], o["rho"]), OwnError),
        (lambda: mag(o["u"], o["rho"], "linear", [o["raises_own"]]), OwnError),
        (lambda: mag(o["huge"], o["rho"]), OverflowError),
        # the gradient: every array it returns, and its errors
        (lambda: grad(o["u_2d"], o["rho"], "tabulated", o["table"], coefficients_gradient=True), None),
        (lambda: grad(o["u_objects"], o["rho"], "power-2", o["power_2"]), None),
        (lambda: grad(o["negative_u"], o["rho"], "linear", o["linear"]), ValueError),
        (lambda: grad(o["u"], o["rho"], "linear", o["linear"], coefficients_gradient=1), TypeError),
        (lambda: grad([0.5, o["raises_own"]], o["rho"]), OwnError),
    ]
    tracked = list(o.values()) + [Floaty, RaisesNew, NoFloat, OwnError]
    return ops, tracked


def _measure(tracked):
    gc.collect()
    refs = sum(sys.getrefcount(obj) for obj in tracked)
    return refs, len(gc.get_objects()), tracemalloc.get_traced_memory()[0], rss_bytes()


@pytest.fixture
def traced():
    tracemalloc.start()
    try:
        yield
    finally:
        tracemalloc.stop()


def test_calls_are_flat(traced):
    ops, tracked = _operations()
    run_operations(ops, WARMUP)
    before = _measure(tracked)
    started = time.perf_counter()
    outcomes = run_operations(ops, CALLS)
    elapsed = time.perf_counter() - started
    after = _measure(tracked)
    assert sum(outcomes.values()) == CALLS
    assert set(outcomes) == {"result", "ValueError", "TypeError", "OwnError", "OverflowError"}

    (refs0, objects0, traced0, rss0), (refs1, objects1, traced1, rss1) = before, after
    problems = []
    if refs1 != refs0:
        problems.append(f"argument reference counts changed by {refs1 - refs0}")
    if objects1 - objects0 > OBJECTS_LIMIT:
        problems.append(f"{objects1 - objects0} more live objects")
    if traced1 - traced0 > TRACED_LIMIT:
        problems.append(f"traced memory grew by {traced1 - traced0} bytes")
    if rss1 - rss0 > RSS_LIMIT:
        problems.append(f"resident set grew by {rss1 - rss0} bytes")
    assert not problems, f"after {CALLS} calls ({elapsed:.1f} s): " + "; ".join(problems)


def test_large_results_are_freed(traced):
    # A result that outlived its call would show at once with 8 MB each.
    u = np.linspace(0.0, 2.0, 1_000_000)
    for _ in range(3):
        mag(u, 0.1)
    gc.collect()
    traced0, rss0 = tracemalloc.get_traced_memory()[0], rss_bytes()
    for _ in range(30):
        result = mag(u, 0.1)
        del result
    gc.collect()
    assert tracemalloc.get_traced_memory()[0] - traced0 < 1024 * 1024
    assert rss_bytes() - rss0 < 16 * 1024 * 1024
