"""kelvora_fspl.Event: chi2 with the fluxes solved inside, its exact
gradient, the projected residuals and Jacobian, and fits of synthetic
multi-band, multi-dataset events of known truth.

References: central differences of chi2; the truth the data were drawn from
(a fit must find it within its reported errors); the identity 2 J^T r =
d chi2/d theta, which holds for the projected residuals.
"""

import math
import os
import pickle

import pytest

np = pytest.importorskip("numpy")
if os.environ.get("KELVORA_SANITIZER"):
    # scipy's extension modules keep the ufuncs they make at import until the
    # process ends, which LeakSanitizer reports as leaks of this process; the
    # fits' numerics are kelvora_fspl's, which the other tests run under ASan.
    pytest.skip("scipy under LeakSanitizer: its import-time ufuncs are reported", allow_module_level=True)
pytest.importorskip("scipy")

import kelvora_fspl  # noqa: E402
from kelvora_fspl import Dataset, Event, light_curve  # noqa: E402

TRUTH = {"t0": 2458000.3, "u0": 0.012, "tE": 18.0, "rho": 0.035}
COEFFICIENTS = {"I": (0.55,), "V": (0.75,)}


def synthetic(truth=TRUTH, seed=3, blends=(20.0, 5.0, 0.0)):
    """Three datasets in two bands: two seasons' worth and a dense peak."""
    rng = np.random.default_rng(seed)
    datasets = []
    for (band, n, fs, span), fb in zip([("I", 1500, 100.0, 40.0), ("V", 800, 40.0, 40.0), ("I", 400, 70.0, 3.0)],
                                       blends):
        t = np.sort(truth["t0"] + rng.uniform(-span, span, n))
        a = light_curve(t, truth["t0"], truth["u0"], truth["tE"], truth.get("rho"), "linear", COEFFICIENTS[band])
        f = fs * a + fb
        err = 0.01 * f + 0.5
        datasets.append(Dataset(t, f + err * rng.standard_normal(n), err, band=band))
    return datasets


@pytest.fixture(scope="module")
def event():
    return Event(synthetic(), "linear", COEFFICIENTS)


def test_chi2_gradient_against_central_differences(event):
    params = {"t0": TRUTH["t0"] + 0.01, "u0": 0.015, "tE": 17.0, "rho": 0.033}
    gradient = event.chi2_gradient(params)
    assert list(gradient) == ["t0", "u0", "tE", "rho"]
    for name, value in params.items():
        h = 1e-6 * max(abs(value) if name != "t0" else 1.0, 1e-2)
        up, down = dict(params), dict(params)
        up[name] += h
        down[name] -= h
        numeric = (event.chi2(up) - event.chi2(down)) / (up[name] - down[name])  # the step as represented
        assert gradient[name] == pytest.approx(numeric, rel=1e-5), name
    # The projected residuals and Kaufman's Jacobian give the same gradient.
    j = event.jacobian(params)
    r = event.residuals(params)
    assert np.allclose(2 * j.T @ r, list(gradient.values()), rtol=1e-10)
    assert event.chi2(params) == pytest.approx(float(r @ r), rel=1e-12)


def test_the_fluxes_are_the_linear_least_squares_solution(event):
    params = dict(TRUTH)
    for dataset, (fs, fb), a in zip(event.datasets, event.fluxes(params), event.magnifications(params)):
        design = np.column_stack([a, np.ones_like(a)]) / dataset.flux_err[:, None]
        want = np.linalg.lstsq(design, dataset.flux / dataset.flux_err, rcond=None)[0]
        assert (fs, fb) == pytest.approx(tuple(want), rel=1e-9)


def test_a_fit_with_no_start_finds_the_truth(event):
    result = event.fit()
    assert result.success
    for name, value in TRUTH.items():
        assert abs(result.params[name] - value) < 4 * result.errors[name], (name, result.params, result.errors)
    assert result.chi2 / result.dof == pytest.approx(1.0, abs=0.1)
    assert sum(result.chi2_per_dataset) == pytest.approx(result.chi2)
    assert result.evaluations > 0 and len(result.fluxes) == 3


