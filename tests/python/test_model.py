"""Models from formulas, and the O(N) fixed points, against independent references.

Every number here is compared with something computed another way: finite
differences of the generated flow, the trace of (1 + Hess U)^-1 done with
matrices in R^N, the exact Gaussian spectrum, exact eigenvalues of the shift
of the field, a scipy shooting of the sector equations, the epsilon and
large-N expansions.
"""

from __future__ import annotations

import functools
import json
import math
import re
import subprocess
import sys
import textwrap
import warnings

import numpy as np
import pytest
import sympy
from scipy.integrate import solve_ivp
from scipy.optimize import brentq

import lpa_host
from lpa_host import Model, codegen, models, shooting
from lpa_host import fixed_point as fpm

ON_PARAMS = {"d": 3.0, "N": 1.0}


@functools.lru_cache(maxsize=None)
def wf(N: float, d: float):
    fp = lpa_host.wilson_fisher(N=N, d=d)
    assert fp.converged and fp.n_relevant == 2
    return fp


@pytest.fixture(scope="module")
def phi_wf():
    fps = models.phi().fixed_points(d=3.0)
    assert len(fps) == 1 and fps[0].converged
    return fps[0]


# --- formulas --------------------------------------------------------------------------

def _no_compilation(model):
    raise AssertionError("a rejected formula reached compilation")


@pytest.mark.parametrize("equation, params, message", [
    (models.ON_EQUATION + " + lam*u", None, "unknown name 'lam'"),
    (models.ON_EQUATION + " + foo(u)", None, "unknown name 'foo'"),
    ("(d-2)*rho*u_rho + (N-1)/(1+u_rho)", None, "does not contain the potential u"),
    (models.ON_EQUATION, {"d": None, "N": 1.0}, "parameter 'd' has no value"),
    (models.ON_EQUATION, {"d": 3.0, "N": "1"}, "parameter 'N' has no value"),
    ("-d*u + (d-2*rho*u_rho", None, "syntax error"),
    ("-d*u + (d-2)*rho*u_rho + 1/(1+u_rho))", None, "syntax error"),
    (models.ON_EQUATION + ' + 0*__import__("os").system("touch {marker}")', None,
     "unknown name '__import__'"),
    (models.ON_EQUATION + " + 0*u.real", None, "'u.real' is not arithmetic"),
    (models.ON_EQUATION + " + 0*u[0]", None, "'u[0]' is not arithmetic"),
    (models.ON_EQUATION + " + (u < 1)", None, "is not arithmetic"),
    (models.ON_EQUATION + " + exp(x=u)", None, "exactly one argument"),
    (models.ON_EQUATION + " + 'a'", None, "is not a real number"),
])
def test_rejected_formulas(monkeypatch, tmp_path, equation, params, message):
    marker = tmp_path / "ran"
    monkeypatch.setattr(codegen, "compile_model", _no_compilation)
    with pytest.raises(ValueError, match=re.escape(message)):
        Model(equation.replace("{marker}", str(marker)), ["rho"],
              ON_PARAMS if params is None else params)
    assert not marker.exists()


LOOP = "-d*u + (d-2)*rho*u_rho + {}"


@pytest.mark.parametrize("caret, power, other", [
    ("1/(1+u_rho^2+2*rho*u_rho_rho)", "1/(1+u_rho**2+2*rho*u_rho_rho)",
     "1/((1+u_rho)**2+2*rho*u_rho_rho)"),
    ("(N-1)/(1+u_rho)^2", "(N-1)/(1+u_rho)**2", "((N-1)/(1+u_rho))**2"),
    ("-u_rho^2/(1+u_rho)", "-(u_rho**2)/(1+u_rho)", "(-u_rho)**2/(1+u_rho)"),
    ("u_rho*2^3^2/(1+u_rho)", "u_rho*2**9/(1+u_rho)", "u_rho*64/(1+u_rho)"),
    ("(1+u_rho)^-1", "1/(1+u_rho)", "-1/(1+u_rho)"),
])
def test_caret_binds_as_power(caret, power, other):
    def F(loop):
        return Model(LOOP.format(loop), ["rho"], ON_PARAMS).F
    assert sympy.simplify(F(caret) - F(power)) == 0
    assert sympy.simplify(F(caret) - F(other)) != 0


