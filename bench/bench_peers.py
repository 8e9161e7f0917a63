"""kelvora against other single-lens finite-source codes: time and accuracy.

Usage:  ./scripts/bench-peers [--quick]
        (which sets up .venv-peers/ and runs .venv-peers/bin/python bench/bench_peers.py)

The light curve is that of examples/demo.py: rho = 0.05, u0 = 0.02,
tE = 20 d, 1000 points evenly spaced over two days either side of the peak,
so the lens crosses the stellar disk (u/rho from 0.4 to 2.04).  Two sources:

- a uniformly bright disk;
- a linearly limb-darkened disk, I(r) = 1 - 0.6 (1 - sqrt(1 - r^2)) with r in
  stellar radii (conversions to each code's convention below).

For every code and method the table gives the time per light-curve point,
median over repeats, each code called the way its documentation shows:
kelvora and VBMicrolensing's ESPLLightCurve and MulensModel's Model take the
whole curve in one call; VBMicrolensing's ESPLMag* take one separation per
call, so they are timed as a Python loop (Python's loop and call costs are
included, as they would be in a fit).  Methods too slow for the whole curve
within the time budget are timed once; with --quick, on an evenly spaced
subset of the points (the count is given with the time).

The accuracy column is the largest relative error against a reference
computed here with mpmath at 25 significant digits (20 with --quick), at
eight separations spanning the source: u/rho = 0.1, 0.4, 0.8, 0.99 inside,
1.01, 1.2, 2, 4 outside; the separation where it is largest is given with it.

Requires numpy, mpmath and kelvora; VBMicrolensing and MulensModel are
optional and reported as missing when they cannot be imported.  This is a
benchmark, not a test: nothing is asserted.
"""

import argparse
import dataclasses
import importlib.metadata
import math
import platform
import statistics
import time
import timeit
from typing import Callable

import mpmath
import numpy as np

import kelvora

RHO = 0.05  # source radius in Einstein radii
U0 = 0.02  # impact parameter in Einstein radii
T_E = 20.0  # Einstein crossing time in days
T0 = 0.0  # time of closest approach in days
POINTS = 1000  # light-curve points, t - t0 in [-2, 2] days
RINGS = 256  # Gauss-Legendre rings of kelvora's limb-darkened magnification

# Separations (u / rho) at which every method is compared with the reference.
CHECK_L = (0.1, 0.4, 0.8, 0.99, 1.01, 1.2, 2.0, 4.0)

# Linear limb darkening.  The profile given to kelvora (as examples/demo.py
# builds it) is I(r) = I(0) [1 - u (1 - mu)], mu = sqrt(1 - r^2): the common
# "u" form, with the brightness fixed at the centre; u = 0.6 here.  (Its
# coefficient is sometimes written Gamma too, but it is not An et al.'s Gamma.)
#  - VBMicrolensing's default (linear) law is I(nu) = I(0) [1 - a1 (1 - nu)],
#    nu = sqrt(1 - r^2 / rho^2): the same law, so a1 = u = 0.6.
#  - MulensModel takes the coefficient in the "gamma" convention of
#    An et al. 2002 (ApJ 572, 521), I(r) = F / (pi rho^2) [1 - Gamma (1 - 3/2 mu)],
#    which keeps the total flux fixed.  Matching the shapes,
#    (1 - Gamma) + 3/2 Gamma mu  is proportional to  (1 - u) + u mu  when
#    u = 3 Gamma / (2 + Gamma), i.e. Gamma = 2 u / (3 - u) = 0.5 for u = 0.6.
LIMB_U = 0.6
LIMB_GAMMA = 2.0 * LIMB_U / (3.0 - LIMB_U)

UNIFORM = "uniform"
LIMB = f"linear LD, u = {LIMB_U}"


# --------------------------------------------------------------------------
# The reference: the point-lens magnification averaged over the source disk.
# --------------------------------------------------------------------------

