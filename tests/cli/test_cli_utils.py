"""Shell, question and table helpers of the commands."""
import io
import os
import subprocess
import sys

import pytest

from tavox.cli.utils import cmd, format_table, yes_or_no


def test_cmd_returns_standard_output_only(capfd):
    out = cmd("printf 'one\\ntwo\\n'; echo complaint >&2")
    assert out == "one\ntwo\n"
    # Standard error is left to the terminal.
    assert "complaint" in capfd.readouterr().err


def test_cmd_runs_in_the_given_environment(monkeypatch):
    monkeypatch.setenv("TAVOX_CMD_PROBE", "inherited")
    assert cmd("echo $TAVOX_CMD_PROBE") == "inherited\n"
    env = {"PATH": os.environ["PATH"], "TAVOX_CMD_PROBE": "given"}
    assert cmd("echo $TAVOX_CMD_PROBE ${HOME-unset}", env=env) == "given unset\n"


def test_cmd_failure_raises_with_the_output():
    with pytest.raises(subprocess.CalledProcessError) as exc:
        cmd("echo partial; exit 7")
    assert exc.value.returncode == 7
    assert exc.value.output == "partial\n"
    assert exc.value.cmd == "echo partial; exit 7"


@pytest.mark.parametrize("typed, default, expected, asked", [
    ("y\n", "no", True, 1),
    ("YES\n", "no", True, 1),
    ("  n  \n", "yes", False, 1),
    ("No\n", None, False, 1),
    ("\n", "no", False, 1),
    ("\n", "yes", True, 1),
    ("maybe\nsure\nyes\n", "no", True, 3),
    ("\n\nn\n", None, False, 3),
    ("", "yes", True, 1),   # end of input takes the default
    ("", "no", False, 1),
    ("", None, False, 1),
])
def test_yes_or_no(monkeypatch, capsys, typed, default, expected, asked):
    monkeypatch.setattr(sys, "stdin", io.StringIO(typed))
    assert yes_or_no("Are you sure you want to continue", default=default) is expected
    out = capsys.readouterr().out
    assert out.count("Are you sure you want to continue [") == asked
    assert out.count("Please answer 'yes' or 'no'") == asked - 1


def test_yes_or_no_prompt_shows_the_default(monkeypatch, capsys):
    monkeypatch.setattr(sys, "stdin", io.StringIO("y\ny\ny\n"))
    for default in ("no", "yes", None):
        yes_or_no("Go on?", default=default)
    assert capsys.readouterr().out == "Go on? [y/N] Go on? [Y/n] Go on? [y/n] "
    with pytest.raises(ValueError):
        yes_or_no("Go on?", default="perhaps")


def test_format_table_aligns_columns():
    lines = list(format_table([["tavox.connections", "22.1"], ["nuvik", 3]],
                              ["Package", "Version"]))
    assert lines == [
        "Package            Version",
        "-----------------  -------",
        "tavox.connections  22.1",
        "nuvik              3",
    ]


def test_format_table_without_rows():
    assert list(format_table([], ["Package", "Version"])) == [
        "Package  Version", "-------  -------"]
