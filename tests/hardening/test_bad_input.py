"""Bad input for every command, as a user meets it: the real command line in
a subprocess, and what it prints, its exit status and what is left on disk.

These are the rows of docs/bad_input.md that the module tests do not cover
already; the table names the test behind every row."""
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import pytest

from ..cli.commands.version import local_index
from .conftest import SANITIZED

pexpect = pytest.importorskip("pexpect")


def environ(**extra):
    """This process's environment for a command run in another directory:
    the package path made absolute."""
    env = dict(os.environ, **extra)
    if env.get("PYTHONPATH"):
        env["PYTHONPATH"] = os.pathsep.join(
            os.path.abspath(p) for p in env["PYTHONPATH"].split(os.pathsep) if p)
    return env


def run(argv, cwd, env=None, stdin=subprocess.DEVNULL, timeout=300):
    return subprocess.run(argv, cwd=str(cwd), env=env or environ(), stdin=stdin,
                          capture_output=True, text=True, timeout=timeout)


def last_line(text):
    lines = [line for line in text.splitlines() if line.strip()]
    return lines[-1] if lines else ""


# ---- files that cannot be read as text -----------------------------------------------

def bad_file(tmp_path, kind, name):
    """A path of the given kind: binary content, text that is not UTF-8, a
    directory, a symbolic-link loop."""
    path = tmp_path / name
    if kind == "binary":
        path.write_bytes(b"\x00\x01\xff\xfe\x89PNG\r\n\x1a\n" * 40)
    elif kind == "latin-1":
        path.write_bytes("devices:\n  r1:\n    platform: caf\xe9\n".encode("latin-1"))
    elif kind == "directory":
        path.mkdir()
    elif kind == "link-loop":
        other = tmp_path / (name + ".other")
        other.symlink_to(path)
        path.symlink_to(other)
    return path


KINDS = ["binary", "latin-1", "directory", "link-loop"]
REASONS = {"binary": "codec can't decode", "latin-1": "codec can't decode",
           "directory": "Is a directory", "link-loop": "Too many levels of symbolic links"}


@pytest.mark.parametrize("kind", KINDS)
def test_shell_testbed_that_is_not_readable_text(tavox_cmd, tmp_path, kind):
    bad_file(tmp_path, kind, "lab.yaml")
    proc = run([*tavox_cmd, "shell", "--no-ipython", "--testbed-file", "lab.yaml"], tmp_path)
    assert proc.returncode == 2
    assert last_line(proc.stderr).startswith(
        "tavox shell: error: argument --testbed-file: cannot load testbed file 'lab.yaml': ")
    assert REASONS[kind] in proc.stderr and "Traceback" not in proc.stderr


@pytest.mark.parametrize("kind, status, text", [
    ("binary", 1, "UnicodeDecodeError"),
    ("latin-1", 1, "UnicodeDecodeError"),
    ("directory", 1, "Manifest file 'job.tem' does not exist"),
    ("link-loop", 1, "Manifest file 'job.tem' does not exist"),
])
def test_manifest_that_is_not_readable_text(manifest_cmd, tmp_path, kind, status, text):
    bad_file(tmp_path, kind, "job.tem")
    proc = run([*manifest_cmd, "job.tem"], tmp_path)
    assert proc.returncode == status
    assert text in proc.stdout + proc.stderr


# ---- the migration on a hostile tree ------------------------------------------------------

