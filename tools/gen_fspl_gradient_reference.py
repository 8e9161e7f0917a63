#!/usr/bin/env python3
"""Reference gradients of the finite-source point-lens magnification.

Writes tests/data/fspl_gradient_reference.csv: the flux-weighted
magnification A(u, rho) of a limb-darkened source and its derivatives with
respect to u, rho and the limb-darkening coefficients.

Definitions and laws are those of tools/gen_fspl_reference.py (imported here,
not copied): lengths in Einstein radii, A0(x) = (x^2 + 2)/(x sqrt(x^2 + 4)),
r the distance from the source centre in source radii, mu = sqrt(1 - r^2),

    A = int I A0 dSigma / int I dSigma = N / F   over the disk.

N and F are linear in the brightness, so for a coefficient c

    dA/dc = (N_c - A F_c) / F,

N_c and F_c being N and F with I replaced by dI/dc.  The coefficients are,
in order: linear u1; quadratic u1, u2; square-root c, d; power-2 c and
alpha (alpha enters nonlinearly, dI/dalpha = c mu^alpha ln mu); tabulated
the intensity at each node (not the nodes).

Every derivative is computed along two independent routes, and a row that
fails their agreement (AGREE, relative) stops the run: nothing is dropped.

Route 1: Witt & Mao (1994) uniform disks, differentiated under the integral.
With D(u, s) = pi s^2 A_U(u, s) the integral of A0 over the disk of radius s
about the source centre (Witt & Mao's closed form),

    N = I(mu=0) D(u, rho) + int_0^1 D(u, rho sqrt(1 - mu^2)) dI(mu)

(the Stieltjes form of the disk route of gen_fspl_reference), and the
derivatives of D are taken in closed form:

    dD/ds = 2 pi s A_ring(u, s),
    A_ring = 2/(pi (u + s) sqrt(4 + b)) (2 K + b Pi),
    dD/du = [ (u + s)((4 + b) E - b K) - 4 (u^2 + s^2) K/(u + s) ]
            / (u sqrt(4 + b)),

with b = (u - s)^2, n = 4 u s/(u + s)^2, m = k^2 = 4 n/(4 + b).  The first
is Green's theorem for the disk (the derivative of the disk integral with
respect to its radius is the circumference times the ring mean), i.e.
dA_U/drho = (2/rho)(A_ring - A_U).  The second is

    dA_U/du = g/(pi u rho^2) [b^2 V2 + (2 - s) b Pi - 2 s K],
    V2 = [n E + (k^2 - n) K + (2 n k^2 + 2 n - n^2 - 3 k^2) Pi]
         / (2 (n - 1)(k^2 - n))                (Byrd & Friedman 336.02),

g = 2/((u + rho) sqrt(4 + b)), s = u^2 + rho^2, simplified with the exact
identities n - 1 = -b/(u + s)^2, k^2 - n = -n b/(4 + b) and
2 n k^2 + 2 n - n^2 - 3 k^2 = 2 n b (u^2 + s^2 - 2)/((4 + b)(u + s)^2):
the two Pi terms cancel identically, leaving K and E only, which also
removes the cancellation of the Byrd & Friedman form near s = u.  Before
the table the generator checks both forms (and dA_U/drho) against mpmath's
numerical derivative of the Witt & Mao closed form (self_test).  K, E, Pi
are Carlson's R_F, R_D, R_J (Carlson 1995) with exact complements, as in
the disk route of gen_fspl_reference.  So

    dA/du   = [I(0) D_u(rho) + int D_u(s(mu)) dI] / F,
    dA/drho = [I(0) D_s(rho) + int sqrt(1 - mu^2) D_s(s(mu)) dI] / F - 2 A/rho,

(F = pi rho^2 int I 2 mu dmu here, itself found by the same quadrature),
and N_c, F_c by the same Stieltjes integrals over dI_c.  D_u and D_s are
logarithmically singular on the ring through the lens, s = u: the integrals
are split there and mpmath's tanh-sinh quadrature takes the endpoint
singularity.  The integration variable is v = mu^(1/4) as in
gen_fspl_reference; for dI/dalpha the density is
4 c v^(4 alpha - 1)(1 + 4 alpha ln v), still integrable.

Route 2: Heyrovsky (2003) ring integral, differentiated by finite
differences.  A = int_0^1 I(r) A_ring(u, rho r) 2r dr / int_0^1 I 2r dr, the
ring mean from the arithmetic-geometric-mean scheme of gen_fspl_reference
(a different algorithm for K and Pi), integrated over tau = arcsin(mu).  The
coefficient derivatives are differentiated under the integral (the kernel
does not depend on the coefficients): N_c = int dI/dc A_ring 2r dr, with F
and F_c in closed form.  The u and rho derivatives are not: d A_ring/du and
d A_ring/ds behave like 1/(s - u) at the ring through the lens, which is not
integrable, so for u < rho the derivative cannot be moved under the
integral (it would be a principal value).  Route 2 therefore differentiates
the whole ring-route magnification numerically, by the central difference

    f'(x) = (f(x + h) - f(x - h)) / (2 h) - h^2 f'''(x)/6 + O(h^4),

on every point (also u > rho, for uniformity), with h the power of two just
below FD_ETA delta = 1e-11 delta, delta = min(rho, |u - rho|, distance of u
from the tabulated nodes' radii rho sqrt(1 - mu_j^2)): the magnification is
analytic in u and rho except where the lens crosses the limb or a kink of
the tabulated profile, where it has logarithmic branch points, so delta
bounds the radius of convergence and the truncation error is of relative
order (h/delta)^2 = 1e-22 (less near the branch points, where f''' grows
only like 1/(x - x0)^2 against f' ~ ln|x - x0|).  The difference quotient
loses about log10(delta/h) = 11 digits (14 for the smallest u/rho, where
dA/du is O(u)), so the ring route is run at RING_DPS = 45 digits with its
quadrature held to RING_QUAD_TOL = 1e-38; the quadrature error of tanh-sinh
at a fixed level is a smooth function of u and rho (the nodes move smoothly
with the split points), so most of it is not amplified by 1/h as rounding
is.  The steps are powers of two so that u +- h and rho +- h are exact.
At u = 0 dA/du = 0 exactly (A is even in u); it is written as 0, and the
one-sided ring difference (A(h') - A(0))/h', h' = 2^20 h, is checked to be
O(h'/rho).

Cancellation far from the source.  For u >> rho, A = A0(u) + O(rho^2) and
dA/drho and dA/dc are of the size of A - A0(u), which for u = 1e6 is 1e-29
of A.  Both routes therefore integrate A_ring - c and D - pi s^2 c, with
c = A0(u) outside the source (u > rho) and c = 1 inside it (A - 1 ~ 2/rho^2
for large rho), and compute the kernels with enough extra bits for this
subtraction and for the cancellation within the Witt & Mao forms (which
grows like (u/rho)^2, and like u^6/rho^2 for dD/du).  mpmath's quadrature
stops on an absolute error estimate, so each integrand is divided by an
estimate of the integral's size (and the quadrature repeated with the
computed size if that estimate was poor).

Uniform disk: route 1 is the closed form itself (no quadrature); a third
route, mpmath's numerical derivative of the Witt & Mao closed form at raised
precision, is compared on those rows as well.

The lens on the limb, u = rho.  With a bright limb, I(0) > 0, the whole
disk's D_u and D_s diverge like ln|u - rho| with the weight I(0): dA/du =
-inf and dA/drho = +inf, written so by both routes (the value and the
coefficient derivatives, finite, are computed as elsewhere).  With a dark
limb (linear u1 = 1) they are finite: route 1 integrates the kernels as
elsewhere (their ln|s - u| now at the end mu = 0 of the interval, where
I' ~ 1), and route 2 takes one-sided differences from inside (u - h,
rho + h), as A is analytic in u and rho from inside up to the limb (the
(u - rho)^(3/2) term of the ring through the lens's limb appears only
outside), with h from the distance to the nearest other singularity.

The grid: u/rho in LS for rho in RHOS (and the uniform disk for
UNIFORM_ONLY_RHOS), and for sources of 30 to 100 Einstein radii a grid
dense about the limb (LARGE_LS), where the disks' complex singularities
s = u +- 2i lie within 2/rho of it.

Usage:  python3 tools/gen_fspl_gradient_reference.py [--add-missing] [output.csv]
Needs mpmath.  Uses two processes; the whole table takes about 40 minutes
(80 CPU minutes).  With --add-missing the existing table is read and only
the rows missing from it (a law at a point of the grid) are computed; its
rows are kept as they are and the new ones put in their places of the
grid's order, so the file is the one a whole run writes (the largest route
disagreements in its header are the larger of the table's and the run's).
This is how the rows of rho = 30, 60, 100, of u/rho = 1 +- 1e-7, of
the dark-limbed linear law and of the small sources (SMALL_RHOS) were added.
"""

