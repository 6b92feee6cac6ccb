"""The solver's routines, generated from a model's formula and compiled with numba.

For a model with k invariants and P parameters the routines take

    flow_params = [param_1, ..., param_P, R, closure]

and, at every point whose |x|_1 equals R (to ``model.END_RTOL``; for two
invariants max(|x0|, |x1|), the edges of the square, each point with the
edge rule of its face), use the row at the far end of the domain of order
`closure` (1 or 2, see ``lpa_host.model``); closure 0 uses the equation
itself everywhere (for the linearised operator). Generated, each as a numba cfunc with the calling
convention of ``_lpa_cpp.LPACollSolver_cpp``:

- ``flow``: the residual F at every point;
- ``batch``: the same for n_batch states at once (one invariant only; with
  more the solver never calls it, and it writes NaN);
- ``sens`` and ``sens_par`` (the variant the solver calls in large
  multithreaded runs; the same code): dF/du, dF/du_i, dF/du_ij, the mixed
  second derivatives split evenly between (i, j) and (j, i);
- ``param_sens``: dF/dparam_j at every point (out[p * P + j]), for tangents of
  continuations (not a solver routine).

All of them are pure functions of their arguments (no globals, no
allocation, no exceptions), so the solver may call them from several threads
at once without the GIL. The expressions come from sympy with common
subexpressions eliminated, and integer powers written as products.

The source of each model's routines is written once to a cache directory
(LPA_HOST_CACHE, else ~/.cache/lpa_host, else the temporary directory),
named after a hash of its text, and imported from there, so that numba's
own cache (next to the file, or NUMBA_CACHE_DIR) serves the compiled code to
the next process: each process still compiles or loads its own, because an
address means something only in the process that made it.
"""

from __future__ import annotations

import ctypes
import hashlib
import importlib.util
import os
import sys
import tempfile
import threading
from dataclasses import dataclass

import numpy as np
import sympy
from sympy.printing.pycode import PythonCodePrinter

from .model import END_RTOL, SQUARE_FACES, Model

#: Bump to regenerate every cached source.
GENERATOR_VERSION = 5


class _Printer(PythonCodePrinter):
    """Python source numba compiles well: small integer powers as products."""

    def _print_Pow(self, expr, rational=False):
        base, e = expr.base, expr.exp
        if e.is_Integer and 1 <= abs(int(e)) <= 4:
            b = self.parenthesize(base, 1000)  # always parenthesised
            prod = "*".join([f"({self._print(base)})" if not b.startswith("(") else b]
                            * abs(int(e)))
            return f"({prod})" if e > 0 else f"(1.0/({prod}))"
        if e == sympy.Rational(1, 2):
            return f"math.sqrt({self._print(base)})"
        if e == -sympy.Rational(1, 2):
            return f"(1.0/math.sqrt({self._print(base)}))"
        return super()._print_Pow(expr, rational=rational)


_PRINTER = _Printer({"standard": "python3", "fully_qualified_modules": True})


def _body(name: str, args: list[str], exprs: list, indent: str = "    ") -> str:
    """An inlined njit function returning exprs (one value or a tuple)."""
    repl, red = sympy.cse(exprs, symbols=sympy.numbered_symbols("t"), optimizations="basic")
    lines = [f"@njit(inline='always', error_model='numpy')",
             f"def {name}({', '.join(args)}):"]
    for sym, e in repl:
        lines.append(f"{indent}{sym} = {_PRINTER.doprint(e)}")
    outs = [_PRINTER.doprint(e) for e in red]
    lines.append(f"{indent}return {outs[0] if len(outs) == 1 else '(' + ', '.join(outs) + ')'}")
    return "\n".join(lines)


def _derivatives(expr, model: Model) -> list:
    """dF/dU, dF/dG_i, then dF/dH entry by entry (k * k, row-major; mixed halved)."""
    s = model.symbols
    k = s.k
    out = [sympy.diff(expr, s.U)] + [sympy.diff(expr, g) for g in s.G]
    for i in range(k):
        for j in range(k):
            d = sympy.diff(expr, s.H[i][j])
            out.append(d if i == j else d / 2)
    return out


