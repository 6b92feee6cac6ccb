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

# class: (arguments that make its __init__ fail, or None; what to try on an
# object made with __new__). Every bound method and property is there: each
# carries its own check.
UNINITIALISED = {
    "_lpa_cpp.LPACollSolver_cpp": ("(np.zeros((3, 1)), None, 1, 0, 0, 0, 1, 1)", [
        "o.local_optimize(np.zeros(3), 5, 1e-9, [0.0])",
        "o.local_optimize_fixed_iterations(np.zeros(3), 2, [0.0])",
        "o.param_path_following(np.zeros(3), 5, 1e-9, [np.zeros(1)])",
        "o.multistart_optimize([np.zeros(3)], 5, 1e-9, [0.0])"]),
    "_lpa_cpp.OptimizeResult": (None, [
        "float(np.sum(o.coeffs))", "o.success", "o.iterations", "o.error"]),
    "_core_cpp.PolynomialAnsatz": ("(-1, 2)", [
        "o.evaluate_basis(np.zeros((2, 1)))", "o.n_coeffs", "o.exponents", "repr(o)"]),
    "_core_cpp.ChebyshevAnsatz": ("(1, 2, [1.0], [0.0])", [
        "o.lower", "repr(o)", "o.evaluate_basis(np.zeros((2, 1)))"]),
    "_core_cpp.Ansatz": ("(-5,)", ["o.n_coeffs"]),
}

# Before the objects refused, several of these crashed the interpreter: one
# child runs them all, flushing a line per case, so a crash names its case.
CHILD = """
import numpy as np, _core_cpp, _lpa_cpp
for cls_name, (bad_init, codes) in CASES.items():
    cls = eval(cls_name)
    for code in codes:
        for after_failed_init in (False, True) if bad_init else (False,):
            o = cls.__new__(cls)
            if after_failed_init:
                try:
                    o.__init__(*eval(bad_init))
                except Exception:
                    pass
                else:
                    raise SystemExit(cls_name + ": __init__ did not fail")
            print(cls_name, code, after_failed_init, end=": ", flush=True)
            try:
                eval(code)
            except TypeError as e:
                assert "never initialised" in str(e), e
                print("TypeError", flush=True)
            else:
                print("no exception", flush=True)
"""


def test_objects_never_initialised_raise_type_error():
    proc = subprocess.run([sys.executable, "-c", f"CASES = {UNINITIALISED!r}\n" + CHILD],
                          capture_output=True, text=True, timeout=120)
    lines = proc.stdout.splitlines()
    assert proc.returncode == 0, f"rc {proc.returncode} after\n{proc.stdout}\n{proc.stderr[-2000:]}"
    assert len(lines) == sum(len(c) * (2 if b else 1) for b, c in UNINITIALISED.values())
    assert all(line.endswith(": TypeError") for line in lines), proc.stdout


# A ctypes routine whose Python body raises: ctypes prints "Exception ignored"
# and returns without writing a single output entry.
_RAISING = ctypes.CFUNCTYPE(None, *([ctypes.POINTER(ctypes.c_double)] * 6), ctypes.c_int,
                            ctypes.c_int)(lambda *args: 1 / 0)


@pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")
@pytest.mark.parametrize("n_points", [12, 200000])
def test_a_routine_that_writes_nothing_is_a_failure(n_points):
    grid = np.linspace(0.0, 1.0, n_points)[:, None]
    solver = _lpa_cpp.LPACollSolver_cpp(grid, _core_cpp.PolynomialAnsatz(1, 2),
                                        ctypes.cast(_RAISING, ctypes.c_void_p).value,
                                        0, 0, 0, 1, 1)
    start = np.array([1.0, 2.0, 3.0])
    for result in (solver.local_optimize(start, 1, 1e-8, [0.0]),
                   solver.local_optimize_fixed_iterations(start, 0, [0.0]),
                   solver.multistart_optimize([start], 1, 1e-8, [0.0])[0]):
        assert not result.success
        assert np.isnan(result.error)
