"""Randomised calls of kelvora_fspl.magnification, checked against a model of
what each argument is.

A *case* is a plain-data description of one call (JSON-safe; every double is
stored as its 64 bits): the separations u, the radii rho, the law and its
coefficients, each as a value description, and how they are bound (by
position, by keyword, or the law left to its default).  The description is
turned into argument objects and, independently, into a model: for every
number its double (or why it is not one), for every array its shape.  From the
model follow the outcomes the call may have:

* when every argument is valid, a new float64 array of the broadcast shape,
  NaN exactly where u is NaN, elsewhere not below 1 and finite (unless rho is
  so small that the true value exceeds the doubles), each entry with the bits
  of the same call made with plain floats for that entry alone, and the
  arguments left as they were;
* otherwise TypeError or ValueError (OverflowError for an integer beyond the
  doubles, as float() raises), or the very exception object the caller's own
  __float__ raised; several faults allow any of their outcomes.

After every call no exception may be left set: the next plain call must work.
Run as a script, the module runs a batch of cases and reports as JSON (used in
a child process, so that a crash is reported with its case); with
``--isolated`` it runs the batch in a further interpreter of its own
(``run_in_child``) and prints that one's report, or ``{"crash": ...}`` with the
case a crash or hang happened on, which is how ``tools/fuzz_fspl_long.py``
runs its batches.
"""

import argparse
import array
import collections
import json
import math
import os
import random
import struct
import sys
import threading
import time
import warnings
from decimal import Decimal
from fractions import Fraction

import numpy as np

import kelvora_fspl
from _support import (
    FSPL_LAWS,
    Floaty,
    Indexy,
    NoFloat,
    OwnError,
    PlainFloatSub,
    ReRaises,
    StrSub,
    bits_of,
    from_bits,
    rerun_command,
    run_batch_in_child,
)

LAWS = FSPL_LAWS
COUNTS = {"uniform": 0, "linear": 1, "quadratic": 2, "square-root": 2, "power-2": 2, "tabulated": 2}
BAD_LAW_NAMES = ["", "Uniform", "LINEAR", "linear ", " quadratic", "power2", "square_root", "sqrt", "tabulated\0",
                 "linear\0", "\0uniform",
                 "lin\udc80ear", "uniform\u00e9", "exponential", "logarithmic"]
MAX_ENTRIES = 16
# Below this radius the true magnification may exceed the largest double.
TINY_RHO = 1e-280


# -- argument objects ------------------------------------------------------------------------------


class BadReturn:
    def __float__(self):
        return "0.5"

    def __repr__(self):
        return "BadReturn()"



# -- sources of choices ------------------------------------------------------------------------------


class RandomSource:
    def __init__(self, rng):
        self.rng = rng

    def integer(self, lo, hi):
        return self.rng.randint(lo, hi)

    def pick(self, options):
        total = sum(w for w, _ in options)
        x = self.rng.uniform(0, total)
        for w, v in options:
            if w <= 0:
                continue
            x -= w
            if x <= 0:
                return v
        return [v for w, v in options if w > 0][-1]

    def chance(self, p):
        return self.rng.random() < p

    def uniform(self, lo, hi):
        return self.rng.uniform(lo, hi)

    def anyfloat(self):
        return from_bits(self.rng.getrandbits(64) - 2**63)


# -- case generation ----------------------------------------------------------------------------------

SPECIAL_U = [0.0, -0.0, math.nan, -math.nan, math.inf, 5e-324, 1e-300, 1e-160, 1e150, 1e300, 1.7976931348623157e308]
SPECIAL_RHO = [5e-324, 1e-300, 1e-150, 1e-12, 1e8, 1e150, 1e300, 1.7976931348623157e308]
BAD_RHO = [0.0, -0.0, -0.5, -math.inf, math.inf, math.nan]


def real_u(src, rho_hint, bad):
    if bad:
        return src.pick([(3, -src.uniform(1e-12, 3.0)), (1, -math.inf), (1, -5e-324), (1, -1e300)])
    return src.pick([(6, src.uniform(0.0, 3.0) * rho_hint), (4, src.uniform(0.0, 3.0)),
                     (1, rho_hint), (1, math.nextafter(rho_hint, math.inf)),
                     (3, src.pick([(1, v) for v in SPECIAL_U])), (1, abs(src.anyfloat()))])


def real_rho(src, rho_hint, bad):
    if bad:
        return src.pick([(1, v) for v in BAD_RHO])
    return src.pick([(6, rho_hint), (4, 10.0 ** src.uniform(-4.0, 2.0)), (2, src.pick([(1, v) for v in SPECIAL_RHO])),
                     (1, float(src.integer(1, 5)))])


def number_node(src, x, allow_objects=True):
    """A value description of some object that converts to exactly x."""
    forms = [(12, "f"), (2, "fsub"), (2, "np64")]
    if allow_objects:
        forms += [(2, "floaty"), (1, "dec")]
    if math.isfinite(x):
        forms.append((2, "frac"))
        if x == int(x) and abs(x) < 2**70:
            forms += [(3, "i"), (1, "np_int") if abs(x) < 2**63 else (0, "np_int")]
            if allow_objects and x >= 0:
                forms.append((1, "indexy"))
            if x in (0.0, 1.0) and math.copysign(1.0, x) > 0:
                forms.append((1, "b"))
    with np.errstate(over="ignore"):
        if float(np.float32(x)) == x or math.isnan(x):
            forms.append((2, "np32"))
        if float(np.float16(x)) == x or math.isnan(x):
            forms.append((1, "np16"))
    form = src.pick(forms)
    if form in ("f", "fsub", "np64", "floaty", "np32", "np16"):
        return [form, bits_of(x)]
    if form == "dec":
        return ["dec", repr(x) if math.isfinite(x) else {"nan": "NaN", "inf": "Infinity", "-inf": "-Infinity"}[repr(x)]]
    if form == "frac":
        num, den = Fraction(x).as_integer_ratio()
        return ["frac", str(num), str(den)]
    if form in ("i", "np_int", "indexy"):
        return [form, str(int(x))]
    return ["b", bool(x)]


