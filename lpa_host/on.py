"""The O(N) model's entry points: Wilson-Fisher, every fixed point, n_c.

    >>> import lpa_host
    >>> wf = lpa_host.wilson_fisher(N=1, d=3.0)        # a FixedPoint
    >>> wf.nu, wf.nu_error, wf.omega                   # 0.6495617738806..., ~1e-16, 0.6557...
    >>> wf.spectrum(n=5, l=1).theta                    # odd sector: 2.5, 0.5, ...
    >>> [p.n_relevant for p in lpa_host.fixed_points(N=1, d=2.6)]
    [2, 3, 4]
    >>> lpa_host.n_c(d=3.0)                            # cubic anisotropy turns relevant

All three use the built-in model ``lpa_host.models.on()`` and the generic
machinery: the Wilson-Fisher point is the branch born at d = 4 (n = 2 in
``lpa_host.search``), followed down to d; ``fixed_points`` follows every
branch. Both return ``FixedPoint``s with the same error estimates.
"""

from __future__ import annotations

import dataclasses
import math
import time
import warnings

import numpy as np
from scipy.optimize import brentq

from . import fixed_point as fpm
from . import models, search
from .model import check_real
from .spectrum import one_blas_thread

#: Where the Wilson-Fisher point is computed: -2 < N <= N_MAX, D_RANGE[0] <= d <= D_RANGE[1].
#: Above N = 1e4 the digits fall with N (at d = 3, nu_error is 1e-8 at N = 1e5 and
#: 4e-4 at N = 1e6: the potential's shape near its minimum narrows, relative to
#: the domain, faster than the basis grows).
N_MIN = -2.0
N_MAX = 1e6
D_RANGE = (2.2, 3.95)
#: wilson_fisher follows the branch in d up to this N, then continues in N.
N_BRANCH = 50.0
N_STEP = 2.0
#: fixed_points: N up to this.
N_MAX_ALL = 1000.0
#: Relative slack on the ends of the d range (grids such as np.arange end a few ulps out).
D_SLACK = 1e-12


def check_N_d(N, d, n_max: float = N_MAX) -> tuple[float, float]:
    """(N, d) as floats; ValueError naming the range otherwise."""
    N = check_real("N", N)
    d = check_real("d", d)
    if not (N_MIN < N <= n_max):
        raise ValueError(f"N must lie in ({N_MIN:g}, {n_max:g}], got N = {N:.12g}")
    lo, hi = D_RANGE
    if not (lo * (1 - D_SLACK) <= d <= hi * (1 + D_SLACK)):
        raise ValueError(f"d must lie in [{lo}, {hi}], got d = {d:.12g}")
    return N, min(max(d, lo), hi)


def _check_start(start, model) -> fpm.FixedPoint | None:
    if start is None:
        return None
    if not isinstance(start, fpm.FixedPoint):
        raise TypeError(f"start must be a FixedPoint of the O(N) model or None, "
                        f"got {type(start).__name__}")
    if start.model.equation != model.equation:
        raise ValueError("start must be a fixed point of the O(N) model")
    if not start.converged:
        return None  # nothing to start from: a cold call
    if start.model.k != 1 or start.coeffs.ndim != 1 or len(start.coeffs) != start.degree + 1 \
            or start.degree > fpm.POLICY[1].max_degree or not start.R > 0:
        raise ValueError(f"start has the wrong shape (degree {start.degree}, "
                         f"{start.coeffs.size} coefficients)")
    return start


def _is_wilson_fisher(fp) -> bool:
    return fp.n_relevant == 2 and fp.u_prime_0 < 0.0 and fp.min_denominator > 0.0


def wilson_fisher(N: float = 1.0, d: float = 3.0, *, start: fpm.FixedPoint | None = None,
                  progress=None) -> fpm.FixedPoint:
    """The Wilson-Fisher fixed point of the O(N) model, a ``FixedPoint`` with nu,
    omega, u_prime_0, kappa, n_relevant, converged and their errors (nu_error, ...).

    N: -2 < N <= 1e6 (real; above 1e4 the errors grow with N, see N_MAX);
    d: 2.2 <= d <= 3.95. start: a converged
    Wilson-Fisher point at a nearby (N, d) to start from (a scan passes the
    previous point); the answer agrees with a cold call within the errors.
    progress: a callable given one line per continuation step.

    ValueError for input out of range. A point that cannot be computed comes
    back with converged=False and NaNs.
    """
    N, d = check_N_d(N, d)
    model = models.on()
    start = _check_start(start, model)
    values = {"d": d, "N": N}
    with one_blas_thread():
        if start is not None:
            fn = fpm.continued(start.domain, start.coeffs)(start.power)
            fp = fpm.solve(model, values, fn, start.R, start.degree, kind="Wilson-Fisher",
                           label=2, accept=_is_wilson_fisher)
            if fp is not None:
                return fp
        if N > N_BRANCH:
            fp = _up_in_N(model, N, d, progress)
            if fp is not None:
                return fp
        with warnings.catch_warnings():  # failure shows as converged=False
            warnings.simplefilter("ignore", RuntimeWarning)
            got = search.follow_branches(model, values, only=(2,), progress=progress)
    if got and _is_wilson_fisher(got[0]):
        return _named(got[0])
    return fpm.failed(model, values, kind="Wilson-Fisher", label=2)


