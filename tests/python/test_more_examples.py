"""The limb-darkening, fitting and parallel examples run in --quick mode and
print numbers that agree with each other and with references computed here:
mpmath integrals of the point-lens magnification over the source, and the
small-source expansion of Gould (1994)."""

import os
import re
import subprocess
import sys

import pytest

# Their work is done in child processes (mypy, the examples): under --refleaks
# they run once.
pytestmark = pytest.mark.no_refleak_repeat("work done in child processes")

from _support import EXAMPLES, example_env, point_lens_mp, run_example

mp = pytest.importorskip("mpmath")

GAMMA = 0.6  # the examples' linear limb-darkening coefficient
NUMBER = r"[-+]?\d+(?:\.\d*)?(?:[eE][-+]?\d+)?"


def brightness(mu):
    return 1 - GAMMA * (1 - mu)


def centre_magnification(rho):
    """The lens at the source centre: every point at radius r is at distance
    rho r from it, so the disk mean is a single integral."""
    with mp.workdps(20):
        rho = mp.mpf(rho)
        total = mp.quad(lambda r: brightness(mp.sqrt(1 - r * r)) * point_lens_mp(rho * r) * 2 * r, [0, 1])
        return total / (1 - mp.mpf(GAMMA) / 3)


def lens_polar_magnification(l, rho):
    """Flux-weighted disk mean in polar coordinates (s, theta) about the lens,
    for the lens on the limb or outside (l >= 1): the points of the disk at
    distance s from the lens lie within theta_max(s) of the line to the centre."""
    with mp.workdps(15):
        l, rho = mp.mpf(l), mp.mpf(rho)

        def arc(s):
            c = (l * l + s * s - 1) / (2 * l * s)
            if c >= 1:
                return mp.mpf(0)
            top = mp.acos(max(c, -1))
            return mp.quad(lambda t: brightness(mp.sqrt(max(1 - l * l - s * s + 2 * l * s * mp.cos(t), 0))), [0, top])

        total = mp.quad(lambda s: point_lens_mp(rho * s) * s * arc(s), [l - 1, l + 1])
        return 2 * total / (mp.pi * (1 - mp.mpf(GAMMA) / 3))


def gould_magnification(u, rho):
    """Second order in rho (Gould 1994): A0(u) + rho^2 <r^2>/4 laplacian(A0)(u),
    <r^2> the flux-weighted mean squared radius of the linear law."""
    with mp.workdps(20):
        u, rho, g = mp.mpf(u), mp.mpf(rho), mp.mpf(GAMMA)
        mean_r2 = ((1 - g) / 2 + 4 * g / 15) / (1 - g / 3)
        laplacian = mp.diff(point_lens_mp, u, 2) + mp.diff(point_lens_mp, u) / u
        return point_lens_mp(u) + rho**2 * mean_r2 / 4 * laplacian


def relative(value, reference):
    return float(abs(value - reference) / abs(reference))


# ---------------------------------------------------------------------------
# examples/limb_darkening.py
# ---------------------------------------------------------------------------


@pytest.fixture(scope="module")
def limb_output():
    return run_example("limb_darkening.py", "--quick")


def value_rows(out):
    """{u/rho: (rho, kelvora, mpmath, printed error)} of the first table."""
    rows = {}
    for line in out.splitlines():
        cells = line.split()
        if line.startswith(" ") and len(cells) == 7 and cells[0] == "linear":
            rho, q, value, ref, err = (float(c) for c in cells[2:])
            rows[q] = (rho, value, ref, err)
    return rows


def test_limb_darkening_errors_are_below_the_tolerance(limb_output):
    rows = value_rows(limb_output)
    assert any(q < 1 for q in rows) and 1.0 in rows and any(q > 1 for q in rows), rows
    worst, tolerance = (float(x) for x in re.search(rf"largest relative error ({NUMBER}) \(tolerance ({NUMBER})\)", limb_output).groups())
    assert tolerance <= 1e-6
    assert worst == pytest.approx(max(r[3] for r in rows.values()), rel=0.06)
    for q, (rho, value, ref, err) in rows.items():
        assert rho == 0.05
        assert err <= tolerance, q
        # The printed error is that of the printed numbers (mpmath printed to 15 digits).
        assert relative(value, ref) == pytest.approx(err, rel=0.06, abs=5e-15), q


