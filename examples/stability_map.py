#!/usr/bin/env python3
"""Which fixed point of O(n1) + O(n2) is stable, over n1, n2 in [1, 4] at d = 3.

For every (n1, n2) of a grid (n1 >= n2; the map is symmetric) every fixed
point with positive denominators is computed (``lpa_host.coupled``), and the
cell is coloured by the kind of the stable one (n_relevant == 3). The curves
are the boundaries that one-invariant numbers predict exactly: the decoupled
point is stable below 1/nu(n1) + 1/nu(n2) = d, the isotropic one below
n1 + n2 = N_c.

    ./dev python examples/stability_map.py -o examples/output [--step 0.5] [--replot]

Writes stability_map.csv (one row per fixed point and cell) and
stability_map.png to the output directory.
"""

from __future__ import annotations

import argparse
import csv
import os
import time

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
from matplotlib.lines import Line2D  # noqa: E402
from matplotlib.patches import Patch, Rectangle  # noqa: E402

from lpa_host import coupled  # noqa: E402

COLOURS = {"isotropic": "#4c72b0", "decoupled": "#55a868", "biconical": "#c44e52",
           "none": "#dddddd"}


def plot(rows, n, step, d, png):
    """The stable kind per cell, the predicted boundaries, the point (3, 2)."""
    fine = np.linspace(1.0, 4.0, 25)
    pred = coupled.predicted_boundaries(fine, d)
    fig, ax = plt.subplots(figsize=(6.2, 5.6))
    for a in n:
        for b in n:
            lo, hi = max(a, b), min(a, b)
            kinds = [r["kind"] for r in rows if r["n1"] == lo and r["n2"] == hi and r["stable"]]
            kind = kinds[0] if kinds else "none"
            ax.add_patch(Rectangle((a - step / 2, b - step / 2), step, step,
                                   color=COLOURS.get(kind, "#999999"), alpha=0.55, lw=0))
    A, B = np.meshgrid(fine, fine, indexing="ij")
    inv = np.interp(A, fine, pred["inv_nu"]) + np.interp(B, fine, pred["inv_nu"])
    ax.contour(A, B, inv, levels=[d], colors="k", linestyles="-")
    t = np.linspace(0.5, 4.5, 50)
    ax.plot(t, pred["N_c"] - t, "k--", label=f"n1 + n2 = N_c = {pred['N_c']:.3f}")
    ax.plot([3.0], [2.0], "k*", ms=12)
    ax.annotate("(3, 2)", (3.0, 2.0), xytext=(3.1, 2.15), fontsize=10)
    ax.set_xlim(1 - step / 2, 4 + step / 2)
    ax.set_ylim(1 - step / 2, 4 + step / 2)
    ax.set_xlabel("n1")
    ax.set_ylabel("n2")
    ax.set_title(f"O(n1) + O(n2), LPA, d = {d:g}: the stable fixed point")
    handles = [Patch(color=c, alpha=0.55, label=k) for k, c in COLOURS.items()]
    handles += [Line2D([], [], color="k", label="1/nu(n1) + 1/nu(n2) = d")]
    handles += ax.get_legend_handles_labels()[0]
    ax.legend(handles=handles, loc="upper right", fontsize=8)
    fig.tight_layout()
    fig.savefig(png, dpi=110)
    plt.close(fig)


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("-o", "--output", default=os.path.join("examples", "output"),
                    help="output directory (default examples/output)")
    ap.add_argument("--step", type=float, default=1.0, help="grid step in n1, n2 (default 1)")
    ap.add_argument("-d", type=float, default=3.0, help="dimension (default 3)")
    ap.add_argument("--replot", action="store_true",
                    help="draw the picture again from the CSV in the output directory")
    args = ap.parse_args(argv)
    os.makedirs(args.output, exist_ok=True)
    d = args.d
    n = np.arange(1.0, 4.0 + 1e-9, args.step)
    path = os.path.join(args.output, "stability_map.csv")
    if args.replot:
        with open(path) as fh:
            rows = [dict(r, n1=float(r["n1"]), n2=float(r["n2"]), stable=r["stable"] == "True")
                    for r in csv.DictReader(fh)]
    else:
        t0 = time.perf_counter()
        rows = coupled.stability_map(n, n, d)
        print(f"{len(rows)} fixed points on {len(n) * (len(n) + 1) // 2} cells "
              f"in {time.perf_counter() - t0:.0f} s")
        with open(path, "w", newline="") as fh:
            w = csv.DictWriter(fh, fieldnames=list(rows[0]))
            w.writeheader()
            w.writerows(rows)
    png = os.path.join(args.output, "stability_map.png")
    plot(rows, n, args.step, d, png)
    print(f"wrote {path} and {png}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
