"""Looking at a migration before making it: --diff (applied with real git),
--report and --check, end to end on copies of the sample repository."""
import argparse
import json
import os
import shutil
import subprocess

import pexpect
import pytest

from .test_abstract_command import CHANGES, FAILURES, SUCCESS, migrate, read, write

SAMPLE = os.path.join(os.path.dirname(__file__), "..", "..", "..", "..", "examples",
                      "sample_repo")

# What the sample lacks: CRLF line breaks, a last line without a break, a
# name git has to quote.
EDGES = {
    "scripts/crlf.py": b"import x\r\nif platform == 'q9800cl':\r\n    pass\r\n",
    "scripts/no_break.py": "x = 1\nif platform == 'q9800cl': pass",
    "scripts/caf\u00e9 test.py": "if platform == 'q9800cl':\n    pass\n",
}


def git(cwd, *args):
    return subprocess.run(["git", "-c", "user.name=t", "-c", "user.email=t@t", *args],
                          cwd=cwd, check=True, capture_output=True).stdout


def sample(tmp_path, name):
    if not os.path.isdir(SAMPLE):
        pytest.skip("the sample repository ships with the source tree only")
    root = tmp_path / name
    shutil.copytree(SAMPLE, root)
    write(root, EDGES)
    git(root, "init", "-q")
    git(root, "add", "-A")
    git(root, "commit", "-qm", "sample")
    return root


def tree(root):
    """Every file under ``root`` but .git: relative path -> bytes."""
    out = {}
    for top, dirs, files in os.walk(root):
        dirs[:] = [d for d in dirs if d != ".git"]
        for f in files:
            path = os.path.join(top, f)
            with open(path, "rb") as fh:
                out[os.path.relpath(path, root)] = fh.read()
    return out


@pytest.mark.parametrize("options", [["-f", "-c"], ["-f"], ["-c"], []])
def test_diff_applied_by_git_gives_what_the_options_write(tavox_cmd, tmp_path, options):
    previewed, patched = sample(tmp_path, "previewed"), sample(tmp_path, "patched")
    before = tree(previewed)
    # The diff as bytes: CRLF lines stay CRLF.
    result = subprocess.run(tavox_cmd + ["migrate", "abstract", ".", "--diff", *options],
                            cwd=previewed, capture_output=True, timeout=120)
    assert result.returncode == 0, result.stderr
    # Standard output is the diff alone (the messages went to stderr), and
    # nothing was written: not the files, not a success.
    assert result.stdout.startswith(b"diff --git a/")
    assert b"\x1b[" not in result.stdout and b"Discovering files..." in result.stderr
    assert tree(previewed) == before and git(previewed, "status", "--porcelain") == b""
    assert read(SUCCESS) == ""
    failures = read(FAILURES)

    applied = migrate(tavox_cmd, patched, ".", *(options or ["-f"]))
    assert applied.returncode == 0, applied.stderr
    # the same files could not be patched
    assert read(FAILURES).replace("/patched/", "/previewed/") == failures
    (tmp_path / "d.patch").write_bytes(result.stdout)
    git(previewed, "apply", str(tmp_path / "d.patch"))
    after = tree(previewed)
    assert after == tree(patched) and after != before
    if "-f" in options or not options:
        assert b'"b/scripts/caf\\303\\251 test.py"' in result.stdout
        assert b"\\ No newline at end of file" in result.stdout


@pytest.mark.parametrize("options, colored", [([], True), (["--no-color"], False)])
def test_diff_is_coloured_on_a_terminal_only(tavox_cmd, tmp_path, options, colored):
    root = tmp_path / "r"
    write(root, {"s.py": "if platform == 'q9800cl':\n    pass\n"})
    child = pexpect.spawn(tavox_cmd[0], tavox_cmd[1:] + ["migrate", "abstract", str(root),
                                                         "--diff", *options],
                          encoding="utf-8", timeout=120)
    child.expect(pexpect.EOF)
    child.close()
    assert child.exitstatus == 0
    assert ("\x1b[31m-if platform == 'q9800cl':\x1b[m" in child.before) is colored
    assert "-if platform == 'q9800cl':" in child.before


