"""kelvora_fspl.magnification_and_gradient: the magnification with its
derivatives in u, rho and the limb-darkening coefficients.

The values are checked against the mpmath table of
tools/gen_fspl_gradient_reference.py (every row is checked in C++,
tests/cpp/test_fspl_gradient.cpp; here a sample goes through the Python
surface, and every row of the large sources and of the lens within 1e-7 of
the limb); the arguments, errors and shapes against magnification(), whose
surface this function shares; the derivatives against identities that hold
whatever the code (scale invariance of a table, A = N/F linear in the
coefficients).
"""

import csv
import math

import pytest

np = pytest.importorskip("numpy")
import kelvora_fspl  # noqa: E402
from _support import DATA  # noqa: E402

grad = kelvora_fspl.magnification_and_gradient
mag = kelvora_fspl.magnification

LAWS = [
    ("uniform", ()),
    ("linear", (0.6,)),
    ("quadratic", (0.4, 0.25)),
    ("square-root", (0.3, 0.5)),
    ("power-2", (0.7, 0.6)),
    ("tabulated", ([0.0, 0.1, 0.3, 0.6, 1.0], [0.25, 0.55, 0.75, 0.9, 1.0])),
]


def count(law, coefficients):
    return len(coefficients[1]) if law == "tabulated" else len(coefficients)


# -- the surface ------------------------------------------------------------------------------------


@pytest.mark.parametrize("law, coefficients", LAWS)
def test_arrays_of_the_broadcast_shape_and_the_magnification_bit_for_bit(law, coefficients):
    u = np.linspace(0.0, 3.0, 13)[:, None]
    rho = np.array([1e-3, 0.1, 1.0, 30.0])
    for with_coefficients in (False, True):
        out = grad(u, rho, law, coefficients, coefficients_gradient=with_coefficients)
        assert type(out) is tuple
        assert len(out) == 3 + (count(law, coefficients) if with_coefficients else 0)
        for part in out:
            assert type(part) is np.ndarray and part.dtype == np.float64 and part.shape == (13, 4)
            assert part.flags.c_contiguous and part.flags.writeable
        assert out[0].tobytes() == mag(u, rho, law, coefficients).tobytes()


def test_scalars_give_zero_dimensional_arrays():
    a, du, drho = grad(0.5, 0.1)
    assert a.shape == du.shape == drho.shape == ()
    assert float(a) == float(mag(0.5, 0.1))


@pytest.mark.parametrize("law, coefficients", LAWS)
def test_two_floats_give_the_arrays_results(law, coefficients):
    # Two Python floats take a direct path; a 0-d array goes through the
    # arrays' iterator: the same numpy.float64 parts, bit for bit, and the
    # same errors.
    for u in (0.0, 0.03, 0.1, 0.25, 5.0):
        for with_coefficients in (False, True):
            direct = grad(u, 0.1, law, coefficients, coefficients_gradient=with_coefficients)
            through = grad(np.array(u), 0.1, law, coefficients, coefficients_gradient=with_coefficients)
            assert type(direct) is tuple and len(direct) == len(through)
            assert all(type(part) is np.float64 for part in direct + through)
            assert [p.tobytes() for p in direct] == [p.tobytes() for p in through], (u, with_coefficients)
    for bad_u, bad_rho, message in ((-0.5, 0.1, "u must be non-negative"), (0.5, math.inf, "rho must be positive")):
        with pytest.raises(ValueError, match=message):
            grad(bad_u, bad_rho, law, coefficients)
        with pytest.raises(ValueError, match=message):
            grad(np.array(bad_u), np.array(bad_rho), law, coefficients)


def test_coefficients_gradient_is_keyword_only_and_a_bool():
    with pytest.raises(TypeError):
        grad(0.5, 0.1, "linear", (0.6,), True)
    with pytest.raises(TypeError):
        grad(0.5, 0.1, "linear", (0.6,), coefficients_gradient="yes")


@pytest.mark.parametrize("args", [
    (-0.1, 0.1, "uniform", ()),
    (0.5, 0.0, "uniform", ()),
    (0.5, math.inf, "uniform", ()),
    (0.5, 0.1, "cubic", ()),
    (0.5, 0.1, "linear", ()),
    (0.5, 0.1, "linear", (1.5,)),
    (0.5, 0.1, "linear", (math.nan,)),
    (0.5, 0.1, "tabulated", ([0.5, 0.2], [1.0, 1.0])),
    ("0.5", 0.1, "uniform", ()),
    (0.5, 0.1, 3, ()),
    (0.5, 0.1, "linear", 0.6),
    ([0.5, 0.6], [0.1, 0.2, 0.3], "uniform", ()),
])
def test_errors_are_those_of_the_magnification(args):
    with pytest.raises(Exception) as expected:
        mag(*args)
    with pytest.raises(type(expected.value)) as got:
        grad(*args, coefficients_gradient=True)
    assert str(got.value) == str(expected.value)