def bad_leaf(src):
    return src.pick([(2, ["str", src.pick([(1, "0.5"), (1, ""), (1, "nan"), (1, "x")])]),
                     (1, ["bytes", "31"]), (2, ["complex", bits_of(0.5), bits_of(src.pick([(1, 0.0), (1, 1.0)]))]),
                     (2, ["none"]), (1, ["obj"]), (1, ["badret"]),
                     (2, ["raise", src.pick([(2, "TypeError"), (2, "ValueError"), (3, "own"),
                                             (1, "ZeroDivisionError")])]),
                     (1, ["dec", "sNaN"]), (1, ["i", str(10**400)]), (1, ["frac", str(-(10**400)), "3"])])


def shape_for(src, base):
    """A shape that broadcasts with base: a suffix of it with some entries 1."""
    keep = src.integer(0, len(base))
    shape = list(base[len(base) - keep:])
    for i in range(len(shape)):
        if src.chance(0.3):
            shape[i] = 1
    return shape


def array_arg_node(src, which, base, rho_hint, pbad):
    """u or rho: a scalar, a (nested) list, or an ndarray of some dtype and layout."""
    bad_value = src.chance(pbad * 0.6)
    shape = shape_for(src, base)
    if src.chance(pbad * 0.3):
        # A shape that does not broadcast (when base has a dimension > 1).
        shape = [d + 1 if d > 1 else d for d in base] or [2]
        if not shape or all(d <= 1 for d in shape):
            shape = [src.integer(2, 3)] + list(base)
    size = int(np.prod(shape)) if shape else 1
    if size > MAX_ENTRIES:
        shape = [min(d, 2) for d in shape]
        size = int(np.prod(shape)) if shape else 1

    def value(bad):
        return real_u(src, rho_hint, bad) if which == "u" else real_rho(src, rho_hint, bad)

    bad_at = src.integer(0, max(size - 1, 0)) if bad_value else -1
    values = [value(i == bad_at) for i in range(size)]
    kind = src.pick([(4, "scalar") if not shape else (0, "scalar"), (4, "list"), (4, "array"),
                     (1 if pbad else 0, "badleaf"), (1 if pbad else 0, "ragged"), (1 if pbad else 0, "badarray")])
    if kind == "scalar":
        return number_node(src, values[0] if values else value(False))
    if kind == "badleaf":
        if not shape or not size or src.chance(0.3):
            return bad_leaf(src)
        leaves = [number_node(src, v) for v in values]
        leaves[src.integer(0, size - 1)] = bad_leaf(src)
        return ["list", nest(leaves, shape)]
    if kind == "ragged":
        return ["list", [["list", [["f", bits_of(value(False))]]], ["list", []]]]
    if kind == "badarray":
        return ["badarray", src.pick([(1, "complex"), (1, "str"), (1, "datetime"), (1, "structured"), (1, "bytes")]),
                shape if size else [1]]
    if kind == "list":
        if not shape:
            shape = [size]
        leaves = [number_node(src, v) for v in values]
        return [src.pick([(3, "list"), (1, "tuple")]), nest(leaves, shape)]
    # ndarray
    dtype = src.pick([(6, "float64"), (2, "float32"), (1, "float16"), (1, ">f8"), (2, "int64"), (1, "uint8"),
                      (1, "bool"), (1, "object")])
    if dtype in ("int64", "uint8", "bool"):
        top = 1 if dtype == "bool" else 5
        lo = 0 if (which == "u" or dtype == "bool") else 1
        values = [float(src.integer(lo, top)) for _ in range(size)]
        if bad_value and dtype == "int64" and bad_at < size:
            values[bad_at] = -1.0 if which == "u" else float(src.integer(-2, 0))
    layout = src.pick([(4, "c"), (1, "f"), (1, "step"), (1, "neg"), (1, "ro"), (1, "bcast"), (1, "record"),
                       (1, "unaligned"), (1, "deep")])
    return ["arr", dtype, shape, [bits_of(v) for v in values], layout]


def nest(leaves, shape):
    if len(shape) <= 1:
        return list(leaves)
    step = len(leaves) // shape[0] if shape[0] else 0
    return [["list", nest(leaves[i * step:(i + 1) * step], shape[1:])] for i in range(shape[0])]


def coefficient_values(src, law, pbad):
    """Plain doubles for an analytic law, mostly valid."""
    bad = src.chance(pbad)
    if law == "uniform":
        return []
    if law == "linear":
        u1 = src.pick([(6, src.uniform(-1.0, 1.0)), (1, 1.0), (1, 0.0), (1, -1e6), (1 if bad else 0, 1.5),
                       (1 if bad else 0, math.nan), (1 if bad else 0, math.inf),
                       (1 if bad else 0, src.pick([(1, -1e300), (1, -8e306), (1, -1.0000000000000002e6)]))])
        return [u1]
    if law in ("quadratic", "square-root"):
        a, b = src.uniform(-1.5, 2.0), src.uniform(-1.5, 2.0)
        if not bad and src.chance(0.6):
            # Mostly physical: a + b <= 1 and positive brightness.
            a, b = src.uniform(0.0, 1.0), src.uniform(-0.3, 0.5)
            b = min(b, 1 - a)
        if bad and src.chance(0.3):
            b = src.pick([(1, math.nan), (1, -math.inf), (1, 1e300), (1, -2e304)])
        elif src.chance(0.05):
            # At the bound on the coefficients' size: limb-brightened, valid.
            a, b = (-1e6, 0.0) if src.chance(0.5) else (0.0, -1e6)
        return [a, b]
    c = src.pick([(5, src.uniform(0.0, 1.0)), (1, src.uniform(-2.0, 0.0)), (1, 1.0), (1, -1e6),
                  (1 if bad else 0, 1.2), (1 if bad else 0, -6e154)])
    alpha = src.pick([(6, 10.0 ** src.uniform(-0.5, 0.5)), (2, 10.0 ** src.uniform(-1.0, 1.0)), (1, 1.0),
                      (1 if bad else 0, src.pick([(1, 0.0), (1, -0.5), (1, math.nan), (1, 1e-300), (1, 1e300)]))])
    return [c, alpha]


