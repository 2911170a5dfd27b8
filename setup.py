"""Packaging of tavox's native command layer.

The metadata is in pyproject.toml.  The native modules (one table,
native_modules.txt) are built by CMake; this file only hands CMake the
interpreter that runs the build and the directory the libraries must land
in, declares the modules as the package's extensions, and ships the
pure-Python part of the package from python/.
"""
import os
import subprocess
import sys
import sysconfig
from pathlib import Path

from setuptools import Extension, find_packages, setup
from setuptools.command.build_ext import build_ext
from setuptools.errors import CompileError

ROOT = Path(__file__).resolve().parent
PY_ROOT = ROOT / "python"


def native_modules():
    """The dotted module names of native_modules.txt (one a line, # comments)."""
    lines = (ROOT / "native_modules.txt").read_text().splitlines()
    return [line.strip() for line in lines if line.strip() and not line.strip().startswith("#")]


def pybind11_hint():
    """-Dpybind11_DIR for CMake when pybind11 comes as a Python package (an
    isolated build installs it from the build requirements); otherwise CMake
    finds the system's pybind11 on its own."""
    try:
        import pybind11
    except ImportError:
        return []
    return [f"-Dpybind11_DIR={pybind11.get_cmake_dir()}"]


def package_data():
    """Every non-code file that lives inside a package directory (the token
    table, the project template and its files, whatever their suffix)."""
    packages = set(find_packages(str(PY_ROOT)))
    data = {}
    for pkg in sorted(packages):
        pkg_dir = PY_ROOT / pkg.replace(".", "/")
        files = []
        for dirpath, dirnames, filenames in os.walk(pkg_dir):
            here = Path(dirpath)
            dirnames[:] = [
                d for d in dirnames
                if d != "__pycache__"
                and ".".join((here / d).relative_to(PY_ROOT).parts) not in packages
            ]
            for name in filenames:
                if name.endswith((".so", ".pyc")):
                    continue
                if here == pkg_dir and name.endswith(".py"):
                    continue  # the package's own modules
                files.append(str((here / name).relative_to(pkg_dir)))
        if files:
            data[pkg] = files
    return data


class CMakeBuild(build_ext):
    """Configure and build all native modules with CMake in one go."""

    def build_extensions(self):
        tag = sysconfig.get_config_var("SOABI") or "py"
        build_dir = ROOT / "build" / f"setup-{tag}"
        out_dir = Path(self.build_lib).resolve()
        if self.inplace:
            out_dir = PY_ROOT
        subprocess.check_call([
            "cmake", "-S", str(ROOT), "-B", str(build_dir),
            f"-DPython_EXECUTABLE={sys.executable}",
            f"-DTAVOX_OUTPUT_DIR={out_dir}",
            "-DCMAKE_BUILD_TYPE=Release",
            *pybind11_hint(),
        ])
        jobs = str(os.cpu_count() or 2)
        subprocess.check_call(["cmake", "--build", str(build_dir), "-j", jobs])
        missing = [e.name for e in self.extensions
                   if not (out_dir / self.get_ext_filename(e.name)).exists()]
        if missing:
            raise CompileError("native modules not built: " + ", ".join(missing))


setup(
    package_dir={"": "python"},
    packages=find_packages(str(PY_ROOT)),
    package_data=package_data(),
    ext_modules=[Extension(name, sources=[]) for name in native_modules()],
    cmdclass={"build_ext": CMakeBuild},
    zip_safe=False,
)
