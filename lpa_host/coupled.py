"""Two order parameters: the fixed points of O(n1) + O(n2) and their stability.

    >>> from lpa_host import coupled
    >>> fps = coupled.coupled_fixed_points(n1=3, n2=2, d=3.0)
    >>> [(fp.kind, fp.n_relevant, fp.stable) for fp in fps][:2]
    [('decoupled', 3, True), ('isotropic', 4, False)]
    >>> fps[0].spectrum(n=6)                  # leading eigenvalues with errors

The potential u(rho1, rho2) of two fields phi1 (n1 components) and phi2 (n2),
rho_i = phi_i^2 / 2, obeys ``models.COUPLED_EQUATION``. Its fixed points
with positive denominators, by kind:

- "isotropic": u = U_{n1+n2}(rho1 + rho2), the O(n1 + n2) point;
- "decoupled": u = U_{n1}(rho1) + U_{n2}(rho2), the two O(n) points side by side;
- "biconical": the coupled one, with a mixed derivative u_12 that is not
  zero and not that of a function of rho1 + rho2;
- "other": the Gaussian u = (n1 + n2) / d, and U_{n1}(rho1) + n2 / d,
  n1 / d + U_{n2}(rho2) (one field critical, the other free).

Each is a ``FixedPoint`` with ``n_relevant`` and ``stable`` (n_relevant ==
3: the constant shift and the two masses, nothing else relevant).

How they are found. The isotropic, decoupled and "other" points are exact
combinations of one-invariant O(N) points (``lpa_host.wilson_fisher``). The
isotropic and decoupled combinations start Newton on the square
(``fixed_point.solve``: fitted, checked, leading eigenvalues with errors);
the "other" ones are built exactly (``product_point``: at d = 3 their
free field has a marginal direction, which makes Newton singular). The
biconical point has a closed form at n1 = n2 = 1 only, where the fields
rotated by 45 degrees decouple: there it is the decoupled point rotated,
u = U((s + 2 sqrt(rho1 rho2)) / 2) + U((s - 2 sqrt(rho1 rho2)) / 2), s = rho1 +
rho2, U the N = 1 potential, with the decoupled point's eigenvalues
(``rotated_point``). Elsewhere it is looked for where its branch leaves the
decoupled one: along the decoupled point's eigenvector of theta_1(n1) +
theta_1(n2) - d, with several amplitudes of either sign (``biconical_starts``).
Every solution is classified by its shape (``classify``), and one that comes
back to a point already found is dropped.

Where the biconical point exists. Its branch passes through the isotropic
point on n1 + n2 = N_c and through the decoupled one on 1/nu(n1) + 1/nu(n2)
= d (``decoupled_meeting``; there its eigenvalue theta_1(n1) + theta_1(n2) -
d changes sign with the decoupled point's). Between the two curves (at d =
3, N_c = 2.22: (1.5, 1), say) and on the near side of N_c ((1, 1)) the
order of either field raises the other's mass: u_12 > 0
(``mixing``), and 1 + u_1 grows along the rho2 axis. Beyond 1/nu(n1) +
1/nu(n2) = d, where the decoupled point is stable ((2, 1), (2, 2), (3, 2)),
the branch goes on with u_12 < 0: the order of one field lowers the other's
mass, 1 + u_1(0, rho2) falls along the whole axis, and on ever larger squares
its minimum, at the far edge, keeps falling (at (2, 1): 0.49 at R = 9.1, 0.17
at R = 21, the eigenvalues unchanged) until the determinant turns negative
there: its denominators close at large field, and it is not returned. At
d = 3 there is therefore no biconical point with positive denominators at
(2, 2) or (3, 2): the branch followed there from (2, 1) has u_12 < 0 (at
(2, 2) theta = 3, 1.738, 1.229, 0.266, -0.488, -0.742 and 1 + u_1 = 0.26 at
the far end of a square of R = 13.2, falling as R grows; towards (3, 2) no
square with the required damping carries it beyond (2.55, 1.55)).

``stability_map`` computes, on a grid of (n1, n2), which point is stable; its
boundaries for the exact kinds follow from one-invariant numbers alone
(``predicted_boundaries``).
"""

from __future__ import annotations

import math
from functools import lru_cache

import numpy as np

from . import fixed_point as fpm
from . import models

#: Total degree of the basis of the square.
DEGREE = 48
#: Total degree of the searches for biconical points and of the exact points.
CONTINUATION_DEGREE = 32
#: Relative size below which a derivative counts as zero (shape tests).
SHAPE_TOL = 1e-4


