"""Accuracy against time (a Pareto front) of kelvora_fspl, VBMicrolensing and
MulensModel on one finite-source light curve, every setting timed in one run.

Usage:  ./scripts/bench-peers [--quick]
        (which runs this after bench/bench_fspl_peers.py in .venv-peers/), or
        .venv-peers/bin/python bench/bench_fspl_pareto.py [--quick] [--figure PATH]

The light curve is bench/bench_fspl_peers.py's: rho = 0.05, u0 = 0.02,
tE = 20 d, 10,000 epochs evenly spaced over t - t0 in [-2, 2] d,
u = sqrt(u0^2 + ((t - t0)/tE)^2), so that the lens crosses the source
(u/rho from 0.4 to 2.04, two limb crossings).  Two sources: a linearly
limb-darkened disk, I = 1 - u1 (1 - mu), u1 = 0.6, and a uniform disk.

Codes and settings, each computing the whole curve in one call:

- kelvora_fspl.magnification(np.hypot(u0, (t - t0)/tE), rho, law,
  coefficients) at its default (tolerance 1e-9, its most accurate) and, when
  the installed build takes the keyword, at tolerance = 1e-8 ... 1e-3.  A tiny
  call with tolerance= finds out: a TypeError means the build has no such
  keyword and the default alone is timed; a value the build refuses
  (ValueError) is left out.
- VBMicrolensing's ESPLLightCurve([ln u0, ln tE, t0, ln rho], times) (natural
  logarithms: checked against ESPLMag2 at start-up), a1 = u1 (the same linear
  law), one engine per setting.  Its documented accuracy controls: Tol, the
  absolute accuracy goal (default 1e-2), RelTol, the relative one (default
  0, off), the calculation stopping at the first goal met (Tol = 0 leaves
  RelTol alone in charge), and minannuli, the least number of annuli over a
  limb-darkened source (default 1).  A uniform ESPL source is interpolated
  in VBMicrolensing's precomputed tables, so only a few settings are timed
  for it.
- MulensModel: Model({t_0, u_0, t_E, rho}) with set_magnification_methods
  ([t0 - 2.5, method, t0 + 2.5]) (the finite-source method over the whole
  curve) and get_magnification(times[, bandpass]).  Limb darkened, with
  set_limb_coeff_gamma(band, Gamma) and Gamma = 2 u1 / (3 - u1) = 0.5
  (kelvora_fspl.u1_to_gamma: MulensModel's linear law is normalised to the
  mean surface brightness, I/<I> = 1 - Gamma (1 - 3 mu / 2); checked at
  start-up against its own set_limb_coeff_u): finite_source_LD_Yoo04 (Yoo et
  al. 2004), finite_source_LD_WittMao94 (Witt & Mao 1994 on annuli) and
  finite_source_LD_Lee09 (Lee et al. 2009).  Uniform: Gould94, WittMao94,
  Lee09.  Its documentation gives these methods no accuracy setting; the
  _direct variants are left out (Yoo04_direct takes some 50 ms a point).
  scipy's IntegrationWarning from the Lee09 quadratures is silenced: the
  error columns show what it warns of.

Time: all the settings of one source alternate, one run of each per
repetition (bench_fspl_peers.alternate: each run repeats its call until
min_time has passed).  A setting whose call on the whole curve would take
longer than a budget (1 s, --quick 0.2 s; estimated from a call on every
tenth epoch) is timed on every k-th epoch instead, k chosen to fit the
budget but keep at least 100 epochs (--quick 20): the subset has the
curve's mix of epochs inside and outside the source, over which the time
per epoch varies (tenfold for MulensModel's WittMao94 methods), and the
table says which settings were timed so.  The tables give the median time
per point and the median over the repetitions of the ratio of the time per
point to VBMicrolensing's default's in the same repetition (the machine is
shared and noisy: only the ratios measured side by side mean much).

Accuracy, two ways:

- against mpmath (bench_fspl_peers.reference_magnification, the ring sum of
  the point-lens magnification with Carlson's elliptic integrals, at 20
  digits) at a few hundred epochs of the curve (--quick: a few dozen),
  computed once per run in worker processes: evenly spaced epochs, offset
  by a quarter step so that the mirror epochs of the symmetric curve fall
  between them, the consecutive epochs on either side of both limb
  crossings, and the two epochs around t0.  Every code is called on exactly
  these epochs;
- over every epoch of the curve, against kelvora_fspl at its default
  tolerance (itself checked against mpmath at the mpmath epochs: the
  output says how closely); over the timed subset only for a setting whose
  call on the whole curve would take longer than 30 s (--quick 3 s), as
  the table says.

The figure (docs/fspl_pareto.png unless --figure says otherwise; needs
matplotlib) puts, for each source, the larger of the two worst errors on x
and the time per point on y, one marker series per code, each point
labelled with its setting.  Printed last: the ratios of kelvora_fspl's time
to VBMicrolensing's default (and at tolerance 1e-4 to MulensModel's Yoo04)
against the speed the tolerance= keyword aims at.

With --quick: 2,000 epochs, 5 repetitions, about 40 mpmath epochs.  This is
a benchmark, not a test: nothing is asserted.
"""

