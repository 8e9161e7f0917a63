#!/usr/bin/env python3
"""Reference values of the elliptic integrals for tests/cpp/test_elliptic.cpp.

Writes tests/data/elliptic_reference.csv with mpmath evaluated at 50
significant digits (override with --dps, at least 50).  Every argument is a
double (printed with 17 significant digits so that it reads back exactly) and
is converted to mpmath exactly; every value is the correctly rounded double of
the high-precision result, printed with 17 significant digits, so the C++ test
can measure its error in ulps.

Columns: function,branch,a1,a2,a3,a4,value
  function  elliprf | elliprd | elliprj | elliprc | ellipk | ellipe | ellippi
  branch    the code path the arguments select (see BRANCHES below); rows of a
            function/branch pair are contiguous
  a1..a4    arguments in call order (empty when the routine takes fewer);
            ellippi is (n, m)
  value     reference value

Two branches are not the mathematical integral:
  ellipk/neg_poly   the Cephes form P_K(x) - log(x) Q_K(x) at x = 1 - m > 1 with
                    the double coefficients taken exactly (K is deliberately not
                    transformed for m < 0, so the true K(m) is not the target);
  ellipk/neg_true   the true K(m) for m < 0, used only to check the size of the
                    deviation of the untransformed approximation.

Usage:  python3 tools/gen_elliptic_reference.py [--dps 50] [--out PATH]
"""

from __future__ import annotations

import argparse
import os
import sys

import mpmath
from mpmath import mp, mpf

# Cephes ellpk.c / ellpe.c coefficients, highest power first (as doubles).
PK = [0.00013798286460627325, 0.0022802572400587558, 0.0079740401322041521,
      0.0098582137902122596, 0.006874896874499499, 0.006189010336376876,
      0.008790782739527438, 0.014938044891680526, 0.030885146524671201,
      0.096573590281169019, 1.3862943611198906]
QK = [2.9407895504859849e-05, 0.00091418472386591725, 0.0059405830375316776,
      0.01548505166497624, 0.023908960271592488, 0.030120471522760404,
      0.037377431417382326, 0.048828034757099827, 0.070312499696395747,
      0.12499999999987083, 0.5]


def g17(v: float) -> str:
    return "%.17g" % v


def to_double(v) -> float:
    """Correctly rounded double of a real mpf (via a long decimal string)."""
    # float(mpf) truncates (mpmath converts with its fast rounding mode), while
    # Python's float() of a decimal string rounds correctly; 45 digits leave no
    # double-rounding risk worth the name.
    return float(mpmath.nstr(v, mp.dps - 5))


def poly(coeffs, x):
    acc = mpf(0)
    for c in coeffs:
        acc = acc * x + mpf(c)
    return acc


def cephes_k(m: float):
    x = mpf(1) - mpf(m)
    return poly(PK, x) - mpmath.log(x) * poly(QK, x)


def rj_principal_value(x, y, z, p):
    """Cauchy principal value of RJ for p < 0.

    mpmath continues RJ to p < 0 off the real axis; the real part of that
    boundary value is the principal value (the imaginary part is the half
    residue).  It is cross-checked against the transformation to a positive
    parameter (DLMF 19.20(iii), Carlson 1995), which uses only mpmath's RJ at
    q > 0, RF and RC."""
    digits = mp.dps
    # The complex continuation loses a few digits; work with a margin.
    with mpmath.workdps(digits + 30):
        val = mpmath.re(mpmath.elliprj(x, y, z, p))
        a, b, c = sorted([x, y, z])
        q = (c * (a + b - p) - a * b) / (c - p)
        alt = ((q - c) * mpmath.elliprj(a, b, c, q) - 3 * mpmath.elliprf(a, b, c)
               + 3 * mpmath.sqrt(c * a * b / (a * b - p * q))
               * mpmath.elliprc(a * b - p * q, -p * q)) / (c - p)
    if abs(val - alt) > mpf(10) ** (-digits) * abs(val):
        raise ValueError(f"principal value mismatch for RJ{(x, y, z, p)}: {val} vs {alt}")
    return val


