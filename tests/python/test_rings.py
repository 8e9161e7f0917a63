"""The ring family from Python: ``heyrovsky_magnification`` (one thin ring of
the source) and ``discrete_flux_map_heyrovsky_magnification`` (a table of
rings), their values, their failures and the internal fault of unequal tables.

Reference values: the point-lens magnification A0(x) = (x^2 + 2)/(x sqrt(x^2 + 4)),
to which the ring average reduces for a point ring or a centred lens, and the
50-digit ring averages of tests/data/heyrovsky_reference.csv
(tools/gen_heyrovsky_reference.py).
"""

import array
import csv
import math
import re
import sys
from fractions import Fraction

import pytest

import kelvora
from _support import DATA, ReRaises, assert_resumed, bits

ring = kelvora.heyrovsky_magnification
rings = kelvora.discrete_flux_map_heyrovsky_magnification
EPS = sys.float_info.epsilon


def a0(x):
    """Point-lens magnification, with exact rational arithmetic up to the one
    square root, so that the reference carries a single rounding."""
    x = Fraction(x)
    q = x * x + 4
    return float((x * x + 2) / x) / math.sqrt(float(q))


def reference_rows(groups):
    with open(DATA / "heyrovsky_reference.csv", newline="") as handle:
        lines = [line for line in handle if not line.startswith("#")]
    for row in csv.DictReader(lines):
        if row["group"] in groups:
            yield row


def rounding_tolerance(l, r):
    # Near the ring 1 - n = (d/(l + r))^2 keeps only EPS ((l + r)/d)^2 of
    # relative accuracy, and Pi(n, m) depends on it as 1/sqrt(1 - n).
    return 4 * EPS * (1 + ((l + r) / (l - r)) ** 2)


# -- values ------------------------------------------------------------------


def test_returns_an_exact_float():
    assert type(ring(0.5, 0.25, 1.0, 1.0)) is float
    assert type(ring(1, 0, 1, 1)) is float


@pytest.mark.parametrize("eta", [0.01, 0.3, 1.0, 25.0])
@pytest.mark.parametrize("x", [1e-5, 0.002, 0.4, 1.0, 3.0, 80.0])
def test_point_ring_and_centred_lens_give_the_point_lens(x, eta):
    expected = a0(x / eta)
    # Twice a single rounding of A0 plus the kernel's own (m = n = 0 here).
    assert ring(x, 0.0, eta, 1.0) == pytest.approx(expected, rel=8 * EPS)
    assert ring(0.0, x, eta, 1.0) == pytest.approx(expected, rel=8 * EPS)


@pytest.mark.parametrize(
    "row",
    list(reference_rows({"far", "near", "edge"})),
    ids=lambda row: f"{row['group']}-l{row['l']}-r{row['r']}-re{row['re']}-rs{row['rstar']}",
)
def test_ring_average(row):
    l, r = float(row["l"]), float(row["r"])
    value = ring(l, r, float(row["re"]), float(row["rstar"]))
    assert value == pytest.approx(float(row["magnification"]), rel=rounding_tolerance(l, r), abs=0)


def test_arguments_by_keyword_and_number_kinds():
    expected = ring(0.75, 0.5, 2.0, 4.0)
    assert ring(l=0.75, r=0.5, re=2.0, rstar=4.0) == expected
    assert ring(0.75, rstar=4, re=2, r=Fraction(1, 2)) == expected
    assert ring(Fraction(3, 4), 0.5, True + True, 4) == expected


# -- the near-ring band ------------------------------------------------------


