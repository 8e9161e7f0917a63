"""Fit the finite-source event MOA-2008-BLG-310 with no starting guess.
====================================================================

Usage:  python examples/fit_moa_2008_blg_310.py [--quick] [--figure PATH]

The photometry (seven datasets, 3,482 epochs; Janczak et al. 2010, ApJ 711,
731, from the NASA Exoplanet Archive) lies in examples/data/. The source is
a limb-darkened disk with the linear law, its coefficient per band held at
values typical of a bulge G dwarf (u1 = 0.55 in I, 0.63 in R, 0.36 in H,
0.60 unfiltered: assumptions of this example, not fitted).  kelvora_fspl's
Event solves each dataset's source and blend flux inside every evaluation;
``fit()`` with no start searches the data, then fits (t0, u0, tE, rho).

Prints the parameters with their errors, chi2 in all and per dataset, the
light curves computed and the time, then the point-source fit of the same
data for comparison; draws data, model and residuals per dataset (the figure
docs/moa_2008_blg_310.png).  --quick skips the figure.
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
DATA = HERE / "data" / "MOA-2008-BLG-310"
U1 = {"I": 0.55, "R": 0.63, "H": 0.36, "unfiltered": 0.60}


def load() -> list[kelvora_fspl.Dataset]:
    return [kelvora_fspl.Dataset.from_file(path) for path in sorted(DATA.glob("*.tbl"))]


def report(title: str, event: kelvora_fspl.Event, result: kelvora_fspl.FitResult, elapsed: float) -> None:
    print(f"{title}: chi2 = {result.chi2:.1f} for {result.dof} degrees of freedom, "
          f"{result.evaluations} light curves, {elapsed:.2f} s")
    for name, value in result.params.items():
        shown = f"{value - 2450000:.5f} (HJD - 2450000)" if name == "t0" else f"{value:.6g}"
        print(f"  {name:3} = {shown} +- {result.errors.get(name, 0.0):.2g}")
    for dataset, chi2, (fs, fb) in zip(event.datasets, result.chi2_per_dataset, result.fluxes):
        print(f"  {dataset.name or '':30} {dataset.band or '':>10} {len(dataset):5} epochs  chi2 {chi2:8.1f}  "
              f"fs {fs:9.4g}  fb {fb:9.4g}")


def figure(event: kelvora_fspl.Event, result: kelvora_fspl.FitResult, path: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    params = result.params
    fig, (top, bottom) = plt.subplots(2, 1, figsize=(8, 6), sharex=True, height_ratios=(3, 1))
    t0 = params["t0"]
    for dataset, (fs, fb), a in zip(event.datasets, result.fluxes, event.magnifications(params)):
        near = np.abs(dataset.time - t0) < 1.5
        if not near.any():
            continue
        # Each dataset on the magnification scale: (F - fb) / fs.
        top.errorbar(dataset.time[near] - t0, (dataset.flux[near] - fb) / fs, dataset.flux_err[near] / fs, fmt=".",
                     ms=3, lw=0.5, label=f"{(dataset.name or '').split('_')[0]} ({dataset.band})")
        bottom.errorbar(dataset.time[near] - t0, (dataset.flux[near] - fs * a[near] - fb) / fs,
                        dataset.flux_err[near] / fs, fmt=".", ms=3, lw=0.5)
    t = np.linspace(t0 - 1.5, t0 + 1.5, 3001)
    model = kelvora_fspl.light_curve(t, t0, params["u0"], params["tE"], params["rho"], "linear", (U1["I"],))
    point = kelvora_fspl.light_curve(t, t0, params["u0"], params["tE"], None)
    top.plot(t - t0, model, "k-", lw=1, label=f"finite source (rho = {params['rho']:.4f}), I")
    top.plot(t - t0, point, "k:", lw=1, label="point source, same u0 and tE")
    top.set_yscale("log")
    top.set_ylabel("magnification")
    top.set_title("MOA-2008-BLG-310 (Janczak et al. 2010), fitted with no start")
    top.legend(fontsize=7)
    bottom.axhline(0.0, color="k", lw=0.5)
    bottom.set_ylabel("residual")
    bottom.set_xlabel("t - t0 (days)")
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    print(f"figure: {path}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.partition("\n")[0])
    parser.add_argument("--quick", action="store_true", help="no figure")
    parser.add_argument("--figure", default=str(HERE.parent / "docs" / "moa_2008_blg_310.png"))
    args = parser.parse_args()
    datasets = load()
    event = kelvora_fspl.Event(datasets, "linear", {band: (u1,) for band, u1 in U1.items()})
    began = time.perf_counter()
    result = event.fit()
    report("finite source, no start", event, result, time.perf_counter() - began)
    began = time.perf_counter()
    point = event.fit(finite_source=False)
    report("point source, no start", event, point, time.perf_counter() - began)
    print(f"delta chi2 (point - finite source) = {point.chi2 - result.chi2:.1f}")
    if not args.quick:
        figure(event, result, args.figure)


if __name__ == "__main__":
    main()
