"""Critical exponents from the flow linearised around a fixed point.

Write u = u* + eps e^{-theta t} du. To first order in eps

    -theta du = F'[u*] du
              = -d du + (d - 2) rho du' - (N - 1) du' / (1 + u*')^2
                - (du' + 2 rho du'') / (1 + u*' + 2 rho u*'')^2,

and with du = sum_b c_b phi_b collocated at the solver's nodes this becomes the
generalised eigenproblem A c = -theta B c, A_ib = (F'[u*] phi_b)(rho_i),
B_ib = phi_b(rho_i). theta > 0 are the relevant directions; theta = d belongs
to a constant shift of u and is exact in any basis.

The row at rho = R needs care. The fixed point was closed there with
rho u*'' = (p - 1) u*', p = d / (d - 2), its own power law. An eigenperturbation
grows differently, as du ~ rho^q with q = (d - theta) / (d - 2) (where the loop
terms have died out, -theta du = -d du + (d - 2) rho du'), so its closure is

    2 rho du'' = 2 (q - 1) du' = (4 - 2 theta) / (d - 2) du'.

That is linear in theta: the row of A is the solver's Jacobian row at rho = R
(the linearised closed equation) and the row of B gains
2 du'(R) / ((d - 2) (1 + u*' + 2 rho u*'')^2). This is boundary="asymptotic",
the default. boundary="operator" instead collocates F'[u*] itself at rho = R,
with du'' from the basis: it maps polynomials of degree k to degree k, so at
the Gaussian fixed point it reproduces theta = d - (d - 2) k exactly, but with
nothing to single out the power-law branch at R it is ill-conditioned there
for large bases.
"""

from __future__ import annotations

import numpy as np
import scipy.linalg

from . import flow


def linearised_operator(problem, coeffs, N, boundary="asymptotic"):
    """The matrices (A, B) of A c = -theta B c at the problem's nodes."""
    if boundary not in ("asymptotic", "operator"):
        raise ValueError(f"unknown boundary treatment {boundary!r}")
    c = np.asarray(coeffs, dtype=np.float64)
    d = problem.d
    u, w, h = problem.V @ c, problem.D1 @ c, problem.D2 @ c
    # With R = -1 no node is a closure point: F' everywhere.
    R = problem.R if boundary == "asymptotic" else -1.0
    sv, sw, sh = flow.call_sens(problem.nodes, u, w, h, flow.params(N, d, R))
    A = sv[:, None] * problem.V + sw[:, None] * problem.D1 + sh[:, None] * problem.D2
    B = problem.V.copy()
    if boundary == "asymptotic":
        end = np.nonzero(np.abs(problem.nodes - problem.R) <= flow.CLOSURE_RTOL * problem.R)[0]
        for i in end:
            den = 1.0 + (1.0 + 4.0 / (d - 2.0)) * w[i]
            B[i] += 2.0 / ((d - 2.0) * den * den) * problem.D1[i]
    return A, B


def eigenvalues(problem, coeffs, N, boundary="asymptotic"):
    """All theta, largest real part first (non-finite ones dropped)."""
    A, B = linearised_operator(problem, coeffs, N, boundary)
    if A.shape[0] != A.shape[1]:
        # more nodes than coefficients: least-squares projection onto the basis
        Q, Rq = np.linalg.qr(B)
        A, B = Q.T @ A, Rq
    theta = -scipy.linalg.eig(A, B, right=False)
    theta = theta[np.isfinite(theta)]
    return theta[np.argsort(-theta.real, kind="stable")]


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
