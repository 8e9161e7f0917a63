"""kelvora_fspl.Dataset: photometry from arrays, whitespace columns and IPAC
tables, magnitudes on a zero point, and the rows refused or dropped."""

import math

import pytest

np = pytest.importorskip("numpy")

from kelvora_fspl import Dataset  # noqa: E402

IPAC = """\\fixlen = T
\\ Photometry of a test event
\\ TELESCOPE = 'test'
\\TIME_SERIES_DATA_FILTER = "I"
|      HJD       |    mag    | mag_err |
|     double     |  double   | double  |
|      days      |    mag    |   mag   |
|      null      |   null    |  null   |
 2454656.3000000   17.500000  0.010000
 2454656.4000000   17.250000  0.012000
 2454656.5000000        null  0.010000
 2454656.6000000   16.900000  0.015000
"""


def test_magnitudes_become_fluxes_on_the_zero_point():
    mag = np.array([18.0, 17.0, 22.0])
    err = np.array([0.01, 0.02, 0.1])
    data = Dataset([1.0, 2.0, 3.0], mag=mag, mag_err=err, band="I")
    assert np.allclose(data.flux, [10 ** 1.6, 10 ** 2.0, 1.0], rtol=1e-14)
    # sigma_F = |dF/dm| sigma_m, against a central difference of F(m).
    f = lambda m: 10.0 ** (-0.4 * (m - 22.0))  # noqa: E731
    slope = (f(mag + 1e-6) - f(mag - 1e-6)) / 2e-6
    assert np.allclose(data.flux_err, abs(slope) * err, rtol=1e-8)
    assert data.band == "I" and len(data) == 3
    other = Dataset([1.0], mag=[20.0], mag_err=[0.1], zero_point=25.0)
    assert other.flux[0] == pytest.approx(100.0, rel=1e-14)


def test_fluxes_are_kept_as_given():
    data = Dataset([0.5, 1.5], [3.0, 4.0], [0.1, 0.2])
    assert np.array_equal(data.flux, [3.0, 4.0]) and np.array_equal(data.flux_err, [0.1, 0.2])
    assert data.mag is None and data.dropped == []


@pytest.mark.parametrize("flux, err, message", [
    ([1.0, math.nan, 2.0], [0.1, 0.1, 0.1], "row 1: flux must be finite, got nan"),
    ([1.0, 2.0, 2.0], [0.1, 0.0, 0.1], "row 1: flux_err must be positive, got 0.0"),
    ([1.0, 2.0, 2.0], [0.1, 0.1, -1.0], "row 2: flux_err must be positive, got -1.0"),
    ([1.0, 2.0, math.inf], [0.1, 0.1, 0.1], "row 2: flux must be finite, got inf"),
])
def test_bad_rows_are_refused_or_dropped(flux, err, message):
    with pytest.raises(ValueError, match="^" + message.replace("(", r"\(")):
        Dataset([0.0, 1.0, 2.0], flux, err)
    data = Dataset([0.0, 1.0, 2.0], flux, err, bad="mask")
    assert len(data) == 2 and len(data.dropped) == 1
    assert np.isfinite(data.flux).all() and (data.flux_err > 0).all()


def test_wrong_use():
    with pytest.raises(TypeError, match="either flux and flux_err or mag and mag_err"):
        Dataset([1.0], [1.0], [0.1], mag=[18.0], mag_err=[0.1])
    with pytest.raises(TypeError, match="flux needs flux_err"):
        Dataset([1.0], [1.0])
    with pytest.raises(ValueError, match="must have equal lengths"):
        Dataset([1.0, 2.0], [1.0], [0.1])
    with pytest.raises(TypeError, match="^time must be an array of real numbers"):
        Dataset(["a"], [1.0], [0.1])
    with pytest.raises(ValueError, match="holds no usable rows"):
        Dataset([1.0], [math.nan], [0.1], bad="mask")


def test_whitespace_columns(tmp_path):
    path = tmp_path / "ogle.dat"
    path.write_text("# HJD mag err\n2454650.1 17.5 0.01\n\n2454650.2 17.4 0.02  # a comment\n"
                    "2454650.3 17.3 -0.01\n")
    with pytest.raises(ValueError, match=r"^ogle\.dat line 5: mag_err must be positive, got -0\.01"):
        Dataset.from_file(path, band="I")
    data = Dataset.from_file(path, band="I", bad="mask")
    assert data.name == "ogle.dat" and data.band == "I"
    assert np.array_equal(data.time, [2454650.1, 2454650.2]) and data.dropped == [5]
    # Other columns, an offset in time, fluxes.
    path.write_text("17.5 0.01 4650.1 9\n17.4 0.02 4650.2 9\n")
    data = Dataset.from_file(path, columns=(2, 0, 1), kind="flux", time_offset=2450000.0)
    assert np.allclose(data.time, [2454650.1, 2454650.2]) and np.array_equal(data.flux, [17.5, 17.4])


def test_ipac_tables(tmp_path):
    path = tmp_path / "event.tbl"
    path.write_text(IPAC)
    with pytest.raises(ValueError, match=r"^event\.tbl line 11: mag must be finite, got nan"):
        Dataset.from_file(path, band="R")
    data = Dataset.from_file(path, band="R", bad="mask")
    assert np.array_equal(data.time, [2454656.3, 2454656.4, 2454656.6]) and data.dropped == [11]
    assert data.flux[0] == pytest.approx(10 ** (-0.4 * (17.5 - 22.0)), rel=1e-14)
    named = Dataset.from_file(path, columns=("hjd", "MAG", "mag_err"), bad="mask")
    assert np.array_equal(named.flux, data.flux)
    with pytest.raises(ValueError, match="no column 'flux'"):
        Dataset.from_file(path, columns=("hjd", "flux", "mag_err"))
    # The band is the table's filter unless given.
    assert data.band == "R" and Dataset.from_file(path, bad="mask").band == "I"
    # Fixed-width columns: a value missing from a row is a bad row, one
    # beyond the last column an error.
    short = tmp_path / "short.tbl"
    short.write_text(IPAC.replace("        null  0.010000", "   17.100000  0.010000") + "  2454656.7000000   17.000000\n")
    with pytest.raises(ValueError, match=r"^short\.tbl line 13: mag_err must be finite, got nan"):
        Dataset.from_file(short)
    broken = tmp_path / "broken.tbl"
    broken.write_text(IPAC.replace("        null  0.010000", "   17.100000  0.010000") +
                      "  2454656.7000000   17.000000  0.010000  12.5\n")
    with pytest.raises(ValueError, match=r"^broken\.tbl line 13: values beyond the last of the 3 columns"):
        Dataset.from_file(broken)
