"""The type stubs next to the built modules agree with the modules, and mypy
reads them: documented uses type-check and wrong calls are flagged."""

import ast
import os
import pathlib
import re
import subprocess
import sys

import _core_cpp
import _lpa_cpp

HERE = pathlib.Path(__file__).resolve().parent
BUILD = pathlib.Path(_lpa_cpp.__file__).resolve().parent
SOURCES = {_lpa_cpp: HERE.parents[1] / "src/module/_lpa_cpp.pyi",
           _core_cpp: HERE.parents[1] / "src/core/_core_cpp.pyi"}


def run_mypy_tool(*args, cwd):
    """python -m <args> in cwd (given an empty mypy.ini) with the built stubs on MYPYPATH."""
    (cwd / "mypy.ini").write_text("[mypy]\n")
    return subprocess.run([sys.executable, "-m", *args], cwd=cwd, capture_output=True,
                          text=True, env=dict(os.environ, MYPYPATH=str(BUILD)), timeout=600)


def test_stubtest_finds_no_difference(tmp_path):
    # The build tree holds the current stubs (a stale copy would test old text).
    for module, source in SOURCES.items():
        assert (BUILD / f"{module.__name__}.pyi").read_bytes() == source.read_bytes(), source
    # An unused allowlist entry is an error: this also fails if nothing was compared.
    res = run_mypy_tool("mypy.stubtest", "_core_cpp", "_lpa_cpp", "--concise",
                        "--allowlist", str(HERE / "stubtest_allowlist.txt"),
                        "--mypy-config-file", "mypy.ini", cwd=tmp_path)
    assert res.returncode == 0, res.stdout + res.stderr


def shape(fn):
    """Parameter names by kind, defaults and the outer name of the result type,
    module prefixes dropped (pybind11 writes `list[_lpa_cpp.OptimizeResult]`)."""
    a = fn.args
    result = re.sub(r"\b(?:_lpa_cpp|_core_cpp)\.", "", ast.unparse(fn.returns))
    return ([[x.arg for x in kind] for kind in (a.posonlyargs, a.args, a.kwonlyargs)],
            (a.vararg is not None, a.kwarg is not None),
            [ast.literal_eval(d) for d in a.defaults], result.split("[", 1)[0])


def test_stub_signatures_match_the_generated_ones():
    # stubtest checks which names exist but not the parameters (pybind11 functions
    # have no __text_signature__); a docstring's first line is the generated one.
    stubs = [(getattr(module, cls.name), stub)
             for module, source in SOURCES.items() for cls in ast.parse(source.read_text()).body
             if isinstance(cls, ast.ClassDef) and not cls.name.startswith("_")
             for stub in cls.body if isinstance(stub, ast.FunctionDef) and not stub.decorator_list]
    assert len(stubs) >= 10  # every constructor and method of the five classes
    for cls, stub in stubs:
        doc = vars(cls)[stub.name].__doc__
        runtime = ast.parse(f"def {doc.split(chr(10), 1)[0]}: ...").body[0]
        assert shape(runtime) == shape(stub), (cls.__name__, stub.name)


# Documented uses must type-check; each misuse line names the error code mypy must give.
SCRIPT = '''
import numpy as np
from numpy.typing import ArrayLike, NDArray
import _core_cpp, _lpa_cpp

Matrix = NDArray[np.float64]

class Quadratic(_core_cpp.Ansatz):  # 1, x, x^2 in one variable
    def __init__(self) -> None:
        _core_cpp.Ansatz.__init__(self, 3)

    def evaluate_basis(self, grid: ArrayLike) -> tuple[Matrix, list[Matrix], list[Matrix]]:
        x = np.asarray(grid, dtype=np.float64).reshape(-1)
        one, zero = np.ones_like(x), np.zeros_like(x)
        return (np.column_stack([one, x, x * x]), [np.column_stack([zero, one, 2 * x])],
                [np.column_stack([zero, zero, 2 * one])])

def solve(flow_address: int) -> float:
    basis: _core_cpp.Ansatz = _core_cpp.ChebyshevAnsatz(1, 15, [0.0], [1.0])
    grid = 0.5 - 0.5 * np.cos(np.pi * np.arange(16) / 15)
    values, first, second = basis.evaluate_basis(grid)
    u: Matrix = values @ np.zeros(basis.n_coeffs) + first[0][:, 0] + second[0][:, 0]
    solver = _lpa_cpp.LPACollSolver_cpp(grid, basis, flow_address, 0, 0, 0, 1, 1)
    solver = _lpa_cpp.LPACollSolver_cpp(
        coll_grid=grid.reshape(-1, 1), ansatz=Quadratic(), cfunc_ptr=flow_address,
        batch_cfunc_ptr=0, sens_cfunc_ptr=0, sens_par_cfunc_ptr=0, inv_dim=1, param_dim=1)
    result = solver.local_optimize(np.zeros(3), 50, 1e-10, [0.5])
    status: tuple[bool, int] = (result.success, result.iterations)
    coeffs: Matrix = result.coeffs
    fixed = solver.local_optimize_fixed_iterations(coeffs, np.int32(3), np.array([0.5]),
                                                   multithread=True)
    path: list[_lpa_cpp.OptimizeResult] = solver.param_path_following(
        coeffs, 50, 1, [[0.5], (0.6,), np.array([0.7])])
    many = solver.multistart_optimize([coeffs, [0.0, 1.0, 2.0]], 50, np.float64(1e-10), [0.5])
    exponents: list[tuple[int, ...]] = _core_cpp.PolynomialAnsatz(2, 3).exponents
    lower: tuple[float, ...] = _core_cpp.ChebyshevAnsatz(1, 2, [0], [1.0]).lower
    return result.error + fixed.error + path[0].error + many[-1].error + float(u[0])

def misuse(solver: _lpa_cpp.LPACollSolver_cpp, result: _lpa_cpp.OptimizeResult) -> None:
    solver.local_optimize(np.zeros(3), 50.0, 1e-10, [0.5])  # E: arg-type (a float count)
    solver.local_optimize(np.zeros(3), 50, 1e-10)  # E: call-arg (no flow_params)
    solver.local_optimise(np.zeros(3), 50, 1e-10, [0.5])  # E: attr-defined
    _lpa_cpp.LPACollSolver_cpp(np.zeros(3), None, 1, 0, 0, 0, 1, 1)  # E: arg-type
    result.coeffs = np.zeros(3)  # E: misc (a read-only property)
    class Sub(_core_cpp.PolynomialAnsatz): pass  # E: misc (a final class)
'''


def test_mypy_checks_a_script_against_the_stubs(tmp_path):
    (tmp_path / "script.py").write_text(SCRIPT)
    res = run_mypy_tool("mypy", "--strict", "--show-error-codes", "--no-error-summary",
                        "--config-file", "mypy.ini", "--cache-dir", str(BUILD / ".mypy_cache"),
                        "script.py", cwd=tmp_path)
    got = set(re.findall(r"^script\.py:(\d+): error: .*\[([\w-]+)\]$", res.stdout, re.M))
    want = {(str(i), code) for i, line in enumerate(SCRIPT.splitlines(), 1)
            for code in re.findall(r"# E: ([\w-]+)", line)}
    assert len(want) == 6 and got == want, res.stdout + res.stderr
