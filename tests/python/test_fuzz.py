"""Randomised calls of every function, with arguments of every kind.

The cases, the model of binding and conversion, and the checks live in
``_fuzz_child.py``; here Hypothesis draws the cases (a short, derandomised
profile), and batches also run in a child process so that a crash is
reported with the call that caused it.  The long profile is
``tools/fuzz_long.py``.
"""

import array
import json
import math
from decimal import Decimal
from fractions import Fraction

import pytest

# Under --refleaks these run once: Hypothesis keeps state from run to run (its
# engine's caches, and the tally fixture counts every case by design), which
# repeated calls would read as growth.  The same kinds of call are repeated a
# million times, memory and references flat, by test_leaks.py and
# test_fspl_leaks.py.
pytestmark = pytest.mark.no_refleak_repeat("Hypothesis keeps state between runs")

np = pytest.importorskip("numpy")
hypothesis = pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

import kelvora  # noqa: E402
import _fuzz_child as fz  # noqa: E402
from _support import Floaty, HypothesisSource, Indexy  # noqa: E402
# Under the name the tests below use: a derandomised Hypothesis test draws its
# examples from a hash of its own source, which a rename would change.
from _support import assert_clean_report as _assert_clean  # noqa: E402

SHORT = dict(deadline=None, derandomize=True, database=None, print_blob=True,
             suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large,
                                    HealthCheck.filter_too_much])


@pytest.fixture(scope="module")
def ctx():
    return fz.Context()


def check(ctx, case, elementwise=True):
    result = fz.run_case(ctx, case, elementwise)
    assert not result.problems, json.dumps(
        {"call": fz.describe(ctx, case), "problems": result.problems, "case": case}, indent=1)
    return result


# -- in process --------------------------------------------------------------------


@settings(max_examples=500, **SHORT)
@given(st.data())
def test_random_calls(ctx, data):
    check(ctx, fz.gen_case(HypothesisSource(data)))


@settings(max_examples=250, **SHORT)
@given(st.data())
def test_random_bindings(ctx, data):
    # Mostly well-formed values: positions, keywords, vectorcall, missing,
    # surplus, repeated and misspelled arguments.
    check(ctx, fz.gen_case(HypothesisSource(data), pbad=0.0, binding=0.8, vectorcall=0.4))


@settings(max_examples=350, **SHORT)
@given(st.data())
def test_random_bad_arguments(ctx, data):
    check(ctx, fz.gen_case(HypothesisSource(data), fns=fz.FAST_FUNCTIONS, pbad=0.35, binding=0.05))


@settings(max_examples=25, **SHORT)
@given(st.data())
def test_random_calls_of_the_slow_functions(ctx, data):
    check(ctx, fz.gen_case(HypothesisSource(data), fns=sorted(fz.HEAVY)))


REENTRANT_MODES = ["value", "propagate", "swallow"]


@settings(max_examples=150, **SHORT)
@given(st.data())
def test_conversion_that_calls_back_into_kelvora(ctx, data):
    src = HypothesisSource(data)
    case = fz.gen_case(src, fns=fz.FAST_FUNCTIONS, pbad=0.0, binding=0.0)
    inner = fz.gen_case(src, fns=fz.FAST_FUNCTIONS, pbad=src.pick([(1, 0.0), (1, 0.3)]), depth=1)
    node = ["reenter", inner, src.pick([(1, m) for m in REENTRANT_MODES])]
    _plant(src, case, node)
    check(ctx, case)


MUTATIONS = ["append", "append_self", "clear", "pop", "set_last", "insert0", "del0", "extend"]


@settings(max_examples=150, **SHORT)
@given(st.data())
def test_conversion_that_mutates_the_arguments(ctx, data):
    src = HypothesisSource(data)
    case = fz.gen_case(src, fns=fz.FAST_FUNCTIONS, pbad=0.0, binding=0.0)
    node = ["mutate", src.integer(0, 6), src.pick([(1, m) for m in MUTATIONS]), fz.bits_of(src.uniform(0, 3))]
    _plant(src, case, node, loose=src.chance(0.5))
    check(ctx, case)


