"""A local equation in two invariants with a known solution, for the benchmarks.

On the square [-1, 1]^2, for u(x, y),

    F[u] = u + a (x u_x + y u_y) + b (u_xx + u_yy) + c u_xy + k u^3 - s(x, y) = 0

with s chosen so that the product u*(x, y) = P(x) Q(y) solves it exactly,

    P(x) = 1 + x/2 - 3 x^2/10 + x^3/10,    Q(y) = 4/5 - 2 y/5 + y^2/4.

u* has total degree 5, so it lies in the span of the Chebyshev product basis of
total degree 9 (55 functions) and is an exact solution of the collocation
equations, whichever points are used. The linear part maps polynomials of
total degree <= 9 into themselves and is triangular in the degree with
diagonal 1 + a * degree, so at the Padua points (55 points, unisolvent for
that space) the collocation Jacobian is invertible near u* for small b, c and
k: u* is an isolated solution (condition number of the Jacobian there about
1e3). The cubic term allows other solutions far from it.

flow_params = [k, a, b, c]. The routines follow the calling convention of
``_lpa_cpp.LPACollSolver_cpp`` with inv_dim = 2: grads[2p + i] = du/dx_i,
hess[4p + 2i + j] = d2u/(dx_i dx_j), points[2p + i] = x_i. numpy versions of
the same residual and Jacobian (from the basis tables) serve the peers.
"""

from __future__ import annotations

import numpy as np
from numba import carray, cfunc, njit, types

import _core_cpp

PARAM_DIM = 4
DEGREE = 9
PARAMS = np.array([0.5, 0.25, -0.05, 0.03])  # k, a, b, c

_dp = types.CPointer(types.float64)
_i32 = types.int32
FLOW_SIG = types.void(_dp, _dp, _dp, _dp, _dp, _dp, _i32, _i32)
SENS_SIG = types.void(_dp, _dp, _dp, _dp, _dp, _dp, _dp, _dp, _i32)
_OPTS = dict(nopython=True, cache=True, error_model="numpy")


@njit(inline="always", error_model="numpy")
def _exact(x, y):
    """u*, its gradient and its Hessian entries (xx, xy, yy) at (x, y)."""
    p = 1.0 + 0.5 * x - 0.3 * x * x + 0.1 * x * x * x
    dp = 0.5 - 0.6 * x + 0.3 * x * x
    d2p = -0.6 + 0.6 * x
    q = 0.8 - 0.4 * y + 0.25 * y * y
    dq = -0.4 + 0.5 * y
    d2q = 0.5
    return p * q, dp * q, p * dq, d2p * q, dp * dq, p * d2q


@njit(inline="always", error_model="numpy")
def _operator(x, y, u, ux, uy, uxx, uxy, uyy, k, a, b, c):
    return u + a * (x * ux + y * uy) + b * (uxx + uyy) + c * uxy + k * u * u * u


@njit(inline="always", error_model="numpy")
def _source(x, y, k, a, b, c):
    u, ux, uy, uxx, uxy, uyy = _exact(x, y)
    return _operator(x, y, u, ux, uy, uxx, uxy, uyy, k, a, b, c)


@cfunc(FLOW_SIG, **_OPTS)
def flow_cfunc(points, vals, grads, hess, flow_params, out, n_points, inv_dim):
    n = np.int64(n_points)
    o = carray(out, (n,))
    if np.int64(inv_dim) != 2:
        for p in range(n):
            o[p] = np.nan
        return
    prm = carray(flow_params, (PARAM_DIM,))
    k, a, b, c = prm[0], prm[1], prm[2], prm[3]
    xy = carray(points, (2 * n,))
    v = carray(vals, (n,))
    g = carray(grads, (2 * n,))
    h = carray(hess, (4 * n,))
    for p in range(n):
        x = xy[2 * p]
        y = xy[2 * p + 1]
        o[p] = (_operator(x, y, v[p], g[2 * p], g[2 * p + 1], h[4 * p], h[4 * p + 1],
                          h[4 * p + 3], k, a, b, c) - _source(x, y, k, a, b, c))


