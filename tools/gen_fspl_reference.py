#!/usr/bin/env python3
"""Reference finite-source point-lens magnifications of limb-darkened stars.

Writes tests/data/fspl_reference.csv.

Lengths are in Einstein radii.  A point lens magnifies a point source at
distance x by A0(x) = (x^2 + 2)/(x sqrt(x^2 + 4)).  The source is a disk of
radius rho whose centre lies at distance u >= 0 from the lens; r is the
distance from the source centre in source radii and mu = sqrt(1 - r^2).  The
surface brightness I(mu) follows one of the laws

    uniform       I = 1
    linear        I = 1 - u1 (1 - mu)
    quadratic     I = 1 - u1 (1 - mu) - u2 (1 - mu)^2
    square-root   I = 1 - c (1 - mu) - d (1 - sqrt(mu))
    power-2       I = 1 - c (1 - mu^alpha)
    tabulated     I linear in mu between the nodes, constant beyond the
                  first and the last node,

and the magnification is the flux-weighted mean

    A = int I A0 dSigma / int I dSigma    over the source disk.

Each value is computed along two independent routes, with different
integrands, different integration variables and different algorithms for the
complete elliptic integrals; a row is written only if the two agree to 1e-18
relative (in practice they agree to 1e-29 or better, 4e-24 at worst).

Ring route (Heyrovsky 2003).  The disk is cut into rings about its centre:

    A = int_0^1 I(r) A_ring(u, rho r) 2r dr / int_0^1 I(r) 2r dr,

where A_ring(u, s) is the mean of A0 over the circle of radius s about the
source centre,

    A_ring = 2/(pi (u + s) sqrt(4 + b)) (2 K(m) + b Pi(n, m)),
    b = (u - s)^2,  n = 4 u s/(u + s)^2,  m = 4 n/(4 + b),

(parameter convention m = k^2), A_ring(u, 0) = A0(u), A_ring(0, s) = A0(s).
The complements 1 - n = b/(u + s)^2 and 1 - m = (4 (1 - n) + b)/(4 + b) are
formed without cancellation, and K and b Pi come from the quadratically
convergent arithmetic-geometric-mean scheme for complete integrals (DLMF
section 19.8(i)): with a0 = 1, g0 = sqrt(1 - m), p0 = sqrt(1 - n), Q0 = 1,

    p' = (p^2 + a g)/(2 p),  eps = (p^2 - a g)/(p^2 + a g),  Q' = Q eps/2,
    K = pi/(2 M),  b Pi = pi/(4 M) (2 b + n (u + s)^2 sum Q),

M the arithmetic-geometric mean of 1 and sqrt(1 - m); the product b Pi stays
finite as s -> u, where A_ring itself has a logarithmic singularity.  The
scheme is checked against mpmath's ellipk and ellippi before the run.  The
radial integral is taken in tau = arcsin(mu) (r = cos tau), which removes
the square-root behaviour of the mu-laws at the limb and keeps the distance
u - s = (u - rho) + 2 rho sin^2(tau/2) accurate near the limb.

Disk route (Witt & Mao 1994).  The brightness is a superposition of uniform
disks: with D(s) = int over the disk of radius s about the source centre of
A0 dSigma = pi s^2 A_U(u, s),

    F A = I(mu=0) D(rho) + int_0^1 D(rho sqrt(1 - mu^2)) dI(mu),
    F   = I(mu=0) pi rho^2 + int_0^1 pi rho^2 (1 - mu^2) dI(mu),

a Stieltjes integral over the brightness (the ring route with the derivative
moved from D onto I, but an independent integrand: it never uses the ring
mean).  A_U is the Witt & Mao closed form,

    pi s^2 A_U = (u + s) sqrt(4 + d^2)/2 E(m)
                 - d (8 + u^2 - s^2)/(2 sqrt(4 + d^2)) K(m)
                 + 2 d^2 (1 + s^2)/((u + s) sqrt(4 + d^2)) Pi(n, m),

d = u - s and n, m as above, with its limits D = 2s + (1 + s^2)(arcsin((s^2 -
1)/(s^2 + 1)) + pi/2) = 2s + 2 (1 + s^2) arctan(s) at s = u (the arctan form
stays accurate for small s) and D = pi s sqrt(s^2 + 4) at u = 0.  Here K
and Pi are Carlson's symmetric integrals (Carlson 1995, as implemented by
mpmath), K = R_F(0, 1 - m, 1), E = K - m/3 R_D(0, 1 - m, 1) and Pi = K + n/3
R_J(0, 1 - m, 1, 1 - n), again with exact complements (computing E from m
alone loses accuracy as m -> 1, near the ring through the lens).  The
integral runs over v = mu^(1/4): for an analytic law I = a0 + sum_j a_j mu^p_j, so dI =
sum_j a_j 4 p_j v^(4 p_j - 1) dv, which is bounded for every exponent used
(p >= 1/4); for a tabulated law dI is the segment slope times 4 v^3 dv.  F is
found by the same quadrature with D replaced by the disk area.

The three terms of D are each of order u^2 while D is of order s^2 A0(u), so
far from the source the closed form cancels by (u/rho)^2; the disk route
therefore evaluates it, and the s and u - s fed to it, with 2 log2(u/rho) + 16
extra bits (8 inside the source).  The ring route has no such cancellation.
mpmath's quadrature stops on an absolute error estimate, so both routes
divide their integrands by A0(max(u, rho)), the size of the result.  Its
error estimate extrapolates from the last three levels and is occasionally
optimistic (relative errors up to 5e-24 were seen against 45-digit runs); the
agreement of the two routes, whose nodes differ, is the check that counts.

Both integrals are split at the ring through the lens (s = u), at the
tabulated nodes, and, when the lens lies just outside the limb, at points
growing geometrically from the limb (the logarithmic singularity then sits
just off the real axis there).  mpmath's tanh-sinh quadrature handles the
remaining endpoint singularities (logarithmic at s = u, algebraic at the
limb).  Singular configurations, u = 0 and u = rho exactly, are on the grid.

Grid: rho from 1e-6 to 1e3 and u/rho from 0 to 1e6 (including 1 and 1 +/-
1e-7, 1e-4), with u = rho * (u/rho) rounded to a double; the reference is
computed for the exact binary values of the doubles written (repr), the
coefficients likewise.  Every law is tabulated on the full grid.

Usage:  python3 tools/gen_fspl_reference.py [output.csv]
Needs mpmath.  Uses two processes; takes about ten minutes (17 CPU minutes).
"""

