"""Every nontrivial fixed point of the O(N) flow for 2 < d < 4: Wilson-Fisher
and the multicritical ones.

    >>> import lpa_host
    >>> for p in lpa_host.fixed_points(2.6):           # N = 1
    ...     print(f"{p.n_relevant} {p.u_prime_0:+.6f} {p.kappa:.4f} {p.nu:.6f}")
    2 -0.338458 2.0183 0.799801      (Wilson-Fisher)
    3 +0.065540 8.4176 0.502320      (tricritical)
    4 -0.001073 2.0356 0.500003      (tetracritical)

How the search finds all of them
--------------------------------
Linearised around the Gaussian fixed point u = N/d, the flow has the
eigenpolynomials P_k(rho) = L_k^(N/2 - 1)((d - 2) rho / 2) (generalised
Laguerre polynomials, degree k in rho) with theta_k = d - (d - 2) k. theta_k
passes through zero at d_k = 2k / (k - 1) (4, 3, 8/3, 5/2, 12/5, ...), and
there a new fixed point branches off the Gaussian one (a transcritical
bifurcation): for d just below d_k it is

    u = N/d + eps P_k(rho) + O(eps^2),   eps = theta_k <P_k, P_k> / <P_k, Q[P_k]>,

with Q[v] = (N - 1) v'^2 + (v' + 2 rho v'')^2 the quadratic part of the flow
and <f, g> = int f g rho^(N/2 - 1) exp(-(d - 2) rho / 2) drho the weight that
makes the linearised flow self-adjoint (evaluated exactly by Gauss-Laguerre
quadrature). <P_k, Q[P_k]> > 0 (checked for k <= 10, 1 <= N <= 100), so the
branch lives below d_k, has k relevant directions (theta = d, theta_1, ...,
theta_{k-1}) and u' with k - 1 sign changes; u'(0) -> 0 like d_k - d.

``fixed_points(d)`` therefore follows every branch with d_k > d from its birth:

1. Newton at d_k - delta from the first-order solution, on a domain long
   enough ((d - 2) R / 2 >= 40 + N/2 + 2k) that the end of the domain does not
   move the discrete branch point (it sits within about 1e-7 of d_k, 1e-6 for
   k >= 5: rounding, not the domain, limits it);
2. continuation in d with a secant predictor down (or up) to the requested d,
   growing the domain as soon as u' changes sign too close to its end. A step
   is accepted only if Newton converges, u' keeps its number of sign changes
   and the sign of u'(0), and the corrector is small next to the step; else
   the slope is renewed or the step halved. The Gaussian point (no sign change)
   and the other branches (other numbers of sign changes) are therefore never
   taken for this one, nor is another solution with the same signs;
3. a final Newton solve with a larger basis on a domain where u'(R) is large,
   a check of both propagator denominators on a fine grid, and the eigenvalues
   of the linearised flow (nu, n_relevant).

Why this is all of them: each branch is a smooth curve in d below d_k (none of
its eigenvalues crosses zero there, its n_relevant stays k), so the
continuation cannot lose it, and each fixed point that comes out of the
Gaussian one is counted once. For N = 1 a shooting scan in u'(0) from rho = 0
finds no fixed point other than these at d = 2.9, 2.6 and 2.45 (and the
tests confirm each of them by shooting); for N = 2 and 4 every branch reaches
d = 2.3 without turning back.

For larger N (about 10 and up) a branch can end before d: it turns back in d
(an eigenvalue reaches zero: it merges with a fixed point that does not come
from the Gaussian one), or a propagator denominator closes. Such a branch is
left out below its end, with a warning; the partner of a fold is not followed,
so there the list holds the points connected to the Gaussian one only. A branch
that is lost for any other reason gives an entry with converged=False.

Points along every branch are kept per process, so a scan over d continues
from the nearest point already computed instead of from d_k.
"""

from __future__ import annotations

import math
import threading
import warnings
from dataclasses import dataclass, field
from numbers import Real
from typing import NamedTuple

import numpy as np
from scipy.special import genlaguerre, roots_genlaguerre

from . import exponents as _ex
from . import fixed_point as _fp

