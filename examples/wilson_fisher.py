#!/usr/bin/env python3
"""Wilson-Fisher fixed points of the O(N) model in d = 3, local potential
approximation with the Litim regulator.

    0 = -d u + (d - 2) rho u' + (N - 1) / (1 + u') + 1 / (1 + u' + 2 rho u'')

1. search:  Newton from a spread of simple starts (multistart_optimize) at
            N = 1 and N = 4; every distinct solution is classified by the signs
            of the propagator denominators on a fine grid and by its number of
            relevant directions.
2. path:    the Wilson-Fisher point continued in N from 1 to 4
            (param_path_following), with nu and omega along the way.
3. refine:  each N = 1..4 solved again on [0, 4.5 kappa] with growing bases
            (local_optimize, then a few fixed Newton steps), checked against a
            larger domain and against an independent shooting solution.
4. plot:    u'(rho) of the four fixed points.
5. package: lpa_host.wilson_fisher at d = 2.5, 3 and 3.5 for N = 1, 2, 4, with
            its error estimates, checked against step 3 at d = 3.

Run with ``./dev example`` (or ``./dev python examples/wilson_fisher.py -o PATH``).
"""

from __future__ import annotations

import argparse
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))

import numpy as np  # noqa: E402

T_START = time.perf_counter()
from lpa_host import flow  # noqa: E402  (loads or compiles the cfuncs)
T_CFUNCS = time.perf_counter() - T_START
from lpa_host import exponents as ex  # noqa: E402
from lpa_host import fixed_point as fp  # noqa: E402
from lpa_host import shooting  # noqa: E402
import lpa_host  # noqa: E402

D = 3.0
# Literature values (d = 3, same truncation and regulator), for comparison only.
PUBLISHED = {1: (0.64956177388065, 0.655745939193), 2: (0.7082, 0.6712),
             3: (0.7611, 0.6998), 4: (0.8043, 0.7338)}

SEARCH_R, SEARCH_DEGREE = 8.0, 24      # first-guess domain, coarse basis
PATH_DEGREE = 48
DOMAIN_IN_KAPPA = 4.5                  # refinement domain [0, 4.5 kappa]
DEGREES = (80, 96, 112)
# Domain checks: (R / kappa, degree). A larger domain needs a larger basis for
# the same accuracy; a smaller one leans harder on the closure at rho = R.
OTHER_DOMAINS = ((3.5, 96), (6.0, 128))


def say(*args):
    print(*args, flush=True)


def fmt_theta(theta, k=4):
    out = []
    for t in theta[:k]:
        s = f"{t.real:8.4f}"
        if abs(t.imag) > 1e-9:
            s += f"{t.imag:+.2f}i"
        out.append(s)
    return " ".join(out)


def classify(summary, n_relevant):
    if not summary.positive:
        return "spurious"
    if np.isnan(summary.kappa) and abs(summary.w0) < 1e-8:
        return "Gaussian"
    if n_relevant == 2:
        return "Wilson-Fisher"
    return "other"


def search(N):
    """Multistart at one N; returns the Wilson-Fisher summary (or None)."""
    problem = fp.FixedPointProblem(SEARCH_R, SEARCH_DEGREE, D)
    starts = fp.start_potentials(N, D)
    t0 = time.perf_counter()
    results = problem.solver.multistart_optimize(
        [problem.interpolate(fn) for _, fn in starts], 40, 1e-9, problem.params(N))
    dt = time.perf_counter() - t0
    ok = [r for r in results if r.success]
    say(f"\n  N = {N:g}: {len(starts)} starts on [0, {SEARCH_R:g}], degree {SEARCH_DEGREE}: "
        f"{len(ok)} converged, {len(starts) - len(ok)} did not ({dt * 1e3:.0f} ms)")
    say(f"    {'kind':14s} {'starts':>6s} {"u'(0)":>12s} {'kappa':>8s} "
        f"{"min(1+u')":>11s} {"min(1+u'+2rho u'')":>21s} {'n_rel':>5s}  leading theta")
    wf = None
    groups = fp.distinct([fp.summarize(problem, r.coeffs, N) for r in ok])
    for g in groups:
        s = g[0]
        theta = ex.eigenvalues(problem, s.coeffs, N)
        n_rel = ex.exponents(theta, D)[2]
        kind = classify(s, n_rel)
        say(f"    {kind:14s} {len(g):6d} {s.w0:12.6f} {s.kappa:8.4f} {s.min_a:11.3g} "
            f"{s.min_b:21.3g} {n_rel:5d}  {fmt_theta(theta)}")
        if kind == "Wilson-Fisher":
            wf = s
    return problem, wf