def test_report_lists_what_the_logs_say(tavox_cmd, tmp_path):
    root = sample(tmp_path, "s")
    result = migrate(tavox_cmd, root, ".", "-f", "-c", "--report", str(tmp_path / "r.json"))
    assert result.returncode == 0, result.stderr
    report = json.loads((tmp_path / "r.json").read_text())
    assert report["schema"] == 1 and report["repository"] == str(root)
    assert report["options"]["apply_fixes"] is report["options"]["apply_comments"] is True
    assert sorted(os.listdir(tmp_path)) == ["r.json", "s"]  # written whole, nothing left beside

    # One entry per message of the changes log, in its order.  A line at the
    # left margin begins a message, unless it heads the new __init__.py of
    # a package to move.
    changes = read(CHANGES)
    lines = changes.splitlines()
    headers = [os.path.normpath(line.split(":")[0]) for i, line in enumerate(lines)
               if line and not line.startswith(" ")
               and lines[i + 1:i + 2] != ["    from nuvik.abstract import declare token"]]
    assert headers == [f["path"] for f in report["files"]]
    outcomes = {}
    for f in report["files"]:
        assert f["kind"] in ("init", "yaml", "python")
        assert f["kind"] == "yaml" or f["path"].endswith(".py")
        for s in f["suggestions"]:
            assert s["kind"] in ("fix", "check", "move")
            assert "    " + s["text"] in changes
            assert isinstance(s["location"], (int, str, type(None)))
            if isinstance(s["location"], int) and not s.get("alternative"):
                assert s["text"].startswith("line %d: " % s["location"])
        outcomes.setdefault(f["outcome"], set()).add(str(root / f["path"]))
    assert set(outcomes) <= {"applied", "unchanged", "failed"}
    logged = lambda log: {line[:-1] for line in read(log).splitlines()  # noqa: E731
                          if line.endswith(":") and not line.startswith(" ")}
    assert outcomes["applied"] == logged(SUCCESS)
    assert outcomes["failed"] == {line.split("\n")[0] for line in read(FAILURES).split("\n\n")
                                  if line}
    [draft] = [f for f in report["files"] if f["path"] == "testbeds/draft.yaml"]
    assert draft["reason"].startswith("PATCHING_ERROR: Failed to apply patch: ")
    lab = [f for f in report["files"] if f["path"] == "testbeds/lab.yaml"][0]
    assert {"location": "devices.border-1.pid", "old": None, "new": "Q9300-24S-D",
            "kind": "fix", "text": "devices.border-1.pid: Q9300-24S-D"} in lab["suggestions"]


def test_report_on_standard_output_without_outcomes(tavox_cmd, tmp_path):
    root = sample(tmp_path, "s")
    result = migrate(tavox_cmd, root, ".", "--report", "-")
    assert result.returncode == 0, result.stderr
    report = json.loads(result.stdout)
    assert report["files"] and all("outcome" not in f for f in report["files"])
    kinds = {s["kind"] for f in report["files"] for s in f["suggestions"]}
    assert kinds == {"fix", "check", "move"}
    refused = migrate(tavox_cmd, root, ".", "--report", "-", "--diff")
    assert refused.returncode == 2 and "--report" in refused.stderr


DIRTY = {"s.py": "if platform == 'q9800cl':\n    pass\n"}
BROKEN = dict(DIRTY, **{"t.yaml": "devices:\n  leaf-9:\n    os: rhenx\n\tplatform: ap\n"})
# a file that cannot be examined (not UTF-8) is left to do as well
UNREAD = {"s.py": "print('fine')\n", "u.py": b"platform = 'caf\xe9'\n"}


@pytest.mark.parametrize("files, options, status", [
    ({"s.py": "print('fine')\n"}, [], 0),
    (DIRTY, [], 1),
    (DIRTY, ["--diff"], 1),
    (DIRTY, ["-f"], 0),
    (BROKEN, ["-f"], 1),
    (UNREAD, [], 1),
    (UNREAD, ["-f"], 1),
])
def test_check_status(tavox_cmd, tmp_path, files, options, status):
    write(tmp_path / "r", files)
    result = migrate(tavox_cmd, tmp_path, "r", "--check", *options)
    assert result.returncode == status, result.stdout + result.stderr
    assert migrate(tavox_cmd, tmp_path, "r").returncode == 0  # without --check


def test_report_of_a_run_whose_check_and_patcher_are_rebound(command, tmp_path, monkeypatch):
    # A short suggestion holding ": ", and a patcher that reports a failure
    # item for its first file only: the others failed in nothing.
    repo = tmp_path / "repo"
    write(repo, {f"s{i}.py": "x = 1\n" for i in range(3)})
    calls = []

    def check_python(path, msg_queue):
        msg_queue.put(f"{path}:\n    or x: y\n")

    def apply_patches(patch_type, msg, success_queue, failer_queue):
        calls.append(msg)
        if len(calls) == 1:
            failer_queue.put(msg.split(":")[0] + "\n  - REFUSED\n")
        return False

    monkeypatch.setattr(command, "check_python", check_python, raising=False)
    monkeypatch.setattr(command, "apply_patches", apply_patches, raising=False)
    report = tmp_path / "report.json"
    command.run(argparse.Namespace(path=str(repo), init=False, python=True, yaml=False,
                                   threads=1, apply_fixes=True, apply_comments=False,
                                   report=str(report)))
    files = json.loads(report.read_text())["files"]
    assert sorted(f["outcome"] for f in files) == ["failed", "unchanged", "unchanged"]
    assert [f["suggestions"][0]["location"] for f in files] == ["x"] * 3
