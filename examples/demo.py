"""Light curve of a lens crossing a finite, limb-darkened source star.
===================================================================

A typical high-magnification event: the source radius is rho = 0.05 Einstein
radii and the lens passes u0 = 0.02 Einstein radii from the source centre, so
it crosses the stellar disk.  `kelvora_fspl.magnification` gives the
flux-weighted magnification of the whole light curve in one call per source
model, from numpy arrays of separations:

- a point source (Paczynski 1986), for comparison;
- a uniformly bright disk (Witt & Mao 1994);
- linear limb darkening, I = 1 - 0.6 (1 - mu), mu = sqrt(1 - r^2);
- quadratic limb darkening, (u1, u2) = (0.4, 0.25);
- a tabulated profile, as a model atmosphere gives it: the quadratic law at
  11 values of mu, linear in between.

The uniform disk is also computed with `kelvora.witt_mao_magnification`,
whose separations are in stellar radii (u / rho, with re = 1 and rstar = rho).
The figure has a second panel with the relative difference between the
limb-darkened and the uniform disks: limb darkening brightens the peak, where
the lens sits on the bright centre, and dims the limb crossings.

Run with --quick for no figure, and --output PATH for the figure's file name
(default examples/light_curve.png).
"""

import argparse
from pathlib import Path

import numpy as np

import kelvora
import kelvora_fspl

try:
    HERE = Path(__file__).parent
except NameError:  # sphinx-gallery runs the example in its own directory, without __file__
    HERE = Path.cwd()

RHO = 0.05  # source radius in Einstein radii
U0 = 0.02  # impact parameter in Einstein radii
T_E = 20.0  # Einstein crossing time in days
T0 = 0.0  # time of closest approach
EPOCHS = 401  # two days either side of the peak
LINEAR = (0.6,)
QUADRATIC = (0.4, 0.25)
TABLE_MU = np.linspace(0.0, 1.0, 11)
TABLE_I = 1.0 - QUADRATIC[0] * (1.0 - TABLE_MU) - QUADRATIC[1] * (1.0 - TABLE_MU) ** 2


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.partition("\n")[0])
    parser.add_argument("--quick", action="store_true", help="no figure")
    parser.add_argument("--output", type=Path, default=HERE / "light_curve.png")
    args = parser.parse_args()

    t = np.linspace(T0 - 2.0, T0 + 2.0, EPOCHS)
    u = np.hypot(U0, (t - T0) / T_E)
    point = (u * u + 2.0) / (u * np.sqrt(u * u + 4.0))
    uniform = kelvora_fspl.magnification(u, RHO)
    linear = kelvora_fspl.magnification(u, RHO, "linear", LINEAR)
    quadratic = kelvora_fspl.magnification(u, RHO, "quadratic", QUADRATIC)
    tabulated = kelvora_fspl.magnification(u, RHO, "tabulated", (TABLE_MU, TABLE_I))
    witt_mao = np.array(kelvora.witt_mao_magnification(u / RHO, 1.0, RHO))

    print(f"kelvora demo: rho = {RHO}, u0 = {U0}, tE = {T_E} d, {EPOCHS} epochs")
    print(f"{'t - t0 [d]':>10} {'u [R_E]':>8} {'point':>10} {'uniform':>10} {'linear':>10} {'quadratic':>10} {'tabulated':>10}")
    for i in range(0, EPOCHS, 20):
        values = (point[i], uniform[i], linear[i], quadratic[i], tabulated[i])
        print(f"{t[i] - T0:10.2f} {u[i]:8.5f} " + " ".join(f"{v:10.5f}" for v in values))
    peak = EPOCHS // 2
    print(
        f"peak: point {point[peak]:.5f}, uniform {uniform[peak]:.5f}, linear {linear[peak]:.5f},"
        f" quadratic {quadratic[peak]:.5f}, tabulated {tabulated[peak]:.5f}"
    )
    residual = (linear - uniform) / uniform
    print(f"linear minus uniform: {residual.max():+.4%} at the peak, {residual.min():+.4%} at the limb crossings")
    # Away from its 1e-5 limb band witt_mao_magnification is the same disk.
    away = np.abs(u - RHO) > 1e-4
    agreement = np.max(np.abs(witt_mao[away] / uniform[away] - 1.0))
    print(f"kelvora.witt_mao_magnification agrees with the uniform disk to {agreement:.1e}")

    if not args.quick:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt

        fig, (top, bottom) = plt.subplots(
            2, 1, figsize=(7.5, 6.0), dpi=120, sharex=True, gridspec_kw={"height_ratios": [3, 1.3]}
        )
        top.plot(t, point, ":", color="0.4", label="point source")
        top.plot(t, uniform, "-", label="uniform disk")
        top.plot(t, linear, "--", label=f"linear limb darkening u1 = {LINEAR[0]}")
        top.plot(t, quadratic, "-.", label=f"quadratic {QUADRATIC}")
        top.plot(t, tabulated, ":", color="C3", label="tabulated (11 nodes in mu)")
        top.set_ylim(0.0, 1.3 * float(linear.max()))
        top.set_ylabel("magnification")
        top.set_title(f"single lens, finite source: rho = {RHO}, u0 = {U0}, tE = {T_E} d")
        top.legend(fontsize=8)
        bottom.plot(t, 100 * residual, "-", color="C1", label="linear")
        bottom.plot(t, 100 * (quadratic - uniform) / uniform, "-.", color="C2", label="quadratic")
        bottom.axhline(0.0, color="0.6", lw=0.8)
        bottom.set_ylabel("LD - uniform [%]")
        bottom.set_xlabel("t - t0 [days]")
        bottom.legend(fontsize=8)
        fig.tight_layout()
        fig.savefig(args.output)
        print(f"\nwrote {args.output}")


if __name__ == "__main__":
    main()
