"""kelvora_fspl.magnification from Python: array shapes and broadcasting, the
result array, the argument errors, and values against closed forms and an
independent mpmath quadrature.

Lengths are in Einstein radii.  A point lens magnifies a point source at
distance x by A0(x) = (x^2 + 2)/(x sqrt(x^2 + 4)); a source disk of radius rho
whose centre is at distance u from the lens, with surface brightness I(mu),
mu = sqrt(1 - r^2) (r in source radii), is magnified by the flux-weighted mean
of A0 over the disk.
"""

import array
import math
import re
import sys
from decimal import Decimal
from fractions import Fraction

import pytest

np = pytest.importorskip("numpy")
mp = pytest.importorskip("mpmath")

import kelvora_fspl  # noqa: E402
from _support import FSPL_LAWS, Floaty, NoFloat, OwnError, ReRaises, point_lens_mp  # noqa: E402

mag = kelvora_fspl.magnification

# One representative coefficient set per law, in the shape magnification takes.
LAW_CASES = [
    ("uniform", ()),
    ("linear", (0.6,)),
    ("quadratic", (0.4, 0.25)),
    ("square-root", (0.3, 0.5)),
    ("power-2", (0.7, 0.6)),
    ("tabulated", ((0.05, 0.5, 0.95), (0.3, 0.8, 1.0))),
]
LAW_IDS = [law for law, _ in LAW_CASES]
LIMB_DARKENED = LAW_CASES[1:]
LD_IDS = LAW_IDS[1:]


def call_text(args, kwargs):
    return ", ".join([repr(a) for a in args] + [f"{k}={v!r}" for k, v in kwargs.items()])


# -- the module ------------------------------------------------------------------------------


def test_module_attributes():
    assert kelvora_fspl.LAWS == FSPL_LAWS
    assert type(kelvora_fspl.LAWS) is tuple
    assert isinstance(kelvora_fspl.__version__, str)
    assert re.fullmatch(r"\d+\.\d+\.\d+", kelvora_fspl.__version__)
    assert kelvora_fspl.magnification.__name__ == "magnification"


def test_kelvora_itself_is_unchanged():
    import kelvora

    # The lens at the centre of a uniform source of radius rstar/re = 0.1:
    # A = sqrt(1 + 4/rho^2) (Witt & Mao 1994).
    [value] = kelvora.witt_mao_magnification([0.0], 1.0, 0.1)
    assert value == pytest.approx(math.sqrt(401.0), rel=4e-15)
    assert not hasattr(kelvora, "magnification") and not hasattr(kelvora, "LAWS")


# -- shapes, dtypes and broadcasting ----------------------------------------------------------

GRID = np.linspace(0.0, 0.6, 12)
GRID_2D = np.linspace(0.0, 0.5, 12).reshape(3, 4)
READ_ONLY = np.linspace(0.1, 0.4, 4)
READ_ONLY.flags.writeable = False

SHAPE_CASES = [
    pytest.param(0.5, 0.1, (), id="scalars"),
    pytest.param(2, 1, (), id="int-scalars"),
    pytest.param(np.float64(0.5), np.float32(0.25), (), id="numpy-scalars"),
    pytest.param(np.array(0.5), np.array(0.1), (), id="0-d-arrays"),
    pytest.param(Fraction(1, 3), Decimal("0.125"), (), id="fraction-decimal"),
    pytest.param([Fraction(1, 3), Decimal("2.5"), 1, True], 0.1, (4,), id="mixed-list"),
    pytest.param([0.0, 0.05, 0.1, 0.5], 0.1, (4,), id="list"),
    pytest.param((0.0, 0.5), [0.1], (2,), id="tuple-and-length-1"),
    pytest.param([[0.0, 0.1, 0.2], [0.3, 0.4, 0.5]], 0.1, (2, 3), id="nested-list"),
    pytest.param(array.array("d", [0.2, 0.7]), 0.3, (2,), id="array.array"),
    pytest.param(np.arange(5), 2, (5,), id="int64-array"),
    pytest.param(np.arange(4, dtype=np.uint8), np.array([0.5], dtype=np.float32), (4,), id="uint8-float32"),
    pytest.param(np.array([True, False, True]), 0.5, (3,), id="bool-array"),
    pytest.param(np.array([0.1, 0.2, 0.3], dtype=np.float32), 0.1, (3,), id="float32-array"),
    pytest.param(np.array([0.1, 0.9], dtype=">f8"), 0.5, (2,), id="big-endian"),
    pytest.param(GRID[::3], 0.2, (4,), id="strided-view"),
    pytest.param(GRID[::-1], 0.2, (12,), id="negative-stride"),
    pytest.param(GRID[10:1:-4], GRID[1:4][::-1] + 0.1, (3,), id="both-negative-strides"),
    pytest.param(GRID_2D.T, 0.2, (4, 3), id="fortran-order"),
    pytest.param(GRID_2D[:, 1], GRID_2D[1:, 2:3] + 0.1, (2, 3), id="column-view"),
    pytest.param(np.linspace(0, 1, 3).reshape(3, 1), np.array([0.1, 0.2, 0.5, 2.0]), (3, 4), id="3x1-with-4"),
    pytest.param(0.5, np.full((2, 1, 3), 0.3), (2, 1, 3), id="scalar-with-3-d"),
    pytest.param(np.broadcast_to(0.25, (2, 3)), 0.1, (2, 3), id="zero-stride"),
    pytest.param(READ_ONLY, 0.2, (4,), id="read-only"),
    pytest.param([], 0.1, (0,), id="empty-list"),
    pytest.param(np.zeros((0, 3)), 0.1, (0, 3), id="zero-rows"),
    pytest.param(np.zeros((0, 1)), [0.1, 0.2], (0, 2), id="zero-rows-broadcast"),
    pytest.param([0.5], np.zeros((4, 0)) + 1, (4, 0), id="zero-columns"),
]