def reference_magnification(u: float, rho: float, limb_u: float) -> mpmath.mpf:
    """Flux-weighted mean of the point-source magnification over the disk,

        A = int I(r) A0(d) dS / int I(r) dS,   A0(d) = (d^2 + 2) / (d sqrt(d^2 + 4)),

    with d the distance of the surface element from the lens and r its
    distance from the source centre in units of rho, computed at the working
    precision of mpmath.

    The double integral is written in polar coordinates (d, theta) about the
    lens, with the source centre at distance u on the axis theta = 0:
    dS = d dd dtheta, and d A0(d) = (d^2 + 2) / sqrt(d^2 + 4) is smooth, so the
    1/d singularity of A0 at the lens, which in coordinates about the source
    centre sits on the ring r = u / rho, cancels.  For each d the circle about
    the lens lies inside the source for |theta| < theta_max(d),

        theta_max = pi                                      for d <= rho - u,
        cos theta_max = (d^2 + u^2 - rho^2) / (2 d u)        for |u - rho| < d < u + rho,

    so, by symmetry in theta,

        A = 2 int_dmin^(u + rho) d A0(d) [int_0^theta_max I(r(d, theta)) dtheta] dd / F,
        dmin = max(0, u - rho),
        r^2 rho^2 = d^2 + u^2 - 2 d u cos theta,
        F = int I dS = pi rho^2 (1 - limb_u / 3)   (linear law, exact).

    A uniform source (limb_u = 0) needs only the outer integral, with the
    inner one equal to theta_max.  The outer integral is split where
    theta_max stops being pi (d = rho - u), the kink of its integrand; the
    inner integrand has its square-root edge (I at the limb) at the end
    point theta_max, where tanh-sinh quadrature (mpmath.quad) clusters its
    nodes.  This is the same double integral as the average over rings about
    the source centre of Heyrovsky (2003), without that form's logarithmic
    singularity where the lens lies on a ring.

    At 25 digits and rho = 0.05 the values agree with the same integrals at
    35 digits to about 1e-25, and the limb-darkened ones with an independent
    form (the source as a superposition of uniform disks of radii s rho,
    weighted by -dI/ds, at 40 digits) to 1e-22.
    """
    mp = mpmath.mp
    u, rho, a = mp.mpf(u), mp.mpf(rho), mp.mpf(limb_u)

    def theta_max(d):
        if d <= rho - u:
            return mp.pi
        c = (d * d + u * u - rho * rho) / (2 * d * u)
        return mp.acos(min(mp.mpf(1), max(mp.mpf(-1), c)))

    def angular(d):
        top = theta_max(d)
        if a == 0:
            return top

        def brightness(theta):
            s2 = (d * d + u * u - 2 * d * u * mp.cos(theta)) / (rho * rho)
            return 1 - a * (1 - mp.sqrt(max(mp.mpf(0), 1 - s2)))

        return mp.quad(brightness, [0, top])

    def radial(d):
        return (d * d + 2) / mp.sqrt(d * d + 4) * angular(d)

    edges = [0, rho - u, u + rho] if u < rho else [u - rho, u + rho]
    return 2 * mp.quad(radial, edges) / (mp.pi * rho * rho * (1 - a / 3))


# --------------------------------------------------------------------------
# The methods compared.
# --------------------------------------------------------------------------

@dataclasses.dataclass
class Case:
    library: str
    method: str
    source: str
    # curve(selection) -> a no-argument call that evaluates the light curve at
    # those indices; its inputs are built outside the call, in each code's
    # natural form (a list of separations, an array of times, ...).
    curve: Callable[[np.ndarray], Callable[[], object]]
    # at(u) -> magnifications at the separations u (Einstein radii).
    at: Callable[[np.ndarray], list[float]]


def light_curve() -> tuple[np.ndarray, np.ndarray]:
    """Times (days) and separations (Einstein radii) of the light curve."""
    times = T0 + np.linspace(-2.0, 2.0, POINTS)
    return times, np.hypot(U0, (times - T0) / T_E)


