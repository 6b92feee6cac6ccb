"""The Wilson-Fisher fixed point of the O(N) model at any real N >= 1 and 2.4 <= d <= 3.9.

    >>> import lpa_host
    >>> wf = lpa_host.wilson_fisher(1, 3.0)
    >>> round(wf.nu, 10), wf.nu_error < 1e-10
    (0.6495617739, True)
    >>> nxt = lpa_host.wilson_fisher(1, 3.01, start=wf)   # warm start from a neighbour

How the point is computed. The potential is expanded in Chebyshev polynomials
on [0, R] and collocated at Lobatto nodes (``FixedPointProblem``); the row at
rho = R puts (u, u') on the slow manifold of the large-field equation (see
``lpa_host.flow``). An error of that row reaches the interior damped by

    S(R) = int_kappa^R lambda(rho) drho,
    lambda = [(d - 2) rho - (N - 1) / (1 + u')^2 - 1 / b^2] b^2 / (2 rho),

b = 1 + u' + 2 rho u'', the growth rate of the fast solution of the linearised
equation. The domain is chosen from the solution itself so that S(R) reaches
DAMPING (exp(-S) far below the round-off of the result), which puts R at
about 1.7 kappa for d = 2.4 and about 17 kappa for d = 3.9 (N = 1; there the
potential is flat over a long range); the basis grows until the last Chebyshev
coefficients are at round-off level. A longer domain would not be better: the
fast solution then has to be resolved in a boundary layer at R.

Error estimate. The same point is solved again on a larger basis on the same
domain and on a larger domain (where S is larger by DAMPING_STEP); nu_error,
omega_error and u_prime_0_error are the largest differences to the main
solution. They measure what the numerical choices (basis, domain, closure)
do to the result; they are not the distance to the exact critical exponents,
which the local potential approximation itself misses by far more.

Cold start: Newton from a family of simple potentials u' = w0 (1 - (rho/k0)^(p-1))
on a coarse basis; of the solutions with positive propagator denominators and two
relevant directions, the one with u'(0) closest to 0 is the Wilson-Fisher point
(multicritical points lie further down in u'(0)). Warm start: the coefficients
of a neighbouring point, continued beyond its domain along its power law.
"""

from __future__ import annotations

import math
import time
from dataclasses import dataclass, field

import numpy as np
from numpy.polynomial import chebyshev as cheb

from . import exponents as ex
from . import fixed_point as fp

#: Range of d the Wilson-Fisher point is computed for.
D_RANGE = (2.4, 3.9)
#: Smallest N.
N_MIN = 1.0

#: exp(-DAMPING) is how much an error of the row at R is damped at the minimum.
DAMPING = 30.0
#: The check domain reaches this much further in S.
DAMPING_STEP = 6.0
#: Accepted range of S(R) / DAMPING before the domain is moved.
DAMPING_BAND = (1.0, 1.35)
#: A basis is resolved when its last coefficients are below this (relative).
TAIL_TOL = 2e-14
#: Extra coefficients of the check basis (relative).
CHECK_BASIS = 1.25

#: Order of the row at rho = R (lpa_host.flow).
CLOSURE = 2

MIN_DEGREE = 32
MAX_DEGREE = 400
COARSE_DEGREE = 24
NEWTON_TOL = 1e-11


@dataclass(frozen=True)
class WilsonFisherPoint:
    """The Wilson-Fisher fixed point at (N, d) and its critical exponents.

    nu = 1 / theta_1 and omega = -theta_2 from the eigenvalues theta of the
    linearised flow (theta = d, the constant shift, left out). The *_error
    fields are the largest changes under a larger basis and a larger domain.
    R, degree and coeffs (Chebyshev coefficients of u on [0, R]) are what a
    warm start needs; they are plain floats and a numpy array."""

    N: float
    d: float
    u_prime_0: float
    kappa: float
    nu: float
    omega: float
    converged: bool
    nu_error: float
    omega_error: float
    u_prime_0_error: float = math.nan
    n_relevant: int = -1
    R: float = math.nan
    degree: int = 0
    seconds: float = math.nan
    coeffs: np.ndarray | None = field(default=None, compare=False, repr=False)

    def as_row(self) -> dict:
        """Plain Python floats, ints and bools, for tables and pickling."""
        return {
            "N": float(self.N), "d": float(self.d), "u_prime_0": float(self.u_prime_0),
            "kappa": float(self.kappa), "nu": float(self.nu), "omega": float(self.omega),
            "converged": bool(self.converged), "nu_error": float(self.nu_error),
            "omega_error": float(self.omega_error),
            "u_prime_0_error": float(self.u_prime_0_error),
            "n_relevant": int(self.n_relevant), "R": float(self.R), "degree": int(self.degree),
        }


