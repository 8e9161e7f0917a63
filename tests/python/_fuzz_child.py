"""Randomised calls of every kelvora function, checked against a model of how
arguments are bound and converted.

A *case* is a plain-data description of one call (JSON-safe: lists, strings,
ints; every double is stored as its 64 bits): the function, the positional
and keyword arguments as value descriptions, whether the call goes through
``f(*args, **kwargs)`` or through ``PyObject_Vectorcall`` (which can repeat a
keyword) and which warnings filter is active.  A description is turned into
objects twice: once for the model, which binds and converts in Python with
CPython's own ``PyFloat_AsDouble`` and iteration protocol, and once for the
real call.  Arguments with side effects (``__float__`` that mutates a list,
calls back into kelvora, raises, ...) therefore behave the same way in both.

For every case the checks are:

* the outcome is the model's: the same binding message; the same renamed
  ``TypeError`` ("argument '<p>': ...", cause kept, context suppressed); the
  very same exception object for the caller's own exceptions; a resumed
  internal fault for a ``PanicException`` raised by user code; otherwise a
  result with the bits of the same call made with plain floats;
* the plain-float call itself gives a list of exact floats, one per entry
  (or one float), a ``RuntimeError`` with a kernel message, or the table
  length fault, and each entry alone gives the same bits or the same error;
* user code ran the same way (the same ``__float__``/``__iter__``/... calls in
  the same order, ``__len__`` at most once per object) and the same warnings;
* no reference count of any argument object changed, no buffer export is
  left on a bytearray or array, no exception is left set, and the next call
  gives the usual bits;
* in a child process with standard error in a file: a fault writes a report
  there and nothing else does.

Run as a script this executes a batch and prints one JSON report on stdout::

    python tests/python/_fuzz_child.py --seed 7 --start 0 --count 5000 --state FILE
    python tests/python/_fuzz_child.py --cases FILE --state FILE
    python tests/python/_fuzz_child.py --seed 7 --start 1234 --count 1 --verbose

Case ``i`` of seed ``S`` is generated from ``random.Random(f"{S}:{i}")`` alone,
so ``--seed S --start i --count 1`` reproduces it.  Before each call the
case is written to the state file: when the process dies the parent still
knows which call killed it.  With ``--isolated`` the script runs the batch in
a further interpreter of its own (``run_in_child``) and prints that one's
report, or ``{"crash": ...}`` with the case a crash or hang happened on; this
is how ``tools/fuzz_long.py`` runs its batches.
"""

import argparse
import array
import collections
import contextlib
import ctypes
import gc
import json
import math
import os
import random
import sys
import time
import warnings
from decimal import Decimal
from fractions import Fraction

import numpy as np

import kelvora
from _support import (
    KELVORA_FUNCTIONS,
    FloatSub,
    HugeLength,
    MappingLike,
    MyBaseException,
    MyTypeError,
    Outer,
    TupleSub,
    Unprintable,
    bits_of,
    from_bits,
    pyfloat_as_double,
    pyobject_vectorcall,
    pythonapi,
    rerun_command,
    run_batch_in_child,
)

# -- the module surface ---------------------------------------------------------

FUNCTIONS = KELVORA_FUNCTIONS
FLUX_MAP = {
    "integrated_flux_map_witt_mao_magnification",
    "integrated_flux_map_heyrovsky_magnification",
    "discrete_flux_map_heyrovsky_magnification",
}
# About half a millisecond per separation: keep their sequences short.
HEAVY = {"integrated_heyrovsky_magnification", "integrated_flux_map_heyrovsky_magnification"}
NEVER_RUNTIME_ERROR = HEAVY
SCALAR = "heyrovsky_magnification"
KERNEL_PREFIXES = ("elliprf:", "elliprd:", "elliprj:", "elliprc:", "ellipk:", "ellipe:", "ellippi:")
# A length hint of 2**60 doubles or more is more than isize::MAX bytes.
CAPACITY_LIMIT = 2**60
SENTINEL_ARGS = ([0.0, 0.5, 2.0], 1.0, 0.1)


def kinds(fn):
    if fn == SCALAR:
        return ["real"] * 4
    return ["seq" if p in ("l", "bl", "bf") else "real" for p in FUNCTIONS[fn]]


def fresh_int(n):
    return n + 0 if isinstance(n, int) else int(n)


def fresh_str(s):
    return (s + ".")[:-1]


_sequence_check = pythonapi("PySequence_Check", ctypes.c_int, ctypes.py_object)
_err_occurred = pythonapi("PyErr_Occurred", ctypes.c_void_p)


def error_pending():
    """A C-level error left set shows up here (ctypes raises it after the call)."""
    try:
        return bool(_err_occurred())
    except BaseException as exc:  # noqa: BLE001
        return f"{type(exc).__name__}: {exc}"


class Context:
    """What every case needs: the module, the fault type and the usual bits."""

    def __init__(self, module=kelvora):
        self.module = module
        self.panic_type = self._panic_type()
        self.panic_sub = type("PanicSub", (self.panic_type,), {"__module__": __name__})
        self.sentinel_bits = [bits_of(x) for x in kelvora.witt_mao_magnification(*SENTINEL_ARGS)]
        self.calls = 0
        self.allow_abort = False
        self.stderr_fd = None  # set by the child when standard error is a regular file

    @staticmethod
    def _panic_type():
        try:
            kelvora.witt_mao_magnification(HugeLength(), 1.0, 0.1)
        except BaseException as exc:  # noqa: BLE001
            if type(exc).__name__ == "PanicException":
                return type(exc)
            raise
        raise AssertionError("an impossible array length did not fault")

    def function(self, name):
        return getattr(self.module, name)


# -- objects made from descriptions ----------------------------------------------


def _short(desc):
    text = json.dumps(desc)
    return text if len(text) <= 120 else text[:117] + "..."


class Obj:
    """Base of the argument objects: each logs what the interpreter asks of it."""

    def __init__(self, build, desc):
        self._log = build.log
        self._id = build.serial()
        self._desc = desc

    def _event(self, *what):
        self._log.append((self._id,) + what)

    def __repr__(self):
        return f"<{type(self).__name__}#{self._id} {_short(self._desc)}>"


class IntSub(int):
    def __repr__(self):
        return f"IntSub({int.__repr__(self)})"


class KeywordName(str):
    pass


class MyError(Exception):
    pass


class MyStopIteration(StopIteration):
    pass


class HasFloat(Obj):
    def __init__(self, build, desc, ret):
        super().__init__(build, desc)
        self.ret = ret

    def __float__(self):
        self._event("float")
        return self.ret


class HasIndex(Obj):
    def __init__(self, build, desc, ret):
        super().__init__(build, desc)
        self.ret = ret

    def __index__(self):
        self._event("index")
        return self.ret


class HasBoth(Obj):
    def __init__(self, build, desc, fret, iret):
        super().__init__(build, desc)
        self.fret, self.iret = fret, iret

    def __float__(self):
        self._event("float")
        return self.fret

    def __index__(self):
        self._event("index")
        return self.iret


def _raise(entry):
    exc, cause, context, from_none = entry
    if context is not None:
        try:
            raise context
        except BaseException:  # noqa: BLE001
            if from_none:
                raise exc from None
            if cause is not None:
                raise exc from cause
            raise exc
    if from_none:
        raise exc from None
    if cause is not None:
        raise exc from cause
    raise exc


class RaisesFloat(Obj):
    def __init__(self, build, desc, entry):
        super().__init__(build, desc)
        self.entry = entry

    def __float__(self):
        self._event("float")
        _raise(self.entry)


class RaisesIndex(Obj):
    def __init__(self, build, desc, entry):
        super().__init__(build, desc)
        self.entry = entry

    def __index__(self):
        self._event("index")
        _raise(self.entry)


def outcome_text(value):
    if isinstance(value, BaseException):
        try:
            text = str(value)
        except BaseException:  # noqa: BLE001
            text = "<unprintable>"
        return f"{type(value).__name__}: {text}"
    if isinstance(value, list):
        return "list:" + ",".join(f"{bits_of(x):x}" if type(x) is float else repr(x) for x in value)
    if type(value) is float:
        return f"float:{bits_of(value):x}"
    return f"{type(value).__name__}:{value!r}"


class Reenters(Obj):
    """``__float__`` calls kelvora itself, then returns, raises or swallows."""

    def __init__(self, build, desc, ctx, inner, mode):
        super().__init__(build, desc)
        self.ctx, self.inner, self.mode = ctx, inner, mode

    def __float__(self):
        self._event("float")
        sub = Build(self.ctx)
        pos, kw = sub.arguments(self.inner)
        func = self.ctx.function(self.inner["fn"])
        self.ctx.calls += 1
        try:
            result = invoke(func, self.inner, pos, kw)
        except BaseException as exc:  # noqa: BLE001
            self._event("inner", outcome_text(exc))
            # No cycle exception -> frame -> sub-build -> exception: the
            # frame (and with it self) must go when the exception goes.
            sub.dispose()
            sub = pos = kw = None
            if self.mode == "swallow":
                return 0.25
            raise
        sub.dispose()
        self._event("inner", outcome_text(result))
        if isinstance(result, list):
            return result[0] if result else 0.75
        return result