#: Smallest dimension accepted: the number of fixed points grows without
#: bound as d -> 2 (a new one below every d_k = 2k / (k - 1)).
D_MIN = 2.25

# --- tuning -------------------------------------------------------------------
_X_END = 40.0          # (d - 2) R / 2 - N / 2 - 2k on the near-Gaussian part of a branch
_W_PATH = 2.0          # u'(R) aimed at while following a branch
_W_FINAL = 20.0        # ... and for the final solve
_DOMAIN_STEPS = 4      # R is rounded to 2^(j / _DOMAIN_STEPS)
_TOL = 1e-11           # Newton tolerance (residual norm)
_TOL_FLOOR = 1e-9      # ... accepted when rounding stops Newton above _TOL
_N_FINE = 4001         # points of the grid for zeros and positivity
_CLOSURE = 2           # row at rho = R: power law with its first correction (lpa_host.flow)


def _x_end(k: int, N: float) -> float:
    """(d - 2) R / 2 needed near the Gaussian point: the eigenpolynomials reach
    out to x ~ N/2 + 4k, the solutions they compete with grow like e^x x^-(k + N/2)."""
    return _X_END + 0.5 * N + 2.0 * k


def _path_degree(k: int) -> int:
    """Basis degree while following a branch."""
    return 24 + 8 * k


def _final_degree(k: int) -> int:
    """Basis degree of the final solve."""
    return 48 + 10 * k


def birth_dimension(k: int) -> float:
    """d_k = 2k / (k - 1): the k-th fixed point leaves the Gaussian one below it."""
    return 2.0 * k / (k - 1.0)


def branch_orders(d: float) -> list[int]:
    """The k >= 2 with d_k > d: the branches that exist at d (k = 2 is Wilson-Fisher)."""
    if not d > 2.0:
        raise ValueError(f"every d_k is above 2: d must be > 2, got {d}")
    out = []
    k = 2
    while birth_dimension(k) > d:
        out.append(k)
        k += 1
    return out


@dataclass(frozen=True)
class FixedPoint:
    """One fixed point u*(rho) of the O(N) flow (Litim regulator, rho = phi^2 / 2).

    u_prime_0: u*'(0). kappa: first minimum of u* (the smallest rho > 0 where
    u*' changes sign from - to +), nan if there is none. nu = 1 / theta_1, the
    largest eigenvalue after the constant shift theta = d. n_relevant: number of
    theta > 0, theta = d included (Wilson-Fisher 2, tricritical 3, ...).
    k: the branch, born at d_k = 2k / (k - 1). R, coeffs: u* = sum_b c_b
    T_b(2 rho / R - 1) on [0, R] (see ``potential``); theta: the leading
    eigenvalues."""

    N: float
    d: float
    u_prime_0: float
    kappa: float
    nu: float
    n_relevant: int
    converged: bool
    k: int = 0
    R: float = math.nan
    coeffs: np.ndarray = field(default_factory=lambda: np.zeros(0), compare=False, repr=False)
    theta: tuple = field(default=(), compare=False, repr=False)

    def as_row(self) -> dict:
        """Plain Python values: N, d, k, u_prime_0, kappa, nu, n_relevant, converged."""
        return dict(N=float(self.N), d=float(self.d), k=int(self.k),
                    u_prime_0=float(self.u_prime_0), kappa=float(self.kappa),
                    nu=float(self.nu), n_relevant=int(self.n_relevant),
                    converged=bool(self.converged))

    def potential(self, rho, derivative: int = 0) -> np.ndarray:
        """u*(rho) (or its first or second derivative) for 0 <= rho <= R."""
        x = 2.0 * np.asarray(rho, dtype=np.float64) / self.R - 1.0
        c = np.polynomial.chebyshev.Chebyshev(self.coeffs)
        for _ in range(derivative):
            c = c.deriv() * (2.0 / self.R)
        return c(x)


# --- the Gaussian fixed point's eigenpolynomials --------------------------------

