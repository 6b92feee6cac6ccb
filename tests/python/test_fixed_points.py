"""fixed_points(N=..., d=...) against an independent shooting solution of the fixed-point equation
(scipy only, no _lpa_cpp) and first-order perturbation theory around the Gaussian point."""

import math
import pickle

import numpy as np
import pytest
from scipy.integrate import quad, solve_ivp
from scipy.optimize import brentq
from scipy.special import binom, factorial

from lpa_host import fixed_points

# Independent shooting: 2 rho u'' = 1/D - 1 - u', D = d u - (d - 2) rho u' - (N - 1)/(1 + u'),
# regular at rho = 0 with u'(0) = w0. Off a fixed point the solution runs into D -> 0 on one
# side and turns u' over (u'' from + to -) on the other; a fixed point turns over m times
# itself, so bisection on "more than m turns" pins down w0.

def _D(r, u, w, N, d):
    return d * u - (d - 2.0) * r * w - (N - 1.0) / (1.0 + w)


def _integrate(w0, N, d, rho_max, max_turns=None):
    r0 = 1e-6
    h0 = -2.0 * w0 * (1.0 + w0) ** 2 / (N + 2.0)
    y0 = [N / (d * (1.0 + w0)) + w0 * r0 + 0.5 * h0 * r0 * r0, w0 + h0 * r0]

    def turn(r, y):  # 2 rho u'', changing sign from + to - where u' turns over
        return 1.0 / _D(r, *y, N, d) - 1.0 - y[1]

    def stop(r, y):  # D -> 0 or 1 + u' -> 0
        return min(_D(r, *y, N, d), 1.0 + y[1]) - 1e-9

    stop.terminal, turn.terminal, turn.direction = True, max_turns, -1
    return solve_ivp(lambda r, y: [y[1], turn(r, y) / (2.0 * r)], (r0, rho_max), y0,
                     method="DOP853", rtol=1e-12, atol=1e-14, events=[turn, stop],
                     dense_output=True)


def shoot(w_guess, N, d, delta, rho_max=1e4):
    """(u'(0), solution) of the fixed point within delta of w_guess (fails if none)."""
    def turns(w0, cap=None):
        return len(_integrate(w0, N, d, rho_max, cap).t_events[0])

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


@pytest.mark.parametrize("d,N,count,tol,nu_published", [
    (2.9, 1, 2, 1e-11, None), (2.6, 1, 3, 1e-11, None), (2.45, 1, 4, 1e-11, None),
    (3.0, 2, 1, 1e-10, 0.7082), (3.0, 3, 1, 1e-10, 0.7611), (3.0, 4, 1, 1e-10, 0.8043),
    (2.6, 3, 3, 1e-10, None)])
def test_every_fixed_point_is_found_and_confirmed_by_shooting(d, N, count, tol, nu_published):
    pts = fixed_points(N=N, d=d)
    assert [p.n_relevant for p in pts] == list(range(2, count + 2))
    for p in pts:
        assert p.converged and p.params == {"d": d, "N": N}
        assert p.nu_error < 1e-10 and p.u_prime_0_error < 1e-10
        w0, sol = shoot(p.u_prime_0, N, d, delta=tol)
        assert abs(p.u_prime_0 - w0) <= tol, (p.n_relevant, p.u_prime_0, w0)
        # up to where the shooting solution leaves the fixed point: u' changes sign
        # n_relevant - 1 times, both denominators stay positive, its first zero is kappa
        rho = np.linspace(sol.t[0], 0.9 * sol.t[-1], 20001)
        u, w = sol.sol(rho)
        h = (1.0 / _D(rho, u, w, N, d) - 1.0 - w) / (2.0 * rho)
        s = np.sign(w[w != 0])
        assert np.count_nonzero(s[1:] != s[:-1]) == p.n_relevant - 1
        assert (1.0 + w).min() > 0.0 and (1.0 + w + 2 * rho * h).min() > 0.0
        i = np.nonzero((w[:-1] < 0) & (w[1:] >= 0))[0][0]
        kappa = brentq(lambda r: sol.sol(r)[1], rho[i], rho[i + 1], xtol=1e-14)
        assert abs(p.kappa - kappa) <= 1e-8 * kappa
        # the returned potential: positive denominators on [0, R], growing at R
        r = np.linspace(0.0, p.R, 20001)
        wp, hp = p.potential(r, 1), p.potential(r, 2)
        assert (1.0 + wp).min() > 0.0 and (1.0 + wp + 2 * r * hp).min() > 0.0 and wp[-1] > 0.0
    # multicritical points lie close to the Gaussian one, so does Wilson-Fisher for N = 1
    assert all(0.49 < p.nu < 1.0 for p in (pts if N == 1 else pts[1:]))
    if nu_published:
        assert abs(pts[0].nu - nu_published) < 1e-4
    assert pickle.loads(pickle.dumps(pts[-1])).as_row() == pts[-1].as_row()


@pytest.mark.parametrize("k", [3, 4, 5])
def test_a_new_point_leaves_the_gaussian_one_below_d_k(k):
    d_k = 2.0 * k / (k - 1.0)
    assert [p.n_relevant for p in fixed_points(N=1, d=d_k + 1e-3)] == list(range(2, k))
    # u'(0) -> 0 linearly with the first-order slope, up to a relative O(d_k - d) difference
    rel = []
    for delta in (1e-3, 1e-4):
        pts = fixed_points(N=1, d=d_k - delta)
        assert [p.n_relevant for p in pts] == list(range(2, k + 1))
        rel.append(pts[-1].u_prime_0 / first_order_w0(k, 1.0, d_k - delta) - 1.0)
        assert abs(rel[-1]) < 0.1
    assert rel[1] / 1e-4 == pytest.approx(rel[0] / 1e-3, rel=0.15)


@pytest.mark.parametrize("d,N", [(math.nan, 1), (math.inf, 1), ("3", 1), (True, 1), (2.0, 1),
                                 (2.1, 1), (3.96, 1), (4.0, 1), (3.0, -2.0), (3.0, 1001.0),
                                 (3.0, math.nan), (3.0, None)])
def test_bad_input_is_rejected(d, N):
    with pytest.raises(ValueError, match="must"):
        fixed_points(N=N, d=d)
