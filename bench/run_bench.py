#!/usr/bin/env python3
"""_lpa_cpp against what a user would otherwise use: scipy.optimize and numpy.

    ./dev bench                      every section; writes bench/RESULTS.md
    ./dev bench --only square,tall   some sections; prints only (unless --out)
    ./dev bench --list               the sections

Every peer solves the same problem from the same start; the peers' linear
algebra (OpenBLAS) is pinned to one thread with threadpoolctl and checked.
Times are medians over repeated batches; ours and the peers' batches are
interleaved, so that a slow spell of the machine hits all of them alike.
"""

from __future__ import annotations

import argparse
import contextlib
import datetime
import gc
import os
import platform
import re
import subprocess
import sys
import time
import warnings

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import numpy as np  # noqa: E402
import scipy  # noqa: E402
from scipy.optimize import least_squares, root  # noqa: E402
from threadpoolctl import threadpool_info, threadpool_limits  # noqa: E402

# The peers' BLAS is pinned once its library is loaded and before it does any
# work, so that OpenBLAS never wakes (and leaves spinning) its worker threads.
# Only the BLAS: our OpenMP threads stay as they are.
_BLAS_LIMIT = threadpool_limits(limits=1, user_api="blas")

import _lpa_cpp  # noqa: E402
import problems as pb  # noqa: E402
import two_invariants as ti  # noqa: E402

SECTIONS = {
    "overhead": "Python call overhead (4 coefficients)",
    "square": "O(N) fixed point, square systems: time per solve",
    "tall": "O(N) fixed point, tall systems (m = 2n): time per iteration",
    "two": "two invariants (inv_dim = 2, 55 coefficients): time per solve",
    "multistart": "multistart_optimize over 64 starts against a Python loop",
    "fd": "per-coefficient finite-difference Jacobian, multithread True against False",
    "floor": "one Newton iteration against OpenBLAS's blocked QR of the same Jacobian",
    "scan": "lpa_host.scan on Dask distributed: 1 and 2 worker processes, against a loop",
    "generated": "O(N) routines generated from the formula against the hand-written ones",
}
SIZES = (16, 32, 64, 128, 256)
TOL = 1e-10
MAXITER = 50
LADDER = (1e-6, 1e-8, 1e-10, 1e-12, 1e-14)  # peers' tolerances, loosest first


# ---------------------------------------------------------------------------
# timing

class Timer:
    def __init__(self, repeats: int, batch_seconds: float):
        self.repeats = repeats
        self.batch_seconds = batch_seconds

    def _calls_per_batch(self, fn) -> int:
        t0 = time.perf_counter()
        fn()
        dt = time.perf_counter() - t0
        return max(1, min(100_000, int(self.batch_seconds / max(dt, 1e-7))))

    def compare(self, fns: dict) -> dict:
        """Median seconds per call of each function; batches interleaved."""
        fns = {k: f for k, f in fns.items() if f is not None}
        for f in fns.values():  # warm up: first-touch of buffers, lazy imports
            f()
        calls = {k: self._calls_per_batch(f) for k, f in fns.items()}
        samples = {k: [] for k in fns}
        gc_was = gc.isenabled()
        gc.disable()
        try:
            for _ in range(self.repeats):
                for k, f in fns.items():
                    c = calls[k]
                    t0 = time.perf_counter()
                    for _ in range(c):
                        f()
                    samples[k].append((time.perf_counter() - t0) / c)
        finally:
            if gc_was:
                gc.enable()
        return {k: float(np.median(v)) for k, v in samples.items()}


def us(t):
    if t is None or not np.isfinite(t):
        return "—"
    t *= 1e6
    if t >= 1e4:
        return f"{t / 1e3:.1f} ms"
    if t >= 100:
        return f"{t:.0f} µs"
    if t >= 10:
        return f"{t:.1f} µs"
    return f"{t:.2f} µs"


def ratio(a, b):
    if a is None or b is None or not (np.isfinite(a) and np.isfinite(b)) or b <= 0:
        return "—"
    return f"{a / b:.2f}×" if a / b < 10 else f"{a / b:.1f}×"


def table(header, rows):
    out = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    out += ["| " + " | ".join(str(c) for c in r) + " |" for r in rows]
    return out


# ---------------------------------------------------------------------------
# peers

def gauss_newton(fun, jac, x0, tol, maxiter):
    """The loop a user writes by hand: Newton / Gauss-Newton with lstsq."""
    x = np.array(x0, dtype=np.float64)
    i = 0
    while True:
        r = fun(x)
        err = float(np.linalg.norm(r))
        if err <= tol or i >= maxiter:
            return x, i, err
        x += np.linalg.lstsq(jac(x), -r, rcond=None)[0]
        i += 1


def hybr(fun, jac, x0, xtol):
    return root(fun, x0, jac=jac, method="hybr", options={"xtol": xtol})


def lm(fun, jac, x0, t):
    return least_squares(fun, x0, jac=jac, method="lm", xtol=t, ftol=t, gtol=t)


def calibrate(run, fun, tol):
    """Loosest tolerance of the ladder whose solution meets |F| <= tol, with
    that run's result; or the tightest one's result if none does."""
    last = None
    for t in LADDER:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            res = run(t)
        err = float(np.linalg.norm(fun(res.x)))
        last = (t, res, err)
        if err <= tol:
            return last
    return last


