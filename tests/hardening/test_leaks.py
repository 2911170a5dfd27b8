"""Repeated calls of every public operation leave nothing behind: no
reference to their arguments, no Python objects, no C++ buffers.

Each case warms an operation up, calls it a few hundred times more and
looks at the interpreter's allocated blocks, the traced allocations, the
resident size and the reference counts of the objects it was handed (see
``assert_steady`` in conftest.py for the limits)."""
import argparse
import ctypes
import json
import os
import queue
import shutil
import sys
import types

import pytest

from .conftest import SAMPLE_REPO

# The 3.10 interpreter's per-function frame caches settle over a few hundred
# round trips of the YAML library; 3.11 (the sanitized runs too) needs none.
FRAME_CACHES = sys.version_info < (3, 11)


@pytest.fixture(scope="module")
def abstract():
    import tavox.cli.commands.migrate.abstract as module
    module.read_tokens()
    return module


@pytest.fixture
def command(abstract):
    cmd = abstract.MigrateAbstractCommand(prog="tavox migrate abstract")
    cmd.max_threads = 4
    cmd.apply_fixes_flag = cmd.apply_comments_flag = False
    return cmd


def drained(method, path):
    """op: run one check and take its message off the queue again."""
    q = queue.Queue()

    def op():
        method(path, q)
        while not q.empty():
            q.get_nowait()
    return op


def sample_files(pattern):
    if not SAMPLE_REPO.is_dir():
        return []
    return sorted(str(p.relative_to(SAMPLE_REPO)) for p in SAMPLE_REPO.rglob(pattern))


# ---- roster --------------------------------------------------------------------

@pytest.mark.parametrize("name", ["get_required_packages", "get_nuvik_legacy_packages",
                                  "get_optional_packages"])
def test_roster_lists(assert_steady, name):
    import tavox.roster as roster
    fn = getattr(roster, name)
    assert_steady(fn, fn, calls=180)


# ---- token tables --------------------------------------------------------------

def token_values(abstract):
    pid = next(iter(abstract.PID_TOKENS))
    model = next(iter(abstract.MODEL_TOKENS))
    platform = next(iter(abstract.PLATFORM_TOKENS))
    return ["RHENX", "L2VLIM", pid, "Ferrin", "q9800_cl", "Q9800L", model, platform,
            "nowhere-" + "x" * 200]


def test_compute_tokens_every_rule(assert_steady, abstract):
    values = token_values(abstract)

    def op():
        for value in values:
            abstract.compute_tokens(value)
    assert_steady(op, *values, abstract.PID_TOKENS, abstract.MODEL_TOKENS, calls=60)


def test_compute_tokens_refusal(assert_steady, abstract):
    bad = 12345

    def op():
        with pytest.raises((AttributeError, TypeError)):
            abstract.compute_tokens(bad)
    assert_steady(op, bad)


def test_read_tokens_when_loaded(assert_steady, abstract):
    assert_steady(abstract.read_tokens, abstract.PID_TOKENS, calls=90)


def test_get_parent_tokens(assert_steady, command):
    command.token_paths.update({"a": {"os": "rhenx"}, "a/b": {"platform": "tor9k"}})
    path = "a/b/c/d"
    assert_steady(lambda: command.get_parent_tokens(path), path, command.token_paths)


# ---- the three checks ------------------------------------------------------------

@pytest.mark.parametrize("rel", sample_files("*.yaml"))
def test_check_yaml_on_sample_files(assert_steady, command, rel):
    path = str(SAMPLE_REPO / rel)
    assert_steady(drained(command.check_yaml, path), path, command, calls=18)


@pytest.mark.parametrize("rel", [p for p in sample_files("*.py") if not p.endswith("__init__.py")])
def test_check_python_on_sample_files(assert_steady, command, rel):
    path = str(SAMPLE_REPO / rel)
    assert_steady(drained(command.check_python, path), path, command)


@pytest.mark.parametrize("rel", sample_files("__init__.py"))
def test_check_init_on_sample_files(assert_steady, command, rel):
    path = str(SAMPLE_REPO / rel)
    assert_steady(drained(command.check_init, path), path, command)


