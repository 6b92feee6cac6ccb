"""O(n1) + O(n2): the equation, the square's far-end rule and its nodes, and fixed
points against what one-invariant results give exactly.

The solves run once, in a child process with a timeout (``solved``)."""

import json
import os
import subprocess
import sys

import numpy as np
import pytest
import sympy

from lpa_host import models
from lpa_host.domain import padua_nodes
from lpa_host.model import SQUARE_FACES, edge_hessian


# --- the equation ---------------------------------------------------------------------------

def test_loop_term_is_the_trace_of_the_inverse_hessian(rng):
    """(n1-1)/(1+u1) + (n2-1)/(1+u2) + (2+A+B)/det = Tr (1 + Hess_phi U)^-1 for
    U(phi) = u(|phi1|^2/2, |phi2|^2/2), the Hessian built in field space."""
    n1, n2, d = 2, 3, 3.0
    model = models.coupled_on(n1, n2, d)
    c = rng.uniform(0.05, 0.3, 6)  # u = c0 r1 + c1 r2 + c2 r1^2 + c3 r1 r2 + c4 r2^2 + c5 r1^2 r2
    for _ in range(5):
        phi = rng.normal(size=n1 + n2)
        p1, p2 = phi[:n1], phi[n1:]
        r1, r2 = p1 @ p1 / 2, p2 @ p2 / 2
        u = c[0] * r1 + c[1] * r2 + c[2] * r1**2 + c[3] * r1 * r2 + c[4] * r2**2 \
            + c[5] * r1**2 * r2
        g = np.array([c[0] + 2 * c[2] * r1 + c[3] * r2 + 2 * c[5] * r1 * r2,
                      c[1] + c[3] * r1 + 2 * c[4] * r2 + c[5] * r1**2])
        h = np.array([[2 * c[2] + 2 * c[5] * r2, c[3] + 2 * c[5] * r1],
                      [c[3] + 2 * c[5] * r1, 2 * c[4]]])
        # Hess_phi U = diag(u1 1_n1, u2 1_n2) + sum_ij u_ij (phi_i)(phi_j)^T, phi_i embedded
        e1 = np.concatenate([p1, np.zeros(n2)])
        e2 = np.concatenate([np.zeros(n1), p2])
        hess = np.diag(np.r_[np.full(n1, g[0]), np.full(n2, g[1])]) + h[0, 0] * np.outer(
            e1, e1) + h[1, 1] * np.outer(e2, e2) + h[0, 1] * (np.outer(e1, e2) + np.outer(e2, e1))
        trace = np.trace(np.linalg.inv(np.eye(n1 + n2) + hess))
        x = np.array([[r1, r2]])
        F = model.routines.flow(x, [u], g[None], h[None],
                                np.r_[model.param_vector(model.values()), 1e9, 0.0])[0]
        scaling = -d * u + (d - 2) * (r1 * g[0] + r2 * g[1])
        assert F - scaling == pytest.approx(trace, rel=1e-13)


# --- the far end of the square --------------------------------------------------------------------

X = sympy.symbols("x0 x1", positive=True)
G = sympy.symbols("g0 g1")
H = [[sympy.Symbol("h00"), sympy.Symbol("h01")], [sympy.Symbol("h01"), sympy.Symbol("h11")]]


@pytest.mark.parametrize("tag, tangent", SQUARE_FACES)
@pytest.mark.parametrize("p", [3, sympy.Rational(5, 2)])
def test_edge_rule(tag, tangent, p):
    """The edge rule's H* is the Hessian of any function homogeneous of degree p,
    and for any H it holds H* x = (p - 1) g and keeps H along the tangent."""
    x0, x1 = X
    f = 2 * x0**p + x0 ** (p - 1) * x1 + 3 * x1**p + x0**p / (1 + x1 / x0) ** 2
    grad = [sympy.diff(f, v) for v in X]
    hess = [[sympy.diff(f, a, b) for b in X] for a in X]
    Hs = edge_hessian(X, grad, hess, p, tangent)
    at = {x0: sympy.Rational(7, 3), x1: sympy.Rational(5, 4)}
    for i in range(2):
        for j in range(2):
            assert float((Hs[i][j] - hess[i][j]).subs(at)) == pytest.approx(0.0, abs=1e-12)
    Hs = edge_hessian(X, G, H, p, tangent)
    e = sympy.Matrix(tangent)
    M = sympy.Matrix(Hs)
    assert sympy.simplify(M * sympy.Matrix(X) - (p - 1) * sympy.Matrix(G)) == sympy.zeros(2, 1)
    assert sympy.simplify((e.T * M * e)[0] - (e.T * sympy.Matrix(H) * e)[0]) == 0


