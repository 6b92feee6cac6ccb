"""Scans of the Wilson-Fisher fixed point over (N, d) on Dask distributed.

    import lpa_host
    rows = lpa_host.scan([1, 2, 3, 4], np.arange(2.4, 3.9001, 0.01))   # a local cluster
    rows[0]   # {'N': 1.0, 'd': 2.4, 'u_prime_0': ..., 'nu': ..., 'converged': True, ...}

    from distributed import Client
    with Client("tcp://scheduler:8786") as client:                      # an existing cluster
        rows = lpa_host.scan([1, 2], [3.0, 3.1, 3.2], client=client)

The command ``python -m lpa_host scan`` (``lpa_host.cli``) runs the same
scan with its rows written to disk as they arrive, and can resume it.

Limits. Every value of the grid is checked before anything starts, with
the rules of ``wilson_fisher`` (``lpa_host.on.check_N_d``); a value given
twice is refused. A grid of more than LARGE_GRID points needs
``allow_large=True`` (on the command line ``--allow-large``), and none may
have more than MAX_GRID.

How the work is cut. The grid, N sorted and d sorted, is cut into blocks of
at most `segment` points: a run of neighbouring d (a segment) for a run of
neighbouring N. One task solves one block point by point, each started from
the converged point nearest to it (``wilson_fisher(N, d, start=previous)``):
the first N of the block walks its segment from the d nearest D_START
outwards, every later N starts from the one before at the same d. The cut
depends on the grid and `segment` only, never on the cluster or on timing:
the same call gives the same numbers, and a resumed scan the numbers of an
uninterrupted one. Tasks are handed to the cluster a few per worker at a
time, so neither their number in flight nor the client's memory grows with
the grid beyond the rows themselves.

What crosses a process boundary. A task receives its points and, if one was
given, the point function (a module-level function travels as its name); it
returns a list of rows of plain Python floats and bools. Routine addresses,
solvers and bases are made inside each worker process the first time it
needs them and are never pickled.

Faults. A worker process that dies takes its running task with it; the
scheduler runs the task again elsewhere (a restarted local worker included),
so the scan loses time, not rows. A task that kills its worker again and
again is split into single points; a single point that still kills its
worker becomes a row with converged False. A point whose solve fails or
raises becomes a row with converged False and NaNs. A lost scheduler raises
SchedulerLost, a cluster without workers NoWorkers (after `wait_workers`
seconds); errors that would hit every task (a worker that cannot import
lpa_host, say) raise RuntimeError with the worker's error.
"""

from __future__ import annotations

import contextlib
import logging
import math
import numbers
import os
import signal
import subprocess
import sys
import threading
import time
import uuid
from collections.abc import Callable, Iterable, Iterator, Sequence

#: The fields of every row, in this order (rows from wilson_fisher may add more).
ROW_FIELDS = ("N", "d", "u_prime_0", "kappa", "nu", "omega", "converged", "nu_error",
              "omega_error")

#: Grids of more points than this need allow_large=True (--allow-large).
LARGE_GRID = 100_000
#: No grid may have more points than this.
MAX_GRID = 10_000_000

#: Points per task when `segment` is not given: about TASKS_PER_GRID tasks,
#: none shorter than MIN_SEGMENT (a cold start costs several warm ones) nor
#: longer than MAX_SEGMENT (an interrupt loses at most one task per worker).
TASKS_PER_GRID = 24
MIN_SEGMENT = 6
MAX_SEGMENT = 64

#: d where each segment's walk begins (the point of the segment nearest it).
D_START = 3.0

#: Tasks in flight per worker.
IN_FLIGHT_PER_WORKER = 2
#: Seconds to wait for a worker when the cluster has none.
WAIT_WORKERS = 60.0

logger = logging.getLogger(__name__)


class SchedulerLost(RuntimeError):
    """The connection to the scheduler was lost during a scan."""