import math
import multiprocessing
import sys
import time
from pathlib import Path

import mpmath as mp

sys.path.insert(0, str(Path(__file__).resolve().parent))
import gen_fspl_reference as ref  # noqa: E402

DPS = 32                          # working digits of route 1
QUAD_TOL = mp.mpf("1e-26")        # route 1: accepted relative quadrature error
RING_DPS = 45                     # working digits of route 2
RING_QUAD_TOL = mp.mpf("1e-38")   # route 2: accepted relative quadrature error
FD_ETA = 1e-11                    # route 2: step / distance to the singularity
AGREE = mp.mpf("1e-18")           # required relative agreement of the routes

RHOS = [1e-4, 1e-2, 0.1, 1.0, 10.0, 1e3]
UNIFORM_ONLY_RHOS = [1e-6]
LS = [0.0, 1e-3, 0.3, 0.7, 0.95, 0.999, 1 - 1e-6, 1 - 1e-7, 1 + 1e-7, 1 + 1e-6,
      1.001, 1.05, 1.5, 3.0, 7.9, 8.1, 30.0, 1e3]
# Sources of 30 to 100 Einstein radii, where the disks' complex singularities
# (s = u +- 2i) lie within 2/rho of the limb: a grid dense about the limb.
LARGE_RHOS = [30.0, 60.0, 100.0]
LARGE_LS = [0.0, 0.5, 0.9, 0.99, 0.999, 1 - 1e-4, 1 - 1e-7, 1.0, 1 + 1e-7,
            1 + 1e-4, 1.01, 1.1, 2.0, 3.0, 5.0]
# And the lens outside them, where A - 1 falls to 1e-10 and the closed forms'
# terms of size one cancel: u/rho = 1.03, 1.5 and 2.5, and either side of
# the lens 4 Einstein radii from the limb (u = rho + 3.9, rho + 4.1), from
# where the derivatives come from the sums of fspl/core/distant_lens.hpp.
LARGE_OUTSIDE_LS = [1.03, 1.5, 2.5]
DISTANT_OFFSETS = [3.9, 4.1]
# Small sources, where the magnification and its derivatives come from the
# small-source expansion's tables (fspl/core/small_source.hpp): either side
# of where the derivatives near the limb go back to the integral (2^-14 in
# t = 1 - (u/rho)^2 inside, in u/rho - 1 outside), for the laws made of the
# tables' profiles; rho = 0.03 within the default's reach, 0.14 within that
# of a tolerance of 1e-4.
SMALL_RHOS = [0.03, 0.14]
SMALL_LS = [0.2, 0.9, 1 - 5e-5, 1 - 2e-5, 1 - 1e-6, 1 + 1e-6, 1 + 2e-5, 1 + 8e-5, 1.6, 2.4, 2.95]