@pytest.mark.parametrize("K", [2, 7, 20, 40])
def test_padua_nodes(K):
    """Unisolvent for total degree K with a small condition number; the far
    edges max(x) = R hold the end nodes, the corner among them."""
    from lpa_host.domain import Domain
    R = 3.5
    x = padua_nodes(R, K)
    assert len(x) == (K + 1) * (K + 2) // 2 == len({tuple(p) for p in x})
    assert x.min() == 0.0 and x.max() == R
    dom = Domain(models.coupled_on(2, 1), R, K)
    assert np.linalg.cond(dom.V) < 5.0
    assert np.array_equal(dom.end, x.max(axis=1) == R)
    assert dom.end[np.all(x == R, axis=1)].all() and np.all(x == R, axis=1).sum() == 1


# --- fixed points -------------------------------------------------------------------------------

CHILD = r"""
import json, sys
import numpy as np
from lpa_host import coupled, models, fixed_point as fpm

def real(v):
    return [float(np.real(t)) for t in v]

out = {}
d = 3.0
one = {N: coupled.one_invariant(N, d) for N in (1.0, 1.5, 2.0, 2.5, 3.0)}
out["one"] = {str(N): {str(l): real(fp.spectrum(n=6, l=l).theta) for l in (0, 2, 4, 6)}
              for N, fp in one.items()}
for kind, start in (("decoupled", coupled.decoupled_start), ("isotropic", coupled.isotropic_start)):
    m = models.coupled_on(2.0, 1.0, d)
    fp = fpm.solve(m, m.values(), start(2.0, 1.0, d), 10.0, coupled.DEGREE)
    out[kind] = dict(theta=real(fp.theta), error=[fp.errors[f"theta_{i}"] for i in range(6)],
                     converged=fp.converged, kind=coupled.classify(fp))
U = coupled._U(1.0, d)
fp1 = one[1.0]
rng = np.random.default_rng(5)
x = rng.uniform(0.05, 0.45 * fp1.R, (40, 2))
out["points"] = x.tolist()
out["rotated"] = coupled.rotated_start(d)(x).tolist()
out["search"] = [(fp.kind, fp.n_relevant, fp.stable)
                 for fp in coupled.coupled_fixed_points(1.5, 1.0, d)]
out["branch"] = coupled.biconical_branch(np.arange(1.5, 1.7001, 0.025), 1.0, d)
meet = coupled.decoupled_meeting(1.0, d)
out["meeting"] = dict(n1=meet, inv_nu=1.0 / coupled.one_invariant(meet, d).nu)
print("RESULT" + json.dumps(out))
"""


