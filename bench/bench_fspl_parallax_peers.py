"""kelvora_fspl's annual parallax against MulensModel's, side by side.

Usage:  .venv-peers/bin/python bench/bench_fspl_parallax_peers.py
        (./scripts/bench-peers runs it where MulensModel and scipy are installed)

1. The trajectory: u(t) from kelvora_fspl.trajectory and from MulensModel's
   Model.get_trajectory for the same parameters and coordinates, at 100
   epochs over two years, for several parallax vectors and both signs of
   u0: the largest difference in u.
2. The event OGLE-2005-BLG-086 (examples/data/, OGLE-III I band): fitted by
   kelvora_fspl's Event.fit with and without parallax, and by MulensModel's
   chi2 (its Event with the same data, fluxes solved by it) minimised with
   scipy's Nelder-Mead from the same starts, in the same run; chi2,
   parameters and time of each.  MulensModel has no fitting of its own; the
   minimiser is the one its examples use.

This is a benchmark: nothing is asserted.
"""

import pathlib
import time

import numpy as np

import kelvora_fspl

ROOT = pathlib.Path(__file__).resolve().parents[1]
DATA = ROOT / "examples" / "data" / "OGLE-2005-BLG-086" / "starBLG234.6.I.218982.dat"
COORDINATES = "18:04:45.71 -26:59:15.2"
T0_PAR = 3628.0


def trajectories() -> None:
    import MulensModel as mm

    t = 2453628.0 + np.linspace(-365.0, 365.0, 100)
    worst = 0.0
    print("| pi_EN | pi_EE | u0 | largest |u_kelvora - u_MulensModel| |")
    print("|--:|--:|--:|--:|")
    for pi_n, pi_e, u0 in [(0.3, -0.1, 0.1), (-0.3, 0.11, -0.41), (0.8, 0.5, 0.02), (-0.6, -0.9, -0.2)]:
        model = mm.Model({"t_0": 2453630.7, "u_0": u0, "t_E": 110.0, "pi_E_N": pi_n, "pi_E_E": pi_e,
                          "t_0_par": 2453628.0}, coords=COORDINATES)
        theirs = model.get_trajectory(t)
        tau, beta = kelvora_fspl.trajectory(t, 2453630.7, u0, 110.0, pi_EN=pi_n, pi_EE=pi_e,
                                            coordinates=COORDINATES, t0_par=2453628.0)
        d = float(np.abs(np.hypot(tau, beta) - np.hypot(theirs.x, theirs.y)).max())
        worst = max(worst, d)
        print(f"| {pi_n} | {pi_e} | {u0} | {d:.1e} |")
    print(f"\nworst difference in u over 100 epochs of two years: {worst:.1e}\n")


def mulensmodel_fit(start: dict[str, float], parallax: bool) -> tuple[dict[str, float], float, float, int]:
    import MulensModel as mm
    from scipy.optimize import minimize

    data = mm.MulensData(file_name=str(DATA), add_2450000=True)
    names = ["t_0", "u_0", "t_E"] + (["pi_E_N", "pi_E_E"] if parallax else [])
    params = {"t_0": start["t0"] + 2450000.0, "u_0": start["u0"], "t_E": start["tE"]}
    if parallax:
        params.update(pi_E_N=start["pi_EN"], pi_E_E=start["pi_EE"], t_0_par=T0_PAR + 2450000.0)
    event = mm.Event(datasets=data, model=mm.Model(params, coords=COORDINATES if parallax else None))

    def chi2(x):
        for name, value in zip(names, x):
            setattr(event.model.parameters, name, value)
        if event.model.parameters.t_E <= 0:
            return 1e30
        return event.get_chi2()

    began = time.perf_counter()
    result = minimize(chi2, [params[n] for n in names], method="Nelder-Mead",
                      options={"xatol": 1e-7, "fatol": 1e-7, "maxiter": 20000, "maxfev": 40000})
    elapsed = time.perf_counter() - began
    found = dict(zip(names, result.x))
    return found, float(result.fun), elapsed, int(result.nfev)


def fits() -> None:
    dataset = kelvora_fspl.Dataset.from_file(DATA, band="I")
    straight = kelvora_fspl.Event(dataset)
    began = time.perf_counter()
    plain = straight.fit(finite_source=False)
    plain_time = time.perf_counter() - began
    event = kelvora_fspl.Event(dataset, coordinates=COORDINATES, t0_par=T0_PAR)
    began = time.perf_counter()
    results = [event.fit(dict(plain.params, u0=s * abs(plain.params["u0"]), pi_EN=0.0, pi_EE=0.0))
               for s in (1.0, -1.0)]
    best = min(results, key=lambda r: r.chi2)
    parallax_time = time.perf_counter() - began

    print("| code | model | chi2 | t0 - 2450000 | u0 | tE | pi_EN | pi_EE | s | chi2 evaluations |")
    print("|:--|:--|--:|--:|--:|--:|--:|--:|--:|--:|")

    def row(code, model, chi2, p, seconds, evaluations):
        pi = (f"{p['pi_EN']:.4f} | {p['pi_EE']:.4f}" if "pi_EN" in p else "- | -")
        print(f"| {code} | {model} | {chi2:.2f} | {p['t0']:.4f} | {p['u0']:.4f} | {p['tE']:.2f} | {pi} | "
              f"{seconds:.2f} | {evaluations} |")

    row("kelvora_fspl `Event.fit`", "straight line", plain.chi2, plain.params, plain_time, plain.evaluations)
    row("kelvora_fspl `Event.fit`", "parallax (both u0 signs)", best.chi2, best.params, parallax_time,
        sum(r.evaluations for r in results))
    found, chi2, seconds, evaluations = mulensmodel_fit(plain.params, parallax=False)
    row("MulensModel + Nelder-Mead", "straight line", chi2,
        {"t0": found["t_0"] - 2450000.0, "u0": found["u_0"], "tE": found["t_E"]}, seconds, evaluations)
    total, best_mm = 0.0, None
    count = 0
    for s in (1.0, -1.0):
        start = dict(plain.params, u0=s * abs(plain.params["u0"]), pi_EN=0.0, pi_EE=0.0)
        found, chi2, seconds, evaluations = mulensmodel_fit(start, parallax=True)
        total += seconds
        count += evaluations
        if best_mm is None or chi2 < best_mm[1]:
            best_mm = (found, chi2)
    found, chi2 = best_mm
    row("MulensModel + Nelder-Mead", "parallax (both u0 signs)", chi2,
        {"t0": found["t_0"] - 2450000.0, "u0": found["u_0"], "tE": found["t_E"], "pi_EN": found["pi_E_N"],
         "pi_EE": found["pi_E_E"]}, total, count)
    print(f"\nkelvora_fspl parallax errors: " + ", ".join(f"{k} +- {v:.2g}" for k, v in best.errors.items()))


def main() -> None:
    import importlib.metadata

    print(f"MulensModel {importlib.metadata.version('MulensModel')}, kelvora {kelvora_fspl.__version__}\n")
    trajectories()
    fits()


if __name__ == "__main__":
    main()