import argparse
import concurrent.futures
import dataclasses
import math
import os
import pathlib
import platform
import statistics
import time
import warnings
from typing import Callable, Optional

import mpmath
import numpy as np

import kelvora_fspl
from bench_fspl_peers import (
    RHO,
    T0,
    T_E,
    U0,
    U1,
    alternate,
    check_vbm_convention,
    markdown_table,
    reference_magnification,
    version,
)

ROOT = pathlib.Path(__file__).resolve().parent.parent
FIGURE = ROOT / "docs" / "fspl_pareto.png"

# kelvora_fspl's tolerances below its default (1e-9, timed without the keyword).
TOLERANCES = (1e-8, 1e-7, 1e-6, 1e-5, 1e-4, 1e-3)

# VBMicrolensing settings: (label, figure label, Tol, RelTol, minannuli); the
# first is its default.
VBM_SETTINGS = {
    "linear": [
        ("default: Tol = 1e-2", "default", 1e-2, 0.0, 1),
        ("Tol = 1e-3", "Tol 1e-3", 1e-3, 0.0, 1),
        ("Tol = 1e-4", "Tol 1e-4", 1e-4, 0.0, 1),
        ("Tol = 1e-5", "Tol 1e-5", 1e-5, 0.0, 1),
        ("Tol = 1e-6", "Tol 1e-6", 1e-6, 0.0, 1),
        ("Tol = 0, RelTol = 1e-3", "RelTol 1e-3", 0.0, 1e-3, 1),
        ("Tol = 0, RelTol = 1e-4", "RelTol 1e-4", 0.0, 1e-4, 1),
        ("Tol = 0, RelTol = 1e-5", "RelTol 1e-5", 0.0, 1e-5, 1),
        ("Tol = 1e-2, minannuli = 2", "minannuli 2", 1e-2, 0.0, 2),
        ("Tol = 1e-4, minannuli = 2", "Tol 1e-4, minannuli 2", 1e-4, 0.0, 2),
    ],
    "uniform": [
        ("default: Tol = 1e-2", "default", 1e-2, 0.0, 1),
        ("Tol = 1e-4", "Tol 1e-4", 1e-4, 0.0, 1),
        ("Tol = 0, RelTol = 1e-4", "RelTol 1e-4", 0.0, 1e-4, 1),
    ],
}

MULENSMODEL_METHODS = {
    "linear": ["finite_source_LD_Yoo04", "finite_source_LD_WittMao94", "finite_source_LD_Lee09"],
    "uniform": ["finite_source_uniform_Gould94", "finite_source_uniform_WittMao94", "finite_source_uniform_Lee09"],
}
BAND = "I"  # MulensModel's limb-darkening coefficients are kept per band

LAWS = {"linear": ("linear", (U1,), U1), "uniform": ("uniform", (), 0.0)}


