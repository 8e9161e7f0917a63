"""Fit a finite-source point-lens event twice: with the analytic Jacobian and with finite differences.
===================================================================================================

A synthetic event: a point lens crosses a limb-darkened source star of
radius rho = 0.02 Einstein radii, 0.01 Einstein radii from its centre.  The
lens-source separation for rectilinear relative motion is

    u(t) = sqrt(u0^2 + tau^2),   tau = (t - t0) / tE,

the magnification A(u, rho) is the flux-weighted mean of the point-lens
magnification (Paczynski 1986) over the source (Witt & Mao 1994 for a
uniform disk; here a linear, I = 1 - u1 (1 - mu), or quadratic law), and the
observed flux is

    F(t) = fs A(u(t), rho) + fb,

fs the source flux and fb the blended flux.  The data are F(t) with Gaussian
errors of 0.5 per cent, drawn from a seeded generator, on a dense cadence
over the source crossing and a sparse one on the baseline.

All six parameters p = (t0, u0, tE, rho, fs, fb) are fitted with
scipy.optimize.least_squares (trust-region reflective), twice from the same
start:

(a) with the analytic Jacobian.  kelvora_fspl.light_curve(..., gradient=True)
    gives A and its partials in one call, by the chain rule through u:

        dF/dt0  = fs dA/du du/dt0,  du/dt0 = -tau / (tE u)
        dF/du0  = fs dA/du du/du0,  du/du0 = u0 / u
        dF/dtE  = fs dA/du du/dtE,  du/dtE = -tau^2 / (tE u)
        dF/drho = fs dA/drho,       dF/dfs = A,   dF/dfb = 1.

    u(t) = ``|(u0, tau)|`` and A is a smooth, even function of u with
    dA/du = 0 at u = 0, so at u = 0 (the lens over the source centre,
    u0 = 0 and t = t0) every u-derivative is 0: the factors tau/u and u0/u,
    bounded by 1, are taken as 0 there instead of 0/0.  The sign of u0 does
    not change u, so u0 is left free and its magnitude reported.
(b) with scipy's forward ('2-point', the default) or central ('3-point')
    differences, one extra light curve per parameter (two for '3-point')
    for each Jacobian.

Both stop on tight tolerances (xtol = ftol = 1e-12, gtol = 1e-10), so that
where they stop is the optimum to far better than its uncertainty.

Every call of kelvora over the light curve is counted, light_curve for the
residuals ("magnification") and with gradient=True for the analytic
Jacobian ("magnification_and_gradient") alike, with the number of points
they evaluate.  (kelvora_fspl.Event does all of this, with the fluxes fs and
fb solved linearly inside: see examples/fit_moa_2008_blg_310.py.)  Lines of the form

    evaluations analytic: N
    evaluations finite-difference: M
    points analytic: ...
    points finite-difference: ...

give the counts.  The uncertainties are those of the linearised problem,
cov = (J^T J)^-1 with J the analytic Jacobian of the error-weighted
residuals at (a)'s optimum; the errors are known, so the covariance is not
rescaled by chi^2/dof.  The two optima are compared parameter by parameter
in units of these uncertainties.

Usage:  python examples/fit_event.py [--quick] [--seed N] [--law linear|quadratic]
                                     [--finite-difference 2-point|3-point]

--quick uses fewer data points (well under a second).  The exit status is
1 if a fit fails to converge, if the two optima differ by more than
AGREEMENT = 1e-2 sigma in any parameter (or their chi^2 by more than
CHI2_AGREEMENT = 1e-4, the change of chi^2 for such a step), or if the
analytic Jacobian did not need fewer model evaluations.

The optima differ by 1e-6 to 1e-4 sigma with forward differences and by up
to 6e-4 sigma with central ones.  Central differences take the larger step,
eps^(1/3) rather than eps^(1/2) (times ``max(1, |p|)``), and dA/du and dA/drho
diverge like ln|u - rho| where the lens crosses the limb: for points within
1e-4 Einstein radii of the limb their error in dA/drho is 1e-4 relative,
against 2e-5 for forward differences (and 1e-11 against 1e-8 far from it).

The same fit serves examples/fit_survey.py, which imports fit_random_event
from here.
"""

import argparse
import sys
import time
from dataclasses import dataclass

import numpy as np
from numpy.typing import NDArray
from scipy.optimize import least_squares  # type: ignore[import-untyped]

import kelvora_fspl

Array = NDArray[np.float64]

