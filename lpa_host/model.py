"""A model: a fixed-point equation written once as a formula.

    >>> on = Model("-d*u + (d-2)*rho*u_rho + (N-1)/(1+u_rho) + 1/(1+u_rho+2*rho*u_rho_rho)",
    ...            invariants=["rho"], params={"d": 3.0, "N": 1.0})
    >>> on.power(d=3.0)                     # u ~ A rho^p at large rho
    3.0
    >>> [fp.n_relevant for fp in on.fixed_points(d=3.2, N=2)]
    [2]

The equation F(x, u, u_x, u_x_y; params) = 0 is read with ``lpa_host.formula``
(names: the invariants, ``u``, ``u_<x>`` and ``u_<x>_<y>`` for its first and
second derivatives, the parameters). Everything the package needs is derived
from it with sympy, once per model:

- the scaling part. F = -a u + b (x . grad u) + L, where L, the loop part, holds
  every term with u or a derivative in a denominator (or otherwise nonlinear).
  At large fields L dies out and u grows like a homogeneous function of degree
  p = a / b along rays from the origin (``power``);
- the positivity conditions: the factors of L's denominators that contain u or
  a derivative, each signed so that it is 1 > 0 at the constant solution
  (``denominators``); a fixed point must keep them all positive;
- the constant (Gaussian) solution u0, where F(x, u0, 0, 0) = 0;
- the linearised operator, dF = c0 du + c1 . grad du + sum_ij C_ij d2u/dx_i dx_j,
  for spectra (``lpa_host.spectrum``);
- the rows at the far end of the domain (``end_rows``), shared by the residual
  and the linearised operator;
- the routines the solver calls (``lpa_host.codegen``): flow, batched flow,
  sensitivities (and their parallel variant) and parameter sensitivities,
  compiled once per model and process.

The far end of the domain
-------------------------
Solved for its second derivatives, F = 0 is singularly perturbed at large
fields: besides the slowly varying solutions (u ~ A x^p) it has fast ones,
which the row at the far end of the domain (|x|_1 = R) must keep out.

- Order 1 (any number of invariants), the ray rule: along rays the slow
  solution is homogeneous of degree p, so the Hessian H at the end point x is
  replaced by H* with H* x = (p - 1) grad u and the same tangential part,

      H* = H + n e^T + e n^T - (e . x) n n^T,  e = (p - 1) grad u - H x,  n = x / |x|^2

  (for one invariant: u'' -> (p - 1) u' / x).
- Order 1, two invariants, the edge rule (``edge_hessian``): the domain is
  the square [0, R]^2 and its far end the edges max(x0, x1) = R. There the
  expansion knows H along the edge's tangent e, so H* solves H* x =
  (p - 1) grad u (homogeneity along the ray) together with e^T H* e = e^T H e:
  three linear equations for H*_00, H*_01, H*_11, with e = (0, 1) on x0 = R,
  (1, 0) on x1 = R and (1, -1) at the corner (``SQUARE_FACES``,
  ``square_face``). Unlike the ray rule it keeps the structure a potential
  has along an edge (the decoupled U1(x0) + U2(x1) at x0 = R keeps U2'').
- Order 2 (one invariant, F linear in u): one step further along the slow
  manifold. With h0 = (p - 1) g / x, V(x, g) solves F(x, V, g, h0) = 0 for u;
  on u = V(x, u') the slope obeys u'' = (u' - V_x) / V_g, and the row at R
  uses that u''. V_g = (x / p)(1 - y); 1 / (1 - y) is continued by its tangent
  4 y beyond y = 1/2, so that a domain still too short gives a finite row.

The perturbations of a fixed point use the same two rules with their own
power q(theta) = (a - theta) / b (``Operator.end_row``), which at theta = 0
is the Jacobian of the fixed point's row.
"""

from __future__ import annotations

import copy
import math
import threading
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass
from functools import cached_property
from numbers import Real

import numpy as np
import sympy

from . import formula as _formula

#: Relative tolerance for recognising a point of the far end |x|_1 = R.
END_RTOL = 1e-10


# --- symbols ---------------------------------------------------------------------