class Mutates(Obj):
    """``__float__`` changes one of the containers of the call, once."""

    def __init__(self, build, desc, targets, index, action, ret):
        super().__init__(build, desc)
        self.targets, self.index, self.action, self.ret = targets, index, action, ret
        self.done = False

    def __float__(self):
        self._event("float")
        if not self.done and self.targets:
            self.done = True
            target = self.targets[self.index % len(self.targets)]
            self._event("mutate", self.action, type(target).__name__)
            _mutate(target, self.action, self)
        return self.ret


def _fill_value(target):
    if isinstance(target, (bytearray, bytes)):
        return 7
    if isinstance(target, array.array):
        return 2.5 if target.typecode in "fd" else ("x" if target.typecode == "w" else 7)
    if isinstance(target, np.ndarray):
        return 2.5 if target.dtype.kind in "fc" else 7
    return 2.5


def _mutate(target, action, me):
    value = _fill_value(target)
    if action == "append":
        target.append(value)
    elif action == "append_self":
        target.append(me)
    elif action == "clear":
        if isinstance(target, (collections.deque, list, bytearray)):
            target.clear()
        else:
            del target[:]
    elif action == "pop":
        target.pop()
    elif action == "set_last":
        target[-1] = value
    elif action == "insert0":
        target.insert(0, value)
    elif action == "del0":
        del target[0]
    elif action == "extend":
        target.extend([value, value])
    else:
        raise AssertionError(action)


class Collects(Obj):
    """``__float__`` runs the cyclic garbage collector in the middle of a call."""

    def __init__(self, build, desc, value, generation):
        super().__init__(build, desc)
        self.value, self.generation = value, generation

    def __float__(self):
        self._event("float")
        gc.collect(self.generation)
        return self.value


class Aborts(Obj):
    """Kills the process: used only to check that a crash is reported."""

    def __float__(self):
        os.abort()


class SeqIter(Obj):
    def __init__(self, build, desc, owner, after, entry):
        super().__init__(build, desc)
        self.owner, self.after, self.entry, self.i = owner, after, entry, 0

    def __iter__(self):
        return self

    def __next__(self):
        i = self.i
        self.i += 1
        self._event("next", i)
        if self.entry is not None and i >= self.after:
            _raise(self.entry)
        if i < len(self.owner.items):
            return self.owner.items[i]
        raise StopIteration


class _LenMixin:
    def __len__(self):
        self._event("len")
        kind = self.len_how[0]
        if kind == "true":
            return len(self.items)
        if kind == "raise":
            _raise(self.len_entry)
        return self.len_value


class CustomSeq(_LenMixin, Obj):
    """A sequence whose items come from ``__iter__`` as told."""

    def __init__(self, build, desc, items, len_how, len_value, len_entry, iter_how, iter_value, iter_entry):
        super().__init__(build, desc)
        self.items, self.len_how, self.len_value, self.len_entry = items, len_how, len_value, len_entry
        self.iter_how, self.iter_value, self.iter_entry = iter_how, iter_value, iter_entry
        self.build = build

    def __getitem__(self, index):
        self._event("getitem", repr(index))
        return self.items[index]

    def __iter__(self):
        self._event("iter")
        kind = self.iter_how[0]
        if kind == "iter_raise":
            _raise(self.iter_entry)
        if kind == "iter_ret":
            return self.iter_value
        if kind == "genfunc":
            return self._generate()
        after = self.iter_how[1] if kind == "next_raise" else 0
        return SeqIter(self.build, ["iterator"], self, after, self.iter_entry if kind == "next_raise" else None)

    def _generate(self):
        for i, item in enumerate(self.items):
            self._event("yield", i)
            yield item
        if self.iter_entry is not None:
            _raise(self.iter_entry)


class LegacySeq(_LenMixin, Obj):
    """Iterated through ``__getitem__`` (no ``__iter__``)."""

    def __init__(self, build, desc, items, len_how, len_value, len_entry, fail_at, entry):
        super().__init__(build, desc)
        self.items, self.len_how, self.len_value, self.len_entry = items, len_how, len_value, len_entry
        self.fail_at, self.entry = fail_at, entry

    def __getitem__(self, index):
        self._event("getitem", index)
        if self.entry is not None and index >= self.fail_at:
            _raise(self.entry)
        if index >= len(self.items):
            raise IndexError(index)
        return self.items[index]


class LegacyNoLen(Obj):
    def __init__(self, build, desc, items):
        super().__init__(build, desc)
        self.items = items

    def __getitem__(self, index):
        self._event("getitem", index)
        return self.items[index]  # IndexError ends the iteration


class IterOnly(Obj):
    def __init__(self, build, desc, items):
        super().__init__(build, desc)
        self.items = items

    def __iter__(self):
        self._event("iter")
        return iter(self.items)


class ListSub(list):
    def __repr__(self):
        return f"ListSub({list.__repr__(self)})"


class ListSubIter(list):
    """A list subclass with its own iteration: yields the items reversed."""

    def __iter__(self):
        return iter(list(list.__iter__(self))[::-1])

    def __repr__(self):
        return f"ListSubIter({list.__repr__(self)})"


class ArraySub(np.ndarray):
    def __iter__(self):
        return iter([1.0, 2.0])


EXCEPTION_TYPES = {
    "TypeError": TypeError,
    "MyTypeError": MyTypeError,
    "ValueError": ValueError,
    "MyError": MyError,
    "MyBase": MyBaseException,
    "OverflowError": OverflowError,
    "ZeroDivisionError": ZeroDivisionError,
    "MemoryError": MemoryError,
    "StopIteration": StopIteration,
    "MyStopIteration": MyStopIteration,
    "KeyboardInterrupt": KeyboardInterrupt,
    "SystemExit": SystemExit,
    "GeneratorExit": GeneratorExit,
    "RuntimeError": RuntimeError,
    "RecursionError": RecursionError,
    "IndexError": IndexError,
    "DeprecationWarning": DeprecationWarning,
}


IMMORTAL = 1 << 30


