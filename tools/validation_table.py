#!/usr/bin/env python3
"""Print a markdown table of kelvora's values against high-precision mpmath values.

Each row is one function at one set of arguments: the value kelvora returns,
an mpmath evaluation (25 digits) of the quantity the function is defined to
compute, and the relative error.  Lengths l, r are in stellar radii; a source
of radius rho Einstein radii is re = 1, rstar = rho (eta = re/rstar = 1/rho);
A0(x) = (x^2 + 2)/(x sqrt(x^2 + 4)) is the point-lens magnification
(Paczynski 1986).

- witt_mao_magnification (Witt & Mao 1994): the mean of A0 over a uniformly
  bright disk, here in polar coordinates (s, theta) about the lens,

      A = (2 / (pi rho_*^2)) int A0(rho s) s theta_max(s) ds,

  theta_max(s) the half-angle of the circle of radius s about the lens that
  lies on the disk (with rho_* = 1 the disk radius in stellar radii).
- heyrovsky_magnification (Heyrovsky 2003): the mean of A0 over one ring,
  (1/pi) int_0^pi A0(sqrt(d^2 + 4 l r sin^2(phi/2)) / eta) dphi, d = l - r,
  with the angular interval split at geometrically growing multiples of the
  width of the peak at phi = 0.
- discrete_flux_map_heyrovsky_magnification: ring sums for a linearly
  limb-darkened source, I(r) = 1 - 0.6 (1 - sqrt(1 - r^2)), against the
  flux-weighted mean of A0 over the disk, also in polar coordinates about the
  lens (a double integral), which is independent of the ring formulation.
  Two ring tables: 128 Gauss-Legendre rings in r on each side of r = l (pure
  ring sums), and the tables of examples/limb_darkening.py (graded towards
  r = l, in mu = sqrt(1 - r^2) near the limb, with the rings inside kelvora's
  1e-5 band on the outer side of the lens evaluated with l and r exchanged).
- integrated_witt_mao_magnification and integrated_heyrovsky_magnification:
  what they are defined to compute, for the lens outside the source:

      (1/N) int_0^1 pi d/dx[x^2 M(x)] I(x) dx,  N = 2.5132741228717936,

  I the linear law above, M the uniform-disk value of the whole source
  (constant in x) or the ring mean at ring radius x; the derivative by
  mpmath.diff.  These are not the flux-weighted magnification of the
  limb-darkened source, which is printed below the table for comparison.

Usage:  python tools/validation_table.py      (about a minute; needs mpmath and numpy)
"""

import sys
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any, TypeAlias

import mpmath as mp  # type: ignore[import-untyped]

import kelvora

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "examples"))
from limb_darkening import LINEAR, normalised, in_radius, plain_rule, ring_sum, ring_table  # noqa: E402

MpReal: TypeAlias = Any  # an mpmath.mpf
Row: TypeAlias = tuple[str, str, float, MpReal]

DIGITS = 25
GAMMA = 0.6  # the linear limb-darkening coefficient of the integrated functions
N_FLUX = 2.5132741228717936  # their stored flux of that profile


def point_lens(x2: MpReal) -> MpReal:
    """A0 as a function of x^2."""
    return (x2 + 2) / mp.sqrt(x2 * (x2 + 4))


def ring_mean(l: MpReal, r: MpReal, eta: MpReal) -> MpReal:
    """(1/pi) int_0^pi A0(sqrt(d^2 + 4 l r sin^2(phi/2)) / eta) dphi, d = l - r.
    A ring of radius -r is the same ring, hence |r|."""
    r = abs(r)
    d = l - r
    if l == 0 or r == 0:
        return point_lens(d * d / (eta * eta))

    def integrand(phi: MpReal) -> MpReal:
        return point_lens((d * d + 4 * l * r * mp.sin(phi / 2) ** 2) / (eta * eta))

    width = abs(d) / mp.sqrt(l * r)  # of the peak at phi = 0
    points = [mp.mpf(0)]
    step = width
    while step < mp.pi / 2:
        points.append(step)
        step *= 2
    points += [mp.pi / 2, mp.pi] if points[-1] < mp.pi / 2 else [mp.pi]
    return mp.quad(integrand, points) / mp.pi


