"""A fixed point: a model's potential solved on a domain, and everything computed from it.

    fp = lpa_host.wilson_fisher(N=1, d=3.0)          # a FixedPoint
    fp.potential([0.0, 1.0, 2.0], derivative=1)      # u'(rho), continued past R
    fp.kappa, fp.min_denominator, fp.n_relevant, fp.converged
    fp.spectrum(n=5, l=0)                            # lpa_host.spectrum.Spectrum
    fp.as_row()                                      # plain values, one set of keys

This module is the one home of the numerics of a solved potential:

- ``newton``: Newton's method on one domain (the compiled solver);
- ``continued`` / ``transfer``: the potential beyond its domain, continued
  along rays with its large-field power (value and slope matched at the end),
  and its coefficients on another domain or basis;
- ``damping``: how strongly an error of the row at the far end is damped
  before it reaches the potential's structure, S = int lambda dr along rays from
  the last minimum to R, lambda = -(c1 . w) / (w^T C w) the growth rate of the
  fast solution of the linearised equation (c1, C its coefficients of the
  gradient and the Hessian, w the ray's direction);
- ``fit``: the domain moved until S lies in a band around DAMPING (so that
  exp(-S) is far below rounding) and the basis grown until its last
  coefficients are at rounding level;
- ``solve``: a fitted solution with its checks, the same point solved again
  on a basis CHECK_BASIS times larger and on a domain where S is larger by
  DAMPING_STEP, as a ``FixedPoint``; its error estimates are the largest
  changes between them;
- positivity of the model's denominators, kappa (the minimum of the
  potential), the Gaussian (flat) test.

The error estimates measure the numerical choices (basis, domain, row at the
end); they are not the distance of this approximation to the true critical
exponents, which is far larger.
"""

from __future__ import annotations

import math
import time
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import scipy.linalg
from scipy.optimize import brentq

from .domain import Domain, domain
from .model import Model

#: exp(-DAMPING) is how much an error of the row at R is damped at the potential's structure.
DAMPING = 30.0
#: The check domain reaches this much further in S.
DAMPING_STEP = 6.0
#: Accepted range of S(R) / DAMPING before the domain is moved.
DAMPING_BAND = (1.0, 1.35)
#: Where S(R) jumps over the band, S down to this fraction of its lower end is accepted.
DAMPING_FLOOR = 0.7
#: Domains and bases tried by ``fit`` before it gives up.
FIT_ROUNDS = 24
#: A basis is resolved when its last coefficients are below this (relative).
TAIL_TOL = 2e-14
#: Extra coefficients of the check basis (relative).
CHECK_BASIS = 1.25
#: The leading eigenvalues count as resolved when a CHECK_BASIS larger basis moves
#: them by less than this (relative); else the basis grows by GROW_FOR_EIGEN.
EIGEN_RTOL = 1e-11
GROW_FOR_EIGEN = 1.6
#: Newton's tolerance on the residual norm, times max(1, a |u0|).
NEWTON_TOL = 1e-11
#: ... where rounding keeps the residual above it (large u at the end of a long
#: domain: a u and b x u' cancel there), accepted up to this times max(1, |u| / 100).
NEWTON_FLOOR = 1e-9


@dataclass(frozen=True)
class Policy:
    """Basis sizes per number of invariants."""

    min_degree: int
    max_degree: int
    coarse_degree: int
    tail_terms: int      # total degrees counted as the tail: degree - tail_terms + 1 ... degree


POLICY = {1: Policy(32, 400, 24, 4), 2: Policy(16, 56, 12, 2)}


# --- one solve --------------------------------------------------------------------------------

@dataclass
class Solution:
    """Coefficients on a domain, solved (ok) or not."""

    domain: Domain
    coeffs: np.ndarray
    ok: bool
    iterations: int = 0
    error: float = math.nan

    @property
    def R(self) -> float:
        return self.domain.R

    @property
    def degree(self) -> int:
        return self.domain.degree


def residual_scale(model: Model, values) -> float:
    """Size of the residual's terms: a |u0| (the constant solution), at least 1."""
    try:
        return max(1.0, abs(model.gaussian(**values)) * float(model.a.subs(
            model.substitutions(values))))
    except (ValueError, TypeError):
        return 1.0


def newton(dom: Domain, start, values, closure: int, maxiter: int = 40, polish: int = 2,
           tol: float | None = None) -> Solution:
    """Newton from `start` (coefficients) to a residual norm of NEWTON_TOL (scaled),
    then `polish` fixed steps."""
    model = dom.model
    prm = dom.flow_params(values, closure)
    if tol is None:
        tol = NEWTON_TOL * residual_scale(model, values)
    r = dom.solver.local_optimize(np.asarray(start, dtype=np.float64), maxiter, tol, prm)
    c = np.asarray(r.coeffs)
    ok = bool(r.success)
    if not ok and math.isfinite(r.error):
        size = float(np.max(np.abs(dom.V @ c)))
        ok = r.error <= NEWTON_FLOOR * max(1.0, 0.01 * size)
    if ok and polish:
        r2 = dom.solver.local_optimize_fixed_iterations(c, polish, prm)
        if math.isfinite(r2.error) and r2.error <= 10 * max(r.error, tol):
            c = np.asarray(r2.coeffs)
    ok = ok and bool(np.all(np.isfinite(c)))
    return Solution(dom, c, ok, int(r.iterations), float(r.error))