@pytest.mark.parametrize("which, params, power, u0", [
    ("on", {"d": 3.0, "N": 1.0}, 3.0, 1 / 3), ("on", {"d": 2.5, "N": 4.0}, 5.0, 1.6),
    ("on", {"d": 3.6, "N": 0.0}, 2.25, 0.0), ("phi", {"d": 3.0}, 6.0, 1 / 3),
    ("phi", {"d": 3.5}, 14 / 3, 1 / 3.5)])
def test_power_gaussian_and_denominators(which, params, power, u0):
    """u ~ rho^(d/(d-2)) (phi^(2d/(d-2))) at large fields; u0 = N/d; the
    positivity conditions are the eigenvalues of 1 + Hess U."""
    model = models.on() if which == "on" else models.phi()
    assert model.power(**params) == pytest.approx(power, rel=1e-14)
    assert model.gaussian(**params) == pytest.approx(u0, rel=1e-14, abs=1e-15)
    expected = (["1 + u_rho", "1 + u_rho + 2*rho*u_rho_rho"] if which == "on"
                else ["1 + u_phi_phi"])
    got = [sympy.sympify(f) for f in model.denominators]
    want = [sympy.sympify(f) for f in expected]
    assert len(got) == len(want)
    assert all(any(sympy.expand(a - b) == 0 for b in want) for a in got), got


# --- generated routines ------------------------------------------------------------------

def _random_states(rng, which, m):
    if which == "on":
        x = rng.uniform(0.05, 3.0, m)
        u, g, h = rng.uniform(0.1, 1.0, m), rng.uniform(-0.3, 0.6, m), rng.uniform(-0.05, 0.4, m)
    else:
        x = rng.uniform(-3.0, 3.0, m)
        u, g, h = rng.uniform(-1, 1, m), rng.uniform(-1, 1, m), rng.uniform(-0.3, 0.5, m)
    return x, u, g, h


def _fd(f, base, i, step):
    plus, minus = [b.copy() for b in base], [b.copy() for b in base]
    plus[i] += step
    minus[i] -= step
    return (f(*plus) - f(*minus)) / (2 * step)


@pytest.mark.parametrize("which, closure", [
    ("on", 0), ("on", 1), ("on", 2), ("phi", 0), ("phi", 1), ("phi", 2)])
def test_sensitivities_are_derivatives_of_the_flow(rng, which, closure):
    model = models.on() if which == "on" else models.phi()
    values = {"d": 3.2, "N": 2.5} if which == "on" else {"d": 3.2}
    R = 4.0
    x, u, g, h = _random_states(rng, which, 12)
    if closure:  # the far end: both ends of [-R, R] for the field
        x = np.full_like(x, R)
        if which == "phi":
            x[::2] = -R
    prm = np.array([*values.values(), R, closure])
    r = model.routines

    def flow(u_, g_, h_, prm_=prm):
        return r.flow(x, u_, g_.reshape(-1, 1), h_.reshape(-1, 1, 1), prm_)

    sv, sg, sh = r.sens(x, u, g.reshape(-1, 1), h.reshape(-1, 1, 1), prm)
    step = 1e-6
    for i, an in enumerate([sv, sg[:, 0], sh[:, 0, 0]]):
        fd = _fd(flow, [u, g, h], i, step)
        np.testing.assert_allclose(an, fd, rtol=1e-6, atol=1e-6)
    ps = r.param_sens(x, u, g.reshape(-1, 1), h.reshape(-1, 1, 1), prm)
    assert ps.shape == (len(x), len(values))
    for j in range(len(values)):
        e = np.zeros_like(prm)
        e[j] = step
        fd = (flow(u, g, h, prm + e) - flow(u, g, h, prm - e)) / (2 * step)
        np.testing.assert_allclose(ps[:, j], fd, rtol=1e-6, atol=1e-6)
    if closure == 1:  # the ray rule: u'' -> (p - 1) u' / x at the end
        p = model.power(**values)
        inner = flow(u, g, (p - 1) * g / x, np.array([*values.values(), R, 0]))
        np.testing.assert_allclose(flow(u, g, h), inner, rtol=1e-13, atol=1e-13)
        np.testing.assert_allclose(sh[:, 0, 0], 0.0, atol=1e-13)


