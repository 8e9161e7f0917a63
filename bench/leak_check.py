"""Resident memory, traced memory and reference counts over a million mixed calls.

Usage:  .venv/bin/python bench/leak_check.py [--calls 1000000]

Every function of the module is called, succeeding and failing in every way
the module can fail (argument errors, conversion errors renamed or passed
through, numeric failures, internal faults).  After a warm-up the script
measures, over the main run, the growth of the resident set (/proc/self/statm),
of the memory traced by tracemalloc, and of the reference counts of every
argument object; it exits with status 1 if the resident set grows by 1 MiB
or more, the traced memory by more than 64 KiB, or any reference count
changes.  The internal faults' reports go to /dev/null.
"""

import argparse
import gc
import os
import sys
import time
import tracemalloc

import kelvora

RSS_LIMIT = 1 << 20
TRACED_LIMIT = 64 << 10


class RaisesValueError:
    def __float__(self):
        raise ValueError("passes through")


class Renamed:
    def __float__(self):
        raise TypeError("renamed with the parameter's name")


class LenRaises(list):
    def __len__(self):
        raise RuntimeError("ignored")


class HugeLength:
    def __len__(self):
        return sys.maxsize

    def __getitem__(self, index):
        raise AssertionError

    def __iter__(self):
        raise AssertionError


def operations():
    o = {
        "l": [0.0, 0.5, 1.0, 2.0],
        "short": [2.5],
        "bl": [0.0, 0.5, 1.0],
        "bf": [1.0, 0.8, 0.4],
        "bad": [0.5, "x"],
        "value_error": RaisesValueError(),
        "renamed": Renamed(),
        "len_raises": LenRaises([0.5, 1.5]),
        "huge_int": 10**400,
        "failing_l": [0.5, 1.0 + 2.0**-40],
        "huge": HugeLength(),
        "far": 1e4 + 1.1e-5,
    }
    k = kelvora
    ops = [
        lambda: k.witt_mao_magnification(o["l"], 1.0, 0.1),
        lambda: k.witt_mao_magnification(rstar=0.1, re=1.0, l=o["len_raises"]),
        lambda: k.integrated_witt_mao_magnification(o["l"], 1.0, 0.1),
        lambda: k.integrated_flux_map_witt_mao_magnification(o["l"], 1.0, 0.1, o["bl"], o["bf"]),
        lambda: k.heyrovsky_magnification(0.7, 0.5, 1.0, 0.1),
        lambda: k.heyrovsky_magnification(o["far"], 1e4, 1.0, 1.0),  # RuntimeError
        lambda: k.discrete_flux_map_heyrovsky_magnification(o["l"], 1.0, 0.1, o["bl"], o["bf"]),
        lambda: k.integrated_heyrovsky_magnification([], 1.0, 0.1),
        lambda: k.integrated_flux_map_heyrovsky_magnification([], 1.0, 0.1, o["bl"], o["bf"]),
        lambda: k.witt_mao_magnification(o["l"], 1.0),  # TypeError: missing
        lambda: k.witt_mao_magnification(o["l"], 1.0, 0.1, 2.0),  # TypeError: too many
        lambda: k.witt_mao_magnification(o["l"], 1.0, rstar=0.1, bogus=1),  # TypeError: unexpected
        lambda: k.witt_mao_magnification(o["bad"], 1.0, 0.1),  # TypeError: renamed
        lambda: k.witt_mao_magnification("text", 1.0, 0.1),  # TypeError: str
        lambda: k.witt_mao_magnification(5, 1.0, 0.1),  # TypeError: not a sequence
        lambda: k.heyrovsky_magnification(0.5, o["renamed"], 1.0, 1.0),  # TypeError: renamed
        lambda: k.heyrovsky_magnification(0.5, o["value_error"], 1.0, 1.0),  # ValueError
        lambda: k.witt_mao_magnification(o["l"], o["huge_int"], 0.1),  # OverflowError
        lambda: k.witt_mao_magnification(o["failing_l"], 1.0, 1e8),  # RuntimeError
        lambda: k.integrated_flux_map_witt_mao_magnification(o["failing_l"], 1.0, 1e8, o["bl"], o["bf"]),
        lambda: k.discrete_flux_map_heyrovsky_magnification(o["l"], 1.0, 0.1, o["bl"], o["short"]),  # fault
        lambda: k.witt_mao_magnification(o["huge"], 1.0, 0.1),  # fault: capacity overflow
    ]
    return ops, list(o.values())


def run(ops, calls):
    counts = {}
    n = len(ops)
    for i in range(calls):
        try:
            ops[i % n]()
            kind = "ok"
        except BaseException as exc:  # noqa: BLE001
            kind = type(exc).__name__
        counts[kind] = counts.get(kind, 0) + 1
    return counts


def rss():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=1_000_000)
    args = parser.parse_args()

    ops, objects = operations()
    sys.stderr.flush()
    devnull = os.open(os.devnull, os.O_WRONLY)
    saved = os.dup(2)
    os.dup2(devnull, 2)
    try:
        run(ops, 50_000)  # warm-up: caches, free lists, the exception type
        gc.collect()
        tracemalloc.start()
        refs0 = [sys.getrefcount(x) for x in objects]
        traced0 = tracemalloc.get_traced_memory()[0]
        rss0 = rss()
        started = time.perf_counter()
        counts = run(ops, args.calls)
        elapsed = time.perf_counter() - started
        gc.collect()
        rss1 = rss()
        traced1 = tracemalloc.get_traced_memory()[0]
        refs1 = [sys.getrefcount(x) for x in objects]
        tracemalloc.stop()
    finally:
        os.dup2(saved, 2)
        os.close(saved)
        os.close(devnull)

    ref_changes = [b - a for a, b in zip(refs0, refs1)]
    print(f"calls: {args.calls} in {elapsed:.1f} s; outcomes: {dict(sorted(counts.items()))}")
    print(f"resident set growth: {rss1 - rss0} bytes")
    print(f"traced memory growth: {traced1 - traced0} bytes")
    print(f"argument reference count changes: {ref_changes}")
    print(f"exception left set: {sys.exc_info() != (None, None, None)}")
    ok = (rss1 - rss0 < RSS_LIMIT and traced1 - traced0 <= TRACED_LIMIT and not any(ref_changes)
          and sys.exc_info() == (None, None, None))
    print("flat" if ok else "NOT FLAT")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
