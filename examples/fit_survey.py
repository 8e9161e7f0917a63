"""Fit a survey of synthetic finite-source events on a dask.distributed cluster, and check the fits against a serial loop.
=======================================================================================================================

Each event is fitted by fit_random_event of examples/fit_event.py: a point
lens (Paczynski 1986) and a linearly limb-darkened source star, with flux
F(t) = fs A(u(t), rho) + fb, u(t) = sqrt(u0^2 + ((t - t0)/tE)^2), all six
parameters fitted by scipy.optimize.least_squares with the analytic
Jacobian from kelvora_fspl.magnification_and_gradient.  Event i is drawn
from numpy.random.default_rng(seed + i): its parameters, its light curve
with 0.5 per cent Gaussian errors, and its start.

The events are fitted twice: in a serial loop in this process, and as one
dask task per event on a cluster, by default a LocalCluster of 2 worker
processes with one thread each; --scheduler ADDRESS connects to a running
scheduler instead (Client(ADDRESS)), so the same code runs on a real
cluster.  examples/fit_event.py is sent to the workers (an UploadFile worker
plugin, which also reaches workers that join later), so they need kelvora,
numpy and scipy installed, but not this directory; the scheduler needs none
of them (the task is a function of this script that imports fit_event on
the worker).

kelvora's results depend neither on the process nor on the order of the
calls, so on one machine (or on identical ones) the rows the workers return
are the serial ones bit for bit, which is checked (the bytes of the float64
arrays compared).  Each fit runs on one thread in both: dask's nanny sets
OMP_NUM_THREADS, OPENBLAS_NUM_THREADS and MKL_NUM_THREADS to 1 for its
workers (distributed.nanny.pre-spawn-environ), and this script sets the same
for itself unless they are set already, before numpy is imported.  On a
cluster of machines with different processors numpy's linear algebra may
choose other kernels and round differently in the last bits: with
--scheduler the check then accepts differences below TOLERANCE = 1e-6 sigma,
and says so.

Printed: the number of events, the wall times of the serial loop and of the
cluster (and of starting a LocalCluster), whether the results are identical,
a SHA-256 digest of each set, how many fits converged, and the distribution of
(fitted - true)/sigma, which is close to a unit normal if the linearised
uncertainties are right.  Events where the lens passes outside the source may
bound rho only from above: their fitted rho can be near 0, with a large sigma.

Usage:  python examples/fit_survey.py [--quick] [--events N] [--seed S]
                                      [--workers N] [--scheduler ADDRESS]

--quick fits 12 events (a few seconds, most of it starting the cluster).
The exit status is 1 if a cluster result differs from the serial one (or a
fit failed), 2 if dask.distributed or scipy is not installed
(pip install 'kelvora[dask]').

To run on a cluster: start `dask scheduler` on one machine, `dask worker
tcp://HOST:8786` on each of the others (with kelvora, numpy and scipy
installed), then `python examples/fit_survey.py --scheduler tcp://HOST:8786`.
"""

# dask's Client and LocalCluster are not annotated; dask itself may be absent.
# mypy: allow-untyped-calls

import os

# One thread per fit, as on dask's workers; before numpy is imported.
for _variable in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_variable, "1")
# Cluster start-up and shutdown are logged at INFO level; keep warnings and errors.
os.environ.setdefault("DASK_LOGGING__DISTRIBUTED", "warning")

import argparse  # noqa: E402
import hashlib  # noqa: E402
import sys  # noqa: E402
import time  # noqa: E402
from pathlib import Path  # noqa: E402

import numpy as np  # noqa: E402
from numpy.typing import NDArray  # noqa: E402

Array = NDArray[np.float64]

MISSING = "needs dask.distributed: pip install 'kelvora[dask]'"
NAMES = ["t0", "u0", "tE", "rho", "fs", "fb"]
TOLERANCE = 1e-6  # largest accepted |cluster - serial| / sigma on a remote cluster


def fit_on_worker(seed: int) -> Array:
    """fit_event.fit_random_event(seed), importing fit_event where it runs.

    The scheduler unpickles the task graph.  A function of this script
    (__main__) is pickled by value, and its only reference to fit_event is the
    import in its body, which runs on the worker (from the uploaded copy), so
    the scheduler needs neither fit_event nor kelvora, numpy and scipy."""
    import fit_event

    return fit_event.fit_random_event(seed)


def import_on_worker() -> None:
    """Import fit_event (and with it scipy, numpy and kelvora) where it runs,
    so that the timed fits do not include the workers' first imports."""
    import fit_event  # noqa: F401