import math
import multiprocessing
import sys
import time
from pathlib import Path

import mpmath as mp

DPS = 32                      # working digits of both routes
AGREE = mp.mpf("1e-18")       # required relative agreement of the routes
QUAD_TOL = mp.mpf("1e-24")    # largest accepted relative quadrature error

RHOS = [1e-6, 1e-4, 1e-3, 0.01, 0.05, 0.1, 0.5, 1.0, 3.0, 10.0, 100.0, 1e3]
LD_RHOS = RHOS                # source radii for the limb-darkened laws
LS = [0.0, 1e-3, 0.1, 0.5, 0.9, 0.99, 1 - 1e-4, 1 - 1e-7, 1.0, 1 + 1e-7,
      1 + 1e-4, 1.01, 1.1, 1.5, 2.0, 3.0, 5.0, 10.0, 30.0, 100.0, 1e3, 1e4,
      1e6]

# (law, c1, c2, mu_nodes, intensities); unused entries are None.
LAWS = [
    ("uniform", None, None, None, None),
    ("linear", 0.6, None, None, None),
    ("linear", 1.0, None, None, None),
    ("quadratic", 0.4, 0.25, None, None),
    ("quadratic", 1.2, -0.3, None, None),
    ("square-root", 0.3, 0.5, None, None),
    ("power-2", 0.7, 0.6, None, None),
    ("power-2", 0.5, 1.5, None, None),
    ("power-2", 0.8, 0.25, None, None),
    ("tabulated", None, None, (0.0, 0.1, 0.3, 0.6, 1.0), (0.25, 0.55, 0.75, 0.9, 1.0)),
    ("tabulated", None, None, (0.05, 0.5, 0.95), (0.3, 0.8, 1.0)),
]


# ---------------------------------------------------------------------------
# Brightness laws.

