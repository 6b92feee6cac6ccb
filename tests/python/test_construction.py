"""Construction of LPACollSolver_cpp: argument conversion, the inputs it
refuses (and that it refuses them before asking the basis), Python bases and
the lifetime of the basis."""

import gc
import re
import sys

import numpy as np
import pytest

import _core_cpp
import _lpa_cpp
import routines as R
from routines import clean_log  # noqa: F401  (autouse)

Solver = _lpa_cpp.LPACollSolver_cpp

M, DEGREE = 12, 4
N = DEGREE + 1
GRID = R.chebyshev_points(M)
LINEAR = np.array([0.0, 1.0])  # k3 = 0: the model is linear in the coefficients


def cheb(degree=DEGREE):
    return _core_cpp.ChebyshevAnsatz(1, degree, [-1.0], [1.0])


def args(**over):
    """Arguments of a valid solver by name, with some replaced."""
    a = dict(coll_grid=GRID, ansatz=cheb(), cfunc_ptr=R.flow_model.address, batch_cfunc_ptr=0,
             sens_cfunc_ptr=0, sens_par_cfunc_ptr=0, inv_dim=1, param_dim=2)
    a.update(over)
    return a


def one_step(solver, n=N):
    return solver.local_optimize_fixed_iterations(np.zeros(n), 1, LINEAR).coeffs


def least_squares(grid, basis):
    """One Newton step from zero on the linear model, done by numpy."""
    grid = np.asarray(grid, float)
    tables = basis.evaluate_basis(grid)
    jac = R.model_jacobian(grid, tables, np.zeros(basis.n_coeffs), LINEAR)
    rhs = -R.model_residual(grid, tables, np.zeros(basis.n_coeffs), LINEAR)
    return np.linalg.lstsq(jac, rhs, rcond=None)[0]


EXPECTED = least_squares(GRID.reshape(-1, 1), cheb())


# ---------------------------------------------------------------------------
# The grid


@pytest.mark.parametrize(
    "grid",
    [GRID, GRID.reshape(-1, 1), GRID.tolist(), [[x] for x in GRID], tuple(GRID),
     np.asfortranarray(GRID.reshape(-1, 1)), np.repeat(GRID, 2)[::2]],
    ids=["1d", "column", "list", "nested-list", "tuple", "fortran", "strided"])
def test_grid_forms_give_the_same_solver(grid):
    basis = R.DelegatingAnsatz(cheb())
    solver = Solver(grid, basis, R.flow_model.address, 0, 0, 0, 1, 2)
    np.testing.assert_allclose(one_step(solver), EXPECTED, rtol=1e-7, atol=1e-9)
    assert basis.calls == 1


def test_integer_and_float32_grids_are_converted_to_float64():
    ints = np.arange(-5, 7)
    exact = Solver(ints.astype(np.float64), cheb(), R.flow_model.address, 0, 0, 0, 1, 2)
    for grid in (ints, ints.tolist(), ints.astype(np.float32)):
        solver = Solver(grid, cheb(), R.flow_model.address, 0, 0, 0, 1, 2)
        np.testing.assert_array_equal(one_step(solver), one_step(exact))


def test_basis_sees_the_grid_as_points_by_coordinates():
    basis = R.TableAnsatz(*R.random_tables(M, N, 2))
    grid = R.random_grid(M, 2)
    Solver(grid.tolist(), basis, R.flow_model.address, 0, 0, 0, 2, 2)
    (seen,) = basis.grids
    assert seen.shape == (M, 2) and seen.dtype == np.float64
    np.testing.assert_array_equal(seen, grid)


@pytest.mark.parametrize("layout", ["C", "F", "strided"])
def test_two_coordinate_points_reach_the_routine_point_by_point(layout):
    # The model reads coordinate 0 and coordinate 1 of each point; a grid
    # passed on in column order would give other weights.
    m, n = 30, 8
    tables = R.random_tables(m, n, 2, seed=3)
    grid = R.random_grid(m, 2, seed=4)
    given = {"C": np.ascontiguousarray(grid), "F": np.asfortranarray(grid),
             "strided": np.repeat(grid, 2, axis=1)[:, ::2]}[layout]
    solver = Solver(given, R.TableAnsatz(*tables), R.flow_model.address, 0, 0, 0, 2, 2)
    jac = R.model_jacobian(grid, tables, np.zeros(n), LINEAR)
    rhs = -R.model_residual(grid, tables, np.zeros(n), LINEAR)
    np.testing.assert_allclose(one_step(solver, n), np.linalg.lstsq(jac, rhs, rcond=None)[0],
                               rtol=1e-8, atol=1e-10)