def disk_mean(l: float, rho: float, gamma: float) -> MpReal:
    """Flux-weighted mean of A0 over a source with I = 1 - gamma (1 - mu), in
    polar coordinates (s, theta) about the lens: a point at (s, theta) is at
    r^2 = l^2 + s^2 - 2 l s cos(theta) from the source centre."""
    lm, rm, g = mp.mpf(l), mp.mpf(rho), mp.mpf(gamma)

    def half_angle(s: MpReal) -> MpReal:
        if lm == 0:
            return mp.pi if s < 1 else mp.mpf(0)
        c = (lm * lm + s * s - 1) / (2 * lm * s)
        return mp.pi if c <= -1 else mp.mpf(0) if c >= 1 else mp.acos(c)

    def arc(s: MpReal) -> MpReal:
        """int over the arc on the disk of the brightness, one side of the axis."""
        top = half_angle(s)
        if g == 0 or top == 0:
            return top

        def brightness(theta: MpReal) -> MpReal:
            mu2 = 1 - lm * lm - s * s + 2 * lm * s * mp.cos(theta)
            return 1 - g * (1 - mp.sqrt(max(mu2, 0)))

        return mp.quad(brightness, [0, top])

    def integrand(s: MpReal) -> MpReal:
        return point_lens((rm * s) ** 2) * s * arc(s)

    breaks = [0, 1 - lm, 1 + lm] if 0 < lm < 1 else [max(0, lm - 1), 1 + lm]
    flux = mp.pi * (1 - g / 3)
    return 2 * mp.quad(integrand, breaks) / flux


def integrated_reference(kernel: Callable[[MpReal], MpReal]) -> MpReal:
    """(1/N) int_0^1 pi d/dx[x^2 M(x)] I(x) dx for the linear law GAMMA."""
    g = mp.mpf(GAMMA)

    def integrand(x: MpReal) -> MpReal:
        slope = mp.diff(lambda y: y * y * kernel(y), x)
        return mp.pi * slope * (1 - g * (1 - mp.sqrt(1 - x * x)))

    return mp.quad(integrand, [0, 1]) / mp.mpf(N_FLUX)


def uniform_rows() -> list[Row]:
    rows: list[Row] = []
    for rho in (0.01, 0.1, 1.0):
        for l, where in ((0.0, "centre"), (0.5, "inside"), (1.0, "limb"), (2.0, "outside")):
            value = kelvora.witt_mao_magnification([l], 1.0, rho)[0]
            rows.append(("witt_mao_magnification", f"rho={rho:g}, l={l:g} ({where})", value, disk_mean(l, rho, 0.0)))
    l = 1.0005  # |u - rho| = 5e-6 Einstein radii: inside the limb band
    value = kelvora.witt_mao_magnification([l], 1.0, 0.01)[0]
    rows.append(("witt_mao_magnification", f"rho=0.01, l={l:g} (limb band)", value, disk_mean(l, 0.01, 0.0)))
    return rows


def ring_rows() -> list[Row]:
    cases = [  # l, r, rho, description
        (0.3, 0.7, 0.05, "lens inside the ring"),
        (2.0, 0.5, 0.05, "lens outside the ring"),
        (0.0, 0.5, 0.05, "lens at the centre"),
        (0.5, 0.501, 0.05, "l-r=-1e-3"),
        (0.50002, 0.5, 0.05, "l-r=2e-5, outside the band"),
        (0.500005, 0.5, 0.05, "l-r=5e-6, band (expansion)"),
        (0.499995, 0.5, 0.05, "l-r=-5e-6, band (returns 0)"),
        (3.0, 1.0, 1.0, "eta=1"),
        (0.5, 0.25, 10.0, "eta=0.1"),
    ]
    rows: list[Row] = []
    for l, r, rho, what in cases:
        value = kelvora.heyrovsky_magnification(l, r, 1.0, rho)
        ref = ring_mean(mp.mpf(l), mp.mpf(r), 1 / mp.mpf(rho))
        rows.append(("heyrovsky_magnification", f"l={l:g}, r={r:g}, rho={rho:g}: {what}", value, ref))
    return rows