# (law, c1, c2, mu_nodes, intensities), as in gen_fspl_reference.
LAWS = [
    ("uniform", None, None, None, None),
    ("linear", 0.6, None, None, None),
    ("linear", 1.0, None, None, None),      # a dark limb: finite derivatives at u = rho
    ("quadratic", 0.4, 0.25, None, None),
    ("square-root", 0.3, 0.5, None, None),
    ("power-2", 0.7, 0.6, None, None),
    ("tabulated", None, None, (0.0, 0.1, 0.3, 0.6, 1.0), (0.25, 0.55, 0.75, 0.9, 1.0)),
]


# ---------------------------------------------------------------------------
# Point-lens magnification and its radial derivatives.

def a0(x):
    return (x * x + 2) / (x * mp.sqrt(x * x + 4))


def a0_prime(x):
    return -8 / (x * x * (x * x + 4) ** mp.mpf(1.5))


def a0_laplacian(x):
    """A0'' + A0'/x > 0 (A0 is subharmonic away from the lens)."""
    q = mp.sqrt(x * x + 4)
    return 8 / (x ** 3 * q ** 3) + 24 / (x * q ** 5)


def reference_level(u, rho):
    """The constant c subtracted from the kernels (see the docstring)."""
    return a0(u) if u > rho else mp.mpf(1)


def subtraction_bits(u, rho):
    """Bits lost forming A - c: log2 of A / (A - c), estimated."""
    with mp.workdps(20):
        u, rho = mp.mpf(u), mp.mpf(rho)
        if u > rho:
            ratio = a0(u) * 8 / (rho * rho * a0_laplacian(u))
        else:
            ratio = 1 + rho * rho / 2
        return max(0, int(mp.ceil(mp.log(ratio, 2))))


def route1_bits(u, rho):
    """Extra bits of the closed-form kernels of route 1: generous estimates
    of the cancellation (on this grid the loss measured against 500-bit
    evaluations stays below them)."""
    bits = 32 + subtraction_bits(u, rho)
    if u > rho:
        # Witt & Mao's D cancels by (u/rho)^2; the terms of dD/du are of
        # order sqrt(u^2 + 4), the result of order rho^2 |A0'(u)|.
        bits += int(math.ceil(2 * math.log2(u / rho)))
        bits += max(0, int(math.ceil(math.log2(u * u * (u * u + 4) ** 2 / (8 * rho * rho)))))
    elif u > 0:
        # dD/du is odd in u: O(u) against terms of order s, more for s >> 1.
        bits += int(math.ceil(2 * math.log2(rho / u) + 4 * math.log2(max(rho, 1.0)))) + 8
    return bits


def excess_scale(u, rho):
    """Rough size of A - c (c = reference_level), for the quadratures."""
    if u > rho:
        return rho * rho * a0_laplacian(u) / 8
    return mp.sqrt(1 + 4 / (rho * rho)) - 1


# ---------------------------------------------------------------------------
# Brightness profiles: the law and its derivatives with respect to each
# coefficient.

def unit_table(law, j):
    """The tabulated law with intensities e_j: dI/d(intensity_j)."""
    vals = tuple(1.0 if k == j else 0.0 for k in range(len(law[4])))
    return ("tabulated", None, None, law[3], vals)


def derivative_values(law, mu):
    """[dI/dc_k](mu), straight from the definitions of the laws (route 2)."""
    name, c1, c2, _, _ = law
    if name == "uniform":
        return []
    if name == "linear":
        return [-(1 - mu)]
    if name == "quadratic":
        return [-(1 - mu), -(1 - mu) ** 2]
    if name == "square-root":
        return [-(1 - mu), -(1 - mp.sqrt(mu))]
    if name == "power-2":
        c, a = mp.mpf(c1), mp.mpf(c2)
        ma = mu ** a
        return [-(1 - ma), c * ma * mp.log(mu)]
    return [ref.brightness(unit_table(law, j), mu) for j in range(len(law[4]))]


def flux_derivatives(law):
    """[dF/dc_k] with F = int_0^1 I 2 mu dmu, in closed form (route 2)."""
    name, c1, c2, _, _ = law
    if name == "uniform":
        return []
    third = mp.mpf(1) / 3
    if name == "linear":
        return [-third]
    if name == "quadratic":
        return [-third, -mp.mpf(1) / 6]
    if name == "square-root":
        return [-third, -mp.mpf(1) / 5]
    if name == "power-2":
        c, a = mp.mpf(c1), mp.mpf(c2)
        return [-a / (a + 2), -2 * c / (a + 2) ** 2]
    return [ref.ring_norm(unit_table(law, j)) for j in range(len(law[4]))]


def stieltjes_profiles(law):
    """The law and its coefficient derivatives for route 1.

    Each profile is ("terms", a0, [(a, p, log)]) meaning
    a0 + sum a mu^p (ln mu)^log, or ("table", law) for a piecewise-linear
    profile.
    """
    name, c1, c2, _, _ = law
    if name == "tabulated":
        return [("table", law)] + [("table", unit_table(law, j)) for j in range(len(law[4]))]
    i0, terms = ref.power_terms(law)
    out = [("terms", i0, [(a, p, 0) for a, p in terms])]
    one = mp.mpf(1)
    lin = ("terms", -one, [(one, one, 0)])                  # -(1 - mu)
    if name == "linear":
        out += [lin]
    elif name == "quadratic":
        out += [lin, ("terms", -one, [(2 * one, one, 0), (-one, 2 * one, 0)])]
    elif name == "square-root":
        out += [lin, ("terms", -one, [(one, one / 2, 0)])]
    elif name == "power-2":
        c, a = mp.mpf(c1), mp.mpf(c2)
        out += [("terms", -one, [(one, a, 0)]), ("terms", mp.mpf(0), [(c, a, 1)])]
    return out


