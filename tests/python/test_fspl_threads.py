"""kelvora_fspl.magnification and magnification_and_gradient from several
Python threads at once.

Eight threads call every law on arrays of their own, with argument objects
whose __float__ lets the other threads run in the middle of the conversion;
every result must equal the serial one bit for bit, and every error must reach
the thread that caused it, with its own message.  The computation itself runs
without the GIL: another thread keeps running Python meanwhile.
"""

import math
import sys
import threading
import time

import pytest

np = pytest.importorskip("numpy")

import kelvora_fspl  # noqa: E402
from _support import FSPL_EXAMPLES, Yielding  # noqa: E402

mag = kelvora_fspl.magnification
grad = kelvora_fspl.magnification_and_gradient

THREADS = 8
ROUNDS = 6

LAWS = FSPL_EXAMPLES


class YieldingThenRefusing:
    def __float__(self):
        time.sleep(0)
        raise TypeError("not a number after all")


def thread_arguments(index):
    """Arguments of thread ``index``: its own separations (NaN included) and radii."""
    u = np.linspace(0.0, 3.0, 301 + 37 * index)
    u[5 + index] = math.nan
    rho = 0.02 + 0.03 * index
    grid_u = np.linspace(0.0, 1.0, 7 + index)[:, None]
    grid_rho = np.array([0.05, 0.1, 0.5 + index])
    objects = [Yielding(0.01 * k) for k in range(10 + index)]
    return u, rho, grid_u, grid_rho, objects


def calls_of(index):
    """(name, call) pairs of thread ``index``: every law, succeeding and failing."""
    u, rho, grid_u, grid_rho, objects = thread_arguments(index)
    calls = []
    for law, coefficients in LAWS:
        calls.append((f"{law}-array", lambda law=law, c=coefficients: mag(u, rho, law, c)))
        calls.append((f"{law}-grid", lambda law=law, c=coefficients: mag(grid_u[::-1], grid_rho, law, c)))
        calls.append((f"{law}-objects", lambda law=law, c=coefficients: mag(objects, Yielding(rho), law, c)))
        calls.append((f"{law}-gradient", lambda law=law, c=coefficients: grad(u, rho, law, c,
                                                                            coefficients_gradient=True)))
        calls.append((f"{law}-gradient-objects",
                       lambda law=law, c=coefficients: grad(objects, Yielding(rho), law, c)))
    bad = -0.5 - index
    calls += [
        ("negative-u", lambda: mag([Yielding(0.1), Yielding(bad)], rho)),
        ("negative-profile", lambda: mag(u, rho, "linear", (1.5 + index,))),
        ("not-a-number", lambda: mag(YieldingThenRefusing(), rho)),
        ("law-not-a-str", lambda: mag(u, rho, index)),
        ("unknown-law", lambda: mag(u, rho, f"law{index}")),
        ("gradient-negative-u", lambda: grad([Yielding(0.1), Yielding(bad)], rho)),
    ]
    return calls


def outcome(call):
    try:
        result = call()
    except Exception as exc:  # noqa: BLE001 - compared with the serial outcome
        return ("error", type(exc).__name__, str(exc))
    if type(result) is tuple:  # the gradient: every array, bit for bit
        assert all(type(r) is np.ndarray and r.dtype == np.float64 for r in result)
        return ("ok", result[0].shape, b"".join(r.tobytes() for r in result))
    assert type(result) is np.ndarray and result.dtype == np.float64
    return ("ok", result.shape, result.tobytes())


def test_threads_get_the_serial_results():
    per_thread = [calls_of(i) for i in range(THREADS)]
    serial = [{name: outcome(call) for name, call in calls} for calls in per_thread]
    kinds = {o[0] if o[0] == "ok" else o[1] for s in serial for o in s.values()}
    assert kinds == {"ok", "ValueError", "TypeError"}, kinds
    # Each thread's messages name its own values.
    assert serial[3]["negative-u"] == ("error", "ValueError", "u must be non-negative, got -3.5")

    mismatches, leftovers = [], []
    start = threading.Barrier(THREADS)

    def worker(index):
        calls = per_thread[index]
        start.wait()
        for round_ in range(ROUNDS):
            for k in range(len(calls)):
                name, call = calls[(k * (index + 1) + round_) % len(calls)]
                got = outcome(call)
                if got != serial[index][name]:
                    mismatches.append((index, name, got[:2], serial[index][name][:2]))
                if sys.exc_info() != (None, None, None):
                    leftovers.append((index, name, sys.exc_info()))

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
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
    assert outcome(per_thread[0][0][1]) == serial[0][per_thread[0][0][0]]


def test_threads_share_one_input_array():
    u = np.linspace(0.0, 2.0, 5001)
    u.flags.writeable = False
    serial = {law: mag(u, 0.1, law, c) for law, c in LAWS}
    results = {}

    def worker(index):
        law, c = LAWS[index % len(LAWS)]
        results[index] = (law, mag(u, 0.1, law, c))

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(results) == THREADS
    for law, got in results.values():
        assert np.array_equal(got, serial[law]) and got.tobytes() == serial[law].tobytes(), law


# -- the computation runs without the GIL ---------------------------------------------------------


def progress_during(call):
    """How far the main thread counts while another thread runs ``call``.

    The switch interval is made very long, so that no thread is ever made to
    give up the GIL: the main thread gets to run during the call only if the
    call releases the GIL itself.  The main thread gives the GIL back every
    1000 counts (time.sleep(0)), so that a call that has finished can take it
    again; the worker reads the count just before and just after the call.
    """
    counter = [0]
    seen = {}
    ready = threading.Event()
    done = threading.Event()

    def worker():
        ready.set()
        before = counter[0]
        seen["result"] = call()
        seen["progress"] = counter[0] - before
        done.set()

    old = sys.getswitchinterval()
    sys.setswitchinterval(30.0)
    try:
        thread = threading.Thread(target=worker)
        thread.start()
        ready.wait()
        while not done.is_set():
            for _ in range(1000):
                counter[0] += 1
            time.sleep(0)
        thread.join()
    finally:
        sys.setswitchinterval(old)
    return seen["progress"], seen["result"]


def long_arguments(seconds=0.5):
    """Separations for a power-2 call of about ``seconds``."""
    probe = np.linspace(0.0, 3.0, 20_000)
    started = time.perf_counter()
    mag(probe, 0.1, "power-2", (0.7, 0.6))
    per_entry = max((time.perf_counter() - started) / probe.size, 1e-8)
    n = int(min(max(seconds / per_entry, 1e5), 4e6))
    return np.linspace(0.0, 3.0, n)


def test_the_computation_runs_without_the_gil():
    u = long_arguments()
    progress, result = progress_during(lambda: mag(u, 0.1, "power-2", (0.7, 0.6)))
    assert result.shape == u.shape and np.all(result >= 1.0)
    # The main thread ran (at least one round of 1000) while the call worked.
    assert progress >= 1000, progress


@pytest.mark.skipif(not getattr(sys, "_is_gil_enabled", lambda: True)(),
                    reason="no GIL in this run: nothing can keep it")
def test_the_measure_notices_a_call_that_keeps_the_gil():
    # sorted() of floats compares in C without letting the GIL go.
    values = np.random.default_rng(7).random(1_000_000).tolist()
    progress, result = progress_during(lambda: sorted(values))
    assert len(result) == len(values)
    assert progress < 1000, progress