def brightness(law, mu):
    """I(mu), straight from the definition of the law."""
    name, c1, c2, nodes, vals = law
    if name == "uniform":
        return mp.mpf(1)
    if name == "linear":
        return 1 - mp.mpf(c1) * (1 - mu)
    if name == "quadratic":
        return 1 - mp.mpf(c1) * (1 - mu) - mp.mpf(c2) * (1 - mu) ** 2
    if name == "square-root":
        return 1 - mp.mpf(c1) * (1 - mu) - mp.mpf(c2) * (1 - mp.sqrt(mu))
    if name == "power-2":
        return 1 - mp.mpf(c1) * (1 - mu ** mp.mpf(c2))
    nodes = [mp.mpf(x) for x in nodes]
    vals = [mp.mpf(x) for x in vals]
    if mu <= nodes[0]:
        return vals[0]
    if mu >= nodes[-1]:
        return vals[-1]
    for j in range(len(nodes) - 1):
        if mu <= nodes[j + 1]:
            t = (mu - nodes[j]) / (nodes[j + 1] - nodes[j])
            return vals[j] + t * (vals[j + 1] - vals[j])
    raise AssertionError


def ring_norm(law):
    """int_0^1 I 2 mu dmu (= int_0^1 I 2 r dr), in closed form."""
    name, c1, c2, nodes, vals = law
    if name == "uniform":
        return mp.mpf(1)
    if name == "linear":
        return 1 - mp.mpf(c1) / 3
    if name == "quadratic":
        return 1 - mp.mpf(c1) / 3 - mp.mpf(c2) / 6
    if name == "square-root":
        return 1 - mp.mpf(c1) / 3 - mp.mpf(c2) / 5
    if name == "power-2":
        a = mp.mpf(c2)
        return 1 - mp.mpf(c1) * a / (a + 2)
    nodes = [mp.mpf(x) for x in nodes]
    vals = [mp.mpf(x) for x in vals]
    total = vals[0] * nodes[0] ** 2 + vals[-1] * (1 - nodes[-1] ** 2)
    for j in range(len(nodes) - 1):
        a, b = nodes[j], nodes[j + 1]
        slope = (vals[j + 1] - vals[j]) / (b - a)
        c = vals[j] - slope * a              # I = c + slope mu on [a, b]
        total += c * (b * b - a * a) + slope * 2 * (b ** 3 - a ** 3) / 3
    return total


def power_terms(law):
    """(a0, [(a_j, p_j)]) with I = a0 + sum_j a_j mu^p_j (analytic laws)."""
    name, c1, c2, _, _ = law
    if name == "uniform":
        return mp.mpf(1), []
    c1 = mp.mpf(c1) if c1 is not None else None
    c2 = mp.mpf(c2) if c2 is not None else None
    if name == "linear":
        return 1 - c1, [(c1, mp.mpf(1))]
    if name == "quadratic":
        return 1 - c1 - c2, [(c1 + 2 * c2, mp.mpf(1)), (-c2, mp.mpf(2))]
    if name == "square-root":
        return 1 - c1 - c2, [(c1, mp.mpf(1)), (c2, mp.mpf(1) / 2)]
    if name == "power-2":
        return 1 - c1, [(c1, c2)]
    raise ValueError(name)


def tab_nodes():
    """Every tabulated node strictly inside (0, 1), for the splits."""
    out = set()
    for law in LAWS:
        if law[0] == "tabulated":
            out.update(x for x in law[3] if 0 < x < 1)
    return sorted(mp.mpf(x) for x in out)


def limb_points(u, rho):
    """Values of mu at which to split near the limb.

    The ring through the lens, s = u, lies at mu0 = sqrt(1 - (u/rho)^2); when
    the lens is just outside the limb, mu0 is imaginary and small and the
    integrand, though smooth on [0, 1], varies on the scale |mu0| there.
    """
    pts = []
    if u == rho:
        return pts
    q = u / rho
    delta = mp.sqrt(abs(1 - q * q))
    if delta >= mp.mpf("0.25"):
        return pts
    k = 0 if q > 1 else 1
    while delta * 4 ** k < mp.mpf("0.5"):
        pts.append(delta * 4 ** k)
        k += 1
    return pts