def profile_at_limb(prof):
    if prof[0] == "table":
        return ref.brightness(prof[1], mp.mpf(0))
    return prof[1]


def profile_density(prof, v):
    """dI/dv at mu = v^4 (the Stieltjes measure in v)."""
    if prof[0] == "table":
        law = prof[1]
        nodes = [mp.mpf(x) for x in law[3]]
        vals = [mp.mpf(x) for x in law[4]]
        mu = v ** 4
        if mu <= nodes[0] or mu >= nodes[-1]:
            return mp.mpf(0)
        for j in range(len(nodes) - 1):
            if mu <= nodes[j + 1]:
                return (vals[j + 1] - vals[j]) / (nodes[j + 1] - nodes[j]) * 4 * v ** 3
        raise AssertionError
    total = mp.mpf(0)
    for a, p, lg in prof[2]:
        w = 4 * v ** (4 * p - 1)
        total += a * w * (4 * p * mp.log(v) + 1 if lg else p)
    return total


# ---------------------------------------------------------------------------
# Closed forms of the uniform disk (Witt & Mao 1994) and its derivatives.

def carlson_kep(u, s, d):
    """(K, E, Pi, b, w, n, p) at (u, s), d = u - s, by Carlson's integrals."""
    b = d * d
    w = u + s
    w2 = w * w
    n = 4 * u * s / w2
    p = b / w2                      # 1 - n
    mc = (4 * p + b) / (4 + b)      # 1 - m
    m = 4 * n / (4 + b)
    k = mp.elliprf(0, mc, 1)
    e = k - m / 3 * mp.elliprd(0, mc, 1)
    pi3 = k + n / 3 * mp.elliprj(0, mc, 1, p)
    return k, e, pi3, b, w, n, p


def disk_kernels(u, s, d, c):
    """(D - pi s^2 c, dD/du, dD/ds - 2 pi s c) at (u, s), d = u - s."""
    if s == 0:
        return mp.mpf(0), mp.mpf(0), mp.mpf(0)
    if u == 0:
        q = mp.sqrt(s * s + 4)
        return (mp.pi * s * (q - s * c), mp.mpf(0),
                2 * mp.pi * ((s * s + 2) / q - s * c))
    if d == 0:
        # A node on the logarithmic singularity: evaluate it a relative
        # distance 10^-dps away (it carries no weight at this precision).
        d = (u + s) * mp.mpf(10) ** (-mp.mp.dps)
    k, e, pi3, b, w, n, p = carlson_kep(u, s, d)
    q = mp.sqrt(4 + b)
    big_d = (w * q / 2 * e - d * (8 + u * u - s * s) / (2 * q) * k
             + 2 * b * (1 + s * s) / (w * q) * pi3)
    d_u = (w * ((4 + b) * e - b * k) - 4 * (u * u + s * s) * k / w) / (u * q)
    d_s = 4 * s / (w * q) * (2 * k + b * pi3)
    return big_d - mp.pi * s * s * c, d_u, d_s - 2 * mp.pi * s * c


def uniform_closed_form(u, rho):
    """(A_U, dA_U/du, dA_U/drho) from the closed forms (route 1, uniform)."""
    c = reference_level(u, rho)
    dt, du, ds = disk_kernels(u, rho, u - rho, c)
    area = mp.pi * rho * rho
    excess = dt / area
    return c + excess, du / area, ds / area - 2 * excess / rho


def witt_mao(u, rho):
    """A_U from Witt & Mao's closed form with mpmath's ellipk/ellipe/ellippi."""
    d = u - rho
    w = u + rho
    q = mp.sqrt(4 + d * d)
    n = 4 * u * rho / (w * w)
    m = 4 * n / (q * q)
    return (w * q / 2 * mp.ellipe(m) - d * (8 + u * u - rho * rho) / (2 * q) * mp.ellipk(m)
            + 2 * d * d * (1 + rho * rho) / (w * q) * mp.ellippi(n, m)) / (mp.pi * rho * rho)


def byrd_friedman_du(u, rho):
    """dA_U/du in the unsimplified form with V2 (Byrd & Friedman 336.02)."""
    d = u - rho
    b = d * d
    w = u + rho
    s = u * u + rho * rho
    n = 4 * u * rho / (w * w)
    k2 = 4 * n / (4 + b)
    g = 2 / (w * mp.sqrt(4 + b))
    kk, ee, pp = mp.ellipk(k2), mp.ellipe(k2), mp.ellippi(n, k2)
    v2 = ((n * ee + (k2 - n) * kk + (2 * n * k2 + 2 * n - n * n - 3 * k2) * pp)
          / (2 * (n - 1) * (k2 - n)))
    return g / (mp.pi * u * rho * rho) * (b * b * v2 + (2 - s) * b * pp - 2 * s * kk)


def ring_mean_mpmath(u, rho):
    d = u - rho
    b = d * d
    w = u + rho
    n = 4 * u * rho / (w * w)
    m = 4 * n / (4 + b)
    return 2 / (mp.pi * w * mp.sqrt(4 + b)) * (2 * mp.ellipk(m) + b * mp.ellippi(n, m))


