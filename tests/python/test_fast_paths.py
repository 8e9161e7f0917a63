"""Sequence conversion with and without its fast paths.

Exact lists and tuples are read by index and float64 buffers copied in one
go; every other sequence goes through its iterator.  The probe extension
exposes both converters, so each case below is converted twice and must give
the same bits, or the same exception, either way.  The functions of the
module must then give the same bits for an argument and for the same values
given through the generic path.
"""

import array
import math
import struct
import sys

import pytest

import kelvora
from _support import Floaty, Indexy, PlainFloatSub, TupleSub, bits

np = pytest.importorskip("numpy")


def outcome(convert, obj):
    try:
        return ("ok", bits(convert(obj)))
    except BaseException as exc:  # noqa: BLE001
        return ("error", type(exc), str(exc), exc.args)


def fresh(factory):
    """Each converter gets its own copy, since some cases mutate their input."""
    return factory() if callable(factory) else factory


class Appends:
    """Converting this item appends to (or empties) the list being converted."""

    def __init__(self, target, action):
        self.target = target
        self.action = action

    def __float__(self):
        if self.action == "append":
            self.target.append(7.5)
        elif self.action == "clear":
            self.target.clear()
        elif self.action == "pop":
            self.target.pop()
        elif self.action == "replace":
            self.target[-1] = 99.0
        return 1.25


def mutating(action):
    def make():
        target = [0.5, 0.75]
        target.insert(1, Appends(target, action))
        return target

    return make


class ListSub(list):
    def __iter__(self):
        return iter([3.0, 4.0])


class ArraySub(np.ndarray):
    def __iter__(self):
        return iter([1.0])


class Raises:
    error = ValueError("from __float__")

    def __float__(self):
        raise self.error.with_traceback(None)  # no traceback carried over from an earlier raise


NAN_PAYLOAD = struct.unpack("<d", struct.pack("<Q", 0x7FF8_0000_DEAD_BEEF))[0]
FLOATS = [0.0, -0.0, 1.5, -2.25, math.inf, -math.inf, math.nan, NAN_PAYLOAD, 5e-324, 1e308, 1 / 3]

CASES = {
    "list-floats": lambda: list(FLOATS),
    "list-empty": lambda: [],
    "list-mixed": lambda: [1, True, PlainFloatSub(2.5), Floaty(-1.0), Indexy(3), 2**53 + 1, 0.5],
    "list-bad-item": lambda: [1.0, "x", 2.0],
    "list-none-item": lambda: [None],
    "list-huge-int": lambda: [1.0, 10**400],
    "list-raises": lambda: [1.0, Raises()],
    "list-appends": mutating("append"),
    "list-clears": mutating("clear"),
    "list-pops": mutating("pop"),
    "list-replaces": mutating("replace"),
    "list-subclass": lambda: ListSub([1.0, 2.0]),
    "tuple-floats": lambda: tuple(FLOATS),
    "tuple-mixed": lambda: (1, Floaty(2.0), PlainFloatSub(0.25)),
    "tuple-bad": lambda: (1.0, b"x"),
    "tuple-subclass": lambda: TupleSub((1.0, 2.0)),
    "numpy-f64": lambda: np.array(FLOATS),
    "numpy-empty": lambda: np.array([], dtype=np.float64),
    "numpy-strided": lambda: np.arange(10.0)[::2],
    "numpy-reversed": lambda: np.arange(5.0)[::-1],
    "numpy-readonly": lambda: np.frombuffer(struct.pack("<3d", 1.0, 2.0, 3.0)),
    "numpy-2d": lambda: np.ones((2, 3)),
    "numpy-2d-single": lambda: np.ones((3, 1)),
    "numpy-0d": lambda: np.array(2.0),
    "numpy-f32": lambda: np.array([0.1, 0.2], dtype=np.float32),
    "numpy-i64": lambda: np.array([1, 2, 2**62], dtype=np.int64),
    "numpy-big-endian": lambda: np.array([0.1, 0.2], dtype=">f8"),
    "numpy-object": lambda: np.array([1.0, Floaty(2.0)], dtype=object),
    "numpy-bool": lambda: np.array([True, False]),
    "numpy-subclass": lambda: np.arange(3.0).view(ArraySub),
    "numpy-masked": lambda: np.ma.masked_array([1.0, 2.0, 3.0], mask=[False, True, False]),
    "array-d": lambda: array.array("d", FLOATS),
    "array-f": lambda: array.array("f", [0.1, 0.2]),
    "array-i": lambda: array.array("i", [1, 2]),
    "memoryview-d": lambda: memoryview(array.array("d", [1.0, 2.0, 4.0])),
    "memoryview-strided": lambda: memoryview(array.array("d", [1.0, 2.0, 4.0, 8.0]))[::2],
    "memoryview-2d": lambda: memoryview(array.array("d", [1.0, 2.0, 4.0, 8.0])).cast("B").cast("d", (2, 2)),
    "memoryview-bytes": lambda: memoryview(b"abc"),
    "bytes": lambda: b"\x00\x01",
    "bytearray": lambda: bytearray(b"\x02"),
    "range": lambda: range(4),
    "str": lambda: "1.0",
}


