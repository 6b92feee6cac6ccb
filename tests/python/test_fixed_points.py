"""fixed_points(d, N): Wilson-Fisher and the multicritical fixed points, each
checked against an independent shooting solution of the fixed-point equation
(scipy solve_ivp from rho = 0, bisection in u'(0); no use of _lpa_cpp) and
against first-order perturbation theory around the Gaussian point."""

import math
import pickle

import numpy as np
import pytest
from scipy.integrate import quad, solve_ivp
from scipy.optimize import brentq
from scipy.special import binom, factorial


def d_k(k):
    return 2.0 * k / (k - 1.0)


@pytest.fixture(scope="module")
def mc():
    """The package: fixed_points is its public entry point."""
    import lpa_host
    return lpa_host


# --- independent shooting ---------------------------------------------------------
#
# Solved for u'', 0 = F[u] reads 2 rho u'' = 1/D - 1 - u' with
# D = d u - (d - 2) rho u' - (N - 1) / (1 + u'); regularity at rho = 0 fixes
# u(0) = N / (d (1 + w0)) and u''(0) = -2 w0 (1 + w0)^2 / (N + 2) for u'(0) = w0.
# Started slightly off a fixed point, the solution follows it and then leaves
# at large rho in one of two ways: upwards, into D -> 0 (u'' -> +inf), or
# downwards, u' turning over (u'' changing sign from + to -). A multicritical
# solution already turns over m times on its own (u' has k - 1 sign changes and
# alternates between maxima and minima), so the two sides differ in the number
# of such turns before the integration stops: m on the upward side, at least
# m + 1 on the other. m is read off the two ends of a bracket, and bisection on
# "more than m turns" pins down w0 (the turns of u' far out are the same on
# both sides, so the count is a clean two-valued test near the fixed point).

def _integrate(w0, N, d, rho_max, max_turns=None):
    r0 = 1e-6
    u0 = N / (d * (1.0 + w0))
    h0 = -2.0 * w0 * (1.0 + w0) ** 2 / (N + 2.0)
    y0 = [u0 + w0 * r0 + 0.5 * h0 * r0 * r0, w0 + h0 * r0]

    def D(r, y):
        return d * y[0] - (d - 2.0) * r * y[1] - (N - 1.0) / (1.0 + y[1])

    def rhs(r, y):
        return [y[1], (1.0 / D(r, y) - 1.0 - y[1]) / (2.0 * r)]

    def pole(r, y):
        return D(r, y) - 1e-9

    def wall(r, y):  # 1 + u' -> 0
        return 1.0 + y[1] - 1e-9

    def turn(r, y):
        return 1.0 / D(r, y) - 1.0 - y[1]

    pole.terminal = wall.terminal = True
    turn.direction = -1
    if max_turns:
        turn.terminal = max_turns
    return solve_ivp(rhs, (r0, rho_max), y0, method="DOP853", rtol=1e-12, atol=1e-14,
                     events=[pole, wall, turn], dense_output=True)


def _turns(w0, N, d, rho_max, cap=None):
    return len(_integrate(w0, N, d, rho_max, cap).t_events[2])


def shoot(w_guess, N, d, delta, rho_max=1e4):
    """(u'(0), solution at it) of the fixed point within delta of w_guess
    (fails if there is none: the bracket is the accuracy asked for)."""
    lo, hi = w_guess - delta, w_guess + delta
    c_lo, c_hi = _turns(lo, N, d, rho_max), _turns(hi, N, d, rho_max)
    assert c_lo != c_hi, f"no fixed point in [{lo}, {hi}]: {c_lo} turns at both ends"
    m = min(c_lo, c_hi)
    lo_turns = c_lo > m
    while hi - lo > 4e-16 * max(1.0, abs(lo)):
        mid = 0.5 * (lo + hi)
        if mid in (lo, hi):
            break
        if (_turns(mid, N, d, rho_max, m + 1) > m) == lo_turns:
            lo = mid
        else:
            hi = mid
    w0 = 0.5 * (lo + hi)
    return w0, _integrate(w0, N, d, rho_max, m + 1)


def sign_changes(x):
    s = np.sign(x[np.abs(x) > 0])
    return int(np.sum(s[1:] != s[:-1]))


# --- first-order perturbation theory around u = N/d ------------------------------

def first_order_w0(k, N, d):
    """u'(0) of N/d + eps P_k, eps = theta_k <P,P> / <P, Q[P]> (weight
    rho^(N/2-1) e^(-(d-2) rho/2)), with P_k from the explicit Laguerre sum."""
    a, c = N / 2.0 - 1.0, (d - 2.0) / 2.0
    coef = [(-1) ** i * binom(k + a, k - i) / factorial(i) * c**i for i in range(k + 1)]
    P = np.polynomial.Polynomial(coef)
    P1, P2 = P.deriv(1), P.deriv(2)

    def Q(r):
        return (N - 1.0) * P1(r) ** 2 + (P1(r) + 2.0 * r * P2(r)) ** 2

    def weight(r):
        return r**a * math.exp(-c * r)

    pp = quad(lambda r: weight(r) * P(r) ** 2, 0.0, np.inf, limit=200)[0]
    pq = quad(lambda r: weight(r) * P(r) * Q(r), 0.0, np.inf, limit=200)[0]
    theta = d - (d - 2.0) * k
    return theta * pp / pq * P1(0.0)