def _up_in_N(model, N, d, progress):
    """Wilson-Fisher at large N: from N_BRANCH up in steps of at most N_STEP
    times, each started from the last with the large-N scaling u(rho) ->
    (N' / N) u(rho N / N'), which is exact as N -> infinity."""
    t0 = time.perf_counter()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        got = search.follow_branches(model, {"d": d, "N": N_BRANCH}, only=(2,),
                                  progress=progress)
    if not got or not got[0].converged:
        return None
    n0, dom, c = N_BRANCH, got[0].domain, got[0].coeffs
    step = N_STEP
    while True:
        n1 = min(N, n0 * step)
        power = model.power(d=d, N=n1)
        inner = fpm.continued(dom, c)(power)
        scale = n1 / n0

        def fn(x, inner=inner, scale=scale):
            return scale * inner(np.asarray(x) / scale)

        values = {"d": d, "N": n1}
        if n1 == N:
            fp = fpm.solve(model, values, fn, dom.R * scale, dom.degree, kind="Wilson-Fisher",
                           label=2, accept=_is_wilson_fisher, t0=t0)
            if fp is not None or step < 1.3:
                return fp
            step = math.sqrt(step)
            continue
        sol = fpm.fit(model, values, fn, dom.R * scale, dom.degree, model.max_closure)
        if sol is None:
            if step < 1.3:
                return None
            step = math.sqrt(step)
            continue
        if progress:
            progress(f"  Wilson-Fisher: N = {n1:.6g}, R = {sol.R:.4g}")
        n0, dom, c = n1, sol.domain, sol.coeffs


def _named(fp):
    return dataclasses.replace(fp, kind="Wilson-Fisher") if fp.label == 2 else fp


def fixed_points(N: float = 1.0, d: float = 3.0, *, progress=None) -> list[fpm.FixedPoint]:
    """Every nontrivial fixed point of the O(N) model at (N, d) that leaves the
    Gaussian one (``lpa_host.search``), sorted by n_relevant: the Wilson-Fisher
    point (n_relevant 2, kind "Wilson-Fisher"), the tricritical one (3), ...
    Each is a ``FixedPoint`` with the same error estimates as ``wilson_fisher``;
    label is the branch (the degree of its Gaussian eigenpolynomial).

    N: -2 < N <= 1000; d: 2.2 <= d <= 3.95. A branch that ends above d (a
    fold, or a closing denominator: large N) is left out with a RuntimeWarning.
    """
    N, d = check_N_d(N, d, N_MAX_ALL)
    with one_blas_thread():
        got = search.follow_branches(models.on(), {"d": d, "N": N}, progress=progress)
    return [_named(p) for p in got]


def cubic_eigenvalue(N: float, d: float = 3.0) -> float:
    """The leading eigenvalue of sector l = 4 at the Wilson-Fisher point."""
    fp = wilson_fisher(N=N, d=d)
    if not fp.converged:
        raise RuntimeError(f"the Wilson-Fisher point at N = {N}, d = {d} did not converge")
    with warnings.catch_warnings():  # a spurious, flagged value may come first
        warnings.simplefilter("ignore", RuntimeWarning)
        sp = fp.spectrum(n=3, l=4)
    good = np.nonzero(sp.reliable)[0]
    if not len(good):
        raise RuntimeError(f"no reliable l = 4 eigenvalue at N = {N}, d = {d}")
    return float(np.real(sp.theta[good[0]]))


def n_c(d: float = 3.0, *, bracket=(1.5, 8.0), xtol: float = 1e-10) -> float:
    """The N at which the leading l = 4 eigenvalue at the Wilson-Fisher point
    crosses zero: above it cubic anisotropy is relevant (the O(N) point gives
    way to the cubic one). d: 2.2 <= d <= 3.95."""
    _, d = check_N_d(1.0, d)
    lo, hi = bracket
    f_lo, f_hi = cubic_eigenvalue(lo, d), cubic_eigenvalue(hi, d)
    while f_lo * f_hi > 0 and hi < N_MAX_ALL:
        lo, f_lo = hi, f_hi
        hi *= 2.0
        f_hi = cubic_eigenvalue(hi, d)
    if f_lo * f_hi > 0:
        raise RuntimeError(f"no sign change of the l = 4 eigenvalue for N in "
                           f"[{bracket[0]}, {hi}] at d = {d}")
    return float(brentq(lambda N: cubic_eigenvalue(N, d), lo, hi, xtol=xtol))
