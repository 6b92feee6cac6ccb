#!/usr/bin/env python3
"""Fixed points of the O(N) model and their spectra, local potential
approximation with the Litim regulator, from the equation written once:

    0 = -d u + (d - 2) rho u' + (N - 1) / (1 + u') + 1 / (1 + u' + 2 rho u'')

1. model:     the equation as a formula (lpa_host.Model); what the package derives
              from it (large-field power, denominators, Gaussian point).
2. search:    every fixed point that leaves the Gaussian one, at d = 3 and d = 2.6.
3. exponents: the Wilson-Fisher point for N = 0 ... 4 at d = 3 with its errors;
              u'(0) checked against an independent shooting solution (scipy).
4. spectra:   sectors l = 0, 1, 2, 4 at N = 1 ... 4 (l = 1 holds (d + 2)/2 and
              (d - 2)/2 exactly, the Gaussian point d - (d - 2)(k + l/2)), and
              n_c, the N above which cubic anisotropy is relevant.
5. phi:       N = 1 written in the field phi on [-R, R]: even and odd eigenvalues.
6. plot:      u'(rho) of the Wilson-Fisher points.

Run with ``./dev example [-o PATH]`` (or ``./dev python examples/wilson_fisher.py``).
Exits with status 1 if a check fails.
"""

from __future__ import annotations

import argparse
import os
import sys
import time
import warnings


import numpy as np  # noqa: E402

import lpa_host  # noqa: E402
from lpa_host import fixed_point as fpm  # noqa: E402
from lpa_host import models, outputs, shooting  # noqa: E402

D = 3.0
FORMULA = "-d*u + (d-2)*rho*u_rho + (N-1)/(1+u_rho) + 1/(1+u_rho+2*rho*u_rho_rho)"


def say(*args):
    print(*args, flush=True)


