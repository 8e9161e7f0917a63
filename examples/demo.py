"""Light curve of a lens crossing a finite source star.

A typical high-magnification event: the source radius is rho = 0.05 Einstein
radii and the lens passes 0.02 Einstein radii from the source centre, so it
crosses the stellar disk.  kelvora's separations are in stellar radii, so the
lens-source separation u(t) (in Einstein radii) is passed as u / rho, with
re = 1 and rstar = rho.
"""

import math

import kelvora

RHO = 0.05  # source radius in Einstein radii (rstar / re)
U0 = 0.02  # impact parameter in Einstein radii
T_E = 20.0  # Einstein crossing time in days
T0 = 0.0  # time of closest approach


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
    uniform = kelvora.witt_mao_magnification([ui / RHO for ui in u], 1.0, RHO)

    print(f"kelvora demo: rho = {RHO}, u0 = {U0}, tE = {T_E} d")
    print(f"{'t - t0 [d]':>10}  {'u [R_E]':>9}  {'u/rho':>7}  {'A uniform disk':>15}  {'A point source':>15}")
    for t, ui, a in zip(times, u, uniform):
        print(f"{t - T0:10.2f}  {ui:9.5f}  {ui / RHO:7.3f}  {a:15.6f}  {point_lens(ui):15.6f}")
    peak = max(uniform)
    print(f"peak magnification {peak:.6f} (a point source would reach {point_lens(U0):.6f})")


if __name__ == "__main__":
    main()
