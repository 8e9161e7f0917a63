"""The tolerance keyword: the accuracy asked of A, traded for speed.

The promise, |A/A_true - 1| <= tolerance for every law, every rho in
[1e-6, 1e3] and every u >= 0, and the derivatives within 10 tolerance, is
checked against the two mpmath tables (tools/gen_fspl_reference.py and
tools/gen_fspl_gradient_reference.py: u = 0, u/rho = 1 - 1e-7, 1 and
1 +- 1e-6 among the rows, rho from 1e-6 to 1e3), and between the tables'
rows on a dense grid around the limb and the centre against the default,
which the tables hold to 1e-10.  Speed is measured by bench/, not here.
"""

import math

import pytest

np = pytest.importorskip("numpy")
import kelvora_fspl  # noqa: E402
from _support import data_rows  # noqa: E402

mag = kelvora_fspl.magnification
grad = kelvora_fspl.magnification_and_gradient

# The levels' tolerances, and values between them (a tolerance takes the
# rules of the loosest level it allows).
TOLERANCES = [1e-9, 2e-9, 1e-8, 1e-7, 5e-7, 1e-6, 1e-5, 3e-5, 1e-4, 1e-3, 0.01]


_rows = data_rows


def _coefficients(row):
    if row["law"] == "tabulated":
        return [float(x) for x in row["mu_nodes"].split()], [float(x) for x in row["intensities"].split()]
    return tuple(float(row[c]) for c in ("c1", "c2") if row[c])


def _grouped(name):
    """The table's rows by profile: (law, coefficients) -> arrays of u, rho
    and the reference columns."""
    groups = {}
    for row in _rows(name):
        key = (row["law"], repr(_coefficients(row)))
        groups.setdefault(key, (row["law"], _coefficients(row), []))[2].append(row)
    return list(groups.values())


VALUE_PROFILES = _grouped("fspl_reference.csv")
GRADIENT_PROFILES = _grouped("fspl_gradient_reference.csv")


def _id(profile):
    law, coefficients, _ = profile
    return law if law == "tabulated" else f"{law}{coefficients}"


@pytest.mark.parametrize("profile", VALUE_PROFILES, ids=[_id(p) for p in VALUE_PROFILES])
def test_every_value_of_the_table_within_the_tolerance(profile):
    law, coefficients, rows = profile
    u = np.array([float(r["u"]) for r in rows])
    rho = np.array([float(r["rho"]) for r in rows])
    reference = np.array([float(r["magnification"]) for r in rows])
    # The grid holds what the promise names: the centre, the limb and both
    # ends of rho.
    x = u / rho
    assert (x == 0).any() and (x == 1).any() and np.isclose(np.abs(x - 1), 1e-7, rtol=1e-6, atol=0).any()
    assert rho.min() == 1e-6 and rho.max() == 1e3
    for tolerance in TOLERANCES:
        error = np.abs(mag(u, rho, law, coefficients, tolerance=tolerance) / reference - 1)
        worst = int(np.argmax(error))
        assert error[worst] <= tolerance, (tolerance, u[worst], rho[worst], error[worst])


@pytest.mark.parametrize("profile", GRADIENT_PROFILES, ids=[_id(p) for p in GRADIENT_PROFILES])
def test_every_derivative_of_the_table_within_ten_tolerances(profile):
    law, coefficients, rows = profile
    # Sources up to 100 Einstein radii.
    rows = [r for r in rows if float(r["rho"]) <= 100]
    u = np.array([float(r["u"]) for r in rows])
    rho = np.array([float(r["rho"]) for r in rows])
    columns = [np.array([float(r[name]) for r in rows]) for name in ("dA_du", "dA_drho")]
    for k in range(len(rows[0]["dA_dcoefficients"].split())):
        columns.append(np.array([float(r["dA_dcoefficients"].split()[k]) for r in rows]))
    finite = np.all([np.isfinite(c) & (c != 0) for c in columns], axis=0)
    for tolerance in TOLERANCES:
        out = grad(u, rho, law, coefficients, coefficients_gradient=law != "uniform", tolerance=tolerance)
        assert out[0].tobytes() == mag(u, rho, law, coefficients, tolerance=tolerance).tobytes()
        for name, computed, reference in zip(("u", "rho", "c1", "c2", "c3", "c4", "c5"), out[1:], columns):
            error = np.abs(computed[finite] / reference[finite] - 1)
            worst = int(np.argmax(error))
            assert error[worst] <= 10 * tolerance, (name, tolerance, u[finite][worst], rho[finite][worst])
            if name == "u":
                # Where the reference is infinite (a bright limb under the
                # lens) or zero (u = 0), so is the derivative.
                assert (computed[~finite] == reference[~finite]).all()


DENSE_LAWS = [
    ("linear", (1.0,)),
    ("quadratic", (1.2, -0.3)),
    ("square-root", (0.3, 0.5)),
    ("power-2", (0.7, 0.6)),
    ("power-2", (0.5, 1.5)),
    ("tabulated", ([0.0, 0.1, 0.3, 0.6, 1.0], [0.25, 0.55, 0.75, 0.9, 1.0])),
]


