"""Annual parallax: the Earth's orbit bends the lens-source trajectory.

The geocentric formalism of Gould (2004, ApJ 606, 319): in the frame that
moves with the Earth's velocity at a reference time t0_par, the trajectory
is a straight line plus the offsets of the Earth's acceleration.  With s(t)
the position of the Solar System's barycentre seen from the Earth,
projected on the sky at the event (north and east components, AU), and

    delta_s(t) = s(t) - s(t0_par) - (t - t0_par) ds/dt(t0_par),

the parallax vector pi_E = (pi_EN, pi_EE) adds

    delta_tau  = pi_EN delta_s_N + pi_EE delta_s_E,
    delta_beta = pi_EN delta_s_E - pi_EE delta_s_N

to tau = (t - t0)/tE and to beta = u0, and u = sqrt(tau^2 + beta^2).  These
are MulensModel's conventions (the direction of pi_E, the sign of u0), so
that parameters move between the two packages unchanged.

The Earth's barycentric position and velocity come from ERFA's epv00 (the
IAU SOFA routine, good to a few 1e-8 AU over 1900-2100) through pyerfa.
The barycentre, not the Sun: the Sun moves about it by about 0.01 AU, which
for pi_E of a few tenths would shift u by up to 3e-4.  Times are Julian
dates in TDB, given as full JD (HJD or BJD as the field writes them) or,
below 2,400,000, as JD - 2,450,000.  Taking HJD(UTC) for TDB shifts the
time by about 69 s (TT - UTC) plus up to 8 s (the light time between the
Sun and the barycentre): delta_s then moves by at most twice the Earth's
speed times 77 s, 3e-5 AU, and u by pi_E times that (1e-5 for pi_E = 0.3).
"""

from __future__ import annotations

import math
import re
from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

# Times below this are JD - 2,450,000 (HJD', as OGLE and MOA publish them).
_SHORT_JD_BELOW = 2_400_000.0
_SHORT_JD_ZERO = 2_450_000.0

_SEXAGESIMAL = re.compile(
    r"^\s*(\d{1,2})[:h\s]\s*(\d{1,2})[:m\s]\s*(\d{1,2}(?:\.\d*)?)s?\s*[,\s]\s*"
    r"([+-]?)(\d{1,2})[:d\s]\s*(\d{1,2})[:m\s]\s*(\d{1,2}(?:\.\d*)?)s?\s*$")


def sky_position(coordinates: Any) -> tuple[float, float]:
    """(ra, dec) in degrees of an event's coordinates.

    Parameters
    ----------
    coordinates : str, (ra, dec) or astropy SkyCoord
        A sexagesimal string, right ascension in hours and declination in
        degrees ("17:54:14.53 -34:46:40.99", also with h/m/s and d/m/s or
        spaces), two numbers in degrees (a pair or a string "268.56 -34.78"),
        or anything with ``ra.deg`` and ``dec.deg`` (astropy's SkyCoord; not
        required).
    """
    if hasattr(coordinates, "ra") and hasattr(coordinates, "dec"):
        ra, dec = float(coordinates.ra.deg), float(coordinates.dec.deg)
    elif isinstance(coordinates, str):
        match = _SEXAGESIMAL.match(coordinates)
        if match:
            h, m, s, sign, d, dm, ds = match.groups()
            if int(m) >= 60 or float(s) >= 60 or int(dm) >= 60 or float(ds) >= 60:
                raise ValueError(f"coordinates {coordinates!r}: minutes and seconds must be below 60")
            ra = 15.0 * (int(h) + int(m) / 60.0 + float(s) / 3600.0)
            dec = (int(d) + int(dm) / 60.0 + float(ds) / 3600.0) * (-1.0 if sign == "-" else 1.0)
        else:
            parts = coordinates.replace(",", " ").split()
            try:
                ra, dec = (float(p) for p in parts)
            except ValueError:
                raise ValueError(f"coordinates {coordinates!r} are neither 'hh:mm:ss.s +dd:mm:ss.s' nor two "
                                 "numbers in degrees") from None
    elif isinstance(coordinates, Sequence) and len(coordinates) == 2:
        try:
            ra, dec = float(coordinates[0]), float(coordinates[1])
        except (TypeError, ValueError):
            raise TypeError(f"coordinates must be two numbers (ra, dec) in degrees, got {coordinates!r}") from None
    else:
        raise TypeError("coordinates must be a string, (ra, dec) in degrees or a SkyCoord, "
                        f"not {type(coordinates).__name__}")
    if not (math.isfinite(ra) and 0.0 <= ra < 360.0):
        raise ValueError(f"right ascension must lie in [0, 360) degrees, got {ra!r}")
    if not (math.isfinite(dec) and -90.0 <= dec <= 90.0):
        raise ValueError(f"declination must lie in [-90, 90] degrees, got {dec!r}")
    return ra, dec


def full_jd(t: npt.ArrayLike) -> Any:
    """Julian dates: t itself, or t + 2,450,000 where t is below 2,400,000."""
    t = np.asarray(t, dtype=float)
    return np.where(t < _SHORT_JD_BELOW, t + _SHORT_JD_ZERO, t)


def _sky_axes(coordinates: Any) -> tuple[Any, Any]:
    """The unit vectors north and east on the sky at the event, in the
    equatorial frame (ICRS, as ERFA's BCRS)."""
    ra, dec = (math.radians(x) for x in sky_position(coordinates))
    north = np.array([-math.sin(dec) * math.cos(ra), -math.sin(dec) * math.sin(ra), math.cos(dec)])
    east = np.array([-math.sin(ra), math.cos(ra), 0.0])
    return north, east


def _barycentre_seen_from_earth(jd: Any) -> tuple[Any, Any]:
    """Position (AU) and velocity (AU/day) of the barycentre relative to the
    Earth at TDB Julian dates jd, shape jd.shape + (3,)."""
    try:
        import erfa  # type: ignore[import-untyped, import-not-found, unused-ignore]
    except ImportError:
        raise ImportError("annual parallax needs pyerfa (the Earth's orbit): pip install 'kelvora[parallax]' "
                          "or pip install pyerfa") from None
    jd = np.asarray(jd, dtype=float)
    # date1 + date2: the day's start kept apart from its fraction, for precision.
    start = np.floor(jd - 0.5) + 0.5
    _, pvb = erfa.epv00(start, jd - start)
    return -pvb["p"], -pvb["v"]


def annual_offsets(t: npt.ArrayLike, coordinates: Any, t0_par: float) -> tuple[Any, Any]:
    """delta_s(t) north and east (AU): the projected position of the
    barycentre seen from the Earth less its value and its motion at t0_par.

    The offsets depend only on the times, the coordinates and t0_par: compute
    them once and pass them to :func:`kelvora_fspl.light_curve` as
    ``sky_offsets`` for repeated light curves (an Event does so).
    """
    t = np.asarray(t, dtype=float)
    if not math.isfinite(t0_par):
        raise ValueError(f"t0_par must be finite, got {t0_par!r}")
    north, east = _sky_axes(coordinates)
    jd, jd_par = full_jd(t), float(full_jd(t0_par))
    finite = np.isfinite(jd)
    position, _ = _barycentre_seen_from_earth(np.where(finite, jd, jd_par))
    (position_par,), (velocity_par,) = _barycentre_seen_from_earth(np.array([jd_par]))
    delta = position - position_par - (jd - jd_par)[..., None] * velocity_par
    delta_n = np.where(finite, delta @ north, np.nan)
    delta_e = np.where(finite, delta @ east, np.nan)
    return delta_n, delta_e
