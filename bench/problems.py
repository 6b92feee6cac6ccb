"""The benchmark problems with what each solver needs: the compiled routines
for _lpa_cpp, a numpy residual and analytic Jacobian for the peers, and two
probe routines that isolate parts of a Newton iteration.

O(N) fixed point (N = 1, d = 3, Litim regulator) on [0, R], R = 4.5 * 1.8149:

    0 = -d u + (d - 2) rho u' + (N - 1) / (1 + u') + 1 / (1 + u' + 2 rho u'')

with 2 rho u'' replaced by 2 (d / (d - 2) - 1) u' at rho = R. Chebyshev basis
of degree n - 1 on [0, R], n (square) or 2n (tall) Chebyshev-Lobatto points.
"""

from __future__ import annotations

import os
import sys

import numpy as np
from numba import carray, cfunc

HERE = os.path.dirname(os.path.abspath(__file__))

import _lpa_cpp  # noqa: E402
import reference_problem as fp  # noqa: E402
import reference_on as flow  # noqa: E402

N_FIELD = 1.0
DIM = 3.0
R = 4.5 * 1.8149
START = "k0=2 lam=0.1 g=0.01"  # one of the example's start potentials


class ONProblem:
    """One size of the O(N) problem: solvers for each Jacobian path, the
    common start and the numpy residual and Jacobian."""

    def __init__(self, n: int, tall: bool = False):
        self.n = n
        self.m = 2 * n if tall else n
        self.tall = tall
        self.fp = fp.FixedPointProblem(R, n - 1, DIM, self.m if tall else None)
        self.params = self.fp.params(N_FIELD)
        self.start = self.fp.interpolate(dict(fp.start_potentials(N_FIELD, DIM))[START])
        self.V, self.D1, self.D2 = (np.ascontiguousarray(a) for a in
                                    (self.fp.V, self.fp.D1, self.fp.D2))
        rho = self.fp.nodes
        self.rho = rho
        self.closure = np.abs(rho - R) <= flow.CLOSURE_RTOL * max(1.0, R)
        # d(den)/du' at the closure point and the factor of u'' elsewhere
        self.c_closure = 1.0 + 2.0 * (2.0 / (DIM - 2.0))
        self.two_rho = np.where(self.closure, 0.0, 2.0 * rho)
        self.g_factor = np.where(self.closure, self.c_closure, 1.0)
        f, fb, fs = flow.addresses()
        grid, ans = self.fp.grid, self.fp.ansatz
        self.solvers = {
            "chain rule": self.fp.solver,
            "per-coefficient": _lpa_cpp.LPACollSolver_cpp(grid, ans, f, 0, 0, 0, 1,
                                                          flow.PARAM_DIM),
            "batched": _lpa_cpp.LPACollSolver_cpp(grid, ans, f, fb, 0, 0, 1, flow.PARAM_DIM),
        }

    def batched_applies(self) -> bool:
        # the solver's own rule: multithread, inv_dim 1, n >= 64, 2 m n <= 500000
        return self.n >= 64 and 2 * self.m * self.n <= 500_000

    # --- numpy versions for the peers ------------------------------------------

    def residual(self, c):
        u = self.V @ c
        g = self.D1 @ c
        h = self.D2 @ c
        den = 1.0 + self.g_factor * g + self.two_rho * h
        return -DIM * u + (DIM - 2.0) * self.rho * g + (N_FIELD - 1.0) / (1.0 + g) + 1.0 / den

    def jacobian(self, c):
        g = self.D1 @ c
        h = self.D2 @ c
        a = 1.0 + g
        den = 1.0 + self.g_factor * g + self.two_rho * h
        inv2 = 1.0 / (den * den)
        sg = (DIM - 2.0) * self.rho - (N_FIELD - 1.0) / (a * a) - self.g_factor * inv2
        sh = -self.two_rho * inv2
        return -DIM * self.V + sg[:, None] * self.D1 + sh[:, None] * self.D2

    def check_numpy_versions(self):
        """The numpy residual against the compiled routine; the Jacobian
        against complex-step derivatives of the numpy residual, exact to
        rounding (central differences are not, at these degrees)."""
        c = self.start
        r_np = self.residual(c)
        r_cf = self.fp.residual(c, N_FIELD)
        scale = 1.0 + np.abs(r_cf).max()
        assert np.abs(r_np - r_cf).max() <= 1e-12 * scale, "numpy residual != flow routine"
        J = self.jacobian(c)
        for j in np.linspace(0, self.n - 1, min(self.n, 8)).astype(int):
            e = np.zeros(self.n, dtype=complex)
            e[j] = 1e-30j
            col = self.residual(c + e).imag / 1e-30
            assert np.abs(col - J[:, j]).max() <= 1e-12 * (1.0 + np.abs(J[:, j]).max()), \
                f"numpy Jacobian column {j}"


# --- probes -----------------------------------------------------------------
#
# The O(N) residual at every point, multiplied by zero and shifted by one: the
# same per-point work as flow_cfunc, but a residual that does not depend on the
# coefficients. Its Jacobian is exactly zero, so the Newton step's
# factorisation stops at its first pivot search (O(n^2)) and a whole iteration
# costs the residual and the Jacobian alone. With probe_sens_cfunc (zero
# sensitivities) it isolates the chain-rule Jacobian, without it the
# finite-difference Jacobian.

@cfunc(flow.FLOW_SIG, nopython=True, cache=True, error_model="numpy")
def probe_flow_cfunc(points, vals, grads, hess, flow_params, out, n_points, inv_dim):
    n = np.int64(n_points)
    prm = carray(flow_params, (3,))
    N = prm[0]
    d = prm[1]
    R_ = prm[2]
    x = carray(points, (n,))
    v = carray(vals, (n,))
    gr = carray(grads, (n,))
    he = carray(hess, (n,))
    o = carray(out, (n,))
    tol = 1e-10 * max(1.0, abs(R_))
    for p in range(n):
        rho = x[p]
        g = gr[p]
        if abs(rho - R_) <= tol:
            den = 1.0 + g + 2.0 * (2.0 / (d - 2.0)) * g
        else:
            den = 1.0 + g + 2.0 * rho * he[p]
        f = -d * v[p] + (d - 2.0) * rho * g + (N - 1.0) / (1.0 + g) + 1.0 / den
        o[p] = 1.0 + 0.0 * f


@cfunc(flow.SENS_SIG, nopython=True, cache=True, error_model="numpy")
def probe_sens_cfunc(points, vals, grads, hess, flow_params, sens_vals, sens_grads, sens_hess,
                     n_points):
    n = np.int64(n_points)
    sv = carray(sens_vals, (n,))
    sg = carray(sens_grads, (n,))
    sh = carray(sens_hess, (n,))
    for p in range(n):
        sv[p] = 0.0
        sg[p] = 0.0
        sh[p] = 0.0


def probe_solver(problem: ONProblem, chain_rule: bool):
    fs = probe_sens_cfunc.address if chain_rule else 0
    return _lpa_cpp.LPACollSolver_cpp(problem.fp.grid, problem.fp.ansatz,
                                      probe_flow_cfunc.address, 0, fs, 0, 1, flow.PARAM_DIM)