class Build:
    """Objects made from one case's descriptions, and what they record."""

    def __init__(self, ctx):
        self.ctx = ctx
        self.log = []
        self.tracked = []     # every object made: their reference counts are compared
        self.exceptions = []  # exception objects made, by tag (position)
        self.mutables = []    # containers a ``Mutates`` may change
        self.resizable = []   # bytearrays and arrays: must be resizable after the call
        self.handled = None   # the exception being handled around the call, if any
        self._serial = 0
        self._loose = 0

    def serial(self):
        self._serial += 1
        return self._serial

    def dispose(self):
        """Break the cycles among the objects made: numpy arrays are not seen
        by the cycle collector, so a cycle through an object array (a
        ``Mutates`` inside one refers to the list of containers) would live
        for ever, and hold every frame its exceptions' tracebacks reach."""
        for exc in self.exceptions:
            _strip(exc)
        self.mutables.clear()

    def tag(self, exc):
        for i, e in enumerate(self.exceptions):
            if e is exc:
                return i
        return None

    def keep(self, obj):
        # Immortal objects (None, small ints, numpy's bools, ...) have a fixed
        # count; the items of a loose list are owned by the list alone.
        if not self._loose and sys.getrefcount(obj) < IMMORTAL:
            self.tracked.append(obj)
        return obj

    def arguments(self, case):
        # Making the objects must not warn (numpy casts of huge values do).
        with warnings.catch_warnings(), np.errstate(all="ignore"):
            warnings.simplefilter("ignore")
            pos = [self.value(node) for node in case["pos"]]
            # Keyword names are made afresh (not interned), or as str subclasses.
            named = KeywordName if case.get("kwsub") else fresh_str
            kw = [(named(name), self.value(node)) for name, node in case["kw"]]
        return pos, kw

    # -- exceptions

    def exception(self, node):
        _, kind, msg, cause, context, from_none = node
        if kind == "Panic":
            exc = self.ctx.panic_type(fresh_str(msg))
        elif kind == "PanicSub":
            exc = self.ctx.panic_sub(fresh_str(msg))
        elif kind == "PanicUnprintable":
            exc = self.ctx.panic_type(Unprintable())
        else:
            exc = EXCEPTION_TYPES[kind](fresh_str(msg))
        self.exceptions.append(exc)
        self.keep(exc)
        cause_exc = self.exception(cause) if cause else None
        context_exc = self.exception(context) if context else None
        return (exc, cause_exc, context_exc, bool(from_none))

    # -- values

    def value(self, node):
        return self.keep(self._value(node))

    def _items(self, nodes):
        return [self.value(n) for n in nodes]

    def _value(self, node):
        tag = node[0]
        if tag == "f":
            return from_bits(node[1])
        if tag == "i":
            return fresh_int(node[1])
        if tag == "b":
            return bool(node[1])
        if tag == "fsub":
            return FloatSub(from_bits(node[1]))
        if tag == "isub":
            return IntSub(node[1])
        if tag == "np":
            dtype, raw = node[1], node[2]
            if dtype in ("float64", "float32", "float16", "longdouble"):
                return getattr(np, dtype)(from_bits(raw))
            if dtype == "complex128":
                return np.complex128(complex(from_bits(raw[0]), from_bits(raw[1])))
            if dtype == "bool":
                return np.bool_(raw)
            if dtype == "str":
                return np.str_(raw)
            return getattr(np, dtype)(raw)
        if tag == "frac":
            return Fraction(node[1], node[2])
        if tag == "dec":
            return Decimal(node[1])
        if tag == "str":
            return fresh_str(node[1])
        if tag == "strsub":
            return type("StrSub", (str,), {})(node[1])
        if tag == "bytes":
            return bytes.fromhex(node[1])
        if tag == "bytearray":
            obj = bytearray.fromhex(node[1])
            self.mutables.append(obj)
            self.resizable.append(obj)
            return obj
        if tag == "none":
            return None
        if tag == "ellipsis":
            return Ellipsis
        if tag == "cplx":
            return complex(from_bits(node[1]), from_bits(node[2]))
        if tag == "obj":
            return object()
        if tag == "typeobj":
            return {"float": float, "list": list, "int": int}[node[1]]
        if tag == "hasfloat":
            return HasFloat(self, node, self.value(node[1]))
        if tag == "hasindex":
            return HasIndex(self, node, self.value(node[1]))
        if tag == "both":
            return HasBoth(self, node, self.value(node[1]), self.value(node[2]))
        if tag == "raise":
            entry = self.exception(node[2])
            return (RaisesFloat if node[1] == "float" else RaisesIndex)(self, node, entry)
        if tag == "reenter":
            return Reenters(self, node, self.ctx, node[1], node[2])
        if tag == "mutate":
            return Mutates(self, node, self.mutables, node[1], node[2], from_bits(node[3]))
        if tag == "gc":
            return Collects(self, node, from_bits(node[1]), node[2])
        if tag == "abort":
            if not self.ctx.allow_abort:
                raise AssertionError("an aborting argument outside the crash check")
            return Aborts(self, node)
        # sequences
        if tag == "list":
            loose = len(node) > 2 and node[2] == "loose"
            self._loose += loose
            obj = self._items(node[1])
            self._loose -= loose
            self.mutables.append(obj)
            return obj
        if tag == "tuple":
            return tuple(self._items(node[1]))
        if tag == "deque":
            obj = collections.deque(self._items(node[1]))
            self.mutables.append(obj)
            return obj
        if tag == "listsub":
            obj = (ListSubIter if node[2] else ListSub)(self._items(node[1]))
            self.mutables.append(obj)
            return obj
        if tag == "tuplesub":
            return TupleSub(self._items(node[1]))
        if tag == "range":
            return range(node[1], node[2], node[3])
        if tag == "array":
            code, raw = node[1], node[2]
            values = [from_bits(v) for v in raw] if code in "fd" else raw
            obj = array.array(code, values)
            self.mutables.append(obj)
            self.resizable.append(obj)
            return obj
        if tag == "mv":
            return self._memoryview(node)
        if tag == "nd":
            return self._ndarray(node)
        if tag == "seq":
            _, items, len_how, iter_how = node
            obj_items = self._items(items)
            self.mutables.append(obj_items)
            len_value, len_entry = self._len_how(len_how)
            iter_value = iter_entry = None
            if iter_how[0] in ("iter_raise", "genfunc_raise"):
                iter_entry = self.exception(iter_how[1])
            elif iter_how[0] == "next_raise":
                iter_entry = self.exception(iter_how[2])
            elif iter_how[0] == "iter_ret":
                iter_value = self.value(iter_how[1])
            if iter_how[0] == "genfunc_raise":
                iter_how = ["genfunc"]
            return CustomSeq(self, node, obj_items, len_how, len_value, len_entry, iter_how, iter_value, iter_entry)
        if tag == "legacy":
            _, items, len_how, fail_at, exc_node = node
            obj_items = self._items(items)
            self.mutables.append(obj_items)
            len_value, len_entry = self._len_how(len_how)
            entry = self.exception(exc_node) if exc_node else None
            return LegacySeq(self, node, obj_items, len_how, len_value, len_entry, fail_at, entry)
        if tag == "legacy_nolen":
            obj_items = self._items(node[1])
            self.mutables.append(obj_items)
            return LegacyNoLen(self, node, obj_items)
        # not sequences
        if tag == "dict":
            return {i: v for i, v in enumerate(self._items(node[1]))}
        if tag == "mapping":
            return MappingLike({0: 1.0})
        if tag == "set":
            return set(from_bits(b) for b in node[1])
        if tag == "frozenset":
            return frozenset(from_bits(b) for b in node[1])
        if tag == "gen":
            items = self._items(node[1])
            return (x for x in items)
        if tag == "listiter":
            return iter(self._items(node[1]))
        if tag == "keys":
            return {i: None for i in range(node[1])}.keys()
        if tag == "iteronly":
            return IterOnly(self, node, self._items(node[1]))
        if tag == "inner":
            return Outer.Inner()
        raise AssertionError(f"unknown description {node!r}")

    def _len_how(self, len_how):
        kind = len_how[0]
        if kind == "n":
            return fresh_int(len_how[1]), None
        if kind == "raise":
            return None, self.exception(len_how[1])
        if kind == "ret":
            return self.value(len_how[1]), None
        return None, None

    def _memoryview(self, node):
        kind, raw = node[1], node[2]
        if kind == "bytes":
            base = bytes.fromhex(raw)
            return memoryview(self.keep(base))
        if kind == "bytearray":
            base = self.keep(bytearray.fromhex(raw))
            self.mutables.append(base)
            return memoryview(base)
        if kind == "released":
            view = memoryview(array.array("d", [1.0]))
            view.release()
            return view
        if kind in ("d", "d_step", "d_2d", "f"):
            code = "f" if kind == "f" else "d"
            base = self.keep(array.array(code, [from_bits(b) for b in raw]))
            view = memoryview(base)
            if kind == "d_step":
                return view[::2]
            if kind == "d_2d":
                n = len(raw) // 2
                return view.cast("B").cast("d", (2, n)) if n else view
            return view
        if kind == "q":
            base = self.keep(array.array("q", raw))
            return memoryview(base)
        raise AssertionError(kind)

    def _ndarray(self, node):
        _, dtype, raw, layout = node
        if dtype == "O":
            values = self._items(raw)
        elif dtype in ("f8", "f4", "f2", ">f8", "<f8", ">f4"):
            values = [from_bits(b) for b in raw]
        elif dtype == "c16":
            values = [complex(from_bits(a), from_bits(b)) for a, b in raw]
        else:
            values = raw
        n = len(values)
        with warnings.catch_warnings(), np.errstate(all="ignore"):
            warnings.simplefilter("ignore")
            if dtype == "O":
                base = np.empty(n, dtype=object)
                for i, v in enumerate(values):
                    base[i] = v
            elif dtype.startswith("M8"):
                base = np.array(values, dtype="i8").astype(dtype)
            else:
                base = np.array(values, dtype=dtype)
            self.keep(base)
            if layout == "step2":
                wide = np.zeros(2 * n, dtype=base.dtype)
                wide[::2] = base
                if n:
                    wide[1::2] = base[::-1]
                self.keep(wide)
                arr = wide[::2]
            elif layout == "rev":
                arr = base[::-1].copy()[::-1]
            elif layout == "col":
                arr = base.reshape(-1, 1)
            elif layout == "row":
                arr = base.reshape(1, -1)
            elif layout == "grid":
                arr = base.reshape(2, -1) if n % 2 == 0 and n else base.reshape(-1, 1)
            elif layout == "fortran":
                arr = np.asfortranarray(base.reshape(-1, 1) if n % 2 else base.reshape(2, -1))
            elif layout == "strided_col":
                arr = np.stack([base, base]).T[:, 0] if n else base
            elif layout == "readonly":
                arr = base.copy()
                arr.flags.writeable = False
            elif layout == "zero_d":
                arr = base[:1].reshape(()) if n else np.zeros((), dtype=base.dtype)
            elif layout == "masked":
                arr = np.ma.masked_array(base, mask=[i % 2 == 1 for i in range(n)])
            elif layout == "sub":
                arr = base.view(ArraySub)
            else:
                arr = base
        if arr.ndim == 1 and arr.flags.writeable:
            self.mutables.append(arr)
        return arr


def invoke(func, case, pos, kw):
    if case.get("via") == "vectorcall":
        return pyobject_vectorcall(func, pos, kw)
    return func(*pos, **dict(kw))


# -- the model ----------------------------------------------------------------------


class Expect:
    """An expected exception.  ``same``: the tag of the very object expected;
    ``not_same``: a tag the exception must not be; ``cause``/``context``:
    references as made by ``reference``; ``None`` fields are not checked."""

    def __init__(self, how, etype, msg, same=None, not_same=None, cause=None, context=None):
        self.how, self.etype, self.msg = how, etype, msg
        self.same, self.not_same, self.cause, self.context = same, not_same, cause, context

    def __repr__(self):
        return f"Expect({self.how}, {self.etype.__name__}, {self.msg!r}, same={self.same})"


def reference(exc, build):
    """A build-independent name for an exception object: its tag, or its text."""
    if exc is None:
        return None
    tag = build.tag(exc)
    if tag is not None:
        return ["tag", tag]
    try:
        text = str(exc)
    except BaseException:  # noqa: BLE001
        text = "<unprintable>"
    return ["obj", type(exc).__name__, text]


def quoted(names):
    q = [f"'{n}'" for n in names]
    if len(q) == 1:
        return q[0]
    if len(q) == 2:
        return f"{q[0]} and {q[1]}"
    return ", ".join(q[:-1]) + ", and " + q[-1]


