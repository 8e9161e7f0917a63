"""Magnification of a finite, limb-darkened source star by a single point-mass lens.

Separations ``l``, ring radii ``r`` and table radii ``bl`` are in units of
the stellar radius; ``re`` (Einstein radius) and ``rstar`` (stellar radius)
share one unit of the caller's choice, only their ratio enters.
"""

from collections.abc import Iterator, Sequence
from typing import Any, Protocol, SupportsFloat, SupportsIndex, TypeAlias, type_check_only

__all__ = [
    "witt_mao_magnification",
    "integrated_witt_mao_magnification",
    "integrated_flux_map_witt_mao_magnification",
    "heyrovsky_magnification",
    "integrated_heyrovsky_magnification",
    "integrated_flux_map_heyrovsky_magnification",
    "discrete_flux_map_heyrovsky_magnification",
]

# A number is anything float() accepts through __float__ or __index__.
_Real: TypeAlias = SupportsFloat | SupportsIndex

@type_check_only
class _ArrayOfReals(Protocol):
    """A sequence that is not a collections.abc.Sequence, such as a numpy array."""

    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> Any: ...
    def __iter__(self) -> Iterator[_Real]: ...
    def __array__(self, *args: Any, **kwargs: Any) -> Any: ...

# A sequence of numbers: list, tuple, range, bytes, array.array, numpy arrays...
# (a str is refused at run time).
_Reals: TypeAlias = Sequence[_Real] | _ArrayOfReals

def witt_mao_magnification(l: _Reals, re: _Real, rstar: _Real) -> list[float]:
    """Uniformly bright disk (Witt & Mao 1994), one value per separation."""

def integrated_witt_mao_magnification(l: _Reals, re: _Real, rstar: _Real) -> list[float]:
    """The full-source disk value integrated against linear limb darkening 0.6."""

def integrated_flux_map_witt_mao_magnification(
    l: _Reals, re: _Real, rstar: _Real, bl: _Reals, bf: _Reals
) -> list[float]:
    """As integrated_witt_mao_magnification, with the tabulated profile (bl, bf)."""

def heyrovsky_magnification(l: _Real, r: _Real, re: _Real, rstar: _Real) -> float:
    """One thin ring of radius r: the point-lens magnification averaged over it."""

def integrated_heyrovsky_magnification(l: _Reals, re: _Real, rstar: _Real) -> list[float]:
    """The ring kernel integrated against linear limb darkening 0.6."""

def integrated_flux_map_heyrovsky_magnification(
    l: _Reals, re: _Real, rstar: _Real, bl: _Reals, bf: _Reals
) -> list[float]:
    """As integrated_heyrovsky_magnification, with the tabulated profile (bl, bf)."""

def discrete_flux_map_heyrovsky_magnification(
    l: _Reals, re: _Real, rstar: _Real, bl: _Reals, bf: _Reals
) -> list[float]:
    """Sum over rings j of heyrovsky_magnification(l_i, bl[j], re, rstar) * bf[j]."""