def test_the_grid_is_copied():
    grid = GRID.copy()
    solver = Solver(grid, cheb(), R.flow_model.address, 0, 0, 0, 1, 2)
    grid[:] = 0.5
    np.testing.assert_allclose(one_step(solver), EXPECTED, rtol=1e-7, atol=1e-9)


def test_grid_of_three_dimensions_is_refused():
    with pytest.raises(TypeError):
        Solver(**args(coll_grid=np.zeros((M, 1, 1))))


# ---------------------------------------------------------------------------
# Addresses and counts

ADDRESS_SLOTS = ["cfunc_ptr", "batch_cfunc_ptr", "sens_cfunc_ptr", "sens_par_cfunc_ptr"]


@pytest.mark.parametrize("slot", ADDRESS_SLOTS)
@pytest.mark.parametrize("bad", [1.0, float(2**40), -1, -(2**63), 2**64, "4096", None],
                         ids=["1.0", "float", "-1", "int64-min", "2**64", "str", "None"])
def test_addresses_must_be_unsigned_64_bit_integers(slot, bad):
    basis = R.DelegatingAnsatz(cheb())
    with pytest.raises(TypeError):
        Solver(**args(ansatz=basis, **{slot: bad}))
    assert basis.calls == 0


@pytest.mark.parametrize("slot", ADDRESS_SLOTS[1:])
@pytest.mark.parametrize("value", [2**64 - 1, 2**63, np.uint64(2**64 - 1), np.int64(4096)],
                         ids=["2**64-1", "2**63", "np.uint64", "np.int64"])
def test_addresses_span_the_whole_unsigned_range(slot, value):
    # Routines that this small problem never calls: construction must accept
    # any address and the solve must not touch them.
    solver = Solver(**args(**{slot: value}))
    np.testing.assert_allclose(one_step(solver), EXPECTED, rtol=1e-7, atol=1e-9)


@pytest.mark.parametrize("name", ["inv_dim", "param_dim"])
@pytest.mark.parametrize("bad", [2**31, -(2**31) - 1, 1.0, "1", None])
def test_counts_must_be_32_bit_integers(name, bad):
    basis = R.DelegatingAnsatz(cheb())
    with pytest.raises(TypeError):
        Solver(**args(ansatz=basis, **{name: bad}))
    assert basis.calls == 0


# ---------------------------------------------------------------------------
# Refused inputs


@pytest.mark.parametrize("bad", ["basis", cheb, object(), 3],
                         ids=["str", "class", "object", "int"])
def test_ansatz_must_be_an_ansatz(bad):
    with pytest.raises(TypeError):
        Solver(**args(ansatz=bad))


def test_duck_typed_basis_is_not_an_ansatz():
    class Lookalike:
        n_coeffs = N

        def evaluate_basis(self, grid):
            return cheb().evaluate_basis(grid)

    with pytest.raises(TypeError):
        Solver(**args(ansatz=Lookalike()))


def test_none_ansatz_is_a_value_error_that_names_it():
    with pytest.raises(ValueError, match="ansatz"):
        Solver(**args(ansatz=None))


@pytest.mark.parametrize(
    "over, pattern",
    [(dict(cfunc_ptr=0), "cfunc_ptr"),
     (dict(inv_dim=-1), "inv_dim"),
     (dict(inv_dim=-(2**31)), "inv_dim"),
     (dict(inv_dim=40000), "inv_dim"),
     (dict(coll_grid=GRID[:2], inv_dim=32768), "inv_dim")],
    ids=["no-flow-routine", "inv_dim=-1", "inv_dim=int-min", "inv_dim=40000",
         "2*32768^2=2^31"])
def test_refused_before_the_basis_is_evaluated(over, pattern):
    basis = R.TableAnsatz(*R.random_tables(len(over.get("coll_grid", GRID)), 2, 1))
    with pytest.raises(ValueError, match=pattern):
        Solver(**args(ansatz=basis, **over))
    assert basis.calls == 0


# 2**62 * m wraps a 64-bit product for some m: the check must not.
@pytest.mark.parametrize("m", [1, 2, 3, 4, 5, 6])
def test_largest_inv_dim_is_refused_before_the_basis_is_evaluated(m):
    basis = R.TableAnsatz(*R.random_tables(m, 1, 1))
    with pytest.raises(ValueError, match="32-bit"):
        Solver(**args(coll_grid=GRID[:m], ansatz=basis, inv_dim=2**31 - 1))
    assert basis.calls == 0


def test_hessian_table_just_within_32_bits_goes_on_to_the_basis():
    # 2 * 32767^2 <= 2^31 - 1: the sizes pass; the basis then has too few
    # derivative tables for 32767 coordinates.
    basis = R.TableAnsatz(*R.random_tables(2, 2, 1))
    with pytest.raises(ValueError, match="expected at least 32767"):
        Solver(**args(coll_grid=GRID[:2], ansatz=basis, inv_dim=32767))
    assert basis.calls == 1


