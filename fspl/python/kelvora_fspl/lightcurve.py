"""Light curves on the rectilinear trajectory, with their exact partials
(and with annual parallax, kelvora_fspl.parallax).

The lens-source separation at time t, in Einstein radii, for a lens passing
the source at its closest, u0, at time t0, in the Einstein time tE:

    tau = (t - t0) / tE,    u = sqrt(u0^2 + tau^2).

A depends on |u0| only; u0 may be negative (MulensModel's sign convention:
the sign says on which side of the source the lens passes), and du/du0 =
u0/u carries the sign.  The chain rule through u gives

    dA/dt0 = -(dA/du) tau / (u tE),   dA/dtE = -(dA/du) tau^2 / (u tE),
    dA/du0 = (dA/du) u0 / u,

exact at u = 0 as well, where dA/du = 0 for a finite source (A is even and
smooth in the position of the lens) and u0 = tau = 0; a factor tau or u0
that is 0 makes its partial 0, also where dA/du is infinite (the lens on
the limb at t0: u - rho ~ tau^2 there, and A(t) is flat).  t is subtracted from
t0 before anything else, so full Julian dates (2.45e6) lose nothing.
"""

from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from kelvora_fspl._core import DEFAULT_TOLERANCE, magnification, magnification_and_gradient
from kelvora_fspl.parallax import annual_offsets

__all__ = ["coefficient_names", "light_curve", "point_source_magnification", "trajectory"]

_NAMES = {
    "uniform": (),
    "linear": ("u1",),
    "quadratic": ("u1", "u2"),
    "square-root": ("c", "d"),
    "power-2": ("c", "alpha"),
}


def coefficient_names(law: str, coefficients: Any = ()) -> tuple[str, ...]:
    """The names of a law's coefficients, as light_curve's partials call them:
    u1 (linear); u1, u2 (quadratic); c, d (square-root); c, alpha (power-2);
    intensity_0, intensity_1, ... for the intensities of a table (its nodes
    are held fixed)."""
    if law == "tabulated":
        return tuple(f"intensity_{j}" for j in range(len(coefficients[1])))
    try:
        return _NAMES[law]
    except (KeyError, TypeError):
        raise ValueError(f"unknown law {law!r}; the laws are 'uniform', 'linear', 'quadratic', 'square-root', "
                         "'power-2' and 'tabulated'") from None


def _real(x: Any, name: str) -> npt.NDArray[np.float64]:
    try:
        out = np.asarray(x, dtype=np.float64)
    except (TypeError, ValueError) as exc:
        raise TypeError(f"{name} must be a real number or an array of real numbers ({exc})") from None
    return out


def _finite(x: Any, name: str) -> npt.NDArray[np.float64]:
    out = _real(x, name)
    if not np.isfinite(out).all():
        raise ValueError(f"{name} must be finite, got {float(out[~np.isfinite(out)].flat[0])!r}")
    return out


def _scalar(x: Any) -> Any:
    return x[()] if isinstance(x, np.ndarray) and x.ndim == 0 else x


def point_source_magnification(u: npt.ArrayLike, *, gradient: bool = False) -> Any:
    """The point-source magnification A0(u) = (u^2 + 2) / (u sqrt(u^2 + 4)),
    and with gradient=True also dA0/du = -8 / (u^2 (u^2 + 4)^(3/2)).

    Written in x = 1/u beyond u = 1, A0 = (1 + 2x^2) / sqrt(1 + 4x^2), so
    that no square overflows; A0(0) = inf, A0(inf) = 1."""
    u = _real(u, "u")
    if (u < 0).any():
        raise ValueError(f"u must be non-negative, got {float(u[u < 0].flat[0])!r}")
    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        near = u <= 1.0
        x = np.where(near, 1.0, 1.0 / u)
        un = np.where(near, u, 1.0)
        far_a = (1.0 + 2.0 * x * x) / np.sqrt(1.0 + 4.0 * x * x)
        near_a = (un * un + 2.0) / (un * np.sqrt(un * un + 4.0))
        a = np.where(near, near_a, far_a)
        if not gradient:
            return _scalar(a)
        near_d = -8.0 / (un * un * (un * un + 4.0) ** 1.5)
        far_d = -8.0 * x**5 / (1.0 + 4.0 * x * x) ** 1.5
        return _scalar(a), _scalar(np.where(near, near_d, far_d))


