"""The available-version checker: real pip against the local index, and a
scripted installer where timing or odd output must be controlled."""
import logging
import threading

import pytest
from packaging.version import Version

from tavox.cli.commands.version.scoutver import ScoutverVersions

TAVOX_LINE = ["22.10", "22.1.3", "22.1", "19.7.1", "19.6"]
LOGGER = "tavox.cli.commands.version.scoutver"


# ---- against the local index, with real pip ----------------------------------

@pytest.mark.parametrize("pre, tavox", [(False, TAVOX_LINE), (True, ["23.1rc1"] + TAVOX_LINE)])
def test_lists_versions_in_another_environment(query_venv, pre, tavox):
    found = ScoutverVersions.get_all_available_versions(
        ["tavox", "brask.plugins", "no.such.dist"], pre=pre, venv=str(query_venv.path))
    assert found == {"tavox": tavox, "brask.plugins": ["22.1.3", "22.1"], "no.such.dist": None}


def test_release_line_is_not_taken_for_a_longer_number(query_venv):
    # The index lists 22.10 before 22.1.3: a text prefix would pick 22.10.
    latest = ScoutverVersions.get_latest_version(
        ["tavox", "halvo.connector"], version=Version("22.1"), venv=str(query_venv.path))
    assert latest == {"tavox": "22.1.3", "halvo.connector": "22.1"}


def test_running_environment_uses_pip_on_path(query_venv, monkeypatch):
    monkeypatch.setenv("PATH", "%s:%s" % (query_venv.bin, query_venv.env()["PATH"]))
    assert ScoutverVersions.get_latest_version(["tavox"], pre=True) == {"tavox": "23.1rc1"}


def test_debug_records_show_the_wrapped_command(query_venv, caplog):
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    ScoutverVersions.get_all_available_versions(["tavox", "no.such.dist"],
                                                venv=str(query_venv.path))
    wrapped = 'bash -c "source %s/bin/activate; pip index versions %%s"' % (
        str(query_venv.path).replace(" ", "\\ "))
    assert {(r.name, r.levelno) for r in caplog.records} == {(LOGGER, logging.DEBUG)}
    messages = [r.msg for r in caplog.records]
    i = messages.index("stdout from " + wrapped % "tavox" + ":")
    assert isinstance(messages[i + 1], bytes) and b"Available versions: 22.10" in messages[i + 1]
    j = messages.index("stderr from " + wrapped % "no.such.dist" + ":")
    assert isinstance(messages[j + 1], bytes)
    assert "No matching distribution found for no.such.dist" in messages


# ---- with a scripted installer -------------------------------------------------

def test_store_follows_the_order_in_which_queries_finish(fake_pip):
    fake_pip.set(versions={"slow": ["2.0"], "a": ["1.0"], "b": ["1.1"]},
                 after={"slow": ["a", "b"]})
    found = ScoutverVersions.get_all_available_versions(["slow", "a", "b"])
    assert list(found)[-1] == "slow" and set(found) == {"slow", "a", "b"}
    for started in fake_pip.venv.glob("started-*"):
        started.unlink()
    latest = ScoutverVersions.get_latest_version(["slow", "a", "b"])
    assert list(latest)[-1] == "slow" and latest["slow"] == "2.0"


def test_no_packages_runs_nothing(fake_pip):
    before = threading.active_count()
    assert ScoutverVersions.get_all_available_versions([]) == {}
    assert ScoutverVersions.get_latest_version([], version="22.1") == {}
    assert threading.active_count() == before and fake_pip.calls() == []


def test_pre_is_asked_for_in_every_query(fake_pip, caplog):
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    fake_pip.set(versions={"a": ["1.0"], "b": ["1.0"]}, pre={"a": ["2.0b1", "1.0"]})
    assert ScoutverVersions.get_latest_version(["a", "b"], pre=True) == {"a": "2.0b1", "b": "1.0"}
    assert sorted(fake_pip.calls()) == [["index", "versions", n, "--pre"] for n in ("a", "b")]
    assert "stdout from pip index versions a --pre:" in [r.msg for r in caplog.records]


LISTED = ["22.11", "22.10", "22.1.3", "22.1rc1", "22.1", "22.0.post1", "21.0"]


