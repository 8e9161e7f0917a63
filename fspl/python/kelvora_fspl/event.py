"""A microlensing event: datasets, a limb-darkening law per band, and the fit
of (t0, u0, tE, rho) and the annual parallax (pi_EN, pi_EE) with exact
gradients.

Each dataset's model flux is F = fs A(t) + fb, the source flux fs and the
blend flux fb its own (fb held at 0 for the datasets in ``blend_fixed``).
They enter linearly, so for given (t0, u0, tE, rho) they are solved for, by
weighted linear least squares, inside every evaluation: the fit searches
the nonlinear parameters only (variable projection; Golub & Pereyra 1973).

* ``chi2`` is the sum over datasets of sum((F - f)^2 / sigma^2) at the
  best fs, fb.  Its gradient is exact: at those fs, fb the derivatives of
  chi2 in them vanish, so d chi2/d theta = -2 sum r fs dA/dtheta / sigma
  (the envelope theorem), with dA/dtheta from ``light_curve``.
* ``residuals`` are the weighted residuals at the best fluxes, (I - P) y,
  P the projection on the columns (A, 1)/sigma (solved in closed form, the
  weighted means taken out); ``jacobian`` is Kaufman's
  (1975) form of their derivative, -(I - P) fs (dA/dtheta)/sigma, which
  least-squares drivers converge with as with the exact one.
* ``fit`` runs scipy's least_squares on t0, u0, ln tE and ln rho (so that
  no step reaches tE <= 0 or rho <= 0), from a given start or, with
  start=None, from a search of the data (``Event.search``).

Without "rho" among the parameters the source is a point, A = A0(u).  With
the event's coordinates, pi_EN and pi_EE may be among them (annual
parallax, kelvora_fspl.parallax); the Earth's offsets are computed once per
t0_par, which stays fixed during a fit.
An epoch exactly on the limb (u = rho), where dA/du is infinite, takes its
partials at rho (1 + 2^-40), 1e-12 off the limb: finite, and a fit steps on.
"""

import dataclasses
import math
from collections.abc import Mapping, Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from kelvora_fspl._core import DEFAULT_TOLERANCE, magnification
from kelvora_fspl.data import Dataset
from kelvora_fspl.lightcurve import light_curve
from kelvora_fspl.parallax import annual_offsets, sky_position

__all__ = ["Event", "FitResult"]

NONLINEAR = ("t0", "u0", "tE", "rho", "pi_EN", "pi_EE")


@dataclasses.dataclass
class FitResult:
    """What ``Event.fit`` found.

    ``params`` and ``errors`` (dicts; the errors from the covariance of the
    fit, the inverse of J^T J, for the parameters fitted), ``covariance`` (an
    array in the order of ``fitted``), ``chi2`` (the total) and
    ``chi2_per_dataset``, ``fluxes`` ((fs, fb) per dataset), ``evaluations``
    (the event's light curves computed, with or without partials, the
    search's included), ``success`` and ``message`` (scipy's), ``dof``, and
    ``t0_par`` (the parallax's reference time, None without coordinates).
    """

    params: dict[str, float]
    errors: dict[str, float]
    covariance: npt.NDArray[np.float64]
    fitted: list[str]
    chi2: float
    chi2_per_dataset: list[float]
    fluxes: list[tuple[float, float]]
    evaluations: int
    success: bool
    message: str
    dof: int
    t0_par: float | None = None

    def __repr__(self) -> str:
        shown = ", ".join(f"{k}={v:.6g}±{self.errors.get(k, 0.0):.2g}" for k, v in self.params.items())
        return f"<FitResult chi2={self.chi2:.3f} dof={self.dof}: {shown}>"


