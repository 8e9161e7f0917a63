"""kelvora_fspl.jax: the magnification, the light curve and an event's chi2
inside jit, grad, vmap, jacfwd and jacrev.

Derivatives are checked against magnification_and_gradient (the core's
exact partials, which tests/python/test_fspl_gradient.py checks against the
mpmath table) and against central differences of the values; the event's
chi2 against Event.chi2 and its gradient against Event.chi2_gradient (the
envelope theorem there, JAX's differentiation of the flux solve here).
"""

import os
import subprocess
import sys
import textwrap

import pytest

np = pytest.importorskip("numpy")
if os.environ.get("KELVORA_SANITIZER"):
    # jax's dtypes (ml_dtypes) register numpy ufuncs at import and keep them
    # until the process ends, which LeakSanitizer reports as leaks.
    pytest.skip("jax under LeakSanitizer: its import-time ufuncs are reported", allow_module_level=True)
jax = pytest.importorskip("jax", reason="kelvora_fspl.jax needs jax (pip install '.[jax]')")
jax.config.update("jax_enable_x64", True)
import jax.numpy as jnp  # noqa: E402

import kelvora_fspl  # noqa: E402
from _support import FSPL_EXAMPLES  # noqa: E402
from kelvora_fspl import jax as kj  # noqa: E402

T = np.linspace(-1.0, 1.0, 41)

# jax's own calls move the debug interpreter's reference total (measured: 44
# per jnp.sum of a small array, 106 per jitted pure_callback of numpy's sin),
# so the reference-leak hunt runs these tests once; the functions the
# callbacks call are hunted in their own tests.
pytestmark = pytest.mark.no_refleak_repeat("jax's calls move the reference total")


def curve_args(law, coefficients):
    return tuple(jnp.asarray(c, dtype=jnp.float64) for c in coefficients)


@pytest.mark.parametrize("law, coefficients", FSPL_EXAMPLES, ids=[law for law, _ in FSPL_EXAMPLES])
@pytest.mark.parametrize("u0", [0.03, -0.03], ids=["u0+", "u0-"])
def test_gradients_are_the_cores_and_match_central_differences(law, coefficients, u0):
    rho = 0.05
    coefficients = curve_args(law, coefficients)

    def total(params):
        t0, u0_, tE, rho_ = params[0], params[1], params[2], params[3]
        return jnp.sum(kj.light_curve(T, t0, u0_, tE, rho_, law, coefficients) ** 2)

    x = jnp.array([0.01, u0, 10.0, rho])
    g = jax.grad(total)(x)
    gf = jax.jacfwd(total)(x)
    np.testing.assert_allclose(g, gf, rtol=1e-12, atol=1e-13 * float(jnp.max(jnp.abs(g))))
    # The core's partials through the chain rule, computed independently here.
    a, partials = kelvora_fspl.light_curve(T, 0.01, u0, 10.0, rho, law, tuple(np.asarray(c) for c in coefficients),
                                           gradient=True)
    for k, name in enumerate(("t0", "u0", "tE", "rho")):
        np.testing.assert_allclose(float(g[k]), float(np.sum(2 * a * partials[name])), rtol=1e-12)
    # Central differences of the values (smooth where no epoch sits on the limb).
    for k, h in enumerate((1e-6, 1e-7, 1e-5, 1e-7)):
        step = jnp.zeros(4).at[k].set(h)
        numeric = (total(x + step) - total(x - step)) / (2 * h)
        assert float(g[k]) == pytest.approx(float(numeric), rel=2e-5, abs=1e-6)


def test_at_the_centre_and_on_the_limb():
    # u = 0: dA/du vanishes; u = rho on a dark limb: finite, the core's limit.
    for u, coefficients in ((0.0, (0.6,)), (0.1, (1.0,))):
        value, du = jax.value_and_grad(lambda x: kj.magnification(x, 0.1, "linear", coefficients))(u)
        a, a_u, _ = kelvora_fspl.magnification_and_gradient(u, 0.1, "linear", coefficients)
        assert float(value) == float(a) and float(du) == float(a_u)
        assert np.isfinite(float(du))


def test_coefficients_are_traced_too():
    u = jnp.linspace(0.0, 0.3, 13)
    for law, coefficients in FSPL_EXAMPLES[1:]:
        coefficients = curve_args(law, coefficients)
        jac = jax.jacrev(lambda c: kj.magnification(u, 0.1, law, c))(coefficients)
        out = kelvora_fspl.magnification_and_gradient(np.asarray(u), 0.1, law,
                                                      tuple(np.asarray(c) for c in coefficients),
                                                      coefficients_gradient=True)
        if law == "tabulated":
            # d/d intensity_j; the nodes are held fixed (zero).
            assert (np.asarray(jac[0]) == 0).all()
            np.testing.assert_allclose(np.asarray(jac[1]), np.stack(out[3:], axis=-1), rtol=1e-14)
        else:
            for k, part in enumerate(out[3:]):
                np.testing.assert_allclose(np.asarray(jac[k]), part, rtol=1e-14)


