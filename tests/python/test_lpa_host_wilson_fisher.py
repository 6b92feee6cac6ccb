"""lpa_host.wilson_fisher against independent computations: shooting from rho = 0 (scipy
only), the d = 3 literature values, the expansions near d = 4 and at large N."""

import math
import pickle
from dataclasses import replace

import numpy as np
import pytest

from lpa_host import shooting
from lpa_host import fixed_point as fpm
from lpa_host import wilson_fisher as wf


# nu, omega at d = 3 for this truncation and regulator: N = 1 from the literature, N = 2..4
# as published to the digits shown in the README.
@pytest.mark.parametrize("N,nu,omega", [
    (1, 0.64956177388065, 0.655745939193), (2, 0.70821090748718, 0.671221194392),
    (3, 0.76112313715799, 0.699837317836), (4, 0.80434769660456, 0.733752926285)])
def test_d3_reproduces_the_table(N, nu, omega):
    p = wf(N, 3.0)
    assert p.converged and p.n_relevant == 2 and p.kappa > 0 and p.u_prime_0 < 0
    assert p.nu == pytest.approx(nu, rel=1e-11 if N == 1 else 2e-12) and p.nu_error < 1e-11
    assert p.omega == pytest.approx(omega, abs=6e-12) and p.omega_error < 1e-11


@pytest.mark.parametrize("N,d", [(1.0, 2.5), (3.0, 2.8), (1.0, 3.5), (4.0, 3.8)])
def test_u_prime_0_and_kappa_agree_with_shooting(N, d):
    p = wf(N, d)
    w0, kappa = shooting.shoot(N, d, wtol=1e-15)
    assert p.u_prime_0 == pytest.approx(w0, abs=1e-10) and p.kappa == pytest.approx(kappa, rel=1e-8)
    assert p.converged and p.u_prime_0_error < 1e-10  # of the true error's size, not far below


@pytest.mark.parametrize("N", [1.0, 4.0])
def test_nu_near_four_dimensions_deviates_at_second_order(N):
    # nu = 1/2 + (N + 2) / (4 (N + 8)) eps + O(eps^2), eps = 4 - d. The first d is the end
    # of the range (3.95) plus a few ulps of rounding, which must still be accepted.
    d = np.array([np.arange(2.2, 3.9501, 0.01)[-1], 3.9, 3.85, 3.8])
    pts = [wf(N, float(x)) for x in d]
    assert d[0] != 3.95 and all(p.converged for p in pts)
    eps = 4.0 - d
    dev = np.array([p.nu for p in pts]) - (0.5 + (N + 2) / (4 * (N + 8)) * eps)
    slopes = np.diff(np.log(np.abs(dev))) / np.diff(np.log(eps))
    assert np.all(np.abs(slopes - 2.0) < 0.1), slopes


@pytest.mark.parametrize("d", [2.6, 3.5])
def test_large_N_approaches_the_spherical_limit(d):
    Ns = np.array([25.0, 50.0, 100.0, 200.0])
    gap = np.array([wf(N, d).nu - 1.0 / (d - 2.0) for N in Ns])
    assert np.all(np.abs(gap[1:]) < np.abs(gap[:-1]))
    c = Ns * gap  # the gap is a 1/N correction: N * gap settles
    assert np.all(np.abs(np.diff(c)) / np.abs(c[:-1]) < np.array([0.2, 0.1, 0.05]))


@pytest.mark.parametrize("N,d,match", [
    (-2.0, 3.0, "N must lie in"), (-5.0, 3.0, "N must lie in"), (1e6 + 1, 3.0, "N must lie in"),
    (1.0, 2.19, "d must lie in"), (1.0, 3.96, "d must lie in"), (1.0, 4.0, "d must lie in"),
    (math.nan, 3.0, "finite"), (1.0, math.inf, "finite"), ("one", 3.0, "real number"),
    (None, 3.0, "real number"), (True, 3.0, "real number"), ("1", 3.0, "real number")])
def test_out_of_range_input_raises(N, d, match):
    with pytest.raises(ValueError, match=match):
        wf(N, d)


@pytest.mark.parametrize("start,match", [("abc", "FixedPoint"), (3.0, "FixedPoint")])
def test_a_start_of_the_wrong_type_is_refused(start, match):
    with pytest.raises(TypeError, match=match):
        wf(1.0, 3.0, start=start)


def test_a_start_of_the_wrong_shape_is_refused_and_any_o_n_point_is_a_start():
    import lpa_host
    tri = [p for p in lpa_host.fixed_points(N=1.0, d=2.9) if p.n_relevant == 3][0]
    assert wf(1.0, 3.0, start=tri).nu == pytest.approx(wf(1.0, 3.0).nu, abs=1e-12)
    good = wf(1.0, 3.0)
    for doctored in (replace(good, degree=10 ** 6), replace(good, coeffs=good.coeffs[:5]),
                     replace(good, R=-1.0)):
        with pytest.raises(ValueError, match="start has the wrong shape"):
            wf(1.0, 3.0, start=doctored)


def test_warm_start_agrees_with_cold():
    cold = {d: wf(2.0, d) for d in (3.0, 3.3, 2.6)}
    for path in ((3.1, 3.2, 3.3), (2.9, 2.75, 2.6)):
        p = cold[3.0]
        for d in path:
            p = wf(2.0, d, start=p)
            assert p.converged
        for f in ("nu", "omega", "u_prime_0"):
            c = cold[path[-1]]
            err = getattr(c, f + "_error") + getattr(p, f + "_error")
            assert abs(getattr(p, f) - getattr(c, f)) <= 2 * err + 1e-14, f
    # a start from another N that crossed a process boundary (pickled)
    p = wf(2.0, 3.0, start=pickle.loads(pickle.dumps(wf(1.0, 3.0))))
    assert p.nu == pytest.approx(cold[3.0].nu, abs=1e-13)


def test_failure_comes_back_as_not_converged(monkeypatch):
    solve = fpm.newton  # every Newton solve reports failure
    monkeypatch.setattr(fpm, "newton", lambda *a, **k: replace(solve(*a, **k), ok=False))
    p = wf(1.0, 3.07)  # a point no other test asks for
    assert not p.converged and all(map(math.isnan, (p.nu, p.u_prime_0, p.nu_error)))
