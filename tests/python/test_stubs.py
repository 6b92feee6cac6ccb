"""The type stubs next to the built modules agree with the modules, and mypy
reads them: a script that uses the modules as documented type-checks, and
wrong calls are flagged."""

import ast
import os
import pathlib
import re
import subprocess
import sys
import textwrap

import pytest

import _core_cpp
import _lpa_cpp

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parents[1]
BUILD = pathlib.Path(_lpa_cpp.__file__).resolve().parent
SOURCES = {"_lpa_cpp": ROOT / "src/module/_lpa_cpp.pyi",
           "_core_cpp": ROOT / "src/core/_core_cpp.pyi"}
MODULES = {"_lpa_cpp": _lpa_cpp, "_core_cpp": _core_cpp}


def run_mypy_tool(args, cwd):
    """Run a mypy tool in a clean directory with the build tree's stubs on
    MYPYPATH and an empty configuration."""
    config = cwd / "mypy.ini"
    config.write_text("[mypy]\n")
    env = dict(os.environ, MYPYPATH=str(BUILD))
    return subprocess.run([sys.executable, "-m", *args], cwd=cwd, env=env,
                          capture_output=True, text=True, timeout=600)


def test_stubtest_finds_no_difference(tmp_path):
    # The build tree holds the current stubs (a stale copy would test old text).
    for name, source in SOURCES.items():
        assert (BUILD / f"{name}.pyi").read_bytes() == source.read_bytes(), name
    # An allowlist entry that matches nothing is itself an error, so this also
    # fails if stubtest compared nothing at all.
    res = run_mypy_tool(
        ["mypy.stubtest", "_core_cpp", "_lpa_cpp", "--concise",
         "--allowlist", str(HERE / "stubtest_allowlist.txt"),
         "--mypy-config-file", str(tmp_path / "mypy.ini")], tmp_path)
    assert res.returncode == 0, res.stdout + res.stderr


def runtime_signatures():
    """(module, class, method) -> the signature pybind11 generated, parsed from
    the first line of the method's docstring. stubtest cannot check these:
    pybind11 functions carry no __text_signature__."""
    out = {}
    for mod_name, module in MODULES.items():
        for cls_name, cls in vars(module).items():
            if not isinstance(cls, type) or cls.__module__ != mod_name:
                continue
            for name, attr in vars(cls).items():
                doc = getattr(attr, "__doc__", None) or ""
                if isinstance(attr, property) or not doc.startswith(name + "("):
                    continue
                header = doc.split("\n", 1)[0]
                out[mod_name, cls_name, name] = ast.parse(f"def {header}: ...").body[0]
    return out


def stub_signatures():
    out = {}
    for mod_name, source in SOURCES.items():
        for node in ast.parse(source.read_text()).body:
            if not isinstance(node, ast.ClassDef) or node.name.startswith("_"):
                continue
            for item in node.body:
                if isinstance(item, ast.FunctionDef) and not any(
                        ast.unparse(d) == "property" for d in item.decorator_list):
                    out[mod_name, node.name, item.name] = item
    return out


def shape(fn):
    """Parameter names, defaults and the outer name of the result type, with
    module prefixes dropped (pybind11 writes `list[_lpa_cpp.OptimizeResult]`,
    the stub `list[OptimizeResult]`)."""
    args = fn.args
    defaults = [ast.literal_eval(d) for d in args.defaults]
    result = re.sub(r"\b(?:_lpa_cpp|_core_cpp)\.", "", ast.unparse(fn.returns))
    return {
        "positional-only": [a.arg for a in args.posonlyargs],
        "parameters": [a.arg for a in args.args],
        "keyword-only": [a.arg for a in args.kwonlyargs],
        "star": (args.vararg is not None, args.kwarg is not None),
        "defaults": defaults,
        "result": result.split("[", 1)[0],
    }


def test_stub_signatures_match_the_generated_ones():
    runtime = runtime_signatures()
    stubs = stub_signatures()
    # Every bound method is in the stubs and vice versa (except the
    # placeholder constructor of OptimizeResult, which is not a bound method).
    assert set(runtime) == set(stubs), set(runtime) ^ set(stubs)
    assert ("_lpa_cpp", "LPACollSolver_cpp", "multistart_optimize") in runtime
    mismatches = {key: (shape(runtime[key]), shape(stubs[key]))
                  for key in runtime if shape(runtime[key]) != shape(stubs[key])}
    assert not mismatches