def test_limb_darkening_values_match_independent_integrals(limb_output):
    rows = value_rows(limb_output)
    rho, value, ref, _ = rows[0.0]
    exact = centre_magnification(rho)
    assert relative(value, exact) < 1e-12
    assert relative(ref, exact) < 1e-14
    for q in (1.0, 1.5):
        rho, value, ref, _ = rows[q]
        exact = lens_polar_magnification(q, rho)
        assert relative(ref, exact) < 1e-12, q
        assert relative(value, exact) < 1e-6, q
    # The printed values are those of a limb-darkened source, not a uniform one
    # (sqrt(1 + 4/rho^2) at the centre, Witt & Mao 1994).
    assert rows[0.0][1] > 1.05 * float(mp.sqrt(1 + 4 / mp.mpf(0.05) ** 2))


def test_limb_darkening_convergence_table(limb_output):
    table = {}
    for line in limb_output.splitlines():
        cells = line.split()
        if len(cells) == 5 and re.fullmatch(r"\d+", cells[1]) and "e" in cells[2]:
            table[int(cells[1])] = [float(c) for c in cells[2:]]
    assert sorted(table) == [24, 48, 96]
    for one_rule, split, graded in table.values():
        assert graded < split < one_rule
    # Graded rings converge like N^-4, the split rule like N^-2.
    assert table[24][2] / table[96][2] > 50
    assert 8 < table[24][1] / table[96][1] < 30
    assert table[96][2] < 1e-6


# ---------------------------------------------------------------------------
# examples/fit_rho.py
# ---------------------------------------------------------------------------


@pytest.fixture(scope="module")
def fit_output():
    pytest.importorskip("scipy")
    return run_example("fit_rho.py", "--quick")


def fitted_tables(out):
    """[(chi2, dof, {name: (true, fitted, sigma, pull)})] for each fit printed."""
    fits = []
    for block in out.split("chi2 = ")[1:]:
        chi2, dof = re.match(rf"({NUMBER}) for (\d+) degrees", block).groups()
        params = {}
        for line in block.splitlines()[2:8]:
            *name, true, value, sigma, pull = line.split()
            params[" ".join(name)] = tuple(float(x) for x in (true, value, sigma, pull))
        fits.append((float(chi2), int(dof), params))
    return fits


def test_fit_recovers_rho(fit_output):
    true, value, sigma, pull = (
        float(x) for x in re.search(rf"rho: true ({NUMBER}), fitted ({NUMBER}) \+- ({NUMBER}), pull ({NUMBER})", fit_output).groups()
    )
    assert true == 0.02
    assert 1e-3 * true < sigma < 0.1 * true
    assert abs(value - true) < 3 * sigma
    assert pull == pytest.approx((value - true) / sigma, abs=0.02)


def test_fit_tables_are_consistent(fit_output):
    (chi2, dof, limb), (chi2_flat, dof_flat, flat) = fitted_tables(fit_output)
    assert list(limb) == ["t0 [d]", "u0", "tE [d]", "rho", "fs", "fb"] and list(flat) == list(limb)
    assert dof == dof_flat
    # Errors are known: chi2 of a correct model is dof +- sqrt(2 dof).
    assert abs(chi2 - dof) < 4 * (2 * dof) ** 0.5
    for name, (true, value, sigma, pull) in limb.items():
        assert sigma > 0 and abs(pull) < 4, name
        assert pull == pytest.approx((value - true) / sigma, abs=0.02), name
    assert limb["rho"][1] == pytest.approx(float(re.search(rf"fitted ({NUMBER})", fit_output.splitlines()[-1]).group(1)), abs=1e-6)
    # A uniform source does not fit a limb-darkened light curve as well.
    delta = float(re.search(rf"delta chi2 \(uniform - limb-darkened\) = ({NUMBER})", fit_output).group(1))
    assert delta == pytest.approx(chi2_flat - chi2, abs=0.15)
    assert delta > 25


# ---------------------------------------------------------------------------
# examples/parallel_light_curves.py
# ---------------------------------------------------------------------------


@pytest.fixture(scope="module")
def parallel_output():
    return run_example("parallel_light_curves.py", "--quick")


