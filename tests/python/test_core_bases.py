"""The bases of _core_cpp: values and derivatives against numpy.polynomial,
Python subclasses of Ansatz, and argument checking."""

import math

import numpy as np
import numpy.polynomial.chebyshev as npcheb
import numpy.polynomial.polynomial as nppoly
import pytest

import _core_cpp as core


def unit(k):
    c = np.zeros(k + 1)
    c[k] = 1.0
    return c


def reference(exponents, grid, factor):
    """Values and derivatives of the product basis built from numpy.

    factor(j, k, order, x) is the order-th derivative of the k-th one-variable
    polynomial of variable j at x.
    """
    m, q = grid.shape

    def products(orders):
        out = np.ones((m, len(exponents)))
        for b, e in enumerate(exponents):
            for j in range(q):
                out[:, b] *= factor(j, e[j], orders[j], grid[:, j])
        return out

    def orders(*vars_):
        o = [0] * q
        for j in vars_:
            o[j] += 1
        return o

    values = products(orders())
    first = [products(orders(j)) for j in range(q)]
    second = [products(orders(j, k)) for j in range(q) for k in range(q)]
    return values, first, second


def monomial_factor(j, k, order, x):
    return nppoly.polyval(x, nppoly.polyder(unit(k), order))


def chebyshev_factor(lower, upper):
    def factor(j, k, order, x):
        lo, hi = lower[j], upper[j]
        t = (2.0 * x - lo - hi) / (hi - lo)
        return npcheb.chebval(t, npcheb.chebder(unit(k), order)) * (2.0 / (hi - lo)) ** order

    return factor


def assert_triple_close(got, want, rtol):
    values, first, second = got
    want_values, want_first, want_second = want
    assert isinstance(first, list) and isinstance(second, list)
    assert len(first) == len(want_first) and len(second) == len(want_second)
    for name, a, b in [("values", values, want_values)] + [
        (f"{kind}[{i}]", a, b)
        for kind, gs, ws in [("first", first, want_first), ("second", second, want_second)]
        for i, (a, b) in enumerate(zip(gs, ws))
    ]:
        assert a.dtype == np.float64 and a.shape == b.shape, name
        scale = 1.0 + np.max(np.abs(b))
        np.testing.assert_allclose(a, b, rtol=0, atol=rtol * scale, err_msg=name)


class TestAgainstNumpy:
    @pytest.mark.parametrize("inv_dim, degree", [(1, 0), (1, 7), (2, 1), (2, 5)])
    def test_polynomial(self, rng, inv_dim, degree):
        basis = core.PolynomialAnsatz(inv_dim, degree)
        grid = rng.uniform(-1.5, 1.5, size=(9, inv_dim))
        grid[0] = 0.0
        assert basis.n_coeffs == math.comb(inv_dim + degree, degree)
        assert basis.inv_dim == inv_dim and basis.degree == degree
        want = reference(basis.exponents, grid, monomial_factor)
        assert_triple_close(basis.evaluate_basis(grid), want, 1e-13)

    @pytest.mark.parametrize("inv_dim, degree", [(1, 0), (1, 12), (2, 1), (2, 6)])
    def test_chebyshev(self, rng, inv_dim, degree):
        lower, upper = [-1.5, 0.2][:inv_dim], [2.5, 3.0][:inv_dim]
        basis = core.ChebyshevAnsatz(inv_dim, degree, lower, upper)
        grid = rng.uniform(lower, upper, size=(9, inv_dim))
        grid[0], grid[1] = lower, upper
        assert basis.n_coeffs == math.comb(inv_dim + degree, degree)
        assert basis.lower == tuple(lower) and basis.upper == tuple(upper)
        want = reference(basis.exponents, grid, chebyshev_factor(lower, upper))
        assert_triple_close(basis.evaluate_basis(grid), want, 1e-12)

    def test_chebyshev_high_degree_one_variable(self):
        degree = 260
        basis = core.ChebyshevAnsatz(1, degree, [-2.0], [1.0])
        x = np.linspace(-2.0, 1.0, 41)
        want = reference(basis.exponents, x[:, None], chebyshev_factor([-2.0], [1.0]))
        assert_triple_close(basis.evaluate_basis(x), want, 1e-11)

    def test_exponent_order(self):
        two = [(0, 0), (1, 0), (0, 1), (2, 0), (1, 1), (0, 2)]
        assert core.PolynomialAnsatz(2, 2).exponents == two
        assert core.ChebyshevAnsatz(1, 3, [0], [1]).exponents == [(0,), (1,), (2,), (3,)]
        assert core.PolynomialAnsatz(0, 4).exponents == [()]


class TestGrid:
    def test_one_dimensional_grid_is_a_column(self):
        basis = core.PolynomialAnsatz(1, 3)
        x = [0.5, -1.0, 2.0]
        column = basis.evaluate_basis(np.array(x)[:, None])
        for got in (basis.evaluate_basis(x), basis.evaluate_basis(np.array(x, dtype=np.float32))):
            assert_triple_close(got, column, 0)

    def test_non_contiguous_grid(self, rng):
        basis = core.PolynomialAnsatz(2, 3)
        wide = rng.uniform(-1, 1, size=(6, 4))
        view = wide[::2, 1::2]
        assert not view.flags.c_contiguous
        assert_triple_close(basis.evaluate_basis(view), basis.evaluate_basis(view.copy()), 0)

    @pytest.mark.parametrize("grid", [np.zeros((4, 3)), np.zeros(4), np.zeros((2, 2, 2))])
    def test_wrong_shape(self, grid):
        with pytest.raises(ValueError, match="grid"):
            core.PolynomialAnsatz(2, 3).evaluate_basis(grid)


