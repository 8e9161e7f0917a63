"""kelvora_fspl.light_curve and the coefficient conventions.

References: central differences of the light curve itself for every partial;
the point-lens magnification in mpmath; the literature's forms of the laws
(Albrow et al. 1999; Afonso et al. 2000) for the conventions, checked as
profiles of the same shape rather than through the formulas converted.
"""

import math

import pytest

np = pytest.importorskip("numpy")

import kelvora_fspl  # noqa: E402
from _support import FSPL_EXAMPLES  # noqa: E402
from kelvora_fspl import light_curve  # noqa: E402

LAWS = FSPL_EXAMPLES
IDS = [law for law, _ in LAWS]

# Epochs around a source-crossing peak (rho = 0.05, |u0| = 0.02, tE = 20 d),
# off the limb crossings where dA/du diverges.
T = np.array([-3.0, -0.9, -0.6, -0.31, -0.1, 0.0, 0.05, 0.2, 0.5, 0.77, 2.5, 40.0])
PARAMS = {"t0": 0.0, "u0": 0.02, "tE": 20.0, "rho": 0.05}


def curve(t, params, law, coefficients):
    return light_curve(t, params["t0"], params["u0"], params["tE"], params["rho"], law, coefficients)


def central(f, x, h):
    return (f(x + h) - f(x - h)) / (2 * h)


@pytest.mark.parametrize("law, coefficients", LAWS, ids=IDS)
@pytest.mark.parametrize("u0", [0.02, -0.02, 0.3])
def test_partials_agree_with_central_differences(law, coefficients, u0):
    params = dict(PARAMS, u0=u0)
    a, partials = light_curve(T, params["t0"], u0, params["tE"], params["rho"], law, coefficients, gradient=True)
    assert np.array_equal(a, curve(T, params, law, coefficients))
    names = ["t0", "u0", "tE", "rho"] + list(kelvora_fspl.coefficient_names(law, coefficients))
    assert list(partials) == names
    for name in names[:4]:
        step = 1e-6 * max(abs(params[name]), 1e-2)
        numeric = central(lambda x: curve(T, dict(params, **{name: x}), law, coefficients), params[name], step)
        # The step leaves (h/scale)^2 of truncation and the difference of two
        # values of A about 1e-14 A/h of rounding (A's quadrature error is
        # smooth in the parameters and cancels).
        assert np.allclose(partials[name], numeric, rtol=2e-5, atol=1e-14 * np.abs(a).max() / step), name
    flat = list(coefficients) if law != "tabulated" else list(coefficients[1])
    for j, name in enumerate(names[4:]):
        def with_coefficient(x, j=j):
            changed = list(flat)
            changed[j] = x
            c = tuple(changed) if law != "tabulated" else (coefficients[0], tuple(changed))
            return curve(T, params, law, c)

        numeric = central(with_coefficient, flat[j], 1e-5)
        assert np.allclose(partials[name], numeric, rtol=2e-5, atol=1e-7), name


def test_the_sign_of_u0():
    a_plus, p_plus = light_curve(T, 0.0, 0.02, 20.0, 0.05, "linear", (0.6,), gradient=True)
    a_minus, p_minus = light_curve(T, 0.0, -0.02, 20.0, 0.05, "linear", (0.6,), gradient=True)
    assert np.array_equal(a_plus, a_minus)
    assert np.array_equal(p_plus["u0"], -p_minus["u0"])
    assert np.array_equal(p_plus["t0"], p_minus["t0"])


def test_exact_at_the_lens_on_the_centre_and_on_the_limb():
    # u0 = 0 at t = t0: u = 0, A = sqrt(rho^2 + 4)/rho for a uniform disk
    # (Witt & Mao 1994), and every partial but rho's vanishes.
    a, partials = light_curve(5.0, 5.0, 0.0, 20.0, 0.05, gradient=True)
    assert a == pytest.approx(math.sqrt(0.05**2 + 4) / 0.05, rel=1e-14)
    assert partials["t0"] == partials["u0"] == partials["tE"] == 0.0
    assert np.isfinite(partials["rho"])
    # |u0| = rho at t = t0: the lens on the limb, dA/du infinite; A(t) is
    # flat there, and its u0 partial infinite.
    a, partials = light_curve(0.0, 0.0, 0.05, 20.0, 0.05, "linear", (0.6,), gradient=True)
    assert np.isfinite(a)
    assert partials["t0"] == 0.0 and partials["tE"] == 0.0 and partials["u0"] == -math.inf


def test_full_julian_dates_lose_nothing():
    # Times on a 1/1024-day grid: t - t0 is exact either way.
    t = np.arange(-2048, 2049, 37) / 1024.0
    base = 2_460_000.5
    a, partials = light_curve(base + t, base + 0.125, 0.02, 20.0, 0.05, "linear", (0.6,), gradient=True)
    b, near = light_curve(t, 0.125, 0.02, 20.0, 0.05, "linear", (0.6,), gradient=True)
    assert np.array_equal(a, b)
    assert all(np.array_equal(partials[k], near[k]) for k in partials)