LAWS = {"linear": (0.6,), "quadratic": (0.4, 0.25)}  # I = 1 - u1 (1 - mu) [- u2 (1 - mu)^2]
NAMES = ["t0 [d]", "u0", "tE [d]", "rho", "fs", "fb"]
TRUTH = np.array([0.0, 0.01, 25.0, 0.02, 1.0, 0.25])  # t0, u0, tE, rho, fs, fb
ERROR = 0.005  # fractional flux error
AGREEMENT = 1e-2  # largest accepted |analytic - finite-difference| / sigma
CHI2_AGREEMENT = 1e-4  # largest accepted |chi2 analytic - chi2 finite-difference|
# tE and rho stay positive (kelvora rejects rho < 0); t0, u0, fs, fb are free.
LOWER = np.array([-np.inf, -np.inf, 1e-3, 1e-6, -np.inf, -np.inf])
UPPER = np.full(6, np.inf)
# Survey rows (fit_random_event): truth, fitted, sigma, chi2, dof, kelvora calls, points, status.
ROW = 6 + 6 + 6 + 5


@dataclass(frozen=True)
class Data:
    t: Array
    flux: Array
    sigma: Array


@dataclass
class Model:
    """F(t) = fs A(u(t), rho) + fb, counting kelvora's calls and the points they evaluate."""

    t: Array
    law: str
    coefficients: tuple[float, ...]
    magnification_calls: int = 0
    gradient_calls: int = 0
    points: int = 0
    seconds: float = 0.0  # in kelvora

    @property
    def calls(self) -> int:
        return self.magnification_calls + self.gradient_calls

    def flux(self, p: Array) -> Array:
        began = time.perf_counter()
        a = kelvora_fspl.light_curve(self.t, p[0], p[1], p[2], p[3], self.law, self.coefficients)
        self.seconds += time.perf_counter() - began
        self.magnification_calls += 1
        self.points += self.t.size
        return np.asarray(p[4] * a + p[5], dtype=np.float64)

    def jacobian(self, p: Array) -> Array:
        """dF/dp, one column per parameter: light_curve's partials of A (the
        chain rule through u, exact at u = 0) times fs, and A and 1."""
        began = time.perf_counter()
        a, partials = kelvora_fspl.light_curve(self.t, p[0], p[1], p[2], p[3], self.law, self.coefficients,
                                               gradient=True)
        self.seconds += time.perf_counter() - began
        self.gradient_calls += 1
        self.points += self.t.size
        fs = p[4]
        return np.column_stack(
            [fs * partials["t0"], fs * partials["u0"], fs * partials["tE"], fs * partials["rho"], a, np.ones_like(a)]
        )


class FitError(RuntimeError):
    """least_squares did not converge; calls and points are those spent."""

    def __init__(self, message: str, calls: int, points: int) -> None:
        super().__init__(message)
        self.calls = calls
        self.points = points


@dataclass(frozen=True)
class Fit:
    params: Array  # t0, |u0|, tE, rho, fs, fb
    chi2: float
    dof: int
    residual_evaluations: int  # least_squares' nfev
    calls: int  # calls of kelvora, each over the whole light curve
    magnification_calls: int
    gradient_calls: int
    points: int  # points evaluated in those calls
    seconds: float  # wall time of the fit
    kelvora_seconds: float  # of which in kelvora
    status: int  # least_squares' status, > 0 converged


def fit(data: Data, start: Array, law: str, coefficients: tuple[float, ...], jac: str = "analytic") -> Fit:
    """Least-squares fit of the six parameters from start, jac 'analytic', '2-point' or '3-point'.

    Raises FitError if least_squares does not converge."""
    model = Model(data.t, law, coefficients)

    def residuals(p: Array) -> Array:
        return np.asarray((data.flux - model.flux(p)) / data.sigma, dtype=np.float64)

    def residuals_jacobian(p: Array) -> Array:
        return np.asarray(-model.jacobian(p) / data.sigma[:, None], dtype=np.float64)

    began = time.perf_counter()
    result = least_squares(
        residuals,
        start,
        jac=residuals_jacobian if jac == "analytic" else jac,
        bounds=(LOWER, UPPER),
        method="trf",
        x_scale="jac",
        xtol=1e-12,
        ftol=1e-12,
        gtol=1e-10,
    )
    seconds = time.perf_counter() - began
    if not result.success:
        raise FitError(f"least_squares ({jac}) did not converge: {result.message}", model.calls, model.points)
    params = np.asarray(result.x, dtype=np.float64).copy()
    params[1] = abs(params[1])
    return Fit(
        params,
        float(2.0 * result.cost),
        data.t.size - params.size,
        int(result.nfev),
        model.calls,
        model.magnification_calls,
        model.gradient_calls,
        model.points,
        seconds,
        model.seconds,
        int(result.status),
    )