def path(source, wf1, R):
    """Continuation in N from 1 to 4 on [0, R]."""
    problem = fp.FixedPointProblem(R, PATH_DEGREE, D)
    Ns = np.linspace(1.0, 4.0, 13)
    start = problem.transfer(wf1.coeffs, source)
    t0 = time.perf_counter()
    results = problem.solver.param_path_following(
        start, 40, 1e-10, [problem.params(N) for N in Ns], True)
    dt = time.perf_counter() - t0
    say(f"\n  {len(Ns)} points on [0, {R:.4f}], degree {PATH_DEGREE} ({dt * 1e3:.0f} ms)")
    say(f"    {'N':>5s} {'iter':>4s} {"u'(0)":>12s} {'kappa':>9s} {'nu':>12s} "
        f"{'omega':>12s} {'n_rel':>5s} {'positive':>8s}")
    out = {}
    for N, r in zip(Ns, results):
        if not r.success:
            say(f"    {N:5.2f} no convergence (residual {r.error:.2e})")
            continue
        s = fp.summarize(problem, r.coeffs, N)
        nu, om, n_rel = ex.exponents(ex.eigenvalues(problem, r.coeffs, N), D)
        say(f"    {N:5.2f} {r.iterations:4d} {s.w0:12.8f} {s.kappa:9.5f} {nu:12.9f} "
            f"{om:12.9f} {n_rel:5d} {str(s.positive):>8s}")
        out[float(N)] = (s, nu, om)
    return problem, out


def solve_on(R, degree, N, start, source):
    """Newton on [0, R] from a solution of `source`, then two fixed Newton steps."""
    problem = fp.FixedPointProblem(R, degree, D)
    t0 = time.perf_counter()
    r = problem.solve(problem.transfer(start, source), N, maxiter=30, tol=1e-11)
    r2 = problem.polish(r.coeffs, N, steps=2)
    dt = time.perf_counter() - t0
    s = fp.summarize(problem, r2.coeffs, N)
    nu, om, n_rel = ex.exponents(ex.eigenvalues(problem, r2.coeffs, N), D)
    return dict(problem=problem, summary=s, nu=nu, omega=om, n_rel=n_rel, success=r.success,
                iterations=r.iterations, residual=r.error, polished=r2.error, time=dt)


def refine(N, path_problem, start):
    kappa0 = start.kappa
    R = DOMAIN_IN_KAPPA * kappa0
    runs = []
    for deg in DEGREES:
        runs.append(solve_on(R, deg, N, start.coeffs, path_problem))
        x = runs[-1]
        s = x["summary"]
        say(f"    N={N:g} [0, {R:.4f}] degree {deg:3d}: {x['iterations']} iterations, "
            f"residual {x['residual']:.1e} -> {x['polished']:.1e} after 2 more steps, "
            f"nu = {x['nu']:.14f}, omega = {x['omega']:.12f}, "
            f"positive {s.positive}, {x['time'] * 1e3:.1f} ms")
    best = runs[-1]
    best["dnu_basis"] = runs[-1]["nu"] - runs[-2]["nu"]
    best["dnu_domain"] = []
    for factor, deg in OTHER_DOMAINS:
        Rx = factor * kappa0
        x = solve_on(Rx, deg, N, start.coeffs, path_problem)
        say(f"    N={N:g} [0, {Rx:.4f}] degree {deg:3d}: {x['iterations']} iterations, "
            f"nu = {x['nu']:.14f}, omega = {x['omega']:.12f}, positive {x['summary'].positive}")
        best["dnu_domain"].append(x["nu"] - best["nu"])
    return best


