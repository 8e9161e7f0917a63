"""Cost of calling kelvora from Python: per separation, per call and per element.

Usage:  .venv/bin/python bench/bench_python.py [--quick] [--repeat R] [--points N]

Three measurements, each the median over R repeats of a timeit loop (the
loop count per repeat is chosen so that one repeat lasts at least about
0.1 s, 0.03 s with --quick):

(a) Time per separation of each of the seven functions on the light curve
    of examples/demo.py (rho = 0.05, u0 = 0.02, tE = 20 d, two days either
    side of the peak, N = 1000 points), the separations given as a list, a
    tuple and a numpy float64 array.  `heyrovsky_magnification` takes one
    separation, so it is timed once, as a Python loop of scalar calls over
    the list.  The integrated and discrete flux maps use the 11-sample table
    bl = 0, 0.1, ..., 1 with bf the linear limb-darkening law
    I(r) = 1 - 0.6 (1 - sqrt(1 - r^2)); the discrete flux map also 64
    Gauss-Legendre rings with flux weights I(r) 2 r dr / F (Heyrovsky 2003),
    as examples/demo.py builds them.  Tables are always plain lists: only the
    type of the separations changes between the columns.
(b) The fixed cost of one call: `heyrovsky_magnification(2.0, 0.0, 1.0, 1.0)`
    and `witt_mao_magnification([1.0], 1.0, 1.0)` (the one-element list is
    built once, outside the loop) against `math.hypot(2.0, 0.0)`, a C
    function of two floats that does next to no arithmetic.
(c) The cost per element of reading a sequence and building the result list:
    `witt_mao_magnification(l, 1.0, 1.0)` with l = [1.0] * 100000, every entry
    on the same, cheapest branch of the uniform-disk formula, given as a list,
    a tuple and a numpy array, against `list(array.array('d', l))`, which
    unboxes the same 100000 floats into a C array and boxes them again.

--quick uses 250 points, 3 repeats and shorter loops; it finishes in a few
seconds and is meant as a smoke run, not for quoting numbers.  This is a
benchmark, not a test: nothing is asserted.
"""

import argparse
import array
import math
import platform
import statistics
import timeit

import numpy as np

import kelvora

RHO = 0.05  # source radius in Einstein radii (rstar / re)
U0 = 0.02  # impact parameter in Einstein radii
T_E = 20.0  # Einstein crossing time in days
LIMB_U = 0.6  # linear limb-darkening coefficient of the flux tables
RING = 0.6  # radius (stellar radii) of the single ring of heyrovsky_magnification

CONVERSION_LENGTH = 100_000  # length of the sequence in (c)


def light_curve(points: int) -> list[float]:
    """Separations in stellar radii, u(t) / rho, for t in [-2, 2] days."""
    times = [-2.0 + 4.0 * k / (points - 1) for k in range(points)]
    return [math.hypot(U0, t / T_E) / RHO for t in times]


def linear_law(r):
    return 1.0 - LIMB_U * (1.0 - np.sqrt(1.0 - np.asarray(r) ** 2))


def gauss_legendre_rings(count: int) -> tuple[list[float], list[float]]:
    """Rings r_j = (x_j + 1)/2 on [0, 1] with weights I(r_j) 2 r_j (W_j / 2),
    normalised to sum 1: the flux-weighted mean of the ring kernel."""
    x, w = np.polynomial.legendre.leggauss(count)
    r = 0.5 * (x + 1.0)
    weights = linear_law(r) * 2.0 * r * (0.5 * w)
    return r.tolist(), (weights / weights.sum()).tolist()


def median_seconds(stmt, repeat: int, min_time: float, namespace=None) -> float:
    """Median over `repeat` runs of the time of one execution of `stmt`.

    The number of executions per run is grown in steps of 1, 2, 5, 10, ...
    until one run lasts at least `min_time` seconds (as timeit's autorange
    does, with a chosen threshold).  A warm-up execution comes first (first
    calls pay for caches and page faults); if it alone lasts `min_time`, one
    execution per run is taken without further calibration, which keeps the
    slow integrated forms affordable.
    """
    timer = timeit.Timer(stmt, globals=namespace)
    if timer.timeit(1) >= min_time:
        return statistics.median(timer.repeat(repeat=repeat, number=1))
    number = 1
    while True:
        for factor in (1, 2, 5):
            count = number * factor
            if timer.timeit(count) >= min_time:
                runs = timer.repeat(repeat=repeat, number=count)
                return statistics.median(runs) / count
        number *= 10


def markdown_table(header: list[str], rows: list[list[str]]) -> str:
    """A markdown table with right-aligned numeric columns."""
    widths = [max(len(str(cell)) for cell in column) for column in zip(header, *rows)]
    def line(cells):
        return "| " + " | ".join(
            str(c).ljust(w) if i == 0 else str(c).rjust(w) for i, (c, w) in enumerate(zip(cells, widths))
        ) + " |"
    rule = "|" + "|".join(":" + "-" * (w + 1) if i == 0 else "-" * (w + 1) + ":" for i, w in enumerate(widths)) + "|"
    return "\n".join([line(header), rule] + [line(row) for row in rows])