def generate(model: Model) -> str:
    """The Python source of the model's routines."""
    s = model.symbols
    k, P = s.k, len(s.P)
    F = model.F
    variants = {"inner": F}
    for order in range(1, model.max_closure + 1):
        faces = SQUARE_FACES if k == 2 else (("", None),)
        for tag, tangent in faces:
            H = model.end_hessian(order, tangent=tangent)
            variants[f"end{order}{tag}"] = F.subs({s.H[i][j]: H[i][j] for i in range(k)
                                                   for j in range(i, k)}, simultaneous=True)
    args = [str(v) for v in (*s.x, s.U, *s.G, *s.hess, *s.P)]
    parts = []
    if k == 1:  # the rows at the end are F with u'' replaced: flow needs that u'' only
        for order in range(1, model.max_closure + 1):
            parts.append(_body(f"_h_end{order}", args, [model.end_hessian(order)[0][0]]))
    for tag, expr in variants.items():
        parts.append(_body(f"_f_{tag}", args, [expr]))
        parts.append(_body(f"_s_{tag}", args, _derivatives(expr, model)))
        parts.append(_body(f"_p_{tag}", args, [sympy.diff(expr, p) for p in s.P] or [0]))
    n_sens = 1 + k + k * k

    unpack = [f"        x{i} = x[p * {k} + {i}]" for i in range(k)]
    unpack += ["        uu = v[p]"]
    unpack += [f"        g{i} = gr[p * {k} + {i}]" for i in range(k)]
    for i in range(k):
        for j in range(i, k):
            if i == j:
                unpack.append(f"        h{i}{j} = he[p * {k * k} + {i * k + j}]")
            else:
                unpack.append(f"        h{i}{j} = 0.5 * (he[p * {k * k} + {i * k + j}] + "
                              f"he[p * {k * k} + {j * k + i}])")
    prm = [f"    p{j} = prm[{j}]" for j in range(P)]
    call = ", ".join(args)
    norm = ("max(abs(x0), abs(x1))" if k == 2 else
            "x0" if k == 1 and not model.two_sided[0] else
            " + ".join(f"abs(x{i})" for i in range(k)))
    choose = [f"        r = {norm}",
              "        end = abs(r - R) <= tol"]

    def dispatch(fn, target):
        if fn == "f" and k == 1:
            lines = ["        if end:"]
            if model.max_closure >= 2:
                lines += ["            if order > 1.5:", f"                h00 = _h_end2({call})",
                          "            else:", f"                h00 = _h_end1({call})"]
            else:
                lines += [f"            h00 = _h_end1({call})"]
            return lines + [f"        {target} = _f_inner({call})"]
        lines = [f"        if not end:", f"            {target} = _{fn}_inner({call})"]
        if model.max_closure >= 2:
            lines += [f"        elif order > 1.5:", f"            {target} = _{fn}_end2({call})"]
        if k == 2:  # the face of the square: its corner, x0 = R or x1 = R
            lines += ["        elif abs(x0 - x1) <= END_RTOL * max(1.0, abs(R)):",
                      f"            {target} = _{fn}_end1c({call})",
                      "        elif x0 > x1:", f"            {target} = _{fn}_end1a({call})",
                      "        else:", f"            {target} = _{fn}_end1b({call})"]
            return lines
        lines += [f"        else:", f"            {target} = _{fn}_end1({call})"]
        return lines

    src = [f'"""Routines generated by lpa_host from the equation\n\n    {model.equation}\n\n'
           f'invariants {", ".join(model.invariants)}; parameters '
           f'{", ".join(model.param_names) or "none"}. Do not edit."""',
           "import math", "import numpy as np",
           "from numba import carray, cfunc, njit, types", "",
           f"K = {k}", f"NP = {P}", f"PARAM_DIM = {P + 2}", f"END_RTOL = {END_RTOL!r}",
           "_dp = types.CPointer(types.float64)", "_i32 = types.int32",
           "FLOW_SIG = types.void(_dp, _dp, _dp, _dp, _dp, _dp, _i32, _i32)",
           "BATCH_SIG = types.void(_dp, _dp, _dp, _dp, _dp, _dp, _i32, _i32, _i32)",
           "SENS_SIG = types.void(_dp, _dp, _dp, _dp, _dp, _dp, _dp, _dp, _i32)",
           "_OPTS = dict(nopython=True, cache=True, error_model='numpy')", ""]
    src += ["\n\n".join(parts), ""]
    head = ["    n = np.int64(n_points)",
            "    prm = carray(flow_params, (PARAM_DIM,))", *prm,
            "    R = prm[NP]", "    order = prm[NP + 1]",
            "    tol = END_RTOL * max(1.0, abs(R)) if order > 0.5 else -1.0",
            "    x = carray(points, (n * K,))", "    v = carray(vals, (n,))",
            "    gr = carray(grads, (n * K,))", "    he = carray(hess, (n * K * K,))"]

    src += ["", "@cfunc(FLOW_SIG, **_OPTS)",
            "def flow(points, vals, grads, hess, flow_params, out, n_points, inv_dim):",
            "    o = carray(out, (np.int64(n_points),))",
            "    if np.int64(inv_dim) != K:",
            "        for p in range(np.int64(n_points)):", "            o[p] = np.nan",
            "        return", *head, "    for p in range(n):", *unpack, *choose,
            *dispatch("f", "o[p]")]

    if k == 1:
        src += ["", "@cfunc(BATCH_SIG, **_OPTS)",
                "def batch(points, vals, grads, hess, flow_params, out, n_points, n_batch, "
                "inv_dim):",
                "    nb = np.int64(n_batch)",
                "    o = carray(out, (np.int64(n_points) * nb,))",
                "    if np.int64(inv_dim) != 1:",
                "        for q in range(np.int64(n_points) * nb):", "            o[q] = np.nan",
                "        return",
                "    n = np.int64(n_points)",
                "    prm = carray(flow_params, (PARAM_DIM,))", *prm,
                "    R = prm[NP]", "    order = prm[NP + 1]",
            "    tol = END_RTOL * max(1.0, abs(R)) if order > 0.5 else -1.0",
                "    x = carray(points, (n,))", "    v = carray(vals, (n * nb,))",
                "    gr = carray(grads, (n * nb,))", "    he = carray(hess, (n * nb,))",
                "    for p in range(n):", "        x0 = x[p]",
                f"        r = {norm}",
                "        end = abs(r - R) <= tol",
                "        for s in range(nb):", "            q = p * nb + s",
                "            uu = v[q]", "            g0 = gr[q]", "            h00 = he[q]",
                *["    " + line for line in dispatch("f", "o[q]")]]
    else:
        src += ["", "@cfunc(BATCH_SIG, **_OPTS)",
                "def batch(points, vals, grads, hess, flow_params, out, n_points, n_batch, "
                "inv_dim):",
                "    o = carray(out, (np.int64(n_points) * np.int64(n_batch),))",
                "    for q in range(np.int64(n_points) * np.int64(n_batch)):",
                "        o[q] = np.nan"]

    def sens_fn(name):
        tgt = "sv[p], " + ", ".join(f"sg[p * K + {i}]" for i in range(k)) + ", " + ", ".join(
            f"sh[p * K * K + {e}]" for e in range(k * k))
        return ["", "@cfunc(SENS_SIG, **_OPTS)",
                f"def {name}(points, vals, grads, hess, flow_params, sens_vals, sens_grads, "
                "sens_hess, n_points):", *head,
                "    sv = carray(sens_vals, (n,))", "    sg = carray(sens_grads, (n * K,))",
                "    sh = carray(sens_hess, (n * K * K,))",
                "    for p in range(n):", *unpack, *choose, *dispatch("s", tgt)]

    src += sens_fn("sens") + sens_fn("sens_par")
    ptgt = ", ".join(f"o[p * NP + {j}]" for j in range(P))
    src += ["", "@cfunc(FLOW_SIG, **_OPTS)",
            "def param_sens(points, vals, grads, hess, flow_params, out, n_points, inv_dim):",
            *head, "    o = carray(out, (n * NP,))", "    for p in range(n):", *unpack,
            *choose, *(dispatch("p", ptgt) if P else ["        pass"])]
    return "\n".join(src) + "\n"