def digest(rows: Array) -> str:
    return hashlib.sha256(rows.tobytes()).hexdigest()


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.partition("\n")[0])
    parser.add_argument("--quick", action="store_true", help="12 events")
    parser.add_argument("--events", type=int, help="number of events (default 300, 12 with --quick)")
    parser.add_argument("--seed", type=int, default=20240611, help="event i is drawn with default_rng(seed + i)")
    parser.add_argument("--workers", type=int, default=2, help="worker processes of the LocalCluster")
    parser.add_argument("--scheduler", metavar="ADDRESS", help="connect to this scheduler, e.g. tcp://host:8786")
    args = parser.parse_args()
    events = args.events if args.events is not None else (12 if args.quick else 300)
    if events < 1:
        parser.error("--events must be at least 1")

    try:
        from dask.distributed import Client, LocalCluster  # type: ignore[import-not-found, unused-ignore]
        from distributed.diagnostics.plugin import UploadFile  # type: ignore[import-not-found, unused-ignore]

        import fit_event
        from fit_event import ROW, SURVEY_STARTS, fit_random_event
    except ImportError as error:
        print(f"{MISSING} ({error})", file=sys.stderr)
        return 2

    seeds = [args.seed + i for i in range(events)]
    print(
        f"events: {events} (seeds {seeds[0]} to {seeds[-1]}), each fitted with the analytic Jacobian"
        f" from {len(SURVEY_STARTS)} starts"
    )

    began = time.perf_counter()
    serial = np.array([fit_random_event(seed) for seed in seeds]).reshape(events, ROW)
    t_serial = time.perf_counter() - began

    began = time.perf_counter()
    cluster = None
    if not args.scheduler:
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True, dashboard_address=None)
    try:
        with Client(args.scheduler or cluster) as client:
            # The workers import fit_event from the uploaded copy, and so need
            # neither this directory nor the scheduler to import it.
            client.register_plugin(UploadFile(str(Path(fit_event.__file__).resolve())), name="kelvora-fit-event")
            if args.scheduler:
                client.wait_for_workers(1, timeout=60)
            client.run(import_on_worker)
            nthreads = client.nthreads()  # {worker address: threads}
            t_start = time.perf_counter() - began
            where = f"scheduler {args.scheduler}" if args.scheduler else "LocalCluster"
            print(f"cluster: {where}, {len(nthreads)} worker processes, {sum(nthreads.values())} threads")

            began = time.perf_counter()
            futures = client.map(fit_on_worker, seeds)
            remote = np.array(client.gather(futures)).reshape(events, ROW)
            t_remote = time.perf_counter() - began
    finally:
        if cluster is not None:
            cluster.close()

    print(f"serial: {t_serial:.3f} s")
    print(
        f"distributed: {t_remote:.3f} s, speed-up {t_serial / t_remote:.2f}"
        f" (connecting, starting workers and importing there: {t_start:.3f} s)"
    )
    identical = serial.dtype == remote.dtype and serial.tobytes() == remote.tobytes()
    print(f"serial      sha256 {digest(serial)}")
    print(f"distributed sha256 {digest(remote)}")
    print(f"identical bit for bit: {identical}")

    converged = serial[:, 22] > 0
    calls, points = int(serial[:, 20].sum()), int(serial[:, 21].sum())
    print(f"converged: {int(converged.sum())} of {events}; kelvora calls {calls} ({points} points)")
    rows = serial[converged]
    if rows.size:
        pulls = (rows[:, 6:12] - rows[:, 0:6]) / rows[:, 12:18]
        print(f"{'':>24}" + "".join(f"{name:>8}" for name in NAMES))
        print(f"{'mean (fit - true)/sigma':>24}" + "".join(f"{x:8.2f}" for x in pulls.mean(axis=0)))
        print(f"{'rms (fit - true)/sigma':>24}" + "".join(f"{x:8.2f}" for x in np.sqrt(np.mean(pulls**2, axis=0))))
        print(f"{'max |fit - true|/sigma':>24}" + "".join(f"{x:8.2f}" for x in np.abs(pulls).max(axis=0)))
        measured = rows[:, 15] < 0.1 * rows[:, 3]
        print(
            f"rho measured to better than 10 per cent in {int(measured.sum())} events;"
            f" chi2/dof {np.mean(rows[:, 18] / rows[:, 19]):.3f} on average"
        )

    failed = False
    if not identical:
        same_shape = serial.shape == remote.shape
        scale = np.where(np.isfinite(serial[:, 12:18]), serial[:, 12:18], np.inf)
        worst = float(np.nanmax(np.abs(remote[:, 6:12] - serial[:, 6:12]) / scale)) if same_shape else np.inf
        print(f"largest |distributed - serial| / sigma: {worst:.2e}")
        if args.scheduler and worst <= TOLERANCE:
            print(f"within {TOLERANCE:.0e} sigma: the workers round differently from this machine")
        else:
            print("FAILED: the distributed fits differ from the serial ones")
            failed = True
    if not converged.all():
        print(f"FAILED: {int((~converged).sum())} fits did not converge")
        failed = True
    return 1 if failed else 0


if __name__ == "__main__":
    status = main()
    if status:  # sphinx-gallery runs the example in its own process: exit only on failure
        sys.exit(status)