@cfunc(SENS_SIG, **_OPTS)
def sens_cfunc(points, vals, grads, hess, flow_params, sens_vals, sens_grads, sens_hess,
               n_points):
    n = np.int64(n_points)
    prm = carray(flow_params, (PARAM_DIM,))
    k, a, b, c = prm[0], prm[1], prm[2], prm[3]
    xy = carray(points, (2 * n,))
    v = carray(vals, (n,))
    sv = carray(sens_vals, (n,))
    sg = carray(sens_grads, (2 * n,))
    sh = carray(sens_hess, (4 * n,))
    for p in range(n):
        sv[p] = 1.0 + 3.0 * k * v[p] * v[p]
        sg[2 * p] = a * xy[2 * p]
        sg[2 * p + 1] = a * xy[2 * p + 1]
        sh[4 * p] = b
        sh[4 * p + 1] = c
        sh[4 * p + 2] = 0.0
        sh[4 * p + 3] = b


def padua_points(degree: int) -> np.ndarray:
    """The (degree + 1)(degree + 2)/2 Padua points of [-1, 1]^2, one per row."""
    pts = [(np.cos(np.pi * j / degree), np.cos(np.pi * m / (degree + 1)))
           for j in range(degree + 1) for m in range(degree + 2) if (j + m) % 2 == 0]
    return np.array(pts, dtype=np.float64)


def exact_solution(xy: np.ndarray) -> np.ndarray:
    x, y = xy[:, 0], xy[:, 1]
    return (1.0 + 0.5 * x - 0.3 * x**2 + 0.1 * x**3) * (0.8 - 0.4 * y + 0.25 * y**2)


class TwoInvariantProblem:
    """Basis, points, tables and the numpy residual and Jacobian of F."""

    def __init__(self, degree: int = DEGREE):
        self.ansatz = _core_cpp.ChebyshevAnsatz(2, degree, [-1.0, -1.0], [1.0, 1.0])
        self.n = self.ansatz.n_coeffs
        self.grid = padua_points(degree)
        self.params = PARAMS.copy()
        vals, first, second = self.ansatz.evaluate_basis(self.grid)
        self.V = np.asarray(vals)
        self.Dx, self.Dy = (np.asarray(t) for t in first)
        self.Dxx, self.Dxy, self.Dyy = (np.asarray(second[i]) for i in (0, 1, 3))
        self.x = self.grid[:, 0].copy()
        self.y = self.grid[:, 1].copy()
        k, a, b, c = self.params
        u, ux, uy = (exact_solution(self.grid), *self._exact_grad())
        uxx, uxy, uyy = self._exact_hess()
        self.source = (u + a * (self.x * ux + self.y * uy) + b * (uxx + uyy) + c * uxy
                       + k * u**3)
        # coefficients of u*: interpolation at the (unisolvent) points
        self.exact_coeffs = np.linalg.solve(self.V, u)
        self.start = np.zeros(self.n)

    def _exact_grad(self):
        x, y = self.x, self.y
        p = 1.0 + 0.5 * x - 0.3 * x**2 + 0.1 * x**3
        q = 0.8 - 0.4 * y + 0.25 * y**2
        return (0.5 - 0.6 * x + 0.3 * x**2) * q, p * (-0.4 + 0.5 * y)

    def _exact_hess(self):
        x, y = self.x, self.y
        p = 1.0 + 0.5 * x - 0.3 * x**2 + 0.1 * x**3
        q = 0.8 - 0.4 * y + 0.25 * y**2
        return (-0.6 + 0.6 * x) * q, (0.5 - 0.6 * x + 0.3 * x**2) * (-0.4 + 0.5 * y), p * 0.5

    def residual(self, c):
        k, a, b, cc = self.params
        u = self.V @ c
        return (u + a * (self.x * (self.Dx @ c) + self.y * (self.Dy @ c))
                + b * (self.Dxx @ c + self.Dyy @ c) + cc * (self.Dxy @ c) + k * u**3
                - self.source)

    def jacobian(self, c):
        k, a, b, cc = self.params
        u = self.V @ c
        return ((1.0 + 3.0 * k * u * u)[:, None] * self.V + (a * self.x)[:, None] * self.Dx
                + (a * self.y)[:, None] * self.Dy + b * (self.Dxx + self.Dyy) + cc * self.Dxy)

    def solver(self, sens=True):
        import _lpa_cpp
        fs = sens_cfunc.address if sens else 0
        return _lpa_cpp.LPACollSolver_cpp(self.grid, self.ansatz, flow_cfunc.address, 0, fs, 0,
                                          2, PARAM_DIM)