# --- beyond the domain ---------------------------------------------------------------------------

def continued(dom: Domain, coeffs):
    """u(x) for any x: the expansion inside the domain (s <= R), outside it
    continued along the ray through x as f(s) = f(R) + f'(R) (R / p)((s / R)^p - 1),
    s = ``dom.norm(x)`` (|x| for one invariant, max |x_i| on the square), with p
    the model's large-field power given to the returned function."""
    def at(power):
        def fn(x):
            x = np.asarray(x, dtype=np.float64)
            flat = x.reshape(-1, dom.k)
            out = _along_rays(dom, coeffs, flat, dom.norm(flat), power)
            return out.reshape(x.shape[:-1] if (x.ndim == 2 and dom.k == 1) or dom.k > 1
                               else x.shape)
        return fn
    return at


def _along_rays(dom: Domain, coeffs, flat, s, power: float) -> np.ndarray:
    """u at the points flat (m x k) whose ray coordinate is s (m): the expansion
    where s <= R, beyond it f(R) + f'(R) (R / p)((s / R)^p - 1) along the ray,
    f(R) and f'(R) taken where the ray crosses s = R."""
    out = np.empty(len(flat))
    inside = s <= dom.R
    out[inside] = dom.evaluate(coeffs, flat[inside])
    if not inside.all():
        xo, so = flat[~inside], s[~inside]
        xr = xo * (dom.R / so)[:, None]
        g = dom.evaluate(coeffs, xr, 1).reshape(len(xr), dom.k)
        slope = np.sum(xo / so[:, None] * g, axis=1)
        out[~inside] = dom.evaluate(coeffs, xr) + slope * dom.R / power * (
            (so / dom.R) ** power - 1.0)
    return out


def transfer(source: Domain, coeffs, target: Domain, power: float) -> np.ndarray:
    """Coefficients on `target` of the potential of `source` (continued beyond it;
    on the square, ``smooth_continued``)."""
    if source is target:
        return np.array(coeffs, dtype=np.float64)
    if source.k == 2:
        if target.R <= source.R:
            return target.interpolate(lambda x: source.evaluate(coeffs, x))
        return target.interpolate(smooth_continued(source, coeffs, power))
    return target.interpolate(continued(source, coeffs)(power))


# --- damping ------------------------------------------------------------------------------------

def rays(dom: Domain) -> list[np.ndarray]:
    """Directions (``dom.norm(w)`` = 1) along which the damping is measured."""
    if dom.k == 1:
        return [np.array([1.0])] + ([np.array([-1.0])] if dom.lower[0] < 0 else [])
    t = np.linspace(0.0, 1.0, 3)
    return [np.array([1.0, a]) for a in t] + [np.array([a, 1.0]) for a in t[:-1]]


def damping(sol: Solution, values, n: int = 801):
    """(S(R), the rate at R, r, S(r)) along the ray where S(R) is smallest (on the
    square, of the rays along which the potential grows: a direction in which
    it is flat has no structure to protect)."""
    dom, c = sol.domain, sol.coeffs
    model = dom.model
    prm = dom.flow_params(values, 0)
    best = None
    r = np.linspace(0.0, dom.R, n)[1:]
    all_rays = rays(dom)
    if dom.k > 1:
        ends = [abs(float(dom.evaluate(c, (dom.R * w)[None, :], 1)[0] @ w)) for w in all_rays]
        all_rays = [w for w, e in zip(all_rays, ends) if e > 1e-6 * max(ends)] or all_rays
    for w in all_rays:
        x = r[:, None] * w[None, :]
        u = dom.evaluate(c, x)
        g = dom.evaluate(c, x, 1).reshape(len(r), dom.k)
        h = dom.evaluate(c, x, 2).reshape(len(r), dom.k, dom.k)
        _, c1, C = model.routines.sens(x, u, g, h, prm)
        slope = g @ w
        num = -(c1 @ w)
        den = np.einsum("i,pij,j->p", w, C, w)
        with np.errstate(divide="ignore", invalid="ignore"):
            rate = np.where(den != 0.0, num / den, 0.0)
        rate = np.maximum(np.nan_to_num(rate, nan=0.0, posinf=0.0, neginf=0.0), 0.0)
        neg = np.nonzero(slope < 0.0)[0]
        start = int(neg[-1]) + 1 if len(neg) else 0
        rate[:start] = 0.0
        S = np.concatenate([[0.0], np.cumsum(0.5 * (rate[1:] + rate[:-1]) * np.diff(r))])
        if best is None or S[-1] < best[0]:
            best = (float(S[-1]), float(rate[-1]), r, S)
    return best


# --- fitting the domain ---------------------------------------------------------------------------

def tail(dom: Domain, coeffs) -> float:
    """The largest of the coefficients of the top total degrees, relative to the largest."""
    c = np.abs(np.asarray(coeffs))
    top = dom.exponents.sum(axis=1) > dom.degree - POLICY[dom.k].tail_terms
    return float(c[top].max() / max(c.max(), 1e-300))


