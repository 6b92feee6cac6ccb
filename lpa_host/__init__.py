"""Host side of the O(N) fixed-point computations: the fixed-point equation in
the local potential approximation as numba cfuncs, the fixed-point search with
the compiled collocation solver, critical exponents from the linearised flow and
an independent shooting solution of the same equation.

    import lpa_host
    wf = lpa_host.wilson_fisher(1, 3.0)        # WilsonFisherPoint: nu, omega, errors, ...
    fps = lpa_host.fixed_points(2.6)           # every fixed point at d = 2.6, N = 1

Submodules: flow (cfuncs), fixed_point (collocation problem), exponents
(linearised flow), shooting (scipy, independent check), wilson_fisher,
multicritical.
"""

from __future__ import annotations

from .wilson_fisher import WilsonFisherPoint, wilson_fisher
from .scan import scan

__all__ = ["wilson_fisher", "WilsonFisherPoint", "fixed_points", "FixedPoint", "scan"]


def __getattr__(name):
    # fixed_points and FixedPoint live in .multicritical, imported on first use
    if name in ("fixed_points", "FixedPoint"):
        from . import multicritical
        return getattr(multicritical, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