@dataclass(frozen=True)
class Symbols:
    """The internal symbols of a model with k invariants: the coordinates x_i,
    the potential U, its gradient G_i and Hessian H[i][j] (one symbol per
    pair, symmetric), and the parameters P_j."""

    x: tuple
    U: sympy.Symbol
    G: tuple
    H: tuple          # k x k, H[i][j] is H[j][i]
    P: tuple

    @classmethod
    def make(cls, k: int, n_params: int) -> "Symbols":
        x = tuple(sympy.Symbol(f"x{i}", real=True) for i in range(k))
        G = tuple(sympy.Symbol(f"g{i}", real=True) for i in range(k))
        h = {(i, j): sympy.Symbol(f"h{i}{j}", real=True) for i in range(k) for j in range(i, k)}
        H = tuple(tuple(h[min(i, j), max(i, j)] for j in range(k)) for i in range(k))
        P = tuple(sympy.Symbol(f"p{j}", real=True) for j in range(n_params))
        return cls(x, sympy.Symbol("uu", real=True), G, H, P)

    @property
    def k(self) -> int:
        return len(self.x)

    @property
    def hess(self) -> list:
        """The distinct Hessian symbols, (i, j) with i <= j, row by row."""
        return [self.H[i][j] for i in range(self.k) for j in range(i, self.k)]

    @property
    def state(self) -> list:
        """U, G, H: the symbols a point's evaluation supplies."""
        return [self.U, *self.G, *self.hess]

    def on_gaussian(self, u0) -> dict:
        return {self.U: u0, **{g: 0 for g in self.G}, **{h: 0 for h in self.hess}}


def _is_state_free(expr, s: Symbols) -> bool:
    return not (expr.free_symbols & set(s.state))


# --- the linearised operator -------------------------------------------------------

@dataclass(frozen=True)
class Operator:
    """A linear operator E[v] = c0 v + sum_i c1_i v_i + sum_ij C_ij v_ij on
    perturbations v of a fixed point; its coefficients are sympy expressions
    in the coordinates, the fixed point's U, G, H, the parameters and `extra`
    symbols (the sector l of O(N)). a, b: its scaling part, c0 -> -a and
    c1 -> b x at large fields, so a perturbation with eigenvalue theta grows
    like x^q, q = (a - theta) / b."""

    symbols: Symbols
    c0: sympy.Expr
    c1: tuple
    C: tuple          # k x k symmetric
    a: sympy.Expr
    b: sympy.Expr
    extra: tuple = ()


def _operator_from(c0, c1, C, s: Symbols, extra=(), what="the equation") -> Operator:
    k = s.k
    a = -sum((t for t in sympy.Add.make_args(sympy.expand(c0)) if _is_state_free(t, s)),
             sympy.Integer(0))
    if any(x in a.free_symbols for x in s.x):
        raise ValueError(f"{what}: the coefficient of u in its scaling part depends on the "
                         f"invariants ({a})")
    b = None
    for i in range(k):
        lin = sum((t for t in sympy.Add.make_args(sympy.expand(c1[i])) if _is_state_free(t, s)),
                  sympy.Integer(0))
        bi = sympy.simplify(lin / s.x[i])
        if bi.free_symbols & set(s.x) or bi == 0:
            raise ValueError(f"{what}: its scaling part must read -a*u + b*x*u_x for every "
                             f"invariant x, with constants a and b; found {lin} for the "
                             f"derivative in the invariant number {i + 1}")
        if b is None:
            b = bi
        elif sympy.simplify(bi - b) != 0:
            raise ValueError(f"{what}: the scaling part has different weights for different "
                             f"invariants ({b} and {bi}); it must be b*(x.grad u)")
    return Operator(s, c0, tuple(c1), C, sympy.simplify(a), b, tuple(extra))


# --- the end of the domain ------------------------------------------------------------

def _tangent_continued(y):
    """1 / (1 - y), continued by its tangent 4 y beyond y = 1/2 (no pole)."""
    return sympy.Piecewise((1 / (1 - y), y <= sympy.Rational(1, 2)), (4 * y, True))


def ray_hessian(x, g, H, power):
    """H* = H + n e^T + e n^T - (e.x) n n^T, e = (power - 1) g - H x, n = x / |x|^2:
    the Hessian of a function homogeneous of degree `power` along the ray through
    x with the gradient g and the tangential part of H."""
    k = len(x)
    Hx = [sum(H[i][j] * x[j] for j in range(k)) for i in range(k)]
    e = [(power - 1) * g[i] - Hx[i] for i in range(k)]
    r2 = sum(xi * xi for xi in x)
    n = [xi / r2 for xi in x]
    ex = sum(e[i] * x[i] for i in range(k))
    return [[H[i][j] + n[i] * e[j] + e[i] * n[j] - ex * n[i] * n[j] for j in range(k)]
            for i in range(k)]