def _grown(dom: Domain) -> int:
    p = POLICY[dom.k]
    return min(p.max_degree, int(dom.degree * 1.25) + 1)


def fit(model: Model, values, fn, R: float, degree: int, closure: int,
        target: float = DAMPING) -> Solution | None:
    """Solve from the potential fn (a function of x), moving the domain until
    S(R) / target lies in DAMPING_BAND and growing the basis until its tail is
    at rounding. None if Newton fails from the start.

    S grows steeply with R where the potential is steep (large N, small d), so
    once the band is bracketed the domain is bisected, and a domain on which
    Newton fails is given up for one halfway back to the last good one."""
    if model.k > 1:
        return fit_square(model, values, fn, R, degree, closure,
                          SQUARE_DAMPING + (target - DAMPING))
    pol = POLICY[model.k]
    power = model.power(**values)
    lo, hi = DAMPING_BAND[0] * target, DAMPING_BAND[1] * target
    R_lo = R_hi = None
    good = None
    for _ in range(FIT_ROUNDS):
        dom = domain(model, R, degree)
        sol = newton(dom, dom.interpolate(fn), values, closure)
        if not sol.ok:
            if good is None:
                return None
            if R == good.R:  # a larger basis on the same domain failed
                break
            R_hi = R if R > good.R else R_hi
            R_lo = R if R < good.R else R_lo
            R = 0.5 * (R + good.R)
            continue
        good = sol
        fn = continued(dom, sol.coeffs)(power)
        tl = tail(dom, sol.coeffs)
        if tl > 1e-7 and degree < pol.max_degree:
            degree = _grown(dom)  # too coarse to judge S
            continue
        S, rate_end, r, Sr = damping(sol, values)
        if (R_lo is not None and R_hi is not None and R_hi - R_lo <= 1e-5 * R
                and S >= DAMPING_FLOOR * lo and tl <= TAIL_TOL):
            # S jumps across the band here (beyond R_hi the solution takes another
            # shape at the end): the last domain below the jump is the answer
            return sol
        if S < lo:
            R_lo = R
            R_new = R + min((1.1 * lo - S) / max(rate_end, 1e-12), R)
            if R_hi is not None:
                R_new = min(R_new, 0.5 * (R + R_hi))
        elif S > hi:
            R_hi = R
            R_new = float(np.interp(1.1 * lo, Sr, r))
            if R_lo is not None:
                R_new = max(R_new, 0.5 * (R + R_lo))
        elif tl > TAIL_TOL and degree < pol.max_degree:
            degree = _grown(dom)
            continue
        else:
            return sol
        # keep the resolution per unit length roughly fixed
        degree = int(min(pol.max_degree, max(pol.min_degree, degree * math.sqrt(R_new / R))))
        R = R_new
    if good is None:
        return None
    S = damping(good, values)[0]
    ok = lo <= S <= hi and tail(good.domain, good.coeffs) <= 100 * TAIL_TOL
    return good if ok else None


def checks(main: Solution, values, closure: int) -> list[Solution]:
    """The main solution solved again on a larger basis (same domain) and on a
    larger domain (S larger by DAMPING_STEP)."""
    model = main.domain.model
    if model.k > 1:
        return checks_square(main, values, closure)
    pol = POLICY[model.k]
    power = model.power(**values)
    R, degree = main.R, main.degree
    fn = continued(main.domain, main.coeffs)(power)
    _, rate_end, _, _ = damping(main, values)
    R_big = R + DAMPING_STEP / max(rate_end, 1e-12)
    bigger = int(degree * CHECK_BASIS) + 1
    other = bigger if bigger <= pol.max_degree else int(degree / CHECK_BASIS)
    out = []
    for Rc, kc in ((R, other),
                   (R_big, min(pol.max_degree, int(degree * math.sqrt(R_big / R)) + 1))):
        dom = domain(model, Rc, kc)
        out.append(newton(dom, dom.interpolate(fn), values, closure))
    return out


# --- two invariants: the square ------------------------------------------------------------------
#
# On the square [0, R]^2 the far end is the pair of edges max(x0, x1) = R; the
# row there (``Model.end_hessian``, the edge rule) assumes the potential is
# homogeneous of degree p along rays, which holds up to terms that die out
# away from the potential's structure. The basis has a fixed total degree;
# the square is first sized from the start's structure, R = SQUARE_REACH
# kappa, kappa the furthest first minimum of u along the axes and the diagonal
# (``ray_scale``), then moved until the damping S(R) lies in its band, as for
# one invariant (``fit_square``). The checks: a larger basis on the same
# square and a square where S is larger by DAMPING_STEP; a potential is
# carried to another square in steps of at most SQUARE_STEP in R.