@pytest.mark.parametrize("law, coefficients", LAWS)
def test_nan_separation_gives_nan_there_only(law, coefficients):
    out = grad([0.05, math.nan, 0.5], 0.1, law, coefficients, coefficients_gradient=True)
    for part in out:
        assert math.isnan(part[1])
        assert not np.isnan(part[[0, 2]]).any()


@pytest.mark.parametrize("law, coefficients", LAWS)
def test_a_source_below_the_smallest_normal_double_overflows_without_nan(law, coefficients):
    # A ~ 1/rho: for rho = 5e-324 and 1e-310 it exceeds the largest double.
    # (Found by the long fuzzing run: the limb-darkened laws gave A = 1.0 and
    # NaN coefficient derivatives there, the uniform disk 1.0 at u = 2 rho.)
    for rho in (5e-324, 1e-310):
        u = np.array([0.0, 0.5, 1.0, 2.0, 20.0]) * rho
        out = grad(u, rho, law, coefficients, coefficients_gradient=True)
        assert (out[0] == math.inf).all()
        assert (kelvora_fspl.magnification(u, rho, law, coefficients) == math.inf).all()
        assert float(out[1][0]) == 0.0 and float(out[2][0]) == -math.inf
        for part in out:
            assert not np.isnan(part).any()


# -- the values -------------------------------------------------------------------------------------


def reference_rows():
    rows = []
    with open(DATA / "fspl_gradient_reference.csv") as f:
        lines = (line for line in f if not line.startswith("#") and line.strip())
        for row in csv.DictReader(lines):
            rows.append(row)
    return rows


def law_arguments(row):
    law = row["law"]
    if law == "tabulated":
        return law, ([float(x) for x in row["mu_nodes"].split()], [float(x) for x in row["intensities"].split()])
    values = [float(row[c]) for c in ("c1", "c2") if row[c]]
    return law, tuple(values)


def expected_values(row):
    expected = [float(row["magnification"]), float(row["dA_du"]), float(row["dA_drho"])]
    return expected + [float(x) for x in row["dA_dcoefficients"].split()]


def absolute_scale(u, rho):
    """Where the derivatives are promised on the scale of A (see
    tests/cpp/test_fspl_gradient.cpp): sources above a hundred Einstein radii,
    short of the lens four Einstein radii outside the limb."""
    return rho > 100 and u - rho < 4


def check_row(row):
    """A row of the table through the Python surface: relative 1e-8, or on
    the absolute scale 1e-8 of A/rho for the u- and rho-derivatives and 1e-8
    of A for the coefficients'.  An infinite derivative (the lens on a
    bright limb) must be that infinity."""
    law, coefficients = law_arguments(row)
    u, rho = float(row["u"]), float(row["rho"])
    out = grad(u, rho, law, coefficients, coefficients_gradient=True)
    expected = expected_values(row)
    assert len(out) == len(expected)
    a = float(out[0])
    for k, (got, want) in enumerate(zip(out, expected)):
        if math.isinf(want):
            assert float(got) == want, (law, u / rho, rho, k, float(got), want)
            continue
        slack = 1e-8 * abs(want)
        if absolute_scale(u, rho) and k > 0:
            slack += 1e-8 * a / (rho if k < 3 else 1.0)
        assert abs(float(got) - want) <= slack, (law, u / rho, rho, k, float(got), want)


def test_the_mpmath_table_through_the_python_surface():
    rows = reference_rows()
    assert len(rows) > 300
    for row in rows[::7]:
        check_row(row)


def test_large_sources_and_the_limb_to_1e_8_relative():
    # Every row of the sources of 30 to 100 Einstein radii (a grid dense
    # about the limb, where the disks' singularities s = u +- 2i come within
    # 2/rho of the lens's kink) and of the lens within 1e-7 of the limb of any
    # source, the dark-limbed linear law's included: every derivative to 1e-8
    # relative or as the table's infinity.
    rows = [row for row in reference_rows()
            if 10 < float(row["rho"]) <= 100 or abs(float(row["u"]) / float(row["rho"]) - 1) <= 1.5e-7]
    assert len(rows) >= 3 * 20 * 7 + 6 * 2 * 7
    # (relative: 20 u/rho of each large source, and 1 +- 1e-7 for the five
    # sources up to ten Einstein radii and the uniform disk of 1e-6; seven laws)
    assert sum(not absolute_scale(float(row["u"]), float(row["rho"])) for row in rows) >= 3 * 20 * 7 + 5 * 2 * 7 + 2
    assert {row["rho"] for row in rows} >= {"30.0", "60.0", "100.0"}
    assert any(row["law"] == "linear" and row["c1"] == "1.0" and row["u"] == row["rho"] for row in rows)
    for row in rows:
        check_row(row)


def test_the_lens_on_a_bright_limb_gives_infinite_derivatives():
    a, du, drho = grad(0.1, 0.1, "linear", (0.6,))
    assert math.isfinite(float(a)) and float(du) == -math.inf and float(drho) == math.inf


