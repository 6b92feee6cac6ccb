"""Recording flow routines and reference computations shared by the solver tests.

Every routine here is a numba cfunc with the solver's calling convention. Each
call appends one row to a process-wide log (kind, n_points, n_batch, inv_dim,
OS thread id, whether flow_params was null, u at point 0, a spare column) and
bumps a per-kind counter. Rows are claimed with an atomic add, so routines
running on several OpenMP threads at once never write the same row. The log
lives in module-level numpy arrays whose addresses are baked into the compiled
code: compile with cache=False only, a cached routine would write into another
process's memory.

The residual "model" used by most tests is local and, for d = inv_dim
coordinates (the grid has d columns, x0 its first coordinate and xl its last),

    F[p] = alpha(x0) u + sum_a w_a(xl) du/dx_a + sum_{j,k} omega_jk(x0) d2u/dx_j dx_k
           + k3 (u^3 + u du/dx_0) - s sigma(x0)

with flow_params = [k3, s] (k3 = 0, s = 1 when flow_params is empty). The
weights depend on the point and omega is not symmetric in (j, k), so a routine
fed the wrong point, coordinate or derivative order gives a different answer.
model_residual and model_jacobian below evaluate the same F and its Jacobian
with numpy from the basis tables, independently of the solver.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import functools

import numpy as np
import pytest
from llvmlite import ir
from numba import carray, cfunc, njit, types
from numba.extending import intrinsic

import _core_cpp

# ---------------------------------------------------------------------------
# Signatures

_dp = types.CPointer(types.float64)
_i32 = types.int32
FLOW_SIG = types.void(_dp, _dp, _dp, _dp, _dp, _dp, _i32, _i32)
BATCH_SIG = types.void(_dp, _dp, _dp, _dp, _dp, _dp, _i32, _i32, _i32)
SENS_SIG = types.void(_dp, _dp, _dp, _dp, _dp, _dp, _dp, _dp, _i32)

# Never cached (the log's addresses are compiled in); IEEE division, so that
# a routine never raises.
_OPTS = dict(cache=False, error_model="numpy")

# ---------------------------------------------------------------------------
# Log

KIND_FLOW, KIND_BATCH, KIND_SENS, KIND_SENS_PAR = 0, 1, 2, 3
LOG_CAP = 1 << 15
LOG_COLS = 8
COL_KIND, COL_POINTS, COL_BATCH, COL_DIM, COL_TID, COL_NULL_PARAMS, COL_VAL0, COL_EXTRA = range(8)
BATCH_ROW_CAP = 1 << 14

# COUNTS[0]: rows claimed so far; COUNTS[1 + kind]: calls of that kind.
COUNTS = np.zeros(8, dtype=np.int64)
LOG = np.full((LOG_CAP, LOG_COLS), np.nan)
# Point 0 of the last batched call: u in every state column.
BATCH_ROW0 = np.full(BATCH_ROW_CAP, np.nan)
# Bumped by a Python thread while flow_sleep naps (see test_parallel.py).
TICKER = np.zeros(1, dtype=np.int64)

_COUNTS_ADDR = COUNTS.ctypes.data
_LOG_ADDR = LOG.ctypes.data
_BATCH_ROW0_ADDR = BATCH_ROW0.ctypes.data
_TICKER_ADDR = TICKER.ctypes.data


@intrinsic
def _i64_ptr(typingctx, addr):
    sig = types.CPointer(types.int64)(types.intp)

    def codegen(context, builder, signature, args):
        return builder.inttoptr(args[0], context.get_value_type(signature.return_type))

    return sig, codegen


@intrinsic
def _f64_ptr(typingctx, addr):
    sig = types.CPointer(types.float64)(types.intp)

    def codegen(context, builder, signature, args):
        return builder.inttoptr(args[0], context.get_value_type(signature.return_type))

    return sig, codegen


@intrinsic
def _address(typingctx, ptr):
    sig = types.intp(ptr)

    def codegen(context, builder, signature, args):
        return builder.ptrtoint(args[0], ir.IntType(64))

    return sig, codegen


@intrinsic
def _fetch_add(typingctx, addr, val):
    """Atomically adds val to the int64 at addr; returns the old value."""
    sig = types.int64(types.intp, types.int64)

    def codegen(context, builder, signature, args):
        ptr = builder.inttoptr(args[0], ir.IntType(64).as_pointer())
        return builder.atomic_rmw("add", ptr, args[1], "seq_cst")

    return sig, codegen


_gettid = types.ExternalFunction("gettid", types.int32())
_usleep = types.ExternalFunction("usleep", types.int32(types.uint32))


@njit(**_OPTS)
def _record(kind, n_points, n_batch, inv_dim, flow_params, val0):
    row = _fetch_add(_COUNTS_ADDR, 1)
    _fetch_add(_COUNTS_ADDR + 8 * (1 + kind), 1)
    if row >= LOG_CAP:
        return -1
    log = carray(_f64_ptr(_LOG_ADDR), (LOG_CAP, LOG_COLS))
    log[row, COL_KIND] = kind
    log[row, COL_POINTS] = n_points
    log[row, COL_BATCH] = n_batch
    log[row, COL_DIM] = inv_dim
    log[row, COL_TID] = _gettid()
    log[row, COL_NULL_PARAMS] = 1.0 if _address(flow_params) == 0 else 0.0
    log[row, COL_VAL0] = val0
    return row


def reset_log():
    COUNTS[:] = 0
    LOG[:] = np.nan
    BATCH_ROW0[:] = np.nan


@pytest.fixture(autouse=True)
def clean_log():
    """Every test starts with an empty log (import it into a test module)."""
    reset_log()
    yield


def calls(kind=None):
    """Logged rows, oldest first, optionally of one kind only."""
    rows = LOG[: min(int(COUNTS[0]), LOG_CAP)].copy()
    if kind is not None:
        rows = rows[rows[:, COL_KIND] == kind]
    return rows


def count(kind):
    return int(COUNTS[1 + kind])


def counts():
    """Calls per kind: (flow, batch, sens, sens_par)."""
    return tuple(int(c) for c in COUNTS[1:5])


# ---------------------------------------------------------------------------
# The model residual


@njit(inline="always", **_OPTS)
def _alpha(x0):
    return 1.5 + x0 * x0


@njit(inline="always", **_OPTS)
def _w(a, xl):
    return (a + 1.0) * (0.3 + 0.2 * xl)


@njit(inline="always", **_OPTS)
def _omega(j, k, x0):
    return (1.0 + j + 2.0 * k) * (0.1 + 0.05 * x0)


@njit(inline="always", **_OPTS)
def _sigma(x0):
    return np.cos(3.0 * x0) + x0


@njit(inline="always", **_OPTS)
def _params(flow_params):
    if _address(flow_params) == 0:
        return 0.0, 1.0
    prm = carray(flow_params, (2,))
    return prm[0], prm[1]


@cfunc(FLOW_SIG, **_OPTS)
def flow_model(points, vals, grads, hess, flow_params, out, n_points, inv_dim):
    m = np.int64(n_points)
    d = np.int64(inv_dim)
    v = carray(vals, (m,))
    _record(KIND_FLOW, n_points, -1, inv_dim, flow_params, v[0] if m > 0 else np.nan)
    k3, s = _params(flow_params)
    x = carray(points, (m * d,))
    g = carray(grads, (m * d,))
    h = carray(hess, (m * d * d,))
    o = carray(out, (m,))
    for p in range(m):
        x0 = x[p * d]
        xl = x[p * d + d - 1]
        u = v[p]
        acc = _alpha(x0) * u
        for a in range(d):
            acc += _w(a, xl) * g[p * d + a]
        for j in range(d):
            for k in range(d):
                acc += _omega(j, k, x0) * h[p * d * d + j * d + k]
        acc += k3 * (u * u * u + u * g[p * d])
        o[p] = acc - s * _sigma(x0)


@cfunc(BATCH_SIG, **_OPTS)
def batch_model(points, vals, grads, hess, flow_params, out, n_points, n_batch, inv_dim):
    m = np.int64(n_points)
    nb = np.int64(n_batch)
    v = carray(vals, (m * nb,))
    _record(KIND_BATCH, n_points, n_batch, inv_dim, flow_params, v[0] if m * nb > 0 else np.nan)
    o = carray(out, (m * nb,))
    if inv_dim != 1:
        # Only defined for one coordinate: make a wrong call impossible to miss.
        for i in range(m * nb):
            o[i] = np.nan
        return
    row0 = carray(_f64_ptr(_BATCH_ROW0_ADDR), (BATCH_ROW_CAP,))
    if m > 0:
        for i in range(min(nb, BATCH_ROW_CAP)):
            row0[i] = v[i]
    k3, s = _params(flow_params)
    x = carray(points, (m,))
    g = carray(grads, (m * nb,))
    h = carray(hess, (m * nb,))
    for p in range(m):
        x0 = x[p]
        for st in range(nb):
            i = p * nb + st
            u = v[i]
            acc = _alpha(x0) * u + _w(0, x0) * g[i] + _omega(0, 0, x0) * h[i]
            acc += k3 * (u * u * u + u * g[i])
            o[i] = acc - s * _sigma(x0)


@njit(**_OPTS)
def _model_sens(kind, d, points, vals, grads, hess, flow_params, sv, sg, sh, n_points):
    m = np.int64(n_points)
    v = carray(vals, (m,))
    _record(kind, n_points, -1, -1, flow_params, v[0] if m > 0 else np.nan)
    k3, s = _params(flow_params)
    x = carray(points, (m * d,))
    g = carray(grads, (m * d,))
    svals = carray(sv, (m,))
    sgrads = carray(sg, (m * d,))
    shess = carray(sh, (m * d * d,))
    for p in range(m):
        x0 = x[p * d]
        xl = x[p * d + d - 1]
        u = v[p]
        svals[p] = _alpha(x0) + k3 * (3.0 * u * u + g[p * d])
        for a in range(d):
            sgrads[p * d + a] = _w(a, xl) + (k3 * u if a == 0 else 0.0)
        for j in range(d):
            for k in range(d):
                shess[p * d * d + j * d + k] = _omega(j, k, x0)


@functools.cache
def sens_model(d=1, par=False):
    """Sensitivities of the model for d coordinates (the routine is not told
    d, so there is one per d); par=True logs its calls as KIND_SENS_PAR."""
    kind = KIND_SENS_PAR if par else KIND_SENS
    dim = np.int64(d)

    @cfunc(SENS_SIG, **_OPTS)
    def sens(points, vals, grads, hess, flow_params, sv, sg, sh, n_points):
        _model_sens(kind, dim, points, vals, grads, hess, flow_params, sv, sg, sh, n_points)

    return sens


def model_residual(grid, tables, coeffs, flow_params=(0.0, 1.0)):
    """F at every point, from the basis tables (values, firsts, seconds)."""
    k3, s = flow_params[0], flow_params[1]
    grid = np.asarray(grid, dtype=float).reshape(len(tables[0]), -1)
    values, firsts, seconds = tables
    d = len(firsts)
    x0, xl = grid[:, 0], grid[:, d - 1]
    u = values @ coeffs
    g = [f @ coeffs for f in firsts]
    r = (1.5 + x0**2) * u
    for a in range(d):
        r += (a + 1.0) * (0.3 + 0.2 * xl) * g[a]
    for j in range(d):
        for k in range(d):
            r += (1.0 + j + 2.0 * k) * (0.1 + 0.05 * x0) * (seconds[j * d + k] @ coeffs)
    r += k3 * (u**3 + u * g[0])
    return r - s * (np.cos(3.0 * x0) + x0)


def model_jacobian(grid, tables, coeffs, flow_params=(0.0, 1.0)):
    """dF/dc in closed form, m x n."""
    k3 = flow_params[0]
    grid = np.asarray(grid, dtype=float).reshape(len(tables[0]), -1)
    values, firsts, seconds = tables
    d = len(firsts)
    x0, xl = grid[:, 0], grid[:, d - 1]
    u = values @ coeffs
    g0 = firsts[0] @ coeffs
    jac = (1.5 + x0**2 + k3 * (3.0 * u**2 + g0))[:, None] * values
    for a in range(d):
        wa = (a + 1.0) * (0.3 + 0.2 * xl) + (k3 * u if a == 0 else 0.0)
        jac += wa[:, None] * firsts[a]
    for j in range(d):
        for k in range(d):
            jac += ((1.0 + j + 2.0 * k) * (0.1 + 0.05 * x0))[:, None] * seconds[j * d + k]
    return jac


# ---------------------------------------------------------------------------
# Small special-purpose routines


@cfunc(FLOW_SIG, **_OPTS)
def flow_offset(points, vals, grads, hess, flow_params, out, n_points, inv_dim):
    """F = u + flow_params[0]: linear, with a residual norm the test can know exactly."""
    m = np.int64(n_points)
    v = carray(vals, (m,))
    _record(KIND_FLOW, n_points, -1, inv_dim, flow_params, v[0])
    c = carray(flow_params, (1,))[0]
    o = carray(out, (m,))
    for p in range(m):
        o[p] = v[p] + c


@cfunc(FLOW_SIG, **_OPTS)
def flow_square(points, vals, grads, hess, flow_params, out, n_points, inv_dim):
    """F = u^2 - (1 + x/2)^2: roots u = +-(1 + x/2); J = 2u B is zero at u = 0."""
    m = np.int64(n_points)
    v = carray(vals, (m,))
    _record(KIND_FLOW, n_points, -1, inv_dim, flow_params, v[0])
    x = carray(points, (m,))
    o = carray(out, (m,))
    for p in range(m):
        t = 1.0 + 0.5 * x[p]
        o[p] = v[p] * v[p] - t * t


@cfunc(FLOW_SIG, **_OPTS)
def flow_sleep(points, vals, grads, hess, flow_params, out, n_points, inv_dim):
    """F = u - 1 after napping flow_params[0] microseconds; logs how far TICKER
    moved during the nap in the spare column."""
    m = np.int64(n_points)
    v = carray(vals, (m,))
    row = _record(KIND_FLOW, n_points, -1, inv_dim, flow_params, v[0])
    tick = carray(_i64_ptr(_TICKER_ADDR), (1,))
    before = tick[0]
    _usleep(np.uint32(carray(flow_params, (1,))[0]))
    after = tick[0]
    if row >= 0:
        carray(_f64_ptr(_LOG_ADDR), (LOG_CAP, LOG_COLS))[row, COL_EXTRA] = after - before
    o = carray(out, (m,))
    for p in range(m):
        o[p] = v[p] - 1.0


# ---------------------------------------------------------------------------
# Bases and helpers


class TableAnsatz(_core_cpp.Ansatz):
    """A basis given by explicit tables; counts its evaluations and keeps the
    grids it was asked about."""

    def __init__(self, values, firsts, seconds, n_coeffs=None):
        super().__init__(np.shape(values)[1] if n_coeffs is None else n_coeffs)
        self.tables = (np.asarray(values, float), [np.asarray(f, float) for f in firsts],
                       [np.asarray(s, float) for s in seconds])
        self.calls = 0
        self.grids = []

    def evaluate_basis(self, grid):
        self.calls += 1
        self.grids.append(np.array(grid))
        values, firsts, seconds = self.tables
        return values.copy(), [f.copy() for f in firsts], [s.copy() for s in seconds]


class DelegatingAnsatz(_core_cpp.Ansatz):
    """A Python basis that hands every evaluation to another basis and counts
    them."""

    def __init__(self, inner):
        super().__init__(inner.n_coeffs)
        self.inner = inner
        self.calls = 0

    def evaluate_basis(self, grid):
        self.calls += 1
        return self.inner.evaluate_basis(grid)


def random_tables(m, n, d, seed=0):
    """Gaussian tables for m points, n coefficients and d coordinates: the
    Jacobians they give are well conditioned at any size."""
    rng = np.random.default_rng(seed)
    values = rng.standard_normal((m, n))
    firsts = [rng.standard_normal((m, n)) for _ in range(d)]
    seconds = [rng.standard_normal((m, n)) for _ in range(d * d)]
    return values, firsts, seconds


def random_grid(m, d, seed=1):
    return np.random.default_rng(seed).uniform(-1.0, 1.0, size=(m, d))


def chebyshev_points(m, lower=-1.0, upper=1.0):
    t = np.cos(np.pi * (np.arange(m) + 0.5) / m)
    return 0.5 * (lower + upper) + 0.5 * (upper - lower) * t


def table_solver(m, n, d=1, *, flow=None, batch=None, sens=False, sens_par=False, seed=0,
                 param_dim=2):
    """A solver on random tables for the model residual. Returns (solver, grid,
    tables). flow and batch are cfunc objects (None: flow_model, no batch);
    sens and sens_par say whether to pass the model's sensitivity routines."""
    import _lpa_cpp

    tables = random_tables(m, n, d, seed)
    grid = random_grid(m, d, seed + 1)
    solver = _lpa_cpp.LPACollSolver_cpp(
        grid, TableAnsatz(*tables), address(flow or flow_model), address(batch),
        address(sens_model(d) if sens else None),
        address(sens_model(d, par=True) if sens_par else None), d, param_dim)
    return solver, grid, tables


def address(routine):
    return 0 if routine is None else routine.address


def omp_max_threads():
    """omp_get_max_threads() of the OpenMP runtime the extension uses."""
    name = ctypes.util.find_library("gomp") or "libgomp.so.1"
    return int(ctypes.CDLL(name).omp_get_max_threads())
