"""Fixtures shared by the whole suite.

The suite runs either against the installed package (the test command
installs the project into a virtual environment and runs pytest from the
project root) or against the in-place build with PYTHONPATH=python.  Either
way, subprocesses are started with ``sys.executable`` and inherit the
environment, so they see the same ``tavox`` package as the tests.
"""
import ctypes
import os
import signal
import sys
import textwrap
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent

# ---- a /tmp of the run's own ------------------------------------------------
#
# The migration writes fixed files in /tmp (its three logs) and takes a lock
# there: a test run must not overwrite the logs of the user's own runs, nor
# fail while one holds the lock.  So every run gets a private /tmp (a tmpfs
# in a mount namespace of its own, which its subprocesses share): as root in
# this process, as any other user in a user namespace, the run started again
# there so that it keeps its user and no privilege.  TAVOX_PRIVATE_TMP=1
# says a run has one (scripts/test.sh and scripts/run_files.py give it one
# already); where the kernel refuses, the tests that run the migration are
# skipped, saying why.

PRIVATE_TMP = "TAVOX_PRIVATE_TMP"
CLONE_NEWNS, CLONE_NEWUSER = 0x00020000, 0x10000000
MS_REC, MS_PRIVATE = 0x4000, 0x40000
_no_private_tmp = None  # why this run has none


def _private_tmp():
    """Moves this process into a mount namespace with a fresh /tmp; the
    reason it could not, or None."""
    libc = ctypes.CDLL(None, use_errno=True)

    def refused(step):
        return f"{step} refused: {os.strerror(ctypes.get_errno())}"

    root = os.geteuid() == 0
    uid, gid = os.geteuid(), os.getegid()
    if libc.unshare(CLONE_NEWNS if root else CLONE_NEWNS | CLONE_NEWUSER) != 0:
        return refused("a user and mount namespace" if not root else "a mount namespace")
    if not root:
        try:
            for name, text in (("setgroups", "deny"), ("uid_map", f"{uid} {uid} 1"),
                               ("gid_map", f"{gid} {gid} 1")):
                with open(f"/proc/self/{name}", "w") as f:
                    f.write(text)
        except OSError as e:
            return f"the user namespace's mapping refused: {e}"
    if libc.mount(None, b"/", None, MS_REC | MS_PRIVATE, None) != 0:
        return refused("a private mount of /")
    if libc.mount(b"none", b"/tmp", b"tmpfs", 0, b"mode=1777") != 0:
        return refused("a tmpfs on /tmp")
    return None


def pytest_configure(config):
    global _no_private_tmp
    # A suite started in the background by a shell without job control
    # (make test runs the two interpreters' suites so) gets Ctrl-C ignored,
    # and so would every process it starts: the tests that interrupt a run
    # need Ctrl-C to be what it is for the user.
    if signal.getsignal(signal.SIGINT) == signal.SIG_IGN:
        signal.signal(signal.SIGINT, signal.default_int_handler)
    if os.environ.get(PRIVATE_TMP) == "1":
        return
    _no_private_tmp = _private_tmp()
    if _no_private_tmp:
        return
    os.environ[PRIVATE_TMP] = "1"
    if os.geteuid() != 0:
        # Started again: a new program in the namespace keeps the user's
        # identity and none of the namespace's privileges.
        sys.stdout.flush()
        sys.stderr.flush()
        os.execv(sys.executable, sys.orig_argv)


def pytest_collection_modifyitems(config, items):
    if not _no_private_tmp:
        return
    skip = pytest.mark.skip(
        reason="no private /tmp for this run (" + _no_private_tmp + "): the migration "
        "would write the real /tmp/tavox_migrate_*.log and take the real lock")
    for item in items:
        path = item.nodeid.split("::")[0]
        if "/migrate/" in path or "migration" in item.name:
            item.add_marker(skip)


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
