"""Scans of the Wilson-Fisher fixed point over (N, d) on Dask distributed.

    import lpa_host
    rows = lpa_host.scan([1, 2, 3, 4], np.arange(2.4, 3.9001, 0.01))   # a local cluster
    rows[0]   # {'N': 1.0, 'd': 2.4, 'u_prime_0': ..., 'nu': ..., 'converged': True, ...}

    from distributed import Client
    with Client("tcp://scheduler:8786") as client:                      # an existing cluster
        rows = lpa_host.scan([1, 2], [3.0, 3.1, 3.2], client=client)

How the work is cut. For each N the d values are sorted and cut into runs of
neighbouring values (segments); one task solves one segment in a row, each
point started from the nearest converged one (``wilson_fisher(N, d,
start=previous)``), beginning at the point nearest d = 3 and walking outwards.
There are several segments per worker, so a slow segment does not hold up the
others, and the cut depends on the grid and the number of workers only, never
on timing: the same call on the same cluster size gives the same numbers.

What crosses a process boundary. A task receives N, a list of d and, if one
was given, the point function (a module-level function travels as its name);
it returns a list of rows of plain Python floats and bools. Routine addresses, solvers and bases are made inside each worker process
the first time it needs them (``lpa_host`` builds them lazily and caches them
per process); they mean nothing in another process and are never pickled.

Processes and OpenMP. A local cluster has one single-threaded worker process
per core, started with the spawn method (never fork: a process forked after
OpenMP work can hang in the OpenMP runtime) and with OMP_NUM_THREADS=1 in its
environment before anything loads the OpenMP runtime; ``worker_report`` checks
both.

Faults. A worker process that dies takes its running task with it; the
scheduler runs the task again elsewhere (a restarted local worker included), so
the scan loses time, not rows. A task that kills its worker again and again is
split into single points; a single point that still kills its worker becomes a
row with converged False. A point whose solve fails or raises becomes a row with
converged False and NaNs. Only errors that would hit every task (a worker that
cannot import lpa_host, say) stop the scan, with the worker's error.
"""

from __future__ import annotations

import contextlib
import logging
import math
import numbers
import os
import sys
import time
import uuid
from collections.abc import Callable, Iterable, Sequence

#: The fields of every row, in this order (rows from wilson_fisher may add more).
ROW_FIELDS = ("N", "d", "u_prime_0", "kappa", "nu", "omega", "converged", "nu_error",
              "omega_error")

#: The range of d a Wilson-Fisher point can be asked for (``lpa_host.on``).
D_RANGE = (2.2, 3.95)

#: Segments per worker when the cut is chosen automatically.
SEGMENTS_PER_WORKER = 6
#: Shortest automatic segment: a cold start costs several warm ones.
MIN_SEGMENT = 6

#: d where each segment's walk begins (the point of the segment nearest it).
D_START = 3.0

logger = logging.getLogger(__name__)


# ---------------------------------------------------------------------------
# the grid

def _as_floats(values, name: str) -> list[float]:
    if isinstance(values, (str, bytes)):
        raise ValueError(f"{name} must be numbers, got the string {values!r}")
    try:
        out = [float(v) for v in (values if isinstance(values, Iterable) else [values])]
    except (TypeError, ValueError) as exc:
        raise ValueError(f"{name} must be real numbers: {exc}") from None
    if not out:
        raise ValueError(f"{name} is empty")
    bad = [v for v in out if not math.isfinite(v)]
    if bad:
        raise ValueError(f"{name} must be finite, got {bad[0]!r}")
    return out


def check_grid(N_values, d_values, n_max: float | None = None
               ) -> tuple[list[float], list[float]]:
    """The grid as lists of floats; ValueError for anything wilson_fisher would
    refuse (``lpa_host.on.check_N_d``)."""
    from .on import N_MAX, check_N_d
    Ns = _as_floats(N_values, "N_values")
    ds = _as_floats(d_values, "d_values")
    n_max = N_MAX if n_max is None else n_max
    Ns = [check_N_d(N, 3.0, n_max)[0] for N in Ns]
    # (ends a rounding error out, 2.2 + 175 * 0.01, are brought in)
    return Ns, [check_N_d(1.0, d)[1] for d in ds]


