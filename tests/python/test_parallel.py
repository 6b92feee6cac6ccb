"""Threads: the drivers let go of the GIL for the whole native call, the
per-coefficient differences and multistart spread over the OpenMP threads,
and concurrent runs on one solver give the serial results."""

import contextlib
import ctypes
import os
import pathlib
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

import _core_cpp
import _lpa_cpp
import routines as R
from routines import clean_log  # noqa: F401  (autouse)

NAP_US = 10_000  # each flow call of flow_sleep naps 10 ms

needs_two_threads = pytest.mark.skipif(R.omp_max_threads() < 2,
                                       reason="needs two OpenMP threads")


@contextlib.contextmanager
def ticking():
    """A Python thread bumps R.TICKER for as long as it gets the GIL."""
    stop = threading.Event()

    def tick():
        while not stop.is_set():
            R.TICKER[0] += 1

    thread = threading.Thread(target=tick, daemon=True)
    thread.start()
    try:
        yield
    finally:
        stop.set()
        thread.join()


def sleepy_solver():
    return _lpa_cpp.LPACollSolver_cpp(np.linspace(0.0, 1.0, 5), _core_cpp.PolynomialAnsatz(1, 2),
                                      R.flow_sleep.address, 0, 0, 0, 1, 1)


RUNS = {
    "local_optimize": lambda s, z, p: s.local_optimize(z, 3, 1e-9, p),
    "local_optimize_fixed_iterations":
        lambda s, z, p: s.local_optimize_fixed_iterations(z, 1, p, multithread=True),
    "param_path_following": lambda s, z, p: s.param_path_following(z, 3, 1e-9, [p, p]),
    "multistart_optimize": lambda s, z, p: s.multistart_optimize([z, z + 1.0, z - 1.0], 3, 1e-9,
                                                                 p),
}


@pytest.mark.parametrize("driver", list(RUNS))
def test_the_gil_is_free_during_every_routine_call(driver):
    solver = sleepy_solver()
    with ticking():
        RUNS[driver](solver, np.zeros(3), [float(NAP_US)])
    moved = R.calls(R.KIND_FLOW)[:, R.COL_EXTRA]
    assert len(moved) >= 8
    # Every call, from the first residual to the last, saw the ticker move.
    assert np.all(moved > 0), moved


def test_ticker_stands_still_while_the_gil_is_held():
    # The measurement itself: the same routine called with the GIL held
    # sees no ticks during its nap.
    pointer = ctypes.c_void_p
    holding_the_gil = ctypes.PYFUNCTYPE(None, *[pointer] * 6, ctypes.c_int, ctypes.c_int)
    flow = holding_the_gil(R.flow_sleep.address)
    x, u, out = np.zeros(5), np.zeros(5), np.zeros(5)
    params = np.array([float(NAP_US)])
    with ticking():
        for _ in range(3):
            flow(*[a.ctypes.data for a in (x, u, u, u, params, out)], 5, 1)
    moved = R.calls(R.KIND_FLOW)[:, R.COL_EXTRA]
    assert len(moved) == 3 and np.all(moved == 0), moved


# ---------------------------------------------------------------------------
# OpenMP threads


def flow_threads():
    rows = R.calls(R.KIND_FLOW)
    return rows[:, R.COL_TID].astype(int)


@needs_two_threads
def test_differences_from_256_coefficients_spread_over_threads():
    solver, _, _ = R.table_solver(300, 256)
    solver.local_optimize_fixed_iterations(np.zeros(256), 1, [0.7, 1.3], True)
    tids = flow_threads()
    me = threading.get_native_id()
    assert tids[0] == me and tids[-1] == me  # the residuals run on the caller
    differences = tids[1:-1]
    assert len(differences) == 512
    assert len(set(differences)) >= 2
    assert me in differences