def test_migration_over_unreadable_files_and_link_loops(tavox_cmd, tmp_path):
    repo = tmp_path / "repo"
    repo.mkdir()
    for kind in KINDS:
        bad_file(repo, kind, "%s.py" % kind)
        bad_file(repo, kind, "%s.yaml" % kind.replace("-", "_"))
    (repo / "pkg").mkdir()
    (repo / "pkg" / "up").symlink_to(repo)                    # a loop through a directory
    (repo / "pkg" / "good.py").write_text("platform = 'q9800cl'\n")
    report = run([*tavox_cmd, "migrate", "abstract", "repo"], tmp_path)
    assert report.returncode == 0, report.stderr
    out = report.stdout
    # directories and loops are not files; the undecodable sources are
    # logged and skipped, the undecodable YAML files cannot be loaded
    assert "Found 3 Python files" in out and "Found 2 YAML files" in out
    assert out.count(": Exception processing file\nTraceback") == 2
    assert "repo/binary.py: Exception processing file" in out
    assert "repo/latin-1.py: Exception processing file" in out
    assert "repo/binary.yaml: Could not load yaml file\n" in out
    assert "repo/latin_1.yaml: Could not load yaml file\n" in out
    assert "repo/pkg/good.py:\n    line 1: q9800cl -> tor9k\n" in out

    fixed = run([*tavox_cmd, "migrate", "abstract", "repo", "-f"], tmp_path)
    assert fixed.returncode == 0, fixed.stderr
    assert (repo / "pkg" / "good.py").read_text() == (
        "# * ABSTRACTION:TOKEN_CHANGE - q9800cl -> tor9k\nplatform = 'tor9k'\n")
    # the patcher cannot load what the check could not: a failure item each,
    # and the files are left as they were
    for name in ("binary.yaml", "latin_1.yaml"):
        assert "%s\n  - PATCHING_ERROR: Failed to apply patch: 'utf-8' codec can't decode" % (
            repo / name) in fixed.stdout
    assert (repo / "binary.py").read_bytes().startswith(b"\x00\x01")
    assert (repo / "latin_1.yaml").read_bytes().endswith(b"caf\xe9\n")


def test_migration_of_a_huge_file(tavox_cmd, tmp_path):
    repo = tmp_path / "repo"
    repo.mkdir()
    filler = "# nothing to see on this line, only words %d\n"
    lines = 150_000 if SANITIZED else 600_000                  # about 7 or 30 MB
    with open(repo / "huge.py", "w") as f:
        for i in range(lines):
            f.write(filler % i)
            if i in (10, lines - 10):
                f.write("    if dev.platform == 'q9800cl':\n")
    size = (repo / "huge.py").stat().st_size
    report = run([*tavox_cmd, "migrate", "abstract", "repo", "--python"], tmp_path)
    assert report.returncode == 0, report.stderr
    assert ("repo/huge.py:\n    line 12: q9800cl -> tor9k\n      or platform -> submodel\n"
            "    line %d: q9800cl -> tor9k\n      or platform -> submodel\n" % (lines - 7)
            ) in report.stdout
    fixed = run([*tavox_cmd, "migrate", "abstract", "repo", "--python", "-f"], tmp_path)
    assert fixed.returncode == 0, fixed.stderr
    text = (repo / "huge.py").read_text()
    comment = "    # * ABSTRACTION:TOKEN_CHANGE - q9800cl -> tor9k\n"
    assert text.count(comment + "    if dev.platform == 'tor9k':\n") == 2
    assert len(text) == size + 2 * len(comment) - 2 * len("q9800cl") + 2 * len("tor9k")


def test_migration_of_yaml_keys_that_are_not_text(tavox_cmd, tmp_path):
    """The check reads YAML 1.1 (`no` is false), the patcher YAML 1.2 (`no`
    is text): the suggestion names a key the patcher cannot find, and the
    file is reported as failed and left as it was."""
    repo = tmp_path / "repo"
    repo.mkdir()
    text = "groups:\n  no:\n    platforms: [ap]\n"
    (repo / "lab.yaml").write_text(text)
    report = run([*tavox_cmd, "migrate", "abstract", "repo"], tmp_path)
    assert "repo/lab.yaml:\n    groups.False.platforms: ap -> tor9k\n" in report.stdout
    fixed = run([*tavox_cmd, "migrate", "abstract", "repo", "-f"], tmp_path)
    assert fixed.returncode == 0
    assert ("%s\n  - PATCHING_ERROR: Failed to apply patch: 'groups.False'" % (repo / "lab.yaml")
            in fixed.stdout)
    assert (repo / "lab.yaml").read_text() == text


