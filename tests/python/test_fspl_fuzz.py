"""Randomised calls of kelvora_fspl.magnification with arguments of every kind.

The cases, the model of the arguments and the checks live in
``_fspl_fuzz_child.py``; here Hypothesis draws the cases (a short,
derandomised profile), and seeded batches also run in a child process so that
a crash is reported with the call that caused it.  Each test prints how many
cases it ran and what they gave (shown with ``pytest -s`` or ``-rP``).
"""

import collections
import json
import math

import pytest

# Under --refleaks these run once: Hypothesis keeps state from run to run (its
# engine's caches, and the tally fixture counts every case by design), which
# repeated calls would read as growth.  The same kinds of call are repeated a
# million times, memory and references flat, by test_leaks.py and
# test_fspl_leaks.py.
pytestmark = pytest.mark.no_refleak_repeat("Hypothesis keeps state between runs")

np = pytest.importorskip("numpy")
pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, Phase, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

import _support  # noqa: E402
import kelvora_fspl  # noqa: E402
import _fspl_fuzz_child as fz  # noqa: E402
# Under the name the tests below use: a derandomised Hypothesis test draws its
# examples from a hash of its own source, which a rename would change.
from _support import assert_clean_report as _assert_clean  # noqa: E402

# The tally fixture counts the cases of all the inputs of a test on purpose.
# No shrinking: a failure is reported with its call written out, and
# shrinking many distinct failures would take minutes.
SHORT = dict(deadline=None, derandomize=True, database=None, print_blob=False,
             phases=(Phase.explicit, Phase.reuse, Phase.generate),
             suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large,
                                    HealthCheck.filter_too_much, HealthCheck.function_scoped_fixture])


class HypothesisSource(_support.HypothesisSource):
    """The choices of ``_fspl_fuzz_child.gen_case`` drawn by Hypothesis; the
    64 bits of ``anyfloat`` are offset by 2**63, as the child's RandomSource
    offsets its own."""

    BITS_OFFSET = 2**63


class Tally:
    def __init__(self, name):
        self.name = name
        self.outcomes = collections.Counter()

    def add(self, label):
        self.outcomes[label] += 1

    def show(self):
        total = sum(self.outcomes.values())
        print(f"\n{self.name}: {total} cases, {dict(sorted(self.outcomes.items()))}")


@pytest.fixture
def tally(request):
    t = Tally(request.node.name)
    yield t
    t.show()


def check(case, tally):
    result = fz.run_case(case)
    tally.add(result.label)
    assert not result.problems, "\n".join(
        [fz.describe(case), *result.problems, "case: " + json.dumps(case)])
    return result


# -- in process ------------------------------------------------------------------------------------


@settings(max_examples=400, **SHORT)
@given(data=st.data())
def test_random_calls(tally, data):
    check(fz.gen_case(HypothesisSource(data)), tally)


@settings(max_examples=250, **SHORT)
@given(data=st.data())
def test_random_valid_calls(tally, data):
    # Every argument well formed: each call must give a result.
    result = check(fz.gen_case(HypothesisSource(data), pbad=0.0), tally)
    assert result.label in ("result", "empty", "result-with-nan") or result.foreseen


@settings(max_examples=250, **SHORT)
@given(data=st.data())
def test_random_bad_arguments(tally, data):
    check(fz.gen_case(HypothesisSource(data), pbad=0.6), tally)


FINITE_U = st.floats(0.0, 1e6) | st.floats(0.0, 3.0)
RHO = st.floats(1e-4, 1e3)


@settings(max_examples=150, **SHORT)
@given(u=st.lists(FINITE_U, min_size=1, max_size=6), rho=RHO,
       law=st.sampled_from(["uniform", "linear", "quadratic", "square-root", "power-2", "tabulated"]),
       a=st.floats(0.0, 1.0), b=st.floats(0.0, 1.0))
def test_physical_arguments_give_finite_values_above_one(tally, u, rho, law, a, b):
    # Limb darkening of real stars: coefficients in their usual ranges.
    coefficients = {"uniform": (), "linear": (a,), "quadratic": (a, b * (1 - a)), "square-root": (a, b * (1 - a)),
                    "power-2": (a, 0.1 + 2 * b), "tabulated": ((0.0, 0.5, 1.0), (1 - a, 1 - a / 2, 1.0))}[law]
    got = kelvora_fspl.magnification(u, rho, law, coefficients)
    tally.add(law)
    assert got.shape == (len(u),) and got.dtype == np.float64
    assert np.all(np.isfinite(got)) and np.all(got >= 1.0), (u, rho, law, coefficients, got)
    # Once the lens is outside the source, moving it away magnifies less (to
    # within rounding).
    order = np.argsort(u)
    outside = np.asarray(u)[order] > rho
    far = got[order][outside]
    assert np.all(np.diff(far) <= 1e-13 * far[1:]), (u, rho, law, coefficients, got)


def test_every_outcome_is_reached():
    # The generator produces each kind of outcome the checks know.
    labels = collections.Counter()
    for index in range(1500):
        labels[fz.run_case(fz.seeded_case(11, index)).label] += 1
    print(f"\n1500 seeded cases: {dict(sorted(labels.items()))}")
    assert set(labels) >= {"result", "empty", "result-with-nan", "TypeError", "ValueError", "OverflowError", "own"}


# -- in a child process ------------------------------------------------------------------------------


def test_seeded_batch_in_a_child_process():
    report = fz.run_in_child(["--seed", "20251", "--count", "6000"], timeout=300)
    if "crash" not in report:
        print(f"\nchild process: {report['cases']} cases in {report['elapsed']:.1f} s, "
              f"{dict(sorted(report['outcomes'].items()))}")
    _assert_clean(report)
    assert report["cases"] == 6000


