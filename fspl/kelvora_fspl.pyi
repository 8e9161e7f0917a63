"""Finite source, point lens: the flux-weighted magnification of a limb-darkened
source star by a single point-mass lens, numpy arrays in and out."""

from collections.abc import Sequence
from typing import Any, Final

import numpy
import numpy.typing

__version__: Final[str]
LAWS: Final[tuple[str, str, str, str, str, str]]

def magnification(
    u: numpy.typing.ArrayLike,
    rho: numpy.typing.ArrayLike,
    law: str = "uniform",
    coefficients: Sequence[Any] | numpy.typing.NDArray[Any] = (),
) -> numpy.typing.NDArray[numpy.float64]: ...
def magnification_and_gradient(
    u: numpy.typing.ArrayLike,
    rho: numpy.typing.ArrayLike,
    law: str = "uniform",
    coefficients: Sequence[Any] | numpy.typing.NDArray[Any] = (),
    *,
    coefficients_gradient: bool = False,
) -> tuple[numpy.typing.NDArray[numpy.float64], ...]: ...
