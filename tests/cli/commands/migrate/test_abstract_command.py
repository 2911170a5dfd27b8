"""`tavox migrate abstract` as a whole: options, discovery, the worker bound,
the order of the queues, the three logs and what the command reports.

The logs have fixed paths under /tmp, so each test reads them right after
its own run."""
import logging
import os
import shutil
import subprocess
import sys
import threading
import time

import pytest

CHANGES = "/tmp/tavox_migrate_changes.log"
SUCCESS = "/tmp/tavox_migrate_success.log"
FAILURES = "/tmp/tavox_migrate_failures.log"
LOGGER = "tavox.cli.commands.migrate.abstract"

CLOSING = """\
The upcoming changes in abstraction organization will align the tokens values
of OS, platform, and model for devices. The file
{csv_url}
defines the known values. The above suggestions are using this file to provide
the most likely changes required. Please compare any unknown values with the
values in the file, and contribute any missing values to ensure the organization
of the Tavox libraries remains in sync.
                    
The following log files have been created to help with this process:
    /tmp/tavox_migrate_changes.log   -- All suggested changes
    /tmp/tavox_migrate_success.log   -- Successfully patched files
    /tmp/tavox_migrate_failures.log  -- Failed to patch files
"""

INIT_T = "t/__init__.py:\n    line 1: declare_package(__name__) -> declare_package()\n"
INIT_RHENX = ("t/rhenx/__init__.py:\n"
              "    line 1: declare_token(__name__) -> declare_token(os='rhenx')\n")
YAML_A = "tb/a.yaml:\n    devices.r1.platform: ap -> tor9k\n    devices.r1.model: q9100ap\n"
PY_S = "scripts/s.py:\n    line 1: q9800cl -> tor9k\n      or platform -> submodel\n"

REPO = {
    "t/__init__.py": "declare_package(__name__)\n",
    "t/rhenx/__init__.py": "declare_token(__name__)\n",
    "tb/a.yaml": "devices:\n  r1: {os: rhenx, platform: ap}\n",
    "scripts/s.py": "if platform == 'q9800cl':\n    pass\n",
    "scripts/clean.py": "print('nothing to see')\n",
    "notes.txt": "platform == 'ap'\n",
}


def write(root, files):
    for rel, content in files.items():
        path = root / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        if isinstance(content, bytes):
            path.write_bytes(content)
        else:
            path.write_text(content)


def read(path):
    with open(path) as f:
        return f.read()


def migrate(tavox_cmd, cwd, *options):
    """Run the command in ``cwd`` (the environment's search path made
    absolute, so that a relative PYTHONPATH still finds the package)."""
    env = dict(os.environ)
    if env.get("PYTHONPATH"):
        env["PYTHONPATH"] = os.pathsep.join(
            os.path.abspath(p) for p in env["PYTHONPATH"].split(os.pathsep))
    return subprocess.run(tavox_cmd + ["migrate", "abstract", *options], cwd=cwd,
                          capture_output=True, text=True, timeout=120, env=env)


@pytest.fixture
def repo(tmp_path):
    write(tmp_path, REPO)
    return tmp_path


def test_report_logs_and_closing_text(tavox_cmd, repo, abstract):
    result = migrate(tavox_cmd, repo, ".", "--threads", "2")
    assert result.returncode == 0, result.stderr
    out = result.stdout.replace("./", "")
    head = ["Discovering files...", "Found 2 __init__.py files", "Found 2 Python files",
            "Found 1 YAML files", "Iterating over init files...",
            "Iterating over yaml files...", "Iterating over python files..."]
    assert out.splitlines()[:7] == head
    # without --apply-* nothing is patched, so every message is also a warning
    assert out == "\n".join(head) + "\n" + "".join(
        m + "\n" for m in (INIT_T, INIT_RHENX, YAML_A, PY_S)) + \
        CLOSING.format(csv_url=abstract.CSV_URL) + "\n"
    assert read(CHANGES).replace("./", "") == "".join(
        m + "\n" for m in (INIT_T, INIT_RHENX, YAML_A, PY_S))
    assert read(SUCCESS) == read(FAILURES) == ""
    for desc in ("init", "yaml", "python"):
        assert f"{desc}: 100%" in result.stderr