@pytest.fixture(scope="module")
def solved():
    env = dict(os.environ, OMP_NUM_THREADS="1")
    proc = subprocess.run([sys.executable, "-c", CHILD], env=env, capture_output=True,
                          text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr[-3000:]
    line = [s for s in proc.stdout.splitlines() if s.startswith("RESULT")][-1]
    return json.loads(line[len("RESULT"):])


def _nearest(values, exact):
    exact = np.asarray(exact)
    return np.array([float(np.min(np.abs(exact - v))) for v in values])


def test_decoupled_spectrum_is_sums_of_one_invariant_ones(solved):
    """u = U_2(rho1) + U_1(rho2): theta = theta_i(O(2)) + theta_j(O(1)) - d."""
    a, b = solved["one"]["2.0"]["0"], solved["one"]["1.0"]["0"]
    exact = np.sort(np.add.outer(a, b).ravel() - 3.0)[::-1]
    got = solved["decoupled"]
    assert got["converged"] and got["kind"] == "decoupled"
    dev = _nearest(got["theta"], exact)
    assert np.all(dev[:4] < 1e-8)
    assert np.all(dev <= 3 * np.array(got["error"]) + 1e-11)   # honest errors
    assert got["theta"][:3] == pytest.approx(exact[:3], abs=1e-8)


def test_isotropic_spectrum_is_the_union_of_sectors(solved):
    """u = U_3(rho1 + rho2): the eigenvalues are those of the O(3) sectors l = 0,
    2, 4, 6 (the sectors invariant under O(2) x O(1)), largest first."""
    exact = np.sort(np.concatenate([solved["one"]["3.0"][str(l)] for l in (0, 2, 4, 6)]))[::-1]
    got = solved["isotropic"]
    assert got["converged"] and got["kind"] == "isotropic"
    dev = _nearest(got["theta"], exact)
    assert np.all(dev[:4] < 1e-8)
    assert np.all(dev <= 3 * np.array(got["error"]) + 1e-11)
    assert got["theta"][:4] == pytest.approx(exact[:4], abs=1e-8)


def test_rotated_decoupled_point_solves_the_equation(solved):
    """n1 = n2 = 1: U(rho+) + U(rho-), rho+- = (s +- 2 sqrt(rho1 rho2)) / 2, solves
    the equation (derivatives by central differences of the closed form)."""
    model = models.coupled_on(1.0, 1.0, 3.0)
    from lpa_host import coupled
    f = coupled.rotated_start(3.0)
    x = np.array(solved["points"])
    assert f(x) == pytest.approx(solved["rotated"], rel=1e-12)
    h = 1e-3
    e = np.eye(2) * h
    u = f(x)
    g = np.stack([(f(x + e[i]) - f(x - e[i])) / (2 * h) for i in range(2)], axis=1)
    hess = np.empty((len(x), 2, 2))
    for i in range(2):
        for j in range(2):
            hess[:, i, j] = (f(x + e[i] + e[j]) - f(x + e[i] - e[j]) - f(x - e[i] + e[j])
                             + f(x - e[i] - e[j])) / (4 * h * h)
    F = model.routines.flow(x, u, g, hess, np.r_[model.param_vector(model.values()), 1e9, 0.0])
    assert np.max(np.abs(F)) < 1e-4


def test_search_finds_every_kind_and_one_stable_point(solved):
    """(1.5, 1) at d = 3 lies between the boundaries: 1/nu(1.5) + 1/nu(1) > 3 (the
    decoupled point unstable) and the l = 4 eigenvalue of O(2.5) > 0 (the
    isotropic one unstable); the biconical point is the stable one. The exact
    "other" points are relevant in five (one field critical) or six (Gaussian)
    directions."""
    one = solved["one"]
    assert one["1.5"]["0"][1] + one["1.0"]["0"][1] > 3.0
    assert one["2.5"]["4"][0] > 0.0
    found = solved["search"]
    kinds = sorted(k for k, _, _ in found)
    assert kinds == ["biconical", "decoupled", "isotropic", "other", "other", "other"]
    assert [k for k, _, s in found if s] == ["biconical"]
    assert {k: n for k, n, _ in found if k != "other"} == {
        "biconical": 3, "decoupled": 4, "isotropic": 4}
    assert sorted(n for k, n, _ in found if k == "other") == [5, 5, 6]


def test_biconical_branch_meets_the_decoupled_point_where_its_exponent_vanishes(solved):
    """Followed in n1 at n2 = 1 from the stable biconical point, the branch passes
    through the decoupled point (its mixing u_12 changes sign) where 1/nu(n1) +
    1/nu(1) = 3, with the nu's of the one-invariant points; there its eigenvalue
    nearest zero changes sign too (the exchange of stability), and its leading
    eigenvalues come close to the decoupled point's 1/nu(1) and 1/nu(n1)."""
    meet, branch = solved["meeting"], solved["branch"]
    inv_nu_1 = solved["one"]["1.0"]["0"][1]
    assert 1.5 < meet["n1"] < 1.7
    assert meet["inv_nu"] + inv_nu_1 - 3.0 == pytest.approx(0.0, abs=1e-5)
    n1 = np.array([r["n1"] for r in branch])
    mix = np.array([r["mixing"] for r in branch])
    soft = np.array([min(r["theta"], key=abs) for r in branch])
    assert len(branch) == 9 and np.all([r["min_denominator"] > 0.5 for r in branch])
    i = int(np.nonzero(np.diff(np.sign(mix)))[0][0])
    assert n1[i] < meet["n1"] < n1[i + 1]
    assert np.all(np.sign(soft[: i + 1]) == -1) and np.all(np.sign(soft[i + 1:]) == 1)
    near = branch[i] if meet["n1"] - n1[i] < n1[i + 1] - meet["n1"] else branch[i + 1]
    assert sorted(near["theta"][1:3]) == pytest.approx(
        sorted([inv_nu_1, meet["inv_nu"]]), abs=5e-3)
