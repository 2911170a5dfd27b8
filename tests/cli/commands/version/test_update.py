"""`tavox version update`: end to end with real pip against the local index
in real virtual environments, and in process with a scripted installer
where messages, command lines and refusals are checked one by one."""
import argparse
import logging
import os
import re
import shlex
import subprocess
import sys

import pexpect
import pytest
from packaging.version import Version

from tavox.cli import utils
from tavox.cli.commands.version import update
from tavox.cli.commands.version.update import VersionUpdateCommand, pip_conf_loop, setup_pip_conf

LOGGER = "tavox.cli.commands.version.update"
LIST_CMD = "pip3 list --disable-pip-version-check --format json"
INSTALL = "pip3 install --disable-pip-version-check"
SKIPPED = "\nThe following packages do not have a matching version and were skipped:\n\n"


def tavox_cli(venv, *args):
    return [str(venv.python), "-m", "tavox.cli.main", "version", "update", *args]


def tavox_script(tmp_path, packages, pypi_urls=()):
    """A `tavox` entry that checks only ``packages`` (and tries the package
    indexes ``pypi_urls``): the same command with a shorter roster."""
    script = tmp_path / "tavox_small.py"
    script.write_text(
        "import sys\n"
        "from tavox.cli.commands.version.update import VersionUpdateCommand\n"
        "VersionUpdateCommand.TAVOX_PACKAGES[:] = %r\n"
        "VersionUpdateCommand.PYPI_URLS = %r\n"
        "from tavox.cli.main import main\n"
        "sys.exit(main(sys.argv[1:]))\n" % (list(packages), list(pypi_urls)))
    return script


def pins(install_cmd):
    """The requirements of an install command line, checking each is quoted."""
    assert install_cmd.startswith(INSTALL + " ")
    quoted = install_cmd[len(INSTALL) + 1:].split(" ")
    assert all(re.fullmatch(r"'[^' ]+'", q) for q in quoted), install_cmd
    return [q.strip("'") for q in quoted]


def after(text, *parts):
    """Assert that ``parts`` occur in ``text`` in this order."""
    pos = 0
    for part in parts:
        found = text.find(part, pos)
        assert found >= 0, "%r not found after position %d in:\n%s" % (part, pos, text)
        pos = found + len(part)


# ---- end to end: real pip, local index, real virtual environments ----------