@lru_cache(maxsize=64)
def one_invariant(N: float, d: float = 3.0) -> fpm.FixedPoint:
    """The Wilson-Fisher point of O(N) (``lpa_host.wilson_fisher``), once per process."""
    import lpa_host
    fp = lpa_host.wilson_fisher(N=float(N), d=float(d))
    if not fp.converged:
        raise RuntimeError(f"the O({N}) Wilson-Fisher point at d = {d} did not converge")
    return fp


# --- starts ---------------------------------------------------------------------------------

#: The one-invariant potentials of the starts are solved again on [0, REACH_1D R]:
#: the square's corner lies far beyond the point's own domain, and a potential
#: continued there by its power law has a jump in u'' that a start must not have.
REACH_1D = 3.0


@lru_cache(maxsize=64)
def _long(N: float, d: float):
    fp = one_invariant(N, d)
    on = fp.model
    dom = fpm.domain(on, REACH_1D * fp.R, min(400, int(2 * fp.degree * REACH_1D)))
    sol = fpm.newton(dom, dom.interpolate(fpm.continued(fp.domain, fp.coeffs)(fp.power)),
                     fp.params, fp.closure)
    if not sol.ok:
        return fp.domain, fp.coeffs, fp.power
    return dom, sol.coeffs, fp.power


def _U(N, d):
    dom, c, p = _long(float(N), float(d))
    f = fpm.continued(dom, c)(p)
    return lambda r: f(np.asarray(r, dtype=np.float64).reshape(-1))


def isotropic_start(n1, n2, d):
    U = _U(n1 + n2, d)
    return lambda x: U(x[:, 0] + x[:, 1])


def decoupled_start(n1, n2, d):
    U1, U2 = _U(n1, d), _U(n2, d)
    return lambda x: U1(x[:, 0]) + U2(x[:, 1])


def partial_start(n1, n2, d, which):
    """U_{n_which}(rho_which) + n_other / d (the other field free)."""
    if which == 0:
        U = _U(n1, d)
        return lambda x: U(x[:, 0]) + n2 / d
    U = _U(n2, d)
    return lambda x: U(x[:, 1]) + n1 / d


def rotated_start(d):
    """The biconical point of n1 = n2 = 1: the decoupled one rotated by 45 degrees."""
    U = _U(1.0, d)

    def fn(x):
        s = x[:, 0] + x[:, 1]
        m = 2.0 * np.sqrt(np.maximum(x[:, 0] * x[:, 1], 0.0))
        return U(0.5 * (s + m)) + U(0.5 * (s - m))
    return fn


# --- shapes ----------------------------------------------------------------------------------

def classify(fp: fpm.FixedPoint) -> str:
    """The kind of a solved point from its shape on [0, R/2]^2: "other" if flat or
    flat in one field, "decoupled" if u_12 = 0, "isotropic" if u_1 = u_2, else
    "biconical"."""
    dom = fp.domain
    t = np.linspace(0.0, 0.5 * dom.R, 41)
    X, Y = np.meshgrid(t, t, indexing="ij")
    x = np.stack([X.ravel(), Y.ravel()], axis=1)
    g = dom.evaluate(fp.coeffs, x, 1)
    h = dom.evaluate(fp.coeffs, x, 2)
    scale = max(float(np.max(np.abs(g))), 1e-300)
    flat = [float(np.max(np.abs(g[:, i]))) <= SHAPE_TOL * max(scale, 1.0) for i in range(2)]
    if all(flat):
        return "other"
    if float(np.max(np.abs(h[:, 0, 1]))) <= SHAPE_TOL * max(float(np.max(np.abs(h))), 1.0):
        return "other" if any(flat) else "decoupled"
    if float(np.max(np.abs(g[:, 0] - g[:, 1]))) <= SHAPE_TOL * max(scale, 1.0):
        return "isotropic"
    return "biconical"


def _same(a: fpm.FixedPoint, b: fpm.FixedPoint, tol: float = 1e-6) -> bool:
    R = min(a.R, b.R) * 0.5
    t = np.linspace(0.0, R, 21)
    X, Y = np.meshgrid(t, t, indexing="ij")
    x = np.stack([X.ravel(), Y.ravel()], axis=1)
    ua, ub = a.potential(x), b.potential(x)
    return float(np.max(np.abs(ua - ub))) <= tol * max(1.0, float(np.max(np.abs(ua))))


# --- solving ---------------------------------------------------------------------------------

def _gaussian_theta(d: float, count: int) -> np.ndarray:
    """theta_m = d - (d - 2) m of the Gaussian point of O(N), m = 0, 1, ... (exact)."""
    return d - (d - 2.0) * np.arange(count)


