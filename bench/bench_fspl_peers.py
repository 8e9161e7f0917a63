"""kelvora_fspl against VBMicrolensing's ESPLLightCurve: time, accuracy, threads.

Usage:  ./scripts/bench-peers [--quick]
        (which runs this after bench/bench_peers.py in .venv-peers/), or
        .venv-peers/bin/python bench/bench_fspl_peers.py [--quick]

The light curve: rho = 0.05, u0 = 0.02, tE = 20 d, 10,000 epochs evenly
spaced over t - t0 in [-2, 2] d, u = sqrt(u0^2 + ((t - t0)/tE)^2), so the
lens crosses the source (u/rho from 0.4 to 2.04).  Two sources:

- a uniformly bright disk;
- a linearly limb-darkened disk, I = 1 - u1 (1 - mu), mu = sqrt(1 - r^2),
  r in source radii, u1 = 0.6.  VBMicrolensing's linear law is the same,
  I(r) = I(0) (1 - a1 (1 - sqrt(1 - r^2/rho^2))) (the docstring of its a1),
  so a1 = u1 = 0.6 with no conversion.

Each code computes the whole light curve in one call, from the array of
times: kelvora_fspl.magnification(np.hypot(u0, (t - t0)/tE), rho, law,
coefficients) (the separations formed inside the timed call), and
VBMicrolensing's ESPLLightCurve([ln u0, ln tE, t0, ln rho], times) (natural
logarithms: checked against ESPLMag2 at start-up) at its default accuracy
goal (Tol = 0.01, RelTol = 0).  The calls alternate, one of each per
repetition, and the tables give the median time per point and the median of
the per-repetition ratios kelvora / VBMicrolensing.

Accuracy: the largest relative error against a reference computed here with
mpmath, at 12 epochs of the light curve (10 evenly spaced from t0 - 2 d to
t0, and the two epochs either side of the limb crossing).

Threads: kelvora_fspl on a long curve (400,000 epochs, linear law) in one
call, against the same curve split into two halves computed concurrently by
two Python threads (kelvora_fspl releases the GIL while it computes); the
two timings alternate, and the speed-up is the median of the per-repetition
ratios.  The results of both are checked to be identical.  On a shared
machine other work takes cores away (Linux shares the CPU between sessions,
not threads), so the same split is timed for a control that is known to
compute without the GIL, hashlib's SHA-256 of a buffer that takes about as
long: its speed-up is what the machine allowed during the run.  The process
CPU time over the wall-clock time of each run and the load average before
the runs are given with them.

With --quick: 2,000 epochs, 5 repetitions, 100,000 epochs for the threads,
6 reference epochs at 20 digits.  This is a benchmark, not a test: nothing
is asserted.
"""

import argparse
import concurrent.futures
import hashlib
import importlib.metadata
import math
import os
import platform
import statistics
import time

import mpmath
import numpy as np

import kelvora_fspl

RHO = 0.05  # source radius in Einstein radii
U0 = 0.02  # impact parameter in Einstein radii
T_E = 20.0  # Einstein crossing time in days
T0 = 0.0  # time of closest approach in days
U1 = 0.6  # linear limb-darkening coefficient (kelvora u1 = VBMicrolensing a1)

SOURCES = {"uniform": ("uniform", (), 0.0), "linear": ("linear", (U1,), U1)}


# --------------------------------------------------------------------------
# The reference.
# --------------------------------------------------------------------------

