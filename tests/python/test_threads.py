"""Several Python threads calling every function at once.

Each call converts elements whose __float__ gives the interpreter away
(time.sleep(0)) in the middle of the conversion, so the threads interleave
inside the argument conversion of each other's calls.  Every result must
equal the serial one bit for bit, and every failure (numeric, argument,
internal fault) must reach the thread that caused it, as the same kind of
exception with the same message, and no other.
"""

import sys
import threading
import time

import pytest

import kelvora
from _support import HugeLength, Yielding, bits

THREADS = 8
ROUNDS = 12


class YieldingThenRaising:
    def __float__(self):
        time.sleep(0)
        raise ValueError("raised by the caller's own object")


def y(values):
    return [Yielding(v) for v in values]


L = [0.0, 0.3, 0.999, 1.0, 1.5, 4.0]
BL = [0.0, 0.25, 0.5, 0.75, 1.0]
BF = [1.0, 0.95, 0.85, 0.7, 0.4]

# (name, call) pairs: every function, succeeding and failing in every way.
CALLS = [
    ("witt_mao", lambda: kelvora.witt_mao_magnification(y(L), Yielding(1.0), 0.1)),
    ("integrated_witt_mao", lambda: kelvora.integrated_witt_mao_magnification(y(L), 1.0, Yielding(0.1))),
    ("flux_map_witt_mao", lambda: kelvora.integrated_flux_map_witt_mao_magnification(y(L), 1.0, 0.1, y(BL), BF)),
    ("heyrovsky", lambda: kelvora.heyrovsky_magnification(Yielding(0.7), Yielding(0.5), 1.0, 0.1)),
    ("integrated_heyrovsky", lambda: kelvora.integrated_heyrovsky_magnification(y([2.0]), 1.0, 0.1)),
    ("flux_map_heyrovsky", lambda: kelvora.integrated_flux_map_heyrovsky_magnification([3.0], 1.0, 0.1, BL, y(BF))),
    ("discrete", lambda: kelvora.discrete_flux_map_heyrovsky_magnification(y(L), 1.0, 0.1, y(BL), y(BF))),
    ("numeric_failure", lambda: kelvora.witt_mao_magnification(y([0.5, 1.0 + 2.0**-40]), 1.0, 1e8)),
    ("type_error", lambda: kelvora.witt_mao_magnification(y([0.5]) + ["x"], 1.0, 0.1)),
    ("user_error", lambda: kelvora.heyrovsky_magnification(0.5, YieldingThenRaising(), 1.0, 1.0)),
    ("unequal_tables", lambda: kelvora.discrete_flux_map_heyrovsky_magnification(y(L), 1.0, 0.1, y(BL), [1.0])),
    ("capacity", lambda: kelvora.witt_mao_magnification(HugeLength(), 1.0, 0.1)),
]


def outcome(call):
    try:
        result = call()
    except BaseException as exc:  # noqa: BLE001
        return ("error", type(exc).__name__, str(exc))
    values = result if isinstance(result, list) else [result]
    assert all(type(v) is float for v in values)
    return ("ok", bits(values))


@pytest.fixture
def quiet_stderr(capfd):
    # The internal faults write their report to standard error, once per call.
    yield
    capfd.readouterr()


def test_threads_get_the_serial_results(quiet_stderr):
    serial = {name: outcome(call) for name, call in CALLS}
    kinds = {result[0] if result[0] == "ok" else result[1] for result in serial.values()}
    assert kinds == {"ok", "RuntimeError", "TypeError", "ValueError", "PanicException"}

    mismatches = []
    leftovers = []
    start = threading.Barrier(THREADS)

    def worker(index):
        start.wait()
        for round_ in range(ROUNDS):
            # Each thread walks the calls in its own order.
            for k in range(len(CALLS)):
                name, call = CALLS[(k + index + round_) % len(CALLS)]
                got = outcome(call)
                if got != serial[name]:
                    mismatches.append((index, name, got, serial[name]))
                if sys.exc_info() != (None, None, None):
                    leftovers.append((index, name, sys.exc_info()))

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=worker, args=(i,)) for i in range(THREADS)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(old)
    assert not mismatches, mismatches[:3]
    assert not leftovers, leftovers[:3]
    # The module still works normally afterwards, in this thread.
    assert outcome(CALLS[0][1]) == serial["witt_mao"]
