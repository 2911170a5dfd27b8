"""`tavox create project`: options and prompts, validation, and the project
that the shipped template generates through the real cookiecutter."""
import ast
import importlib.util
import os
import py_compile
import re
import subprocess
import sys
from pathlib import Path

import pytest

from tavox.cli.base import CommandWithSubcommands, Subcommand
from tavox.cli.commands import create
from tavox.cli.commands.create import CreateCommand, CreateProject, string_in

needs_cookiecutter = pytest.mark.skipif(
    importlib.util.find_spec("cookiecutter") is None, reason="cookiecutter is not installed")

NAME_ERROR = "Please provide a project name within the allowed character set: [A-Za-z_]+"
INSTALL_TEXT = ("Please install the required dependencies before using this command:\n\n"
                "    pip install tavox[template]")
CHARSET_ERROR = ("Please provide testcase names within the allowed character set "
                 "[A-Za-z_]. Got: ")


@pytest.fixture
def workdir(tmp_path):
    """An empty directory to run the command in, with the environment for
    it: cookiecutter's replay file and hook files go to their own
    directories, not to the real home and /tmp."""
    for sub in ("work", "home", "tmp"):
        (tmp_path / sub).mkdir()
    env = dict(os.environ, HOME=str(tmp_path / "home"), TMPDIR=str(tmp_path / "tmp"))
    if env.get("PYTHONPATH"):   # the command runs elsewhere: keep what it imports
        env["PYTHONPATH"] = os.pathsep.join(
            os.path.abspath(entry) for entry in env["PYTHONPATH"].split(os.pathsep) if entry)
    return tmp_path / "work", env


def create_project(*options, cwd, env, stdin=subprocess.DEVNULL):
    return subprocess.run(
        [sys.executable, "-m", "tavox.cli.main", "create", "project", *options],
        cwd=cwd, env=env, stdin=stdin, capture_output=True, text=True, timeout=120)


def classes_of(path):
    """(class name, uid) of each test-case class of a generated test script,
    in file order."""
    tree = ast.parse(path.read_text())
    found = []
    for node in tree.body:
        if isinstance(node, ast.ClassDef) and node.name != "Testcase":
            uid = next(stmt.value.value for stmt in node.body
                       if isinstance(stmt, ast.Assign) and stmt.targets[0].id == "uid")
            found.append((node.name, uid))
    return found


# ---- module contents ------------------------------------------------------

def test_classes_and_constants():
    assert issubclass(CreateProject, Subcommand)
    assert issubclass(CreateCommand, CommandWithSubcommands)
    assert CreateCommand.SUBCOMMANDS == [CreateProject]
    assert CreateCommand.SUBCMDS_ENTRYPOINT == "tavox.cli.commands.create"
    assert CreateCommand.__doc__ is None
    assert len(create.ALLOWED_CHARSET) == 64
    assert CreateProject.description == (
        "\n    create a Tavox script from cookiecutter template, located at:\n"
        "    %s\n\nRequires Cookiecutter package to be installed to work.\n    "
        % create.DEFAULT_COOKIE)


def test_default_cookie_is_the_shipped_template():
    template = Path(create.DEFAULT_COOKIE)
    assert template.is_absolute()
    assert (template / "cookiecutter.json").is_file()
    assert (template / "{{cookiecutter.project_name}}").is_dir()


@pytest.mark.parametrize("value, charset, expected", [
    ("", "", True),
    ("abc_XYZ.019", None, True),        # digits and full stops are allowed
    ("a-b", None, False),
    ("a b", None, False),
    ("ä", None, False),
    ("abc", "cba", True),
    ("abd", "cba", False),
])
def test_string_in(value, charset, expected):
    charset = create.ALLOWED_CHARSET if charset is None else charset
    assert string_in(value, charset) is expected
    assert string_in(strng=value, charset=charset) is expected


def test_string_in_stops_at_the_first_refused_character():
    def chars():
        yield "a"
        yield "-"
        raise AssertionError("read past the first refused character")
    assert string_in(chars(), create.ALLOWED_CHARSET) is False


class Refusing:
    def __contains__(self, item):
        raise LookupError("refused")


@pytest.mark.parametrize("charset, error, message", [
    (5, TypeError, "argument of type 'int' is not iterable"),
    (Refusing(), LookupError, "refused"),
])
def test_string_in_raises_what_in_raises(charset, error, message):
    with pytest.raises(error, match=message):
        string_in("a", charset)


