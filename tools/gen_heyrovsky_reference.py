#!/usr/bin/env python3
"""Reference ring-averaged point-lens magnifications.

Writes tests/data/heyrovsky_reference.csv for tests/cpp/test_heyrovsky.cpp
and tests/python/test_heyrovsky.py.

Each value is the point-lens magnification A0(x) = (x^2 + 2)/(x sqrt(x^2 + 4))
averaged over a circle of radius r about the source centre, with the lens at
distance l from that centre (lengths in stellar radii, Einstein radius
eta = re/rstar):

    h = (1/pi) int_0^pi A0(D(phi)/eta) dphi,
    D(phi)^2 = (l - r)^2 + 4 l r sin^2(phi/2),

evaluated by mpmath quadrature at 50 digits.  The integrand peaks at phi = 0
with a width of about |l - r|/sqrt(l r), so the interval is split at
geometrically growing multiples of that width.  Every row is cross-checked
against the same average in closed form,

    h = 2 / (pi (l + r) sqrt(Q)) * ((l - r)^2 Pi(n, m) + 2 eta^2 K(m)),
    Q = (l - r)^2 + 4 eta^2,  n = 4 l r/(l + r)^2,  m = n 4 eta^2/Q,

(mpmath's ellipk and ellippi, parameter m = k^2), and the two must agree to
1e-35 before a row is written.

Groups (the `group` column):
  far   |l - r| >= 1e-3: the elliptic expression, well conditioned;
  near  1e-5 <= |l - r| < 1e-3: the elliptic expression with n and m close
        to 1, where double-precision arguments lose accuracy;
  edge  |l - r| equal to the double 1e-05, the first value outside the band;
  band  0 < l - r < 1e-5: rows inside the near-ring band, where the module
        uses a truncated expansion about l = r; the reference is still the
        exact average, so these rows measure the expansion's own error.

Inputs are the exact binary values of the doubles written to the file, and
eta is the exact quotient of those doubles.

Usage:  python3 tools/gen_heyrovsky_reference.py [output.csv]
Needs mpmath (pip install mpmath).  Takes about a minute.
"""

import sys
from pathlib import Path

import mpmath as mp

mp.mp.dps = 50
AGREE = mp.mpf("1e-35")

# (re, rstar): eta from a small to a large Einstein radius, in stellar radii,
# and two pairs whose quotient is not exact.
ETAS = [(0.01, 1.0), (0.1, 1.0), (1.0, 1.0), (10.0, 1.0), (100.0, 1.0),
        (2.5, 0.75), (1.0, 0.3)]
LS = [0.0, 0.01, 0.3, 0.7, 1.0, 1.5, 3.0, 10.0, 100.0]
RS = [0.0, 0.1, 0.5, 0.9, 1.0]
# Separations just off a ring, on both sides: outside the band, and inside it
# on the side where the expansion is used.
NEAR_OFFSETS = [1.01e-5, 2e-5, 1e-4, 1e-3, -1.01e-5, -2e-5, -1e-4, -1e-3]
BAND_OFFSETS = [1e-6, 5e-6, 1e-7, 9.9e-6]
NEAR_RINGS = [0.5, 1.0]
NEAR_ETAS = [(0.1, 1.0), (1.0, 1.0), (10.0, 1.0)]
# Pairs whose difference l - r is exactly the double 1e-05, the edge of the
# near-ring band, on both sides: a point (r = 0) or the lens at the centre
# (l = 0), and both non-zero (l - r is exact for r = 2^-19, since then both
# are multiples of the last bit of 1e-05).
EDGE_PAIRS = [(1e-05, 0.0), (0.0, 1e-05), (2.0**-19 + 1e-05, 2.0**-19), (2.0**-19, 2.0**-19 + 1e-05)]


def a0(x):
    return (x * x + 2) / (x * mp.sqrt(x * x + 4))


def ring_average(l, r, eta):
    d = l - r
    if l == 0 or r == 0:
        # Every point of the ring is at the same distance from the lens.
        return a0(abs(d) / eta)

    def integrand(phi):
        s = mp.sin(phi / 2)
        return a0(mp.sqrt(d * d + 4 * l * r * s * s) / eta)

    width = abs(d) / mp.sqrt(l * r)
    points = [mp.mpf(0)]
    w = width
    while w < mp.pi:
        points.append(w)
        w *= 4
    points.append(mp.pi)
    val, err = mp.quad(integrand, points, error=True, maxdegree=10)
    if err > AGREE * abs(val):
        raise RuntimeError(f"quadrature error {err} at l={l}, r={r}, eta={eta}")
    return val / mp.pi


def closed_form(l, r, eta):
    d = l - r
    q = d * d + 4 * eta * eta
    n = 4 * l * r / (l + r) ** 2
    m = n * 4 * eta * eta / q
    return 2 / (mp.pi * (l + r) * mp.sqrt(q)) * (d * d * mp.ellippi(n, m) + 2 * eta * eta * mp.ellipk(m))


def group(l, r):
    d = abs(l - r)
    if d == 1e-05:
        return "edge"
    if d < 1e-5:
        return "band"
    return "near" if d < 1e-3 else "far"


def cases():
    for re, rstar in ETAS:
        for l in LS:
            for r in RS:
                if abs(l - r) < 1e-3:
                    continue
                yield re, rstar, l, r
    for re, rstar in NEAR_ETAS:
        for r in NEAR_RINGS:
            for offset in NEAR_OFFSETS + BAND_OFFSETS:
                yield re, rstar, r + offset, r
    for re, rstar in NEAR_ETAS:
        for l, r in EDGE_PAIRS:
            assert abs(l - r) == 1e-05
            yield re, rstar, l, r


def rows():
    for re, rstar, l, r in cases():
        eta = mp.mpf(re) / mp.mpf(rstar)
        lm, rm = mp.mpf(l), mp.mpf(r)
        a = ring_average(lm, rm, eta)
        b = closed_form(lm, rm, eta)
        if abs(a - b) > AGREE * a:
            raise RuntimeError(f"quadrature {a} and closed form {b} differ at "
                               f"re={re}, rstar={rstar}, l={l}, r={r}")
        yield group(l, r), re, rstar, l, r, a


def main():
    root = Path(__file__).resolve().parent.parent
    out = Path(sys.argv[1]) if len(sys.argv) > 1 else root / "tests/data/heyrovsky_reference.csv"
    lines = [
        "# Ring-averaged point-lens magnification, generated by tools/gen_heyrovsky_reference.py",
        f"# (mpmath {mp.__version__}, {mp.mp.dps} digits): quadrature of A0 around the ring,",
        "# cross-checked against the closed form in complete elliptic integrals to 1e-35.",
        "# Inputs are exact doubles; magnification is given to 25 digits.",
        "group,re,rstar,l,r,magnification",
    ]
    for g, re, rstar, l, r, a in rows():
        lines.append(f"{g},{re!r},{rstar!r},{l!r},{r!r},{mp.nstr(a, 25)}")
    out.write_text("\n".join(lines) + "\n")
    print(f"wrote {len(lines) - 5} rows to {out}")


if __name__ == "__main__":
    main()