def _check_input(N, d):
    try:
        N = float(N)
        d = float(d)
    except (TypeError, ValueError):
        raise ValueError(f"N and d must be real numbers, got N={N!r}, d={d!r}") from None
    if not (math.isfinite(N) and math.isfinite(d)):
        raise ValueError(f"N and d must be finite, got N={N}, d={d}")
    if N < N_MIN:
        raise ValueError(f"N must be >= {N_MIN:g}, got {N}")
    # (a few ulps of slack: grids like np.arange(2.4, 3.9001, 0.01) end at 3.9000000000000012)
    if not D_RANGE[0] - 1e-9 <= d <= D_RANGE[1] + 1e-9:
        raise ValueError(f"d must lie in [{D_RANGE[0]}, {D_RANGE[1]}], got {d}")
    return N, d


# --- potentials as plain functions --------------------------------------------

def _continued(coeffs, R, d):
    """u(rho) on [0, inf) from Chebyshev coefficients on [0, R]: the expansion
    inside, continued with u' ~ rho^(p - 1) (value and slope matched) outside."""
    c = np.asarray(coeffs, dtype=np.float64)
    p = d / (d - 2.0)
    u_end = cheb.chebval(1.0, c)
    w_end = cheb.chebval(1.0, cheb.chebder(c)) * 2.0 / R

    def fn(rho):
        rho = np.asarray(rho, dtype=np.float64)
        out = cheb.chebval(np.minimum(2.0 * rho / R - 1.0, 1.0), c)
        big = rho > R
        out[big] = u_end + w_end * R / p * ((rho[big] / R) ** p - 1.0)
        return out

    return fn


def _kappa_guess(N, d):
    """Rough minimum of the potential (exact as N -> infinity: N / (d - 2))."""
    return (N + 1.0 + 2.0 * (d - 3.0)) / (d - 2.0)


# --- one solve ----------------------------------------------------------------

@dataclass
class _Solution:
    problem: fp.FixedPointProblem
    coeffs: np.ndarray
    ok: bool
    iterations: int = 0


def _solve(R, degree, d, N, fn, maxiter=40):
    problem = fp.FixedPointProblem(R, degree, d, closure=CLOSURE)
    # the residual's terms grow with N (u ~ N)
    r = problem.solve(problem.interpolate(fn), N, maxiter=maxiter, tol=NEWTON_TOL * max(1.0, N))
    if not r.success:
        return _Solution(problem, np.asarray(r.coeffs), False, r.iterations)
    r2 = problem.polish(r.coeffs, N, steps=2)
    c = np.asarray(r2.coeffs)
    ok = bool(np.all(np.isfinite(c)))
    return _Solution(problem, c, ok, r.iterations)


def _tail(c):
    """Size of the last few Chebyshev coefficients relative to the largest."""
    c = np.abs(np.asarray(c))
    return float(c[-4:].max() / max(c.max(), 1e-300))


def _damping(sol, N):
    """(rho, S(rho)) on a fine grid from the minimum to R, and the rate at R."""
    problem, c, d = sol.problem, sol.coeffs, sol.problem.d
    rho = np.linspace(0.0, problem.R, 801)[1:]
    _, w, h = fp.chebyshev_evaluate(c, problem.R, rho)
    a = 1.0 + w
    b = a + 2.0 * rho * h
    rate = np.maximum((d - 2.0) * rho - (N - 1.0) / (a * a) - 1.0 / (b * b), 0.0) * b * b / (2 * rho)
    start = int(np.argmax(w >= 0.0)) if np.any(w >= 0.0) else 0
    rate[:start] = 0.0
    S = np.concatenate([[0.0], np.cumsum(0.5 * (rate[1:] + rate[:-1]) * np.diff(rho))])
    return rho, S, float(rate[-1])


def _positive(sol):
    problem, c = sol.problem, sol.coeffs
    rho = np.linspace(0.0, problem.R, 2001)
    _, w, h = fp.chebyshev_evaluate(c, problem.R, rho)
    return bool(np.all(1.0 + w > 0.0) and np.all(1.0 + w + 2.0 * rho * h > 0.0))