#: R / kappa of the first square.
SQUARE_REACH = 3.7
#: The damping the square aims at (with the first-order row at its edges). Less
#: than for one invariant: a basis of total degree 48 resolves only a shorter
#: square to 1e-9, and exp(-22) is below that.
SQUARE_DAMPING = 22.0
#: Leading eigenvalues a fixed point of two invariants carries (``FixedPoint.theta``).
LEADING = 6
#: The check basis on the same square has this many more total degrees.
SQUARE_CHECK_DEGREE = 8
#: Total degree of the basis on which the square is sized.
SQUARE_COARSE = 32
#: Largest ratio of R between two squares a potential is carried across.
SQUARE_STEP = 1.1
#: The rays (max |w_i| = 1) along which kappa is measured: the axes and the diagonal.
SQUARE_RAYS = (np.array([1.0, 0.0]), np.array([1.0, 1.0]), np.array([0.0, 1.0]))
#: q of the norm (x0^q + x1^q)^(1/q) beyond whose level R a potential is continued
#: for another square.
SQUARE_SMOOTH = 8


def smooth_continued(dom: Domain, coeffs, power: float):
    """The potential of the square beyond the curve x0^q + x1^q = R^q (q =
    SQUARE_SMOOTH; inside the square, meeting its edges on the axes), continued
    along rays as in ``continued``: a C1 function, which a larger square
    interpolates well (continued from the square's own edges it has a kink
    along the diagonal)."""
    q = SQUARE_SMOOTH

    def fn(x):
        flat = np.asarray(x, dtype=np.float64).reshape(-1, 2)
        a = np.abs(flat)
        top = np.maximum(a.max(axis=1), 1e-300)
        s = top * np.sum((a / top[:, None]) ** q, axis=1) ** (1.0 / q)
        return _along_rays(dom, coeffs, flat, s, power)
    return fn