def binding_message(fn, npos, kwnames):
    params = FUNCTIONS[fn]
    d = f"{fn}()"
    if npos > len(params):
        return (f"{d} takes {len(params)} positional argument{'s' if len(params) != 1 else ''} "
                f"but {npos} {'was' if npos == 1 else 'were'} given")
    bound = set(params[:npos])
    for name in kwnames:
        if name not in params:
            return f"{d} got an unexpected keyword argument '{name}'"
        if name in bound:
            return f"{d} got multiple values for argument '{name}'"
        bound.add(name)
    missing = [p for p in params if p not in bound]
    if missing:
        k = len(missing)
        return f"{d} missing {k} required positional argument{'s' if k != 1 else ''}: {quoted(missing)}"
    return None


def from_user_error(exc, param, build):
    """What becomes of an exception raised by the caller's code while converting."""
    etype = type(exc)
    if etype is TypeError:
        return Expect("renamed", TypeError, f"argument '{param}': {exc}", not_same=build.tag(exc),
                      cause=reference(exc.__cause__, build))
    if etype is build.ctx.panic_type:
        try:
            text = str(exc)
        except BaseException:  # noqa: BLE001
            text = "Unwrapped panic from Python code"
        return Expect("resumed", etype, text, not_same=build.tag(exc))
    try:
        text = str(exc)
    except BaseException:  # noqa: BLE001
        text = None
    return Expect("passed", etype, text, same=build.tag(exc), cause=reference(exc.__cause__, build),
                  context=reference(exc.__context__, build))


def model_real(obj, param, build):
    if type(obj) is float:
        return obj
    try:
        return pyfloat_as_double(obj)
    except BaseException as exc:  # noqa: BLE001
        return from_user_error(exc, param, build)


def model_sequence(obj, param, build):
    if isinstance(obj, str):
        return Expect("refused", TypeError, f"argument '{param}': Can't extract `str` to `Vec`")
    if not _sequence_check(obj):
        return Expect("refused", TypeError,
                      f"argument '{param}': '{type(obj).__qualname__}' object cannot be converted to 'Sequence'")
    try:
        hint = len(obj)
    except BaseException:  # noqa: BLE001 - any failure of the hint is ignored
        hint = 0
    if hint >= CAPACITY_LIMIT:
        return Expect("capacity", build.ctx.panic_type, "capacity overflow")
    try:
        iterator = iter(obj)
    except BaseException as exc:  # noqa: BLE001
        return from_user_error(exc, param, build)
    out = []
    while True:
        try:
            item = next(iterator)
        except StopIteration:
            break
        except BaseException as exc:  # noqa: BLE001
            return from_user_error(exc, param, build)
        value = model_real(item, param, build)
        if isinstance(value, Expect):
            return value
        out.append(value)
    return out


def model(case, build, pos, kw):
    """Either an ``Expect`` or the converted values by parameter name."""
    fn = case["fn"]
    message = binding_message(fn, len(pos), [name for name, _ in kw])
    if message is not None:
        return Expect("binding", TypeError, message)
    params = FUNCTIONS[fn]
    bound = dict(zip(params, pos))
    bound.update(kw)
    values = {}
    for param, kind in zip(params, kinds(fn)):
        obj = bound[param]
        value = model_real(obj, param, build) if kind == "real" else model_sequence(obj, param, build)
        if isinstance(value, Expect):
            return value
        values[param] = value
    return values


# -- checking one case -------------------------------------------------------------------


@contextlib.contextmanager
def warnings_mode(mode):
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter({"ignore": "ignore", "error": "error", "record": "always"}[mode])
        yield seen


def _strip(exc, seen=None):
    """Drop the traceback of an exception and its chain (frames hold arguments)."""
    seen = set() if seen is None else seen
    while exc is not None and id(exc) not in seen:
        seen.add(id(exc))
        exc.__traceback__ = None
        _strip(exc.__cause__, seen)
        exc = exc.__context__


def check_exception(exc, expect, build, ctx):
    problems = []
    etype = type(exc)
    if expect.same is not None:
        if exc is not build.exceptions[expect.same]:
            problems.append(f"expected the caller's own exception object "
                            f"{build.exceptions[expect.same]!r} back, got {etype.__name__}: {_text(exc)}")
            return problems
    if etype is not expect.etype:
        problems.append(f"expected {expect.etype.__name__} ({expect.how}) {expect.msg!r}, "
                        f"got {etype.__module__}.{etype.__name__}: {_text(exc)!r}")
        return problems
    if expect.msg is not None and _text(exc) != expect.msg:
        problems.append(f"{expect.how} message {_text(exc)!r}, expected {expect.msg!r}")
    if expect.not_same is not None and exc is build.exceptions[expect.not_same]:
        problems.append(f"{expect.how}: the original exception object came back instead of a new one")
    if expect.how in ("binding", "refused", "renamed", "resumed", "capacity"):
        if exc.args != (expect.msg,):
            problems.append(f"args {exc.args!r}, expected {(expect.msg,)!r}")
        if exc.__context__ is not build.handled:
            problems.append(f"{expect.how} error has the context {exc.__context__!r}, "
                            f"expected {build.handled!r}")
    if expect.how in ("binding", "refused", "capacity", "resumed") and exc.__cause__ is not None:
        problems.append(f"{expect.how} error has a cause {exc.__cause__!r}")
    if expect.how == "renamed":
        if exc.__suppress_context__ is not True:
            problems.append("renamed TypeError does not suppress its context")
        got = reference(exc.__cause__, build)
        if got != expect.cause:
            problems.append(f"renamed TypeError cause {got}, expected {expect.cause}")
    if expect.how == "passed":
        for what, want in (("cause", expect.cause), ("context", expect.context)):
            got = reference(getattr(exc, f"__{what}__"), build)
            if got != want:
                problems.append(f"passed-through exception {what} {got}, expected {want}")
    return problems


def _text(exc):
    try:
        return str(exc)
    except BaseException:  # noqa: BLE001
        return None


def plain_call(ctx, fn, values):
    """The call with plain floats and lists of plain floats, by position."""
    args = [values[p] for p in FUNCTIONS[fn]]
    ctx.calls += 1
    try:
        return ctx.function(fn)(*args), None
    except BaseException as exc:  # noqa: BLE001
        _strip(exc)
        return None, exc


def same_outcome(a, b):
    (ra, ea), (rb, eb) = a, b
    if ea is not None or eb is not None:
        return ea is not None and eb is not None and type(ea) is type(eb) and _text(ea) == _text(eb)
    return outcome_text(ra) == outcome_text(rb)


def check_plain(ctx, fn, values, outcome, elementwise):
    """The plain-float call: what it may give, and that each entry agrees."""
    problems = []
    result, exc = outcome
    table_fault = None
    if fn in FLUX_MAP and len(values["bl"]) != len(values["bf"]):
        table_fault = (f"assertion `left == right` failed\n  left: {len(values['bl'])}\n"
                       f" right: {len(values['bf'])}")
    if table_fault is not None:
        if type(exc) is not ctx.panic_type or _text(exc) != table_fault or exc.args != (table_fault,):
            problems.append(f"tables of lengths {len(values['bl'])} and {len(values['bf'])}: "
                            f"expected the fault {table_fault!r}, got {outcome_text(exc if exc else result)!r}")
        return problems
    if exc is not None:
        if type(exc) is RuntimeError and fn not in NEVER_RUNTIME_ERROR:
            text = _text(exc)
            if not text or not text.startswith(KERNEL_PREFIXES) or exc.args != (text,):
                problems.append(f"RuntimeError without a kernel message: {text!r} {exc.args!r}")
            if exc.__cause__ is not None or exc.__context__ is not None:
                problems.append("kernel RuntimeError carries a cause or context")
        else:
            problems.append(f"plain floats gave {type(exc).__module__}.{type(exc).__name__}: {_text(exc)!r}")
        if problems:
            return problems
    elif fn == SCALAR:
        if type(result) is not float:
            problems.append(f"result of type {type(result).__name__}, expected float")
        return problems
    else:
        if type(result) is not list:
            return [f"result of type {type(result).__name__}, expected list"]
        if len(result) != len(values["l"]):
            problems.append(f"{len(result)} results for {len(values['l'])} separations")
        bad = [type(x).__name__ for x in result if type(x) is not float]
        if bad:
            problems.append(f"result items of types {bad}, expected exact floats")
        if problems:
            return problems
    if not elementwise or fn == SCALAR or len(values["l"]) < 2:
        return problems
    if len(values["l"]) > 16:
        return problems + _check_split(ctx, fn, values, result, exc)
    # Each separation alone: the same bits, or, for an error, the first
    # failing entry decides the message.
    singles = []
    for x in values["l"]:
        single = dict(values, l=[x])
        r, e = plain_call(ctx, fn, single)
        singles.append((r, e))
        if e is not None:
            break
    first_error = next((e for _, e in singles if e is not None), None)
    if exc is None:
        if first_error is not None:
            problems.append(f"the whole list succeeds but one entry alone gives {outcome_text(first_error)!r}")
        elif any(type(r) is not list or len(r) != 1 or type(r[0]) is not float for r, _ in singles):
            problems.append(f"one entry alone does not give one float: {[outcome_text(r) for r, _ in singles]}")
        else:
            joined = [r[0] for r, _ in singles]
            if outcome_text(joined) != outcome_text(result):
                problems.append("entries computed one at a time give other bits: "
                                f"{outcome_text(joined)} vs {outcome_text(result)}")
    elif first_error is None or not same_outcome((None, first_error), (None, exc)):
        problems.append(f"the list fails with {outcome_text(exc)!r} but the first failing entry alone gives "
                        f"{outcome_text(first_error) if first_error else 'no error'!r}")
    return problems


