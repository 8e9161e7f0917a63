"""The small-source expansion: for rho up to a level's reach, the linear,
quadratic and square-root laws take A and its derivatives from the series
F A = sum_k a_k rho^(2k-1) M_(2k-1)(u/rho) with tabulated moments
(fspl/core/small_source.hpp), elsewhere from the superposition integral.

Checked against the two mpmath tables (their rows of rho = 1e-6 to 0.14,
u/rho = 0 to 3, either side of where the derivatives near the limb go back
to the integral), and where the method changes, in rho and about the limb,
for steps no larger than the tolerance on either side.
"""

import math
import re

import pytest

np = pytest.importorskip("numpy")
import kelvora_fspl  # noqa: E402
from _support import ROOT, data_rows  # noqa: E402

LAWS = [("linear", (0.6,)), ("linear", (1.0,)), ("quadratic", (0.4, 0.25)), ("square-root", (0.3, 0.5)),
        ("quadratic", (0.9, -0.3))]
LEVELS = [1e-9, 1e-8, 1e-7, 1e-6, 1e-5, 1e-4, 1e-3]
# Within the default's reach (0.064, as documented), rounded down.
DEFAULT_REACH = 0.05


def reach():
    """Each level's largest rho, as the generated table states it (in the
    source tree; a wheel's tests run without it)."""
    header = ROOT / "fspl/core/small_source_table.hpp"
    if not header.exists():
        pytest.skip("needs the source tree's fspl/core/small_source_table.hpp")
    text = header.read_text()
    found = re.search(r"SMALL_SOURCE_RHO_MAX = \{([^}]*)\}", text)
    return [float(x) for x in found.group(1).split(",")]


def rows(name):
    """The table's rows of the series' laws with rho <= 0.21 and u < 3 rho."""
    return [row for row in data_rows(name) if row["law"] in ("linear", "quadratic", "square-root")
            and float(row["rho"]) <= 0.21 and float(row["u"]) < 3 * float(row["rho"])]


def coefficients_of(row):
    return tuple(float(row[c]) for c in ("c1", "c2") if row[c])


def test_values_of_small_sources_to_1e_12_of_the_mpmath_table():
    # Within its reach (not within 2^-20 of the limb) the expansion is exact
    # to the tables' few 1e-14, and its rest is at most a twentieth of the
    # tolerance (1.3e-13 at rho = 0.05): far inside the default's 1e-9.
    table = rows("fspl_reference.csv")
    checked = 0
    for row in table:
        u, rho = float(row["u"]), float(row["rho"])
        if rho > DEFAULT_REACH or abs(u / rho - 1) < 1e-5:
            continue  # beyond the reach, or the integral's near the limb
        got = kelvora_fspl.magnification(u, rho, row["law"], coefficients_of(row))
        want = float(row["magnification"])
        assert abs(got / want - 1) <= 1e-12, (row["law"], u / rho, rho, got, want)
        checked += 1
    assert checked > 200


def test_derivatives_of_small_sources_to_1e_9_of_the_mpmath_table():
    # Both sides of the limb's 2^-14, the last points the tables' derivatives
    # serve and the first the integral's, at the default (rho = 1e-4 to 0.03)
    # and at 1e-4 (rho = 0.1 and 0.14, beyond the default's reach), where the
    # promise is 10 times the tolerance and the expansion's rest a twentieth.
    table = rows("fspl_gradient_reference.csv")
    assert any(abs(float(r["u"]) / float(r["rho"]) - (1 - 5e-5)) < 1e-9 for r in table)
    worst = 0.0
    for row in table:
        u, rho = float(row["u"]), float(row["rho"])
        tolerance = 1e-9 if rho <= DEFAULT_REACH else 1e-4
        out = kelvora_fspl.magnification_and_gradient(u, rho, row["law"], coefficients_of(row),
                                                      coefficients_gradient=True, tolerance=tolerance)
        want = [float(row["magnification"]), float(row["dA_du"]), float(row["dA_drho"])]
        want += [float(x) for x in row["dA_dcoefficients"].split()]
        # A tenth of the promise at the default (near u = 3 rho, dA/drho
        # passes towards zero and keeps 3e-10 of itself), the promise at 1e-4.
        bound = 1e-9 if tolerance == 1e-9 else 10 * tolerance
        for k, (g, w) in enumerate(zip(out, want)):
            error = abs(float(g) - w) / abs(w) if w != 0 else abs(float(g))
            worst = max(worst, error if tolerance == 1e-9 else 0.0)
            assert error <= bound, (row["law"], u / rho, rho, k, float(g), w)
    assert worst > 0.0  # the rows were compared