def self_test():
    """Check the closed-form derivatives against mp.diff of Witt & Mao.

    Returns the worst relative disagreement of (B&F dA_U/du, simplified
    dA_U/du, dA_U/drho = (2/rho)(A_ring - A_U)).
    """
    points = [(0.5, 0.3), (0.3, 0.5), (1.2, 1.0), (1.0, 1.2), (2.0, 0.01),
              (0.01, 2.0), (5.0, 3.0), (1e-3, 1.1e-3), (1.1e-3, 1e-3),
              (0.999, 1.0), (1.001, 1.0), (40.0, 3.0), (7.0, 20.0), (0.2, 0.2002)]
    worst = [mp.mpf(0)] * 3
    with mp.workdps(50):
        for u, rho in points:
            u, rho = mp.mpf(u), mp.mpf(rho)
            with mp.workdps(110):
                num_u = mp.diff(lambda x: witt_mao(x, rho), u)
                num_r = mp.diff(lambda x: witt_mao(u, x), rho)
            bf = byrd_friedman_du(u, rho)
            simple = uniform_closed_form(u, rho)[1]
            dr = 2 / rho * (ring_mean_mpmath(u, rho) - witt_mao(u, rho))
            rels = [abs(bf / num_u - 1), abs(simple / num_u - 1), abs(dr / num_r - 1)]
            print(f"  self-test u={mp.nstr(u, 6)} rho={mp.nstr(rho, 6)}: dA_U/du (B&F form) "
                  f"{mp.nstr(rels[0], 3)}, dA_U/du (simplified) {mp.nstr(rels[1], 3)}, "
                  f"dA_U/drho {mp.nstr(rels[2], 3)}", flush=True)
            worst = [max(a, b) for a, b in zip(worst, rels)]
    if max(worst) > mp.mpf("1e-40"):
        raise RuntimeError(f"closed-form derivatives disagree with mp.diff: {worst}")
    return worst


# ---------------------------------------------------------------------------
# Quadrature with a relative stopping rule.

def split_mu(u, rho):
    """Interior split points in mu: the ring through the lens, the tabulated
    nodes and the points near the limb of gen_fspl_reference.limb_points."""
    pts = set(ref.limb_points(u, rho))
    for law in LAWS:
        if law[0] == "tabulated":
            pts.update(mp.mpf(x) for x in law[3])
    if 0 < u < rho:
        pts.add(mp.sqrt((rho - u) * (rho + u)) / rho)
    return sorted(x for x in pts if 0 < x < 1)


def rquad(f, pts, tol, what, scale=1):
    """int f over pts, to relative accuracy tol.

    mpmath stops on an absolute error estimate (its epsilon); the integrand
    is divided by scale, and if the integral turns out much smaller than
    that the quadrature is repeated with the computed size.
    """
    scale = mp.mpf(scale)
    for _ in range(4):
        val, err = mp.quad(lambda x: f(x) / scale, pts, error=True)
        if err <= tol * abs(val):
            return val * scale
        if val == 0 or abs(val) > mp.mpf("1e-3"):
            break
        scale *= abs(val)
    raise RuntimeError(f"{what}: quadrature error {mp.nstr(err, 3)} of {mp.nstr(val, 5)}")


# ---------------------------------------------------------------------------
# Route 1: Witt & Mao disks, differentiated under the Stieltjes integral.

def route1(u, rho, laws, bits):
    """[(A, dA/du, dA/drho, [dA/dc_k])] for each law."""
    c = reference_level(u, rho)
    area = mp.pi * rho * rho
    cache = {}

    def kernels(v):
        val = cache.get(v)
        if val is None:
            with mp.extraprec(bits):
                mu = v ** 4
                cv = mp.sqrt(1 - mu * mu)
                s = rho * cv
                d = (u - rho) + rho * mu * mu / (1 + cv)
                dt, du, ds = disk_kernels(u, s, d, c)
                val = (+dt, +du, +(cv * ds), +(cv * cv))
            cache[v] = val
        return val

    with mp.extraprec(bits):
        limb = disk_kernels(u, rho, u - rho, c)
    limb = [+x for x in limb] + [mp.mpf(1)]
    pts = [mp.mpf(0)] + [mp.root(x, 4) for x in split_mu(u, rho)] + [mp.mpf(1)]
    scales = [abs(x) if x != 0 else mp.mpf(1) for x in limb]
    out = []
    for law in laws:
        profs = stieltjes_profiles(law)
        dens_cache = {}

        def dens(v, profs=profs, dens_cache=dens_cache):
            val = dens_cache.get(v)
            if val is None:
                val = dens_cache[v] = [profile_density(prof, v) for prof in profs]
            return val

        ints = []          # per profile: [int of each kernel (with limb term)]
        for i, prof in enumerate(profs):
            i0 = profile_at_limb(prof)
            row = []
            for j in range(4):
                if (u == 0 and j == 1) or (i > 0 and j in (1, 2)):
                    # dA/du = 0 at u = 0; the coefficients need N_c and F_c only.
                    row.append(mp.mpf(0))
                    continue
                if u == rho and i0 != 0 and j in (1, 2):
                    # The lens on a bright limb: the whole disk's D_u and D_s
                    # diverge like ln|u - rho| with the weight I(0) > 0.
                    row.append(-mp.inf if j == 1 else mp.inf)
                    continue
                total = i0 * limb[j]
                if law[0] != "uniform":
                    what = f"route 1 {law} kernel {j} u={u} rho={rho}"
                    total += rquad(lambda v: dens(v)[i] * kernels(v)[j],
                                   pts, QUAD_TOL, what, scales[j])
                row.append(total)
            ints.append(row)
        flux = ints[0][3] * area
        excess = ints[0][0] / flux
        a_u = ints[0][1] / flux
        a_rho = ints[0][2] / flux - 2 * excess / rho
        grads = [(row[0] - excess * row[3] * area) / flux for row in ints[1:]]
        out.append((c + excess, a_u, a_rho, grads))
    return out