@pytest.mark.parametrize("eta", [0.1, 1.0, 10.0])
@pytest.mark.parametrize("r", [0.5, 1.0])
def test_band_sides(r, eta):
    inside_plus = ring(r + 1e-6, r, eta, 1.0)
    inside_minus = ring(r - 1e-6, r, eta, 1.0)
    outside_plus = ring(r + 1.01e-5, r, eta, 1.0)
    outside_minus = ring(r - 1.01e-5, r, eta, 1.0)
    # Inside the band the sides differ completely: the logarithmic expansion
    # where the lens is beyond the ring, exactly 0.0 where it is within.
    assert inside_minus == 0.0 and math.copysign(1.0, inside_minus) == 1.0
    assert inside_plus > outside_plus > 1.0
    # Just outside, the elliptic expression is nearly symmetric in l - r.
    assert outside_minus == pytest.approx(outside_plus, rel=1e-4)


@pytest.mark.parametrize("row", list(reference_rows({"band"})), ids=lambda row: f"l{row['l']}-re{row['re']}")
def test_band_expansion_follows_the_ring_average(row):
    # The expansion about l = r is truncated at an error of order (l - r)/l.
    l, r = float(row["l"]), float(row["r"])
    value = ring(l, r, float(row["re"]), float(row["rstar"]))
    assert value == pytest.approx(float(row["magnification"]), rel=1.2 * (l - r) / l)


def test_band_is_strict():
    # |l - r| equal to the double 1e-05 is outside the band.
    assert ring(1e-05, 0.0, 1.0, 1.0) == pytest.approx(a0(1e-05), rel=8 * EPS)
    assert ring(0.0, 1e-05, 1.0, 1.0) == pytest.approx(a0(1e-05), rel=8 * EPS)
    r = 2.0**-19
    l = r + 1e-05
    assert l - r == 1e-05
    [edge] = [row for row in reference_rows({"edge"}) if float(row["l"]) == l and row["re"] == "1.0"]
    assert ring(l, r, 1.0, 1.0) == pytest.approx(float(edge["magnification"]), rel=1e-14)
    assert ring(r, l, 1.0, 1.0) == ring(l, r, 1.0, 1.0)
    # One double closer, the band's forms: the expansion, and 0.0.
    assert ring(math.nextafter(l, 0.0), r, 1.0, 1.0) != ring(l, r, 1.0, 1.0)
    assert ring(r, math.nextafter(l, 0.0), 1.0, 1.0) == 0.0


@pytest.mark.parametrize("l", [1e-3, 0.5, 1.0, 30.0])
def test_lens_on_the_ring_is_infinite(l):
    assert ring(l, l, 1.0, 1.0) == math.inf


def test_lens_at_the_centre_of_a_point_ring_is_nan():
    assert math.isnan(ring(0.0, 0.0, 1.0, 1.0))


# -- numeric failures ----------------------------------------------------------

# Far from the source centre n = 4lr/(l + r)^2 and m are within (d/(l + r))^2
# < 2^-53 of 1 and round to 1 or past it.
KERNEL_FAILURES = [
    pytest.param((1e4 + 1.1e-5, 1e4, 1.0, 1.0), "elliprj: p must be non-zero", id="n-rounds-to-1"),
    pytest.param((1e6 + 1.1e-5, 1e6, 1.0, 1.0), "ellippi: n must be less than 1.", id="n-above-1"),
    pytest.param((1e4 + 1.1e-5, 1e4, 1e4, 1.0), "ellippi: m must be less than 1.", id="m-rounds-to-1"),
    pytest.param(
        (647739.5456273976, 647739.5456153126, 47024.389321564355, 1.0),
        "ellipk: m must be less than 1.",
        id="m-above-1-ellipk-first",
    ),
    pytest.param((math.nan, 0.5, 1.0, 1.0), "elliprj: Fail to converge", id="nan"),
    pytest.param((-1.0, 0.5, 1.0, 1.0), "elliprj: Fail to converge", id="negative"),
]


@pytest.mark.parametrize("args, message", KERNEL_FAILURES)
def test_kernel_failure_is_runtime_error(args, message):
    with pytest.raises(RuntimeError) as info:
        ring(*args)
    assert type(info.value) is RuntimeError
    assert str(info.value) == message
    assert info.value.args == (message,)
    assert info.value.__cause__ is None and info.value.__context__ is None
    assert sys.exc_info() == (None, None, None)


