"""Photometry of a microlensing event: one telescope and band per Dataset.

A Dataset holds times and fluxes with their errors, however they were given:
fluxes directly, or magnitudes turned into fluxes on a zero point,

    F = 10^(-0.4 (m - zero_point)),    sigma_F = 0.4 ln(10) F sigma_m,

(zero point 22 by default, as MulensModel's; only ratios of fluxes enter a
fit: the source and blend fluxes come out in the same unit).  Its ``band``
names the filter, which selects the limb-darkening coefficients of an event.

Files: whitespace columns (time, mag, err by default; '#' starts a comment)
or IPAC tables, as the NASA Exoplanet Archive serves microlensing
photometry (keyword lines starting with '\\', column names between '|',
then the type, unit and null lines).  A row with a value that is not a
finite number, or an error that is not positive, is refused with the file
and line, or dropped with bad="mask" (the lines dropped are kept in
``Dataset.dropped``).
"""

import math
import os
from typing import Any

import numpy as np
import numpy.typing as npt

__all__ = ["Dataset"]

LN10_04 = 0.4 * math.log(10.0)

# Column names recognised in IPAC tables, lower case, in order of preference.
TIME_NAMES = ("hjd", "bjd", "jd", "time", "date", "t")
MAG_NAMES = ("mag", "magnitude", "relative_magnitude", "m")
MAG_ERR_NAMES = ("mag_err", "magerr", "e_mag", "mag_error", "magnitude_uncertainty", "err", "error", "sigma", "sig")
FLUX_NAMES = ("flux", "relative_flux", "f")
FLUX_ERR_NAMES = ("flux_err", "fluxerr", "e_flux", "flux_error", "flux_uncertainty")