# Mostly lines no pattern can match (skipped without the interpreter), so
# that the file is big but cheap to check.
BIG_SOURCE = "".join(
    ("if dev.platform == 'q9800cl' and os == 'Ferrin':\n" if i % 500 == 0 else
     "# filler line %d %s\n" % (i, "x" * 60)) for i in range(4000))


@pytest.mark.parametrize("method, name, content", [
    # big enough that a leaked read buffer would show in the resident size
    ("check_python", "big.py", BIG_SOURCE.encode()),
    ("check_python", "latin1.py", b"platform = 'caf\xe9'\n"),
    ("check_init", "rhenx/__init__.py", b"declare_token(__name__)\n" + b"# \xff\n"),
    ("check_yaml", "broken.yaml", b"devices: [unclosed\n  - {"),
    ("check_yaml", "list.yaml", b"- 1\n- 2\n"),
    ("check_yaml", "bad_devices.yaml", b"devices:\n"),
    ("check_python", "missing.py", None),
], ids=["big", "latin1", "init-not-utf8", "yaml-broken", "yaml-list", "yaml-devices-none",
        "missing"])
def test_checks_on_bad_and_big_files(assert_steady, command, tmp_path, method, name, content):
    path = tmp_path / name
    path.parent.mkdir(parents=True, exist_ok=True)
    if content is not None:
        path.write_bytes(content)
    path = str(path)
    assert_steady(drained(getattr(command, method), path), path, command,
                  calls=12, rss_per_call=len(content or b"") // 2)


# ---- the appliers ------------------------------------------------------------------

PY_LINES = ["import x\n", "def f(dev):\n", "    if dev.platform == 'q9800cl':\n",
            "        return 1\n", "    return dev.platform == 'zz'\n"]
PY_MSG = ["    line 3: q9800cl -> tor9k", "      or platform -> submodel",
          "    line 5: Please ensure \"zz\" is a valid platform",
          "    Please ensure references to platform are being assigned/compared with "
          "correct variable values"]


def test_python_passes(assert_steady, command):
    def op():
        lines, offset = command.apply_python_fixes(list(PY_LINES), PY_MSG)
        command.apply_python_comments(lines, PY_MSG, offset)
    assert_steady(op, command, *PY_MSG)


def test_python_pass_out_of_range(assert_steady, command):
    msg = ["    line 99: a -> b"]

    def op():
        with pytest.raises(IndexError):
            command.apply_python_fixes(list(PY_LINES), msg)
    assert_steady(op, command, msg)


YAML_DOC = """\
groups:
  access:
    platforms: [ap, tor9k]
devices:
  r1:
    os: rhenx
    platform: q9800cl   # kept
  r2:
    os: rhen
    platform: zz
"""
YAML_MSG = ["    groups.access.platforms: ap -> tor9k",
            "    devices.r1.platform: q9800cl -> tor9k",
            "    devices.r1.model: q9800",
            "    devices.r2.platform: Please ensure \"zz\" is a valid rhen platform",
            "    something that no grammar takes"]


def test_yaml_passes(assert_steady, command):
    from ruamel.yaml import YAML
    yaml = YAML()
    yaml.preserve_quotes = True

    def op():
        obj = yaml.load(YAML_DOC)
        msg = list(YAML_MSG)
        command.apply_yaml_fix(obj, msg)
        command.apply_yaml_comment(obj, msg)
    # The round-trip library's recursive constructor and emitter settle in
    # the frame caches over a few hundred documents; only then does the
    # measure start.
    assert_steady(op, command, *YAML_MSG, calls=18, warmup=300 if FRAME_CACHES else 54)


@pytest.mark.parametrize("rel", ["testbeds/lab.yaml", "scripts/test_connect.py",
                                 "lib/rhenx/ap/__init__.py"])
def test_apply_patches_on_sample_files(assert_steady, abstract, command, sample_repo, rel):
    path = sample_repo / rel
    method = command.check_yaml if rel.endswith(".yaml") else (
        command.check_init if rel.endswith("__init__.py") else command.check_python)
    q = queue.Queue()
    method(str(path), q)
    msg = q.get_nowait()
    patch_type = abstract.FileTypes.YAML if rel.endswith(".yaml") else abstract.FileTypes.PYTHON
    command.apply_fixes_flag = command.apply_comments_flag = True
    success, failure = queue.Queue(), queue.Queue()

    def op():
        assert command.apply_patches(patch_type=patch_type, msg=msg, success_queue=success,
                                     failer_queue=failure) is True
        while not success.empty():
            success.get_nowait()
    assert_steady(op, msg, command, patch_type, success, failure, calls=9,
                  warmup=150 if FRAME_CACHES else 27)
    assert failure.empty()


def test_apply_patches_failure_paths(assert_steady, abstract, command, tmp_path):
    dup = tmp_path / "dup.yaml"
    dup.write_text("devices:\n  r1: {platform: ap}\n  r1: {platform: ap}\n")
    msgs = [(abstract.FileTypes.YAML, "%s:\n    devices.r1.platform: ap -> tor9k\n" % dup),
            (abstract.FileTypes.PYTHON, "%s:\n    line 1: a -> b\n" % (tmp_path / "gone.py"))]
    command.apply_fixes_flag = True
    success, failure = queue.Queue(), queue.Queue()

    def op():
        for patch_type, msg in msgs:
            try:
                command.apply_patches(patch_type=patch_type, msg=msg, success_queue=success,
                                      failer_queue=failure)
            except OSError:
                pass
        while not failure.empty():
            failure.get_nowait()
    assert_steady(op, command, success, failure, *[m for _, m in msgs], calls=30)


def test_whole_migration_run(assert_steady, command, sample_repo, tmp_path):
    """A whole run examines and patches every file of the sample repository
    (23 files) and starts a thread for most of them.  What one run churns
    (threads, queues, the YAML libraries' state, the interpreter's code
    caches) moves the figures by a few kilobytes and a few dozen blocks from
    one window to the next, so the limits are per run: 8 kB and 64 blocks,
    a few hundred bytes per file.  A leaked thread, queue or file text per
    file breaks them; a leaked small object per file is the business of the
    checks' and patcher's own cases above, which are held to far less."""
    work = tmp_path / "work"
    args = argparse.Namespace(path=str(work), init=False, python=False, yaml=False, threads=4,
                              apply_fixes=True, apply_comments=True)

    def op():
        shutil.rmtree(work, ignore_errors=True)
        shutil.copytree(sample_repo, work)
        command.threads.clear()
        command.token_paths.clear()
        command.run(args)
    assert_steady(op, args, command, calls=1, warmup=6, bytes_per_call=8192,
                  blocks_per_call=64)


# ---- version update -------------------------------------------------------------

def fake_utils(listing):
    calls = []

    def cmd(line, env=None):
        calls.append(line)
        if line.startswith("pip3 list") or "pip3 list" in line:
            return listing
        return ""
    import tavox.cli.utils as real
    return types.SimpleNamespace(cmd=cmd, yes_or_no=lambda q, default="no": True,
                                 format_table=real.format_table, calls=calls)


class FakeScoutver:
    versions = {}

    @classmethod
    def get_latest_version(cls, packages, version=None, pre=False, venv=None):
        return {name: cls.versions.get(name) for name in packages}

    @classmethod
    def get_all_available_versions(cls, packages, pre=False, venv=None):
        return {name: ["22.1", "21.9"] for name in packages}


@pytest.fixture
def update(monkeypatch):
    import tavox.cli.commands.version.update as module
    listing = json.dumps([{"name": "tavox", "version": "21.1"},
                          {"name": "tavox.topology", "version": "21.1"},
                          {"name": "brask", "version": "21.1"},
                          {"name": "requests", "version": "2.0"}])
    utils = fake_utils(listing)
    monkeypatch.setattr(module, "utils", utils)
    FakeScoutver.versions = {"tavox": "22.1.2", "tavox.topology": "22.1.0", "brask": None}
    return module


def test_update_internal_methods(assert_steady, update, tmp_path):
    cmd = update.VersionUpdateCommand(prog="tavox version update")
    venv = tmp_path / "my env"
    (venv / "bin").mkdir(parents=True)
    (venv / "bin" / "activate").write_text("")
    venv = str(venv)
    names = ["tavox", "tavox.topology.extra", "tavoxish", "nuvik.libs.sdk", "requests"]
    table = {"tavox": {"version": "1"}, "brask": {"version": "2"}}
    line = "pip3 list --format json"

    def op():
        for name in names:
            cmd._is_tavox_package(name)
        cmd._print_pkg_versions(table)
        cmd._execute_cmd(line, None)
        cmd._execute_cmd(line, venv)
        with pytest.raises(ValueError):
            cmd._execute_cmd("pip3 list; rm -rf /", None)
        update.utils.calls.clear()
    assert_steady(op, cmd, table, line, *names)


@pytest.mark.parametrize("version", ["latest", "22.1.3", "19.6"])
def test_update_run_with_fakes(assert_steady, update, version):
    cmd = update.VersionUpdateCommand(prog="tavox version update")
    cmd.SCOUTVER_VERSIONS = FakeScoutver
    extra = ["extra-req==1.0"]

    def op():
        args = argparse.Namespace(version=version, yes=True, pre=False)
        cmd.run(args, proxy=True, extra_requirements=extra)
        update.utils.calls.clear()
    assert_steady(op, cmd, extra, calls=60)


def test_update_retry_over_indexes(assert_steady, update, monkeypatch, tmp_path):
    monkeypatch.setattr(sys, "prefix", str(tmp_path))
    cmd = update.VersionUpdateCommand(prog="tavox version update")
    cmd.SCOUTVER_VERSIONS = FakeScoutver
    cmd.PYPI_URLS = ["http://127.0.0.1:9/first", "http://127.0.0.1:9/second"]
    real_cmd = update.utils.cmd
    attempts = [0]

    def flaky(line, env=None):
        if line.startswith("pip3 list"):
            attempts[0] += 1
            if attempts[0] % 2:
                raise RuntimeError("index down")
        return real_cmd(line, env)
    monkeypatch.setattr(update.utils, "cmd", flaky)

    def op():
        cmd.run(argparse.Namespace(version="latest", yes=True, pre=False))
        update.utils.calls.clear()
    assert_steady(op, cmd)
    assert "second" in (tmp_path / "pip.conf").read_text()


def test_setup_pip_conf(assert_steady, update, monkeypatch, tmp_path):
    monkeypatch.setattr(sys, "prefix", str(tmp_path))
    (tmp_path / "pip.conf").write_text(
        "[global]\nindex = http://old\nindex-url = http://old/simple\n")
    url = "http://127.0.0.1:9/pypi"
    assert_steady(lambda: update.setup_pip_conf(url), url)


# ---- available versions ---------------------------------------------------------

def test_scoutver_process_package(assert_steady):
    from tavox.cli.commands.version.scoutver import ScoutverVersions
    store = {}
    command = "echo 'demo (2.0)'; echo 'Available versions: 2.0, 1.0'; echo oops >&2"

    def op():
        ScoutverVersions._process_package("demo", command, store)
        ScoutverVersions._process_package("none", "true", store)
    assert_steady(op, store, command, calls=12)


def test_scoutver_queries_in_threads(assert_steady, tmp_path, monkeypatch):
    from tavox.cli.commands.version.scoutver import ScoutverVersions
    pip = tmp_path / "pip"
    pip.write_text("#!/bin/sh\necho \"$3 (2.0)\"\necho 'Available versions: 2.0, 1.9, 1.0'\n")
    pip.chmod(0o755)
    monkeypatch.setenv("PATH", "%s:%s" % (tmp_path, os.environ["PATH"]))
    packages = ["a", "b", "c"]

    def op():
        assert ScoutverVersions.get_latest_version(packages, version="1.9")["a"] == "1.9"
        ScoutverVersions.get_latest_version([], pre=True)
    assert_steady(op, *packages, calls=5)


# ---- shell, create, configuration, manifest runtime -----------------------------

def test_shell_run(assert_steady, monkeypatch):
    import tavox.cli.commands.shell as shell
    seen = []
    monkeypatch.setattr(shell, "code", types.SimpleNamespace(
        interact=lambda banner, local: seen.append(len(banner))))
    testbed = types.SimpleNamespace(testbed_file="lab.yaml")
    args = argparse.Namespace(testbed=testbed, ipython=False)
    cmd = shell.ShellCommand(prog="tavox shell")

    def op():
        cmd.run(args)
        seen.clear()
    assert_steady(op, cmd, args, testbed)


def test_create_run_and_validation(assert_steady, monkeypatch):
    import tavox.cli.commands.create as create
    generated = []
    monkeypatch.setattr(create, "cookiecutter", lambda *a, **k: generated.append(k))
    cmd = create.CreateProject(prog="tavox create project")
    args = argparse.Namespace(name="demo_project", testcases=["tc_one", "tc.two"],
                              datafile=False)
    bad = ["tc one", "tc-two", "tc_one", "tc_one"]

    def op():
        cmd.run(args)
        generated.clear()
        for names in (bad, bad[:2], []):
            with pytest.raises(ValueError):
                create.CreateProject._tc_name_ok(names)
        create.string_in("abc.DEF_123", create.ALLOWED_CHARSET)
    assert_steady(op, cmd, args, bad, *args.testcases)


def test_load_configuration(assert_steady, monkeypatch):
    import tavox.configuration as configuration
    monkeypatch.setattr(sys, "argv", ["tavox", "--tavox-configuration", "/nonexistent.conf"])
    assert_steady(configuration.load_configuration, calls=12)


def test_manifest_runtime_main(assert_steady, monkeypatch, tmp_path):
    import logging
    import tavox.manifest.runtime as runtime
    manifest = tmp_path / "job.tem"
    manifest.write_text("type: demo\nprofiles:\n  p1: {runtime: r1}\n"
                        "runtimes:\n  r1: {type: system}\n")
    results = []

    def plugin(profile, loaded, path, custom):
        results.append(len(custom))
        return 0
    entry = types.SimpleNamespace(name="demo", module="demo_mod", load=lambda: plugin)
    monkeypatch.setattr(runtime, "get_entry_points",
                        lambda group: [entry] if group.endswith(".system") else [])
    monkeypatch.setattr(runtime, "sig_handlers",
                        types.SimpleNamespace(enable_double_ctrl_c=lambda: True))
    monkeypatch.setattr(sys, "argv", ["tavox-manifest"])
    monkeypatch.setenv("TAVOX_MANIFEST_FILE", "")
    monkeypatch.setenv("TAVOX_MANIFEST_PROFILE", "")
    root = logging.getLogger()
    monkeypatch.setattr(root, "level", root.level)
    monkeypatch.setattr(root, "handlers", list(root.handlers))
    argv = [str(manifest), "--profile", "p1", "--job-option", "x"]

    def op():
        assert runtime.ManifestRuntime().main(argv) == 0
        results.clear()
    assert_steady(op, manifest, *argv)


# ---- the measure itself -----------------------------------------------------------

def _leak_reference(obj):
    ctypes.pythonapi.Py_IncRef(ctypes.py_object(obj))


def _leak_object(counter=[0]):
    counter[0] += 1
    _leak_reference("leaked %d" % counter[0])


def _leak_buffer(size=1 << 18):
    libc = ctypes.CDLL(None)
    libc.malloc.restype = ctypes.c_void_p
    ctypes.memset(libc.malloc(size), 1, size)


@pytest.mark.parametrize("leak", [_leak_reference, _leak_object, _leak_buffer])
def test_the_measure_sees_a_leak_of_one_thing_per_call(leak):
    """The checks above would pass vacuously if the measure saw nothing: one
    leaked reference, object or C buffer per call must break the limits
    that `assert_steady` holds the operations to."""
    from .conftest import SANITIZED, measure, over_limits, unrecorded
    with unrecorded():
        watched = object()
        g = measure(lambda: leak(watched) if leak is _leak_reference else leak(),
                    watched, calls=30 if leak is _leak_buffer else 100, warmup=10)
    broken = over_limits(g)
    if leak is _leak_reference:
        assert "refs" in broken and min(g.refs) >= 100, g
    elif leak is _leak_object:
        # Each leaked string is one block and about 50 bytes; the 3.10
        # interpreter's block count has come out a few short of one per
        # call, far above the limit all the same.
        assert "traced" in broken and (SANITIZED or "blocks" in broken), g
    else:
        assert ("traced" if SANITIZED else "rss") in broken, g


def test_a_leak_still_fails_when_measured_again(assert_steady):
    """`assert_steady` measures a second time before it fails: a leak must
    break the limits in both measurements."""
    from .conftest import unrecorded
    with unrecorded(), pytest.raises(AssertionError, match="traced"):
        assert_steady(_leak_object, calls=30, warmup=5)