@pytest.mark.parametrize("args, message", KERNEL_FAILURES)
def test_kernel_failure_ends_the_flux_map(args, message):
    l, r, re_, rstar = args
    # At the last ring of the last separation, and at a ring of weight 0.
    with pytest.raises(RuntimeError, match=f"^{re.escape(message)}$"):
        rings([0.5, 2.0, l], re_, rstar, [0.2, 0.7, r], [1.0, 1.0, 1.0])
    with pytest.raises(RuntimeError, match=f"^{re.escape(message)}$"):
        rings([l], re_, rstar, [r, 0.5], [0.0, 1.0])


@pytest.mark.parametrize("parameter", ["l", "r", "re", "rstar"])
def test_argument_errors_name_the_parameter(parameter):
    kwargs = {"l": 0.5, "r": 0.3, "re": 1.0, "rstar": 1.0, parameter: "0.5"}
    with pytest.raises(TypeError, match=f"^argument '{parameter}': must be real number, not str$"):
        ring(**kwargs)


# -- the discrete flux map ----------------------------------------------------


def test_flux_map_edge_tables():
    assert rings([], 1.0, 1.0, [0.5], [1.0]) == []
    # With no separation no ring is evaluated: a failing ring is not reached.
    assert rings([], 1.0, 1.0, [1e4], [1.0]) == []
    assert rings([0.5, 2.0], 1.0, 1.0, [], []) == [0.0, 0.0]


def test_flux_map_one_ring_and_doubled_weights():
    l = [0.0, 0.3, 0.5 + 1e-6, 0.9, 2.0, 15.0]
    assert bits(rings(l, 1.0, 0.5, [0.5], [2.0])) == bits([2.0 * ring(x, 0.5, 1.0, 0.5) for x in l])
    bl, bf = [0.1, 0.4, 0.7, 1.0], [0.3, -1.25, 0.0, 7.5]
    single = rings(l, 1.0, 0.5, bl, bf)
    doubled = rings(l, 1.0, 0.5, bl, [2.0 * w for w in bf])
    assert bits(doubled) == bits([2.0 * v for v in single])


def test_flux_map_accepts_any_sequences():
    expected = rings([0.25, 1.5], 1.0, 2.0, [0.2, 0.6], [1.0, 0.5])
    assert rings(l=(0.25, 1.5), re=1, rstar=2, bl=(0.2, 0.6), bf=[1, 0.5]) == expected
    assert rings(array.array("d", [0.25, 1.5]), 1.0, 2.0, range(0), range(0)) == [0.0, 0.0]


def test_flux_map_uniform_disk():
    # Midpoint rings in r, weights 2 r dr: the area-weighted mean over the
    # disk, which for a lens off the disk converges like 1/N^2 to the
    # Witt & Mao (1994) uniform-disk value.
    n = 2000
    bl = [(j + 0.5) / n for j in range(n)]
    bf = [2.0 * r / n for r in bl]
    l = [0.0, 1.5, 4.0]
    disk = kelvora.witt_mao_magnification(l, 1.0, 0.5)
    assert rings(l, 1.0, 0.5, bl, bf) == pytest.approx(disk, rel=4e-8)


def test_flux_map_argument_errors_come_before_the_table_check():
    # Arguments are converted in order before the model runs.
    with pytest.raises(TypeError, match="^argument 'bf': "):
        rings([0.5], 1.0, 1.0, [0.1, 0.2], ["x"])
    with pytest.raises(TypeError, match="^argument 'bl': "):
        rings([0.5], 1.0, 1.0, 3.0, [1.0])


# -- the internal fault of unequal tables ------------------------------------


LENGTH_MESSAGE = "assertion `left == right` failed\n  left: 3\n right: 2"
REPORT = re.compile(
    r"^thread 'main' panicked at src/lib/[\w]+\.cpp:\d+:\d+:\n"
    + re.escape(LENGTH_MESSAGE)
    + r"$",
    re.MULTILINE,
)


