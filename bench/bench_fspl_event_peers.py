"""MOA-2008-BLG-310 fitted by kelvora_fspl and by MulensModel side by side,
in one process, with the same optimizer and start.

    .venv-peers/bin/python bench/bench_fspl_event_peers.py   (./scripts/bench-peers runs it)

The data: the seven IPAC tables of examples/data/ (3,482 epochs), linear
limb darkening with u1 per band as in examples/fit_moa_2008_blg_310.py.
Both minimise chi2 over (t0, u0, tE, rho), each dataset's source and blend
flux solved linearly inside, with scipy.optimize.minimize (BFGS) from the
same nearby start and each library's analytic chi2 gradient:
kelvora_fspl.Event.chi2 / chi2_gradient, and MulensModel's Event.get_chi2 /
get_chi2_gradient with 'finite_source_LD_Yoo04' within t0 +- 0.3 d (outside
it the point source).  kelvora_fspl's own least-squares fit (Event.fit, from
the same start) is timed as well.  Medians of 3 runs; the chi2 of each
optimum, and each optimum's chi2 under kelvora_fspl's model.
"""

import pathlib
import statistics
import time

import numpy as np
from scipy.optimize import minimize

import kelvora_fspl

ROOT = pathlib.Path(__file__).resolve().parent.parent
DATA = ROOT / "examples" / "data" / "MOA-2008-BLG-310"
U1 = {"I": 0.55, "R": 0.63, "H": 0.36, "unfiltered": 0.60}
START = {"t0": 2454656.40, "u0": 0.0031, "tE": 10.5, "rho": 0.0052}
NAMES = ("t0", "u0", "tE", "rho")


def kelvora_problem():
    datasets = [kelvora_fspl.Dataset.from_file(p) for p in sorted(DATA.glob("*.tbl"))]
    event = kelvora_fspl.Event(datasets, "linear", {b: (u,) for b, u in U1.items()})

    def as_params(x):
        return dict(zip(NAMES, x))

    return event, (lambda x: event.chi2(as_params(x))), (lambda x: np.array(list(event.chi2_gradient(as_params(x)).values())))


def mulensmodel_problem(mm):
    datasets = []
    for path in sorted(DATA.glob("*.tbl")):
        d = kelvora_fspl.Dataset.from_file(path)
        datasets.append(mm.MulensData(data_list=[d.time, d.mag, d.mag_err], phot_fmt="mag", bandpass=d.band))
    model = mm.Model({"t_0": START["t0"], "u_0": START["u0"], "t_E": START["tE"], "rho": START["rho"]})
    model.set_magnification_methods([START["t0"] - 0.3, "finite_source_LD_Yoo04", START["t0"] + 0.3])
    for band, u1 in U1.items():
        model.set_limb_coeff_u(band, u1)
    event = mm.Event(datasets=datasets, model=model)
    keys = ("t_0", "u_0", "t_E", "rho")

    def chi2(x):
        for k, v in zip(keys, x):
            setattr(event.model.parameters, k, v)
        return event.get_chi2()

    def gradient(x):
        for k, v in zip(keys, x):
            setattr(event.model.parameters, k, v)
        return np.asarray(event.get_chi2_gradient(list(keys)), dtype=float)

    return chi2, gradient


def timed(run):
    times, result = [], None
    for _ in range(3):
        began = time.perf_counter()
        result = run()
        times.append(time.perf_counter() - began)
    return statistics.median(times), result


def bfgs(chi2, gradient):
    calls = {"chi2": 0, "gradient": 0}

    def f(x):
        calls["chi2"] += 1
        return chi2(x)

    def g(x):
        calls["gradient"] += 1
        return gradient(x)

    x0 = np.array([START[n] for n in NAMES])
    scale = np.array([1e-3, 1e-4, 0.1, 1e-4])  # BFGS in scaled variables
    result = minimize(lambda y: f(x0 + y * scale), np.zeros(4), jac=lambda y: g(x0 + y * scale) * scale,
                      method="BFGS", options={"gtol": 1e-3})
    return x0 + result.x * scale, result.fun, calls


def main():
    import MulensModel as mm

    event, k_chi2, k_gradient = kelvora_problem()
    m_chi2, m_gradient = mulensmodel_problem(mm)
    print(f"MulensModel {mm.__version__}; {sum(len(d) for d in event.datasets)} epochs in {len(event.datasets)} datasets")
    print(f"{'':40} {'time':>9} {'chi2':>10} {'calls':>14} {'chi2 in kelvora':>16}")
    for name, chi2, gradient in [("kelvora_fspl, BFGS", k_chi2, k_gradient), ("MulensModel, BFGS", m_chi2, m_gradient)]:
        elapsed, (x, value, calls) = timed(lambda: bfgs(chi2, gradient))
        print(f"{name:40} {elapsed:8.2f}s {value:10.2f} {calls['chi2']:5d} + {calls['gradient']:3d} grad "
              f"{k_chi2(x):16.2f}")
    elapsed, result = timed(lambda: event.fit(START))
    print(f"{'kelvora_fspl, Event.fit (least squares)':40} {elapsed:8.2f}s {result.chi2:10.2f} "
          f"{result.evaluations:6d} curves")


if __name__ == "__main__":
    main()
