"""The configuration loader: what importing ``tavox.configuration`` merges,
in which order, and what it logs.

The module builds its configuration once, at import, from the process's own
command line and environment, so every case runs in a fresh interpreter.
"""
import json
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import tavox

from .conftest import env_with_path

# Importing the module in a child process: debug records of its logger are
# collected, then the script given to run_loader prints its findings as JSON.
PROBE = """\
import json, logging, sys
records = []
class Collect(logging.Handler):
    def emit(self, record):
        records.append([record.levelname, record.getMessage()])
_log = logging.getLogger("tavox.configuration")
_log.addHandler(Collect())
_log.setLevel(logging.DEBUG)
"""


@pytest.fixture
def home(tmp_path):
    path = tmp_path / "home"
    path.mkdir()
    return path


def write_conf(path, **settings):
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    lines = ["[lab]"] + [f"{key} = {value}" for key, value in settings.items()]
    path.write_text("\n".join(lines) + "\n")
    return str(path)


def base_env(home, *paths, **extra):
    env = env_with_path(*paths, HOME=home, **extra)
    env.pop("TAVOX_CONFIGURATION", None)
    env.update({k: str(v) for k, v in extra.items()})
    return env


def run_loader(env, args=(), before="", after="", python=sys.executable):
    script = PROBE + textwrap.dedent(before) + "import tavox.configuration as tc\n" + \
        textwrap.dedent(after) + \
        "print(json.dumps({'records': records, 'config': tc.configuration}))\n"
    proc = subprocess.run([python, "-c", script, *args], env=env,
                          capture_output=True, text=True, timeout=120)
    return proc


def loaded(proc):
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.splitlines()[-1])


@pytest.fixture(autouse=True)
def no_server_config():
    if os.path.exists("/etc/tavox.conf") or os.path.exists(
            os.path.join(sys.prefix, "tavox.conf")):
        pytest.skip("a machine-wide tavox.conf would change every result")


def test_without_sources_load_cfgs_gets_the_three_fixed_paths_and_nothing_is_logged(home):
    # load_cfgs is wrapped to record the exact arguments it is given.
    before = """
        from tavox import datastructures
        calls = []
        _orig = datastructures.Configuration.load_cfgs
        def _record(self, *paths):
            calls.append(paths)
            return _orig(self, *paths)
        datastructures.Configuration.load_cfgs = _record
    """
    after = "records.append(['CALLS', calls])\n"
    result = loaded(run_loader(base_env(home), before=before, after=after))
    assert result["records"] == [["CALLS", [[
        "/etc/tavox.conf", os.path.join(sys.prefix, "tavox.conf"),
        str(home / ".tavox" / "tavox.conf"), "", ""]]]]
    assert result["config"] == {}


def test_files_are_merged_from_the_most_general_to_the_most_specific(home, tmp_path):
    user = write_conf(home / ".tavox" / "tavox.conf", a="user", b="user", c="user")
    env_file = write_conf(tmp_path / "env.conf", b="env", c="env")
    cli_file = write_conf(tmp_path / "cli.conf", c="cli")
    proc = run_loader(base_env(home, TAVOX_CONFIGURATION=env_file),
                      args=["--tavox-configuration", cli_file])
    result = loaded(proc)
    assert result["config"] == {"lab": {"a": "user", "b": "env", "c": "cli"}}
    assert result["records"] == [
        ["DEBUG", "Loaded Tavox configuration from:"],
        ["DEBUG", f"  - file {user}"],
        ["DEBUG", f"  - file {env_file}"],
        ["DEBUG", f"  - file {cli_file}"],
    ]


def test_interpreter_prefix_file_of_a_virtual_environment(home, tmp_path):
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", str(venv)],
                   check=True, timeout=120)
    prefix_file = write_conf(venv / "tavox.conf", a="prefix", b="prefix")
    write_conf(home / ".tavox" / "tavox.conf", b="user")
    package_root = Path(tavox.__file__).resolve().parent.parent
    proc = run_loader(base_env(home, package_root), python=str(venv / "bin" / "python"))
    result = loaded(proc)
    assert result["config"] == {"lab": {"a": "prefix", "b": "user"}}
    assert ["DEBUG", f"  - file {prefix_file}"] in result["records"]