def test_a_dark_limb_gives_finite_derivatives_continuous_from_inside():
    at = grad(0.1, 0.1, "linear", (1.0,))
    near = grad(0.1 * (1 - 1e-10), 0.1, "linear", (1.0,))
    for x, y in zip(at[1:], near[1:]):
        assert math.isfinite(float(x)) and float(x) == pytest.approx(float(y), rel=1e-6)


def test_a_scaled_table_has_no_gradient_along_its_intensities():
    nodes, levels = [0.0, 0.3, 0.7, 1.0], np.array([0.4, 0.7, 0.9, 1.0])
    u = np.array([0.0, 0.02, 0.09, 0.11, 0.5, 3.0])
    out = grad(u, 0.1, "tabulated", (nodes, levels), coefficients_gradient=True)
    along = sum(level * part for level, part in zip(levels, out[3:]))
    size = sum(abs(level * part) for level, part in zip(levels, out[3:]))
    assert (np.abs(along) <= 1e-12 * size + 1e-15).all()
    # and scaling the table scales its gradient inversely
    scaled = grad(u, 0.1, "tabulated", (nodes, 3 * levels), coefficients_gradient=True)
    for a, b in zip(out[3:], scaled[3:]):
        np.testing.assert_allclose(b, a / 3, rtol=1e-12, atol=1e-300)


@pytest.mark.parametrize("law, coefficients, index", [
    ("linear", (0.6,), 0),
    ("quadratic", (0.4, 0.25), 1),
    ("square-root", (0.3, 0.5), 0),
    ("power-2", (0.7, 0.6), 1),
])
def test_coefficient_derivatives_are_the_slopes_of_the_magnification(law, coefficients, index):
    # A central difference of magnification() itself, step 1e-5: its error
    # (h^2 A''' and eps A/h) is below 1e-8 of these derivatives.
    u = np.array([0.0, 0.03, 0.08, 0.12, 0.3, 1.0])
    rho = 0.1
    out = grad(u, rho, law, coefficients, coefficients_gradient=True)
    h = 1e-5
    up, down = list(coefficients), list(coefficients)
    up[index] += h
    down[index] -= h
    slope = (mag(u, rho, law, tuple(up)) - mag(u, rho, law, tuple(down))) / (2 * h)
    np.testing.assert_allclose(out[3 + index], slope, rtol=1e-6, atol=1e-9)


def test_derivatives_in_u_and_rho_are_the_slopes_of_the_magnification():
    for law, coefficients in LAWS:
        for rho in (0.01, 1.0):
            u = rho * np.array([0.2, 0.7, 1.4, 5.0, 12.0])
            a, du, drho = grad(u, rho, law, coefficients)
            h = 1e-6 * rho
            np.testing.assert_allclose(du, (mag(u + h, rho, law, coefficients) - mag(u - h, rho, law, coefficients))
                                       / (2 * h), rtol=1e-5, atol=1e-9 * a.max() / rho)
            np.testing.assert_allclose(drho, (mag(u, rho + h, law, coefficients) - mag(u, rho - h, law, coefficients))
                                       / (2 * h), rtol=1e-5, atol=1e-9 * a.max() / rho)


def test_the_separation_derivative_vanishes_at_the_centre():
    for law, coefficients in LAWS:
        assert float(grad(0.0, 0.3, law, coefficients)[1]) == 0.0


@pytest.mark.parametrize("rho", [0.1, 30.0, 100.0])
def test_a_table_on_the_linear_law_with_a_thin_zone_has_its_derivatives(rho):
    # I = 1 - u1 (1 - mu) tabulated at mu = 0, 1e-5 and 1 is the linear law
    # exactly; its zone [0, 1e-5] (r within 5e-11 of the limb) is integrated
    # over rings, not disks.  Then A is the law's and, by the chain rule,
    # dA/du1 = -sum_i (1 - mu_i) dA/dI_i, the linear law's own derivative
    # (checked against mpmath elsewhere).  Outside the large sources, where
    # A - 1 falls to 1e-10, the rings' excess over the disk must keep its
    # digits as the disks' does.
    u1 = 0.6
    nodes = np.array([0.0, 1e-5, 1.0])
    levels = 1 - u1 * (1 - nodes)
    u = rho * np.array([0.5, 0.999, 1.01, 1.5, 2.5]) if rho < 1 else np.concatenate(
        [rho * np.array([0.5, 0.999, 1.01, 1.5, 2.5]), rho + np.array([3.9, 4.1])])
    linear = grad(u, rho, "linear", (u1,), coefficients_gradient=True)
    table = grad(u, rho, "tabulated", (nodes, levels), coefficients_gradient=True)
    np.testing.assert_allclose(table[0], linear[0], rtol=1e-12)
    for k in (1, 2):
        np.testing.assert_allclose(table[k], linear[k], rtol=1e-8)
    chain = -sum((1 - mu) * part for mu, part in zip(nodes, table[3:]))
    np.testing.assert_allclose(chain, linear[3], rtol=1e-8)
