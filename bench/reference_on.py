"""The O(N) routines written by hand: the peer that ``./dev bench`` measures the
routines lpa_host generates from the formula against (and the reference of the
solver benchmarks).

Fixed-point equation of the O(N) model in the local potential approximation.

With the Litim regulator and rho = phi^2 / 2 the dimensionless potential u(rho)
flows as

    du/dt = F[u] = -d u + (d - 2) rho u' + (N - 1) / (1 + u') + 1 / (1 + u' + 2 rho u'')

(loop constant absorbed). A fixed point is a solution of F[u] = 0 on rho >= 0.

Closure at the end of the domain. Solved for u'', F = 0 is a singularly
perturbed equation at large rho: besides the slowly varying solutions, which
grow as u ~ A rho^p, p = d / (d - 2), it has a fast one whose u' grows like
exp(int (d - 2) b^2 / 2 drho), b = 1 + u' + 2 rho u''. On [0, R] the row at
rho = R must keep the fast solution out, i.e. put (u(R), u'(R)) on the curve
u = M(R, u') that the slow solutions follow (their slow manifold). Writing the
loop terms with a counting factor g and w = u', M = M0 + g M1 + g^2 M2 + ...:

    M0 = (d - 2) rho w / d                        (u = A rho^p exactly)
    d M1 = (N - 1) / (1 + w) + 1 / (1 + c w),      c = 2 p - 1 = (d + 2) / (d - 2)

and along a solution on u = M, w' = (w - dM/drho) / (dM/dw). With M0 alone
this is the power law, 2 rho w' = 2 (p - 1) w; with M0 + M1

    2 rho w' = 2 (p - 1) w / (1 - x),   x = K(w) / ((d - 2) rho),
    K(w) = (N - 1) / (1 + w)^2 + c / (1 + c w)^2,

which makes the equation itself correct to second order (M0 + M1 + M2); for
the (N - 1) / (1 + u') term alone it is exact (at N = infinity the equation is
first order and this is its w'), which matters at large N, where x is not
small. The row at R is F with 2 rho u'' replaced by its slow-manifold value:

    closure 1:  2 R u'' -> 2 (p - 1) u'                  (pure power law)
    closure 2:  2 R u'' -> 2 (p - 1) u' / (1 - x)        (first correction)

with 1 / (1 - x) continued by its tangent 4 x beyond x = 1/2, so that a domain
still too short for the expansion gives a finite row, not a pole.

Each order gains a factor of about 1 / (R b^2) in the error of the row, and an
error at R reaches the interior damped by exp(-int (d - 2) b^2 / 2 drho), so
the row needs no u'' and the domain needs to reach only where that damping is
large (see ``lpa_host.fixed_point``).

The routines below are numba cfuncs with the calling convention of
``_lpa_cpp.LPACollSolver_cpp``. Every routine takes the flow parameters as a
bare pointer laid out as

    flow_params = [N, d, R, closure]

and applies the closure at the points whose coordinate equals R (to a relative
tolerance). All of them are pure functions of their arguments (no globals, no
allocation, no exceptions), so the solver may call them from several threads
at once without the GIL.
"""

from __future__ import annotations

import ctypes

import numpy as np
from numba import carray, cfunc, njit, types

#: Number of entries of flow_params.
PARAM_DIM = 4

#: Order of the slow-manifold closure at rho = R used unless told otherwise
#: (wilson_fisher asks for 2).
DEFAULT_CLOSURE = 1

#: Relative tolerance used to recognise the closure point rho = R.
CLOSURE_RTOL = 1e-10

_dp = types.CPointer(types.float64)
_i32 = types.int32

FLOW_SIG = types.void(_dp, _dp, _dp, _dp, _dp, _dp, _i32, _i32)
BATCH_SIG = types.void(_dp, _dp, _dp, _dp, _dp, _dp, _i32, _i32, _i32)
SENS_SIG = types.void(_dp, _dp, _dp, _dp, _dp, _dp, _dp, _dp, _i32)

# error_model="numpy": a division by zero gives inf/nan instead of raising, which
# a cfunc running outside the GIL could not do anyway.
_OPTS = dict(nopython=True, cache=True, error_model="numpy")


@njit(inline="always", error_model="numpy")
def _is_closure_point(rho, R):
    return abs(rho - R) <= CLOSURE_RTOL * max(1.0, abs(R))


@njit(inline="always", error_model="numpy")
def closure_t(w, N, d, R, order):
    """(T, dT/dw): the slow-manifold value of 2 rho u'' at rho = R given u' = w."""
    s2 = 4.0 / (d - 2.0)  # 2 (p - 1)
    if order < 1.5:
        return s2 * w, s2
    c = (d + 2.0) / (d - 2.0)
    a = 1.0 + w
    e = 1.0 + c * w
    K = (N - 1.0) / (a * a) + c / (e * e)
    Kw = -2.0 * (N - 1.0) / (a * a * a) - 2.0 * c * c / (e * e * e)
    x = K / ((d - 2.0) * R)
    if x <= 0.5:
        f = 1.0 / (1.0 - x)
        fx = f * f
    else:  # continued with its tangent: no pole on short domains
        f = 4.0 * x
        fx = 4.0
    return s2 * w * f, s2 * f + s2 * w * fx * Kw / ((d - 2.0) * R)


#: closure_t callable from Python: (T, dT/dw) = closure(w, N, d, R, order).
closure = njit(cache=True, error_model="numpy")(closure_t.py_func)