def test_a_fit_from_a_start_near_the_truth(event):
    start = {"t0": TRUTH["t0"] + 0.002, "u0": 0.02, "tE": 20.0, "rho": 0.03}
    result = event.fit(start)
    assert result.success and result.evaluations <= 40
    assert abs(result.params["rho"] - TRUTH["rho"]) < 4 * result.errors["rho"]


def test_steps_never_reach_rho_or_tE_below_zero(event):
    # From a source 30 times too small, and with an epoch exactly on the limb
    # (u0 = rho, t0 on a data epoch: dA/du infinite there).
    tiny = event.fit({"t0": TRUTH["t0"], "u0": 0.02, "tE": 18.0, "rho": 0.001})
    assert tiny.params["rho"] > 0 and tiny.params["tE"] > 0 and math.isfinite(tiny.chi2)
    on_epoch = float(event.datasets[2].time[200])
    limb = event.fit({"t0": on_epoch, "u0": 0.035, "tE": 18.0, "rho": 0.035})
    assert limb.success and abs(limb.params["rho"] - TRUTH["rho"]) < 4 * limb.errors["rho"]


def test_u0_of_either_sign(event):
    plus = {"t0": TRUTH["t0"], "u0": 0.012, "tE": 18.0, "rho": 0.035}
    minus = dict(plus, u0=-0.012)
    assert event.chi2(plus) == event.chi2(minus)
    assert event.chi2_gradient(plus)["u0"] == -event.chi2_gradient(minus)["u0"]


def test_blend_fixed_at_zero():
    datasets = synthetic(blends=(0.0, 0.0, 0.0), seed=5)
    free = Event(datasets, "linear", COEFFICIENTS)
    fixed = Event(datasets, "linear", COEFFICIENTS, blend_fixed=[0, 1, 2])
    fluxes = fixed.fluxes(TRUTH)
    assert all(fb == 0.0 for _, fb in fluxes)
    assert fixed.chi2(TRUTH) >= free.chi2(TRUTH)
    result = fixed.fit({"t0": TRUTH["t0"], "u0": 0.02, "tE": 20.0, "rho": 0.03})
    assert result.dof == free.fit({"t0": TRUTH["t0"], "u0": 0.02, "tE": 20.0, "rho": 0.03}).dof + 3
    assert abs(result.params["tE"] - TRUTH["tE"]) < 4 * result.errors["tE"]


def test_a_point_source_event():
    truth = {"t0": 2458000.3, "u0": 0.1, "tE": 25.0}
    event = Event(synthetic(truth, seed=7), "linear", COEFFICIENTS)
    result = event.fit(finite_source=False)
    assert "rho" not in result.params
    for name, value in truth.items():
        assert abs(result.params[name] - value) < 4 * result.errors[name], name


def test_fixed_parameters_and_pickling(event):
    result = event.fit({"t0": TRUTH["t0"], "u0": 0.02, "tE": 20.0}, fixed={"rho": 0.035})
    assert result.params["rho"] == 0.035 and "rho" not in result.errors
    again = pickle.loads(pickle.dumps(event))
    assert again.chi2(TRUTH) == event.chi2(TRUTH)


def test_wrong_use(event):
    with pytest.raises(ValueError, match="params needs tE"):
        event.chi2({"t0": 0.0, "u0": 0.1})
    with pytest.raises(ValueError, match="unknown parameter 'pi_E'"):
        event.chi2(dict(TRUTH, pi_E=0.1))
    with pytest.raises(ValueError, match="no coefficients for band 'V'"):
        Event(synthetic(), "linear", {"I": (0.5,)})
    with pytest.raises(TypeError, match="datasets must be"):
        Event([1, 2])
    assert kelvora_fspl.Event is Event
