"""Critical exponents from the flow linearised around a fixed point.

Write u = u* + eps e^{-theta t} du. To first order in eps

    -theta du = F'[u*] du
              = -d du + (d - 2) rho du' - (N - 1) du' / a^2 - (du' + 2 rho du'') / b^2,

a = 1 + u*', b = 1 + u*' + 2 rho u*''. With du = sum_b c_b phi_b collocated at
the solver's nodes this becomes the generalised eigenproblem A c = -theta B c,
A_ib = (F'[u*] phi_b)(rho_i), B_ib = phi_b(rho_i). theta > 0 are the relevant
directions; theta = d belongs to a constant shift of u and is exact in any basis.

The row at rho = R. Like the fixed-point equation, the linearised one has a
fast solution at large rho, and the row at R must put the perturbation on its
slow manifold du = m(rho) du'. Where the loop terms have died out the slow
perturbation grows as rho^q, q = (d - theta) / (d - 2), i.e.
2 rho du'' = Q0 du' with Q0 = 2 (q - 1) = 2 (2 - theta) / (d - 2). One order
further (m from the equation with Q0, then 2 rho du'' = 2 rho (1 - m') / m du'):

    Q1(theta) = 2 R [(2 - theta) - 2 (N - 1) a' / a^3 - 2 (1 + Q0) b' / b^3]
                / [(d - 2) R - (N - 1) / a^2 - (1 + Q0) / b^2],

with a' and b' along the fixed point's own slow manifold (lpa_host.flow). The
row at R is then -theta du = -d du + [(d - 2) R - (N - 1) / a^2 - (1 + Q) / b^2] du'
with Q = Q1 (closure order 2) or Q0 (order 1), as the fixed point, which makes the
eigenproblem nonlinear in theta.

How theta is computed. The linear pencil with the row at R linearised in
theta gives all eigenvalues (scipy QZ). Its accuracy is limited by round-off
in the large entries of the second-derivative matrix (about 1e-12 at 60
coefficients, growing with the basis). The leading eigenvalues are then
refined: Newton on y^T T(theta) x = 0 for T(theta) = A(theta) + theta B(theta)
(with the row at R exact in theta), x and y from inverse iteration, the
residual T(theta) x summed in extended precision. That removes the round-off
and the linearisation in theta; the refined theta agree across bases and
domains to about 1e-14.

boundary="operator" instead collocates F'[u*] itself at rho = R, with du''
from the basis: it maps polynomials of degree k to degree k, so at the
Gaussian fixed point it reproduces theta = d - (d - 2) k exactly, but with
nothing to single out the power-law branch at R it is ill-conditioned there for
large bases.
"""

from __future__ import annotations

import contextlib

import numpy as np
import scipy.linalg

from . import flow

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

_LD = np.longdouble


def _end_rows(problem):
    return np.nonzero(np.abs(problem.nodes - problem.R) <= flow.CLOSURE_RTOL * problem.R)[0]