#: The faces of the far end of the square [0, R]^2 (two invariants): (tag, tangent).
#: "a": x0 = R, "b": x1 = R, "c": the corner (R, R).
SQUARE_FACES = (("a", (0, 1)), ("b", (1, 0)), ("c", (1, -1)))


def square_face(x0, x1, tol):
    """The face ("a", "b" or "c") of an end point (x0, x1) of the square."""
    if abs(x0 - x1) <= tol:
        return "c"
    return "a" if x0 > x1 else "b"


def edge_hessian(x, g, H, power, tangent):
    """H* (two invariants) with H* x = (power - 1) g, as for a function homogeneous
    of degree `power` along the ray through x, and e^T H* e = e^T H e for the
    edge's tangent e (the part of H the expansion knows along the edge):
    three linear equations for H*_00, H*_01, H*_11 (determinant (x0 e1 - x1 e0)^2)."""
    e0, e1 = (sympy.Integer(t) for t in tangent)
    M = sympy.Matrix([[x[0], x[1], 0], [0, x[0], x[1]], [e0 ** 2, 2 * e0 * e1, e1 ** 2]])
    rhs = sympy.Matrix([(power - 1) * g[0], (power - 1) * g[1],
                        e0 ** 2 * H[0][0] + 2 * e0 * e1 * H[0][1] + e1 ** 2 * H[1][1]])
    sol = M.LUsolve(rhs)
    a, b, c = (sympy.factor(sympy.cancel(v)) for v in sol)
    return [[a, b], [b, c]]


def slow_manifold_slope(equation, value, slope, second, x, power, along=None):
    """u'' on the slow manifold of a one-variable equation E(x, v, v', v'') = 0
    that is linear in v, to first order: V(x, v') solves E(x, V, v', h0) = 0,
    h0 = (power - 1) v' / x, and v'' = (v' - dV/dx) / V_g, with 1/(1 - y),
    V_g = (x / power)(1 - y), continued past y = 1/2 (``_tangent_continued``).
    `along` maps V to its x-derivative at fixed v' when V depends on x also
    through other functions of x (a fixed point's U, G, H); default d/dx."""
    h0 = (power - 1) * slope / x
    E = equation.subs(second, h0)
    coef = sympy.diff(E, value)
    if coef == 0 or value in coef.free_symbols:
        raise ValueError("the equation is not linear in u: no slow-manifold row of order 2")
    V = -E.subs(value, 0) / coef
    Vx = along(V) if along is not None else sympy.diff(V, x)
    Vg = sympy.diff(V, slope)
    y = 1 - power * Vg / x
    return (slope - Vx) * (power / x) * _tangent_continued(y)


# --- the model -------------------------------------------------------------------------

def check_real(name: str, x, wrong: str = "must be a real number") -> float:
    """x as a float; ValueError naming `name` unless it is a finite real number
    (bools and strings are refused)."""
    if isinstance(x, bool) or not isinstance(x, (Real, np.floating, np.integer)):
        raise ValueError(f"{name} {wrong}, got {x!r}")
    x = float(x)
    if not math.isfinite(x):
        raise ValueError(f"{name} must be finite, got {x}")
    return x


def _check_value(name, value):
    return check_real(f"parameter {name!r}", value, "has no value; give a real number")


