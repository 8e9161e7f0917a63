"""Sample the posterior of MOA-2008-BLG-310 with NUTS on exact light curves.
============================================================================

numpyro's No-U-Turn sampler on exact limb-darkened light curves and their
exact gradients (kelvora_fspl.jax).

Usage:  python examples/sample_moa_2008_blg_310.py [--quick] [--figure PATH]

The event and its data are those of examples/fit_moa_2008_blg_310.py
(Janczak et al. 2010; seven datasets, 3,482 epochs).  The least-squares fit
(Event.fit, no start) gives the optimum and its covariance; then numpyro's
No-U-Turn sampler explores the posterior of (t0, u0, tE, rho) and the
linear limb-darkening coefficient of the I band, u1_I (the other bands held
at the example's values), with each dataset's source and blend flux solved
linearly inside every likelihood evaluation (kelvora_fspl.jax.event_chi2;
log-likelihood = -chi2/2).

Sampled in t0, ln tE, t_eff = u0 tE and t_star = rho tE (which the light
curve constrains nearly independently) and u1_I, with priors flat over
ranges far wider than the posterior: t0 within 0.5 d of the least-squares
t0, ln tE in [ln 1, ln 100] d, t_eff in [0, 0.5] d, t_star in [0.001,
0.5] d, u1_I in [0, 1].  The chain starts at the
least-squares optimum; tolerance 1e-6 (kelvora_fspl's accuracy, far below
the data's noise) keeps the light curves cheap.

Prints the posterior means and widths side by side with the least-squares
values and errors, the run time and the effective samples per second, and
draws a corner plot (docs/moa_2008_blg_310_corner.png).  --quick runs a
short chain (smoke test) and skips the figure.  Needs jax, numpyro, scipy
(pip install '.[examples,jax]').
"""

import argparse
import pathlib
import time
from collections.abc import Callable, Mapping
from typing import Any

import numpy as np

import jax

jax.config.update("jax_enable_x64", True)  # type: ignore[no-untyped-call, unused-ignore]
import jax.numpy as jnp  # noqa: E402
import numpyro  # type: ignore[import-untyped]  # noqa: E402
import numpyro.distributions as dist  # type: ignore[import-untyped]  # noqa: E402
from numpyro.infer import MCMC, NUTS, init_to_value  # type: ignore[import-untyped]  # noqa: E402

import kelvora_fspl  # noqa: E402
from kelvora_fspl import jax as kj  # noqa: E402

try:
    HERE = pathlib.Path(__file__).resolve().parent
except NameError:  # sphinx-gallery runs the example in its own directory, without __file__
    HERE = pathlib.Path.cwd()
DATA = HERE / "data" / "MOA-2008-BLG-310"
U1 = {"I": 0.55, "R": 0.63, "H": 0.36, "unfiltered": 0.60}
NAMES = ("t0", "u0", "tE", "rho", "u1_I")


def least_squares(event: kelvora_fspl.Event) -> kelvora_fspl.FitResult:
    return event.fit()


def model(chi2: Callable[[Mapping[str, Any]], Any], t0_ls: float) -> None:
    # The light curve constrains t_eff = u0 tE and t_star = rho tE far better
    # than u0, rho and tE each: sampled in those, the posterior is nearly
    # uncorrelated and NUTS takes short trajectories.
    t0 = numpyro.sample("t0", dist.Uniform(t0_ls - 0.5, t0_ls + 0.5))
    log_te = numpyro.sample("ln_tE", dist.Uniform(jnp.log(1.0), jnp.log(100.0)))
    t_eff = numpyro.sample("t_eff", dist.Uniform(0.0, 0.5))
    t_star = numpyro.sample("t_star", dist.Uniform(1e-3, 0.5))
    u1 = numpyro.sample("u1_I", dist.Uniform(0.0, 1.0))
    te = jnp.exp(log_te)
    params = {"t0": t0, "u0": t_eff / te, "tE": te, "rho": t_star / te, "u1_I": u1}
    numpyro.factor("likelihood", -0.5 * chi2(params))


def effective_size(x: np.ndarray) -> float:
    """Effective sample size of one chain (Geyer's initial positive sequence)."""
    x = np.asarray(x) - np.mean(x)
    n = x.size
    f = np.fft.rfft(x, 2 * n)
    acf = np.fft.irfft(f * np.conj(f))[:n] / (np.arange(n, 0, -1) * np.var(x))
    total = 0.0
    for k in range(1, n - 1, 2):
        pair = acf[k] + acf[k + 1]
        if pair < 0:
            break
        total += pair
    return n / (1.0 + 2.0 * total)