def test_parallel_results_are_identical(parallel_output):
    assert "identical bit for bit: first run True, second run True" in parallel_output
    serial = re.search(r"serial   sha256 ([0-9a-f]{64})", parallel_output).group(1)
    parallel, prefix = re.search(r"parallel sha256 ([0-9a-f]{64}) \(first run\), ([0-9a-f]{16})\.\.\.", parallel_output).groups()
    assert parallel == serial and serial.startswith(prefix)


def test_parallel_timings_are_consistent(parallel_output):
    t_serial = float(re.search(rf"serial +({NUMBER}) s", parallel_output).group(1))
    assert t_serial > 0
    for label in ("starting the workers", "workers already running"):
        t, speedup = (float(x) for x in re.search(rf"{label} +({NUMBER}) s +speed-up +({NUMBER})", parallel_output).groups())
        assert t > 0
        assert speedup == pytest.approx(t_serial / t, rel=0.02, abs=0.01)


def test_parallel_light_curve_values(parallel_output):
    lines = parallel_output.splitlines()
    header = next(i for i, line in enumerate(lines) if line.lstrip().startswith("rho \\ u0"))
    u0s = [float(x) for x in lines[header].split()[3:]]
    grid = {}
    for line in lines[header + 1 :]:
        cells = line.split()
        if len(cells) != len(u0s) + 1:
            break
        grid[float(cells[0])] = [float(c) for c in cells[1:]]
    assert len(grid) == len(u0s) == 6
    assert u0s[0] == 0.0 and u0s[-1] == 0.1
    smallest, largest = min(grid), max(grid)
    assert (smallest, largest) == (0.005, 0.1)
    # The lens at the centre.
    for rho in (smallest, largest):
        assert relative(grid[rho][0], centre_magnification(rho)) < 1e-7, rho
    # A small source far from the lens: the expansion holds to (rho/u)^4, and
    # differs from a point source by 3e-4.
    expected = gould_magnification(0.1, 0.005)
    assert relative(grid[smallest][-1], expected) < 2e-6
    assert relative(point_lens_mp(mp.mpf(0.1)), expected) > 1e-4


# ---------------------------------------------------------------------------
# examples/fit_event.py
# ---------------------------------------------------------------------------

# The event the example simulates, and its --quick cadence (days): sparse
# points every 4 d on the baseline, every 0.04 d over the source crossing.
EVENT_TRUTH = {"t0 [d]": 0.0, "u0": 0.01, "tE [d]": 25.0, "rho": 0.02, "fs": 1.0, "fb": 0.25}
EVENT_SEED = 20240611
EVENT_ERROR = 0.005


def event_times():
    import numpy as np

    return np.concatenate([np.arange(-60.0, -2.0, 4.0), np.arange(-2.0, 2.0, 0.04), np.arange(2.0, 62.0, 4.0)])


def event_flux(p, t):
    """fs A(u) + fb, u = sqrt(u0^2 + ((t - t0)/tE)^2), linear law u1 = 0.6."""
    import numpy as np

    import kelvora_fspl

    u = np.hypot(p[1], (t - p[0]) / p[2])
    return p[4] * kelvora_fspl.magnification(u, p[3], "linear", (GAMMA,)) + p[5]


@pytest.fixture(scope="module")
def event_output():
    pytest.importorskip("scipy")
    return run_example("fit_event.py", "--quick")


def event_counts(out):
    return {
        key: int(re.search(rf"^{key}: (\d+)", out, re.MULTILINE).group(1))
        for key in ("evaluations analytic", "evaluations finite-difference", "points analytic", "points finite-difference")
    }


def event_fits(out):
    """{'analytic'|'finite': (chi2, dof, residual evaluations, kelvora calls, points)}."""
    fits = {}
    for line in out.splitlines():
        match = re.match(rf"(analytic|finite \(2-point\)) +({NUMBER}) +(\d+) +(\d+) +(\d+) +(\d+) ", line)
        if match:
            chi2, dof, nfev, calls, points = match.groups()[1:]
            fits[match.group(1).split()[0]] = (float(chi2), int(dof), int(nfev), int(calls), int(points))
    return fits


