"""The O(N) collocation problem on the hand-written routines (reference_on), for
the solver benchmarks.

A ``FixedPointProblem`` holds one Chebyshev basis on [0, R], the collocation
nodes, and one solver. Coefficient vectors are the solver's: u(rho) =
sum_b c_b T_b(2 rho / R - 1).
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np
from numpy.polynomial import chebyshev as cheb

import _core_cpp
import _lpa_cpp

import reference_on as flow
from lpa_host.fixed_point import first_minimum


def lobatto_nodes(R: float, n: int) -> np.ndarray:
    """n Chebyshev-Gauss-Lobatto nodes on [0, R], both ends exactly included."""
    x = 0.5 * R * (1.0 - np.cos(np.pi * np.arange(n) / (n - 1)))
    x[0], x[-1] = 0.0, R  # the closure test compares rho with R
    return x


def chebyshev_evaluate(coeffs, R: float, rho):
    """u, u', u'' at the points rho of u = sum_b c_b T_b(2 rho / R - 1)."""
    c = np.asarray(coeffs, dtype=np.float64)
    x = 2.0 * np.atleast_1d(np.asarray(rho, dtype=np.float64)) / R - 1.0
    c1 = cheb.chebder(c) if len(c) > 1 else np.zeros(1)
    c2 = cheb.chebder(c1) if len(c1) > 1 else np.zeros(1)
    s = 2.0 / R
    return cheb.chebval(x, c), s * cheb.chebval(x, c1), s * s * cheb.chebval(x, c2)


def power(d: float) -> float:
    """Large-field exponent p of u ~ A rho^p."""
    return d / (d - 2.0)


class FixedPointProblem:
    """Collocation problem for one (d, R, degree); N varies through the parameters."""

    def __init__(self, R: float, degree: int, d: float = 3.0, n_nodes: int | None = None,
                 closure: int | None = None):
        self.R = float(R)
        self.d = float(d)
        # order of the row at rho = R (1: power law, 2: first correction), see lpa_host.flow
        self.closure = int(flow.DEFAULT_CLOSURE if closure is None else closure)
        self.degree = int(degree)
        self.ansatz = _core_cpp.ChebyshevAnsatz(1, self.degree, [0.0], [self.R])
        self.n = self.ansatz.n_coeffs
        self.nodes = lobatto_nodes(self.R, n_nodes or self.n)
        self.grid = self.nodes[:, None].copy()
        self.V, d1, d2 = (np.asarray(a) for a in self._basis(self.nodes))
        self.D1, self.D2 = d1, d2
        f, fb, fs = flow.addresses()
        self.solver = _lpa_cpp.LPACollSolver_cpp(self.grid, self.ansatz, f, fb, fs, fs, 1,
                                                 flow.PARAM_DIM)

    def __repr__(self):
        return f"FixedPointProblem(d={self.d:g}, R={self.R:.6g}, degree={self.degree})"

    def params(self, N: float) -> np.ndarray:
        return flow.params(N, self.d, self.R, self.closure)

    # --- the expansion ------------------------------------------------------

    def _basis(self, rho):
        vals, d1, d2 = self.ansatz.evaluate_basis(np.asarray(rho, dtype=np.float64)[:, None])
        return np.asarray(vals), np.asarray(d1[0]), np.asarray(d2[0])

    def evaluate(self, coeffs, rho):
        """u, u', u'' at the points rho (Clenshaw sums of the same expansion)."""
        return chebyshev_evaluate(coeffs, self.R, rho)

    def interpolate(self, fn) -> np.ndarray:
        """Coefficients of the interpolant of fn(rho) at the collocation nodes."""
        vals = np.asarray(fn(self.nodes), dtype=np.float64)
        if self.V.shape[0] == self.V.shape[1]:
            return np.linalg.solve(self.V, vals)
        return np.linalg.lstsq(self.V, vals, rcond=None)[0]

    def transfer(self, coeffs, source: "FixedPointProblem") -> np.ndarray:
        """Coefficients on this problem's basis of a solution of `source`.

        Beyond the source's domain the potential is continued with its
        large-field power law u(rho) = u(R_s) (rho / R_s)^p."""
        p = power(self.d)
        u_end = source.evaluate(coeffs, source.R)[0][0]

        def fn(rho):
            inside = rho <= source.R
            out = np.empty_like(rho)
            out[inside] = source.evaluate(coeffs, rho[inside])[0]
            out[~inside] = u_end * (rho[~inside] / source.R) ** p
            return out

        return self.interpolate(fn)

    # --- solving ------------------------------------------------------------

    def solve(self, start, N, maxiter=50, tol=1e-11):
        return self.solver.local_optimize(np.asarray(start, dtype=np.float64), maxiter, tol,
                                          self.params(N))

    def polish(self, start, N, steps=2):
        return self.solver.local_optimize_fixed_iterations(
            np.asarray(start, dtype=np.float64), steps, self.params(N))

    def residual(self, coeffs, N):
        """Collocation residual, evaluated on the host (for reports)."""
        c = np.asarray(coeffs)
        return flow.call_flow(self.nodes, self.V @ c, self.D1 @ c, self.D2 @ c, self.params(N))