# ---------------------------------------------------------------------------
# Route 2: Heyrovsky rings, finite differences in u and rho.

def ring_mean_excess(u, s, d, c):
    """A_ring(u, s) - c by the AGM scheme, d = u - s."""
    if u == 0:
        return a0(s) - c
    if d == 0:
        d = (u + s) * mp.mpf(10) ** (-mp.mp.dps)
    b = d * d
    w = u + s
    w2 = w * w
    n = 4 * u * s / w2
    p = b / w2
    mc = (4 * p + b) / (4 + b)
    k, bpi = ref.agm_k_bpi(n, p, mc, b, w2)
    return 2 / (mp.pi * w * mp.sqrt(4 + b)) * (2 * k + bpi) - c


def ring_excess(u, rho, c, laws, bits, scale, with_coefficients):
    """A - c for each law (and dA/dc_k if asked), ring route."""
    cache = {}

    def kernel(tau):
        val = cache.get(tau)
        if val is None:
            with mp.extraprec(bits):
                s = rho * mp.cos(tau)
                if s <= 0:
                    val = mp.mpf(0)
                else:
                    d = (u - rho) + 2 * rho * mp.sin(tau / 2) ** 2 if tau < 1 else u - s
                    val = ring_mean_excess(u, s, d, c) * 2 * mp.sin(tau) * mp.cos(tau)
            cache[tau] = val = (+val, mp.sin(tau))
        return val

    pts = [mp.mpf(0)] + [mp.asin(x) for x in split_mu(u, rho)] + [mp.pi / 2]
    out = []
    for law in laws:
        what = f"route 2 {law} u={u} rho={rho}"
        flux = ref.ring_norm(law)
        excess = rquad(lambda t: ref.brightness(law, kernel(t)[1]) * kernel(t)[0],
                       pts, RING_QUAD_TOL, what, scale) / flux
        grads = []
        if with_coefficients:
            dcache = {}

            def dvals(t, law=law, dcache=dcache):
                val = dcache.get(t)
                if val is None:
                    val = dcache[t] = derivative_values(law, kernel(t)[1])
                return val

            for k, fk in enumerate(flux_derivatives(law)):
                nk = rquad(lambda t: dvals(t)[k] * kernel(t)[0],
                           pts, RING_QUAD_TOL, what + f" coefficient {k}", scale)
                grads.append((nk - excess * fk) / flux)
        out.append((excess, grads))
    return out


def fd_step(u, rho, laws):
    """Power of two just below FD_ETA times the distance to the nearest
    singularity of A(u, rho) (limb through the lens, tabulated kinks; at
    u = rho the nearest other one)."""
    delta = rho if u == 0 or u == rho else min(rho, abs(u - rho))
    for law in laws:
        if law[0] == "tabulated":
            for x in law[3]:
                if 0 < x < 1:
                    delta = min(delta, abs(u - rho * math.sqrt(1 - x * x)))
    return mp.ldexp(1, int(math.floor(math.log2(FD_ETA * delta))))


def route2(u, rho, laws, h):
    """[(A, dA/du, dA/drho, [dA/dc_k])] for each law, and the u = 0 check."""
    outside = u > rho
    bits = 24 + subtraction_bits(u, rho)

    def level(x):
        # At the kernels' precision: c(u +- h) is added back analytically.
        with mp.extraprec(bits):
            return a0(x) if outside else mp.mpf(1)

    scale = excess_scale(u, rho)

    def excess(uu, rr, coeffs=False):
        return ring_excess(uu, rr, level(uu), laws, bits, scale, coeffs)

    centre = excess(u, rho, True)

    def central(fp, fm):
        return (fp - fm) / (2 * h)

    check = None
    if u == rho:
        # The lens on the limb.  A bright limb: both derivatives infinite.  A
        # dark one (I(0) = 0): A is analytic in u and rho from inside up to
        # the limb (outside it gains a (u - rho)^(3/2) term), so one-sided
        # differences from inside, (-3 f(0) + 4 f(h) - f(2 h))/(2 h) + O(h^2)
        # with h towards the centre (u - h, rho + h).
        dark = [ref.brightness(law, mp.mpf(0)) == 0 for law in laws]
        eu = [excess(u - k * h, rho) for k in (1, 2)] if any(dark) else None
        er = [excess(u, rho + k * h) for k in (1, 2)] if any(dark) else None

        def inward(f0, f1, f2):
            return (-3 * f0 + 4 * f1 - f2) / (2 * h)

        a_u = [-inward(centre[i][0], eu[0][i][0], eu[1][i][0]) if dark[i] else -mp.inf
               for i in range(len(laws))]
        a_rho = [inward(centre[i][0], er[0][i][0], er[1][i][0]) if dark[i] else mp.inf
                 for i in range(len(laws))]
    else:
        if u == 0:
            a_u = [mp.mpf(0)] * len(laws)
            e1 = excess(h * 2 ** 20, rho)
            check = [abs(x[0] - y[0]) / (h * 2 ** 20) for x, y in zip(e1, centre)]
        else:
            ev = [excess(u + k * h, rho) for k in (1, -1)]
            slope = a0_prime(u) if outside else 0
            a_u = [slope + central(*(e[i][0] for e in ev)) for i in range(len(laws))]
        ev = [excess(u, rho + k * h) for k in (1, -1)]
        a_rho = [central(*(e[i][0] for e in ev)) for i in range(len(laws))]
    c = level(u)
    out = [(c + x[0], du, dr, x[1]) for x, du, dr in zip(centre, a_u, a_rho)]
    return out, check