@pytest.mark.parametrize("args, expected", [
    (["--tavox-configuration", "{one}"], "one"),
    (["-tavox_configuration", "{one}"], "one"),
    (["--tavox-configuration={one}"], "one"),
    (["--tavox-configuration", "{one}", "-tavox_configuration", "{two}"], "two"),
    (["run", "--verbose", "-x", "--tavox-configuration", "{two}", "job.py", "--k", "v"], "two"),
], ids=["long", "single-dash", "equals", "later-wins", "among-other-options"])
def test_command_line_option(home, tmp_path, args, expected):
    files = {"one": write_conf(tmp_path / "one.conf", src="one"),
             "two": write_conf(tmp_path / "two.conf", src="two")}
    proc = run_loader(base_env(home), args=[a.format(**files) for a in args],
                      after="records.append(['ARGV', sys.argv[1:]])\n")
    result = loaded(proc)
    assert result["config"] == {"lab": {"src": expected}}
    # The process's own argument list is left alone.
    assert ["ARGV", [a.format(**files) for a in args]] in result["records"]


@pytest.mark.parametrize("kind", ["directory", "missing"])
def test_option_naming_no_regular_file_warns_and_loads_the_rest(home, tmp_path, kind):
    user = write_conf(home / ".tavox" / "tavox.conf", a="user")
    target = tmp_path if kind == "directory" else tmp_path / "absent.conf"
    proc = run_loader(base_env(home), args=["--tavox-configuration", str(target)])
    result = loaded(proc)
    assert result["records"] == [
        ["WARNING",
         f"tavox configuration file {target} is not accessible, and will not be loaded."],
        ["DEBUG", "Loaded Tavox configuration from:"],
        ["DEBUG", f"  - file {user}"],
    ]
    assert result["config"] == {"lab": {"a": "user"}}
    assert proc.stderr == ""


def test_option_without_value_ends_the_import_with_status_2(home):
    proc = run_loader(base_env(home), args=["--tavox-configuration"])
    assert proc.returncode == 2
    assert proc.stdout == ""
    assert "error: argument --tavox-configuration/-tavox_configuration: expected one argument" \
        in proc.stderr
    assert "Traceback" not in proc.stderr


def test_environment_variable_is_read_once_at_import(home, tmp_path):
    first = write_conf(tmp_path / "first.conf", src="first")
    second = write_conf(tmp_path / "second.conf", src="second")
    after = f"""
        import os
        os.environ["TAVOX_CONFIGURATION"] = {second!r}
        again = tc.load_configuration()
        records.append(["AGAIN", again, again is tc.configuration, tc.ENV_CONFIG])
    """
    result = loaded(run_loader(base_env(home, TAVOX_CONFIGURATION=first), after=after))
    assert result["config"] == {"lab": {"src": "first"}}
    assert result["records"][-1] == ["AGAIN", {"lab": {"src": "first"}}, False, first]


PLUGIN = """
    import os
    CONFIG = {"lab": {"a": "plugin", "b": "plugin"}}
    def broken():
        raise RuntimeError("plug-in configuration is broken")
"""


@pytest.mark.parametrize("with_file", [True, False], ids=["plugin-and-file", "plugin-alone"])
def test_plugins_are_applied_before_files_and_listed_first(home, make_dist, with_file):
    dist = make_dist("lab-conf", "1.0", {"tavox.configuration": {"lab": "lab_conf:CONFIG"}},
                     {"lab_conf.py": PLUGIN})
    files = [write_conf(home / ".tavox" / "tavox.conf", b="user")] if with_file else []
    result = loaded(run_loader(base_env(home, dist)))
    assert result["config"] == {"lab": {"a": "plugin", "b": "user" if with_file else "plugin"}}
    messages = [text for level, text in result["records"]]
    assert messages[0] == "Loaded Tavox configuration from:"
    # "  - ep <distribution> <entry point>", then the files
    assert messages[1].startswith("  - ep ")
    assert messages[1].endswith(
        " EntryPoint(name='lab', value='lab_conf:CONFIG', group='tavox.configuration')")
    assert messages[2:] == [f"  - file {f}" for f in files]


def test_plugin_that_raises_makes_the_import_fail(home, make_dist):
    dist = make_dist("bad-conf", "1.0", {"tavox.configuration": {"bad": "lab_conf:broken"}},
                     {"lab_conf.py": PLUGIN})
    proc = run_loader(base_env(home, dist))
    assert proc.returncode == 1
    assert "RuntimeError: plug-in configuration is broken" in proc.stderr
    assert "tavox.configuration.load_configuration" in proc.stderr
