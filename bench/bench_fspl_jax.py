"""The cost of kelvora_fspl.jax against the direct calls, side by side.

Usage:  .venv/bin/python bench/bench_fspl_jax.py [--quick]

A 10,000-epoch light curve across a limb-darkened source (rho = 0.05,
u0 = 0.02, tE = 20 d, t - t0 in [-2, 2] d, linear u1 = 0.6), reduced to a
chi2-like sum, sum((A - 1)^2):

- value: kelvora_fspl.light_curve (the direct call) against
  kelvora_fspl.jax.light_curve, jitted and not;
- gradient in (t0, u0, tE, rho, u1): kelvora_fspl.light_curve(gradient=True)
  with the chain rule by numpy (the direct call) against jax.grad of the JAX
  function, jitted and not.

The calls alternate, one of each per repetition; the table gives the median
time and the median of the per-repetition ratios to the direct call.  This
is a benchmark: nothing is asserted.
"""

import argparse
import statistics
import time

import numpy as np

import jax

jax.config.update("jax_enable_x64", True)
import jax.numpy as jnp  # noqa: E402

import kelvora_fspl  # noqa: E402
from kelvora_fspl import jax as kj  # noqa: E402

T = np.linspace(-2.0, 2.0, 10_000)
X = np.array([0.0, 0.02, 20.0, 0.05, 0.6])  # t0, u0, tE, rho, u1


def direct_value() -> float:
    a = kelvora_fspl.light_curve(T, X[0], X[1], X[2], X[3], "linear", (X[4],))
    return float(np.sum((a - 1.0) ** 2))


def direct_gradient() -> np.ndarray:
    a, p = kelvora_fspl.light_curve(T, X[0], X[1], X[2], X[3], "linear", (X[4],), gradient=True)
    w = 2.0 * (a - 1.0)
    return np.array([w @ p[name] for name in ("t0", "u0", "tE", "rho", "u1")])


def jax_total(x):
    a = kj.light_curve(T, x[0], x[1], x[2], x[3], "linear", (x[4],))
    return jnp.sum((a - 1.0) ** 2)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    repeats = 5 if args.quick else 15
    x = jnp.asarray(X)
    value_jit = jax.jit(jax_total)
    grad_plain = jax.grad(jax_total)
    grad_jit = jax.jit(jax.grad(jax_total))
    # Compile first; check that the values agree.
    assert abs(float(value_jit(x)) - direct_value()) <= 1e-9 * direct_value()
    reference = direct_gradient()
    np.testing.assert_allclose(np.asarray(grad_jit(x)), reference, rtol=1e-9, atol=1e-12 * np.abs(reference).max())
    calls = {
        "value, direct (kelvora_fspl.light_curve)": direct_value,
        "value, kelvora_fspl.jax, not jitted": lambda: float(jax_total(x)),
        "value, kelvora_fspl.jax, jitted": lambda: float(value_jit(x)),
        "gradient, direct (light_curve(gradient=True) and numpy)": direct_gradient,
        "gradient, jax.grad, not jitted": lambda: np.asarray(grad_plain(x)),
        "gradient, jax.grad, jitted": lambda: np.asarray(grad_jit(x)),
    }
    times: dict[str, list[float]] = {name: [] for name in calls}
    for _ in range(repeats):
        for name, call in calls.items():
            began = time.perf_counter()
            call()
            times[name].append(time.perf_counter() - began)
    print(f"kelvora_fspl.jax, {T.size} epochs, linear law; median of {repeats} alternating repetitions\n")
    print("| call | ms | / direct |")
    print("|:--|--:|--:|")
    for name in calls:
        base = "value, direct (kelvora_fspl.light_curve)" if name.startswith("value") else \
            "gradient, direct (light_curve(gradient=True) and numpy)"
        ratio = statistics.median(a / b for a, b in zip(times[name], times[base]))
        print(f"| {name} | {1e3 * statistics.median(times[name]):.2f} | {ratio:.2f} |")


if __name__ == "__main__":
    main()