# --- starts -----------------------------------------------------------------

def start_potentials(N: float, d: float = 3.0):
    """A spread of simple potentials to start Newton from, (label, u(rho)) pairs.

    u'(rho) = lam (rho - k0) + g rho^2 with minima k0 from the symmetric phase
    to deep in the broken one; u(0) then solves the equation at rho = 0,
    -d u(0) + N / (1 + u'(0)) = 0. None of them knows where the fixed points are.
    """
    out = [("constant N/d", lambda r, N=N, d=d: np.full_like(r, N / d))]
    for k0 in (-1.0, 0.5, 1.0, 2.0, 4.0, 8.0):
        for lam, g in ((0.1, 0.0), (0.1, 0.01), (0.5, 0.05)):
            w0 = -lam * k0
            if 1.0 + w0 <= 0.05:
                continue

            def u(r, lam=lam, g=g, k0=k0, w0=w0):
                return N / (d * (1.0 + w0)) + lam * (0.5 * r * r - k0 * r) + g * r**3 / 3.0

            out.append((f"k0={k0:g} lam={lam:g} g={g:g}", u))
    return out


# --- analysis of a solution -------------------------------------------------

@dataclass
class Summary:
    N: float
    w0: float          # u'(0)
    kappa: float       # minimum of u (nan in the symmetric phase)
    min_a: float       # min of 1 + u' on a fine grid
    min_b: float       # min of 1 + u' + 2 rho u'' on a fine grid
    residual: float
    coeffs: np.ndarray

    @property
    def positive(self) -> bool:
        return self.min_a > 0.0 and self.min_b > 0.0


def find_kappa(problem: FixedPointProblem, coeffs, fine: np.ndarray | None = None) -> float:
    """First zero of u' in (0, R) (the minimum of the potential), or nan."""
    if fine is None:
        fine = np.linspace(0.0, problem.R, 2001)
    # flat: the Gaussian fixed point
    return first_minimum(lambda r: problem.evaluate(coeffs, r)[1], fine, flat=1e-8)


def summarize(problem: FixedPointProblem, coeffs, N: float, n_fine: int = 4001) -> Summary:
    """u'(0), kappa and the positivity of both propagator denominators on a
    fine grid (a spurious collocation solution can cross a pole between nodes)."""
    c = np.array(coeffs, dtype=np.float64)
    fine = np.linspace(0.0, problem.R, n_fine)
    _, w, h = problem.evaluate(c, fine)
    a = 1.0 + w
    b = 1.0 + w + 2.0 * fine * h
    res = float(np.linalg.norm(problem.residual(c, N)))
    return Summary(N=N, w0=float(w[0]), kappa=find_kappa(problem, c, fine),
                   min_a=float(a.min()), min_b=float(b.min()), residual=res, coeffs=c)


def distinct(summaries, atol=1e-6):
    """Group solutions that are the same function (by u' on the nodes)."""
    groups = []
    for s in summaries:
        for g in groups:
            if abs(g[0].w0 - s.w0) <= atol * (1 + abs(s.w0)) and np.allclose(
                    g[0].coeffs, s.coeffs, rtol=1e-5, atol=1e-7):
                g.append(s)
                break
        else:
            groups.append([s])
    return groups