def _kappa(sol):
    """The first zero of u' (the minimum of the potential), or nan."""
    R, c = sol.problem.R, sol.coeffs
    return fp.first_minimum(lambda r: fp.chebyshev_evaluate(c, R, r)[1], np.linspace(0.0, R, 801))


def _fit_domain(N, d, fn, R, degree, target):
    """Solve with the domain moved until S(R) / target lies in DAMPING_BAND, then
    with the basis grown until its tail is at round-off. Returns a _Solution or
    None.

    S grows steeply with R where the potential is steep (large N, small d), so
    once the band is bracketed the domain is bisected, and a domain on which
    Newton fails is given up for one halfway back to the last good one."""
    lo, hi = DAMPING_BAND[0] * target, DAMPING_BAND[1] * target
    R_lo = R_hi = None      # domains known to be too short / too long
    good = None             # last converged solution
    for _ in range(24):
        sol = _solve(R, degree, d, N, fn)
        if not sol.ok:
            if good is None:
                return None
            if R == good.problem.R:  # a larger basis on the same domain failed
                break
            R_hi = R if R > good.problem.R else R_hi
            R_lo = R if R < good.problem.R else R_lo
            R = 0.5 * (R + good.problem.R)
            continue
        good = sol
        fn = _continued(sol.coeffs, R, d)
        if _tail(sol.coeffs) > 1e-7 and degree < MAX_DEGREE:
            # too coarse to judge S
            degree = min(MAX_DEGREE, int(degree * 1.25) + 1)
            continue
        rho, S, rate_end = _damping(sol, N)
        if S[-1] < lo:
            R_lo = R
            R_new = R + min((1.1 * lo - S[-1]) / max(rate_end, 1e-12), R)
            if R_hi is not None:
                R_new = min(R_new, 0.5 * (R + R_hi))
        elif S[-1] > hi:
            R_hi = R
            R_new = float(np.interp(1.1 * lo, S, rho))
            if R_lo is not None:
                R_new = max(R_new, 0.5 * (R + R_lo))
        elif _tail(sol.coeffs) > TAIL_TOL and degree < MAX_DEGREE:
            degree = min(MAX_DEGREE, int(degree * 1.25) + 1)
            continue
        else:
            return sol
        # keep the resolution per unit length roughly fixed
        degree = int(min(MAX_DEGREE, max(MIN_DEGREE, degree * math.sqrt(R_new / R))))
        R = R_new
    return good if good is not None and _in_band(good, N, lo, hi) else None


def _in_band(sol, N, lo, hi):
    S = _damping(sol, N)[1][-1]
    return lo <= S <= hi and _tail(sol.coeffs) <= 100 * TAIL_TOL


# --- cold start -----------------------------------------------------------------

def _cold_seed(N, d):
    """A rough Wilson-Fisher solution from simple starts on a coarse basis:
    (fn, R) or None."""
    kg = _kappa_guess(N, d)
    # about where S reaches 15 for N = 1; plenty for larger N
    R = kg * (1.0 + 0.5 * math.exp(1.76 * (d - 2.4)))
    problem = fp.FixedPointProblem(R, COARSE_DEGREE, d, closure=CLOSURE)
    # u' = w0 (1 - (rho / k0)^(p - 1)): the minimum at k0 and the large-field power law
    sp = 2.0 / (d - 2.0)
    starts = []
    for w0 in (-0.005, -0.01, -0.02, -0.05, -0.1, -0.2, -0.3, -0.45, -0.6, -0.75):
        for k0 in (0.7 * kg, kg, 1.4 * kg):
            u0 = N / (d * (1.0 + w0))
            starts.append(problem.interpolate(
                lambda r, u0=u0, w0=w0, k0=k0: u0 + w0 * (r - r * (r / k0) ** sp / (sp + 1.0))))
    results = problem.solver.multistart_optimize(starts, 40, 1e-9 * max(1.0, N),
                                                 problem.params(N))
    best = None
    for r in results:
        if not r.success:
            continue
        c = np.asarray(r.coeffs)
        w0 = problem.evaluate(c, 0.0)[1][0]
        if not w0 < -1e-6 or (best is not None and w0 <= best[0]):
            continue
        sol = _Solution(problem, c, True)
        if not _positive(sol):
            continue
        theta = ex.eigenvalues(problem, c, N)
        if ex.exponents(theta, d)[2] != 2:
            continue
        best = (w0, c)
    if best is None:
        return None
    return _continued(best[1], R, d), R