@dataclasses.dataclass
class Setting:
    """One code at one setting: make(times) returns the call that computes
    the magnification at those times (whatever the code needs prepared
    outside the timed call, such as a list of floats, prepared by make)."""

    key: str
    code: str
    label: str
    short: str  # the label in the figure
    make: Callable[[np.ndarray], Callable[[], object]]
    # Filled in by the run:
    stride: int = 1  # timed on every stride-th epoch
    points: int = 0  # epochs of the timed call
    runs: list = dataclasses.field(default_factory=list)  # seconds of each repetition's call
    error_all: Optional[tuple] = None  # (worst relative error, u/rho there) against kelvora_fspl's default
    error_stride: int = 1  # ... over every error_stride-th epoch
    error_mpmath: Optional[tuple] = None  # the same at the mpmath epochs

    def per_point(self) -> list[float]:
        """Seconds per point of each repetition."""
        return [r / self.points for r in self.runs]

    def worst(self) -> float:
        return max(e[0] for e in (self.error_all, self.error_mpmath) if e is not None)


def separation(times: np.ndarray) -> np.ndarray:
    return np.hypot(U0, (times - T0) / T_E)


# --------------------------------------------------------------------------
# The codes.
# --------------------------------------------------------------------------

def kelvora_tolerances() -> Optional[list[float]]:
    """The tolerances the installed kelvora_fspl takes, or None if its
    magnification has no tolerance= keyword."""
    tiny = np.array([0.5 * RHO])
    try:
        kelvora_fspl.magnification(tiny, RHO, "linear", (U1,), tolerance=1e-6)
    except TypeError:
        return None
    except ValueError:
        pass  # the keyword exists; 1e-6 itself is tried again below
    accepted = []
    for tolerance in TOLERANCES:
        try:
            kelvora_fspl.magnification(tiny, RHO, "linear", (U1,), tolerance=tolerance)
        except (TypeError, ValueError):
            continue
        accepted.append(tolerance)
    return accepted


def kelvora_settings(source: str, tolerances: Optional[list[float]]) -> list[Setting]:
    law, coefficients, _ = LAWS[source]

    def maker(tolerance):
        def make(times):
            if tolerance is None:
                return lambda: kelvora_fspl.magnification(separation(times), RHO, law, coefficients)
            return lambda: kelvora_fspl.magnification(separation(times), RHO, law, coefficients, tolerance=tolerance)

        return make

    settings = [Setting("kelvora:default", "kelvora_fspl", "default (tolerance 1e-9)", "default", maker(None))]
    for tolerance in tolerances or []:
        settings.append(Setting(f"kelvora:{tolerance:.0e}", "kelvora_fspl", f"tolerance = {tolerance:.0e}",
                                f"{tolerance:.0e}", maker(tolerance)))
    return settings


def vbm_settings(source: str) -> list[Setting]:
    import VBMicrolensing

    params = [math.log(U0), math.log(T_E), T0, math.log(RHO)]
    settings = []
    for i, (label, short, tol, rel_tol, min_annuli) in enumerate(VBM_SETTINGS[source]):
        engine = VBMicrolensing.VBMicrolensing()
        engine.a1 = LAWS[source][2]  # 0: uniform source
        engine.Tol, engine.RelTol, engine.minannuli = tol, rel_tol, min_annuli

        def make(times, engine=engine):
            ts = times.tolist()  # its natural input: a list of floats
            return lambda: engine.ESPLLightCurve(params, ts)[0]

        settings.append(Setting("vbm:default" if i == 0 else f"vbm:{label}", "VBMicrolensing", label, short, make))
    return settings