def split_mu(u, rho):
    """All interior split points in mu, sorted."""
    pts = set(tab_nodes()) | set(limb_points(u, rho))
    if 0 < u < rho:
        pts.add(mp.sqrt((rho - u) * (rho + u)) / rho)
    return sorted(x for x in pts if 0 < x < 1)


def magnification_scale(u, rho):
    """A0(max(u, rho)), the size of the result: mpmath's quadrature stops
    on an absolute error, so the integrands are divided by it."""
    x = max(u, rho)
    return (x * x + 2) / (x * mp.sqrt(x * x + 4))


def quad(f, pts, what):
    val, err = mp.quad(f, pts, error=True)
    if err > QUAD_TOL * abs(val):
        raise RuntimeError(f"{what}: quadrature error {err} of {val}")
    return val


# ---------------------------------------------------------------------------
# Ring route (Heyrovsky 2003), complete integrals by the AGM.

def agm_k_bpi(n, p, mc, b, w2):
    """(K(m), b Pi(n, m)) from m's complement mc, p = 1 - n, b = p w2."""
    a = mp.mpf(1)
    g = mp.sqrt(mc)
    pk = mp.sqrt(p)
    q = mp.mpf(1)
    total = q
    tol = mp.eps
    for _ in range(200):
        ag = a * g
        p2 = pk * pk
        e = (p2 - ag) / (p2 + ag)
        pk = (p2 + ag) / (2 * pk)
        q = q * e / 2
        total += q
        a, g = (a + g) / 2, mp.sqrt(ag)
        if abs(q) < tol and abs(a - g) < tol * a:
            break
    else:
        raise RuntimeError("AGM did not converge")
    big_m = (a + g) / 2
    return mp.pi / (2 * big_m), mp.pi / (4 * big_m) * (2 * b + n * w2 * total)


def check_agm():
    """Compare the AGM scheme with mpmath's ellipk and ellippi."""
    with mp.workdps(DPS):
        for n, m in [("0.3", "0.2"), ("0.9", "0.5"), ("0.999", "0.99"),
                     ("0.05", "1e-6"), ("0.999999", "0.9")]:
            n, m = mp.mpf(n), mp.mpf(m)
            p = 1 - n
            k, bpi = agm_k_bpi(n, p, 1 - m, p, mp.mpf(1))
            if (abs(k / mp.ellipk(m) - 1) > mp.mpf("1e-28")
                    or abs(bpi / (p * mp.ellippi(n, m)) - 1) > mp.mpf("1e-28")):
                raise RuntimeError(f"AGM scheme disagrees with mpmath at n={n}, m={m}")


def ring_weight(u, rho, tau):
    """A_ring(u, rho cos tau) * 2 sin tau cos tau (the ring-route kernel)."""
    s = rho * mp.cos(tau)
    two_sc = 2 * mp.sin(tau) * mp.cos(tau)
    if u == 0:
        # A0(s) cos tau, finite at the centre.
        return (s * s + 2) / mp.sqrt(s * s + 4) * 2 * mp.sin(tau) / rho
    if s <= 0:
        return mp.mpf(0)
    d = (u - rho) + 2 * rho * mp.sin(tau / 2) ** 2 if tau < 1 else u - s
    if d == 0:
        # A node on the logarithmic singularity itself: it carries no weight
        # at this precision; evaluate it a relative distance 10^-dps away.
        d = (u + s) * mp.mpf(10) ** (-mp.mp.dps)
    b = d * d
    w = u + s
    w2 = w * w
    n = 4 * u * s / w2
    p = b / w2
    mc = (4 * p + b) / (4 + b)
    k, bpi = agm_k_bpi(n, p, mc, b, w2)
    return 2 / (mp.pi * w * mp.sqrt(4 + b)) * (2 * k + bpi) * two_sc


def ring_route(u, rho, laws):
    """Magnification of every law in laws, ring route."""
    cache = {}

    def kernel(tau):
        val = cache.get(tau)
        if val is None:
            val = cache[tau] = ring_weight(u, rho, tau)
        return val

    scale = magnification_scale(u, rho)
    pts = [mp.mpf(0)] + [mp.asin(x) for x in split_mu(u, rho)] + [mp.pi / 2]
    out = []
    for law in laws:
        f = (lambda t, law=law: brightness(law, mp.sin(t)) * kernel(t) / scale)
        val = quad(f, pts, f"ring route {law} u={u} rho={rho}")
        out.append(val / ring_norm(law) * scale)
    return out


