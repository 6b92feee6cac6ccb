"""lpa_host.scan on a Dask LocalCluster: rows, workers, a killed worker, failing points."""

import importlib
import math
import os
import signal
from types import SimpleNamespace
from unittest import mock

import numpy as np
import pytest

from lpa_host.scan import (blocks, check_grid, failed_row, local_client, scan, segments,
                           worker_report)
from lpa_host import wilson_fisher

distributed = pytest.importorskip("distributed")

# Only a guard against a hang: a worker start takes seconds, the scans are small.
pytestmark = pytest.mark.timeout(240)

N_GRID = [1.0, 2.5]
D_GRID = [2.9, 2.95, 3.0, 3.05, 3.1, 3.2, 3.3, 3.45, 3.6]
SEGMENT = 3


@pytest.fixture(scope="module")
def client():
    import dask
    # A user's OMP_NUM_THREADS must not reach the workers. A task is deadly after
    # one worker death on it (default 3): the deadly point costs 4 restarts, not 8.
    with mock.patch.dict(os.environ, OMP_NUM_THREADS="2"), \
            dask.config.set({"distributed.scheduler.allowed-failures": 1}), \
            local_client(2) as c:
        yield c


@pytest.fixture(scope="module")
def reference(client):
    return scan(N_GRID, D_GRID, client=client, segment=SEGMENT)


def assert_close(rows, refs):
    """Same points in order, converged, equal within the reference's error estimates
    (1e-8 relative where it has none)."""
    assert [(r["N"], r["d"]) for r in rows] == [(ref["N"], ref["d"]) for ref in refs]
    for r, ref in zip(rows, refs):
        assert r["converged"] and ref["converged"], (r, ref)
        for k in ("u_prime_0", "kappa", "nu", "omega"):
            tol = max(ref.get(f"{k}_error", 0.0), 1e-8 * max(1.0, abs(ref[k])))
            assert abs(r[k] - ref[k]) <= tol, (k, r, ref)


@pytest.mark.parametrize("N,d,match", [
    ([-2.0], [3.0], "N must lie in"), ([1.0], [2.1], "d must lie in"), ([], [3.0], "empty"),
    ([1.0], [3.96], "d must lie in"), ([1.0, math.nan], [3.0], "finite"),
    ([1.0], [math.inf], "finite"), ([1.0], "3.0", "string"), ([1.0], [None], "real number"),
    ([1.0], [True], "d_values must be a real number"), (["1"], [3.0], "N_values must be"),
    ([1.0, 2.0, 1.0], [3.0], "N_values: 1 is given more than once"),
    ([1.0], [3.0, 3.0], "d_values: 3 is given more than once"),
    (np.arange(1.0, 2001.0), np.linspace(2.5, 3.5, 51), "102,000 points, more than 100,000"),
])
def test_bad_grid_is_refused_before_any_worker_starts(N, d, match):
    with pytest.raises(ValueError, match=match):
        scan(N, d, client=object())  # would fail on first use of the client


@pytest.mark.parametrize("kwargs,error,match", [
    (dict(client="tcp://127.0.0.1:8786"), TypeError, r"Client\('tcp://127.0.0.1:8786'\)"),
    (dict(client=object()), TypeError, "distributed.Client or None, got object"),
    (dict(segment=0), ValueError, "segment must be a whole number >= 1"),
    (dict(segment=2.5), ValueError, "segment must be"),
])
def test_bad_arguments_are_refused_before_any_worker_starts(kwargs, error, match):
    with pytest.raises(error, match=match):
        scan([1.0], [3.0], **kwargs)


@pytest.mark.parametrize("d", [2.2 * (1 - 5e-13), 3.95 * (1 + 5e-13),
                               2.2 * (1 - 1e-11), 3.95 * (1 + 1e-11), 3.95 + 1e-9])
def test_scan_and_wilson_fisher_share_one_rule_on_the_range_of_d(d):
    def refused(call):
        try:
            call()
        except ValueError:
            return True
        return False
    # a grid the worker would refuse point by point would otherwise come back as NaN rows
    assert refused(lambda: check_grid([1.0], [d])) == refused(lambda: wilson_fisher(1.0, d))