class _Pencil:
    """T(theta) = A(theta) + theta B(theta) at a fixed point; theta enters only
    through the rows at rho = R."""

    def __init__(self, problem, coeffs, N, boundary):
        if boundary not in ("asymptotic", "operator"):
            raise ValueError(f"unknown boundary treatment {boundary!r}")
        c = np.asarray(coeffs, dtype=np.float64)
        d = problem.d
        self.problem, self.N, self.d = problem, float(N), d
        self.V, self.D1, self.D2 = problem.V, problem.D1, problem.D2
        u, w, h = self.V @ c, self.D1 @ c, self.D2 @ c
        closure = getattr(problem, "closure", flow.DEFAULT_CLOSURE)
        # With R = -1 no node is a closure point: F' everywhere.
        R = problem.R if boundary == "asymptotic" else -1.0
        self.sv, self.sw, self.sh = flow.call_sens(problem.nodes, u, w, h,
                                                   flow.params(N, d, R, closure))
        self.ends = _end_rows(problem) if boundary == "asymptotic" else np.array([], int)
        self.order = closure
        # the fixed point at rho = R on its slow manifold: a, b, a', b'
        self.end_data = []
        for i in self.ends:
            Rr, wr = problem.R, w[i]
            t, tw = flow.closure(wr, N, d, Rr, closure)
            a = 1.0 + wr
            b = a + t
            wp = t / (2.0 * Rr)  # w' = u''
            x = 0.0
            if closure >= 2:
                K = (N - 1.0) / (a * a) + ((d + 2) / (d - 2)) / (1 + (d + 2) / (d - 2) * wr) ** 2
                x = K / ((d - 2.0) * Rr)
            # d/drho of T = 2 (p - 1) w f(x) at fixed w; x ~ 1 / rho (lpa_host.flow)
            fx = 1.0 / (1.0 - x) ** 2 if x <= 0.5 else 4.0
            t_rho = -(4.0 / (d - 2.0)) * wr * fx * x / Rr if closure >= 2 else 0.0
            bp = wp * (1.0 + tw) + t_rho
            self.end_data.append((Rr, a, b, wp, bp))

    def q(self, theta, k):
        """2 rho du'' / du' at the k-th end row for eigenvalue theta."""
        Rr, a, b, ap, bp = self.end_data[k]
        d, N = self.d, self.N
        q0 = 2.0 * (2.0 - theta) / (d - 2.0)
        if self.order < 2:
            return q0
        num = (2.0 - theta) - 2.0 * (N - 1.0) * ap / a**3 - 2.0 * (1.0 + q0) * bp / b**3
        den = (d - 2.0) * Rr - (N - 1.0) / a**2 - (1.0 + q0) / b**2
        return 2.0 * Rr * num / den

    def end_coefficient(self, theta, k):
        """Coefficient of du' in the row at R (the du coefficient is theta - d)."""
        Rr, a, b, _, _ = self.end_data[k]
        d, N = self.d, self.N
        return (d - 2.0) * Rr - (N - 1.0) / a**2 - (1.0 + self.q(theta, k)) / b**2

    def linear(self):
        """(A, B) of the pencil with the rows at R linear in theta (exact for
        order 1; the slope at theta = 0 for order 2)."""
        A = self.sv[:, None] * self.V + self.sw[:, None] * self.D1 + self.sh[:, None] * self.D2
        B = self.V.copy()
        for k, i in enumerate(self.ends):
            c0 = self.end_coefficient(0.0, k)
            h = 1e-4
            slope = (self.end_coefficient(h, k) - self.end_coefficient(-h, k)) / (2 * h)
            A[i] = -self.d * self.V[i] + c0 * self.D1[i]
            B[i] = self.V[i] + slope * self.D1[i]
        return A, B

    def matrix(self, theta):
        A = self.sv[:, None] * self.V + self.sw[:, None] * self.D1 + self.sh[:, None] * self.D2
        T = A + theta * self.V
        for k, i in enumerate(self.ends):
            T[i] = (theta - self.d) * self.V[i] + self.end_coefficient(theta, k) * self.D1[i]
        return T

    def derivative(self, theta):
        Tp = self.V.astype(np.result_type(theta, 1.0), copy=True)
        for k, i in enumerate(self.ends):
            h = 1e-5 * max(1.0, abs(theta))
            slope = (self.end_coefficient(theta + h, k) - self.end_coefficient(theta - h, k)) / (2 * h)
            Tp[i] = self.V[i] + slope * self.D1[i]
        return Tp

    def residual(self, theta, x):
        """T(theta) x, summed in extended precision."""
        xl = x.astype(np.clongdouble if np.iscomplexobj(x) else _LD)
        vx = self.V.astype(_LD) @ xl
        d1x = self.D1.astype(_LD) @ xl
        d2x = self.D2.astype(_LD) @ xl
        th = _LD(theta.real) + (1j * _LD(theta.imag) if np.iscomplexobj(theta) else 0)
        r = (self.sv.astype(_LD) + th) * vx + self.sw.astype(_LD) * d1x + self.sh.astype(_LD) * d2x
        for k, i in enumerate(self.ends):
            ck = self.end_coefficient(theta, k)
            r[i] = (th - _LD(self.d)) * vx[i] + ck * d1x[i]
        return r

    def refine(self, theta, limit=1e-3, iterations=8):
        """Newton on the eigenvalue nearest theta; returns theta unchanged if it
        does not settle or moves by more than limit."""
        n = self.V.shape[0]
        theta0 = theta
        for _ in range(iterations):
            T = self.matrix(theta)
            try:
                lu = scipy.linalg.lu_factor(T, check_finite=False)
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


def linearised_operator(problem, coeffs, N, boundary="asymptotic"):
    """The matrices (A, B) of A c = -theta B c at the problem's nodes, with the
    row at rho = R linearised in theta."""
    return _Pencil(problem, coeffs, N, boundary).linear()


def eigenvalues(problem, coeffs, N, boundary="asymptotic", refine=4):
    """All theta, largest real part first (non-finite ones dropped); the first
    `refine` of them (the constant shift theta = d excepted) refined.

        theta = eigenvalues(problem, coeffs, N)
        nu, omega, n_relevant = exponents(theta, problem.d)
    """
    pencil = _Pencil(problem, coeffs, N, boundary)
    A, B = pencil.linear()
    if A.shape[0] != A.shape[1]:
        # more nodes than coefficients: least-squares projection onto the basis
        Q, Rq = np.linalg.qr(B)
        theta = -scipy.linalg.eig(Q.T @ A, Rq, right=False)
        refine = 0
    else:
        theta = -scipy.linalg.eig(A, B, right=False)
    theta = theta[np.isfinite(theta)]
    theta = theta[np.argsort(-theta.real, kind="stable")]
    if refine:
        theta = theta.copy()
        d = problem.d
        done = 0
        for k in range(len(theta)):
            if done >= refine:
                break
            if abs(theta[k] - d) < 1e-8 * d:
                theta[k] = d  # the constant shift, exact
                continue
            t = theta[k]
            others = np.delete(theta, k)
            limit = 0.4 * float(np.min(np.abs(others - t))) if len(others) else 1.0
            if abs(t.imag) <= 1e-12 * max(1.0, abs(t)):
                theta[k] = pencil.refine(float(t.real), limit)
            else:
                theta[k] = pencil.refine(complex(t), limit)
            done += 1
        theta = theta[np.argsort(-theta.real, kind="stable")]
    return theta


def exponents(theta, d):
    """(nu, omega, n_relevant) from the sorted theta.

    The constant shift theta = d is taken out; nu = 1 / theta_1 and
    omega = -theta_2 from the next two. n_relevant counts every theta > 0, the
    constant shift included."""
    theta = np.asarray(theta)
    n_relevant = int(np.sum(theta.real > 0.0))
    k = int(np.argmin(np.abs(theta - d)))
    rest = np.delete(theta, k)
    return 1.0 / rest[0].real, -rest[1].real, n_relevant