def unequal_tables(l=(0.5, 2.0)):
    return rings(list(l), 1.0, 1.0, [0.1, 0.2, 0.3], [1.0, 1.0])


def test_unequal_tables_raise_the_fault(panic_type, capfd):
    with pytest.raises(BaseException) as info:
        unequal_tables()
    exc = info.value
    assert type(exc) is panic_type
    assert str(exc) == LENGTH_MESSAGE
    assert exc.args == (LENGTH_MESSAGE,)
    assert exc.__cause__ is None and exc.__context__ is None
    err = capfd.readouterr().err
    assert REPORT.search(err), err
    assert sys.exc_info() == (None, None, None)


@pytest.mark.parametrize(
    "bl, bf, left, right",
    [([], [1.0], 0, 1), ([0.5], [], 1, 0), ([0.5] * 12, [1.0] * 100, 12, 100)],
    ids=["0-1", "1-0", "12-100"],
)
def test_fault_message_counts_the_entries(panic_type, bl, bf, left, right):
    with pytest.raises(panic_type) as info:
        rings([0.5], 1.0, 1.0, bl, bf)
    assert str(info.value) == f"assertion `left == right` failed\n  left: {left}\n right: {right}"


def test_table_check_comes_first(panic_type):
    # Also with no separation, and also when a ring would fail the kernel.
    with pytest.raises(panic_type, match=re.escape(LENGTH_MESSAGE)):
        unequal_tables(l=())
    with pytest.raises(panic_type, match=re.escape(LENGTH_MESSAGE)):
        rings([1e4 + 1.1e-5], 1.0, 1.0, [1e4, 0.2, 0.3], [1.0, 1.0])


def test_fault_is_not_an_exception_and_leaves_the_module_working(panic_type):
    caught = None
    try:
        try:
            unequal_tables()
        except Exception:  # noqa: BLE001 - this is the point of the test
            pytest.fail("a plain 'except Exception' caught the internal fault")
    except BaseException as exc:  # noqa: BLE001
        caught = exc
    assert type(caught) is panic_type
    assert type(caught).__module__ == "pyo3_runtime"
    assert type(caught).__name__ == "PanicException"
    assert type(caught).__bases__ == (BaseException,)
    # The same type object for every fault, whatever raised it.
    seen = set()
    for _ in range(3):
        try:
            unequal_tables()
        except BaseException as exc:  # noqa: BLE001
            seen.add(type(exc))
    assert seen == {panic_type}
    assert bits(rings([0.5], 1.0, 1.0, [0.3], [1.0])) == bits([ring(0.5, 0.3, 1.0, 1.0)])
    assert type(ring(0.5, 0.3, 1.0, 1.0)) is float


@pytest.mark.parametrize("where", ["re", "rstar", "bl", "bf"])
def test_fault_raised_again_from_python_is_resumed(panic_type, capfd, where):
    try:
        unequal_tables()
    except BaseException as exc:  # noqa: BLE001
        original = exc
    capfd.readouterr()
    kwargs = {"l": [0.5], "re": 1.0, "rstar": 1.0, "bl": [0.3], "bf": [1.0]}
    bad = ReRaises(original)
    kwargs[where] = [bad] if where in ("bl", "bf") else bad
    with pytest.raises(panic_type) as info:
        rings(**kwargs)
    resumed = info.value
    assert resumed is not original
    assert str(resumed) == LENGTH_MESSAGE
    assert resumed.args == (LENGTH_MESSAGE,)
    err = capfd.readouterr().err
    # The traceback prints the message's first line after the type name.
    assert_resumed(err, LENGTH_MESSAGE.splitlines()[0])
    assert "  left: 3" in err and " right: 2" in err
    # A resumed fault writes no report of its own.
    assert "panicked at" not in err


def test_ordinary_exception_from_float_passes_unchanged():
    error = ValueError("from the caller")
    with pytest.raises(ValueError) as info:
        ring(0.5, 0.3, ReRaises(error), 1.0)
    assert info.value is error
