"""The four drivers: the Newton step against numpy, convergence, the stopping
and reporting rules at their edges, argument conversion, the result object,
path following and multistart."""

import gc
import math

import numpy as np
import pytest

import _core_cpp
import _lpa_cpp
import routines as R
from routines import clean_log  # noqa: F401  (autouse)

Solver = _lpa_cpp.LPACollSolver_cpp
LINEAR = np.array([0.0, 1.0])
NONLINEAR = np.array([1.0, 1.0])


def assert_same(got, want):
    """Bit-for-bit equal results."""
    np.testing.assert_array_equal(got.coeffs, want.coeffs)
    assert got.success == want.success
    assert got.iterations == want.iterations
    assert got.error == want.error or (math.isnan(got.error) and math.isnan(want.error))


def cheb_problem(m, n, flow=R.flow_model):
    """Chebyshev basis of degree n - 1 on m Chebyshev points of [-1, 1]."""
    basis = _core_cpp.ChebyshevAnsatz(1, n - 1, [-1.0], [1.0])
    grid = R.chebyshev_points(m)
    solver = Solver(grid, basis, flow.address, 0, 0, 0, 1, 2)
    return solver, grid, basis.evaluate_basis(grid)


# u + c on four points with the basis 1, x, x^2: from zero the residual is c
# at every point, so its norm is exactly 2|c|.
OFFSET_GRID = np.array([0.0, 1.0 / 3.0, 2.0 / 3.0, 1.0])
OFFSET_N = 3
OFFSET_CALLS_PER_STEP = 1 + 2 * OFFSET_N  # residual + two flow calls per coefficient


def offset_solver():
    return Solver(OFFSET_GRID, _core_cpp.PolynomialAnsatz(1, 2), R.flow_offset.address, 0, 0, 0,
                  1, 1)


def offset_norm(coeffs, c):
    return np.linalg.norm(np.vander(OFFSET_GRID, 3, increasing=True) @ coeffs + c)


# ---------------------------------------------------------------------------
# The Newton step and convergence


@pytest.mark.parametrize("m", [8, 20], ids=["square", "tall"])
@pytest.mark.parametrize("start", ["zero", "random", "large"])
def test_one_step_on_a_linear_residual_is_the_least_squares_solution(m, start):
    n = 8
    solver, grid, tables = cheb_problem(m, n)
    c0 = {"zero": np.zeros(n), "random": np.random.default_rng(1).standard_normal(n),
          "large": 1e3 * np.random.default_rng(2).standard_normal(n)}[start]
    jac = R.model_jacobian(grid, tables, c0, LINEAR)
    f = -R.model_residual(grid, tables, np.zeros(n), LINEAR)  # r(c) = J c - f
    want = np.linalg.lstsq(jac, f, rcond=None)[0]
    scale = max(1.0, np.abs(c0).max())

    fixed = solver.local_optimize_fixed_iterations(c0, 1, LINEAR)
    np.testing.assert_allclose(fixed.coeffs, want, rtol=0, atol=1e-7 * scale)
    assert fixed.error == pytest.approx(np.linalg.norm(jac @ fixed.coeffs - f), rel=1e-6,
                                        abs=1e-9 * scale)
    if m == n:
        np.testing.assert_allclose(fixed.coeffs, np.linalg.solve(jac, f), rtol=0,
                                   atol=1e-7 * scale)
        # What is left comes from the rounding in the differences alone.
        assert fixed.error < 1e-8 * np.linalg.norm(jac @ c0 - f)

    one = solver.local_optimize(c0, 1, 1e-300, LINEAR)
    np.testing.assert_array_equal(one.coeffs, fixed.coeffs)
    assert one.error == pytest.approx(np.linalg.norm(jac @ c0 - f), rel=1e-12)


