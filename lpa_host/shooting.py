"""The fixed point by shooting from rho = 0, without the collocation solver.

Solved for u'', the fixed-point equation reads

    2 rho u'' = 1 / D - 1 - u',   D = d u - (d - 2) rho u' - (N - 1) / (1 + u').

At rho = 0 it fixes u(0) = N / (d (1 + u'(0))) and, once differentiated,
u''(0) = -2 u'(0) (1 + u'(0))^2 / (N + 2); the other solution near rho = 0
behaves as rho^{-N/2} and is left out by starting on the regular one. Of the
one-parameter family u'(0) = w0, only the fixed point reaches large rho: for
w0 below it D runs into zero (u'' blows up), for w0 above it u' turns over and
falls. Bisection on which of the two happens first pins down w0.

Any real N >= 1 and 2 < d < 4 work. Lengths scale with N (for large N the
potential is N f(rho / N)), so the default integration range does too.

    >>> w0, kappa = shoot(1.0, 3.0)          # Wilson-Fisher point, d = 3
    >>> round(w0, 6), round(kappa, 5)
    (-0.186064, 1.8149)
"""

from __future__ import annotations

import math

import numpy as np
from scipy.integrate import solve_ivp
from scipy.optimize import brentq

BELOW, ABOVE = -1, +1


def default_rho_max(N: float, d: float) -> float:
    """An integration range well beyond the minimum of the potential."""
    return 60.0 * (1.0 + 0.5 * N) / (d - 2.0)


def _integrate(w0, N, d, rho_max, rho_start=1e-6, rtol=1e-12, atol=1e-14):
    u0 = N / (d * (1.0 + w0))
    h0 = -2.0 * w0 * (1.0 + w0) ** 2 / (N + 2.0)
    r0 = rho_start * max(1.0, N)
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


def side(w0, N, d=3.0, rho_max=None):
    """ABOVE if u' turns over, BELOW if u'' blows up (or the integration fails),
    0 if neither happens before rho_max (only at a fixed point itself)."""
    if rho_max is None:
        rho_max = default_rho_max(N, d)
    if not 1.0 + w0 > 0.0:
        return BELOW
    sol = _integrate(w0, N, d, rho_max)
    if len(sol.t_events[1]):
        return ABOVE
    if len(sol.t_events[0]) or sol.status == -1:
        return BELOW
    return 0


def wilson_fisher_bracket(N, d, rho_max=None, start=-1e-3, factor=1.25, lowest=-0.995):
    """(lo, hi) with side(lo) = BELOW and side(hi) = ABOVE around the Wilson-Fisher
    point: the first change of side met when u'(0) steps down geometrically from
    just below the Gaussian point (u'(0) = 0). Multicritical points lie further
    down and are not reached."""
    hi = start
    s = side(hi, N, d, rho_max)
    while s != ABOVE:  # too close to the Gaussian point to decide within rho_max
        hi *= 0.5
        if hi > -1e-8:
            raise ValueError(f"no Wilson-Fisher bracket for N={N}, d={d}")
        s = side(hi, N, d, rho_max)
    lo = hi
    while True:
        lo = max(lo * factor, lowest)
        s = side(lo, N, d, rho_max)
        if s == BELOW:
            return lo, hi
        if s == 0:
            return lo, lo
        if lo == lowest:
            raise ValueError(f"no Wilson-Fisher bracket for N={N}, d={d}")
        hi = lo


def shoot(N, d=3.0, bracket=None, wtol=1e-15, rho_max=None):
    """(u'(0), kappa) of the Wilson-Fisher fixed point by bisection in u'(0).

    bracket: (lo, hi) with lo below and hi above the fixed point's u'(0); by
    default it is found with `wilson_fisher_bracket`. kappa is the zero of u'
    (nan if the potential has none)."""
    if not (N >= 1.0 and 2.0 < d < 4.0 and math.isfinite(N)):
        raise ValueError(f"shooting needs N >= 1 and 2 < d < 4, got N={N}, d={d}")
    if rho_max is None:
        rho_max = default_rho_max(N, d)
    if bracket is None:
        bracket = wilson_fisher_bracket(N, d, rho_max)
    lo, hi = bracket
    if lo != hi and (side(lo, N, d, rho_max) != BELOW or side(hi, N, d, rho_max) != ABOVE):
        raise ValueError(f"u'(0) bracket {bracket} does not straddle the fixed point")
    while hi - lo > wtol * max(1.0, abs(lo)):
        mid = 0.5 * (lo + hi)
        if mid in (lo, hi):
            break
        s = side(mid, N, d, rho_max)
        if s == BELOW:
            lo = mid
        elif s == ABOVE:
            hi = mid
        else:
            lo = hi = mid
    w0 = 0.5 * (lo + hi)
    sol = _integrate(w0, N, d, rho_max)
    r = sol.t
    w = sol.y[1]
    i = int(np.argmax(w >= 0.0))
    if w[i] < 0.0:
        return w0, math.nan
    kappa = brentq(lambda x: sol.sol(x)[1], r[i - 1], r[i], xtol=1e-15)
    return w0, kappa