def gauss_legendre_rings(count: int) -> tuple[list[float], list[float]]:
    """Rings r_j = (x_j + 1)/2 with weights I(r_j) 2 r_j (W_j / 2), normalised
    to sum 1 (as examples/demo.py): the flux-weighted sum of ring kernels."""
    x, w = np.polynomial.legendre.leggauss(count)
    r = 0.5 * (x + 1.0)
    weights = (1.0 - LIMB_U * (1.0 - np.sqrt(1.0 - r * r))) * 2.0 * r * (0.5 * w)
    return r.tolist(), (weights / weights.sum()).tolist()


def kelvora_cases(times, u) -> list[Case]:
    rings, weights = gauss_legendre_rings(RINGS)

    def uniform(l):
        return kelvora.witt_mao_magnification(l, 1.0, RHO)

    def limb(l):
        return kelvora.discrete_flux_map_heyrovsky_magnification(l, 1.0, RHO, rings, weights)

    def case(method, source, function):
        def curve(selection):
            l = (u[selection] / RHO).tolist()
            return lambda: function(l)

        return Case("kelvora", method, source, curve, lambda us: function((us / RHO).tolist()))

    return [
        case("witt_mao_magnification", UNIFORM, uniform),
        case(f"discrete_flux_map_heyrovsky_magnification, {RINGS} GL rings", LIMB, limb),
    ]


def vbmicrolensing_cases(times, u) -> list[Case]:
    """VBMicrolensing (Bozza 2010, Bozza et al. 2018): ESPLMag is the
    tabulated uniform disk; ESPLMag2 the recommended entry point, which
    checks whether the point-source value is good enough and otherwise goes
    to ESPLMagDark, contour integration on concentric annuli with the
    limb-darkening coefficient a1 (0 by default: a uniform source);
    ESPLLightCurve the whole light curve from (log u0, log tE, t0, log rho)
    in one call.  The default accuracy goal (absolute Tol = 0.01, relative
    RelTol = 0), and for ESPLMag2 on the limb-darkened source also Tol = 1e-4."""
    import VBMicrolensing

    flat = VBMicrolensing.VBMicrolensing()  # a1 = 0: uniform source
    dark = VBMicrolensing.VBMicrolensing()
    dark.a1 = LIMB_U
    tight = VBMicrolensing.VBMicrolensing()  # the same with a 100 times finer accuracy goal
    tight.a1 = LIMB_U
    tight.Tol = 1e-2 * flat.Tol

    def per_point(method, source, engine, note=""):
        function = getattr(engine, method)

        def curve(selection):
            us = u[selection].tolist()
            return lambda: [function(x, RHO) for x in us]

        return Case("VBMicrolensing", method + note, source, curve, lambda us: [function(float(x), RHO) for x in us])

    def whole_curve(source, engine):
        def curve(selection):
            params = [math.log(U0), math.log(T_E), T0, math.log(RHO)]
            ts = times[selection].tolist()
            return lambda: engine.ESPLLightCurve(params, ts)[0]

        def at(us):
            # u0 = u at t = t0 puts the lens at exactly the separation u.
            return [engine.ESPLLightCurve([math.log(x), math.log(T_E), T0, math.log(RHO)], [T0])[0][0] for x in us]

        return Case("VBMicrolensing", "ESPLLightCurve", source, curve, at)

    return [
        per_point("ESPLMag", UNIFORM, flat),
        per_point("ESPLMag2", UNIFORM, flat),
        whole_curve(UNIFORM, flat),
        per_point("ESPLMag2", LIMB, dark),
        per_point("ESPLMagDark", LIMB, dark),
        per_point("ESPLMag2", LIMB, tight, f", Tol = {tight.Tol:g}"),
        whole_curve(LIMB, dark),
    ]