def _check_split(ctx, fn, values, result, exc):
    """A long list in two halves: the halves' results joined are the whole
    list's; an error is the first half's, or else the second half's."""
    half = len(values["l"]) // 2
    first = plain_call(ctx, fn, dict(values, l=values["l"][:half]))
    second = plain_call(ctx, fn, dict(values, l=values["l"][half:]))
    if exc is None:
        if first[1] is not None or second[1] is not None:
            return [f"the whole list succeeds but a half fails: {outcome_text(first[1] or second[1])!r}"]
        if outcome_text(first[0] + second[0]) != outcome_text(result):
            return ["the two halves give other bits than the whole list"]
        return []
    expected = first[1] if first[1] is not None else second[1]
    if expected is None or not same_outcome((None, expected), (None, exc)):
        return [f"the list fails with {outcome_text(exc)!r}, its halves with "
                f"{outcome_text(expected) if expected is not None else 'no error'!r}"]
    return []


def _in_handler(handling, build, func):
    """``func()``, inside an ``except`` block when ``handling`` (the handled
    exception is kept as ``build.handled``)."""
    if not handling:
        return func()
    handled = KeyError("handled")
    try:
        raise handled
    except KeyError:
        build.handled = handled
        out = func()
    handled.__traceback__ = None
    return out


def _stderr_size(ctx):
    if ctx.stderr_fd is None:
        return None
    sys.stderr.flush()
    return os.fstat(ctx.stderr_fd).st_size


def _stderr_since(ctx, start):
    """(bytes written since ``start``, their text when the file can be read)."""
    sys.stderr.flush()
    grown = os.fstat(ctx.stderr_fd).st_size - start
    try:
        text = os.pread(ctx.stderr_fd, min(grown, 1 << 16), start).decode("utf-8", "replace")
    except OSError:
        text = None
    return grown, text


def _held_by_containers(build):
    """How many references the build's own mutable containers hold to each
    object, by id: user code may legitimately add or remove those."""
    held = collections.Counter()
    for container in build.mutables:
        if isinstance(container, np.ndarray):
            if container.dtype != object:
                continue
            items = list(np.asarray(container))  # a masked array's masked slots too
        elif isinstance(container, (list, collections.deque)):
            items = list(container)
        else:
            continue
        held.update(id(x) for x in items)
        del items
    return held


def _references(build):
    """Reference counts of the tracked objects, less those held by the build's
    containers (counted with the containers' current contents)."""
    held = _held_by_containers(build) if build.mutables else {}
    return [sys.getrefcount(o) - held.get(id(o), 0) for o in build.tracked]


def _filtered(log):
    return [e for e in log if e[1] != "len"]


class CaseResult:
    def __init__(self, label, how, problems):
        self.label, self.how, self.problems = label, how, problems


def run_case(ctx, case, elementwise=True):
    """Run one case and check everything about it; returns a ``CaseResult``."""
    fn = case["fn"]
    func = ctx.function(fn)
    mode = case.get("warn", "ignore")
    problems = []

    # The model, on its own copy of the arguments.
    mbuild = Build(ctx)
    mpos, mkw = mbuild.arguments(case)
    handling = bool(case.get("handling"))
    with warnings_mode(mode) as mwarn:
        predicted = _in_handler(handling, mbuild, lambda: model(case, mbuild, mpos, mkw))
    model_log = list(mbuild.log)
    model_warnings = [(w.category.__name__, str(w.message)) for w in mwarn]
    mbuild.dispose()
    del mbuild, mpos, mkw

    # The real call.
    build = Build(ctx)
    pos, kw = build.arguments(case)
    tracked = build.tracked
    before = _references(build)
    err_start = _stderr_size(ctx)
    result = exc = None
    gc_was = gc.isenabled()
    gc.disable()

    def attempt():
        with warnings_mode(mode) as seen:
            ctx.calls += 1
            try:
                got = (invoke(func, case, pos, kw), None)
            except BaseException as caught:  # noqa: BLE001
                got = (None, caught)
        # Inside the handler this must still be the exception being handled.
        return got + ([(w.category.__name__, str(w.message)) for w in seen], sys.exc_info()[1])

    try:
        result, exc, actual_warnings, handled_after = _in_handler(handling, build, attempt)
        if handled_after is not build.handled:
            problems.append(f"the exception being handled became {handled_after!r}")
        if sys.exc_info() != (None, None, None):
            problems.append(f"exception left in sys.exc_info(): {sys.exc_info()!r}")
        pending = error_pending()
        if pending:
            problems.append(f"an error is left set after the call: {pending}")

        if isinstance(predicted, Expect):
            how = predicted.how
            if exc is None:
                problems.append(f"expected {predicted!r}, got the result {outcome_text(result)}")
                label = "ok"
            else:
                problems += check_exception(exc, predicted, build, ctx)
                label = type(exc).__name__
        else:
            how = "converted"
            label = "ok" if exc is None else type(exc).__name__
            if exc is not None and (exc.__context__ is not build.handled or exc.__cause__ is not None):
                problems.append(f"{label} from the kernel with context {exc.__context__!r}, "
                                f"cause {exc.__cause__!r}")
        panicked = type(exc) is ctx.panic_type  # a subclass passes unchanged, silently
        panic_text = (_text(exc) or "") if panicked else ""
        actual_text = outcome_text(exc if exc is not None else result)
        if exc is not None:
            _strip(exc)
        made = None
        for made in build.exceptions:
            _strip(made)
        del exc, made
        after = _references(build)
    finally:
        if gc_was:
            gc.enable()
    if before != after:
        # User code may leave garbage cycles (exception -> traceback -> frame
        # -> argument); only what survives a collection is a leak.
        gc.collect()
        after = _references(build)
    if before != after:
        changed = [f"{o!r}: {b} -> {a}" for o, b, a in zip(tracked, before, after) if a != b]
        problems.append("reference counts changed: " + "; ".join(changed[:8]))

    # What user code saw.
    actual_log = build.log
    if _filtered(actual_log) != _filtered(model_log):
        problems.append(f"user code ran differently: {_filtered(actual_log)[:12]} "
                        f"vs the model's {_filtered(model_log)[:12]}")
    lens = collections.Counter(e[0] for e in actual_log if e[1] == "len")
    if any(n > 1 for n in lens.values()):
        problems.append(f"__len__ called more than once: {dict(lens)}")
    if actual_warnings != model_warnings:
        problems.append(f"warnings {actual_warnings} vs the model's {model_warnings}")
    for obj in build.resizable:
        try:
            obj.append(_fill_value(obj))
            obj.pop()
        except BufferError as e:
            problems.append(f"{type(obj).__name__} still exported after the call: {e}")

    # Standard error: a fault writes its report, nothing else writes at all.
    if err_start is not None:
        grown, text = _stderr_since(ctx, err_start)
        inner_fault = any(e[1] == "inner" and "PanicException" in e[2] for e in actual_log)
        if panicked and not grown:
            problems.append("an internal fault wrote no report to standard error")
        elif panicked and text is not None and how == "resumed" and "Python stack trace below:" not in text:
            problems.append(f"resumed fault without the Python stack trace: {text[:300]!r}")
        elif panicked and text is not None and how != "resumed" and panic_text.split("\n")[0] not in text:
            problems.append(f"fault report does not name the fault: {text[:300]!r}")
        elif not panicked and not inner_fault and grown:
            problems.append(f"unexpected output on standard error: {text[:300] if text else grown!r}")

    # The same values as plain floats: the same bits, or the same error.
    if not isinstance(predicted, Expect):
        plain = plain_call(ctx, fn, predicted)
        problems += check_plain(ctx, fn, predicted, plain, elementwise)
        plain_text = outcome_text(plain[1] if plain[1] is not None else plain[0])
        if actual_text != plain_text:
            problems.append(f"the call gave {actual_text!r} but the same values as plain floats "
                            f"gave {plain_text!r}")
    build.dispose()
    # The next call behaves normally.
    ctx.calls += 1
    try:
        sentinel = [bits_of(x) for x in kelvora.witt_mao_magnification(*SENTINEL_ARGS)]
    except BaseException as e:  # noqa: BLE001
        sentinel = f"{type(e).__name__}: {e}"
    if sentinel != ctx.sentinel_bits:
        problems.append(f"the next call gave {sentinel!r}")
    return CaseResult(label, how, problems)



# -- generating cases ------------------------------------------------------------------


class RandomSource:
    """Choices drawn from a ``random.Random``."""

    def __init__(self, rng):
        self.rng = rng

    def integer(self, lo, hi):
        return self.rng.randint(lo, hi)

    def pick(self, options):
        return self.rng.choices([v for _, v in options], [w for w, _ in options])[0]

    def chance(self, p):
        return self.rng.random() < p

    def uniform(self, lo, hi):
        return self.rng.uniform(lo, hi)

    def anyfloat(self):
        return from_bits(self.rng.getrandbits(64))