def segments(ds: Sequence[float], length: int) -> list[list[float]]:
    """Cut the distinct values of ds, sorted, into runs of at most `length`
    (as even as possible), each ordered for a walk: from the value nearest
    D_START to one end, then from there to the other end."""
    values = sorted(set(ds))
    n_seg = max(1, math.ceil(len(values) / max(1, int(length))))
    bounds = [round(i * len(values) / n_seg) for i in range(n_seg + 1)]
    out = []
    for a, b in zip(bounds[:-1], bounds[1:]):
        run = values[a:b]
        k = min(range(len(run)), key=lambda i: abs(run[i] - D_START))
        out.append(run[k:] + run[:k][::-1])
    return out


def auto_segment_length(n_points: int, n_workers: int) -> int:
    """Points per segment: about SEGMENTS_PER_WORKER segments per worker,
    none shorter than MIN_SEGMENT."""
    return max(MIN_SEGMENT, math.ceil(n_points / (SEGMENTS_PER_WORKER * max(1, n_workers))))


# ---------------------------------------------------------------------------
# worker side

def failed_row(N: float, d: float) -> dict:
    row = dict.fromkeys(ROW_FIELDS, math.nan)
    row.update(N=float(N), d=float(d), converged=False)
    return row


def _plain(row: dict) -> dict:
    """Plain Python scalars only (numpy scalars pickle, but tie the reader to numpy)."""
    out: dict = {}
    for k, v in row.items():
        if isinstance(v, bool) or type(v).__name__ == "bool_":
            out[k] = bool(v)
        elif isinstance(v, numbers.Integral):
            out[k] = int(v)
        elif v is None or isinstance(v, str):
            out[k] = v
        else:
            try:
                out[k] = float(v)
            except (TypeError, ValueError):
                out[k] = v
    return out


def _default_point_fn():
    from .on import wilson_fisher
    return wilson_fisher


def solve_segment(N: float, ds: Sequence[float], point_fn: Callable | None = None) -> list[dict]:
    """One task: Wilson-Fisher rows for one N along ds, in the order given.

    The first point starts cold; every later one from the converged point
    nearest in d (then, if that fails, cold). Runs in a worker process; also
    callable directly, e.g. ``solve_segment(1.0, [3.0, 3.1, 3.2])``."""
    fn = point_fn or _default_point_fn()
    rows = []
    solved: list = []  # (d, converged result)
    for d in ds:
        try:
            previous = min(solved, key=lambda x: abs(x[0] - d))[1] if solved else None
            result = fn(N, d) if previous is None else fn(N, d, start=previous)
            if previous is not None and not result.converged:
                result = fn(N, d)
            row = _plain(result.as_row())
            if result.converged:
                solved.append((d, result))
        except Exception:  # noqa: BLE001  - one bad point must not end the segment
            logger.exception("the Wilson-Fisher point at N = %g, d = %g raised", N, d)
            row = failed_row(N, d)
        row["converged"] = bool(row.get("converged", False))
        rows.append(row)
    return rows


def _count_fixed_points(N: float, ds: Sequence[float]) -> list[dict]:
    """One task: the nontrivial fixed points at N for each d."""
    import warnings

    from .on import fixed_points
    rows = []
    for d in ds:
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", RuntimeWarning)
                fps = [p for p in fixed_points(N=N, d=d) if p.converged]
            rows.append(dict(N=float(N), d=float(d), count=len(fps),
                             n_relevant=[int(p.n_relevant) for p in fps],
                             nu=[float(p.nu) for p in fps], ok=True))
        except Exception:  # noqa: BLE001
            logger.exception("fixed_points(N=%g, d=%g) raised", N, d)
            rows.append(dict(N=float(N), d=float(d), count=-1, n_relevant=[], nu=[],
                             ok=False))
    return rows