def reference_magnification(u: float, rho: float, u1: float) -> mpmath.mpf:
    """Flux-weighted mean over the source of the point-lens magnification,
    as a sum of rings about the source centre,

        A = int_0^1 I(r) A_ring(u, rho r) 2r dr / int_0^1 I(r) 2r dr,

    where A_ring(u, s), the mean of A0(x) = (x^2 + 2)/(x sqrt(x^2 + 4)) over
    a circle of radius s whose centre lies at u from the lens, is

        A_ring = 2/(pi S sqrt(4 + d^2)) (2 K(m) + d^2 Pi(n, m)),
        d = u - s, S = u + s, n = 4us/S^2, m = 4n/(4 + d^2),

    and I(r) = 1 - u1 (1 - sqrt(1 - r^2)) (u1 = 0: uniform), whose flux is
    int I 2r dr = 1 - u1/3.  A_ring has a logarithmic singularity where the
    ring passes through the lens (s = u), so the integral is split there
    (r = u/rho) and written in the distance t = |s - u| from that ring, which
    tanh-sinh quadrature (mpmath.quad) resolves at its end point.  K and Pi
    are Carlson's forms, K = R_F(0, 1 - m, 1) and Pi = K + n/3 R_J(0, 1 - m,
    1, 1 - n), with the complements formed from d^2 = t^2,

        1 - n = d^2/S^2,   1 - m = d^2 (4 + S^2)/(S^2 (4 + d^2)),

    so that nodes within the working precision of the ring s = u keep them.
    At the working precision of mpmath; at 30 digits and rho = 0.05 it
    agrees to 1e-31 with the two-dimensional quadrature about the lens of
    bench/bench_peers.py.
    """
    mp = mpmath.mp
    u, rho, a = mp.mpf(u), mp.mpf(rho), mp.mpf(u1)

    def ring(t, s):
        S = u + s
        S2 = S * S
        q = 4 + t * t
        n = 4 * u * s / S2
        c = t * t * (4 + S2) / (S2 * q)  # 1 - m
        k = mp.elliprf(0, c, 1)
        pi_nm = k + n / 3 * mp.elliprj(0, c, 1, t * t / S2)
        return 2 / (mp.pi * S * mp.sqrt(q)) * (2 * k + t * t * pi_nm)

    def brightness(r):
        return 1 - a * (1 - mp.sqrt(max(mp.mpf(0), 1 - r * r)))

    def piece(sign):
        # s = u + sign t; the integrand in t of int I(r) A_ring 2r dr, r = s/rho.
        def f(t):
            s = u + sign * t
            r = s / rho
            return brightness(r) * ring(t, s) * 2 * r / rho

        return f

    if u < rho:
        total = mp.quad(piece(-1), [0, u]) + mp.quad(piece(+1), [0, rho - u])
    else:
        total = mp.quad(piece(-1), [u - rho, u])
    return total / (1 - a / 3)


# --------------------------------------------------------------------------
# The calls.
# --------------------------------------------------------------------------

def kelvora_curve(times: np.ndarray, source: str):
    law, coefficients, _ = SOURCES[source]

    def call():
        return kelvora_fspl.magnification(np.hypot(U0, (times - T0) / T_E), RHO, law, coefficients)

    return call


def vbm_curve(times: np.ndarray, source: str):
    import VBMicrolensing

    engine = VBMicrolensing.VBMicrolensing()
    engine.a1 = SOURCES[source][2]  # 0: uniform source
    params = [math.log(U0), math.log(T_E), T0, math.log(RHO)]
    ts = times.tolist()  # its natural input: a list of floats

    def call():
        return engine.ESPLLightCurve(params, ts)[0]

    return call, engine


def check_vbm_convention() -> str:
    """ESPLLightCurve's parameters are natural logarithms: at t = t0 the
    curve must give ESPLMag2(u0, rho)."""
    import VBMicrolensing

    engine = VBMicrolensing.VBMicrolensing()
    curve = engine.ESPLLightCurve([math.log(U0), math.log(T_E), T0, math.log(RHO)], [T0])[0][0]
    direct = engine.ESPLMag2(U0, RHO)
    return "natural logarithms confirmed" if abs(curve - direct) <= 1e-12 * direct else (
        f"WARNING: ESPLLightCurve {curve} != ESPLMag2 {direct}: parameter convention differs")


def alternate(calls: dict, repeats: int, min_time: float) -> dict[str, list[float]]:
    """Seconds per call of each, one run of each per repetition in turn (each
    run looping its call until min_time has passed)."""
    loops = {}
    for name, call in calls.items():
        call()  # warm-up (tables loaded on first use)
        start = time.perf_counter()
        call()
        once = time.perf_counter() - start
        loops[name] = max(1, math.ceil(min_time / max(once, 1e-9)))
    runs = {name: [] for name in calls}
    for _ in range(repeats):
        for name, call in calls.items():
            number = loops[name]
            start = time.perf_counter()
            for _ in range(number):
                call()
            runs[name].append((time.perf_counter() - start) / number)
    return runs


def check_epochs(times: np.ndarray, count: int) -> np.ndarray:
    """Indices of the accuracy epochs: count - 2 evenly spaced from the first
    epoch to t0, and the two either side of the limb crossing (u = rho)."""
    half = int(np.searchsorted(times, T0, side="right")) - 1
    even = np.linspace(0, half, count - 2).round().astype(int)
    u = np.hypot(U0, (times - T0) / T_E)
    inside = np.nonzero(u[: half + 1] < RHO)[0]
    limb = [inside[0] - 1, inside[0]] if inside.size and inside[0] > 0 else []
    return np.unique(np.concatenate([even, np.array(limb, dtype=int)]))