# ---------------------------------------------------------------------------
# sections

class Bench:
    def __init__(self, timer: Timer):
        self.timer = timer
        self.md: list[str] = []
        self.verdicts: list[tuple[str, bool | None, str]] = []

    def say(self, *lines):
        for line in lines:
            print(line, flush=True)
            self.md.append(line)

    def verdict(self, target, ok, detail):
        self.verdicts.append((target, ok, detail))

    # --- call overhead -------------------------------------------------------
    def overhead(self):
        self.say(f"## {SECTIONS['overhead']}", "", "`./dev bench --only overhead`", "")
        p = pb.ONProblem(4)
        s = p.solvers["chain rule"]
        c0, prm = p.start, p.params
        lo = s.local_optimize
        t = self.timer.compare({
            "maxiter=0": lambda: lo(c0, 0, TOL, prm),
            "maxiter=1": lambda: lo(c0, 1, TOL, prm),
            "empty Python call": lambda: None,
        })
        r1 = lo(c0, 1, TOL, prm)
        rows = [["`local_optimize(c0, 0, tol, p)`", us(t["maxiter=0"]), "0"],
                ["`local_optimize(c0, 1, tol, p)`", us(t["maxiter=1"]),
                 f"{r1.iterations}"],
                ["`(lambda: None)()` (the timing loop's own cost)", us(t["empty Python call"]),
                 ""]]
        self.say(*table(["call (n = 4, m = 4, per-coefficient Jacobian below n = 16)", "median",
                         "iterations"], rows), "")
        self.verdict("call overhead < 5 µs", t["maxiter=0"] < 5e-6,
                     f"maxiter=0: {us(t['maxiter=0'])}, one iteration: {us(t['maxiter=1'])}")

    # --- square O(N) -----------------------------------------------------------
    def square(self):
        self.say(f"## {SECTIONS['square']}", "",
                 "`./dev bench --only square`", "",
                 f"Start: the example's start potential `{pb.START}` interpolated at the "
                 f"points; solved to |F|₂ ≤ {TOL:g} (ours and the Gauss-Newton loop stop on "
                 "exactly that; hybr and lm get the loosest of xtol (= ftol = gtol for lm) "
                 f"∈ {{{', '.join(f'{t:g}' for t in LADDER)}}} whose answer meets it). "
                 "Ours run with multithread=False except the batched path, which is only "
                 "taken with multithread=True (it still makes one routine call). "
                 "Iterations: Newton corrections for ours and Gauss-Newton, "
                 "function/Jacobian evaluations (nfev/njev) for hybr and lm.", "")
        rows, rows2 = [], []
        for n in SIZES:
            p = pb.ONProblem(n)
            p.check_numpy_versions()
            c0, prm = p.start, p.params
            ours = {}
            fns = {}
            for path, s in p.solvers.items():
                mt = path == "batched"
                if path == "batched" and not p.batched_applies():
                    continue
                res = s.local_optimize(c0, MAXITER, TOL, prm, mt)
                ours[path] = res
                if res.success:
                    fns[path] = (lambda s=s, mt=mt: s.local_optimize(c0, MAXITER, TOL, prm, mt))
            th, rh, eh = calibrate(lambda t: hybr(p.residual, p.jacobian, c0, t), p.residual, TOL)
            tl, rl, el = calibrate(lambda t: lm(p.residual, p.jacobian, c0, t), p.residual, TOL)
            xg, ig, eg = gauss_newton(p.residual, p.jacobian, c0, TOL, MAXITER)
            fns["hybr"] = lambda: hybr(p.residual, p.jacobian, c0, th)
            fns["lm"] = lambda: lm(p.residual, p.jacobian, c0, tl)
            fns["numpy GN"] = lambda: gauss_newton(p.residual, p.jacobian, c0, TOL, MAXITER)
            t = self.timer.compare(fns)
            peers = {"hybr": (t["hybr"], eh <= TOL), "lm": (t["lm"], el <= TOL),
                     "numpy GN": (t["numpy GN"], eg <= TOL)}
            ok_peers = {k: v[0] for k, v in peers.items() if v[1]}
            fastest = min(ok_peers, key=ok_peers.get) if ok_peers else None
            tf = ok_peers.get(fastest)

            def cell(path):
                if path not in ours:
                    return "n/a"
                r = ours[path]
                if not r.success:
                    return f"no convergence ({r.iterations} it, \\|F\\| {r.error:.1e})"
                return f"{us(t[path])} ({r.iterations} it, {r.error:.0e})"
            rows.append([n, cell("chain rule"), cell("per-coefficient"), cell("batched"),
                         f"{us(t['hybr'])} ({rh.nfev}/{rh.njev}, {eh:.0e}, xtol {th:g})",
                         f"{us(t['lm'])} ({rl.nfev}/{rl.njev}, {el:.0e}, tol {tl:g})",
                         f"{us(t['numpy GN'])} ({ig} it, {eg:.0e})"])
            rows2.append([n, fastest or "—",
                          ratio(tf, t.get("chain rule")), ratio(tf, t.get("per-coefficient")),
                          ratio(tf, t.get("batched")),
                          ratio(t["hybr"], t.get("chain rule")),
                          ratio(t["lm"], t.get("chain rule")),
                          ratio(t["numpy GN"], t.get("chain rule"))])
            if n <= 64 and tf is not None and "chain rule" in t:
                need = 10.0 if n <= 32 else 3.0
                rr = tf / t["chain rule"]
                self.verdict(f"square n = {n}: ≥ {need:g}× the fastest peer",
                             rr >= need, f"chain rule {us(t['chain rule'])}, {fastest} "
                             f"{us(tf)}: {rr:.1f}×")
                for path in ("per-coefficient", "batched"):
                    if path in t:
                        rp = tf / t[path]
                        self.verdict(f"square n = {n}: ≥ {need:g}× the fastest peer ({path})",
                                     rp >= need, f"{path} {us(t[path])}: {rp:.1f}×")
            print(f"   n = {n} done", flush=True)
        self.say(*table(["n", "ours: chain rule", "ours: per-coefficient",
                         "ours: batched (multithread)", "scipy root hybr (nfev/njev)",
                         "scipy least_squares lm (nfev/njev)", "numpy Gauss-Newton + lstsq"],
                        rows), "")
        self.say("Ratios, peer time / our time (above 1: ours is faster):", "")
        self.say(*table(["n", "fastest peer", "fastest / chain rule",
                         "fastest / per-coefficient", "fastest / batched", "hybr / chain rule",
                         "lm / chain rule", "numpy GN / chain rule"], rows2), "")

    # --- tall O(N) ------------------------------------------------------------
    def tall(self):
        K = 6
        self.say(f"## {SECTIONS['tall']}", "", "`./dev bench --only tall`", "",
                 "m = 2n Chebyshev-Lobatto points: the least-squares residual does not vanish "
                 "and every method runs to its limit, so methods are compared per iteration. "
                 f"Ours and the Gauss-Newton loop: (time of {K} iterations − time of 0) / {K}, "
                 "each iteration being residual, Jacobian and step "
                 "(`local_optimize_fixed_iterations`). lm: run with xtol = ftol = gtol = 1e-15 "
                 "until it stops; time / njev (each of its iterations evaluates the Jacobian "
                 "once and the residual once or more). |F| is the final residual norm. "
                 "The finite-difference paths diverge at n ≥ 128 (their Jacobian is too "
                 "inaccurate there), which does not change the cost of an iteration.", "")
        rows, rows2 = [], []
        for n in SIZES:
            p = pb.ONProblem(n, tall=True)
            p.check_numpy_versions()
            c0, prm = p.start, p.params
            fns, errs = {}, {}
            for path, s in p.solvers.items():
                mt = path == "batched"
                if path == "batched" and not p.batched_applies():
                    continue
                k = K if path == "chain rule" else 3
                errs[path] = (s.local_optimize_fixed_iterations(c0, k, prm, mt).error, k)
                fns[path + " K"] = (lambda s=s, mt=mt, k=k:
                                    s.local_optimize_fixed_iterations(c0, k, prm, mt))
                fns[path + " 0"] = (lambda s=s, mt=mt:
                                    s.local_optimize_fixed_iterations(c0, 0, prm, mt))
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                rl = lm(p.residual, p.jacobian, c0, 1e-15)
            el = float(np.linalg.norm(p.residual(rl.x)))
            xg, ig, eg = gauss_newton(p.residual, p.jacobian, c0, 0.0, K)
            fns["lm"] = lambda: lm(p.residual, p.jacobian, c0, 1e-15)
            fns["GN K"] = lambda: gauss_newton(p.residual, p.jacobian, c0, 0.0, K)
            fns["GN 0"] = lambda: gauss_newton(p.residual, p.jacobian, c0, 0.0, 0)
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                t = self.timer.compare(fns)
            per = {}
            for path in p.solvers:
                if path + " K" in t:
                    per[path] = (t[path + " K"] - t[path + " 0"]) / errs[path][1]
            per["lm"] = t["lm"] / max(rl.njev, 1)
            per["GN"] = (t["GN K"] - t["GN 0"]) / K

            def cell(path):
                if path not in per:
                    return "n/a"
                e, k = errs[path]
                return f"{us(per[path])} (\\|F\\| {e:.2e} after {k})"
            rows.append([n, cell("chain rule"), cell("per-coefficient"), cell("batched"),
                         f"{us(per['lm'])} ({rl.nfev}/{rl.njev}, \\|F\\| {el:.2e})",
                         f"{us(per['GN'])} (\\|F\\| {eg:.2e} after {K})"])
            rows2.append([n, ratio(per["lm"], per["chain rule"]),
                          ratio(per["GN"], per["chain rule"]),
                          ratio(min(per["lm"], per["GN"]), per.get("per-coefficient")),
                          ratio(min(per["lm"], per["GN"]), per.get("batched"))])
            print(f"   n = {n} done", flush=True)
        self.say(*table(["n (m = 2n)", "ours: chain rule", "ours: per-coefficient",
                         "ours: batched (multithread)", "lm per Jacobian (nfev/njev)",
                         "numpy Gauss-Newton + lstsq"], rows), "")
        self.say("Ratios per iteration, peer / ours:", "")
        self.say(*table(["n", "lm / chain rule", "numpy GN / chain rule",
                         "faster peer / per-coefficient", "faster peer / batched"], rows2), "")

    # --- two invariants ---------------------------------------------------------
    def two(self):
        self.say(f"## {SECTIONS['two']}", "", "`./dev bench --only two`", "",
                 "F = u + a (x u_x + y u_y) + b (u_xx + u_yy) + c u_xy + k u³ − s(x, y) on "
                 "[−1, 1]², s chosen so that u* = P(x) Q(y) (total degree 5) solves it "
                 "(bench/two_invariants.py); Chebyshev product basis of total degree 9 "
                 "(55 functions) at the 55 Padua points; start u = 0; |F|₂ ≤ "
                 f"{TOL:g}. The last column is the largest difference between the "
                 "coefficients found and those of u* (interpolated independently).", "")
        tp = ti.TwoInvariantProblem()
        c0, prm = tp.start, tp.params
        solvers = {"chain rule": tp.solver(True), "per-coefficient": tp.solver(False)}
        res = {k: s.local_optimize(c0, MAXITER, TOL, prm) for k, s in solvers.items()}
        th, rh, eh = calibrate(lambda t: hybr(tp.residual, tp.jacobian, c0, t), tp.residual, TOL)
        tl, rl, el = calibrate(lambda t: lm(tp.residual, tp.jacobian, c0, t), tp.residual, TOL)
        xg, ig, eg = gauss_newton(tp.residual, tp.jacobian, c0, TOL, MAXITER)
        fns = {k: (lambda s=s: s.local_optimize(c0, MAXITER, TOL, prm))
               for k, s in solvers.items()}
        fns["hybr"] = lambda: hybr(tp.residual, tp.jacobian, c0, th)
        fns["lm"] = lambda: lm(tp.residual, tp.jacobian, c0, tl)
        fns["numpy GN"] = lambda: gauss_newton(tp.residual, tp.jacobian, c0, TOL, MAXITER)
        t = self.timer.compare(fns)
        dev = lambda x: float(np.abs(np.asarray(x) - tp.exact_coeffs).max())  # noqa: E731
        rows = [[f"ours: {k}", us(t[k]), f"{r.iterations} it", f"{r.error:.1e}",
                 f"{dev(r.coeffs):.1e}"] for k, r in res.items()]
        rows += [["scipy root hybr", us(t["hybr"]), f"{rh.nfev}/{rh.njev} (xtol {th:g})",
                  f"{eh:.1e}", f"{dev(rh.x):.1e}"],
                 ["scipy least_squares lm", us(t["lm"]), f"{rl.nfev}/{rl.njev} (tol {tl:g})",
                  f"{el:.1e}", f"{dev(rl.x):.1e}"],
                 ["numpy Gauss-Newton + lstsq", us(t["numpy GN"]), f"{ig} it", f"{eg:.1e}",
                  f"{dev(xg):.1e}"]]
        self.say(*table(["solver", "median per solve", "iterations", "\\|F\\|₂",
                         "max \\|c − c*\\|"], rows), "")
        peers = {k: t[k] for k, e in (("hybr", eh), ("lm", el), ("numpy GN", eg)) if e <= TOL}
        fastest = min(peers, key=peers.get)
        self.say(f"Fastest peer ({fastest}) / ours: chain rule "
                 f"{ratio(peers[fastest], t['chain rule'])}, per-coefficient "
                 f"{ratio(peers[fastest], t['per-coefficient'])}.", "")

    # --- multistart --------------------------------------------------------------
    def multistart(self):
        n = 32
        self.say(f"## {SECTIONS['multistart']}", "", "`./dev bench --only multistart`", "",
                 f"O(N) problem, n = m = {n}; the example's 16 start potentials, each as "
                 "interpolated and scaled by 0.95, 1.05 and 1.1 (64 starts, listed scale by "
                 "scale); maxiter 40, tol 1e-9. `multistart_optimize` (OpenMP, "
                 f"{_omp_threads()} threads, static schedule) against "
                 "`[local_optimize(s, …, multithread=False) for s in starts]`.", "")
        p = pb.ONProblem(n)
        s = p.solvers["chain rule"]
        base = [p.fp.interpolate(fn) for _, fn in pb.fp.start_potentials(pb.N_FIELD, pb.DIM)]
        starts = [b * f for f in (1.0, 0.95, 1.05, 1.1) for b in base]
        assert len(starts) == 64
        prm = p.params
        multi = s.multistart_optimize(starts, 40, 1e-9, prm)
        serial = [s.local_optimize(c, 40, 1e-9, prm, False) for c in starts]
        same = all(np.array_equal(np.asarray(a.coeffs), np.asarray(b.coeffs))
                   and a.iterations == b.iterations for a, b in zip(multi, serial))
        t = self.timer.compare({
            "multistart": lambda: s.multistart_optimize(starts, 40, 1e-9, prm),
            "serial": lambda: [s.local_optimize(c, 40, 1e-9, prm, False) for c in starts],
            "first half": lambda: [s.local_optimize(c, 40, 1e-9, prm, False)
                                   for c in starts[:32]],
        })
        conv = sum(r.success for r in multi)
        its = sum(r.iterations for r in multi)
        rows = [["multistart_optimize", us(t["multistart"])],
                 ["Python loop of local_optimize", us(t["serial"])],
                 ["(loop over the first 32 starts only)", us(t["first half"])]]
        self.say(*table(["64 starts", "median"], rows), "")
        r = t["serial"] / t["multistart"]
        half = t["first half"] / t["serial"]
        self.say(f"Speed-up {r:.2f}× on {os.cpu_count()} cores; {conv} of 64 starts converge, "
                 f"{its} Newton iterations in all; the first 32 starts (thread 0's share) take "
                 f"{100 * half:.0f}% of the serial time; results bit-for-bit equal to the "
                 f"loop's: {same}.", "")
        self.verdict("multistart ≥ 1.8× the serial loop on 2 cores", r >= 1.8,
                     f"{r:.2f}× (thread 0's share of the work: {100 * half:.0f}%)")

    # --- per-coefficient FD Jacobian ------------------------------------------------
    def fd(self):
        self.say(f"## {SECTIONS['fd']}", "", "`./dev bench --only fd`", "",
                 "Square O(N) problem, solver without sensitivity or batched routine, so the "
                 "Jacobian comes from per-coefficient central differences (2n routine calls of "
                 "m points); from n = 256 the loop over coefficients is spread over the OpenMP "
                 "threads when multithread=True. 'Iteration': one whole Newton iteration "
                 "(`local_optimize_fixed_iterations`, 1 minus 0); its FullPivLU step does not "
                 "depend on multithread. 'Differences': the finite-difference Jacobian alone, "
                 "measured with the probe routine of bench/problems.py (the O(N) residual's "
                 "work per point, times zero plus one: the Jacobian is zero and the step ends "
                 "at its first pivot search) as the probe's iteration minus the same probe's "
                 "iteration on the chain-rule path (residual, an m×n chain-rule loop and the "
                 "same cut-short step), so it slightly understates the differences.", "")
        rows = []
        for n in (256, 512):
            p = pb.ONProblem(n)
            c0, prm = p.start, p.params
            real = p.solvers["per-coefficient"]
            probe = pb.probe_solver(p, chain_rule=False)
            probe_chain = pb.probe_solver(p, chain_rule=True)
            fns = {}
            for mt in (False, True):
                for name, s in (("iter", real), ("fd", probe)):
                    for k in (0, 1):
                        fns[f"{name} {mt} {k}"] = (
                            lambda s=s, mt=mt, k=k:
                            s.local_optimize_fixed_iterations(c0, k, prm, mt))
            for k in (0, 1):
                fns[f"chain {k}"] = (lambda k=k:
                                     probe_chain.local_optimize_fixed_iterations(c0, k, prm))
            t = self.timer.compare(fns)
            d = {k: t[f"{k} 1"] - t[f"{k} 0"] for k in
                 ("iter False", "iter True", "fd False", "fd True", "chain")}
            fd_f = d["fd False"] - d["chain"]
            fd_t = d["fd True"] - d["chain"]
            rows.append([n, us(fd_f), us(fd_t), ratio(fd_f, fd_t), us(d["chain"]),
                         us(d["iter False"]), us(d["iter True"]),
                         ratio(d["iter False"], d["iter True"])])
            print(f"   n = {n} done", flush=True)
        self.say(*table(["n", "differences, multithread=False", "differences, True", "speed-up",
                         "rest of a probe iteration", "iteration, False", "iteration, True",
                         "speed-up"], rows), "")

    # --- floor ---------------------------------------------------------------------
    def floor(self):
        self.say(f"## {SECTIONS['floor']}", "", "`./dev bench --only floor`", "",
                 "Ours: one whole Newton iteration on the chain-rule path (residual, Jacobian, "
                 "step: `local_optimize_fixed_iterations`, 1 minus 0). Its parts: "
                 "'residual + Jacobian' is the same with the probe routines (zero "
                 "sensitivities: the chain-rule loop runs in full, the Jacobian is zero and "
                 "the step ends at its first pivot search); 'step' is the difference. "
                 "Floor: `numpy.linalg.qr(J, mode='r')` of the same Jacobian (at the start) "
                 "with OpenBLAS on one thread. The step is FullPivLU for square and "
                 "ColPivHouseholderQR for tall systems.", "")
        rows = []
        for n in (128, 256):
            for tall in (False, True):
                p = pb.ONProblem(n, tall=tall)
                c0, prm = p.start, p.params
                s = p.solvers["chain rule"]
                probe = pb.probe_solver(p, chain_rule=True)
                J = p.jacobian(c0)
                t = self.timer.compare({
                    "1": lambda: s.local_optimize_fixed_iterations(c0, 1, prm),
                    "0": lambda: s.local_optimize_fixed_iterations(c0, 0, prm),
                    "p1": lambda: probe.local_optimize_fixed_iterations(c0, 1, prm),
                    "p0": lambda: probe.local_optimize_fixed_iterations(c0, 0, prm),
                    "qr": lambda: np.linalg.qr(J, mode="r"),
                })
                it = t["1"] - t["0"]
                rj = t["p1"] - t["p0"]
                r = it / t["qr"]
                shape = f"{p.m}×{n}"
                rows.append([shape, us(it), us(rj), us(it - rj), us(t["qr"]), f"{r:.2f}×",
                             f"{(it - rj) / t['qr']:.2f}×"])
                self.verdict(f"iteration within 1.3× of blocked QR at {shape}", r <= 1.3,
                             f"iteration {us(it)}, QR {us(t['qr'])}: {r:.2f}× "
                             f"(step alone {(it - rj) / t['qr']:.2f}×)")
            print(f"   n = {n} done", flush=True)
        self.say(*table(["J (m×n)", "our iteration", "residual + Jacobian", "step",
                         "numpy qr(mode='r')", "iteration / QR", "step / QR"], rows), "")

    # --- scan on Dask distributed ---------------------------------------------------
    def scan(self):
        from lpa_host.scan import local_client, scan, warm_up, worker_report
        from lpa_host import wilson_fisher

        Ns = (1.0, 2.0, 3.0, 4.0)
        ds = [round(3.0 + 0.01 * i, 10) for i in range(51)]  # 3.0 .. 3.5
        n = len(Ns) * len(ds)
        tasks = 24
        segment = -(-n // tasks)  # the same tasks for both cluster sizes: the same work
        self.say(f"## {SECTIONS['scan']}", "", "`./dev bench --only scan`", "",
                 f"`lpa_host.scan` over N = {', '.join(f'{N:g}' for N in Ns)} and d = "
                 f"{ds[0]:g}, {ds[1]:g}, …, {ds[-1]:g} ({n} Wilson-Fisher points with their "
                 f"error estimates), {segment} points per task (the same {tasks} tasks for both "
                 "cluster sizes), on a LocalCluster of single-threaded worker processes "
                 "(OpenMP on one thread in each). Timed: the `scan` call on a running cluster "
                 "whose workers have loaded their routines and solved one point (`warm_up`), "
                 "median of 3 rounds, each round one scan on each cluster and the loop (both "
                 "clusters stay up, idle while the other works); the cluster's start is shown "
                 "apart. The loop: `wilson_fisher(N, d, "
                 "start=previous)` over the same points in this process, each N walked up in "
                 "d from a cold start.", "")
        repeats = 3
        samples = {1: [], 2: [], "loop": []}
        waited = {1: [], 2: []}
        starts, rows_of = {}, {}
        threads = set()

        def loop():
            out = []
            for N in Ns:
                prev = None
                for d in ds:
                    prev = wilson_fisher(N, d, start=prev)
                    out.append(prev)
            return out

        # Both clusters stay up (idle workers cost nothing) so that the runs
        # can be interleaved: a slow spell of the machine hits all three alike.
        with contextlib.ExitStack() as stack:
            clients = {}
            for k in (1, 2):
                t0 = time.perf_counter()
                clients[k] = stack.enter_context(local_client(k))
                warm_up(clients[k])
                starts[k] = time.perf_counter() - t0
                threads |= {w["openmp_threads"] for w in worker_report(clients[k]).values()}
            wilson_fisher(1.0, 3.0)  # load this process's routines too
            for rnd in range(repeats):
                for k in (1, 2):
                    before = clients[k].run(_run_queue_wait)
                    t0 = time.perf_counter()
                    rows_of[k] = scan(Ns, ds, client=clients[k], segment=segment)
                    samples[k].append(time.perf_counter() - t0)
                    after = clients[k].run(_run_queue_wait)
                    waited[k].append(min(after[w] - before[w] for w in after))
                t0 = time.perf_counter()
                loop_points = loop()
                samples["loop"].append(time.perf_counter() - t0)
                print(f"   round {rnd + 1} of {repeats} done", flush=True)
        times = {k: float(np.median(v)) for k, v in samples.items()}
        # The same, less the time the least-delayed worker spent waiting for a
        # core (other processes on the machine): an estimate for an idle machine.
        idle = {k: float(np.median(np.subtract(samples[k], waited[k]))) for k in (1, 2)}
        t_loop = times["loop"]
        reference = rows_of[1]
        same = threads == {1} and all(
            a["converged"] == b["converged"] and a["nu"] == b["nu"]
            for a, b in zip(rows_of[1], rows_of[2]))
        conv = sum(r["converged"] for r in reference)
        both = [(r, p) for r, p in zip(reference, loop_points) if r["converged"] and p.converged]
        dnu = max((abs(r["nu"] - p.nu) for r, p in both), default=float("nan"))
        err = max((p.nu_error for _, p in both), default=float("nan"))
        rows = [["scan, 1 worker", f"{n / times[1]:.2f}", us(times[1] / n),
                 f"{starts[1]:.1f} s"],
                ["scan, 2 workers", f"{n / times[2]:.2f}", us(times[2] / n),
                 f"{starts[2]:.1f} s"],
                ["loop of wilson_fisher", f"{n / t_loop:.2f}", us(t_loop / n), "—"]]
        self.say(*table(["", "fixed points / s", "time per point", "cluster start + warm-up"],
                        rows), "")
        r = times[1] / times[2]
        r_idle = idle[1] / idle[2]
        self.say(f"2 workers against 1: {r:.2f}× on {os.cpu_count()} cores (load average "
                 f"{_load()}); a rough estimate for an idle machine, the times less the "
                 f"run-queue wait of the least delayed worker (/proc/PID/task/*/schedstat; "
                 f"it also counts waits the workers cause each other, so it can pass 2×): "
                 f"{r_idle:.2f}× ({n / idle[1]:.2f} and {n / idle[2]:.2f} points/s). Per "
                 f"point, the "
                 f"scan on 2 workers takes {times[2] / t_loop:.2f}× the loop's time "
                 f"({t_loop / times[2]:.2f}× faster) and on 1 worker "
                 f"{times[1] / t_loop:.2f}× (over 1 means the tasks, transfers and each "
                 f"segment's cold start cost more than they save). {conv} of {n} points "
                 f"converged; the rows of "
                 f"both cluster sizes are the same numbers and their workers ran one OpenMP "
                 f"thread: {same}; largest difference of nu between the scan and the loop "
                 f"{dnu:.1e} (largest nu_error {err:.1e}).", "")
        self.verdict("scan: 2 workers ≥ 1.7× 1 worker on 2 cores", r >= 1.7,
                     f"{r:.2f}× ({n / times[1]:.2f} and {n / times[2]:.2f} points/s); "
                     f"rough idle-machine estimate {r_idle:.2f}×")


    # --- generated routines against hand-written ones ----------------------------------
    def generated(self):
        import ctypes

        import reference_on as ref

        from lpa_host import models
        self.say(f"## {SECTIONS['generated']}", "", "`./dev bench --only generated`", "",
                 "The O(N) model of `lpa_host.models.on()` (routines generated by sympy and "
                 "numba from its formula) against the hand-written cfuncs of "
                 "`bench/reference_on.py`, called through their addresses on the same "
                 "inputs (m points of [0, R], the last one at R, the second-order end row; "
                 "large m, so that the call through ctypes is a small part). "
                 "Ratio: generated / hand-written time per call.", "")
        gen = models.on().routines
        dbl = ctypes.POINTER(ctypes.c_double)
        sig = ctypes.CFUNCTYPE(None, *[dbl] * 6, ctypes.c_int32, ctypes.c_int32)
        ssig = ctypes.CFUNCTYPE(None, *[dbl] * 8, ctypes.c_int32)
        g_f, _, g_s, _ = gen.addresses()
        h_f, _, h_s = ref.addresses()
        rows = []
        worst = 0.0
        for m in (1024, 65536):
            rng = np.random.default_rng(m)
            R = 8.0
            x = np.linspace(0.0, R, m)
            u, w, h = rng.uniform(0.1, 1.0, m), rng.uniform(0.0, 1.0, m), rng.uniform(0, .5, m)
            prm_g = np.array([3.0, 2.0, R, 2.0])      # d, N, R, closure
            prm_h = np.array([2.0, 3.0, R, 2.0])      # N, d, R, closure
            bufs = [np.zeros(m) for _ in range(3)]

            def p(a):
                return a.ctypes.data_as(dbl)

            def flow_call(addr, prm):
                fn, args = sig(addr), [p(a) for a in (x, u, w, h, prm, bufs[0])]
                return lambda: fn(*args, m, 1)

            def sens_call(addr, prm):
                fn, args = ssig(addr), [p(a) for a in (x, u, w, h, prm, *bufs)]
                return lambda: fn(*args, m)

            t = self.timer.compare({
                "flow generated": flow_call(g_f, prm_g), "flow by hand": flow_call(h_f, prm_h),
                "sens generated": sens_call(g_s, prm_g), "sens by hand": sens_call(h_s, prm_h),
            })
            for what in ("flow", "sens"):
                r = t[f"{what} generated"] / t[f"{what} by hand"]
                worst = max(worst, r)
                rows.append([f"`{what}`, m = {m}", us(t[f"{what} generated"]),
                             us(t[f"{what} by hand"]), f"{r:.2f}"])
        self.say(*table(["routine", "generated", "by hand", "ratio"], rows), "")
        self.verdict("generated routines ≤ 1.2× the hand-written ones per call", worst <= 1.2,
                     f"worst ratio {worst:.2f}")


def _run_queue_wait():
    """Seconds this process's threads have waited for a core so far (Linux
    schedstat; 0 where it is missing). Runs in a scan's worker process."""
    import glob
    total = 0
    for path in glob.glob(f"/proc/{os.getpid()}/task/*/schedstat"):
        try:
            with open(path) as fh:
                total += int(fh.read().split()[1])
        except (OSError, ValueError, IndexError):
            pass
    return total * 1e-9


# ---------------------------------------------------------------------------
# environment

def _load():
    try:
        return " / ".join(f"{x:.2f}" for x in os.getloadavg()) + " (1 / 5 / 15 min)"
    except OSError:
        return "?"


def _omp_threads():
    for lib in threadpool_info():
        if lib.get("user_api") == "openmp":
            return lib.get("num_threads")
    return "?"


def _cpu_model():
    try:
        with open("/proc/cpuinfo") as fh:
            for line in fh:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "?"


def _eigen_version():
    for inc in ("/usr/include/eigen3", "/usr/local/include/eigen3"):
        try:
            with open(os.path.join(inc, "Eigen", "Version")) as fh:
                text = fh.read()
        except OSError:
            continue
        v = re.search(r'#define EIGEN_VERSION_STRING "([^"]+)"', text)
        if v:
            return v.group(1)
    return "?"


def _compiler():
    try:
        out = subprocess.run(["c++", "--version"], capture_output=True, text=True, timeout=10)
        return out.stdout.splitlines()[0]
    except Exception:  # noqa: BLE001
        return "?"


def _compile_flags():
    build = os.path.dirname(os.path.abspath(_lpa_cpp.__file__))
    try:
        with open(os.path.join(build, "build.ninja")) as fh:
            text = fh.read()
    except OSError:
        return "?"
    m = re.search(r"build CMakeFiles/lpa_solver\.dir/src/lpa/coll_solver\.cpp\.o:.*?\n"
                  r"(?:  .*\n)*?  FLAGS = (.*)\n", text)
    return m.group(1) if m else "?"


def environment(bench: Bench):
    info = threadpool_info()
    blas = [x for x in info if x.get("user_api") == "blas"]
    omp = [x for x in info if x.get("user_api") == "openmp"]
    pinned = bool(blas) and all(x.get("num_threads") == 1 for x in blas)
    lines = [
        f"- date: {datetime.datetime.now().strftime('%Y-%m-%d %H:%M')}",
        f"- machine: {_cpu_model()}, {os.cpu_count()} cores, "
        f"{platform.system()} {platform.release()} {platform.machine()}",
        f"- Python {platform.python_version()}, numpy {np.__version__}, scipy "
        f"{scipy.__version__}, numba {__import__('numba').__version__}, Eigen "
        f"{_eigen_version()}, {_compiler()}",
        f"- _lpa_cpp: `{_lpa_cpp.__file__}`; solver compiled with `{_compile_flags()}`",
    ]
    for x in blas:
        lines.append(f"- peers' BLAS: {x.get('internal_api')} {x.get('version')}, kernel "
                     f"`{x.get('architecture')}`, threading {x.get('threading_layer')}, "
                     f"**num_threads = {x.get('num_threads')}** (pinned with threadpoolctl, "
                     f"checked: {'one thread' if pinned else 'NOT one thread'}); "
                     f"OPENBLAS_CORETYPE={os.environ.get('OPENBLAS_CORETYPE', 'unset')}, "
                     f"OPENBLAS_L2_SIZE={os.environ.get('OPENBLAS_L2_SIZE', 'unset')}, "
                     f"OPENBLAS_NUM_THREADS={os.environ.get('OPENBLAS_NUM_THREADS', 'unset')} "
                     "in this process (`./dev` starts its toolchain with a clean environment, "
                     "so the kernel is OpenBLAS's own choice for this CPU)")
    for x in omp:
        lines.append(f"- our OpenMP: {os.path.basename(x.get('filepath', '?'))}, "
                     f"{x.get('num_threads')} threads (not limited; used by multistart and "
                     "multithread=True only)")
    lines.append(f"- load average at the start: {_load()} (other processes on the machine "
                 "distort every figure, the multistart one most)")
    lines.append(f"- timing: median over {bench.timer.repeats} batches of ≥ "
                 f"{bench.timer.batch_seconds * 1e3:.0f} ms each, batches of the compared "
                 "functions interleaved")
    bench.say("## Machine and software", "", *lines, "")
    if not pinned:
        raise SystemExit("the peers' BLAS is not pinned to one thread; refusing to compare")


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--only", help="comma-separated sections (see --list)")
    ap.add_argument("--list", action="store_true", help="list the sections and exit")
    ap.add_argument("--repeats", type=int, default=11,
                    help="batches per figure (default 11)")
    ap.add_argument("--batch-ms", type=float, default=20.0,
                    help="minimum length of a batch in ms (default 20)")
    ap.add_argument("--out", help="write the report here (default: bench/RESULTS.md on a "
                                  "full run, nowhere with --only)")
    args = ap.parse_args(argv)
    if args.list:
        for k, v in SECTIONS.items():
            print(f"{k:11s} {v}")
        return 0
    chosen = list(SECTIONS) if not args.only else [s.strip() for s in args.only.split(",")]
    unknown = [s for s in chosen if s not in SECTIONS]
    if unknown:
        ap.error(f"unknown section(s) {', '.join(unknown)}; choose from {', '.join(SECTIONS)}")
    out = args.out or (None if args.only else os.path.join(HERE, "RESULTS.md"))

    bench = Bench(Timer(args.repeats, args.batch_ms / 1e3))
    t_start = time.perf_counter()
    bench.say("# Benchmarks: _lpa_cpp against scipy and numpy", "",
              "Reproduce everything with `./dev bench` (this file is its report); one section "
              "with `./dev bench --only SECTION`. The peers' linear algebra (OpenBLAS) runs "
              "on ONE thread, pinned with threadpoolctl and checked below.", "")
    environment(bench)
    for name in chosen:
        getattr(bench, name)()
    if bench.verdicts:
        rows = [[target, {True: "holds", False: "**missed**", None: "—"}[ok], detail]
                for target, ok, detail in bench.verdicts]
        bench.say("## Targets", "", *table(["target", "", "measured in this run"], rows), "")
    bench.say(f"Whole run: {time.perf_counter() - t_start:.0f} s; load average at the end: "
              f"{_load()}.")
    if out:
        notes = os.path.join(HERE, "NOTES.md")
        text = "\n".join(bench.md) + "\n"
        if os.path.exists(notes) and not args.only:
            with open(notes) as fh:
                text += "\n" + fh.read()
        with open(out, "w") as fh:
            fh.write(text)
        print(f"\nreport written to {os.path.relpath(out)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