# --- the O(N) sectors from matrices in R^N --------------------------------------------------

def _harmonic(phi, l):
    """Re (phi_1 + i phi_2)^l: value, gradient, Hessian."""
    n = len(phi)
    z = complex(phi[0], phi[1])
    c1 = l * z ** (l - 1) if l >= 1 else 0j
    c2 = l * (l - 1) * z ** (l - 2) if l >= 2 else 0j
    grad, hess = np.zeros(n), np.zeros((n, n))
    grad[:2] = c1.real, -c1.imag
    hess[:2, :2] = [[c2.real, -c2.imag], [-c2.imag, -c2.real]]
    return (z ** l).real, grad, hess


def _poly(c, r, k=0):
    return np.polynomial.polynomial.polyval(r, np.polynomial.polynomial.polyder(c, k))


@pytest.mark.parametrize("N, l", [(2, 0), (2, 1), (2, 2), (2, 4), (3, 0), (3, 1), (3, 2),
                                  (3, 3), (3, 4)])
def test_sector_operator_is_the_trace_in_field_space(rng, N, l):
    """-d dU + (d-2)/2 phi.grad dU - tr[M^-1 Hess dU M^-1], M = 1 + Hess U, with
    dU = g(rho) h_l(phi), equals h_l times the sector operator on g; for l = 0
    also the equation's own linearisation (the compiled sensitivities), and
    -d U + (d-2)/2 phi.grad U + tr M^-1 the compiled flow."""
    model = models.on()
    d = 3.3
    values = {"d": d, "N": float(N)}
    op = model.sector_operator()
    cu = np.array([0.3, -0.2, 0.15, 0.02])
    cg = np.array([0.7, 0.4, -0.3, 0.1])
    for _ in range(5):
        phi = rng.normal(size=N)
        rho = 0.5 * phi @ phi
        u, u1, u2 = (_poly(cu, rho, k) for k in range(3))
        g, g1, g2 = (_poly(cg, rho, k) for k in range(3))
        M = np.eye(N) * (1 + u1) + u2 * np.outer(phi, phi)
        Minv = np.linalg.inv(M)
        h, dh, Hh = _harmonic(phi, l)
        grad = g1 * phi * h + g * dh
        hess = (h * (g2 * np.outer(phi, phi) + g1 * np.eye(N))
                + g1 * (np.outer(phi, dh) + np.outer(dh, phi)) + g * Hh)
        direct = -d * g * h + 0.5 * (d - 2) * phi @ grad - np.trace(Minv @ hess @ Minv)
        c0, c1, C = model.operator_values(op, [[rho]], [u], [[u1]], [[[u2]]], values, (l,))
        sector = c0[0] * g + c1[0, 0] * g1 + C[0, 0, 0] * g2
        assert direct == pytest.approx(h * sector, rel=1e-11, abs=1e-11)
        prm = [d, float(N), 100.0, 0]
        if l == 0:
            sv, sg, sh = model.routines.sens([rho], [u], [[u1]], [[[u2]]], prm)
            own = sv[0] * g + sg[0, 0] * g1 + sh[0, 0, 0] * g2
            assert direct == pytest.approx(own, rel=1e-11, abs=1e-11)
            flow = -d * u + 0.5 * (d - 2) * phi @ (u1 * phi) + np.trace(Minv)
            got = model.routines.flow([rho], [u], [[u1]], [[[u2]]], prm)[0]
            assert got == pytest.approx(flow, rel=1e-12, abs=1e-12)


# --- exact spectra ------------------------------------------------------------------------------

@functools.lru_cache(maxsize=None)
def gaussian(which, N, d):
    model = models.on() if which == "on" else models.phi()
    values = {"d": d, "N": N} if which == "on" else {"d": d}
    u0 = N / d
    fp = fpm.solve(model, values, lambda x: u0 + 0.0 * np.asarray(x, dtype=float), 20.0, 32)
    assert fp is not None and fp.converged
    return fp


