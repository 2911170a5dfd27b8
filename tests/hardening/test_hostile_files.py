"""Files a careful user or a local attacker may put in the way: links that
lead out of the repository, a byte-order mark, a file name that is no text,
a report path that is not a place for the report, and documents nested too
deeply for any loader.  The real command lines in subprocesses."""
import json
import os
import stat
import subprocess
import sys
from pathlib import Path

import pytest

from .test_bad_input import environ, last_line, run

LOGS = {name: f"/tmp/tavox_migrate_{name}.log" for name in ("changes", "success", "failures")}
FIX = b"# * ABSTRACTION:TOKEN_CHANGE - ap -> tor9k\n"
SCRIPT = b'platform = "ap"\n'
USAGE = "tavox migrate abstract: error: argument --report: "


def log(name):
    return Path(LOGS[name]).read_bytes()


def migrate(cwd, *options):
    return subprocess.run([sys.executable, "-m", "tavox.cli.main", "migrate", "abstract", "repo",
                           *options], cwd=cwd, env=environ(), capture_output=True, timeout=600)


def links_out(tmp):
    (tmp / "outside").mkdir()
    (tmp / "outside" / "t.py").write_bytes(SCRIPT)
    (tmp / "outside" / "tb.yaml").write_bytes(b"devices:\n  r1: {os: rhenx, platform: ap}\n")
    (tmp / "repo" / "l.py").symlink_to("../outside/t.py")
    (tmp / "repo" / "l.yaml").symlink_to(tmp / "outside" / "tb.yaml")
    (tmp / "repo" / "env.yaml").symlink_to("/proc/self/environ")
    return ["-f", "-c"]


def check_links_out(tmp, proc):
    assert proc.returncode == 0, proc.stderr
    assert (tmp / "outside" / "t.py").read_bytes() == SCRIPT
    assert b"platform: ap" in (tmp / "outside" / "tb.yaml").read_bytes()
    changes, failures = log("changes"), log("failures").decode()
    assert b"repo/l.py:\n    line 1: ap -> tor9k" in changes  # checked and reported
    for name, target in [("l.py", tmp / "outside" / "t.py"),
                         ("l.yaml", tmp / "outside" / "tb.yaml")]:
        assert (f"{tmp}/repo/{name}\n  - PATCHING_ERROR: Failed to apply patch: "
                f"'{tmp}/repo/{name}' is a link to '{target}', outside the repository; it is "
                "not rewritten\n") in failures
    assert f"'{tmp}/repo/env.yaml' is a link to '/proc/" in failures


def byte_order_mark(tmp):
    (tmp / "repo" / "b.py").write_bytes(b"\xef\xbb\xbf" + SCRIPT)
    return ["-f", "-c"]


def check_byte_order_mark(tmp, proc):
    assert proc.returncode == 0, proc.stderr
    patched = (tmp / "repo" / "b.py").read_bytes()
    assert patched == b"\xef\xbb\xbf" + FIX + b'platform = "tor9k"\n'
    compile(patched, "b.py", "exec")


def name_that_is_no_text(tmp):
    (tmp / "repo" / os.fsdecode(b"\xff.py")).write_bytes(SCRIPT)
    return ["-f", "--report", "report.json"]


def check_name_that_is_no_text(tmp, proc):
    assert proc.returncode == 0, proc.stderr
    name = tmp / "repo" / os.fsdecode(b"\xff.py")
    assert name.read_bytes() == FIX + b'platform = "tor9k"\n'
    assert bytes(name) + b":\n  - FIXES_ADDED\n" in log("success")   # as the system gives it
    assert bytes(name) + b":\n  - FIXES_ADDED\n" in proc.stdout
    report = json.loads((tmp / "report.json").read_text())
    assert b"\xff.py" in [os.fsencode(f["path"]) for f in report["files"]]  # reads back
    name.write_bytes(SCRIPT)
    diff = migrate(tmp, "--diff").stdout
    assert diff.startswith(b'diff --git "a/\\377.py" "b/\\377.py"\n')


def report_place(place):
    """A --report place that is refused before anything is examined."""
    def setup(tmp):
        (tmp / "victim").write_bytes(b"precious\n")
        shared = tmp / "shared"
        shared.mkdir()
        shared.chmod(0o1777)
        path = {"empty": "", "missing directory": "none/report.json", "directory": "repo",
                "fifo": "fifo", "examined": "repo/a.py", "link in a shared directory":
                "shared/report.json", "link of another user": "theirs.json"}[place]
        if place == "fifo":
            os.mkfifo(tmp / "fifo")
        elif place == "link in a shared directory":
            (shared / "report.json").symlink_to(tmp / "victim")
        elif place == "link of another user":
            if os.geteuid() != 0:
                pytest.skip("needs a second user: only root can give a link away")
            (tmp / "theirs.json").symlink_to(tmp / "victim")
            os.lchown(tmp / "theirs.json", 65534, 65534)
        return ["-f", "--report", path]
    return setup


