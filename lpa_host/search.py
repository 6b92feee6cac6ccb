"""Every fixed point of a one-invariant model that leaves its constant (Gaussian) solution.

    >>> on = lpa_host.models.on()
    >>> [fp.n_relevant for fp in lpa_host.search.follow_branches(on, {"d": 2.6, "N": 1})]
    [2, 3, 4]

How the search finds them
-------------------------
At the constant solution u0 (F(x, u0, 0, 0) = 0) the linearised operator of
the models this package takes, E[v] = c0 v + c1 v' + C v'', has c0 constant,
c1 and C polynomials of degree <= 1 and <= 2. It maps x^n to itself plus
lower powers, so its eigenfunctions are polynomials P_n of degree n with

    theta_n = -(c0 + n c1_1 + n (n - 1) C_2)       (exact)

(O(N): theta_n = d - (d - 2) n; a field phi on -R <= phi <= R: d - (d - 2) n / 2,
the odd n being the odd perturbations). theta_n passes through zero where the
dimension parameter (``Model.dimension``, "d") equals D_n, and there a branch
of fixed points leaves the Gaussian one (a transcritical bifurcation). Just
past D_n it is u = u0 + eps P_n + O(eps^2), with eps from the Lyapunov-Schmidt
condition of the collocated equation,

    eps = -(psi^T J P_n) / (psi^T Q[P_n]),

J the Jacobian at u0, psi its left eigenvector for theta_n and Q the quadratic
part of the residual (a central difference). Nothing here needs a weight
that makes E self-adjoint, so it holds for every parameter value (N <= 0 too).
Odd n of a field on [-R, R] are skipped: by symmetry their quadratic part
vanishes (a pitchfork into points that break it).

``follow_branches`` follows every branch whose theta_n > 0 at the requested
parameters (it exists there, on the side of D_n where the Gaussian point is
unstable in its direction) from its birth to the requested dimension:
continuation with a secant predictor, a step accepted only if Newton
converges, the solution keeps the shape of the branch (the number of sign
changes of u' and the sign of the first of its values) and the corrector is
small next to the step; the domain is moved along so that the fast solution
stays damped (``lpa_host.fixed_point.damping``). The end point is then solved
afresh with its checks (``lpa_host.fixed_point.solve``), so every point comes
with the same error estimates.

Why this is all of them (of this kind): each branch is a smooth curve in the
dimension until one of its eigenvalues reaches zero (a fold, where it meets a
point that does not come from the Gaussian one) or a denominator closes; such
an end is detected, the branch is left out below it and a RuntimeWarning says
so. Fixed points that are not connected to the Gaussian one are not found.

Every call computes from scratch (no state carries over between calls), so
the answer depends on the arguments only; repeated calls with the same
arguments are served from a small memo.
"""

from __future__ import annotations

import math
import threading
import time
import warnings
from collections import OrderedDict
from dataclasses import dataclass

import numpy as np
import scipy.linalg
import sympy

from . import fixed_point as fpm
from .domain import domain
from .model import Model

#: S (``fixed_point.damping``) aimed at on the path, and the band it may drift in.
PATH_DAMPING = 30.0
PATH_BAND = (20.0, 60.0)
#: The path basis grows when its last coefficients exceed this (relative).
PATH_TAIL = 1e-10
#: Corrections below this (relative to u') are Newton's rounding, not another solution.
CORRECTOR_FLOOR = 1e-8
#: Largest step in the dimension, as a fraction of the distance to the next birth.
MAX_STEP = 0.1
#: How far past D_n the branch is first solved, as fractions of that distance.
BIRTH_OFFSETS = (0.02, 0.05, 0.1)


# --- the Gaussian point ----------------------------------------------------------------