# --- the tests -----------------------------------------------------------------------

@pytest.fixture(scope="module")
def found(mc):
    return {d: mc.fixed_points(d) for d in (2.9, 2.6, 2.45)}


@pytest.mark.parametrize("d,count", [(2.9, 2), (2.6, 3), (2.45, 4)])
def test_every_multicritical_point_is_found_and_confirmed_by_shooting(found, d, count):
    pts = found[d]
    assert len(pts) == count
    assert [p.n_relevant for p in pts] == list(range(2, count + 2))
    for p in pts:
        assert p.converged and p.N == 1.0 and p.d == d
        w0, sol = shoot(p.u_prime_0, 1.0, d, delta=1e-11)
        assert abs(p.u_prime_0 - w0) <= 1e-11, (p.n_relevant, p.u_prime_0, w0)
        # the shooting solution up to where it leaves the fixed point: u' changes
        # sign n_relevant - 1 times, both denominators stay positive, and its
        # first minimum is kappa
        rho = np.linspace(sol.t[0], sol.t[-1], 20001)
        u, w = sol.sol(rho)
        h = (1.0 / (d * u - (d - 2.0) * rho * w) - 1.0 - w) / (2.0 * rho)
        keep = rho < 0.9 * sol.t[-1]
        assert sign_changes(w[keep]) == p.n_relevant - 1
        assert (1.0 + w[keep]).min() > 0.0 and (1.0 + w + 2 * rho * h)[keep].min() > 0.0
        i = np.nonzero((w[:-1] < 0) & (w[1:] >= 0))[0][0]
        kappa = brentq(lambda r: sol.sol(r)[1], rho[i], rho[i + 1], xtol=1e-14)
        assert abs(p.kappa - kappa) <= 1e-8 * kappa
        # the returned potential: positive denominators on a fine grid of [0, R]
        # (beyond R it grows as a power law)
        r = np.linspace(0.0, p.R, 20001)
        wp, hp = p.potential(r, 1), p.potential(r, 2)
        assert (1.0 + wp).min() > 0.0 and (1.0 + wp + 2 * r * hp).min() > 0.0
        assert wp[-1] > 0.0
    # multicritical points sit close to the Gaussian one: nu near 1/2 and the
    # next eigenvalue below 2, each one with one relevant direction more
    assert all(0.49 < p.nu < 1.0 for p in pts)
    assert pickle.loads(pickle.dumps(pts[-1])).as_row() == pts[-1].as_row()


@pytest.mark.parametrize("k", [3, 4, 5])
def test_a_new_point_leaves_the_gaussian_one_below_d_k(mc, k):
    above = mc.fixed_points(d_k(k) + 1e-3)
    assert [p.n_relevant for p in above] == list(range(2, k))
    # u'(0) -> 0 linearly, with the slope of first-order perturbation theory:
    # the relative difference is of order d_k - d (second order)
    second = []
    for delta in (1e-3, 1e-4):
        pts = mc.fixed_points(d_k(k) - delta)
        assert [p.n_relevant for p in pts] == list(range(2, k + 1))
        ratio = pts[-1].u_prime_0 / first_order_w0(k, 1.0, d_k(k) - delta)
        assert abs(ratio - 1.0) < 0.1
        second.append((ratio - 1.0) / delta)
    assert second[1] == pytest.approx(second[0], rel=0.15)


@pytest.mark.parametrize("N,nu_published", [(2.0, 0.7082), (3.0, 0.7611), (4.0, 0.8043)])
def test_wilson_fisher_for_n_components(mc, N, nu_published):
    (wf,) = mc.fixed_points(3.0, N)
    assert wf.n_relevant == 2 and wf.N == N and wf.converged
    w0, _ = shoot(wf.u_prime_0, N, 3.0, delta=1e-10)
    assert abs(wf.u_prime_0 - w0) <= 1e-10
    assert abs(wf.nu - nu_published) < 1e-4


def test_multicritical_points_for_n_components(mc):
    pts = mc.fixed_points(2.6, 3.0)
    assert [p.n_relevant for p in pts] == [2, 3, 4]
    w0, _ = shoot(pts[-1].u_prime_0, 3.0, 2.6, delta=1e-10)
    assert abs(pts[-1].u_prime_0 - w0) <= 1e-10


def test_no_nontrivial_point_at_or_above_four_dimensions(mc):
    assert mc.fixed_points(4.0) == [] and mc.fixed_points(4.5, 2) == []


@pytest.mark.parametrize("d,N", [(math.nan, 1), (math.inf, 1), ("3", 1), (True, 1), (2.0, 1),
                                 (2.1, 1), (3.0, 0.5), (3.0, math.nan), (3.0, None)])
def test_bad_input_is_rejected(mc, d, N):
    with pytest.raises(ValueError):
        mc.fixed_points(d, N)