def mulensmodel_settings(source: str) -> list[Setting]:
    import MulensModel

    settings = []
    for method in MULENSMODEL_METHODS[source]:
        model = MulensModel.Model({"t_0": T0, "u_0": U0, "t_E": T_E, "rho": RHO})
        model.set_magnification_methods([T0 - 2.5, method, T0 + 2.5])
        if source == "linear":
            model.set_limb_coeff_gamma(BAND, float(kelvora_fspl.u1_to_gamma(U1)))

            def make(times, model=model):
                return lambda: model.get_magnification(times, bandpass=BAND)
        else:
            def make(times, model=model):
                return lambda: model.get_magnification(times)

        short = method.removeprefix("finite_source_").removeprefix("LD_").removeprefix("uniform_")
        settings.append(Setting(f"mm:{method}", "MulensModel", method, short, make))
    return settings


def check_mulensmodel_gamma() -> str:
    """set_limb_coeff_gamma(Gamma = u1_to_gamma(u1)) must give the same
    magnifications as MulensModel's own set_limb_coeff_u(u1)."""
    import MulensModel

    times = T0 + np.linspace(-0.5, 0.5, 11)
    results = []
    for setter, value in (("set_limb_coeff_gamma", float(kelvora_fspl.u1_to_gamma(U1))), ("set_limb_coeff_u", U1)):
        model = MulensModel.Model({"t_0": T0, "u_0": U0, "t_E": T_E, "rho": RHO})
        model.set_magnification_methods([T0 - 2.5, "finite_source_LD_Yoo04", T0 + 2.5])
        getattr(model, setter)(BAND, value)
        results.append(np.asarray(model.get_magnification(times, bandpass=BAND)))
    difference = float(np.max(np.abs(results[0] / results[1] - 1)))
    gamma = float(kelvora_fspl.u1_to_gamma(U1))
    if difference <= 1e-14:
        return f"Gamma = {gamma:.6g} for u1 = {U1}, same curve as its set_limb_coeff_u({U1})"
    return f"WARNING: Gamma = {gamma:.6g} and set_limb_coeff_u({U1}) differ by {difference:.1e}"


# --------------------------------------------------------------------------
# The reference.
# --------------------------------------------------------------------------

def mpmath_epochs(times: np.ndarray, count: int, around: int) -> np.ndarray:
    """Indices of the reference epochs: count evenly spaced ones, offset by a
    quarter step (the curve is symmetric about t0, so a symmetric grid would
    sample each u twice), the around consecutive epochs on either side of
    each limb crossing (u = rho) and the two epochs around t0."""
    n = len(times)
    step = (n - 1) / count
    even = np.round(step / 4 + step * np.arange(count)).astype(int)
    inside = np.nonzero(separation(times) < RHO)[0]
    limbs = []
    if inside.size:
        first, last = int(inside[0]), int(inside[-1])
        limbs = list(range(first - around, first + around)) + list(range(last - around + 1, last + around + 1))
    middle = int(np.searchsorted(times, T0))
    indices = np.concatenate([even, np.array(limbs + [middle - 1, middle], dtype=int)])
    return np.unique(indices[(indices >= 0) & (indices < n)])


def _reference(job: tuple[float, float, int]) -> str:
    u, u1, digits = job
    mpmath.mp.dps = digits
    return mpmath.nstr(reference_magnification(u, RHO, u1), digits + 5)


def references(u: np.ndarray, digits: int, workers: int) -> dict[str, list]:
    """mpmath magnifications at u, for both sources, in worker processes."""
    jobs = [(float(x), LAWS[source][2], digits) for source in LAWS for x in u]
    with concurrent.futures.ProcessPoolExecutor(max_workers=workers) as pool:
        values = list(pool.map(_reference, jobs, chunksize=4))
    mpmath.mp.dps = digits
    values = [mpmath.mpf(v) for v in values]
    return {source: values[i * len(u):(i + 1) * len(u)] for i, source in enumerate(LAWS)}


def worst_error(values: np.ndarray, reference, u: np.ndarray) -> tuple[float, float]:
    """The largest relative error and u/rho where it is; reference: float
    array or mpmath numbers."""
    if isinstance(reference, np.ndarray):
        errors = np.abs(values / reference - 1.0)
    else:
        errors = np.array([float(abs(mpmath.mpf(float(v)) / r - 1)) for v, r in zip(values, reference)])
    if not np.all(np.isfinite(errors)):
        i = int(np.nonzero(~np.isfinite(errors))[0][0])
        return math.inf, float(u[i] / RHO)
    i = int(np.argmax(errors))
    return float(errors[i]), float(u[i] / RHO)


