#!/usr/bin/env python3
"""Chebyshev tables of the small-source expansion of the finite-source
magnification.  Writes fspl/core/small_source_table.hpp.

For |x| < 2 the point-lens magnification is a series in x^2,

    x A0(x) = (1 + x^2/2) / sqrt(1 + x^2/4) = sum_k a_k x^(2k),
    a_k = binom(-1/2, k) 4^-k + binom(-1/2, k-1) 4^(1-k) / 2
        = 1, 3/8, -5/128, 7/1024, ...

so that over a source of radius rho (in Einstein radii) centred at u = z rho
from the lens, with radial brightness I(r),

    F A(u, rho) = sum_k a_k rho^(2k-1) M_(2k-1)(z),
    M_p(z) = (1/pi) int_disk I(r) |z + r|^p d^2r,   F = M_0 = 2 int I r dr,

which converges while rho (z + 1) < 2 and whose terms fall off like
(rho (z + 1))^2 (Witt & Mao 1994 give the first term for the uniform disk;
Yoo et al. 2004, ApJ 603, 139, the first two for small sources).  The
angular integral is elliptic: with m = 4 z r / (z + r)^2,

    int_0^2pi (z^2 + r^2 + 2 z r cos phi)^(p/2) dphi = 4 (z + r)^p J_p(m),
    J_p(m) = int_0^pi/2 (1 - m sin^2 t)^(p/2) dt,
    J_-1 = K(m), J_1 = E(m),
    J_(p+2) = ((p + 1)/(p + 2)) (2 - m) J_p - (p/(p + 2)) (1 - m) J_(p-2)

(by parts; J_3 = (2 (2 - m) E - (1 - m) K)/3), and the radial integral is
taken by double-exponential (tanh-sinh) quadrature on [0, z] and [z, 1],
whose ends carry the logarithm of K at r = z and the root of mu at r = 1.

The four profiles the laws are made of, I = 1, mu, mu^2 and sqrt(mu) (mu =
sqrt(1 - r^2)): the linear law is (1 - u1) + u1 mu; the quadratic law
(1 - u1 - u2) + (u1 + 2 u2) mu - u2 mu^2; the square-root law
(1 - c - d) + c mu + d sqrt(mu).  For each of them and p = -1, 1, 3, 5, 7
(five terms of the series) the tables hold M_p(z) for 0 <= z < 3 as
Chebyshev series of degree DEGREE on intervals halving towards the limb,
z = 1, where M_p has a singularity of the kind (1 - z)^q log|1 - z|:

    inside,  t = 1 - z^2 in [2^-(k+1), 2^-k],  k = 0 .. INNER - 1;
    outside, w = z - 1   in [2^-k, 2^(1-k)],   k = 0 .. OUTER - 1,

each mapped to x in [-1, 1] (x = 2^(k+2) t - 3 and x = 2^(k+1) w - 3).
Within 2^-INNER of the limb in t, or 2^-(OUTER - 1) in w, the tables do not
reach: there the magnification keeps its quadrature.

RHO_MAX[level]: the largest rho at which the rest of the series, from the
sixth term on, stays below LEVEL_TOLERANCE[level]/20 relative to A for each
of the four profiles and every z < 3 (a combination with weights of both
signs loses at most a factor MAX_CANCELLATION, checked at run time, which
leaves a fifth of the tolerance).

The moments are checked against mpmath (hypergeometric angular integral,
tanh-sinh radial quadrature at 30 digits) at a sample of points, and each
interval's series against the moments at points between its nodes; both
worst errors are printed and written into the header.

Usage:  python3 tools/gen_fspl_small_source_table.py [output.hpp] [--check N]
"""

import argparse
import sys
from fractions import Fraction
from pathlib import Path

import numpy as np
from numpy.polynomial import chebyshev
from scipy.special import ellipe, ellipkm1