def _worker_state() -> dict:
    """Process id, start method and the OpenMP thread count seen by _lpa_cpp."""
    import multiprocessing

    import _lpa_cpp  # noqa: F401  - loads the OpenMP runtime the solver uses
    from threadpoolctl import threadpool_info
    omp = [x.get("num_threads") for x in threadpool_info() if x.get("user_api") == "openmp"]
    return dict(pid=os.getpid(), start_method=multiprocessing.get_start_method(allow_none=True),
                OMP_NUM_THREADS=os.environ.get("OMP_NUM_THREADS"),
                openmp_threads=omp[0] if omp else None)


def worker_report(client) -> dict:
    """{worker address: _worker_state()} for every worker of the client's cluster."""
    return client.run(_worker_state)


def _warm_up() -> int:
    """Load the compiled routines and solve one point in this process."""
    _default_point_fn()(1.0, D_START)
    return os.getpid()


def warm_up(client) -> dict:
    """Load the compiled routines and solve one point in every worker (for
    timings that leave out each process's one-off start)."""
    return client.run(_warm_up)


# ---------------------------------------------------------------------------
# client side

def default_workers() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:
        return os.cpu_count() or 1


@contextlib.contextmanager
def _environ(env: dict):
    """os.environ with env set, restored after. A spawned worker inherits it
    at exec, before anything it imports (a main script that imports _lpa_cpp
    at the top, say) can load the OpenMP runtime; the runtime of this process,
    already loaded, is not affected."""
    saved = {k: os.environ.get(k) for k in env}
    os.environ.update(env)
    try:
        yield
    finally:
        for k, v in saved.items():
            if v is None:
                os.environ.pop(k, None)
            else:
                os.environ[k] = v


@contextlib.contextmanager
def _main_not_from_stdin():
    """Spawned processes re-run the main script from its file; a script read
    from stdin (``python - < script.py``) has none, so hide the name while the
    cluster lives (workers need nothing from __main__: functions defined there
    travel by value)."""
    main = sys.modules.get("__main__")
    path = getattr(main, "__file__", None)
    if path is None or os.path.isfile(path):
        yield
        return
    del main.__file__
    try:
        yield
    finally:
        main.__file__ = path


@contextlib.contextmanager
def local_client(workers: int | None = None):
    """A Client on a fresh LocalCluster: `workers` single-threaded worker
    processes (default: one per core), spawned, with OMP_NUM_THREADS=1.

        with local_client(2) as client:
            rows = scan([1], [3.0, 3.1], client=client)
    """
    import dask
    from distributed import Client, LocalCluster

    n = default_workers() if workers is None else int(workers)
    if n < 1:
        raise ValueError(f"workers must be >= 1, got {workers}")
    env = {"OMP_NUM_THREADS": "1", "OPENBLAS_NUM_THREADS": "1", "MKL_NUM_THREADS": "1"}
    # Restarted workers read the start method when they start: keep it set for
    # the cluster's whole life. forkserver forks from a clean server, also safe.
    method = dask.config.get("distributed.worker.multiprocessing-method", "spawn")
    if method != "forkserver":
        method = "spawn"
    # worker-saturation 1: a worker holds only the task it runs, so a worker
    # that dies takes no queued bystander down with it (each death counts
    # against every task the worker held).
    with dask.config.set({"distributed.worker.multiprocessing-method": method,
                          "distributed.scheduler.worker-saturation": 1.0}), \
            _environ(env), _main_not_from_stdin():
        # dashboard on a free port: the default 8787 may be another cluster's
        cluster = LocalCluster(n_workers=n, threads_per_worker=1, processes=True,
                               dashboard_address=":0", env=env,
                               silence_logs=logging.ERROR)
        try:
            client = Client(cluster)
            try:
                yield client
            finally:
                _quietly(client.close, "the client")
        finally:
            _quietly(cluster.close, "the local cluster")