@pytest.mark.parametrize("option", [["--threads", "abc"], ["--threads"], ["--bogus"]])
def test_migration_option_that_is_malformed(tavox_cmd, tmp_path, option):
    proc = run([*tavox_cmd, "migrate", "abstract", str(tmp_path), *option], tmp_path)
    assert proc.returncode == 2
    assert last_line(proc.stderr).startswith("tavox migrate abstract: error: ")


def default_sigint():
    """preexec_fn: Ctrl-C acts on the child whatever this process inherited.
    A suite started in the background of a non-interactive shell runs with
    SIGINT ignored, and an ignored signal stays ignored across exec: the
    interpreter then installs no handler of its own and Ctrl-C does
    nothing."""
    signal.signal(signal.SIGINT, signal.SIG_DFL)


def test_migration_interrupted_while_patching(tavox_cmd, tmp_path):
    repo = tmp_path / "repo"
    original = "x = 1\n" * 300 + "if dev.platform == 'q9800cl':\n    pass\n"
    patched = ("x = 1\n" * 300 + "# * ABSTRACTION:TOKEN_CHANGE - q9800cl -> tor9k\n"
               "if dev.platform == 'tor9k':\n    pass\n")
    for d in range(40):
        (repo / ("d%d" % d)).mkdir(parents=True)
        for i in range(50):
            (repo / ("d%d" % d) / ("s%d.py" % i)).write_text(original)
    dirs = [p for p in repo.iterdir()]
    start = max(d.stat().st_mtime_ns for d in dirs)
    proc = subprocess.Popen([*tavox_cmd, "migrate", "abstract", str(repo), "-f", "--python",
                             "--threads", "4"], cwd=str(tmp_path), env=environ(),
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                            preexec_fn=default_sigint)
    # Interrupt once the first file has been rewritten (its directory
    # changes when the new file is renamed into it).
    deadline = time.monotonic() + 240
    while proc.poll() is None and time.monotonic() < deadline:
        if max(d.stat().st_mtime_ns for d in dirs) > start:
            break
        time.sleep(0.01)
    proc.send_signal(signal.SIGINT)
    out, _ = proc.communicate(timeout=240)
    assert proc.returncode in (0, 130), out
    files = list(repo.rglob("*"))
    texts = [p.read_text() for p in files if p.is_file()]
    assert len(texts) == 2000
    assert all(t in (original, patched) for t in texts), "a file was left half written"
    assert not [p for p in files if p.name.startswith(".")], "temporary files were left"


# ---- create, at the terminal and on a target it may not write ----------------------------

def test_create_interrupted_at_the_prompt(tavox_cmd, tmp_path):
    child = pexpect.spawn(tavox_cmd[0], [*tavox_cmd[1:], "create", "project"], cwd=str(tmp_path),
                          env=environ(TERM="dumb"), encoding="utf-8", timeout=120,
                          preexec_fn=default_sigint)
    child.expect_exact("Project Name: ")
    # The prompt is written before the line editor waits for a key; a Ctrl-C
    # that falls in between is noted but does not wake that wait (the
    # interpreter's own race), so the user would press it again.
    for _ in range(10):
        child.sendintr()
        if child.expect([pexpect.EOF, pexpect.TIMEOUT], timeout=10) == 0:
            break
    else:
        pytest.fail("Ctrl-C never ended the command")
    child.close()
    assert child.exitstatus == 130
    assert list(tmp_path.iterdir()) == []


def test_create_with_no_terminal_input(tavox_cmd, tmp_path):
    proc = run([*tavox_cmd, "create", "project", "--name", "demo", "--testcases", "tc_a"],
               tmp_path)
    assert proc.returncode == 1
    assert last_line(proc.stderr) == "EOFError: EOF when reading a line"
    assert "Will you be using testcase datafiles [Y/n]: " in proc.stdout
    assert list(tmp_path.iterdir()) == []