REPORT_REFUSALS = {
    "empty": "the path is empty",
    "missing directory": "the directory 'none' does not exist",
    "directory": "'repo' is a directory",
    "fifo": "'fifo' is not a regular file",
    "examined": "'repo/a.py' is a file of the repository that this run examines",
    "link in a shared directory": "'shared/report.json' is a symbolic link in a directory every "
                                  "user may write; it is not followed",
    "link of another user": "'theirs.json' is a symbolic link of another user (uid 65534); it is "
                            "not followed",
}


def check_report_place(place):
    def check(tmp, proc):
        assert proc.returncode == 2
        assert last_line(proc.stderr.decode()) == USAGE + REPORT_REFUSALS[place]
        assert (tmp / "repo" / "a.py").read_bytes() == SCRIPT
        assert (tmp / "victim").read_bytes() == b"precious\n"
        assert b"Discovering files" not in proc.stdout
    return check


CASES = {
    "links out of the repository": (links_out, check_links_out),
    "byte-order mark": (byte_order_mark, check_byte_order_mark),
    "name that is no text": (name_that_is_no_text, check_name_that_is_no_text),
    **{f"report: {place}": (report_place(place), check_report_place(place))
       for place in REPORT_REFUSALS},
}


@pytest.mark.parametrize("case", CASES)
def test_hostile_files(tmp_path, case):
    setup, check = CASES[case]
    (tmp_path / "repo").mkdir()
    (tmp_path / "repo" / "a.py").write_bytes(SCRIPT)
    options = setup(tmp_path)
    check(tmp_path, migrate(tmp_path, *options))


# ---- documents nested too deeply for any loader -----------------------------------------

DEPTH = {"block": "- " * 50_000 + "1\n", "flow": "[" * 200_000 + "]" * 200_000 + "\n"}
TOO_DEEP = "its collections nest deeper than 1000 levels"


@pytest.mark.parametrize("nesting", DEPTH)
@pytest.mark.parametrize("where", ["migration", "shell", "runner"])
def test_a_document_nested_too_deeply_is_refused_at_once(tavox_cmd, manifest_cmd, tmp_path,
                                                         where, nesting):
    # one anchor, so that no native shortcut keeps it from the loader; a
    # timeout far below what parsing it whole takes (minutes, for the flow)
    deep = "devices: &a\n  r1:\n    " + DEPTH[nesting]
    if where == "migration":
        (tmp_path / "repo").mkdir()
        (tmp_path / "repo" / "deep.yaml").write_text(deep)
        (tmp_path / "repo" / "a.py").write_bytes(SCRIPT)
        proc = subprocess.run([*tavox_cmd, "migrate", "abstract", "repo", "-f"], cwd=tmp_path,
                              env=environ(), capture_output=True, text=True, timeout=60)
        assert proc.returncode == 0, proc.stderr
        assert "repo/deep.yaml: Could not load yaml file\n" in log("changes").decode()
        assert (f"'{tmp_path}/repo/deep.yaml' nests its collections deeper than 1000 levels; "
                "it is not loaded") in log("failures").decode()
        assert (tmp_path / "repo" / "a.py").read_bytes() == FIX + b'platform = "tor9k"\n'
    elif where == "shell":
        (tmp_path / "deep.yaml").write_text(deep)
        proc = run([*tavox_cmd, "shell", "--no-ipython", "--testbed-file", "deep.yaml"], tmp_path,
                   timeout=60)
        assert proc.returncode == 2
        assert last_line(proc.stderr) == ("tavox shell: error: argument --testbed-file: cannot "
                                          f"load testbed file 'deep.yaml': {TOO_DEEP}")
    else:
        (tmp_path / "deep.tem").write_text("type: job\nprofiles:\n  " + DEPTH[nesting])
        proc = run([*manifest_cmd, "deep.tem"], tmp_path, timeout=60)
        assert proc.returncode == 1
        assert proc.stdout.splitlines()[-1] == (f"Manifest file 'deep.tem': {TOO_DEEP}; "
                                                "it is not loaded")
        assert "Traceback" not in proc.stderr


def test_shell_refuses_a_testbed_that_is_a_pipe(tavox_cmd, tmp_path):
    os.mkfifo(tmp_path / "lab.yaml")
    proc = run([*tavox_cmd, "shell", "--no-ipython", "--testbed-file", "lab.yaml"], tmp_path,
               timeout=60)
    assert proc.returncode == 2
    assert last_line(proc.stderr) == ("tavox shell: error: argument --testbed-file: cannot load "
                                      "testbed file 'lab.yaml': not a regular file")
    assert stat.S_ISFIFO(os.stat(tmp_path / "lab.yaml").st_mode)