@pytest.mark.parametrize("m, n", [(3, 5), (4, 5), (0, 1)])
def test_underdetermined_system_is_refused_without_evaluating_the_basis(m, n):
    basis = R.TableAnsatz(*R.random_tables(max(m, 1), n, 1))
    message = (f"The number of collocation points ({m}) is smaller than the number of "
               f"coefficients ({n})! The system is underdetermined.")
    with pytest.raises(ValueError, match=re.escape(message)):
        Solver(**args(coll_grid=GRID[:m], ansatz=basis))
    assert basis.calls == 0


def test_as_many_points_as_coefficients_is_accepted_and_solved_exactly():
    grid = R.chebyshev_points(N)
    basis = R.DelegatingAnsatz(cheb())
    solver = Solver(**args(coll_grid=grid, ansatz=basis))
    assert basis.calls == 1
    tables = cheb().evaluate_basis(grid)
    jac = R.model_jacobian(grid, tables, np.zeros(N), LINEAR)
    rhs = -R.model_residual(grid, tables, np.zeros(N), LINEAR)
    result = solver.local_optimize_fixed_iterations(np.zeros(N), 1, LINEAR)
    np.testing.assert_allclose(result.coeffs, np.linalg.solve(jac, rhs), rtol=1e-7, atol=1e-9)
    assert result.error < 1e-10


def _tables(m=M, n=N, d=1):
    return R.random_tables(m, n, d, seed=7)


@pytest.mark.parametrize(
    "d, make, pattern",
    [(1, lambda v, f, s: (v[:, :-1], f, s), r"value matrix of shape 12 x 4, expected 12 x 5"),
     (1, lambda v, f, s: (v[:-1], f, s), r"value matrix of shape 11 x 5, expected 12 x 5"),
     (1, lambda v, f, s: (v, [], s), r"0 first-derivative matrices, expected at least 1"),
     (1, lambda v, f, s: (v, f, []), r"0 second-derivative matrices, expected at least 1"),
     (1, lambda v, f, s: (v, [f[0][:, :-1]], s), r"first-derivative matrix 0 .*12 x 4.*12 x 5"),
     (1, lambda v, f, s: (v, f, [s[0].T]), r"second-derivative matrix 0 .*5 x 12.*12 x 5"),
     (2, lambda v, f, s: (v, f[:1], s), r"1 first-derivative matrices, expected at least 2"),
     (2, lambda v, f, s: (v, f, s[:3]), r"3 second-derivative matrices, expected at least 4"),
     (2, lambda v, f, s: (v, [f[0], f[1][:-1]], s), r"first-derivative matrix 1 .*11 x 5"),
     (2, lambda v, f, s: (v, f, s[:3] + [s[3][:, :2]]), r"second-derivative matrix 3 .*12 x 2")],
    ids=["values-cols", "values-rows", "no-first", "no-second", "first-shape", "second-shape",
         "d2-one-first", "d2-three-second", "d2-first-1-shape", "d2-second-3-shape"])
def test_basis_output_of_the_wrong_shape_is_refused(d, make, pattern):
    basis = R.TableAnsatz(*make(*_tables(d=d)), n_coeffs=N)
    with pytest.raises(ValueError, match=pattern):
        Solver(**args(coll_grid=R.random_grid(M, d), ansatz=basis, inv_dim=d))
    assert basis.calls == 1


def test_basis_that_raises_passes_its_exception_on():
    class Failing(_core_cpp.Ansatz):
        def __init__(self):
            super().__init__(N)

        def evaluate_basis(self, grid):
            raise KeyError("no table for this grid")

    with pytest.raises(KeyError, match="no table"):
        Solver(**args(ansatz=Failing()))


def test_basis_returning_something_else_is_a_type_error():
    class Odd(_core_cpp.Ansatz):
        def __init__(self):
            super().__init__(N)

        def evaluate_basis(self, grid):
            return 42

    with pytest.raises(TypeError):
        Solver(**args(ansatz=Odd()))


# ---------------------------------------------------------------------------
# Keywords


NAMES = ["coll_grid", "ansatz", "cfunc_ptr", "batch_cfunc_ptr", "sens_cfunc_ptr",
         "sens_par_cfunc_ptr", "inv_dim", "param_dim"]


def _orders():
    yield list(reversed(NAMES))
    rng = np.random.default_rng(11)
    for _ in range(3):
        yield list(rng.permutation(NAMES))


@pytest.mark.parametrize("order", list(_orders()), ids=lambda o: ",".join(n[:4] for n in o))
def test_keyword_construction_in_any_order(order):
    a = args()
    reference = one_step(Solver(*[a[k] for k in NAMES]))
    solver = Solver(**{k: a[k] for k in order})
    np.testing.assert_array_equal(one_step(solver), reference)


