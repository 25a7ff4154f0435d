"""The installed module finds the installed library through its run-path."""
import os
import subprocess
import sys

import pytest

BUILD_DIR = os.environ.get("BF_BUILD_DIR")

PROBE = """
import numpy as np, bilateral_filter as bf
print(bf.__file__)
print(bf.filter(np.arange(48, dtype=np.uint8).reshape(4, 4, 3)).sum())
print(*sorted({line.split()[-1] for line in open('/proc/self/maps') if 'libbilateral_filter' in line}), sep='\\n')
"""


@pytest.mark.skipif(not BUILD_DIR, reason="needs BF_BUILD_DIR, the build tree to install")
def test_installed_module(tmp_path):
    prefix = tmp_path / "prefix"
    subprocess.run(["cmake", "--install", BUILD_DIR, "--prefix", str(prefix)], check=True, capture_output=True)
    modules = list(prefix.rglob("bilateral_filter.*.so"))
    assert len(modules) == 1
    site = modules[0].parent
    assert site.name == "site-packages"

    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "LD_LIBRARY_PATH")}
    env["PYTHONPATH"] = str(site)
    run = lambda: subprocess.run([sys.executable, "-c", PROBE], env=env, cwd=tmp_path, check=True,  # noqa: E731
                                 capture_output=True, text=True).stdout.split("\n")
    lines = run()
    assert lines[0] == str(modules[0])
    libraries = [line for line in lines[2:] if line]
    assert libraries and all(line.startswith(str(prefix)) for line in libraries), libraries

    # The build tree's module gives the same result.
    env["PYTHONPATH"] = os.path.join(BUILD_DIR, "python")
    assert run()[1] == lines[1]

    # No empty (current directory) entry in either run-path.
    build_module = next((p for p in os.scandir(os.path.join(BUILD_DIR, "python")) if p.name.endswith(".so")))
    for path in (str(modules[0]), build_module.path):
        dynamic = subprocess.run(["readelf", "-d", path], check=True, capture_output=True, text=True).stdout
        runpath = next(line for line in dynamic.splitlines() if "RUNPATH" in line)
        entries = runpath.split("[", 1)[1].rstrip("]").split(":")
        assert all(entries) and entries[0].startswith("$ORIGIN"), runpath