# ---------------------------------------------------------------------------
# Disk route (Witt & Mao 1994), complete integrals by Carlson's R_F, R_D, R_J.

def disk_integral(u, s, d):
    """D(s) = pi s^2 A_U(u, s), with d = u - s given accurately."""
    if s == 0:
        return mp.mpf(0)
    if u == 0:
        return mp.pi * s * mp.sqrt(s * s + 4)
    if d == 0:
        # Witt & Mao's limit 2s + (1 + s^2)(arcsin((s^2 - 1)/(s^2 + 1)) + pi/2),
        # with arcsin(...) + pi/2 = 2 arctan(s), which keeps small s accurate.
        return 2 * s + 2 * (1 + s * s) * mp.atan(s)
    b = d * d
    w = u + s
    w2 = w * w
    n = 4 * u * s / w2
    p = b / w2
    mc = (4 * p + b) / (4 + b)
    m = 4 * n / (4 + b)
    k = mp.elliprf(0, mc, 1)
    e = k - m / 3 * mp.elliprd(0, mc, 1)
    pi3 = k + n / 3 * mp.elliprj(0, mc, 1, p)
    q = mp.sqrt(4 + b)
    return (w * q / 2 * e - d * (8 + u * u - s * s) / (2 * q) * k
            + 2 * b * (1 + s * s) / (w * q) * pi3)


def disk_route(u, rho, laws, extra_bits):
    """Magnification of every law in laws, disk route.

    The closed form is evaluated with extra_bits more precision than the
    quadrature, which absorbs its cancellation far from the source; s and
    u - s are formed at that precision too, so that they stay consistent.
    """
    cache = {}
    scale = magnification_scale(u, rho) * mp.pi * rho * rho

    def disk_at(v):
        # (D(s), 1 - mu^2) at mu = v^4, D in units of scale.
        val = cache.get(v)
        if val is None:
            with mp.extraprec(extra_bits):
                mu = v ** 4
                c = mp.sqrt(1 - mu * mu)
                s = rho * c
                d = (u - rho) + rho * mu * mu / (1 + c)
                big_d = disk_integral(u, s, d) / scale
            val = cache[v] = (+big_d, c * c)
        return val

    pts = [mp.mpf(0)] + [mp.root(x, 4) for x in split_mu(u, rho)] + [mp.mpf(1)]
    with mp.extraprec(extra_bits):
        d_rho = disk_integral(u, rho, u - rho) / scale
    d_rho = +d_rho
    out = []
    for law in laws:
        if law[0] == "tabulated":
            nodes = [mp.mpf(x) for x in law[3]]
            vals = [mp.mpf(x) for x in law[4]]
            i0 = brightness(law, mp.mpf(0))

            def dens(v, nodes=nodes, vals=vals):
                mu = v ** 4
                if mu <= nodes[0] or mu >= nodes[-1]:
                    return mp.mpf(0)
                for j in range(len(nodes) - 1):
                    if mu <= nodes[j + 1]:
                        slope = (vals[j + 1] - vals[j]) / (nodes[j + 1] - nodes[j])
                        return slope * 4 * v ** 3
                raise AssertionError
        else:
            i0, terms = power_terms(law)

            def dens(v, terms=terms):
                return sum((a * 4 * p * v ** (4 * p - 1) for a, p in terms), mp.mpf(0))

        if law[0] == "uniform":
            flux, total = 1, d_rho
        else:
            what = f"disk route {law} u={u} rho={rho}"
            total = i0 * d_rho + quad(lambda v: dens(v) * disk_at(v)[0], pts, what)
            flux = i0 + quad(lambda v: dens(v) * disk_at(v)[1], pts, what)
        out.append(total / flux * magnification_scale(u, rho))
    return out


# ---------------------------------------------------------------------------

def extra_bits(u, rho):
    """Bits lost to cancellation in the Witt & Mao form far from the source."""
    if u <= rho:
        return 8
    return int(math.ceil(2 * math.log2(u / rho))) + 16