def _quietly(close, what):
    """Close, and only warn if that fails: by then the results are in, and a
    worker slow to stop (on a loaded machine) must not turn them into an error."""
    try:
        close()
    except Exception as exc:  # noqa: BLE001
        logger.warning("closing %s failed: %s: %s", what, type(exc).__name__, exc)


@contextlib.contextmanager
def _client_for(client, workers):
    if client is not None:
        yield client
    else:
        with local_client(workers) as c:
            yield c


def _n_workers(client) -> int:
    try:
        info = client.scheduler_info()
        return max(1, sum(w.get("nthreads", 1) for w in info.get("workers", {}).values()))
    except Exception:  # noqa: BLE001
        return 1


class Progress:
    """A text progress bar on stderr: rewritten in place on a terminal, a line
    every 10 % otherwise."""

    def __init__(self, total: int, label: str, stream=None, width: int = 30):
        self.total, self.label, self.width = max(1, total), label, width
        self.stream = stream or sys.stderr
        self.tty = hasattr(self.stream, "isatty") and self.stream.isatty()
        self.t0 = time.perf_counter()
        self.done = 0
        self.failed = 0
        self._last_tenth = -1

    def update(self, n: int, failed: int = 0):
        self.done += n
        self.failed += failed
        tenth = 10 * self.done // self.total
        if self.tty or tenth != self._last_tenth or self.done >= self.total:
            self._last_tenth = tenth
            self._draw()

    def _draw(self):
        frac = min(1.0, self.done / self.total)
        fill = int(round(frac * self.width))
        dt = time.perf_counter() - self.t0
        eta = dt / frac - dt if frac > 0 else math.nan
        text = (f"{self.label} [{'#' * fill}{'.' * (self.width - fill)}] "
                f"{self.done}/{self.total}  {dt:5.1f} s")
        if self.done < self.total and math.isfinite(eta):
            text += f"  ~{eta:.0f} s left"
        if self.failed:
            text += f"  ({self.failed} not converged)"
        if self.tty:
            end = "\n" if self.done >= self.total else ""
            self.stream.write("\r" + text + " " * 4 + end)
        else:
            self.stream.write(text + "\n")
        self.stream.flush()


def _run(client, tasks, progress, label, task_fn, failed_fn):
    """Run tasks = [(args, n_points)] on the client; returns the rows of all of
    them. A task whose worker keeps dying is split into single points, and a
    single point that still does becomes failed_fn(args)."""
    from distributed import as_completed
    from distributed.scheduler import KilledWorker

    tag = uuid.uuid4().hex[:12]
    bar = None
    if progress:
        total = sum(n for _, n in tasks)
        bar = progress(total) if callable(progress) else Progress(total, label)
    futures = {}

    def submit(args):
        key = f"{task_fn.__name__.lstrip('_')}-{tag}-{len(futures)}"
        f = client.submit(task_fn, *args, key=key, pure=False)
        futures[f.key] = args
        return f

    pending = as_completed([submit(args) for args, _ in tasks])
    try:
        return _collect(pending, futures, submit, bar, failed_fn, KilledWorker)
    except BaseException:
        # interrupted, or a task failed for good: leave the cluster idle
        client.cancel(list(pending.futures), force=True)
        raise


def _collect(pending, futures, submit, bar, failed_fn, KilledWorker):
    rows = []
    for f in pending:
        args = futures[f.key]
        if f.status == "error":
            exc = f.exception()
            if not isinstance(exc, KilledWorker):
                cause = exc.__cause__ or exc.__context__
                if cause is not None:
                    exc = f"{exc} ({type(cause).__name__}: {cause})"
                raise RuntimeError(
                    f"a scan task failed with {type(f.exception()).__name__}: {exc} (can "
                    "every worker import lpa_host and _lpa_cpp, the same versions as "
                    "here?)") from f.exception()
            N, ds = args[0], args[1]
            if len(ds) > 1:
                logger.warning("a task of %d points kept killing its worker; running its "
                               "points one by one", len(ds))
                for d in ds:
                    pending.add(submit((N, [d]) + tuple(args[2:])))
                continue
            logger.warning("the point N = %g, d = %g kept killing its worker", N, ds[0])
            got = [failed_fn(N, ds[0])]
        else:
            got = f.result()
        f.release()
        rows.extend(got)
        if bar is not None:
            bar.update(len(got), sum(1 for r in got if not r.get("converged", r.get("ok"))))
    return rows


