"""Fixtures shared by the whole suite.

The suite runs either against the installed package (the test command
installs the project into a virtual environment and runs pytest from the
project root) or against the in-place build with PYTHONPATH=python.  Either
way, subprocesses are started with ``sys.executable`` and inherit the
environment, so they see the same ``tavox`` package as the tests.
"""
import os
import sys
import textwrap
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent


def native_modules():
    """The dotted names of the package's native modules, from the one table
    that the build reads too (native_modules.txt)."""
    lines = (ROOT / "native_modules.txt").read_text().splitlines()
    return [line.strip() for line in lines if line.strip() and not line.strip().startswith("#")]


@pytest.fixture
def tavox_cmd():
    """argv prefix that runs the ``tavox`` command line."""
    return [sys.executable, "-m", "tavox.cli.main"]


@pytest.fixture
def manifest_cmd():
    """argv prefix that runs the manifest runtime's ``main()``."""
    return [sys.executable, "-m", "tavox.manifest"]


def _write_dist(root, name, version, entry_points, modules):
    root = Path(root)
    root.mkdir(parents=True, exist_ok=True)
    norm = name.replace("-", "_").replace(".", "_")
    info = root / f"{norm}-{version}.dist-info"
    info.mkdir()
    (info / "METADATA").write_text(
        f"Metadata-Version: 2.1\nName: {name}\nVersion: {version}\n")
    lines = []
    for group, eps in (entry_points or {}).items():
        lines.append(f"[{group}]")
        lines.extend(f"{ep} = {target}" for ep, target in eps.items())
        lines.append("")
    (info / "entry_points.txt").write_text("\n".join(lines))
    for rel, text in (modules or {}).items():
        path = root / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(textwrap.dedent(text))
    (info / "RECORD").write_text("")
    return root


@pytest.fixture
def make_dist(tmp_path):
    """Create a small installed distribution (a real .dist-info with
    entry_points.txt, plus its modules) in a fresh directory and return that
    directory, ready to be put on sys.path or PYTHONPATH.

    make_dist("demo-plugin", "1.0",
              {"tavox.cli.commands.secret": {"encode": "demo_secret:Encode"}},
              {"demo_secret.py": "..."})
    """
    counter = iter(range(1_000_000))

    def make(name, version="1.0", entry_points=None, modules=None):
        return _write_dist(tmp_path / f"dist{next(counter)}", name, version,
                           entry_points, modules)

    return make


def env_with_path(*dirs, base=None, **extra):
    """A copy of the environment with ``dirs`` in front of PYTHONPATH."""
    env = dict(os.environ if base is None else base)
    parts = [str(d) for d in dirs]
    if env.get("PYTHONPATH"):
        # absolute, so that a subprocess started in another directory
        # still finds the package under test
        parts.extend(os.path.abspath(p) for p in env["PYTHONPATH"].split(os.pathsep) if p)
    env["PYTHONPATH"] = os.pathsep.join(parts)
    env.update({k: str(v) for k, v in extra.items()})
    return env


@pytest.fixture
def subprocess_env():
    """Factory: environment for a subprocess with extra path entries."""
    return env_with_path