class Dataset:
    """Times and fluxes of one telescope in one band.

    Parameters
    ----------
    time : array_like
        Epochs (days; full HJD or an offset, the same as the model's t0).
    flux, flux_err : array_like, optional
        Fluxes and their errors (> 0), in any unit.
    mag, mag_err : array_like, optional
        Magnitudes and their errors (> 0), instead of fluxes.
    zero_point : float
        The magnitude of flux 1 (22, as MulensModel's).
    band : str or None
        The filter, which selects an event's limb-darkening coefficients.
    name : str or None
        What messages and plots call it (the file's name for from_file).
    bad : {"raise", "mask"}
        A row with a value that is not finite or an error <= 0: a ValueError
        naming the row, or the row dropped (its index in ``dropped``).
    """

    def __init__(self, time: npt.ArrayLike, flux: npt.ArrayLike | None = None, flux_err: npt.ArrayLike | None = None,
                 *, mag: npt.ArrayLike | None = None, mag_err: npt.ArrayLike | None = None, zero_point: float = 22.0,
                 band: str | None = None, name: str | None = None, bad: str = "raise",
                 _lines: list[int] | None = None) -> None:
        if bad not in ("raise", "mask"):
            raise ValueError(f"bad must be 'raise' or 'mask', got {bad!r}")
        if (flux is None) == (mag is None):
            raise TypeError("give either flux and flux_err or mag and mag_err")
        if flux is not None and flux_err is None:
            raise TypeError("flux needs flux_err")
        if mag is not None and mag_err is None:
            raise TypeError("mag needs mag_err")
        if not (isinstance(zero_point, (int, float)) and math.isfinite(zero_point)):
            raise ValueError(f"zero_point must be a finite number, got {zero_point!r}")
        if band is not None and not isinstance(band, str):
            raise TypeError(f"band must be a str or None, not {type(band).__name__}")
        self.band = band
        self.name = name
        self.zero_point = float(zero_point)
        columns: dict[str, Any] = {"time": time}
        if flux is not None:
            columns.update(flux=flux, flux_err=flux_err)
        else:
            columns.update(mag=mag, mag_err=mag_err)
        arrays = {key: _column(value, key) for key, value in columns.items()}
        lengths = {len(a) for a in arrays.values()}
        if len(lengths) != 1:
            raise ValueError("time and " + " and ".join(k for k in arrays if k != "time") +
                             f" must have equal lengths, got {', '.join(str(len(a)) for a in arrays.values())}")
        n = lengths.pop()
        good = np.ones(n, dtype=bool)
        problems: list[str | None] = [None] * n
        for key, values in arrays.items():
            bad_here = ~np.isfinite(values)
            if key.endswith("_err"):
                bad_here |= ~(values > 0)
            for i in map(int, np.flatnonzero(bad_here & good)):
                what = "positive" if key.endswith("_err") and np.isfinite(values[i]) else "finite"
                problems[i] = f"{key} must be {what}, got {float(values[i])!r}"
            good &= ~bad_here
        if not good.all():
            first = int(np.flatnonzero(~good)[0])
            if bad == "raise":
                where = f"{name or 'the data'} line {_lines[first]}" if _lines is not None else f"row {first}"
                raise ValueError(f"{where}: {problems[first]} (bad='mask' drops such rows)")
        self.dropped = (np.asarray(_lines)[~good] if _lines is not None else np.flatnonzero(~good)).tolist()
        self.time = arrays["time"][good]
        if flux is not None:
            self.flux = arrays["flux"][good]
            self.flux_err = arrays["flux_err"][good]
            self.mag = self.mag_err = None
        else:
            self.mag = arrays["mag"][good]
            self.mag_err = arrays["mag_err"][good]
            self.flux = 10.0 ** (-0.4 * (self.mag - self.zero_point))
            self.flux_err = LN10_04 * self.flux * self.mag_err
        if len(self.time) == 0:
            raise ValueError(f"{name or 'the data'} holds no usable rows")

    def __len__(self) -> int:
        return len(self.time)

    def __repr__(self) -> str:
        label = f" {self.name!r}" if self.name else ""
        band = f", band {self.band!r}" if self.band else ""
        return f"<Dataset{label}: {len(self)} epochs{band}>"

    @classmethod
    def from_file(cls, path: "str | os.PathLike[str]", band: str | None = None, *, columns: Any = None,
                  kind: str = "mag", zero_point: float = 22.0, time_offset: float = 0.0, name: str | None = None,
                  bad: str = "raise") -> "Dataset":
        """Read a Dataset from whitespace columns or an IPAC table.

        columns: the indices (whitespace files) or names (IPAC) of the time,
        value and error columns; by default (0, 1, 2), or for IPAC the first
        of the usual names (hjd/bjd/jd/time; mag or flux; mag_err, err,
        sigma, ...).  kind: "mag" or "flux", what the value column holds
        (IPAC: taken from the column's name when columns is not given).
        time_offset is added to the times (2450000 for HJD - 2450000, say).
        An IPAC table's band, unless given, is its TIME_SERIES_DATA_FILTER.
        """
        if kind not in ("mag", "flux"):
            raise ValueError(f"kind must be 'mag' or 'flux', got {kind!r}")
        path = os.fspath(path)
        label = name or os.path.basename(path)
        with open(path, encoding="utf-8", errors="replace") as handle:
            text = handle.read().splitlines()
        ipac = any(line.startswith("|") for line in text[:200])
        if ipac:
            table, lines, kind, filter_band = _read_ipac(text, label, columns, kind)
            band = filter_band if band is None else band
        else:
            table, lines = _read_columns(text, label, columns)
        time, value, error = table
        time = time + float(time_offset)
        if kind == "mag":
            return cls(time, mag=value, mag_err=error, zero_point=zero_point, band=band, name=label, bad=bad,
                       _lines=lines)
        return cls(time, value, error, zero_point=zero_point, band=band, name=label, bad=bad, _lines=lines)


def _column(values: Any, name: str) -> npt.NDArray[np.float64]:
    try:
        out = np.asarray(values, dtype=np.float64)
    except (TypeError, ValueError) as exc:
        raise TypeError(f"{name} must be an array of real numbers ({exc})") from None
    if out.ndim != 1:
        raise ValueError(f"{name} must be one-dimensional, got shape {out.shape}")
    return out


