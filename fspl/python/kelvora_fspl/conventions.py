"""Limb-darkening coefficients in the forms the literature quotes.

kelvora_fspl's laws are written in the intensity normalised to 1 at the
centre of the disk (``magnification``'s docstring).  Microlensing papers, and
MulensModel (``gamma``), quote the linear law instead in the form normalised
to the disk's mean surface brightness (Albrow et al. 1999, ApJ 522, 1022;
Afonso et al. 2000, ApJ 532, 340):

    I(mu) / <I> = 1 - Gamma (1 - 3 mu / 2),

and the square-root law as

    I(mu) / <I> = 1 - Gamma (1 - 3 mu / 2) - Lambda (1 - 5 sqrt(mu) / 4).

The shapes are the same, so the magnification is: with the common factor
k = 1 + Gamma/2 + Lambda/4 taken out, u1 = c = 3 Gamma / (2 k) and
d = 5 Lambda / (4 k).  VBMicrolensing's ``a1`` is u1 itself.

Every function takes floats or arrays (numpy broadcasting) and returns
floats for floats.
"""

from typing import Any

import numpy as np
import numpy.typing as npt

__all__ = ["gamma_lambda_to_square_root", "gamma_to_u1", "square_root_to_gamma_lambda", "u1_to_gamma"]


def _result(x: Any) -> Any:
    return x[()] if isinstance(x, np.ndarray) and x.ndim == 0 else x


def gamma_to_u1(gamma: npt.ArrayLike) -> Any:
    """The linear law's u1 (I = 1 - u1 (1 - mu)) of the coefficient Gamma
    (I / <I> = 1 - Gamma (1 - 3 mu / 2)): u1 = 3 Gamma / (2 + Gamma)."""
    g = np.asarray(gamma, dtype=np.float64)
    return _result(3.0 * g / (2.0 + g))


def u1_to_gamma(u1: npt.ArrayLike) -> Any:
    """The inverse of :func:`gamma_to_u1`: Gamma = 2 u1 / (3 - u1)."""
    u = np.asarray(u1, dtype=np.float64)
    return _result(2.0 * u / (3.0 - u))


def gamma_lambda_to_square_root(gamma: npt.ArrayLike, lam: npt.ArrayLike) -> tuple[Any, Any]:
    """The square-root law's (c, d) (I = 1 - c (1 - mu) - d (1 - sqrt(mu)))
    of (Gamma, Lambda): c = 6 Gamma / D and d = 5 Lambda / D with
    D = 4 + 2 Gamma + Lambda."""
    g = np.asarray(gamma, dtype=np.float64)
    la = np.asarray(lam, dtype=np.float64)
    denominator = 4.0 + 2.0 * g + la
    return _result(6.0 * g / denominator), _result(5.0 * la / denominator)


def square_root_to_gamma_lambda(c: npt.ArrayLike, d: npt.ArrayLike) -> tuple[Any, Any]:
    """The inverse of :func:`gamma_lambda_to_square_root`: Gamma = 2c / (3 q)
    and Lambda = 4d / (5 q) with q = 1 - c/3 - d/5."""
    ca = np.asarray(c, dtype=np.float64)
    da = np.asarray(d, dtype=np.float64)
    q = 1.0 - ca / 3.0 - da / 5.0
    return _result(2.0 * ca / (3.0 * q)), _result(4.0 * da / (5.0 * q))
