"""Compute a grid of limb-darkened light curves in parallel processes, and check them against a serial run.
========================================================================================================

kelvora holds the interpreter lock while it computes, so threads do not run
its calls side by side; separate processes do.  This script computes one
light curve per (u0, rho) on a grid, for a linearly limb-darkened source
(I(r) = 1 - 0.6 (1 - sqrt(1 - r^2))) as a sum of thin rings (Heyrovsky 2003,
examples/limb_darkening.py), once serially and then with
concurrent.futures.ProcessPoolExecutor, and reports

- the wall time of the serial run, of the parallel run including the start
  of the worker processes (each imports numpy and kelvora), and of a second
  parallel run on the already started pool;
- whether every light curve of every parallel run is identical, bit for bit,
  to the serial one.  kelvora's results do not depend on the process or the
  order of the calls, so they must be.

Each light curve is sampled at times t = t0 + tau tE for tau evenly spaced in
[-0.25, 0.25], tau = 0 included, so its middle value is the magnification at
the closest approach, u = u0; those are printed as a table.

Workers are started with the "spawn" method by default, as on macOS and
Windows (fork, the default on Linux up to Python 3.13, is unsafe once threads
exist; --start-method changes it).  The speed-up can be at most the number of
cores: 2 on the development machine.

Usage:  python examples/parallel_light_curves.py [--quick] [--workers N] [--start-method M]
--quick uses a smaller grid (a few seconds).  The exit status is 1 if a
parallel result differs from the serial one.
"""

import argparse
import hashlib
import multiprocessing
import os
import sys
import time
from collections.abc import Callable, Sequence
from concurrent.futures import Executor, ProcessPoolExecutor

import numpy as np
from numpy.typing import NDArray

from limb_darkening import LINEAR, limb_darkened_magnification

Array = NDArray[np.float64]
Task = tuple[float, float, int, int]  # u0, rho, samples, rings per piece


def light_curve(task: Task) -> Array:
    """Magnification at t = t0 + tau tE, tau in [-0.25, 0.25] (odd count)."""
    u0, rho, samples, rings = task
    tau = np.linspace(-0.25, 0.25, samples)
    u = np.hypot(u0, tau)
    return limb_darkened_magnification(u / rho, rho, LINEAR, rings)


def run_serial(tasks: Sequence[Task]) -> list[Array]:
    return [light_curve(task) for task in tasks]


def run_on(pool: Executor, tasks: Sequence[Task]) -> list[Array]:
    # One task at a time: the curves of large sources cost more, so small
    # chunks balance the load.
    return list(pool.map(light_curve, tasks, chunksize=1))


def timed[T](run: Callable[[], T]) -> tuple[T, float]:
    start = time.perf_counter()
    result = run()
    return result, time.perf_counter() - start


def digest(curves: Sequence[Array]) -> str:
    """SHA-256 of the curves' bytes: equal digests, equal bits."""
    h = hashlib.sha256()
    for curve in curves:
        h.update(curve.tobytes())
    return h.hexdigest()


def identical(a: Sequence[Array], b: Sequence[Array]) -> bool:
    return len(a) == len(b) and all(x.dtype == y.dtype and x.tobytes() == y.tobytes() for x, y in zip(a, b))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.partition("\n")[0])
    parser.add_argument("--quick", action="store_true", help="a smaller grid")
    parser.add_argument("--workers", type=int, default=os.process_cpu_count() or 1, help="worker processes")
    parser.add_argument("--start-method", default="spawn", choices=multiprocessing.get_all_start_methods())
    args = parser.parse_args()

    size, samples, rings = (6, 401, 32) if args.quick else (10, 2001, 64)
    u0s = np.linspace(0.0, 0.1, size).tolist()
    rhos = np.geomspace(0.005, 0.1, size).tolist()
    tasks: list[Task] = [(u0, rho, samples, rings) for rho in rhos for u0 in u0s]
    print(
        f"{len(tasks)} light curves ({size} u0 x {size} rho), {samples} points each, {rings} rings per piece;"
        f" {args.workers} worker processes ({args.start_method}) on {os.cpu_count()} cores"
    )

    serial, t_serial = timed(lambda: run_serial(tasks))
    context = multiprocessing.get_context(args.start_method)
    start = time.perf_counter()
    with ProcessPoolExecutor(max_workers=args.workers, mp_context=context) as pool:
        cold = run_on(pool, tasks)
        t_cold = time.perf_counter() - start
        warm, t_warm = timed(lambda: run_on(pool, tasks))

    print(f"serial                            {t_serial:7.3f} s")
    print(f"parallel, starting the workers    {t_cold:7.3f} s   speed-up {t_serial / t_cold:5.2f}")
    print(f"parallel, workers already running {t_warm:7.3f} s   speed-up {t_serial / t_warm:5.2f}")

    same_cold, same_warm = identical(serial, cold), identical(serial, warm)
    print(f"serial   sha256 {digest(serial)}")
    print(f"parallel sha256 {digest(cold)} (first run), {digest(warm)[:16]}... (second run)")
    print(f"identical bit for bit: first run {same_cold}, second run {same_warm}")

    print()
    print("magnification at closest approach, A(u0):")
    print(f"{'rho \\ u0':>9} " + " ".join(f"{u0:>12.4f}" for u0 in u0s))
    middle = samples // 2
    for i, rho in enumerate(rhos):
        row = serial[i * size : (i + 1) * size]
        print(f"{rho:9.5f} " + " ".join(f"{curve[middle]:12.6f}" for curve in row))

    if not (same_cold and same_warm):
        print("FAILED: parallel results differ from the serial ones")
        return 1
    return 0


if __name__ == "__main__":
    status = main()
    if status:  # sphinx-gallery runs the example in its own process: exit only on failure
        sys.exit(status)