def test_nonlinear_residual_converges_quadratically():
    n = 10
    solver, grid, tables = cheb_problem(n, n)
    start = np.zeros(n)
    errors = [solver.local_optimize_fixed_iterations(start, k, NONLINEAR).error
              for k in range(8)]
    quadratic = [(a, b) for a, b in zip(errors, errors[1:]) if a < 0.05 and b > 1e-13]
    assert len(quadratic) >= 2, errors
    for a, b in quadratic:
        assert b <= a * a, errors  # the error squares (constant below 1)
        assert math.log(b) / math.log(a) > 1.8, errors
    assert errors[-1] < 1e-13

    final = solver.local_optimize(start, 50, 1e-12, NONLINEAR)
    assert final.success
    assert np.linalg.norm(R.model_residual(grid, tables, final.coeffs, NONLINEAR)) < 1e-12
    # local_optimize stops at the first iterate that meets the tolerance.
    first = next(k for k, e in enumerate(errors) if e <= 1e-12)
    assert final.iterations == first
    assert final.error == errors[first]
    np.testing.assert_array_equal(
        final.coeffs, solver.local_optimize_fixed_iterations(start, first, NONLINEAR).coeffs)


@pytest.mark.parametrize("maxiter", [1, 2, 3, 4])
def test_stopped_at_maxiter_reports_the_norm_before_the_last_correction(maxiter):
    n = 10
    solver, grid, tables = cheb_problem(n, n)
    start = np.full(n, 0.1)
    got = solver.local_optimize(start, maxiter, -1.0, NONLINEAR)
    before_last = solver.local_optimize_fixed_iterations(start, maxiter - 1, NONLINEAR)
    at_end = solver.local_optimize_fixed_iterations(start, maxiter, NONLINEAR)
    assert (got.success, got.iterations) == (False, maxiter)
    np.testing.assert_array_equal(got.coeffs, at_end.coeffs)
    assert got.error == before_last.error
    assert got.error == pytest.approx(
        np.linalg.norm(R.model_residual(grid, tables, before_last.coeffs, NONLINEAR)), rel=1e-9)
    assert got.error != at_end.error


# ---------------------------------------------------------------------------
# local_optimize: stopping and reporting


@pytest.mark.parametrize("maxiter", [0, -1, -(2**31)])
@pytest.mark.parametrize("tol", [1e-12, 1e9, 5e9, math.nan, math.inf])
def test_no_iterations_allowed_calls_nothing(maxiter, tol):
    solver = offset_solver()
    start = np.array([0.25, -1.0, 2.0])
    result = solver.local_optimize(start, maxiter, tol, [1.5])
    assert R.counts() == (0, 0, 0, 0)
    np.testing.assert_array_equal(result.coeffs, start)
    assert not np.shares_memory(result.coeffs, start)
    assert result.error == 1e9
    assert result.iterations == 0
    assert result.success is (tol >= 1e9)


def test_tolerance_equal_to_the_norm_is_met():
    result = offset_solver().local_optimize(np.zeros(3), 10, 3.0, [1.5])
    assert (result.success, result.iterations, result.error) == (True, 0, 3.0)
    np.testing.assert_array_equal(result.coeffs, np.zeros(3))
    assert R.counts() == (1, 0, 0, 0)


def test_tolerance_just_below_the_norm_takes_a_step():
    result = offset_solver().local_optimize(np.zeros(3), 10, math.nextafter(3.0, 0.0), [1.5])
    assert result.success and result.iterations == 1
    assert result.error < 1e-9
    assert result.error == pytest.approx(offset_norm(result.coeffs, 1.5), abs=1e-12)
    np.testing.assert_allclose(result.coeffs, [-1.5, 0.0, 0.0], atol=1e-9)
    assert R.counts() == (2 * 1 + 2 * OFFSET_N, 0, 0, 0)


@pytest.mark.parametrize("tol", [-1.0, -math.inf, math.nan], ids=["negative", "-inf", "nan"])
@pytest.mark.parametrize("maxiter", [1, 3])
def test_tolerance_that_cannot_be_met_runs_maxiter_steps(tol, maxiter):
    result = offset_solver().local_optimize(np.zeros(3), maxiter, tol, [1.5])
    assert result.success is False
    assert result.iterations == maxiter
    assert R.counts() == (maxiter * OFFSET_CALLS_PER_STEP, 0, 0, 0)
    np.testing.assert_allclose(result.coeffs, [-1.5, 0.0, 0.0], atol=1e-9)
    if maxiter == 1:
        assert result.error == 3.0  # measured at the start, before the step
    else:
        assert result.error < 1e-9  # measured at the solution, one step earlier


def test_infinite_tolerance_accepts_a_finite_start():
    result = offset_solver().local_optimize(np.zeros(3), 5, math.inf, [1.5])
    assert (result.success, result.iterations, result.error) == (True, 0, 3.0)