@pytest.mark.parametrize("which, N, d, l", [
    ("on", 1.0, 3.0, 0), ("on", 1.0, 3.0, 1), ("on", 1.0, 3.0, 2), ("on", 2.5, 3.4, 0),
    ("on", 2.5, 3.4, 3), ("on", 0.0, 2.5, 1), ("on", 0.0, 2.5, 4), ("on", -1.5, 2.8, 2),
    ("phi", 1.0, 3.3, 0)])
def test_gaussian_spectrum_is_exact(which, N, d, l):
    """theta = d - (d-2)(k + l/2) for O(N) in rho; in the field phi, d - (d-2) n/2
    for every n (the odd ones too)."""
    fp = gaussian(which, N, d)
    n = 5
    s = fp.spectrum(n=n, l=l)
    step = (d - 2) * (1 if which == "on" else 0.5)
    exact = d - (d - 2) * l / 2 - step * np.arange(n)
    dev = np.abs(np.real(s.theta) - exact)
    assert np.all(dev <= 1e-8), dev
    assert np.all(dev <= 2 * s.error + 1e-12), (dev, s.error)  # errors are honest
    assert np.all(s.reliable)
    if l == 0:  # the leading eigenvalues of the equation's own linearisation
        lead = np.real(np.asarray(fp.theta))[:4]
        np.testing.assert_allclose(lead, exact[:4], atol=1e-9)


WF_POINTS = [(0.0, 3.0), (1.0, 3.0), (2.5, 3.3), (4.0, 2.8), (-1.0, 3.0)]


@pytest.mark.parametrize("N, d", WF_POINTS)
def test_field_shift_and_constant_at_wilson_fisher(N, d):
    fp = wf(N, d)
    s1 = fp.spectrum(n=3, l=1)
    np.testing.assert_allclose(np.real(s1.theta[:2]), [(d + 2) / 2, (d - 2) / 2], atol=1e-9)
    assert np.real(fp.spectrum(n=2, l=0).theta[0]) == pytest.approx(d, abs=1e-12)


def test_field_shift_at_every_fixed_point():
    d = 2.6
    fps = lpa_host.fixed_points(N=1, d=d)
    assert [p.n_relevant for p in fps] == [2, 3, 4]
    for p in fps:
        theta = np.real(p.spectrum(n=4, l=1).theta)
        for target in ((d + 2) / 2, (d - 2) / 2):
            assert np.min(np.abs(theta - target)) <= 1e-9, (p, theta)


def test_phi_model_interleaves_even_and_odd(phi_wf):
    """The field model's spectrum is the union of the rho model's l = 0 (even)
    and l = 1 (odd) spectra."""
    d = 3.0
    s = phi_wf.spectrum(n=8)
    rho = wf(1.0, d)
    even = np.real(rho.spectrum(n=6, l=0).theta)
    odd = np.real(rho.spectrum(n=6, l=1).theta)
    both = np.sort(np.concatenate([even, odd]))[::-1][:8]
    np.testing.assert_allclose(np.real(s.theta), both, atol=1e-9)
    assert np.real(s.theta[1]) == pytest.approx((d + 2) / 2, abs=1e-10)
    assert phi_wf.n_relevant == 4


# --- sectors by shooting (scipy only) ---------------------------------------------------------

def _shoot_sector(N, d, l, w0, theta, rho_max):
    """g(rho_max) / rho_max^q of the regular solution g(0) = 1 of the sector-l
    equation, integrated together with the potential u from u'(0) = w0."""
    a0 = 1 + w0
    h0 = -2.0 * w0 * a0 ** 2 / (N + 2.0)
    g1 = (theta - d + (d - 2) * l / 2 + 2 * l * (l - 1) * h0 / a0 ** 3) / ((N + 2 * l) / a0 ** 2)
    r0 = 1e-6 * max(1.0, N)
    y0 = [N / (d * a0) + w0 * r0 + 0.5 * h0 * r0 ** 2, w0 + h0 * r0, 1 + g1 * r0, g1]

    def rhs(r, y):
        u, w, g, gp = y
        a = 1 + w
        b = 1 / (d * u - (d - 2) * r * w - (N - 1) / a)  # 1 + u' + 2 rho u''
        upp = (b - a) / (2 * r)
        rest = ((theta - d + (d - 2) * l / 2) * g + (d - 2) * r * gp - (N - 1) * gp / a ** 2
                - (1 + 2 * l) * gp / b ** 2 + l * (l - 1) * g * upp * (a + b) / (a * b) ** 2)
        return [w, upp, gp, b * b * rest / (2 * r)]

    sol = solve_ivp(rhs, (r0, rho_max), y0, method="DOP853", rtol=1e-11, atol=1e-13)
    q = (d - (d - 2) * l / 2 - theta) / (d - 2)
    return sol.y[2, -1] / sol.t[-1] ** q