def limb_darkened_rows() -> list[Row]:
    rows: list[Row] = []
    for rho, l in ((0.05, 0.5), (0.05, 1.0), (0.05, 1.5), (0.5, 0.5)):
        ref = disk_mean(l, rho, LINEAR.a)
        pieces = [(0.0, l), (l, 1.0)] if 0.0 < l < 1.0 else [(0.0, 1.0)]
        r, w = normalised(*(in_radius(plain_rule(a, b, 128), LINEAR) for a, b in pieces))
        split = kelvora.discrete_flux_map_heyrovsky_magnification([l], 1.0, rho, r, w)[0]
        name = "discrete_flux_map_heyrovsky_magnification"
        how = "split at l" if len(pieces) == 2 else "one rule"
        rows.append((name, f"LD 0.6, rho={rho:g}, l={l:g}: {len(r)} Gauss-Legendre rings in r, {how}", split, ref))
        table = ring_table(l, LINEAR, 64)
        rows.append((name, f"LD 0.6, rho={rho:g}, l={l:g}: {len(table[0])} rings, examples/limb_darkening.py", ring_sum(l, rho, table), ref))
    return rows


def integrated_rows() -> tuple[list[Row], MpReal]:
    l, rho = 2.0, 0.1
    lm, eta = mp.mpf(l), 1 / mp.mpf(rho)
    whole = disk_mean(l, rho, 0.0)  # the full-source uniform-disk value
    rows: list[Row] = [
        (
            "integrated_witt_mao_magnification",
            f"rho={rho:g}, l={l:g}: M = uniform disk",
            kelvora.integrated_witt_mao_magnification([l], 1.0, rho)[0],
            integrated_reference(lambda x: whole),
        ),
        (
            "integrated_heyrovsky_magnification",
            f"rho={rho:g}, l={l:g}: M = ring mean at x",
            kelvora.integrated_heyrovsky_magnification([l], 1.0, rho)[0],
            integrated_reference(lambda x: ring_mean(lm, x, eta)),
        ),
    ]
    return rows, disk_mean(l, rho, GAMMA)


def fspl_rows() -> list[Row]:
    """kelvora_fspl.magnification (u, rho in Einstein radii) against the same
    polar double integral over the disk, uniform and linear (0.6)."""
    import kelvora_fspl

    rows: list[Row] = []
    for rho, l in [(0.05, 0.0), (0.05, 0.5), (0.05, 1.0), (0.01, 1.0005), (0.05, 1.2), (0.1, 2.0), (1.0, 0.5)]:
        u = rho * l
        uniform = float(kelvora_fspl.magnification(u, rho))
        rows.append(("kelvora_fspl.magnification", f"uniform, rho={rho:g}, u/rho={l:g}", uniform, disk_mean(l, rho, 0.0)))
        linear = float(kelvora_fspl.magnification(u, rho, "linear", (GAMMA,)))
        rows.append(("kelvora_fspl.magnification", f"linear 0.6, rho={rho:g}, u/rho={l:g}", linear, disk_mean(l, rho, GAMMA)))
    return rows


def main() -> None:
    mp.mp.dps = DIGITS
    start = time.perf_counter()
    rows = fspl_rows() + uniform_rows() + ring_rows() + limb_darkened_rows()
    more, limb_darkened = integrated_rows()
    rows += more

    print(f"kelvora against mpmath ({DIGITS} digits); l, r in stellar radii, source radius rho in Einstein radii")
    print()
    print("| function | case | kelvora | mpmath | rel. error |")
    print("|---|---|---|---|---|")
    for function, case, value, ref in rows:
        error = float(abs(value - ref) / abs(ref))
        print(f"| `{function}` | {case} | {value!r} | {mp.nstr(ref, 20)} | {error:.1e} |")
    print()
    print(
        f"For comparison, the flux-weighted magnification of the linearly limb-darkened (0.6) source"
        f" at rho=0.1, l=2 is {mp.nstr(limb_darkened, 20)} (mpmath)."
    )
    print(f"({time.perf_counter() - start:.0f} s)")


if __name__ == "__main__":
    main()