def uncertainties(data: Data, params: Array, law: str, coefficients: tuple[float, ...]) -> Array:
    """sqrt(diag((J^T J)^-1)), J the analytic Jacobian of the weighted residuals (not counted)."""
    jac = Model(data.t, law, coefficients).jacobian(params) / data.sigma[:, None]
    return np.asarray(np.sqrt(np.diag(np.linalg.inv(jac.T @ jac))), dtype=np.float64)


def cadence(t0: float, crossing: float, span: float, dense: int, sparse: int) -> Array:
    """dense points over t0 +- crossing, sparse points over the rest of t0 +- span."""
    inner = np.linspace(t0 - crossing, t0 + crossing, dense)
    outer = np.linspace(t0 - span, t0 + span, sparse)
    return np.sort(np.concatenate([inner, outer[np.abs(outer - t0) > crossing]]))


def simulate(t: Array, truth: Array, law: str, coefficients: tuple[float, ...], rng: np.random.Generator) -> Data:
    flux = Model(t, law, coefficients).flux(truth)
    sigma = ERROR * flux
    return Data(t, flux + sigma * rng.standard_normal(t.size), sigma)


def random_event(rng: np.random.Generator) -> tuple[Array, tuple[float, ...], Data, Array]:
    """A random finite-source event (truth, linear coefficient, data, start) for the survey.

    rho log-uniform in [0.005, 0.05], u0 uniform in [0.1 rho, 1.5 rho] (the
    lens crosses the source in two events out of three), tE log-uniform in
    [5, 50] d, u1 uniform in [0.3, 0.8], fs = 1 and fb uniform in [0, 1]; 120
    points where u < 2 rho (|t - t0| < tE sqrt(4 rho^2 - u0^2)), 60 over
    t0 +- 2 tE.  The start is the truth off by about a tenth of that
    half-width in t0 and 10 per cent in tE, rho and the fluxes; its u0 is set
    by fit_random_event.

    u0 stays away from 0: the chi^2 is even in u0, so where its minimum is at
    u0 = 0 the u0 column of the Jacobian (fs dA/du u0/u) vanishes there, the
    chi^2 is quartic in u0 and Gauss-Newton steps creep towards it (and the
    linearised uncertainty of u0 means nothing)."""
    rho = float(np.exp(rng.uniform(np.log(0.005), np.log(0.05))))
    u0 = rng.uniform(0.1, 1.5) * rho
    te = float(np.exp(rng.uniform(np.log(5.0), np.log(50.0))))
    t0 = rng.uniform(-1.0, 1.0)
    fs = 1.0
    fb = rng.uniform(0.0, 1.0) * fs
    coefficients = (float(rng.uniform(0.3, 0.8)),)
    truth = np.array([t0, u0, te, rho, fs, fb])
    half_crossing = np.sqrt(max((2.0 * rho) ** 2 - u0**2, (0.5 * rho) ** 2)) * te
    t = cadence(t0, half_crossing, 2.0 * te, 120, 60)
    data = simulate(t, truth, "linear", coefficients, rng)
    z = rng.standard_normal(5)
    start = np.array(
        [
            t0 + 0.1 * half_crossing * z[0],
            np.nan,
            te * np.exp(0.1 * z[1]),
            rho * np.exp(0.1 * z[2]),
            fs * np.exp(0.1 * z[3]),
            fb + 0.1 * fs * z[4],
        ]
    )
    return truth, coefficients, data, start


SURVEY_STARTS = (0.5, 1.0, 1.5)  # u0 / rho of the starts of fit_random_event


