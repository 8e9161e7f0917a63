"""Long randomised run of kelvora_fspl.magnification in child processes.

    .venv/bin/python tools/fuzz_fspl_long.py --calls 200000 --jobs 2

Every generated case (arguments of every kind: scalars, nested lists, numpy
arrays of every dtype and stride, objects with __float__ or __index__, NaN,
infinities, extreme magnitudes; valid and invalid laws and coefficients) is
checked as the suite's fuzz tests check it (tests/python/_fspl_fuzz_child.py):
the exception kind against a model of the arguments, a float64 result of the
broadcast shape, finite and >= 1 wherever the inputs are valid, NaN only where
u is NaN, nothing left set, and a normal next call.  Batches run in fresh
interpreters, --jobs at a time; case i of seed S depends on (S, i) alone, and a
crash or hang is reported with its case and a command that reruns it.  The
exit status is 1 when anything failed.

This tool imports nothing of the test suite.  Each batch is the fuzz child
run as a script by its path, ``python tests/python/_fspl_fuzz_child.py
--seed S --start i --count n --isolated``: with ``--isolated`` the child runs
the batch in a further interpreter of its own and prints one JSON line, that
interpreter's report or ``{"crash": ...}`` with the case a crash or hang
happened on.  The child finds its helpers (``_support.py``) beside it, since
Python puts a script's own directory on its path.  kelvora_fspl is the one
this interpreter imports (the installed one, as a rule).
"""

import argparse
import collections
import json
import os
import sys
import time
from concurrent.futures import ThreadPoolExecutor

from _fuzz_batch import run_batch  # beside this script

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CHILD = os.path.join(ROOT, "tests", "python", "_fspl_fuzz_child.py")
TIMEOUT = 3600  # seconds per batch


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--calls", type=int, default=200_000)
    parser.add_argument("--batch", type=int, default=10_000)
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()

    starts = range(0, args.calls, args.batch)
    began = time.perf_counter()

    def batch(start: int) -> dict:
        count = min(args.batch, args.calls - start)
        return run_batch(CHILD, ["--seed", str(args.seed), "--start", str(start), "--count", str(count)], TIMEOUT)

    outcomes: collections.Counter = collections.Counter()
    cases = failed = crashes = 0
    with ThreadPoolExecutor(args.jobs) as pool:
        for report in pool.map(batch, starts):
            if "crash" in report:
                crashes += 1
                print("CRASH", json.dumps(report["crash"])[:2000])
                continue
            cases += report["cases"]
            failed += report["failed"]
            outcomes.update(report["outcomes"])
            for failure in report["failures"]:
                print("FAILED", failure["call"][:500], failure["problems"], failure["reproduce"])
    elapsed = time.perf_counter() - began
    print(f"{cases} cases in {elapsed:.0f} s, seed {args.seed}: {dict(sorted(outcomes.items()))}; "
          f"{failed} failed, {crashes} crashed batches")
    return 1 if failed or crashes else 0


if __name__ == "__main__":
    sys.exit(main())
