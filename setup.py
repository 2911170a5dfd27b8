"""Packaging of tavox's native command layer.

The eleven native modules are built by CMake (one table in CMakeLists.txt);
this file only hands CMake the interpreter that runs the build and the
directory the libraries must land in, and ships the pure-Python part of the
package from python/.
"""
import os
import re
import subprocess
import sys
import sysconfig
from pathlib import Path

from setuptools import Extension, find_packages, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent
PY_ROOT = ROOT / "python"


def native_modules():
    """The dotted module names listed in CMakeLists.txt's TAVOX_MODULES."""
    text = (ROOT / "CMakeLists.txt").read_text()
    block = re.search(r"set\(TAVOX_MODULES\s+(.*?)\)", text, re.S).group(1)
    return block.split()


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
        ])
        jobs = str(os.cpu_count() or 2)
        subprocess.check_call(["cmake", "--build", str(build_dir), "-j", jobs])
        missing = [e.name for e in self.extensions
                   if not Path(self.get_ext_fullpath(e.name)).exists()
                   and not (out_dir / self.get_ext_filename(e.name)).exists()]
        if missing:
            self.announce("not built (no source yet): " + ", ".join(missing), level=2)


setup(
    name="tavox",
    version="0.1.0",
    description="tavox command layer, configuration loader and job-manifest runtime",
    python_requires=">=3.10",
    package_dir={"": "python"},
    packages=find_packages(str(PY_ROOT)),
    package_data=package_data(),
    ext_modules=[Extension(name, sources=[]) for name in native_modules()],
    cmdclass={"build_ext": CMakeBuild},
    extras_require={"template": ["cookiecutter"]},
    entry_points={
        "console_scripts": [
            "tavox = tavox.cli.main:main",
            "tavox-manifest = tavox.manifest.runtime:main",
        ],
    },
    zip_safe=False,
)
