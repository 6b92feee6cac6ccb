"""Where a potential lives: a domain, its basis, its collocation nodes and its solver.

One invariant: [0, R] (rho-like, the equation degenerates at 0) or [-R, R]
(a field phi); its far end is |x| = R. Two invariants (both rho-like): the
square [0, R]^2, whose far end is the pair of edges max(x0, x1) = R. In all
cases the routines use their end rows there (``lpa_host.model``).

The potential is a Chebyshev expansion of total degree `degree` on the box
around the domain (``_core_cpp.ChebyshevAnsatz``). The nodes:

- one invariant: the degree + 1 Chebyshev-Lobatto points, both ends exactly;
- two invariants: the (degree + 1)(degree + 2) / 2 Padua points of the square,
  (cos(j pi / K), cos(l pi / (K + 1))) for j + l even, K = degree, mapped to
  [0, R]^2: unisolvent for total degree K (the collocation system is square)
  and with a slowly growing Lebesgue constant, so that the collocation matrix
  is well conditioned (its condition number stays of order one).

A ``Domain`` is read-only once made, and cached per process (``domain``), so
every part of the package that solves, evaluates or linearises on the same
(model, R, degree) shares one basis, one set of tables and one solver.
"""

from __future__ import annotations

import threading
from collections import OrderedDict

import numpy as np
from numpy.polynomial import chebyshev as cheb

import _core_cpp
import _lpa_cpp

from .model import END_RTOL, Model


def lobatto(lower: float, upper: float, n: int) -> np.ndarray:
    """n Chebyshev-Lobatto points on [lower, upper], both ends exactly."""
    x = lower + 0.5 * (upper - lower) * (1.0 - np.cos(np.pi * np.arange(n) / (n - 1)))
    x[0], x[-1] = lower, upper
    return x


def padua_nodes(R: float, degree: int) -> np.ndarray:
    """The (degree + 1)(degree + 2) / 2 Padua points of [0, R]^2, the edges
    x = 0, R and y = 0, R exactly."""
    K = degree
    j, l = np.meshgrid(np.arange(K + 1), np.arange(K + 2), indexing="ij")
    keep = (j + l) % 2 == 0
    j, l = j[keep], l[keep]

    def mapped(i, n):
        t = 0.5 * R * (1.0 + np.cos(np.pi * i / n))
        t[i == 0] = R
        t[i == n] = 0.0
        return t
    return np.stack([mapped(j, K), mapped(l, K + 1)], axis=1)