def _number(text: str) -> float:
    try:
        return float(text)
    except ValueError:
        return math.nan


def _read_columns(text: list[str], label: str, columns: Any) -> tuple[Any, list[int]]:
    indices = (0, 1, 2) if columns is None else tuple(columns)
    if len(indices) != 3 or not all(isinstance(i, int) for i in indices):
        raise TypeError("columns of a whitespace file: three column indices (time, value, error)")
    rows, lines = [], []
    for number, line in enumerate(text, start=1):
        content = line.split("#", 1)[0].split()
        if not content:
            continue
        if max(indices) >= len(content):
            raise ValueError(f"{label} line {number}: {len(content)} columns, column {max(indices)} wanted")
        rows.append([_number(content[i]) for i in indices])
        lines.append(number)
    if not rows:
        raise ValueError(f"{label} holds no data rows")
    table = np.array(rows, dtype=np.float64).T
    return (table[0], table[1], table[2]), lines


def _pick(names: list[str], wanted: tuple[str, ...], label: str, what: str) -> int:
    for candidate in wanted:
        if candidate in names:
            return names.index(candidate)
    raise ValueError(f"{label}: no {what} column among {names} (give columns=)")


def _read_ipac(text: list[str], label: str, columns: Any, kind: str) -> tuple[Any, list[int], str, str | None]:
    """(time, value, error), the line of each row, the kind of value and the
    table's filter (its TIME_SERIES_DATA_FILTER keyword, or None)."""
    headers = [(n, line) for n, line in enumerate(text, start=1) if line.startswith("|")]
    name_line = headers[0][1]
    # Fixed-width columns, bounded by the '|' of the names line: a value lies
    # between two bars (a column may be empty on every row).
    bars = [i for i, c in enumerate(name_line) if c == "|"]
    spans = list(zip(bars, bars[1:]))
    names = [name_line[a + 1:b].strip() for a, b in spans]
    lower = [n.lower() for n in names]
    nulls = {""}
    if len(headers) >= 4:  # names, types, units, nulls
        null_line = headers[3][1]
        nulls |= {null_line[a + 1:b].strip() for a, b in spans}
    band = None
    for line in text:
        if line.startswith("\\") and "=" in line:
            key, value = line[1:].split("=", 1)
            if key.strip().upper() == "TIME_SERIES_DATA_FILTER":
                band = value.strip().strip("'\"") or None
    if columns is None:
        t = _pick(lower, TIME_NAMES, label, "time")
        try:
            v = _pick(lower, MAG_NAMES, label, "magnitude")
            e = _pick(lower, MAG_ERR_NAMES, label, "magnitude error")
            kind = "mag"
        except ValueError:
            v = _pick(lower, FLUX_NAMES, label, "magnitude or flux")
            e = _pick(lower, FLUX_ERR_NAMES, label, "flux error")
            kind = "flux"
    else:
        if len(columns) != 3:
            raise TypeError("columns of an IPAC table: three column names (time, value, error)")
        missing = [c for c in columns if str(c).lower() not in lower]
        if missing:
            raise ValueError(f"{label}: no column {missing[0]!r} among {names}")
        t, v, e = (lower.index(str(c).lower()) for c in columns)
    last_header = headers[-1][0]
    rows, lines = [], []
    for number, line in enumerate(text, start=1):
        if number <= last_header or not line.strip() or line.startswith(("\\", "|")):
            continue
        if len(line.rstrip()) > bars[-1] + 1:
            raise ValueError(f"{label} line {number}: values beyond the last of the {len(names)} columns")
        fields = [line[a:b + 1].strip() for a, b in spans]
        rows.append([math.nan if fields[i] in nulls else _number(fields[i]) for i in (t, v, e)])
        lines.append(number)
    if not rows:
        raise ValueError(f"{label} holds no data rows")
    table = np.array(rows, dtype=np.float64).T
    return (table[0], table[1], table[2]), lines, kind, band
