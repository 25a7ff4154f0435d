# Catches an installed module that does not find the installed library through its run-path, or a
# run-path with an empty (current directory) entry.
import os
import subprocess
import sys

import pytest

BUILD_DIR = os.environ.get("BF_BUILD_DIR")
PROBE = """import numpy as np, bilateral_filter as bf
print(bf.__file__)
print(bf.filter(np.arange(48, dtype=np.uint8).reshape(4, 4, 3)).sum())
print(*sorted({line.split()[-1] for line in open('/proc/self/maps') if 'libbilateral_filter' in line}), sep='\\n')
"""


@pytest.mark.skipif(not BUILD_DIR, reason="needs BF_BUILD_DIR, the build tree to install")
def test_installed_module(tmp_path):
    prefix = tmp_path / "prefix"
    subprocess.run(["cmake", "--install", BUILD_DIR, "--prefix", str(prefix)], check=True, capture_output=True)
    [module] = prefix.rglob("bilateral_filter.*.so")
    assert module.parent.name == "site-packages"
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "LD_LIBRARY_PATH")}
    run = lambda path: subprocess.run([sys.executable, "-c", PROBE], env=dict(env, PYTHONPATH=path),  # noqa: E731
                                      cwd=tmp_path, check=True, capture_output=True, text=True).stdout.splitlines()
    installed = run(str(module.parent))
    assert installed[0] == str(module) and installed[2:] and all(p.startswith(str(prefix)) for p in installed[2:])
    assert run(os.path.join(BUILD_DIR, "python"))[1] == installed[1]  # the build tree's module agrees
    build_module = next(p.path for p in os.scandir(os.path.join(BUILD_DIR, "python")) if p.name.endswith(".so"))
    for path in (str(module), build_module):
        dynamic = subprocess.run(["readelf", "-d", path], check=True, capture_output=True, text=True).stdout
        entries = next(line for line in dynamic.splitlines() if "RUNPATH" in line).split("[", 1)[1].rstrip("]")
        assert all(entries.split(":")) and entries.startswith("$ORIGIN"), entries
