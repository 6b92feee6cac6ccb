#!/usr/bin/env python3
"""nu(d) and omega(d) of the Wilson-Fisher fixed point for several N, and the
number of fixed points of the N = 1 model against d, on Dask distributed.

    ./dev scan                                   N = 1,2,3,4, d = 2.4 .. 3.9 in steps of 0.01
    ./dev scan --N 1,2.5,10 --d 2.8:3.6:0.05     other grids (a:b:step includes b; or a list)
    ./dev scan --workers 1                       a local cluster of one worker process
    ./dev scan --scheduler tcp://host:8786       an existing cluster (dask scheduler / dask worker)
    ./dev scan -o DIR                            write DIR/landscape.csv and DIR/landscape.png

Writes DIR/landscape.csv (one row per (N, d): N, d, u_prime_0, kappa, nu,
omega, converged and the error estimates), DIR/fixed_point_count.csv (N = 1:
the nontrivial fixed points at each d of --count-d) and DIR/landscape.png.
DIR defaults to examples/output.
"""

from __future__ import annotations

import argparse
import contextlib
import csv
import math
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))

# The d of the fixed-point count avoids the d_k themselves, where a new
# branch leaves the Gaussian point and has zero amplitude.
DEFAULT_COUNT_D = "2.405:3.895:0.01"


def parse_grid(text: str, name: str) -> list[float]:
    """'a,b,c' or 'start:stop:step' (stop included when the steps reach it)."""
    text = text.strip()
    try:
        if ":" in text:
            parts = [float(x) for x in text.split(":")]
            if len(parts) != 3:
                raise ValueError("start:stop:step needs three numbers")
            a, b, h = parts
            if not all(math.isfinite(x) for x in parts):
                raise ValueError("not finite")
            if h <= 0 or b < a:
                raise ValueError("needs start <= stop and step > 0")
            n = int(math.floor((b - a) / h + 1e-9)) + 1
            if n > 1_000_000:
                raise ValueError(f"{n} values is too many")
            return [round(a + i * h, 12) for i in range(n)]
        values = [float(x) for x in text.split(",") if x.strip()]
        if not values:
            raise ValueError("no values")
        return values
    except ValueError as exc:
        raise argparse.ArgumentTypeError(f"{name} {text!r}: {exc}") from None


def write_csv(path, rows, first):
    keys = list(first) + sorted({k for r in rows for k in r} - set(first))
    with open(path, "w", newline="") as fh:
        w = csv.DictWriter(fh, fieldnames=keys, extrasaction="ignore")
        w.writeheader()
        for r in rows:
            w.writerow({k: _cell(v) for k, v in r.items()})


def _cell(v):
    """A CSV cell: floats to all their digits, lists space-separated."""
    if isinstance(v, list):
        return " ".join(str(_cell(x)) for x in v)
    return repr(v) if isinstance(v, float) else v


