"""How the native modules are built: one table of modules for every reader,
a missing source that fails the build, the make targets a developer runs
first, the sources' layout, and parameter names checked by the compiler."""
import importlib.util
import os
import shutil
import subprocess
import sys
import sysconfig
import tempfile
from pathlib import Path

import pytest

from .conftest import ROOT, native_modules


def test_installed_libraries_are_the_table():
    # The package under test holds a library for each module of the table,
    # and none besides.
    package = Path(importlib.util.find_spec("tavox").origin).parent
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    built = {".".join(path.relative_to(package.parent).parts)[: -len(suffix)]
             for path in package.rglob("*" + suffix)}
    assert built == set(native_modules())


def test_a_module_without_source_fails_the_build(tmp_path):
    for name in ("CMakeLists.txt", "cmake", "src"):
        (shutil.copytree if (ROOT / name).is_dir() else shutil.copy)(ROOT / name, tmp_path / name)
    table = (ROOT / "native_modules.txt").read_text() + "tavox.cli.commands.nowhere\n"
    (tmp_path / "native_modules.txt").write_text(table)
    result = subprocess.run(["cmake", "-S", str(tmp_path), "-B", str(tmp_path / "build"),
                             f"-DPython_EXECUTABLE={sys.executable}"],
                            capture_output=True, text=True, timeout=300)
    assert result.returncode != 0
    assert "no source for tavox.cli.commands.nowhere" in result.stderr


def test_make_targets_for_a_developer(tmp_path):
    # `make build` installs nothing (no root, no apt) ...
    dry_run = subprocess.run(["make", "-n", "-C", str(ROOT), "build"],
                             capture_output=True, text=True, check=True).stdout
    assert "cmake --build" in dry_run and "setup.sh" not in dry_run
    # ... and `make clean` leaves no library in place to shadow a fresh build.
    shutil.copy(ROOT / "Makefile", tmp_path)
    made = ["build/x.o", ".venv311/bin/python", "python/tavox/a.cpython-311-x86_64-linux-gnu.so",
            "python/tavox/cli/commands/b.cpython-310-x86_64-linux-gnu.so",
            "python/tavox.egg-info/PKG-INFO", "python/tavox/__pycache__/c.pyc"]
    for rel in made + ["python/tavox/keep.py"]:
        (tmp_path / rel).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / rel).write_text("")
    subprocess.run(["make", "-C", str(tmp_path), "clean"], capture_output=True, check=True)
    assert [rel for rel in made if (tmp_path / rel).exists()] == []
    assert (tmp_path / "python/tavox/keep.py").exists()


def test_sources_are_formatted():
    sources = sorted(str(p) for p in (ROOT / "src").rglob("*.[ch]pp"))
    result = subprocess.run(["clang-format", "--dry-run", "--Werror", *sources],
                            capture_output=True, text=True, cwd=ROOT)
    assert result.returncode == 0, result.stderr


SIGNATURE = "self, args=(1, 2), *rest, key='a,b', **kw"


def test_the_interpreter_lock_is_released_through_the_support_guard():
    # support::Unlocked never takes the lock back while the interpreter
    # finalizes; pybind11's own guard would, and abort a second Ctrl-C.
    users = [str(p.relative_to(ROOT)) for p in (ROOT / "src").rglob("*.[ch]pp")
             if "gil_scoped_release" in p.read_text()]
    assert users == []


@pytest.mark.parametrize("name, compiles", [("key", True), ("kw", False), ("slef", False)])
def test_parameter_names_are_checked_when_compiling(tmp_path, name, compiles):
    # A body reads its parameters by name; a name the declared list does not
    # hold (or *args, **kwargs, which are not read so) fails the build.
    source = tmp_path / "probe.cpp"
    source.write_text(f"""
        #include "support/support.hpp"
        static_assert(tavox::support::detail::param_index("{SIGNATURE}", "key") == 2);
        TAVOX_DEF(probe, "probe", "{SIGNATURE}", nullptr) {{
            return py::reinterpret_borrow<py::object>(TAVOX_ARG({name}));
        }}
    """)
    result = subprocess.run(
        ["g++", "-std=c++17", "-fsyntax-only", "-fvisibility=hidden", "-Wall", "-Wextra",
         "-Werror", "-I", str(ROOT / "src"), "-I", sysconfig.get_paths()["include"], str(source)],
        capture_output=True, text=True, timeout=300)
    if compiles:
        assert result.returncode == 0, result.stderr
    else:
        assert result.returncode != 0
        assert "no parameter of that name in the declared signature" in result.stderr