@pytest.mark.parametrize("version, expected", [
    ("22.1", "22.1.3"),
    (Version("22.1"), "22.1.3"),
    ("22", "22.11"),
    ("22.1.0", None),          # only texts that begin with 22.1.0
    ("22.1rc", "22.1rc1"),     # a prefix ending in a letter continues freely
    ("22.0", "22.0.post1"),
    ("22.10", "22.10"),
    ("23", None),
    (None, "22.11"),
    ("", "22.11"),
])
def test_latest_version_of_a_release_line(fake_pip, version, expected):
    fake_pip.set(versions={"pkg": LISTED, "other": ["1.0"]})
    latest = ScoutverVersions.get_latest_version(["pkg", "other", "gone"], version=version)
    assert latest["pkg"] == expected and latest["gone"] is None
    assert latest["other"] == (None if version else "1.0")


@pytest.mark.parametrize("output, expected", [
    ("x (1)\nINSTALLED: 1\nLATEST: 2\nSee Available versions: 2, 1\n", ["2", "1"]),
    ("Available versions: 3\nAvailable versions: 9\n", ["3"]),
    ("no list here\n", None),
    ("", None),
])
def test_versions_line_is_found_anywhere(fake_pip, output, expected):
    fake_pip.set(raw={"pkg": output})
    assert ScoutverVersions.get_all_available_versions(["pkg"]) == {"pkg": expected}


def test_undecodable_output_loses_only_that_distribution(fake_pip, monkeypatch):
    reported = []
    monkeypatch.setattr(threading, "excepthook", reported.append)
    fake_pip.set(versions={"good": ["1.0"]}, raw={"bad": "Available versions: \xff\n"})
    assert ScoutverVersions.get_latest_version(["bad", "good"]) == {"good": "1.0"}
    assert [r.exc_type for r in reported] == [UnicodeDecodeError]
    frames = []
    tb = reported[0].exc_traceback
    while tb:
        frames.append(tb.tb_frame.f_code.co_name)
        tb = tb.tb_next
    assert "tavox.cli.commands.version.scoutver.ScoutverVersions._process_package" in frames


@pytest.mark.parametrize("char", ['"', "$", "`", "\\", "\n", ";", "&", "|", "<", ">", "'", "*"])
def test_environment_path_the_shell_would_misread_is_refused(fake_pip, tmp_path, char):
    venv = tmp_path / ("env%sx" % char)
    (venv / "bin").mkdir(parents=True)
    (venv / "bin" / "activate").write_text("")
    with pytest.raises(ValueError, match="virtual environment path"):
        ScoutverVersions.get_all_available_versions(["a"], venv=str(venv))
    with pytest.raises(ValueError, match="virtual environment path"):
        ScoutverVersions._process_package("a", "pip index versions a", {}, str(venv))
    assert fake_pip.calls() == []


def test_environment_without_activation_script_is_refused(fake_pip, tmp_path):
    with pytest.raises(ValueError, match="no activation script"):
        ScoutverVersions.get_latest_version(["a"], venv=str(tmp_path))
    assert fake_pip.calls() == []


@pytest.mark.parametrize("name", ["a b", "a;b", "$(x)", "-v", "", "a'b"])
def test_distribution_name_that_is_not_one_word_is_refused(fake_pip, name):
    with pytest.raises(ValueError, match="Invalid distribution name"):
        ScoutverVersions.get_all_available_versions(["ok", name])
    assert fake_pip.calls() == []


def test_environment_path_with_blanks_runs_inside_it(fake_pip, caplog):
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    fake_pip.set(versions={"a": ["1.0"]})
    assert " " in str(fake_pip.venv)
    assert ScoutverVersions.get_latest_version(["a"], venv=fake_pip.venv) == {"a": "1.0"}
    escaped = str(fake_pip.venv).replace(" ", "\\ ")
    assert ('stdout from bash -c "source %s/bin/activate; pip index versions a":' % escaped
            in [r.msg for r in caplog.records])


def test_process_package_without_store_makes_one(fake_pip):
    fake_pip.set(versions={"a": ["1.0"]})
    assert ScoutverVersions._process_package("a", "pip index versions a") == {"a": ["1.0"]}
    assert ScoutverVersions._process_package("b", "pip index versions b") == {"b": None}