def elementwise(u, rho, law="uniform", coefficients=()):
    """The magnification of each entry of the broadcast arguments, each a
    separate call with plain floats."""
    ub, rb = np.broadcast_arrays(np.asarray(u, dtype=np.float64), np.asarray(rho, dtype=np.float64))
    out = np.empty(ub.shape)
    for index in np.ndindex(ub.shape):
        value = mag(float(ub[index]), float(rb[index]), law, coefficients)
        assert type(value) is np.float64  # as numpy's ufuncs return for scalars
        out[index] = value
    return out


@pytest.mark.parametrize("u, rho, shape", SHAPE_CASES)
def test_shapes_and_dtypes(u, rho, shape):
    got = mag(u, rho)
    assert type(got) is (np.float64 if shape == () else np.ndarray)
    assert got.dtype == np.float64
    assert got.shape == shape
    assert shape == () or (got.flags.c_contiguous and got.flags.writeable)
    assert np.array_equal(got, elementwise(u, rho))
    assert np.all(got >= 1.0)


@pytest.mark.parametrize("law, coefficients", LAW_CASES, ids=LAW_IDS)
def test_every_law_broadcasts(law, coefficients):
    u = np.linspace(0.0, 0.4, 6).reshape(3, 2, 1)[:, ::-1]
    rho = np.array([0.05, 0.1, 0.2, 1.0])
    got = mag(u, rho, law, coefficients)
    assert got.shape == (3, 2, 4) and got.dtype == np.float64
    assert np.array_equal(got, elementwise(u, rho, law, coefficients))
    # The same call by keyword, and the coefficients as a list or an array.
    assert np.array_equal(mag(rho=rho, u=u, coefficients=list(coefficients), law=law), got)
    if law != "tabulated":
        assert np.array_equal(mag(u, rho, law, np.array(coefficients, dtype=np.float64)), got)


def test_scalar_calls_follow_their_coefficients_from_call_to_call():
    # Calls of two floats in a row, the law or a coefficient changing (the
    # same values under another law, 0.0 against -0.0, a refused profile in
    # between), each bit for bit its entry of a call with coefficients per
    # entry, which makes every entry's profile afresh.
    sequence = [("linear", (0.3,)), ("linear", (0.6,)), ("linear", (0.3,)), ("quadratic", (0.4, 0.25)),
                ("square-root", (0.4, 0.25)), ("quadratic", (0.4, 0.25)), ("linear", (0.0,)), ("linear", (-0.0,)),
                ("power-2", (0.7, 0.6)), ("power-2", (0.7, 0.8)), ("uniform", ())]
    for repeat in range(2):
        for k, (law, coefficients) in enumerate(sequence):
            u = 0.03 + 0.01 * k
            got = mag(u, 0.05, law, coefficients)
            per_entry = tuple(np.array([c]) for c in coefficients)
            want = mag(np.array([u]), 0.05, law, per_entry)[0] if coefficients else mag(np.array([u]), 0.05)[0]
            assert got.tobytes() == want.tobytes(), (repeat, law, coefficients)
            with pytest.raises(ValueError, match="coefficients of law 'linear'"):
                mag(u, 0.05, "linear", (2e6,))
    # Tables likewise: each against its array call made after another table
    # (so that its profile is made afresh), in a sequence that repeats a
    # table, changes its intensities only, then its nodes only.
    one = ((0.0, 0.5, 1.0), (0.3, 0.8, 1.0))
    tables = [one, one, ((0.0, 0.5, 1.0), (0.3, 0.9, 1.0)), ((0.0, 0.4, 1.0), (0.3, 0.9, 1.0)), one]
    other = ((0.0, 1.0), (0.5, 1.0))
    want = []
    for table in tables:
        mag(0.0, 0.05, "tabulated", other)
        want.append(mag(np.array([0.03]), 0.05, "tabulated", table)[0])
    for k, table in enumerate(tables):
        assert mag(0.03, 0.05, "tabulated", table).tobytes() == want[k].tobytes(), k
    assert len({w.tobytes() for w in want}) == 3  # the three tables differ


def test_the_default_law_is_the_uniform_disk():
    u = [0.0, 0.05, 0.1, 0.3]
    assert np.array_equal(mag(u, 0.1), mag(u, 0.1, "uniform", ()))
    assert np.array_equal(mag(u, 0.1), mag(u, 0.1, law="uniform"))
    assert np.array_equal(mag(u, 0.1), mag(u, 0.1, "uniform", []))


def test_the_result_is_a_new_array():
    u = np.linspace(0.0, 1.0, 8)
    rho = np.full(8, 0.1)
    u_before, rho_before = u.copy(), rho.copy()
    got = mag(u, rho)
    assert not np.shares_memory(got, u) and not np.shares_memory(got, rho)
    assert np.array_equal(u, u_before) and np.array_equal(rho, rho_before)
    got[:] = -1.0
    assert np.array_equal(u, u_before)
    # A 0-d float64 argument is not handed back either.
    zero_d = np.array(0.25)
    scalar = mag(zero_d, 0.1)
    assert scalar is not zero_d and not np.shares_memory(scalar, zero_d)
    assert zero_d[()] == 0.25
    # Two calls give two arrays.
    assert mag(u, rho) is not mag(u, rho)


def test_nan_gives_nan_at_its_entry_only():
    for law, coefficients in LAW_CASES:
        u = np.array([[0.05, math.nan, 0.2], [-math.nan, 1.0, 0.0]])
        got = mag(u, 0.1, law, coefficients)
        assert np.array_equal(np.isnan(got), np.isnan(u)), law
        finite = ~np.isnan(u)
        assert np.array_equal(got[finite], elementwise(u[finite], 0.1, law, coefficients)), law
        # Broadcast along the radii: the column of the NaN only.
        column = mag(np.array([[0.1], [math.nan]]), [0.05, 0.1, 1.0], law, coefficients)
        assert np.isnan(column[1]).all() and not np.isnan(column[0]).any(), law


@pytest.mark.parametrize("law, coefficients", LAW_CASES, ids=LAW_IDS)
def test_infinitely_far_lens_does_not_magnify(law, coefficients):
    got = mag([math.inf, np.inf], [0.01, 50.0], law, coefficients)
    assert np.array_equal(got, [1.0, 1.0])