def scan(N_values, d_values, client=None, *, workers: int | None = None,
         segment: int | None = None, progress=False,
         point_fn: Callable | None = None) -> list[dict]:
    """Wilson-Fisher rows for every (N, d) of the grid, N outer, d inner, in the
    order given: dicts with the keys of ``wilson_fisher(...).as_row()`` (at
    least ROW_FIELDS), plain floats and bools.

        rows = scan([1, 2], [3.0, 3.05, 3.1])                 # a LocalCluster, closed after
        rows = scan([1], ds, client=client)                   # an existing cluster

    client: a ``distributed.Client``; None starts a LocalCluster of `workers`
    single-threaded processes (default: one per core) for this call.
    segment: points per task (default: about SEGMENTS_PER_WORKER tasks per
    worker, at least MIN_SEGMENT points each).
    progress: True for a bar on stderr, or a callable total -> object with
    ``update(n_points, n_failed)``.
    point_fn: the point solver, called in the workers as point_fn(N, d[,
    start=...]); default lpa_host.wilson_fisher (for tests and other models).

    A point that does not converge is a row with converged False; a worker that
    dies costs time, not rows. ValueError for an empty grid, N < 1, d outside
    [2.4, 3.9] or non-finite values, before anything starts."""
    Ns, ds = check_grid(N_values, d_values)
    if segment is not None and int(segment) < 1:
        raise ValueError(f"segment must be >= 1, got {segment}")
    distinct_N = list(dict.fromkeys(Ns))
    n_d = len(set(ds))
    with _client_for(client, workers) as c:
        length = int(segment) if segment else auto_segment_length(
            len(distinct_N) * n_d, _n_workers(c))
        tasks = []
        for N in distinct_N:
            for seg in segments(ds, length):
                tasks.append(((N, seg, point_fn), len(seg)))
        got = _run(c, tasks, progress, "scan", solve_segment, failed_row)
    by_point = {(r["N"], r["d"]): r for r in got}
    out = []
    for N in Ns:
        for d in ds:
            row = by_point.get((N, d))
            if row is None:  # a point function that rewrote N or d
                row = failed_row(N, d)
            out.append(dict(row))
    return out


def fixed_point_counts(d_values, N: float = 1.0, client=None, *, workers: int | None = None,
                       segment: int = 2, progress=False) -> list[dict]:
    """How many nontrivial fixed points ``lpa_host.fixed_points(N=N, d=d)`` finds
    at each d, on the cluster: rows {N, d, count, n_relevant, nu, ok} in the
    order of d_values (n_relevant and nu: lists, one entry per point; ok False
    and count -1 where the search raised).

        rows = fixed_point_counts(np.arange(2.41, 3.9, 0.05), N=1)
    """
    from .on import N_MAX_ALL
    Ns, ds = check_grid([N], d_values, N_MAX_ALL)
    values = sorted(set(ds))
    with _client_for(client, workers) as c:
        tasks = [((Ns[0], values[i:i + segment]), len(values[i:i + segment]))
                 for i in range(0, len(values), max(1, int(segment)))]
        got = _run(c, tasks, progress, "fixed points", _count_fixed_points,
                   lambda N, d: dict(N=float(N), d=float(d), count=-1, n_relevant=[],
                                     nu=[], ok=False))
    by_d = {r["d"]: r for r in got}
    return [dict(by_d[d]) for d in ds]