NAN_PAYLOAD = 0x7FF8_0000_DEAD_BEEF
SIGNALLING_NAN = 0x7FF0_0000_0000_0001
SPECIAL_FLOATS = [
    0.0, -0.0, 1.0, -1.0, math.nan, -math.nan, math.inf, -math.inf, 5e-324, -5e-324,
    2.2250738585072014e-308, 2.225073858507201e-308, 1.7976931348623157e308, -1.7976931348623157e308,
    1e-300, 1e300, 1.0 + 2.0**-52, 1.0 - 2.0**-53, 0.5, 2.0, 1e-5, 1.0 + 1e-5, 1.0 - 1e-5, 1e5, 2.0**53,
    from_bits(NAN_PAYLOAD), from_bits(SIGNALLING_NAN), 1e8, 1e12, 1.0 + 2.0**-40, 1.0 + 2.0**-39,
]
BIG_INTS = [2**53 + 1, 2**63, -(2**63) - 1, 2**64, 2**1023, 2**1024 - 2**970 - 1, 2**1024 - 2**970, 2**1024,
            -(2**1024), 10**400, -(10**400), 10**20]
HUGE_LENGTHS = [2**40, 2**59, 2**60 - 1, 2**60, 2**61, 2**62, sys.maxsize, 2**63, 2**64, -1, -(2**63)]
if os.environ.get("KELVORA_SANITIZER"):
    # Up to 2^60 - 1 doubles (a vector's max_size) the allocation is
    # attempted, and AddressSanitizer aborts on its failure instead of
    # throwing bad_alloc: only the lengths refused before allocating stay.
    HUGE_LENGTHS = [n for n in HUGE_LENGTHS if not 0 <= n <= 2**60 - 1]
BAD_NAMES = ["x", "Re", "RSTAR", "rstar ", " l", "L", "lens", "é", "\udcff", "", "self", "kwargs", "_",
             "bl", "bf", "r", "l", "re", "rstar"]
MESSAGES = ["x", "", "elliprj: Fail to converge", "argument 'l': not from kelvora", "ünïcødé ✓", "m" * 80,
            "two\nlines"]
DOMAINS = {"l": "sep", "bl": "ring", "bf": "weight", "re": "einstein", "rstar": "radius", "r": "ring"}
FUNCTION_WEIGHTS = [
    (20, "witt_mao_magnification"),
    (12, "integrated_witt_mao_magnification"),
    (2, "integrated_heyrovsky_magnification"),
    (12, "integrated_flux_map_witt_mao_magnification"),
    (2, "integrated_flux_map_heyrovsky_magnification"),
    (16, "discrete_flux_map_heyrovsky_magnification"),
    (16, "heyrovsky_magnification"),
]
FAST_FUNCTIONS = sorted(set(FUNCTIONS) - HEAVY)


def real(src, domain, near=()):
    kind = src.pick([(50, "domain"), (10, "near"), (12, "special"), (8, "wide"), (5, "any"), (5, "small_int")])
    if kind == "near" and not near:
        kind = "domain"
    if kind == "special":
        return src.pick([(1, v) for v in SPECIAL_FLOATS])
    if kind == "wide":
        return src.pick([(1, 1.0), (1, -1.0)]) * 10.0 ** src.uniform(-320.0, 308.0)
    if kind == "any":
        return src.anyfloat()
    if kind == "small_int":
        return float(src.integer(-3, 10))
    if kind == "near":
        base = src.pick([(1, v) for v in near])
        step = src.pick([(3, 0.0), (2, 1e-5), (2, -1e-5), (4, 10.0 ** src.uniform(-13.0, -3.0)),
                         (4, -(10.0 ** src.uniform(-13.0, -3.0)))])
        return base + step
    if domain == "sep":
        if src.chance(0.25):
            return 1.0 + src.pick([(1, 1.0), (1, -1.0)]) * 10.0 ** src.uniform(-13.0, -3.0)
        return src.uniform(0.0, 3.0)
    if domain == "radius":
        return 10.0 ** (src.uniform(-6.0, 13.0) if src.chance(0.1) else src.uniform(-3.0, 1.0))
    if domain == "einstein":
        return 1.0 if src.chance(0.5) else 10.0 ** src.uniform(-1.0, 1.0)
    if domain == "ring":
        return src.uniform(0.0, 1.2)
    return src.uniform(0.0, 1.0)


def exception_node(src, chained=True):
    kind = src.pick([(6, "TypeError"), (2, "MyTypeError"), (3, "ValueError"), (2, "MyError"), (1, "MyBase"),
                     (1, "OverflowError"), (1, "ZeroDivisionError"), (1, "MemoryError"), (2, "StopIteration"),
                     (1, "MyStopIteration"), (1, "KeyboardInterrupt"), (1, "SystemExit"), (1, "GeneratorExit"),
                     (2, "RuntimeError"), (1, "RecursionError"), (1, "IndexError"), (1, "DeprecationWarning"),
                     (2, "Panic"), (1, "PanicSub"), (1, "PanicUnprintable")])
    msg = src.pick([(1, m) for m in MESSAGES])
    cause = context = None
    from_none = False
    if chained:
        if src.chance(0.2):
            cause = exception_node(src, chained=False)
        if src.chance(0.15):
            context = exception_node(src, chained=False)
        from_none = src.chance(0.08)
    return ["exc", kind, msg, cause, context, from_none]


def number_node(src, v):
    """``v`` in one of the forms that convert to it (or near it)."""
    finite = math.isfinite(v)
    form = src.pick([(40, "f"), (4, "int"), (2, "bool"), (3, "fsub"), (3, "np64"), (2, "np32"), (1, "np16"),
                     (1, "longdouble"), (2, "npint"), (1, "npbool"), (2, "frac"), (2, "dec"), (3, "hasfloat"),
                     (3, "hasindex"), (1, "both"), (1, "isub"), (2, "bigint")])
    if form == "int":
        return ["i", int(v) if finite and abs(v) < 2.0**80 else src.integer(-5, 5)]
    if form == "bool":
        return ["b", src.chance(0.5)]
    if form == "fsub":
        return ["fsub", bits_of(v)]
    if form in ("np64", "np32", "np16", "longdouble"):
        dtype = {"np64": "float64", "np32": "float32", "np16": "float16", "longdouble": "longdouble"}[form]
        return ["np", dtype, bits_of(v)]
    if form == "npint":
        dtype = src.pick([(3, "int64"), (1, "uint8"), (1, "int32")])
        lo, hi = {"int64": (-(2**63), 2**63 - 1), "uint8": (0, 255), "int32": (-(2**31), 2**31 - 1)}[dtype]
        n = int(v) if finite and lo <= v <= hi else src.integer(0, 100)
        return ["np", dtype, min(max(n, lo), hi)]
    if form == "npbool":
        return ["np", "bool", src.chance(0.5)]
    if form == "frac":
        if not finite:
            return ["frac", 1, 3]
        f = Fraction(v)
        return ["frac", f.numerator, f.denominator]
    if form == "dec":
        return ["dec", repr(v) if not src.chance(0.05) else "sNaN"]
    if form == "hasfloat":
        return ["hasfloat", ["f", bits_of(v)]]
    if form == "hasindex":
        return ["hasindex", ["i", int(v) if finite and abs(v) < 2.0**80 else src.integer(-5, 5)]]
    if form == "both":
        return ["both", ["f", bits_of(v)], ["i", src.integer(-5, 5)]]
    if form == "isub":
        return ["isub", int(v) if finite and abs(v) < 2.0**80 else 2]
    if form == "bigint":
        return ["i", src.pick([(1, n) for n in BIG_INTS])]
    return ["f", bits_of(v)]


def bad_node(src, depth, scalar_only=False):
    options = [(2, "str"), (1, "strnum"), (1, "bytes"), (2, "none"), (1, "cplx"), (1, "obj"), (1, "ellipsis"),
               (3, "hasfloat_bad"), (3, "hasindex_bad"), (7, "raise"), (3, "mutate"), (1, "npcplx"),
               (1, "npstr"), (1, "typeobj"), (1, "bigint"), (1, "gc")]
    if depth == 0:
        options.append((3, "reenter"))
    if not scalar_only:
        options.append((1, "listitem"))
    kind = src.pick(options)
    if kind == "str":
        return ["str", src.pick([(1, "x"), (1, "0.5"), (1, ""), (1, "nan")])]
    if kind == "strnum":
        return ["strsub", "1.5"]
    if kind == "bytes":
        return ["bytes", "3031"]
    if kind == "none":
        return ["none"]
    if kind == "cplx":
        return ["cplx", bits_of(1.0), bits_of(src.pick([(1, 0.0), (1, 2.0)]))]
    if kind == "obj":
        return ["obj"]
    if kind == "ellipsis":
        return ["ellipsis"]
    if kind == "hasfloat_bad":
        ret = src.pick([(2, ["i", 1]), (1, ["str", "0.5"]), (1, ["none"]), (2, ["np", "float64", bits_of(0.5)]),
                        (1, ["fsub", bits_of(0.25)]), (1, ["isub", 3]), (1, ["b", True])])
        return ["hasfloat", ret]
    if kind == "hasindex_bad":
        ret = src.pick([(2, ["f", bits_of(0.5)]), (1, ["b", True]), (1, ["isub", 5]), (1, ["none"]),
                        (1, ["i", 10**400]), (1, ["i", -(2**1100)])])
        return ["hasindex", ret]
    if kind == "raise":
        return ["raise", src.pick([(3, "float"), (1, "index")]), exception_node(src)]
    if kind == "mutate":
        action = src.pick([(3, "append"), (1, "append_self"), (2, "clear"), (2, "pop"), (2, "set_last"),
                           (1, "insert0"), (1, "del0"), (1, "extend")])
        return ["mutate", src.integer(0, 6), action, bits_of(real(src, "sep"))]
    if kind == "npcplx":
        return ["np", "complex128", [bits_of(1.0), bits_of(src.pick([(1, 0.0), (1, 1.0)]))]]
    if kind == "npstr":
        return ["np", "str", "0.5"]
    if kind == "typeobj":
        return ["typeobj", src.pick([(1, "float"), (1, "list"), (1, "int")])]
    if kind == "bigint":
        return ["i", src.pick([(1, 10**400), (1, -(2**1024)), (1, 2**1024 - 2**970)])]
    if kind == "listitem":
        return ["list", [["f", bits_of(0.5)]]]
    if kind == "gc":
        return ["gc", bits_of(real(src, "sep")), src.pick([(4, 0), (1, 2)])]
    # reenter
    inner = gen_case(src, fns=FAST_FUNCTIONS, pbad=src.pick([(3, 0.0), (1, 0.2)]), depth=depth + 1)
    return ["reenter", inner, src.pick([(2, "value"), (2, "propagate"), (1, "swallow")])]


