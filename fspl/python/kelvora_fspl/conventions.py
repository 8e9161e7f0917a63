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

import numpy as np

__all__ = ["gamma_lambda_to_square_root", "gamma_to_u1", "square_root_to_gamma_lambda", "u1_to_gamma"]


def _result(x):
    return x[()] if isinstance(x, np.ndarray) and x.ndim == 0 else x


def gamma_to_u1(gamma):
    """The linear law's u1 (I = 1 - u1 (1 - mu)) of the coefficient Gamma
    (I / <I> = 1 - Gamma (1 - 3 mu / 2)): u1 = 3 Gamma / (2 + Gamma)."""
    gamma = np.asarray(gamma, dtype=np.float64)
    return _result(3.0 * gamma / (2.0 + gamma))


def u1_to_gamma(u1):
    """The inverse of :func:`gamma_to_u1`: Gamma = 2 u1 / (3 - u1)."""
    u1 = np.asarray(u1, dtype=np.float64)
    return _result(2.0 * u1 / (3.0 - u1))


def gamma_lambda_to_square_root(gamma, lam):
    """The square-root law's (c, d) (I = 1 - c (1 - mu) - d (1 - sqrt(mu)))
    of (Gamma, Lambda): c = 6 Gamma / D and d = 5 Lambda / D with
    D = 4 + 2 Gamma + Lambda."""
    gamma = np.asarray(gamma, dtype=np.float64)
    lam = np.asarray(lam, dtype=np.float64)
    denominator = 4.0 + 2.0 * gamma + lam
    return _result(6.0 * gamma / denominator), _result(5.0 * lam / denominator)


def square_root_to_gamma_lambda(c, d):
    """The inverse of :func:`gamma_lambda_to_square_root`: Gamma = 2c / (3 q)
    and Lambda = 4d / (5 q) with q = 1 - c/3 - d/5."""
    c = np.asarray(c, dtype=np.float64)
    d = np.asarray(d, dtype=np.float64)
    q = 1.0 - c / 3.0 - d / 5.0
    return _result(2.0 * c / (3.0 * q)), _result(4.0 * d / (5.0 * q))
