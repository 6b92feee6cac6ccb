"""Eigenvalues of the flow linearised around a fixed point, with error estimates.

Write u = u* + eps e^{-theta t} v. To first order in eps, -theta v = E[v], with
E the model's linearised operator (``Model.op``: c0 v + c1 . grad v +
sum C_ij v_ij, the derivatives of the equation at u*) or, for a model with
symmetry sectors, the sector's (``Model.sector_operator``). Collocated at the
domain's nodes with v = sum_b c_b phi_b this is T(theta) c = 0,

    T(theta) = A + theta B,   A_ib = E[phi_b](x_i),   B_ib = phi_b(x_i)

in the interior. The rows at the far end put v on its own slow manifold, the
same rule as the fixed point's row there with the power q = (a - theta) / b
(``Model.end_row_exprs``), so that theta enters them nonlinearly for the
second-order row. theta > 0 are the relevant directions; theta = a belongs to
a constant shift of u and is exact in any basis.

How theta is computed (one invariant). The pencil with the end rows linearised
in theta gives all eigenvalues (scipy QZ); its accuracy is limited by
round-off in the large entries of the second-derivative matrix. The leading
ones are then refined: Newton on y^T T(theta) x = 0 with the end rows exact
in theta, x and y from inverse iteration, the residual T(theta) x summed in
extended precision. Two invariants: the pencil is linear (first-order rows)
and the leading eigenvalues come from shift-and-invert Arnoldi about a shift
above the constant mode.

Errors (``spectrum``). The eigenvalues are computed again on the fixed point's
two checks (a larger basis on the same domain, a larger domain); the error of
each is the largest change. The higher eigenfunctions reach further out than
the potential's structure, so when an error exceeds `tol` the fixed point is
solved again on a longer domain (S larger by ENLARGE_STEP) and its checks, up
to ENLARGE_MAX times; what still exceeds `tol` is flagged, with a warning.
"""

from __future__ import annotations

import contextlib
import math
import warnings
from dataclasses import dataclass, field

import numpy as np
import scipy.linalg

from . import fixed_point as fpm
from .domain import Domain

#: How much further (in S) each enlargement of the domain reaches.
ENLARGE_STEP = 12.0
#: How many times the domain is enlarged for a spectrum.
ENLARGE_MAX = 3
#: An eigenvalue that moves by more than this (relative) between the checks is not
#: one of the problem's: it is left out of a spectrum.
SPURIOUS = 1e-3
#: Eigenvalues refined (one invariant) beyond those asked for.
EXTRA = 2

_LD = np.longdouble
_BLAS: list = []


def one_blas_thread():
    """Context that keeps BLAS/LAPACK on one thread: the eigenproblems and
    solves here are small, and slower and erratic on several threads next to
    the solver's OpenMP threads or a scan's other workers. Without
    threadpoolctl it limits nothing."""
    if not _BLAS:
        try:
            from threadpoolctl import ThreadpoolController
            _BLAS.append(ThreadpoolController())
        except ImportError:  # pragma: no cover
            _BLAS.append(None)
    if _BLAS[0] is None:  # pragma: no cover
        return contextlib.nullcontext()
    return _BLAS[0].limit(limits=1, user_api="blas")


# --- the pencil ------------------------------------------------------------------------------

