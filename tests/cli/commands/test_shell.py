"""``tavox shell``: the testbed loaded while the command line is parsed, and
an interactive interpreter (IPython, or the plain console) holding it.

The interactive cases drive the real shells through a pseudo-terminal.
"""
import os
import subprocess
import sys
import textwrap

import pytest

pexpect = pytest.importorskip("pexpect")

TESTBED = """\
testbed:
  name: lab-3
devices:
  r1:
    os: rhenx
    platform: tor9k
"""

BANNER_RE = (
    r"Welcome to Tavox Interactive Shell\r\n"
    r"==================================\r\n"
    r"Python [^\r\n]+\r\n"
    r"\r\n"
    r">>> from tavox\.topology import loader\r\n"
    r">>> testbed = loader\.load\('lab\.yaml'\)\r\n"
    r"-{79}"
)

# What the user types: the names the shell offers, the testbed and the
# interpreter's argument list, between markers.
PROBE = ("import sys as _s; print('<<', sorted(n for n in dir() if not n.startswith('_')), "
         "testbed.name, testbed.devices['r1'].os, len(_s.argv), '>>')")


def make_env(tmp_path, subprocess_env, *paths):
    home = tmp_path / "home"
    home.mkdir(exist_ok=True)
    env = subprocess_env(*paths, HOME=home, PROMPT_TOOLKIT_NO_CPR=1, TERM="xterm")
    env["PYTHONPATH"] = os.pathsep.join(
        os.path.abspath(p) for p in env["PYTHONPATH"].split(os.pathsep) if p)
    return env


@pytest.fixture
def workdir(tmp_path):
    path = tmp_path / "work"
    path.mkdir()
    (path / "lab.yaml").write_text(TESTBED)
    return path


def spawn(tavox_cmd, workdir, env, *args):
    return pexpect.spawn(tavox_cmd[0], [*tavox_cmd[1:], "shell", "--testbed-file", "lab.yaml",
                                        *args],
                         cwd=str(workdir), env=env, encoding="utf-8", timeout=60,
                         dimensions=(50, 250))


def probe(child):
    child.sendline(PROBE)
    child.expect(r"<< (\[.*?\]) (\S+) (\S+) (\d+) >>")
    return child.match.groups()


def test_ipython_shell(tavox_cmd, workdir, tmp_path, subprocess_env):
    pytest.importorskip("IPython")
    pytest.importorskip("traitlets")
    # the option given twice: sys.argv has six entries before the cut
    child = spawn(tavox_cmd, workdir, make_env(tmp_path, subprocess_env),
                  "--testbed-file", "lab.yaml")
    child.expect(BANNER_RE)
    child.expect(r"In \[")
    names, name, os_, argc = probe(child)
    assert "testbed" in names
    # none of the command module's names leak into the shell
    for leaked in ("ShellCommand", "loader", "Command", "Config", "start_ipython", "code"):
        assert f"'{leaked}'" not in names
    assert (name, os_, argc) == ("lab-3", "rhenx", "1")
    child.sendline("exit()")
    child.expect(pexpect.EOF)
    child.close()
    assert child.exitstatus == 0


def plain_console(child, argc):
    child.expect(BANNER_RE)
    child.expect(">>> ")
    names, name, os_, got_argc = probe(child)
    assert names == "['testbed']"
    assert (name, os_, got_argc) == ("lab-3", "rhenx", str(argc))
    child.sendeof()
    child.expect(pexpect.EOF)
    child.close()
    assert child.exitstatus == 0


def test_no_ipython_option_opens_the_plain_console(tavox_cmd, workdir, tmp_path,
                                                   subprocess_env):
    child = spawn(tavox_cmd, workdir, make_env(tmp_path, subprocess_env), "--no-ipython")
    # sys.argv untouched: program, "shell", the option, its value, --no-ipython
    plain_console(child, argc=5)