def mulensmodel_cases(times, u) -> list[Case]:
    """MulensModel's finite-source point-lens methods, through a Model with
    rho and set_magnification_methods over the whole curve, and
    get_magnification(times, gamma=...) for the limb-darkened ones."""
    import MulensModel

    def model(u0, method, ts):
        # The finite-source method applies between the two dates given; the
        # point-source formula outside them.  Cover all the times asked for.
        m = MulensModel.Model({"t_0": T0, "u_0": u0, "t_E": T_E, "rho": RHO})
        m.set_magnification_methods([float(np.min(ts)) - 1.0, method, float(np.max(ts)) + 1.0])
        return m

    def case(method, source):
        kwargs = {"gamma": LIMB_GAMMA} if source == LIMB else {}

        def curve(selection):
            ts = times[selection]
            m = model(U0, method, ts)
            return lambda: m.get_magnification(ts, **kwargs)

        def at(us):
            # One model with u0 the smallest check separation, at the times
            # when the lens is at the others (costs paid once per call, as
            # by the Witt & Mao tables, are then paid once).
            u0 = float(min(us))
            ts = T0 + T_E * np.sqrt(np.maximum(np.asarray(us) ** 2 - u0 * u0, 0.0))
            return [float(a) for a in model(u0, method, ts).get_magnification(ts, **kwargs)]

        return Case("MulensModel", method, source, curve, at)

    uniform = ["finite_source_uniform_Gould94", "finite_source_uniform_Gould94_direct",
               "finite_source_uniform_WittMao94", "finite_source_uniform_Lee09"]
    limb = ["finite_source_LD_Yoo04", "finite_source_LD_Yoo04_direct",
            "finite_source_LD_WittMao94", "finite_source_LD_Lee09"]
    return [case(m, UNIFORM) for m in uniform] + [case(m, LIMB) for m in limb]


# --------------------------------------------------------------------------
# Timing and accuracy.
# --------------------------------------------------------------------------

def time_per_point(case: Case, args) -> tuple[float, int]:
    """Median seconds per light-curve point, and how many points were timed.

    A warm-up call on 20 of the points comes first (tables are loaded on
    first use), then one call on the whole curve; further repeats follow as
    long as they fit in the time budget (each run looping the call for at
    least `min_time` seconds), up to `args.repeat` of them, and the median of
    those runs (of the single one, for the slowest methods) is taken.
    With --quick, a method that the warm-up shows would take longer than the
    budget for the whole curve is timed on an evenly spaced subset that fits;
    costs paid once per call then weigh more per point.
    """
    pilot_selection = np.linspace(0, POINTS - 1, 20).round().astype(int)
    pilot = case.curve(pilot_selection)
    pilot()
    selection = np.arange(POINTS)
    if args.quick:
        start = time.perf_counter()
        pilot()
        per_point = (time.perf_counter() - start) / len(pilot_selection)
        if per_point * POINTS > args.budget:
            count = max(len(pilot_selection), int(args.budget / per_point))
            selection = np.unique(np.linspace(0, POINTS - 1, count).round().astype(int))

    timer = timeit.Timer(case.curve(selection))
    first = timer.timeit(1)
    number = max(1, math.ceil(args.min_time / first))
    repeats = min(args.repeat, int((args.budget - first) / (first * number)))
    if repeats >= 3:
        runs = [run / number for run in timer.repeat(repeat=repeats, number=number)]
    else:
        runs = [first] + [run / number for run in timer.repeat(repeat=max(0, repeats), number=number)]
    return statistics.median(runs) / len(selection), len(selection)


def worst_error(case: Case, references: dict[float, mpmath.mpf]) -> tuple[float, float]:
    """Largest relative error over the check points, and its u / rho."""
    l = np.array(sorted(references))
    values = case.at(l * RHO)
    errors = [abs((mpmath.mpf(v) - references[x]) / references[x]) for x, v in zip(l, values)]
    worst = max(range(len(errors)), key=lambda i: errors[i])
    return float(errors[worst]), float(l[worst])


