"""Time per separation of each kelvora function on a 1000-point light curve.

Usage:  .venv/bin/python bench/bench_functions.py [--points N] [--repeat R]

The light curve is that of examples/demo.py (rho = 0.05, u0 = 0.02, two days
around the peak with tE = 20 d), given as a list of separations in stellar
radii.  Each function is called on the whole list (heyrovsky_magnification,
which takes one separation, once per separation in a Python loop); the
median over the repeats is reported as microseconds per separation.  Flux
maps use an 11-sample table; the discrete flux map also a 64-ring one.
This is a benchmark, not a test: nothing is asserted.
"""

import argparse
import math
import platform
import statistics
import time

import kelvora

RHO, U0, T_E = 0.05, 0.02, 20.0


def light_curve(points):
    times = [-2.0 + 4.0 * k / (points - 1) for k in range(points)]
    return [math.hypot(U0, t / T_E) / RHO for t in times]


def timed(call, repeat):
    samples = []
    for _ in range(repeat):
        start = time.perf_counter()
        call()
        samples.append(time.perf_counter() - start)
    return statistics.median(samples)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--points", type=int, default=1000)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    l = light_curve(args.points)
    bl = [k / 10 for k in range(11)]
    bf = [1.0 - 0.6 * (1.0 - math.sqrt(1.0 - r * r)) for r in bl]
    rings = [(j + 0.5) / 64 for j in range(64)]
    weights = [2.0 * r / 64 for r in rings]
    ring = kelvora.heyrovsky_magnification

    cases = [
        ("witt_mao_magnification", lambda: kelvora.witt_mao_magnification(l, 1.0, RHO)),
        ("integrated_witt_mao_magnification", lambda: kelvora.integrated_witt_mao_magnification(l, 1.0, RHO)),
        (
            "integrated_flux_map_witt_mao_magnification (11 samples)",
            lambda: kelvora.integrated_flux_map_witt_mao_magnification(l, 1.0, RHO, bl, bf),
        ),
        ("heyrovsky_magnification (one call each)", lambda: [ring(x, 0.6, 1.0, RHO) for x in l]),
        ("integrated_heyrovsky_magnification", lambda: kelvora.integrated_heyrovsky_magnification(l, 1.0, RHO)),
        (
            "integrated_flux_map_heyrovsky_magnification (11 samples)",
            lambda: kelvora.integrated_flux_map_heyrovsky_magnification(l, 1.0, RHO, bl, bf),
        ),
        (
            "discrete_flux_map_heyrovsky_magnification (11 rings)",
            lambda: kelvora.discrete_flux_map_heyrovsky_magnification(l, 1.0, RHO, bl, bf),
        ),
        (
            "discrete_flux_map_heyrovsky_magnification (64 rings)",
            lambda: kelvora.discrete_flux_map_heyrovsky_magnification(l, 1.0, RHO, rings, weights),
        ),
    ]
    print(f"kelvora, Python {platform.python_version()}, {platform.machine()}; "
          f"{args.points} separations, median of {args.repeat}")
    print(f"{'function':<58} {'us / separation':>16}")
    for name, call in cases:
        call()  # warm-up
        seconds = timed(call, args.repeat)
        print(f"{name:<58} {seconds / len(l) * 1e6:16.3f}")


if __name__ == "__main__":
    main()
