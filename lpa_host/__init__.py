"""Fixed points of renormalisation-group flows in the local potential
approximation, from the equation written as a formula.

    import lpa_host
    on = lpa_host.Model("-d*u + (d-2)*rho*u_rho + (N-1)/(1+u_rho) + 1/(1+u_rho+2*rho*u_rho_rho)",
                        invariants=["rho"], params={"d": 3.0, "N": 1.0})
    fps = on.fixed_points(d=3.2, N=2)           # FixedPoints, sorted by n_relevant
    wf = lpa_host.wilson_fisher(N=1, d=3.0)     # the built-in O(N) model's
    wf.nu, wf.nu_error, wf.spectrum(n=5, l=1)

The layout follows the ideas, each in one module:

- model: ``Model``, the equation and everything derived from it (formula:
  reading formulas safely; codegen: the compiled routines; models: built-ins);
- domain, fixed_point: a potential on a domain, ``FixedPoint`` and the numerics
  of a solved potential (evaluation, continuation, positivity, kappa, transfer,
  error checks);
- spectrum: ``Spectrum``, eigenvalues of the linearised flow with errors;
- search: every fixed point that leaves the Gaussian one; on: the O(N) entry
  points (``wilson_fisher``, ``fixed_points``, ``n_c``); coupled: two order
  parameters, O(n1) + O(n2) (``coupled_fixed_points``, the stability map);
- scan: ``scan``, nu and omega over an (N, d) grid on Dask;
- shooting: an independent scipy solution of the O(N) equation, for checks.
"""

from __future__ import annotations

from .coupled import coupled_fixed_points
from .fixed_point import FixedPoint
from .model import Model
from .on import fixed_points, n_c, wilson_fisher
from .scan import scan
from .spectrum import Spectrum
from . import models

__all__ = ["Model", "FixedPoint", "Spectrum", "models", "wilson_fisher", "fixed_points",
           "n_c", "coupled_fixed_points", "scan"]