# --- loading ---------------------------------------------------------------------------------

def cache_dir() -> str:
    """Where generated sources are kept (created if needed)."""
    candidates = [os.environ.get("LPA_HOST_CACHE")]
    home = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    candidates += [os.path.join(home, "lpa_host"),
                   os.path.join(tempfile.gettempdir(), f"lpa_host-{os.getuid()}")]
    for c in candidates:
        if not c:
            continue
        try:
            os.makedirs(c, exist_ok=True)
            if os.access(c, os.W_OK):
                return c
        except OSError:
            continue
    raise RuntimeError("no writable directory for the generated routines; set LPA_HOST_CACHE")


_LOADED: dict = {}
_LOAD_LOCK = threading.Lock()


def _load(source: str):
    digest = hashlib.sha256(f"{GENERATOR_VERSION}\n{source}".encode()).hexdigest()[:20]
    with _LOAD_LOCK:
        mod = _LOADED.get(digest)
        if mod is not None:
            return mod
        path = os.path.join(cache_dir(), f"lpa_model_{digest}.py")
        if not os.path.exists(path):
            tmp = f"{path}.{os.getpid()}.{threading.get_ident()}.tmp"
            with open(tmp, "w") as fh:
                fh.write(source)
            os.replace(tmp, path)  # atomic: a concurrent writer wrote the same text
        name = f"lpa_host._generated_{digest}"
        found = importlib.util.spec_from_file_location(name, path)
        mod = importlib.util.module_from_spec(found)
        sys.modules[name] = mod
        try:
            found.loader.exec_module(mod)
        except BaseException:
            del sys.modules[name]
            raise
        _LOADED[digest] = mod
        return mod


