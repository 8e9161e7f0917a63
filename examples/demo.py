"""Light curve of a lens crossing a finite source star.

A typical high-magnification event: the source radius is rho = 0.05 Einstein
radii and the lens passes 0.02 Einstein radii from the source centre, so it
crosses the stellar disk.  kelvora's separations are in stellar radii, so the
lens-source separation u(t) (in Einstein radii) is passed as u / rho, with
re = 1 and rstar = rho.

Besides the uniformly bright disk (Witt & Mao 1994) the table shows two ring
models (Heyrovsky 2003): one thin ring at 0.6 stellar radii, and a
source made of a few thin rings whose weights carry a linear limb-darkening
law I(r) = 1 - u (1 - sqrt(1 - r^2)) and the ring areas 2 r dr, normalised by
the flux pi (1 - u/3) / pi of that law over the unit disk.
"""

import math

import kelvora

RHO = 0.05  # source radius in Einstein radii (rstar / re)
U0 = 0.02  # impact parameter in Einstein radii
T_E = 20.0  # Einstein crossing time in days
T0 = 0.0  # time of closest approach
RING = 0.6  # radius of the single ring, in stellar radii
N_RINGS = 8  # rings of the limb-darkened source
LIMB_U = 0.6  # linear limb-darkening coefficient


def limb_darkened_rings(count: int, u: float) -> tuple[list[float], list[float]]:
    """Ring radii (midpoints of equal steps in r) and weights I(r) 2 r dr / F."""
    dr = 1.0 / count
    radii = [(j + 0.5) * dr for j in range(count)]
    flux = 1.0 - u / 3.0
    weights = [(1.0 - u * (1.0 - math.sqrt(1.0 - r * r))) * 2.0 * r * dr / flux for r in radii]
    return radii, weights


def separation(t: float) -> float:
    """Lens-source separation in Einstein radii for rectilinear motion."""
    tau = (t - T0) / T_E
    return math.hypot(U0, tau)


def point_lens(u: float) -> float:
    """Point-source point-lens magnification (Paczynski 1986)."""
    return (u * u + 2.0) / (u * math.sqrt(u * u + 4.0))


def main() -> None:
    times = [T0 + 0.1 * k for k in range(-20, 21)]  # two days around the peak
    u = [separation(t) for t in times]
    l = [ui / RHO for ui in u]
    uniform = kelvora.witt_mao_magnification(l, 1.0, RHO)
    one_ring = [kelvora.heyrovsky_magnification(li, RING, 1.0, RHO) for li in l]
    radii, weights = limb_darkened_rings(N_RINGS, LIMB_U)
    few_rings = kelvora.discrete_flux_map_heyrovsky_magnification(l, 1.0, RHO, radii, weights)

    print(f"kelvora demo: rho = {RHO}, u0 = {U0}, tE = {T_E} d")
    print(f"ring source: {N_RINGS} rings at r = {', '.join(f'{r:.4f}' for r in radii)}")
    print(f"  weights (linear limb darkening u = {LIMB_U}): {', '.join(f'{w:.4f}' for w in weights)}")
    header = (
        f"{'t - t0 [d]':>10}  {'u [R_E]':>9}  {'u/rho':>7}  {'A uniform disk':>15}"
        f"  {f'A ring r={RING}':>15}  {f'A {N_RINGS} rings':>15}  {'A point source':>15}"
    )
    print(header)
    for t, ui, a, ar, an in zip(times, u, uniform, one_ring, few_rings):
        print(
            f"{t - T0:10.2f}  {ui:9.5f}  {ui / RHO:7.3f}  {a:15.6f}  {ar:15.6f}  {an:15.6f}"
            f"  {point_lens(ui):15.6f}"
        )
    peak = max(uniform)
    print(f"peak magnification {peak:.6f} (a point source would reach {point_lens(U0):.6f})")
    print(
        f"lens at the source centre: one ring {one_ring[len(l) // 2]:.6f},"
        f" {N_RINGS} rings {few_rings[len(l) // 2]:.6f}, uniform disk {uniform[len(l) // 2]:.6f}"
    )


if __name__ == "__main__":
    main()