@pytest.mark.parametrize("options, found", [
    ([], ["Found 3 __init__.py files", "Found 2 Python files", "Found 4 YAML files"]),
    (["--yaml", "--python"], ["Found 2 Python files", "Found 4 YAML files"]),
    (["--init"], ["Found 3 __init__.py files"]),
])
def test_discovery_classifies_by_name_without_case(tavox_cmd, tmp_path, options, found):
    write(tmp_path, {
        "A.YML": "", "b.Yaml": "", "data/c.yaml": "",
        "pkg/__INIT__.PY": "", "pkg/__init__.py": "", "pkg/sub/__init__.py": "",
        "x.py": "", "Y.PY": "", "readme.txt": "", "dir.py/inner.txt": "",
    })
    (tmp_path / "link.yaml").symlink_to(tmp_path / "data" / "c.yaml")  # counted
    (tmp_path / "broken.py").symlink_to(tmp_path / "nowhere.py")       # skipped
    (tmp_path / "linked_dir").symlink_to(tmp_path / "pkg")              # not entered
    result = migrate(tavox_cmd, tmp_path, str(tmp_path), *options)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert [line for line in lines if line.startswith("Found")] == found
    assert ("Iterating over init files..." in lines) == ("--init" in options or not options)
    assert ("Iterating over yaml files..." in lines) == ("--init" not in options)


@pytest.mark.parametrize("path", ["does/not/exist", "empty", "file.txt"])
def test_nothing_to_examine_still_writes_the_logs(tavox_cmd, repo, path):
    migrate(tavox_cmd, repo, ".")
    assert read(CHANGES)  # the first run found something
    (repo / "empty").mkdir()
    (repo / "file.txt").write_text("x")
    result = migrate(tavox_cmd, repo, path)
    assert result.returncode == 0, result.stderr
    assert [line for line in result.stdout.splitlines() if line.startswith("Found")] == [
        "Found 0 __init__.py files", "Found 0 Python files", "Found 0 YAML files"]
    assert read(CHANGES) == read(SUCCESS) == read(FAILURES) == ""
    assert "The following log files have been created" in result.stdout


@pytest.mark.parametrize("threads", ["0", "-3"])
def test_threads_below_one_is_an_argument_error(tavox_cmd, repo, threads):
    result = migrate(tavox_cmd, repo, ".", "--threads", threads)
    assert result.returncode == 2
    assert "usage: tavox migrate abstract" in result.stderr
    assert "error: argument --threads: must be at least 1" in result.stderr
    assert "Discovering files..." not in result.stdout


def test_options_and_help(abstract, command):
    args = command.parser.parse_args([])
    assert vars(args) == {"path": ".", "init": False, "python": False, "yaml": False,
                          "threads": 100, "apply_fixes": False, "apply_comments": False}
    args = command.parser.parse_args(["repo", "-f", "-c", "--threads", "7"])
    assert (args.path, args.apply_fixes, args.apply_comments, args.threads) == (
        "repo", True, True, 7)
    text = " ".join(command.parser.format_help().split())
    assert "Max number of threads to run while processing files (default 100)" in text
    assert "Adds comments to files where human inspection is required" in text
    assert command.token_paths == {} and command.threads == []


BAD_REPO = {
    "tb/broken.yaml": "devices: [unclosed\n",
    "tb/list.yaml": "- one\n- two\n",
    "tb/scalar.yml": "just text\n",
    "tb/empty_devices.yaml": "devices:\n",
    "tb/binary.yaml": b"\x00\xff\xfe\x01",
    "tb/latin1.yaml": b"devices:\n  r1: {os: rhenx, platform: ap}\n# caf\xe9\n",
    "scripts/binary.py": b"\x89PNG\r\n\x1a\n\x00\x00\xff",
    "scripts/latin1.py": b"platform == 'ap'  # caf\xe9\n",
    "pkg/__init__.py": b"declare_package(__name__) \xff\n",
}


def test_bad_files_leave_the_other_messages_intact(tavox_cmd, repo):
    write(repo, BAD_REPO)
    (repo / "scripts" / "dangling.py").symlink_to(repo / "gone.py")
    (repo / "tb" / "linked").symlink_to(repo / "tb")
    result = migrate(tavox_cmd, repo, ".", "--threads", "3")
    assert result.returncode == 0, result.stderr
    changes = read(CHANGES).replace("./", "")
    for message in (INIT_T, INIT_RHENX, YAML_A, PY_S):
        assert message + "\n" in changes
    for path in ("tb/broken.yaml", "tb/binary.yaml", "tb/latin1.yaml"):
        assert f"{path}: Could not load yaml file\n" in changes
    assert changes.count("\n\n") == 4  # the four good messages end in a line break
    out = result.stdout.replace("./", "")
    for path in ("tb/empty_devices.yaml", "scripts/binary.py", "scripts/latin1.py",
                 "pkg/__init__.py"):
        assert f"{path}: Exception processing file" in out
    assert "linked" not in changes and "dangling" not in out