# -- errors ------------------------------------------------------------------------------------

LAWS_TEXT = "'uniform', 'linear', 'quadratic', 'square-root', 'power-2' and 'tabulated'"
NOT_REAL = "{} must be a real number or an array of real numbers, not {}"


def bad(args, exc, message, kwargs=None, id=None):
    return pytest.param(args, kwargs or {}, exc, message, id=id)


ERRORS = [
    # u and rho out of their domains; the first offending entry is named.
    bad((-1.0, 0.1), ValueError, "u must be non-negative, got -1.0", id="u-negative"),
    bad((-1e-300, 0.1), ValueError, "u must be non-negative, got -1e-300", id="u-tiny-negative"),
    bad((-math.inf, 0.1), ValueError, "u must be non-negative, got -inf", id="u-minus-inf"),
    bad(([0.5, -2.5, -3.0], 0.1), ValueError, "u must be non-negative, got -2.5", id="u-first-negative"),
    bad(([[0.1, 0.2], [0.3, -1]], [0.1, 0.2]), ValueError, "u must be non-negative, got -1.0", id="u-2-d"),
    bad((0.5, 0.0), ValueError, "rho must be positive and finite, got 0.0", id="rho-zero"),
    bad((0.5, -0.0), ValueError, "rho must be positive and finite, got -0.0", id="rho-minus-zero"),
    bad((0.5, -2), ValueError, "rho must be positive and finite, got -2.0", id="rho-negative"),
    bad((0.5, math.inf), ValueError, "rho must be positive and finite, got inf", id="rho-inf"),
    bad((0.5, math.nan), ValueError, "rho must be positive and finite, got nan", id="rho-nan"),
    bad(([0.1, 0.2], [0.1, math.nan]), ValueError, "rho must be positive and finite, got nan", id="rho-late-nan"),
    # Laws.
    bad((0.5, 0.1, "foo"), ValueError, f"unknown law 'foo'; the laws are {LAWS_TEXT}", id="law-unknown"),
    bad((0.5, 0.1, "Linear", (0.5,)), ValueError, f"unknown law 'Linear'; the laws are {LAWS_TEXT}", id="law-case"),
    bad((0.5, 0.1, ""), ValueError, f"unknown law ''; the laws are {LAWS_TEXT}", id="law-empty"),
    bad((0.5, 0.1, "power2", (0.5, 1.0)), ValueError, f"unknown law 'power2'; the laws are {LAWS_TEXT}",
        id="law-misspelt"),
    # Coefficient counts.
    bad((0.5, 0.1, "uniform", (0.5,)), ValueError, "law 'uniform' takes no coefficients, got 1", id="uniform-1"),
    bad((0.5, 0.1, "linear"), ValueError, "law 'linear' takes 1 coefficient (u1), got 0", id="linear-0"),
    bad((0.5, 0.1, "linear", (0.1, 0.2)), ValueError, "law 'linear' takes 1 coefficient (u1), got 2", id="linear-2"),
    bad((0.5, 0.1, "quadratic", [0.5]), ValueError, "law 'quadratic' takes 2 coefficients (u1, u2), got 1",
        id="quadratic-1"),
    bad((0.5, 0.1, "square-root", (0.1, 0.2, 0.3)), ValueError,
        "law 'square-root' takes 2 coefficients (c, d), got 3", id="square-root-3"),
    bad((0.5, 0.1, "power-2", (0.5,)), ValueError, "law 'power-2' takes 2 coefficients (c, alpha), got 1",
        id="power-2-1"),
    bad((0.5, 0.1, "tabulated", ([0.0, 1.0],)), ValueError,
        "law 'tabulated' takes 2 coefficients (mu_nodes, intensities), got 1", id="tabulated-1"),
    bad((0.5, 0.1, "tabulated", ([0.0], [1.0], [1.0])), ValueError,
        "law 'tabulated' takes 2 coefficients (mu_nodes, intensities), got 3", id="tabulated-3"),
    bad((0.5, 0.1, "linear", np.array([[0.5]])), ValueError, "coefficients must be one-dimensional",
        id="coefficients-2-d"),
    # Coefficient values.
    bad((0.5, 0.1, "linear", (math.nan,)), ValueError, "coefficients of law 'linear' must be finite, got nan",
        id="linear-nan"),
    bad((0.5, 0.1, "quadratic", (0.1, math.inf)), ValueError,
        "coefficients of law 'quadratic' must be finite, got inf", id="quadratic-inf"),
    bad((0.5, 0.1, "power-2", (-math.inf, 1.0)), ValueError,
        "coefficients of law 'power-2' must be finite, got -inf", id="power-2-minus-inf"),
    # Negative profiles, with the lowest brightness from the closed forms:
    # linear 1 - u1 at the limb; quadratic 1 - u1 x - u2 x^2 at x = 1 - mu =
    # -u1/(2 u2); square-root (1 - c - d) + d t + c t^2 at t = sqrt(mu) =
    # -d/(2c); power-2 1 - c at the limb.
    bad((0.5, 0.1, "linear", (3.0,)), ValueError,
        "the 'linear' profile with these coefficients is negative on the disk (I = -2.0 at its lowest)",
        id="linear-negative"),
    bad((0.5, 0.1, "quadratic", (1e5, -1e5)), ValueError,
        "the 'quadratic' profile with these coefficients is negative on the disk (I = -24999.0 at its lowest)",
        id="quadratic-negative"),
    bad((0.5, 0.1, "square-root", (2.0, -1.0)), ValueError,
        "the 'square-root' profile with these coefficients is negative on the disk (I = -0.125 at its lowest)",
        id="square-root-negative"),
    bad((0.5, 0.1, "power-2", (1.5, 0.5)), ValueError,
        "the 'power-2' profile with these coefficients is negative on the disk (I = -0.5 at its lowest)",
        id="power-2-negative"),
    bad((0.5, 0.1, "power-2", (0.5, 0.0)), ValueError, "alpha of law 'power-2' must lie within [0.1, 10], got 0.0",
        id="alpha-zero"),
    bad((0.5, 0.1, "power-2", (0.5, -1.0)), ValueError, "alpha of law 'power-2' must lie within [0.1, 10], got -1.0",
        id="alpha-negative"),
    # Tabulated profiles.
    bad((0.5, 0.1, "tabulated", ([0.0, 1.0], [1.0])), ValueError,
        "mu_nodes and intensities of law 'tabulated' must have equal lengths, got 2 and 1", id="unequal"),
    bad((0.5, 0.1, "tabulated", ([0.5, 0.2], [1.0, 1.0])), ValueError,
        "mu_nodes of law 'tabulated' must rise strictly, got 0.2 after 0.5", id="falling"),
    bad((0.5, 0.1, "tabulated", ([0.1, 0.5, 0.5], [1.0, 1.0, 1.0])), ValueError,
        "mu_nodes of law 'tabulated' must rise strictly, got 0.5 after 0.5", id="repeated-node"),
    bad((0.5, 0.1, "tabulated", ([0.0, 1.5], [1.0, 1.0])), ValueError,
        "mu_nodes of law 'tabulated' must lie within [0, 1], got 1.5", id="node-above-1"),
    bad((0.5, 0.1, "tabulated", ([-0.25, 1.0], [1.0, 1.0])), ValueError,
        "mu_nodes of law 'tabulated' must lie within [0, 1], got -0.25", id="node-below-0"),
    bad((0.5, 0.1, "tabulated", ([0.0, math.nan], [1.0, 1.0])), ValueError,
        "mu_nodes of law 'tabulated' must lie within [0, 1], got nan", id="node-nan"),
    bad((0.5, 0.1, "tabulated", ([0.0, 1.0], [-1.0, 1.0])), ValueError,
        "intensities of law 'tabulated' must not be negative, got -1.0 at mu = 0.0", id="negative-intensity"),
    bad((0.5, 0.1, "tabulated", ([0.0, 1.0], [1.0, math.inf])), ValueError,
        "intensities of law 'tabulated' must be finite, got inf", id="infinite-intensity"),
    bad((0.5, 0.1, "tabulated", ([0.0, 0.5, 1.0], [0.0, 0.0, 0.0])), ValueError,
        "intensities of law 'tabulated' are zero everywhere on the disk", id="dark"),
    bad((0.5, 0.1, "tabulated", ([], [])), ValueError, "mu_nodes of law 'tabulated' must not be empty", id="empty"),
    bad((0.5, 0.1, "tabulated", ([[0.0, 1.0]], [1.0, 1.0])), ValueError, "mu_nodes must be one-dimensional",
        id="nodes-2-d"),
    bad((0.5, 0.1, "tabulated", ([0.0, 1.0], [[1.0, 1.0]])), ValueError, "intensities must be one-dimensional",
        id="intensities-2-d"),
    bad((0.5, 0.1, "tabulated", (0.5, [1.0])), ValueError, "mu_nodes must be one-dimensional", id="nodes-scalar"),
    # Not numbers, not a str law, not a sequence.
    bad(("0.5", 0.1), TypeError, NOT_REAL.format("u", "str"), id="u-str"),
    bad((1j, 0.1), TypeError, NOT_REAL.format("u", "complex"), id="u-complex"),
    bad((b"1", 0.1), TypeError, NOT_REAL.format("u", "bytes"), id="u-bytes"),
    bad((0.5, "x"), TypeError, NOT_REAL.format("rho", "str"), id="rho-str"),
    bad((np.complex128(1.0), 0.1), TypeError, NOT_REAL.format("u", "complex128"), id="u-numpy-complex"),
    bad((0.5, 0.1, 1), TypeError, "law must be a str, not int", id="law-int"),
    bad((0.5, 0.1, b"linear", (0.5,)), TypeError, "law must be a str, not bytes", id="law-bytes"),
    bad((0.5, 0.1, "linear", 0.5), TypeError, "coefficients must be a sequence, not float", id="coefficients-float"),
    bad((0.5, 0.1, "linear", "a"), TypeError, "coefficients must be a sequence, not str", id="coefficients-str"),
    bad((0.5, 0.1, "linear", b"a"), TypeError, "coefficients must be a sequence, not bytes", id="coefficients-bytes"),
    bad((0.5, 0.1, "linear", {0: 0.5}), TypeError, "coefficients must be a sequence, not dict", id="coefficients-dict"),
    bad((0.5, 0.1, "linear", {0.5}), TypeError, "coefficients must be a sequence, not set", id="coefficients-set"),
    bad((0.5, 0.1, "tabulated", ("ab", [1.0, 1.0])), TypeError, NOT_REAL.format("mu_nodes", "str"),
        id="nodes-str"),
]