@dataclass(frozen=True)
class GaussianModes:
    """The linearisation at the constant solution at fixed values of every
    parameter but the dimension D: theta_n(D) and the eigenpolynomials."""

    model: Model
    values: dict
    theta: sympy.Expr            # theta_n as a function of (n, D)
    coeffs: tuple                # (c0, c1_0, c1_1, C_0, C_1, C_2) as functions of D
    n_sym: sympy.Symbol
    D_sym: sympy.Symbol

    def theta_n(self, n: int, D: float) -> float:
        return float(self.theta.subs({self.n_sym: n, self.D_sym: D}))

    def births(self, n: int) -> list[float]:
        """The D where theta_n = 0 (real roots)."""
        eq = sympy.numer(sympy.together(self.theta.subs(self.n_sym, n)))
        if not eq.has(self.D_sym):
            return []
        coeffs = [float(c) for c in sympy.Poly(eq, self.D_sym).all_coeffs()]
        roots = np.roots(coeffs)
        return sorted(float(r.real) for r in roots if abs(r.imag) < 1e-12)

    def polynomial(self, n: int, D: float) -> np.ndarray:
        """Monomial coefficients (ascending) of P_n, leading coefficient 1."""
        c0, c10, c11, C0, C1, C2 = (float(c.subs(self.D_sym, D)) for c in self.coeffs)
        th = self.theta_n(n, D)
        p = np.zeros(n + 1)
        p[n] = 1.0
        for j in range(n - 1, -1, -1):
            diag = c0 + c11 * j + C2 * j * (j - 1) + th
            rhs = (c10 * (j + 1) + C1 * (j + 1) * j) * p[j + 1]
            if j + 2 <= n:
                rhs += C0 * (j + 2) * (j + 1) * p[j + 2]
            if rhs == 0.0:
                continue
            if abs(diag) < 1e-12:
                raise ValueError("degenerate Gaussian eigenvalues")
            p[j] = -rhs / diag
        return p


def gaussian_modes(model: Model, values: dict) -> GaussianModes:
    """The Gaussian linearisation of a one-invariant model; ValueError where the
    model has no constant solution or its operator there is not of the form the
    search needs."""
    if model.k != 1:
        raise ValueError(f"{model.name}: the Gaussian search is for one invariant")
    if model.dimension is None:
        raise ValueError(f"{model.name}: the search follows branches in a dimension "
                         "parameter; give the model one (Model(..., dimension=...))")
    u0 = model.gaussian_value
    if u0 is None:
        raise ValueError(f"{model.name}: the equation has no constant solution to search from")
    s = model.symbols
    x = s.x[0]
    D = s.P[model.param_names.index(model.dimension)]
    fixed = {s.P[i]: values[n] for i, n in enumerate(model.param_names)
             if n != model.dimension}
    at = {s.U: u0, s.G[0]: 0, s.H[0][0]: 0}
    op = model.op
    parts = []
    for expr, top in ((op.c0, 0), (op.c1[0], 1), (op.C[0][0], 2)):
        e = sympy.simplify(sympy.sympify(expr).subs(at).subs(fixed))
        try:
            poly = sympy.Poly(e, x)
        except sympy.PolynomialError:
            poly = None
        if poly is None or poly.degree() > top or any(
                c.free_symbols - {D} for c in poly.all_coeffs()):
            raise ValueError(f"{model.name}: at the constant solution the linearised "
                             f"equation is not of the form the search needs (got {e})")
        cs = [poly.coeff_monomial(x**j) for j in range(top + 1)]
        parts.extend(cs)
    c0, c10, c11, C0, C1, C2 = parts
    n = sympy.Symbol("n")
    theta = -(c0 + n * c11 + n * (n - 1) * C2)
    return GaussianModes(model, dict(values), sympy.simplify(theta), tuple(parts), n, D)


# --- one branch ------------------------------------------------------------------------

def _shape(dom, c, tiny: float = 1e-13):
    """(sign changes of u' on (0, R], sign of its first value) with noise below
    tiny ignored; None for a flat solution."""
    r = np.linspace(0.0, dom.R, 1001)[1:]
    w = dom.evaluate(c, r, 1)
    if not np.all(np.isfinite(w)) or np.max(np.abs(w)) < 1e-11:
        return None
    keep = np.abs(w) > tiny * max(1.0, np.max(np.abs(w)))
    s = np.sign(w[keep])
    return int(np.count_nonzero(s[:-1] != s[1:])), int(s[0])


def _grid_R(R: float) -> float:
    """R rounded to 2^(j / 32), so that nearby steps share their domains."""
    return float(2.0 ** (round(32.0 * math.log2(R)) / 32.0))


