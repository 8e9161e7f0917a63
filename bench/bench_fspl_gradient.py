"""Cost of kelvora_fspl.magnification_and_gradient against magnification alone.

Usage:  .venv/bin/python bench/bench_fspl_gradient.py [--quick]

For every law, on the light curve of bench/bench_fspl_peers.py (rho = 0.05,
u0 = 0.02, tE = 20 d, 10,000 epochs over t0 +- 2 d, so u/rho from 0.4 to
2.04), on the same event's season (t0 +- 60 d, u/rho up to 60: most epochs
in the far field, most of the time near the peak) and on a far-field
stretch (u/rho from 8 to 64), the two calls are
timed alternately on the same array, one of each per repetition; the table
gives the median time per point of each and the median of the per-repetition
ratios gradient / magnification, with and without the coefficient
derivatives.  This is a benchmark, not a test: nothing is asserted.
"""

import argparse
import statistics
import time

import numpy as np

import kelvora_fspl

RHO = 0.05
LAWS = [
    ("uniform", ()),
    ("linear", (0.6,)),
    ("quadratic", (0.4, 0.25)),
    ("square-root", (0.3, 0.5)),
    ("power-2", (0.7, 0.6)),
    ("tabulated", ([0.0, 0.1, 0.3, 0.5, 0.7, 0.9, 1.0], [0.35, 0.5, 0.66, 0.78, 0.88, 0.96, 1.0])),
]


def light_curve(epochs: int, half_width: float = 2.0) -> np.ndarray:
    t = np.linspace(-half_width, half_width, epochs)
    return np.hypot(0.02, t / 20.0)


def timed(call) -> float:
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="1,000 epochs, 5 repetitions")
    args = parser.parse_args()
    epochs, repetitions = (1000, 5) if args.quick else (10_000, 15)
    curves = {
        "light curve": light_curve(epochs),
        "season": light_curve(epochs, 60.0),
        "far field": RHO * np.linspace(8.0, 64.0, epochs),
    }

    print(f"kelvora_fspl: magnification_and_gradient against magnification, rho = {RHO}, {epochs} points;"
          f" median of {repetitions} alternating repetitions")
    print()
    print("| law | points | magnification, us / point | gradient, us / point | ratio |"
          " with coefficients, us / point | ratio |")
    print("|:--|:--|--:|--:|--:|--:|--:|")
    for law, coefficients in LAWS:
        for where, u in curves.items():
            alone, grad, full, ratio, ratio_full = [], [], [], [], []
            for _ in range(repetitions):
                a = timed(lambda: kelvora_fspl.magnification(u, RHO, law, coefficients))
                g = timed(lambda: kelvora_fspl.magnification_and_gradient(u, RHO, law, coefficients))
                f = timed(lambda: kelvora_fspl.magnification_and_gradient(
                    u, RHO, law, coefficients, coefficients_gradient=True))
                alone.append(a)
                grad.append(g)
                full.append(f)
                ratio.append(g / a)
                ratio_full.append(f / a)
            per = 1e6 / len(u)
            print(f"| {law} | {where} | {statistics.median(alone) * per:.3f} | {statistics.median(grad) * per:.3f} |"
                  f" {statistics.median(ratio):.2f} | {statistics.median(full) * per:.3f} |"
                  f" {statistics.median(ratio_full):.2f} |")


if __name__ == "__main__":
    main()