def _trajectory(t: Any, t0: Any, u0: Any, tE: Any, pi_EN: Any, pi_EE: Any, coordinates: Any, t0_par: Any,
                sky_offsets: Any, delta_tau: Any, delta_beta: Any) -> tuple[Any, Any, Any, Any]:
    """tau0 = (t - t0)/tE, the trajectory (tau, beta) and the sky offsets
    (north, east) where there is parallax, else None."""
    t = _real(t, "t")
    t0 = _finite(t0, "t0")
    u0 = _finite(u0, "u0")
    tE = _finite(tE, "tE")
    if not (tE > 0).all():
        raise ValueError(f"tE must be positive, got {float(tE[~(tE > 0)].flat[0])!r}")
    tau0 = (t - t0) / tE
    tau, beta = tau0, u0
    offsets = None
    if coordinates is not None or sky_offsets is not None:
        pi_n = _finite(pi_EN, "pi_EN")
        pi_e = _finite(pi_EE, "pi_EE")
        if sky_offsets is not None:
            if not (isinstance(sky_offsets, (tuple, list)) and len(sky_offsets) == 2):
                raise TypeError("sky_offsets must be a pair of arrays (north, east)")
            north, east = _real(sky_offsets[0], "sky_offsets"), _real(sky_offsets[1], "sky_offsets")
        else:
            if t0_par is None:
                if t0.ndim != 0:
                    raise ValueError("t0_par must be given where t0 is an array")
                t0_par = float(round(float(t0)))
            north, east = annual_offsets(t, coordinates, float(t0_par))
        tau = tau0 + (pi_n * north + pi_e * east)
        beta = u0 + (pi_n * east - pi_e * north)
        offsets = (north, east)
    elif np.any(_real(pi_EN, "pi_EN") != 0) or np.any(_real(pi_EE, "pi_EE") != 0):
        raise ValueError("pi_EN and pi_EE need the event's coordinates (or sky_offsets)")
    if delta_tau is not None:
        tau = tau + _real(delta_tau, "delta_tau")
    if delta_beta is not None:
        beta = beta + _real(delta_beta, "delta_beta")
    return tau0, tau, beta, offsets


def trajectory(
    t: npt.ArrayLike,
    t0: npt.ArrayLike,
    u0: npt.ArrayLike,
    tE: npt.ArrayLike,
    *,
    pi_EN: float = 0.0,
    pi_EE: float = 0.0,
    coordinates: Any = None,
    t0_par: float | None = None,
    sky_offsets: tuple[npt.ArrayLike, npt.ArrayLike] | None = None,
    delta_tau: npt.ArrayLike | None = None,
    delta_beta: npt.ArrayLike | None = None,
) -> tuple[Any, Any]:
    """The lens-source trajectory (tau, beta) at times t, in Einstein radii:
    tau along the lens's motion, beta across it, u = hypot(tau, beta).  The
    arguments are those of :func:`light_curve`."""
    _, tau, beta, _ = _trajectory(t, t0, u0, tE, pi_EN, pi_EE, coordinates, t0_par, sky_offsets, delta_tau,
                                  delta_beta)
    shape = np.broadcast_shapes(np.shape(tau), np.shape(beta))
    return _scalar(np.broadcast_to(tau, shape).copy()), _scalar(np.broadcast_to(beta, shape).copy())