@pytest.fixture
def read_only_dir():
    """A directory the command may not write into, and the argv prefix that
    runs a command as a user other than its owner (root writes anywhere)."""
    top = Path(tempfile.mkdtemp(prefix="tavox-ro-"))
    top.chmod(0o755)
    target, home = top / "target", top / "home"
    target.mkdir()
    home.mkdir()
    prefix = []
    if os.geteuid() == 0:
        if not shutil.which("setpriv"):
            pytest.skip("setpriv is needed to run the command as another user")
        prefix = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
        os.chown(home, 65534, 65534)
        probe = subprocess.run([*prefix, sys.executable, "-c", "import tavox"], cwd=str(top),
                               env=environ(), capture_output=True, text=True)
        if probe.returncode:
            pytest.skip("this interpreter cannot run as another user: " + last_line(probe.stderr))
    target.chmod(0o555)
    yield target, home, prefix
    target.chmod(0o755)
    shutil.rmtree(top)


def test_create_in_a_directory_it_may_not_write(tavox_cmd, read_only_dir):
    target, home, prefix = read_only_dir
    proc = run([*prefix, *tavox_cmd, "create", "project", "--name", "demo", "--testcases", "tc_a",
                "--no-datafile"], target, env=environ(HOME=str(home)))
    assert proc.returncode == 1
    assert "Generating your project..." in proc.stdout
    assert last_line(proc.stderr).startswith(("FileNotFoundError", "PermissionError"))
    assert list(target.iterdir()) == []


def test_create_with_a_home_it_may_not_write(tavox_cmd, read_only_dir):
    # cookiecutter keeps a replay file of every run under the home directory
    target, home, prefix = read_only_dir
    proc = run([*prefix, *tavox_cmd, "create", "project", "--name", "demo", "--testcases", "tc_a",
                "--no-datafile"], home, env=environ(HOME=str(target)))
    assert (proc.returncode, proc.stderr) == (1, "")
    assert proc.stdout == (
        "Cannot generate the project: cookiecutter cannot write its replay directory "
        "'%s/.cookiecutter_replay/' (Permission denied)\n" % target)
    assert list(home.iterdir()) == [] and list(target.iterdir()) == []


PATCH_DIRECTLY = """
import queue, sys
import tavox.cli.commands.migrate.abstract as abstract
cmd = abstract.MigrateAbstractCommand(prog="tavox migrate abstract")
cmd.apply_fixes_flag, cmd.apply_comments_flag = True, False
try:
    cmd.apply_patches(patch_type=abstract.FileTypes.PYTHON,
                      msg=sys.argv[1] + ":\\n    line 1: q9800cl -> tor9k\\n",
                      success_queue=queue.Queue(), failer_queue=queue.Queue())
except OSError as e:
    print(type(e).__name__, e)
"""


def test_migration_patch_in_a_directory_it_may_not_write(read_only_dir):
    """The file may be written, its directory may not: the message says that
    the directory is what cannot be written."""
    target, home, prefix = read_only_dir
    target.chmod(0o755)
    script = target / "t.py"
    script.write_text("platform = 'q9800cl'\n")
    script.chmod(0o666)
    target.chmod(0o555)
    proc = run([*prefix, sys.executable, "-c", PATCH_DIRECTLY, str(script)], target,
               env=environ(HOME=str(home)))
    assert proc.stdout == (
        "PermissionError [Errno 13] Permission denied: the directory '%s' cannot be written, and "
        "a file is replaced through a new file written beside it\n" % target), proc.stderr
    assert script.read_text() == "platform = 'q9800cl'\n"
    assert sorted(os.listdir(target)) == ["t.py"]

# ---- command groups --------------------------------------------------------------------

@pytest.mark.parametrize("group", ["secret", "validate"])
def test_group_with_an_unknown_subcommand(tavox_cmd, tmp_path, group):
    proc = run([*tavox_cmd, group, "nothing"], tmp_path)
    assert proc.returncode == 2
    assert last_line(proc.stderr) == "tavox %s: error: unrecognized arguments: nothing" % group


# ---- version update against an index that is down or answers garbage --------------------

