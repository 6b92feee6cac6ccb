"""The wheel that the standard build tool makes (`python -m build --wheel
--no-isolation`) carries both modules, the host package and the type stubs,
and works installed into a fresh virtual environment outside the checkout;
the sdist carries the sources and none of the files that runs leave behind."""

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


def clean_env():
    """The environment without the checkout and build tree on the path."""
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "MYPYPATH")}
    env.update(PIP_NO_INDEX="1", PIP_DISABLE_PIP_VERSION_CHECK="1")
    return env


def build(kind, out):
    res = subprocess.run(
        [sys.executable, "-m", "build", f"--{kind}", "--no-isolation", "--outdir", str(out),
         str(ROOT)],
        cwd=out, env=clean_env(), capture_output=True, text=True, timeout=900)
    assert res.returncode == 0, res.stdout[-3000:] + res.stderr[-3000:]
    (artifact,) = out.glob("*.whl" if kind == "wheel" else "*.tar.gz")
    return artifact


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    return build("wheel", tmp_path_factory.mktemp("dist"))


# Run by the virtual environment's interpreter from an empty directory: the
# README's example, solved with the installed modules.
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

# Type-checked (not run) with mypy in the virtual environment: the stubs must
# come from the installed wheel, and a wrong call must be flagged.
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


def test_wheel_installs_imports_and_type_checks_in_a_fresh_venv(wheel, tmp_path):
    venv = tmp_path / "venv"
    # numpy, numba and mypy come from the system; pip too, so no ensurepip.
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", "--without-pip",
                    str(venv)], check=True, timeout=120)
    python = str(venv / "bin" / "python")
    env = clean_env()
    res = subprocess.run([python, "-m", "pip", "install", "--no-index", "--no-deps", str(wheel)],
                         env=env, capture_output=True, text=True, timeout=300)
    assert res.returncode == 0, res.stdout[-3000:] + res.stderr[-3000:]
    site = pathlib.Path(subprocess.run(
        [python, "-c", "import sysconfig; print(sysconfig.get_path('platlib'))"],
        env=env, capture_output=True, text=True, check=True).stdout.strip())
    assert site.is_relative_to(venv) and (site / "lpa_host" / "flow.py").is_file()
    for module, source in STUBS.items():
        # Next to the module (read by IDEs) and as a stub-only package (read
        # by mypy, which ignores a lone .pyi in site-packages).
        for path in (f"{module}.pyi", f"{module}-stubs/__init__.pyi"):
            assert (site / path).read_bytes() == source.read_bytes(), path

    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    (elsewhere / "probe.py").write_text(PROBE)
    res = subprocess.run([python, "probe.py"], cwd=elsewhere, env=env, capture_output=True,
                         text=True, timeout=300)
    assert res.returncode == 0, res.stdout[-3000:] + res.stderr[-3000:]
    assert res.stdout.strip() == "C++ backend for the vexal LPA module"

    (elsewhere / "typed.py").write_text(TYPED)
    res = subprocess.run(
        [python, "-m", "mypy", "--strict", "--no-error-summary", "--show-error-codes",
         "--cache-dir", str(tmp_path / "mypy-cache"), "typed.py"],
        cwd=elsewhere, env=env, capture_output=True, text=True, timeout=600)
    # Exactly the one wrong call, so the installed stubs were read (without
    # them every name would be Any, or the imports would fail).
    errors = [line for line in res.stdout.splitlines() if ": error:" in line]
    wrong = 1 + TYPED.splitlines().index("    solver.local_optimize(np.zeros(4), 20.0, 1e-12, [])")
    assert len(errors) == 1 and errors[0].startswith(f"typed.py:{wrong}:"), res.stdout
    assert "[arg-type]" in errors[0], res.stdout


def test_sdist_holds_sources_and_no_leftovers(tmp_path):
    sdist = build("sdist", tmp_path)
    with tarfile.open(sdist) as tar:
        names = [n.split("/", 1)[1] for n in tar.getnames() if "/" in n]
    for wanted in ("CMakeLists.txt", "pyproject.toml", "src/module/_lpa_cpp.pyi",
                   "src/core/_core_cpp.pyi", "src/lpa/coll_solver.cpp", "lpa_host/__init__.py"):
        assert wanted in names
    leftovers = [n for n in names
                 if n.startswith(("build/", "dist/", "examples/output/", ".mypy_cache/",
                                  ".pytest_cache/", ".hypothesis/"))
                 or "__pycache__" in n or n.endswith((".so", ".o", ".pyc", ".whl"))]
    assert leftovers == []