def light_curve(
    t: npt.ArrayLike,
    t0: npt.ArrayLike,
    u0: npt.ArrayLike,
    tE: npt.ArrayLike,
    rho: npt.ArrayLike | None,
    law: str = "uniform",
    coefficients: Sequence[Any] | npt.NDArray[Any] = (),
    *,
    gradient: bool = False,
    tolerance: float = DEFAULT_TOLERANCE,
    pi_EN: float = 0.0,
    pi_EE: float = 0.0,
    coordinates: Any = None,
    t0_par: float | None = None,
    sky_offsets: tuple[npt.ArrayLike, npt.ArrayLike] | None = None,
    delta_tau: npt.ArrayLike | None = None,
    delta_beta: npt.ArrayLike | None = None,
) -> Any:
    """The magnification at times t of a source of radius rho (Einstein radii)
    passed by the lens at u0 at time t0, tE the Einstein time.

    Parameters
    ----------
    t : array_like
        Times, in the unit of t0 and tE (days, full HJD allowed).  NaN gives NaN.
    t0, u0, tE : float or array_like
        Time and impact parameter (Einstein radii, either sign) of the closest
        approach, and the Einstein time (> 0); finite.  Broadcast against t.
    rho : float, array_like or None
        Source radius in Einstein radii (> 0, finite), or None for a point
        source, A0(u) (law and coefficients are then not used).
    law, coefficients
        The limb-darkening law, as for :func:`kelvora_fspl.magnification`.
    gradient : bool
        Also return the partials.
    tolerance : float
        Relative accuracy asked of A (1e-9, the default, up to below 1; the
        partials within 10 times it), as for
        :func:`kelvora_fspl.magnification`.
    pi_EN, pi_EE : float
        The microlensing parallax vector, north and east components
        (:mod:`kelvora_fspl.parallax`, Gould 2004; MulensModel's
        conventions).  Annual parallax needs the event's ``coordinates``.
    coordinates : str, (ra, dec) or SkyCoord
        The event's position (:func:`kelvora_fspl.parallax.sky_position`);
        with it (or ``sky_offsets``) the partials include pi_EN and pi_EE,
        also at pi_E = 0.
    t0_par : float
        The reference time of the parallax offsets, in the unit of t (by
        default t0 rounded to a day); held fixed, not differentiated.
    sky_offsets : (north, east) arrays
        The observer's projected offsets delta_s in AU, broadcast against t,
        in place of the Earth's (:func:`kelvora_fspl.parallax.annual_offsets`
        computed once, or a satellite's from its ephemeris).
    delta_tau, delta_beta : array_like
        Further offsets added to tau and to beta (another effect of the
        user's own), broadcast against t; no partials are taken through them.

    Returns
    -------
    A, or (A, partials) with gradient=True
        A of the broadcast shape (a numpy.float64 for shape ()); partials a
        dict from "t0", "u0", "tE", "pi_EN" and "pi_EE" (with parallax),
        "rho" (not for a point source) and each coefficient's name
        (:func:`coefficient_names`) to arrays like A.  A is bit for bit what
        ``magnification`` gives for the same u; with pi_E = 0 and no offsets,
        u is bit for bit the straight line's.
    """
    tau0, tau, beta, offsets = _trajectory(t, t0, u0, tE, pi_EN, pi_EE, coordinates, t0_par, sky_offsets,
                                           delta_tau, delta_beta)
    u = np.hypot(beta, tau)
    names: tuple[str, ...] = ()
    parts: list[Any] = []
    if rho is None:
        if not gradient:
            return point_source_magnification(u)
        a, da_du = point_source_magnification(u, gradient=True)
    else:
        if not gradient:
            return magnification(u, rho, law, coefficients, tolerance=tolerance)
        a, da_du, da_drho, *parts = magnification_and_gradient(u, rho, law, coefficients,
                                                             coefficients_gradient=True, tolerance=tolerance)
        names = coefficient_names(law, coefficients)
    with np.errstate(divide="ignore", invalid="ignore"):
        positive = u > 0
        along = np.where(positive, np.divide(tau, u, where=positive, out=np.zeros(np.shape(u))), 0.0)
        across = np.where(positive, np.divide(beta, u, where=positive, out=np.zeros(np.shape(u))), 0.0)

        # dA/du times a factor of du/dtheta, 0 where the factor is (at tau = 0
        # the time partials vanish, on the limb too: dA/du is infinite there,
        # but u - rho ~ tau^2 makes A(t) flat at t0).
        def times(factor: Any) -> Any:
            return np.where(factor == 0, 0.0, da_du * factor)

        slope = times(along)
        partials = {
            "t0": _scalar(-slope / tE),
            "u0": _scalar(times(across)),
            "tE": _scalar(-slope * tau0 / tE),
        }
        if offsets is not None:
            north, east = offsets
            partials["pi_EN"] = _scalar(times(along * north) + times(across * east))
            partials["pi_EE"] = _scalar(times(along * east) - times(across * north))
    if rho is not None:
        partials["rho"] = da_drho
        partials.update(zip(names, parts))
    return a, partials