@pytest.mark.parametrize("tol", [1e-12, math.inf])
def test_nan_residual_never_converges(tol):
    result = offset_solver().local_optimize(np.zeros(3), 3, tol, [math.nan])
    assert result.success is False
    assert result.iterations == 3
    assert math.isnan(result.error)


def test_residual_that_overflows_is_not_met_by_any_finite_tolerance():
    result = offset_solver().local_optimize(np.array([1.7e308, 0.0, 0.0]), 1, 1e300, [1.7e308])
    assert result.error == math.inf and result.success is False


# ---------------------------------------------------------------------------
# local_optimize_fixed_iterations


@pytest.mark.parametrize("num_iter", [0, -1, -(2**31)])
def test_fixed_iterations_without_steps_measures_the_start(num_iter):
    start = np.array([0.5, 0.0, -0.25])
    result = offset_solver().local_optimize_fixed_iterations(start, num_iter, [1.5])
    assert R.counts() == (1, 0, 0, 0)
    np.testing.assert_array_equal(result.coeffs, start)
    assert result.error == pytest.approx(offset_norm(start, 1.5), rel=1e-15)
    assert (result.success, result.iterations) == (True, 0)


def test_fixed_iterations_takes_every_step_and_measures_the_end():
    result = offset_solver().local_optimize_fixed_iterations(np.zeros(3), 3, [1.5])
    assert R.counts() == (3 * OFFSET_CALLS_PER_STEP + 1, 0, 0, 0)
    assert (result.success, result.iterations) == (True, 3)
    assert result.error == pytest.approx(offset_norm(result.coeffs, 1.5), abs=1e-13)


@pytest.mark.parametrize(
    "start, offset, is_nan",
    [(0.0, math.nan, True), (0.0, math.inf, False), (0.0, -math.inf, False),
     (1.7e308, 1.7e308, False)],
    ids=["nan", "inf", "-inf", "overflow"])
@pytest.mark.parametrize("num_iter", [0, 2])
def test_fixed_iterations_fails_on_a_non_finite_residual(start, offset, is_nan, num_iter):
    result = offset_solver().local_optimize_fixed_iterations(
        np.array([start, 0.0, 0.0]), num_iter, [offset])
    assert result.success is False
    assert result.iterations == num_iter
    if is_nan or num_iter > 0:  # a step from an infinite residual is NaN
        assert math.isnan(result.error)
    else:
        assert result.error == math.inf


# The sum of squares overflows above ~1e154 and underflows below ~1e-154,
# although the norm itself is representable.
def test_error_of_a_large_finite_residual_is_finite():
    result = offset_solver().local_optimize_fixed_iterations(np.zeros(3), 0, [1e200])
    assert result.error == pytest.approx(2e200, rel=1e-14)
    assert result.success


def test_tiny_nonzero_residual_does_not_meet_a_smaller_tolerance():
    result = offset_solver().local_optimize(np.zeros(3), 1, 1e-200, [1e-170])
    assert result.error == pytest.approx(2e-170, rel=1e-14, abs=0.0)
    assert not result.success


# ---------------------------------------------------------------------------
# Arguments


@pytest.mark.parametrize("value, kind", [(None, R.KIND_SENS), (False, R.KIND_SENS),
                                         (0, R.KIND_SENS), (np.False_, R.KIND_SENS),
                                         (1, R.KIND_SENS_PAR), (True, R.KIND_SENS_PAR),
                                         (np.True_, R.KIND_SENS_PAR)],
                         ids=["None", "False", "0", "np.False_", "1", "True", "np.True_"])
@pytest.mark.parametrize("driver", ["local", "fixed", "path"])
def test_multithread_converts_like_bool(value, kind, driver):
    # With 512 points and both sensitivity routines, a multithreaded run
    # takes the parallel one.
    solver, _, _ = R.table_solver(512, 16, sens=True, sens_par=True)
    start = np.zeros(16)
    if driver == "local":
        solver.local_optimize(start, 1, 1e-12, LINEAR, value)
    elif driver == "fixed":
        solver.local_optimize_fixed_iterations(start, 1, LINEAR, multithread=value)
    else:
        solver.param_path_following(start, 1, 1e-12, [LINEAR], value)
    assert R.count(kind) == 1
    assert R.count(R.KIND_SENS + R.KIND_SENS_PAR - kind) == 0