def test_vmap_is_a_loop_and_jit_changes_nothing():
    u = jnp.linspace(0.0, 0.3, 17)

    def f(rho, c):
        return kj.magnification(u, rho, "quadratic", (c, 0.2), tolerance=1e-6)

    rhos, cs = jnp.array([0.02, 0.1, 0.3]), jnp.array([0.3, 0.5, 0.7])
    batched = jax.vmap(f)(rhos, cs)
    loop = jnp.stack([f(r, c) for r, c in zip(rhos, cs)])
    assert np.asarray(batched).tobytes() == np.asarray(loop).tobytes()
    assert np.asarray(jax.jit(jax.vmap(f))(rhos, cs)).tobytes() == np.asarray(loop).tobytes()
    grads = jax.vmap(jax.grad(lambda r, c: jnp.sum(f(r, c)), argnums=(0, 1)))(rhos, cs)
    for k in range(3):
        one = jax.grad(lambda r, c: jnp.sum(f(r, c)), argnums=(0, 1))(rhos[k], cs[k])
        assert float(grads[0][k]) == float(one[0]) and float(grads[1][k]) == float(one[1])
    # A table vmapped over rho.
    table = (jnp.array([0.0, 0.5, 1.0]), jnp.array([0.3, 0.8, 1.0]))
    tv = jax.vmap(lambda r: kj.magnification(u, r, "tabulated", table))(rhos)
    for k in range(3):
        assert np.asarray(tv[k]).tobytes() == np.asarray(kj.magnification(u, rhos[k], "tabulated", table)).tobytes()


def test_the_event_chi2_and_its_gradient():
    rng = np.random.default_rng(5)
    t = np.sort(rng.uniform(-2.0, 2.0, 400))
    truth = {"t0": 0.05, "u0": 0.02, "tE": 10.0, "rho": 0.04}
    a = kelvora_fspl.light_curve(t, truth["t0"], truth["u0"], truth["tE"], truth["rho"], "linear", (0.6,))
    sigma = 0.01 * (a + 0.2)
    flux = 100.0 * (a + 0.2) * (1 + 0.01 * rng.standard_normal(t.size))
    datasets = [kelvora_fspl.Dataset(t[:200], flux[:200], 100 * sigma[:200]),
                kelvora_fspl.Dataset(t[200:], 0.5 * flux[200:], 50 * sigma[200:])]
    event = kelvora_fspl.Event(datasets, "linear", (0.6,), blend_fixed=[1])
    chi2 = kj.event_chi2(event)
    params = {"t0": 0.04, "u0": 0.025, "tE": 9.5, "rho": 0.045}
    assert float(jax.jit(chi2)(params)) == pytest.approx(event.chi2(params), rel=1e-12)
    grad = jax.grad(chi2)(params)
    expected = event.chi2_gradient(params)
    for name in params:
        assert float(grad[name]) == pytest.approx(expected[name], rel=1e-8), name
    # The coefficient as a parameter: the same chi2 at its value, and its derivative.
    with_u1 = dict(params, u1=0.6)
    assert float(chi2(with_u1)) == pytest.approx(event.chi2(params), rel=1e-12)
    h = 1e-6
    numeric = (event_with(event, 0.6 + h).chi2(params) - event_with(event, 0.6 - h).chi2(params)) / (2 * h)
    assert float(jax.grad(chi2)(with_u1)["u1"]) == pytest.approx(numeric, rel=1e-5)


def event_with(event, u1):
    return kelvora_fspl.Event(event.datasets, "linear", (u1,), blend_fixed=sorted(event.blend_fixed))


def run(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120)


def test_float32_is_refused_with_the_way_out():
    done = run("""
        import jax
        jax.config.update("jax_enable_x64", False)
        from kelvora_fspl import jax as kj
        try:
            kj.magnification(0.5, 0.1)
        except RuntimeError as e:
            print(e)
    """)
    assert done.returncode == 0, done.stderr
    assert "jax.config.update('jax_enable_x64', True)" in done.stdout


def test_without_jax_the_package_imports_and_the_module_names_the_extra():
    done = run("""
        import sys
        sys.modules["jax"] = None   # as if it were not installed
        import kelvora_fspl
        assert "jax" not in [m.split(".")[0] for m in sys.modules if sys.modules[m] is not None]
        try:
            import kelvora_fspl.jax
        except ImportError as e:
            print(e)
    """)
    assert done.returncode == 0, done.stderr
    assert "pip install 'kelvora[jax]'" in done.stdout


def test_a_coefficient_per_band():
    # "u1_I" replaces the I band's coefficient only, as an Event with that
    # coefficient for I would have it.
    t = np.linspace(-1.0, 1.0, 120)
    a = kelvora_fspl.light_curve(t, 0.0, 0.02, 10.0, 0.04, "linear", (0.6,))
    datasets = [kelvora_fspl.Dataset(t, 10 * a + 1, np.full(t.size, 0.05), band="I"),
                kelvora_fspl.Dataset(t + 0.01, 5 * a + 2, np.full(t.size, 0.05), band="V")]
    event = kelvora_fspl.Event(datasets, "linear", {"I": (0.5,), "V": (0.7,)})
    params = {"t0": 0.001, "u0": 0.021, "tE": 10.1, "rho": 0.041}
    chi2 = kj.event_chi2(event)
    assert float(chi2(params)) == pytest.approx(event.chi2(params), rel=1e-12)
    other = kelvora_fspl.Event(datasets, "linear", {"I": (0.45,), "V": (0.7,)})
    assert float(chi2(dict(params, u1_I=0.45))) == pytest.approx(other.chi2(params), rel=1e-12)