@pytest.mark.parametrize("args, kwargs, exc, message", ERRORS)
def test_error_messages(args, kwargs, exc, message):
    with pytest.raises(exc) as info:
        mag(*args, **kwargs)
    assert type(info.value) is exc
    assert str(info.value) == message, call_text(args, kwargs)


def test_shapes_that_do_not_broadcast():
    # numpy's rules, the arguments named.
    for u, rho, text in [([0.1, 0.2], [0.1, 0.2, 0.3], "shapes (2,) and (3,)"),
                         (np.zeros((2, 3)), np.ones((3, 2)), "shapes (2, 3) and (3, 2)"),
                         (np.zeros(0), [0.1, 0.2], "shapes (0,) and (2,)"),
                         (np.zeros((4, 1, 3)), np.ones((2, 2)), "shapes (4, 1, 3) and (2, 2)")]:
        with pytest.raises(ValueError, match=r"^u and rho do not broadcast together: " + re.escape(text) + "$"):
            mag(u, rho)
        with pytest.raises(ValueError):
            np.broadcast_shapes(np.shape(u), np.shape(rho))


# Arguments that are not real numbers, anywhere they can stand.
NOT_NUMBERS = [
    pytest.param((None, 0.1), {}, id="u-None"),
    pytest.param((0.5, None), {}, id="rho-None"),
    pytest.param((NoFloat(), 0.1), {}, id="u-object"),
    pytest.param(([[0.1, 0.2], [0.3]], 0.1), {}, id="u-ragged"),
    pytest.param((0.5, 0.1, None), {}, id="law-None"),
    pytest.param((0.5, 0.1, "linear", None), {}, id="coefficients-None"),
    pytest.param((0.5, 0.1, "linear", (x for x in [0.5])), {}, id="coefficients-generator"),
    pytest.param((0.5, 0.1, "linear", (NoFloat(),)), {}, id="coefficient-object"),
    pytest.param((ReRaises(TypeError("no")), 0.1), {}, id="u-refuses"),
    pytest.param((Floaty("0.5"), 0.1), {}, id="u-float-returns-str"),
    # Arrays of what is not a real number.
    pytest.param((["a"], 0.1), {}, id="u-str-list"),
    pytest.param(([0.5, 1j], 0.1), {}, id="u-complex-list"),
    pytest.param(([b"1"], 0.1), {}, id="u-bytes-list"),
    pytest.param((np.array([1.0 + 0j]), 0.1), {}, id="u-complex-array"),
    pytest.param((np.array(["2020-01-01"], dtype="datetime64[D]"), 0.1), {}, id="u-datetime-array"),
    pytest.param((np.zeros(2, dtype=[("a", "f8")]), 0.1), {}, id="u-structured-array"),
    pytest.param((0.5, ["0.1"]), {}, id="rho-str-list"),
    pytest.param((0.5, 0.1, "linear", ("a",)), {}, id="coefficient-str"),
    pytest.param((0.5, 0.1, "linear", (1j,)), {}, id="coefficient-complex"),
    pytest.param((0.5, 0.1, "tabulated", (["a", "b"], [1.0, 1.0])), {}, id="nodes-str-list"),
    pytest.param(([None, 0.5], 0.1), {}, id="u-None-in-list"),
    pytest.param((0.5, [0.1, None]), {}, id="rho-None-in-list"),
]