def tabulated_values(src, pbad):
    bad = src.chance(pbad)
    n = src.integer(1, 6)
    nodes = sorted(src.uniform(0.0, 1.0) for _ in range(n))
    if src.chance(0.3):
        nodes[0] = 0.0
    if src.chance(0.3):
        nodes[-1] = 1.0
    for i in range(1, n):
        if nodes[i] <= nodes[i - 1]:
            nodes[i] = math.nextafter(nodes[i - 1], 2.0)
    levels = [src.uniform(0.0, 2.0) if src.chance(0.8) else 0.0 for _ in range(n)]
    if max(levels) == 0.0:
        levels[-1] = 1.0
    scale = src.pick([(8, 1.0), (1, 1e-300), (1, 1e300), (1, 2.0**-40)])
    levels = [v * scale for v in levels]
    if bad:
        how = src.pick([(1, "unequal"), (1, "falling"), (1, "outside"), (1, "negative"), (1, "dark"), (1, "empty"),
                        (1, "nan")])
        if how == "unequal":
            levels = levels + [1.0] if src.chance(0.5) or n == 1 else levels[:-1]
        elif how == "falling" and n > 1:
            i = src.integer(1, n - 1)
            nodes[i] = nodes[i - 1] if src.chance(0.5) else nodes[i - 1] - 0.01
        elif how == "outside":
            nodes[src.pick([(1, 0), (1, n - 1)])] = src.pick([(1, -0.1), (1, 1.5), (1, math.inf)])
            nodes.sort()
        elif how == "negative":
            levels[src.integer(0, n - 1)] = -src.uniform(1e-9, 1.0)
        elif how == "dark":
            levels = [0.0] * n
        elif how == "empty":
            nodes, levels = [], []
        else:
            (nodes if src.chance(0.5) else levels)[src.integer(0, n - 1)] = math.nan
    return nodes, levels


def sequence_node(src, values, numbers_only=False):
    leaves = [number_node(src, v, allow_objects=not numbers_only) for v in values]
    kind = src.pick([(4, "tuple"), (3, "list"), (2, "arr"), (1, "array.array")])
    if kind == "arr":
        return ["arr", "float64", [len(values)], [bits_of(v) for v in values],
                src.pick([(3, "c"), (1, "neg"), (1, "record"), (1, "unaligned")])]
    if kind == "array.array":
        return ["array.array", [bits_of(v) for v in values]]
    return [kind, leaves]


def law_and_coefficients(src, pbad):
    if src.chance(pbad * 0.3):
        law_node = src.pick([(3, ["str", src.pick([(1, n) for n in BAD_LAW_NAMES])]),
                             (1, ["bytes", "6c696e656172"]), (1, ["none"]), (1, ["i", "1"]),
                             (1, ["list", [["str", "linear"]]])])
        law = None
    else:
        law = src.pick([(2, "uniform"), (2, "linear"), (2, "quadratic"), (1, "square-root"), (2, "power-2"),
                        (2, "tabulated")])
        law_node = ["str", law] if src.chance(0.9) else ["strsub", law]
    if law is None:
        law = src.pick([(1, n) for n in LAWS])
    if src.chance(pbad * 0.2):
        coef = src.pick([(1, ["f", bits_of(0.5)]), (1, ["str", "0.5"]), (1, ["bytes", "00"]), (1, ["dict"]),
                         (1, ["set"]), (1, ["none"]), (1, ["gen"])])
        return law_node, coef
    if law == "tabulated":
        nodes, levels = tabulated_values(src, pbad)
        items = [sequence_node(src, nodes), sequence_node(src, levels)]
        if src.chance(pbad * 0.2):
            how = src.pick([(1, "count"), (1, "scalar"), (1, "twod"), (1, "badleaf")])
            if how == "count":
                items = items[:1] if src.chance(0.5) else items + [["list", []]]
            elif how == "scalar":
                items[0] = ["f", bits_of(0.5)]
            elif how == "twod":
                items[1] = ["list", [items[1]]]
            elif nodes:
                items[0] = ["list", [bad_leaf(src)] + [["f", bits_of(v)] for v in nodes[1:]]]
        return law_node, [src.pick([(3, "tuple"), (1, "list")]), items]
    values = coefficient_values(src, law, pbad)
    if src.chance(pbad * 0.2):
        how = src.pick([(2, "count"), (1, "twod"), (1, "badleaf")])
        if how == "count":
            values = values + [0.1] if src.chance(0.5) or not values else values[:-1]
        elif how == "twod":
            return law_node, ["list", [["list", [["f", bits_of(v)] for v in values]]]]
        else:
            node = ["list", [number_node(src, v) for v in values] + [bad_leaf(src)]]
            return law_node, node
    if not values and src.chance(0.5):
        return law_node, src.pick([(1, ["tuple", []]), (1, ["list", []]), (1, ["arr", "float64", [0], [], "c"])])
    return law_node, sequence_node(src, values)