class Domain:
    """The discretisation of a model's potential on [0, R] (or [-R, R], or the
    square [0, R]^2) with a basis of total degree `degree`."""

    def __init__(self, model: Model, R: float, degree: int):
        if not (np.isfinite(R) and R > 0):
            raise ValueError(f"R must be a positive number, got {R}")
        if degree < 2:
            raise ValueError(f"degree must be >= 2, got {degree}")
        self.model = model
        self.R = float(R)
        self.degree = int(degree)
        k = self.k = model.k
        if k == 1:
            self.lower = (-self.R if model.two_sided[0] else 0.0,)
            self.upper = (self.R,)
            nodes = lobatto(self.lower[0], self.R, self.degree + 1)[:, None]
        elif k == 2:
            self.lower, self.upper = (0.0, 0.0), (self.R, self.R)
            nodes = padua_nodes(self.R, self.degree)
        else:
            raise ValueError(f"domains of {k} invariants are not supported (1 or 2)")
        self.nodes = np.ascontiguousarray(nodes)
        self.ansatz = _core_cpp.ChebyshevAnsatz(k, self.degree, list(self.lower),
                                               list(self.upper))
        self.n = self.ansatz.n_coeffs
        self.exponents = np.array(self.ansatz.exponents, dtype=np.int64)
        vals, d1, d2 = self.ansatz.evaluate_basis(self.nodes)
        self.V = np.asarray(vals)
        self.D = [np.asarray(a) for a in d1]
        self.H = [[np.asarray(d2[i * k + j]) for j in range(k)] for i in range(k)]
        self.end = np.abs(self.norm(self.nodes) - self.R) <= END_RTOL * max(1.0, self.R)
        self._solver = None
        self._lock = threading.Lock()

    def norm(self, x) -> np.ndarray:
        """The norm whose level R is the far end: |x| (one invariant), max |x_i|
        (the square)."""
        x = np.abs(np.asarray(x, dtype=np.float64).reshape(-1, self.k))
        return x.sum(axis=1) if self.k == 1 else x.max(axis=1)

    def __repr__(self):
        return f"Domain({self.model.name}, R={self.R:.6g}, degree={self.degree})"

    # --- the solver -------------------------------------------------------------------

    @property
    def solver(self):
        with self._lock:
            if self._solver is None:
                f, fb, fs, fp = self.model.routines.addresses()
                self._solver = _lpa_cpp.LPACollSolver_cpp(
                    self.nodes, self.ansatz, f, fb, fs, fp, self.k,
                    self.model.routines.param_dim)
        return self._solver

    def flow_params(self, values, closure: int) -> np.ndarray:
        """[params..., R, closure] for the routines."""
        return np.concatenate([self.model.param_vector(values), [self.R, float(closure)]])

    # --- the expansion ----------------------------------------------------------------

    def _t(self, x):
        lo, hi = np.array(self.lower), np.array(self.upper)
        return (2.0 * x - lo - hi) / (hi - lo), 2.0 / (hi - lo)

    def coefficient_grid(self, coeffs) -> np.ndarray:
        """The coefficients as a (degree + 1)^k array C[e_1, ..., e_k]."""
        c = np.asarray(coeffs, dtype=np.float64)
        if self.k == 1:
            return c
        C = np.zeros((self.degree + 1,) * self.k)
        C[tuple(self.exponents.T)] = c
        return C

    def evaluate(self, coeffs, x, derivative: int = 0) -> np.ndarray:
        """u (derivative 0, shape (m,)), its gradient (1: (m, k)) or Hessian
        (2: (m, k, k)) at the points x (m x k, or m values for one invariant);
        for one invariant the gradient and Hessian come as (m,) too."""
        if derivative not in (0, 1, 2):
            raise ValueError(f"derivative must be 0, 1 or 2, got {derivative!r}")
        k = self.k
        x = np.asarray(x, dtype=np.float64)
        flat = x.reshape(-1, k)
        t, s = self._t(flat)
        C = self.coefficient_grid(coeffs)
        if k == 1:
            c = C
            for _ in range(derivative):
                c = cheb.chebder(c) * s[0] if len(c) > 1 else np.zeros(1)
            out = cheb.chebval(t[:, 0], c)
            return out.reshape(x.shape[:-1] if x.ndim == 2 else x.shape)
        m = flat.shape[0]

        def val(Cx):
            return cheb.chebval2d(t[:, 0], t[:, 1], Cx)

        def der(Cx, axis):
            if Cx.shape[axis] < 2:
                return np.zeros_like(Cx)
            dC = cheb.chebder(Cx, axis=axis) * s[axis]
            pad = [(0, 0), (0, 0)]
            pad[axis] = (0, 1)
            return np.pad(dC, pad)

        if derivative == 0:
            return val(C)
        if derivative == 1:
            return np.stack([val(der(C, a)) for a in range(k)], axis=1)
        out = np.empty((m, k, k))
        for a in range(k):
            Ca = der(C, a)
            for b in range(a, k):
                out[:, a, b] = out[:, b, a] = val(der(Ca, b))
        return out

    def state(self, coeffs):
        """(u, gradient, Hessian) at the nodes from the tables: (m,), (m, k), (m, k, k)."""
        c = np.asarray(coeffs, dtype=np.float64)
        u = self.V @ c
        g = np.stack([D @ c for D in self.D], axis=1)
        h = np.stack([np.stack([Hij @ c for Hij in row], axis=1) for row in self.H], axis=1)
        return u, g, h

    def interpolate(self, values) -> np.ndarray:
        """Coefficients of the interpolant of `values` at the nodes (a function of
        the nodes, or the values themselves)."""
        v = values(self.nodes if self.k > 1 else self.nodes[:, 0]) if callable(values) \
            else values
        v = np.asarray(v, dtype=np.float64).reshape(-1)
        return np.linalg.solve(self.V, v)

    def jacobian(self, coeffs, values, closure: int) -> np.ndarray:
        """d(residual)/d(coeffs) from the compiled sensitivities and the tables
        (the mixed second derivatives come split evenly over (i, j) and (j, i),
        whose tables are the same)."""
        u, g, h = self.state(coeffs)
        sv, sg, sh = self.model.routines.sens(self.nodes, u, g, h,
                                              self.flow_params(values, closure))
        J = sv[:, None] * self.V
        for i in range(self.k):
            J += sg[:, i, None] * self.D[i]
            for j in range(self.k):
                J += sh[:, i, j, None] * self.H[i][j]
        return J

    def residual(self, coeffs, values, closure: int) -> np.ndarray:
        """The collocation residual through the compiled flow routine."""
        u, g, h = self.state(coeffs)
        return self.model.routines.flow(self.nodes, u, g, h, self.flow_params(values, closure))


# --- the cache -----------------------------------------------------------------------------

_CACHE: OrderedDict = OrderedDict()
_CACHE_LOCK = threading.Lock()
_CACHE_SIZE = 48


def domain(model: Model, R: float, degree: int) -> Domain:
    """The Domain of (model, R, degree), made once per process."""
    key = (model, float(R), int(degree))
    with _CACHE_LOCK:
        dom = _CACHE.get(key)
        if dom is not None:
            _CACHE.move_to_end(key)
            return dom
    dom = Domain(model, R, degree)
    with _CACHE_LOCK:
        _CACHE[key] = dom
        while len(_CACHE) > _CACHE_SIZE:
            _CACHE.popitem(last=False)
    return dom