def test_broadcasting_and_scalars():
    a = light_curve(T[:, None], 0.0, np.array([0.02, 0.1]), 20.0, 0.05)
    assert a.shape == (len(T), 2)
    assert type(light_curve(0.3, 0.0, 0.02, 20.0, 0.05)) is np.float64


def test_a_point_source():
    u = np.array([1e-300, 1e-8, 0.01, 0.5, 1.0, 3.0, 1e4, 1e160, 1e300])
    a, da_du = kelvora_fspl.point_source_magnification(u, gradient=True)
    mp = pytest.importorskip("mpmath")
    mp.mp.dps = 40
    for x, got, slope in zip(u, a, da_du):
        x = mp.mpf(float(x))
        want = (x**2 + 2) / (x * mp.sqrt(x**2 + 4))
        want_slope = -8 / (x**2 * (x**2 + 4) ** mp.mpf(1.5))
        assert got == pytest.approx(float(want), rel=4e-16)
        if float(want_slope) != 0.0 and math.isfinite(float(want_slope)):
            assert slope == pytest.approx(float(want_slope), rel=1e-14)
    assert kelvora_fspl.point_source_magnification(0.0) == math.inf
    assert kelvora_fspl.point_source_magnification(math.inf) == 1.0
    # In the light curve: rho=None, partials by the chain rule, against
    # central differences.
    t = np.array([-1.0, -0.2, 0.1, 0.4, 3.0])
    a, partials = light_curve(t, 0.0, -0.1, 20.0, None, gradient=True)
    assert list(partials) == ["t0", "u0", "tE"]
    for name, value in [("t0", 0.0), ("u0", -0.1), ("tE", 20.0)]:
        args = {"t0": 0.0, "u0": -0.1, "tE": 20.0}

        def f(x, name=name):
            return light_curve(t, **dict(args, **{name: x}), rho=None)

        assert np.allclose(partials[name], central(f, value, 1e-6 * max(abs(value), 0.1)), rtol=1e-6), name


@pytest.mark.parametrize("kwargs, exc, message", [
    ({"tE": 0.0}, ValueError, "tE must be positive, got 0.0"),
    ({"tE": -3.0}, ValueError, "tE must be positive, got -3.0"),
    ({"tE": math.inf}, ValueError, "tE must be finite, got inf"),
    ({"t0": math.nan}, ValueError, "t0 must be finite, got nan"),
    ({"u0": "x"}, TypeError, "u0 must be a real number or an array of real numbers"),
    ({"rho": -0.1}, ValueError, "rho must be positive and finite, got -0.1"),
])
def test_bad_parameters(kwargs, exc, message):
    args = dict(t=[0.0, 1.0], t0=0.0, u0=0.1, tE=20.0, rho=0.05)
    args.update(kwargs)
    with pytest.raises(exc) as info:
        light_curve(**args)
    assert str(info.value).startswith(message)


# -- conventions --------------------------------------------------------------------------------

MU = np.linspace(0.0, 1.0, 11)


@pytest.mark.parametrize("gamma", [-0.3, 0.0, 0.2, 0.5, 0.62, 0.9])
def test_gamma_describes_the_linear_law(gamma):
    # I / <I> = 1 - Gamma (1 - 3 mu / 2) is the linear law up to a factor.
    u1 = kelvora_fspl.gamma_to_u1(gamma)
    ratio = (1 - u1 * (1 - MU)) / (1 - gamma * (1 - 1.5 * MU))
    assert np.allclose(ratio, ratio[0], rtol=1e-14)
    assert kelvora_fspl.u1_to_gamma(u1) == pytest.approx(gamma, abs=1e-15)
    # The flux-normalised form has the disk's mean 1: 2 int I mu dmu = 1.
    mp = pytest.importorskip("mpmath")
    assert float(mp.quad(lambda m: 2 * m * (1 - gamma * (1 - 1.5 * m)), [0, 1])) == pytest.approx(1.0, rel=1e-15)


@pytest.mark.parametrize("gamma, lam", [(0.3, 0.2), (0.6, -0.1), (-0.2, 0.5), (0.0, 0.4)])
def test_gamma_lambda_describe_the_square_root_law(gamma, lam):
    c, d = kelvora_fspl.gamma_lambda_to_square_root(gamma, lam)
    ratio = (1 - c * (1 - MU) - d * (1 - np.sqrt(MU))) / (1 - gamma * (1 - 1.5 * MU) - lam * (1 - 1.25 * np.sqrt(MU)))
    assert np.allclose(ratio, ratio[0], rtol=1e-14)
    back = kelvora_fspl.square_root_to_gamma_lambda(c, d)
    assert back == pytest.approx((gamma, lam), abs=1e-15)
    # Lambda = 0 is the linear law.
    assert kelvora_fspl.gamma_lambda_to_square_root(gamma, 0.0)[0] == pytest.approx(kelvora_fspl.gamma_to_u1(gamma))


def test_conventions_take_arrays():
    gammas = np.array([0.1, 0.4, 0.7])
    assert np.allclose(kelvora_fspl.u1_to_gamma(kelvora_fspl.gamma_to_u1(gammas)), gammas, rtol=1e-15)
    assert type(kelvora_fspl.gamma_to_u1(0.5)) is np.float64
