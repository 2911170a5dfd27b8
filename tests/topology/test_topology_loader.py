"""Testbed files: loading, and refusing bad ones the way argparse reports."""
import argparse
import subprocess
import textwrap

import pytest

from tavox.topology import loader

TESTBED = """
testbed:
  name: lab-3
devices:
  r1:
    os: rhenx
    platform: tor9k
    connections:
      cli: {protocol: ssh, ip: 127.0.0.1}
  r2:
"""


def test_load_a_testbed(tmp_path, monkeypatch):
    (tmp_path / "lab.yaml").write_text(TESTBED)
    monkeypatch.chdir(tmp_path)

    testbed = loader.load("lab.yaml")

    assert testbed.testbed_file == "lab.yaml"     # as given
    assert testbed.name == "lab-3"
    assert sorted(testbed.devices) == ["r1", "r2"]
    r1 = testbed.devices["r1"]
    assert (r1.name, r1.os, r1.platform) == ("r1", "rhenx", "tor9k")
    assert r1.connections["cli"]["protocol"] == "ssh"
    assert testbed.devices["r2"].os is None


def test_testbed_name_defaults_to_the_file_name(tmp_path):
    path = tmp_path / "edge-lab.yml"
    path.write_text("devices: {}\n")
    testbed = loader.load(path)
    assert (testbed.name, testbed.devices, testbed.testbed_file) == ("edge-lab", {}, str(path))


BAD_FILES = [
    (None, "No such file or directory"),
    ("", "the file is empty"),
    ("- r1\n- r2\n", "expected a YAML mapping at the top level, found list"),
    ("devices: [r1, r2]\n", "'devices' must be a mapping, not list"),
    ("devices:\n  r1: tor9k\n", "device 'r1' must be a mapping, not str"),
    ("devices:\n  r1: {os: [}\n", "while parsing a flow"),
    ("devices: !!python/object:os.system {}\n", "could not determine a constructor"),
]


@pytest.mark.parametrize("content, reason", BAD_FILES)
def test_bad_testbed_files(tmp_path, content, reason):
    path = tmp_path / "bad.yaml"
    if content is not None:
        path.write_text(content)
    with pytest.raises(ValueError) as exc:
        loader.load(str(path))
    assert isinstance(exc.value, argparse.ArgumentTypeError)
    message = str(exc.value)
    assert message.startswith(f"cannot load testbed file '{path}': ")
    assert reason in message
    assert "\n" not in message


def test_bad_testbed_file_as_an_argparse_type(tmp_path, capsys):
    parser = argparse.ArgumentParser(prog="tavox shell")
    parser.add_argument("--testbed-file", type=loader.load)
    with pytest.raises(SystemExit) as exc:
        parser.parse_args(["--testbed-file", str(tmp_path / "none.yaml")])
    assert exc.value.code == 2
    assert capsys.readouterr().err.splitlines()[-1] == (
        f"tavox shell: error: argument --testbed-file: cannot load testbed file "
        f"'{tmp_path / 'none.yaml'}': No such file or directory")


def test_shell_command_refuses_a_bad_testbed(tavox_cmd, tmp_path):
    pytest.importorskip("tavox.cli.commands.shell")
    path = tmp_path / "list.yaml"
    path.write_text("- not a testbed\n")
    result = subprocess.run(tavox_cmd + ["shell", "--testbed-file", str(path)],
                            capture_output=True, text=True, stdin=subprocess.DEVNULL,
                            timeout=120)
    assert result.returncode == 2
    assert "Traceback" not in result.stderr
    assert result.stderr.splitlines()[-1] == textwrap.dedent(f"""\
        tavox shell: error: argument --testbed-file: cannot load testbed file \
'{path}': expected a YAML mapping at the top level, found list""")
