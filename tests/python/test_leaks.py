"""Many calls, succeeding and failing in every way, must leave reference counts,
traced Python memory and the resident set where they were."""

import contextlib
import gc
import os
import sys
import time
import tracemalloc

import pytest

import kelvora
from _support import HugeLength, RaisesNew, RaisesTypeErrorFrom, ReRaises, rss_bytes, run_operations

wm = kelvora.witt_mao_magnification
ring = kelvora.heyrovsky_magnification
rings = kelvora.discrete_flux_map_heyrovsky_magnification

pytestmark = pytest.mark.leak

CALLS = 200_000
WARMUP = 20_000
RSS_LIMIT = 2 * 1024 * 1024
TRACED_LIMIT = 64 * 1024


class NotASequence:
    pass


class LenRaises:
    def __init__(self, items):
        self.items = items

    def __len__(self):
        raise RuntimeError("no length")

    def __getitem__(self, index):
        raise AssertionError

    def __iter__(self):
        return iter(self.items)


def _operations():
    """Argument objects and the calls that use them, one of each outcome."""
    objs = {
        "l": [0.0, 0.5, 2.0],
        "re": 1.0,
        "rstar": 0.1,
        "bad_l": [0.5, "x"],
        "cause": ValueError("cause"),
        "not_seq": NotASequence(),
        "huge": 10**400,
        "numeric_l": [0.5, 1.0 + 2.0**-40],
        "rstar_numeric": 1e8,
        "len_raises": None,
        "bl": [0.2, 0.6, 1.0],
        "bf": [0.5, 1.0, 0.25],
        "far_l": 1e4 + 1.1e-5,
        "far_ring": 1e4,
    }
    objs["from_cause"] = RaisesTypeErrorFrom(objs["cause"], "renamed")
    objs["raises_value"] = RaisesNew(ValueError, "passes through")
    objs["len_raises"] = LenRaises(objs["l"])
    o = objs
    ops = [
        (lambda: wm(o["l"], o["re"], o["rstar"]), None),
        (lambda: wm(rstar=o["rstar"], l=o["l"], re=o["re"]), None),
        (lambda: wm(o["len_raises"], o["re"], o["rstar"]), None),
        (lambda: wm(o["l"], o["re"], o["rstar"], o["re"]), TypeError),
        (lambda: wm(o["l"], o["re"], o["rstar"], re=o["re"]), TypeError),
        (lambda: wm(o["l"], o["re"], bogus=o["rstar"]), TypeError),
        (lambda: wm(o["l"]), TypeError),
        (lambda: wm(o["bad_l"], o["re"], o["rstar"]), TypeError),
        (lambda: wm(o["l"], o["from_cause"], o["rstar"]), TypeError),
        (lambda: wm(o["not_seq"], o["re"], o["rstar"]), TypeError),
        (lambda: wm(o["l"], o["re"], o["raises_value"]), ValueError),
        (lambda: wm(o["l"], o["huge"], o["rstar"]), OverflowError),
        (lambda: wm(o["numeric_l"], o["re"], o["rstar_numeric"]), RuntimeError),
        (lambda: ring(o["rstar"], o["rstar"], o["re"], o["re"]), None),
        (lambda: ring(o["far_l"], o["far_ring"], o["re"], o["re"]), RuntimeError),
        (lambda: ring(o["far_l"], o["bad_l"], o["re"], o["re"]), TypeError),
        (lambda: rings(o["l"], o["re"], o["rstar"], o["bl"], o["bf"]), None),
        (lambda: rings(o["l"], o["re"], o["rstar"], o["bl"], o["bad_l"]), TypeError),
        (lambda: rings([o["far_l"]], o["re"], o["re"], [o["far_ring"]], o["l"][:1]), RuntimeError),
        (lambda: kelvora.integrated_witt_mao_magnification(o["l"], o["re"], o["rstar"]), None),
        (lambda: kelvora.integrated_flux_map_witt_mao_magnification(o["l"], o["re"], o["rstar"], o["bl"], o["bf"]), None),
        (lambda: kelvora.integrated_flux_map_witt_mao_magnification(o["numeric_l"], o["re"], o["rstar_numeric"],
                                                                    o["bl"], o["bf"]), RuntimeError),
        (lambda: kelvora.integrated_heyrovsky_magnification([], o["re"], o["rstar"]), None),
        (lambda: kelvora.integrated_flux_map_heyrovsky_magnification([], o["re"], o["rstar"], o["bl"], o["bad_l"]),
         TypeError),
    ]
    tracked = list(objs.values()) + [NotASequence, RaisesTypeErrorFrom, RaisesNew, LenRaises]
    return ops, tracked


def _refsum(objects):
    return sum(sys.getrefcount(obj) for obj in objects)


def _measure(tracked):
    gc.collect()
    total = sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else None
    return _refsum(tracked), total, tracemalloc.get_traced_memory()[0], rss_bytes()


def _check_flat(before, after, calls, what):
    refs0, total0, traced0, rss0 = before
    refs1, total1, traced1, rss1 = after
    problems = []
    if refs1 != refs0:
        problems.append(f"argument reference counts changed by {refs1 - refs0}")
    if total0 is not None and abs(total1 - total0) > 1000:
        problems.append(f"total reference count changed by {total1 - total0}")
    if traced1 - traced0 > TRACED_LIMIT:
        problems.append(f"traced memory grew by {traced1 - traced0} bytes")
    if rss1 - rss0 > RSS_LIMIT:
        problems.append(f"resident set grew by {rss1 - rss0} bytes")
    assert not problems, f"after {calls} {what}: " + "; ".join(problems) + (
        f" (refs {refs0}->{refs1}, traced {traced0}->{traced1}, rss {rss0}->{rss1})"
    )


@contextlib.contextmanager
def stderr_discarded():
    """Send file descriptor 2 to /dev/null, so the reports of many faults
    neither pile up in a capture buffer nor reach the terminal."""
    sys.stderr.flush()
    saved = os.dup(2)
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, 2)
        yield
    finally:
        os.dup2(saved, 2)
        os.close(saved)
        os.close(devnull)


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
    assert set(outcomes) == {"result", "TypeError", "ValueError", "OverflowError", "RuntimeError"}
    _check_flat(before, after, CALLS, f"mixed calls ({elapsed:.1f} s)")


def test_faults_are_flat(traced, panic_type):
    # Every fault writes a report to standard error, so fewer calls here.
    original = None
    try:
        wm(HugeLength(), 1.0, 0.1)
    except BaseException as exc:  # noqa: BLE001
        original = exc
    original.__traceback__ = None
    huge, again = HugeLength(), ReRaises(original)
    tracked = [huge, again, original, panic_type, HugeLength, ReRaises]

    def faults(count):
        for i in range(count):
            try:
                if i % 8 == 4:
                    rings([0.5], 1.0, 0.1, [0.5, 1.0], [1.0])
                elif i % 8 == 6:
                    kelvora.integrated_flux_map_heyrovsky_magnification([0.5], 1.0, 0.1, [0.5, 1.0], [1.0])
                elif i % 8:
                    wm(huge, 1.0, 0.1)
                else:
                    wm([0.5], again, 0.1)
            except BaseException as exc:  # noqa: BLE001
                if type(exc) is not panic_type:
                    raise
            original.__traceback__ = None

    with stderr_discarded():
        faults(2_000)
        before = _measure(tracked)
        faults(20_000)
        after = _measure(tracked)
    _check_flat(before, after, 20_000, "faults")
