"""Builds kelvor_stoi with the repository's CMake build.

    pip install --no-build-isolation ./python

The extension module kelvor_stoi._core is the CMake target
kelvor_stoi_core of the repository one folder up (the scoring library, the
batch core and the pybind11 module, built in Release without tests); this
file runs CMake for it and places the module in the package. Nothing is
downloaded: it needs CMake, a C++17 compiler, pybind11, the Python
development files and libsndfile (Debian: cmake g++ pybind11-dev
python3-dev libsndfile1-dev pkg-config). CMAKE_BUILD_PARALLEL_LEVEL
sets the number of compile jobs (default: the cores).
"""
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent


def project_version() -> str:
    text = (ROOT / "CMakeLists.txt").read_text()
    match = re.search(r"project\(\s*kelvor_stoi\s+VERSION\s+([0-9.]+)", text)
    if match is None:
        raise RuntimeError("no project version in CMakeLists.txt")
    return match.group(1)


class CMakeExtension(Extension):
    def __init__(self, name: str) -> None:
        super().__init__(name, sources=[])


class CMakeBuild(build_ext):
    def build_extension(self, ext: Extension) -> None:
        target = Path(self.get_ext_fullpath(ext.name)).resolve()
        build = Path(self.build_temp).resolve() / "cmake"
        output = build / "package"
        cmake = shutil.which("cmake")
        if cmake is None:
            raise RuntimeError("kelvor_stoi needs CMake 3.20 or newer to build (Debian: cmake)")
        subprocess.run(
            [
                cmake, "-S", str(ROOT), "-B", str(build),
                "-DCMAKE_BUILD_TYPE=Release",
                "-DKELVOR_BUILD_TESTS=OFF",
                "-DKELVOR_BUILD_BENCHMARKS=OFF",
                "-DKELVOR_BUILD_PYTHON=ON",
                "-DKELVOR_PYTHON_REQUIRED=ON",
                f"-DKELVOR_PYTHON_OUTPUT_DIR={output}",
                f"-DPython3_EXECUTABLE={sys.executable}",
            ],
            check=True,
        )
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(os.cpu_count() or 1)
        subprocess.run([cmake, "--build", str(build), "--target", "kelvor_stoi_core", "-j", jobs], check=True)
        built = sorted((output / "kelvor_stoi").glob("_core*"))
        if not built:
            raise RuntimeError(f"CMake built no module in {output / 'kelvor_stoi'}")
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built[0], target)


setup(
    version=project_version(),
    packages=["kelvor_stoi"],
    package_data={"kelvor_stoi": ["py.typed", "*.pyi"]},
    ext_modules=[CMakeExtension("kelvor_stoi._core")],
    cmdclass={"build_ext": CMakeBuild},
    zip_safe=False,
)