class Branch:
    """The branch born from the Gaussian point at D_n, at fixed other parameters."""

    def __init__(self, modes: GaussianModes, n: int, birth: float, target: float):
        self.modes, self.n, self.birth = modes, n, birth
        self.model = modes.model
        self.direction = 1.0 if target > birth else -1.0
        self.reach = abs(target - birth)
        m = n // 2 if self.model.two_sided[0] else n
        self.degree = (24 + 8 * m) * (2 if self.model.two_sided[0] else 1)
        self.end_reason = None

    def _values(self, D):
        v = dict(self.modes.values)
        v[self.model.dimension] = float(D)
        return v

    def _newton(self, R, D, start_fn_or_coeffs, maxiter=30):
        dom = domain(self.model, R, self.degree)
        start = dom.interpolate(start_fn_or_coeffs) if callable(start_fn_or_coeffs) \
            else start_fn_or_coeffs
        return fpm.newton(dom, start, self._values(D), self.model.max_closure,
                          maxiter=maxiter, polish=0)

    def _birth_R(self, D, P):
        """A domain reaching S = PATH_DAMPING past the last turn of P'."""
        c = [float(v.subs(self.modes.D_sym, D)) for v in self.modes.coeffs]
        _, c10, c11, C0, C1, C2 = c
        dP = np.polynomial.polynomial.polyder(P)
        roots = np.roots(dP[::-1]) if len(dP) > 1 else np.array([])
        z = max([r.real for r in roots if abs(r.imag) < 1e-9 and r.real > 0] + [1.0])
        r = np.linspace(z, 50 * z + 200, 20001)
        Cr = C0 + C1 * r + C2 * r * r
        rate = np.where(Cr != 0, -(c10 + c11 * r) / np.where(Cr != 0, Cr, 1.0), 0.0)
        S = np.concatenate([[0.0], np.cumsum(0.5 * (np.maximum(rate[1:], 0)
                                                    + np.maximum(rate[:-1], 0)) * np.diff(r))])
        R = float(np.interp(PATH_DAMPING + 2.0 * self.n, S, r))
        return _grid_R(max(R, 3.0 * z))

    def born(self, gap: float):
        """(D, Solution) just past the birth, or None."""
        model, modes, n = self.model, self.modes, self.n
        for frac in BIRTH_OFFSETS:
            D = self.birth + self.direction * min(frac * gap, 0.5 * self.reach)
            values = self._values(D)
            u0 = model.gaussian(**values)
            P = modes.polynomial(n, D)
            R = self._birth_R(D, P)
            dom = domain(model, R, self.degree)
            x = dom.nodes[:, 0]
            scale = np.max(np.abs(np.polynomial.polynomial.polyval(x, P)))
            Pn = np.polynomial.polynomial.polyval(x, P) / scale
            cP = dom.interpolate(Pn)
            c0 = dom.interpolate(np.full(len(x), u0))
            eps = self._amplitude(dom, values, c0, cP, modes.theta_n(n, D))
            if eps is None:
                continue
            sol = fpm.newton(dom, c0 + eps * cP, values, model.max_closure, polish=0)
            if not sol.ok or _shape(dom, sol.coeffs) is None:
                continue
            dev = dom.V @ (sol.coeffs - c0)
            align = abs(dev @ Pn) / (np.linalg.norm(dev) * np.linalg.norm(Pn))
            if align > 0.9:
                return D, sol
        return None

    def _amplitude(self, dom, values, c0, cP, theta):
        closure = self.model.max_closure
        J = dom.jacobian(c0, values, closure)
        w, vl = scipy.linalg.eig(J, dom.V, left=True, right=False)
        i = int(np.argmin(np.abs(w + theta)))
        psi = np.real(vl[:, i])
        h = 1e-3
        Q = (dom.residual(c0 + h * cP, values, closure) + dom.residual(c0 - h * cP, values, closure)
             - 2.0 * dom.residual(c0, values, closure)) / (2.0 * h * h)
        num, den = psi @ (J @ cP), psi @ Q
        if not (np.isfinite(num) and np.isfinite(den)) or abs(den) < 1e-12 * max(1.0, abs(num)):
            return None
        return -num / den

    def follow(self, target: float, gap: float, progress=None):
        """The Solution on the path basis at the dimension `target`, or None
        (self.end_reason says why, if known)."""
        got = self.born(gap)
        if got is None:
            self.end_reason = "could not be started from the Gaussian point"
            return None
        D, sol = got
        dom, c = sol.domain, sol.coeffs
        ref = _shape(dom, c)
        h = min(abs(target - D), MAX_STEP * gap)
        # the first tangent: near the birth the deviation from the Gaussian point
        # grows like D - D_n, and the Gaussian point moves with its own u0(D)
        gauss = self._gaussian(dom, D)
        eps = 1e-6 * max(1.0, abs(D))
        dcdD = (c - gauss) / (D - self.birth) + (self._gaussian(dom, D + eps)
                                                   - self._gaussian(dom, D - eps)) / (2 * eps)
        fresh = True
        steps = 0
        while D != target:
            Dn = D + self.direction * h
            if (Dn - target) * self.direction > 0 or abs(Dn - target) < 1e-12:
                Dn = target
            guess = c if dcdD is None else c + dcdD * (Dn - D)
            sn = fpm.newton(dom, guess, self._values(Dn), self.model.max_closure,
                            maxiter=12, polish=0)
            steps += 1
            ok = sn.ok and _shape(dom, sn.coeffs) == ref and \
                fpm.min_denominator(dom, sn.coeffs, self._values(Dn)) > 0.0
            if ok:  # the structure must stay well inside the domain
                ok = fpm.damping(sn, self._values(Dn))[0] >= 0.5 * PATH_BAND[0]
            if ok and dcdD is not None:
                new = dom.D[0] @ sn.coeffs
                corr = np.max(np.abs(new - dom.D[0] @ guess))
                ok = corr <= 0.25 * np.max(np.abs(new - dom.D[0] @ c)) + CORRECTOR_FLOOR * \
                    np.max(np.abs(new))
            if not ok and not fresh:
                dcdD = self._tangent(dom, c, D, h)  # the chord may be stale
                fresh = True
                if dcdD is not None:
                    continue
            if not ok:
                h *= 0.5
                if h < 1e-9 * max(1.0, abs(D)) or steps > 400:
                    self.end_reason = self._why(dom, c, D)
                    return None
                continue
            dcdD = (sn.coeffs - c) / (Dn - D)
            c, D = sn.coeffs, Dn
            fresh = False
            if sn.iterations <= 4:
                h = min(1.6 * h, MAX_STEP * gap * 5)
            moved = self._refit(fpm.Solution(dom, c, True), D, ref)
            if moved is not None:
                dom, c = moved.domain, moved.coeffs
                dcdD = self._tangent(dom, c, D, h)
                fresh = True
            if progress:
                progress(f"  branch {self.n}: {self.model.dimension} = {D:.6f}, "
                         f"R = {dom.R:.4g}, degree {dom.degree}, "
                         f"u'(0) = {dom.evaluate(c, np.zeros(1), 1)[0]:+.6e}")
        return fpm.Solution(dom, c, True)

    def _gaussian(self, dom, D):
        return dom.interpolate(np.full(len(dom.nodes), self.model.gaussian(**self._values(D))))

    def _tangent(self, dom, c, D, h):
        """dc/dD from a short secant, or None."""
        eps = self.direction * min(1e-4, 0.1 * h)
        sn = fpm.newton(dom, c, self._values(D + eps), self.model.max_closure, maxiter=12,
                        polish=0)
        return (sn.coeffs - c) / eps if sn.ok else None

    def _refit(self, sol, D, ref):
        """The solution moved to a domain with S back near PATH_DAMPING if it has
        drifted out of PATH_BAND; None if it has not (or the move fails)."""
        values = self._values(D)
        S, rate_end, r, Sr = fpm.damping(sol, values)
        coarse = fpm.tail(sol.domain, sol.coeffs) > PATH_TAIL and \
            self.degree < fpm.POLICY[1].max_degree
        if PATH_BAND[0] <= S <= PATH_BAND[1] and not coarse:
            return None
        if S < PATH_BAND[0]:
            R = sol.R + min((PATH_DAMPING - S) / max(rate_end, 1e-12), sol.R)
        elif S > PATH_BAND[1]:
            R = float(np.interp(PATH_DAMPING, Sr, r))
        else:
            R = sol.R
        R = _grid_R(R)
        if coarse:
            self.degree = min(fpm.POLICY[1].max_degree, int(1.25 * self.degree) + 1)
        elif R == sol.R:
            return None
        dom = domain(self.model, R, self.degree)
        fn = fpm.continued(sol.domain, sol.coeffs)(self.model.power(**values))
        new = fpm.newton(dom, dom.interpolate(fn), values, self.model.max_closure, polish=0)
        if new.ok and _shape(dom, new.coeffs) == ref:
            return new
        return None

    def _why(self, dom, c, D):
        values = self._values(D)
        if fpm.min_denominator(dom, c, values) < 1e-3:
            return f"a denominator closes near {self.model.dimension} = {D:.6g}"
        from .spectrum import leading
        theta = leading(fpm.Solution(dom, c, True), values, self.model.max_closure, 8)
        if np.nanmin(np.abs(theta)) < 1e-2:
            return f"it turns back (a fold) near {self.model.dimension} = {D:.6g}"
        return f"it was lost near {self.model.dimension} = {D:.6g}"