def fmt(theta, error):
    return "  ".join(f"{t:+.10f}({e:.0e})" for t, e in zip(np.real(theta), error))


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("-o", "--output", default="fixed_points.png",
                    help="where to write the plot, relative to the current directory "
                         "(default: %(default)s)")
    ap.add_argument("--no-plot", action="store_true", help="skip the plot")
    args = ap.parse_args(argv)
    if not args.no_plot:  # before the work, not after it
        try:
            args.output = outputs.check_figure_file(args.output, "-o")
        except ValueError as exc:
            ap.error(str(exc))
    t_start = time.perf_counter()
    failures = []

    def check(ok, what):
        if not ok:
            failures.append(what)

    say("1. The model from its formula")
    on = lpa_host.Model(FORMULA, invariants=["rho"], params={"d": D, "N": 1.0})
    t0 = time.perf_counter()
    on.routines  # generated and compiled (or loaded from the cache)
    say(f"   {FORMULA}\n   routines ready in {time.perf_counter() - t0:.2f} s; large-field "
        f"power p = {on.power(d=D):g}; Gaussian u0 = {on.gaussian(d=D, N=1):g}; "
        f"denominators: {', '.join(on.denominators)}")

    say("\n2. Every fixed point that leaves the Gaussian one (N = 1)")
    say(f"   {'d':>4s} {'branch':>6s} {'n_rel':>5s} {'u_prime_0':>16s} {'kappa':>10s} "
        f"{'nu':>16s} {'nu_error':>8s}")
    for d in (3.0, 2.6):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            found = on.fixed_points(d=d, N=1.0)
        for p in found:
            say(f"   {d:4.1f} {p.label!s:>6s} {p.n_relevant:5d} {p.u_prime_0:16.12f} "
                f"{p.kappa:10.6f} {p.nu:16.13f} {p.nu_error:8.1e}")
        check([p.n_relevant for p in found] == list(range(2, 2 + len(found))),
              f"d = {d}: the branches do not have 2, 3, ... relevant directions")
    check(len(found) == 3, "d = 2.6: expected 3 fixed points")

    say(f"\n3. Wilson-Fisher at d = {D:g} (errors: larger basis, larger domain); u'(0) "
        "against shooting")
    say(f"   {'N':>2s} {'nu':>17s} {'nu_error':>8s} {'omega':>16s} {'omega_error':>11s} "
        f"{'u_prime_0':>17s} {'shooting':>9s} {'time':>6s}")
    wf = {}
    for N in range(0, 5):
        p = wf[N] = lpa_host.wilson_fisher(N=N, d=D)
        w0 = shooting.shoot(N, D, wtol=1e-15)[0] if N >= 1 else np.nan
        say(f"   {N:2d} {p.nu:17.14f} {p.nu_error:8.1e} {p.omega:16.13f} "
            f"{p.omega_error:11.1e} {p.u_prime_0:17.14f} {p.u_prime_0 - w0:+9.1e} "
            f"{p.seconds:5.2f}s")
        check(p.converged and p.n_relevant == 2 and p.nu_error < 1e-10 * p.nu,
              f"wilson_fisher(N={N}): not converged or error too large")
        if N >= 1:
            check(abs(p.u_prime_0 - w0) < 1e-10, f"N={N}: u'(0) differs from shooting")

    say("\n4. Spectra: the 5 largest eigenvalues per sector, with errors")
    for N in range(1, 5):
        for l in (0, 1, 2, 4):
            sp = wf[N].spectrum(n=5, l=l)
            say(f"   N={N} l={l}: {fmt(sp.theta, sp.error)}")
            check(bool(np.all(sp.reliable)), f"N={N}, l={l}: unreliable eigenvalues")
            if l == 1:
                exact = [(D + 2) / 2, (D - 2) / 2]
                check(np.allclose(np.real(sp.theta[:2]), exact, atol=1e-10),
                      f"N={N}: l = 1 does not hold (d+2)/2 and (d-2)/2")
    gauss = fpm.solve(models.on(), {"d": D, "N": 2.0}, lambda x: 2.0 / D + 0.0 * x, 20.0, 40)
    for l in (0, 1, 2):
        sp = gauss.spectrum(n=4, l=l)
        exact = [D - (D - 2) * (k + l / 2) for k in range(4)]
        say(f"   Gaussian N=2 l={l}: {fmt(sp.theta, sp.error)}   exact {exact}")
        check(np.allclose(np.real(sp.theta), exact, atol=1e-9), f"Gaussian l={l} not exact")
    t0 = time.perf_counter()
    nc = lpa_host.n_c(d=D)
    say(f"   n_c(d = 3) = {nc:.10f}: above it the leading l = 4 eigenvalue at Wilson-Fisher "
        f"is positive ({time.perf_counter() - t0:.1f} s)")

    say("\n5. N = 1 in the field phi on [-R, R]: " + models.PHI_EQUATION)
    (p_phi,) = [p for p in models.phi().fixed_points(d=D) if p.n_relevant == 4]
    sp = p_phi.spectrum(n=6)
    say(f"   theta: {fmt(sp.theta, sp.error)}")
    even = wf[1].spectrum(n=3, l=0).theta
    odd = wf[1].spectrum(n=3, l=1).theta
    merged = np.sort(np.real(np.concatenate([even, odd])))[::-1][:6]
    say(f"   rho formulation, l = 0 and 1 merged: {', '.join(f'{t:+.10f}' for t in merged)}")
    check(np.allclose(np.real(sp.theta), merged, atol=1e-8), "phi: spectrum differs from rho's")

    if not args.no_plot:
        plot(wf, args.output)
        say(f"\nplot of u'(rho): {args.output}")
    say(f"total time {time.perf_counter() - t_start:.1f} s")
    if failures:
        say("FAILED: " + "; ".join(failures))
        return 1
    return 0


def plot(points, filename):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(6.5, 4.2))
    rho_max = 2.2 * max(p.kappa for p in points.values() if np.isfinite(p.kappa))
    rho = np.linspace(0.0, rho_max, 400)
    for N, p in points.items():
        ax.plot(rho, p.potential(rho, derivative=1), label=f"N = {N}")
        ax.plot([p.kappa], [0.0], "k.", ms=5)
    ax.axhline(0.0, color="0.6", lw=0.6)
    ax.set_xlabel(r"$\rho$")
    ax.set_ylabel(r"$u'(\rho)$")
    ax.set_title(r"Wilson-Fisher fixed points, $d = 3$ (dots: $\kappa$)")
    ax.legend()
    fig.tight_layout()
    outputs.save_figure(fig, filename)
    plt.close(fig)


if __name__ == "__main__":
    sys.exit(main())