def item_node(src, domain, pbad, depth, near=(), scalar_only=False):
    if pbad and src.chance(pbad):
        return bad_node(src, depth, scalar_only)
    return number_node(src, real(src, domain, near))


def seq_length(src, fn, param):
    if fn in HEAVY and param == "l":
        return src.pick([(2, 0), (5, 1), (4, 2)])
    if param in ("bl", "bf"):
        return src.integer(0, 6)
    return src.pick([(30, src.integer(0, 3)), (50, src.integer(0, 8)), (5, src.integer(9, 40))])


def long_seq_node(src, fn):
    """Many plain separations in a list, a tuple or a float64 array."""
    n = src.integer(100, 3000 if fn in ("witt_mao_magnification", "discrete_flux_map_heyrovsky_magnification")
                    else 400)
    lo, hi = src.pick([(3, (0.0, 3.0)), (1, (0.999, 1.001)), (1, (0.0, 100.0))])
    raw = [bits_of(src.uniform(lo, hi)) for _ in range(n)]
    for _ in range(src.integer(0, 2)):
        raw[src.integer(0, n - 1)] = bits_of(src.pick([(1, v) for v in SPECIAL_FLOATS]))
    kind = src.pick([(2, "list"), (1, "tuple"), (2, "nd")])
    if kind == "nd":
        return ["nd", "f8", raw, src.pick([(3, "c"), (1, "step2"), (1, "rev")])]
    return [kind, [["f", b] for b in raw]]


def seq_node(src, fn, param, pbad, depth, n, near=()):
    domain = DOMAINS[param]

    def items(k, scalar_only=False):
        return [item_node(src, domain, pbad, depth, near, scalar_only) for _ in range(k)]

    def floats(k):
        return [bits_of(real(src, domain, near)) for _ in range(k)]

    odd = pbad > 0
    kind = src.pick([(40, "list"), (10, "tuple"), (14, "nd"), (3, "range"), (3, "deque"), (3, "array"), (3, "mv"),
                     (2, "bytes"), (2, "bytearray"), (3, "listsub"), (1, "tuplesub"), (5, "seq"), (2, "legacy"),
                     (1, "legacy_nolen"), (3 if odd else 0, "nonseq"), (1 if odd else 0, "str"),
                     (1 if odd else 0, "scalar")])
    if kind == "list" and odd and src.chance(0.25):
        return ["list", items(n), "loose"]
    if kind in ("list", "tuple", "deque", "tuplesub"):
        return [kind, items(n)]
    if kind == "listsub":
        return ["listsub", items(n), src.chance(0.3)]
    if kind == "nd":
        dtype = src.pick([(10, "f8"), (2, "f4"), (1, "f2"), (2, ">f8"), (1, "<f8"), (1, ">f4"), (2, "i8"),
                          (1, "u1"), (1, "?"), (3, "O"), (1 if odd else 0, "c16"), (1 if odd else 0, "U"),
                          (1 if odd else 0, "M8[s]")])
        layout = src.pick([(8, "c"), (2, "step2"), (2, "rev"), (1, "col"), (1, "row"), (1, "grid"),
                           (1, "fortran"), (1, "readonly"), (1 if odd else 0, "zero_d"), (1, "masked"),
                           (1, "sub"), (1, "strided_col")])
        if dtype == "O":
            raw = items(n, scalar_only=True)
        elif dtype in ("f8", "f4", "f2", ">f8", "<f8", ">f4"):
            raw = floats(n)
        elif dtype == "i8":
            raw = [src.integer(-(2**63), 2**63 - 1) if src.chance(0.1) else src.integer(-2, 5) for _ in range(n)]
        elif dtype == "u1":
            raw = [src.integer(0, 255) for _ in range(n)]
        elif dtype == "?":
            raw = [src.chance(0.5) for _ in range(n)]
        elif dtype == "c16":
            raw = [[bits_of(real(src, domain)), bits_of(0.0)] for _ in range(n)]
        elif dtype == "U":
            raw = ["0.5"] * n
        else:
            raw = [src.integer(0, 10) for _ in range(n)]
        return ["nd", dtype, raw, layout]
    if kind == "range":
        start = src.pick([(6, src.integer(-3, 10)), (1, 10**20), (1, 2**1100)])
        step = src.pick([(4, 1), (1, 2), (1, -1), (1, 3)])
        return ["range", start, start + step * n, step]
    if kind == "array":
        code = src.pick([(4, "d"), (1, "f"), (1, "i"), (1, "q"), (1, "b"), (1, "B"), (1 if odd else 0, "w")])
        if code in "fd":
            raw = floats(n)
            if code == "f":
                raw = [bits_of(float(np.float32(from_bits(b)))) if math.isfinite(from_bits(b))
                       and abs(from_bits(b)) < 3e38 else bits_of(0.5) for b in raw]
        elif code == "w":
            raw = "".join(src.pick([(1, "a"), (1, "1")]) for _ in range(n))
        else:
            lo, hi = {"i": (-(2**31), 2**31 - 1), "q": (-(2**63), 2**63 - 1), "b": (-128, 127), "B": (0, 255)}[code]
            raw = [src.integer(lo, hi) if src.chance(0.2) else src.integer(max(lo, -2), 5) for _ in range(n)]
        return ["array", code, raw]
    if kind == "mv":
        mv = src.pick([(2, "bytes"), (1, "bytearray"), (3, "d"), (1, "d_step"), (1, "d_2d"), (1, "f"), (1, "q"),
                       (1 if odd else 0, "released")])
        if mv in ("bytes", "bytearray"):
            return ["mv", mv, "".join(f"{src.integer(0, 255):02x}" for _ in range(n))]
        if mv in ("d", "d_step", "d_2d"):
            return ["mv", mv, floats(2 * n if mv != "d" else n)]
        if mv == "f":
            return ["mv", "f", [bits_of(0.5 * src.integer(0, 6)) for _ in range(n)]]
        if mv == "q":
            return ["mv", "q", [src.integer(-5, 5) for _ in range(n)]]
        return ["mv", "released", []]
    if kind in ("bytes", "bytearray"):
        return [kind, "".join(f"{src.integer(0, 255):02x}" for _ in range(n))]
    if kind in ("seq", "legacy"):
        len_how = src.pick([(5, ["true"]), (3, ["n", src.integer(0, n + 3)]),
                            (1, ["n", src.pick([(1, h) for h in HUGE_LENGTHS])]),
                            (2 if odd else 0, ["raise", exception_node(src)]),
                            (1, ["ret", src.pick([(1, ["f", bits_of(2.0)]), (1, ["str", "3"]), (1, ["none"]),
                                                  (1, ["isub", 2]), (1, ["b", True]), (1, ["i", 10**30])])])])
        if kind == "legacy":
            fails = odd and src.chance(0.3)
            return ["legacy", items(n), len_how, src.integer(0, n), exception_node(src) if fails else None]
        iter_how = src.pick([(5, ["gen"]), (2, ["genfunc"]),
                             (1 if odd else 0, ["genfunc_raise", exception_node(src)]),
                             (2 if odd else 0, ["next_raise", src.integer(0, n), exception_node(src)]),
                             (2 if odd else 0, ["iter_raise", exception_node(src)]),
                             (1 if odd else 0, ["iter_ret", src.pick([(1, ["i", 5]), (1, ["list", []]),
                                                                    (1, ["none"])])])])
        return ["seq", items(n), len_how, iter_how]
    if kind == "legacy_nolen":
        return ["legacy_nolen", items(n)]
    if kind == "nonseq":
        which = src.pick([(2, "dict"), (1, "mapping"), (1, "set"), (1, "frozenset"), (2, "gen"), (1, "listiter"),
                          (1, "keys"), (1, "iteronly"), (1, "inner"), (1, "none"), (1, "ellipsis"), (1, "typeobj")])
        if which in ("dict", "gen", "listiter", "iteronly"):
            return [which, items(min(n, 3))]
        if which in ("set", "frozenset"):
            return [which, floats(min(n, 3))]
        if which == "keys":
            return ["keys", n]
        if which == "typeobj":
            return ["typeobj", src.pick([(1, "float"), (1, "list")])]
        return [which]
    if kind == "str":
        return src.pick([(2, ["str", src.pick([(1, ""), (1, "0.5"), (1, "ab")])]), (1, ["strsub", "1"])])
    return number_node(src, real(src, domain))


