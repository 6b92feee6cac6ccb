"""fixed_points(d, N) against an independent shooting solution of the fixed-point
equation (scipy only, no _lpa_cpp) and first-order perturbation theory around the
Gaussian point."""

import math
import pickle

import numpy as np
import pytest
from scipy.integrate import quad, solve_ivp
from scipy.optimize import brentq
from scipy.special import binom, factorial

from lpa_host import fixed_points

# --- independent shooting ---------------------------------------------------------
# 2 rho u'' = 1/D - 1 - u', D = d u - (d - 2) rho u' - (N - 1)/(1 + u'), regular at
# rho = 0 with u'(0) = w0. Off a fixed point the solution runs into D -> 0 on one side
# and turns u' over (u'' from + to -) on the other; a fixed point turns over m times
# itself, so bisection on "more than m turns" pins down w0.

def _integrate(w0, N, d, rho_max, max_turns=None):
    r0 = 1e-6
    h0 = -2.0 * w0 * (1.0 + w0) ** 2 / (N + 2.0)
    y0 = [N / (d * (1.0 + w0)) + w0 * r0 + 0.5 * h0 * r0 * r0, w0 + h0 * r0]

    def D(r, y):
        return d * y[0] - (d - 2.0) * r * y[1] - (N - 1.0) / (1.0 + y[1])

    def turn(r, y):  # 2 rho u'', changing sign from + to - where u' turns over
        return 1.0 / D(r, y) - 1.0 - y[1]

    def pole(r, y):
        return D(r, y) - 1e-9

    def wall(r, y):  # 1 + u' -> 0
        return 1.0 + y[1] - 1e-9

    pole.terminal = wall.terminal = True
    turn.direction = -1
    if max_turns:
        turn.terminal = max_turns
    return solve_ivp(lambda r, y: [y[1], turn(r, y) / (2.0 * r)], (r0, rho_max), y0,
                     method="DOP853", rtol=1e-12, atol=1e-14, events=[pole, wall, turn],
                     dense_output=True)


def shoot(w_guess, N, d, delta, rho_max=1e4):
    """(u'(0), solution) of the fixed point within delta of w_guess (fails if none)."""
    def turns(w0, cap=None):
        return len(_integrate(w0, N, d, rho_max, cap).t_events[2])

    lo, hi = w_guess - delta, w_guess + delta
    c_lo, c_hi = turns(lo), turns(hi)
    assert c_lo != c_hi, f"no fixed point in [{lo}, {hi}]: {c_lo} turns at both ends"
    m = min(c_lo, c_hi)
    while hi - lo > 4e-16 * max(1.0, abs(lo)) and lo < 0.5 * (lo + hi) < hi:
        mid = 0.5 * (lo + hi)
        if (turns(mid, m + 1) > m) == (c_lo > m):
            lo = mid
        else:
            hi = mid
    w0 = 0.5 * (lo + hi)
    return w0, _integrate(w0, N, d, rho_max, m + 1)


def first_order_w0(k, N, d):
    """u'(0) of N/d + eps P_k (Laguerre polynomial, weight rho^(N/2-1) e^(-(d-2) rho/2)),
    eps = theta_k <P,P> / <P, Q[P]> from first-order perturbation theory."""
    a, c = N / 2.0 - 1.0, (d - 2.0) / 2.0
    P = np.polynomial.Polynomial([(-1) ** i * binom(k + a, k - i) / factorial(i) * c**i
                                  for i in range(k + 1)])
    P1, P2 = P.deriv(1), P.deriv(2)

    def integral(f):
        return quad(lambda r: r**a * math.exp(-c * r) * f(r), 0.0, np.inf, limit=200)[0]

    pq = integral(lambda r: P(r) * ((N - 1.0) * P1(r) ** 2 + (P1(r) + 2.0 * r * P2(r)) ** 2))
    return (d - (d - 2.0) * k) * integral(lambda r: P(r) ** 2) / pq * P1(0.0)


# --- the tests -----------------------------------------------------------------------

