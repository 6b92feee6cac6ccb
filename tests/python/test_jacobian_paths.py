"""How the Jacobian is formed: which routine is called, with which counts, at
each threshold of the path choice; that every path gives the Jacobian of the
residual; and the finite-difference step."""

import numpy as np
import pytest

import _lpa_cpp
import routines as R
from routines import clean_log  # noqa: F401  (autouse)

PARAMS = np.array([0.7, 1.3])  # nonlinear: the Jacobian depends on the point


def one_jacobian(solver, n, multithread):
    """One Newton step from a fixed start: residual, Jacobian, residual."""
    start = 0.2 * np.random.default_rng(9).standard_normal(n)
    return start, solver.local_optimize_fixed_iterations(start, 1, PARAMS, multithread)


# (m, n, d, routines given, multithread) -> calls (flow, batch, sens, sens_par)
PATHS = {
    "n15-differences": ((40, 15, 1, "s", False), (2 + 30, 0, 0, 0)),
    "n16-chain-rule": ((40, 16, 1, "s", False), (2, 0, 1, 0)),
    "n16-only-parallel-sens": ((40, 16, 1, "p", False), (2, 0, 0, 1)),
    "m511-sens": ((511, 16, 1, "sp", True), (2, 0, 1, 0)),
    "m512-parallel-sens": ((512, 16, 1, "sp", True), (2, 0, 0, 1)),
    "m512-serial-sens": ((512, 16, 1, "sp", False), (2, 0, 1, 0)),
    "m512-only-sens": ((512, 16, 1, "s", True), (2, 0, 1, 0)),
    "d2-chain-rule": ((40, 16, 2, "s", False), (2, 0, 1, 0)),
    "batch-m3906": ((3906, 64, 1, "b", True), (2, 1, 0, 0)),
    "batch-m3907": ((3907, 64, 1, "b", True), (2 + 128, 0, 0, 0)),
    "batch-2mn-500000": ((3125, 80, 1, "b", True), (2, 1, 0, 0)),
    "batch-2mn-500160": ((3126, 80, 1, "b", True), (2 + 160, 0, 0, 0)),
    "batch-n63": ((100, 63, 1, "b", True), (2 + 126, 0, 0, 0)),
    "batch-n64": ((100, 64, 1, "b", True), (2, 1, 0, 0)),
    "batch-serial": ((100, 64, 1, "b", False), (2 + 128, 0, 0, 0)),
    "batch-d2": ((100, 64, 2, "b", True), (2 + 128, 0, 0, 0)),
    "chain-rule-before-batch": ((100, 64, 1, "bs", True), (2, 0, 1, 0)),
    "nothing-optional": ((100, 64, 1, "", True), (2 + 128, 0, 0, 0)),
    "differences-in-parallel": ((300, 256, 1, "", True), (2 + 512, 0, 0, 0)),
}


def make(m, n, d, given, seed=0):
    return R.table_solver(m, n, d, batch=R.batch_model if "b" in given else None,
                          sens="s" in given, sens_par="p" in given, seed=seed)


@pytest.mark.parametrize("case", list(PATHS))
def test_path_choice_and_the_counts_each_routine_gets(case):
    (m, n, d, given, multithread), expected = PATHS[case]
    solver, _, _ = make(m, n, d, given)
    one_jacobian(solver, n, multithread)
    assert R.counts() == expected
    flow = R.calls(R.KIND_FLOW)
    assert np.all(flow[:, R.COL_POINTS] == m) and np.all(flow[:, R.COL_DIM] == d)
    for row in R.calls(R.KIND_BATCH):
        assert (row[R.COL_POINTS], row[R.COL_BATCH], row[R.COL_DIM]) == (m, 2 * n, 1)
    for kind in (R.KIND_SENS, R.KIND_SENS_PAR):
        assert np.all(R.calls(kind)[:, R.COL_POINTS] == m)


DRIVERS = ["local", "local-multithread", "fixed", "path", "path-serial", "multistart"]


def run(solver, driver, n):
    start = np.zeros(n)
    if driver == "local":
        solver.local_optimize(start, 2, -1.0, PARAMS)
    elif driver == "local-multithread":
        solver.local_optimize(start, 2, -1.0, PARAMS, True)
    elif driver == "fixed":
        solver.local_optimize_fixed_iterations(start, 2, PARAMS)
    elif driver == "path":
        solver.param_path_following(start, 1, -1.0, [PARAMS, PARAMS])
    elif driver == "path-serial":
        solver.param_path_following(start, 1, -1.0, [PARAMS, PARAMS], False)
    else:
        solver.multistart_optimize([start, start + 0.1, start - 0.1], 1, -1.0, PARAMS)
    return 2 if driver != "multistart" else 3  # Jacobians formed


@pytest.mark.parametrize("m", [40, 512])
@pytest.mark.parametrize("driver", DRIVERS)
def test_only_a_parallel_sensitivity_routine_serves_every_driver(driver, m):
    solver, _, _ = make(m, 16, 1, "p")
    jacobians = run(solver, driver, 16)
    assert R.counts()[1:] == (0, 0, jacobians)


@pytest.mark.parametrize("driver, kind", [
    ("local", R.KIND_SENS), ("local-multithread", R.KIND_SENS_PAR), ("fixed", R.KIND_SENS),
    ("path", R.KIND_SENS_PAR), ("path-serial", R.KIND_SENS), ("multistart", R.KIND_SENS)])
def test_defaults_and_multistart_pick_the_sensitivity_routine(driver, kind):
    # 512 points and both routines: only a multithreaded run outside a
    # parallel region takes the parallel one; multistart runs every start
    # serially.
    solver, _, _ = make(512, 16, 1, "sp")
    jacobians = run(solver, driver, 16)
    assert R.count(kind) == jacobians
    assert R.count(R.KIND_SENS + R.KIND_SENS_PAR - kind) == 0


