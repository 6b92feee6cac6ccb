"""The fixed point by shooting from rho = 0, without the collocation solver.

Solved for u'', the fixed-point equation reads

    2 rho u'' = 1 / D - 1 - u',   D = d u - (d - 2) rho u' - (N - 1) / (1 + u').

At rho = 0 it fixes u(0) = N / (d (1 + u'(0))) and, once differentiated,
u''(0) = -2 u'(0) (1 + u'(0))^2 / (N + 2); the other solution near rho = 0
behaves as rho^{-N/2} and is left out by starting on the regular one. Of the
one-parameter family u'(0) = w0, only the fixed point reaches large rho: for
w0 below it D runs into zero (u'' blows up), for w0 above it u' turns over and
falls. Bisection on which of the two happens first pins down w0.
"""

from __future__ import annotations

import math

import numpy as np
from scipy.integrate import solve_ivp
from scipy.optimize import brentq

BELOW, ABOVE = -1, +1


def _integrate(w0, N, d, rho_max, rho_start=1e-6, rtol=1e-12, atol=1e-14):
    u0 = N / (d * (1.0 + w0))
    h0 = -2.0 * w0 * (1.0 + w0) ** 2 / (N + 2.0)
    r0 = rho_start
    y0 = [u0 + w0 * r0 + 0.5 * h0 * r0 * r0, w0 + h0 * r0]

    def D(r, y):
        return d * y[0] - (d - 2.0) * r * y[1] - (N - 1.0) / (1.0 + y[1])

    def rhs(r, y):
        return [y[1], (1.0 / D(r, y) - 1.0 - y[1]) / (2.0 * r)]

    def pole(r, y):  # D -> 0+: 1 + u' + 2 rho u'' -> infinity
        return D(r, y) - 1e-6

    def turn(r, y):  # u'' changes sign from + to -
        return 1.0 / D(r, y) - 1.0 - y[1]

    pole.terminal = True
    turn.terminal = True
    turn.direction = -1
    return solve_ivp(rhs, (r0, rho_max), y0, method="DOP853", rtol=rtol, atol=atol,
                     events=[pole, turn], dense_output=True)


def side(w0, N, d=3.0, rho_max=60.0):
    """ABOVE if u' turns over, BELOW if u'' blows up (or the integration fails)."""
    sol = _integrate(w0, N, d, rho_max)
    if len(sol.t_events[1]):
        return ABOVE
    if len(sol.t_events[0]) or sol.status == -1:
        return BELOW
    return 0  # reached rho_max: only at the fixed point itself


def shoot(N, d=3.0, bracket=(-0.5, -0.01), wtol=1e-15):
    """(u'(0), kappa) of the nontrivial fixed point by bisection in u'(0)."""
    lo, hi = bracket
    if side(lo, N, d) != BELOW or side(hi, N, d) != ABOVE:
        raise ValueError(f"u'(0) bracket {bracket} does not straddle the fixed point")
    while hi - lo > wtol * max(1.0, abs(lo)):
        mid = 0.5 * (lo + hi)
        if mid in (lo, hi):
            break
        s = side(mid, N, d)
        if s == BELOW:
            lo = mid
        elif s == ABOVE:
            hi = mid
        else:
            lo = hi = mid
    w0 = 0.5 * (lo + hi)
    sol = _integrate(w0, N, d, rho_max=60.0)
    r = sol.t
    w = sol.y[1]
    i = int(np.argmax(w >= 0.0))
    if w[i] < 0.0:
        return w0, math.nan
    kappa = brentq(lambda x: sol.sol(x)[1], r[i - 1], r[i], xtol=1e-15)
    return w0, kappa