def event_parameters(out):
    """{name: (true, analytic, finite-difference, sigma, printed difference/sigma, printed pull)}."""
    rows = {}
    for line in out.splitlines():
        cells = line.split()
        if len(cells) >= 7 and " ".join(cells[:-6]) in EVENT_TRUTH:
            rows[" ".join(cells[:-6])] = tuple(float(c) for c in cells[-6:])
    return rows


def test_fit_event_analytic_jacobian_needs_fewer_evaluations(event_output):
    counts = event_counts(event_output)
    points = int(re.search(r"synthetic event: (\d+) points", event_output).group(1))
    assert points == event_times().size
    analytic, finite = counts["evaluations analytic"], counts["evaluations finite-difference"]
    assert 0 < analytic < finite
    # Every call is over the whole light curve.
    assert counts["points analytic"] == analytic * points
    assert counts["points finite-difference"] == finite * points
    fits = event_fits(event_output)
    assert set(fits) == {"analytic", "finite"}
    assert fits["analytic"][3] == analytic and fits["finite"][3] == finite
    # The analytic fit calls magnification once per residual vector and
    # magnification_and_gradient once per Jacobian; forward differences
    # compute each Jacobian from 6 more residual vectors, one per parameter.
    pattern = r"evaluations analytic: \d+ \((\d+) magnification, (\d+) magnification_and_gradient\)"
    mags, grads = (int(x) for x in re.search(pattern, event_output).groups())
    assert mags == fits["analytic"][2] and grads >= 1 and mags + grads == analytic
    assert re.search(rf"evaluations finite-difference: {finite} \({finite} magnification\)", event_output)
    jacobians, remainder = divmod(finite - fits["finite"][2], 6)
    assert remainder == 0 and jacobians >= 1


def test_fit_event_optima_agree(event_output):
    fits = event_fits(event_output)
    rows = event_parameters(event_output)
    assert list(rows) == list(EVENT_TRUTH)
    chi2, dof = fits["analytic"][:2]
    assert fits["finite"][:2] == pytest.approx((chi2, dof), abs=2e-3)
    # Forward differences near the limb, where dA/du diverges like ln|u - rho|,
    # are good to about 1e-5, which moves the optimum by 1e-4 sigma at most.
    for name, (true, analytic, finite, sigma, difference, pull) in rows.items():
        assert sigma > 0, name
        assert abs(analytic - finite) <= 1e-3 * sigma, name
        assert abs(difference) <= 1e-3, name
    pattern = rf"largest \|analytic - finite-difference\| / sigma: ({NUMBER}) \(tolerance ({NUMBER})\)"
    worst, tolerance = (float(x) for x in re.search(pattern, event_output).groups())
    assert worst == pytest.approx(max(abs(r[4]) for r in rows.values()), rel=0.06)
    assert worst <= 1e-3 and tolerance <= 1e-2
    delta = float(re.search(rf"chi2 analytic - finite-difference: ({NUMBER})", event_output).group(1))
    assert abs(delta) <= 1e-4


def test_fit_event_recovers_the_truth_with_the_right_uncertainties(event_output):
    """The printed optimum is the least-squares minimum of the seeded data and
    its uncertainties those of the Fisher matrix, both computed here with
    central differences of kelvora_fspl.magnification (not the example's chain
    rule through magnification_and_gradient)."""
    import numpy as np

    rows = event_parameters(event_output)
    chi2, dof = event_fits(event_output)["analytic"][:2]
    assert f"seed {EVENT_SEED}" in event_output and "linear limb darkening (0.6,)" in event_output
    truth = np.array(list(EVENT_TRUTH.values()))
    fitted = np.array([rows[name][1] for name in EVENT_TRUTH])
    printed_sigma = np.array([rows[name][3] for name in EVENT_TRUTH])
    assert [rows[name][0] for name in EVENT_TRUTH] == list(truth)

    t = event_times()
    error = EVENT_ERROR * event_flux(truth, t)
    data = event_flux(truth, t) + error * np.random.default_rng(EVENT_SEED).standard_normal(t.size)
    assert dof == t.size - 6

    columns = []
    for k in range(6):
        step = np.zeros(6)
        step[k] = 1e-3 * printed_sigma[k]
        columns.append((event_flux(fitted + step, t) - event_flux(fitted - step, t)) / (2 * step[k]) / error)
    jac = np.column_stack(columns)
    cov = np.linalg.inv(jac.T @ jac)
    sigma = np.sqrt(np.diag(cov))
    np.testing.assert_allclose(printed_sigma, sigma, rtol=3e-3)

    residuals = (data - event_flux(fitted, t)) / error
    assert float(residuals @ residuals) == pytest.approx(chi2, abs=2e-3)
    assert chi2 < float(np.sum(((data - event_flux(truth, t)) / error) ** 2))
    # A minimum: the Gauss-Newton step from the printed optimum is negligible.
    step = cov @ (jac.T @ residuals)
    assert np.all(np.abs(step) < 1e-3 * sigma), step / sigma
    # Within 5 sigma of the truth (the errors are known: chi2 = dof +- sqrt(2 dof)).
    assert np.all(np.abs(fitted - truth) < 5 * sigma), (fitted - truth) / sigma
    assert abs(chi2 - dof) < 4 * (2 * dof) ** 0.5
    for name, (true, value, _, s, _, pull) in rows.items():
        assert pull == pytest.approx((value - true) / s, abs=0.02), name