# ---------------------------------------------------------------------------
# Every path gives the Jacobian

SAME_J = {
    "differences": ((150, 64, 1, "", False), (2 + 128, 0, 0, 0)),
    "batched": ((150, 64, 1, "b", True), (2, 1, 0, 0)),
    "chain-rule": ((150, 64, 1, "s", False), (2, 0, 1, 0)),
    "chain-rule-parallel-routine": ((512, 64, 1, "p", True), (2, 0, 0, 1)),
    "differences-in-parallel": ((300, 256, 1, "", True), (2 + 512, 0, 0, 0)),
    "differences-256-serial": ((300, 256, 1, "", False), (2 + 512, 0, 0, 0)),
    "d2-differences": ((50, 20, 2, "", False), (2 + 40, 0, 0, 0)),
    "d2-chain-rule": ((50, 20, 2, "s", False), (2, 0, 1, 0)),
    "d3-differences": ((60, 16, 3, "b", True), (2 + 32, 0, 0, 0)),
    "d3-chain-rule": ((60, 16, 3, "s", False), (2, 0, 1, 0)),
    "square-chain-rule": ((16, 16, 2, "s", False), (2, 0, 1, 0)),
    "square-differences": ((64, 64, 1, "", False), (2 + 128, 0, 0, 0)),
}


@pytest.mark.parametrize("case", list(SAME_J))
def test_every_path_gives_the_jacobian_of_the_residual(case):
    (m, n, d, given, multithread), expected = SAME_J[case]
    solver, grid, tables = make(m, n, d, given, seed=3)
    start, result = one_jacobian(solver, n, multithread)
    assert R.counts() == expected  # the path under test was the one taken
    jac = R.model_jacobian(grid, tables, start, PARAMS)
    r0 = R.model_residual(grid, tables, start, PARAMS)
    want = np.linalg.lstsq(jac, -r0, rcond=None)[0]
    step = result.coeffs - start
    assert np.linalg.norm(step - want) <= 1e-6 * np.linalg.norm(want)
    r1 = R.model_residual(grid, tables, result.coeffs, PARAMS)
    assert result.error == pytest.approx(np.linalg.norm(r1), rel=1e-9)


def test_paths_agree_with_each_other_on_one_problem():
    # The same tables and start through differences, batch and chain rule.
    steps = {}
    for given, multithread in [("", False), ("b", True), ("s", False), ("p", True)]:
        solver, _, _ = make(200, 64, 1, given, seed=4)
        start, result = one_jacobian(solver, 64, multithread)
        steps[given] = result.coeffs - start
    ref = steps["s"]
    for given, step in steps.items():
        np.testing.assert_allclose(step, ref, rtol=0, atol=1e-6 * np.abs(ref).max(),
                                   err_msg=given)


# ---------------------------------------------------------------------------
# The step h_j = max(|c_j|, 1) * 1e-6

STEP_COEFFS = np.array([0.0, 0.5, -3.0, 250.0, -1.0, 1e-9, 1.0 + 2**-20, -0.999])


def ones_in_row_zero(m, n, d=1, seed=6):
    # Every basis function is 1 at point 0, so u there is the sum of the
    # coefficients and moving coefficient j by h moves it by h.
    values, firsts, seconds = R.random_tables(m, n, d, seed)
    values[0] = 1.0
    return values, firsts, seconds


def expected_steps(coeffs):
    return np.maximum(np.abs(coeffs), 1.0) * 1e-6


def test_difference_steps_one_coefficient_at_a_time():
    n = len(STEP_COEFFS)
    tables = ones_in_row_zero(20, n)
    solver = _lpa_cpp.LPACollSolver_cpp(R.random_grid(20, 1), R.TableAnsatz(*tables),
                                        R.flow_model.address, 0, 0, 0, 1, 2)
    solver.local_optimize_fixed_iterations(STEP_COEFFS, 1, PARAMS)
    u0 = R.calls(R.KIND_FLOW)[:, R.COL_VAL0]
    assert len(u0) == 2 + 2 * n
    base = u0[0]
    assert base == pytest.approx(STEP_COEFFS.sum(), rel=1e-15)
    forward, backward = u0[1:-1:2] - base, u0[2:-1:2] - base
    h = expected_steps(STEP_COEFFS)
    np.testing.assert_allclose(forward, h, rtol=1e-6)  # +h_j first, then -h_j
    np.testing.assert_allclose(backward, -h, rtol=1e-6)


def test_batched_columns_step_forward_then_backward():
    n, m = 64, 100
    coeffs = np.r_[STEP_COEFFS, np.random.default_rng(8).uniform(-5.0, 5.0, n - len(STEP_COEFFS))]
    tables = ones_in_row_zero(m, n)
    solver = _lpa_cpp.LPACollSolver_cpp(R.random_grid(m, 1), R.TableAnsatz(*tables),
                                        R.flow_model.address, R.batch_model.address, 0, 0, 1, 2)
    solver.local_optimize_fixed_iterations(coeffs, 1, PARAMS, True)
    assert R.count(R.KIND_BATCH) == 1
    base = R.calls(R.KIND_FLOW)[0, R.COL_VAL0]
    row = R.BATCH_ROW0[: 2 * n] - base
    h = expected_steps(coeffs)
    np.testing.assert_allclose(row[:n], h, rtol=1e-6)  # column s: forward along s
    np.testing.assert_allclose(row[n:], -h, rtol=1e-6)  # column n + s: backward along s
