"""The wheel that `pip install .` builds carries both modules and imports
outside the source tree."""

import os
import pathlib
import subprocess
import sys
import zipfile

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]


@pytest.mark.timeout(900)
def test_wheel_builds_and_both_modules_import_from_it(tmp_path):
    out = tmp_path / "dist"
    env = dict(os.environ, PIP_NO_INDEX="1", PIP_DISABLE_PIP_VERSION_CHECK="1")
    res = subprocess.run(
        [sys.executable, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps",
         "-w", str(out), str(ROOT)],
        env=env, cwd=tmp_path, capture_output=True, text=True,
    )
    assert res.returncode == 0, res.stdout[-3000:] + res.stderr[-3000:]
    (wheel,) = out.glob("*.whl")
    site = tmp_path / "site"
    with zipfile.ZipFile(wheel) as z:
        names = z.namelist()
        z.extractall(site)
    assert any(n.startswith("_lpa_cpp") for n in names)
    assert any(n.startswith("_core_cpp") for n in names)
    clean = tmp_path / "elsewhere"
    clean.mkdir()
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    env["PYTHONPATH"] = str(site)
    probe = (
        "import _core_cpp, _lpa_cpp, numpy as np\n"
        "a = _core_cpp.PolynomialAnsatz(1, 2)\n"
        "assert _lpa_cpp.__file__.startswith(%r)\n"
        "print(_lpa_cpp.__doc__, a.n_coeffs)\n" % str(site)
    )
    res = subprocess.run([sys.executable, "-c", probe], cwd=clean, env=env,
                         capture_output=True, text=True, check=True)
    assert res.stdout.split() == ["C++", "backend", "for", "the", "vexal", "LPA", "module", "3"]
