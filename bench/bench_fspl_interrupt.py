"""How long Ctrl-C takes to end a long kelvora_fspl call.

    .venv/bin/python bench/bench_fspl_interrupt.py

Each case starts a child interpreter whose main thread makes one long call
(a 1e7-point limb-darkened light curve, its gradient, a call on a 1e5-node
table), sends it SIGINT a second in, and times, from the signal to the
child's report, how long the call took to end with KeyboardInterrupt; five
runs per case, median and largest.  The call checks for signals every 50 ms
of computing (fspl/binding/detached.hpp), so the answer is that plus the
point being computed.
"""

import signal
import statistics
import subprocess
import sys
import textwrap
import time

CHILD = """
import time
import numpy as np
import kelvora_fspl
u = np.linspace(0.0, 0.2, {points})
print("start", flush=True)
try:
    kelvora_fspl.{function}(u, 0.1, {law!r}, {coefficients})
    print("finished", flush=True)
except KeyboardInterrupt:
    print("interrupted", flush=True)
"""

CASES = [
    ("1e7 points, linear", "magnification", "linear", "(0.6,)", 10**7),
    ("1e7 points, gradient, quadratic", "magnification_and_gradient", "quadratic", "(0.4, 0.25)", 10**7),
    ("1e5-node table, 0.1 s a point", "magnification", "tabulated",
     "(np.linspace(0, 1, 100_000), np.linspace(0.2, 1, 100_000))", 400),
]


def once(code):
    child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().strip() == "start"
        time.sleep(1.0)
        sent = time.perf_counter()
        child.send_signal(signal.SIGINT)
        line = child.stdout.readline().strip()
        elapsed = time.perf_counter() - sent
        child.wait(timeout=120)
    finally:
        if child.poll() is None:
            child.kill()
    if line != "interrupted":
        raise SystemExit(f"the call ended with {line!r}, not KeyboardInterrupt")
    return elapsed


def main():
    print(f"{'call':36} {'median':>9} {'largest':>9}   (SIGINT to KeyboardInterrupt, 5 runs)")
    for name, function, law, coefficients, points in CASES:
        code = textwrap.dedent(CHILD.format(function=function, law=law, coefficients=coefficients, points=points))
        times = [once(code) for _ in range(5)]
        print(f"{name:36} {statistics.median(times) * 1e3:7.1f}ms {max(times) * 1e3:7.1f}ms")


if __name__ == "__main__":
    main()