@pytest.mark.parametrize("testcases, message", [
    ([], "Must provide at least one testcase name."),
    (["a", "b", "a"], "Detected duplicate testcase names."),
    (["ok", "b c", "fine.1", "d-e"], CHARSET_ERROR + "\n  - b c\n  - d-e"),
    # duplicates are reported before bad characters
    (["b c", "b c"], "Detected duplicate testcase names."),
])
def test_tc_name_ok_refuses(testcases, message):
    with pytest.raises(ValueError) as info:
        CreateProject._tc_name_ok(testcases)
    assert str(info.value) == message


def test_tc_name_ok_returns_the_same_list():
    names = ["a", "B.2", "_c"]
    assert CreateProject._tc_name_ok(names) is names


@pytest.mark.parametrize("argv, expected", [
    ([], dict(name=None, testcases=None, datafile=None)),
    (["--name", "x", "--testcases", "a", "b", "--datafile"],
     dict(name="x", testcases=["a", "b"], datafile=True)),
    (["--testcases", "--no-datafile"], dict(name=None, testcases=[], datafile=False)),
])
def test_options(argv, expected):
    command = CreateProject(prog="tavox create project")
    assert vars(command.parser.parse_args(argv)) == expected


def test_datafile_options_are_mutually_exclusive(capsys):
    command = CreateProject(prog="tavox create project")
    with pytest.raises(SystemExit) as info:
        command.parser.parse_args(["--datafile", "--no-datafile"])
    assert info.value.code == 2
    assert "not allowed with argument" in capsys.readouterr().err


# ---- generating projects --------------------------------------------------

@needs_cookiecutter
@pytest.mark.parametrize("testcases, datafile", [
    (["alpha", "beta", "gamma"], True),
    (["alpha", "beta"], False),
    # names that are no plain class names still give a script that compiles
    (["1st", "class", "a.b", "a_b", "sys", "Testcase", "__name__", "x.y.z"], True),
])
def test_generated_project(workdir, testcases, datafile):
    cwd, env = workdir
    result = create_project("--name", "demo", "--testcases", *testcases,
                            "--datafile" if datafile else "--no-datafile", cwd=cwd, env=env)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "Generating your project...\n"

    project = cwd / "demo"
    expected = {"README.md", "demo_job.py", "demo_testscript.py", "testbed.yaml"}
    if datafile:
        expected.add("demo_datafile.yaml")
    assert {p.name for p in project.iterdir()} == expected
    for script in project.glob("*.py"):
        py_compile.compile(str(script), cfile=str(cwd / "compiled.pyc"), doraise=True)

    classes = classes_of(project / "demo_testscript.py")
    assert [uid for _, uid in classes] == testcases
    assert len({name for name, _ in classes}) == len(testcases)
    if datafile:
        import yaml
        data = yaml.safe_load((project / "demo_datafile.yaml").read_text())
        assert list(data["testcases"]) == testcases

    # The project runs as generated: every test case passes, in order.
    run = subprocess.run([sys.executable, "demo_job.py"], cwd=project, env=env,
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    assert "Ran %d tests" % len(testcases) in run.stderr
    ran = re.findall(r"^test \(__main__\.(\w+)", run.stderr, re.M)
    assert ran == [name for name, _ in classes]


@needs_cookiecutter
def test_generated_project_fails_when_a_test_case_fails(workdir):
    # The job's status follows the test cases': a testbed without devices
    # fails the example checks.
    cwd, env = workdir
    assert create_project("--name", "p", "--testcases", "a", "--no-datafile",
                          cwd=cwd, env=env).returncode == 0
    (cwd / "empty.yaml").write_text("testbed:\n  name: empty\n")
    run = subprocess.run([sys.executable, "p/p_job.py", "--testbed", "empty.yaml"],
                         cwd=cwd, env=env, capture_output=True, text=True, timeout=120)
    assert run.returncode == 1
    assert "the testbed has no devices" in run.stderr


# ---- refused input ---------------------------------------------------------

@needs_cookiecutter
@pytest.mark.parametrize("options, status, message", [
    (["--name", "bad name", "--testcases", "a"], 1, NAME_ERROR),
    (["--name", "a-b"], 1, NAME_ERROR),
    (["--name", "ok", "--testcases", "a", "a"], None, "Detected duplicate testcase names."),
    (["--name", "ok", "--testcases", "a", "b-c", "d e"], None,
     CHARSET_ERROR + "\n  - b-c\n  - d e"),
    (["--name", "ok", "--testcases", "a", ""], None, "Testcase names must not be empty."),
])
def test_bad_options_generate_nothing(workdir, options, status, message):
    # stdin is closed: any question would end in EOFError instead.
    cwd, env = workdir
    result = create_project(*options, cwd=cwd, env=env)
    if status == 1:
        assert result.returncode == 1
        assert result.stdout == message + "\n"
        assert "Traceback" not in result.stderr
    else:
        assert result.returncode != 0
        assert "ValueError: " + message in result.stderr
        assert result.stdout == ""
    assert "EOFError" not in result.stderr
    assert list(cwd.iterdir()) == []


@needs_cookiecutter
def test_existing_project_directory_is_left_alone(workdir):
    cwd, env = workdir
    (cwd / "demo").mkdir()
    (cwd / "demo" / "notes.txt").write_text("mine")
    result = create_project("--name", "demo", "--testcases", "a", "--datafile",
                            cwd=cwd, env=env)
    assert result.returncode != 0
    assert "OutputDirExistsException" in result.stderr
    assert [p.name for p in (cwd / "demo").iterdir()] == ["notes.txt"]
    assert (cwd / "demo" / "notes.txt").read_text() == "mine"


def test_without_cookiecutter_run_refuses_before_asking(workdir):
    cwd, env = workdir
    shadow = cwd.parent / "shadow"
    (shadow / "cookiecutter").mkdir(parents=True)
    (shadow / "cookiecutter" / "__init__.py").write_text(
        "raise ImportError('cookiecutter is broken here')\n")
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(shadow), env.get("PYTHONPATH")]))

    probe = subprocess.run(
        [sys.executable, "-c", "import tavox.cli.commands.create as m; print(m.cookiecutter)"],
        env=env, capture_output=True, text=True, timeout=60)
    assert probe.stdout == "None\n", probe.stderr

    result = create_project(cwd=cwd, env=env)  # nothing given: it would ask for all
    assert result.returncode == 1
    assert "Exception: " + INSTALL_TEXT in result.stderr
    assert "Project Name" not in result.stdout
    assert list(cwd.iterdir()) == []