def rc_principal_value(x, y):
    """Principal value of RC for y < 0: the real part of mpmath's value (which
    for x = 0 is returned as a purely imaginary boundary value)."""
    return mpmath.re(mpmath.elliprc(x, y, pv=True))


def rows_for(fn, branch, args_list, f):
    out = []
    for args in args_list:
        args = tuple(float(a) for a in args)
        val = f(*[mpf(a) for a in args])
        if isinstance(val, mpmath.mpc):
            if abs(mpmath.im(val)) > mpf(10) ** (-(mp.dps - 10)) * abs(val):
                raise ValueError(f"complex reference for {fn}{args}: {val}")
            val = mpmath.re(val)
        d = to_double(val)
        cells = [g17(a) for a in args] + [""] * (4 - len(args))
        out.append(",".join([fn, branch] + cells + [g17(d)]))
    return out


def ring_args():
    """(n, m) pairs of the ring kernel: n = 4lr/(l+r)^2, m = n 4eta^2/(d^2+4eta^2)."""
    pairs = []
    for eta in (1.0, 0.1, 10.0, 0.01):
        for d in (1e-5, -1e-5, 1.01e-5, 1e-4, -1e-3, 1e-2, 0.1, -0.5):
            l = 1.0
            r = l - d
            q = d * d + eta * eta * 4
            m = (((eta * 4) / (l + r)) * ((l * r) / q) ** 0.5) ** 2
            n = ((l * 4) * r) / ((l + r) * (l + r))
            if m < 1 and n < 1:
                pairs.append((n, m))
    # Witt-Mao disk: n = 4 rho u/(rho+u)^2, m = (sqrt(4n)/s)^2, s = sqrt(delta^2+4).
    for rho in (1.0, 0.01, 0.1, 3.0):
        for li in (0.99998, 1.00002, 0.999, 1.001, 0.5, 1.5, 0.01, 10.0):
            u = rho * li
            delta = u - rho
            sig = rho + u
            n = (4 * rho * u) / (sig * sig)
            s = (delta * delta + 4) ** 0.5
            m = ((n * 4) ** 0.5 / s) ** 2
            if m < 1 and n < 1:
                pairs.append((n, m))
    return pairs