# ---------------------------------------------------------------------------
# Route 3 (uniform disk only): mp.diff of the Witt & Mao closed form.

def route3_uniform(u, rho, bits):
    """(dA_U/du, dA_U/drho) by mp.diff of the Witt & Mao closed form
    (gen_fspl_reference.disk_integral), at raised precision."""
    outside = u > rho

    def excess(uu, rr):
        c = a0(uu) if outside else 1
        return ref.disk_integral(uu, rr, uu - rr) / (mp.pi * rr * rr) - c

    with mp.extraprec(bits + 64):
        a_rho = mp.diff(lambda x: excess(u, x), rho, h=rho * mp.mpf(2) ** -60)
        if u == 0:
            a_u = mp.mpf(0)
        else:
            h = min(u, abs(u - rho)) * mp.mpf(2) ** -60
            a_u = mp.diff(lambda x: excess(x, rho), u, h=h) + (a0_prime(u) if outside else 0)
    return +a_u, +a_rho


# ---------------------------------------------------------------------------

def rel(x, y):
    if x == y:
        return mp.mpf(0)
    return abs(x - y) / max(abs(x), abs(y))


def point(task):
    """Rows of one (rho, u/rho): (index, rows, disagreements, notes, secs)."""
    index, rho_d, l_d, laws = task
    t0 = time.time()
    u_d = rho_d * l_d
    notes = []
    with mp.workdps(DPS):
        u, rho = mp.mpf(u_d), mp.mpf(rho_d)
        bits = route1_bits(u_d, rho_d)
        r1 = route1(u, rho, laws, bits)
        # (The uniform disk's derivatives are infinite at u = rho.)
        u3 = route3_uniform(u, rho, bits) if laws[0][0] == "uniform" and u_d != rho_d else None
        if u_d == 0:
            # dA/du = 0 by symmetry; route 1 at a tiny u must give O(u).
            tiny = mp.mpf(rho_d * 1e-12)
            t1 = route1(tiny, rho, LAWS[:1], route1_bits(rho_d * 1e-12, rho_d))[0]
            notes.append(f"route 1 dA/du at u = 1e-12 rho: rho/A dA/du = "
                         f"{mp.nstr(t1[1] * rho / t1[0], 3)}")
    with mp.workdps(RING_DPS):
        u, rho = mp.mpf(u_d), mp.mpf(rho_d)
        h = fd_step(u_d, rho_d, laws)
        r2, check = route2(u, rho, laws, h)
        if check is not None:
            notes.append("route 2 (A(h) - A(0))/h * rho/A at u = 0: "
                         + " ".join(mp.nstr(x * rho / r[0], 3) for x, r in zip(check, r2)))
    worst = {"magnification": mp.mpf(0), "dA_du": mp.mpf(0), "dA_drho": mp.mpf(0),
             "dA_dcoefficients": mp.mpf(0), "uniform third route": mp.mpf(0)}
    rows = []
    for law, x, y in zip(laws, r1, r2):
        diffs = {"magnification": rel(x[0], y[0]), "dA_drho": rel(x[2], y[2]),
                 "dA_du": rel(x[1], y[1]) if u_d != 0 else mp.mpf(0),
                 "dA_dcoefficients": max([rel(a, b) for a, b in zip(x[3], y[3])],
                                         default=mp.mpf(0))}
        if u3 is not None and law[0] == "uniform":
            diffs["uniform third route"] = max(rel(x[1], u3[0]) if u_d != 0 else mp.mpf(0),
                                               rel(x[2], u3[1]))
        for key, val in diffs.items():
            if val > AGREE:
                raise RuntimeError(f"routes differ by {mp.nstr(val, 3)} in {key} for {law}, "
                                   f"u={u_d!r}, rho={rho_d!r}: route 1 {x}, route 2 {y}")
            worst[key] = max(worst[key], val)
        with mp.workdps(DPS):
            du = "0.0" if u_d == 0 else mp.nstr(x[1], 20)
            rows.append((law, u_d, rho_d, mp.nstr(x[0], 20), du, mp.nstr(x[2], 20),
                         " ".join(mp.nstr(g, 20) for g in x[3])))
    return index, rows, worst, notes, time.time() - t0


def tasks():
    """(index, rho, u/rho, laws) of every point of the table, in its order."""
    grid = [(rho, LS, LAWS if rho in RHOS else LAWS[:1]) for rho in UNIFORM_ONLY_RHOS + RHOS]
    grid += [(rho, sorted(LARGE_LS + LARGE_OUTSIDE_LS + [(rho + d) / rho for d in DISTANT_OFFSETS]), LAWS)
             for rho in LARGE_RHOS]
    grid += [(rho, SMALL_LS, LAWS[1:5]) for rho in SMALL_RHOS]
    out = []
    for rho, ls, laws in sorted(grid, key=lambda g: g[0]):
        for l in ls:
            out.append((len(out), rho, l, laws))
    return out


def fmt(x):
    return "" if x is None else repr(x)


def law_columns(law):
    """The first five columns of a row of the law."""
    name, c1, c2, nodes, vals = law
    mu_col = " ".join(map(repr, nodes)) if nodes else ""
    i_col = " ".join(map(repr, vals)) if vals else ""
    return f"{name},{fmt(c1)},{fmt(c2)},{mu_col},{i_col}"


WORST_KEYS = ["magnification", "dA_du", "dA_drho", "dA_dcoefficients", "uniform third route"]
WORST_PREFIX = "largest route disagreement per column: "