@pytest.mark.parametrize(
    "form",
    [list, tuple, lambda c: np.asarray(c).reshape(-1, 1), lambda c: np.repeat(c, 2)[::2],
     lambda c: np.asarray(c, dtype=np.float32), lambda c: [int(x) for x in c]],
    ids=["list", "tuple", "column", "strided", "float32", "ints"])
def test_start_vector_forms(form):
    solver, _, _ = cheb_problem(12, 6)
    start = np.array([1.0, -2.0, 0.0, 3.0, 0.0, 1.0])
    want = solver.local_optimize(start, 3, 1e-12, NONLINEAR)
    assert_same(solver.local_optimize(form(start), 3, 1e-12, NONLINEAR), want)


@pytest.mark.parametrize("driver", ["local", "fixed", "path", "multistart"])
@pytest.mark.parametrize("bad", [np.zeros((6, 2)), np.zeros((6, 1, 1)), 0.0, "000000"],
                         ids=["n-by-2", "3d", "scalar", "str"])
def test_start_of_the_wrong_shape_is_a_type_error(driver, bad):
    solver, _, _ = cheb_problem(12, 6)
    with pytest.raises(TypeError):
        call(solver, driver, bad, NONLINEAR)
    assert R.counts() == (0, 0, 0, 0)


def test_start_vector_is_left_unchanged():
    solver, _, _ = cheb_problem(12, 6)
    start = np.linspace(-1.0, 1.0, 6)
    kept = start.copy()
    for driver in DRIVERS:
        call(solver, driver, start, NONLINEAR)
    np.testing.assert_array_equal(start, kept)


@pytest.mark.parametrize("bad", [2**31, -(2**31) - 1, 3.0, "3", None])
def test_iteration_counts_are_32_bit_integers(bad):
    solver = offset_solver()
    with pytest.raises(TypeError):
        solver.local_optimize(np.zeros(3), bad, 1e-12, [1.5])
    with pytest.raises(TypeError):
        solver.local_optimize_fixed_iterations(np.zeros(3), bad, [1.5])
    with pytest.raises(TypeError):
        solver.param_path_following(np.zeros(3), bad, 1e-12, [[1.5]])
    with pytest.raises(TypeError):
        solver.multistart_optimize([np.zeros(3)], bad, 1e-12, [1.5])
    assert R.counts() == (0, 0, 0, 0)


def test_largest_maxiter_is_accepted():
    result = offset_solver().local_optimize(np.zeros(3), 2**31 - 1, 1e-9, [1.5])
    assert result.success and result.iterations == 1


def test_multistart_has_no_multithread_argument():
    solver = offset_solver()
    with pytest.raises(TypeError):
        solver.multistart_optimize([np.zeros(3)], 2, 1e-9, [1.5], multithread=False)
    with pytest.raises(TypeError):
        solver.multistart_optimize([np.zeros(3)], 2, 1e-9, [1.5], False)
    assert R.counts() == (0, 0, 0, 0)


def test_keyword_arguments_of_the_drivers():
    solver = offset_solver()
    kw = dict(maxiter=3, tol=1e-9)
    a = solver.local_optimize(flow_params=[1.5], init_coeffs=np.zeros(3), multithread=True, **kw)
    b = solver.local_optimize(np.zeros(3), 3, 1e-9, [1.5], True)
    assert_same(a, b)
    assert_same(solver.local_optimize_fixed_iterations(num_iter=2, flow_params=[1.5],
                                                       init_coeffs=np.zeros(3)),
                solver.local_optimize_fixed_iterations(np.zeros(3), 2, [1.5]))
    (p,) = solver.param_path_following(flow_params_path=[[1.5]], init_coeffs=np.zeros(3), **kw)
    assert_same(p, b)
    (s,) = solver.multistart_optimize(flow_params=[1.5], init_coeffs_list=[np.zeros(3)], **kw)
    assert_same(s, solver.local_optimize(np.zeros(3), 3, 1e-9, [1.5], False))


# ---------------------------------------------------------------------------
# Lengths and flow parameters

DRIVERS = ["local", "fixed", "path", "multistart"]


def call(solver, driver, start, flow_params, maxiter=3, tol=1e-12):
    """Runs one driver; returns a list of results."""
    if driver == "local":
        return [solver.local_optimize(start, maxiter, tol, flow_params)]
    if driver == "fixed":
        return [solver.local_optimize_fixed_iterations(start, maxiter, flow_params)]
    if driver == "path":
        return solver.param_path_following(start, maxiter, tol, [flow_params, flow_params])
    return solver.multistart_optimize([start, start], maxiter, tol, flow_params)


