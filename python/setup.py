"""Builds qelkit's Python package with CMake, for the interpreter running
this build: only the seven libraries and their extension modules. CMake
installs them, with the package's Python files, into the wheel's tree; the
libraries travel in qelkit/_libs, where the modules' runpath finds them, so
the installed package needs nothing from the build.

CMAKE_ARGS (e.g. "-DQELKIT_PLATFORM_ORIGIN=https://...") passes settings on
to CMake; CMAKE_BUILD_PARALLEL_LEVEL sets the build's jobs (default: every
core).
"""

import hashlib
import os
import re
import shlex
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = Path(__file__).resolve().parent
SOURCE = HERE.parent  # the repository root, with the libraries' CMake project

MODULES = [
    "qelkit.common.fetchcore",
    "qelkit.common.docstore",
    "qelkit.common.sealbox",
    "qelkit.common.taskspawn",
    "qelkit.sdk.qelfacade",
    "qelkit.sdk.pageworker",
    "qelkit.sdk.pagefanout",
]


def project_version():
    cmake_lists = SOURCE / "CMakeLists.txt"
    if not cmake_lists.is_file():
        sys.exit(f"qelkit: {cmake_lists} is missing; build the Python package from a clone of qelkit")
    match = re.search(r"project\(\s*qelkit\s+VERSION\s+([0-9.]+)", cmake_lists.read_text())
    if not match:
        sys.exit(f"qelkit: no project version in {cmake_lists}")
    return match.group(1)


class CMakeBuild(build_ext):
    """Builds every module in one CMake build and installs the package."""

    def build_extensions(self):
        # One CMake build per interpreter installation, kept for later builds.
        key = hashlib.sha256(f"{sys.base_prefix}\0{sys.version}".encode()).hexdigest()[:12]
        build_dir = Path(self.build_temp).resolve() / f"cmake-{key}"
        package_dir = Path(self.build_lib).resolve()
        configure = [
            "cmake", "-S", str(SOURCE), "-B", str(build_dir),
            "-DCMAKE_BUILD_TYPE=Release",
            f"-DPython3_EXECUTABLE={sys.executable}",
            f"-DQELKIT_PYTHON_INSTALL_DIR={package_dir}",
            "-DQELKIT_BUILD_PYTHON=ON",
            "-DQELKIT_BUILD_TESTS=OFF",
            "-DQELKIT_BUILD_APPS=OFF",
            "-DQELKIT_BUILD_BENCH=OFF",
            "-DQELKIT_INSTALL=OFF",
        ] + shlex.split(os.environ.get("CMAKE_ARGS", ""))
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(os.cpu_count() or 1)
        for command in (
            configure,
            ["cmake", "--build", str(build_dir), "--target", "qelkit_python", "--parallel", jobs],
            ["cmake", "--install", str(build_dir), "--component", "python"],
        ):
            print(" ".join(shlex.quote(part) for part in command), flush=True)
            subprocess.run(command, check=True)
        for name in MODULES:
            if not Path(self.get_ext_fullpath(name)).is_file():
                sys.exit(f"qelkit: the CMake build made no module {name} for {sys.executable}")


setup(
    version=project_version(),
    packages=["qelkit", "qelkit.common", "qelkit.sdk"],
    ext_modules=[Extension(name, sources=[]) for name in MODULES],
    cmdclass={"build_ext": CMakeBuild},
    zip_safe=False,
)