@pytest.mark.parametrize("d,count", [(2.9, 2), (2.6, 3), (2.45, 4)])
def test_every_multicritical_point_is_found_and_confirmed_by_shooting(d, count):
    pts = fixed_points(d)
    assert [p.n_relevant for p in pts] == list(range(2, count + 2))
    for p in pts:
        assert p.converged and p.N == 1.0 and p.d == d
        w0, sol = shoot(p.u_prime_0, 1.0, d, delta=1e-11)
        assert abs(p.u_prime_0 - w0) <= 1e-11, (p.n_relevant, p.u_prime_0, w0)
        # up to where the shooting solution leaves the fixed point: u' changes sign
        # n_relevant - 1 times, both denominators stay positive, its first zero is kappa
        rho = np.linspace(sol.t[0], sol.t[-1], 20001)
        u, w = sol.sol(rho)
        h = (1.0 / (d * u - (d - 2.0) * rho * w) - 1.0 - w) / (2.0 * rho)
        keep = rho < 0.9 * sol.t[-1]
        s = np.sign(w[keep][w[keep] != 0])
        assert np.count_nonzero(s[1:] != s[:-1]) == p.n_relevant - 1
        assert (1.0 + w[keep]).min() > 0.0 and (1.0 + w + 2 * rho * h)[keep].min() > 0.0
        i = np.nonzero((w[:-1] < 0) & (w[1:] >= 0))[0][0]
        kappa = brentq(lambda r: sol.sol(r)[1], rho[i], rho[i + 1], xtol=1e-14)
        assert abs(p.kappa - kappa) <= 1e-8 * kappa
        # the returned potential: positive denominators on [0, R], growing at R
        r = np.linspace(0.0, p.R, 20001)
        wp, hp = p.potential(r, 1), p.potential(r, 2)
        assert (1.0 + wp).min() > 0.0 and (1.0 + wp + 2 * r * hp).min() > 0.0 and wp[-1] > 0.0
    assert all(0.49 < p.nu < 1.0 for p in pts)  # close to the Gaussian point
    assert pickle.loads(pickle.dumps(pts[-1])).as_row() == pts[-1].as_row()


@pytest.mark.parametrize("k", [3, 4, 5])
def test_a_new_point_leaves_the_gaussian_one_below_d_k(k):
    d_k = 2.0 * k / (k - 1.0)
    assert [p.n_relevant for p in fixed_points(d_k + 1e-3)] == list(range(2, k))
    # u'(0) -> 0 linearly with the first-order slope; the relative difference is
    # of second order in d_k - d
    second = []
    for delta in (1e-3, 1e-4):
        pts = fixed_points(d_k - delta)
        assert [p.n_relevant for p in pts] == list(range(2, k + 1))
        ratio = pts[-1].u_prime_0 / first_order_w0(k, 1.0, d_k - delta)
        assert abs(ratio - 1.0) < 0.1
        second.append((ratio - 1.0) / delta)
    assert second[1] == pytest.approx(second[0], rel=0.15)


@pytest.mark.parametrize("d,N,nu_published", [(3.0, 2.0, 0.7082), (3.0, 3.0, 0.7611),
                                              (3.0, 4.0, 0.8043), (2.6, 3.0, None)])
def test_n_components(d, N, nu_published):
    pts = fixed_points(d, N)
    assert [p.n_relevant for p in pts] == ([2] if d == 3.0 else [2, 3, 4])
    assert all(p.N == N and p.converged for p in pts)
    w0, _ = shoot(pts[-1].u_prime_0, N, d, delta=1e-10)
    assert abs(pts[-1].u_prime_0 - w0) <= 1e-10
    if nu_published:
        assert abs(pts[0].nu - nu_published) < 1e-4


def test_no_nontrivial_point_at_or_above_four_dimensions():
    assert fixed_points(4.0) == [] and fixed_points(4.5, 2) == []


@pytest.mark.parametrize("d,N", [(math.nan, 1), (math.inf, 1), ("3", 1), (True, 1), (2.0, 1),
                                 (2.1, 1), (3.0, 0.5), (3.0, math.nan), (3.0, None)])
def test_bad_input_is_rejected(d, N):
    with pytest.raises(ValueError):
        fixed_points(d, N)
