"""Pictures of results: the landscape of a scan."""

from __future__ import annotations

from .outputs import read_rows, save_figure


def landscape(path: str, rows_csv: str, counts_csv: str | None = None) -> str:
    """nu(d) and omega(d) for each N of the landscape rows, with the epsilon
    expansion and the large-N limit; and, given counts, the N = 1 fixed points
    against d with the count expected from the d_k. Written atomically."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import numpy as np

    from . import models, search

    rows = read_rows(rows_csv, ("N", "d", "nu", "omega", "converged"))
    counts = read_rows(counts_csv, ("d", "count", "ok")) if counts_csv else []
    Ns = [r["N"] for r in rows]

    modes = search.gaussian_modes(models.on(), {"d": 3.0, "N": 1.0})
    # where the k-th branch leaves the Gaussian point
    births = {k: modes.births(k)[-1] for k in range(2, 60)}

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
        expected = [sum(1 for k in range(2, 60) if births[k] > x) for x in dd]
        ax.plot(dd, expected, "-", color="k", lw=0.7, alpha=0.6,
                label="#{k ≥ 2 : d_k > d}")
        for k in range(3, 60):
            if lo - 0.02 <= births[k] <= hi + 0.02:
                ax.axvline(births[k], color="grey", ls="--", lw=0.8)
                ax.text(births[k], 0.98, f" d_{k}", transform=ax.get_xaxis_transform(),
                        va="top", fontsize=8, color="grey")
        step = np.diff(sorted({r["d"] for r in counts}))
        grid_note = f"d step {np.median(step):g}" if len(step) else ""
        ax.set(xlabel="d", ylabel="nontrivial fixed points",
               title=f"N = 1: fixed points against d ({grid_note})")
        ax.set_yticks(range(0, int(max([r["count"] for r in counts] + [1])) + 2))
        ax.grid(alpha=0.3)
        ax.legend(fontsize=8, loc="center right")
    fig.suptitle("O(N) model, local potential approximation, Litim regulator: d_k = 2k/(k-1)",
                 fontsize=10)
    fig.tight_layout()
    try:
        return save_figure(fig, path)
    finally:
        plt.close(fig)
