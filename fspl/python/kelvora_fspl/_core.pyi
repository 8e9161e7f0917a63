"""Finite source, point lens: the flux-weighted magnification of a limb-darkened
source star by a single point-mass lens, numpy arrays in and out."""

from collections.abc import Sequence
from typing import Any, Final, TypeAlias, overload

import numpy
import numpy.typing

__version__: Final[str]
LAWS: Final[tuple[str, str, str, str, str, str]]
DEFAULT_TOLERANCE: Final[float]

# Arguments of shape (): the result is a numpy float64 scalar, as numpy's
# ufuncs return.  (Scalars are array-likes too, hence the overlap, as in
# numpy's own stubs.)
_Scalar: TypeAlias = float | numpy.floating[Any] | numpy.integer[Any]

@overload
def magnification(  # type: ignore[overload-overlap]
    u: _Scalar,
    rho: _Scalar,
    law: str = "uniform",
    coefficients: Sequence[Any] | numpy.typing.NDArray[Any] = (),
    *,
    tolerance: float = 1e-09,
) -> numpy.float64: ...
@overload
def magnification(
    u: numpy.typing.ArrayLike,
    rho: numpy.typing.ArrayLike,
    law: str = "uniform",
    coefficients: Sequence[Any] | numpy.typing.NDArray[Any] = (),
    *,
    tolerance: float = 1e-09,
) -> numpy.typing.NDArray[numpy.float64]: ...
@overload
def magnification_and_gradient(  # type: ignore[overload-overlap]
    u: _Scalar,
    rho: _Scalar,
    law: str = "uniform",
    coefficients: Sequence[Any] | numpy.typing.NDArray[Any] = (),
    *,
    coefficients_gradient: bool = False,
    tolerance: float = 1e-09,
) -> tuple[numpy.float64, ...]: ...
@overload
def magnification_and_gradient(
    u: numpy.typing.ArrayLike,
    rho: numpy.typing.ArrayLike,
    law: str = "uniform",
    coefficients: Sequence[Any] | numpy.typing.NDArray[Any] = (),
    *,
    coefficients_gradient: bool = False,
    tolerance: float = 1e-09,
) -> tuple[numpy.typing.NDArray[numpy.float64], ...]: ...