def _plant(src, case, node, loose=False):
    """Put ``node`` into the first sequence argument (made a list), or in place
    of a number when the function takes numbers only."""
    entries = [("pos", i) for i in range(len(case["pos"]))] + [("kw", i) for i in range(len(case["kw"]))]
    for where, i in entries:
        holder = case[where][i] if where == "kw" else None
        value = holder[1] if holder else case["pos"][i]
        if value[0] == "list":
            items = list(value[1])
            items.insert(src.integer(0, len(items)), node)
            new = ["list", items] + (["loose"] if loose else [])
            if holder:
                holder[1] = new
            else:
                case["pos"][i] = new
            return
    where, i = entries[src.integer(0, len(entries) - 1)]
    if where == "kw":
        case["kw"][i][1] = node
    else:
        case["pos"][i] = node


def test_every_outcome_is_reached(ctx):
    # The generator really produces each kind of outcome the checks know.
    kinds = set()
    for index in range(1500):
        kinds.add(fz.run_case(ctx, fz.seeded_case(11, index)).how)
    assert kinds >= {"converted", "binding", "renamed", "passed", "refused", "capacity", "resumed"}


# -- numbers in other forms give the bits of plain floats ------------------------------

FINITE = st.floats(allow_nan=False, allow_infinity=False)
SEPARATION = st.one_of(st.floats(0, 3), st.integers(-2, 12).map(float), st.sampled_from(fz.SPECIAL_FLOATS), FINITE)
RADIUS = st.one_of(st.floats(1e-3, 10), st.integers(1, 5).map(float), st.sampled_from([0.1, 1.0, 1e8, -1.0]))


def number_forms(x):
    """Objects that convert to exactly ``x``."""
    forms = [fz.FloatSub(x), np.float64(x), Floaty(x)]
    if math.isfinite(x):
        forms += [Fraction(x), Decimal(repr(x))]
        if x == int(x):
            forms += [int(x), Indexy(int(x)), np.int64(int(x)) if abs(x) < 2**63 else int(x)]
            if x in (0.0, 1.0) and math.copysign(1.0, x) > 0:
                forms.append(bool(x))
    with np.errstate(over="ignore"):
        narrow = np.float32(x)
    if float(narrow) == x or math.isnan(x):
        forms.append(narrow)
    return forms


def sequence_forms(values):
    return [tuple(values), np.array(values), np.array(values, dtype=">f8"), array.array("d", values),
            np.repeat(np.array(values, dtype=float), 2)[::2], np.array(values[::-1], dtype=float)[::-1]]


def outcome(call):
    try:
        return fz.outcome_text(call())
    except BaseException as exc:  # noqa: BLE001
        return fz.outcome_text(exc)


@settings(max_examples=200, **SHORT)
@given(fn=st.sampled_from(fz.FAST_FUNCTIONS), data=st.data())
def test_numbers_in_other_forms_give_the_bits_of_plain_floats(fn, data):
    params = fz.FUNCTIONS[fn]
    plain = {}
    for param, kind in zip(params, fz.kinds(fn)):
        if kind == "seq":
            size = 3 if param != "l" else data.draw(st.integers(0, 4))
            elems = SEPARATION if param in ("l", "bl") else st.floats(0, 1)
            plain[param] = data.draw(st.lists(elems, min_size=size, max_size=size))
        else:
            plain[param] = data.draw(SEPARATION if param in ("l", "r") else RADIUS)
    func = getattr(kelvora, fn)
    expected = outcome(lambda: func(**plain))
    for param, kind in zip(params, fz.kinds(fn)):
        if kind == "seq":
            values = plain[param]
            alternatives = sequence_forms(values)
            choice = [data.draw(st.sampled_from(number_forms(v))) for v in values]
            alternatives.append(choice)
            alternatives.append(tuple(choice))
        else:
            alternatives = number_forms(plain[param])
        for alt in alternatives:
            got = outcome(lambda: func(**dict(plain, **{param: alt})))
            assert got == expected, f"{param}={alt!r}: {got} vs {expected} for {plain}"


# -- in a child process ------------------------------------------------------------------


def test_seeded_batch_in_a_child_process():
    report = fz.run_in_child(["--seed", "20250", "--count", "10000"], timeout=300)
    _assert_clean(report)
    assert report["cases"] == 10000
    assert set(report["kinds"]) >= {"converted", "binding", "renamed", "passed", "refused", "capacity", "resumed"}
    # A fault in the child writes a report to its standard error, which the
    # child checks (it is a file): make sure faults did happen.
    assert report["outcomes"].get("PanicException", 0) > 0