def plot(path, rows, counts, Ns):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import numpy as np

    from lpa_host import models, search

    modes = search.gaussian_modes(models.on(), {"d": 3.0, "N": 1.0})
    births = {k: modes.births(k)[-1] for k in range(2, 60)}

    def birth_dimension(k):  # where the k-th branch leaves the Gaussian point
        return births[k]

    panels = 3 if counts else 2
    fig, axes = plt.subplots(1, panels, figsize=(5.2 * panels, 4.6))
    colours = plt.rcParams["axes.prop_cycle"].by_key()["color"]
    d_all = sorted({r["d"] for r in rows})
    dl = np.linspace(min(d_all), max(d_all), 200)
    eps = 4.0 - dl
    ax_nu, ax_om = axes[0], axes[1]
    for i, N in enumerate(dict.fromkeys(Ns)):
        c = colours[i % len(colours)]
        pts = sorted((r["d"], r["nu"], r["omega"]) for r in rows
                     if r["N"] == N and r["converged"])
        if pts:
            d, nu, om = (np.array(x) for x in zip(*pts))
            ax_nu.plot(d, nu, "-", color=c, lw=1.6, label=f"N = {N:g}")
            ax_om.plot(d, om, "-", color=c, lw=1.6, label=f"N = {N:g}")
        ax_nu.plot(dl, 0.5 + (N + 2.0) / (4.0 * (N + 8.0)) * eps, "--", color=c, lw=0.9)
    ax_nu.plot(dl, 1.0 / (dl - 2.0), ":", color="k", lw=1.2, label="large N: 1/(d-2)")
    ax_nu.plot([], [], "--", color="grey", lw=0.9, label="ε: 1/2 + (N+2)ε/(4(N+8))")
    ax_nu.set(xlabel="d", ylabel="ν", title="ν(d), Wilson-Fisher point (LPA)",
              ylim=(0.45, min(3.0, 1.15 / (min(d_all) - 2.0))))
    ax_om.plot(dl, eps, ":", color="k", lw=1.2, label="ω = ε (O(ε); large N: 4-d)")
    ax_om.set(xlabel="d", ylabel="ω", title="ω(d), Wilson-Fisher point (LPA)")
    for ax in (ax_nu, ax_om):
        ax.grid(alpha=0.3)
        ax.legend(fontsize=8)
    if counts:
        ax = axes[2]
        good = sorted((r["d"], r["count"]) for r in counts if r["ok"])
        if good:
            d, n = zip(*good)
            ax.plot(d, n, ".", ms=3.5, color=colours[0], label="fixed_points(d, N=1)")
        lo, hi = min(r["d"] for r in counts), max(r["d"] for r in counts)
        dd = np.linspace(lo, hi, 600)
        expected = [sum(1 for k in range(2, 60) if birth_dimension(k) > x) for x in dd]
        ax.plot(dd, expected, "-", color="k", lw=0.7, alpha=0.6,
                label="#{k ≥ 2 : d_k > d}")
        for k in range(3, 60):
            if lo - 0.02 <= birth_dimension(k) <= hi + 0.02:
                ax.axvline(birth_dimension(k), color="grey", ls="--", lw=0.8)
                ax.text(birth_dimension(k), 0.98, f" d_{k}", transform=ax.get_xaxis_transform(),
                        va="top", fontsize=8, color="grey")
        step = np.diff(sorted({r["d"] for r in counts}))
        grid_note = f"d step {np.median(step):g}" if len(step) else ""
        ax.set(xlabel="d", ylabel="nontrivial fixed points",
               title=f"N = 1: fixed points against d ({grid_note})")
        ax.set_yticks(range(0, max([r["count"] for r in counts] + [1]) + 2))
        ax.grid(alpha=0.3)
        ax.legend(fontsize=8, loc="center right")
    fig.suptitle("O(N) model, local potential approximation, Litim regulator: d_k = 2k/(k-1)",
                 fontsize=10)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(
        description=__doc__.split("\n\n")[0].replace("\n", " "),
        formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog="\n\n".join(__doc__.split("\n\n")[1:]))
    ap.add_argument("--N", default="1,2,3,4", type=lambda s: parse_grid(s, "--N"),
                    help="values of N (default 1,2,3,4)")
    ap.add_argument("--d", default="2.4:3.9:0.01", type=lambda s: parse_grid(s, "--d"),
                    help="values of d in [2.2, 3.95] (default 2.4:3.9:0.01)")
    ap.add_argument("--count-d", default=DEFAULT_COUNT_D,
                    help="d for the N = 1 fixed-point count, or 'none' "
                         f"(default {DEFAULT_COUNT_D})")
    ap.add_argument("--workers", type=int, default=None,
                    help="worker processes of the local cluster (default: one per core)")
    ap.add_argument("--scheduler", default=None,
                    help="address of a running Dask scheduler (tcp://host:8786) to use instead "
                         "of a local cluster")
    ap.add_argument("--segment", type=int, default=None,
                    help="d values per task (default: about 6 tasks per worker)")
    ap.add_argument("-o", "--out", default=os.path.join(HERE, "output"),
                    help="output directory (default examples/output)")
    args = ap.parse_args(argv)
    if args.workers is not None and args.workers < 1:
        ap.error("--workers must be >= 1")
    if args.workers is not None and args.scheduler:
        ap.error("--workers sizes the local cluster; with --scheduler the cluster's own "
                 "workers are used")
    if args.segment is not None and args.segment < 1:
        ap.error("--segment must be >= 1")
    counts_d = None
    if args.count_d.strip().lower() != "none":
        try:
            counts_d = parse_grid(args.count_d, "--count-d")
        except argparse.ArgumentTypeError as exc:
            ap.error(str(exc))

    from lpa_host.scan import check_grid, fixed_point_counts, local_client, scan, \
        worker_report, ROW_FIELDS

    try:
        check_grid(args.N, args.d)
        if counts_d:
            check_grid([1.0], counts_d)
    except ValueError as exc:
        ap.error(str(exc))
    os.makedirs(args.out, exist_ok=True)

    t0 = time.perf_counter()
    ctx: contextlib.AbstractContextManager
    if args.scheduler:
        from distributed import Client
        try:
            ctx = Client(args.scheduler, timeout="30s")
        except OSError as exc:
            print(f"scan: cannot reach the scheduler at {args.scheduler}: {exc}",
                  file=sys.stderr)
            return 2
        where = f"the cluster at {args.scheduler}"
    else:
        ctx = local_client(args.workers)
        where = "a local cluster"
    n_points = len(args.N) * len(set(args.d))
    print(f"{n_points} points (N = {', '.join(f'{N:g}' for N in args.N)}; {len(set(args.d))} "
          f"values of d from {min(args.d):g} to {max(args.d):g}) on {where}", flush=True)
    with ctx as client:
        workers = worker_report(client)
        t_up = time.perf_counter() - t0
        print(f"  {len(workers)} worker processes ready after {t_up:.1f} s "
              f"(OpenMP threads per worker: "
              f"{sorted({w['openmp_threads'] for w in workers.values()}, key=str)})", flush=True)
        t1 = time.perf_counter()
        rows = scan(args.N, args.d, client=client, segment=args.segment, progress=True)
        t_scan = time.perf_counter() - t1
        counts = []
        t_count = 0.0
        if counts_d:
            t2 = time.perf_counter()
            counts = fixed_point_counts(counts_d, 1.0, client=client, progress=True)
            t_count = time.perf_counter() - t2

    csv_path = os.path.join(args.out, "landscape.csv")
    write_csv(csv_path, rows, ROW_FIELDS)
    if counts:
        write_csv(os.path.join(args.out, "fixed_point_count.csv"), counts,
                  ("N", "d", "count", "n_relevant", "nu", "ok"))
    png_path = os.path.join(args.out, "landscape.png")
    plot(png_path, rows, counts, args.N)

    bad = [r for r in rows if not r["converged"]]
    print(f"\n  scan: {len(rows)} rows in {t_scan:.1f} s ({len(rows) / t_scan:.1f} points/s on "
          f"{len(workers)} workers), {len(rows) - len(bad)} converged")
    if counts:
        print(f"  N = 1 fixed-point count at {len(counts)} values of d in {t_count:.1f} s")
    near3: dict[float, dict] = {}
    for r in rows:
        if r["converged"] and (r["N"] not in near3 or
                               abs(r["d"] - 3) < abs(near3[r["N"]]["d"] - 3)):
            near3[r["N"]] = r
    if near3:
        print(f"\n    {'N':>5s} {'d':>5s} {'nu':>12s} {'omega':>12s} {'nu_error':>9s}")
        for N, r in near3.items():
            print(f"    {N:5g} {r['d']:5g} {r['nu']:12.9f} {r['omega']:12.9f} "
                  f"{r['nu_error']:9.1e}")
    if bad:
        shown = ", ".join(f"(N={r['N']:g}, d={r['d']:g})" for r in bad[:8])
        print(f"\n  {len(bad)} points did not converge (converged = False in the CSV): "
              f"{shown}{' ...' if len(bad) > 8 else ''}")
    failed_counts = [r for r in counts if not r["ok"]]
    if failed_counts:
        print(f"  the fixed-point search raised at {len(failed_counts)} values of d")
    print(f"\n  wrote {os.path.relpath(csv_path)} and {os.path.relpath(png_path)} "
          f"(total {time.perf_counter() - t0:.1f} s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