def gen_case(src, pbad=None):
    if pbad is None:
        pbad = src.pick([(5, 0.0), (3, 0.05), (2, 0.25), (1, 0.6)])
    ndim = src.pick([(3, 0), (4, 1), (2, 2), (1, 3)])
    base = [src.pick([(4, src.integer(1, 4)), (1, 0), (2, 1)]) for _ in range(ndim)]
    rho_hint = 10.0 ** src.uniform(-4.0, 1.5)
    case = {
        "u": array_arg_node(src, "u", base, rho_hint, pbad),
        "rho": array_arg_node(src, "rho", base, rho_hint, pbad),
    }
    case["law"], case["coef"] = law_and_coefficients(src, pbad)
    case["bind"] = src.pick([(4, "pos"), (2, "kw"), (2, "mixed"), (1, "default")])
    # None: magnification; False or True: magnification_and_gradient with
    # that coefficients_gradient.
    case["gradient"] = src.pick([(3, None), (1, False), (1, True)])
    # Call again while another thread writes bad values into u or rho.
    case["mutate"] = src.chance(0.05)
    return case


def seeded_case(seed, index, **profile):
    return gen_case(RandomSource(random.Random(f"fspl:{seed}:{index}")), **profile)


# numpy's broadcast_shapes, broadcast_to and broadcast_arrays take at most 32
# dimensions; the functions tested take up to 64, and so do these.
def broadcast_shape(*shapes):
    ndim = max(len(shape) for shape in shapes)
    out = []
    for d in range(ndim):
        sizes = {shape[d - ndim + len(shape)] for shape in shapes if d - ndim + len(shape) >= 0} - {1}
        if len(sizes) > 1:
            raise ValueError(f"shapes {shapes} do not broadcast")
        out.append(sizes.pop() if sizes else 1)
    return tuple(out)


def broadcast_view(a, shape):
    a = np.asarray(a)
    strides = (0,) * (len(shape) - a.ndim) + tuple(0 if n == 1 else st for n, st in zip(a.shape, a.strides))
    return np.lib.stride_tricks.as_strided(a, shape=shape, strides=strides, writeable=False)

# -- building objects and the model ------------------------------------------------------------------


class Leaf:
    """The model of one number: its double, or the outcomes converting it may have."""

    def __init__(self, value=None, faults=()):
        self.value = value
        self.faults = frozenset(faults)


class Model:
    """The model of an argument: a float64 array, or the outcomes it may cause."""

    def __init__(self, values=None, faults=()):
        self.array = values
        self.faults = set(faults)


