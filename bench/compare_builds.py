"""Two builds of kelvora side by side in one process: the same calls, the
same results asserted, the time of each, median of 7 alternating runs.

    .venv/bin/python bench/compare_builds.py OLD.so NEW.so

OLD.so and NEW.so are two builds of the extension (for example
`cmake --build <dir> --target kelvora` at two commits).  Each is loaded under
its own file, so both are imported at once; alternating them in one process
cancels most of the noise of a shared machine.  The cases: the light curve
of examples/demo.py (rho = 0.05, u0 = 0.02, tE = 20 d, two days either side
of the peak, 1000 points) through witt_mao_magnification (per separation),
the discrete flux map over the 11-sample linear limb-darkening table (per
ring), integrated_heyrovsky_magnification on every 50th point (per
separation), and the fixed cost of one heyrovsky_magnification call.
"""

import importlib.util
import math
import statistics
import sys
import timeit


def load(path):
    found = importlib.util.spec_from_file_location("kelvora", path)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def main(old_path, new_path):
    old, new = load(old_path), load(new_path)
    rho, u0, t_e = 0.05, 0.02, 20.0
    l = [math.hypot(u0, (-2 + 4 * i / 999) / t_e) / rho for i in range(1000)]
    bl = [0.1 * i for i in range(11)]
    bf = [1 - 0.6 * (1 - math.sqrt(max(0.0, 1 - r * r))) for r in bl]
    cases = [
        ("witt_mao_magnification, per separation", lambda m: m.witt_mao_magnification(l, 1.0, rho), len(l), 20),
        ("discrete flux map, per ring",
         lambda m: m.discrete_flux_map_heyrovsky_magnification(l, 1.0, rho, bl, bf), len(l) * len(bl), 5),
        ("integrated_heyrovsky, per separation",
         lambda m: m.integrated_heyrovsky_magnification(l[::50], 1.0, rho), len(l[::50]), 1),
        ("heyrovsky_magnification, per call", lambda m: m.heyrovsky_magnification(2.0, 0.0, 1.0, 1.0), 1, 100000),
    ]
    print(f"{'':40} {'old':>12} {'new':>12}  ratio")
    for name, call, per, number in cases:
        if call(old) != call(new):
            raise SystemExit(f"{name}: the two builds give different results")
        old_times, new_times = [], []
        for _ in range(7):
            old_times.append(timeit.timeit(lambda: call(old), number=number) / number / per)
            new_times.append(timeit.timeit(lambda: call(new), number=number) / number / per)
        o, n = statistics.median(old_times), statistics.median(new_times)
        print(f"{name:40} {o * 1e9:10.1f}ns {n * 1e9:10.1f}ns  {n / o:.3f}")


if __name__ == "__main__":
    if len(sys.argv) != 3:
        raise SystemExit(__doc__)
    main(sys.argv[1], sys.argv[2])
