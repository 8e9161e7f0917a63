"""The fixed cost of a kelvora_fspl call, two builds side by side in one
process, with a numpy ufunc's in the same run.

    .venv/bin/python bench/bench_fspl_call.py [OLD.so] NEW.so

Each build is loaded under its own file (`cmake --build <dir> --target
kelvora_fspl_ext` at two commits, or the installed kelvora_fspl/_core...so), so both are imported
at once and their calls alternate, which cancels most of the noise of a
shared machine.  The cases: two Python floats (uniform, linear, a 5-node
table), a 10-point array, and the gradient of two floats; the reference is
numpy.sqrt of a Python float.  Median of 9 runs, microseconds per call.
"""

import importlib.util
import statistics
import sys
import timeit

import numpy as np


def load(path):
    # The package's extension (kelvora_fspl/_core...so), or an older build's
    # top-level kelvora_fspl...so.
    stem = path.rsplit("/", 1)[-1].split(".", 1)[0]
    found = importlib.util.spec_from_file_location("kelvora_fspl._core" if stem == "_core" else stem, path)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def cases(m):
    table = ((0.0, 0.25, 0.5, 0.75, 1.0), (0.3, 0.6, 0.8, 0.9, 1.0))
    ten = np.linspace(0.0, 0.3, 10)
    return [
        ("two floats, uniform", lambda: m.magnification(0.5, 0.1)),
        ("two floats, linear", lambda: m.magnification(0.5, 0.1, "linear", (0.6,))),
        ("two floats, far field, linear", lambda: m.magnification(5.0, 0.1, "linear", (0.6,))),
        ("two floats, 5-node table", lambda: m.magnification(5.0, 0.1, "tabulated", table)),
        ("10 points, uniform", lambda: m.magnification(ten, 0.1)),
        ("gradient of two floats, linear", lambda: m.magnification_and_gradient(0.5, 0.1, "linear", (0.6,))),
    ]


def per_call(call, number=20000):
    return timeit.timeit(call, number=number) / number


def main(paths):
    builds = [load(p) for p in paths]
    names = [f"build {i + 1}" for i in range(len(builds))] if len(builds) > 1 else ["kelvora_fspl"]
    reference = [per_call(lambda: np.sqrt(0.5)) for _ in range(9)]
    print(f"numpy.sqrt(0.5): {statistics.median(reference) * 1e6:.3f} us per call")
    print(f"{'':34}" + "".join(f"{n:>12}" for n in names) + ("   ratio" if len(builds) == 2 else ""))
    all_cases = [cases(m) for m in builds]
    for i, (name, _) in enumerate(all_cases[0]):
        times = [[] for _ in builds]
        for _ in range(9):
            for k, build_cases in enumerate(all_cases):
                times[k].append(per_call(build_cases[i][1]))
        medians = [statistics.median(t) for t in times]
        line = f"{name:34}" + "".join(f"{t * 1e6:10.3f}us" for t in medians)
        if len(builds) == 2:
            line += f"   {medians[1] / medians[0]:.3f}"
        print(line)


if __name__ == "__main__":
    if not 2 <= len(sys.argv) <= 3:
        raise SystemExit(__doc__)
    main(sys.argv[1:])