class NoWorkers(RuntimeError):
    """The cluster had no worker for longer than the scan would wait."""


# ---------------------------------------------------------------------------
# checks

def check_values(values, name: str, check: Callable[[float], float]) -> list[float]:
    """values as a list of floats, each passed through check; ValueError naming
    `name` for a string, an empty list, a value that is not a finite real
    number, one that check refuses, or one given twice."""
    from .model import check_real
    if isinstance(values, (str, bytes)):
        raise ValueError(f"{name} must be numbers, got the string {values!r}")
    items = values if isinstance(values, Iterable) else [values]
    out = []
    for v in items:
        x = check_real(name, v)
        try:
            out.append(check(x))
        except ValueError as exc:
            raise ValueError(f"{name}: {exc}") from None
    if not out:
        raise ValueError(f"{name} is empty")
    if len(set(out)) < len(out):
        seen: set[float] = set()
        twice = next(v for v in out if v in seen or seen.add(v))
        raise ValueError(f"{name}: {twice:g} is given more than once")
    return out


def check_grid(N_values, d_values, *, n_max: float | None = None, allow_large: bool = False,
               names: tuple[str, str] = ("N_values", "d_values"),
               large_flag: str = "allow_large=True") -> tuple[list[float], list[float]]:
    """The grid as two lists of floats; ValueError, naming the argument, for
    anything ``wilson_fisher`` would refuse (``lpa_host.on.check_N_d``), a
    value given twice, or more than LARGE_GRID points without allow_large
    (MAX_GRID in any case)."""
    from .on import N_MAX, check_N_d
    n_max = N_MAX if n_max is None else n_max
    Ns = check_values(N_values, names[0], lambda N: check_N_d(N, D_START, n_max)[0])
    # (ends a rounding error out, 2.2 + 175 * 0.01, are brought in)
    ds = check_values(d_values, names[1], lambda d: check_N_d(1.0, d)[1])
    check_size(len(Ns) * len(ds), allow_large, large_flag)
    return Ns, ds


def check_size(n_points: int, allow_large: bool, flag: str) -> None:
    """ValueError for a grid of more than LARGE_GRID points without allow_large,
    or of more than MAX_GRID."""
    if n_points > MAX_GRID:
        raise ValueError(f"the grid has {n_points:,} points; at most {MAX_GRID:,} can be "
                         "scanned")
    if n_points > LARGE_GRID and not allow_large:
        raise ValueError(f"the grid has {n_points:,} points, more than {LARGE_GRID:,}; pass "
                         f"{flag} to scan it")


def check_segment(segment) -> int | None:
    if segment is None:
        return None
    if isinstance(segment, bool) or not isinstance(segment, numbers.Integral) or segment < 1:
        raise ValueError(f"segment must be a whole number >= 1, got {segment!r}")
    return int(segment)


def check_client(client):
    """client if it is a distributed.Client or None; TypeError otherwise."""
    if client is None:
        return None
    from distributed import Client
    if not isinstance(client, Client):
        hint = (f"; for an address, connect first: Client({client!r})"
                if isinstance(client, str) else "")
        raise TypeError(f"client must be a distributed.Client or None, got "
                        f"{type(client).__name__}{hint}")
    return client


# ---------------------------------------------------------------------------
# the grid and its tasks

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


def auto_segment_length(n_points: int) -> int:
    """Points per task: about TASKS_PER_GRID tasks, between MIN_SEGMENT and
    MAX_SEGMENT points each."""
    return min(MAX_SEGMENT, max(MIN_SEGMENT, math.ceil(n_points / TASKS_PER_GRID)))