@settings(max_examples=4, **SHORT)
@given(data=st.data())
def test_drawn_batches_in_a_child_process(tmp_path_factory, data):
    src = HypothesisSource(data)
    cases = [fz.gen_case(src) for _ in range(25)]
    path = tmp_path_factory.mktemp("cases") / "cases.json"
    path.write_text(json.dumps(cases))
    report = fz.run_in_child(["--cases", str(path)], timeout=120)
    _assert_clean(report)
    assert report["cases"] == len(cases)


def test_a_crash_in_the_child_is_reported_with_its_case(tmp_path):
    good = {"u": ["f", fz.bits_of(0.5)], "rho": ["f", fz.bits_of(0.1)], "law": ["str", "uniform"],
            "coef": ["tuple", []], "bind": "pos"}
    other = dict(good, u=["list", [["f", fz.bits_of(0.25)]]])
    path = tmp_path / "cases.json"
    path.write_text(json.dumps([good, other, good]))
    report = fz.run_in_child(["--cases", str(path), "--abort-at", "1"], timeout=60)
    crash = report["crash"]
    assert crash["returncode"] < 0, crash
    assert crash["where"] == {"case": 1}
    assert crash["case"] == other
    assert "--case" in crash["reproduce"]


# -- the checks notice faults ------------------------------------------------------------------------


class Faulty:
    """kelvora_fspl with one fault added, to show that the checks notice it."""

    def __init__(self, fault):
        self.fault = fault

    def magnification(self, u, rho, law="uniform", coefficients=()):
        fault = self.fault
        try:
            result = Faulty.plain(u, rho, law, coefficients)
        except ValueError as exc:
            if fault == "wraps_errors":
                raise RuntimeError(str(exc)) from None
            raise
        if fault == "float32":
            return result.astype(np.float32)
        if fault == "list":
            return result.tolist()
        if fault == "squeezes":
            return np.squeeze(result)
        if fault == "nan_to_one":
            return np.nan_to_num(result, nan=1.0)
        if fault == "below_one" and result.size:
            result = result.copy()
            result.flat[-1] = math.nextafter(1.0, 0.0)
            return result
        if fault == "hands_back_input" and isinstance(u, np.ndarray) and u.shape == result.shape:
            u[...] = result
            return u
        if fault == "ulp" and result.size > 1:
            result = result.copy()
            result.flat[-1] = math.nextafter(result.flat[-1], math.inf)
            return result
        return result

    def gradient(self, u, rho, law="uniform", coefficients=()):
        result = list(kelvora_fspl.magnification_and_gradient(u, rho, law, coefficients, coefficients_gradient=True))
        if self.fault == "drops_a_coefficient":
            result.pop()
        if self.fault == "gradient_nan":
            result[2] = result[2].copy()
            result[2].flat[0] = math.nan
        if self.fault == "gradient_shares":
            result[3] = result[1]
        return tuple(result)

    plain = staticmethod(kelvora_fspl.magnification)


def _case(u, rho=0.1, law="uniform", coef=()):
    def node(x):
        if isinstance(x, list):
            return ["list", [node(v) for v in x]]
        return ["f", fz.bits_of(x)]

    return {"u": node(u), "rho": node(rho), "law": ["str", law], "coef": ["tuple", [node(c) for c in coef]],
            "bind": "pos"}


ARRAY_U = {"u": ["arr", "float64", [3], [fz.bits_of(v) for v in (0.0, 0.05, 0.5)], "c"],
           "rho": ["f", fz.bits_of(0.1)], "law": ["str", "linear"], "coef": ["tuple", [["f", fz.bits_of(0.5)]]],
           "bind": "pos"}
FAULTS = {
    "float32": (_case([0.5, 1.0]), "dtype"),
    "list": (_case([0.5]), "numpy.ndarray"),
    "squeezes": (_case([[0.5]]), "shape"),
    "nan_to_one": (_case([0.5, math.nan]), "where u is NaN"),
    "below_one": (_case([1e3]), "below 1"),
    "hands_back_input": (ARRAY_U, "memory"),
    "ulp": (_case([0.5, 0.7], law="power-2", coef=(0.5, 0.8)), "for the entry alone"),
    "wraps_errors": (_case([-1.0]), "RuntimeError"),
    "drops_a_coefficient": (dict(_case([0.5], law="linear", coef=(0.5,)), gradient=True), "arrays, not 4"),
    "gradient_nan": (dict(_case([0.5], law="linear", coef=(0.5,)), gradient=True), "NaN where u is not"),
    "gradient_shares": (dict(_case([0.5], law="linear", coef=(0.5,)), gradient=True), "shares memory"),
}


@pytest.mark.parametrize("fault", sorted(FAULTS))
def test_the_checks_notice_a_fault(fault, monkeypatch):
    case, words = FAULTS[fault]
    clean = fz.run_case(case)
    assert clean.problems == [], clean.problems
    faulty = Faulty(fault)
    # The faulty function is the one called; the entries alone still go to the real one.
    monkeypatch.setattr(fz, "call", lambda objs, bind, default_ok, gradient=None:
                        faulty.magnification(*objs) if gradient is None else faulty.gradient(*objs))
    problems = fz.run_case(case).problems
    assert problems, f"the fault {fault!r} went unnoticed"
    assert any(words in p for p in problems), problems


def test_the_probe_notices_an_exception_left_behind():
    assert fz.probe_after() == []
    try:
        raise KeyError("still being handled")
    except KeyError:
        problems = fz.probe_after()
    assert any("left being handled" in p for p in problems), problems
