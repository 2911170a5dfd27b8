"""Scoping the walk of `tavox migrate abstract`: --exclude, --gitignore, and
the hint about virtual environments and .git directories walked through."""
import os
import shutil
import subprocess

import pytest

from .test_abstract_command import CHANGES, migrate, read, write

SCRIPT = "if platform == 'q9800cl':\n    pass\n"
TREE = {
    "tests/t.py": SCRIPT,
    "tests/tb.yaml": "devices:\n  r1: {os: rhenx, platform: ap}\n",
    ".venv/pyvenv.cfg": "home = /usr/bin\n",
    ".venv/lib/python3.11/site-packages/pkg/mod.py": SCRIPT,
    "build/lib/gen.py": SCRIPT,
    "build/keep.yaml": "devices:\n  r2: {os: rhenx, platform: ap}\n",
    "docs/a/b/c.py": SCRIPT,
}


@pytest.fixture
def tree(tmp_path):
    repo = tmp_path / "repo"
    write(repo, TREE)
    return repo


def reported(repo):
    """The files the changes log names, relative to the repository."""
    return sorted(line[len(str(repo)) + 1:-1] for line in read(CHANGES).splitlines()
                  if line.startswith(str(repo)))


def found(result):
    return [line for line in result.stdout.splitlines() if line.startswith("Found")]


@pytest.mark.parametrize("patterns, left_out", [
    ([".venv"], [".venv/lib/python3.11/site-packages/pkg/mod.py"]),
    (["build/"], ["build/keep.yaml", "build/lib/gen.py"]),
    (["/build/lib"], ["build/lib/gen.py"]),
    (["*.yaml"], ["build/keep.yaml", "tests/tb.yaml"]),
    (["docs/**/c.py", "site-packages"], [".venv/lib/python3.11/site-packages/pkg/mod.py",
                                         "docs/a/b/c.py"]),
    (["**/lib", "t?.yaml"], [".venv/lib/python3.11/site-packages/pkg/mod.py",
                             "build/lib/gen.py", "tests/tb.yaml"]),
    (["mod.py/"], []),  # a trailing slash matches directories only
])
def test_exclude_leaves_out_what_matches(tavox_cmd, tree, patterns, left_out):
    options = [o for p in patterns for o in ("--exclude", p)]
    result = migrate(tavox_cmd, tree, str(tree), *options)
    assert result.returncode == 0, result.stderr
    assert reported(tree) == sorted(set(TREE) - {".venv/pyvenv.cfg"} - set(left_out))
    assert "The walk went through" not in result.stdout


def test_excluded_files_are_not_touched_by_fixes(tavox_cmd, tree):
    before = {rel: (tree / rel).read_text() for rel in TREE}
    result = migrate(tavox_cmd, tree, str(tree), "--exclude", ".venv", "--exclude", "build",
                     "-f", "-c")
    assert result.returncode == 0, result.stderr
    for rel, text in before.items():
        changed = (tree / rel).read_text() != text
        assert changed == rel.startswith(("tests/", "docs/")), rel


def test_without_options_the_walk_is_whole_and_the_hint_names_the_trees(tavox_cmd, tree):
    (tree / ".git" / "hooks").mkdir(parents=True)
    (tree / ".git" / "hooks" / "hook.py").write_text(SCRIPT)
    result = migrate(tavox_cmd, tree, str(tree))
    assert result.returncode == 0, result.stderr
    assert found(result) == ["Found 0 __init__.py files", "Found 5 Python files",
                             "Found 2 YAML files"]
    hints = [line for line in result.stdout.splitlines() if "The walk went through" in line]
    assert hints == [
        "The walk went through .git (a git directory, 1 file), .venv (a virtual environment, "
        "1 file): 2 files examined there; leave them out with --exclude .git --exclude .venv "
        "(or --gitignore in a git work tree)"]
    # the hint comes before the closing text, which stays last
    out = result.stdout.splitlines()
    assert out.index(hints[0]) < out.index(
        "The upcoming changes in abstraction organization will align the tokens values")


@pytest.mark.skipif(shutil.which("git") is None, reason="git is not installed")
def test_gitignore_asks_git(tavox_cmd, tree):
    subprocess.run(["git", "init", "-q", str(tree)], check=True)
    (tree / ".gitignore").write_text(".venv/\n/build/lib/\n*.log\n")
    result = migrate(tavox_cmd, tree, str(tree), "--gitignore")
    assert result.returncode == 0, result.stderr
    assert reported(tree) == ["build/keep.yaml", "docs/a/b/c.py", "tests/t.py",
                              "tests/tb.yaml"]
    # .git itself holds nothing git lists as ignored: its hooks are walked
    assert "The walk went through" not in result.stdout


def test_gitignore_outside_a_work_tree_warns_and_walks_all(tavox_cmd, tree):
    result = migrate(tavox_cmd, tree, str(tree), "--gitignore")
    assert result.returncode == 0, result.stderr
    warnings = [line for line in result.stdout.splitlines() if line.startswith("--gitignore")]
    assert warnings == ["--gitignore: %s is not in a git work tree; walking all of it" % tree]
    assert len(reported(tree)) == 6


