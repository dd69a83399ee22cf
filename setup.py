"""Builds the extension module torvi._torvi with the project's CMake.

pip runs this from the repository root (in-tree). The CMake build folder is
build/python-pip (override with TORVI_PY_BUILD_DIR): it is kept, so a second
`pip install .` only rebuilds what changed. The module links the library's
static objects, so the installed package is self-contained apart from the
system's libusb, minizip and zlib. TORVI_PY_PREBUILT=<folder> takes the
module from a folder where the project's build put it instead of building.
"""

import os
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = os.path.dirname(os.path.abspath(__file__))


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        target = self.get_ext_fullpath(ext.name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        prebuilt = os.environ.get("TORVI_PY_PREBUILT")
        if prebuilt:
            # A module already built by the project's own build (scripts/demo.sh).
            shutil.copyfile(_module_in(prebuilt), target)
            return
        build_dir = os.environ.get("TORVI_PY_BUILD_DIR") or os.path.join(ROOT, "build", "python-pip")
        args = [
            "cmake", "-S", ROOT, "-B", build_dir,
            "-DCMAKE_BUILD_TYPE=Release",
            "-DTORVI_BUILD_PYTHON=ON",
            "-DTORVI_BUILD_TESTS=OFF",
            "-DTORVI_BUILD_BENCH=OFF",
            "-DTORVI_BUILD_TOOLS=OFF",
            f"-DPython_EXECUTABLE={sys.executable}",
        ]
        if shutil.which("ninja") and not os.path.exists(os.path.join(build_dir, "Makefile")):
            args += ["-G", "Ninja"]
        if shutil.which("ccache"):
            args += ["-DCMAKE_CXX_COMPILER_LAUNCHER=ccache", "-DCMAKE_C_COMPILER_LAUNCHER=ccache"]
        subprocess.check_call(args)
        jobs = os.environ.get("TORVI_PY_JOBS") or str(os.cpu_count() or 2)
        subprocess.check_call(["cmake", "--build", build_dir, "--target", "_torvi", "-j", jobs])
        shutil.copyfile(_module_in(os.path.join(build_dir, "python", "torvi")), target)


def _module_in(folder):
    names = [f for f in os.listdir(folder) if f.startswith("_torvi") and f.endswith(".so")]
    if not names:
        raise RuntimeError(f"no _torvi module in {folder}")
    return os.path.join(folder, names[0])


setup(ext_modules=[Extension("torvi._torvi", sources=[])], cmdclass={"build_ext": CMakeBuild})