def point(task):
    """All rows for one (rho, u/rho): (index, rows, max disagreement, secs)."""
    index, rho_d, l_d, laws = task
    t0 = time.time()
    u_d = rho_d * l_d
    with mp.workdps(DPS):
        u, rho = mp.mpf(u_d), mp.mpf(rho_d)
        a1 = ring_route(u, rho, laws)
        a2 = disk_route(u, rho, laws, extra_bits(u_d, rho_d))
    rows = []
    worst = mp.mpf(0)
    for law, x, y in zip(laws, a1, a2):
        rel = abs(x - y) / abs(y)
        if rel > AGREE:
            raise RuntimeError(f"routes differ by {mp.nstr(rel, 3)} for {law}, "
                               f"u={u_d!r}, rho={rho_d!r}: ring {x}, disk {y}")
        worst = max(worst, rel)
        with mp.workdps(DPS):
            rows.append((law, u_d, rho_d, mp.nstr(y, 25)))
    return index, rows, worst, time.time() - t0


def tasks():
    out = []
    for rho in RHOS:
        laws = LAWS if rho in LD_RHOS else LAWS[:1]
        for l in LS:
            out.append((len(out), rho, l, laws))
    return out


def fmt(x):
    return "" if x is None else repr(x)


def main():
    root = Path(__file__).resolve().parent.parent
    out = Path(sys.argv[1]) if len(sys.argv) > 1 else root / "tests/data/fspl_reference.csv"
    check_agm()
    work = tasks()
    # Heaviest points (all laws, far field) first, for an even load.
    order = sorted(work, key=lambda t: (-len(t[3]), -t[2]))
    results = {}
    worst = mp.mpf(0)
    t0 = time.time()
    with multiprocessing.Pool(2) as pool:
        for done, (index, rows, w, secs) in enumerate(pool.imap_unordered(point, order, chunksize=1), 1):
            results[index] = rows
            worst = max(worst, w)
            _, rho, l, laws = work[index]
            print(f"[{done}/{len(work)}] rho={rho!r} u/rho={l!r} laws={len(laws)} "
                  f"{secs:.1f}s max diff {mp.nstr(w, 3)}  (elapsed {time.time() - t0:.0f}s)",
                  flush=True)
    by_law = {law: [] for law in LAWS}
    for index in sorted(results):
        for law, u, rho, value in results[index]:
            by_law[law].append((u, rho, value))
    lines = [
        "# Finite-source point-lens magnification of limb-darkened stars, generated by",
        f"# tools/gen_fspl_reference.py (mpmath {mp.__version__}, {DPS} digits, more far from the source).",
        "# Route 1: ring integral of the Heyrovsky (2003) ring-averaged magnification (AGM).",
        "# Route 2: superposition of Witt & Mao (1994) uniform disks (Carlson R_F, R_D, R_J).",
        f"# Rows are written only where the routes agree to {mp.nstr(AGREE, 2)} relative "
        f"(largest difference {mp.nstr(worst, 2)}).",
        "# Inputs are exact doubles (u = rho*(u/rho) in double); magnification to 25 digits.",
        "law,c1,c2,mu_nodes,intensities,u,rho,magnification",
    ]
    count = 0
    for law in LAWS:
        name, c1, c2, nodes, vals = law
        desc = name
        if c1 is not None:
            desc += f" c1={c1!r}" + (f" c2={c2!r}" if c2 is not None else "")
        if nodes is not None:
            desc += f" mu_nodes=({' '.join(map(repr, nodes))}) intensities=({' '.join(map(repr, vals))})"
        lines.append(f"# {desc}")
        mu_col = " ".join(map(repr, nodes)) if nodes else ""
        i_col = " ".join(map(repr, vals)) if vals else ""
        for u, rho, value in by_law[law]:
            lines.append(f"{name},{fmt(c1)},{fmt(c2)},{mu_col},{i_col},{u!r},{rho!r},{value}")
            count += 1
    out.write_text("\n".join(lines) + "\n")
    print(f"wrote {count} rows to {out} in {time.time() - t0:.0f}s; "
          f"largest route difference {mp.nstr(worst, 3)}")


if __name__ == "__main__":
    main()