def fit_random_event(seed: int) -> Array:
    """Fit (analytic Jacobian) the event random_event(numpy.random.default_rng(seed)).

    A finite-source light curve has local minima of chi^2: the lens crossing
    the source or passing outside it, and rho -> 0.  So the fit starts three
    times, with u0 = 0.5, 1 and 1.5 times the starting rho, and keeps the
    lowest chi^2.

    Returns one float64 row: truth (6), fitted (6), sigma (6), chi2, dof,
    kelvora calls and points evaluated (all starts), and least_squares'
    status of the best fit (> 0 converged); fitted, sigma and chi2 are NaN
    and the status 0 if every start failed."""
    truth, coefficients, data, start = random_event(np.random.default_rng(seed))
    row = np.full(ROW, np.nan)
    row[:6] = truth
    row[19] = data.t.size - 6
    row[20:23] = 0.0
    best = None
    for ratio in SURVEY_STARTS:
        start[1] = ratio * start[3]
        try:
            result = fit(data, start, "linear", coefficients)
        except FitError as error:
            row[20] += error.calls
            row[21] += error.points
            continue
        row[20] += result.calls
        row[21] += result.points
        if best is None or result.chi2 < best.chi2:
            best = result
    if best is None:
        return row
    row[6:12] = best.params
    row[12:18] = uncertainties(data, best.params, "linear", coefficients)
    row[18] = best.chi2
    row[22] = best.status
    return row


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.partition("\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer points")
    parser.add_argument("--seed", type=int, default=20240611, help="seed of the noise generator")
    parser.add_argument("--law", choices=sorted(LAWS), default="linear", help="limb-darkening law (coefficients fixed)")
    parser.add_argument(
        "--finite-difference", choices=["2-point", "3-point"], default="2-point", help="scipy's difference scheme"
    )
    args = parser.parse_args()

    law, coefficients = args.law, LAWS[args.law]
    dense, sparse = (0.04, 4.0) if args.quick else (0.01, 1.0)  # cadences in days
    t = np.concatenate(
        [np.arange(-60.0, -2.0, sparse), np.arange(-2.0, 2.0, dense), np.arange(2.0, 60.0 + sparse / 2, sparse)]
    )
    rng = np.random.default_rng(args.seed)
    data = simulate(t, TRUTH, law, coefficients, rng)
    print(
        f"synthetic event: {t.size} points, {ERROR:.1%} errors, {law} limb darkening {coefficients},"
        f" seed {args.seed}"
    )

    # A rough start: the time of the brightest point, u0, tE, rho and the fluxes off by tens of per cent.
    start = np.array([round(float(t[np.argmax(data.flux)]), 3), 0.015, 20.0, 0.03, 0.8, 0.4])
    print("start:  " + ", ".join(f"{name} {value:g}" for name, value in zip(NAMES, start)))
    try:
        analytic = fit(data, start, law, coefficients)
        finite = fit(data, start, law, coefficients, jac=args.finite_difference)
    except FitError as error:
        print(f"FAILED: {error}")
        return 1
    sigma = uncertainties(data, analytic.params, law, coefficients)

    print()
    print(
        f"{'Jacobian':<22} {'chi2':>9} {'dof':>5} {'residual evals':>14} {'kelvora calls':>13} {'points':>7}"
        f" {'fit time':>9} {'in kelvora':>10}"
    )
    for title, result in (("analytic", analytic), (f"finite ({args.finite_difference})", finite)):
        print(
            f"{title:<22} {result.chi2:9.3f} {result.dof:5d} {result.residual_evaluations:14d} {result.calls:13d}"
            f" {result.points:7d} {result.seconds:8.3f}s {result.kelvora_seconds:9.3f}s"
        )

    print()
    print(
        f"{'parameter':>9} {'true':>12} {'analytic':>14} {'finite-diff':>14} {'sigma':>11}"
        f" {'(a-fd)/sigma':>12} {'pull':>6}"
    )
    difference = (analytic.params - finite.params) / sigma
    pulls = (analytic.params - TRUTH) / sigma
    for name, true, a, f, s, d, pull in zip(NAMES, TRUTH, analytic.params, finite.params, sigma, difference, pulls):
        print(f"{name:>9} {true:12.7f} {a:14.9f} {f:14.9f} {s:11.3e} {d:12.2e} {pull:6.2f}")

    print()
    print(
        f"evaluations analytic: {analytic.calls}"
        f" ({analytic.magnification_calls} magnification, {analytic.gradient_calls} magnification_and_gradient)"
    )
    print(f"evaluations finite-difference: {finite.calls} ({finite.magnification_calls} magnification)")
    print(f"points analytic: {analytic.points}")
    print(f"points finite-difference: {finite.points}")
    worst = float(np.max(np.abs(difference)))
    delta_chi2 = analytic.chi2 - finite.chi2
    print(f"largest |analytic - finite-difference| / sigma: {worst:.2e} (tolerance {AGREEMENT:.0e})")
    print(f"chi2 analytic - finite-difference: {delta_chi2:.2e} (tolerance {CHI2_AGREEMENT:.0e})")
    print(f"evaluation ratio finite-difference / analytic: {finite.calls / analytic.calls:.2f}")

    failed = False
    if not worst <= AGREEMENT or not abs(delta_chi2) <= CHI2_AGREEMENT:
        print("FAILED: the analytic and finite-difference optima differ")
        failed = True
    if analytic.calls >= finite.calls:
        print("FAILED: the analytic Jacobian did not need fewer model evaluations")
        failed = True
    return 1 if failed else 0


if __name__ == "__main__":
    status = main()
    if status:  # sphinx-gallery runs the example in its own process: exit only on failure
        sys.exit(status)
