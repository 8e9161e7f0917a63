"""Light curve of a lens crossing a finite, limb-darkened source star.

A typical high-magnification event: the source radius is rho = 0.05 Einstein
radii and the lens passes 0.02 Einstein radii from the source centre, so it
crosses the stellar disk.  kelvora's separations are in stellar radii, so the
lens-source separation u(t) (in Einstein radii) is passed as u / rho, with
re = 1 and rstar = rho.

The light curve is shown for

- a point source (Paczynski 1986), for comparison;
- a uniformly bright disk (Witt & Mao 1994), `witt_mao_magnification`;
- a linearly limb-darkened disk, I(r) = 1 - 0.6 (1 - sqrt(1 - r^2)), as a sum
  of thin rings (Heyrovsky 2003) with Gauss-Legendre weights I(r) 2 r dr / F,
  split at the ring through the lens, `discrete_flux_map_heyrovsky_magnification`;
- a tabulated profile (a quadratic law sampled at 11 radii, as a model
  atmosphere would give it), interpolated onto the same rings;

and, in a second table, the module's integrated forms at the same times, as
they are defined: `integrated_witt_mao_magnification` integrates the
full-source disk value (so it follows the uniform disk),
`integrated_heyrovsky_magnification` and its flux-map version integrate
pi d/dx[x^2 h(x)] P(x) of the ring kernel h, which is not the flux-weighted
magnification; see the README.

Run with --quick for fewer rings and no figure, and --output PATH for the
figure's file name (default examples/light_curve.png).
"""

import argparse
import math
from collections.abc import Callable
from pathlib import Path

import numpy as np
from numpy.typing import NDArray

import kelvora

RHO = 0.05  # source radius in Einstein radii (rstar / re)
U0 = 0.02  # impact parameter in Einstein radii
T_E = 20.0  # Einstein crossing time in days
T0 = 0.0  # time of closest approach
LIMB_U = 0.6  # linear limb-darkening coefficient
RING = 0.6  # radius of the single ring shown, in stellar radii
# A tabulated profile: quadratic limb darkening (a, b) = (0.4, 0.25),
# I = 1 - a (1 - mu) - b (1 - mu)^2 with mu = sqrt(1 - r^2), at 11 radii.
TABLE_R = [k / 10 for k in range(11)]
TABLE_I = [1 - 0.4 * (1 - math.sqrt(1 - r * r)) - 0.25 * (1 - math.sqrt(1 - r * r)) ** 2 for r in TABLE_R]


def separation(t: float) -> float:
    """Lens-source separation in Einstein radii for rectilinear motion."""
    tau = (t - T0) / T_E
    return math.hypot(U0, tau)


def point_lens(u: float) -> float:
    """Point-source point-lens magnification (Paczynski 1986)."""
    return (u * u + 2.0) / (u * math.sqrt(u * u + 4.0))


Profile = Callable[[NDArray[np.float64]], NDArray[np.float64]]


def linear_law(r: NDArray[np.float64]) -> NDArray[np.float64]:
    return np.asarray(1.0 - LIMB_U * (1.0 - np.sqrt(1.0 - r * r)), dtype=np.float64)


def tabulated_law(r: NDArray[np.float64]) -> NDArray[np.float64]:
    return np.interp(r, TABLE_R, TABLE_I)


def ring_weights(brightness: Profile, count: int, split: float) -> tuple[list[float], list[float]]:
    """Gauss-Legendre rings on [0, 1] with weights I(r) 2 r w / sum(I 2 r w):
    the flux-weighted mean of the ring kernel over the disk.  When the lens
    is inside the source (0 < split < 1) the ring kernel peaks
    logarithmically at r = split, and the rule is split there."""
    x, w = np.polynomial.legendre.leggauss(count)
    edges = [0.0, split, 1.0] if 0.0 < split < 1.0 else [0.0, 1.0]
    r = np.concatenate([a + (b - a) * 0.5 * (x + 1.0) for a, b in zip(edges, edges[1:])])
    dr = np.concatenate([(b - a) * 0.5 * w for a, b in zip(edges, edges[1:])])
    weights = brightness(r) * 2.0 * r * dr
    radii: list[float] = r.tolist()
    normalised: list[float] = (weights / weights.sum()).tolist()
    return radii, normalised