# --------------------------------------------------------------------------
# The run.
# --------------------------------------------------------------------------

def plan(setting: Setting, times: np.ndarray, args) -> float:
    """Set setting.stride: 1, or for a call on the whole curve longer than
    args.budget the k for which a call on every k-th epoch takes about the
    budget (but has at least args.least epochs); return the estimated
    seconds of a call on the whole curve, ten times a call on every tenth
    epoch (the time per epoch varies along the curve, by a factor of ten
    for MulensModel's WittMao94 methods, so the probe samples it all)."""
    setting.make(times[:2])()  # first use: tables loaded
    probe = setting.make(times[::10])
    start = time.perf_counter()
    probe()
    whole = (time.perf_counter() - start) * 10
    if whole > args.budget:
        setting.stride = max(1, min(math.ceil(whole / args.budget), len(times) // args.least))
    return whole


def run_source(source: str, settings: list[Setting], times: np.ndarray, args, check: np.ndarray, ref) -> None:
    u = separation(times)
    exact = kelvora_fspl.magnification(u, RHO, LAWS[source][0], LAWS[source][1])
    whole = {}
    calls = {}
    for setting in settings:
        whole[setting.key] = plan(setting, times, args)
        subset = times[:: setting.stride]
        setting.points = len(subset)
        calls[setting.key] = setting.make(subset)
    runs = alternate(calls, args.repeat, args.min_time)
    for setting in settings:
        setting.runs = runs[setting.key]
        # The worst error over the whole curve, unless a call on it would
        # take longer than args.accuracy_budget: then over the timed epochs.
        if setting.key != "kelvora:default":
            setting.error_stride = 1 if whole[setting.key] <= args.accuracy_budget else setting.stride
            k = setting.error_stride
            call = calls[setting.key] if k == setting.stride else setting.make(times[::k])
            values = np.asarray(call(), dtype=float)
            setting.error_all = worst_error(values, exact[::k], u[::k])
        at_check = np.asarray(setting.make(times[check])(), dtype=float)
        setting.error_mpmath = worst_error(at_check, ref, u[check])


def ratio(a: Setting, b: Setting) -> float:
    """Median over the repetitions of a's time per point over b's."""
    return statistics.median(x / y for x, y in zip(a.per_point(), b.per_point()))


def error_cell(error: Optional[tuple], stride: int = 1) -> str:
    if error is None:
        return "(the reference)"
    if error[0] == 0.0:
        return "0 (identical)"
    return f"{error[0]:.1e} at {error[1]:.4g}" + (f" (1 in {stride})" if stride > 1 else "")


def ratio_cell(value: Optional[float]) -> str:
    if value is None:
        return ""
    return f"{value:.3g}" if value < 100 else f"{value:.0f}"


def table(settings: list[Setting], baseline: Optional[Setting], check: int) -> str:
    rows = []
    for s in settings:
        epochs = "all" if s.stride == 1 else f"1 in {s.stride} ({s.points})"
        rows.append([
            s.code, s.label, error_cell(s.error_all, s.error_stride), error_cell(s.error_mpmath),
            f"{statistics.median(s.per_point()) * 1e6:.3g}", ratio_cell(ratio(s, baseline) if baseline else None),
            epochs,
        ])
    header = ["code", "setting", "max rel. error, all epochs (at u/rho)",
              f"max rel. error vs mpmath, {check} epochs (at u/rho)", "us / point", "time / VBM default",
              "epochs timed"]
    return markdown_table(header, rows, right={4, 5})


def coincident(x: list[float], y: list[float], labels: list[str]) -> list[tuple[tuple[float, float], list[str]]]:
    """The labels grouped by point, points within 10% of each other in x and
    35% in y (about a line of the labels' text) taken for one, so that their
    labels do not overprint."""
    groups: list[tuple[tuple[float, float], list[str]]] = []
    for xi, yi, label in zip(x, y, labels):
        for (xg, yg), members in groups:
            if abs(math.log(xi / xg)) < 0.1 and abs(math.log(yi / yg)) < 0.3:
                members.append(label)
                break
        else:
            groups.append(((xi, yi), [label]))
    return groups


def figure(results: dict[str, list[Setting]], path: pathlib.Path, title: str) -> str:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError as error:
        return f"figure not drawn: matplotlib not available ({error})"
    styles = {"kelvora_fspl": ("o", "C0"), "VBMicrolensing": ("s", "C1"), "MulensModel": ("^", "C2")}
    fig, axes = plt.subplots(1, len(results), figsize=(7 * len(results), 5.5), squeeze=False)
    def plotted(s: Setting) -> float:
        # An error of 0 (the same doubles) is drawn at 1e-17, a NaN or an
        # infinite one (a failed call) at 10.
        return min(max(s.worst(), 1e-17), 10.0)

    for ax, (source, settings) in zip(axes[0], results.items()):
        for code, (marker, colour) in styles.items():
            mine = [s for s in settings if s.code == code]  # kelvora_fspl's in order of tolerance
            if not mine:
                continue
            x = [plotted(s) for s in mine]
            y = [statistics.median(s.per_point()) * 1e6 for s in mine]
            ax.plot(x, y, marker=marker, color=colour, linestyle="-" if code == "kelvora_fspl" else "none",
                    label=code)
            for (xi, yi), labels in coincident(x, y, [s.short for s in mine]):
                ax.annotate(", ".join(labels), (xi, yi), textcoords="offset points", xytext=(4, 3), fontsize=7,
                            color=colour)
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xlim(right=30 * max(plotted(s) for s in settings))  # room for the labels
        ax.set_xlabel("worst relative error of A over the curve")
        ax.set_ylabel("time per point (us, median)")
        ax.set_title("linear limb darkening, u1 = 0.6" if source == "linear" else "uniform disk")
        ax.grid(True, which="major", alpha=0.3)
        ax.legend(loc="best", fontsize=8)
    fig.suptitle(title, fontsize=9)
    fig.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=150)
    plt.close(fig)
    return f"figure: {path}"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true",
                        help="2,000 epochs, 5 repetitions, about 40 mpmath epochs")
    parser.add_argument("--figure", type=pathlib.Path, default=FIGURE, help=f"where to write the figure ({FIGURE})")
    args = parser.parse_args()
    args.points = 2_000 if args.quick else 10_000
    args.repeat = 5 if args.quick else 15
    args.min_time = 0.01 if args.quick else 0.05
    args.budget = 0.2 if args.quick else 1.0  # seconds for one timed call ...
    args.least = 20 if args.quick else 100  # ... but at least these epochs
    args.accuracy_budget = 3.0 if args.quick else 30.0  # seconds for the worst error over all epochs
    args.even, args.around = (32, 2) if args.quick else (200, 8)
    args.digits = 20
    started = time.perf_counter()
    warnings.filterwarnings("ignore", message=".*(roundoff error|maximum number of subdivisions).*")

    try:
        cores = len(os.sched_getaffinity(0))
    except AttributeError:
        cores = os.cpu_count() or 1
    load = " / ".join(f"{x:.2f}" for x in os.getloadavg())
    print(
        f"kelvora_fspl, VBMicrolensing and MulensModel, accuracy against time: rho = {RHO}, u0 = {U0},"
        f" tE = {T_E} d, {args.points} epochs over t - t0 in [-2, 2] d; CPython {platform.python_version()},"
        f" numpy {np.__version__}; {cores} cores, load average {load}"
    )
    print("versions: " + ", ".join(
        f"{d} {version(d)}" for d in ("kelvora", "VBMicrolensing", "MulensModel", "mpmath")))

    tolerances = kelvora_tolerances()
    if tolerances is None:
        print("kelvora_fspl.magnification: this build takes no tolerance= keyword; its default alone is timed")
    else:
        print("kelvora_fspl.magnification: tolerance= taken; timed at the default (1e-9) and at "
              + (", ".join(f"{t:.0e}" for t in tolerances) or "no other value"))

    builders = {"kelvora_fspl": lambda s: kelvora_settings(s, tolerances),
                "VBMicrolensing": vbm_settings, "MulensModel": mulensmodel_settings}
    available = {}
    for name, build in builders.items():
        try:
            build("uniform")
        except Exception as error:  # ImportError, or a peer that fails at set-up
            print(f"not available: {name} ({type(error).__name__}: {error})")
            continue
        available[name] = build
    if "VBMicrolensing" in available:
        print(f"VBMicrolensing ESPLLightCurve: {check_vbm_convention()}")
    if "MulensModel" in available:
        print(f"MulensModel: {check_mulensmodel_gamma()}")

    times = T0 + np.linspace(-2.0, 2.0, args.points)
    u = separation(times)
    check = mpmath_epochs(times, args.even, args.around)
    workers = max(1, min(4, cores))
    start = time.perf_counter()
    ref = references(u[check], args.digits, workers)
    print(f"reference: {args.digits}-digit mpmath ring sum at {len(check)} epochs, both sources"
          f" ({time.perf_counter() - start:.0f} s in {workers} processes)")

    results = {}
    for source in ("linear", "uniform"):
        settings = [s for build in available.values() for s in build(source)]
        run_source(source, settings, times, args, check, ref[source])
        results[source] = settings

    for source, settings in results.items():
        by_key = {s.key: s for s in settings}
        baseline = by_key.get("vbm:default")
        default = by_key["kelvora:default"]
        print()
        print(("linear limb darkening, u1 = VBMicrolensing a1 = " + f"{U1}, MulensModel Gamma = "
               f"{float(kelvora_fspl.u1_to_gamma(U1)):.6g}") if source == "linear" else "uniform disk")
        print(f"median of {args.repeat} alternating repetitions; all epochs compared with kelvora_fspl's default,"
              f" which is {default.error_mpmath[0]:.1e} from mpmath at its {len(check)} epochs (at u/rho"
              f" {default.error_mpmath[1]:.4g})")
        print()
        print(table(settings, baseline, len(check)))

    print()
    print(figure(results, args.figure,
                 f"single lens, rho = {RHO}, u0 = {U0}, tE = {T_E} d, {args.points} epochs over t - t0 in [-2, 2] d"
                 f"{' (--quick)' if args.quick else ''}; worst error: the larger of the timed epochs against"
                 f" kelvora_fspl's default and {len(check)} epochs against mpmath"))

    print()
    print("kelvora_fspl's time per point over the others', this run (medians of per-repetition ratios):")

    def line(source, key, against, target):
        by_key = {s.key: s for s in results[source]}
        name = "default" if key == "kelvora:default" else "tolerance " + key.split(":")[1]
        other = {"vbm:default": "VBMicrolensing default", "mm:finite_source_LD_Yoo04": "MulensModel Yoo04"}[against]
        if key not in by_key:
            value = "not measured (no tolerance= in this build)"
        elif against not in by_key:
            value = f"not measured ({other.split()[0]} not available)"
        else:
            value = f"{ratio(by_key[key], by_key[against]):.3g}"
        print(f"  {source:7}, {name:15} / {other:22}: {value}  (target <= {target})")

    line("linear", "kelvora:1e-04", "vbm:default", 0.2)
    line("linear", "kelvora:1e-04", "mm:finite_source_LD_Yoo04", 0.5)
    line("linear", "kelvora:1e-06", "vbm:default", 0.4)
    line("linear", "kelvora:default", "vbm:default", 0.7)
    line("uniform", "kelvora:default", "vbm:default", 0.35)
    line("uniform", "kelvora:1e-04", "vbm:default", 0.35)
    print()
    print(f"total {time.perf_counter() - started:.0f} s")


if __name__ == "__main__":
    main()
