"""Long randomised run of kelvora: a million generated calls in child processes.

    .venv/bin/python tools/fuzz_long.py --calls 1000000 --jobs 2

Every generated call (one "case": a function, arguments of every kind bound
by position, keyword or vectorcall, a warnings filter) is checked as the
suite's fuzz tests check it (see tests/python/_fuzz_child.py): the exception
and its message, cause and context against a model of binding and
conversion, the caller's own exceptions coming back as the same object, the
bits against the same values given as plain floats (and each entry alone),
reference counts, buffer exports, exceptions left set, output on standard
error, and a normal next call.  Besides the generated calls the checks make
reference calls of their own; both counts are printed.

Batches of ``--batch`` cases run in fresh interpreters, ``--jobs`` at a time.
Case ``i`` of seed ``S`` depends on ``(S, i)`` alone; a crash or a hang ends
its child, is reported with the case it happened on, and the batch resumes
after it.  Each failure is printed with a command that reruns just that case.

Options: ``--seed`` (default 1), ``--batch`` (default 25000), ``--build``
(the directory holding the extension, default build/dev), ``--timeout``
(seconds per batch), ``--heavy-weight`` (relative weight of each of the two
slow integrated Heyrovsky functions, default 1 of about 80), ``--json FILE``
(the full summary as JSON).  The exit status is 1 when anything failed, 2
when kelvora cannot be imported from the build directory.

This tool imports nothing of the test suite.  Each batch is the fuzz child
run as a script by its path, ``python tests/python/_fuzz_child.py --seed S
--start i --count n --isolated``: with ``--isolated`` the child runs the batch
in a further interpreter of its own and prints one JSON line, that
interpreter's report or ``{"crash": ...}`` with the case a crash or hang
happened on.  The child finds its helpers (``_support.py``) beside it, since
Python puts a script's own directory on its path; the only thing the tool
adds to the children's environment is the build directory on PYTHONPATH, so
that they import the extension under test.
"""

import argparse
import collections
import json
import os
import subprocess
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor

from _fuzz_batch import run_batch  # beside this script

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CHILD = os.path.join(ROOT, "tests", "python", "_fuzz_child.py")


def parse(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--calls", type=int, default=1_000_000, help="generated calls in total")
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--batch", type=int, default=25_000)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--start", type=int, default=0, help="index of the first case")
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "dev"))
    parser.add_argument("--timeout", type=float, default=1800.0, help="seconds per batch")
    parser.add_argument("--heavy-weight", type=int, default=1)
    parser.add_argument("--no-elementwise", action="store_true")
    parser.add_argument("--json", help="write the summary here")
    parser.add_argument("--show", type=int, default=20, help="failures printed in full")
    return parser.parse_args(argv)


def main(argv=None):
    args = parse(argv)
    build = os.path.abspath(args.build)
    old = [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([build] + old))
    where = subprocess.run([sys.executable, "-c", "import kelvora; print(kelvora.__file__)"],
                           stdout=subprocess.PIPE, text=True, env=env)
    if where.returncode != 0:
        print(f"kelvora cannot be imported with {build} on PYTHONPATH", file=sys.stderr)
        return 2

    print(f"kelvora from {where.stdout.strip()}")
    print(f"{args.calls} generated calls, seed {args.seed}, from case {args.start}, "
          f"batches of {args.batch}, {args.jobs} jobs", flush=True)

    extra = ["--heavy-weight", str(args.heavy_weight)]
    if args.no_elementwise:
        extra.append("--no-elementwise")
    lock = threading.Lock()
    totals = {"cases": 0, "calls": 0, "failed": 0, "outcomes": collections.Counter(), "kinds": collections.Counter()}
    failures, crashes = [], []
    started = time.perf_counter()

    def run_range(first, count):
        index, end = first, first + count
        while index < end:
            report = run_batch(CHILD, ["--seed", str(args.seed), "--start", str(index), "--count", str(end - index),
                                *extra], args.timeout, env=env, stderr_tail=4000)
            if "crash" in report:
                crash = report["crash"]
                with lock:
                    crashes.append(crash)
                    print(f"CRASH in the batch from {index}: {crash['how']} at {crash.get('where')}", flush=True)
                where = crash.get("where") or {}
                if "index" not in where:
                    return  # nothing known about the position: give up on this batch
                index = where["index"] + 1
                continue
            with lock:
                totals["cases"] += report["cases"]
                totals["calls"] += report["calls"]
                totals["failed"] += report["failed"]
                totals["outcomes"].update(report["outcomes"])
                totals["kinds"].update(report["kinds"])
                failures.extend(report["failures"])
                elapsed = time.perf_counter() - started
                print(f"{totals['cases']:>9} cases  {totals['calls']:>10} calls  {totals['failed']} failed  "
                      f"{elapsed:7.1f} s  ({totals['cases'] / elapsed:,.0f} cases/s)", flush=True)
            index = end

    ranges = []
    first = args.start
    while first < args.start + args.calls:
        count = min(args.batch, args.start + args.calls - first)
        ranges.append((first, count))
        first += count
    with ThreadPoolExecutor(max_workers=args.jobs) as pool:
        for future in [pool.submit(run_range, f, c) for f, c in ranges]:
            future.result()
    elapsed = time.perf_counter() - started

    print()
    print(f"generated calls (examples): {totals['cases']}")
    print(f"kelvora calls in total:     {totals['calls']} (with the checks' reference calls)")
    print(f"time:                       {elapsed:.1f} s ({totals['cases'] / max(elapsed, 1e-9):,.0f} examples/s)")
    print("outcomes by exception type:")
    for name, n in totals["outcomes"].most_common():
        print(f"  {name:24} {n:>9}")
    print("outcomes by how they arose:")
    for name, n in totals["kinds"].most_common():
        print(f"  {name:24} {n:>9}")
    print(f"failed examples: {totals['failed']}   crashes or hangs: {len(crashes)}")
    for record in failures[: args.show]:
        print()
        print(f"FAILURE {record['fn']} (seed {record.get('seed')}, case {record.get('index')})")
        print(f"  call: {record['call']}")
        for problem in record["problems"]:
            print(f"  - {problem}")
        print(f"  rerun: {record['reproduce']}")
    for crash in crashes:
        print()
        print(f"CRASH {crash['how']}: {crash.get('fn')} at {crash.get('where')}")
        print(f"  case: {json.dumps(crash.get('case'))[:2000]}")
        if crash.get("reproduce"):
            print(f"  rerun: {crash['reproduce']}")
        print("  end of its standard error:")
        print("    " + crash["stderr_tail"][-1500:].replace("\n", "\n    "))
    if args.json:
        with open(args.json, "w") as fh:
            json.dump({"cases": totals["cases"], "calls": totals["calls"], "elapsed": elapsed,
                       "outcomes": dict(totals["outcomes"]), "kinds": dict(totals["kinds"]),
                       "failed": totals["failed"], "failures": failures, "crashes": crashes}, fh, indent=1)
    complete = totals["cases"] + len(crashes) >= args.calls
    return 1 if totals["failed"] or crashes or not complete else 0


if __name__ == "__main__":
    sys.exit(main())