class Pencil:
    """T(theta) at a fixed point on one domain; theta enters nonlinearly only
    through the rows at the far end."""

    def __init__(self, dom: Domain, coeffs, values, closure: int, sector=None):
        model = dom.model
        self.dom, self.values, self.closure = dom, values, closure
        if sector is None:
            self.op, self.extra = model.op, ()
        else:
            self.op, self.extra = model.sector_operator(), (float(sector),)
        self.a = float(self.op.a.subs(model.substitutions(values)).subs(
            {e: v for e, v in zip(self.op.extra, self.extra)}))
        c = np.asarray(coeffs, dtype=np.float64)
        u, g, h = dom.state(c)
        k = dom.k
        if sector is None:
            sv, sg, sh = model.routines.sens(dom.nodes, u, g, h, dom.flow_params(values, 0))
            sh = 0.5 * (sh + np.transpose(sh, (0, 2, 1)))
        else:
            sv, sg, sh = model.operator_values(self.op, dom.nodes, u, g, h, values, self.extra)
        self.V = dom.V
        self.tables = [dom.D[i] for i in range(k)] + [dom.H[i][j] for i in range(k)
                                                     for j in range(k)]
        self.coef = np.concatenate([sg, sh.reshape(len(sv), k * k)], axis=1)  # per table
        self.c0 = sv
        self.ends = np.nonzero(dom.end)[0] if closure > 0 else np.zeros(0, dtype=int)
        self.state_end = (dom.nodes[self.ends], u[self.ends], g[self.ends], h[self.ends])
        self.row_fn = model.end_row(self.op, closure) if closure > 0 else None

    def _end_coefficients(self, theta):
        """(alpha (e), per-table coefficients (e x tables)) of the end rows."""
        x, u, g, h = self.state_end
        alpha, beta, gamma = self.row_fn(x, u, g, h, self.values, self.extra, theta)
        k = self.dom.k
        return alpha, np.concatenate([beta, gamma.reshape(len(alpha), k * k)], axis=1)

    def _interior(self, dtype=np.float64):
        A = self.c0[:, None] * self.V
        for j, T in enumerate(self.tables):
            A = A + self.coef[:, j][:, None] * T
        return A.astype(dtype, copy=False)

    def _end_rows(self, alpha, coefs, dtype=np.float64):
        rows = alpha[:, None] * self.V[self.ends]
        for j, T in enumerate(self.tables):
            rows = rows + coefs[:, j][:, None] * T[self.ends]
        return rows.astype(dtype, copy=False)

    def linear(self):
        """(A, B): T(theta) ~ A + theta B, with the end rows linearised about
        theta = 0 (exact for first-order rows)."""
        A = self._interior()
        B = self.V.copy()
        if len(self.ends):
            a0, c0 = self._end_coefficients(0.0)
            h = 1e-4
            ap, cp = self._end_coefficients(h)
            am, cm = self._end_coefficients(-h)
            A[self.ends] = self._end_rows(a0, c0)
            B[self.ends] = self._end_rows((ap - am) / (2 * h), (cp - cm) / (2 * h))
        return A, B

    def matrix(self, theta):
        T = self._interior(np.result_type(theta, 1.0)) + theta * self.V
        if len(self.ends):
            T[self.ends] = self._end_rows(*self._end_coefficients(theta), T.dtype)
        return T

    def derivative(self, theta):
        Tp = self.V.astype(np.result_type(theta, 1.0), copy=True)
        if len(self.ends):
            h = 1e-5 * max(1.0, abs(theta))
            ap, cp = self._end_coefficients(theta + h)
            am, cm = self._end_coefficients(theta - h)
            Tp[self.ends] = self._end_rows((ap - am) / (2 * h), (cp - cm) / (2 * h), Tp.dtype)
        return Tp

    def residual(self, theta, x):
        """T(theta) x, summed in extended precision."""
        cplx = np.iscomplexobj(x) or np.iscomplexobj(theta)
        xl = x.astype(np.clongdouble if cplx else _LD)
        th = _LD(np.real(theta)) + (1j * _LD(np.imag(theta)) if cplx else 0)
        vx = self.V.astype(_LD) @ xl
        r = (self.c0.astype(_LD) + th) * vx
        for j, T in enumerate(self.tables):
            r = r + self.coef[:, j].astype(_LD) * (T.astype(_LD) @ xl)
        if len(self.ends):
            alpha, coefs = self._end_coefficients(theta)
            e = self.ends
            re = np.asarray(alpha).astype(r.dtype) * vx[e]
            for j, T in enumerate(self.tables):
                re = re + np.asarray(coefs[:, j]).astype(r.dtype) * (T[e].astype(_LD) @ xl)
            r[e] = re
        return r

    def refine(self, theta, limit=1e-3, iterations=8):
        """Newton on the eigenvalue nearest theta; theta unchanged if it does not
        settle or moves by more than limit."""
        n = self.V.shape[0]
        theta0 = theta
        for _ in range(iterations):
            T = self.matrix(theta)
            with warnings.catch_warnings():
                warnings.simplefilter("error", scipy.linalg.LinAlgWarning)
                try:
                    lu = scipy.linalg.lu_factor(T, check_finite=False)
                except scipy.linalg.LinAlgWarning:
                    return theta  # exactly singular: theta is an eigenvalue
                except (ValueError, np.linalg.LinAlgError):
                    return theta0
            Tp = self.derivative(theta)
            x = np.ones(n, dtype=T.dtype)
            y = np.ones(n, dtype=T.dtype)
            for _ in range(2):
                x = scipy.linalg.lu_solve(lu, Tp @ x, check_finite=False)
                x /= np.linalg.norm(x)
                y = scipy.linalg.lu_solve(lu, Tp.T @ y, trans=1, check_finite=False)
                y /= np.linalg.norm(y)
            if not (np.all(np.isfinite(x)) and np.all(np.isfinite(y))):
                return theta0
            r = self.residual(theta, x)
            num = complex(np.sum(y.astype(r.dtype) * r))
            den = complex(y @ (Tp @ x))
            step = num / den
            if not np.isfinite(step):
                return theta0
            theta = theta - (step if np.iscomplexobj(theta) else step.real)
            if abs(step) <= 1e-15 * max(1.0, abs(theta)):
                break
        if not abs(theta - theta0) <= limit:
            return theta0  # wandered off to another eigenvalue
        return theta