class Build:
    def __init__(self):
        self.own = []          # the caller's own exceptions, by identity
        self.arrays = []       # ndarrays handed to the call, with a copy

    def leaf(self, node):
        tag = node[0]
        if tag in ("f", "fsub", "floaty", "np64", "np32", "np16"):
            x = from_bits(node[1])
            obj = {"f": float, "fsub": PlainFloatSub, "floaty": Floaty, "np64": np.float64, "np32": np.float32,
                   "np16": np.float16}[tag](x)
            return obj, Leaf(float(obj) if tag in ("np32", "np16") else x)
        if tag in ("i", "np_int", "indexy"):
            n = int(node[1])
            obj = {"i": int, "np_int": np.int64, "indexy": Indexy}[tag](n)
            try:
                return obj, Leaf(float(n))
            except OverflowError:
                return obj, Leaf(faults={"OverflowError"})
        if tag == "b":
            return node[1], Leaf(float(node[1]))
        if tag == "frac":
            obj = Fraction(int(node[1]), int(node[2]))
            try:
                return obj, Leaf(float(obj))
            except OverflowError:
                return obj, Leaf(faults={"OverflowError"})
        if tag == "dec":
            obj = Decimal(node[1])
            try:
                return obj, Leaf(float(obj))
            except ValueError:
                return obj, Leaf(faults={"TypeError", "ValueError"})
        if tag == "str":
            return node[1], Leaf(faults={"TypeError"})
        if tag == "strsub":
            return StrSub(node[1]), Leaf(faults={"TypeError"})
        if tag == "bytes":
            return bytes.fromhex(node[1]), Leaf(faults={"TypeError"})
        if tag == "complex":
            return complex(from_bits(node[1]), from_bits(node[2])), Leaf(faults={"TypeError"})
        if tag == "none":
            return None, Leaf(faults={"TypeError"})
        if tag == "obj":
            return NoFloat(), Leaf(faults={"TypeError"})
        if tag == "badret":
            return BadReturn(), Leaf(faults={"TypeError"})
        if tag == "raise":
            if node[1] == "own":
                exc = OwnError("raised by the caller")
            else:
                exc = {"TypeError": TypeError, "ValueError": ValueError, "ZeroDivisionError": ZeroDivisionError}[
                    node[1]]("raised by __float__")
            if isinstance(exc, (TypeError, ValueError)):
                return ReRaises(exc), Leaf(faults={"TypeError", "ValueError"})
            self.own.append(exc)
            return ReRaises(exc), Leaf(faults={f"own:{id(exc)}"})
        raise AssertionError(f"not a leaf: {node!r}")

    def argument(self, node):
        """The object for u, rho or an item of the coefficients, and its model."""
        tag = node[0]
        if tag in ("list", "tuple"):
            objs, models = [], []
            for item in node[1]:
                obj, model = self.argument(item)
                objs.append(obj)
                models.append(model)
            obj = objs if tag == "list" else tuple(objs)
            faults = set().union(*(m.faults for m in models)) if models else set()
            if faults:
                return obj, Model(faults=faults)
            shapes = {m.array.shape for m in models}
            if len(shapes) > 1:
                return obj, Model(faults={"TypeError"})
            inner = shapes.pop() if shapes else ()
            stacked = np.array([m.array for m in models], dtype=np.float64).reshape((len(models),) + inner)
            return obj, Model(stacked)
        if tag == "arr":
            _, dtype, shape, raw, layout = node
            values = np.array([from_bits(b) for b in raw], dtype=np.float64).reshape(shape)
            with np.errstate(over="ignore", invalid="ignore"):
                if dtype == "object":
                    arr = np.empty(values.shape, dtype=object)
                    for index in np.ndindex(values.shape):
                        arr[index] = float(values[index])
                else:
                    arr = values.astype(dtype)
            model = arr.astype(np.float64)
            if layout == "f" and arr.ndim:
                arr = np.asfortranarray(arr)
            elif layout == "step":
                wide = np.repeat(arr, 2, axis=-1) if arr.ndim else arr
                arr = wide[..., ::2] if arr.ndim else wide
            elif layout == "neg":
                arr = np.flip(np.flip(arr).copy()) if arr.ndim else arr
            elif layout == "ro":
                arr = arr.copy()
                arr.flags.writeable = False
            elif layout == "bcast" and arr.ndim and arr.size:
                arr = np.broadcast_to(arr[..., :1], arr.shape)
                model = np.broadcast_to(model[..., :1], arr.shape)
            elif layout == "record":
                # A field of a packed record array: strides not a multiple
                # of the item size, and unaligned.
                rec = np.zeros(arr.shape, dtype=[("x", arr.dtype), ("pad", "u1")])
                rec["x"] = arr
                arr = rec["x"]
            elif layout == "unaligned" and arr.dtype != object:
                raw = np.zeros(arr.nbytes + 1, dtype=np.uint8)
                view = raw[1:].view(arr.dtype).reshape(arr.shape)
                view[...] = arr
                arr = view
            elif layout == "deep":
                # More dimensions than 32, as numpy allows (up to 64).
                arr = arr.reshape(arr.shape + (1,) * (40 - arr.ndim))
                model = model.reshape(arr.shape)
            self.arrays.append((arr, arr.copy()))
            return arr, Model(np.array(model, dtype=np.float64))
        if tag == "badarray":
            kind, shape = node[1], node[2]
            make = {"complex": lambda: np.full(shape, 0.5 + 0.5j), "str": lambda: np.full(shape, "0.5"),
                    "bytes": lambda: np.full(shape, b"1"),
                    "datetime": lambda: np.full(shape, np.datetime64("2024-01-01")),
                    "structured": lambda: np.zeros(shape, dtype=[("a", "f8")])}[kind]
            return make(), Model(faults={"TypeError"})
        if tag == "array.array":
            values = [from_bits(b) for b in node[1]]
            return array.array("d", values), Model(np.array(values, dtype=np.float64))
        obj, leaf = self.leaf(node)
        if leaf.faults:
            return obj, Model(faults=leaf.faults)
        return obj, Model(np.array(leaf.value, dtype=np.float64))

    def law(self, node):
        tag = node[0]
        if tag == "str":
            return node[1], (node[1] if node[1] in LAWS else None), set() if node[1] in LAWS else {"ValueError"}
        if tag == "strsub":
            return StrSub(node[1]), node[1], set()
        obj, _ = self.argument(node) if tag != "none" else (None, None)
        return obj, None, {"TypeError"}

    def coefficients(self, node, law):
        """The coefficients object and (plain coefficients, faults)."""
        tag = node[0]
        if tag in ("f", "str", "bytes", "none"):
            obj, _ = self.leaf(node)
            return obj, None, {"TypeError"}
        if tag == "dict":
            return {0: 0.5}, None, {"TypeError"}
        if tag == "set":
            return {0.5}, None, {"TypeError"}
        if tag == "gen":
            return (x for x in [0.5]), None, {"TypeError"}
        if law == "tabulated":
            items = node[1] if tag in ("list", "tuple") else None
            if items is None:
                obj, model = self.argument(node)
                return obj, None, {"TypeError", "ValueError"}
            objs, tables, faults = [], [], set()
            for item in items:
                obj, model = self.argument(item)
                objs.append(obj)
                if model.faults:
                    faults |= model.faults
                    tables.append(None)
                elif model.array.ndim != 1:
                    faults.add("ValueError")
                    tables.append(None)
                else:
                    tables.append([float(v) for v in model.array])
            obj = objs if tag == "list" else tuple(objs)
            if len(items) != 2:
                return obj, None, {"ValueError"} | faults
            if faults:
                return obj, None, faults
            return obj, (tables[0], tables[1]), tabulated_faults(*tables)
        obj, model = self.argument(node)
        if model.faults:
            return obj, None, model.faults
        if model.array.ndim != 1:
            if tag in ("list", "tuple") and model.array.ndim > 1:
                # Items holding values per entry: coefficients broadcast
                # against u and rho (tests/python/test_fspl_bands.py).
                return obj, None, {"per-entry"}
            return obj, None, {"ValueError"}
        values = [float(v) for v in model.array]
        return obj, tuple(values), analytic_faults(law, values)


def tabulated_faults(nodes, levels):
    if len(nodes) != len(levels) or not nodes:
        return {"ValueError"}
    if any(not (0.0 <= x <= 1.0) for x in nodes):
        return {"ValueError"}
    if any(b <= a for a, b in zip(nodes, nodes[1:])):
        return {"ValueError"}
    if any(not math.isfinite(v) or v < 0 for v in levels) or max(levels) == 0.0:
        return {"ValueError"}
    # A flux (of the profile scaled to a brightest node of 1) below the
    # smallest normal double is refused: light in a zone too thin to compute.
    flux = tabulated_flux(nodes, levels)
    if flux < sys.float_info.min / 2:
        return {"ValueError"}
    if flux < 2 * sys.float_info.min:
        return {"either"}
    return set()