# --- the entry point ----------------------------------------------------------------

@dataclass
class _Analysis:
    w0: float
    kappa: float
    positive: bool
    nu: float
    omega: float
    n_relevant: int


def _analyse(sol, N):
    problem, c = sol.problem, sol.coeffs
    theta = ex.eigenvalues(problem, c, N, refine=3)
    nu, omega, n_rel = ex.exponents(theta, problem.d)
    return _Analysis(w0=float(fp.chebyshev_evaluate(c, problem.R, 0.0)[1][0]),
                     kappa=float(_kappa(sol)), positive=_positive(sol), nu=float(nu),
                     omega=float(omega), n_relevant=n_rel)


def _failed(N, d, t0):
    nan = math.nan
    return WilsonFisherPoint(N=N, d=d, u_prime_0=nan, kappa=nan, nu=nan, omega=nan,
                             converged=False, nu_error=nan, omega_error=nan,
                             seconds=time.perf_counter() - t0)


def wilson_fisher(N: float, d: float, *, start: WilsonFisherPoint | None = None
                  ) -> WilsonFisherPoint:
    """The Wilson-Fisher fixed point of the O(N) model at (N, d), with nu, omega
    and their error estimates.

    N: any real N >= 1; d: 2.4 <= d <= 3.9. start: a converged point at a nearby
    (N, d) to start Newton from (a scan passes the previous point); the answer
    agrees with a cold call to within the error estimates.

    Raises ValueError for input out of range. A point that does not converge
    comes back with converged=False and NaNs.

        wf = wilson_fisher(2, 3.0)
        wf.nu, wf.nu_error, wf.as_row()
    """
    N, d = _check_input(N, d)
    # Small dense problems: BLAS threads only cost here (and fight a scan's workers).
    with ex.one_blas_thread():
        return _wilson_fisher(N, d, start)


def _wilson_fisher(N, d, start):
    t0 = time.perf_counter()
    if start is not None and start.converged and start.coeffs is not None:
        point = _from_seed(N, d, _continued(start.coeffs, start.R, start.d), start.R,
                           start.degree, t0)
        if point is not None:
            return point
        # a start too far away (or one that led to another fixed point): go cold
    cold = _cold_seed(N, d)
    if cold is not None:
        point = _from_seed(N, d, cold[0], cold[1], MIN_DEGREE, t0)
        if point is not None:
            return point
    return _failed(N, d, t0)


def _from_seed(N, d, fn, R, degree, t0):
    """The point from a start potential fn on [0, R]; None unless Newton ends on
    a Wilson-Fisher point (positive denominators, two relevant directions,
    u'(0) < 0)."""
    main = _fit_domain(N, d, fn, R, degree, DAMPING)
    if main is None:
        return None
    R, degree = main.problem.R, main.problem.degree
    s = _analyse(main, N)
    if not (s.positive and s.n_relevant == 2 and s.w0 < 0.0):
        return None

    # the checks: a larger basis, a larger domain
    fn = _continued(main.coeffs, R, d)
    rho, S, rate_end = _damping(main, N)
    R_big = R + DAMPING_STEP / max(rate_end, 1e-12)
    bigger = int(degree * CHECK_BASIS) + 1
    other = bigger if bigger <= MAX_DEGREE else int(degree / CHECK_BASIS)
    checks = [_solve(R, other, d, N, fn),
              _solve(R_big, min(MAX_DEGREE, int(degree * math.sqrt(R_big / R)) + 1), d, N, fn)]
    errors = [0.0, 0.0, 0.0]
    ok = True
    for chk in checks:
        if not chk.ok:  # the point stands, its error is unknown
            ok = False
            errors = [math.nan] * 3
            break
        cs = _analyse(chk, N)
        for i, (x, y) in enumerate(((s.w0, cs.w0), (s.nu, cs.nu), (s.omega, cs.omega))):
            errors[i] = max(errors[i], abs(x - y))
    return WilsonFisherPoint(
        N=N, d=d, u_prime_0=s.w0, kappa=s.kappa, nu=s.nu, omega=s.omega, converged=ok,
        nu_error=errors[1], omega_error=errors[2], u_prime_0_error=errors[0],
        n_relevant=s.n_relevant, R=R, degree=degree, seconds=time.perf_counter() - t0,
        coeffs=np.array(main.coeffs))
