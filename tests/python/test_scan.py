"""lpa_host.scan on Dask distributed: the rows against serial calls of
wilson_fisher, worker processes (spawned, one OpenMP thread), a worker killed
in the middle of a scan, and points that fail."""

import importlib
import math
import os
import signal
from types import SimpleNamespace

import numpy as np
import pytest

from lpa_host.scan import check_grid, failed_row, local_client, scan, segments, worker_report
from lpa_host.wilson_fisher import wilson_fisher

distributed = pytest.importorskip("distributed")

# A worker start is a process spawn plus imports (a few seconds); the scans
# below are small. The limits only guard against a hang on a loaded machine.
CLUSTER_TIMEOUT = 240

N_GRID = [1.0, 2.5]
D_GRID = [2.9, 2.95, 3.0, 3.05, 3.1, 3.2, 3.3, 3.45, 3.6]
SEGMENT = 3
COMPARED = ("u_prime_0", "kappa", "nu", "omega")


@pytest.fixture(scope="module")
def client():
    import dask
    # A user's OMP_NUM_THREADS must not reach the workers: one thread each.
    with pytest.MonkeyPatch.context() as mp:
        mp.setenv("OMP_NUM_THREADS", "2")
        # A task is declared deadly after one worker death on it (default 3),
        # so that the deadly-point test needs four restarts, not eight.
        with dask.config.set({"distributed.scheduler.allowed-failures": 1}), \
                local_client(2) as c:
            yield c


@pytest.fixture(scope="module")
def reference(client):
    return scan(N_GRID, D_GRID, client=client, segment=SEGMENT)


def assert_close(rows, refs):
    """Same points in the same order, converged, and equal within the
    reference's own error estimates (1e-8 relative where it has none)."""
    assert [(r["N"], r["d"]) for r in rows] == [(ref["N"], ref["d"]) for ref in refs]
    for r, ref in zip(rows, refs):
        assert r["converged"] and ref["converged"], (r, ref)
        for k in COMPARED:
            tol = max(ref.get(f"{k}_error", 0.0), 1e-8 * max(1.0, abs(ref[k])))
            assert abs(r[k] - ref[k]) <= tol, (k, r, ref)


# --- no cluster ---------------------------------------------------------------

@pytest.mark.parametrize("N,d,match", [
    ([0.5], [3.0], "N must be >= 1"), ([1.0], [2.3], "d must lie in"),
    ([1.0], [3.95], "d must lie in"), ([1.0, math.nan], [3.0], "finite"),
    ([1.0], [math.inf], "finite"), ([], [3.0], "empty"),
    ([1.0], "3.0", "string"), ([1.0], [None], "real numbers"),
])
def test_bad_grid_is_refused_before_any_worker_starts(N, d, match):
    with pytest.raises(ValueError, match=match):
        scan(N, d, client=object())  # would fail on first use of the client


def test_segments_cover_every_d_once_and_walk_between_neighbours():
    ds = list(np.round(np.arange(2.4, 3.9 + 1e-9, 0.01), 10)) + [3.0, 3.0]
    values = sorted(set(ds))
    for length in (1, 5, 38, 151, 1000):
        segs = segments(ds, length)
        assert sorted(d for s in segs for d in s) == values
        sizes = [len(s) for s in segs]
        assert max(sizes) <= length and max(sizes) - min(sizes) <= 1
        for s in segs:
            # a walk from the point nearest 3 where every step goes to the sorted
            # neighbour of a point already solved: each prefix is a run of neighbours
            idx = [values.index(d) for d in s]
            assert all(max(idx[:j]) - min(idx[:j]) == j - 1 for j in range(2, len(s) + 1)), s
            assert min(s, key=lambda x: abs(x - 3.0)) == s[0]
    # 2.4 + 150 * 0.01 lands a rounding error above 3.9: kept, as 3.9
    assert check_grid([1], [2.4 + 150 * 0.01])[1] == [3.9]