def tabulated_flux(nodes, levels):
    """2 int_0^1 I mu dmu of the table scaled to a brightest node of 1, exactly."""
    brightest = Fraction(max(levels))
    xs = [Fraction(0)] + [Fraction(x) for x in nodes] + [Fraction(1)]
    ys = [Fraction(v) / brightest for v in [levels[0], *levels, levels[-1]]]
    flux = Fraction(0)
    for a, b, ia, ib in zip(xs, xs[1:], ys, ys[1:]):
        if b > a:  # 2 int_a^b I mu dmu, I linear from ia to ib
            flux += (b - a) * (ia * (2 * a + b) + ib * (a + 2 * b)) / 3
    return flux


def analytic_faults(law, values):
    if len(values) != COUNTS[law]:
        return {"ValueError"}
    if any(not math.isfinite(v) or abs(v) > 1e6 for v in values):
        return {"ValueError"}
    if law == "uniform":
        return set()
    if law == "power-2" and not 0.1 <= values[1] <= 10.0:
        return {"ValueError"}
    lowest, scale = lowest_brightness(law, values)
    if lowest < -1e-12 * scale:
        return {"ValueError"}
    if lowest <= 1e-12 * scale:
        return {"either"}
    return set()


def lowest_brightness(law, values):
    """The least of I over the disk, in exact rational arithmetic, and the size
    of the terms it comes from."""
    a = Fraction(values[0])
    scale = 1 + sum(abs(v) for v in values)
    if law in ("linear", "power-2"):
        # I = 1 - a (1 - y), y = mu or mu^alpha in [0, 1].
        return float(min(Fraction(1), 1 - a)), scale
    b = Fraction(values[1])
    if law == "quadratic":
        # I = 1 - a x - b x^2, x = 1 - mu in [0, 1].
        def f(x):
            return 1 - a * x - b * x * x
        candidates = [Fraction(0), Fraction(1)]
        if b < 0 and 0 < -a / (2 * b) < 1:
            candidates.append(-a / (2 * b))
    else:
        # I = (1 - a - b) + b t + a t^2, t = sqrt(mu) in [0, 1].
        def f(t):
            return (1 - a - b) + b * t + a * t * t
        candidates = [Fraction(0), Fraction(1)]
        if a > 0 and 0 < -b / (2 * a) < 1:
            candidates.append(-b / (2 * a))
    return float(min(f(x) for x in candidates)), scale


# -- running a case -----------------------------------------------------------------------------------


class CaseResult:
    def __init__(self, label, problems, foreseen=False):
        self.label = label
        self.problems = problems
        # The model foresaw a refusal (float32 rounding a tiny rho to 0, a
        # profile negative at its lowest, ...) even in a case drawn as valid.
        self.foreseen = foreseen


def expected_faults(build, case):
    u_obj, u_model = build.argument(case["u"])
    rho_obj, rho_model = build.argument(case["rho"])
    law_obj, law, law_faults = build.law(case["law"])
    faults = set(u_model.faults) | rho_model.faults | law_faults
    plain = None
    coef_law = law or "uniform"
    coef_obj, plain, coef_faults = build.coefficients(case["coef"], coef_law)
    if law is not None:
        # An unknown law is refused before its coefficients are looked at.
        faults |= coef_faults
    if case["coef"] == ["none"]:
        # Refused when the arguments are bound, before anything else.
        faults.add("TypeError")
    # Each fault may be the one reported, whatever the order of the checks.
    out_of_domain = ((u_model.array is not None and np.any(u_model.array < 0))
                     or (rho_model.array is not None and np.any(~(rho_model.array > 0) | np.isinf(rho_model.array))))
    empty = False
    if u_model.array is not None and rho_model.array is not None:
        try:
            shape = broadcast_shape(u_model.array.shape, rho_model.array.shape)
        except ValueError:
            faults.add("ValueError")
        else:
            empty = math.prod(shape) == 0
    if out_of_domain:
        if empty:
            # No entry of the result uses the offending value: refusing it
            # and returning the empty array are both right.
            faults.add("either")
        else:
            faults.add("ValueError")
    either = "either" in faults
    faults.discard("either")
    objs = (u_obj, rho_obj, law_obj, coef_obj)
    return objs, faults, either, u_model, rho_model, law, plain


def call(objs, bind, default_ok, gradient=None):
    u, rho, law, coef = objs
    if gradient is not None:
        f = kelvora_fspl.magnification_and_gradient
        if bind == "kw":
            return f(coefficients=coef, rho=rho, law=law, u=u, coefficients_gradient=gradient)
        if bind == "default" and default_ok and not gradient:
            return f(u, rho)
        return f(u, rho, law, coef, coefficients_gradient=gradient)
    if bind == "kw":
        return kelvora_fspl.magnification(coefficients=coef, rho=rho, law=law, u=u)
    if bind == "mixed":
        return kelvora_fspl.magnification(u, rho, coefficients=coef, law=law)
    if bind == "default" and default_ok:
        return kelvora_fspl.magnification(u, rho)
    return kelvora_fspl.magnification(u, rho, law, coef)


def plain_value(u, rho, law, plain):
    coef = plain if law != "tabulated" else (list(plain[0]), list(plain[1]))
    return kelvora_fspl.magnification(u, rho, law, coef)


