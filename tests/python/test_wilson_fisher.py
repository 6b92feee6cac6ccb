"""The Wilson-Fisher example: flow routines, fixed points and exponents of the
O(N) model in the local potential approximation (Litim regulator)."""

import numpy as np
import pytest

from lpa_host import flow, shooting

NU_ISING = 0.64956177388065     # N = 1, d = 3, literature value
OMEGA_ISING = 0.655745939193


@pytest.fixture(scope="module")
def host():
    """The parts that need the compiled modules."""
    from lpa_host import exponents, fixed_point
    return fixed_point, exponents


def wilson_fisher(fixed_point, N, degree, domain_in_kappa=4.5):
    """Wilson-Fisher point from a generic broken-phase start: a coarse solve on
    [0, 8], then Newton on [0, domain_in_kappa * kappa]."""
    coarse = fixed_point.FixedPointProblem(8.0, 24)
    start = coarse.interpolate(lambda r: N / (3 * 0.8) + 0.1 * (0.5 * r * r - 2.0 * r))
    r = coarse.solve(start, N, maxiter=40, tol=1e-9)
    assert r.success
    kappa = fixed_point.find_kappa(coarse, r.coeffs)
    problem = fixed_point.FixedPointProblem(domain_in_kappa * kappa, degree)
    r = problem.solve(problem.transfer(r.coeffs, coarse), N, maxiter=30, tol=1e-11)
    assert r.success, r.error
    r = problem.polish(r.coeffs, N, steps=2)
    return problem, np.array(r.coeffs)


# --- the flow routines --------------------------------------------------------

def random_states(rng, m, R):
    """Points in [0, R] with R itself last, and u, u', u'' for which both
    denominators stay away from zero."""
    rho = np.append(np.sort(rng.uniform(0.0, R, m - 1)), R)
    u = rng.uniform(-1.0, 3.0, m)
    w = rng.uniform(-0.3, 2.0, m)
    h = rng.uniform(0.0, 1.0, m)
    return rho, u, w, h


@pytest.mark.parametrize("N,d", [(1.0, 3.0), (4.0, 3.0), (2.0, 3.5)])
def test_sensitivities_match_finite_differences_of_the_flow(N, d):
    rng = np.random.default_rng(7)
    R = 6.0
    prm = flow.params(N, d, R)
    rho, u, w, h = random_states(rng, 40, R)
    sv, sw, sh = flow.call_sens(rho, u, w, h, prm)
    for arg, sens in ((0, sv), (1, sw), (2, sh)):
        args = [u, w, h]
        step = 1e-6 * (1.0 + np.abs(args[arg]))
        plus = [a.copy() for a in args]
        minus = [a.copy() for a in args]
        plus[arg] += step
        minus[arg] -= step
        fd = (flow.call_flow(rho, *plus, prm) - flow.call_flow(rho, *minus, prm)) / (2 * step)
        np.testing.assert_allclose(sens, fd, rtol=1e-6, atol=1e-8)
    # the closure point does not see u''
    assert sh[-1] == 0.0 and sh[:-1].min() < 0.0


def test_flow_closes_the_equation_with_the_power_law_at_R():
    # u = A rho^p solves the large-field equation, and at rho = R closure 1
    # replaces 2 rho u'' by 2 (p - 1) u': both forms agree there, the residual
    # at R must not depend on the u'' passed in.
    N, d, R, A = 2.0, 3.0, 7.0, 0.05
    p = d / (d - 2)
    rho = np.array([R, R])
    u = A * rho**p
    w = A * p * rho ** (p - 1)
    h_true = A * p * (p - 1) * rho ** (p - 2)
    out = flow.call_flow(rho, u, w, np.array([h_true[0], 123.0]), flow.params(N, d, R, 1))
    expected = -d * u[0] + (d - 2) * R * w[0] + (N - 1) / (1 + w[0]) + 1 / (1 + w[0] + 2 * R * h_true[0])
    np.testing.assert_allclose(out, [expected, expected], rtol=1e-14)
    # closure 2 carries the first correction: 2 R u'' = 2 (p - 1) u' / (1 - x),
    # x = K / ((d - 2) R)
    c = (d + 2) / (d - 2)
    K = (N - 1) / (1 + w[0]) ** 2 + c / (1 + c * w[0]) ** 2
    x = K / ((d - 2) * R)
    assert x < 0.5
    t = 2 * (p - 1) * w[0] / (1 - x)
    out2 = flow.call_flow(rho, u, w, np.array([h_true[0], 123.0]), flow.params(N, d, R, 2))
    expected2 = -d * u[0] + (d - 2) * R * w[0] + (N - 1) / (1 + w[0]) + 1 / (1 + w[0] + t)
    np.testing.assert_allclose(out2, [expected2, expected2], rtol=1e-14)
    with pytest.raises(ValueError):
        flow.params(N, d, R, 3)