@pytest.mark.parametrize("args, kwargs", NOT_NUMBERS)
def test_what_is_not_a_number_is_a_type_error(args, kwargs):
    with pytest.raises(TypeError):
        mag(*args, **kwargs)


@pytest.mark.parametrize(
    "make_args",
    [
        lambda bad: ([0.5, bad], 0.1),
        lambda bad: (0.5, [bad]),
        lambda bad: (0.5, 0.1, "linear", (bad,)),
        lambda bad: (0.5, 0.1, "tabulated", ([0.0, bad], [1.0, 1.0])),
    ],
    ids=["u", "rho", "coefficient", "mu-node"],
)
def test_an_exception_from_float_reaches_the_caller_unchanged(make_args):
    error = OwnError("from __float__")
    with pytest.raises(OwnError) as caught:
        mag(*make_args(ReRaises(error)))
    assert caught.value is error
    assert mag(0.5, 0.1) > 1.0  # and nothing is left set


def test_a_law_name_that_is_not_unicode_text():
    # A lone surrogate cannot be encoded: the name is unknown all the same.
    with pytest.raises(ValueError):
        mag(0.5, 0.1, "lin\udc80ear", (0.5,))


def test_integers_beyond_the_double_range_overflow():
    # As float() itself does.
    for args in [(10**400, 0.1), ([0.5, 10**400], 0.1), (0.5, 0.1, "linear", (-(10**400),))]:
        with pytest.raises(OverflowError):
            mag(*args)


def test_the_caller_s_own_exception_passes_through():
    own = OwnError("from __float__")
    for args in [(ReRaises(own), 0.1), ([0.5, ReRaises(own)], 0.1), (0.5, [ReRaises(own)]),
                 (0.5, 0.1, "linear", (ReRaises(own),)), (0.5, 0.1, "tabulated", ([ReRaises(own)], [1.0]))]:
        with pytest.raises(OwnError) as info:
            mag(*args)
        assert info.value is own


def test_binding_errors():
    with pytest.raises(TypeError):
        mag(0.5)
    with pytest.raises(TypeError):
        mag(0.5, 0.1, "uniform", (), 1)
    with pytest.raises(TypeError):
        mag(0.5, 0.1, law="uniform", radius=0.1)
    with pytest.raises(TypeError):
        mag(0.5, rho=0.1, u=0.5)


def every_failing_call():
    for param in ERRORS + NOT_NUMBERS:
        yield param.values[0], param.values[1]


def test_no_exception_is_left_behind():
    for args, kwargs in every_failing_call():
        try:
            mag(*args, **kwargs)
        except (TypeError, ValueError):
            pass
        assert sys.exc_info() == (None, None, None)
        # The next call works and is right: u = 0, A = sqrt(rho^2 + 4)/rho.
        assert mag(0.0, 1.0)[()] == pytest.approx(math.sqrt(5.0), rel=1e-15), call_text(args, kwargs)


def test_a_failing_call_keeps_the_exception_being_handled():
    for args, kwargs in every_failing_call():
        try:
            raise KeyError("handled")
        except KeyError as handled:
            with pytest.raises((TypeError, ValueError)):
                mag(*args, **kwargs)
            assert sys.exc_info()[1] is handled, call_text(args, kwargs)


def test_every_entry_is_checked_before_anything_is_computed():
    # An offending entry at the very end of a long array still fails the whole
    # call, whatever came before; the arguments are left untouched.
    u = np.linspace(0.0, 2.0, 100_001)
    rho = np.full_like(u, 0.1)
    for where, value in [("u", -1.0), ("rho", 0.0), ("rho", math.nan)]:
        target = u if where == "u" else rho
        saved = target[-1]
        target[-1] = value
        before = (u.copy(), rho.copy())
        with pytest.raises(ValueError, match=f"^{where} must be"):
            mag(u, rho)
        assert np.array_equal(u, before[0]) and np.array_equal(rho, before[1], equal_nan=True)
        target[-1] = saved


# -- values: the uniform disk in closed form -----------------------------------------------------

RADII = [1e-6, 1e-4, 1e-2, 0.1, 0.5, 1.0, 2.0, 10.0, 100.0, 1e4]