def version(distribution: str) -> str:
    try:
        return importlib.metadata.version(distribution)
    except importlib.metadata.PackageNotFoundError:
        return "?"


def markdown_table(header: list[str], rows: list[list[str]]) -> str:
    widths = [max(len(str(cell)) for cell in column) for column in zip(header, *rows)]
    numeric = [False, False, False, True, True]

    def line(cells):
        return "| " + " | ".join(
            str(c).rjust(w) if numeric[i] else str(c).ljust(w) for i, (c, w) in enumerate(zip(cells, widths))
        ) + " |"

    rule = "|" + "|".join(("-" * (w + 1) + ":") if numeric[i] else (":" + "-" * (w + 1)) for i, w in enumerate(widths)) + "|"
    return "\n".join([line(header), rule] + [line(row) for row in rows])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--quick",
        action="store_true",
        help="3 repeats, 1 s per method (slow methods on a subset of the curve), 20-digit reference",
    )
    args = parser.parse_args()
    args.repeat = 3 if args.quick else 5
    args.budget = 1.0 if args.quick else 4.0  # seconds of timing per method
    args.min_time = 0.02 if args.quick else 0.05
    digits = 20 if args.quick else 25
    started = time.perf_counter()

    times, u = light_curve()
    cases = kelvora_cases(times, u)
    missing = []
    for name, build in [("VBMicrolensing", vbmicrolensing_cases), ("MulensModel", mulensmodel_cases)]:
        try:
            cases += build(times, u)
        except Exception as error:  # ImportError, or a peer that fails at set-up
            missing.append(f"{name} ({type(error).__name__}: {error})")

    print(
        f"single lens, finite source: rho = {RHO}, u0 = {U0}, tE = {T_E} d, {POINTS} points over"
        f" t - t0 in [-2, 2] d; CPython {platform.python_version()}, numpy {np.__version__}"
    )
    print(
        "versions: " + ", ".join(f"{d} {version(d)}" for d in ("kelvora", "VBMicrolensing", "MulensModel", "mpmath"))
    )
    for line in missing:
        print(f"not available: {line}")
    print(f"limb darkening: u = {LIMB_U} (kelvora I(r), VBMicrolensing a1), Gamma = {LIMB_GAMMA:.6g} (MulensModel gamma)")

    mpmath.mp.dps = digits
    start = time.perf_counter()
    references = {
        UNIFORM: {l: reference_magnification(l * RHO, RHO, 0.0) for l in CHECK_L},
        LIMB: {l: reference_magnification(l * RHO, RHO, LIMB_U) for l in CHECK_L},
    }
    print(f"reference ({digits}-digit mpmath quadrature, {time.perf_counter() - start:.0f} s), u/rho: magnification uniform / limb-darkened")
    for l in CHECK_L:
        print(f"  {l:5}: {mpmath.nstr(references[UNIFORM][l], 17):>20} / {mpmath.nstr(references[LIMB][l], 17)}")
    print()

    rows = []
    for case in cases:
        try:
            seconds, timed = time_per_point(case, args)
            time_cell = f"{seconds * 1e6:.3g}"
            if timed < POINTS:
                time_cell += f" (on {timed} points)"
        except Exception as error:
            time_cell = f"failed: {type(error).__name__}: {error}"
        try:
            error, where = worst_error(case, references[case.source])
            error_cell = f"{error:.1e} at {where:g}"
        except Exception as error:
            error_cell = f"failed: {type(error).__name__}: {error}"
        rows.append([case.library, f"`{case.method}`", case.source, time_cell, error_cell])

    print(markdown_table(["library", "method", "source", "time per point [us]", "max relative error (at u/rho)"], rows))
    print()
    print(f"total {time.perf_counter() - started:.0f} s")


if __name__ == "__main__":
    main()