def test_segments_cover_every_d_once_and_walk_between_neighbours():
    ds = list(np.round(np.arange(2.4, 3.9 + 1e-9, 0.01), 10)) + [3.0, 3.0]
    values = sorted(set(ds))
    for length in (1, 5, 38, 151, 1000):
        segs = segments(ds, length)
        assert sorted(d for s in segs for d in s) == values
        sizes = [len(s) for s in segs]
        assert max(sizes) <= length and max(sizes) - min(sizes) <= 1
        for s in segs:
            # starts nearest 3, then each prefix is a run of sorted neighbours
            idx = [values.index(d) for d in s]
            assert all(max(idx[:j]) - min(idx[:j]) == j - 1 for j in range(2, len(s) + 1)), s
            assert min(s, key=lambda x: abs(x - 3.0)) == s[0]
    # 2.4 + 150 * 0.01 lands a rounding error above 3.9: kept, as 3.9
    assert check_grid([1], [2.4 + 150 * 0.01])[1] == [3.9]


@pytest.mark.parametrize("n_N,n_d,length", [(1, 176, 26), (1000, 1, 64), (7, 5, 12), (3, 9, 1)])
def test_blocks_cover_the_grid_once_each_a_walk_between_neighbours(n_N, n_d, length):
    Ns = list(np.random.default_rng(n_N).permutation(np.arange(1.0, n_N + 1.0)))
    ds = [3.0 + 0.01 * (k - n_d // 2) for k in range(n_d)][::-1]
    tasks = list(blocks(Ns, ds, length))
    flat = [i for t in tasks for i in t]
    assert sorted(flat) == list(range(n_N * n_d)) and max(map(len, tasks)) <= length
    for t in tasks:  # every point after the first has a neighbour before it in the task
        pts = [(Ns[i // n_d], ds[i % n_d]) for i in t]
        for k, (N, d) in enumerate(pts[1:], 1):
            assert any((N == N1 and abs(d - d1) < 0.0101) or (d == d1 and abs(N - N1) == 1)
                       for N1, d1 in pts[:k]), (t, k)


def test_workers_are_spawned_processes_with_one_openmp_thread(client):
    report = worker_report(client)
    pids = {w["pid"] for w in report.values()}
    assert len(report) == 2 and len(pids) == 2 and os.getpid() not in pids
    assert {(w["start_method"], w["OMP_NUM_THREADS"], w["openmp_threads"])
            for w in report.values()} == {("spawn", "1", 1)}, report


def test_cluster_rows_equal_serial_calls(reference):
    # Cold serial calls, one per point, compared to 1e-8 in u'(0) and kappa.
    serial = [{**wilson_fisher(N, d).as_row(), "u_prime_0_error": 0.0}
              for N in N_GRID for d in D_GRID]
    assert_close(reference, serial)
    assert all(type(v) in (float, bool, int, str) for r in reference for v in r.values())


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


def test_failing_points_are_rows_with_converged_false(client, reference):
    rows = scan(N_GRID, D_GRID, client=client, segment=SEGMENT, point_fn=sometimes_failing)
    assert [(r["N"], r["d"]) for r in rows] == [(r["N"], r["d"]) for r in reference]
    bad = [r["d"] in (3.05, 3.2) or (r["N"], r["d"]) == (1.0, 3.45) for r in rows]
    assert all(r["converged"] is False and math.isnan(r["nu"])
               for r, b in zip(rows, bad) if b), rows
    # the others: the continuation resumed from the last good point (or cold)
    good = [i for i, b in enumerate(bad) if not b]
    assert_close([rows[i] for i in good], [reference[i] for i in good])
    client.wait_for_workers(2, timeout=120)  # the killed workers come back


class MissingOnTheWorkers:
    """Unpickles only where lpa_host_not_installed_here imports: on no worker."""
    def __reduce__(self):
        return importlib.import_module, ("lpa_host_not_installed_here",)


def test_a_worker_that_cannot_run_the_tasks_stops_the_scan_with_its_error(client):
    with pytest.raises(RuntimeError, match="can every worker import lpa_host"):
        scan(N_GRID, D_GRID, client=client, segment=SEGMENT, point_fn=MissingOnTheWorkers())
    assert not any(client.processing().values())  # nothing left running or queued


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