def test_scope_options_appear_on_the_namespace_only_when_given(command):
    assert not {"exclude", "gitignore"} & set(vars(command.parser.parse_args([])))
    args = command.parser.parse_args(["--exclude", ".venv", "--exclude", "build/", "--gitignore"])
    assert (args.exclude, args.gitignore) == ([".venv", "build/"], True)


def test_a_path_given_as_bytes_raises_as_the_walk_would(command, tree):
    # os.walk(b"...") gives bytes names, which the classification by name
    # refuses with TypeError (it crashed the interpreter before).
    args = command.parser.parse_args([str(tree)])
    args.path = bytes(tree)
    with pytest.raises(TypeError):
        command.run(args)


GIT_TREE = {
    "a.py": SCRIPT,
    "!bang.py": SCRIPT,
    "keep.py": SCRIPT,
    "tests/t.py": SCRIPT,
    "tests/keep.py": SCRIPT,
    "build/keep.yaml": "devices:\n  r2: {os: rhenx, platform: ap}\n",
    "build/lib/gen.py": SCRIPT,
}


@pytest.mark.skipif(shutil.which("git") is None, reason="git is not installed")
@pytest.mark.parametrize("patterns", [
    ["*.py", "!keep.py"],              # taken back
    ["build/", "!build/keep.yaml"],    # not under a directory left out
    ["build/*", "!build/keep.yaml"],
    ["a.py ", "keep.py\\ "],           # trailing blanks go, unless quoted
    ["\\!bang.py", "#a.py"],           # a quoted "!", a comment
    ["tests", "!tests", "!/a.py"],
])
def test_exclude_leaves_out_what_git_ignores(tavox_cmd, tmp_path, patterns):
    repo = tmp_path / "repo"
    write(repo, GIT_TREE)
    subprocess.run(["git", "init", "-q", str(repo)], check=True)
    (tmp_path / "patterns").write_text("".join(p + "\n" for p in patterns))
    listed = subprocess.run(["git", "-C", str(repo), "ls-files", "-z", "--others",
                             "--exclude-from", str(tmp_path / "patterns")],
                            capture_output=True, check=True).stdout.decode().split("\0")
    result = migrate(tavox_cmd, tmp_path, str(repo),
                     *[o for p in patterns for o in ("--exclude", p)])
    assert result.returncode == 0, result.stderr
    assert reported(repo) == sorted(p for p in listed if p)


@pytest.mark.parametrize("pattern, why", [
    ("../repo/build", "patterns are relative to PATH, and '..' does not lead out of it"),
    ("{repo}/build", "patterns are relative to PATH (a leading '/' anchors one there), not "
                     "absolute paths"),
    ("#build", "as a .gitignore line it is blank or a comment (write \\# for a name that begins "
               "with #)"),
])
def test_exclude_that_can_leave_nothing_out_is_named(tavox_cmd, tree, pattern, why):
    pattern = pattern.format(repo=tree)
    result = migrate(tavox_cmd, tree, str(tree), "--exclude", pattern)
    assert result.returncode == 0, result.stderr
    assert f"--exclude {pattern!r}: {why}; it leaves nothing out" in result.stdout.splitlines()
    assert "build/lib/gen.py" in reported(tree)


@pytest.mark.skipif(shutil.which("git") is None, reason="git is not installed")
@pytest.mark.parametrize("case", ["fsmonitor", "ignored itself", "another user's"])
def test_gitignore_trusts_git_but_runs_nothing_of_the_repository(tavox_cmd, tree, tmp_path, case):
    subprocess.run(["git", "init", "-q", str(tree)], check=True)
    (tree / ".gitignore").write_text(".venv/\n")
    ran = tmp_path / "ran"
    # a repository's configuration that would start a program
    subprocess.run(["git", "-C", str(tree), "config", "core.fsmonitor",
                    f"touch {ran}; false"], check=True)
    top = tree
    if case == "ignored itself":
        (tree / ".gitignore").write_text("docs/\n")
        top = tree / "docs"
    elif case == "another user's":
        if os.geteuid() != 0:
            pytest.skip("only root can give a repository to another user")
        subprocess.run(["chown", "-R", "65534:65534", str(tree)], check=True)
    result = migrate(tavox_cmd, tree, str(top), "--gitignore")
    assert result.returncode == 0, result.stderr
    assert not ran.exists()
    warnings = [line for line in result.stdout.splitlines() if line.startswith("--gitignore")]
    if case == "fsmonitor":
        assert warnings == []
        assert ".venv/lib/python3.11/site-packages/pkg/mod.py" not in reported(tree)
    elif case == "ignored itself":
        assert warnings == [f"--gitignore: git ignores {top} itself; nothing is examined"]
        assert reported(tree) == []
    else:
        assert warnings == [f"--gitignore: git refused the repository of {top}: detected dubious "
                            f"ownership in repository at '{tree}'; walking all of it"]
