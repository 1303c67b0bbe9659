"""Installs the zolviai Python package: `pip install --no-build-isolation .`

The extension modules are built with CMake (scripts/setup installs what the build needs) and
the package tree the build lays out under <build>/python/zolviai is installed as it is.
"""
import os
import shutil
import subprocess
import sys

from setuptools import Distribution, find_packages, setup
from setuptools.command.build_py import build_py

ROOT = os.path.dirname(os.path.abspath(__file__))


class BinaryDistribution(Distribution):
    def has_ext_modules(self):
        return True


class CMakeBuild(build_py):
    def run(self):
        build = os.environ.get("ZOLVIAI_BUILD_DIR", os.path.join(ROOT, "build"))
        subprocess.check_call(["cmake", "-S", ROOT, "-B", build, "-G", "Ninja",
                               "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
                               # The interpreter itself, not a virtual environment's link to
                               # it, which may be gone by the next build.
                               "-DPython_EXECUTABLE=" + os.path.realpath(sys.executable)])
        subprocess.check_call(["cmake", "--build", build, "-j2", "--target", "zolviai_python_modules"])
        super().run()
        target = os.path.join(self.build_lib, "zolviai")
        shutil.copytree(os.path.join(build, "python", "zolviai"), target, dirs_exist_ok=True,
                        ignore=shutil.ignore_patterns("__pycache__"))


setup(
    name="zolviai",
    version="0.1.0",
    description="Answers plain-language questions about the data in a relational database",
    python_requires=">=3.11",
    packages=find_packages(where="python"),
    package_dir={"": "python"},
    cmdclass={"build_py": CMakeBuild},
    distclass=BinaryDistribution,
    zip_safe=False,
)