@pytest.mark.parametrize("law, coefficients", LAWS, ids=[f"{l}{c}" for l, c in LAWS])
def test_no_step_where_rho_leaves_a_levels_reach(law, coefficients):
    # rho_max itself takes the expansion, the next double up the integral:
    # both within the tolerance of the truth, so within twice it of each other.
    # (Not u = rho itself, where a bright limb's derivatives are infinite.)
    z = np.concatenate([np.linspace(0.0, 2.99, 300) + 1e-3, 1 + np.array([-1e-4, -1e-5, 1e-5, 1e-4])])
    for tolerance, rho in zip(LEVELS, reach()):
        above = math.nextafter(rho, 1.0)
        a = kelvora_fspl.magnification(z * rho, rho, law, coefficients, tolerance=tolerance)
        b = kelvora_fspl.magnification(z * rho, above, law, coefficients, tolerance=tolerance)
        assert np.max(np.abs(a / b - 1)) <= 2 * tolerance, tolerance
        ga = kelvora_fspl.magnification_and_gradient(z * rho, rho, law, coefficients, tolerance=tolerance)
        gb = kelvora_fspl.magnification_and_gradient(z * rho, above, law, coefficients, tolerance=tolerance)
        assert np.array_equal(ga[0], a)
        for k in (1, 2):
            scale = a / rho  # the derivatives' own scale (dA/drho passes through zero)
            assert np.max(np.abs(ga[k] - gb[k]) / scale) <= 20 * tolerance, (tolerance, k)


@pytest.mark.parametrize("law, coefficients", LAWS, ids=[f"{l}{c}" for l, c in LAWS])
def test_no_step_about_the_limb(law, coefficients):
    # The tables stop 2^-20 from the limb (in t = 1 - z^2 inside, w = z - 1
    # outside) for the value and 2^-14 for the derivatives; a few ulps either
    # side of each, the expansion and the integral agree.
    rho = 0.02
    for edge in (2.0**-20, 2.0**-19, 2.0**-14):
        for z in (math.sqrt(1 - edge), 1 + edge):
            u = np.array([z * rho * (1 + k * 2.0**-52) for k in range(-6, 7)])
            a, du, drho = kelvora_fspl.magnification_and_gradient(u, rho, law, coefficients)
            assert np.array_equal(a, kelvora_fspl.magnification(u, rho, law, coefficients))
            assert np.max(np.abs(a / a[6] - 1)) <= 2e-12, (edge, z)
            # The derivatives vary like log|1 - z| there: over 12 ulps of u, by
            # less than 1e-9 of themselves.
            assert np.max(np.abs(du / du[6] - 1)) <= 1e-8, (edge, z)
            assert np.max(np.abs(drho / drho[6] - 1)) <= 1e-8, (edge, z)


def test_the_centre_and_central_differences():
    # dA/du = 0 at u = 0 by symmetry; elsewhere the derivatives are the
    # slopes of the values (central differences, steps 1e-6 of the scale).
    rho = 0.01
    for law, coefficients in LAWS:
        _, du, _ = kelvora_fspl.magnification_and_gradient(0.0, rho, law, coefficients)
        assert float(du) == 0.0
        for z in (0.3, 0.8, 1.2, 2.5):
            u = z * rho
            a, du, drho, *dc = kelvora_fspl.magnification_and_gradient(u, rho, law, coefficients,
                                                                       coefficients_gradient=True)
            h = 1e-6 * rho
            nu = (kelvora_fspl.magnification(u + h, rho, law, coefficients)
                  - kelvora_fspl.magnification(u - h, rho, law, coefficients)) / (2 * h)
            nr = (kelvora_fspl.magnification(u, rho + h, law, coefficients)
                  - kelvora_fspl.magnification(u, rho - h, law, coefficients)) / (2 * h)
            assert float(du) == pytest.approx(nu, rel=1e-6, abs=1e-7 * float(a) / rho)
            assert float(drho) == pytest.approx(nr, rel=1e-6, abs=1e-7 * float(a) / rho)
            if coefficients == (1.0,):
                continue  # u1 > 1 would make the linear law negative at the limb
            for i, d in enumerate(dc):
                step = 1e-6
                up = list(coefficients)
                down = list(coefficients)
                up[i] += step
                down[i] -= step
                nc = (kelvora_fspl.magnification(u, rho, law, tuple(up))
                      - kelvora_fspl.magnification(u, rho, law, tuple(down))) / (2 * step)
                assert float(d) == pytest.approx(nc, rel=1e-5, abs=1e-9 * float(a)), (law, z, i)