class Event:
    """Datasets of one event and the model that fits them.

    Parameters
    ----------
    datasets : Dataset or sequence of Dataset
    law : str
        The limb-darkening law, as for ``magnification``.
    coefficients : sequence, dict or None
        The law's coefficients: one sequence for every band, or a dict from
        band names to sequences (a dataset's band selects its own; None for
        a dataset without a band).
    blend_fixed : sequence of int
        Datasets (by index) whose blend flux is held at 0.
    tolerance : float
        Relative accuracy of the magnifications (1e-9, the default, up to
        below 1), as for ``magnification``: a looser one makes every
        evaluation faster.
    coordinates : str, (ra, dec) or SkyCoord
        The event's position on the sky, for annual parallax
        (:func:`kelvora_fspl.parallax.sky_position`).
    t0_par : float
        The parallax's reference time, in the unit of the datasets' times;
        by default the t0 of the parameters (the start's, in a fit) rounded
        to a day.
    """

    def __init__(self, datasets: Dataset | Sequence[Dataset], law: str = "uniform",
                 coefficients: Sequence[Any] | Mapping[str | None, Sequence[Any]] = (), *,
                 blend_fixed: Sequence[int] = (), tolerance: float = DEFAULT_TOLERANCE, coordinates: Any = None,
                 t0_par: float | None = None) -> None:
        if isinstance(datasets, Dataset):
            datasets = [datasets]
        self.datasets = list(datasets)
        if not self.datasets or not all(isinstance(d, Dataset) for d in self.datasets):
            raise TypeError("datasets must be a Dataset or a non-empty sequence of Dataset")
        self.law = law
        self.coefficients = coefficients
        magnification(1.0, 0.1, tolerance=tolerance)  # checks it
        self.tolerance = tolerance
        self.coordinates = coordinates
        if coordinates is not None:
            sky_position(coordinates)  # checks them
        if t0_par is not None and not math.isfinite(t0_par):
            raise ValueError(f"t0_par must be finite, got {t0_par!r}")
        self.t0_par = t0_par
        self._offsets: dict[float, tuple[Any, Any]] = {}
        self.blend_fixed = frozenset(int(i) for i in blend_fixed)
        if any(not 0 <= i < len(self.datasets) for i in self.blend_fixed):
            raise ValueError(f"blend_fixed holds an index beyond the {len(self.datasets)} datasets")
        self._per_dataset = [self._coefficients_of(d) for d in self.datasets]
        self._time = np.concatenate([d.time for d in self.datasets])
        self._flux = np.concatenate([d.flux for d in self.datasets])
        self._sigma = np.concatenate([d.flux_err for d in self.datasets])
        self._w = 1.0 / self._sigma**2
        self._sizes = np.array([len(d) for d in self.datasets])
        self._bounds = np.cumsum([0, *self._sizes.tolist()]).tolist()
        self._starts = np.array(self._bounds[:-1])
        self._weight_sums = self._sums(self._w)
        self._blend_free = np.array([i not in self.blend_fixed for i in range(len(self.datasets))])
        self._stack_key: Any = None
        self._stack: Any = None
        self.evaluations = 0

    def _coefficients_of(self, dataset: Dataset) -> Any:
        if isinstance(self.coefficients, dict):
            if dataset.band not in self.coefficients:
                raise ValueError(f"no coefficients for band {dataset.band!r} (of {dataset!r})")
            return self.coefficients[dataset.band]
        return self.coefficients

    # -- the model ---------------------------------------------------------------------------

    def _check(self, params: Mapping[str, float]) -> None:
        missing = [k for k in ("t0", "u0", "tE") if k not in params]
        if missing:
            raise ValueError(f"params needs {', '.join(missing)}")
        unknown = [k for k in params if k not in NONLINEAR]
        if unknown:
            raise ValueError(f"unknown parameter {unknown[0]!r}; the parameters are t0, u0, tE, rho, pi_EN and pi_EE")
        if self.coordinates is None and ("pi_EN" in params or "pi_EE" in params):
            raise ValueError("pi_EN and pi_EE need the event's coordinates: Event(..., coordinates=...)")

    def _parallax(self, params: Mapping[str, float]) -> tuple[Any, Any] | None:
        """The Earth's offsets (north, east) at every epoch, stacked, for the
        t0_par of these parameters; None without coordinates."""
        if self.coordinates is None:
            return None
        t0_par = float(self.t0_par) if self.t0_par is not None else float(round(float(params["t0"])))
        if t0_par not in self._offsets:
            self._offsets[t0_par] = annual_offsets(self._time, self.coordinates, t0_par)
        return self._offsets[t0_par]

    def _stacked(self) -> tuple[Any, Any]:
        """All epochs in one array, and the coefficients for one call over
        them: the same sequence where every dataset has the same ones, else
        one array per coefficient with each epoch's (coefficients per entry),
        or None for tables (one call per dataset then)."""
        key = (self.law, tuple(map(repr, self._per_dataset)))
        if self._stack_key != key:
            if all(repr(c) == repr(self._per_dataset[0]) for c in self._per_dataset):
                coefficients: Any = self._per_dataset[0]
            elif self.law == "tabulated":
                coefficients = None
            else:
                sizes = [len(d) for d in self.datasets]
                coefficients = tuple(np.repeat([float(c[k]) for c in self._per_dataset], sizes)
                                     for k in range(len(self._per_dataset[0])))
            self._stack_key, self._stack = key, coefficients
        return self._time, self._stack

    def _whole(self, params: Mapping[str, float], gradient: bool) -> Any:
        """A over every epoch (datasets one after the other), with the
        partials' dict for gradient=True."""
        self._check(params)
        self.evaluations += 1
        time, coefficients = self._stacked()
        offsets = self._parallax(params)
        if coefficients is not None:
            return self._curve(time, params, coefficients, gradient, offsets)
        pieces = [self._curve(d.time, params, c, gradient,
                              None if offsets is None else (offsets[0][i:j], offsets[1][i:j]))
                  for d, c, i, j in zip(self.datasets, self._per_dataset, self._bounds[:-1], self._bounds[1:])]
        if not gradient:
            return np.concatenate(pieces)
        return (np.concatenate([a for a, _ in pieces]),
                {name: np.concatenate([p[name] for _, p in pieces]) for name in pieces[0][1]})

    def magnifications(self, params: Mapping[str, float], gradient: bool = False) -> list[Any]:
        """A(t) of each dataset (with the partials' dicts for gradient=True),
        from one light curve over every epoch where the law allows."""
        whole = self._whole(params, gradient)
        cuts = list(zip(self._bounds[:-1], self._bounds[1:]))
        if not gradient:
            return [whole[i:j] for i, j in cuts]
        a, partials = whole
        return [(a[i:j], {name: p[i:j] for name, p in partials.items()}) for i, j in cuts]

    def _curve(self, time: Any, params: Mapping[str, float], coefficients: Any, gradient: bool,
               offsets: tuple[Any, Any] | None) -> Any:
        rho = params.get("rho")
        parallax: dict[str, Any] = {}
        if offsets is not None:
            parallax = {"pi_EN": params.get("pi_EN", 0.0), "pi_EE": params.get("pi_EE", 0.0), "sky_offsets": offsets}
        result = light_curve(time, params["t0"], params["u0"], params["tE"], rho, self.law, coefficients,
                             gradient=gradient, tolerance=self.tolerance, **parallax)
        if not gradient:
            return np.asarray(result, dtype=float)
        a, partials = result
        partials = {name: np.asarray(p, dtype=float) for name, p in partials.items() if name in NONLINEAR}
        if rho is not None:
            bad = ~(np.isfinite(partials["u0"]) & np.isfinite(partials["rho"]))
            if bad.any():
                # Epochs on the limb: partials 1e-12 inside it.
                inside = coefficients
                if isinstance(coefficients, tuple) and any(np.ndim(c) for c in coefficients):
                    inside = tuple(np.asarray(c)[bad] if np.ndim(c) else c for c in coefficients)
                if offsets is not None:
                    parallax["sky_offsets"] = (offsets[0][bad], offsets[1][bad])
                _, near = light_curve(time[bad], params["t0"], params["u0"], params["tE"], rho * (1 + 2.0**-40),
                                      self.law, inside, gradient=True, tolerance=self.tolerance, **parallax)
                for name in partials:
                    partials[name] = partials[name].copy()
                    partials[name][bad] = near[name]
        return np.asarray(a, dtype=float), partials

    def _sums(self, x: Any) -> Any:
        """The sum of x over each dataset's epochs (along the first axis)."""
        return np.add.reduceat(x, self._starts, axis=0)

    def _each(self, x: Any) -> Any:
        """Per-dataset values repeated over their epochs."""
        return np.repeat(x, self._sizes, axis=0)

    def _regress(self, a: npt.NDArray[np.float64], y: Any) -> tuple[Any, Any]:
        """The weighted linear fit y ~ fs a + fb of each dataset (fb = 0 where
        held), for each column of y, over the stacked epochs: (fs, fb) per
        dataset.  The weighted means are taken out first, so that an A nearly
        constant over a dataset loses no digits to cancellation; where A is
        constant (a step far off the event) fs is 0 and fb the mean."""
        w = self._w if y.ndim == 1 else self._w[:, None]
        column = a if y.ndim == 1 else a[:, None]
        total = self._weight_sums if y.ndim == 1 else self._weight_sums[:, None]
        a_mean = self._sums(w * column) / total
        y_mean = self._sums(w * y) / total
        da = column - self._each(a_mean)
        spread = self._sums(w * da * da)
        with np.errstate(divide="ignore", invalid="ignore"):
            fs_free = np.where(spread > 0, self._sums(w * da * y) / spread, 0.0)
            fs_fixed = self._sums(w * column * y) / self._sums(w * column * column)
        free = self._blend_free if y.ndim == 1 else self._blend_free[:, None]
        fs = np.where(free, fs_free, fs_fixed)
        fb = np.where(free, y_mean - fs_free * a_mean, 0.0)
        fb = np.where(free & ~(spread > 0), y_mean, fb)
        return fs, fb

    def _solve(self, a: npt.NDArray[np.float64]) -> tuple[Any, Any, Any]:
        """(fs, fb) per dataset and the weighted residuals at them."""
        fs, fb = self._regress(a, self._flux)
        return fs, fb, (self._flux - self._each(fs) * a - self._each(fb)) / self._sigma

    def fluxes(self, params: Mapping[str, float]) -> list[tuple[float, float]]:
        """(fs, fb) of each dataset at the best fit of its fluxes."""
        fs, fb, _ = self._solve(self._whole(params, False))
        return [(float(s), float(b)) for s, b in zip(fs, fb)]

    def chi2_per_dataset(self, params: Mapping[str, float]) -> list[float]:
        """The chi2 of each dataset at its best source and blend fluxes."""
        residual = self._solve(self._whole(params, False))[2]
        return [float(c) for c in self._sums(residual * residual)]

    def chi2(self, params: Mapping[str, float]) -> float:
        """The total chi2 at the best source and blend fluxes."""
        residual = self._solve(self._whole(params, False))[2]
        return float(residual @ residual)

    def chi2_gradient(self, params: Mapping[str, float]) -> dict[str, float]:
        """d chi2 / d parameter, exact, for every parameter given (a dict)."""
        names = [k for k in NONLINEAR if k in params]
        a, partials = self._whole(params, True)
        fs, _, residual = self._solve(a)
        weight = -2.0 * self._each(fs) * residual / self._sigma
        return {name: float(weight @ partials[name]) for name in names}

    def residuals(self, params: Mapping[str, float]) -> npt.NDArray[np.float64]:
        """The weighted residuals of every dataset at its best fluxes, stacked."""
        return np.asarray(self._solve(self._whole(params, False))[2], dtype=np.float64)

    def jacobian(self, params: Mapping[str, float], names: Sequence[str] | None = None) -> npt.NDArray[np.float64]:
        """d residuals / d parameter (Kaufman's variable projection), columns in
        the order of ``names`` (default: the parameters given, in the order t0,
        u0, tE, rho)."""
        names = [k for k in NONLINEAR if k in params] if names is None else list(names)
        a, partials = self._whole(params, True)
        fs, _, _ = self._solve(a)
        # fs dA/dtheta, less its projection on each dataset's flux columns (A, 1).
        columns = self._each(fs)[:, None] * np.column_stack([partials[n] for n in names])
        slope, offset = self._regress(a, columns)
        return np.asarray((a[:, None] * self._each(slope) + self._each(offset) - columns) / self._sigma[:, None],
                          dtype=np.float64)

    # -- fitting ---------------------------------------------------------------------------

    def search(self, finite_source: bool = True) -> dict[str, float]:
        """A start from the data alone: t0 from the brightest epochs, then the
        best chi2 over a grid of u0 (1e-3 to 1.5), tE (1 to 300 d) and rho
        (1e-3 to 0.3, uniform disks: the search asks for the scale of the
        finite-source effect, not its limb), with three values of t0 about
        the first guess.  It can miss an event whose peak is not sampled
        (t0 then lies between the brightest epochs of no dataset) or whose
        tE lies outside the grid."""
        t0 = self._brightest_time()
        span = np.ptp(np.concatenate([d.time for d in self.datasets]))
        best: tuple[float, dict[str, float]] | None = None
        rhos: Any = np.geomspace(1e-3, 0.3, 7) if finite_source else [None]
        saved = self.law, self._per_dataset
        self.law, self._per_dataset = "uniform", [()] * len(self.datasets)
        try:
            for te in np.geomspace(1.0, 300.0, 9):
                for shift in (-0.05, 0.0, 0.05):
                    t = t0 + shift * min(te, span)
                    for u0 in np.geomspace(1e-3, 1.5, 10):
                        for rho in rhos:
                            params = {"t0": t, "u0": u0, "tE": te}
                            if rho is not None:
                                params["rho"] = rho
                            value = self.chi2(params)
                            if best is None or value < best[0]:
                                best = (value, params)
        finally:
            self.law, self._per_dataset = saved
        if best is None:
            raise ValueError("the search evaluated nothing")
        return best[1]

    def _brightest_time(self) -> float:
        best_time: float | None = None
        best_score = -math.inf
        for d in self.datasets:
            score = (d.flux - np.median(d.flux)) / d.flux_err
            top = np.argsort(score)[-3:]
            if score[top[-1]] > best_score:
                weights = np.clip(score[top], 1e-12, None)
                best_time, best_score = float(np.average(d.time[top], weights=weights)), float(score[top[-1]])
        if best_time is None:
            raise ValueError("no epoch brighter than its dataset's median: no peak to start from")
        return best_time

    def fit(self, start: Mapping[str, float] | None = None, *, fixed: Mapping[str, float] | None = None,
            finite_source: bool = True, **options: Any) -> FitResult:
        """Fit the event; returns a FitResult.

        start: a dict of t0, u0, tE (and rho, pi_EN, pi_EE); None searches the data first
        (``search``) and fits from the best point of its grid.  fixed: a dict
        of parameters held at their values.  finite_source=False (or a start
        without rho) fits a point source.  options go to
        scipy.optimize.least_squares."""
        try:
            from scipy.optimize import least_squares  # type: ignore[import-untyped]
        except ImportError as exc:
            raise ImportError("Event.fit needs scipy: pip install 'kelvora[fit]' (or scipy)") from exc

        fixed = dict(fixed or {})
        before = self.evaluations
        if start is None:
            start = self.search(finite_source=finite_source and "rho" not in fixed)
        start = dict(start, **fixed)
        if not finite_source:
            start.pop("rho", None)
        self._check(start)
        # t0_par stays where the start puts it for the whole fit.
        saved_t0_par = self.t0_par
        if self.coordinates is not None and self.t0_par is None:
            self.t0_par = float(round(float(start["t0"])))
        try:
            return self._fit(start, fixed, before, least_squares, options)
        finally:
            self.t0_par = saved_t0_par

    def _fit(self, start: dict[str, float], fixed: dict[str, float], before: int, least_squares: Any,
             options: dict[str, Any]) -> FitResult:
        free = [k for k in NONLINEAR if k in start and k not in fixed]
        logs = {"tE", "rho"}

        def unpack(x: Any) -> dict[str, float]:
            params = dict(start)
            for name, value in zip(free, x):
                # A wild step is kept finite (and positive, in the logs).
                params[name] = math.exp(min(max(value, -700.0), 700.0)) if name in logs else value
            return params

        def fun(x: Any) -> Any:
            return self.residuals(unpack(x))

        def jac(x: Any) -> Any:
            params = unpack(x)
            j = self.jacobian(params, free)
            for k, name in enumerate(free):
                if name in logs:
                    j[:, k] *= params[name]  # d/d ln p = p d/dp
            return j

        x0 = np.array([math.log(start[n]) if n in logs else start[n] for n in free], dtype=float)
        options.setdefault("method", "trf")
        options.setdefault("x_scale", "jac")
        for tolerance in ("ftol", "xtol", "gtol"):
            options.setdefault(tolerance, 1e-10)
        solution = least_squares(fun, x0, jac=jac, **options)
        params = unpack(solution.x)
        j = jac(solution.x)
        try:
            covariance_x = np.linalg.inv(j.T @ j)
        except np.linalg.LinAlgError:
            covariance_x = np.full((len(free), len(free)), np.nan)
        scale = np.array([params[n] if n in logs else 1.0 for n in free])
        covariance = covariance_x * np.outer(scale, scale)
        errors = {n: float(math.sqrt(covariance[k, k])) if covariance[k, k] >= 0 else math.nan
                  for k, n in enumerate(free)}
        per_dataset = self.chi2_per_dataset(params)
        n_data = sum(len(d) for d in self.datasets)
        n_fluxes = sum(1 if i in self.blend_fixed else 2 for i in range(len(self.datasets)))
        return FitResult(params=params, errors=errors, covariance=covariance, fitted=free, chi2=float(sum(per_dataset)),
                         chi2_per_dataset=per_dataset, fluxes=self.fluxes(params), evaluations=self.evaluations - before,
                         success=bool(solution.success), message=solution.message,
                         dof=n_data - len(free) - n_fluxes, t0_par=self.t0_par)