@pytest.mark.parametrize("driver", DRIVERS)
@pytest.mark.parametrize("length", [0, 5, 7])
def test_start_of_the_wrong_length_is_refused_before_any_call(driver, length):
    solver, _, _ = cheb_problem(12, 6)
    with pytest.raises(ValueError, match=rf"\b{length}\b.*\b6\b"):
        call(solver, driver, np.zeros(length), NONLINEAR)
    assert R.counts() == (0, 0, 0, 0)


@pytest.mark.parametrize("driver", DRIVERS)
@pytest.mark.parametrize("length", [0, 1])
def test_flow_params_shorter_than_param_dim_are_refused_before_any_call(driver, length):
    solver, _, _ = cheb_problem(12, 6)
    with pytest.raises(ValueError, match=rf"\b{length}\b.*\b2\b"):
        call(solver, driver, np.zeros(6), NONLINEAR[:length])
    assert R.counts() == (0, 0, 0, 0)


def test_one_bad_entry_anywhere_is_refused_before_any_call():
    solver, _, _ = cheb_problem(12, 6)
    good = np.zeros(6)
    with pytest.raises(ValueError):
        solver.multistart_optimize([good, good, np.zeros(5), good], 3, 1e-12, NONLINEAR)
    with pytest.raises(ValueError):
        solver.param_path_following(good, 3, 1e-12, [NONLINEAR, NONLINEAR, [1.0]])
    with pytest.raises(ValueError):
        solver.param_path_following(np.zeros(5), 3, 1e-12, [])
    assert R.counts() == (0, 0, 0, 0)


@pytest.mark.parametrize("driver", DRIVERS)
def test_longer_flow_params_are_accepted(driver):
    solver, _, _ = cheb_problem(12, 6)
    exact = call(solver, driver, np.zeros(6), NONLINEAR)
    longer = call(solver, driver, np.zeros(6), np.r_[NONLINEAR, 7.0, 8.0])
    for a, b in zip(longer, exact):
        assert_same(a, b)


@pytest.mark.parametrize("driver", DRIVERS)
def test_empty_flow_params_reach_the_routine_as_null(driver):
    # The model takes k3 = 0, s = 1 when it gets no parameters.
    grid = R.chebyshev_points(12)
    solver = Solver(grid, _core_cpp.ChebyshevAnsatz(1, 5, [-1.0], [1.0]), R.flow_model.address,
                    0, 0, 0, 1, 0)
    empty = call(solver, driver, np.zeros(6), [])
    nulls = R.calls()[:, R.COL_NULL_PARAMS]
    assert len(nulls) > 0 and np.all(nulls == 1.0)
    R.reset_log()
    given = call(solver, driver, np.zeros(6), LINEAR)
    assert np.all(R.calls()[:, R.COL_NULL_PARAMS] == 0.0)
    for a, b in zip(empty, given):
        assert_same(a, b)


# ---------------------------------------------------------------------------
# The result object


def test_result_coeffs_is_a_read_only_view_that_outlives_the_solver():
    solver, _, _ = cheb_problem(12, 6)
    result = solver.local_optimize(np.zeros(6), 5, 1e-12, NONLINEAR)
    coeffs = result.coeffs
    assert coeffs.dtype == np.float64 and coeffs.shape == (6,)
    assert not coeffs.flags.writeable
    with pytest.raises(ValueError):
        coeffs[0] = 1.0
    assert np.shares_memory(result.coeffs, result.coeffs)
    kept = coeffs.copy()
    del solver, result
    gc.collect()
    np.testing.assert_array_equal(coeffs, kept)


def test_results_of_one_call_do_not_share_storage():
    solver, _, _ = cheb_problem(12, 6)
    a, b = solver.multistart_optimize([np.zeros(6), np.ones(6)], 3, 1e-12, NONLINEAR)
    assert not np.shares_memory(a.coeffs, b.coeffs)
    p, q = solver.param_path_following(np.zeros(6), 3, 1e-12, [NONLINEAR, NONLINEAR])
    assert not np.shares_memory(p.coeffs, q.coeffs)