@pytest.mark.parametrize("rho", RADII)
def test_uniform_lens_at_the_centre(rho):
    # Witt & Mao 1994: A(0) = sqrt(rho^2 + 4)/rho.
    expected = float(mp.sqrt(mp.mpf(rho) ** 2 + 4) / rho)
    assert mag(0.0, rho)[()] == pytest.approx(expected, rel=1e-12)


@pytest.mark.parametrize("rho", RADII)
def test_uniform_lens_on_the_limb(rho):
    # Witt & Mao 1994, u = rho: A = (2/rho + 2 (1 + 1/rho^2) atan(rho))/pi.
    r = mp.mpf(rho)
    expected = float((2 / r + 2 * (1 + 1 / r**2) * mp.atan(r)) / mp.pi)
    assert mag(rho, rho)[()] == pytest.approx(expected, rel=1e-12)


def test_uniform_lens_on_the_limb_of_a_unit_source():
    # rho = 1: (2 + pi)/pi.
    assert mag(1.0, 1.0)[()] == pytest.approx((2.0 + math.pi) / math.pi, rel=1e-15)


# -- values: an independent quadrature ---------------------------------------------------------------
#
# Ring route (Heyrovsky 2003): cut the source into rings about its centre.  The
# mean of A0 over the circle of radius s about the source centre is
#
#     A_ring(u, s) = 2/(pi (u + s) sqrt(4 + b)) (2 K(m) + b Pi(n, m)),
#     b = (u - s)^2,  n = 4 u s/(u + s)^2,  m = 4 n/(4 + b),
#
# and A = int_0^1 I(r) A_ring(u, rho r) 2r dr / int_0^1 I(r) 2r dr.  K and
# (1 - n) Pi come from the arithmetic-geometric mean (DLMF 19.8.1, 19.8.6-8),
# with the complements 1 - n = b/(u + s)^2 and 1 - m = (4 (1 - n) + b)/(4 + b)
# formed without cancellation, so that b Pi = (u + s)^2 (1 - n) Pi stays finite
# as the ring approaches the lens.  The radial integral is split at the ring
# through the lens (a logarithmic singularity) and at the tabulated nodes;
# tanh-sinh quadrature takes care of the endpoints.

REF_DPS = 20


def complete_k_and_pi(n, one_minus_n, one_minus_m):
    """K(m) and (1 - n) Pi(n, m), parameter convention m = k^2."""
    tol = mp.mpf(2) ** (8 - mp.mp.prec)
    a, g, p = mp.mpf(1), mp.sqrt(one_minus_m), mp.sqrt(one_minus_n)
    q = total = mp.mpf(1)
    for _ in range(100):
        ag = a * g
        eps = (p * p - ag) / (p * p + ag)
        p = (p * p + ag) / (2 * p)
        a, g = (a + g) / 2, mp.sqrt(ag)
        q = q * eps / 2
        total += q
        if abs(q) < tol * abs(total) and abs(a - g) < tol * a:
            break
    else:
        raise AssertionError("the arithmetic-geometric mean did not converge")
    agm = (a + g) / 2
    return mp.pi / (2 * agm), mp.pi / (4 * agm) * (2 * one_minus_n + n * total)


def ring_mean(u, s):
    """The mean of A0 over the circle of radius s centred at distance u from the lens."""
    if u == 0:
        return point_lens_mp(s)
    if s == 0:
        return point_lens_mp(u)
    b = (u - s) ** 2
    if b == 0:
        # The integrable singularity itself, reached only by rounding at a
        # quadrature node of negligible weight.
        return mp.mpf(0)
    w = (u + s) ** 2
    n, one_minus_n = 4 * u * s / w, b / w
    k, pi_complement = complete_k_and_pi(n, one_minus_n, (4 * one_minus_n + b) / (4 + b))
    return 2 / (mp.pi * (u + s) * mp.sqrt(4 + b)) * (2 * k + w * pi_complement)


def brightness(law, coefficients, r):
    """I at r source radii, straight from the law's definition."""
    mu = mp.sqrt(1 - r * r)
    c = [mp.mpf(x) for x in coefficients] if law != "tabulated" else None
    if law == "uniform":
        return mp.mpf(1)
    if law == "linear":
        return 1 - c[0] * (1 - mu)
    if law == "quadratic":
        return 1 - c[0] * (1 - mu) - c[1] * (1 - mu) ** 2
    if law == "square-root":
        return 1 - c[0] * (1 - mu) - c[1] * (1 - mp.sqrt(mu))
    if law == "power-2":
        return 1 - c[0] * (1 - mu ** c[1])
    nodes, levels = coefficients
    if mu <= nodes[0]:
        return mp.mpf(levels[0])
    for i in range(1, len(nodes)):
        if mu <= nodes[i]:
            t = (mu - nodes[i - 1]) / (mp.mpf(nodes[i]) - nodes[i - 1])
            return levels[i - 1] + t * (mp.mpf(levels[i]) - levels[i - 1])
    return mp.mpf(levels[-1])


def profile_cuts(law, coefficients):
    cuts = {mp.mpf(0), mp.mpf(1)}
    if law == "tabulated":
        cuts.update(mp.sqrt(1 - mp.mpf(x) ** 2) for x in coefficients[0] if 0 < x < 1)
    return cuts


def reference(u, rho, law="uniform", coefficients=(), dps=REF_DPS):
    with mp.workdps(dps):
        u, rho = mp.mpf(u), mp.mpf(rho)
        cuts = profile_cuts(law, coefficients)
        if 0 < u < rho:
            cuts.add(u / rho)
        cuts = sorted(cuts)
        flux = mp.quad(lambda r: brightness(law, coefficients, r) * 2 * r, cuts)
        total = mp.quad(lambda r: brightness(law, coefficients, r) * ring_mean(u, rho * r) * 2 * r, cuts)
        return total / flux


def tolerance(law):
    # The accuracy the module documents: 1e-12 for the uniform disk, 1e-9 for every law.
    return 1e-12 if law == "uniform" else 1e-9


REFERENCE_POINTS = [(0.0, 0.1), (0.07, 0.1), (0.1, 0.1), (1.5, 0.5), (1.0, 3.0), (0.0, 30.0)]