def main() -> None:
    parser = argparse.ArgumentParser(description=(__doc__ or "").partition("\n")[0])
    parser.add_argument("--quick", action="store_true", help="a short chain, no figure")
    parser.add_argument("--figure", default=str(HERE.parent / "docs" / "moa_2008_blg_310_corner.png"))
    args = parser.parse_args()

    datasets = [kelvora_fspl.Dataset.from_file(path) for path in sorted(DATA.glob("*.tbl"))]
    coefficients: dict[str | None, tuple[float, ...]] = {band: (u1,) for band, u1 in U1.items()}
    event = kelvora_fspl.Event(datasets, "linear", coefficients, tolerance=1e-6)
    began = time.perf_counter()
    fit = least_squares(event)
    print(f"least squares: chi2 = {fit.chi2:.1f} for {fit.dof} dof ({time.perf_counter() - began:.1f} s)")
    fit_u1 = kelvora_fspl.Event(datasets, "linear", coefficients, tolerance=1e-6)
    chi2 = jax.jit(kj.event_chi2(fit_u1))
    te = fit.params["tE"]
    start = {"t0": fit.params["t0"], "ln_tE": np.log(te), "t_eff": fit.params["u0"] * te,
             "t_star": fit.params["rho"] * te, "u1_I": U1["I"]}

    # The posterior is long along the degeneracy of tE with u0, rho and the
    # blend: trajectories of up to 2^8 steps explore it (about 200 effective
    # samples of each parameter from 500 draws, where 2^5 gave 3).  The smoke
    # run keeps them short.
    warmup, samples, depth = (30, 30, 5) if args.quick else (500, 500, 8)
    kernel = NUTS(model, init_strategy=init_to_value(values=start), dense_mass=True, max_tree_depth=depth)
    mcmc = MCMC(kernel, num_warmup=warmup, num_samples=samples, progress_bar=False)
    began = time.perf_counter()
    mcmc.run(jax.random.PRNGKey(310), chi2, fit.params["t0"], extra_fields=("num_steps",))
    elapsed = time.perf_counter() - began
    draws = mcmc.get_samples()
    steps = int(np.sum(mcmc.get_extra_fields()["num_steps"]))
    te_draws = jnp.exp(draws["ln_tE"])
    posterior = {"t0": draws["t0"], "u0": draws["t_eff"] / te_draws, "tE": te_draws,
                 "rho": draws["t_star"] / te_draws, "u1_I": draws["u1_I"]}
    print(f"NUTS: {warmup} warm-up and {samples} samples in {elapsed:.1f} s; {steps} leapfrog steps in the "
          f"samples, {steps / samples:.1f} per sample")
    sizes = {name: effective_size(np.asarray(posterior[name])) for name in NAMES}
    print(f"effective samples per second: {min(sizes.values()) / elapsed:.2f} (the worst parameter), "
          + ", ".join(f"{n} {sizes[n]:.0f}" for n in NAMES))
    print(f"{'':6} {'posterior mean':>16} {'sd':>10}   {'least squares':>14} {'error':>10}")
    for name in NAMES:
        mean, sd = float(np.mean(posterior[name])), float(np.std(posterior[name]))
        ls = fit.params.get(name, U1["I"]) if name != "u1_I" else U1["I"]
        error = fit.errors.get(name, 0.0) if name != "u1_I" else float("nan")
        print(f"{name:6} {shown(name, mean):>16} {sd:10.2g}   {shown(name, ls):>14} {error:10.2g}")
    print("(u1_I is fixed at 0.55 in the least-squares fit)")
    if not args.quick:
        corner(posterior, fit, args.figure)


def shown(name: str, value: float) -> str:
    return f"{value - 2450000:.5f}" if name == "t0" else f"{value:.6g}"


def corner(posterior: Mapping[str, Any], fit: kelvora_fspl.FitResult, path: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    n = len(NAMES)
    fig, axes = plt.subplots(n, n, figsize=(9, 9))
    values = [np.asarray(posterior[name]) for name in NAMES]
    for i in range(n):
        for j in range(n):
            ax = axes[i, j]
            if j > i:
                ax.axis("off")
                continue
            if i == j:
                ax.hist(values[i], bins=30, color="tab:blue", histtype="step")
                if NAMES[i] in fit.params:
                    ax.axvline(fit.params[NAMES[i]], color="tab:red", lw=0.8)
            else:
                ax.plot(values[j], values[i], ",", color="tab:blue", alpha=0.5)
                if NAMES[i] in fit.params and NAMES[j] in fit.params:
                    ax.plot(fit.params[NAMES[j]], fit.params[NAMES[i]], "+", color="tab:red")
            if i == n - 1:
                ax.set_xlabel(NAMES[j])
            else:
                ax.set_xticklabels([])
            if j == 0 and i > 0:
                ax.set_ylabel(NAMES[i])
            elif j > 0:
                ax.set_yticklabels([])
            ax.tick_params(labelsize=6)
    fig.suptitle("MOA-2008-BLG-310: NUTS posterior (blue), least squares (red)")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    print(f"wrote {path}")


if __name__ == "__main__":
    main()
