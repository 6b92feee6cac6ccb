"""The Wilson-Fisher example's building blocks (O(N) model, local potential approximation,
Litim regulator): the flow routines, the Gaussian fixed point and its exponents, the
collocation steps. wilson_fisher itself is tested in test_lpa_host_wilson_fisher.py."""

import ctypes

import numpy as np
import pytest

from lpa_host import exponents, fixed_point, flow, shooting


def random_states(rng, m, R):
    """m points in [0, R] with R last, and u, u', u'' keeping both denominators off zero."""
    rho = np.append(np.sort(rng.uniform(0.0, R, m - 1)), R)
    return rho, rng.uniform(-1.0, 3.0, m), rng.uniform(-0.3, 2.0, m), rng.uniform(0.0, 1.0, m)


@pytest.mark.parametrize("N,d", [(1.0, 3.0), (4.0, 3.0), (2.0, 3.5)])
def test_sensitivities_match_finite_differences_of_the_flow(N, d):
    prm = flow.params(N, d, 6.0)
    rho, *state = random_states(np.random.default_rng(7), 40, 6.0)
    x = np.array(state)  # rows u, u', u''
    sv, sw, sh = flow.call_sens(rho, *x, prm)
    for arg, sens in enumerate((sv, sw, sh)):
        step = np.zeros_like(x)
        step[arg] = 1e-6 * (1.0 + np.abs(x[arg]))
        fd = (flow.call_flow(rho, *(x + step), prm) - flow.call_flow(rho, *(x - step), prm))
        np.testing.assert_allclose(sens, fd / (2 * step[arg]), rtol=1e-6, atol=1e-8)
    assert sh[-1] == 0.0 and sh[:-1].min() < 0.0  # the closure point does not see u''


def test_end_row_closes_the_equation_at_R():
    # u = A rho^p (p = d / (d - 2)) solves the large-field equation. At R, closure 1
    # replaces 2 rho u'' by 2 (p - 1) u' (equal here), closure 2 by 2 (p - 1) u' / (1 - x),
    # x = K / ((d - 2) R) (< 1/2 here): the u'' passed in at R is not used.
    N, d, R, A = 2.0, 3.0, 7.0, 0.05
    p, c = d / (d - 2), (d + 2) / (d - 2)
    u, w, h = A * R**p, A * p * R ** (p - 1), A * p * (p - 1) * R ** (p - 2)
    K = (N - 1) / (1 + w) ** 2 + c / (1 + c * w) ** 2
    for order, t in ((1, 2 * R * h), (2, 2 * (p - 1) * w / (1 - K / ((d - 2) * R)))):
        out = flow.call_flow([R, R], [u, u], [w, w], [h, 123.0], flow.params(N, d, R, order))
        expected = -d * u + (d - 2) * R * w + (N - 1) / (1 + w) + 1 / (1 + w + t)
        np.testing.assert_allclose(out, [expected, expected], rtol=1e-14)
    with pytest.raises(ValueError):
        flow.params(N, d, R, 3)
    # On the shooting solution the second-order (slow-manifold) row is much closer to
    # zero than the pure power law, and its error falls off faster with R.
    N, d = 1.0, 3.5
    w0, kappa = shooting.shoot(N, d, wtol=1e-15)
    sol = shooting._integrate(w0, N, d, rho_max=7 * kappa)

    def end_row(R, order):
        u, w = sol.sol(R)
        return abs(flow.call_flow([R], [u], [w], [0.0], flow.params(N, d, R, order))[0])

    res = np.array([[end_row(k * kappa, order) for k in (4.0, 5.0, 6.0)] for order in (1, 2)])
    assert (res[1] < 0.2 * res[0]).all()
    assert res[1][-1] / res[1][0] < res[0][-1] / res[0][0]


@pytest.mark.parametrize("n_batch", [1, 5])
def test_batched_flow_columns_equal_the_single_flow(n_batch):
    rng, R = np.random.default_rng(11), 5.0
    prm = flow.params(3.0, 3.0, R)
    rho = random_states(rng, 30, R)[0]
    states = [random_states(rng, 30, R)[1:] for _ in range(n_batch)]
    U, W, H = (np.column_stack([s[k] for s in states]) for k in range(3))
    inputs = [a.copy() for a in (rho, U, W, H)]
    out = flow.call_batch(rho, U, W, H, prm)
    for s, (u, w, h) in enumerate(states):
        np.testing.assert_array_equal(out[:, s], flow.call_flow(rho, u, w, h, prm))
    for before, after in zip(inputs, (rho, U, W, H)):
        np.testing.assert_array_equal(before, after)