DEGREE = 16
INNER = 20
OUTER = 21
POWERS = (-1, 1, 3, 5, 7)
PROFILES = ("uniform", "mu", "mu2", "sqrt_mu")
FLUX = (1.0, 2.0 / 3.0, 0.5, 0.8)
LEVEL_TOLERANCE = (1e-9, 1e-8, 1e-7, 1e-6, 1e-5, 1e-4, 1e-3)
MAX_CANCELLATION = 4.0


def series_coefficients(n):
    """a_k, k < n, of x A0(x) = sum a_k x^(2k), exactly."""
    def binom_half(k):  # binom(-1/2, k)
        out = Fraction(1)
        for i in range(k):
            out *= Fraction(-1, 2) - i
            out /= i + 1
        return out
    return [binom_half(k) / 4**k + (binom_half(k - 1) / 4 ** (k - 1) / 2 if k > 0 else 0) for k in range(n)]


def tanh_sinh(h=1.0 / 64, t_max=3.6):
    """Nodes on [0, 1] with their distances from both ends, and weights."""
    t = np.arange(-t_max, t_max + h / 2, h)
    g = 0.5 * np.pi * np.sinh(t)
    x = 1.0 / (1.0 + np.exp(-2.0 * g))
    one_minus_x = 1.0 / (1.0 + np.exp(2.0 * g))
    w = h * 0.5 * np.pi * np.cosh(t) / (2.0 * np.cosh(g) ** 2)
    return x, one_minus_x, w


X, XM, W = tanh_sinh()


def angular(powers, m, m1):
    """J_p(m) for the odd p in powers, m1 = 1 - m given exactly."""
    k = ellipkm1(m1)
    e = ellipe(m)
    j = {-1: k, 1: e}
    p = 1
    while p < max(powers):
        j[p + 2] = ((p + 1) / (p + 2)) * (2 - m) * j[p] - (p / (p + 2)) * m1 * j[p - 2]
        p += 2
    return j


def profile(name, r, one_minus_r):
    mu2 = one_minus_r * (1.0 + r)
    return {"uniform": np.ones_like(r), "mu": np.sqrt(mu2), "mu2": mu2, "sqrt_mu": mu2**0.25}[name]


def moments(z, powers=POWERS):
    """{(profile, p): M_p(z)} for one z >= 0."""
    pieces = []
    if 0.0 < z < 1.0:
        pieces.append((z * X, z * XM, 1.0 - z * X, z))                # [0, z], z - r = z (1 - x)
        pieces.append((z + (1 - z) * X, (1 - z) * X, (1 - z) * XM, 1 - z))  # [z, 1]
    else:
        pieces.append((X, (z - 1.0) + XM if z > 0 else X, XM, 1.0))
    out = {}
    for r, gap, one_minus_r, length in pieces:
        s = z + r
        m1 = (gap / s) ** 2
        m = 1.0 - m1  # 4 z r/(z + r)^2, never above 1
        j = angular(powers, m, m1)
        for name in PROFILES:
            b = profile(name, r, one_minus_r) * r * W * length
            for p in powers:
                out[name, p] = out.get((name, p), 0.0) + 4.0 / np.pi * np.sum(b * s**p * j[p])
    return out


def moments_mpmath(name, p, z, dps=30):
    import mpmath as mp
    mp.mp.dps = dps
    z = mp.mpf(z)

    def f(r):
        mu2 = 1 - r * r
        b = {"uniform": 1, "mu": mp.sqrt(mu2), "mu2": mu2, "sqrt_mu": mu2 ** mp.mpf(0.25)}[name]
        if z == 0:
            return b * r ** (p + 1) * mp.pi / 2
        s = z + r
        if p == -1:  # K(m) = pi / (2 agm(1, k')), k' = |z - r|/(z + r)
            if r == z:
                return 0  # the logarithm's point, of no measure (a node quad may place on a split)
            return b * r / s * mp.pi / (2 * mp.agm(1, abs(z - r) / s))
        return b * r * s**p * mp.pi / 2 * mp.re(mp.hyp2f1(-mp.mpf(p) / 2, 0.5, 1, 4 * z * r / s**2))
    return float(4 / mp.pi * mp.quad(f, [0, z, 1] if 0 < z < 1 else [0, 1]))


