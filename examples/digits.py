#!/usr/bin/env python3
"""Digits of nu and omega of the Wilson-Fisher point over the whole range of
lpa_host.wilson_fisher: -log10 of the larger relative error estimate, and the
time of one cold call, as a markdown table (N down, d across).

    ./dev python examples/digits.py [--N -1.99,-1,0,1,4,100,1e4] [--d 2.2,3.0,3.95]
"""

from __future__ import annotations

import argparse
import math
import time
import warnings

import lpa_host

N_DEFAULT = "-1.99,-1.9,-1.5,-1,0,1,2,4,10,30,100,1000,1e4"
D_DEFAULT = "2.2,2.4,2.6,3.0,3.5,3.95"


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--N", default=N_DEFAULT, help="values of N (default %(default)s)")
    ap.add_argument("--d", default=D_DEFAULT, help="values of d (default %(default)s)")
    args = ap.parse_args(argv)
    try:
        Ns = [float(x) for x in args.N.split(",")]
        ds = [float(x) for x in args.d.split(",")]
    except ValueError as exc:
        ap.error(f"--N and --d take comma-separated numbers: {exc}")
    warnings.simplefilter("ignore", RuntimeWarning)
    print("| N \\ d | " + " | ".join(f"{d:g}" for d in ds) + " |")
    print("|---" * (len(ds) + 1) + "|")
    for N in Ns:
        cells = []
        for d in ds:
            t0 = time.perf_counter()
            p = lpa_host.wilson_fisher(N=N, d=d)
            dt = time.perf_counter() - t0
            if not p.converged:
                cells.append(f"fail ({dt:.1f} s)")
                continue
            rel = max(p.nu_error / abs(p.nu), p.omega_error / abs(p.omega), 1e-16)
            cells.append(f"{-math.log10(rel):.1f} ({dt:.1f} s)")
        print(f"| {N:g} | " + " | ".join(cells) + " |", flush=True)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