def test_flow_writes_nan_for_more_than_one_invariant():
    m, dim = 4, 2  # points, values, gradients, Hessians, parameters, output
    args = [np.zeros(m * dim), np.zeros(m), np.zeros(m * dim), np.zeros(m * dim * dim),
            flow.params(1.0, 3.0, 1.0), np.full(m, 7.0)]
    flow.flow_cfunc.ctypes(*(a.ctypes.data_as(ctypes.POINTER(ctypes.c_double)) for a in args),
                           m, dim)
    assert np.isnan(args[-1]).all()


@pytest.mark.parametrize("N,d", [(1.0, 3.0), (4.0, 3.0), (1.0, 3.5)])
def test_gaussian_fixed_point_and_its_exponents(N, d):
    # The constant u = N / d solves the collocation equations exactly.
    problem = fixed_point.FixedPointProblem(20.0, 8, d)
    gauss = N / d * np.eye(problem.n)[0]
    r = problem.solve(gauss, N, maxiter=5, tol=1e-13)
    assert r.success and r.iterations == 0
    exact = d - (d - 2) * np.arange(problem.n)  # theta of the degree-k eigenpolynomial
    # F'[u*] collocated at every node maps polynomials of degree k to degree k:
    # the discrete spectrum is the exact one.
    theta = exponents.eigenvalues(problem, gauss, N, boundary="operator")
    np.testing.assert_allclose(theta.real[:6], exact[:6], atol=1e-9)
    assert np.abs(theta.imag[:6]).max() < 1e-9
    # With the second-order (slow-manifold) closure of the perturbations the first three are
    # still exact, with the first-order one two; the next approach theta_k as R grows.
    for closure, n_exact in ((1, 2), (2, 3)):
        errors = []
        for R in (20.0, 40.0):
            big = fixed_point.FixedPointProblem(R, 16, d, closure=closure)
            theta = exponents.eigenvalues(big, N / d * np.eye(big.n)[0], N)
            np.testing.assert_allclose(theta.real[:n_exact], exact[:n_exact], atol=1e-10)
            assert exponents.exponents(theta, d)[2] == 3  # d, 2, d - 2 > 0 for 2 < d < 4
            errors.append(np.abs(theta.real[n_exact:n_exact + 2] - exact[n_exact:n_exact + 2]))
        assert (errors[1] < errors[0]).all() and errors[1].max() < 1e-2


def test_collocation_steps_at_the_ising_point():
    # The example script's steps (coarse solve from a broken-phase start, transfer, Newton,
    # polish, summarize) against shooting and the N = 1, d = 3 literature values.
    coarse = fixed_point.FixedPointProblem(8.0, 24)
    start = coarse.interpolate(lambda r: 1 / 2.4 + 0.1 * (0.5 * r * r - 2.0 * r))
    r = coarse.solve(start, 1.0, maxiter=40, tol=1e-9)
    assert r.success
    problem = fixed_point.FixedPointProblem(4.5 * fixed_point.find_kappa(coarse, r.coeffs), 96)
    r = problem.solve(problem.transfer(r.coeffs, coarse), 1.0, maxiter=30, tol=1e-11)
    assert r.success, r.error
    c = np.array(problem.polish(r.coeffs, 1.0, steps=2).coeffs)
    s = fixed_point.summarize(problem, c, 1.0)
    w0, kappa = shooting.shoot(1.0, 3.0, wtol=1e-13)
    assert s.positive and s.w0 == pytest.approx(w0, abs=1e-10)
    assert s.kappa == pytest.approx(kappa, rel=1e-9)
    nu, omega, n_relevant = exponents.exponents(exponents.eigenvalues(problem, c, 1.0), 3.0)
    assert n_relevant == 2  # the constant shift and the temperature direction
    assert (nu, omega) == pytest.approx((0.64956177388065, 0.655745939193), rel=1e-9)
