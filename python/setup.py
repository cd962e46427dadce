"""Builds the native module with CMake, from the repository this folder is in.

    pip install --no-build-isolation ./python

The module is built by the project's own CMake files (target dace_python),
for the interpreter that runs pip; CMake, a C++20 compiler and pybind11 must
be there (.ci/install-deps installs them on Debian).
"""
import os
import pathlib
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build = pathlib.Path(self.build_temp).resolve() / "cmake"
        configure = [
            "cmake", "-S", str(ROOT), "-B", str(build),
            "-DCMAKE_BUILD_TYPE=Release",
            f"-DDACE_PYTHON={sys.executable}",
            "-DDACE_BUILD_TESTS=OFF",
            "-DDACE_BUILD_BENCH=OFF",
        ]
        if shutil.which("ninja"):
            configure += ["-G", "Ninja"]
        subprocess.run(configure, check=True)
        subprocess.run(
            ["cmake", "--build", str(build), "--target", "dace_python",
             "--parallel", str(os.cpu_count() or 1)],
            check=True,
        )
        built = list((build / "python" / "package" / "libdace").glob("_libdace*.so"))
        if len(built) != 1:
            raise RuntimeError(f"expected one built module in {build}, found {built}")
        target = pathlib.Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built[0], target)


setup(
    packages=["libdace"],
    ext_modules=[Extension("libdace._libdace", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
)