def test_directory_vanishing_during_the_walk(abstract, command, repo, monkeypatch, caplog):
    real_walk = os.walk

    def walk(top, *args, **kwargs):
        steps = real_walk(top, *args, **kwargs)
        first = next(steps)
        shutil.rmtree(repo / "tb")  # listed in the first step, not yet entered
        yield first
        yield from steps

    monkeypatch.setattr(os, "walk", walk)
    monkeypatch.chdir(repo)
    caplog.set_level(logging.INFO, LOGGER)
    command.run(command.parser.parse_args(["."]))
    assert read(CHANGES) == "".join("./" + m + "\n" for m in (INIT_T, INIT_RHENX, PY_S))
    assert "Found 0 YAML files" in caplog.text


class Recorder:
    """Stands in for a check: notes how many run at once."""

    def __init__(self):
        self.alive = self.peak = self.calls = 0
        self.lock = threading.Lock()

    def __call__(self, cmd, file_path, msg_queue):
        with self.lock:
            self.alive += 1
            self.calls += 1
            self.peak = max(self.peak, self.alive)
        time.sleep(0.02)
        with self.lock:
            self.alive -= 1


@pytest.mark.parametrize("threads, bound", [(1, 1), (3, 3)])
def test_workers_never_exceed_the_bound(abstract, command, tmp_path, monkeypatch, threads, bound):
    write(tmp_path, {f"s{i}.py": "" for i in range(12)})
    write(tmp_path, {f"t{i}.yaml": "" for i in range(6)})
    recorder = Recorder()
    for method in ("check_python", "check_yaml"):
        monkeypatch.setattr(abstract.MigrateAbstractCommand, method,
                            lambda self, path, q: recorder(self, path, q))
    command.run(command.parser.parse_args([str(tmp_path), "--threads", str(threads)]))
    assert recorder.calls == 18
    assert 1 <= recorder.peak <= bound
    assert all(not t.is_alive() for t in command.threads)


@pytest.mark.parametrize("threads", [1, 3])
def test_own_and_other_workers_share_the_slots(abstract, command, tmp_path, monkeypatch,
                                               threads):
    # The YAML checks are stand-ins that say nothing when they end, the
    # Python checks are the module's own: the slots pass between both kinds.
    write(tmp_path, {f"t{i}.yaml": "" for i in range(8)})
    write(tmp_path, {f"s{i}.py": f"platform == 'ap'  # {i}\n" for i in range(40)})
    recorder = Recorder()
    monkeypatch.setattr(abstract.MigrateAbstractCommand, "check_yaml",
                        lambda self, path, q: recorder(self, path, q))
    command.run(command.parser.parse_args([str(tmp_path), "--threads", str(threads)]))
    assert recorder.calls == 8 and recorder.peak <= threads
    assert read(CHANGES).count("    line 1: ap -> tor9k\n") == 40
    assert all(not t.is_alive() for t in command.threads)


def test_slot_wait_returns_when_any_worker_ends(command):
    release = [threading.Event(), threading.Event()]
    workers = [threading.Thread(target=e.wait) for e in release]
    for w in workers:
        w.start()
    command.threads = list(workers)
    command.max_threads = 2
    waiter = threading.Thread(target=command.wait_for_thread_slot)
    waiter.start()
    waiter.join(0.3)
    assert waiter.is_alive()          # both slots taken
    release[1].set()                  # the newer one ends first
    waiter.join(5)
    assert not waiter.is_alive()
    assert command.threads == [workers[0]]
    release[0].set()
    workers[0].join()


@pytest.fixture
def patched_run(abstract, command, repo, monkeypatch, caplog):
    """Run the command on the sample repository with apply_patches replaced
    by ``patcher(cmd, patch_type, msg, success_queue, failer_queue)``."""
    def run(patcher, *options):
        def apply_patches(self, **kwargs):
            return patcher(self, **kwargs)

        monkeypatch.setattr(abstract.MigrateAbstractCommand, "apply_patches", apply_patches)
        monkeypatch.chdir(repo)
        caplog.set_level(logging.INFO, LOGGER)
        command.run(command.parser.parse_args([".", *options]))
        return [(r.levelname, r.getMessage()) for r in caplog.records if r.name == LOGGER]

    return run