# ---- interactive use, through a pseudo-terminal ----------------------------

def spawn(workdir, *options):
    pexpect = pytest.importorskip("pexpect")
    cwd, env = workdir
    child = pexpect.spawn(sys.executable,
                          ["-m", "tavox.cli.main", "create", "project", *options],
                          cwd=str(cwd), env=env, encoding="utf-8", timeout=60)
    child.setecho(False)
    return child


def finish(child):
    import pexpect
    child.expect_exact("Generating your project...")
    child.expect(pexpect.EOF)
    child.close()
    assert child.exitstatus == 0, child.before


@needs_cookiecutter
def test_interactive_questions(workdir):
    cwd, _ = workdir
    child = spawn(workdir)

    # The name is asked until it is acceptable.
    for answer in ("", "bad name", "  "):
        child.expect_exact("Project Name: ")
        child.sendline(answer)
        child.expect_exact(NAME_ERROR)
    child.expect_exact("Project Name: ")
    child.sendline("  my.proj_1  ")             # surrounding blanks are dropped

    # Testcases are numbered; a refused entry is asked again, same number.
    child.expect_exact("Testcase names [enter to finish]: ")
    child.expect_exact("  1. ")
    child.sendline("first")
    child.expect_exact("  2. ")
    child.sendline("first")
    child.expect_exact("Detected duplicate testcase names.")
    child.expect_exact("  2. ")
    child.sendline("no good")
    child.expect_exact(CHARSET_ERROR + "\r\n  - no good")
    child.expect_exact("  2. ")
    child.sendline("second")
    child.expect_exact("  3. ")
    child.sendline("")

    child.expect_exact("Will you be using testcase datafiles [Y/n]: ")
    child.sendline("")
    finish(child)

    project = cwd / "my.proj_1"
    assert (project / "my.proj_1_datafile.yaml").is_file()
    assert [uid for _, uid in classes_of(project / "my.proj_1_testscript.py")] == [
        "first", "second"]


@needs_cookiecutter
def test_interactive_empty_first_testcase_gives_none(workdir):
    # "--testcases" without values counts as absent: the names are asked.
    cwd, _ = workdir
    child = spawn(workdir, "--name", "solo", "--testcases", "--no-datafile")
    child.expect_exact("  1. ")
    child.sendline("")
    finish(child)
    assert classes_of(cwd / "solo" / "solo_testscript.py") == []
    assert not (cwd / "solo" / "solo_datafile.yaml").exists()


@needs_cookiecutter
@pytest.mark.parametrize("answer, datafile", [
    ("", True), ("y", True), ("YES", True), (" y", False), ("n", False),
])
def test_interactive_datafile_answer(workdir, answer, datafile):
    cwd, _ = workdir
    child = spawn(workdir, "--name", "dfq", "--testcases", "a")
    child.expect_exact("Will you be using testcase datafiles [Y/n]: ")
    child.sendline(answer)
    finish(child)
    assert (cwd / "dfq" / "dfq_datafile.yaml").exists() is datafile