def ray_scale(f, R: float, n: int = 1201) -> float:
    """The largest r <= R where u(r w) = f(r w) has its first minimum along one of
    SQUARE_RAYS (a minimum that lies below u(0) by more than rounding); nan if
    there is none (a potential without structure, or one steeper than R)."""
    r = np.linspace(0.0, R, n)
    best = math.nan
    for w in SQUARE_RAYS:
        v = np.asarray(f(r[:, None] * w[None, :]), dtype=np.float64).reshape(-1)
        depth = 1e-9 * max(1.0, float(np.max(np.abs(v[: n // 2]))))
        dv = np.diff(v)
        for i in np.nonzero((dv[:-1] < 0.0) & (dv[1:] >= 0.0))[0]:
            if v[i + 1] < v[0] - depth:
                best = r[i + 1] if not best >= r[i + 1] else best
                break
    return float(best)


def damped_newton(dom: Domain, start, values, closure: int, maxiter: int = 60,
                  polish: int = 1) -> Solution:
    """Newton with backtracking (the step halved until the residual norm drops),
    so that it also comes home from starts too far for the plain step (a crude
    start, a potential carried to another square); then `polish` full steps.
    The Jacobian is assembled from the sensitivities and the basis tables and
    factorised with partial pivoting (LAPACK). Converged as ``newton``."""
    tol = NEWTON_TOL * residual_scale(dom.model, values)

    def res(c):
        return dom.residual(c, values, closure)

    def step_from(c, r):
        return scipy.linalg.solve(dom.jacobian(c, values, closure), -r, check_finite=False)

    c = np.array(start, dtype=np.float64)
    r = res(c)
    nr = float(np.linalg.norm(r))
    it = 0
    while it < maxiter and math.isfinite(nr) and nr > tol:
        it += 1
        try:
            step = step_from(c, r)
        except (ValueError, np.linalg.LinAlgError):
            break
        lam = 1.0
        while lam >= 1.0 / 256:
            r_new = res(c + lam * step)
            n_new = float(np.linalg.norm(r_new))
            if math.isfinite(n_new) and n_new < (1.0 - 0.25 * lam) * nr:
                break
            lam *= 0.5
        else:
            break
        c, r, nr = c + lam * step, r_new, n_new
    ok = math.isfinite(nr) and (nr <= tol or nr <= NEWTON_FLOOR * max(
        1.0, 0.01 * float(np.max(np.abs(dom.V @ c)))))
    for _ in range(polish if ok else 0):
        try:
            c_new = c + step_from(c, r)
        except (ValueError, np.linalg.LinAlgError):
            break
        r_new = res(c_new)
        n_new = float(np.linalg.norm(r_new))
        if not n_new <= 10.0 * max(nr, tol):
            break
        c, r, nr = c_new, r_new, n_new
    ok = ok and bool(np.all(np.isfinite(c)))
    return Solution(dom, c, ok, it, nr)


def carried(sol: Solution, values, closure: int, R: float, degree: int,
            depth: int = 3) -> Solution:
    """The solution carried to the square [0, R]^2 with a basis of `degree`: in
    one step to a smaller square (its restriction), to a larger one in steps of
    at most SQUARE_STEP in R, each started from the last continued; a step on
    which Newton fails is split in two (up to `depth` times)."""
    model = sol.domain.model
    power = model.power(**values)
    steps = 1 if R <= sol.R else max(1, int(math.ceil(
        math.log(R / sol.R) / math.log(SQUARE_STEP) - 1e-9)))
    for j in range(1, steps + 1):
        Rj = R if j == steps else sol.R * (R / sol.R) ** (1.0 / (steps - j + 1))
        dom = domain(model, Rj, degree)
        nxt = damped_newton(dom, transfer(sol.domain, sol.coeffs, dom, power), values, closure)
        if not nxt.ok and Rj > sol.R and depth > 0:
            half = carried(sol, values, closure, math.sqrt(sol.R * Rj), degree, depth - 1)
            nxt = carried(half, values, closure, Rj, degree, depth - 1) if half.ok else half
        if not nxt.ok:
            return nxt
        sol = nxt
    return sol


def fit_square(model: Model, values, fn, R: float, degree: int, closure: int,
               target: float = DAMPING) -> Solution | None:
    """``fit`` for two invariants, with a basis of fixed total degree: the square
    first sized from the start (R = SQUARE_REACH kappa, kappa of fn within the
    given R), then moved (``carried``) until the damping S(R) of the solution
    lies in DAMPING_BAND times `target`: a longer square would spend the basis
    on the fast solution near the edges, a shorter one damp the row there too
    little. The square is found with a basis of SQUARE_COARSE total degrees,
    then solved with `degree`. None if Newton fails from the start."""
    pol = POLICY[model.k]
    degree = int(min(pol.max_degree, max(pol.min_degree, degree)))
    coarse = min(degree, SQUARE_COARSE)
    lo, hi = DAMPING_BAND[0] * target, DAMPING_BAND[1] * target
    kap = ray_scale(fn, R)
    if math.isfinite(kap):
        R = SQUARE_REACH * kap
    dom = domain(model, R, coarse)
    sol = damped_newton(dom, dom.interpolate(fn), values, closure)
    if not sol.ok:
        return None
    for _ in range(0 if is_flat(dom, sol.coeffs) else 8):  # a flat one fits any square
        S, rate_end, r, Sr = damping(sol, values)
        if lo <= S <= hi:
            break
        if S > hi:
            R_new = max(float(np.interp(1.1 * lo, Sr, r)), 0.6 * sol.R)
        else:
            R_new = sol.R + min((1.1 * lo - S) / max(rate_end, 1e-12), 0.5 * sol.R)
        nxt = carried(sol, values, closure, R_new, coarse)
        if not nxt.ok:
            break
        sol = nxt
    if coarse == degree:
        return sol
    dom = domain(model, sol.R, degree)
    fine = damped_newton(dom, transfer(sol.domain, sol.coeffs, dom, model.power(**values)),
                         values, closure)
    return fine if fine.ok else None


def checks_square(main: Solution, values, closure: int) -> list[Solution]:
    """``checks`` for two invariants: a larger basis on the same square, and a
    larger square (S larger by DAMPING_STEP) with the resolution per unit length
    kept."""
    model = main.domain.model
    pol = POLICY[model.k]
    K = main.degree
    bigger = K + SQUARE_CHECK_DEGREE if K + SQUARE_CHECK_DEGREE <= pol.max_degree \
        else K - SQUARE_CHECK_DEGREE
    dom = domain(model, main.R, bigger)
    same = damped_newton(dom, transfer(main.domain, main.coeffs, dom, model.power(**values)),
                         values, closure)
    _, rate_end, _, _ = damping(main, values)
    R_big = main.R + DAMPING_STEP / max(rate_end, 1e-12)
    wider = carried(main, values, closure, R_big,
                    min(pol.max_degree, int(round(K * math.sqrt(R_big / main.R)))))
    return [same, wider]


# --- shape and positivity -------------------------------------------------------------------------

def fine_grid(dom: Domain, n1: int = 4001, n2: int = 121, reach: float = 0.95) -> np.ndarray:
    """Points covering the domain up to `reach` R (the last few per cent are left
    out: where the row at R is not yet accurate it excites the fast solution
    there, a boundary layer the interior never sees)."""
    if dom.k == 1:
        return np.linspace(dom.lower[0] * reach, reach * dom.R, n1)[:, None]
    t = np.linspace(0.0, reach * dom.R, n2)
    X, Y = np.meshgrid(t, t, indexing="ij")
    return np.stack([X.ravel(), Y.ravel()], axis=1)


def denominators(dom: Domain, coeffs, values, x=None) -> np.ndarray:
    """The model's denominators (rows) at the points x (default ``fine_grid``)."""
    model = dom.model
    if x is None:
        x = fine_grid(dom)
    x = np.asarray(x, dtype=np.float64).reshape(-1, dom.k)
    u = dom.evaluate(coeffs, x)
    g = dom.evaluate(coeffs, x, 1).reshape(len(x), dom.k)
    h = dom.evaluate(coeffs, x, 2).reshape(len(x), dom.k, dom.k)
    return model.denominator_values(x, u, g, h, values)


def min_denominator(dom: Domain, coeffs, values) -> float:
    d = denominators(dom, coeffs, values)
    return float(np.min(d)) if d.size else math.inf


def first_minimum(slope, x: np.ndarray, flat: float = 0.0) -> float:
    """First zero of the slope from below on the grid x, refined to rounding; nan
    if the slope never turns positive or stays below `flat` in size everywhere."""
    w = slope(x)
    if np.max(np.abs(w)) < flat:
        return math.nan
    idx = np.nonzero((w[:-1] < 0.0) & (w[1:] >= 0.0))[0]
    if len(idx) == 0:
        return math.nan
    i = idx[0]
    return brentq(lambda r: float(np.ravel(slope(np.array([r])))[0]), x[i], x[i + 1],
                  xtol=1e-15, rtol=4 * np.finfo(float).eps, maxiter=200)


def kappa(dom: Domain, coeffs):
    """The minimum of the potential: for one invariant the first zero of u' from
    below in [0, R] (nan if there is none, or the potential is flat); for
    several, the point of the domain where u is smallest."""
    if dom.k == 1:
        return first_minimum(lambda r: dom.evaluate(coeffs, r, 1),
                             np.linspace(0.0, dom.R, 2001), flat=1e-8)
    x = fine_grid(dom, n2=161, reach=1.0)
    u = dom.evaluate(coeffs, x)
    if np.ptp(u) < 1e-10:
        return tuple([math.nan] * dom.k)
    from scipy.optimize import minimize
    best = x[int(np.argmin(u))]
    res = minimize(lambda z: float(dom.evaluate(coeffs, np.clip(z, 0, None)[None, :])[0]),
                   best, jac=lambda z: dom.evaluate(coeffs, np.clip(z, 0, None)[None, :], 1)[0],
                   bounds=[(0.0, dom.R)] * dom.k, method="L-BFGS-B",
                   options=dict(ftol=1e-15, gtol=1e-12))
    z = res.x if res.success else best
    return tuple(float(v) for v in z)


def is_flat(dom: Domain, coeffs, tol: float = 1e-8) -> bool:
    """True for a constant potential (the Gaussian fixed point) within tol."""
    x = fine_grid(dom, 401, 41, 1.0)
    g = dom.evaluate(coeffs, x, 1)
    return bool(np.max(np.abs(g)) < tol)


# --- the fixed point ------------------------------------------------------------------------------

@dataclass(frozen=True, eq=False)
class FixedPoint:
    """A fixed point of a model at given parameter values.

    model, params: the model and every parameter value. R, degree, coeffs: the
    potential, a Chebyshev expansion of total degree `degree` on the domain of
    size R (``potential`` evaluates it; beyond R it is continued along rays with
    its large-field power). closure: the row at the far end that was used.
    converged: the point and its checks all solved. n_relevant: the number of
    eigenvalues theta > 0 of sector 0, the constant mode included. errors: the
    error estimate of each quantity (``errors["nu"]`` ...), the largest change
    when the same point is solved again on a larger basis and on a larger
    domain. kind, label: what the search that found it calls it ("isotropic",
    the branch k, ...). theta: the leading eigenvalues of sector 0 (two
    invariants: LEADING of them, errors["theta_i"] each, matched across the
    checks by nearest value). stable: n_relevant == 1 + k.
    """

    model: Model
    params: dict
    coeffs: np.ndarray = field(repr=False)
    R: float
    degree: int
    closure: int
    converged: bool
    n_relevant: int = -1
    errors: dict = field(default_factory=dict, repr=False)
    theta: tuple = field(default=(), repr=False)
    kind: str = ""
    label: Any = None
    seconds: float = math.nan
    # check solutions (R, degree, coeffs); spectra computed so far, per process
    _checks: tuple = field(default=(), repr=False)
    _cache: dict = field(default_factory=dict, repr=False, compare=False)

    # --- the potential ------------------------------------------------------------

    @property
    def domain(self) -> Domain:
        return domain(self.model, self.R, self.degree)

    @property
    def power(self) -> float:
        return self.model.power(**self.params)

    def potential(self, x, derivative: int = 0) -> np.ndarray:
        """u (derivative 0), its first (1) or second (2) derivatives at x: values of
        the invariant (one invariant) or points (m x k). Beyond the domain the
        potential is continued along rays with its large-field power (for
        several invariants, values only)."""
        if derivative not in (0, 1, 2):
            raise ValueError(f"derivative must be 0, 1 or 2, got {derivative!r}")
        if not np.all(np.isfinite(self.coeffs)):
            return np.full(np.shape(x)[:1] if self.model.k > 1 else np.shape(x), np.nan)
        dom = self.domain
        x = np.asarray(x, dtype=np.float64)
        flat = x.reshape(-1, dom.k)
        s = dom.norm(flat)
        outside = s > dom.R * (1 + 1e-14)
        if derivative == 0 or not outside.any():
            if derivative == 0:
                out = continued(dom, self.coeffs)(self.power)(flat)
            else:
                out = dom.evaluate(self.coeffs, flat, derivative)
            return out.reshape(x.shape + ((dom.k,) * derivative if dom.k > 1 else ())) \
                if dom.k == 1 else out
        if dom.k > 1:
            raise ValueError("derivatives beyond the domain are available for one invariant")
        out = dom.evaluate(self.coeffs, flat, derivative)
        p = self.power
        end = np.sign(flat[outside, 0]) * dom.R
        g_end = dom.evaluate(self.coeffs, end, 1)
        ratio = np.abs(flat[outside, 0]) / dom.R
        sgn = np.sign(flat[outside, 0])
        if derivative == 1:
            out[outside] = g_end * ratio ** (p - 1)
        else:
            out[outside] = g_end * sgn * (p - 1) / dom.R * ratio ** (p - 2)
        return out.reshape(x.shape)

    @property
    def stable(self) -> bool:
        """Relevant in nothing but the constant shift and one mass per invariant:
        n_relevant == 1 + k (the critical point a flow reaches by tuning the
        masses alone)."""
        return self.converged and self.n_relevant == 1 + self.model.k

    @property
    def kappa(self):
        """Where the potential has its minimum (``lpa_host.fixed_point.kappa``)."""
        if "kappa" not in self._cache:
            self._cache["kappa"] = kappa(self.domain, self.coeffs) if self.converged or \
                np.all(np.isfinite(self.coeffs)) else math.nan
        return self._cache["kappa"]

    @property
    def min_denominator(self) -> float:
        """The smallest of the model's denominators over the domain (positive at a
        physical fixed point)."""
        if "min_den" not in self._cache:
            self._cache["min_den"] = min_denominator(self.domain, self.coeffs, self.params) \
                if np.all(np.isfinite(self.coeffs)) else math.nan
        return self._cache["min_den"]

    # --- spectra ------------------------------------------------------------------

    def spectrum(self, n: int = 5, l: int = 0, tol: float = 1e-8):
        """The n largest eigenvalues theta of the linearised flow in sector l (0 for
        a model without sectors), sorted descending, each with an error estimate:
        ``lpa_host.spectrum.Spectrum``. An eigenvalue whose error exceeds tol is
        flagged (``reliable`` False) with a warning."""
        from .spectrum import spectrum
        return spectrum(self, n=n, l=l, tol=tol)

    # --- O(N)-style numbers --------------------------------------------------------

    def _theta_rest(self):
        t = np.asarray(self.theta)
        a = float(self.model.a.subs(self.model.substitutions(self.params)))
        if not len(t):
            return t
        k = int(np.argmin(np.abs(t - a)))
        return np.delete(t, k)

    @property
    def nu(self) -> float:
        """1 / theta_1, the largest eigenvalue after the constant mode theta = a."""
        rest = self._theta_rest()
        return 1.0 / float(np.real(rest[0])) if len(rest) else math.nan

    @property
    def omega(self) -> float:
        """-theta_2, the next eigenvalue."""
        rest = self._theta_rest()
        return -float(np.real(rest[1])) if len(rest) > 1 else math.nan

    @property
    def u_prime_0(self) -> float:
        """u'(0) (one invariant)."""
        if self.model.k != 1 or not np.all(np.isfinite(self.coeffs)):
            return math.nan
        return float(self.domain.evaluate(self.coeffs, np.array([0.0]), 1)[0])

    @property
    def nu_error(self) -> float:
        return float(self.errors.get("nu", math.nan))

    @property
    def omega_error(self) -> float:
        return float(self.errors.get("omega", math.nan))

    @property
    def u_prime_0_error(self) -> float:
        return float(self.errors.get("u_prime_0", math.nan))

    def as_row(self) -> dict:
        """Plain Python values, the same keys for every fixed point: the parameters,
        kind, label, converged, n_relevant, u_prime_0, kappa, nu, omega, their
        errors, min_denominator, R, degree, seconds."""
        row = {k: float(v) for k, v in self.params.items()}
        kap = self.kappa
        row.update(
            kind=str(self.kind), label=None if self.label is None else str(self.label),
            converged=bool(self.converged), n_relevant=int(self.n_relevant),
            u_prime_0=float(self.u_prime_0),
            kappa=float(kap) if np.ndim(kap) == 0 else ",".join(f"{v:.17g}" for v in kap),
            nu=float(self.nu), omega=float(self.omega), nu_error=float(self.nu_error),
            omega_error=float(self.omega_error), u_prime_0_error=float(self.u_prime_0_error),
            min_denominator=float(self.min_denominator), R=float(self.R),
            degree=int(self.degree), seconds=float(self.seconds))
        return row

    def __getstate__(self):
        state = dict(self.__dict__)
        state["_cache"] = {}
        return state

    def __setstate__(self, state):
        for k, v in state.items():
            object.__setattr__(self, k, v)

    def __repr__(self):
        p = ", ".join(f"{k}={v:g}" for k, v in self.params.items())
        extra = f", kind={self.kind!r}" if self.kind else ""
        return (f"FixedPoint({self.model.name}, {p}{extra}, n_relevant={self.n_relevant}, "
                f"converged={self.converged}, R={self.R:.6g}, degree={self.degree})")

    # --- the solutions behind it --------------------------------------------------

    def solutions(self) -> list[Solution]:
        """The main solution and its checks."""
        out = [Solution(self.domain, self.coeffs, self.converged)]
        for R, degree, c in self._checks:
            out.append(Solution(domain(self.model, R, degree), c, bool(np.all(np.isfinite(c)))))
        return out


def failed(model: Model, values, kind: str = "", label=None, t0: float | None = None,
           R: float = math.nan) -> FixedPoint:
    """A FixedPoint for a point that could not be solved: converged False, NaNs."""
    return FixedPoint(model, dict(values), np.full(1, np.nan), R, 0, 0, False,
                      n_relevant=-1, errors={}, theta=(), kind=kind, label=label,
                      seconds=(time.perf_counter() - t0) if t0 else math.nan)


def solve(model: Model, values, fn, R: float, degree: int, *, closure: int | None = None,
          kind: str = "", label=None, accept=None, t0: float | None = None
          ) -> FixedPoint | None:
    """The fixed point from the start potential fn (a function of x) on about
    [0, R]: fitted (``fit``), checked (``checks``), its leading sector-0
    eigenvalues and their errors. accept(FixedPoint) -> bool may reject it
    (e.g. the wrong number of relevant directions); None if the fit fails or
    the point is rejected."""
    from . import spectrum as sp
    t0 = time.perf_counter() if t0 is None else t0
    closure = model.max_closure if closure is None else closure
    main = fit(model, values, fn, R, degree, closure)
    if main is None:
        return None
    if model.k == 1:
        main = _resolved(main, values, closure)
    chk = checks(main, values, closure)
    ok = all(c.ok for c in chk)
    if model.k > 1:
        # the leading LEADING + EXTRA, kept for ``FixedPoint.spectrum``
        count = LEADING + sp.EXTRA
        full = [sp.eigenvalues(s.domain, s.coeffs, values, closure, None, count=count)[:count]
                if s.ok else np.full(0, np.nan) for s in [main] + chk]
        thetas = [f[:LEADING] for f in full]
    else:
        thetas = [sp.leading(s, values, closure) for s in [main] + chk]
    theta = thetas[0]
    errors = {}
    derived = [_derived(s, t, model, values) for s, t in zip([main] + chk, thetas)]
    for key in derived[0]:
        if not ok:
            errors[key] = math.nan
            continue
        errors[key] = max(abs(derived[0][key] - d[key]) for d in derived[1:])
    n_rel = int(np.sum(np.real(theta) > 0.0))
    if model.k > 1:
        # eigenvalues matched across the checks by nearest value (degenerate pairs)
        for i, t in enumerate(theta):
            errors[f"theta_{i}"] = max(float(np.min(np.abs(f - t))) if len(f) else math.inf
                                       for f in full[1:]) if ok else math.nan
        # marginal eigenvalues (theta = 0 to rounding) are not relevant
        n_rel = int(np.sum(np.real(full[0]) > 1e-9))
    fp = FixedPoint(model, dict(values), np.array(main.coeffs), main.R, main.degree, closure,
                    ok, n_relevant=n_rel, errors=errors, theta=tuple(theta), kind=kind,
                    label=label, seconds=time.perf_counter() - t0,
                    _checks=tuple((c.R, c.degree, np.array(c.coeffs)) for c in chk))
    if model.k > 1:
        fp._cache["eigenvalues"] = {(s.R, s.degree, None, count): f
                                    for s, f in zip([main] + chk, full) if s.ok}
    if accept is not None and not accept(fp):
        return None
    return fp


def _resolved(main: Solution, values, closure: int, rounds: int = 2) -> Solution:
    """The main solution on a basis large enough for its leading eigenvalues too:
    the eigenfunctions can need more terms than the potential (N < 0 in O(N)),
    so while the leading eigenvalues move by more than EIGEN_RTOL on a basis
    CHECK_BASIS times larger, the basis grows by GROW_FOR_EIGEN."""
    from . import spectrum as sp
    model = main.domain.model
    pol = POLICY[model.k]
    for _ in range(rounds):
        bigger = int(main.degree * CHECK_BASIS) + 1
        if bigger > pol.max_degree:
            return main
        fn = continued(main.domain, main.coeffs)(model.power(**values))
        dom = domain(model, main.R, bigger)
        other = newton(dom, dom.interpolate(fn), values, closure)
        if not other.ok:
            return main
        a, b = (sp.leading(x, values, closure, 4) for x in (main, other))
        if np.all(np.abs(a - b) <= EIGEN_RTOL * np.maximum(1.0, np.abs(a))):
            return main
        grown = min(pol.max_degree, int(main.degree * GROW_FOR_EIGEN))
        dom = domain(model, main.R, grown)
        nxt = newton(dom, dom.interpolate(fn), values, closure)
        x = fine_grid(main.domain, 401)
        near = np.max(np.abs(dom.evaluate(nxt.coeffs, x, 1) - main.domain.evaluate(
            main.coeffs, x, 1))) <= 1e-6 * max(1.0, np.max(np.abs(main.domain.evaluate(
                main.coeffs, x, 1))))
        if not (nxt.ok and near):  # not the same solution: keep the main one
            return main
        main = nxt
    return main


def _derived(sol: Solution, theta, model: Model, values) -> dict:
    """The quantities whose errors are estimated: u'(0) (one invariant), nu, omega
    and the leading eigenvalues."""
    out = {}
    if model.k == 1:
        out["u_prime_0"] = float(sol.domain.evaluate(sol.coeffs, np.array([0.0]), 1)[0])
    a = float(model.a.subs(model.substitutions(values)))
    t = np.asarray(theta)
    if len(t):
        rest = np.delete(t, int(np.argmin(np.abs(t - a))))
        if len(rest) > 0:
            out["nu"] = 1.0 / float(np.real(rest[0]))
        if len(rest) > 1:
            out["omega"] = -float(np.real(rest[1]))
    return out