@pytest.mark.parametrize("n_batch", [1, 5])
def test_batched_flow_columns_equal_the_single_flow(n_batch):
    rng = np.random.default_rng(11)
    N, d, R = 3.0, 3.0, 5.0
    prm = flow.params(N, d, R)
    m = 30
    rho = np.append(np.sort(rng.uniform(0.0, R, m - 1)), R)
    states = [random_states(rng, m, R)[1:] for _ in range(n_batch)]
    U, W, H = (np.column_stack([s[k] for s in states]) for k in range(3))
    inputs = [a.copy() for a in (rho, U, W, H)]
    out = flow.call_batch(rho, U, W, H, prm)
    for s, (u, w, h) in enumerate(states):
        np.testing.assert_array_equal(out[:, s], flow.call_flow(rho, u, w, h, prm))
    for before, after in zip(inputs, (rho, U, W, H)):
        np.testing.assert_array_equal(before, after)


def test_flow_writes_nan_for_more_than_one_invariant():
    import ctypes
    m, dim = 4, 2
    c = lambda a: a.ctypes.data_as(ctypes.POINTER(ctypes.c_double))  # noqa: E731
    pts = np.zeros((m, dim))
    vals = np.zeros(m)
    grads = np.zeros(m * dim)
    hess = np.zeros(m * dim * dim)
    out = np.full(m, 7.0)
    prm = flow.params(1.0, 3.0, 1.0)
    flow.flow_cfunc.ctypes(c(pts), c(vals), c(grads), c(hess), c(prm), c(out), m, dim)
    assert np.isnan(out).all()


# --- fixed points and exponents -------------------------------------------------

@pytest.mark.parametrize("N,d", [(1.0, 3.0), (4.0, 3.0), (1.0, 3.5)])
def test_gaussian_fixed_point_and_its_exponents(host, N, d):
    fixed_point, exponents = host
    # The constant u = N / d solves the collocation equations exactly.
    problem = fixed_point.FixedPointProblem(20.0, 8, d)
    gauss = np.zeros(problem.n)
    gauss[0] = N / d
    r = problem.solve(gauss, N, maxiter=5, tol=1e-13)
    assert r.success and r.iterations == 0
    exact = d - (d - 2) * np.arange(problem.n)  # theta of the degree-k eigenpolynomial
    # F'[u*] collocated at every node maps polynomials of degree k to degree k:
    # the discrete spectrum is the exact one.
    theta = exponents.eigenvalues(problem, gauss, N, boundary="operator")
    np.testing.assert_allclose(theta.real[:6], exact[:6], atol=1e-9)
    assert np.abs(theta.imag[:6]).max() < 1e-9
    # With the slow-manifold closure of the perturbations (second order), the
    # constant, linear and quadratic ones are still exact; with the first-order
    # closure only the first two. The next ones approach theta_k as the domain grows.
    for closure, n_exact in ((1, 2), (2, 3)):
        errors = []
        for R in (20.0, 40.0):
            big = fixed_point.FixedPointProblem(R, 16, d, closure=closure)
            gauss = np.zeros(big.n)
            gauss[0] = N / d
            theta = exponents.eigenvalues(big, gauss, N)
            np.testing.assert_allclose(theta.real[:n_exact], exact[:n_exact], atol=1e-10)
            assert exponents.exponents(theta, d)[2] == 3  # d, 2, d - 2 > 0 for 2 < d < 4
            errors.append(np.abs(theta.real[n_exact:n_exact + 2] - exact[n_exact:n_exact + 2]))
        assert (errors[1] < errors[0]).all() and errors[1].max() < 1e-2


def test_ising_nu_and_omega(host):
    fixed_point, exponents = host
    problem, c = wilson_fisher(fixed_point, 1.0, 96)
    s = fixed_point.summarize(problem, c, 1.0)
    assert s.positive
    theta = exponents.eigenvalues(problem, c, 1.0)
    nu, omega, n_relevant = exponents.exponents(theta, 3.0)
    assert n_relevant == 2  # the constant shift and the temperature direction
    assert abs(theta[0] - 3.0) < 1e-10
    assert nu == pytest.approx(NU_ISING, rel=1e-9)
    assert omega == pytest.approx(OMEGA_ISING, rel=1e-9)
    # The exponents do not depend on where the domain ends.
    small, c2 = wilson_fisher(fixed_point, 1.0, 96, domain_in_kappa=3.5)
    nu2 = exponents.exponents(exponents.eigenvalues(small, c2, 1.0), 3.0)[0]
    assert nu2 == pytest.approx(nu, rel=1e-10)


@pytest.mark.parametrize("N", [1.0, 3.0])
def test_fixed_point_agrees_with_shooting(host, N):
    fixed_point, _ = host
    # Shooting alone (no collocation), from a bracket that knows nothing of the answer.
    w0, kappa = shooting.shoot(N, 3.0, bracket=(-0.5, -0.01), wtol=1e-13)
    if N == 1.0:
        assert w0 == pytest.approx(-0.18606, abs=1e-5)
        assert kappa == pytest.approx(1.8149, abs=1e-4)
    problem, c = wilson_fisher(fixed_point, N, 96, domain_in_kappa=3.5)
    s = fixed_point.summarize(problem, c, N)
    assert s.w0 == pytest.approx(w0, abs=1e-10)
    assert s.kappa == pytest.approx(kappa, rel=1e-9)
    # the shooting solution's u' at a few points
    sol = shooting._integrate(w0, N, 3.0, rho_max=1.5 * kappa)
    rho = np.linspace(0.1, 1.4 * kappa, 7)
    np.testing.assert_allclose(problem.evaluate(c, rho)[1], sol.sol(rho)[1], atol=1e-9)