# --- the search -----------------------------------------------------------------------------

_MEMO: OrderedDict = OrderedDict()
_MEMO_LOCK = threading.Lock()
_MEMO_SIZE = 64


def branches(model: Model, values: dict, max_n: int = 40) -> list[tuple[int, float]]:
    """(n, D_n) of the branches that exist at `values`: theta_n > 0 there, born
    at D_n on the way from the Gaussian point's nearest side."""
    modes = gaussian_modes(model, values)
    D = values[model.dimension]
    out = []
    for n in range(2, max_n + 1):
        if model.two_sided[0] and n % 2:
            continue
        if modes.theta_n(n, D) <= 0.0:
            continue
        births = [b for b in modes.births(n) if abs(b - D) > 1e-12]
        if not births:
            continue
        out.append((n, min(births, key=lambda b: abs(b - D))))
    return out


def follow_branches(model: Model, values: dict, *, only=None, progress=None,
                    memo: bool = True) -> list:
    """Every fixed point on a branch from the Gaussian point at `values` (all
    parameters given), as ``FixedPoint``s sorted by n_relevant (label: the
    branch n). only: the branch numbers to follow (default all)."""
    key = (model, tuple(sorted(values.items())), None if only is None else tuple(only))
    if memo:
        with _MEMO_LOCK:
            if key in _MEMO:
                return list(_MEMO[key])
    modes = gaussian_modes(model, values)
    D = values[model.dimension]
    found = branches(model, values)
    out = []
    clean = True  # nothing failed: the answer may be recalled
    for i, (n, birth) in enumerate(found):
        if only is not None and n not in only:
            continue
        # the scale of the first steps: the distance to the next birth
        others = [abs(birth - b) for m, b in found if m != n and b != birth]
        gap = min(others) if others else abs(birth - D)
        br = Branch(modes, n, birth, D)
        t0 = time.perf_counter()
        sol = br.follow(D, gap, progress)
        if sol is None:
            warnings.warn(f"{model.name}: the branch born at {model.dimension} = {birth:.6g} "
                          f"(n = {n}) does not reach {model.dimension} = {D:g}: "
                          f"{br.end_reason}", RuntimeWarning, stacklevel=2)
            clean = False
            continue
        fn = fpm.continued(sol.domain, sol.coeffs)(model.power(**values))
        fp = fpm.solve(model, values, fn, sol.R, sol.degree, label=n, t0=t0)
        if fp is None:
            fp = fpm.failed(model, values, label=n, t0=t0, R=sol.R)
        clean = clean and fp.converged
        out.append(fp)
    out.sort(key=lambda p: (p.n_relevant if p.n_relevant >= 0 else 10**6, str(p.label)))
    if memo and clean:
        with _MEMO_LOCK:
            _MEMO[key] = tuple(out)
            while len(_MEMO) > _MEMO_SIZE:
                _MEMO.popitem(last=False)
    return out
