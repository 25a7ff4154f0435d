# Catches an installed package (cmake --install, or pip install into a venv) that does not find its libraries
# without LD_LIBRARY_PATH, loads them from elsewhere, lacks a file, or has a run-path with an empty (current
# directory) entry.
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

BUILD_DIR = os.environ.get("BF_BUILD_DIR")
SOURCE = Path(__file__).resolve().parents[2]
PROBE = """import numpy as np, bilateral_filter as bf, bilateral_filter.dask
print(bf.__file__)
print(bf.__version__, bf.filter(np.arange(48, dtype=np.uint8).reshape(4, 4, 3)).sum())
print(*sorted({line.split()[-1] for line in open('/proc/self/maps') if 'libbilateral_filter' in line}), sep='\\n')
"""
needs_build = pytest.mark.skipif(not BUILD_DIR, reason="needs BF_BUILD_DIR, the build tree to install")
CLEAN = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "LD_LIBRARY_PATH")}


def probe(python, cwd, path=None):
    env = CLEAN if path is None else dict(CLEAN, PYTHONPATH=path)
    return subprocess.run([python, "-c", PROBE], env=env, cwd=cwd, check=True, capture_output=True,
                          text=True).stdout.splitlines()


def run_path(library):
    dynamic = subprocess.run(["readelf", "-d", library], check=True, capture_output=True, text=True).stdout
    return next(line for line in dynamic.splitlines() if "RUNPATH" in line).split("[", 1)[1].rstrip("]")


@needs_build
def test_installed_package(tmp_path):
    prefix = tmp_path / "prefix"
    subprocess.run(["cmake", "--install", BUILD_DIR, "--prefix", str(prefix)], check=True, capture_output=True)
    [module] = prefix.rglob("_core.*.so")
    package = module.parent
    assert package.parent.name == "site-packages" and {"__init__.py", "dask.py", "py.typed", "_core.pyi"} <= set(os.listdir(package))
    installed = probe(sys.executable, tmp_path, str(package.parent))
    assert installed[0] == str(package / "__init__.py")
    assert installed[2:] and all(p.startswith(str(prefix)) for p in installed[2:])
    assert probe(sys.executable, tmp_path, os.path.join(BUILD_DIR, "python"))[1] == installed[1]  # the build tree agrees
    for path in (module, next(Path(BUILD_DIR, "python", "bilateral_filter").glob("_core.*.so"))):
        entries = run_path(path)
        assert all(entries.split(":")) and entries.startswith("$ORIGIN"), entries


# pip install --no-build-isolation from a copy of the sources, into a venv that sees Debian's numpy; the
# CMake build is the test's build tree (a fresh one would take minutes). The libraries come from the package.
@needs_build
def test_pip_install_into_a_venv(tmp_path):
    source = tmp_path / "source"
    shutil.copytree(SOURCE / "python" / "bilateral_filter", source / "python" / "bilateral_filter",
                    ignore=shutil.ignore_patterns("__pycache__"))
    for name in ("pyproject.toml", "setup.py", "CMakeLists.txt", "README.md"):
        shutil.copy(SOURCE / name, source / name)
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", str(venv)], check=True)
    python = str(venv / "bin" / "python")
    subprocess.run([python, "-m", "pip", "install", "-q", "--no-build-isolation", "--no-index", str(source)],
                   env=dict(CLEAN, BF_CMAKE_BUILD_DIR=BUILD_DIR), check=True, capture_output=True)
    installed = probe(python, tmp_path)
    package = Path(installed[0]).parent
    assert package.is_relative_to(venv) and (package / "py.typed").exists()
    assert installed[1] == probe(sys.executable, tmp_path, os.path.join(BUILD_DIR, "python"))[1]
    assert len(installed[2:]) == 2 and all(Path(p).parent == package for p in installed[2:])  # both libraries