def _potential_end(N, d, w0, rho_max=200.0):
    """Where the potential shot from u'(0) = w0 leaves the fixed point (a pole
    of 1 + u' + 2 rho u'' or u' turning over): from there on it is useless."""
    a0 = 1 + w0
    h0 = -2.0 * w0 * a0 ** 2 / (N + 2.0)
    r0 = 1e-6 * max(1.0, N)

    def D(r, y):
        return d * y[0] - (d - 2) * r * y[1] - (N - 1) / (1 + y[1])

    def rhs(r, y):
        return [y[1], (1 / D(r, y) - 1 - y[1]) / (2 * r)]

    def pole(r, y):
        return D(r, y) - 1e-6

    def turn(r, y):
        return 1 / D(r, y) - 1 - y[1]

    pole.terminal = turn.terminal = True
    turn.direction = -1
    sol = solve_ivp(rhs, (r0, rho_max), [N / (d * a0) + w0 * r0, w0 + h0 * r0],
                    method="DOP853", rtol=1e-12, atol=1e-14, events=[pole, turn])
    assert sol.status == 1  # it does leave
    return sol.t[-1]


@pytest.fixture(scope="module")
def shot_n2():
    N, d = 2.0, 3.0
    w0, kappa = shooting.shoot(N, d)
    return N, d, w0, kappa, _potential_end(N, d, w0)


def test_potential_agrees_with_shooting(shot_n2):
    N, d, w0, kappa, _ = shot_n2
    fp = wf(N, d)
    assert fp.u_prime_0 == pytest.approx(w0, abs=1e-11)
    assert fp.kappa == pytest.approx(kappa, abs=1e-11)


@pytest.mark.parametrize("l, index", [(0, 1), (2, 0)])
def test_sector_eigenvalue_by_shooting(shot_n2, l, index):
    """The eigenvalue is where the fast (exponentially growing) solution drops
    out at large rho: g / rho^q changes sign across it. The slow solution's
    share of that root shrinks as rho_max nears the point where the shot
    potential itself leaves (0.9, 0.95, 0.98 of it: ~1e-7, 1e-9, 1e-11)."""
    N, d, w0, _, end = shot_n2
    theta = float(np.real(wf(N, d).spectrum(n=3, l=l).theta[index]))
    root = brentq(lambda t: _shoot_sector(N, d, l, w0, t, 0.98 * end),
                  theta - 1e-3, theta + 1e-3, xtol=1e-14)
    assert root == pytest.approx(theta, abs=1e-9)


# --- expansions ---------------------------------------------------------------------------------

@pytest.mark.parametrize("N", [0.0, 3.0])
def test_epsilon_expansion(N):
    eps = np.array([0.05, 0.1, 0.2])
    fps = [wf(N, 4.0 - e) for e in eps]
    dnu = np.abs([fp.nu - (0.5 + (N + 2) / (4 * (N + 8)) * e) for fp, e in zip(fps, eps)])
    dom = np.abs([fp.omega - e for fp, e in zip(fps, eps)])
    for dev in (dnu, dom):
        slopes = np.diff(np.log(dev)) / np.diff(np.log(eps))
        assert np.all((slopes > 1.6) & (slopes < 2.3)), slopes
        assert slopes[0] == pytest.approx(2.0, abs=0.2)