@njit(inline="always", error_model="numpy")
def _residual(rho, u, g, h, N, d, R, order):
    """F at one point; g = u', h = u''."""
    if _is_closure_point(rho, R):
        t = closure_t(g, N, d, R, order)[0]
        den = 1.0 + g + t
    else:
        den = 1.0 + g + 2.0 * rho * h
    return -d * u + (d - 2.0) * rho * g + (N - 1.0) / (1.0 + g) + 1.0 / den


@cfunc(FLOW_SIG, **_OPTS)
def flow_cfunc(points, vals, grads, hess, flow_params, out, n_points, inv_dim):
    n = np.int64(n_points)
    dim = np.int64(inv_dim)
    prm = carray(flow_params, (PARAM_DIM,))
    N, d, R, order = prm[0], prm[1], prm[2], prm[3]
    x = carray(points, (n,))  # one coordinate per point (q = 1)
    o = carray(out, (n,))
    if dim != 1:
        # the potential depends on the single invariant rho only
        for p in range(n):
            o[p] = np.nan
        return
    v = carray(vals, (n,))
    gr = carray(grads, (n,))
    he = carray(hess, (n,))
    for p in range(n):
        o[p] = _residual(x[p], v[p], gr[p], he[p], N, d, R, order)


@cfunc(BATCH_SIG, **_OPTS)
def batch_cfunc(points, vals, grads, hess, flow_params, out, n_points, n_batch, inv_dim):
    n = np.int64(n_points)
    nb = np.int64(n_batch)
    prm = carray(flow_params, (PARAM_DIM,))
    N, d, R, order = prm[0], prm[1], prm[2], prm[3]
    x = carray(points, (n,))
    o = carray(out, (n * nb,))
    if np.int64(inv_dim) != 1:
        for k in range(n * nb):
            o[k] = np.nan
        return
    v = carray(vals, (n * nb,))
    gr = carray(grads, (n * nb,))
    he = carray(hess, (n * nb,))
    for p in range(n):
        rho = x[p]
        base = p * nb
        for s in range(nb):
            k = base + s
            o[k] = _residual(rho, v[k], gr[k], he[k], N, d, R, order)


@cfunc(SENS_SIG, **_OPTS)
def sens_cfunc(points, vals, grads, hess, flow_params, sens_vals, sens_grads, sens_hess,
               n_points):
    n = np.int64(n_points)
    prm = carray(flow_params, (PARAM_DIM,))
    N, d, R, order = prm[0], prm[1], prm[2], prm[3]
    x = carray(points, (n,))
    gr = carray(grads, (n,))
    he = carray(hess, (n,))
    sv = carray(sens_vals, (n,))
    sg = carray(sens_grads, (n,))
    sh = carray(sens_hess, (n,))
    for p in range(n):
        rho = x[p]
        g = gr[p]
        a = 1.0 + g
        sv[p] = -d
        if _is_closure_point(rho, R):
            t, tw = closure_t(g, N, d, R, order)
            den = 1.0 + g + t
            sg[p] = (d - 2.0) * rho - (N - 1.0) / (a * a) - (1.0 + tw) / (den * den)
            sh[p] = 0.0
        else:
            den = a + 2.0 * rho * he[p]
            sg[p] = (d - 2.0) * rho - (N - 1.0) / (a * a) - 1.0 / (den * den)
            sh[p] = -2.0 * rho / (den * den)


def addresses():
    """(flow, batch, sensitivity) cfunc addresses for the solver."""
    return flow_cfunc.address, batch_cfunc.address, sens_cfunc.address


# --- host-side calls of the same routines -----------------------------------

def _ptr(a):
    return a.ctypes.data_as(ctypes.POINTER(ctypes.c_double))


def _f64(a):
    return np.ascontiguousarray(a, dtype=np.float64)


def params(N, d, R, closure=None):
    """flow_params for the routines: [N, d, R, closure order (1 or 2)]."""
    if closure is None:
        closure = DEFAULT_CLOSURE
    if closure not in (1, 2):
        raise ValueError(f"closure order must be 1 or 2, got {closure!r}")
    return np.array([N, d, R, closure], dtype=np.float64)


def call_flow(rho, u, g, h, flow_params):
    """Residual F at the points rho (1-D arrays), through the flow cfunc."""
    rho, u, g, h, prm = map(_f64, (rho, u, g, h, flow_params))
    out = np.empty_like(rho)
    flow_cfunc.ctypes(_ptr(rho), _ptr(u), _ptr(g), _ptr(h), _ptr(prm), _ptr(out),
                      len(rho), 1)
    return out


def call_batch(rho, u, g, h, flow_params):
    """Residual for m x n_batch states (column s is one state), batch cfunc."""
    rho, prm = _f64(rho), _f64(flow_params)
    u, g, h = (np.ascontiguousarray(a, dtype=np.float64) for a in (u, g, h))
    m, nb = u.shape
    out = np.empty((m, nb))
    batch_cfunc.ctypes(_ptr(rho), _ptr(u), _ptr(g), _ptr(h), _ptr(prm), _ptr(out),
                       m, nb, 1)
    return out


def call_sens(rho, u, g, h, flow_params):
    """(dF/du, dF/du', dF/du'') at the points rho, through the sensitivity cfunc."""
    rho, u, g, h, prm = map(_f64, (rho, u, g, h, flow_params))
    sv, sg, sh = (np.empty_like(rho) for _ in range(3))
    sens_cfunc.ctypes(_ptr(rho), _ptr(u), _ptr(g), _ptr(h), _ptr(prm), _ptr(sv),
                      _ptr(sg), _ptr(sh), len(rho))
    return sv, sg, sh