def product_point(n1: float, n2: float, d: float, which) -> fpm.FixedPoint:
    """U_{n_which}(rho_which) + n_other / d (which 0 or 1), or the Gaussian (n1 + n2)
    / d (which None): exact, kind "other". Their eigenvalues are the sums
    theta_i + theta_j - d of the two factors' (a Gaussian factor's theta_m =
    d - (d - 2) m), so theta, n_relevant and the errors come from one-invariant
    numbers. At d = 3 the Gaussian factor has a marginal eigenvalue (theta_3 = 0),
    which makes their collocation Jacobian singular: they are not solved again."""
    model = models.coupled_on(n1, n2, d)
    values = model.values({"n1": n1, "n2": n2, "d": d})
    count = 10
    if which is None:
        fn = lambda x: np.full(len(x), (n1 + n2) / d)  # noqa: E731
        factors = [(_gaussian_theta(d, count), 0.0), (_gaussian_theta(d, count), 0.0)]
        R = 10.0
    else:
        N = (n1, n2)[which]
        fp1 = one_invariant(N, d)
        sp = fp1.spectrum(n=6)
        factors = [(np.real(np.asarray(sp.theta)), float(np.nanmax(sp.error[:4]))),
                   (_gaussian_theta(d, count), 0.0)]
        fn = partial_start(n1, n2, d, which)
        R = fpm.SQUARE_REACH * fp1.kappa
    sums = np.sort(np.add.outer(factors[0][0], factors[1][0]).ravel() - d)[::-1]
    theta = tuple(sums[:count])
    err = factors[0][1] + factors[1][1]
    dom = fpm.domain(model, R, CONTINUATION_DEGREE)
    return fpm.FixedPoint(model, dict(values), dom.interpolate(fn), dom.R, dom.degree, 1, True,
                          n_relevant=int(np.sum(sums > 1e-9)),
                          errors={f"theta_{i}": err for i in range(len(theta))},
                          theta=theta, kind="other")


def _solve(model, values, fn, kind_hint: str, R: float = 10.0):
    fp = fpm.solve(model, values, fn, R, DEGREE, kind=kind_hint)
    if fp is None or not fp.converged or not fp.min_denominator > 0.0:
        return None
    object.__setattr__(fp, "kind", classify(fp))
    return fp


def rotated_point(dec: fpm.FixedPoint) -> fpm.FixedPoint:
    """n1 = n2 = 1: the biconical point, the decoupled one `dec` rotated by 45
    degrees in the field plane. The rotation is a symmetry of the equation for
    n1 = n2 = 1, so its eigenvalues are exactly those of `dec` (theta, errors,
    n_relevant copied); the potential is the closed form, interpolated. (Its
    structure runs along the diagonal out to the square's edges, where the
    edge rule, which assumes homogeneity along rays there, does not hold: it
    is not solved again on the square.)"""
    fn = rotated_start(float(dec.params["d"]))
    dom = fpm.domain(dec.model, 2.0 * dec.R, DEGREE)
    return fpm.FixedPoint(dec.model, dict(dec.params), dom.interpolate(fn), dom.R, dom.degree,
                          dec.closure, True, n_relevant=dec.n_relevant, errors=dict(dec.errors),
                          theta=tuple(dec.theta), kind="biconical", label="rotated")


def coupled_eigenvector(sol: fpm.Solution, values, theta: float) -> np.ndarray:
    """Coefficients of the eigenvector of the linearised flow at `sol` with the
    eigenvalue nearest theta (inverse iteration), scaled to max |v| = 1 at the
    nodes."""
    import scipy.linalg
    from .spectrum import Pencil
    dom = sol.domain
    A, B = Pencil(dom, sol.coeffs, values, 1).linear()
    lu = scipy.linalg.lu_factor(A + (theta + 1e-7) * B, check_finite=False)
    v = np.ones(dom.n)
    for _ in range(4):
        v = scipy.linalg.lu_solve(lu, B @ v, check_finite=False)
        v /= np.max(np.abs(dom.V @ v))
    return v


#: Amplitudes (times the scale of u) of the biconical starts about the decoupled point.
AMPLITUDES = (0.1, -0.1, 0.3, -0.3, 1.0, -1.0)


