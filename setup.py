"""Builds the Python module `tavrel` with the project's CMake, for pip.

pip install --no-build-isolation . uses the CMake, pybind11 and numpy the
system has (scripts/setup.sh installs them); nothing is downloaded.
"""

import os
import pathlib
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

SOURCE = pathlib.Path(__file__).resolve().parent


class CMakeExtension(Extension):
    def __init__(self, name):
        super().__init__(name, sources=[])


class CMakeBuild(build_ext):
    """Configures the project for the interpreter running pip, builds the
    module alone and puts it where setuptools expects the extension."""

    def build_extension(self, ext):
        build = pathlib.Path(self.build_temp).resolve() / "cmake"
        subprocess.run(
            [
                "cmake", "-S", str(SOURCE), "-B", str(build),
                "-DCMAKE_BUILD_TYPE=Release",
                f"-DPython_EXECUTABLE={sys.executable}",
                "-DTAVREL_BUILD_GUI=OFF",
                "-DTAVREL_BUILD_TESTS=OFF",
            ],
            check=True,
        )
        subprocess.run(
            ["cmake", "--build", str(build), "--target", "tavrel_python",
             "-j", str(os.cpu_count() or 1)],
            check=True,
        )
        built = sorted((build / "python").glob("tavrel.*.so"))
        if not built:
            raise RuntimeError("the build made no tavrel module")
        target = pathlib.Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built[0], target)


# setuptools' own build files go below the project's build folder.
(SOURCE / "build").mkdir(exist_ok=True)
setup(
    packages=[],
    py_modules=[],
    ext_modules=[CMakeExtension("tavrel")],
    cmdclass={"build_ext": CMakeBuild},
    options={
        "build": {"build_base": str(SOURCE / "build" / "pip")},
        "egg_info": {"egg_base": str(SOURCE / "build")},
    },
)