def z_inner(k, x):
    t = (np.asarray(x) + 3.0) / 2.0 ** (k + 2)
    return np.sqrt(1.0 - t)


def z_outer(k, x):
    return 1.0 + (np.asarray(x) + 3.0) / 2.0 ** (k + 1)


def fit(z_of):
    """Chebyshev coefficients [name][p] on one interval, and the worst relative
    error at the points halfway between the nodes."""
    n = DEGREE + 1
    nodes = np.cos(np.pi * (np.arange(n) + 0.5) / n)
    values = [moments(float(z_of(x))) for x in nodes]
    coefficients = {}
    check = np.cos(np.pi * np.arange(1, n) / n)
    values_check = [moments(float(z_of(x))) for x in check]
    worst = 0.0
    for key in values[0]:
        if not all(np.isfinite(v[key]) for v in values + values_check):
            raise SystemExit(f"non-finite moment {key} on an interval")
        c = chebyshev.chebfit(nodes, [v[key] for v in values], DEGREE)
        coefficients[key] = c
        exact = np.array([v[key] for v in values_check])
        worst = max(worst, float(np.max(np.abs(chebyshev.chebval(check, c) / exact - 1))))
    return coefficients, worst


def rho_max():
    """Per level, the largest rho whose series rest stays below tolerance/20."""
    terms = 14
    kept_terms = len(POWERS)
    a = [float(c) for c in series_coefficients(terms)]
    powers = tuple(range(-1, 2 * terms - 1, 2))
    zs = np.concatenate([np.linspace(0.0, 3.0, 61), 1 + np.array([-1e-3, -1e-6, 1e-6, 1e-3])])
    table = [moments(float(z), powers) for z in zs]

    def worst(rho):
        out = 0.0
        for mz in table:
            for name in PROFILES:
                kept = sum(a[k] * rho ** (2 * k - 1) * mz[name, 2 * k - 1] for k in range(kept_terms))
                rest = sum(a[k] * rho ** (2 * k - 1) * mz[name, 2 * k - 1] for k in range(kept_terms, terms))
                out = max(out, abs(rest / kept))
        return out

    limits = []
    for tolerance in LEVEL_TOLERANCE:
        lo, hi = 1e-3, 0.5
        for _ in range(60):
            mid = (lo * hi) ** 0.5
            lo, hi = (mid, hi) if worst(mid) <= tolerance / 20 else (lo, mid)
        # Rounded down to two digits.
        digits = 10 ** np.floor(np.log10(lo) - 1)
        limits.append(float(f"{np.floor(lo / digits) * digits:.2g}"))
    return limits


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("output", nargs="?", default=str(Path(__file__).resolve().parents[1] /
                                                         "fspl/core/small_source_table.hpp"))
    parser.add_argument("--check", type=int, default=24, help="moments checked against mpmath")
    args = parser.parse_args()

    inner, outer, worst_fit = [], [], 0.0
    for k in range(INNER):
        c, w = fit(lambda x, k=k: z_inner(k, x))
        inner.append(c)
        worst_fit = max(worst_fit, w)
    for k in range(OUTER):
        c, w = fit(lambda x, k=k: z_outer(k, x))
        outer.append(c)
        worst_fit = max(worst_fit, w)

    rng = np.random.default_rng(2004)
    worst_mp = 0.0
    samples = np.concatenate([[0.0, 0.5, 1 - 1e-5, 1 + 1e-5, 2.9], rng.uniform(0.0, 3.0, max(0, args.check - 5))])
    for i, z in enumerate(samples[: args.check]):
        m = moments(float(z))
        name = PROFILES[i % 4]
        p = POWERS[(i // 4) % len(POWERS)]
        worst_mp = max(worst_mp, abs(m[name, p] / moments_mpmath(name, p, float(z)) - 1))
    limits = rho_max()
    print(f"series fit: worst relative error {worst_fit:.2e} between the nodes", file=sys.stderr)
    print(f"moments against mpmath at {args.check} points: worst relative error {worst_mp:.2e}", file=sys.stderr)
    print(f"RHO_MAX = {limits}", file=sys.stderr)

    a = series_coefficients(len(POWERS))

    def block(intervals):
        rows = []
        for c in intervals:
            per_profile = []
            for name in PROFILES:
                lines = []
                for n in range(DEGREE + 1):
                    lines.append("{" + ", ".join(repr(float(c[name, p][n])) for p in POWERS) + "}")
                per_profile.append("{{\n            " + ",\n            ".join(lines) + "}}")
            rows.append("{{\n        " + ",\n        ".join(per_profile) + "}}")
        return "{{\n    " + ",\n    ".join(rows) + "}}"

    header = f"""// Generated by tools/gen_fspl_small_source_table.py; do not edit.
//
// The moments M_p(z) = (1/pi) int_disk I(r) |z + r|^p d^2r, p = -1, 1, ..., 7,
// of the profiles I = 1, mu, mu^2, sqrt(mu), as Chebyshev series of degree
// {DEGREE} in x on [-1, 1]: inside the limb on t = 1 - z^2 in [2^-(k+1), 2^-k]
// (x = 2^(k+2) t - 3), k < {INNER}; outside on w = z - 1 in [2^-k, 2^(1-k)]
// (x = 2^(k+1) w - 3), k < {OUTER}.  Indexed [k][profile][n][p].
// Worst relative error between the nodes {worst_fit:.1e}; the moments against
// mpmath {worst_mp:.1e}.
#pragma once

#include <array>

namespace kelvora::fspl::detail {{

inline constexpr int SMALL_SOURCE_DEGREE = {DEGREE};
inline constexpr int SMALL_SOURCE_INNER = {INNER};
inline constexpr int SMALL_SOURCE_OUTER = {OUTER};
inline constexpr int SMALL_SOURCE_PROFILES = {len(PROFILES)};
inline constexpr int SMALL_SOURCE_POWERS = {len(POWERS)};

// a_k of x A0(x) = sum_k a_k x^(2k): {", ".join(str(x) for x in a)}.
inline constexpr std::array<double, {len(POWERS)}> SMALL_SOURCE_SERIES = {{{", ".join(repr(float(x)) for x in a)}}};
// The fluxes 2 int I r dr of the four profiles.
inline constexpr std::array<double, 4> SMALL_SOURCE_FLUX = {{{", ".join(repr(x) for x in FLUX)}}};
// Per accuracy level, the largest rho the {len(POWERS)} terms serve (the rest below
// a twentieth of the level's tolerance), and the largest cancellation
// sum |w_j| F_j / |sum w_j F_j| of a profile's weights allowed.
inline constexpr std::array<double, 7> SMALL_SOURCE_RHO_MAX = {{{", ".join(repr(x) for x in limits)}}};
inline constexpr double SMALL_SOURCE_MAX_CANCELLATION = {MAX_CANCELLATION!r};

using SmallSourceInterval = std::array<std::array<std::array<double, {len(POWERS)}>, {DEGREE + 1}>, {len(PROFILES)}>;

inline constexpr std::array<SmallSourceInterval, {INNER}> SMALL_SOURCE_INNER_TABLE = {block(inner)};

inline constexpr std::array<SmallSourceInterval, {OUTER}> SMALL_SOURCE_OUTER_TABLE = {block(outer)};

}}  // namespace kelvora::fspl::detail
"""
    Path(args.output).write_text(header)


if __name__ == "__main__":
    main()