def gaussian_mode(k: int, N: float, d: float):
    """(P_k, eps): P_k(rho), monic, as a numpy Polynomial, and the amplitude of
    u = N/d + eps P_k to first order (positive below d_k)."""
    alpha = 0.5 * N - 1.0
    c = 0.5 * (d - 2.0)
    asc = genlaguerre(k, alpha).coeffs[::-1]        # ascending powers of x = c rho
    scale = math.factorial(k) * (-1) ** k / c**k    # makes the rho^k coefficient 1
    P = np.polynomial.Polynomial(asc * c ** np.arange(k + 1) * scale)
    x, wq = roots_genlaguerre(3 * k + 4, alpha)     # exact for degree <= 6k + 7 in x
    rho = x / c
    p0, p1, p2 = P(rho), P.deriv(1)(rho), P.deriv(2)(rho)
    q = (N - 1.0) * p1**2 + (p1 + 2.0 * rho * p2) ** 2
    theta = d - (d - 2.0) * k
    return P, theta * np.sum(wq * p0 * p0) / np.sum(wq * p0 * q)


# --- problems, cached per process ------------------------------------------------

_LOCK = threading.RLock()
_PROBLEMS: dict = {}
_MAX_PROBLEMS = 64


def _problem(j: int, degree: int, d: float):
    """The collocation problem on [0, 2^(j / _DOMAIN_STEPS)] (cached)."""
    key = (j, degree, float(d))
    pr = _PROBLEMS.get(key)
    if pr is None:
        if len(_PROBLEMS) >= _MAX_PROBLEMS:
            for old in list(_PROBLEMS)[: _MAX_PROBLEMS // 2]:
                del _PROBLEMS[old]
        pr = _fp.FixedPointProblem(2.0 ** (j / _DOMAIN_STEPS), degree, d=float(d),
                                   closure=_CLOSURE)
        _PROBLEMS[key] = pr
    return pr


def _domain_index(R: float) -> int:
    return int(round(_DOMAIN_STEPS * math.log2(R)))


def _transfer(coeffs, source, target) -> np.ndarray:
    """Coefficients on `target` of a solution on `source`, continued beyond the
    source's domain with its large-field power law."""
    c = np.asarray(coeffs, dtype=np.float64)
    if source.R == target.R and source.degree == target.degree:
        return c.copy()
    rho = target.nodes
    inside = rho <= source.R
    vals = np.empty_like(rho)
    vals[inside] = _evaluate(source, c, rho[inside])[0]
    if not inside.all():
        p = target.d / (target.d - 2.0)
        u_end = float(_evaluate(source, c, source.R)[0])
        vals[~inside] = u_end * (rho[~inside] / source.R) ** p
    V = target.V
    if V.shape[0] == V.shape[1]:
        return np.linalg.solve(V, vals)
    return np.linalg.lstsq(V, vals, rcond=None)[0]


class _Result(NamedTuple):
    coeffs: np.ndarray
    success: bool
    iterations: int
    error: float


def _solve(problem, start, N, maxiter=30) -> _Result:
    """Newton from `start` to a residual norm of _TOL. Where rounding keeps the
    residual above that (u large at the end of a long domain: d u and
    (d - 2) rho u' cancel there) a floor below _TOL_FLOOR * max(1, |u| / 100)
    is accepted too."""
    start = np.asarray(start, dtype=np.float64)
    r = problem.solver.local_optimize(start, maxiter, _TOL, problem.params(N))
    ok = bool(r.success)
    if not ok and math.isfinite(r.error):
        size = float(np.max(np.abs(problem.V @ np.asarray(r.coeffs))))
        ok = r.error <= _TOL_FLOOR * max(1.0, 0.01 * size)
    return _Result(np.asarray(r.coeffs), ok, int(r.iterations), float(r.error))


# --- shape of a solution -----------------------------------------------------------

def _fine(problem, n=_N_FINE):
    return np.linspace(0.0, problem.R, n)


def _evaluate(problem, c, rho):
    """u, u', u'' at rho (numpy's Clenshaw sums: faster than the basis tables on
    thousands of points)."""
    x = 2.0 * np.asarray(rho, dtype=np.float64) / problem.R - 1.0
    c0 = np.asarray(c, dtype=np.float64)
    c1 = np.polynomial.chebyshev.chebder(c0) * (2.0 / problem.R)
    c2 = np.polynomial.chebyshev.chebder(c1) * (2.0 / problem.R)
    cv = np.polynomial.chebyshev.chebval
    return cv(x, c0), cv(x, c1), cv(x, c2)


def _shape(problem, c):
    """(sign changes of u', sign of u'(0), last sign change, u'(R)) with noise
    below 1e-13 ignored; None for a flat (Gaussian) solution."""
    rho = _fine(problem, 1001)
    w = _evaluate(problem, c, rho)[1]
    if not np.all(np.isfinite(w)) or np.max(np.abs(w)) < 1e-11:
        return None
    keep = np.abs(w) > 1e-13
    s = np.sign(w[keep])
    r = rho[keep]
    idx = np.nonzero(s[:-1] != s[1:])[0]
    last = 0.5 * (r[idx[-1]] + r[idx[-1] + 1]) if len(idx) else 0.0
    return len(idx), int(s[0]), last, float(w[-1])


def _wanted_domain(problem, c, d, w_end, shape, x_end) -> float:
    """R where u' reaches w_end (extrapolated with the power law beyond the
    current domain), at most where (d - 2) R / 2 = x_end and at least twice
    the last sign change of u'."""
    n_zero, _, last, w_R = shape
    p = d / (d - 2.0)
    rho = np.linspace(last, problem.R, 1001)
    w = _evaluate(problem, c, rho)[1]
    hit = np.nonzero(w >= w_end)[0]
    if len(hit):
        R_w = rho[hit[0]]
    elif w_R > 0.0:
        R_w = problem.R * (w_end / w_R) ** (1.0 / (p - 1.0))
    else:
        R_w = 2.0 * problem.R
    return max(min(R_w, 2.0 * x_end / (d - 2.0)), 2.0 * last, 1e-3)


# --- one branch ---------------------------------------------------------------------

class _Branch:
    """The k-th branch at one N: points (d, domain index, coeffs, dcoeffs/dd)
    already solved on the path basis."""

    def __init__(self, k: int, N: float):
        self.k, self.N = k, N
        self.d_k = birth_dimension(k)
        self.degree = _path_degree(k)
        self.x_end = _x_end(k, N)
        self.points: list = []
        self.failed = False
        # where the branch ends, by direction of travel: (last d, reason)
        self.ends: dict = {}

    def _same(self, shape, ref) -> bool:
        return shape is not None and shape[0] == ref[0] and shape[1] == ref[1] and shape[3] > 0

    def _end_reason(self, pr, c, d):
        """Why the branch cannot be followed beyond d: 'turns back' (a fold:
        an eigenvalue of the linearised flow at zero), 'a propagator denominator
        vanishes' (the solution runs into the pole of the flow, or a structure
        the path basis no longer resolves), or None."""
        if _min_denominator(pr, c, 1001) < 1e-3:
            return "a propagator denominator vanishes"
        with _ex.one_blas_thread():
            theta = _ex.eigenvalues(pr, c, self.N)
        if np.min(np.abs(theta.real)) < 1e-3:
            return "turns back"
        return None

    def end(self, d_target: float):
        """(last d, reason) if the branch is known to end before d_target, else None."""
        for direction, (d_end, reason) in self.ends.items():
            if (d_target - d_end) * direction > 0.0:
                return d_end, reason
        return None

    def _birth(self):
        """Solve just below d_k from the first-order solution."""
        k, N = self.k, self.N
        gap = self.d_k - birth_dimension(k + 1)
        for frac in (0.02, 0.05, 0.1):
            d0 = self.d_k - frac * gap
            P, eps = gaussian_mode(k, N, d0)
            z = float(np.max(P.deriv(1).roots().real))
            R = max(3.0 * z, 2.0 * self.x_end / (d0 - 2.0))
            pr = _problem(_domain_index(R), self.degree, d0)
            start = np.linalg.solve(pr.V, N / d0 + eps * P(pr.nodes))
            r = _solve(pr, start, N)
            shape = _shape(pr, r.coeffs) if r.success else None
            if shape is not None and shape[0] == k - 1 and shape[1] == (-1) ** (k + 1):
                c = np.asarray(r.coeffs)
                # near d_k the deviation from the Gaussian point grows like d_k - d
                gauss = np.linalg.solve(pr.V, np.full(len(pr.nodes), N / d0))
                dcdd = -(c - gauss) / (self.d_k - d0) + (gauss * (-1.0 / d0))
                self._keep(d0, pr, c, dcdd)
                return
        self.failed = True

    def _move(self, pr, c, d, R, ref):
        """(problem, coeffs) of the solution at d on [0, ~R], or None."""
        prj = _problem(_domain_index(R), self.degree, d)
        if prj.R == pr.R:
            return None
        rj = _solve(prj, _transfer(c, pr, prj), self.N)
        if rj.success and self._same(_shape(prj, rj.coeffs), ref):
            return prj, np.asarray(rj.coeffs)
        return None

    def _keep(self, d, pr, c, dcdd):
        # the domain by its index: problems are rebuilt (or found in the cache)
        self.points.append((d, _domain_index(pr.R), c, dcdd))

    def _nearest(self, d):
        return min(self.points, key=lambda pt: abs(pt[0] - d))

    def follow(self, d_target: float, progress=None):
        """(problem, coeffs) at d_target on the path domain, or None."""
        if not self.points:
            self._birth()
        if self.failed:
            return None
        if self.end(d_target) is not None:
            return None
        d, j, c, dcdd = self._nearest(d_target)
        pr = _problem(j, self.degree, d)
        if d == d_target:
            return pr, c
        ref = _shape(pr, c)
        direction = 1.0 if d_target > d else -1.0
        h = min(abs(d_target - d), 0.1 * (self.d_k - birth_dimension(self.k + 1)))
        n_steps = 0
        fresh = False  # dcdd a tangent (True) or the chord of the last step
        while d != d_target:
            dn = d + direction * h
            if (dn - d_target) * direction > 0.0 or abs(dn - d_target) < 1e-12:
                dn = d_target
            prn = _problem(_domain_index(pr.R), self.degree, dn)
            guess = c + dcdd * (dn - d)
            r = _solve(prn, guess, self.N, maxiter=12)
            n_steps += 1
            shape = _shape(prn, r.coeffs) if r.success else None
            ok = self._same(shape, ref) and _min_denominator(prn, r.coeffs, 1001) > 0.0
            if ok:
                # Newton must end near the prediction, not on another solution
                # of the same shape: the corrector is small next to the step
                new = prn.D1 @ np.asarray(r.coeffs)
                corr = np.max(np.abs(new - prn.D1 @ guess))
                ok = corr <= 0.25 * np.max(np.abs(new - prn.D1 @ c)) + 1e-12 * np.max(np.abs(new))
            if not ok and not fresh:
                # a long last step leaves a poor chord: take a short secant
                eps = direction * min(1e-4, 0.1 * h)
                pre = _problem(_domain_index(pr.R), self.degree, d + eps)
                re = _solve(pre, c + dcdd * eps, self.N, maxiter=12)
                fresh = True
                if re.success and self._same(_shape(pre, re.coeffs), ref):
                    dcdd = (np.asarray(re.coeffs) - c) / eps
                    continue
            if not ok:
                h *= 0.5
                if h < 1e-9 or n_steps > 400:
                    reason = self._end_reason(pr, c, d)
                    if reason is not None:
                        self.ends[direction] = (d, reason)
                    return None
                continue
            cn = np.asarray(r.coeffs)
            dcdd = (cn - c) / (dn - d)
            d_prev, pr_prev, c_prev = d, pr, c
            c, d, pr = cn, dn, prn
            fresh = False
            if r.iterations <= 4:
                h = min(1.6 * h, 0.5)
            # keep the domain fitted to the solution: grow it as soon as the
            # solution asks for more, shrink it lazily
            R_w = _wanted_domain(pr, c, d, _W_PATH, shape, self.x_end)
            if R_w > 1.19 * pr.R or R_w < pr.R / 1.68:
                moved = self._move(pr, c, d, R_w, ref)
                if moved is None:
                    # the solution may already be distorted by a domain that is
                    # too short: move the previous point and step again from there
                    moved = self._move(pr_prev, c_prev, d_prev, R_w, ref)
                    if moved is not None:
                        pr, c = moved
                        d = d_prev
                        dcdd = _transfer(dcdd, pr_prev, pr)
                        h *= 0.5
                        if h < 1e-9 or n_steps > 400:
                            return None
                        continue
                else:
                    # the secant again, both ends on the new domain
                    prj, cj = moved
                    prp = _problem(_domain_index(prj.R), self.degree, d_prev)
                    rp = _solve(prp, _transfer(c_prev, pr_prev, prp), self.N)
                    if rp.success:
                        dcdd = (cj - np.asarray(rp.coeffs)) / (d - d_prev)
                    else:
                        dcdd = _transfer(dcdd, pr, prj)
                    pr, c = prj, cj
            self._keep(d, pr, c, dcdd)
            if progress:
                progress(f"  k={self.k}: d = {d:.6f}, R = {pr.R:.4g}, u'(0) = "
                         f"{float(_evaluate(pr, c, 0.0)[1]):+.6e}")
        return pr, c


_BRANCHES: dict = {}
_RESULTS: dict = {}     # (d, N, precise) -> the answer, for repeated calls
_MAX_RESULTS = 1024


def _branch(k: int, N: float) -> _Branch:
    key = (k, float(N))
    b = _BRANCHES.get(key)
    if b is None:
        b = _BRANCHES[key] = _Branch(k, float(N))
    return b


# --- analysis ---------------------------------------------------------------------

def _first_minimum(problem, c) -> float:
    return _fp.first_minimum(lambda r: _evaluate(problem, c, r)[1], _fine(problem))


def denominators(problem, c, rho=None):
    """(1 + u', 1 + u' + 2 rho u'') on a fine grid of [0, R] (or at rho)."""
    if rho is None:
        rho = _fine(problem)
    _, w, h = _evaluate(problem, c, rho)
    return 1.0 + w, 1.0 + w + 2.0 * rho * h


def _min_denominator(problem, c, n=_N_FINE) -> float:
    """Smallest propagator denominator on [0, 0.95 R], or -1 if u'(R) <= 0.

    The last few per cent of the domain are left out: where the row at R is not
    yet accurate (large N, u'(R) small) it excites the fast solution there, a
    boundary layer in u'' that the interior never sees. Beyond the last sign
    change of u' both denominators stay positive on the large-field branch
    (u' > 0 growing), which u'(R) > 0 stands for."""
    rho = np.linspace(0.0, 0.95 * problem.R, n)
    a, b = denominators(problem, c, rho)
    if float(_evaluate(problem, c, problem.R)[1]) <= 0.0:
        return -1.0
    return float(min(a.min(), b.min()))


def _analyse(problem, c, N, d, k, converged) -> FixedPoint:
    with _ex.one_blas_thread():
        theta = _ex.eigenvalues(problem, c, N)
    nu, _, n_rel = _ex.exponents(theta, d)
    return FixedPoint(N=float(N), d=float(d), u_prime_0=float(_evaluate(problem, c, 0.0)[1]),
                      kappa=float(_first_minimum(problem, c)), nu=float(nu),
                      n_relevant=int(n_rel), converged=bool(converged), k=k,
                      R=float(problem.R), coeffs=np.array(c, dtype=np.float64),
                      theta=tuple(float(t.real) for t in theta[:k + 2]))


def _positive(problem, c) -> bool:
    return _min_denominator(problem, c) > 0.0


def _refine(problem, c, N, d, k):
    """Newton with a larger basis on a domain where u'(R) is large (or, failing
    that, on the path's domain); None unless the result has the same shape,
    positive denominators and u'(0) within 1e-3 of the path's (which may be
    that far off where the path basis is coarse, e.g. large N)."""
    shape = _shape(problem, c)
    w0 = float(_evaluate(problem, c, 0.0)[1])
    R = _wanted_domain(problem, c, d, _W_FINAL, shape, _x_end(k, N))
    for j in dict.fromkeys((_domain_index(R), _domain_index(problem.R))):
        pr = _problem(j, _final_degree(k), d)
        r = _solve(pr, _transfer(c, problem, pr), N)
        if not r.success:
            continue
        r2 = pr.polish(r.coeffs, N, steps=1)
        c2 = np.asarray(r2.coeffs) if r2.error <= r.error * 10 else np.asarray(r.coeffs)
        s2 = _shape(pr, c2)
        w2 = float(_evaluate(pr, c2, 0.0)[1])
        if (s2 is not None and s2[:2] == shape[:2] and _positive(pr, c2)
                and abs(w2 - w0) <= 1e-3 * abs(w0) + 1e-8):
            return pr, c2
    return None


# --- entry point ------------------------------------------------------------------

def _check_real(name, x):
    if isinstance(x, bool) or not isinstance(x, (Real, np.floating, np.integer)):
        raise ValueError(f"{name} must be a real number, got {x!r}")
    x = float(x)
    if not math.isfinite(x):
        raise ValueError(f"{name} must be finite, got {x}")
    return x


def fixed_points(d: float, N: float = 1, *, precise: bool = True,
                 progress: bool = False) -> list[FixedPoint]:
    """Every nontrivial fixed point with positive propagator denominators
    1 + u' and 1 + u' + 2 rho u'' on rho >= 0, sorted by n_relevant.

        >>> [(p.n_relevant, round(p.u_prime_0, 6)) for p in fixed_points(2.9)]
        [(2, -0.218632), (3, 0.004682)]

    d: dimension, D_MIN <= d (for d >= 4 there is none: the list is empty).
    N: any real N >= 1. precise: False skips the final solve on a larger basis
    (u'(0) then good to about 1e-9 instead of 1e-11; faster for scans).
    progress: print each continuation step.

    A branch that ends above d (it turns back, or a denominator closes: large N
    only) is left out with a RuntimeWarning; one that cannot be followed for
    any other reason (not seen for N <= 6) gives an entry with converged=False,
    nan values and a warning. Within about 1e-6 of d_k the new point cannot be
    told from the Gaussian one in double precision (u'(0) ~ 1e-9).
    Raises ValueError for non-finite or non-real input, N < 1 or d < D_MIN.
    """
    d = _check_real("d", d)
    N = _check_real("N", N)
    if N < 1.0:
        raise ValueError(f"N must be >= 1, got {N}")
    if d < D_MIN:
        raise ValueError(f"d = {d} is below {D_MIN}: the number of fixed points grows "
                         f"without bound as d -> 2 and is not computed there")
    key = (d, N, bool(precise))
    with _LOCK:
        if key in _RESULTS:
            return list(_RESULTS[key])
    say = print if progress else None
    out = []
    clean = True  # nothing to warn about: the answer may be reused
    with _LOCK:
        for k in branch_orders(d):
            branch = _branch(k, N)
            got = branch.follow(d, progress=say)
            end = branch.end(d) if got is None else None
            if end is not None:
                warnings.warn(f"fixed_points: the branch born at d_{k} = "
                              f"{birth_dimension(k):.6g} ends at d = {end[0]:.6g} ({end[1]}); "
                              f"it has no point at d = {d} (N = {N})",
                              RuntimeWarning, stacklevel=2)
                clean = False
                continue
            if got is None:
                warnings.warn(f"fixed_points: the branch born at d_{k} = "
                              f"{birth_dimension(k):.6g} could not be followed to d = {d} "
                              f"(N = {N})", RuntimeWarning, stacklevel=2)
                result = FixedPoint(N=N, d=d, u_prime_0=math.nan, kappa=math.nan,
                                    nu=math.nan, n_relevant=k, converged=False, k=k)
                clean = False
            else:
                pr, c = got
                refined = _refine(pr, c, N, d, k) if precise else None
                if refined is not None:
                    pr, c = refined
                elif not _positive(pr, c):
                    warnings.warn(f"fixed_points: the point of the branch born at d_{k} = "
                                  f"{birth_dimension(k):.6g} has a vanishing propagator "
                                  f"denominator at d = {d} (N = {N}); left out",
                                  RuntimeWarning, stacklevel=2)
                    clean = False
                    continue
                result = _analyse(pr, c, N, d, k, converged=True)
            out.append(result)
    out.sort(key=lambda p: (p.n_relevant, p.k))
    if clean:
        with _LOCK:
            if len(_RESULTS) >= _MAX_RESULTS:
                del _RESULTS[next(iter(_RESULTS))]
            _RESULTS[key] = tuple(out)
    return out