def test_patcher_order_types_outcomes_and_logs(abstract, patched_run, repo):
    seen = []

    def patcher(cmd, patch_type, msg, success_queue, failer_queue):
        seen.append((patch_type, msg.split(":")[0]))
        if msg.startswith("./t/rhenx"):
            raise ValueError("no such line")
        if msg.startswith("./tb"):
            success_queue.put("ok: " + msg.split(":")[0])
            failer_queue.put("bad: " + msg.split(":")[0])
            return False
        return cmd.apply_fixes_flag

    records = patched_run(patcher, "-f")
    T = abstract.FileTypes
    assert seen == [(T.PYTHON, "./t/__init__.py"), (T.PYTHON, "./t/rhenx/__init__.py"),
                    (T.YAML, "./tb/a.yaml"), (T.PYTHON, "./scripts/s.py")]
    failure = (f"{repo}/t/rhenx/__init__.py\n"
               "  - PATCHING_ERROR: Failed to apply patch: no such line\n")
    assert read(CHANGES) == "".join("./" + m + "\n" for m in (INIT_T, INIT_RHENX, YAML_A, PY_S))
    assert read(SUCCESS) == "ok: ./tb/a.yaml\n"
    assert read(FAILURES) == failure + "\n" + "bad: ./tb/a.yaml\n"
    # only the message whose patcher said "nothing applied" is shown as a warning
    warnings = [(level, msg) for level, msg in records if level in ("WARNING", "CRITICAL")]
    assert warnings == [("WARNING", "./" + YAML_A), ("WARNING", "ok: ./tb/a.yaml"),
                        ("CRITICAL", failure), ("CRITICAL", "bad: ./tb/a.yaml")]
    assert records[-1] == ("INFO", CLOSING.format(csv_url=abstract.CSV_URL))


def test_flags_reach_the_patcher(patched_run, command):
    flags = set()
    patched_run(lambda cmd, **kw: flags.add((cmd.apply_fixes_flag, cmd.apply_comments_flag)),
                "--apply-comments", "--threads", "5")
    assert flags == {(False, True)}
    assert command.max_threads == 5


def test_short_token_table_row_leaves_the_run_going(abstract, command, repo, load_table,
                                                    caplog):
    with pytest.raises(IndexError):
        load_table("pid,os,platform,model\nQ1,rhenx,tor9k,q9100ap\nshort,row\n")
    for table in (abstract.PID_TOKENS, abstract.TOKEN_HIERARCHY):
        table.clear()  # as in a fresh process: the run reads the table itself
    caplog.set_level(logging.INFO, LOGGER)
    command.run(command.parser.parse_args([str(repo), "--yaml"]))
    assert read(CHANGES) == f"{repo}/" + YAML_A + "\n"
    [error] = [r for r in caplog.records if r.levelno == logging.ERROR]
    assert error.getMessage().startswith("Token table incomplete: ")
    assert "line 3: a token row needs 4 fields" in error.getMessage()


def test_sample_repository_shows_every_kind_of_suggestion(tavox_cmd, tmp_path):
    sample = os.path.join(os.path.dirname(__file__), "..", "..", "..", "..",
                          "examples", "sample_repo")
    if not os.path.isdir(sample):
        pytest.skip("the sample repository ships with the source tree only")
    shutil.copytree(sample, tmp_path / "sample_repo")
    result = migrate(tavox_cmd, tmp_path, "sample_repo")
    assert result.returncode == 0, result.stderr
    changes = read(CHANGES)
    for text in ("-> declare_package()", "declare_token(os=", "declare_token(platform=",
                 "declare_token(model=", "declare_token(pid=", "    move ",
                 "from nuvik.abstract import declare token", "is a valid os\n",
                 ".platforms: ", "Please ensure \"", ".model: ", ".pid: ",
                 "or platform -> pid", "or platform -> submodel", "or platform -> model",
                 "Please ensure references to platform",
                 "os='ferrin', platform='ap' has been updated"):
        assert text in changes, text
    assert read(FAILURES) == ""
