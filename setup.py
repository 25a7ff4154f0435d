"""Builds bilateral_filter._core and the libraries with CMake for `pip install --no-build-isolation .`.

The libraries go beside the extension, which finds them through its run-path ($ORIGIN). The CMake build
runs in build-py/cmake (Release, without tests and tools), or reuses the configured build tree named by
BF_CMAKE_BUILD_DIR. The version is the CMake project's.
"""
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent
VERSION = re.search(r"project\(BilateralFilter VERSION ([0-9.]+)", (ROOT / "CMakeLists.txt").read_text()).group(1)


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        given = os.environ.get("BF_CMAKE_BUILD_DIR")
        build = Path(given) if given else ROOT / "build-py" / "cmake"
        if not given:
            subprocess.run(["cmake", "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
                            "-DBF_BUILD_TESTS=OFF", "-DBF_BUILD_TOOLS=OFF", f"-DPython3_EXECUTABLE={sys.executable}"],
                           check=True)
        subprocess.run(["cmake", "--build", str(build), "--target", "bilateral_filter_python",
                        "-j", str(os.cpu_count() or 2)], check=True)
        target = Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        [core] = (build / "python" / "bilateral_filter").glob("_core.*.so")
        shutil.copyfile(core, target)
        # The libraries by the names the extension and the filter library ask for (their sonames).
        for library in (build / "lib").iterdir():
            if re.fullmatch(r"lib\w+\.so\.\d+", library.name):
                shutil.copyfile(library, target.parent / library.name)
        for path in [target] + list(target.parent.glob("lib*.so.*")):
            path.chmod(0o755)


setup(version=VERSION, ext_modules=[Extension("bilateral_filter._core", sources=[])],
      cmdclass={"build_ext": CMakeBuild}, options={"build": {"build_base": "build-py"}})
