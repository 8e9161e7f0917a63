"""Reference-leak hunting in the manner of CPython's ``regrtest -R``.

``--refleaks=WARMUP:REPEAT`` (a debug build of CPython, which keeps
``sys.gettotalrefcount``) calls every test function WARMUP times to fill the
caches it fills once, reads the interpreter's total reference count and its
number of allocated memory blocks, then calls it REPEAT more times, reading
both after each call.  Before every reading the interpreter's own caches are
cleared and the cycle collector runs, as regrtest does.  As regrtest judges,
a test fails when either count grows in every one of the REPEAT calls: a
call that keeps a reference or a block behind moves it every time, while a
single move followed by none ([2, 0, 0]) is a cache filled late.  The
summary prints the largest delta of each module, whatever its pattern.

Fixtures are made once per test and shared by its calls.  Tests that measure
memory in other ways (marker ``leak``), build packages (``packaging``) or do
their work in child processes (``no_refleak_repeat``) run once, as usual.

``--refleaks-report=PATH`` writes the per-module totals as JSON; the terminal
summary prints them.

One leak is not ours and is taken out: numpy 2's ``_array_converter`` (behind
``linspace``, ``where``, ``round`` and others) adds one to the debug
interpreter's reference total each time one is made, with no block and no
object's count changing (measured: exactly 1.00 per construction, whatever
its arguments).  When that holds at start-up, the constructions are counted
during each call and subtracted from its reference delta; the summary says
how many.
"""

import gc
import json
import linecache
import re
import struct
import sys
import threading
from collections import defaultdict

import pytest

_NOT_REPEATED = ("leak", "packaging", "no_refleak_repeat")


def pytest_addoption(parser):
    group = parser.getgroup("refleaks", "reference-leak hunting (debug builds of CPython)")
    group.addoption("--refleaks", metavar="WARMUP:REPEAT", default=None,
                    help="call each test WARMUP+REPEAT times; the last REPEAT must leave the total "
                         "reference count and the allocated blocks where they were")
    group.addoption("--refleaks-report", metavar="PATH", default=None,
                    help="write the per-module refleak totals to PATH as JSON")


class _ConverterCount:
    """Counts the constructions of numpy's _array_converter, if each adds one
    to the reference total (see the module's docstring)."""

    def __init__(self):
        self.count = 0
        self.per_construction = 0
        try:
            import numpy
            from numpy._core._multiarray_umath import _array_converter as real
        except ImportError:
            return
        for _ in range(3):
            gc.collect()
        before = sys.gettotalrefcount()
        for _ in range(1000):
            real(1.0)
        for _ in range(3):
            gc.collect()
        leak = (sys.gettotalrefcount() - before) / 1000
        if not 0.99 <= leak <= 1.01:
            return
        self.per_construction = 1

        lock = threading.Lock()  # constructions may come from several threads at once

        def counted(*args, **kwargs):
            with lock:
                self.count += 1
            return real(*args, **kwargs)

        for name, module in list(sys.modules.items()):
            if name.startswith("numpy") and getattr(module, "_array_converter", None) is real:
                module._array_converter = counted
        del numpy