def released_memoryview():
    view = memoryview(array.array("d", [1.0]))
    view.release()
    return view


CASES["memoryview-released"] = released_memoryview


@pytest.mark.parametrize("name", sorted(CASES))
def test_fast_and_generic_paths_agree(probe, name):
    factory = CASES[name]
    fast = outcome(probe.to_reals, fresh(factory))
    generic = outcome(probe.to_reals_generic, fresh(factory))
    assert fast == generic
    assert sys.exc_info() == (None, None, None)


def test_mutation_during_conversion_is_followed(probe):
    # The list iterator rereads the size at every step: an item appended
    # while converting is converted too, and a cleared list ends the loop.
    assert probe.to_reals(mutating("append")()) == [0.5, 1.25, 0.75, 7.5]
    assert probe.to_reals(mutating("clear")()) == [0.5, 1.25]
    assert probe.to_reals(mutating("replace")()) == [0.5, 1.25, 99.0]


def test_subclasses_use_their_own_iteration(probe):
    assert probe.to_reals(ListSub([1.0, 2.0])) == [3.0, 4.0]
    assert probe.to_reals(np.arange(3.0).view(ArraySub)) == [1.0]


def test_item_errors_are_the_same_object(probe):
    with pytest.raises(ValueError) as info:
        probe.to_reals([1.0, Raises()])
    assert info.value is Raises.error
    with pytest.raises(ValueError) as info:
        probe.to_reals((Raises(),))
    assert info.value is Raises.error


def test_item_reference_counts_are_unchanged(probe):
    item = Floaty(2.0)
    container = [1.0, item, 3.0]
    before = sys.getrefcount(item), sys.getrefcount(container)
    for _ in range(1000):
        probe.to_reals(container)
        probe.to_reals(tuple(container))
    assert (sys.getrefcount(item), sys.getrefcount(container)) == before


# -- through the module ------------------------------------------------------------


def as_generic(values):
    """The same values through a sequence that takes the iterator path."""

    class Seq(list):
        pass

    return Seq(values)


SEPARATIONS = [0.0, 0.3, 0.999, 1.0, 1.0 + 1e-7, 2.0, 50.0]


@pytest.mark.parametrize(
    "make",
    [list, tuple, np.array, lambda v: array.array("d", v), lambda v: memoryview(array.array("d", v))],
    ids=["list", "tuple", "numpy", "array", "memoryview"],
)
def test_module_results_do_not_depend_on_the_path(make):
    table_r, table_i = [0.0, 0.5, 1.0], [1.0, 0.8, 0.4]
    calls = [
        lambda l, bl, bf: kelvora.witt_mao_magnification(l, 1.0, 0.1),
        lambda l, bl, bf: kelvora.integrated_witt_mao_magnification(l, 1.0, 0.1),
        lambda l, bl, bf: kelvora.integrated_flux_map_witt_mao_magnification(l, 1.0, 0.1, bl, bf),
        lambda l, bl, bf: kelvora.discrete_flux_map_heyrovsky_magnification(l, 1.0, 0.1, bl, bf),
    ]
    for call in calls:
        fast = call(make(SEPARATIONS), make(table_r), make(table_i))
        generic = call(as_generic(SEPARATIONS), as_generic(table_r), as_generic(table_i))
        assert bits(fast) == bits(generic)


def test_scalars_and_sequences_agree():
    # A separation given to the ring kernel as a number and to the ring sum as
    # a one-element list of one unit-weight ring.
    for l in SEPARATIONS:
        [summed] = kelvora.discrete_flux_map_heyrovsky_magnification(np.array([l]), 1.0, 0.1, (0.5,), [1.0])
        assert bits([summed]) == bits([kelvora.heyrovsky_magnification(l, 0.5, 1.0, 0.1)])