def check_result(result, u_model, rho_model, law, plain, build):
    problems = []
    shape = broadcast_shape(u_model.array.shape, rho_model.array.shape)
    # As numpy's ufuncs: an array, or a float64 scalar for shape ().
    expected_type = np.float64 if shape == () else np.ndarray
    if type(result) is not expected_type:
        return [f"the result is a {type(result).__name__}, not a numpy.{expected_type.__name__}"]
    if result.dtype != np.float64:
        problems.append(f"the result has dtype {result.dtype}, not float64")
    if result.shape != shape:
        return problems + [f"the result has shape {result.shape}, not {shape}"]
    if shape != () and not (result.flags.c_contiguous and result.flags.writeable and result.base is None):
        problems.append("the result is not a new, writeable, C-contiguous array")
    for arr, before in build.arrays:
        if np.shares_memory(result, arr):
            problems.append("the result shares memory with an argument")
        if arr.dtype == object:
            same = all(a is b for a, b in zip(arr.reshape(-1), before.reshape(-1)))
        else:
            same = arr.tobytes() == before.tobytes()
        if not same or arr.dtype != before.dtype or arr.shape != before.shape:
            problems.append("an argument array was changed")
    ub, rb = broadcast_view(u_model.array, shape), broadcast_view(rho_model.array, shape)
    for index in np.ndindex(shape):
        value, u, rho = float(result[index]), float(ub[index]), float(rb[index])
        where = f"entry {index} (u={u!r}, rho={rho!r})"
        if math.isnan(u):
            if not math.isnan(value):
                problems.append(f"{where}: {value!r} where u is NaN")
            continue
        if math.isnan(value):
            problems.append(f"{where}: NaN")
            continue
        if value < 1.0:
            problems.append(f"{where}: {value!r} is below 1")
        if math.isinf(value) and not (value > 0 and rho < TINY_RHO):
            problems.append(f"{where}: {value!r} is not finite")
        try:
            alone = plain_value(u, rho, law, plain)
        except Exception as exc:  # noqa: BLE001
            problems.append(f"{where}: the entry alone raised {type(exc).__name__}: {exc}")
            continue
        if struct.pack("<d", float(alone)) != struct.pack("<d", value):
            problems.append(f"{where}: {value!r}, but {float(alone)!r} for the entry alone")
        if len(problems) > 8:
            break
    return problems


def check_gradient(result, with_coefficients, u_model, rho_model, law, plain, build):
    """(A, dA/du, dA/drho, dA/dc...): A is magnification()'s; the rest float64
    arrays of the same shape, NaN exactly where u is NaN."""
    if type(result) is not tuple:
        return [f"the gradient is a {type(result).__name__}, not a tuple"]
    count = 0
    if with_coefficients:
        count = len(plain[1]) if law == "tabulated" else len(plain)
    if len(result) != 3 + count:
        return [f"the gradient has {len(result)} arrays, not {3 + count}"]
    problems = check_result(result[0], u_model, rho_model, law, plain, build)
    shape = broadcast_shape(u_model.array.shape, rho_model.array.shape)
    ub = broadcast_view(u_model.array, shape)
    for k, part in enumerate(result[1:], 1):
        if type(part) is not type(result[0]) or part.dtype != np.float64 or part.shape != shape:
            problems.append(f"array {k} of the gradient is not a float64 array of shape {shape}")
            continue
        if shape != () and any(np.shares_memory(part, other) for other in result[:k]):
            problems.append(f"array {k} of the gradient shares memory with another")
        u_nan = np.isnan(np.asarray(ub, dtype=float))
        if not np.array_equal(np.isnan(part), u_nan):
            problems.append(f"array {k} of the gradient is NaN where u is not, or not where u is")
    return problems


def probe_after():
    """The interpreter state after a call: nothing set, and the next call works."""
    problems = []
    if sys.exc_info() != (None, None, None):
        problems.append(f"an exception is left being handled: {sys.exc_info()!r}")
    try:
        value = kelvora_fspl.magnification(0.0, 1.0)
    except BaseException as exc:  # noqa: BLE001
        return problems + [f"the next plain call raised {type(exc).__name__}: {exc}"]
    if not abs(float(value) / math.sqrt(5.0) - 1) <= 1e-15:
        problems.append(f"the next plain call gave {value!r}, not sqrt(5)")
    return problems


def mutation_problems(objs, case, result, default_ok):
    """The call repeated while another thread writes bad values into u or rho
    and puts the good ones back: each outcome is a ValueError about that
    argument, or the result of the undisturbed call, bit for bit."""
    problems = []
    for which, position in (("u", 0), ("rho", 1)):
        arr = objs[position]
        if not (type(arr) is np.ndarray and arr.dtype == np.float64 and arr.flags.writeable and arr.size):
            continue
        original = arr.copy()
        bad = -1.0 if which == "u" else math.nan
        stop = threading.Event()

        def flip(arr=arr, original=original, bad=bad, stop=stop):
            while not stop.is_set():
                arr[...] = bad
                arr[...] = original

        thread = threading.Thread(target=flip)
        thread.start()
        try:
            for _ in range(4):
                try:
                    got = call(objs, case["bind"], default_ok, case.get("gradient"))
                except ValueError as exc:
                    if not str(exc).startswith(f"{which} must be "):
                        problems.append(f"while {which} changed: ValueError {exc}")
                    continue
                got = got[0] if type(got) is tuple else got
                if np.asarray(got).tobytes() != np.asarray(result).tobytes():
                    problems.append(f"while {which} changed: a result that is not the undisturbed one")
        finally:
            stop.set()
            thread.join()
            arr[...] = original
    return problems