@settings(max_examples=4, **SHORT)
@given(st.data())
def test_drawn_batches_in_a_child_process(tmp_path_factory, data):
    src = HypothesisSource(data)
    cases = [fz.gen_case(src) for _ in range(25)]
    path = tmp_path_factory.mktemp("cases") / "cases.json"
    path.write_text(json.dumps(cases))
    report = fz.run_in_child(["--cases", str(path)], timeout=120)
    _assert_clean(report)
    assert report["cases"] == len(cases)


def test_a_crash_in_the_child_is_reported_with_its_reproducer(tmp_path):
    good = {"fn": "witt_mao_magnification", "pos": [["list", [["f", fz.bits_of(0.5)]]], ["f", fz.bits_of(1.0)],
                                                     ["f", fz.bits_of(0.1)]], "kw": [], "via": "call", "warn": "ignore"}
    fatal = json.loads(json.dumps(good))
    fatal["pos"][0][1].append(["abort"])
    path = tmp_path / "cases.json"
    path.write_text(json.dumps([good, fatal, good]))
    report = fz.run_in_child(["--cases", str(path), "--allow-abort"], timeout=60)
    crash = report["crash"]
    assert crash["returncode"] < 0, crash
    assert crash["where"] == {"case": 1}
    assert crash["case"] == fatal
    assert crash["fn"] == "witt_mao_magnification"
    assert "--case" in crash["reproduce"] and "abort" in crash["reproduce"]


# -- the checks catch faults ---------------------------------------------------------------


class Faulty:
    """kelvora with one fault added, to show that the checks notice it."""

    _kept = []

    def __init__(self, fault):
        self.fault = fault

    def __getattr__(self, name):
        real = getattr(kelvora, name)
        fault = self.fault

        def call(*args, **kwargs):
            if fault == "keeps_arguments":
                Faulty._kept.append(args)
            if fault == "converts_twice" and args and isinstance(args[0], list):
                [float(x) for x in args[0]]
            if fault == "asks_len_twice":
                len(args[0]), len(args[0])
            try:
                result = real(*args, **kwargs)
            except TypeError as exc:
                if fault == "other_message":
                    raise TypeError(str(exc).replace("argument", "parameter")) from None
                raise
            except Exception as exc:
                if fault == "wraps_errors" and not isinstance(exc, RuntimeError):
                    raise RuntimeError("elliprj: Fail to converge") from None
                raise
            if fault == "int_items":
                return [int(x) if math.isfinite(x) else x for x in result]
            if fault == "drops_last":
                return result[:-1]
            if fault == "ulp_for_non_floats" and args and any(type(x) is not float for x in args[0]):
                return [math.nextafter(x, math.inf) for x in result]
            return result

        return call


def _case(l, re_=["f", fz.bits_of(1.0)], rstar=["f", fz.bits_of(0.1)]):
    return {"fn": "witt_mao_magnification", "pos": [l, re_, rstar], "kw": [], "via": "call", "warn": "ignore"}


HALF = ["f", fz.bits_of(0.5)]
FAULTS = {
    "int_items": (_case(["list", [HALF, ["f", fz.bits_of(2.0)]]]), "exact floats"),
    "drops_last": (_case(["list", [HALF, HALF]]), "results for"),
    "keeps_arguments": (_case(["list", [HALF]]), "reference counts changed"),
    "converts_twice": (_case(["list", [["hasfloat", HALF]]]), "user code ran differently"),
    "asks_len_twice": (_case(["seq", [HALF], ["true"], ["gen"]]), "__len__ called more than once"),
    "other_message": (_case(["list", [["str", "x"]]]), "message"),
    "wraps_errors": (_case(["list", [["raise", "float", ["exc", "ValueError", "v", None, None, False]]]]),
                     "caller's own exception"),
    "ulp_for_non_floats": (_case(["list", [["i", 2]]]), "plain floats"),
}


@pytest.mark.parametrize("fault", sorted(FAULTS))
def test_the_checks_notice_a_fault(fault):
    case, words = FAULTS[fault]
    faulty = fz.Context(module=Faulty(fault))
    try:
        problems = fz.run_case(faulty, case).problems
    finally:
        Faulty._kept.clear()
    assert problems, f"the fault {fault!r} went unnoticed"
    assert any(words in p for p in problems), problems
    # And the same case is clean against the real module.
    assert fz.run_case(fz.Context(), case).problems == []


def test_inside_an_except_block_the_handled_exception_stays(ctx):
    # Every kind of outcome, raised while another exception is handled.
    for index in range(300):
        case = fz.seeded_case(5, index)
        case["handling"] = True
        check(ctx, case)