def blocks(Ns: Sequence[float], ds: Sequence[float], length: int) -> Iterator[list[int]]:
    """The tasks of the grid (N outer, d inner, as given), each a list of
    point indices (i_N * len(ds) + i_d) in the order of its walk: a run of
    neighbouring N (sorted) times a segment of d, at most `length` points."""
    import numpy as np
    n_d = len(ds)
    at_d = {d: j for j, d in enumerate(ds)}
    segs = [[at_d[d] for d in seg] for seg in segments(ds, min(length, n_d))]
    per_block = max(1, length // max(len(s) for s in segs))
    by_N = np.argsort(np.asarray(Ns, dtype=float), kind="stable")  # 8 bytes a value
    for a in range(0, len(by_N), per_block):
        run = by_N[a:a + per_block].tolist()
        for seg in segs:
            yield [i * n_d + j for i in run for j in seg]


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


def _nearest(solved: dict, N: float, d: float):
    """The converged point to start (N, d) from: the one at the same d with the
    nearest N, else the one at the same N with the nearest d, else None."""
    same_d = [(abs(N1 - N), N1) for (N1, d1) in solved if d1 == d]
    if same_d:
        return solved[(min(same_d)[1], d)]
    same_N = [(abs(d1 - d), d1) for (N1, d1) in solved if N1 == N]
    return solved[(N, min(same_N)[1])] if same_N else None


def solve_points(points: Sequence[tuple[float, float]], point_fn: Callable | None = None
                 ) -> list[dict]:
    """One task: Wilson-Fisher rows for the (N, d) points, in the order given.

    Each point starts from the nearest converged one before it (``_nearest``),
    and cold if there is none or that fails. Runs in a worker process; also
    callable directly, e.g. ``solve_points([(1.0, 3.0), (1.0, 3.1)])``."""
    fn = point_fn or _default_point_fn()
    rows = []
    solved: dict = {}  # (N, d) -> converged result
    for N, d in points:
        try:
            previous = _nearest(solved, N, d)
            result = fn(N, d) if previous is None else fn(N, d, start=previous)
            if previous is not None and not result.converged:
                result = fn(N, d)
            row = _plain(result.as_row())
            if result.converged:
                solved[(N, d)] = result
        except Exception:  # noqa: BLE001  - one bad point must not end the task
            logger.exception("the Wilson-Fisher point at N = %g, d = %g raised", N, d)
            row = failed_row(N, d)
        row["converged"] = bool(row.get("converged", False))
        rows.append(row)
    return rows


def failed_count(N: float, d: float) -> dict:
    return dict(N=float(N), d=float(d), count=-1, n_relevant=[], nu=[], ok=False)


def count_points(points: Sequence[tuple[float, float]]) -> list[dict]:
    """One task: the nontrivial fixed points at each (N, d)."""
    import warnings

    from .on import fixed_points
    rows = []
    for N, d in points:
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", RuntimeWarning)
                fps = [p for p in fixed_points(N=N, d=d) if p.converged]
            rows.append(dict(N=float(N), d=float(d), count=len(fps),
                             n_relevant=[int(p.n_relevant) for p in fps],
                             nu=[float(p.nu) for p in fps], ok=True))
        except Exception:  # noqa: BLE001
            logger.exception("fixed_points(N=%g, d=%g) raised", N, d)
            rows.append(failed_count(N, d))
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
# client side: the cluster

def default_workers() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:
        return os.cpu_count() or 1


#: Seconds a local cluster may take to start.
CLUSTER_START = 120.0


@contextlib.contextmanager
def local_client(workers: int | None = None):
    """A Client on a fresh local cluster of `workers` single-threaded worker
    processes (default: one per core), spawned, with OMP_NUM_THREADS=1. The
    cluster runs in a process group of its own (``lpa_host.cluster``): it
    never sees the terminal's Ctrl-C, it stops at once when the block ends,
    however it ends, and it stops with this process even if this one is killed.

        with local_client(2) as client:
            rows = scan([1], [3.0, 3.1], client=client)
    """
    import dask
    from distributed import Client

    from .cluster import WORKER_ENV
    n = default_workers() if workers is None else workers
    if isinstance(n, bool) or not isinstance(n, numbers.Integral) or n < 0:
        raise ValueError(f"workers must be a whole number >= 1, got {workers!r}")
    env = dict(os.environ, **WORKER_ENV,
               PYTHONPATH=os.pathsep.join(p for p in sys.path if p),
               DASK_INTERNAL_INHERIT_CONFIG=dask.config.serialize(dask.config.global_config))
    proc = subprocess.Popen([sys.executable, "-m", "lpa_host.cluster", str(int(n))],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env,
                            start_new_session=True, text=True)
    try:
        client = Client(_first_line(proc, CLUSTER_START), timeout=f"{CLUSTER_START}s")
    except BaseException:
        stop_cluster(proc)
        raise
    try:
        yield client
    except BaseException:
        close_client(client, 0.5)  # an interrupt waits for little
        stop_cluster(proc)
        raise
    close_client(client)
    stop_cluster(proc)


def _first_line(proc, timeout: float) -> str:
    """The first line proc writes (the scheduler's address); RuntimeError if it
    exits or takes longer than timeout."""
    got: list[str] = []
    reader = threading.Thread(target=lambda: got.append(proc.stdout.readline()), daemon=True)
    reader.start()
    reader.join(timeout)
    line = got[0].strip() if got else ""
    if not line:
        raise RuntimeError(f"the local cluster did not start within {timeout:g} s "
                           f"(exit status {proc.poll()})")
    return line


def stop_cluster(proc) -> None:
    """Stop a local cluster process and its workers at once."""
    if proc.poll() is None:
        with contextlib.suppress(ProcessLookupError, PermissionError):
            os.killpg(proc.pid, signal.SIGKILL)
    for close in (proc.stdin.close, lambda: proc.wait(5.0), proc.stdout.close):
        with contextlib.suppress(Exception):
            close()


def close_client(client, wait: float = 2.0) -> None:
    """Close a client, waiting at most `wait` seconds (its scheduler may be gone)."""
    _in_thread(client.close, wait)


def _in_thread(fn, wait: float) -> None:
    t = threading.Thread(target=_quietly, args=(fn,), daemon=True)
    t.start()
    t.join(wait)


def _quietly(fn):
    try:
        fn()
    except Exception as exc:  # noqa: BLE001 - the results are in by then
        logger.warning("%s failed: %s: %s", getattr(fn, "__name__", "closing"),
                       type(exc).__name__, exc)


@contextlib.contextmanager
def _client_for(client, workers):
    if client is not None:
        yield client
    else:
        with local_client(workers) as c:
            yield c


def n_workers(client) -> int:
    try:
        return sum(client.nthreads().values())
    except Exception:  # noqa: BLE001
        return 0


# ---------------------------------------------------------------------------
# client side: running tasks

class Progress:
    """A text progress bar on stderr: rewritten in place on a terminal, a line
    every 10 % otherwise."""

    def __init__(self, total: int, label: str, stream=None, width: int = 30, done: int = 0):
        self.total, self.label, self.width = max(1, total), label, width
        self.stream = stream or sys.stderr
        self.tty = hasattr(self.stream, "isatty") and self.stream.isatty()
        self.t0 = time.perf_counter()
        self.done = self.start = done
        self.failed = 0
        self._last_tenth = -1
        self._draw()

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
        new = (self.done - self.start) / self.total
        eta = dt * (1 - frac) / new if new > 0 else math.nan
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

    def close(self):
        """End an unfinished bar's line on a terminal."""
        if self.tty and self.done < self.total:
            self.stream.write("\n")
            self.stream.flush()


def _cancel(client, futures, wait: float = 0.5) -> None:
    """Cancel futures without waiting long on a scheduler that may be gone."""
    if futures:
        _in_thread(lambda: client.cancel(futures, force=True), wait)


def run_tasks(client, task_fn: Callable, tasks: Iterable[list], point_of: Callable,
              failed_fn: Callable, *, extra: tuple = (),
              wait_workers: float = WAIT_WORKERS) -> Iterator[tuple[list[int], list[dict]]]:
    """Run task_fn([point_of(i) for i in task], *extra) for every task (a list
    of point indices) on the client, a few tasks per worker at a time; yield
    (indices, rows) as tasks finish. A task whose worker keeps dying is split
    into single points, and a single point that still kills its worker
    becomes failed_fn(*point).

    Raises NoWorkers when the cluster has had no worker for wait_workers
    seconds, SchedulerLost when the scheduler goes away, RuntimeError when a
    task fails for another reason. On any exit (Ctrl-C too) the tasks still
    in flight are cancelled."""
    from distributed import wait
    from distributed.scheduler import KilledWorker
    from distributed.utils import CancelledError  # what the client raises

    tag = uuid.uuid4().hex[:12]
    name = task_fn.__name__.strip("_")
    todo = iter(tasks)
    retry: list[list[int]] = []
    flight: dict = {}  # future -> indices
    serial = 0
    idle_since: float | None = None
    limit = IN_FLIGHT_PER_WORKER

    def submit(indices):
        nonlocal serial
        serial += 1
        f = client.submit(task_fn, [point_of(i) for i in indices], *extra,
                          key=f"{name}-{tag}-{serial}", pure=False)
        flight[f] = indices

    try:
        while True:
            workers = n_workers(client)
            if workers == 0:
                idle_since = idle_since or time.monotonic()
                if time.monotonic() - idle_since > wait_workers:
                    raise NoWorkers(f"the cluster has had no workers for {wait_workers:g} s")
            else:
                idle_since = None
                limit = IN_FLIGHT_PER_WORKER * workers + 1
            while len(flight) < limit:
                nxt = retry.pop() if retry else next(todo, None)
                if nxt is None:
                    break
                submit(nxt)
            if not flight:
                return
            try:
                done, _ = wait(list(flight), timeout=1.0, return_when="FIRST_COMPLETED")
            except TimeoutError:  # nothing finished within the second: look again
                continue
            except CancelledError as exc:  # FuturesCancelledError too
                raise SchedulerLost(f"the scheduler was lost ({str(exc).splitlines()[0]})"
                                    ) from None
            for f in done:
                indices = flight.pop(f)
                got = _result(f, indices, retry, point_of, failed_fn, KilledWorker)
                if got is not None:
                    yield indices, got
    finally:
        _cancel(client, list(flight))


def _result(f, indices, retry, point_of, failed_fn, KilledWorker):
    """The rows of a finished future; None when its points went back to retry."""
    if f.status == "cancelled":
        raise SchedulerLost("the scheduler was lost (the client's tasks were cancelled)")
    if f.status == "error":
        exc = f.exception()
        if not isinstance(exc, KilledWorker):
            cause = exc.__cause__ or exc.__context__
            text = f"{exc} ({type(cause).__name__}: {cause})" if cause is not None else exc
            raise RuntimeError(
                f"a scan task failed with {type(exc).__name__}: {text} (can every worker "
                "import lpa_host and _lpa_cpp, the same versions as here?)") from exc
        if len(indices) > 1:
            logger.warning("a task of %d points kept killing its worker; running its "
                           "points one by one", len(indices))
            retry.extend([i] for i in reversed(indices))
            return None
        logger.warning("the point %s kept killing its worker", point_of(indices[0]))
        got = [failed_fn(*point_of(indices[0]))]
    else:
        got = f.result()
    f.release()
    return got


# ---------------------------------------------------------------------------
# the entry points

def scan(N_values, d_values, client=None, *, workers: int | None = None,
         segment: int | None = None, progress=False, point_fn: Callable | None = None,
         allow_large: bool = False, wait_workers: float = WAIT_WORKERS) -> list[dict]:
    """Wilson-Fisher rows for every (N, d) of the grid, N outer, d inner, in the
    order given: dicts with the keys of ``wilson_fisher(...).as_row()`` (at
    least ROW_FIELDS), plain floats and bools.

        rows = scan([1, 2], [3.0, 3.05, 3.1])                 # a local cluster, closed after
        rows = scan([1], ds, client=client)                   # an existing cluster

    client: a ``distributed.Client``; None starts a local cluster of `workers`
    single-threaded processes (default: one per core) for this call.
    segment: points per task (default ``auto_segment_length``).
    progress: True for a bar on stderr, or a callable total -> object with
    ``update(n_points, n_failed)``.
    point_fn: the point solver, called in the workers as point_fn(N, d[,
    start=...]); default lpa_host.wilson_fisher (for tests and other models).
    allow_large: needed for a grid of more than LARGE_GRID points.
    wait_workers: seconds to wait while the cluster has no worker.

    A point that does not converge is a row with converged False; a worker that
    dies costs time, not rows. ValueError (TypeError for a client that is not
    one) for bad arguments, before anything starts."""
    Ns, ds = check_grid(N_values, d_values, allow_large=allow_large)
    segment = check_segment(segment)
    client = check_client(client)
    n_d = len(ds)
    length = segment or auto_segment_length(len(Ns) * n_d)
    rows: list = [None] * (len(Ns) * n_d)
    with _client_for(client, workers) as c:
        bar = _bar(progress, len(rows), "scan")
        for indices, got in run_tasks(c, solve_points, blocks(Ns, ds, length),
                                      lambda i: (Ns[i // n_d], ds[i % n_d]), failed_row,
                                      extra=(point_fn,), wait_workers=wait_workers):
            for i, row in zip(indices, got):
                rows[i] = row
            if bar is not None:
                bar.update(len(got), sum(1 for r in got if not r.get("converged")))
    return [dict(r) if r is not None and (r["N"], r["d"]) == (Ns[i // n_d], ds[i % n_d])
            else failed_row(Ns[i // n_d], ds[i % n_d])  # a point function that rewrote N, d
            for i, r in enumerate(rows)]


def _bar(progress, total: int, label: str):
    if not progress:
        return None
    return progress(total) if callable(progress) else Progress(total, label)


def fixed_point_counts(d_values, N: float = 1.0, client=None, *, workers: int | None = None,
                       segment: int = 2, progress=False, allow_large: bool = False,
                       wait_workers: float = WAIT_WORKERS) -> list[dict]:
    """How many nontrivial fixed points ``lpa_host.fixed_points(N=N, d=d)`` finds
    at each d, on the cluster: rows {N, d, count, n_relevant, nu, ok} in the
    order of d_values (n_relevant and nu: lists, one entry per point; ok False
    and count -1 where the search raised). The checks are those of scan, with
    N up to what fixed_points allows.

        rows = fixed_point_counts(np.arange(2.41, 3.9, 0.05), N=1)
    """
    from .on import N_MAX_ALL
    Ns, ds = check_grid([N], d_values, n_max=N_MAX_ALL, allow_large=allow_large,
                        names=("N", "d_values"))
    segment = check_segment(segment) or 2
    client = check_client(client)
    rows: list = [None] * len(ds)
    with _client_for(client, workers) as c:
        bar = _bar(progress, len(ds), "fixed points")
        tasks = count_blocks(len(ds), segment)
        for indices, got in run_tasks(c, count_points, tasks, lambda i: (Ns[0], ds[i]),
                                      failed_count, wait_workers=wait_workers):
            for i, row in zip(indices, got):
                rows[i] = row
            if bar is not None:
                bar.update(len(got), sum(1 for r in got if not r["ok"]))
    return rows


def count_blocks(n: int, segment: int) -> Iterator[list[int]]:
    """Tasks of the fixed-point count: runs of `segment` values of d."""
    for a in range(0, n, segment):
        yield list(range(a, min(n, a + segment)))