class _Hunter:
    def __init__(self, warmup, repeat, report_path):
        self.warmup = warmup
        self.repeat = repeat
        self.report_path = report_path
        self.modules = defaultdict(lambda: {"tests": 0, "calls": 0, "ref_deltas": [], "block_deltas": [],
                                            "once": 0, "numpy_converters": 0})
        self.converters = _ConverterCount()

    @staticmethod
    def _clear_caches():
        re.purge()
        struct._clearcache()
        linecache.clearcache()
        try:
            import typing
            for cleanup in typing._cleanups:
                cleanup()
        except (ImportError, AttributeError):
            pass
        if hasattr(sys, "_clear_internal_caches"):
            sys._clear_internal_caches()
        else:
            sys._clear_type_cache()

    @staticmethod
    def _freeze_the_heap():
        """Moves every object alive before this test into the collector's
        permanent generation (gc.freeze), after one full collection.

        A reading collects three times; on the debug interpreter, with numpy,
        Hypothesis, mpmath and scipy loaded, one full collection takes tens of
        milliseconds, so readings over the whole heap would cost more than the
        tests themselves.  Objects made by the test's own calls stay in the
        young generations and are collected at every reading as before; the
        reference total and the allocated blocks still count every object.
        An older object that became cyclic garbage during the calls would
        stay allocated instead of being freed, which can only hide a change
        of the counts, never make one.  Unfreezing first lets the collector
        reclaim what earlier tests left to it.
        """
        gc.unfreeze()
        gc.collect()
        gc.freeze()

    def _reading(self):
        self._clear_caches()
        for _ in range(3):
            gc.collect()
        return sys.gettotalrefcount(), sys.getallocatedblocks()

    def run(self, item):
        module = self.modules[item.module.__name__]
        if any(item.get_closest_marker(name) for name in _NOT_REPEATED):
            module["once"] += 1
            return None
        function = item.obj
        arguments = {name: item.funcargs[name] for name in item._fixtureinfo.argnames}
        # As regrtest does: every call, warm-up included, goes through the same
        # measuring loop, so the loop's own first-use costs fall in the warm-up;
        # the deltas go into lists made beforehand, and only the last REPEAT
        # are judged.
        total = self.warmup + self.repeat
        self._freeze_the_heap()
        ref_deltas = [0] * total
        block_deltas = [0] * total
        converters = self.converters
        made_before = converters.count
        refs_before, blocks_before = self._reading()
        for i in range(total):
            function(**arguments)
            refs, blocks = self._reading()
            made = converters.count
            ref_deltas[i] = refs - refs_before - converters.per_construction * (made - made_before)
            block_deltas[i] = blocks - blocks_before
            if i >= self.warmup:
                module["numpy_converters"] += converters.per_construction * (made - made_before)
            refs_before, blocks_before, made_before = refs, blocks, made
        del ref_deltas[:self.warmup], block_deltas[:self.warmup]
        module["tests"] += 1
        module["calls"] += self.warmup + self.repeat
        module["ref_deltas"].extend(ref_deltas)
        module["block_deltas"].extend(block_deltas)
        if self.leaks(ref_deltas) or self.leaks(block_deltas):
            pytest.fail(f"{item.nodeid} leaked: reference count deltas {ref_deltas}, "
                        f"allocated block deltas {block_deltas} over {self.repeat} repetitions "
                        f"after {self.warmup} warm-up calls", pytrace=False)
        return True

    @staticmethod
    def leaks(deltas):
        """regrtest's judgement: a leak grows the count in every measured
        repetition ([1, 1, 1], [5, 5, 6]); a count that moves once and then
        stays ([2, 0, 0], [0, 1, 0]) is a cache filled late, for example
        when which of several threads first needs it depends on timing."""
        return all(delta >= 1 for delta in deltas)

    def summary(self):
        rows = {}
        for name, m in sorted(self.modules.items()):
            rows[name] = {
                "tests_repeated": m["tests"],
                "tests_run_once": m["once"],
                "calls": m["calls"],
                "max_abs_ref_delta": max(map(abs, m["ref_deltas"]), default=0),
                "max_abs_block_delta": max(map(abs, m["block_deltas"]), default=0),
                "ref_delta_sum": sum(m["ref_deltas"]),
                "block_delta_sum": sum(m["block_deltas"]),
                "numpy_converter_refs_subtracted": m["numpy_converters"],
            }
        return rows


def pytest_configure(config):
    option = config.getoption("--refleaks")
    config.addinivalue_line("markers", "no_refleak_repeat(reason): run once under --refleaks (work done in "
                                       "child processes, or too long to repeat)")
    if option is None:
        return
    if not hasattr(sys, "gettotalrefcount"):
        raise pytest.UsageError("--refleaks needs a debug build of CPython (sys.gettotalrefcount)")
    warmup, _, repeat = option.partition(":")
    config._kelvora_refleaks = _Hunter(int(warmup), int(repeat), config.getoption("--refleaks-report"))


@pytest.hookimpl(tryfirst=True)
def pytest_pyfunc_call(pyfuncitem):
    hunter = getattr(pyfuncitem.config, "_kelvora_refleaks", None)
    if hunter is None:
        return None
    return hunter.run(pyfuncitem)


def pytest_terminal_summary(terminalreporter, config):
    hunter = getattr(config, "_kelvora_refleaks", None)
    if hunter is None:
        return
    rows = hunter.summary()
    write = terminalreporter.write_line
    terminalreporter.section(f"reference leaks ({hunter.warmup} warm-up + {hunter.repeat} measured calls per test)")
    write(f"{'module':28} {'repeated':>8} {'once':>5} {'calls':>6} {'max|dref|':>9} {'max|dblk|':>9} "
          f"{'numpy conv':>10}")
    for name, r in rows.items():
        write(f"{name:28} {r['tests_repeated']:8d} {r['tests_run_once']:5d} {r['calls']:6d} "
              f"{r['max_abs_ref_delta']:9d} {r['max_abs_block_delta']:9d} "
              f"{r['numpy_converter_refs_subtracted']:10d}")
    write(f"{'total':28} {sum(r['tests_repeated'] for r in rows.values()):8d} "
          f"{sum(r['tests_run_once'] for r in rows.values()):5d} {sum(r['calls'] for r in rows.values()):6d}")
    if hunter.report_path:
        with open(hunter.report_path, "w") as out:
            json.dump({"warmup": hunter.warmup, "repeat": hunter.repeat, "modules": rows}, out, indent=1)