def _ptr(a):
    return a.ctypes.data_as(ctypes.POINTER(ctypes.c_double))


def _f64(a):
    return np.ascontiguousarray(a, dtype=np.float64)


@dataclass(frozen=True)
class Routines:
    """A model's compiled routines in this process."""

    module: object
    k: int
    n_params: int

    @property
    def param_dim(self) -> int:
        return self.n_params + 2

    def addresses(self) -> tuple[int, int, int, int]:
        """(flow, batch, sensitivity, parallel sensitivity) for the solver; batch is
        0 for models of several invariants (the solver only batches one)."""
        m = self.module
        return (m.flow.address, m.batch.address if self.k == 1 else 0, m.sens.address,
                m.sens_par.address)

    def _args(self, x, u, g, h):
        x = _f64(x).reshape(-1, self.k)
        n = x.shape[0]
        return (x, _f64(u).reshape(n), _f64(g).reshape(n, self.k),
                _f64(h).reshape(n, self.k, self.k), n)

    def flow(self, x, u, g, h, flow_params) -> np.ndarray:
        """F at the points x (n x k) with u (n), g (n x k), h (n x k x k)."""
        x, u, g, h, n = self._args(x, u, g, h)
        prm = _f64(flow_params)
        out = np.empty(n)
        self.module.flow.ctypes(_ptr(x), _ptr(u), _ptr(g), _ptr(h), _ptr(prm), _ptr(out), n,
                                self.k)
        return out

    def sens(self, x, u, g, h, flow_params):
        """(dF/du (n), dF/dg (n x k), dF/dh (n x k x k))."""
        x, u, g, h, n = self._args(x, u, g, h)
        prm = _f64(flow_params)
        sv, sg, sh = np.empty(n), np.empty((n, self.k)), np.empty((n, self.k, self.k))
        self.module.sens.ctypes(_ptr(x), _ptr(u), _ptr(g), _ptr(h), _ptr(prm), _ptr(sv),
                                _ptr(sg), _ptr(sh), n)
        return sv, sg, sh

    def param_sens(self, x, u, g, h, flow_params) -> np.ndarray:
        """dF/dparam (n x P)."""
        x, u, g, h, n = self._args(x, u, g, h)
        prm = _f64(flow_params)
        out = np.empty((n, max(self.n_params, 1)))
        self.module.param_sens.ctypes(_ptr(x), _ptr(u), _ptr(g), _ptr(h), _ptr(prm),
                                      _ptr(out), n, self.k)
        return out[:, :self.n_params]


def compile_model(model: Model) -> Routines:
    """Generate, write (once) and load the model's routines."""
    return Routines(_load(generate(model)), model.k, len(model.param_names))