def _sorted(theta):
    """Finite values, largest real part first; real if none has an imaginary part."""
    theta = theta[np.isfinite(theta)]
    theta = theta[np.argsort(-theta.real, kind="stable")]
    return theta.real.copy() if np.iscomplexobj(theta) and not np.any(theta.imag) else theta


def eigenvalues(dom: Domain, coeffs, values, closure: int, sector=None, count: int = 6,
                refine: int | None = None) -> np.ndarray:
    """The eigenvalues theta, largest real part first: all of them for one
    invariant (the first `refine`, default count, refined; theta = a set exactly),
    the leading `count` for several."""
    pencil = Pencil(dom, coeffs, values, closure, sector)
    A, B = pencil.linear()
    refine = count if refine is None else refine
    with one_blas_thread():
        if dom.k == 1:
            theta = _sorted(-scipy.linalg.eig(A, B, right=False))
        else:
            theta = _sorted(_arnoldi(A, B, pencil.a, count))
            # degenerate pairs (n1 = n2) come out split by rounding into the plane
            tiny = np.abs(theta.imag) <= 1e-9 * np.maximum(1.0, np.abs(theta))
            if np.all(tiny):
                theta = theta.real.copy()
            if sector in (None, 0):
                theta[np.abs(theta - pencil.a) < 1e-8 * abs(pencil.a)] = pencil.a
            return _sorted(theta)
        if not refine:
            return theta
        theta = theta.copy()
        done = 0
        for i in range(len(theta)):
            if done >= refine:
                break
            if sector in (None, 0) and abs(theta[i] - pencil.a) < 1e-8 * abs(pencil.a):
                theta[i] = pencil.a  # the constant shift, exact
                continue
            t = theta[i]
            others = np.delete(theta, i)
            limit = 0.4 * float(np.min(np.abs(others - t))) if len(others) else 1.0
            if abs(t.imag) <= 1e-12 * max(1.0, abs(t)):
                theta[i] = pencil.refine(float(t.real), limit)
            else:
                theta[i] = pencil.refine(complex(t), limit)
            done += 1
    return _sorted(theta)


