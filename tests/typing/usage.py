"""Calls a type checker must accept, and calls it must refuse (each refusal
carries a targeted ignore; with --strict an ignore that is not needed is an
error, so a stub that accepted them would fail the check)."""

import array
from fractions import Fraction

import numpy as np

import kelvora

separations = [0.0, 0.5, 1, True]
a: list[float] = kelvora.witt_mao_magnification(separations, 1.0, 0.1)
b: list[float] = kelvora.integrated_witt_mao_magnification((0.5, 2.0), 1, Fraction(1, 10))
c: list[float] = kelvora.witt_mao_magnification(np.linspace(0.0, 2.0, 5), np.float64(1.0), 0.1)
d: list[float] = kelvora.integrated_heyrovsky_magnification(array.array("d", [2.0]), 1.0, 0.1)
e: float = kelvora.heyrovsky_magnification(0.5, 0.25, 1.0, np.float32(0.1))
f: list[float] = kelvora.discrete_flux_map_heyrovsky_magnification(range(3), 1.0, 0.1, [0.5], [1.0])
g: list[float] = kelvora.integrated_flux_map_witt_mao_magnification(b"\x01", 1.0, 0.1, (0.0, 1.0), (1.0, 0.4))
h: list[float] = kelvora.integrated_flux_map_heyrovsky_magnification(
    l=[2.0], re=1.0, rstar=0.1, bl=np.array([0.0, 1.0]), bf=[1.0, 0.4]
)

kelvora.witt_mao_magnification("0.5", 1.0, 0.1)  # type: ignore[arg-type]
kelvora.witt_mao_magnification({0: 0.5}, 1.0, 0.1)  # type: ignore[arg-type]
kelvora.witt_mao_magnification([0.5], "1.0", 0.1)  # type: ignore[arg-type]
kelvora.witt_mao_magnification([None], 1.0, 0.1)  # type: ignore[list-item]
kelvora.heyrovsky_magnification([0.5], 0.3, 1.0, 1.0)  # type: ignore[arg-type]
kelvora.witt_mao_magnification([0.5], 1.0)  # type: ignore[call-arg]
wrong: float = kelvora.witt_mao_magnification([0.5], 1.0, 0.1)  # type: ignore[assignment]
