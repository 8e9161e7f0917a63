"""Calls of kelvora_fspl a type checker must accept, and calls it must refuse
(each refusal carries a targeted ignore; with --strict an ignore that is not
needed is an error, so a stub that accepted them would fail the check)."""

import array
from decimal import Decimal
from fractions import Fraction

import numpy as np
import numpy.typing as npt

import kelvora_fspl

a: npt.NDArray[np.float64] = kelvora_fspl.magnification([0.0, 0.05, 0.5], 0.1)
b: npt.NDArray[np.float64] = kelvora_fspl.magnification(np.linspace(0.0, 1.0, 5), np.float64(0.1), "linear", (0.6,))
c: npt.NDArray[np.float64] = kelvora_fspl.magnification(
    u=[[0.1, 0.2], [0.3, 0.4]], rho=np.array([0.05, 0.5]), law="quadratic", coefficients=[0.4, 0.25]
)
d = kelvora_fspl.magnification(0.5, 0.1, law="tabulated", coefficients=([0.0, 0.5, 1.0], np.array([0.3, 0.8, 1.0])))
e = kelvora_fspl.magnification(array.array("d", [0.2, 0.7]), 1, "power-2", (Fraction(7, 10), Decimal("0.6")))
f = kelvora_fspl.magnification(np.arange(3), True, "uniform", range(0))
value, du, drho = kelvora_fspl.magnification_and_gradient([0.0, 0.5], 0.1)[:3]
parts: tuple[np.float64, ...] = kelvora_fspl.magnification_and_gradient(
    0.5, 0.1, "linear", (0.6,), coefficients_gradient=True
)
scalar: np.float64 = kelvora_fspl.magnification(0.5, np.float64(0.1), "linear", (0.6,))
also_scalar: float = kelvora_fspl.magnification(1, 0.1)
slope: float = float(du[1]) + float(parts[3])
peak: float = float(d.max()) + float(e.sum()) + float(f[0])
shape: tuple[int, ...] = c.shape
laws: tuple[str, ...] = kelvora_fspl.LAWS
first: str = kelvora_fspl.LAWS[0]
version: str = kelvora_fspl.__version__

kelvora_fspl.magnification(0.5, 0.1, 1)  # type: ignore[call-overload]
kelvora_fspl.magnification(0.5, 0.1, "linear", 0.6)  # type: ignore[call-overload]
kelvora_fspl.magnification(0.5)  # type: ignore[call-overload]
kelvora_fspl.magnification(0.5, 0.1, coefficient=(0.6,))  # type: ignore[call-overload]
kelvora_fspl.magnification(0.5, 0.1, "uniform", (), 1)  # type: ignore[call-overload]
kelvora_fspl.magnification({0: 0.5}, 0.1)  # type: ignore[call-overload]
wrong: str = kelvora_fspl.magnification(0.5, 0.1)  # type: ignore[assignment]
wrong_array: npt.NDArray[np.float64] = kelvora_fspl.magnification(0.5, 0.1)  # type: ignore[assignment]
wrong_dtype: npt.NDArray[np.int64] = kelvora_fspl.magnification(0.5, 0.1)  # type: ignore[assignment]
kelvora_fspl.LAWS = kelvora_fspl.LAWS  # type: ignore[misc]
kelvora_fspl.__version__ = "0"  # type: ignore[misc]
kelvora_fspl.magnification_and_gradient(0.5, 0.1, coefficients_gradient="yes")  # type: ignore[call-overload]