def biconical_starts(n1: float, n2: float, d: float = 3.0):
    """Starts for a biconical point away from n1 = n2 = 1: the decoupled point
    moved along its eigenvector of theta = theta_1(n1) + theta_1(n2) - d, the
    product of the two fields' leading perturbations, with the amplitudes
    AMPLITUDES. The biconical branch leaves the decoupled one along that
    direction where theta passes through zero (1/nu(n1) + 1/nu(n2) = d), so
    near that curve these starts reach it. Starts with negative ``mixing``
    (the side of the branch whose denominators close at large field) are left
    out."""
    model = models.coupled_on(n1, n2, d)
    values = model.values({"n1": n1, "n2": n2, "d": d})
    dec = fpm.fit_square(model, values, decoupled_start(n1, n2, d), 10.0,
                         CONTINUATION_DEGREE, 1)
    if dec is None:
        return []
    theta = 1.0 / one_invariant(n1, d).nu + 1.0 / one_invariant(n2, d).nu - d
    v = coupled_eigenvector(dec, values, theta)
    dom = dec.domain
    near = dom.nodes.max(axis=1) <= 0.5 * dom.R  # where the structure is
    u = dom.V[near] @ dec.coeffs
    scale = float(np.ptp(u))
    v = v / float(np.max(np.abs(dom.V[near] @ v)))
    found = [dec.coeffs]
    for a in AMPLITUDES:
        sol = fpm.damped_newton(dom, dec.coeffs + a * scale * v, values, 1, maxiter=25)
        if sol.ok and all(np.max(np.abs(dom.V[near] @ (sol.coeffs - c))) > 1e-4 * scale
                          for c in found):
            found.append(sol.coeffs)
    return [fpm.smooth_continued(dom, c, model.power(**values)) for c in found[1:]
            if not mixing(dom, c) < -SHAPE_TOL]


def mixing(dom, coeffs) -> float:
    """The mean of u_12 over [0, R/2]^2, where the structure is, relative to the
    largest second derivative there: zero at the decoupled point, positive where
    the order of either field raises the other's mass, negative where it lowers
    it. On the biconical branch it has one sign over that region and changes it
    where the branch passes through the decoupled point."""
    t = np.linspace(0.0, 0.5 * dom.R, 21)
    X, Y = np.meshgrid(t, t, indexing="ij")
    h = dom.evaluate(coeffs, np.stack([X.ravel(), Y.ravel()], axis=1), 2)
    return float(np.mean(h[:, 0, 1]) / max(float(np.max(np.abs(h))), 1e-300))


def biconical_branch(n1_values, n2: float, d: float = 3.0) -> list[dict]:
    """The biconical branch followed through n1_values at fixed n2 and d: started
    at n1_values[0] from ``biconical_starts`` on a fitted square, then each point
    from the last two (linear predictor, Newton with backtracking) on that square.
    Rows n1, mixing, min_denominator (over the square), theta (leading
    eigenvalues); the branch ends where Newton fails."""
    from .spectrum import eigenvalues
    n1_values = [float(n) for n in n1_values]

    def at(n1):
        model = models.coupled_on(n1, n2, d)
        return model, model.values({"n1": n1, "n2": float(n2), "d": float(d)})

    model, values = at(n1_values[0])
    starts = biconical_starts(n1_values[0], n2, d)
    if not starts:
        return []
    sol = fpm.fit_square(model, values, starts[0], 10.0, CONTINUATION_DEGREE, 1,
                         fpm.SQUARE_DAMPING)
    rows, prev = [], None
    for n1 in n1_values:
        model, values = at(n1)
        if rows:
            dom = fpm.domain(model, sol.R, sol.degree)
            guess = sol.coeffs if prev is None else sol.coeffs + (sol.coeffs - prev[1]) * (
                (n1 - rows[-1]["n1"]) / (rows[-1]["n1"] - prev[0]))
            prev = (rows[-1]["n1"], sol.coeffs)
            sol = fpm.damped_newton(dom, guess, values, 1)
        if sol is None or not sol.ok:
            break
        theta = np.real(eigenvalues(sol.domain, sol.coeffs, values, 1, None, count=fpm.LEADING))
        rows.append(dict(n1=n1, mixing=mixing(sol.domain, sol.coeffs),
                         min_denominator=fpm.min_denominator(sol.domain, sol.coeffs, values),
                         theta=tuple(float(t) for t in theta[:fpm.LEADING])))
    return rows


def decoupled_meeting(n2: float, d: float = 3.0, n1_values=None) -> float:
    """The n1 at which the biconical branch (followed in n1 at fixed n2, d from the
    side where its mixing is positive) passes through the decoupled point: the
    zero of its mixing, from a cubic through the four rows around the change of
    sign; nan if there is none in n1_values."""
    if n1_values is None:
        n1_values = np.arange(1.5, 1.8001, 0.025)
    rows = biconical_branch(n1_values, n2, d)
    x = np.array([r["n1"] for r in rows])
    y = np.array([r["mixing"] for r in rows])
    change = np.nonzero(np.sign(y[:-1]) != np.sign(y[1:]))[0]
    if not len(change):
        return math.nan
    i = int(change[0])
    pick = slice(max(0, i - 1), min(len(x), i + 3))
    coef = np.polyfit(x[pick] - x[i], y[pick], min(3, len(x[pick]) - 1))
    roots = [r.real + x[i] for r in np.roots(coef)
             if abs(r.imag) < 1e-12 and x[i] <= r.real + x[i] <= x[i + 1]]
    return float(roots[0]) if roots else math.nan


