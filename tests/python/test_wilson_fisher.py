"""The O(N) model's generated routines (local potential approximation, Litim regulator)
against closed forms: the rows at the end of the domain, the batched and the single flow,
the Gaussian fixed point. wilson_fisher itself is tested in test_lpa_host_wilson_fisher.py."""

import ctypes

import numpy as np
import pytest

from lpa_host import fixed_point as fpm
from lpa_host import models, shooting
from lpa_host.domain import domain

ON = models.on()
DBL = ctypes.POINTER(ctypes.c_double)


def params(N, d, R, closure=2):
    return np.array([d, N, R, closure], dtype=np.float64)  # the model's order: d, N


def flow(rho, u, w, h, prm):
    return ON.routines.flow(np.asarray(rho, float)[:, None], u, w, h, prm)


def random_states(rng, m, R):
    """m points in [0, R] with R last, and u, u', u'' keeping both denominators off zero."""
    rho = np.append(np.sort(rng.uniform(0.0, R, m - 1)), R)
    return rho, rng.uniform(-1.0, 3.0, m), rng.uniform(-0.3, 2.0, m), rng.uniform(0.0, 1.0, m)


@pytest.mark.parametrize("N,d", [(1.0, 3.0), (4.0, 3.0), (2.0, 3.5), (0.0, 2.5)])
def test_sensitivities_match_finite_differences_of_the_flow(N, d):
    prm = params(N, d, 6.0)
    rho, *state = random_states(np.random.default_rng(7), 40, 6.0)
    x = np.array(state)  # rows u, u', u''
    sv, sw, sh = ON.routines.sens(rho[:, None], *x, prm)
    for arg, sens in enumerate((sv, sw[:, 0], sh[:, 0, 0])):
        step = np.zeros_like(x)
        step[arg] = 1e-6 * (1.0 + np.abs(x[arg]))
        fd = flow(rho, *(x + step), prm) - flow(rho, *(x - step), prm)
        np.testing.assert_allclose(sens, fd / (2 * step[arg]), rtol=1e-6, atol=1e-8)
    assert sh[-1, 0, 0] == 0.0 and sh[:-1, 0, 0].min() < 0.0  # the end row does not see u''


def test_end_row_closes_the_equation_at_R():
    # u = A rho^p (p = d / (d - 2)) solves the large-field equation. At R, closure 1
    # replaces 2 rho u'' by 2 (p - 1) u' (equal here), closure 2 by 2 (p - 1) u' / (1 - x),
    # x = K / ((d - 2) R) (< 1/2 here), K = (N - 1) / (1 + u')^2 + c / (1 + c u')^2,
    # c = (d + 2) / (d - 2): the slow manifold one order on, worked out by hand. The u''
    # passed in at R is not used.
    N, d, R, A = 2.0, 3.0, 7.0, 0.05
    p, c = d / (d - 2), (d + 2) / (d - 2)
    u, w, h = A * R**p, A * p * R ** (p - 1), A * p * (p - 1) * R ** (p - 2)
    K = (N - 1) / (1 + w) ** 2 + c / (1 + c * w) ** 2
    for order, t in ((1, 2 * R * h), (2, 2 * (p - 1) * w / (1 - K / ((d - 2) * R)))):
        out = flow([R, R], [u, u], [w, w], [h, 123.0], params(N, d, R, order))
        expected = -d * u + (d - 2) * R * w + (N - 1) / (1 + w) + 1 / (1 + w + t)
        np.testing.assert_allclose(out, [expected, expected], rtol=1e-14)
    # On the shooting solution the second-order (slow-manifold) row is much closer to
    # zero than the pure power law, and its error falls off faster with R.
    N, d = 1.0, 3.5
    w0, kappa = shooting.shoot(N, d, wtol=1e-15)
    sol = shooting._integrate(w0, N, d, rho_max=7 * kappa)

    def end_row(R, order):
        u, w = sol.sol(R)
        return abs(flow([R], [u], [w], [0.0], params(N, d, R, order))[0])

    res = np.array([[end_row(k * kappa, order) for k in (4.0, 5.0, 6.0)] for order in (1, 2)])
    assert (res[1] < 0.2 * res[0]).all()
    assert res[1][-1] / res[1][0] < res[0][-1] / res[0][0]


def _call(address, restype_args, *arrays_and_ints):
    fn = ctypes.CFUNCTYPE(None, *restype_args)(address)
    fn(*[a.ctypes.data_as(DBL) if isinstance(a, np.ndarray) else a for a in arrays_and_ints])


@pytest.mark.parametrize("n_batch", [1, 5])
def test_batched_flow_columns_equal_the_single_flow(n_batch):
    rng, R = np.random.default_rng(11), 5.0
    prm = params(3.0, 3.0, R)
    rho = random_states(rng, 30, R)[0]
    states = [random_states(rng, 30, R)[1:] for _ in range(n_batch)]
    U, W, H = (np.ascontiguousarray(np.column_stack([s[k] for s in states])) for k in range(3))
    inputs = [a.copy() for a in (rho, U, W, H)]
    out = np.zeros((30, n_batch))
    batch = ON.routines.addresses()[1]
    _call(batch, [DBL] * 6 + [ctypes.c_int32] * 3, rho, U, W, H, prm, out, 30, n_batch, 1)
    for s, (u, w, h) in enumerate(states):
        np.testing.assert_array_equal(out[:, s], flow(rho, u, w, h, prm))
    for before, after in zip(inputs, (rho, U, W, H)):
        np.testing.assert_array_equal(before, after)


def test_flow_writes_nan_for_more_than_one_invariant():
    m, dim = 4, 2  # points, values, gradients, Hessians, parameters, output
    args = [np.zeros(m * dim), np.zeros(m), np.zeros(m * dim), np.zeros(m * dim * dim),
            params(1.0, 3.0, 1.0), np.full(m, 7.0)]
    _call(ON.routines.addresses()[0], [DBL] * 6 + [ctypes.c_int32] * 2, *args, m, dim)
    assert np.isnan(args[-1]).all()


@pytest.mark.parametrize("N,d", [(1.0, 3.0), (4.0, 3.0), (0.0, 3.5)])
def test_gaussian_fixed_point_solves_the_collocation_equations_exactly(N, d):
    dom = domain(ON, 20.0, 12)
    gauss = N / d * np.eye(dom.n)[0]
    values = {"d": d, "N": N}
    for closure in (1, 2):
        sol = fpm.newton(dom, gauss, values, closure, maxiter=5, polish=0)
        assert sol.ok and sol.iterations == 0
        assert np.max(np.abs(dom.residual(gauss, values, closure))) < 1e-14
