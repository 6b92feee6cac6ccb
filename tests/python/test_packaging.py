"""The wheel from `python -m build --wheel --no-isolation` carries both modules, the
host package and the type stubs and works in a fresh venv outside the checkout; the
sdist carries the sources and none of the files that runs leave behind."""

import os
import pathlib
import subprocess
import sys
import tarfile

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
STUBS = {"_lpa_cpp": ROOT / "src/module/_lpa_cpp.pyi",
         "_core_cpp": ROOT / "src/core/_core_cpp.pyi"}

# The sanitizer run preloads the ASan runtime into every process, the compiler
# of a wheel build included, and the wheel it would test is not instrumented.
pytestmark = pytest.mark.skipif(bool(os.environ.get("LPA_SANITIZE")),
                                reason="builds an uninstrumented wheel; not a sanitizer test")


def run(*args, cwd=None, check=True, timeout=600):
    """Run args without the checkout and build tree on the path; the stdout."""
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "MYPYPATH")}
    env.update(PIP_NO_INDEX="1", PIP_DISABLE_PIP_VERSION_CHECK="1")
    res = subprocess.run([str(a) for a in args], cwd=cwd, env=env, capture_output=True,
                         text=True, timeout=timeout)
    assert res.returncode == 0 or not check, res.stdout[-3000:] + res.stderr[-3000:]
    return res.stdout


def build(kind, out):
    out.mkdir(exist_ok=True)
    run(sys.executable, "-m", "build", f"--{kind}", "--no-isolation", "--outdir", out, ROOT,
        cwd=out, timeout=900)
    (artifact,) = out.glob("*.whl" if kind == "wheel" else "*.tar.gz")
    return artifact


# Run by the venv's interpreter from an empty directory: the README's example.
PROBE = '''
import sys
import numpy as np
from numba import cfunc, carray, types
import _core_cpp, _lpa_cpp, lpa_host

for module in (_core_cpp, _lpa_cpp, lpa_host):
    assert module.__file__.startswith(sys.prefix), module.__file__

dp = types.CPointer(types.float64)

@cfunc(types.void(dp, dp, dp, dp, dp, dp, types.int32, types.int32))
def flow(points, vals, grads, hess, flow_params, out, n_points, inv_dim):
    x = carray(points, (n_points,))
    u = carray(vals, (n_points,))
    du = carray(grads, (n_points,))
    lam = carray(flow_params, (1,))[0]
    r = carray(out, (n_points,))
    for p in range(n_points):
        r[p] = u[p] - 1.0 if x[p] == 0.0 else du[p] + lam * u[p] ** 3 - np.cos(x[p])

basis = _core_cpp.ChebyshevAnsatz(1, 15, [0.0], [1.0])
grid = 0.5 - 0.5 * np.cos(np.pi * np.arange(16) / 15)
solver = _lpa_cpp.LPACollSolver_cpp(grid, basis, flow.address, 0, 0, 0, 1, 1)
result = solver.local_optimize(np.zeros(basis.n_coeffs), 50, 1e-10, [0.5])
assert result.success and result.error <= 1e-10, (result.success, result.error)
print(_lpa_cpp.__doc__)
'''

# Type-checked with mypy in the venv: exactly the last line, a wrong call, must be
# flagged (without the installed stubs every name would be Any, or imports fail).
TYPED = '''
import numpy as np
from numpy.typing import NDArray
import _core_cpp, _lpa_cpp

def solve(address: int) -> NDArray[np.float64]:
    basis = _core_cpp.PolynomialAnsatz(1, 3)
    solver = _lpa_cpp.LPACollSolver_cpp(np.linspace(0, 1, 8), basis, address, 0, 0, 0, 1, 0)
    results: list[_lpa_cpp.OptimizeResult] = solver.multistart_optimize(
        [np.zeros(4)], 20, 1e-12, [])
    return results[0].coeffs

def wrong(solver: _lpa_cpp.LPACollSolver_cpp) -> None:
    solver.local_optimize(np.zeros(4), 20.0, 1e-12, [])
'''


def test_wheel_installs_with_its_dependencies_imports_and_type_checks_in_a_fresh_venv(tmp_path):
    wheel, venv, elsewhere = build("wheel", tmp_path / "dist"), tmp_path / "venv", tmp_path / "run"
    # numpy, numba, Dask and mypy come from the system, found by pip's resolver
    # offline: every import must be declared, and every declaration satisfied.
    run(sys.executable, "-m", "venv", "--system-site-packages", venv)
    python = venv / "bin" / "python"
    run(python, "-m", "pip", "install", "--no-index", "--no-build-isolation", f"{wheel}[scan]")
    run(python, "-m", "pip", "check")
    site = run(python, "-c", "import sysconfig; print(sysconfig.get_path('platlib'))")
    site = pathlib.Path(site.strip())
    assert site.is_relative_to(venv) and (site / "lpa_host" / "model.py").is_file()
    for module, source in STUBS.items():
        # Next to the module (read by IDEs) and as a stub-only package (read
        # by mypy, which ignores a lone .pyi in site-packages).
        for path in (f"{module}.pyi", f"{module}-stubs/__init__.pyi"):
            assert (site / path).read_bytes() == source.read_bytes(), path

    elsewhere.mkdir()
    (elsewhere / "probe.py").write_text(PROBE)
    (elsewhere / "typed.py").write_text(TYPED)
    assert run(python, "probe.py", cwd=elsewhere).strip() == "C++ backend for the vexal LPA module"
    # the scan command, as a module and as the console script
    for cmd in ([python, "-m", "lpa_host"], [venv / "bin" / "lpa-host"]):
        assert "--allow-large" in run(*cmd, "scan", "--help", cwd=elsewhere)
    out = run(python, "-m", "mypy", "--strict", "--no-error-summary", "--show-error-codes",
              "--cache-dir", tmp_path / "mypy-cache", "typed.py", cwd=elsewhere, check=False)
    errors = [line for line in out.splitlines() if ": error:" in line]
    wrong = len(TYPED.splitlines())  # its last line
    assert len(errors) == 1 and errors[0].startswith(f"typed.py:{wrong}:"), out
    assert "[arg-type]" in errors[0], out


def test_sdist_holds_sources_and_no_leftovers(tmp_path):
    with tarfile.open(build("sdist", tmp_path)) as tar:
        names = [n.split("/", 1)[1] for n in tar.getnames() if "/" in n]
    wanted = {"CMakeLists.txt", "pyproject.toml", "src/module/_lpa_cpp.pyi",
              "src/core/_core_cpp.pyi", "src/lpa/coll_solver.cpp", "lpa_host/__init__.py"}
    assert wanted - set(names) == set()
    leftovers = [n for n in names
                 if n.startswith(("build/", "dist/", "examples/output/", ".mypy_cache/",
                                  ".pytest_cache/", ".hypothesis/"))
                 or "__pycache__" in n or n.endswith((".so", ".o", ".pyc", ".whl"))]
    assert leftovers == []