def _arnoldi(A, B, top: float, count: int) -> np.ndarray:
    """The eigenvalues of A c = -theta B c nearest a shift above `top` (the
    largest, for a spectrum below it): shift-and-invert Arnoldi."""
    from scipy.sparse.linalg import LinearOperator, eigs
    n = A.shape[0]
    want = min(n - 2, count + 4)
    if n <= 200 or want < 1:
        return -scipy.linalg.eig(A, B, right=False)
    sigma = top + 1.0
    # (A + sigma B) c = (sigma - theta) B c
    lu = scipy.linalg.lu_factor(A + sigma * B, check_finite=False)
    op = LinearOperator((n, n), matvec=lambda v: scipy.linalg.lu_solve(
        lu, B @ v, check_finite=False), dtype=np.float64)
    mu = eigs(op, k=want, which="LM", return_eigenvectors=False, tol=1e-14,
              ncv=min(n, max(2 * want + 1, 40)))
    return sigma - 1.0 / mu


def leading(sol: "fpm.Solution", values, closure: int, count: int = 6) -> np.ndarray:
    """The leading sector-0 eigenvalues of a solution (its first `count`, refined)."""
    if not sol.ok:
        return np.full(count, np.nan)
    theta = eigenvalues(sol.domain, sol.coeffs, values, closure, None, count=count,
                        refine=min(count, 4))
    return theta[:count]


# --- with errors ---------------------------------------------------------------------------------

@dataclass(frozen=True)
class Spectrum:
    """The n largest eigenvalues of sector l, sorted descending, with errors.

    theta: the eigenvalues (complex only if some are). error: for each, the
    largest change between the domain it was computed on and the checks (a
    larger basis, a larger domain). reliable: error <= tol. R: the domain they
    were computed on (enlarged from the fixed point's when errors asked for it).
    """

    theta: np.ndarray
    error: np.ndarray
    reliable: np.ndarray
    l: int
    tol: float
    R: float
    degree: int
    params: dict = field(default_factory=dict)

    def __len__(self):
        return len(self.theta)

    def __iter__(self):
        return iter(self.theta)

    def __getitem__(self, i):
        return self.theta[i]

    def as_rows(self) -> list[dict]:
        """One plain dict per eigenvalue: l, index, theta, error, reliable."""
        return [dict(l=int(self.l), index=i, theta=complex(t) if np.iscomplexobj(self.theta)
                     else float(t), error=float(e), reliable=bool(r))
                for i, (t, e, r) in enumerate(zip(self.theta, self.error, self.reliable))]

    def __repr__(self):
        items = ", ".join(f"{t.real:.12g}" + (f"{t.imag:+.3g}j" if np.iscomplexobj(self.theta)
                                              and t.imag else "") + f" ± {e:.1e}"
                          + ("" if r else " (unreliable)")
                          for t, e, r in zip(self.theta, self.error, self.reliable))
        return f"Spectrum(l={self.l}: {items})"


def _match(main, other):
    """For each entry of main, the distance to the nearest entry of other."""
    if len(other) == 0:
        return np.full(len(main), np.inf)
    return np.array([float(np.min(np.abs(other - t))) for t in main])


def _level(fp, sols, values, closure, l, n):
    """theta (n) and errors on one set of solutions (main first)."""
    sector = None if fp.model.sectors is None else l
    count = n + EXTRA
    th = []
    memo = fp._cache.setdefault("eigenvalues", {}) if fp.model.k > 1 else {}
    for s in sols:
        if not s.ok:
            th.append(np.full(0, np.nan))
            continue
        key = (s.R, s.degree, sector, count)
        if key not in memo:
            memo[key] = eigenvalues(s.domain, s.coeffs, values, closure, sector, count=count,
                                    refine=count)
        th.append(memo[key])
    main = th[0][:count]
    err = np.zeros(len(main))
    for other in th[1:]:
        err = np.maximum(err, _match(main, other[:count + 2]))
    err[~np.isfinite(main)] = np.inf
    if len(th) > 1 and any(len(o) for o in th[1:]):
        # a value no check comes near is a mode of one discretisation only: left out
        keep = err <= SPURIOUS * np.maximum(1.0, np.abs(main))
        if np.count_nonzero(keep) >= min(n, len(main)):
            main, err = main[keep], err[keep]
    main, err = main[:n], err[:n]
    if len(main) < n:
        main = np.concatenate([main, np.full(n - len(main), np.nan)])
        err = np.concatenate([err, np.full(n - len(err), np.inf)])
    return main, err