def test_update_to_a_newer_release_line(make_venv):
    venv = make_venv("run")
    venv.install("tavox==22.1", "tavox.log==22.1", "brask==22.1", "halvo.connector==22.1",
                 "brask.plugins==22.1", "tavoxlib==1.0")
    result = subprocess.run(tavox_cli(venv, "22.10", "--yes"), env=venv.env(),
                            capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr
    after(result.stdout, "Checking your current environment...",
          "The following packages will be removed:", "Fetching package list...",
          "... and updated with:", "Uninstalling existing packages...",
          "Installing new packages...", SKIPPED, "Done! Enjoy!")
    removed, planned = result.stdout.split("Fetching package list...")
    assert re.search(r"^brask\.plugins +22\.1$", removed, re.M)
    assert re.search(r"^tavox\.utils +22\.10$", planned, re.M)
    skipped = result.stdout.split(SKIPPED)[1].split("\n\n")[0].split("\n  ")
    assert "brask.plugins" in skipped and "tavox.lusk" in skipped and "tavox" not in skipped
    installed = venv.installed()
    assert {name: installed.get(name) for name in
            ("tavox", "tavox.log", "tavox.utils", "brask", "halvo.connector", "nuvik",
             "nuvik.libs.parser", "brask.plugins", "tavoxlib")} == {
        "tavox": "22.10", "tavox.log": "22.10", "tavox.utils": "22.10", "brask": "22.10",
        "halvo.connector": "22.10", "nuvik": "22.10", "nuvik.libs.parser": "22.10",
        "brask.plugins": None, "tavoxlib": "1.0"}


def test_downgrade_of_another_environment_to_a_legacy_line(make_venv, caplog, monkeypatch):
    monkeypatch.setenv("PYTHONNOUSERSITE", "1")
    target = make_venv("target env")
    target.install("tavox==22.10", "nuvik==22.10", "nuvik.libs.parser==22.10",
                   "brask==22.10", "tavoxlib==1.0")
    caplog.set_level(logging.INFO, logger=LOGGER)
    args = argparse.Namespace(version="19.6", yes=True, pre=False, location=str(target.path))
    VersionUpdateCommand().run(args)

    installed = target.installed()
    legacy = [name for name in update.OLD_NUVIK_PACKAGES if name != "nuvik.libs.parser"]
    assert {name: installed.get(name) for name in ["tavox", "brask"] + legacy} == dict.fromkeys(
        ["tavox", "brask"] + legacy, "19.6")
    # No 19.6 of it: removed, left out of the install and reported.
    assert "nuvik.libs.parser" not in installed and installed["tavoxlib"] == "1.0"
    messages = [r.getMessage() for r in caplog.records]
    assert SKIPPED + "nuvik.libs.parser\n" in messages
    assert "Checking your current environment..." not in messages
    assert "\nDone! Enjoy!" == messages[-1]


def test_latest_update_confirmed_at_the_terminal(make_venv):
    venv = make_venv("run")
    venv.install("tavox==22.1", "tavox.log==19.6", "nuvik.libs.conf==19.6")
    child = pexpect.spawn(tavox_cli(venv)[0], tavox_cli(venv)[1:], env=venv.env(),
                          encoding="utf-8", timeout=600)
    child.expect_exact("Are you sure you want to continue [y/N] ")
    plan = child.before
    child.sendline("y")
    child.expect(pexpect.EOF)
    child.close()
    assert child.exitstatus == 0, plan + child.before
    after(plan, "... and updated with:")
    assert re.search(r"^tavox +latest \(22\.10\)\r?$", plan, re.M)
    after(child.before, "Uninstalling existing packages...", "Done! Enjoy!")
    installed = venv.installed()
    # The newest final release of each; 23.1rc1 only with --pre.
    assert {n: installed.get(n) for n in ("tavox", "tavox.log", "nuvik.libs.conf",
                                          "brask.plugins")} == {
        "tavox": "22.10", "tavox.log": "22.10", "nuvik.libs.conf": "19.6",
        "brask.plugins": "22.1.3"}


def test_declined_at_the_terminal_changes_nothing(make_venv, tmp_path):
    venv = make_venv("run")
    venv.install("tavox==22.1", "tavox.log==22.1")
    script = tavox_script(tmp_path, ["tavox", "tavox.log"])
    child = pexpect.spawn(str(venv.python), [str(script), "version", "update", "22.10"],
                          env=venv.env(), encoding="utf-8", timeout=300)
    child.expect_exact("Are you sure you want to continue [y/N] ")
    child.sendline("")
    child.expect(pexpect.EOF)
    child.close()
    assert child.exitstatus == 0
    assert "Bye." in child.before and "Uninstalling" not in child.before
    installed = venv.installed()
    assert (installed["tavox"], installed["tavox.log"]) == ("22.1", "22.1")


def test_package_indexes_are_tried_in_turn(make_venv, index, tmp_path):
    # The first index lists versions but serves no wheels: that attempt
    # removes the framework and fails to install; the second one installs.
    venv = make_venv("run", index_url=None)
    venv.install("tavox==22.10", "tavox.log==22.10", index_url=index.url)
    script = tavox_script(tmp_path, ["tavox", "tavox.log"], [index.broken_url, index.url])
    result = subprocess.run([str(venv.python), str(script), "version", "update", "22.1.3",
                             "--yes"], env=venv.env(PIP_RETRIES=0),
                            capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr
    after(result.stdout, "Updating pip.conf to use " + index.broken_url,
          "Version 22.1 will be used instead", "Uninstalling existing packages...",
          "Updating pip.conf to use " + index.url, "Checking your current environment...")
    second = result.stdout.split("Updating pip.conf to use " + index.url)[1]
    assert "will be removed" not in second and "Done! Enjoy!" not in second
    assert venv.pip_conf.read_text() == "[global]\nindex-url = %s/simple\n" % index.url
    installed = venv.installed()
    assert (installed["tavox"], installed["tavox.log"]) == ("22.1.3", "22.1.3")


@pytest.mark.parametrize("indexes", [False, True])
def test_dry_run_shows_the_plan_and_changes_nothing(make_venv, index, tmp_path, indexes):
    venv = make_venv("run")
    venv.install("tavox==22.1", "tavox.log==22.1")
    conf = venv.pip_conf.read_bytes()
    installed = venv.installed()
    entries = sorted(os.listdir(venv.path))
    script = tavox_script(tmp_path, ["tavox", "tavox.log"], [index.url] if indexes else [])
    # No terminal and no --yes: a question would fail; none is asked.
    result = subprocess.run([str(venv.python), str(script), "version", "update", "22.10",
                             "--dry-run"], env=venv.env(), stdin=subprocess.DEVNULL,
                            capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr
    after(result.stdout, "The following packages will be removed:", "... and updated with:",
          "Dry run: nothing was changed. The update would run:",
          "  pip3 uninstall --yes tavox tavox.log\n", "  " + INSTALL)
    [install] = [line.strip() for line in result.stdout.splitlines()
                 if line.startswith("  " + INSTALL)]
    assert sorted(pins(install)) == ["tavox.log==22.10", "tavox==22.10"]
    if indexes:
        assert ("pip.conf would be updated to use %s; %s would read:\n%s" % (
            index.url, venv.pip_conf, conf.decode())) in result.stdout
    else:
        assert "(%s) would be left as it is." % venv.pip_conf in result.stdout
    assert "Uninstalling" not in result.stdout and "Are you sure" not in result.stdout
    assert venv.installed() == installed and venv.pip_conf.read_bytes() == conf
    assert sorted(os.listdir(venv.path)) == entries


# ---- in process, with a scripted installer ------------------------------------

@pytest.fixture
def commands(monkeypatch):
    """Every command line handed to the shell runner, with its environment."""
    seen = []
    real = utils.cmd

    def spy(command, env=None):
        seen.append((command, env))
        return real(command, env=env)

    monkeypatch.setattr(utils, "cmd", spy)
    return seen


@pytest.fixture
def records(caplog):
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    return lambda: [(r.levelname, r.getMessage()) for r in caplog.records if r.name == LOGGER]


def small(*packages, **attrs):
    """The command with a shorter roster (an instance may replace it)."""
    command = VersionUpdateCommand()
    command.REQUIRED_PACKAGES = list(packages)
    for key, value in attrs.items():
        setattr(command, key, value)
    return command


def args_for(*argv, **extra):
    ns = VersionUpdateCommand().parser.parse_args(list(argv))
    for key, value in extra.items():
        setattr(ns, key, value)
    return ns


def table(rows):
    return [("INFO", line) for line in utils.format_table(rows, ["Package", "Version"])]


def test_messages_of_an_update_in_order(fake_pip, commands, records):
    fake_pip.set(installed={"tavox": "22.1", "korr.core": "1.0", "otherdist": "2.0"},
                 versions={"tavox": ["22.10", "22.1.3", "22.1"], "tavox.log": ["22.1"]})
    command = small("tavox", "tavox.log", "tavox.utils", EXTERNAL_PACKAGES=["tavox", "korr"])
    command.run(args_for("22.1.3", "--yes"))
    expected = [
        ("WARNING", "You provided a version that may not be available for all packages.\n"
                    "Version 22.1 will be used instead\n"),
        ("INFO", "Checking your current environment..."),
        ("WARNING", "Inconsistencies detected in this environment!"),
        ("WARNING", "Both korr (internal) and tavox (external) packages are present. "),
        ("INFO", "\n\nThe following packages will be removed:"),
        *table([["korr.core", "1.0"], ["tavox", "22.1"]]),
        ("INFO", "\nFetching package list... (it may take some time)"),
        ("INFO", "\n... and updated with:"),
        *table([["tavox", "22.1.3"], ["tavox.log", "22.1"]]),
        ("WARNING", "Uninstalling existing packages..."),
        ("WARNING", "Installing new packages..."),
        ("WARNING", SKIPPED + "tavox.utils\n"),
        ("INFO", "\nDone! Enjoy!"),
    ]
    assert records() == expected
    assert len(commands) == 3 and commands[1][0] == "pip3 uninstall --yes tavox korr.core"
    assert sorted(pins(commands[2][0])) == ["tavox.log==22.1", "tavox==22.1.3"]
    assert commands[0][0] == LIST_CMD and commands[1][1] is None and commands[2][1] is None
    assert fake_pip.installed() == {"otherdist": "2.0", "tavox": "22.1.3", "tavox.log": "22.1"}


@pytest.mark.parametrize("requested, used, warned", [
    ("22.1", "22.1", False),
    ("22.1.0", "22.1.0", False),
    ("22.1.3", "22.1", True),
    ("22.1rc1", "22.1", True),
    ("22.1.dev3", "22.1", True),
    ("22.1.post1", "22.1", True),
    ("22.1.dev0", "22.1.dev0", False),
    ("22.1.post0", "22.1.post0", False),
    ("22", "22", False),
    ("latest", "latest", False),
    (None, "latest", False),
    ("", "latest", False),
])
def test_requested_version_becomes_a_release_line(fake_pip, records, requested, used, warned):
    # No version of anything on offer: the command stops before changing anything.
    fake_pip.set(installed={"tavox": "22.1"}, versions={})
    args = args_for("--yes")
    args.version = requested
    with pytest.raises(SystemExit) as exit_:
        small("tavox").run(args)
    assert exit_.value.code == 0
    assert args.version == (used if used == "latest" else Version(used))
    log = records()
    assert (log[0][0] == "WARNING" and "Version %s will be used" % used in log[0][1]) == warned
    assert log[-1] == ("CRITICAL", "Provided version does not exist or is not available: "
                                   "%s\nAvailable versions: " % used)
    assert not any(c[0] in ("uninstall", "install") for c in fake_pip.calls())


def test_missing_release_line_names_what_exists(fake_pip, records):
    fake_pip.set(installed={"tavox": "22.1"}, versions={"tavox": ["22.10", "22.1"]})
    with pytest.raises(SystemExit) as exit_:
        small("tavox", "brask").run(args_for("23.5", "--yes"))
    assert exit_.value.code == 0
    assert records()[-1] == ("CRITICAL", "Provided version does not exist or is not "
                                         "available: 23.5\nAvailable versions: 22.10, 22.1")
    assert fake_pip.installed() == {"tavox": "22.1"}


def test_unparsable_version_is_refused_first(fake_pip):
    with pytest.raises(Exception, match="Invalid version"):
        small("tavox").run(args_for("not-a-version"))
    assert fake_pip.calls() == []


@pytest.mark.parametrize("yes, ask, asked", [(False, True, True), (True, True, False),
                                             (False, False, False)])
def test_confirmation(fake_pip, records, monkeypatch, yes, ask, asked):
    questions = []

    def decline(question, default=None):
        questions.append((question, default))
        return False

    monkeypatch.setattr(utils, "yes_or_no", decline)
    fake_pip.set(installed={"tavox": "22.1"}, versions={"tavox": ["22.10"]})
    argv = ["22.10"] + (["--yes"] if yes else [])
    if asked:
        with pytest.raises(SystemExit) as exit_:
            small("tavox", ASK_CONFIRMATION=ask).run(args_for(*argv))
        assert exit_.value.code == 0 and records()[-1] == ("CRITICAL", "\nBye.")
        assert questions == [("Are you sure you want to continue", "no")]
        assert fake_pip.installed() == {"tavox": "22.1"}
    else:
        small("tavox", ASK_CONFIRMATION=ask).run(args_for(*argv))
        assert questions == [] and fake_pip.installed() == {"tavox": "22.10"}


LEGACY_VERSIONS = {"tavox": ["22.10", "19.10", "19.7", "19.6"], "nuvik": ["19.10", "19.6"],
                   "nuvik.libs.sdk": ["19.6"], "nuvik.trafficgen": ["19.6"],
                   "nuvik.libs.parser": ["22.10"], "brask": ["19.10", "19.6"]}


def test_legacy_package_set_below_19_7(fake_pip, commands, records):
    fake_pip.set(installed={"tavox": "22.10"}, versions=LEGACY_VERSIONS)
    VersionUpdateCommand().run(args_for("19.6", "--yes"), extra_requirements=["extra>=1"])
    assert commands[-1][0] == (
        INSTALL + " 'tavox==19.6' 'nuvik==19.6' 'nuvik.abstract==19.6' "
        "'nuvik.metaparser==19.6' 'nuvik.parsergen==19.6' 'nuvik.telemetry==19.6' "
        "'nuvik.libs.telemetry==19.6' 'nuvik.conf==19.6' 'nuvik.ops==19.6' "
        "'nuvik.harness==19.6' 'nuvik.predcore==19.6' 'nuvik.utils==19.6' "
        "'nuvik.libs.sdk==19.6' 'nuvik.trafficgen==19.6' 'brask==19.6' 'extra>=1'")
    # Queried legacy names without a 19.6 are left out and reported.
    assert (SKIPPED + "nuvik.libs.parser\n  nuvik.libs.conf\n  nuvik.libs.ops\n"
            "  nuvik.libs.filetransferutils\n") == records()[-2][1]


@pytest.mark.parametrize("requested, legacy", [("19.10", False), ("19.7", False),
                                               ("latest", False), ("19.6.1", True)])
def test_legacy_set_follows_version_order(fake_pip, commands, requested, legacy):
    fake_pip.set(installed={"tavox": "22.10"}, versions=LEGACY_VERSIONS)
    small("tavox", "nuvik", "brask").run(args_for(requested, "--yes"))
    assert ("nuvik.abstract==19.6" in pins(commands[-1][0])) == legacy


@pytest.mark.parametrize("extra, message", [
    ("a'b", "Illegal character \"'\" in requirement"),
    ('a"b', "Illegal character '\"' in requirement"),
    ("a`b", "Illegal character '`' in requirement"),
    ("a\\b", "Illegal character '\\\\\\\\' in requirement"),
    ("a\nb", "Illegal character '\\\\n' in requirement"),
    ("x & y", 'Illegal character "&" in command "pip3 install'),
    ("x;y", 'Illegal character ";" in command "pip3 install'),
    ("x$y", 'Illegal character "\\$" in command "pip3 install'),
])
def test_install_command_is_checked_before_uninstalling(fake_pip, commands, extra, message):
    fake_pip.set(installed={"tavox": "22.1"}, versions={"tavox": ["22.10"]})
    with pytest.raises(ValueError, match=message):
        small("tavox").run(args_for("22.10", "--yes"), extra_requirements=[extra])
    assert [c for c, _ in commands] == [LIST_CMD]
    assert fake_pip.installed() == {"tavox": "22.1"}


def test_installed_name_that_is_not_one_word_is_refused(fake_pip, commands):
    fake_pip.set(installed={"tavox.x`touch pwned`": "1"}, versions={"tavox": ["22.10"]})
    with pytest.raises(ValueError, match="Invalid distribution name"):
        small("tavox").run(args_for("22.10", "--yes"))
    assert [c for c, _ in commands] == [LIST_CMD]


def test_another_environment_is_worked_on_through_its_activation(fake_pip, commands, records):
    # Nothing installed there: no tables, no uninstall, but the install runs.
    fake_pip.set(versions={"tavox": ["22.10"], "halvo.connector": ["22.10"]})
    command = small("tavox")
    command.run(args_for("--yes", location=str(fake_pip.venv)))
    assert command.REQUIRED_PACKAGES == ["tavox"]
    activate = 'bash -c "source %s/bin/activate; ' % str(fake_pip.venv).replace(" ", "\\ ")
    assert len(commands) == 2 and commands[0][0] == activate + LIST_CMD + '"'
    install = commands[1][0]
    assert install.startswith(activate) and install.endswith('"')
    assert sorted(pins(install[len(activate):-1])) == ["halvo.connector==22.10", "tavox==22.10"]
    queried = {c[2] for c in fake_pip.calls() if c[0] == "index"}
    assert queried == {"tavox"} | set(VersionUpdateCommand.OPTIONAL_PACKAGES)
    assert [level for level, _ in records()] == ["WARNING"]  # only the skipped list


def test_proxies_go_to_the_listing_only(fake_pip, commands):
    fake_pip.set(installed={"tavox": "22.1"}, versions={"tavox": ["22.10"]})
    small("tavox", PROXIES={"HTTPS_PROXY": "http://proxy:3128"}).run(
        args_for("--yes"), proxy=True)
    assert commands[0][1]["HTTPS_PROXY"] == "http://proxy:3128"
    assert commands[0][1]["PATH"] == os.environ["PATH"]
    assert [env for _, env in commands[1:]] == [None, None]


@pytest.mark.parametrize("cmd, char", [("a;b", ";"), ("a$b;c", ";"), ("a$b", "$"),
                                       ("x $y ;z & w", "&")])
@pytest.mark.parametrize("with_venv", [False, True])
def test_execute_cmd_refuses_illegal_characters(fake_pip, commands, cmd, char, with_venv):
    with pytest.raises(ValueError) as error:
        VersionUpdateCommand()._execute_cmd(cmd, fake_pip.venv if with_venv else None)
    assert str(error.value) == 'Illegal character "%s" in command "%s"' % (char, cmd)
    assert commands == []


def test_execute_cmd_runs_inside_a_virtual_environment(fake_pip, commands):
    fake_pip.set(installed={"a": "1"})
    out = VersionUpdateCommand()._execute_cmd("pip3 list", str(fake_pip.venv), env=None)
    assert commands == [('bash -c "source %s/bin/activate; pip3 list"'
                         % str(fake_pip.venv).replace(" ", "\\ "), None)]
    assert out.strip() == '[{"name": "a", "version": "1"}]'


@pytest.mark.parametrize("name", ["env$HOME", 'env"x', "env`id`", "env\\x", "env\nx",
                                  "env;x", "env&x", "env|x", "env<x", "env>x"])
def test_virtual_environment_path_the_shell_would_misread(fake_pip, commands, tmp_path, name):
    (tmp_path / name / "bin").mkdir(parents=True)
    (tmp_path / name / "bin" / "activate").write_text("")
    with pytest.raises(ValueError, match="virtual environment path"):
        small("tavox").run(args_for("--yes", location=str(tmp_path / name)))
    assert commands == [] and fake_pip.calls() == []


def test_directory_without_activation_script_is_not_an_environment(fake_pip, commands,
                                                                    tmp_path):
    with pytest.raises(ValueError, match="no activation script"):
        small("tavox").run(args_for("--yes", location=str(tmp_path)))
    assert commands == []


@pytest.mark.parametrize("name, accepted", [
    ("tavox", True), ("tavox.log", True), ("tavox.log.extra", True), ("tavox.contrib", True),
    ("halvo.connector.x", True), ("nuvik.libs.sdk", True), ("tavoxlib", None),
    ("Tavox", None), ("tavox-log", None), ("halvo", None), ("otherdist", None),
])
def test_framework_packages(name, accepted):
    assert VersionUpdateCommand()._is_tavox_package(name) is accepted


@pytest.mark.parametrize("installed, warned", [
    ({"korr.core": "1", "tavox": "1"}, True),
    ({"korr.core": "1", "tavox.contrib": "1"}, False),
    ({"korr.core": "1"}, False),
])
def test_mixed_installation_warning(fake_pip, records, installed, warned):
    fake_pip.set(installed=installed, versions={})
    with pytest.raises(SystemExit):
        small("tavox", EXTERNAL_PACKAGES=["tavox", "korr"]).run(args_for("--yes"))
    assert (("WARNING", "Inconsistencies detected in this environment!") in records()) == warned


def test_retry_over_indexes_reuses_the_namespace(fake_pip, records, tmp_path, monkeypatch):
    # The first attempt uninstalls and fails to install; the second one gets
    # the namespace whose version the first turned into a Version.
    monkeypatch.setattr(sys, "prefix", str(tmp_path))
    fake_pip.set(installed={"tavox": "22.1"}, versions={"tavox": ["22.10", "22.1.3"]},
                 fail_install=1)
    command = small("tavox", PYPI_URLS=["http://one", "http://two"])
    args = args_for("22.1.3", "--yes")
    command.run(args)
    messages = [m for _, m in records()]
    assert messages.index("Updating pip.conf to use http://one") == 0
    assert messages.count("Updating pip.conf to use http://two") == 1
    assert sum("will be used instead" in m for m in messages) == 1
    assert args.version == Version("22.1") and fake_pip.installed() == {"tavox": "22.1.3"}
    assert (tmp_path / "pip.conf").read_text() == "[global]\nindex-url = http://two/simple\n"


# ---- pip.conf and the loop over package indexes ---------------------------------

@pytest.mark.parametrize("before, after_", [
    ("[global]\nindex = http://old/pypi\n", "[global]\nindex = NEW\n"),
    ("[global]\nindex=http://old/pypi\n", "[global]\nindex=http://old/pypi\n"),
    ("[global]\nindex-url = http://old/simple\n", "[global]\nindex-url = NEW/simple\n"),
    ("[global]\nindex-url = http://old/pypi\n", "[global]\nindex-url = http://old/pypi\n"),
    ("[global]\nextra-index-url  =  http://x/simple\ntimeout = 5\n",
     "[global]\nextra-index-url  =  NEW/simple\ntimeout = 5\n"),
])
@pytest.mark.parametrize("url", ["http://127.0.0.1:9/base", "10.0.0.1/a\\b"])
def test_setup_pip_conf_rewrites_index_lines(tmp_path, monkeypatch, before, after_, url):
    monkeypatch.setattr(sys, "prefix", str(tmp_path))
    conf = tmp_path / "pip.conf"
    conf.write_text(before)
    conf.chmod(0o640)
    assert setup_pip_conf(url) is None
    assert conf.read_text() == after_.replace("NEW", url)
    assert conf.stat().st_mode & 0o777 == 0o640 and os.listdir(tmp_path) == ["pip.conf"]


def test_setup_pip_conf_creates_the_file_from_the_template(tmp_path, monkeypatch):
    monkeypatch.setattr(sys, "prefix", str(tmp_path))
    umask = os.umask(0o027)
    try:
        setup_pip_conf("http://a")
    finally:
        os.umask(umask)
    assert (tmp_path / "pip.conf").read_text() == update.pip_conf_template.format(
        pypi_url="http://a")
    assert (tmp_path / "pip.conf").stat().st_mode & 0o777 == 0o640
    assert os.listdir(tmp_path) == ["pip.conf"]


def test_setup_pip_conf_keeps_a_link_and_refuses_a_read_only_file(tmp_path, monkeypatch):
    monkeypatch.setattr(sys, "prefix", str(tmp_path / "env"))
    (tmp_path / "env").mkdir()
    real = tmp_path / "shared.conf"
    real.write_text("[global]\nindex-url = http://old/simple\n")
    (tmp_path / "env" / "pip.conf").symlink_to(real)
    setup_pip_conf("http://new")
    assert (tmp_path / "env" / "pip.conf").is_symlink()
    assert real.read_text() == "[global]\nindex-url = http://new/simple\n"
    real.chmod(0o444)
    with pytest.raises(PermissionError):
        setup_pip_conf("http://other")
    assert real.read_text() == "[global]\nindex-url = http://new/simple\n"
    assert sorted(os.listdir(tmp_path)) == ["env", "shared.conf"]


class Holder:
    PYPI_URLS = []

    def __init__(self, outcomes=()):
        self.outcomes = list(outcomes)
        self.calls = []

    def attempt(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        outcome = self.outcomes.pop(0)
        if isinstance(outcome, BaseException):
            raise outcome
        return outcome


def test_loop_without_indexes_calls_once_and_leaves_no_trace(tmp_path, monkeypatch):
    monkeypatch.setattr(sys, "prefix", str(tmp_path))
    holder = Holder(["done"])
    looped = pip_conf_loop(Holder.attempt)
    assert looped.__name__ == "do_loop" and looped.__qualname__ == "pip_conf_loop.<locals>.do_loop"
    assert looped(holder, 1, key=2) == "done" and holder.calls == [((1,), {"key": 2})]
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("outcomes, raised, attempts", [
    ([ValueError("one"), "ok"], None, 2),
    ([ValueError("one"), RuntimeError("two")], RuntimeError, 2),
    ([SystemExit(0)], SystemExit, 1),
    ([KeyboardInterrupt()], KeyboardInterrupt, 1),
])
def test_loop_tries_each_index_until_one_works(tmp_path, monkeypatch, records, outcomes,
                                              raised, attempts):
    monkeypatch.setattr(sys, "prefix", str(tmp_path))
    holder = Holder(outcomes)
    holder.PYPI_URLS = ["http://one", "http://two"]
    looped = pip_conf_loop(Holder.attempt)
    if raised:
        with pytest.raises(raised):
            looped(holder, "args")
    else:
        assert looped(holder, "args") == "ok"
    assert len(holder.calls) == attempts
    assert [m for _, m in records()] == ["Updating pip.conf to use http://one",
                                         "Updating pip.conf to use http://two"][:attempts]


def test_loop_that_tried_nothing_says_so(tmp_path, monkeypatch):
    class Truthy(list):
        def __bool__(self):
            return True

    holder = Holder()
    holder.PYPI_URLS = Truthy()
    with pytest.raises(RuntimeError, match=r"^Failed to execute .*Holder.attempt.* \(\('x',\)\) "
                                           r"\{\{\}\} from PYPIs \[\]$"):
        pip_conf_loop(Holder.attempt)(holder, "x")