def plot(finals, path_points, filename):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, (ax, bx) = plt.subplots(1, 2, figsize=(11, 4.2))
    rho_max = 2.2 * max(x["summary"].kappa for x in finals.values())
    for N, x in finals.items():
        problem, s = x["problem"], x["summary"]
        rho = np.linspace(0.0, min(problem.R, rho_max), 400)
        ax.plot(rho, problem.evaluate(s.coeffs, rho)[1], label=f"N = {N}")
        ax.plot([s.kappa], [0.0], "k.", ms=5)
    ax.axhline(0.0, color="0.6", lw=0.6)
    ax.set_xlabel(r"$\rho$")
    ax.set_ylabel(r"$u'(\rho)$")
    ax.set_title(r"Wilson-Fisher fixed points, $d = 3$ (dots: $\kappa$)")
    ax.legend()
    Ns = sorted(path_points)
    bx.plot(Ns, [path_points[N][0] for N in Ns], "o-", label=r"$\nu$")
    bx.plot(Ns, [path_points[N][1] for N in Ns], "s-", label=r"$\omega$")
    bx.set_xlabel("N")
    bx.set_title("exponents along the continuation in N")
    bx.legend()
    fig.tight_layout()
    os.makedirs(os.path.dirname(os.path.abspath(filename)), exist_ok=True)
    fig.savefig(filename, dpi=120)
    plt.close(fig)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("-o", "--output", default=os.path.join(HERE, "output", "fixed_points.png"),
                    help="where to write the plot (default: %(default)s)")
    ap.add_argument("--no-plot", action="store_true", help="skip the plot")
    args = ap.parse_args(argv)

    say(f"O(N) model, LPA, Litim regulator, d = {D:g}")
    say(f"flow routines ready in {T_CFUNCS:.2f} s (numba cfuncs: flow, batched flow, "
        f"sensitivities)")

    say("\n1. Fixed points from a spread of starts (multistart_optimize)")
    say("   min(...): smallest propagator denominator on a 4001-point grid (spurious if <= 0);\n"
        "   n_rel: number of theta > 0, the constant shift theta = d included")
    search_problem, wf1 = search(1.0)
    _, wf4 = search(4.0)
    if wf1 is None or wf4 is None:
        raise SystemExit("no Wilson-Fisher point found in the search")

    R_path = DOMAIN_IN_KAPPA * wf4.kappa
    say("\n2. Continuation in N (param_path_following); domain 4.5 kappa of N = 4")
    path_problem, path_points = path(search_problem, wf1, R_path)

    say("\n3. Refinement on [0, 4.5 kappa] (local_optimize + 2 steps of "
        "local_optimize_fixed_iterations)")
    finals = {}
    for N in (1, 2, 3, 4):
        finals[N] = refine(float(N), path_problem, path_points[float(N)][0])

    say("\n   independent check: shooting from rho = 0 (scipy solve_ivp + bisection in u'(0))")
    for N, x in finals.items():
        s = x["summary"]
        t0 = time.perf_counter()
        w0, kappa = shooting.shoot(float(N), D, bracket=(s.w0 - 1e-6, s.w0 + 1e-6))
        say(f"    N={N}: u'(0) = {w0:.15f} (collocation {s.w0 - w0:+.1e}), "
            f"kappa = {kappa:.12f} (collocation {s.kappa - kappa:+.1e}) "
            f"[{time.perf_counter() - t0:.2f} s]")

    say(f"\n4. Wilson-Fisher fixed points, d = 3, degree {DEGREES[-1]} on [0, 4.5 kappa]")
    say(f"  {'N':>2s} {"u'(0)":>16s} {'kappa':>12s} {'nu':>17s} {'omega':>15s} "
        f"{'iter':>4s} {'ms':>5s} {'dnu(basis)':>10s} {'dnu(3.5k)':>9s} {'dnu(6k)':>9s}   "
        f"published nu, omega")
    for N, x in finals.items():
        s = x["summary"]
        say(f"  {N:2d} {s.w0:16.12f} {s.kappa:12.8f} {x['nu']:17.14f} {x['omega']:15.12f} "
            f"{x['iterations']:4d} {x['time'] * 1e3:5.1f} {x['dnu_basis']:10.1e} "
            f"{x['dnu_domain'][0]:9.1e} {x['dnu_domain'][1]:9.1e}   "
            f"{PUBLISHED[N][0]}, {PUBLISHED[N][1]}")
    nu1 = finals[1]["nu"]
    say(f"\n  N=1: nu = {nu1:.14f}, published {PUBLISHED[1][0]:.14f}, "
        f"relative difference {abs(nu1 / PUBLISHED[1][0] - 1):.1e}")
    say(f"  dnu(basis): degree {DEGREES[-1]} minus degree {DEGREES[-2]}; dnu(3.5k), dnu(6k): "
        f"nu on [0, 3.5 kappa] (degree {OTHER_DOMAINS[0][1]}) and on [0, 6 kappa] "
        f"(degree {OTHER_DOMAINS[1][1]}) minus the table's")

    say("\n5. lpa_host.wilson_fisher (domain from the damping of the fast solution, "
        "errors from a larger basis and domain)")
    say(f"  {'N':>2s} {'d':>4s} {"u'(0)":>17s} {'nu':>17s} {'nu_error':>8s} {'omega':>16s} "
        f"{'omega_error':>11s} {'R/kappa':>7s} {'degree':>6s} {'ms':>5s}")
    package = {}
    for d in (2.5, 3.0, 3.5):
        for N in (1, 2, 4):
            p = lpa_host.wilson_fisher(N, d)
            package[N, d] = p
            say(f"  {N:2d} {d:4.1f} {p.u_prime_0:17.14f} {p.nu:17.14f} {p.nu_error:8.1e} "
                f"{p.omega:16.13f} {p.omega_error:11.1e} {p.R / p.kappa:7.2f} {p.degree:6d} "
                f"{p.seconds * 1e3:5.0f}")

    if not args.no_plot:
        plot(finals, {N: p[1:] for N, p in path_points.items()}, args.output)
        say(f"\nplot of u'(rho): {os.path.relpath(args.output)}")
    say(f"total time {time.perf_counter() - T_START:.1f} s")

    failures = []
    if abs(nu1 / PUBLISHED[1][0] - 1) > 1e-10:
        failures.append("nu(N=1) differs from the literature value beyond 1e-10")
    for N, x in finals.items():
        spread = max(abs(x["dnu_basis"]), *map(abs, x["dnu_domain"]))
        if spread > 1e-10 * x["nu"]:
            failures.append(f"nu(N={N}) moves by {spread:.1e} with basis or domain")
        if not (x["success"] and x["summary"].positive and x["n_rel"] == 2):
            failures.append(f"N={N}: not a clean Wilson-Fisher point")
    for (N, d), p in package.items():
        if not (p.converged and p.nu_error < 1e-10 * p.nu and p.omega_error < 1e-9 * p.omega):
            failures.append(f"wilson_fisher({N}, {d}): not converged or error estimate too large")
        if d == D and abs(p.nu - finals[N]["nu"]) > 1e-10 * p.nu:
            failures.append(f"wilson_fisher({N}, 3) and step 3 disagree on nu")
    if failures:
        raise SystemExit("FAILED: " + "; ".join(failures))


if __name__ == "__main__":
    main()