def per_separation(args) -> None:
    """(a) microseconds per separation for each function and input type."""
    l_list = light_curve(args.points)
    inputs = {"list": l_list, "tuple": tuple(l_list), "numpy": np.array(l_list, dtype=np.float64)}
    bl = [k / 10 for k in range(11)]
    bf = linear_law(bl).tolist()
    rings64, weights64 = gauss_legendre_rings(64)
    k = kelvora
    cases = [
        ("witt_mao_magnification", lambda l: k.witt_mao_magnification(l, 1.0, RHO)),
        ("integrated_witt_mao_magnification", lambda l: k.integrated_witt_mao_magnification(l, 1.0, RHO)),
        (
            "integrated_flux_map_witt_mao_magnification (11 samples)",
            lambda l: k.integrated_flux_map_witt_mao_magnification(l, 1.0, RHO, bl, bf),
        ),
        ("integrated_heyrovsky_magnification", lambda l: k.integrated_heyrovsky_magnification(l, 1.0, RHO)),
        (
            "integrated_flux_map_heyrovsky_magnification (11 samples)",
            lambda l: k.integrated_flux_map_heyrovsky_magnification(l, 1.0, RHO, bl, bf),
        ),
        (
            "discrete_flux_map_heyrovsky_magnification (11 rings)",
            lambda l: k.discrete_flux_map_heyrovsky_magnification(l, 1.0, RHO, bl, bf),
        ),
        (
            "discrete_flux_map_heyrovsky_magnification (64 GL rings)",
            lambda l: k.discrete_flux_map_heyrovsky_magnification(l, 1.0, RHO, rings64, weights64),
        ),
    ]
    rows = []
    for name, call in cases:
        cells = [f"`{name}`"]
        for sequence in inputs.values():
            seconds = median_seconds(lambda: call(sequence), args.repeat, args.min_time)
            cells.append(f"{seconds / args.points * 1e6:.3f}")
        rows.append(cells)
    ring = kelvora.heyrovsky_magnification
    seconds = median_seconds(lambda: [ring(x, RING, 1.0, RHO) for x in l_list], args.repeat, args.min_time)
    rows.append([f"`heyrovsky_magnification` (r = {RING}, one Python call each)", f"{seconds / args.points * 1e6:.3f}", "", ""])

    print(f"### (a) time per separation, {args.points}-point light curve (rho = {RHO}, u0 = {U0}, tE = {T_E} d)")
    print()
    print(markdown_table(["function", "list [us]", "tuple [us]", "numpy [us]"], rows))
    print()


def call_overhead(args) -> None:
    """(b) nanoseconds per call of the cheapest calls against math.hypot."""
    namespace = {
        "hypot": math.hypot,
        "ring": kelvora.heyrovsky_magnification,
        "disk": kelvora.witt_mao_magnification,
        "one": [1.0],
    }
    # Ten calls per statement, so that the timeit loop itself weighs little.
    def timed(stmt):
        return median_seconds("; ".join([stmt] * 10), args.repeat, args.min_time, namespace) / 10

    baseline = timed("hypot(2.0, 0.0)")
    rows = [["`math.hypot(2.0, 0.0)`", f"{baseline * 1e9:.1f}", "1.0"]]
    for label, stmt in [
        ("`heyrovsky_magnification(2.0, 0.0, 1.0, 1.0)`", "ring(2.0, 0.0, 1.0, 1.0)"),
        ("`witt_mao_magnification([1.0], 1.0, 1.0)`", "disk(one, 1.0, 1.0)"),
    ]:
        seconds = timed(stmt)
        rows.append([label, f"{seconds * 1e9:.1f}", f"{seconds / baseline:.1f}"])
    print("### (b) fixed cost of one call")
    print()
    print(markdown_table(["call", "ns / call", "ratio to hypot"], rows))
    print()


def conversion(args) -> None:
    """(c) nanoseconds per element of sequence reading and result building."""
    n = CONVERSION_LENGTH
    l_list = [1.0] * n
    inputs = {"list": l_list, "tuple": tuple(l_list), "numpy float64 array": np.array(l_list, dtype=np.float64)}
    baseline = median_seconds(lambda: list(array.array("d", l_list)), args.repeat, args.min_time)
    rows = [[f"`list(array.array('d', l))`, l a list", f"{baseline / n * 1e9:.2f}", "1.0"]]
    disk = kelvora.witt_mao_magnification
    for label, sequence in inputs.items():
        seconds = median_seconds(lambda: disk(sequence, 1.0, 1.0), args.repeat, args.min_time)
        rows.append([f"`witt_mao_magnification(l, 1.0, 1.0)`, l a {label}", f"{seconds / n * 1e9:.2f}", f"{seconds / baseline:.1f}"])
    print(f"### (c) cost per element, l = [1.0] * {n}")
    print()
    print(markdown_table(["call", "ns / element", "ratio to array round trip"], rows))
    print()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="250 points, 3 repeats, short loops (a smoke run)")
    parser.add_argument("--points", type=int, help="light-curve points (default 1000, 250 with --quick)")
    parser.add_argument("--repeat", type=int, help="timeit repeats, the median is reported (default 5, 3 with --quick)")
    args = parser.parse_args()
    args.points = args.points or (250 if args.quick else 1000)
    args.repeat = args.repeat or (3 if args.quick else 5)
    args.min_time = 0.03 if args.quick else 0.1

    print(
        f"kelvora, CPython {platform.python_version()} ({platform.machine()}), numpy {np.__version__};"
        f" median of {args.repeat} repeats{' (--quick)' if args.quick else ''}"
    )
    print()
    per_separation(args)
    call_overhead(args)
    conversion(args)


if __name__ == "__main__":
    main()
