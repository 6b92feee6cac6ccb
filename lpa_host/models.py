"""Built-in models, each defined by its formula only (``lpa_host.Model``).

    >>> from lpa_host import models
    >>> models.on()                 # O(N) in rho = phi^2 / 2, parameters d and N
    >>> models.phi()                # N = 1 in the field phi itself, on -R <= phi <= R
    >>> models.coupled_on(3, 2)     # O(n1) + O(n2), u(rho1, rho2)

All use the optimised (Litim) regulator and the local potential approximation
(no anomalous dimension), in dimensionless variables.

The O(N) sectors. A perturbation g(rho) h_l(phi), with h_l a harmonic
polynomial of degree l (so h_l(phi) = |phi|^l Y_l), changes the flow by the
trace of (1 + Hess U)^-1 to first order. With a = 1 + u', b = 1 + u' + 2 rho u''
the Hessian of U(rho) has the eigenvalue b along phi and a across it, and

    -theta g = -d g + (d - 2) rho g' + (d - 2) (l / 2) g
               - (N - 1) g' / a^2 - (2 rho g'' + (1 + 2 l) g') / b^2
               + l (l - 1) g u'' (a + b) / (a^2 b^2),

the last term from l (l - 1) g / (2 rho) (1 / a^2 - 1 / b^2). l = 0 is the
equation's own linearisation; l = 1 holds the shift of the field at every
fixed point (g = 1 with theta = (d + 2) / 2 and g = u' with (d - 2) / 2); l = 2
gives the quadratic and l = 4 the cubic anisotropy.
"""

from __future__ import annotations

import threading

from .model import Model, SectorFormula

ON_EQUATION = "-d*u + (d-2)*rho*u_rho + (N-1)/(1+u_rho) + 1/(1+u_rho+2*rho*u_rho_rho)"

ON_SECTORS = SectorFormula(
    "-d*v + (d-2)*rho*v_rho + (d-2)*l/2*v - (N-1)*v_rho/(1+u_rho)^2"
    " - (2*rho*v_rho_rho + (1+2*l)*v_rho)/(1+u_rho+2*rho*u_rho_rho)^2"
    " + l*(l-1)*v*u_rho_rho*(2+2*u_rho+2*rho*u_rho_rho)"
    "/((1+u_rho)^2*(1+u_rho+2*rho*u_rho_rho)^2)", label="l")

PHI_EQUATION = "-d*u + (d-2)/2*phi*u_phi + 1/(1+u_phi_phi)"

_A = "(u_rho1 + 2*rho1*u_rho1_rho1)"
_B = "(u_rho2 + 2*rho2*u_rho2_rho2)"
COUPLED_EQUATION = (
    "-d*u + (d-2)*(rho1*u_rho1 + rho2*u_rho2) + (n1-1)/(1+u_rho1) + (n2-1)/(1+u_rho2)"
    f" + (2 + {_A} + {_B})/((1+{_A})*(1+{_B}) - 4*rho1*rho2*u_rho1_rho2^2)")

_LOCK = threading.Lock()
_MADE: dict = {}


def _once(key, make):
    with _LOCK:
        m = _MADE.get(key)
        if m is None:
            m = _MADE[key] = make()
        return m


def on() -> Model:
    """The O(N) model in rho = phi^2 / 2 (parameters d = 3, N = 1), with its
    symmetry sectors l (``FixedPoint.spectrum(l=...)``)."""
    return _once("on", lambda: Model(ON_EQUATION, ["rho"], {"d": 3.0, "N": 1.0},
                                     sectors=ON_SECTORS, name="O(N)"))


def phi() -> Model:
    """N = 1 written in the field phi on -R <= phi <= R (parameter d = 3): its
    spectrum holds the even (Z2-symmetric) and the odd perturbations."""
    return _once("phi", lambda: Model(PHI_EQUATION, ["phi"], {"d": 3.0}, name="phi^4 in phi"))


def coupled_on(n1: float = 1.0, n2: float = 1.0, d: float = 3.0) -> Model:
    """O(n1) + O(n2): u(rho1, rho2), rho_i = phi_i^2 / 2, parameters d, n1, n2
    (their defaults here; every call may override them)."""
    base = _once("coupled", lambda: Model(COUPLED_EQUATION, ["rho1", "rho2"],
                                          {"d": 3.0, "n1": 1.0, "n2": 1.0},
                                          name="O(n1)+O(n2)"))
    return base.with_params(d=d, n1=n1, n2=n2)
