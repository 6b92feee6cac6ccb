#!/usr/bin/env python3
"""Bit-for-bit record of what the solver computes, to check that a change made
for speed leaves every result exactly as it was.

    ./dev python bench/bitcheck.py --save before.json     # with the old build
    ./dev python bench/bitcheck.py --compare before.json  # with the new one

Each case runs one driver (square and tall O(N) problems with every Jacobian
path, serial and multithreaded, converging and diverging runs, the
two-invariant problem, rank-deficient and zero Jacobians, NaN starts,
multistart and path following) and records a digest of the raw bytes of the
coefficients, the error, the iteration count and the success flag. --compare
lists every case whose digest differs and exits with status 1 if any does.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import numpy as np  # noqa: E402
from numba import carray, cfunc  # noqa: E402

import _core_cpp  # noqa: E402
import _lpa_cpp  # noqa: E402
import reference_problem as fp  # noqa: E402
import reference_on as flow  # noqa: E402

import two_invariants as ti  # noqa: E402

R = 4.5 * 1.8149


@cfunc(flow.FLOW_SIG, nopython=True, cache=True, error_model="numpy")
def constant_flow(points, vals, grads, hess, flow_params, out, n_points, inv_dim):
    """1 + 0 * u: a residual that does not depend on the coefficients (J = 0)."""
    n = np.int64(n_points)
    v = carray(vals, (n,))
    o = carray(out, (n,))
    for p in range(n):
        o[p] = 1.0 + 0.0 * v[p]


class DuplicatedColumn(_core_cpp.Ansatz):
    """A Chebyshev basis whose last function repeats the first: rank n - 1."""

    def __init__(self, inner):
        _core_cpp.Ansatz.__init__(self, inner.n_coeffs + 1)
        self.inner = inner

    def evaluate_basis(self, grid):
        v, d1, d2 = self.inner.evaluate_basis(grid)
        dup = (lambda a: np.hstack([np.asarray(a), np.asarray(a)[:, :1]]))
        return dup(v), [dup(t) for t in d1], [dup(t) for t in d2]


def digest(results, nan_canonical=False):
    """sha256 of the raw bytes of every result; with nan_canonical, every NaN
    is first replaced by the same quiet NaN (its sign and payload are not part
    of any value: they follow which operand of a commutative operation the
    compiler happened to put first)."""
    h = hashlib.sha256()
    for r in results:
        c = np.array(r.coeffs, dtype=np.float64)
        e = np.array([r.error], dtype=np.float64)
        if nan_canonical:
            c[np.isnan(c)] = np.nan
            e[np.isnan(e)] = np.nan
        h.update(c.tobytes())
        h.update(e.tobytes())
        h.update(np.int64(r.iterations).tobytes())
        h.update(bytes([bool(r.success)]))
    return h.hexdigest()


def record_of(results):
    return {"raw": digest(results), "nan_canonical": digest(results, True)}


def cases():
    """Yields (name, thunk returning a list of OptimizeResult)."""
    f, fb, fs = flow.addresses()
    starts = dict(fp.start_potentials(1.0))
    for n in (16, 32, 64, 128, 256):
        for tall in (False, True):
            prob = fp.FixedPointProblem(R, n - 1, 3.0, 2 * n if tall else None)
            prm = prob.params(1.0)
            grid, ans = prob.grid, prob.ansatz
            solvers = {
                "chain": prob.solver,
                "percoef": _lpa_cpp.LPACollSolver_cpp(grid, ans, f, 0, 0, 0, 1, 3),
                "batched": _lpa_cpp.LPACollSolver_cpp(grid, ans, f, fb, 0, 0, 1, 3),
            }
            c0s = [prob.interpolate(starts[k]) for k in
                   ("k0=2 lam=0.1 g=0.01", "k0=1 lam=0.1 g=0", "k0=-1 lam=0.5 g=0.05")]
            tag = f"O(N) n={n} {'tall' if tall else 'square'}"
            for name, s in solvers.items():
                for mt in (False, True):
                    if name == "batched" and not mt:
                        continue
                    iters = 3 if n >= 256 else 8
                    for i, c0 in enumerate(c0s if n < 256 else c0s[:1]):
                        yield (f"{tag} {name} mt={mt} start{i} local_optimize",
                               lambda s=s, c0=c0, mt=mt, it=iters:
                               [s.local_optimize(c0, it, 1e-10, prm, mt)])
                        yield (f"{tag} {name} mt={mt} start{i} fixed",
                               lambda s=s, c0=c0, mt=mt, it=iters:
                               [s.local_optimize_fixed_iterations(c0, k, prm, mt)
                                for k in range(it)])
            if n <= 64:
                yield (f"{tag} chain multistart",
                       lambda s=solvers["chain"], c0s=c0s:
                       s.multistart_optimize(c0s * 3, 12, 1e-10, prm))
                yield (f"{tag} chain path following",
                       lambda s=solvers["chain"], c0=c0s[0], prob=prob:
                       s.param_path_following(c0, 12, 1e-10,
                                              [prob.params(N) for N in (1.0, 1.5, 2.0, 3.0)],
                                              True))
                yield (f"{tag} NaN start",
                       lambda s=solvers["chain"], c0=c0s[0]:
                       [s.local_optimize(np.where(np.arange(n) == 1, np.nan, c0), 3, 1e-10,
                                         prm)])
                zero = _lpa_cpp.LPACollSolver_cpp(grid, ans, constant_flow.address, 0, 0, 0,
                                                  1, 3)
                yield (f"{tag} zero Jacobian",
                       lambda s=zero, c0=c0s[0]:
                       [s.local_optimize_fixed_iterations(c0, 2, prm)])
                dup = DuplicatedColumn(ans)
                m_pts = grid.shape[0]
                if m_pts >= dup.n_coeffs:
                    sd = _lpa_cpp.LPACollSolver_cpp(grid, dup, f, 0, fs, 0, 1, 3)
                    cd = np.append(c0s[0], 0.0)
                    yield (f"{tag} rank-deficient",
                           lambda s=sd, c0=cd:
                           [s.local_optimize_fixed_iterations(c0, k, prm) for k in range(5)])
    tp = ti.TwoInvariantProblem()
    for sens in (True, False):
        s = tp.solver(sens)
        for mt in (False, True):
            yield (f"two invariants sens={sens} mt={mt}",
                   lambda s=s, mt=mt: [s.local_optimize(tp.start, 20, 1e-10, tp.params, mt)]
                   + [s.local_optimize_fixed_iterations(tp.start, k, tp.params, mt)
                      for k in range(9)])
    # tall two-invariant system: a tensor grid of Chebyshev points (100 >= 55)
    g1 = np.cos(np.pi * (np.arange(10) + 0.5) / 10)
    grid = np.array([(a, b) for a in g1 for b in g1])
    st = _lpa_cpp.LPACollSolver_cpp(grid, tp.ansatz, ti.flow_cfunc.address, 0,
                                    ti.sens_cfunc.address, 0, 2, ti.PARAM_DIM)
    yield ("two invariants tall",
           lambda: [st.local_optimize_fixed_iterations(tp.start, k, tp.params) for k in range(9)])


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    g = ap.add_mutually_exclusive_group(required=True)
    g.add_argument("--save", metavar="FILE")
    g.add_argument("--compare", metavar="FILE")
    args = ap.parse_args()
    record = {name: record_of(run()) for name, run in cases()}
    if args.save:
        with open(args.save, "w") as fh:
            json.dump(record, fh, indent=1)
        print(f"{len(record)} cases recorded in {args.save}")
        return 0
    with open(args.compare) as fh:
        before = json.load(fh)
    same, nan_sign, differ = [], [], []
    for k, old in before.items():
        new = record.get(k)
        if new is None or new["nan_canonical"] != old["nan_canonical"]:
            differ.append(k)
        elif new["raw"] != old["raw"]:
            nan_sign.append(k)
        else:
            same.append(k)
    for k in nan_sign:
        print("same values, NaNs of another sign or payload:", k)
    for k in differ:
        print("DIFFERS:", k)
    for k in record:
        if k not in before:
            print("new case (not compared):", k)
    print(f"{len(before)} cases: {len(same)} bit-identical, {len(nan_sign)} identical but for "
          f"the bits of NaNs, {len(differ)} different")
    return 1 if differ else 0


if __name__ == "__main__":
    sys.exit(main())