def build() -> list[str]:
    R = []
    rf, rd, rj, rc = mpmath.elliprf, mpmath.elliprd, mpmath.elliprj, mpmath.elliprc

    # --- RF -----------------------------------------------------------------
    R += rows_for("elliprf", "distinct", [
        (2, 3, 4), (1, 2, 4), (0.5, 1, 2), (1e-3, 1, 7), (10, 20, 30.5),
        (0.1, 0.2, 0.30000000000000004), (1e-10, 1, 1e10), (3.3, 1.1e-5, 0.7),
        (1, 1.0000001, 1.0000002), (1e-300, 1e-299, 1e-298), (1e200, 3e200, 7e199),
        (1, 2, 1e200),  # near the 11-pass limit: 1e250 no longer converges
        (0.25, 0.75, 1.5), (5, 0.01, 100),
    ], rf)
    R += rows_for("elliprf", "one_zero", [
        (1, 2, 0), (0, 0.5, 1), (0, 1e-10, 1), (3, 0, 7), (0, 1, 1e-300),
        (0, 1e300, 1), (2.5, 1e-5, 0), (0, 1, 1.0000000001),
    ], rf)
    R += rows_for("elliprf", "two_equal", [
        (2, 2, 5), (2, 2, 0.5), (1, 4, 1), (3, 0.25, 3), (7, 2, 2), (0.5, 9, 9),
        (2, 2, 0), (5, 0, 5), (0, 3, 3),
    ], rf)
    R += rows_for("elliprf", "all_equal", [(1, 1, 1), (4, 4, 4), (1e-300, 1e-300, 1e-300)], rf)

    # --- RD -----------------------------------------------------------------
    R += rows_for("elliprd", "mean_iteration", [
        (0, 2, 1), (0, 1, 2), (0, 0.3, 5), (0, 1e-10, 1), (0, 1, 1e-6), (0, 100, 1.5),
        (0, 1, 1.0000001),
    ], rd)
    R += rows_for("elliprd", "duplication", [
        (2, 3, 4), (1, 2, 3), (0.5, 1, 2), (1e-3, 1, 7), (4, 1, 2), (3, 0, 2), (2, 3, 2),
        (2, 2, 3), (1, 2, 2), (1e-5, 3, 0.25), (10, 1e-3, 50), (1e100, 2e100, 3e100),
    ], rd)
    R += rows_for("elliprd", "closed_form",
                  [(2, 2, 2), (0, 3, 3), (3, 0, 3), (1e-6, 1e-6, 1e-6)], rd)

    # --- RJ -----------------------------------------------------------------
    R += rows_for("elliprj", "p_positive", [
        (0, 1, 2, 3), (2, 3, 4, 5), (1, 2, 3, 0.5), (0.5, 1, 2, 100), (1e-3, 1, 7, 1e-5),
        (3, 1, 2, 2.5), (0.1, 0.2, 0.3, 0.25), (1, 2, 3, 2), (0, 1e-4, 1, 1e-5),
        (0, 0.5, 1, 0.5), (2, 1, 2, 1),  # x = z != y is not a two-equal pattern
        (1, 2, 3, 1),      # p = x: delta = 0, the e = 0 row of the RC(1, 1 + e) table
        (0, 1, 1936, 16),  # first pass has e = -1/2 exactly (sqrt args 0, 1, 44, 4)
        (0, 1e-10, 1, 1e-5),  # e close to -1: the RC(1, b) row
    ], rj)
    R += rows_for("elliprj", "p_negative", [
        (2, 3, 4, -0.5), (2, 3, 4, -5), (0, 1, 2, -1), (1, 2, 3, -0.1), (0.5, 1, 1.5, -10),
        (4, 3, 2, -2), (1, 1, 2, -1), (1, 2, 2, -3), (0, 1, 1, -0.5),
    ], rj_principal_value)
    R += rows_for("elliprj", "two_equal_rc", [
        (2, 2, 5, 1), (2, 2, 5, 3), (1, 3, 3, 10), (0, 2, 2, 0.5), (4, 1, 1, 0.25),
    ], rj)
    R += rows_for("elliprj", "two_equal_dup", [
        (2, 2, 5, 2.2), (1, 3, 3, 2.9), (0, 2, 2, 1.9), (4, 1, 1, 1.1), (2, 2, 0, 1.9),
    ], rj)
    R += rows_for("elliprj", "equals_rd", [
        (1, 2, 2, 2), (2, 3, 4, 4), (0, 1, 2, 2), (5, 5, 1, 5), (3, 1, 3, 3),
    ], rj)
    R += rows_for("elliprj", "all_equal", [(3, 3, 3, 3), (2, 2, 2, 5), (2, 2, 2, 0.5)], rj)
    # RC(x, p) - 1/sqrt(x) cancels for p < 0: a group of its own.
    R += rows_for("elliprj", "all_equal_pv", [(3, 3, 3, -1), (1, 1, 1, -0.25), (2, 2, 2, -8)],
                  rj_principal_value)

    # --- RC -----------------------------------------------------------------
    R += rows_for("elliprc", "x_zero", [(0, 0.25), (0, 1), (0, 7)], rc)
    R += rows_for("elliprc", "equal", [(2, 2), (0.25, 0.25)], rc)
    R += rows_for("elliprc", "y_gt_x",
                  [(1, 2), (0.25, 4), (1e-10, 1), (1, 1.0000001), (3, 1e10)], rc)
    R += rows_for("elliprc", "y_lt_x_near",
                  [(2.25, 2), (1, 0.75), (1, 0.5000001), (1.0000001, 1)], rc)
    R += rows_for("elliprc", "y_lt_x_far", [(1, 0.5), (1, 0.25), (1, 1e-10), (7, 0.01)], rc)
    R += rows_for("elliprc", "y_negative", [
        (0.25, -2), (0, -1), (1, -1), (1, -0.5), (2, -1e-10), (1e-10, -1), (3, -7),
    ], rc_principal_value)

    # --- K, E ---------------------------------------------------------------
    near0 = [1e-300, 1e-16, 1e-10, 1e-5, 1e-3, 0.01, 0.05]
    mid = [0.1, 0.2, 0.25, 0.3, 0.4, 0.5, 0.6, 0.7, 0.75, 0.8, 0.9, 0.95]
    near1 = [0.99, 0.999, 1 - 1e-6, 1 - 1e-9, 1 - 1e-12, 1 - 1e-15,
             1 - 2.0 ** -52, 1 - 2.0 ** -53]
    neg = [-1e-10, -0.01, -0.5, -1, -3, -10, -1e3, -1e6]
    R += rows_for("ellipk", "near_zero", [(m,) for m in near0], mpmath.ellipk)
    R += rows_for("ellipk", "mid", [(m,) for m in mid], mpmath.ellipk)
    R += rows_for("ellipk", "near_one", [(m,) for m in near1], mpmath.ellipk)
    # Below m = -3 the untransformed form leaves the range where it resembles
    # K at all (ellipk(-10) is about -1.9e4), so only m >= -3 is tabulated.
    R += rows_for("ellipk", "neg_poly", [(m,) for m in neg if m >= -3], cephes_k)
    R += rows_for("ellipk", "neg_true", [(m,) for m in neg], mpmath.ellipk)
    R += rows_for("ellipe", "near_zero", [(m,) for m in near0], mpmath.ellipe)
    R += rows_for("ellipe", "mid", [(m,) for m in mid], mpmath.ellipe)
    R += rows_for("ellipe", "near_one", [(m,) for m in near1], mpmath.ellipe)
    R += rows_for("ellipe", "negative", [(m,) for m in neg], mpmath.ellipe)

    # --- Pi -----------------------------------------------------------------
    R += rows_for("ellippi", "n_positive", [
        (0.5, 0.5), (0.1, 0.2), (0.9, 0.1), (0.3, 0.9), (0.99, 0.5), (0.5, 0),
        (0.25, -1), (0.7, -3), (1e-10, 0.5), (0.999999, 0.999), (0.5, 0.99999),
    ], mpmath.ellippi)
    # n < 0 calls ellipk(m), so m < 0 (untransformed K) is left out here.
    R += rows_for("ellippi", "n_negative", [
        (-0.5, 0.5), (-0.1, 0.2), (-1, 0.9), (-10, 0.3), (-1e-10, 0.5), (-0.5, 0),
        (-3, 0.99999), (-1e3, 0.5),
    ], mpmath.ellippi)
    R += rows_for("ellippi", "ring", ring_args(), mpmath.ellippi)
    return R


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--dps", type=int, default=50)
    here = os.path.dirname(os.path.abspath(__file__))
    ap.add_argument("--out", default=os.path.join(here, "..", "tests", "data",
                                                  "elliptic_reference.csv"))
    a = ap.parse_args()
    if a.dps < 50:
        ap.error("--dps must be at least 50")
    mp.dps = a.dps
    rows = build()
    header = [
        "# Elliptic-integral reference values for tests/cpp/test_elliptic.cpp.",
        f"# Generated by: python3 tools/gen_elliptic_reference.py --dps {a.dps}",
        f"# mpmath {mpmath.__version__}, {a.dps} significant digits; Python "
        f"{sys.version.split()[0]}.",
        "# Arguments are exact doubles; value is the correctly rounded double of the",
        "# mpmath result (17 significant digits). ellipk/neg_poly is the Cephes",
        "# polynomial form at x = 1 - m > 1 (exact coefficients), not the integral.",
        "function,branch,a1,a2,a3,a4,value",
    ]
    with open(a.out, "w", newline="\n") as fh:
        fh.write("\n".join(header + rows) + "\n")
    print(f"wrote {len(rows)} rows to {os.path.normpath(a.out)}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