@pytest.fixture
def outside_tmp():
    # A folder outside /tmp, which a file's private /tmp would hide.
    path = Path(tempfile.mkdtemp(prefix=".run_files-", dir=ROOT))
    yield path
    shutil.rmtree(path)


def test_files_run_apart_and_a_failure_fails_the_whole(outside_tmp):
    # scripts/run_files.py runs each test file in a process of its own, two
    # at a time, each with a /tmp of its own where that can be had: a file
    # may take a lock in /tmp that the other holds.  One failing file
    # makes the whole run fail, and its output is shown.
    # Run at once, each holds its lock until the other has taken its own.
    lock = ("import fcntl, os, pathlib, time\n"
            "def test_{0}():\n"
            "    f = open('/tmp/run_files.lock', 'w')\n"
            "    fcntl.flock(f, fcntl.LOCK_EX | fcntl.LOCK_NB)\n"
            "    here = pathlib.Path(__file__).parent\n"
            "    (here / '{0}.locked').touch()\n"
            "    deadline = time.monotonic() + 300\n"
            "    while os.environ.get('TAVOX_PRIVATE_TMP') == '1' and \\\n"
            "            not (here / '{1}.locked').exists():\n"
            "        assert time.monotonic() < deadline, 'the other file never ran'\n"
            "        time.sleep(0.01)\n")
    (outside_tmp / "test_a.py").write_text(lock.format("a", "b"))
    (outside_tmp / "test_b.py").write_text(lock.format("b", "a"))
    (outside_tmp / "test_c.py").write_text("def test_c():\n    assert 1 == 2\n")
    run = subprocess.run(
        [sys.executable, str(ROOT / "scripts" / "run_files.py"), "--jobs", "2", "--",
         sys.executable, "-m", "pytest", "-p", "no:cacheprovider", "-q", "--", str(outside_tmp)],
        capture_output=True, text=True, cwd=outside_tmp)
    assert run.returncode == 1, run.stdout
    assert "passed " + str(outside_tmp / "test_a.py") in run.stdout
    assert "passed " + str(outside_tmp / "test_b.py") in run.stdout
    assert "FAILED " + str(outside_tmp / "test_c.py") in run.stdout
    assert "assert 1 == 2" in run.stdout
    assert "2 of 3 files passed" in run.stdout


@pytest.mark.parametrize("user", ["this", "another"])
def test_a_plain_pytest_run_has_a_tmp_of_its_own(outside_tmp, user):
    # The suite's conftest gives a run started without one a /tmp of its
    # own (as root in the process, as another user in a user namespace,
    # keeping the user), so that the migration's fixed files in /tmp are
    # never the real ones.
    if user == "another" and os.geteuid() != 0:
        pytest.skip("running as another user needs root")
    outside_tmp.chmod(0o755)
    (outside_tmp / "test_tmp.py").write_text(
        "import os\n"
        "def test_tmp():\n"
        "    assert not os.path.exists('/tmp/tavox_migrate.lock')\n"
        "    open('/tmp/tavox_migrate.lock', 'w').close()\n"
        "    print('uid', os.geteuid())\n")
    Path("/tmp/tavox_migrate.lock").write_text("")
    env = {k: v for k, v in os.environ.items() if k != "TAVOX_PRIVATE_TMP"}
    as_user = [] if user == "this" else ["setpriv", "--reuid=65534", "--regid=65534",
                                         "--clear-groups"]
    if as_user and subprocess.run([*as_user, sys.executable, "-c", ""]).returncode != 0:
        pytest.skip("another user cannot run this interpreter (in root's home, say)")
    run = subprocess.run(
        [*as_user, sys.executable, "-m", "pytest", "-p", "no:cacheprovider", "-p",
         "tests.conftest", "-s", "-q", str(outside_tmp / "test_tmp.py")],
        capture_output=True, text=True, cwd=ROOT, env=env)
    assert run.returncode == 0, run.stdout + run.stderr
    assert f"uid {os.geteuid() if user == 'this' else 65534}" in run.stdout