@pytest.mark.parametrize("n, multithread", [(256, False), (255, True)])
def test_differences_below_the_threshold_or_serial_stay_on_the_caller(n, multithread):
    solver, _, _ = R.table_solver(300, n)
    solver.local_optimize_fixed_iterations(np.zeros(n), 1, [0.7, 1.3], multithread)
    assert set(flow_threads()) == {threading.get_native_id()}


@needs_two_threads
def test_multistart_spreads_the_starts_over_threads():
    solver, _, _ = R.table_solver(40, 8)
    starts = [np.full(8, 0.1 * i) for i in range(6)]
    solver.multistart_optimize(starts, 3, 1e-12, [0.7, 1.3])
    assert len(set(flow_threads())) >= 2


def test_single_runs_stay_on_the_calling_thread():
    solver, _, _ = R.table_solver(40, 8, batch=R.batch_model)
    me = threading.get_native_id()
    solver.local_optimize(np.zeros(8), 3, 1e-12, [0.7, 1.3], True)
    solver.param_path_following(np.zeros(8), 3, 1e-12, [[0.7, 1.3]] * 2)
    assert set(flow_threads()) == {me}


# ---------------------------------------------------------------------------
# Concurrent runs on one solver

CONCURRENT = textwrap.dedent("""
    import random, sys, threading
    import numpy as np
    import routines as R

    P = np.array([0.7, 1.3])
    solvers = {
        "differences": R.table_solver(60, 12)[0],
        "batched": R.table_solver(200, 64, batch=R.batch_model)[0],
        "parallel-differences": R.table_solver(300, 256)[0],
        "chain-rule": R.table_solver(600, 20, sens=True, sens_par=True)[0],
    }

    def jobs(name, solver):
        n = {"differences": 12, "batched": 64, "parallel-differences": 256,
             "chain-rule": 20}[name]
        rng = np.random.default_rng(n)
        s = [0.1 * rng.standard_normal(n) for _ in range(3)]
        return {
            (name, "local"): lambda: [solver.local_optimize(s[0], 4, 1e-12, P)],
            (name, "local-mt"): lambda: [solver.local_optimize(s[0], 4, 1e-12, P, True)],
            (name, "fixed"): lambda: [solver.local_optimize_fixed_iterations(s[1], 3, P, True)],
            (name, "path"): lambda: solver.param_path_following(s[2], 4, 1e-12,
                                                                [P, P * [1.0, 1.1]]),
            (name, "multistart"): lambda: solver.multistart_optimize(s, 4, 1e-12, P),
        }

    def construct():
        # Construction calls a Python basis while other threads solve.
        solver, _, _ = R.table_solver(30, 6)
        return [solver.local_optimize(np.zeros(6), 4, 1e-12, P)]

    work = {}
    for name, solver in solvers.items():
        work.update(jobs(name, solver))
    work[("python-basis", "construct")] = construct

    def key(results):
        return [(r.coeffs.tobytes(), r.success, r.iterations, r.error.hex()) for r in results]

    reference = {k: key(f()) for k, f in work.items()}
    mismatches = []
    barrier = threading.Barrier(6)

    def worker(seed):
        order = list(work) * 2
        random.Random(seed).shuffle(order)
        barrier.wait()
        for k in order:
            if key(work[k]()) != reference[k]:
                mismatches.append(k)

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    print("mismatches:", sorted(set(mismatches)))
    sys.exit(1 if mismatches else 0)
""")


def test_concurrent_runs_on_one_solver_match_serial_runs():
    here = pathlib.Path(__file__).resolve().parent
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([str(here)] + [p for p in sys.path if p])
    try:
        proc = subprocess.run([sys.executable, "-c", CONCURRENT], env=env, capture_output=True,
                              text=True, timeout=120)
    except subprocess.TimeoutExpired as e:
        pytest.fail(f"concurrent runs did not finish (deadlock?): {e.stdout!r} {e.stderr!r}")
    assert proc.returncode == 0, proc.stdout + proc.stderr