@pytest.mark.parametrize("name, value", [("coeffs", np.zeros(6)), ("success", False),
                                         ("iterations", 0), ("error", 0.0), ("other", 1)])
def test_result_attributes_cannot_be_assigned(name, value):
    solver, _, _ = cheb_problem(12, 6)
    result = solver.local_optimize(np.zeros(6), 5, 1e-12, NONLINEAR)
    with pytest.raises(AttributeError):
        setattr(result, name, value)


def test_result_field_types():
    solver, _, _ = cheb_problem(12, 6)
    result = solver.local_optimize(np.zeros(6), 5, 1e-12, NONLINEAR)
    assert type(result.success) is bool
    assert type(result.iterations) is int
    assert type(result.error) is float


def test_results_only_come_from_the_solver():
    with pytest.raises(TypeError):
        _lpa_cpp.OptimizeResult()


# ---------------------------------------------------------------------------
# param_path_following

PATH_N = 10


@pytest.fixture(scope="module")
def path_problem():
    return cheb_problem(PATH_N, PATH_N)


def test_empty_path_gives_no_results(path_problem):
    solver, _, _ = path_problem
    assert solver.param_path_following(np.zeros(PATH_N), 5, 1e-12, []) == []
    assert R.counts() == (0, 0, 0, 0)


@pytest.mark.parametrize("multithread", [None, True, False], ids=["default", "True", "False"])
def test_one_point_path_is_local_optimize(path_problem, multithread):
    solver, _, _ = path_problem
    start = np.linspace(0.0, 0.2, PATH_N)
    kw = {} if multithread is None else dict(multithread=multithread)
    (got,) = solver.param_path_following(start, 20, 1e-12, [NONLINEAR], **kw)
    want = solver.local_optimize(start, 20, 1e-12, NONLINEAR, multithread in (None, True))
    assert_same(got, want)


def test_path_continues_from_each_solution(path_problem):
    solver, grid, tables = path_problem
    path = [[1.0, s] for s in (0.5, 1.0, 1.5, 2.0)]
    results = solver.param_path_following(np.zeros(PATH_N), 30, 1e-12, path)
    start = np.zeros(PATH_N)
    for result, params in zip(results, path):
        assert_same(result, solver.local_optimize(start, 30, 1e-12, params, True))
        assert result.success
        assert np.linalg.norm(R.model_residual(grid, tables, result.coeffs, params)) < 1e-11
        start = result.coeffs


def test_path_as_a_two_dimensional_array(path_problem):
    solver, _, _ = path_problem
    path = [[1.0, 0.5], [1.0, 1.0]]
    for a, b in zip(solver.param_path_following(np.zeros(PATH_N), 30, 1e-12, np.array(path)),
                    solver.param_path_following(np.zeros(PATH_N), 30, 1e-12, path)):
        assert_same(a, b)


def test_failure_in_the_middle_restarts_from_the_last_success(path_problem):
    solver, _, _ = path_problem
    near, far, other = [1.0, 0.5], [1.0, 40.0], [1.0, 0.7]
    first, broken, again, last = solver.param_path_following(
        np.zeros(PATH_N), 8, 1e-12, [near, far, near, other])
    assert first.success and not broken.success
    assert not np.array_equal(broken.coeffs, first.coeffs, equal_nan=True)
    # Back at the first point's parameters, from the first point's solution.
    assert again.success and again.iterations == 0
    np.testing.assert_array_equal(again.coeffs, first.coeffs)
    assert_same(last, solver.local_optimize(again.coeffs, 8, 1e-12, other, True))


def test_failure_at_the_first_point_leaves_the_start_in_place(path_problem):
    solver, _, _ = path_problem
    start = np.full(PATH_N, 0.05)
    broken, then = solver.param_path_following(start, 8, 1e-12, [[1.0, 40.0], [1.0, 0.5]])
    assert not broken.success
    assert_same(then, solver.local_optimize(start, 8, 1e-12, [1.0, 0.5], True))


def test_failures_without_a_success_all_start_from_the_initial_coefficients(path_problem):
    solver, _, _ = path_problem
    start = np.full(PATH_N, 0.05)
    path = [[1.0, 0.5], [1.0, 1.0], [0.5, 1.5]]
    results = solver.param_path_following(start, 2, -1.0, path)
    for result, params in zip(results, path):
        assert not result.success
        assert_same(result, solver.local_optimize(start, 2, -1.0, params, True))