# --- on a local cluster of two processes ----------------------------------------

@pytest.mark.timeout(CLUSTER_TIMEOUT)
def test_workers_are_spawned_processes_with_one_openmp_thread(client):
    report = worker_report(client)
    pids = {w["pid"] for w in report.values()}
    assert len(report) == 2 and len(pids) == 2 and os.getpid() not in pids
    for w in report.values():
        assert w["start_method"] == "spawn", w
        assert w["OMP_NUM_THREADS"] == "1" and w["openmp_threads"] == 1, w


@pytest.mark.timeout(CLUSTER_TIMEOUT)
def test_cluster_rows_equal_serial_calls(reference):
    # Cold serial calls, one per point, compared to 1e-8 in u'(0) and kappa.
    serial = [{**wilson_fisher(N, d).as_row(), "u_prime_0_error": 0.0}
              for N in N_GRID for d in D_GRID]
    assert_close(reference, serial)
    for r in reference:
        assert all(type(v) in (float, bool, int, str) for v in r.values()), r


def sometimes_failing(N, d, start=None):
    """wilson_fisher, except: d = 3.05 does not converge, d = 3.2 raises and
    (N, d) = (1, 3.45) kills its worker process whenever it is tried."""
    if d == 3.05:
        return SimpleNamespace(converged=False, as_row=lambda: failed_row(N, d))
    if d == 3.2:
        raise FloatingPointError("a solver that raises")
    if d == 3.45 and N == 1.0:
        os._exit(17)
    return wilson_fisher(N, d, start=start)


@pytest.mark.timeout(CLUSTER_TIMEOUT)
def test_failing_points_are_rows_with_converged_false(client, reference):
    bad = {(N, 3.05) for N in N_GRID} | {(N, 3.2) for N in N_GRID} | {(1.0, 3.45)}
    rows = scan(N_GRID, D_GRID, client=client, segment=SEGMENT, point_fn=sometimes_failing)
    assert [(r["N"], r["d"]) for r in rows] == [(r["N"], r["d"]) for r in reference]
    for r in rows:
        if (r["N"], r["d"]) in bad:
            assert r["converged"] is False and math.isnan(r["nu"]), r
    # the others: the continuation resumed from the last good point (or cold)
    good = [i for i, r in enumerate(rows) if (r["N"], r["d"]) not in bad]
    assert_close([rows[i] for i in good], [reference[i] for i in good])
    client.wait_for_workers(2, timeout=120)  # the killed workers come back


class MissingOnTheWorkers:
    """Unpickling imports a module the workers lack, as a worker without lpa_host would."""

    def __reduce__(self):
        return importlib.import_module, ("lpa_host_not_installed_here",)


@pytest.mark.timeout(CLUSTER_TIMEOUT)
def test_a_worker_that_cannot_run_the_tasks_stops_the_scan_with_its_error(client):
    with pytest.raises(RuntimeError, match="can every worker import lpa_host"):
        scan(N_GRID, D_GRID, client=client, segment=SEGMENT, point_fn=MissingOnTheWorkers())
    # nothing of it is left running or queued on the cluster
    assert not any(client.processing().values())


@pytest.mark.timeout(CLUSTER_TIMEOUT)
def test_a_worker_killed_mid_scan_costs_no_rows(client, reference):
    victims = []

    def kill_a_busy_worker(n, failed):
        if not victims:
            busy = [w for w, keys in client.processing().items() if keys]
            pids = worker_report(client)
            victims.append(pids[busy[0] if busy else next(iter(pids))]["pid"])
            os.kill(victims[0], signal.SIGKILL)

    rows = scan(N_GRID, D_GRID, client=client, segment=SEGMENT,
                progress=lambda total: SimpleNamespace(update=kill_a_busy_worker))
    assert victims, "no worker was killed"
    assert victims[0] not in {w["pid"] for w in worker_report(client).values()}
    assert_close(rows, reference)