@pytest.mark.parametrize("law, coefficients", LAW_CASES, ids=LAW_IDS)
def test_values_against_the_ring_quadrature(law, coefficients):
    u = np.array([p[0] for p in REFERENCE_POINTS])
    rho = np.array([p[1] for p in REFERENCE_POINTS])
    got = mag(u, rho, law, coefficients)
    misses = []
    for i, (ui, ri) in enumerate(REFERENCE_POINTS):
        expected = reference(ui, ri, law, coefficients)
        error = float(abs(got[i] - expected) / expected)
        if error > tolerance(law):
            misses.append(f"u={ui} rho={ri}: {got[i]!r} vs {mp.nstr(expected, 17)} (relative error {error:.1e})")
    assert not misses, "\n".join(misses)


@pytest.mark.parametrize("alpha", [0.1, 0.2, 1.5, 5.0, 10.0])
def test_power_2_values_over_its_exponents(alpha):
    # Hestroffer 1997 / Maxted 2018: alpha in [0.1, 10] is accepted, and the
    # documented accuracy holds over the whole range, its ends included.
    coefficients = (0.6, alpha)
    misses = []
    for u, rho in [(0.0, 0.1), (0.05, 0.1), (0.5, 0.1)]:
        got = mag(u, rho, "power-2", coefficients)[()]
        expected = reference(u, rho, "power-2", coefficients)
        error = float(abs(got - expected) / expected)
        if error > 1e-9:
            misses.append(f"u={u} rho={rho}: {got!r} vs {mp.nstr(expected, 17)} (relative error {error:.1e})")
    assert not misses, "\n".join(misses)


def second_moments(law, coefficients):
    """<r^2> and <r^4>, the brightness-weighted means over the disk."""
    with mp.workdps(30):
        cuts = sorted(profile_cuts(law, coefficients))
        moments = [mp.quad(lambda r: brightness(law, coefficients, r) * r ** (2 * k) * 2 * r, cuts) for k in range(3)]
        return moments[1] / moments[0], moments[2] / moments[0]


@pytest.mark.parametrize("law, coefficients", LAW_CASES, ids=LAW_IDS)
@pytest.mark.parametrize("ratio", [100.0, 1e4])
def test_far_from_the_source(law, coefficients, ratio):
    # The mean of a smooth function over the disk, expanded about its centre:
    # A = A0 + <r^2> rho^2/4 lap A0 + <r^4> rho^4/64 lap^2 A0 + O((rho/u)^6),
    # lap the plane Laplacian of the radial function A0(u).
    r2, r4 = second_moments(law, coefficients)
    for u in [0.1, 1.0, 30.0]:
        rho = u / ratio
        with mp.workdps(40):
            x = mp.mpf(u)
            d1, d2, d3, d4 = (mp.diff(point_lens_mp, x, k) for k in (1, 2, 3, 4))
            lap = d2 + d1 / x
            lap2 = d4 + 2 * d3 / x - d2 / x**2 + d1 / x**3
            base = point_lens_mp(x)
            expected = base + r2 * rho**2 / 4 * lap + r4 * rho**4 / 64 * lap2
        got = mag(u, rho, law, coefficients)[()]
        assert got == pytest.approx(float(expected), rel=tolerance(law)), (u, rho)
        # And the point-source value itself, to within the size of the correction.
        assert abs(got / float(base) - 1) < (rho / u) ** 2


# -- values: relations between the laws ---------------------------------------------------------------

U_ROW = np.array([0.0, 0.02, 0.05, 0.0999, 0.1, 0.1001, 0.15, 0.3, 1.0, 5.0])


@pytest.mark.parametrize("rho", [0.1, 2.0])
def test_tabulated_intensities_have_no_scale(rho):
    nodes, levels = (0.0, 0.2, 0.5, 0.8, 1.0), (0.3, 0.5, 0.7, 0.9, 1.0)
    base = mag(U_ROW * rho / 0.1, rho, "tabulated", (nodes, levels))
    for factor in [7.0, 2.0**-30, 1e5]:
        scaled = mag(U_ROW * rho / 0.1, rho, "tabulated", (nodes, [factor * v for v in levels]))
        np.testing.assert_allclose(scaled, base, rtol=1e-15, atol=0)


def linear(u1):
    return mag(U_ROW, 0.1, "linear", (u1,))


EQUIVALENT_LAWS = [
    # (law, coefficients, the equivalent linear u1)
    pytest.param("quadratic", (0.6, 0.0), 0.6, id="quadratic-u2-0"),
    pytest.param("square-root", (0.6, 0.0), 0.6, id="square-root-d-0"),
    pytest.param("power-2", (0.6, 1.0), 0.6, id="power-2-alpha-1"),
    pytest.param("power-2", (1.0, 1.0), 1.0, id="power-2-alpha-1-dark-limb"),
    pytest.param("tabulated", ((0.0, 1.0), (0.4, 1.0)), 0.6, id="tabulated-two-nodes"),
    pytest.param("tabulated", ((0.0, 0.25, 1.0), (0.4, 0.55, 1.0)), 0.6, id="tabulated-three-nodes"),
    pytest.param("tabulated", ((0.0, 1.0), (0.0, 1.0)), 1.0, id="tabulated-dark-limb"),
    pytest.param("linear", (0.0,), 0.0, id="linear-u1-0"),
    pytest.param("uniform", (), 0.0, id="uniform"),
    pytest.param("quadratic", (0.0, 0.0), 0.0, id="quadratic-0"),
    pytest.param("square-root", (0.0, 0.0), 0.0, id="square-root-0"),
    pytest.param("power-2", (0.0, 0.7), 0.0, id="power-2-c-0"),
    pytest.param("tabulated", ((0.5,), (3.0,)), 0.0, id="tabulated-constant"),
]