def read_existing(path):
    """The rows of an existing table by (law columns, u, rho), and its
    largest route disagreements (for --add-missing)."""
    rows, worst = {}, {}
    for line in path.read_text().splitlines():
        if line.startswith("#"):
            if WORST_PREFIX in line:
                for item in line.split(WORST_PREFIX, 1)[1].rstrip(".").split(", "):
                    key, _, value = item.rpartition(" ")
                    worst[key] = mp.mpf(value)
            continue
        if not line.strip() or line.startswith("law,"):
            continue
        cells = line.split(",")
        rows[(",".join(cells[:5]), float(cells[5]), float(cells[6]))] = line
    return rows, worst


def table_lines(work, rows, worst):
    """The table: header, then per law its rows in the grid's order (those
    in rows, by (law columns, u, rho))."""
    lines = [
        "# Gradient of the finite-source point-lens magnification of limb-darkened stars,",
        f"# generated by tools/gen_fspl_gradient_reference.py (mpmath {mp.__version__}; "
        f"route 1 at {DPS} digits, route 2 at {RING_DPS}, more far from the source).",
        "# Route 1: Witt & Mao (1994) uniform disks superposed over dI(mu), differentiated under",
        "#   the integral with closed-form dD/du, dD/ds (Carlson R_F, R_D, R_J).",
        "# Route 2: Heyrovsky (2003) ring integral (AGM); coefficients under the integral, u and rho",
        "#   by central differences (step 1e-11 of the distance to the nearest singularity;",
        "#   one-sided from inside at u = rho).",
        "# Uniform rows: also mp.diff of the Witt & Mao closed form (third route).",
        f"# Required relative agreement {mp.nstr(AGREE, 2)}; {WORST_PREFIX}"
        + ", ".join(f"{k} {mp.nstr(worst.get(k, mp.mpf(0)), 2)}" for k in WORST_KEYS) + ".",
        "# Inputs are exact doubles (u = rho*(u/rho) in double); values to 20 digits; at u = 0",
        "# dA_du = 0 by symmetry; at u = rho on a bright limb (I(0) > 0) dA_du = -inf and",
        "# dA_drho = +inf.  dA_dcoefficients: linear u1; quadratic u1 u2; square-root c d;",
        "# power-2 c alpha; tabulated d/d(intensity) at each node.",
        "law,c1,c2,mu_nodes,intensities,u,rho,magnification,dA_du,dA_drho,dA_dcoefficients",
    ]
    count = 0
    for law in LAWS:
        name, c1, c2, nodes, vals = law
        desc = name
        if c1 is not None:
            desc += f" c1={c1!r}" + (f" c2={c2!r}" if c2 is not None else "")
        if nodes is not None:
            desc += (f" mu_nodes=({' '.join(map(repr, nodes))}) "
                     f"intensities=({' '.join(map(repr, vals))})")
        lines.append(f"# {desc}")
        for _, rho, l, laws in work:
            k = (law_columns(law), rho * l, rho)
            if law in laws and k in rows:
                lines.append(rows[k])
                count += 1
    return lines, count


def main():
    root = Path(__file__).resolve().parent.parent
    args = sys.argv[1:]
    add_missing = "--add-missing" in args
    args = [a for a in args if a != "--add-missing"]
    out = Path(args[0]) if args else root / "tests/data/fspl_gradient_reference.csv"
    t0 = time.time()
    ref.check_agm()
    print("self-test of the closed-form derivatives of the uniform disk:", flush=True)
    st = self_test()
    print(f"  worst: B&F form {mp.nstr(st[0], 3)}, simplified {mp.nstr(st[1], 3)}, "
          f"dA_U/drho {mp.nstr(st[2], 3)}", flush=True)
    work = tasks()
    rows, worst = read_existing(out) if add_missing else ({}, {})

    # With --add-missing only the laws missing from the table at each point
    # are computed (the written values are route 1's, which do not depend on
    # the other laws of the point).
    todo = []
    for index, rho, l, laws in work:
        missing = [law for law in laws if (law_columns(law), rho * l, rho) not in rows]
        if missing:
            todo.append((index, rho, l, missing))
    print(f"{len(rows)} rows kept from {out}; {sum(len(t[3]) for t in todo)} rows "
          f"at {len(todo)} points to compute", flush=True)
    order = sorted(todo, key=lambda t: (-len(t[3]), -t[2]))
    computed = 0
    with multiprocessing.Pool(2) as pool:
        for done, (index, new, w, notes, secs) in enumerate(
                pool.imap_unordered(point, order, chunksize=1), 1):
            for law, u, rho, a, du, dr, grads in new:
                rows[(law_columns(law), u, rho)] = (f"{law_columns(law)},{u!r},{rho!r},"
                                                    f"{a},{du},{dr},{grads}")
            computed += len(new)
            for k, val in w.items():
                worst[k] = max(worst.get(k, mp.mpf(0)), val)
            # The table is written after every point: a run stopped on the way
            # leaves the rows it has, and --add-missing goes on from there.
            lines, count = table_lines(work, rows, worst)
            out.write_text("\n".join(lines) + "\n")
            _, rho, l, laws = work[index]
            print(f"[{done}/{len(order)}] rho={rho!r} u/rho={l!r} laws={len(new)} {secs:.1f}s "
                  + " ".join(f"{k}={mp.nstr(v, 2)}" for k, v in w.items())
                  + f"  (elapsed {time.time() - t0:.0f}s)", flush=True)
            for note in notes:
                print("    " + note, flush=True)
    lines, count = table_lines(work, rows, worst)
    out.write_text("\n".join(lines) + "\n")
    print(f"wrote {count} rows ({computed} computed) to {out} in {time.time() - t0:.0f}s; "
          "largest route differences "
          + ", ".join(f"{k} {mp.nstr(v, 3)}" for k, v in worst.items()), flush=True)


if __name__ == "__main__":
    main()