def version(distribution: str) -> str:
    try:
        return importlib.metadata.version(distribution)
    except importlib.metadata.PackageNotFoundError:
        return "?"


def markdown_table(header: list[str], rows: list[list[str]], right: set[int]) -> str:
    widths = [max(len(str(cell)) for cell in column) for column in zip(header, *rows)]

    def line(cells):
        return "| " + " | ".join(
            str(c).rjust(w) if i in right else str(c).ljust(w) for i, (c, w) in enumerate(zip(cells, widths))
        ) + " |"

    rule = "|" + "|".join(("-" * (w + 1) + ":") if i in right else (":" + "-" * (w + 1)) for i, w in enumerate(widths)) + "|"
    return "\n".join([line(header), rule] + [line(row) for row in rows])


# --------------------------------------------------------------------------

def light_curve_table(args) -> None:
    times = T0 + np.linspace(-2.0, 2.0, args.points)
    u = np.hypot(U0, (times - T0) / T_E)
    try:
        import VBMicrolensing  # noqa: F401

        have_vbm = True
    except ImportError as error:
        have_vbm = False
        print(f"VBMicrolensing not available ({error}); kelvora_fspl alone")
    if have_vbm:
        print(f"VBMicrolensing ESPLLightCurve: {check_vbm_convention()}")

    # The reference.
    epochs = check_epochs(times, args.check)
    mpmath.mp.dps = args.digits
    start = time.perf_counter()
    references = {
        source: {int(i): reference_magnification(float(u[i]), RHO, SOURCES[source][2]) for i in epochs}
        for source in SOURCES
    }
    print(
        f"reference: {args.digits}-digit mpmath ring sum at {len(epochs)} epochs"
        f" ({time.perf_counter() - start:.0f} s), u/rho: uniform / linear"
    )
    for i in epochs:
        print(
            f"  {u[i] / RHO:9.6f}: {mpmath.nstr(references['uniform'][int(i)], 17):>20}"
            f" / {mpmath.nstr(references['linear'][int(i)], 17)}"
        )

    def worst(values: np.ndarray, source: str) -> str:
        errors = {int(i): abs(mpmath.mpf(float(values[i])) / references[source][int(i)] - 1) for i in epochs}
        i = max(errors, key=errors.get)
        return f"{float(errors[i]):.1e} at {u[i] / RHO:.4g}"

    rows = []
    for source in SOURCES:
        calls = {"kelvora": kelvora_curve(times, source)}
        engines = {}
        if have_vbm:
            calls["vbm"], engines["vbm"] = vbm_curve(times, source)
        runs = alternate(calls, args.repeat, args.min_time)
        per_point = {name: statistics.median(r) / args.points for name, r in runs.items()}
        ratio = statistics.median(k / v for k, v in zip(runs["kelvora"], runs["vbm"])) if have_vbm else None
        law, coefficients, _ = SOURCES[source]
        label = "uniform" if source == "uniform" else f"linear, u1 = {U1}"
        call = f'`magnification(u, rho, "{law}"' + (f", ({coefficients[0]},))`" if coefficients else ")`")
        rows.append([label, "kelvora_fspl", call, f"{per_point['kelvora'] * 1e6:.3g}",
                     f"{ratio:.2f}" if ratio is not None else "", worst(np.asarray(calls["kelvora"]()), source)])
        if have_vbm:
            engine = engines["vbm"]
            rows.append([label, f"VBMicrolensing {version('VBMicrolensing')}",
                         f"`ESPLLightCurve`, a1 = {engine.a1:g}, Tol = {engine.Tol:g}",
                         f"{per_point['vbm'] * 1e6:.3g}", "1", worst(np.asarray(calls["vbm"]()), source)])
    print()
    print(f"light curve, {args.points} epochs, one call each; median of {args.repeat} alternating repetitions")
    print()
    print(markdown_table(["source", "code", "call", "us / point", "time / VBM", "max relative error (at u/rho)"],
                         rows, right={3, 4}))


