"""Finite source, point lens: the flux-weighted magnification of a limb-darkened
source star by a single point-mass lens, numpy arrays in and out.

``magnification`` and ``magnification_and_gradient`` (the compiled core,
``kelvora_fspl._core``) give A(u, rho) for every law; ``light_curve`` gives
A(t) on the rectilinear trajectory with its exact partials; the functions
of ``conventions`` move limb-darkening coefficients between the forms papers
and the field's other packages quote.
"""

from kelvora_fspl._core import DEFAULT_TOLERANCE, LAWS, __version__, magnification, magnification_and_gradient
from kelvora_fspl.data import Dataset
from kelvora_fspl.event import Event, FitResult
from kelvora_fspl.conventions import (
    gamma_lambda_to_square_root,
    gamma_to_u1,
    square_root_to_gamma_lambda,
    u1_to_gamma,
)
from kelvora_fspl import parallax
from kelvora_fspl.lightcurve import coefficient_names, light_curve, point_source_magnification, trajectory

__all__ = [
    "DEFAULT_TOLERANCE",
    "Dataset",
    "Event",
    "FitResult",
    "LAWS",
    "__version__",
    "coefficient_names",
    "gamma_lambda_to_square_root",
    "gamma_to_u1",
    "light_curve",
    "magnification",
    "magnification_and_gradient",
    "point_source_magnification",
    "parallax",
    "square_root_to_gamma_lambda",
    "trajectory",
    "u1_to_gamma",
]
