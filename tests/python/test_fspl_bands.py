"""Coefficients per entry: one call for many bands, each entry's profile
from the coefficients broadcast against u and rho, the same bits as a call
per band."""

import math

import pytest

np = pytest.importorskip("numpy")

import kelvora_fspl  # noqa: E402

mag = kelvora_fspl.magnification
grad = kelvora_fspl.magnification_and_gradient

U = np.linspace(0.0, 0.3, 13)


@pytest.mark.parametrize("law, per_band", [
    ("linear", [(0.3,), (0.6,), (0.9,)]),
    ("quadratic", [(0.4, 0.25), (0.2, 0.1), (0.6, -0.1)]),
    ("square-root", [(0.3, 0.5), (0.1, 0.2), (0.5, 0.3)]),
    ("power-2", [(0.7, 0.6), (0.5, 1.2), (0.2, 3.0)]),
])
def test_bands_broadcast_like_calls_per_band(law, per_band):
    columns = [np.array(c) for c in zip(*per_band)]  # one array per coefficient, one entry per band
    got = mag(U[:, None], 0.05, law, tuple(columns))
    assert got.shape == (len(U), len(per_band))
    for band, coefficients in enumerate(per_band):
        assert np.array_equal(got[:, band], mag(U, 0.05, law, coefficients)), band
    parts = grad(U[:, None], 0.05, law, tuple(columns), coefficients_gradient=True)
    assert len(parts) == 3 + len(columns)
    for band, coefficients in enumerate(per_band):
        want = grad(U, 0.05, law, coefficients, coefficients_gradient=True)
        assert all(np.array_equal(p[:, band], w) for p, w in zip(parts, want)), band


def test_a_scalar_beside_an_array_and_entries_in_any_order():
    # c an array along u, alpha one number: mixed items broadcast as well.
    c = np.linspace(0.1, 0.8, len(U))
    got = mag(U, 0.05, "power-2", (c, 0.6))
    want = [mag(float(x), 0.05, "power-2", (float(ci), 0.6)) for x, ci in zip(U, c)]
    assert np.array_equal(got, want)
    # Lists count as arrays; values that repeat out of order (more than the
    # few profiles kept) come out the same.
    u1 = [0.1, 0.5, 0.9, 0.3, 0.7, 0.1, 0.5, 0.9, 0.2, 0.3, 0.7, 0.6, 0.1]
    assert np.array_equal(mag(U, 0.05, "linear", (u1,)),
                          [mag(float(x), 0.05, "linear", (c1,)) for x, c1 in zip(U, u1)])


def test_the_old_forms_keep_their_meaning():
    # A flat tuple, list or 1-d array is the law's coefficients themselves.
    want = mag(U, 0.05, "quadratic", (0.4, 0.25))
    assert np.array_equal(mag(U, 0.05, "quadratic", [0.4, 0.25]), want)
    assert np.array_equal(mag(U, 0.05, "quadratic", np.array([0.4, 0.25])), want)


@pytest.mark.parametrize("coefficients, exc, message", [
    ((np.array([0.3, math.nan]),), ValueError, "coefficients of law 'linear' must be finite, got nan"),
    ((np.array([0.3, 1.5]),), ValueError,
     "the 'linear' profile with these coefficients is negative on the disk (I = -0.5 at its lowest)"),
    ((np.array([0.3, -2e6]),), ValueError, "coefficients of law 'linear' must lie within [-1e6, 1e6], got -2000000.0"),
    ((np.array([0.3, 0.4]), 0.1), ValueError, "law 'linear' takes 1 coefficient (u1), got 2"),
    ((np.array([0.3, 0.4, 0.5]),), ValueError,
     "u, rho and coefficients do not broadcast together: shapes (13,), () and (3,)"),
    ((["a", "b"],), TypeError, "coefficients must be a real number or an array of real numbers"),
])
def test_bad_coefficients_per_entry(coefficients, exc, message):
    u = U if "(13,)" in message else U[:2]
    with pytest.raises(exc) as info:
        mag(u, 0.05, "linear", coefficients)
    assert str(info.value).startswith(message)
