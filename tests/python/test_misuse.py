"""What a careless or unlucky host can do to the modules: objects that were
never initialised, and routines that fail without writing their output. Each
must end in a clean Python exception or a reported failure, never a crash or
a success."""

import ctypes
import subprocess
import sys

import numpy as np
import pytest

import _core_cpp
import _lpa_cpp


SOLVER = _lpa_cpp.LPACollSolver_cpp
RESULT = _lpa_cpp.OptimizeResult

# (what, code run on an object `o` made with __new__), each in a child
# process: before the objects refused, several of these crashed the
# interpreter.
UNINITIALISED = [
    ("solver.local_optimize", "SOLVER", "o.local_optimize(np.zeros(3), 5, 1e-9, [0.0])"),
    ("solver.local_optimize_fixed_iterations", "SOLVER",
     "o.local_optimize_fixed_iterations(np.zeros(3), 2, [0.0])"),
    ("solver.param_path_following", "SOLVER",
     "o.param_path_following(np.zeros(3), 5, 1e-9, [np.zeros(1)])"),
    ("solver.multistart_optimize", "SOLVER",
     "o.multistart_optimize([np.zeros(3)], 5, 1e-9, [0.0])"),
    ("result.coeffs", "RESULT", "float(np.sum(o.coeffs))"),
    ("result.success", "RESULT", "o.success"),
    ("result.iterations", "RESULT", "o.iterations"),
    ("result.error", "RESULT", "o.error"),
    ("PolynomialAnsatz.evaluate_basis", "_core_cpp.PolynomialAnsatz",
     "o.evaluate_basis(np.zeros((2, 1)))"),
    ("PolynomialAnsatz.n_coeffs", "_core_cpp.PolynomialAnsatz", "o.n_coeffs"),
    ("PolynomialAnsatz.exponents", "_core_cpp.PolynomialAnsatz", "o.exponents"),
    ("PolynomialAnsatz.__repr__", "_core_cpp.PolynomialAnsatz", "repr(o)"),
    ("ChebyshevAnsatz.lower", "_core_cpp.ChebyshevAnsatz", "o.lower"),
    ("ChebyshevAnsatz.__repr__", "_core_cpp.ChebyshevAnsatz", "repr(o)"),
    ("ChebyshevAnsatz.evaluate_basis", "_core_cpp.ChebyshevAnsatz",
     "o.evaluate_basis(np.zeros((2, 1)))"),
    ("Ansatz.n_coeffs", "_core_cpp.Ansatz", "o.n_coeffs"),
]

BAD_INIT = {
    "SOLVER": "(np.zeros((3, 1)), None, 1, 0, 0, 0, 1, 1)",
    "_core_cpp.PolynomialAnsatz": "(-1, 2)",
    "_core_cpp.ChebyshevAnsatz": "(1, 2, [1.0], [0.0])",
    "_core_cpp.Ansatz": "(-5,)",
}

# One child runs every case, flushing a line per case, so that a crash names
# the case it died in.
CHILD = """
import sys
import numpy as np, _core_cpp, _lpa_cpp
SOLVER, RESULT = _lpa_cpp.LPACollSolver_cpp, _lpa_cpp.OptimizeResult
for what, cls, code, bad_init in CASES:
    for after_failed_init in (False, True) if bad_init else (False,):
        cls_obj = eval(cls)
        o = cls_obj.__new__(cls_obj)
        if after_failed_init:
            try:
                o.__init__(*eval(bad_init))
            except Exception:
                pass
            else:
                sys.exit(what + ": __init__ did not fail")
        print(what, after_failed_init, end=": ", flush=True)
        try:
            eval(code)
        except TypeError as e:
            assert "never initialised" in str(e), e
            print("TypeError", flush=True)
        else:
            print("no exception", flush=True)
"""


def test_objects_never_initialised_raise_type_error():
    cases = [(what, cls, code, BAD_INIT.get(cls)) for what, cls, code in UNINITIALISED]
    proc = subprocess.run([sys.executable, "-c", f"CASES = {cases!r}\n" + CHILD],
                          capture_output=True, text=True, timeout=120)
    lines = proc.stdout.splitlines()
    assert proc.returncode == 0, f"rc {proc.returncode} after\n{proc.stdout}\n{proc.stderr[-2000:]}"
    assert len(lines) == len(cases) + sum(c[3] is not None for c in cases)
    assert all(line.endswith(": TypeError") for line in lines), proc.stdout


# A ctypes routine whose Python body raises: ctypes prints "Exception ignored"
# and returns without writing a single output entry.
_FLOW_CT = ctypes.CFUNCTYPE(None, *([ctypes.POINTER(ctypes.c_double)] * 6), ctypes.c_int,
                            ctypes.c_int)


def _raising(*args):
    raise RuntimeError("the host's flow routine failed")


_RAISING = _FLOW_CT(_raising)
_RAISING_ADDRESS = ctypes.cast(_RAISING, ctypes.c_void_p).value


@pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")
@pytest.mark.parametrize("n_points", [12, 200000])
def test_a_routine_that_writes_nothing_is_a_failure(n_points):
    basis = _core_cpp.PolynomialAnsatz(1, 2)
    grid = np.linspace(0.0, 1.0, n_points)[:, None]
    solver = SOLVER(grid, basis, _RAISING_ADDRESS, 0, 0, 0, 1, 1)
    start = np.array([1.0, 2.0, 3.0])
    for result in (solver.local_optimize(start, 1, 1e-8, [0.0]),
                   solver.local_optimize_fixed_iterations(start, 0, [0.0]),
                   solver.multistart_optimize([start], 1, 1e-8, [0.0])[0]):
        assert not result.success
        assert np.isnan(result.error)