def coupled_fixed_points(n1: float = 1.0, n2: float = 1.0, d: float = 3.0, *,
                         progress=None) -> list[fpm.FixedPoint]:
    """Every fixed point of O(n1) + O(n2) at dimension d with positive
    denominators that the search reaches, each a ``FixedPoint`` with its kind
    ("isotropic", "decoupled", "biconical", "other"), n_relevant, stable and
    spectrum(...); the stable ones first, then by n_relevant.

    A biconical point is returned where its mixing u_12 is positive: between
    n1 + n2 = N_c and 1/nu(n1) + 1/nu(n2) = d, and at n1 = n2 = 1. Beyond the
    latter curve (the decoupled point stable: (2, 1), (2, 2), (3, 2) at d = 3)
    the branch has u_12 < 0 and denominators that close at large field (see the
    module's notes), so none is returned there."""
    n1, n2, d = float(n1), float(n2), float(d)
    model = models.coupled_on(n1, n2, d)
    values = model.values({"n1": n1, "n2": n2, "d": d})
    found: list[fpm.FixedPoint] = [product_point(n1, n2, d, w) for w in (0, 1, None)]

    def add(fp, hint):
        if progress is not None:
            progress(f"{hint}: {fp!r}")
        if fp is not None and not any(_same(fp, g) for g in found):
            found.append(fp)

    iso = _solve(model, values, isotropic_start(n1, n2, d), "isotropic")
    add(iso, "isotropic")
    dec = _solve(model, values, decoupled_start(n1, n2, d), "decoupled")
    add(dec, "decoupled")
    if n1 == 1.0 and n2 == 1.0:
        if dec is not None:
            add(rotated_point(dec), "biconical")
    else:
        for fn in biconical_starts(n1, n2, d):
            fp = _solve(model, values, fn, "biconical")
            if fp is not None and fp.kind == "biconical" and \
                    mixing(fp.domain, fp.coeffs) < -SHAPE_TOL:
                fp = None  # its denominators close at large field (see above)
            add(fp, "biconical")
    return sorted(found, key=lambda f: (not f.stable, f.n_relevant))


# --- the stability map --------------------------------------------------------------------------

def predicted_boundaries(n_values, d: float = 3.0) -> dict:
    """The stability boundaries of the exact kinds from one-invariant numbers:
    the decoupled point is stable where 1/nu(n1) + 1/nu(n2) < d (its least
    irrelevant coupled perturbation has theta = theta_1(n1) + theta_1(n2) - d),
    the isotropic one where n1 + n2 < N_c, the N at which the leading l = 4
    eigenvalue of O(N) crosses zero (``lpa_host.n_c``). Returns {"n": n_values,
    "inv_nu": 1/nu there, "N_c": N_c}."""
    import lpa_host
    n_values = np.asarray(n_values, dtype=np.float64)
    inv_nu = np.array([1.0 / one_invariant(n, d).nu for n in n_values])
    return {"n": n_values, "inv_nu": inv_nu, "N_c": float(lpa_host.n_c(d))}


def stability_map(n1_values, n2_values, d: float = 3.0, progress=None) -> list[dict]:
    """For every (n1, n2) of the grid with n1 >= n2 (the map is symmetric), the
    fixed points found and which is stable: rows of n1, n2, kind, n_relevant,
    stable, theta_1 ... theta_4 (after the constant mode), the largest
    error."""
    rows = []
    for a in n1_values:
        for b in n2_values:
            if b > a:
                continue
            fps = coupled_fixed_points(a, b, d, progress=progress)
            for fp in fps:
                th = [float(np.real(t)) for t in fp.theta]
                errs = [v for k, v in fp.errors.items() if k.startswith("theta_")]
                rows.append(dict(n1=float(a), n2=float(b), kind=fp.kind,
                                 n_relevant=int(fp.n_relevant), stable=bool(fp.stable),
                                 **{f"theta_{i}": (th[i] if i < len(th) else math.nan)
                                    for i in range(1, 5)},
                                 error=float(max(errs[:5])) if errs else math.nan))
    return rows
