"""Builds kelvor_stoi with the repository's CMake build.

    pip install .                                   (online, isolated build)
    pip install --no-build-isolation --no-index .   (offline)

The package's Python files are in python/kelvor_stoi. Its extension module
kelvor_stoi._core is the CMake target kelvor_stoi_core of this repository
(the scoring library, the front-end core and the pybind11 module, built in
Release without tests or benchmarks); this file runs CMake for it and
places the module in the package. Nothing is downloaded by the build
itself: it needs CMake, a C++17 compiler, pybind11, the Python development
files and libsndfile (Debian: cmake g++ pybind11-dev python3-dev
libsndfile1-dev pkg-config), and numpy and wheel for the interpreter that
runs it; before a build starts it checks the last three and names what
is missing. CMAKE_BUILD_PARALLEL_LEVEL sets the number of compile
jobs (default: the cores). The CMake build stays in build-python/ (beside
the developers' build/) and is reused by the next install from this tree.

A source distribution (python -m build --sdist) carries the C++ sources
that the module needs; MANIFEST.in lists them.
"""
import glob
import importlib
import os
import platform
import re
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent

# Where Debian (pybind11-dev) and other systems put pybind11's CMake package.
PYBIND11_CMAKE_GLOBS = [
    "/usr/lib/cmake/pybind11/pybind11Config.cmake",
    "/usr/share/cmake/pybind11/pybind11Config.cmake",
    "/usr/lib/*/cmake/pybind11/pybind11Config.cmake",
    "/usr/local/lib/cmake/pybind11/pybind11Config.cmake",
    "/usr/local/share/cmake/pybind11/pybind11Config.cmake",
]


def has_module(name):
    try:
        importlib.import_module(name)
    except ImportError:
        return False
    return True


def pybind11_cmake_dir():
    """pybind11's CMake folder: from its Python module when this
    interpreter has one, else from the system's usual places; None when
    there is none."""
    try:
        import pybind11

        return pybind11.get_cmake_dir()
    except (ImportError, AttributeError, RuntimeError):
        pass
    for pattern in PYBIND11_CMAKE_GLOBS:
        found = sorted(glob.glob(pattern))
        if found:
            return str(Path(found[0]).parent)
    return None


def check_prerequisites():
    """Stops with one message naming everything missing for this
    interpreter: pip's --no-build-isolation uses what the interpreter
    already has. Making a source distribution needs none of it."""
    missing = []
    if not has_module("numpy"):
        missing.append("numpy (Debian: python3-numpy)")
    if pybind11_cmake_dir() is None:
        missing.append("pybind11 (Debian: pybind11-dev)")
    if not has_module("wheel"):
        missing.append("wheel (Debian: python3-wheel)")
    if not missing:
        return
    interpreter = f"{sys.executable} (Python {platform.python_version()})"
    hint = ""
    if sys.prefix != sys.base_prefix:
        hint = (
            "\nThis is a virtual environment: make it with /usr/bin/python3 -m venv --system-site-packages ENV "
            "so that it sees Debian's packages, or install them into it."
        )
    sys.exit(f"kelvor_stoi cannot be built for {interpreter}: missing {', '.join(missing)}.{hint}")


# A source distribution and the metadata it carries need none of the
# prerequisites; every other command (pip's metadata for a wheel included,
# which needs wheel) is checked before it starts.
_COMMAND = next((arg for arg in sys.argv[1:] if not arg.startswith("-")), None)
if _COMMAND not in (None, "sdist", "egg_info", "check", "clean"):
    check_prerequisites()


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
                f"-Dpybind11_DIR={pybind11_cmake_dir()}",
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
    package_dir={"": "python"},
    packages=["kelvor_stoi"],
    package_data={"kelvor_stoi": ["py.typed", "*.pyi"]},
    ext_modules=[CMakeExtension("kelvor_stoi._core")],
    # The command's man page under the installation's prefix, where man
    # finds it beside the bin/ folder on PATH (a virtual environment too).
    data_files=[("share/man/man1", ["python/kelvor-stoi.1"])],
    cmdclass={"build_ext": CMakeBuild},
    # build/ is the developers' CMake build.
    options={"build": {"build_base": "build-python"}},
    zip_safe=False,
)