GOOD = '''
import numpy as np
from numpy.typing import ArrayLike, NDArray

import _core_cpp
import _lpa_cpp

Matrix = NDArray[np.float64]


class Quadratic(_core_cpp.Ansatz):
    """1, x, x^2 in one variable."""

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
    ok: bool = result.success
    n: int = result.iterations
    coeffs: Matrix = result.coeffs
    fixed = solver.local_optimize_fixed_iterations(coeffs, np.int32(3), np.array([0.5]),
                                                   multithread=True)
    path: list[_lpa_cpp.OptimizeResult] = solver.param_path_following(
        coeffs, 50, 1, [[0.5], (0.6,), np.array([0.7])])
    many = solver.multistart_optimize([coeffs, [0.0, 1.0, 2.0]], 50, np.float64(1e-10), [0.5])
    exponents: list[tuple[int, ...]] = _core_cpp.PolynomialAnsatz(2, 3).exponents
    lower: tuple[float, ...] = _core_cpp.ChebyshevAnsatz(1, 2, [0], [1.0]).lower
    return result.error + fixed.error + path[0].error + many[-1].error + float(u[0])
'''

# Each wrong line, with the error code mypy must give it.
BAD = [
    ("solver.local_optimize(np.zeros(3), 50.0, 1e-10, [0.5])", "arg-type"),  # float count
    ("solver.local_optimize(np.zeros(3), 50, 1e-10)", "call-arg"),  # flow_params missing
    ("solver.local_optimise(np.zeros(3), 50, 1e-10, [0.5])", "attr-defined"),
    ("solver.multistart_optimize([np.zeros(3)], 50, 1e-10, [0.5], True)", "call-arg"),
    ("solver.param_path_following(np.zeros(3), 50, 1e-10, [0.5], tolerance=1.0)", "call-arg"),
    ("_lpa_cpp.LPACollSolver_cpp(np.zeros(3), None, 1, 0, 0, 0, 1, 1)", "arg-type"),
    ("_lpa_cpp.LPACollSolver_cpp(np.zeros(3), basis, 1.5, 0, 0, 0, 1, 1)", "arg-type"),
    ("_core_cpp.ChebyshevAnsatz(1, 15, 0.0, 1.0)", "arg-type"),
    ("result.coeffs = np.zeros(3)", "misc"),  # read-only property
    ("count: int = result.error", "assignment"),
    ("basis.lower", "attr-defined"),  # an Ansatz has no interval
    ("class Sub(_core_cpp.PolynomialAnsatz): pass", "misc"),  # final class
]


def test_mypy_checks_a_script_against_the_stubs(tmp_path):
    (tmp_path / "good.py").write_text(textwrap.dedent(GOOD))
    bad = ["import numpy as np", "import _core_cpp", "import _lpa_cpp", "",
           "def misuse(solver: _lpa_cpp.LPACollSolver_cpp, basis: _core_cpp.Ansatz,",
           "           result: _lpa_cpp.OptimizeResult) -> None:"]
    first = len(bad) + 1
    bad += ["    " + line for line, _ in BAD]
    (tmp_path / "bad.py").write_text("\n".join(bad) + "\n")
    res = run_mypy_tool(
        ["mypy", "--strict", "--show-error-codes", "--no-error-summary",
         "--config-file", str(tmp_path / "mypy.ini"),
         "--cache-dir", str(BUILD / ".mypy_cache"), "good.py", "bad.py"], tmp_path)
    errors = re.findall(r"^(\w+)\.py:(\d+): error: .*\[([\w-]+)\]$", res.stdout, re.M)
    assert [e for e in errors if e[0] == "good"] == [], res.stdout
    got = {(int(line), code) for name, line, code in errors if name == "bad"}
    want = {(first + i, code) for i, (_, code) in enumerate(BAD)}
    assert got == want, res.stdout + res.stderr