@pytest.mark.parametrize("law, coefficients, u1", EQUIVALENT_LAWS)
def test_laws_that_describe_the_same_profile(law, coefficients, u1):
    # A tabulated law that samples I = 1 - u1 (1 - mu), linear in mu, is that
    # profile exactly; so are quadratic with u2 = 0, square-root with d = 0 and
    # power-2 with alpha = 1 (Milne 1921).  The laws take different rules
    # (power-2 grades its limb on a piece of its own), each within 1.4e-10 of
    # the exact value, so they agree to 3e-10.
    np.testing.assert_allclose(mag(U_ROW, 0.1, law, coefficients), linear(u1), rtol=3e-10, atol=0)


@pytest.mark.parametrize("law, coefficients", LIMB_DARKENED, ids=LD_IDS)
@pytest.mark.parametrize("rho", [1e-3, 0.1, 1.0])
def test_a_darker_limb_brightens_the_centre(law, coefficients, rho):
    # The limb-darkened star concentrates its light towards its centre: with
    # the lens at the centre it is magnified more than the uniform disk, and
    # with the lens on the limb less.
    uniform = mag([0.0, rho], rho)
    darkened = mag([0.0, rho], rho, law, coefficients)
    assert darkened[0] > uniform[0]
    assert darkened[1] < uniform[1]


def test_small_source_with_the_lens_at_its_centre():
    # For rho -> 0, A0(rho r) -> 1/(rho r): rho A(0)/2 -> int I dr / int I 2r dr,
    # here for the linear law 1 - u1 + u1 pi/4 over 1 - u1/3 (Milne 1921).
    rho = 1e-7
    for u1 in [0.0, 0.3, 0.6, 1.0]:
        expected = (1 - u1 + u1 * math.pi / 4) / (1 - u1 / 3)
        assert rho * mag(0.0, rho, "linear", (u1,))[()] / 2 == pytest.approx(expected, rel=1e-9)


# -- values at the ends of the double range --------------------------------------------------------------


def centre_value(rho):
    r = mp.mpf(rho)
    return mp.sqrt(r * r + 4) / r


def limb_value(rho):
    r = mp.mpf(rho)
    return (2 / r + 2 * (1 + 1 / r**2) * mp.atan(r)) / mp.pi


EXTREMES = [
    # (u, rho, expected): A -> 1 far from the lens or for a huge source, A0 of
    # the centre for a lens far inside the source.
    pytest.param(1e155, 0.1, 1.0, id="u-1e155"),
    pytest.param(1e300, 1.0, 1.0, id="u-1e300"),
    pytest.param(1.7e308, 1e-300, 1.0, id="u-max"),
    pytest.param(0.5, 1e100, 1.0, id="rho-1e100"),
    pytest.param(0.5, 1e300, 1.0, id="rho-1e300"),
    pytest.param(1e150, 1e200, 1.0, id="both-huge"),
    pytest.param(1e-300, 1e-300, limb_value(1e-300), id="tiny-on-the-limb"),
    pytest.param(1e-160, 1e-160, limb_value(1e-160), id="small-on-the-limb"),
    pytest.param(1e-300, 1e-200, centre_value(1e-200), id="tiny-inside"),
    pytest.param(1e-300, 1e-150, centre_value(1e-150), id="tiny-well-inside"),
]


@pytest.mark.parametrize("u, rho, expected", EXTREMES)
def test_arguments_at_the_ends_of_the_double_range(u, rho, expected):
    for law, coefficients in LAW_CASES:
        got = mag(u, rho, law, coefficients)[()]
        assert math.isfinite(got) and got >= 1.0, (law, got)
        if law == "uniform" or expected == 1.0:
            assert got == pytest.approx(float(expected), rel=1e-12), (law, got)


def test_magnification_is_never_below_one():
    # A0(u) = 1 + 2/u^4 + ... > 1 for every finite u: the rounded result must
    # not fall below 1 either.
    u = np.logspace(0.0, 150.0, 3001)
    for law, coefficients in LAW_CASES:
        got = mag(u, 1e-3, law, coefficients)
        low = u[got < 1.0]
        assert low.size == 0, f"{law}: {low.size} values below 1, the first at u = {low[:1]}"


@pytest.mark.parametrize("scale", [5e-324, 1e-300, 1e300, 1.7e308])
def test_tabulated_intensities_of_extreme_scale(scale):
    # Only the shape of the profile matters.
    u = [0.0, 0.05, 0.1, 0.5]
    got = mag(u, 0.1, "tabulated", ((0.0, 1.0), (scale, scale)))
    np.testing.assert_allclose(got, mag(u, 0.1), rtol=1e-12, atol=0)
    got = mag(u, 0.1, "tabulated", ((0.5,), (scale,)))
    np.testing.assert_allclose(got, mag(u, 0.1), rtol=1e-12, atol=0)


NARROW_PROFILES = [
    # Light from a thin ring at the limb: I falls from 1 at mu = 0 to 0 at mu = w.
    pytest.param((0.0, 1e-2), (1.0, 0.0), id="limb-ring-1e-2"),
    pytest.param((0.0, 1e-4), (1.0, 0.0), id="limb-ring-1e-4"),
    pytest.param((0.0, 1e-6), (1.0, 0.0), id="limb-ring-1e-6"),
    # Light from near the centre only: I rises from 0 at mu = 1 - w to 1 at mu = 1.
    pytest.param((0.0, 1 - 1e-2, 1.0), (0.0, 0.0, 1.0), id="bright-centre-1e-2"),
    pytest.param((0.0, 1 - 1e-6, 1.0), (0.0, 0.0, 1.0), id="bright-centre-1e-6"),
]


@pytest.mark.parametrize("nodes, levels", NARROW_PROFILES)
def test_profiles_with_the_light_in_a_narrow_zone(nodes, levels):
    # Valid tabulated profiles (non-negative, not dark), so the documented
    # accuracy holds; the reference works with 40 digits to resolve the zone.
    rho = 0.1
    misses = []
    for u in [0.0, rho, 5 * rho]:
        got = mag(u, rho, "tabulated", (nodes, levels))[()]
        expected = reference(u, rho, "tabulated", (nodes, levels), dps=40)
        error = float(abs(got - expected) / expected)
        if not error <= 1e-9:
            misses.append(f"u={u}: {got!r} vs {mp.nstr(expected, 17)} (relative error {error:.1e})")
    assert not misses, "\n".join(misses)
