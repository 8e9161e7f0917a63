"""Fit the long event OGLE-2005-BLG-086 with and without annual parallax.
======================================================================

Usage:  python examples/fit_ogle_2005_blg_086.py [--quick] [--figure PATH]

The photometry: OGLE-III, I band, 640 epochs from 2001 to 2009 (Wyrzykowski
et al. 2015, ApJS 216, 12), in examples/data/.  The event lasts months
(tE of about 110 days), and the Earth's motion around the Sun bends its
light curve away from the straight-line model (Gould 2004).  The source is
taken as a point (no finite-source signal: the lens never comes within
0.3 Einstein radii of it).

The straight-line fit starts from kelvora_fspl's search of the data; the
parallax fits start from it with pi_E = 0 and u0 of either sign (with
parallax the two sides of the source are no longer the same light curve),
and the better one is kept.  t0_par, the reference time of the parallax
offsets, is fixed at HJD' 3628.

Prints both fits (chi2, parameters with their errors) and draws the data
with both models and their residuals (docs/ogle_2005_blg_086.png).  --quick
skips the figure.  Needs scipy and pyerfa (pip install '.[examples]').
"""

import argparse
import pathlib
import time

import numpy as np

import kelvora_fspl

try:
    HERE = pathlib.Path(__file__).resolve().parent
except NameError:  # sphinx-gallery runs the example in its own directory, without __file__
    HERE = pathlib.Path.cwd()
DATA = HERE / "data" / "OGLE-2005-BLG-086" / "starBLG234.6.I.218982.dat"
COORDINATES = "18:04:45.71 -26:59:15.2"
T0_PAR = 3628.0  # HJD - 2450000


def report(title: str, result: kelvora_fspl.FitResult, elapsed: float) -> None:
    print(f"{title}: chi2 = {result.chi2:.2f} for {result.dof} degrees of freedom "
          f"({result.evaluations} light curves, {elapsed:.2f} s)")
    for name, value in result.params.items():
        error = result.errors.get(name, 0.0)
        shown = f"{value:.4f} (HJD - 2450000)" if name == "t0" else f"{value:.5g}"
        print(f"  {name:6} = {shown} +- {error:.2g}")
    fs, fb = result.fluxes[0]
    print(f"  source flux {fs:.4g}, blend flux {fb:.4g} (zero point 22)")


def figure(dataset: kelvora_fspl.Dataset, fits: dict[str, tuple[kelvora_fspl.Event, kelvora_fspl.FitResult]],
           path: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    t0 = fits["parallax"][1].params["t0"]
    window = np.abs(dataset.time - t0) < 400
    assert dataset.mag is not None and dataset.mag_err is not None  # read as magnitudes
    fig, axes = plt.subplots(3, 1, figsize=(8, 7), sharex=True, height_ratios=(3, 1, 1))
    axes[0].errorbar(dataset.time[window], dataset.mag[window], dataset.mag_err[window], fmt=".", ms=3,
                     color="0.4", elinewidth=0.6, label="OGLE-III I")
    dense = np.linspace(t0 - 400, t0 + 400, 3000)
    colours = {"straight line": "tab:blue", "parallax": "tab:red"}
    for k, (title, (event, result)) in enumerate(fits.items()):
        fs, fb = result.fluxes[0]
        p = result.params
        if "pi_EN" in p:
            model = kelvora_fspl.light_curve(dense, p["t0"], p["u0"], p["tE"], None, pi_EN=p["pi_EN"],
                                             pi_EE=p["pi_EE"], coordinates=COORDINATES, t0_par=T0_PAR)
        else:
            model = kelvora_fspl.light_curve(dense, p["t0"], p["u0"], p["tE"], None)
        at_data = event.magnifications(p)[0]
        axes[0].plot(dense, 22.0 - 2.5 * np.log10(fs * model + fb), color=colours[title],
                     label=f"{title}, chi2 = {result.chi2:.0f}")
        residual = dataset.mag - (22.0 - 2.5 * np.log10(fs * at_data + fb))
        axes[1 + k].errorbar(dataset.time[window], residual[window], dataset.mag_err[window], fmt=".", ms=3,
                             color=colours[title], elinewidth=0.6)
        axes[1 + k].axhline(0.0, color="0.3", lw=0.8)
        axes[1 + k].set_ylabel(f"{title}\nresidual")
        axes[1 + k].set_ylim(0.12, -0.12)
    axes[0].invert_yaxis()
    axes[0].set_ylabel("I (mag)")
    axes[0].legend(loc="upper left", fontsize=8)
    axes[0].set_title(f"OGLE-2005-BLG-086: pi_EN = {fits['parallax'][1].params['pi_EN']:.3f}, "
                      f"pi_EE = {fits['parallax'][1].params['pi_EE']:.3f}")
    axes[-1].set_xlabel("HJD - 2450000")
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    print(f"wrote {path}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.partition("\n")[0])
    parser.add_argument("--quick", action="store_true", help="skip the figure")
    parser.add_argument("--figure", default=str(HERE.parent / "docs" / "ogle_2005_blg_086.png"))
    args = parser.parse_args()

    dataset = kelvora_fspl.Dataset.from_file(DATA, band="I")
    print(f"{dataset!r}, HJD' {dataset.time.min():.0f} to {dataset.time.max():.0f}")

    straight = kelvora_fspl.Event(dataset)
    began = time.perf_counter()
    plain = straight.fit(finite_source=False)
    report("straight line", plain, time.perf_counter() - began)

    event = kelvora_fspl.Event(dataset, coordinates=COORDINATES, t0_par=T0_PAR)
    began = time.perf_counter()
    candidates = []
    for sign in (1.0, -1.0):
        start = dict(plain.params, u0=sign * abs(plain.params["u0"]), pi_EN=0.0, pi_EE=0.0)
        candidates.append(event.fit(start))
    best = min(candidates, key=lambda r: r.chi2)
    report(f"annual parallax (t0_par = {T0_PAR:g}, both signs of u0 tried: chi2 "
           f"{', '.join(f'{r.chi2:.2f}' for r in candidates)})", best, time.perf_counter() - began)
    print(f"parallax improves chi2 by {plain.chi2 - best.chi2:.1f} for two more parameters; "
          f"pi_E = {np.hypot(best.params['pi_EN'], best.params['pi_EE']):.3f}")
    if not args.quick:
        figure(dataset, {"straight line": (straight, plain), "parallax": (event, best)}, args.figure)


if __name__ == "__main__":
    main()