def ring_source(brightness: Profile, count: int, l: list[float]) -> list[float]:
    """Flux-weighted magnification at each separation, one ring table each."""
    out: list[float] = []
    for li in l:
        radii, weights = ring_weights(brightness, count, li)
        out += kelvora.discrete_flux_map_heyrovsky_magnification([li], 1.0, RHO, radii, weights)
    return out


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer rings, no figure")
    parser.add_argument("--output", type=Path, default=Path(__file__).with_name("light_curve.png"))
    args = parser.parse_args()
    count = 32 if args.quick else 128

    times = [T0 + 0.1 * k for k in range(-20, 21)]  # two days around the peak
    u = [separation(t) for t in times]
    l = [ui / RHO for ui in u]
    point = [point_lens(ui) for ui in u]
    uniform = kelvora.witt_mao_magnification(l, 1.0, RHO)
    limb = ring_source(linear_law, count, l)
    tabulated = ring_source(tabulated_law, count, l)

    print(f"kelvora demo: rho = {RHO}, u0 = {U0}, tE = {T_E} d; {count} rings per interval")
    print(
        f"{'t - t0 [d]':>10} {'u [R_E]':>8} {'u/rho':>6} {'point':>10} {'uniform':>10}"
        f" {'limb u=0.6':>10} {'tabulated':>10}"
    )
    for row in zip(times, u, l, point, uniform, limb, tabulated):
        t, ui, li, *values = row
        print(f"{t - T0:10.2f} {ui:8.5f} {li:6.3f} " + " ".join(f"{v:10.5f}" for v in values))
    centre = len(l) // 2
    print(
        f"peak: point {point[centre]:.5f}, uniform {uniform[centre]:.5f},"
        f" limb-darkened {limb[centre]:.5f}, tabulated {tabulated[centre]:.5f}"
    )
    one_ring = kelvora.heyrovsky_magnification(l[centre], RING, 1.0, RHO)
    print(f"one thin ring at r = {RING} with the lens at u0: {one_ring:.5f}")

    integrated = {
        "integrated_witt_mao": kelvora.integrated_witt_mao_magnification(l, 1.0, RHO),
        "flux_map_witt_mao": kelvora.integrated_flux_map_witt_mao_magnification(l, 1.0, RHO, TABLE_R, TABLE_I),
        "integrated_heyrovsky": kelvora.integrated_heyrovsky_magnification(l, 1.0, RHO),
        "flux_map_heyrovsky": kelvora.integrated_flux_map_heyrovsky_magnification(l, 1.0, RHO, TABLE_R, TABLE_I),
    }
    print()
    print("the integrated forms as defined (see the README for what they compute):")
    print(f"{'t - t0 [d]':>10} " + " ".join(f"{name:>20}" for name in integrated))
    for i in range(0, len(times), 4):
        print(f"{times[i] - T0:10.2f} " + " ".join(f"{column[i]:20.5f}" for column in integrated.values()))

    if not args.quick:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt

        fig, ax = plt.subplots(figsize=(7.5, 4.5), dpi=120)
        ax.plot(times, point, ":", color="0.4", label="point source")
        ax.plot(times, uniform, "-", label="uniform disk (witt_mao_magnification)")
        ax.plot(times, limb, "--", label="linear limb darkening u = 0.6 (rings)")
        ax.plot(times, tabulated, "-.", label="tabulated profile (rings)")
        ax.set_xlabel("t - t0 [days]")
        ax.set_ylabel("magnification")
        ax.set_title(f"single lens, finite source: rho = {RHO}, u0 = {U0}, tE = {T_E} d")
        ax.legend(fontsize=8)
        fig.tight_layout()
        fig.savefig(args.output)
        print(f"\nwrote {args.output}")


if __name__ == "__main__":
    main()