def real_param_node(src, param, pbad, depth, near=()):
    if pbad and src.chance(pbad):
        if src.chance(0.15):
            return ["list", [["f", bits_of(1.0)]]]
        return bad_node(src, depth, scalar_only=True)
    return number_node(src, real(src, DOMAINS[param], near))


def gen_case(src, fns=None, pbad=None, depth=0, binding=0.15, vectorcall=0.1, weights=None):
    """One case: a function, its arguments bound in some order, perhaps badly."""
    if fns is not None:
        weights = [(1, f) for f in fns]
    fn = src.pick(weights or FUNCTION_WEIGHTS)
    params = FUNCTIONS[fn]
    if pbad is None:
        pbad = src.pick([(5, 0.0), (3, 0.03), (2, 0.15), (1, 0.5)])
    table = src.integer(0, 6)
    values = {}
    near = []
    for param, kind in zip(params, kinds(fn)):
        if fn == SCALAR and param == "l" and src.chance(0.4):
            near = [real(src, "ring")]
        if kind == "seq":
            if param == "l" and depth == 0 and fn not in HEAVY and src.chance(0.01):
                values[param] = long_seq_node(src, fn)
                continue
            if param == "l":
                n = seq_length(src, fn, "l")
            else:
                n = table if param == "bl" or src.chance(0.9) else src.integer(0, 6)
            values[param] = seq_node(src, fn, param, pbad, depth, n, near if param == "l" else ())
        else:
            values[param] = real_param_node(src, param, pbad, depth, near if param == "l" else ())
    if fn == SCALAR and near:
        values["r"] = ["f", bits_of(near[0])]
    k = src.integer(0, len(params))
    pos = [values[p] for p in params[:k]]
    rest = list(params[k:])
    kw = []
    while rest:
        kw.append([rest.pop(src.integer(0, len(rest) - 1)), None])
    for entry in kw:
        entry[1] = values[entry[0]]
    via = "vectorcall" if src.chance(vectorcall) else "call"
    if binding and src.chance(binding):
        for _ in range(src.integer(1, 2)):
            how = src.pick([(3, "missing"), (2, "surplus"), (2, "duplicate"), (3, "unknown"), (1, "dup_kw")])
            if how == "missing":
                if kw and src.chance(0.6):
                    kw.pop(src.integer(0, len(kw) - 1))
                elif pos:
                    pos.pop()
            elif how == "surplus":
                pos.extend(["f", bits_of(real(src, "sep"))] for _ in range(src.integer(1, 2)))
            elif how == "duplicate" and k:
                name = params[src.integer(0, k - 1)]
                kw.insert(src.integer(0, len(kw)), [name, ["f", bits_of(1.0)]])
            elif how == "unknown":
                name = src.pick([(1, n) for n in BAD_NAMES])
                kw.insert(src.integer(0, len(kw)), [name, ["f", bits_of(0.5)]])
            elif how == "dup_kw" and kw:
                name = kw[src.integer(0, len(kw) - 1)][0]
                kw.insert(src.integer(0, len(kw)), [name, ["f", bits_of(2.0)]])
                via = "vectorcall"
    names = [n for n, _ in kw]
    if len(set(names)) != len(names):
        via = "vectorcall"
    warn = src.pick([(6, "ignore"), (2, "record"), (2, "error")])
    case = {"fn": fn, "pos": pos, "kw": kw, "via": via, "warn": warn}
    if depth == 0 and src.chance(0.1):
        case["handling"] = True
    if kw and src.chance(0.05):
        case["kwsub"] = True
    return case


def seeded_case(seed, index, **profile):
    return gen_case(RandomSource(random.Random(f"{seed}:{index}")), **profile)


# -- batches ---------------------------------------------------------------------------------------


def describe(ctx, case):
    """A readable reproducer: the call written out with the argument objects."""
    try:
        build = Build(ctx)
        pos, kw = build.arguments(case)
        args = ", ".join([repr(a) for a in pos] + [f"{n}={v!r}" for n, v in kw])
        text = f"kelvora.{case['fn']}({args})"
    except BaseException as exc:  # noqa: BLE001
        text = f"<arguments could not be shown: {type(exc).__name__}: {exc}>"
    return text if len(text) <= 4000 else text[:3997] + "..."


def failure_record(ctx, case, where, problems):
    record = {"fn": case["fn"], "call": describe(ctx, case), "via": case.get("via"), "warn": case.get("warn"),
              "problems": problems, "case": case}
    record["reproduce"] = rerun_command(__file__, kelvora, where, case)
    record.update(where)
    return record


class Batch:
    def __init__(self, ctx, state_path=None, elementwise=True, verbose=False, max_failures=50):
        self.ctx, self.elementwise, self.verbose, self.max_failures = ctx, elementwise, verbose, max_failures
        self.state_fd = os.open(state_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644) if state_path else None
        self.cases = 0
        self.outcomes = collections.Counter()
        self.kinds = collections.Counter()
        self.failures = []
        self.failed = 0

    def run(self, case, where):
        if self.state_fd is not None:
            data = json.dumps({"where": where, "case": case}).encode()
            os.pwrite(self.state_fd, data, 0)
            os.ftruncate(self.state_fd, len(data))
        try:
            result = run_case(self.ctx, case, self.elementwise)
        except Exception as exc:  # noqa: BLE001 - a fault of the checks is a failure too
            import traceback

            result = CaseResult("harness-error", "harness-error",
                                [f"the checks themselves failed: {''.join(traceback.format_exception(exc))}"])
        self.cases += 1
        self.outcomes[result.label] += 1
        self.kinds[result.how] += 1
        if self.verbose:
            print(json.dumps({"where": where, "call": describe(self.ctx, case), "outcome": result.label,
                              "how": result.how, "problems": result.problems}), file=sys.stderr)
        if result.problems:
            self.failed += 1
            if len(self.failures) < self.max_failures:
                self.failures.append(failure_record(self.ctx, case, where, result.problems))

    def report(self, elapsed):
        return {"cases": self.cases, "calls": self.ctx.calls, "outcomes": dict(self.outcomes),
                "kinds": dict(self.kinds), "failed": self.failed, "failures": self.failures,
                "elapsed": elapsed}


def child_main(argv=None):
    argv = sys.argv[1:] if argv is None else list(argv)
    # No abbreviated options: --isolated must be recognised exactly to be left out of the inner run.
    parser = argparse.ArgumentParser(description="Run a batch of kelvora cases and report as JSON.",
                                     allow_abbrev=False)
    parser.add_argument("--seed", type=int)
    parser.add_argument("--start", type=int, default=0)
    parser.add_argument("--count", type=int, default=1000)
    parser.add_argument("--cases", help="a JSON file with a list of cases ('-' for standard input)")
    parser.add_argument("--case", help="one case as JSON")
    parser.add_argument("--state", help="file rewritten with the current case before each call")
    parser.add_argument("--expect-module", help="the kelvora file the parent imported")
    parser.add_argument("--no-elementwise", action="store_true")
    parser.add_argument("--heavy-weight", type=int, help="weight of each of the two slow functions")
    parser.add_argument("--allow-abort", action="store_true", help=argparse.SUPPRESS)
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

    if args.expect_module and not os.path.samefile(args.expect_module, kelvora.__file__):
        print(f"child imported {kelvora.__file__}, parent {args.expect_module}", file=sys.stderr)
        return 3
    ctx = Context()
    ctx.allow_abort = args.allow_abort
    try:
        import stat

        if stat.S_ISREG(os.fstat(2).st_mode):
            ctx.stderr_fd = 2
    except OSError:
        pass
    ctx.calls = 0
    batch = Batch(ctx, args.state, elementwise=not args.no_elementwise, verbose=args.verbose)
    weights = [(args.heavy_weight if f in HEAVY and args.heavy_weight is not None else w, f)
               for w, f in FUNCTION_WEIGHTS]
    started = time.perf_counter()
    if args.case is not None:
        batch.run(json.loads(args.case), {"case": 0})
    elif args.cases is not None:
        with (sys.stdin if args.cases == "-" else open(args.cases)) as fh:
            cases = json.load(fh)
        for i, case in enumerate(cases):
            batch.run(case, {"case": i})
    else:
        if args.seed is None:
            parser.error("give --seed, --cases or --case")
        for index in range(args.start, args.start + args.count):
            batch.run(seeded_case(args.seed, index, weights=weights), {"seed": args.seed, "index": index})
    report = batch.report(time.perf_counter() - started)
    sys.stdout.write(json.dumps(report) + "\n")
    sys.stdout.flush()
    return 0


def run_in_child(child_args, timeout=600.0):
    """Run a batch in a fresh interpreter; a crash or hang is reported with the
    case it happened on (and its function) and the end of the child's
    standard error."""
    report = run_batch_in_child(__file__, kelvora, child_args, timeout)
    crash = report.get("crash")
    if crash is not None and "case" in crash:
        crash["fn"] = crash["case"]["fn"]
    return report


if __name__ == "__main__":
    sys.exit(child_main())