@pytest.mark.parametrize("law, coefficients", DENSE_LAWS, ids=[f"{law}{c}" for law, c in DENSE_LAWS[:-1]] + ["table"])
def test_between_the_rows_near_the_limb_and_the_centre(law, coefficients):
    # The table's rows are sparse in u/rho; the errors of a loose rule are
    # largest at the limb (either side) and towards the centre, and just
    # beyond where the far-field series takes over.  Against the default,
    # itself within 1e-10 of the tables.
    d = np.logspace(-9, -0.3, 40)
    x = np.concatenate([[0.0], 1e-4 * np.arange(1, 5), 1 - d, [1.0], 1 + d, np.linspace(1.1, 3.0, 39)])
    for rho in (1e-6, 0.03, 0.7, 4.0, 1e3):
        u = x * rho
        reference = mag(u, rho, law, coefficients)
        for tolerance in (1e-8, 1e-6, 1e-4, 1e-3):
            error = np.abs(mag(u, rho, law, coefficients, tolerance=tolerance) / reference - 1)
            worst = int(np.argmax(error))
            assert error[worst] <= tolerance - 2e-10, (rho, tolerance, x[worst], error[worst])


def test_the_uniform_disk_is_the_closed_form_at_any_tolerance():
    u = np.linspace(0.0, 12.0, 61)
    for tolerance in TOLERANCES:
        assert mag(u, 0.3, tolerance=tolerance).tobytes() == mag(u, 0.3).tobytes()


def test_the_default_is_the_tightest_and_named():
    assert kelvora_fspl.DEFAULT_TOLERANCE == 1e-9
    u = np.linspace(0.0, 0.3, 31)
    assert (mag(u, 0.1, "linear", (0.6,)) == mag(u, 0.1, "linear", (0.6,), tolerance=1e-9)).all()
    # Integer and numpy tolerances are real numbers too.
    assert mag(0.05, 0.1, "linear", (0.6,), tolerance=np.float32(1e-4)) == \
        mag(0.05, 0.1, "linear", (0.6,), tolerance=float(np.float32(1e-4)))


@pytest.mark.parametrize("tolerance, kind, message", [
    (0.0, ValueError, "tolerance must lie in [1e-09, 1) (the default, 1e-09, is the most accurate), got 0.0"),
    (-1e-4, ValueError, "got -0.0001"),
    (1e-10, ValueError, "got 1e-10"),
    (math.nan, ValueError, "got nan"),
    (math.inf, ValueError, "got inf"),
    (1.0, ValueError, "got 1.0"),
    (1, ValueError, "got 1.0"),
    ("1e-4", TypeError, "tolerance must be a real number, not str"),
    (None, TypeError, "tolerance must be a real number, not NoneType"),
    (True, TypeError, "tolerance must be a real number, not bool"),
    (1e-4j, TypeError, "tolerance must be a real number, not complex"),
], ids=["zero", "negative", "below-default", "nan", "inf", "one", "int-one", "str", "None", "bool", "complex"])
def test_bad_tolerances_are_refused(tolerance, kind, message):
    calls = [
        lambda: mag(0.5, 0.1, "linear", (0.6,), tolerance=tolerance),
        lambda: mag(np.linspace(0, 1, 5), 0.1, tolerance=tolerance),
        lambda: grad(0.5, 0.1, "quadratic", (0.4, 0.2), tolerance=tolerance),
        lambda: kelvora_fspl.light_curve([0.0, 1.0], 0.0, 0.1, 10.0, 0.05, "linear", (0.6,), tolerance=tolerance),
    ]
    for call in calls:
        with pytest.raises(kind) as info:
            call()
        assert message in str(info.value)
        assert type(info.value) is kind


def test_the_light_curve_and_the_event_pass_it_on():
    t = np.linspace(-1.0, 1.0, 201)
    args = (0.0, 0.01, 10.0, 0.05, "linear", (0.6,))
    loose = kelvora_fspl.light_curve(t, *args, tolerance=1e-4)
    u = np.hypot(0.01, t / 10.0)
    assert loose.tobytes() == mag(u, 0.05, "linear", (0.6,), tolerance=1e-4).tobytes()
    a, partials = kelvora_fspl.light_curve(t, *args, gradient=True, tolerance=1e-4)
    assert a.tobytes() == loose.tobytes()
    exact = kelvora_fspl.light_curve(t, *args, gradient=True)[1]
    for name in partials:
        scale = np.abs(exact[name]).max()
        assert np.abs(partials[name] - exact[name]).max() <= 1e-3 * scale, name
    dataset = kelvora_fspl.Dataset(t, 1.0 + 0.1 * mag(u, 0.05, "linear", (0.6,)), np.full(t.size, 0.01))
    event = kelvora_fspl.Event(dataset, "linear", (0.6,), tolerance=1e-4)
    params = {"t0": 0.0, "u0": 0.01, "tE": 10.0, "rho": 0.05}
    assert event.magnifications(params)[0].tobytes() == loose.tobytes()
    with pytest.raises(ValueError, match="tolerance must lie in"):
        kelvora_fspl.Event(dataset, "linear", (0.6,), tolerance=0.0)
