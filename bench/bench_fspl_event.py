"""The cost of fitting a real event with kelvora_fspl.Event, and the share of
it that is not the magnification.

    .venv/bin/python bench/bench_fspl_event.py

MOA-2008-BLG-310 (seven datasets, 3,482 epochs; examples/data/), linear limb
darkening per band as in examples/fit_moa_2008_blg_310.py.  Three fits:

* from a nearby start (the published solution rounded: t0 to 0.01 d, u0,
  tE and rho to about 10 %), the case a fit within an MCMC set-up or a
  refit meets;
* from no start (the grid search of the data, then the local fit);
* the point source from no start.

For each: the light curves computed (the whole event, with or without
partials), the wall time (median of 5), and the time of the same light
curves computed alone (one light_curve call over every epoch, with each
epoch's coefficients, as many times as the fit asked): the layer's own share
(flux solves, projections, the optimizer) is 1 - that / the fit's time.
"""

import pathlib
import statistics
import time

import numpy as np

import kelvora_fspl

ROOT = pathlib.Path(__file__).resolve().parent.parent
DATA = ROOT / "examples" / "data" / "MOA-2008-BLG-310"
U1 = {"I": 0.55, "R": 0.63, "H": 0.36, "unfiltered": 0.60}


class Counting(kelvora_fspl.Event):
    """An Event that records each light curve it computes (params, gradient)."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.calls = []

    def _whole(self, params, gradient):
        _, coefficients = self._stacked()
        self.calls.append((dict(params), gradient, self.law, coefficients))
        return super()._whole(params, gradient)


def replay(event, calls):
    """The same light curves, computed alone."""
    began = time.perf_counter()
    epochs = np.concatenate([d.time for d in event.datasets])
    for params, gradient, law, coefficients in calls:
        kelvora_fspl.light_curve(epochs, params["t0"], params["u0"], params["tE"], params.get("rho"), law,
                                 coefficients, gradient=gradient)
    return time.perf_counter() - began


def measure(name, event, fit):
    times, replays = [], []
    for _ in range(5):
        event.calls = []
        began = time.perf_counter()
        result = fit()
        times.append(time.perf_counter() - began)
        replays.append(replay(event, event.calls))
    elapsed, alone = statistics.median(times), statistics.median(replays)
    print(f"{name:34} {len(event.calls):6d} {elapsed * 1e3:9.1f} ms {alone * 1e3:9.1f} ms "
          f"{1 - alone / elapsed:8.0%}   chi2 {result.chi2:.1f}")
    return result


def main():
    datasets = [kelvora_fspl.Dataset.from_file(p) for p in sorted(DATA.glob("*.tbl"))]
    event = Counting(datasets, "linear", {band: (u1,) for band, u1 in U1.items()})
    print(f"{sum(len(d) for d in datasets)} epochs in {len(datasets)} datasets")
    print(f"{'fit':34} {'curves':>6} {'time':>12} {'curves alone':>12} {'layer':>8}")
    best = event.fit()
    near = {"t0": round(best.params["t0"], 2), "u0": 0.0031, "tE": 10.5, "rho": 0.0052}
    measure("from a nearby start", event, lambda: event.fit(near))
    measure("from no start (search, then fit)", event, lambda: event.fit())
    measure("point source, from no start", event, lambda: event.fit(finite_source=False))
    print("parameters:", {k: f"{v:.6g}" for k, v in best.params.items()})
    assert abs(event.fit(near).chi2 - best.chi2) < 0.1


if __name__ == "__main__":
    main()