@pytest.mark.parametrize("missing", ["IPython", "traitlets"])
def test_without_ipython_or_traitlets_the_plain_console_is_used(
        tavox_cmd, workdir, tmp_path, subprocess_env, missing):
    shadow = tmp_path / "shadow"
    (shadow / missing).mkdir(parents=True)
    (shadow / missing / "__init__.py").write_text(
        f"raise ImportError('{missing} is not installed here')\n")
    child = spawn(tavox_cmd, workdir, make_env(tmp_path, subprocess_env, shadow))
    plain_console(child, argc=4)


# ---- without a terminal --------------------------------------------------

def run(cmd, cwd, env, input_text=""):
    return subprocess.run(cmd, cwd=cwd, env=env, input=input_text, capture_output=True,
                          text=True, timeout=120)


@pytest.mark.parametrize("content, reason", [
    (None, "No such file or directory"),
    ("devices: [r1, r2]\n", "'devices' must be a mapping, not list"),
    ("testbed: {name: [unclosed\n", "cannot load testbed file 'lab.yaml'"),
], ids=["missing", "wrong-shape", "bad-yaml"])
def test_testbed_that_does_not_load_is_a_usage_error(tavox_cmd, tmp_path, subprocess_env,
                                                     content, reason):
    if content is not None:
        (tmp_path / "lab.yaml").write_text(content)
    proc = run([*tavox_cmd, "shell", "--testbed-file", "lab.yaml"], tmp_path,
               make_env(tmp_path, subprocess_env))
    assert proc.returncode == 2
    assert "tavox shell: error: argument --testbed-file: " in proc.stderr
    assert reason in proc.stderr
    assert "Traceback" not in proc.stderr
    assert proc.stdout == ""


def test_testbed_file_is_required(tavox_cmd, tmp_path, subprocess_env):
    proc = run([*tavox_cmd, "shell"], tmp_path, make_env(tmp_path, subprocess_env))
    assert proc.returncode == 2
    assert "the following arguments are required: --testbed-file" in proc.stderr


RUN_BY_KEYWORD = """
    import argparse, sys
    from tavox.cli.commands.shell import ShellCommand
    from tavox.topology import loader
    command = ShellCommand(prog="tavox shell")
    args = command.parser.parse_args(sys.argv[1:])
    ShellCommand.run(self=command, args=args)
    print("argv", sys.argv[1:])
"""


def test_banner_is_exact_and_run_takes_keywords(workdir, tmp_path, subprocess_env):
    env = make_env(tmp_path, subprocess_env)
    proc = run([sys.executable, "-c", textwrap.dedent(RUN_BY_KEYWORD), "--testbed-file",
                "lab.yaml", "--no-ipython"], workdir, env, input_text="print(testbed.name)\n")
    assert proc.returncode == 0, proc.stderr
    version = run([sys.executable, "-c", "import sys; print(sys.version)"], workdir,
                  env).stdout[:-1]
    banner = ("Welcome to Tavox Interactive Shell\n" + "=" * 34 + "\nPython " + version +
              "\n\n>>> from tavox.topology import loader\n"
              ">>> testbed = loader.load('lab.yaml')\n" + "-" * 79)
    # code.interact writes the banner and a newline; without a terminal its
    # prompts go to standard output
    assert proc.stderr == banner + "\n\nnow exiting InteractiveConsole...\n"
    assert proc.stdout == (">>> lab-3\n>>> "
                           "argv ['--testbed-file', 'lab.yaml', '--no-ipython']\n")


@pytest.mark.parametrize("error, imports", [
    ("ImportError", True),
    ("ModuleNotFoundError", True),
    ("RuntimeError", False),
])
def test_only_import_errors_of_ipython_are_swallowed(tmp_path, subprocess_env, error, imports):
    shadow = tmp_path / "shadow" / "IPython"
    shadow.mkdir(parents=True)
    (shadow / "__init__.py").write_text(f"raise {error}('broken IPython')\n")
    proc = run([sys.executable, "-c",
                "import tavox.cli.commands.shell as s; print(s.start_ipython, "
                "hasattr(s, 'Config'))"],
               tmp_path, make_env(tmp_path, subprocess_env, tmp_path / "shadow"))
    if imports:
        assert (proc.returncode, proc.stdout, proc.stderr) == (0, "None False\n", "")
    else:
        assert proc.returncode == 1
        assert f"{error}: broken IPython" in proc.stderr