def spectrum(fp, n: int = 5, l: int = 0, tol: float = 1e-8) -> Spectrum:
    """``FixedPoint.spectrum``."""
    model = fp.model
    if isinstance(n, bool) or not isinstance(n, (int, np.integer)) or n < 1:
        raise ValueError(f"n must be a positive integer, got {n!r}")
    if isinstance(l, bool) or not isinstance(l, (int, np.integer)) or l < 0:
        raise ValueError(f"l must be a non-negative integer, got {l!r}")
    if model.sectors is None and l != 0:
        raise ValueError(f"l must be 0: the model {model.name!r} has no symmetry sectors")
    if not (isinstance(tol, (int, float)) and tol > 0):
        raise ValueError(f"tol must be a positive number, got {tol!r}")
    if not np.all(np.isfinite(fp.coeffs)):
        raise ValueError("the fixed point did not converge: it has no spectrum")
    values = fp.params
    if model.k > 1 and not fp._checks and n <= len(fp.theta):
        # a point built exactly from one-invariant ones (``lpa_host.coupled``): its
        # eigenvalues and errors are theirs
        theta = np.asarray(fp.theta)[:n]
        err = np.array([fp.errors.get(f"theta_{i}", math.inf) for i in range(n)])
        return Spectrum(theta, err, err <= tol, int(l), float(tol), fp.R, fp.degree,
                        dict(values))
    key = ("spectrum", int(n), int(l))
    cached = fp._cache.get(key)
    if cached is not None and np.all(cached.error[cached.reliable] <= tol) and (
            cached.tol <= tol or np.all(cached.reliable)):
        return Spectrum(cached.theta, cached.error, cached.error <= tol, l, tol, cached.R,
                        cached.degree, dict(values))
    levels = fp._cache.setdefault("levels", [fp.solutions()])
    best = None
    # on the square the errors come from the basis, which a longer domain spreads thinner
    for j in range(ENLARGE_MAX + 1 if model.k == 1 else 1):
        if j >= len(levels):
            nxt = _enlarged(fp, levels[-1][0], values, j)
            if nxt is None:
                break
            levels.append(nxt)
        theta, err = _level(fp, levels[j], values, fp.closure, l, n)
        if best is None or np.nanmax(err) < np.nanmax(best[1]):
            best = (theta, err, levels[j][0])
        if np.all(err <= tol):
            break
    theta, err, sol = best
    if np.iscomplexobj(theta) and not np.any(theta.imag[np.isfinite(theta)]):
        theta = theta.real.copy()
    out = Spectrum(theta, err, err <= tol, int(l), float(tol), sol.R, sol.degree, dict(values))
    fp._cache[key] = out
    if not np.all(out.reliable):
        bad = ", ".join(f"theta_{i} = {theta[i].real:.10g} (error {err[i]:.1e})"
                        for i in np.nonzero(~out.reliable)[0])
        warnings.warn(f"spectrum(l={l}): {bad} above tol = {tol:g}: flagged unreliable",
                      RuntimeWarning, stacklevel=3)
    return out


def _enlarged(fp, sol, values, j):
    """The fixed point solved on a domain reaching ENLARGE_STEP further in S, with
    its checks; None if that fails."""
    model = fp.model
    target = fpm.DAMPING + ENLARGE_STEP * j
    S, rate_end, _, _ = fpm.damping(sol, values)
    R = sol.R + max(target - S, ENLARGE_STEP) / max(rate_end, 1e-12)
    fn = fpm.continued(sol.domain, sol.coeffs)(model.power(**values))
    degree = int(min(fpm.POLICY[model.k].max_degree, sol.degree * math.sqrt(R / sol.R) + 1))
    main = fpm.fit(model, values, fn, R, degree, fp.closure, target=target)
    if main is None:
        return None
    return [main] + fpm.checks(main, values, fp.closure)