@pytest.fixture(scope="module")
def update_venv(tmp_path_factory):
    """An environment with the framework distribution tavox.log 22.1
    installed from a working index, for an update to try to replace."""
    root = tmp_path_factory.mktemp("update")
    shim = local_index.package_shim(root / "shim")
    local_index.build_index(root / "index" / "good")
    venv = local_index.Venv(root / "venv", shim)
    with local_index.serve(root / "index") as base:
        venv.install("tavox.log==22.1", index_url=base + "/good")
    return venv


def garbage_index(root):
    import tavox.roster as roster
    names = roster.get_required_packages() + roster.get_optional_packages()
    for name in names + ["tavox"]:
        page = root / "simple" / local_index.normalize(name)
        page.mkdir(parents=True, exist_ok=True)
        (page / "index.html").write_bytes(b"\x00\xffnot an index <a href=\x00>\n" * 50)
    (root / "simple" / "index.html").write_bytes(b"<html><<<<\x00")
    return root


@pytest.mark.parametrize("index", ["down", "garbage"])
def test_update_against_a_broken_index_changes_nothing(update_venv, tmp_path, index):
    if index == "down":
        server = local_index.refused_port()
        update_venv.write_pip_conf("http://127.0.0.1:%d" % server.__enter__())
    else:
        server = local_index.serve(garbage_index(tmp_path / "garbage"))
        update_venv.write_pip_conf(server.__enter__())
    try:
        proc = run([str(update_venv.python), "-m", "tavox.cli.main", "version", "update", "--yes"],
                   tmp_path, env=update_venv.env(), timeout=600)
    finally:
        server.__exit__(None, None, None)
    assert proc.returncode == 0, proc.stderr
    assert ("Provided version does not exist or is not available: latest\n"
            "Available versions: \n") in proc.stdout
    assert "Uninstalling" not in proc.stdout
    assert update_venv.installed().get("tavox.log") == "22.1"


def test_update_with_an_unparsable_version(tavox_cmd, tmp_path):
    proc = run([*tavox_cmd, "version", "update", "not-a-version", "--yes"], tmp_path)
    assert proc.returncode == 1
    assert last_line(proc.stderr) == "packaging.version.InvalidVersion: Invalid version: 'not-a-version'"


def test_update_whose_pip_conf_cannot_be_written(tmp_path, monkeypatch):
    from tavox.cli.commands.version.update import VersionUpdateCommand
    (tmp_path / "pip.conf").mkdir()            # in the way of the file
    monkeypatch.setattr(sys, "prefix", str(tmp_path))
    cmd = VersionUpdateCommand(prog="tavox version update")
    cmd.PYPI_URLS = ["http://127.0.0.1:9/a", "http://127.0.0.1:9/b"]
    attempts = []
    monkeypatch.setattr(VersionUpdateCommand, "_execute_cmd",
                        lambda self, *a, **k: attempts.append(a) or "[]")
    with pytest.raises(OSError) as failure:
        cmd.run(type("Args", (), {"version": "latest", "yes": True, "pre": False})())
    assert "pip.conf" in str(failure.value)
    # no attempt was made, and nothing was left beside the configuration
    assert attempts == [] and os.listdir(tmp_path) == ["pip.conf"]


# ---- the table itself --------------------------------------------------------------------

def test_every_row_of_the_table_names_tests_that_exist():
    tests = Path(__file__).resolve().parents[1]
    table = tests.parent / "docs" / "bad_input.md"
    if not table.is_file():
        pytest.skip("docs/ is not part of this checkout")
    rows = [line for line in table.read_text().splitlines()
            if line.startswith("| ") and not line.startswith(("| bad input", "|---"))]
    assert len(rows) >= 40
    for row in rows:
        named = re.findall(r"`([\w/]+\.py)::(\w+)(?:\[[^\]]*\])?`", row.rsplit("|", 2)[-2])
        assert named, "row without a test: " + row
        for path, name in named:
            source = (tests / path).read_text()
            assert re.search(r"^def %s\(" % name, source, re.M), "%s::%s is missing" % (path, name)