class Quadratic(core.Ansatz):
    """1, x, y^2 in two variables, with every array built here in Python."""

    def __init__(self):
        super().__init__(3)
        self.grids = []

    def evaluate_basis(self, grid):
        self.grids.append(grid)
        x, y = grid[:, 0], grid[:, 1]
        one, zero = np.ones_like(x), np.zeros_like(x)
        values = np.stack([one, x, y * y], axis=1)
        dx = np.stack([zero, one, zero], axis=1)
        dy = np.stack([zero, zero, 2 * y], axis=1)
        dyy = np.stack([zero, zero, 2 * one], axis=1)
        z = np.zeros_like(values)
        return values, [dx, dy], [z, z, z, dyy]


class TestPythonSubclass:
    def test_round_trip_through_cpp(self):
        basis = Quadratic()
        assert basis.n_coeffs == 3
        grid = [[1.0, 2.0], [-3.0, 0.5]]
        want = Quadratic().evaluate_basis(np.array(grid))
        # The base class method goes through the C++ virtual call and back.
        got = core.Ansatz.evaluate_basis(basis, grid)
        assert_triple_close(got, want, 0)
        (seen,) = basis.grids
        assert seen.dtype == np.float64 and seen.shape == (2, 2)
        np.testing.assert_array_equal(seen, grid)

    def test_lists_and_integer_arrays_are_converted(self):
        class Constant(core.Ansatz):
            def evaluate_basis(self, grid):
                m = len(grid)
                return [[1, 2]] * m, ([[0, 0]] * m,), [np.zeros((m, 2), dtype=np.int64)]

        values, first, second = core.Ansatz.evaluate_basis(Constant(2), [0.0, 1.0, 2.0])
        np.testing.assert_array_equal(values, [[1.0, 2.0]] * 3)
        assert [a.shape for a in first + second] == [(3, 2), (3, 2)]

    @pytest.mark.parametrize(
        "result",
        [
            np.zeros((2, 3)),
            None,
            (np.zeros((2, 1)), []),
            (np.zeros((2, 1)), [], [], []),
            ("values", [], []),
            (np.zeros((2, 1)), np.zeros((2, 1)), []),
            (np.zeros((2, 1)), None, []),
            (np.zeros((2, 1)), [np.zeros((2, 1))], [object()]),
            (np.zeros((2, 1)), [np.zeros((2, 2, 2))], []),
        ],
    )
    def test_bad_return_is_a_type_error(self, result):
        class Bad(core.Ansatz):
            def evaluate_basis(self, grid):
                return result

        message = r"evaluate_basis must return \(values, first_derivatives"
        with pytest.raises(TypeError, match=message):
            core.Ansatz.evaluate_basis(Bad(1), [0.0, 1.0])

    def test_exception_in_override_propagates(self):
        class Failing(core.Ansatz):
            def evaluate_basis(self, grid):
                raise KeyError("no such basis")

        with pytest.raises(KeyError, match="no such basis"):
            core.Ansatz.evaluate_basis(Failing(1), [0.0])

    def test_missing_override(self):
        class Abstract(core.Ansatz):
            pass

        class CallsBase(core.Ansatz):
            def evaluate_basis(self, grid):
                return super().evaluate_basis(grid)

        for cls in (Abstract, CallsBase):
            with pytest.raises(NotImplementedError, match="evaluate_basis"):
                core.Ansatz.evaluate_basis(cls(1), [0.0])
        with pytest.raises(NotImplementedError):
            core.Ansatz(2).evaluate_basis([0.0])


class TestArguments:
    @pytest.mark.parametrize(
        "make",
        [
            lambda: core.Ansatz(-1),
            lambda: core.PolynomialAnsatz(-1, 2),
            lambda: core.PolynomialAnsatz(2, -1),
            lambda: core.PolynomialAnsatz(40, 40),
            lambda: core.ChebyshevAnsatz(-1, 2, [], []),
            lambda: core.ChebyshevAnsatz(1, -1, [0.0], [1.0]),
            lambda: core.ChebyshevAnsatz(2, 2, [0.0], [1.0, 1.0]),
            lambda: core.ChebyshevAnsatz(2, 2, [0.0, 0.0], [1.0]),
            lambda: core.ChebyshevAnsatz(1, 2, [1.0], [1.0]),
            lambda: core.ChebyshevAnsatz(1, 2, [1.0], [0.0]),
            lambda: core.ChebyshevAnsatz(1, 2, [0.0], [math.inf]),
            lambda: core.ChebyshevAnsatz(1, 2, [math.nan], [1.0]),
        ],
    )
    def test_invalid_arguments_are_value_errors(self, make):
        with pytest.raises(ValueError):
            make()

    @pytest.mark.parametrize(
        "basis, name",
        [
            (core.Ansatz(2), "n_coeffs"),
            (Quadratic(), "n_coeffs"),
            (core.PolynomialAnsatz(2, 2), "n_coeffs"),
            (core.PolynomialAnsatz(2, 2), "degree"),
            (core.PolynomialAnsatz(2, 2), "exponents"),
            (core.ChebyshevAnsatz(1, 2, [0], [1]), "inv_dim"),
            (core.ChebyshevAnsatz(1, 2, [0], [1]), "lower"),
            (core.ChebyshevAnsatz(1, 2, [0], [1]), "upper"),
        ],
    )
    def test_attributes_are_read_only(self, basis, name):
        before = getattr(basis, name)
        with pytest.raises(AttributeError):
            setattr(basis, name, before)

    @pytest.mark.parametrize("cls", [core.PolynomialAnsatz, core.ChebyshevAnsatz])
    def test_concrete_bases_are_final(self, cls):
        # Their evaluate_basis is C++ only; an override could never be seen.
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})