# ---------------------------------------------------------------------------
# examples/fit_survey.py
# ---------------------------------------------------------------------------


@pytest.fixture(scope="module")
def survey_output():
    pytest.importorskip("scipy")
    pytest.importorskip("distributed", reason="fit_survey.py needs dask.distributed (pip install 'kelvora[dask]')")
    if os.environ.get("KELVORA_SANITIZER"):
        pytest.skip("dask's scheduler and worker processes under the ASan runtime take minutes; "
                    "the fits' code is fit_event.py's, run here")
    return run_example("fit_survey.py", "--quick")


def test_fit_survey_distributed_fits_are_the_serial_ones(survey_output):
    assert re.search(r"^events: 12 \(seeds 20240611 to 20240622\)", survey_output, re.MULTILINE)
    assert "cluster: LocalCluster, 2 worker processes, 2 threads" in survey_output
    assert "identical bit for bit: True" in survey_output
    serial = re.search(r"serial +sha256 ([0-9a-f]{64})", survey_output).group(1)
    remote = re.search(r"distributed sha256 ([0-9a-f]{64})", survey_output).group(1)
    assert serial == remote
    assert re.search(r"^converged: 12 of 12;", survey_output, re.MULTILINE)
    t_serial = float(re.search(rf"^serial: ({NUMBER}) s", survey_output, re.MULTILINE).group(1))
    pattern = rf"^distributed: ({NUMBER}) s, speed-up ({NUMBER})"
    t_remote, speedup = (float(x) for x in re.search(pattern, survey_output, re.MULTILINE).groups())
    assert t_serial > 0 and t_remote > 0
    assert speedup == pytest.approx(t_serial / t_remote, rel=0.02, abs=0.01)


def test_fit_survey_uncertainties_are_consistent(survey_output):
    """Over 12 events the rms of (fit - true)/sigma is about 1 +- 0.2 for
    right uncertainties; 2 would mean they are wrong by a factor 2."""
    table = {}
    for line in survey_output.splitlines():
        match = re.match(r" *(mean|rms|max) .*/sigma((?: +\S+){6})$", line)
        if match:
            table[match.group(1)] = [float(x) for x in match.group(2).split()]
    assert set(table) == {"mean", "rms", "max"}
    for mean, rms, worst in zip(table["mean"], table["rms"], table["max"]):
        assert 0.5 < rms < 2
        assert abs(mean) <= rms <= worst < 5


def test_fit_survey_without_dask_exits_with_a_message(tmp_path):
    """With dask unimportable (a stand-in package that raises ImportError first
    on the path), the example says what to install and exits with status 2."""
    (tmp_path / "dask").mkdir(exist_ok=True)
    (tmp_path / "dask" / "__init__.py").write_text("raise ImportError('dask hidden by the test')\n")
    path = os.pathsep.join(p for p in (str(tmp_path), os.environ.get("PYTHONPATH", "")) if p)
    env = example_env(PYTHONPATH=path)
    done = subprocess.run(
        [sys.executable, str(EXAMPLES / "fit_survey.py"), "--quick"], capture_output=True, text=True, env=env, timeout=120
    )
    assert done.returncode == 2, done.stdout + done.stderr
    assert done.stdout == ""
    assert "needs dask.distributed: pip install 'kelvora[dask]'" in done.stderr