@pytest.mark.parametrize("split", [1, 3, 6])
def test_positional_then_keyword(split):
    a = args()
    reference = one_step(Solver(*[a[k] for k in NAMES]))
    solver = Solver(*[a[k] for k in NAMES[:split]], **{k: a[k] for k in NAMES[split:]})
    np.testing.assert_array_equal(one_step(solver), reference)


def test_keyword_names_are_checked():
    a = args()
    a["flow_ptr"] = a.pop("cfunc_ptr")
    with pytest.raises(TypeError):
        Solver(**a)


# ---------------------------------------------------------------------------
# Python bases and lifetime


def test_python_subclass_gives_the_builtin_solution_and_is_evaluated_once():
    basis = R.DelegatingAnsatz(cheb())
    solver = Solver(**args(ansatz=basis))
    builtin = Solver(**args())
    for start in (np.zeros(N), np.linspace(-1.0, 1.0, N)):
        got = solver.local_optimize(start, 5, 1e-12, [0.3, 1.0])
        want = builtin.local_optimize(start, 5, 1e-12, [0.3, 1.0])
        np.testing.assert_array_equal(got.coeffs, want.coeffs)
        assert (got.success, got.iterations, got.error) == (want.success, want.iterations,
                                                            want.error)
    solver.multistart_optimize([np.zeros(N)] * 3, 3, 1e-12, LINEAR)
    solver.param_path_following(np.zeros(N), 3, 1e-12, [LINEAR, LINEAR])
    assert basis.calls == 1  # the tables are kept, never re-evaluated


def test_solver_holds_one_reference_to_a_python_basis():
    basis = R.DelegatingAnsatz(cheb())
    before = sys.getrefcount(basis)
    solver = Solver(**args(ansatz=basis))
    assert sys.getrefcount(basis) == before + 1
    del solver
    gc.collect()
    assert sys.getrefcount(basis) == before


def test_python_basis_stays_referenced_while_any_solver_uses_it():
    # C++ owners of one Python basis share a single reference to it.
    basis = R.DelegatingAnsatz(cheb())
    before = sys.getrefcount(basis)
    first = Solver(**args(ansatz=basis))
    second = Solver(**args(ansatz=basis))
    assert sys.getrefcount(basis) == before + 1
    del first
    gc.collect()
    assert sys.getrefcount(basis) == before + 1
    np.testing.assert_allclose(one_step(second), EXPECTED, rtol=1e-7, atol=1e-9)
    del second
    gc.collect()
    assert sys.getrefcount(basis) == before


@pytest.mark.parametrize("over", [dict(coll_grid=GRID[:3]), dict(cfunc_ptr=0), dict(inv_dim=2)],
                         ids=["underdetermined", "no-flow", "too-few-tables"])
def test_refused_construction_keeps_no_reference(over):
    basis = R.DelegatingAnsatz(cheb())
    before = sys.getrefcount(basis)
    with pytest.raises(ValueError):
        Solver(**args(ansatz=basis, **over))
    gc.collect()
    assert sys.getrefcount(basis) == before


def test_python_basis_kept_alive_by_the_solver_alone():
    solver = Solver(**args(ansatz=R.DelegatingAnsatz(cheb())))
    gc.collect()
    np.testing.assert_allclose(one_step(solver), EXPECTED, rtol=1e-7, atol=1e-9)


def test_builtin_basis_outlives_its_python_handle():
    basis = cheb()
    solver = Solver(**args(ansatz=basis))
    del basis
    gc.collect()
    np.testing.assert_allclose(one_step(solver), EXPECTED, rtol=1e-7, atol=1e-9)


def test_abstract_ansatz_is_refused_with_not_implemented():
    with pytest.raises(NotImplementedError):
        Solver(**args(ansatz=_core_cpp.Ansatz(N)))


def test_inv_dim_zero_needs_no_derivative_tables():
    # No coordinates: the basis gives values only and u + 2 = 0 is solved.
    class ValuesOnly(_core_cpp.Ansatz):
        def __init__(self):
            super().__init__(3)

        def evaluate_basis(self, grid):
            return np.vander(np.linspace(0.0, 1.0, 6), 3), [], []

    solver = Solver(GRID[:6], ValuesOnly(), R.flow_offset.address, 0, 0, 0, 0, 1)
    result = solver.local_optimize(np.zeros(3), 5, 1e-12, [2.0])
    assert result.success
    np.testing.assert_allclose(np.vander(np.linspace(0.0, 1.0, 6), 3) @ result.coeffs, -2.0,
                               atol=1e-12)
    assert {row[R.COL_DIM] for row in R.calls()} == {0}