def threads_table(args) -> None:
    times = T0 + np.linspace(-2.0, 2.0, args.thread_points)
    u = np.hypot(U0, (times - T0) / T_E)
    halves = np.array_split(u, 2)
    law, coefficients, _ = SOURCES["linear"]
    pool = concurrent.futures.ThreadPoolExecutor(max_workers=2)

    def one_thread():
        return kelvora_fspl.magnification(u, RHO, law, coefficients)

    def two_threads():
        futures = [pool.submit(kelvora_fspl.magnification, h, RHO, law, coefficients) for h in halves]
        return np.concatenate([f.result() for f in futures])

    load = " / ".join(f"{x:.2f}" for x in os.getloadavg())  # 1, 5, 15 minutes
    identical = np.array_equal(one_thread(), two_threads())

    # The control: SHA-256 of a buffer, which hashlib computes without the
    # GIL, sized to take about as long as the light curve; its speed-up is
    # what the machine allows at the moment (other work on a shared machine
    # takes cores away from both alike).
    start = time.perf_counter()
    hashlib.sha256(bytes(1 << 24)).digest()
    per_byte = (time.perf_counter() - start) / (1 << 24)
    start = time.perf_counter()
    one_thread()
    data = bytes(int(min(1 << 29, (time.perf_counter() - start) / per_byte)) // 2 * 2)
    data_halves = [memoryview(data)[: len(data) // 2], memoryview(data)[len(data) // 2:]]

    def hash_one():
        return hashlib.sha256(data).digest()

    def hash_two():
        return [f.result() for f in [pool.submit(lambda h=h: hashlib.sha256(h).digest()) for h in data_halves]]

    # Wall-clock and process CPU time of each run, alternating.
    calls = {"one": one_thread, "two": two_threads, "hash_one": hash_one, "hash_two": hash_two}
    wall = {name: [] for name in calls}
    cpu = {name: [] for name in calls}
    for _ in range(args.thread_repeat):
        for name, call in calls.items():
            start, start_cpu = time.perf_counter(), time.process_time()
            call()
            wall[name].append(time.perf_counter() - start)
            cpu[name].append(time.process_time() - start_cpu)
    pool.shutdown()

    def speedup(one, two):
        return statistics.median(o / t for o, t in zip(wall[one], wall[two]))
    try:
        cores = len(os.sched_getaffinity(0))
    except AttributeError:
        cores = os.cpu_count()
    print()
    print(
        f"threads: linear law, u1 = {U1}, {args.thread_points} epochs; median of {args.thread_repeat} alternating"
        f" repetitions; {cores} cores available, load average {load} before; results identical: {identical}"
    )
    print()

    def utilisation(name):
        return statistics.median(c / w for c, w in zip(cpu[name], wall[name]))

    def row(label, name, base):
        return [label, f"{statistics.median(wall[name]) * 1e3:.1f}", f"{speedup(base, name):.2f}",
                f"{utilisation(name):.2f}"]

    rows = [
        row("`kelvora_fspl.magnification`, 1 call, 1 thread", "one", "one"),
        row("`kelvora_fspl.magnification`, 2 halves, 2 Python threads", "two", "one"),
        row(f"control: `hashlib.sha256` of {len(data) >> 20} MiB, 1 thread", "hash_one", "hash_one"),
        row("control: `hashlib.sha256`, 2 halves, 2 Python threads", "hash_two", "hash_one"),
    ]
    print(markdown_table(["call", "ms", "speed-up", "CPU time / wall time"], rows, right={1, 2, 3}))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true",
                        help="2,000 epochs, 5 repeats, 100,000 epochs for the threads, 6 reference epochs at 20 digits")
    parser.add_argument("--only", choices=("light-curve", "threads"),
                        help="run only the light-curve comparison or only the threads")
    args = parser.parse_args()
    args.points = 2_000 if args.quick else 10_000
    args.repeat = 5 if args.quick else 15
    args.min_time = 0.01 if args.quick else 0.05
    args.thread_points = 100_000 if args.quick else 400_000
    args.thread_repeat = 5 if args.quick else 15
    args.check = 6 if args.quick else 12
    args.digits = 20 if args.quick else 30
    started = time.perf_counter()

    print(
        f"kelvora_fspl against VBMicrolensing: rho = {RHO}, u0 = {U0}, tE = {T_E} d, t - t0 in [-2, 2] d;"
        f" CPython {platform.python_version()}, numpy {np.__version__}"
    )
    print("versions: " + ", ".join(f"{d} {version(d)}" for d in ("kelvora", "VBMicrolensing", "mpmath")))
    if args.only != "threads":
        light_curve_table(args)
    if args.only != "light-curve":
        threads_table(args)
    print()
    print(f"total {time.perf_counter() - started:.0f} s")


if __name__ == "__main__":
    main()