@pytest.mark.parametrize("maxiter", [0, -4])
@pytest.mark.parametrize("tol", [1e-12, 1e9])
def test_path_without_iterations_calls_nothing(path_problem, maxiter, tol):
    solver, _, _ = path_problem
    start = np.linspace(-1.0, 1.0, PATH_N)
    results = solver.param_path_following(start, maxiter, tol, [NONLINEAR] * 3)
    assert R.counts() == (0, 0, 0, 0)
    assert len(results) == 3
    for result in results:
        np.testing.assert_array_equal(result.coeffs, start)
        assert (result.iterations, result.error, result.success) == (0, 1e9, tol >= 1e9)


# ---------------------------------------------------------------------------
# multistart_optimize


def test_multistart_of_no_starts(path_problem):
    solver, _, _ = path_problem
    assert solver.multistart_optimize([], 5, 1e-12, NONLINEAR) == []
    assert R.counts() == (0, 0, 0, 0)


def test_multistart_of_one_start_is_serial_local_optimize(path_problem):
    solver, _, _ = path_problem
    start = np.linspace(0.0, 0.2, PATH_N)
    (got,) = solver.multistart_optimize([start], 20, 1e-12, NONLINEAR)
    assert_same(got, solver.local_optimize(start, 20, 1e-12, NONLINEAR, False))


@pytest.mark.parametrize("maxiter", [0, -1])
def test_multistart_without_iterations_returns_each_start(path_problem, maxiter):
    solver, _, _ = path_problem
    starts = [np.full(PATH_N, float(i)) for i in range(5)]
    results = solver.multistart_optimize(starts, maxiter, 1e-12, NONLINEAR)
    assert R.counts() == (0, 0, 0, 0)
    for start, result in zip(starts, results, strict=True):
        np.testing.assert_array_equal(result.coeffs, start)
        assert (result.iterations, result.error, result.success) == (0, 1e9, False)


def _two_roots(m):
    # u^2 = (1 + x/2)^2 in the basis 1, x: roots +-(1, 1/2). From u = 0 the
    # differences of the Jacobian 2uB cancel exactly: J = 0.
    grid = np.linspace(0.0, 1.0, m)
    solver = Solver(grid, _core_cpp.PolynomialAnsatz(1, 1), R.flow_square.address, 0, 0, 0, 1, 0)
    return solver, grid


def test_multistart_reports_each_outcome_at_its_own_index():
    solver, grid = _two_roots(8)
    starts = [(0.8, 0.3), (0.0, 0.0), (-1.3, -0.2), (2.0, 1.0), (-0.4, -0.9), (0.0, 0.0),
              (0.5, 0.0), (-3.0, 0.0), (1.0, 0.5)]
    starts = [np.array(s) for s in starts]
    results = solver.multistart_optimize(starts, 40, 1e-12, [])
    assert len(results) == len(starts)
    for start, result in zip(starts, results):
        assert_same(result, solver.local_optimize(start, 40, 1e-12, [], False))
        if not start.any():
            assert (result.success, result.iterations) == (False, 40)
        else:
            root = np.sign(start @ [1.0, 0.5]) * np.array([1.0, 0.5])
            assert result.success
            assert result.iterations < 40
            np.testing.assert_allclose(result.coeffs, root, atol=1e-12)


@pytest.mark.parametrize(
    "m", [2, 8],
    ids=["square", "tall"])
def test_zero_jacobian_leaves_the_coefficients_in_place(m):
    # J s = -r with J = 0: no correction is the least-squares answer.
    solver, grid = _two_roots(m)
    result = solver.local_optimize(np.zeros(2), 3, 1e-12, [])
    assert (result.success, result.iterations) == (False, 3)
    np.testing.assert_array_equal(result.coeffs, np.zeros(2))
    assert result.error == pytest.approx(np.linalg.norm((1.0 + 0.5 * grid) ** 2), rel=1e-14)


def test_multistart_entries_are_serial_runs(path_problem):
    solver, _, _ = path_problem
    rng = np.random.default_rng(5)
    starts = [0.3 * rng.standard_normal(PATH_N) for _ in range(7)]
    results = solver.multistart_optimize(starts, 4, 1e-12, NONLINEAR)
    for start, result in zip(starts, results, strict=True):
        assert_same(result, solver.local_optimize(start, 4, 1e-12, NONLINEAR, False))