def run_case(case):
    build = Build()
    objs, faults, either, u_model, rho_model, law, plain = expected_faults(build, case)
    if "per-entry" in faults:
        # Coefficients per entry are checked against calls per entry by
        # their own tests; here only that nothing is left behind.
        try:
            call(objs, case["bind"], False, case.get("gradient"))
        except Exception:  # noqa: BLE001 - any refusal; the state after the call is what is checked
            pass
        return CaseResult("per-entry", probe_after())
    default_ok = case["law"] == ["str", "uniform"] and plain == ()
    raised = None
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            result = call(objs, case["bind"], default_ok, case.get("gradient"))
        except BaseException as exc:  # noqa: BLE001 - the kind of exception is checked below
            raised = exc
    if raised is not None:
        exc, raised = raised, None
        problems = []
        allowed = {f for f in faults if not f.startswith("own:")}
        if either:
            allowed.add("ValueError")
        if any(e is exc for e in build.own):
            label = "own"
            if f"own:{id(exc)}" not in faults:
                problems.append("the caller's own exception was raised where it should not be")
        else:
            label = type(exc).__name__
            if type(exc) not in (TypeError, ValueError, OverflowError) or label not in allowed:
                problems.append(f"raised {label}: {exc} where the outcomes are {sorted(faults) or ['a result']}")
            elif not str(exc):
                problems.append(f"{label} without a message")
        exc.__traceback__ = None
        return CaseResult(label, problems + probe_after(), foreseen=label in allowed)
    problems = []
    gradient = case.get("gradient")
    if faults:
        problems.append(f"returned {result!r} where the outcomes are {sorted(faults)}")
    elif gradient is not None:
        problems += check_gradient(result, gradient, u_model, rho_model, law, plain, build)
        result = result[0] if type(result) is tuple and result else result
    else:
        problems += check_result(result, u_model, rho_model, law, plain, build)
    if case.get("mutate") and not faults and not problems:
        problems += mutation_problems(objs, case, result, default_ok)
    size = getattr(result, "size", None)
    label = "result" if size else "empty"
    if size and np.isnan(result).any():
        label = "result-with-nan"
    return CaseResult(label, problems + probe_after())


def describe(case):
    """A readable call, for a reproducer."""
    try:
        build = Build()
        objs = expected_faults(build, case)[0]
        names = ("u", "rho", "law", "coefficients")
        name = "magnification" if case.get("gradient") is None else "magnification_and_gradient"
        text = f"kelvora_fspl.{name}(" + ", ".join(f"{n}={o!r}" for n, o in zip(names, objs))
        text += ")" if case.get("gradient") is None else f", coefficients_gradient={case['gradient']})"
    except BaseException as exc:  # noqa: BLE001
        text = f"<the arguments could not be shown: {type(exc).__name__}: {exc}>"
    return text if len(text) <= 3000 else text[:2997] + "..."


# -- batches in a child process -------------------------------------------------------------------------


def child_main(argv=None):
    argv = sys.argv[1:] if argv is None else list(argv)
    # No abbreviated options: --isolated must be recognised exactly to be left out of the inner run.
    parser = argparse.ArgumentParser(description="Run a batch of kelvora_fspl cases and report as JSON.",
                                     allow_abbrev=False)
    parser.add_argument("--seed", type=int)
    parser.add_argument("--start", type=int, default=0)
    parser.add_argument("--count", type=int, default=1000)
    parser.add_argument("--cases", help="a JSON file with a list of cases")
    parser.add_argument("--case", help="one case as JSON")
    parser.add_argument("--state", help="file rewritten with the current case before each call")
    parser.add_argument("--expect-module", help="the kelvora_fspl file the parent imported")
    parser.add_argument("--abort-at", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--verbose", action="store_true")
    parser.add_argument("--isolated", action="store_true",
                        help="run the batch in a child interpreter of its own, so that a crash or hang there "
                             "is reported as {\"crash\": ...} with the case it happened on")
    parser.add_argument("--timeout", type=float, default=600.0, help="with --isolated: seconds the batch may take")
    args = parser.parse_args(argv)

    if args.isolated:
        report = run_in_child([a for a in argv if a != "--isolated"], timeout=args.timeout)
        sys.stdout.write(json.dumps(report) + "\n")
        sys.stdout.flush()
        return 0

    if args.expect_module and not os.path.samefile(args.expect_module, kelvora_fspl.__file__):
        print(f"child imported {kelvora_fspl.__file__}, parent {args.expect_module}", file=sys.stderr)
        return 3
    state_fd = os.open(args.state, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644) if args.state else None
    if args.case is not None:
        work = [({"case": 0}, json.loads(args.case))]
    elif args.cases is not None:
        with open(args.cases) as fh:
            work = [({"case": i}, c) for i, c in enumerate(json.load(fh))]
    elif args.seed is not None:
        work = (({"seed": args.seed, "index": i}, seeded_case(args.seed, i))
                for i in range(args.start, args.start + args.count))
    else:
        parser.error("give --seed, --cases or --case")
    outcomes = collections.Counter()
    failures, failed, cases = [], 0, 0
    started = time.perf_counter()
    for number, (where, case) in enumerate(work):
        if state_fd is not None:
            data = json.dumps({"where": where, "case": case}).encode()
            os.pwrite(state_fd, data, 0)
            os.ftruncate(state_fd, len(data))
        if args.abort_at is not None and number == args.abort_at:
            os.abort()
        try:
            result = run_case(case)
        except Exception as exc:  # noqa: BLE001 - a fault of the checks is a failure too
            result = CaseResult("harness-error", [f"the checks themselves failed: {type(exc).__name__}: {exc}"])
        cases += 1
        outcomes[result.label] += 1
        if args.verbose:
            print(json.dumps({"where": where, "call": describe(case), "outcome": result.label,
                              "problems": result.problems}), file=sys.stderr)
        if result.problems:
            failed += 1
            if len(failures) < 20:
                failures.append({"call": describe(case), "problems": result.problems, "case": case,
                                 "reproduce": rerun_command(__file__, kelvora_fspl, where, case), **where})
    report = {"cases": cases, "outcomes": dict(outcomes), "failed": failed, "failures": failures,
              "elapsed": time.perf_counter() - started}
    sys.stdout.write(json.dumps(report) + "\n")
    sys.stdout.flush()
    return 0


def run_in_child(child_args, timeout=600.0):
    """Run a batch in a fresh interpreter; a crash or hang is reported with the
    case it happened on."""
    return run_batch_in_child(__file__, kelvora_fspl, child_args, timeout)


if __name__ == "__main__":
    sys.exit(child_main())