def test_large_n():
    d = 3.0
    Ns = np.array([50.0, 100.0, 200.0])
    dev = np.array([wf(N, d).nu for N in Ns]) - 1 / (d - 2)
    assert np.all(dev < 0)
    c = Ns * dev  # nu = 1/(d-2) + c/N + O(1/N^2)
    assert abs(c[2] - c[1]) < 0.6 * abs(c[1] - c[0])
    assert abs(c[2] - c[1]) < 0.02 * abs(c[2])


# --- history independence -------------------------------------------------------------------

CHILD = textwrap.dedent("""
    import json, sys, warnings
    warnings.simplefilter("ignore")
    import lpa_host
    out = {}
    for d in json.loads(sys.argv[1]):
        out[repr(d)] = [[str(p.label), p.kind, p.n_relevant, p.nu]
                        for p in lpa_host.fixed_points(N=30, d=d)]
    print(json.dumps(out))
""")


def test_fixed_points_do_not_depend_on_earlier_calls():
    orders = ([2.6, 2.9], [2.9, 2.6])
    procs = [subprocess.Popen([sys.executable, "-c", CHILD, json.dumps(o)],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
             for o in orders]
    results = []
    try:
        for p in procs:
            out, err = p.communicate(timeout=120)
            assert p.returncode == 0, err
            results.append(json.loads(out.strip().splitlines()[-1]))
    finally:
        for p in procs:
            if p.poll() is None:
                p.kill()
    a, b = results
    assert set(a) == set(b) == {"2.6", "2.9"}
    for d in a:
        assert len(a[d]) == len(b[d]) >= 1
        for x, y in zip(a[d], b[d]):
            assert x[:3] == y[:3]
            assert abs(x[3] - y[3]) <= 1e-12


# --- errors ------------------------------------------------------------------------------------

@pytest.mark.parametrize("N", [1.0, 2.0, 3.0, 4.0])
def test_spectrum_errors_are_small_and_reliable(N):
    s = wf(N, 3.0).spectrum(n=5, l=0)
    assert np.all(s.error[1:] <= 1e-9), s.error
    assert np.all(s.reliable)


def test_unreliable_eigenvalues_come_with_a_warning():
    fp = wf(4.0, 3.0)
    with pytest.warns(RuntimeWarning, match="unreliable"):
        s = fp.spectrum(n=8, l=0, tol=1e-16)
    assert not np.all(s.reliable)
    assert np.all(s.reliable == (s.error <= 1e-16))
    with warnings.catch_warnings():  # a lenient request afterwards is reliable again
        warnings.simplefilter("error", RuntimeWarning)
        again = fp.spectrum(n=8, l=0, tol=1e-6)
    assert np.all(again.reliable)
    np.testing.assert_allclose(np.real(again.theta), np.real(s.theta), atol=1e-6)


@pytest.mark.parametrize("kwargs, message", [
    (dict(N=-2.0), "N must lie in"), (dict(N=-5.0), "N must lie in"),
    (dict(N=math.nan), "N must be finite"), (dict(d=2.1), "d must lie in"),
    (dict(d=4.0), "d must lie in"), (dict(N="1"), "N must be a real number"),
    (dict(N=True), "N must be a real number"), (dict(d=None), "d must be a real number"),
])
@pytest.mark.parametrize("entry", [lpa_host.wilson_fisher, lpa_host.fixed_points])
def test_entry_points_reject_bad_input(entry, kwargs, message):
    with pytest.raises(ValueError, match=re.escape(message)):
        entry(**kwargs)


@pytest.mark.parametrize("which, kwargs, message", [
    ("on", dict(n=0), "n must be a positive integer"),
    ("on", dict(n=2.0), "n must be a positive integer"),
    ("on", dict(l=-1), "l must be a non-negative integer"),
    ("on", dict(tol=0.0), "tol must be a positive number"),
    ("phi", dict(l=2), "has no symmetry sectors"),
    ("phi", dict(l=1), "has no symmetry sectors"),
])
def test_spectrum_rejects_bad_input(phi_wf, which, kwargs, message):
    fp = wf(1.0, 3.0) if which == "on" else phi_wf
    with pytest.raises(ValueError, match=re.escape(message)):
        fp.spectrum(**kwargs)