class Model:
    """A fixed-point equation in k invariants, from its formula.

    equation: the formula of F (``lpa_host.formula``); ``u`` is the potential,
    ``u_x`` and ``u_x_y`` its first and second derivatives in the invariants x, y.
    invariants: their names, in order. params: every other name of the
    formula, with its default value. two_sided: invariants that take negative
    values too (a field phi rather than rho = phi^2 / 2); by default those at
    whose zero the equation does not degenerate (the coefficient of their
    second derivative at the constant solution does not vanish there).
    dimension: the parameter the fixed-point search follows branches in
    (default "d"). sectors: optional formula of the linearised operator in
    symmetry sectors (``lpa_host.models``). name: for messages and reprs.

    ValueError, before anything is compiled, for an unknown name, a formula
    without u, a parameter without a value, a syntax error, or an equation
    whose scaling part is not -a*u + b*(x . grad u).
    """

    def __init__(self, equation: str, invariants: Sequence[str] = ("rho",),
                 params: Mapping[str, float] | None = None, *,
                 two_sided: Iterable[str] | None = None, dimension: str = "d",
                 sectors: "SectorFormula | None" = None, name: str | None = None):
        if isinstance(invariants, str):
            invariants = [invariants]
        invariants = tuple(invariants)
        params = dict(params or {})
        self.name = name or "model"
        self._check_names(invariants, params)
        self.equation = equation.strip() if isinstance(equation, str) else equation
        self.invariants = invariants
        self.params = {k: _check_value(k, v) for k, v in params.items()}
        self.param_names = tuple(self.params)
        k = len(invariants)
        s = self.symbols = Symbols.make(k, len(params))
        names = self._names()
        u_names = [n for n, v in names.items() if v in set(s.state)]
        hint = (f" (names the equation may use: invariants {', '.join(invariants)}; "
                f"{', '.join(u_names)}; parameters {', '.join(params) or 'none'})")
        F = _formula.parse(self.equation, names, what=f"{self.name}: equation",
                           unknown_hint=hint)
        if s.U not in F.free_symbols:
            raise ValueError(f"{self.name}: the equation does not contain the potential u "
                             "(a fixed-point equation has the term -a*u of its scaling)")
        self.F = F
        self.dimension = dimension
        if dimension not in self.params:
            self.dimension = None
        self.op = _operator_from(
            sympy.diff(F, s.U), [sympy.diff(F, g) for g in s.G],
            tuple(tuple((1 if i == j else sympy.Rational(1, 2)) * sympy.diff(F, s.H[i][j])
                        for j in range(k)) for i in range(k)),
            s, what=f"{self.name}: equation")
        self.a, self.b = self.op.a, self.op.b
        if not _is_state_free(self.a, s) or not _is_state_free(self.b, s):
            raise ValueError(f"{self.name}: the scaling part must have constant coefficients")
        self.loop = sympy.expand(F - (-self.a * s.U + self.b * sum(
            xi * gi for xi, gi in zip(s.x, s.G))), deep=False)
        self.two_sided = self._sides(two_sided)
        if k > 1 and any(self.two_sided):
            raise ValueError(f"{self.name}: two-sided invariants are supported for models "
                             "of one invariant only")
        self.sectors = sectors
        self._lock = threading.Lock()
        self._memo: dict = {}

    # --- names and values ------------------------------------------------------------

    def _check_names(self, invariants, params):
        if not invariants:
            raise ValueError("invariants: a model needs at least one invariant")
        if len(invariants) > 3:
            raise ValueError(f"invariants: at most 3 are supported, got {len(invariants)}")
        for n in (*invariants, *params):
            if not isinstance(n, str) or not n.isidentifier() or n.startswith("u_") or n == "u":
                raise ValueError(f"{n!r} cannot name an invariant or a parameter (a Python "
                                 "identifier other than u and not starting with u_)")
        if len(set(invariants)) != len(invariants):
            raise ValueError(f"invariants: names repeat in {list(invariants)}")
        both = set(invariants) & set(params)
        if both:
            raise ValueError(f"{sorted(both)[0]!r} is both an invariant and a parameter")

    def _names(self) -> dict:
        s, inv = self.symbols, self.invariants
        names = {"u": s.U}
        for i, xi in enumerate(inv):
            names[xi] = s.x[i]
            names[f"u_{xi}"] = s.G[i]
        for i, xi in enumerate(inv):
            for j, xj in enumerate(inv):
                key = f"u_{xi}_{xj}"
                if key in names and names[key] is not s.H[i][j]:
                    raise ValueError(f"invariants: the name {key!r} is ambiguous for "
                                     f"{list(inv)}")
                names[key] = s.H[i][j]
        for j, p in enumerate(self.params):
            names[p] = s.P[j]
        return names

    def values(self, overrides: Mapping[str, float] | None = None) -> dict:
        """The parameter values: the defaults, with `overrides` (same names) set."""
        out = dict(self.params)
        for k, v in (overrides or {}).items():
            if k not in out:
                raise ValueError(f"{self.name}: unknown parameter {k!r} (parameters: "
                                 f"{', '.join(self.param_names) or 'none'})")
            out[k] = _check_value(k, v)
        return out

    def param_vector(self, values: Mapping[str, float]) -> np.ndarray:
        return np.array([values[n] for n in self.param_names], dtype=np.float64)

    def substitutions(self, values: Mapping[str, float]) -> dict:
        return {p: sympy.Float(values[n], 17) for p, n in zip(self.symbols.P, self.param_names)}

    # --- derived --------------------------------------------------------------------

    @property
    def k(self) -> int:
        """The number of invariants."""
        return len(self.invariants)

    def power(self, **params) -> float:
        """p = a / b: u ~ A x^p at large fields."""
        v = self.values(params)
        return float((self.a / self.b).subs(self.substitutions(v)))

    @cached_property
    def gaussian_value(self) -> sympy.Expr | None:
        """u0 of the constant solution, F(x, u0, 0, 0) = 0, as an expression in the
        parameters (None if there is none, or it depends on x)."""
        s = self.symbols
        F0 = self.F.subs({**{g: 0 for g in s.G}, **{h: 0 for h in s.hess}})
        try:
            sol = sympy.solve(F0, s.U, dict=True)
        except NotImplementedError:
            return None
        sol = [r[s.U] for r in sol if not (r[s.U].free_symbols & set(s.x))]
        return sympy.simplify(sol[0]) if len(sol) == 1 else None

    def gaussian(self, **params) -> float:
        """u0 of the constant (Gaussian) solution at these parameters."""
        if self.gaussian_value is None:
            raise ValueError(f"{self.name}: the equation has no constant solution")
        return float(self.gaussian_value.subs(self.substitutions(self.values(params))))

    def _sides(self, two_sided):
        if two_sided is not None:
            two = set([two_sided] if isinstance(two_sided, str) else two_sided)
            bad = two - set(self.invariants)
            if bad:
                raise ValueError(f"two_sided: {sorted(bad)[0]!r} is not an invariant")
            return tuple(x in two for x in self.invariants)
        u0 = self.gaussian_value
        s = self.symbols
        out = []
        for i in range(self.k):
            if u0 is None:
                out.append(False)
                continue
            at0 = [sympy.simplify(self.op.C[i][j].subs(s.on_gaussian(u0)).subs(s.x[i], 0))
                   for j in range(self.k)]
            out.append(any(c != 0 for c in at0))
        return tuple(out)

    @cached_property
    def denominator_exprs(self) -> list:
        """The positivity conditions: factors of the loop part's denominators
        that contain u or a derivative, each signed to be positive at the
        constant solution."""
        s = self.symbols
        found = []
        for term in sympy.Add.make_args(self.loop):
            den = sympy.fraction(sympy.together(term))[1]
            for f, _ in sympy.factor_list(den)[1]:
                if _is_state_free(f, s):
                    continue
                if any(sympy.simplify(f - g) == 0 or sympy.simplify(f + g) == 0 for g in found):
                    continue
                found.append(f)
        u0 = self.gaussian_value
        out = []
        for f in found:
            sign = 1
            if u0 is not None:
                at = sympy.simplify(f.subs(s.on_gaussian(u0)))
                try:
                    sign = -1 if float(at.subs({x: 1 for x in s.x}).subs(
                        {p: 1 for p in s.P})) < 0 else 1
                except TypeError:
                    sign = 1
            out.append(sympy.expand(sign * f))
        return out

    @property
    def denominators(self) -> list[str]:
        """The positivity conditions as formulas in the model's own names."""
        back = {v: sympy.Symbol(k) for k, v in self._names().items()}
        return [str(f.subs(back)) for f in self.denominator_exprs]

    def end_hessian(self, order: int, power=None, tangent=None):
        """The Hessian (k x k sympy expressions) that the rows at the far end use
        in place of H, for the closure `order` (1: ray rule, or with two
        invariants and the `tangent` of a face of the square, the edge rule
        ``edge_hessian``; 2: slow manifold, one invariant only; 0: H itself)."""
        s = self.symbols
        p = self.a / self.b if power is None else power
        if order == 0:
            return [list(r) for r in s.H]
        if tangent is not None and self.k == 2:
            return edge_hessian(s.x, s.G, s.H, p, tangent)
        if order == 1 or self.k > 1:
            # simplified, so that the radial part of H cancels exactly, not in rounding
            return [[sympy.factor(sympy.cancel(e)) for e in row]
                    for row in ray_hessian(s.x, s.G, s.H, p)]
        slope = sympy.Symbol("slope", real=True)
        h = slow_manifold_slope(self.F.subs(s.G[0], slope), s.U, slope, s.H[0][0], s.x[0], p)
        return [[h.subs(slope, s.G[0])]]

    @cached_property
    def max_closure(self) -> int:
        """The highest closure order the model supports (2 if the slow-manifold
        row can be derived, else 1)."""
        if self.k > 1:
            return 1
        try:
            self.end_hessian(2)
        except ValueError:
            return 1
        return 2

    # --- numerical forms -------------------------------------------------------------

    def _args(self, extra=()) -> list:
        s = self.symbols
        return [*s.x, s.U, *s.G, *s.hess, *s.P, *extra]

    def _call_args(self, x, u, g, h, values, extra=()) -> list:
        """Arguments of the lambdified forms for points x (m x k) with the state
        (u (m), g (m x k), h (m x k x k))."""
        k = self.k
        x = np.asarray(x, dtype=np.float64).reshape(-1, k)
        g = np.asarray(g, dtype=np.float64).reshape(-1, k)
        h = np.asarray(h, dtype=np.float64).reshape(-1, k, k)
        hs = [h[:, i, j] for i in range(k) for j in range(i, k)]
        return [*x.T, np.asarray(u, dtype=np.float64).reshape(-1), *g.T, *hs,
                *(values[n] for n in self.param_names), *extra]

    @cached_property
    def _denominator_fn(self):
        exprs = self.denominator_exprs
        return sympy.lambdify(self._args(), exprs, modules="numpy", cse=True) if exprs else None

    def denominator_values(self, x, u, g, h, values) -> np.ndarray:
        """The denominators (rows) at the points x with the state u, g, h."""
        m = len(np.asarray(u).reshape(-1))
        if self._denominator_fn is None:
            return np.zeros((0, m))
        with np.errstate(all="ignore"):
            out = self._denominator_fn(*self._call_args(x, u, g, h, values))
        return np.array([np.broadcast_to(np.asarray(o, dtype=np.float64), (m,)) for o in out])

    def sector_operator(self) -> Operator | None:
        """The linearised operator in symmetry sectors (extra symbol: the label),
        from the ``sectors`` formula; None without one."""
        if self.sectors is None:
            return None
        op = self._memo.get("sector_op")
        if op is not None:
            return op
        if self.k != 1:
            raise ValueError(f"{self.name}: sector formulas are supported for one invariant")
        s = self.symbols
        x = self.invariants[0]
        v, vs, vh = (sympy.Symbol(n, real=True) for n in ("vv", "vs", "vh"))
        label = sympy.Symbol("sector", real=True)
        names = dict(self._names())
        names.update({"v": v, f"v_{x}": vs, f"v_{x}_{x}": vh, self.sectors.label: label})
        E = _formula.parse(self.sectors.formula, names, what=f"{self.name}: sector formula")
        for a in (v, vs, vh):
            for b in (v, vs, vh):
                if sympy.diff(E, a, b) != 0:
                    raise ValueError(f"{self.name}: the sector formula must be linear in v "
                                     "and its derivatives")
        c0, c1, C = (sympy.diff(E, a) for a in (v, vs, vh))
        op = _operator_from(c0, [c1], ((C,),), s, extra=(label,),
                            what=f"{self.name}: sector formula")
        self._memo["sector_op"] = op
        return op

    def end_row_exprs(self, op: Operator, order: int, tangent=None):
        """(alpha, beta (k), gamma (k x k)) of the row at the far end for a
        perturbation v of a fixed point with eigenvalue theta,
        alpha v + beta . grad v + sum gamma_ij v_ij, as sympy expressions in the
        point, the fixed point's U, G, H there, the parameters, op.extra and
        theta (``end_row_theta``). The fixed point's own Hessian there is its
        end row's (``end_hessian``, on the face with this `tangent` for two
        invariants); the perturbation's obeys the same rule with its power
        q = (a - theta) / b."""
        s = self.symbols
        k = s.k
        theta = self.end_row_theta
        q = (op.a - theta) / op.b
        Hfp = self.end_hessian(order, tangent=tangent)
        on_end = {s.H[i][j]: Hfp[i][j] for i in range(k) for j in range(i, k)}
        if tangent is not None and k == 2:
            vg = [sympy.Symbol(f"vg{i}", real=True) for i in range(2)]
            vh = {(i, j): sympy.Symbol(f"vh{i}{j}", real=True) for i in range(2)
                  for j in range(i, 2)}
            VH = [[vh[min(i, j), max(i, j)] for j in range(2)] for i in range(2)]
            Vs = edge_hessian(s.x, vg, VH, q, tangent)
            E = sum(op.c1[i] * vg[i] for i in range(2)) + sum(
                op.C[i][j] * Vs[i][j] for i in range(2) for j in range(2))
            alpha = op.c0 + theta
            beta = [sympy.diff(E, vg[i]) for i in range(2)]
            gamma = [[sympy.diff(E, vh[min(i, j), max(i, j)]) * (1 if i == j else
                                                                  sympy.Rational(1, 2))
                      for j in range(2)] for i in range(2)]
        elif order == 1 or k > 1:
            x = s.x
            r2 = sum(xi * xi for xi in x)
            n = [xi / r2 for xi in x]
            Cn = [sum(op.C[i][j] * n[j] for j in range(k)) for i in range(k)]
            nCn = sum(n[i] * Cn[i] for i in range(k))
            w = [2 * Cn[i] - nCn * x[i] for i in range(k)]
            alpha = op.c0 + theta
            beta = [op.c1[i] + (q - 1) * w[i] for i in range(k)]
            gamma = [[op.C[i][j] - (w[i] * x[j] + w[j] * x[i]) / 2 for j in range(k)]
                     for i in range(k)]
        else:
            v, sl, vh = (sympy.Symbol(nm, real=True) for nm in ("vv", "vs", "vh"))
            E = (op.c0 + theta) * v + op.c1[0] * sl + op.C[0][0] * vh
            hstar = Hfp[0][0]
            hprime = sympy.diff(hstar, s.x[0]) + hstar * sympy.diff(hstar, s.G[0])

            def along(V):
                return (sympy.diff(V, s.x[0]) + s.G[0] * sympy.diff(V, s.U)
                        + hstar * sympy.diff(V, s.G[0]) + hprime * sympy.diff(V, s.H[0][0]))

            # everything is linear in the perturbation's slope: its ratio at slope 1
            slope = slow_manifold_slope(E, v, sl, vh, s.x[0], q, along=along).subs(sl, 1)
            alpha = op.c0 + theta
            beta = [op.c1[0] + op.C[0][0] * slope]
            gamma = [[sympy.Integer(0)]]
        sub = lambda e: sympy.sympify(e).subs(on_end, simultaneous=True)  # noqa: E731
        return sub(alpha), [sub(b) for b in beta], [[sub(g) for g in row] for row in gamma]

    end_row_theta = sympy.Symbol("theta")

    def end_row(self, op: Operator, order: int):
        """``end_row_exprs`` as a numpy function (x, u, g, h, values, extra, theta)
        -> (alpha (m), beta (m x k), gamma (m x k x k)), made once per operator."""
        key = ("end_row", id(op), order)
        fn = self._memo.get(key)
        if fn is None and self.k == 2 and order > 0:
            fn = self._memo[key] = self._square_end_row(op, order)
        if fn is None:
            alpha, beta, gamma = self.end_row_exprs(op, order)
            k = self.k
            flat = [alpha, *beta, *[gamma[i][j] for i in range(k) for j in range(k)]]
            lam = sympy.lambdify(self._args(op.extra) + [self.end_row_theta], flat,
                                 modules="numpy", cse=True)

            def fn(x, u, g, h, values, extra, theta, lam=lam, k=k):
                args = self._call_args(x, u, g, h, values, extra)
                m = len(args[k])
                with np.errstate(all="ignore"):
                    out = [np.broadcast_to(np.asarray(o, dtype=np.result_type(theta, 1.0)),
                                           (m,)) for o in lam(*args, theta)]
                return (out[0], np.stack(out[1:1 + k], axis=1),
                        np.stack(out[1 + k:], axis=1).reshape(m, k, k))
            self._memo[key] = fn
        return fn

    def _square_end_row(self, op: Operator, order: int):
        """``end_row`` for two invariants: each end point of the square takes the
        edge rule of its face (``square_face``)."""
        lams = {}
        for tag, tangent in SQUARE_FACES:
            alpha, beta, gamma = self.end_row_exprs(op, order, tangent)
            flat = [alpha, *beta, *[gamma[i][j] for i in range(2) for j in range(2)]]
            lams[tag] = sympy.lambdify(self._args(op.extra) + [self.end_row_theta], flat,
                                       modules="numpy", cse=True)

        def fn(x, u, g, h, values, extra, theta):
            x = np.asarray(x, dtype=np.float64).reshape(-1, 2)
            m = len(x)
            dtype = np.result_type(theta, 1.0)
            alpha, beta, gamma = np.empty(m, dtype), np.empty((m, 2), dtype), np.empty(
                (m, 2, 2), dtype)
            top = float(np.max(x)) if m else 1.0
            faces = np.array([square_face(a, b, END_RTOL * max(1.0, top)) for a, b in x])
            for tag, lam in lams.items():
                sel = faces == tag
                if not sel.any():
                    continue
                args = self._call_args(x[sel], np.asarray(u).reshape(-1)[sel],
                                       np.asarray(g).reshape(-1, 2)[sel],
                                       np.asarray(h).reshape(-1, 2, 2)[sel], values, extra)
                ms = int(sel.sum())
                with np.errstate(all="ignore"):
                    out = [np.broadcast_to(np.asarray(o, dtype=dtype), (ms,))
                           for o in lam(*args, theta)]
                alpha[sel] = out[0]
                beta[sel] = np.stack(out[1:3], axis=1)
                gamma[sel] = np.stack(out[3:], axis=1).reshape(ms, 2, 2)
            return alpha, beta, gamma
        return fn

    def operator_values(self, op: Operator, x, u, g, h, values, extra=()):
        """(c0 (m), c1 (m x k), C (m x k x k)) of the operator at the points."""
        key = ("op", id(op))
        lam = self._memo.get(key)
        k = self.k
        if lam is None:
            flat = [op.c0, *op.c1, *[op.C[i][j] for i in range(k) for j in range(k)]]
            lam = self._memo[key] = sympy.lambdify(self._args(op.extra), flat,
                                                      modules="numpy", cse=True)
        args = self._call_args(x, u, g, h, values, extra)
        m = len(args[k])
        with np.errstate(all="ignore"):
            out = [np.broadcast_to(np.asarray(o, dtype=np.float64), (m,)) for o in lam(*args)]
        return out[0], np.stack(out[1:1 + k], axis=1), np.stack(out[1 + k:], axis=1).reshape(
            m, k, k)

    # --- routines ----------------------------------------------------------------

    @property
    def routines(self):
        """The compiled routines (``lpa_host.codegen.Routines``), made on first use
        in each process."""
        from . import codegen
        with self._lock:
            r = self._memo.get("routines")
            if r is None:
                r = self._memo["routines"] = codegen.compile_model(self)
        return r

    def fixed_points(self, *, progress=None, **params) -> list:
        """Its nontrivial fixed points at the default parameters with `params` set,
        as ``FixedPoint``s sorted by n_relevant: every branch that leaves the
        constant (Gaussian) solution where one of its eigenvalues crosses zero,
        followed in the dimension parameter (``lpa_host.search``)."""
        from . import search
        from .spectrum import one_blas_thread
        with one_blas_thread():
            return search.follow_branches(self, self.values(params), progress=progress)

    def with_params(self, **values) -> "Model":
        """The same model with other default parameter values (sharing everything
        derived from the formula, the compiled routines included)."""
        unknown = set(values) - set(self.params)
        if unknown:
            raise ValueError(f"{self.name}: unknown parameter {sorted(unknown)[0]!r} "
                             f"(parameters: {', '.join(self.params) or 'none'})")
        other = copy.copy(self)
        other.params = {**self.params, **{k: _check_value(k, v) for k, v in values.items()}}
        return other

    # --- identity, pickling ------------------------------------------------------------

    def _key(self):
        return (self.equation, self.invariants, tuple(self.params.items()), self.two_sided,
                self.dimension, self.sectors, self.name)

    def __eq__(self, other):
        return isinstance(other, Model) and self._key() == other._key()

    def __hash__(self):
        return hash(self._key())

    def __reduce__(self):
        return (_rebuild, (self.equation, self.invariants, self.params,
                           [x for x, t in zip(self.invariants, self.two_sided) if t],
                           self.dimension or "d", self.sectors, self.name))

    def __repr__(self):
        params = ", ".join(f"{k}={v:g}" for k, v in self.params.items())
        return f"Model({self.equation!r}, invariants={list(self.invariants)}, params={{{params}}})"


def _rebuild(equation, invariants, params, two_sided, dimension, sectors, name):
    return Model(equation, invariants, params, two_sided=two_sided, dimension=dimension,
                 sectors=sectors, name=name)


# --- sectors --------------------------------------------------------------------------------

@dataclass(frozen=True)
class SectorFormula:
    """The linearised operator of a one-invariant model in symmetry sectors, as a
    formula in v, v_<x>, v_<x>_<x> (the perturbation), the fixed point's u and
    its derivatives, the invariant, the parameters and `label` (e.g. l), linear
    in v. ``lpa_host.models.on`` gives the one of O(N)."""

    formula: str
    label: str = "l"
