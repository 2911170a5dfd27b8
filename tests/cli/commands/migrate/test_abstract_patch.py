"""Applying the migration's suggestions: YAML documents through ruamel.yaml's
round trip, Python sources line by line, and the dispatcher that reads,
rewrites and reports each file."""
import io
import logging
import os
import queue
import re
import signal
import stat
import subprocess
import sys
import shutil
import textwrap
import time
from collections import Counter
from pathlib import Path

import pytest
import yaml as pyyaml
from ruamel.yaml import YAML

from .conftest import SANITIZED, drain

LOGGER = "tavox.cli.commands.migrate.abstract"


def load(text):
    yaml = YAML()
    yaml.preserve_quotes = True
    return yaml.load(text)


def dump(obj):
    yaml = YAML()
    out = io.StringIO()
    yaml.dump(obj, out)
    return out.getvalue()


def dedent(text):
    return textwrap.dedent(text).lstrip("\n")


@pytest.fixture
def patch(command, abstract):
    """patch(path, msg_body, fixes=, comments=, patch_type=) runs apply_patches
    on a message for ``path`` and returns (result, successes, failures)."""
    def run(path, body, fixes=False, comments=False, patch_type="PYTHON"):
        command.apply_fixes_flag = fixes
        command.apply_comments_flag = comments
        ok, failed = queue.Queue(), queue.Queue()
        result = command.apply_patches(
            patch_type=getattr(abstract.FileTypes, patch_type),
            msg=f"{path}:\n{body}", success_queue=ok, failer_queue=failed)
        return result, drain(ok), drain(failed)
    return run


# ---- Python sources ----------------------------------------------------------

SCRIPT = [
    "import x\n",
    "\n",
    "    if platform == 'q9800cl':\n",
    "        pass\n",
    "    a = 1\n",
    "    b = 2\n",
    "    if platform == 'ap':\n",
]


@pytest.mark.parametrize("msg_lines, expected, offset", [
    (["    line 3: q9800cl -> tor9k", "      or platform -> submodel"],
     SCRIPT[:2] + ["    # * ABSTRACTION:TOKEN_CHANGE - q9800cl -> tor9k\n",
                   "    if platform == 'tor9k':\n"] + SCRIPT[3:], 1),
    # the second fix acts on what was line 7 of the checked file
    (["    line 3: q9800cl -> tor9k", "    line 7: ap -> tor9k"],
     SCRIPT[:2] + ["    # * ABSTRACTION:TOKEN_CHANGE - q9800cl -> tor9k\n",
                   "    if platform == 'tor9k':\n"] + SCRIPT[3:6]
     + ["    # * ABSTRACTION:TOKEN_CHANGE - ap -> tor9k\n", "    if platform == 'tor9k':\n"], 2),
    # a list of alternatives is no single replacement; notes are not applied
    (["    line 3: q9800cl -> tor9k or q9k",
      "    Please ensure references to platform are being assigned/compared "
      "with correct variable values"], SCRIPT, 0),
    ([], SCRIPT, 0),
])
def test_python_fixes(command, msg_lines, expected, offset):
    lines = list(SCRIPT)
    result = command.apply_python_fixes(lines, msg_lines)
    assert result == (expected, offset)
    assert result[0] is lines


@pytest.mark.parametrize("line, fixed", [
    # a value that holds the one being fixed keeps its text
    ("assert d.platform == 'ap' or d.platform == 'zel_ap'\n",
     "assert d.platform == 'tor9k' or d.platform == 'zel_ap'\n"),
    ("if platform == \"ap\": capture(ap_mode, 'ap.x', 'ap-1')\n",
     "if platform == \"tor9k\": capture(ap_mode, 'ap.x', 'ap-1')\n"),
    # every whole occurrence, quoted or bare, is replaced
    ("platform = 'ap' if x else \"ap\"  # ap\n",
     "platform = 'tor9k' if x else \"tor9k\"  # tor9k\n"),
    ("platform='ap'", "platform='tor9k'"),
    ("x = ap\n", "x = tor9k\n"),
    ("name = 'café-ap' or 'ap'\n", "name = 'café-ap' or 'tor9k'\n"),
])
def test_python_fix_replaces_whole_values_only(command, line, fixed):
    lines, offset = command.apply_python_fixes([line], ["    line 1: ap -> tor9k"])
    assert offset == 1 and lines[1] == fixed


def test_python_fix_of_two_values_of_which_one_holds_the_other(command):
    # both suggestions of one line apply; the first must not spoil the second
    msg = ["    line 1: ap -> tor9k", "    line 1: zel_ap -> tor9k"]
    lines, _ = command.apply_python_fixes(["if p == 'ap' or p == 'zel_ap':\n"], msg)
    assert lines[-1] == "if p == 'tor9k' or p == 'tor9k':\n"


def test_python_comment_goes_above_the_line_it_names(command):
    # a check on line 5 and a fix further down, on line 7: the fix comment
    # below must not push the check comment off its line
    msg = ['    line 5: Please ensure "zz" is a valid platform', "    line 7: ap -> tor9k"]
    lines, offset = command.apply_python_fixes(list(SCRIPT), msg)
    lines, offset = command.apply_python_comments(lines, msg, offset)
    assert offset == 2
    assert lines == SCRIPT[:4] + [
        '    # * ABSTRACTION:TOKEN_CHECK - Please ensure "zz" is a valid platform\n',
        "    a = 1\n", "    b = 2\n",
        "    # * ABSTRACTION:TOKEN_CHANGE - ap -> tor9k\n", "    if platform == 'tor9k':\n"]


def test_python_comment_with_offset_of_its_own(command):
    # without fix lines to account for it, an offset counts lines above all
    lines = ["# header\n"] + SCRIPT
    msg = ['    line 5: Please ensure "zz" is a valid platform']
    lines, offset = command.apply_python_comments(lines, msg, 1)
    assert offset == 2 and lines[5] == "    # * ABSTRACTION:TOKEN_CHECK - " + msg[0][12:] + "\n"
    assert lines[6] == "    a = 1\n"


def test_python_second_run_adds_no_second_comment(command):
    msg = ["    line 3: q9800cl -> tor9k",
           '    line 3: Please ensure "u1" is a valid platform',
           '    line 3: Please ensure "u2" is a valid platform',
           '    line 7: Please ensure "u3" is a valid platform']
    lines, offset = command.apply_python_fixes(list(SCRIPT), msg)
    lines, offset = command.apply_python_comments(lines, msg, offset)
    assert offset == 4
    once = list(lines)
    # as a new check numbers the patched file: the fixed value is gone
    again = ['    line 6: Please ensure "u1" is a valid platform',
             '    line 6: Please ensure "u2" is a valid platform',
             '    line 11: Please ensure "u3" is a valid platform']
    lines, offset = command.apply_python_fixes(lines, again)
    assert command.apply_python_comments(lines, again, offset) == (once, 0)


def test_python_line_one_does_not_look_at_the_last_line(command):
    comment = '# * ABSTRACTION:TOKEN_CHECK - Please ensure "x" is a valid platform\n'
    lines = ["platform = 'x'\n", comment]
    msg = ['    line 1: Please ensure "x" is a valid platform']
    assert command.apply_python_comments(lines, msg) == ([comment, "platform = 'x'\n", comment], 1)


@pytest.mark.parametrize("method, line", [
    ("apply_python_fixes", "line 9: ap -> tor9k"),
    ("apply_python_fixes", "line 0: ap -> tor9k"),
    ("apply_python_comments", 'line 0: Please ensure "x" is a valid platform'),
])
def test_python_line_out_of_range(command, method, line):
    lines = ["platform = 'ap'\n"]
    with pytest.raises(IndexError):
        getattr(command, method)(lines, [line])
    assert lines == ["platform = 'ap'\n"]


@pytest.mark.parametrize("method, line", [
    ("apply_python_fixes", "    line 3: q9800cl -> tor9k"),
    ("apply_python_comments", '    line 3: Please ensure "x" is a valid platform'),
])
def test_python_suggestions_from_any_iterable(command, method, line):
    from_list = getattr(command, method)(list(SCRIPT), [line])
    assert getattr(command, method)(list(SCRIPT), (x for x in [line])) == from_list
    assert from_list[1] == 1


@pytest.mark.parametrize("method", ["apply_python_fixes", "apply_python_comments"])
@pytest.mark.parametrize("args, error", [
    ((tuple(SCRIPT), ["line 3: q9800cl -> tor9k"]), TypeError),
    ((list(SCRIPT), ["line 3: q9800cl -> tor9k"], None), TypeError),
    ((list(SCRIPT), [b"line 3: q9800cl -> tor9k"]), TypeError),
    ((list(SCRIPT), [3]), AttributeError),
])
def test_python_appliers_refuse_wrong_arguments(command, method, args, error):
    with pytest.raises(error):
        getattr(command, method)(*args)


# ---- YAML documents ------------------------------------------------------------

TESTBED = dedent("""
    # lab testbed
    testbed:
      name: "lab"   # shown in reports
    groups:
      edge:
        platforms: [ap, 'tor9k', x]
    devices:
      r1:
        os: rhenx
        platform: 'q9800cl'
      r1.lab:
        os: rhenx
        platform: ap
      7:
        platform: ap
    platform: ap
    """)


@pytest.mark.parametrize("line, changed", [
    ("devices.r1.platform: q9800cl -> tor9k",
     ("  r1:\n    os: rhenx\n    # * ABSTRACTION:TOKEN_CHANGE - platform -> tor9k\n"
      "    platform: 'tor9k'\n")),
    ("devices.r1.model: q9800",
     ("    platform: 'q9800cl'\n    # * ABSTRACTION:TOKEN_ADDITION - model: q9800\n"
      "    model: q9800\n")),
    ("platform: ap -> tor9k",
     "# * ABSTRACTION:TOKEN_CHANGE - platform -> tor9k\nplatform: tor9k\n"),
    # a device whose name has a dot in it
    ("devices.r1.lab.platform: ap -> tor9k",
     ("    os: rhenx\n    # * ABSTRACTION:TOKEN_CHANGE - platform -> tor9k\n"
      "    platform: tor9k\n")),
    # a device whose name is a number
    ("devices.7.platform: ap -> tor9k",
     "  7:\n    # * ABSTRACTION:TOKEN_CHANGE - platform -> tor9k\n    platform: tor9k\n"),
    # only the matching platform of a group changes, the others stay
    ("groups.edge.platforms: ap -> tor9k",
     ("  edge:\n    # * ABSTRACTION:TOKEN_CHANGE - platforms -> tor9k\n"
      "    platforms: [tor9k, 'tor9k', x]\n")),
])
def test_yaml_fix(command, line, changed):
    obj = load(TESTBED)
    msg_lines = ["    " + line]
    assert command.apply_yaml_fix(obj, msg_lines) is obj
    assert msg_lines == []
    text = dump(obj)
    assert changed in text
    assert text.count("ABSTRACTION") == 1
    assert text.startswith('# lab testbed\ntestbed:\n  name: "lab"   # shown in reports\n')


def test_yaml_one_marker_per_mapping(command):
    obj = load(TESTBED)
    command.apply_yaml_fix(obj, ["    devices.r1.platform: q9800cl -> tor9k",
                                 "    devices.r1.model: q9800"])
    assert obj["devices"]["r1"]["model"] == "q9800"
    assert dump(obj).count("ABSTRACTION") == 1
    # the same holds for a marker that was read from the file, above the
    # mapping's first key
    again = load(dump(obj).replace("    os: rhenx\n    # * ABS", "    # * ABS", 1))
    command.apply_yaml_comment(again, ['    devices.r1.platform: Please ensure "x" is a valid '
                                       'rhenx platform'])
    assert dump(again).count("ABSTRACTION") == 1


def test_yaml_comment_pass(command, caplog):
    obj = load(TESTBED)
    msg_lines = ["    devices.r1.platform: q9800cl -> tor9k",
                 '    devices.r1.lab.platform: Please ensure "ap" is a valid rhenx platform',
                 "    groups.edge.platforms: Please ensure \"x\" is a valid platform"]
    with caplog.at_level(logging.DEBUG, LOGGER):
        command.apply_yaml_comment(obj, msg_lines)
    assert msg_lines == ["    devices.r1.platform: q9800cl -> tor9k",
                         "    groups.edge.platforms: Please ensure \"x\" is a valid platform"]
    assert ('    # * ABSTRACTION:TOKEN_CHECK - Please ensure "ap" is a valid rhenx platform\n'
            "    platform: ap\n") in dump(obj)
    assert [(r.levelname, r.getMessage()) for r in caplog.records] == [
        ("DEBUG", "Applying comment"),
        ("WARNING", 'Could not parse line: groups.edge.platforms: Please ensure "x" is a valid '
                    'platform')]


@pytest.mark.parametrize("path", ["devices.r9", "groups.edge.platforms.x"])
def test_yaml_path_that_leads_nowhere(command, path):
    obj = load(TESTBED)
    with pytest.raises(KeyError, match=path):
        command.apply_yaml_fix(obj, [f"    {path}.platform: ap -> tor9k"])
    assert dump(obj) == TESTBED


# ---- YAML files edited in their own text ---------------------------------------------

@pytest.mark.parametrize("before, body, fixes, comments, after", [
    # a device indented deeper than its mapping, a blank line among its keys
    (b"devices:\n  r1:\n      platform: bogus\n\n      x: 1\n",
     '    devices.r1.platform: Please ensure "bogus" is a valid unknown_os platform\n',
     False, True,
     b"devices:\n  r1:\n      # * ABSTRACTION:TOKEN_CHECK - Please ensure \"bogus\" is a valid "
     b"unknown_os platform\n      platform: bogus\n\n      x: 1\n"),
    # CRLF, trailing blanks, blanks after ":", a comment line inside the device
    (b"devices:\r\n    core:\r\n      # about os\r\n      os: rhenx   \r\n"
     b"      platform:   q9300 \r\n      model:   m1\r\n",
     "    devices.core.platform: q9300 -> tor9k\n    devices.core.model: m1 -> q9300\n",
     True, True,
     b"devices:\r\n    core:\r\n      # about os\r\n      os: rhenx   \r\n"
     b"      # * ABSTRACTION:TOKEN_CHANGE - platform -> tor9k\r\n"
     b"      platform:   tor9k \r\n      model:   q9300\r\n"),
    # a byte-order mark, a value in quotes, a key added at the end of its
    # mapping (before the comment after it), a document end marker
    (b"\xef\xbb\xbfdevices:\n r1:\n   platform: \"ap\"  # edge\n   # spare\n...\n",
     "    devices.r1.platform: ap -> tor9k\n    devices.r1.model: q9100ap\n", True, False,
     b"\xef\xbb\xbfdevices:\n r1:\n   # * ABSTRACTION:TOKEN_CHANGE - platform -> tor9k\n"
     b"   platform: \"tor9k\"  # edge\n   model: q9100ap\n   # spare\n...\n"),
    # a flow mapping on one line, and a value that would read as a boolean
    (b"devices:\n  r1: {os: rhenx, platform: ap}\n",
     "    devices.r1.platform: ap -> yes\n    devices.r1.model: q9100ap\n", True, False,
     b"devices:\n  # * ABSTRACTION:TOKEN_CHANGE - platform -> yes\n"
     b"  r1: {os: rhenx, platform: 'yes', model: q9100ap}\n"),
])
def test_yaml_file_keeps_its_text(patch, tmp_path, before, body, fixes, comments, after):
    path = tmp_path / "tb.yaml"
    path.write_bytes(before)
    assert patch(path, body, fixes, comments, "YAML")[0] is True
    assert path.read_bytes() == after


@pytest.mark.parametrize("value", ["yes", "on", "1e3", "0o17", "1:20", "12", "~", "null",
                                   "2001-12-14", "-", "-x", "#x", "a#b", ":a", "x:", "[x]",
                                   "x,y", "'q", 'q"', "@x", "%x", "&a", "*a", "!t", "é"])
@pytest.mark.parametrize("before", ["platform: ap", "platform: 'ap'", 'platform: "ap"',
                                    "platform:", "{platform: ap}"])
def test_yaml_new_value_reads_back_as_itself(patch, tmp_path, value, before):
    # whichever quoting the value needs, both YAML versions read it as text
    path = tmp_path / "tb.yaml"
    nested = before.startswith("{")
    path.write_text("devices:\n  r1: %s\n" % before if nested else
                    "devices:\n  r1:\n    %s\n" % before)
    patch(path, f"    devices.r1.platform: ap -> {value}\n", True, False, "YAML")
    text = path.read_text()
    for loaded in (pyyaml.safe_load(text), YAML(typ="safe", pure=True).load(text)):
        assert loaded["devices"]["r1"]["platform"] == value, text


def round_trip_data(command, text, body, fixes, comments):
    """The data of what the round trip of the passes writes."""
    obj, lines = load(text), body.splitlines()
    if fixes:
        obj = command.apply_yaml_fix(obj, lines)
    if comments:
        obj = command.apply_yaml_comment(obj, lines)
    return pyyaml.safe_load(dump(obj))


@pytest.mark.parametrize("text", [
    "devices:\n  r1:\n    os: !!str rhenx\n    platform: ap\n",
    "base: &os rhenx\ndevices:\n  r1:\n    os: *os\n    platform: ap\n",
    "devices:\n  r1: {os: rhenx,\n       platform: ap}\n",
])
def test_yaml_file_beyond_the_native_patcher(patch, command, tmp_path, caplog, text):
    path = tmp_path / "tb.yaml"
    path.write_text(text)
    body = "    devices.r1.platform: ap -> tor9k\n    devices.r1.model: q9100ap\n"
    with caplog.at_level(logging.DEBUG, LOGGER):
        assert patch(path, body, True, True, "YAML") == (
            True, [f"{path}:\n  - FIXES_APPLIED\n  - COMMENTS_ADDED\n"], [])
    assert f"{path}: patched through the round trip" in caplog.text
    assert pyyaml.safe_load(path.read_text()) == round_trip_data(command, text, body, True, True)


def test_round_trip_result_is_verified(abstract, tmp_path, caplog):
    # A subclass of its own gets the round trip, with the document's objects;
    # where the file's own text with the changed lines would not hold the
    # data, the dumped document is written instead, and said so.
    seen = []

    class Command(abstract.MigrateAbstractCommand):
        def apply_yaml_comment(self, obj, msg_lines):
            seen.append(type(obj).__name__)
            return super().apply_yaml_comment(obj, msg_lines)

    command = Command(prog="tavox migrate abstract")
    command.apply_fixes_flag, command.apply_comments_flag = False, True
    path = tmp_path / "tb.yaml"
    path.write_bytes(b"devices:\n  r1:\n      platform: bogus\n\n      x: 1\n")
    msg = f'{path}:\n    devices.r1.platform: Please ensure "bogus" is a valid any platform\n'
    with caplog.at_level(logging.WARNING, LOGGER):
        assert command.apply_patches(patch_type=abstract.FileTypes.YAML, msg=msg,
                                     success_queue=queue.Queue(), failer_queue=queue.Queue())
    assert seen == ["CommentedMap"]
    assert [r.getMessage() for r in caplog.records] == [
        f"{str(path)!r}: its own layout could not be kept with these changes; it is written as "
        "the YAML dumper lays it out"]
    assert pyyaml.safe_load(path.read_text()) == {"devices": {"r1": {"platform": "bogus", "x": 1}}}
    assert "# * ABSTRACTION:TOKEN_CHECK" in path.read_text()


# ---- the dispatcher ------------------------------------------------------------

def test_without_flags_nothing_is_read_or_reported(patch, tmp_path):
    assert patch(tmp_path / "absent.py", "    line 1: a -> b\n") == (None, [], [])


def test_python_notes_only(patch, tmp_path):
    path = tmp_path / "t.py"
    path.write_text("platform = dev.platform\n")
    body = "    Please ensure references to platform are being assigned/compared with correct " \
           "variable values\n"
    assert patch(path, body, fixes=True) == (True, [], [])
    assert path.read_text() == "platform = dev.platform\n"


@pytest.mark.parametrize("fixes, comments, report", [
    (True, False, "  - FIXES_APPLIED\n"),
    (False, True, "  - COMMENTS_ADDED\n"),
    (True, True, "  - FIXES_APPLIED\n  - COMMENTS_ADDED\n"),
])
def test_yaml_reports(patch, tmp_path, monkeypatch, fixes, comments, report):
    (tmp_path / "tb.yaml").write_text(TESTBED)
    monkeypatch.chdir(tmp_path)
    body = ("    devices.r1.platform: q9800cl -> tor9k\n"
            '    devices.r1.lab.platform: Please ensure "ap" is a valid rhenx platform\n')
    result = patch("tb.yaml", body, fixes, comments, "YAML")
    assert result == (True, [f"{tmp_path}/tb.yaml:\n{report}"], [])
    text = (tmp_path / "tb.yaml").read_text()
    assert ("platform -> tor9k" in text) == fixes
    assert ("TOKEN_CHECK" in text) == comments


@pytest.mark.parametrize("comment_line, fails", [
    ('    devices.r1.lab.platform: Please ensure "ap" is a valid rhenx platform', False),
    ('    devices.nowhere.platform: Please ensure "ap" is a valid rhenx platform', True),
])
def test_yaml_both_passes_leave_what_each_pass_wrote(patch, command, tmp_path, comment_line,
                                                     fails):
    # The file ends as the fix pass and its write, then the comment pass and
    # its write, would leave it; when the comment pass fails, the fixes are
    # written all the same.
    path = tmp_path / "tb.yaml"
    path.write_text(TESTBED)
    lines = ["    devices.r1.platform: q9800cl -> tor9k", comment_line]
    body = "\n".join(lines) + "\n"
    fixed = command.apply_yaml_fix(load(TESTBED), lines)  # takes the fix line out
    if fails:
        with pytest.raises(KeyError):
            patch(path, body, True, True, "YAML")
        assert path.read_text() == dump(fixed)
    else:
        assert patch(path, body, True, True, "YAML")[0] is True
        assert path.read_text() == dump(command.apply_yaml_comment(fixed, lines))
    assert os.listdir(tmp_path) == ["tb.yaml"]


def test_yaml_duplicate_keys(patch, tmp_path, caplog):
    path = tmp_path / "dup.yaml"
    original = b"devices:\n  r1:\n    platform: ap\n    platform: q9800cl\n"
    path.write_bytes(original)
    with caplog.at_level(logging.ERROR, LOGGER):
        result = patch(path, "    devices.r1.platform: ap -> tor9k\n", True, True, "YAML")
    assert result == (False, [], [f"{path}:\n  - LOADING_FAILURE - duplicate keys\n"])
    assert [r.getMessage() for r in caplog.records] == [f"`{path}` contains duplicate keys"]
    assert path.read_bytes() == original


def test_python_both_passes_keep_line_endings(patch, tmp_path):
    path = tmp_path / "t.py"
    path.write_bytes(b"x = 1\r\nif platform == 'ap':\r\n    y = platform == 'zz'\r\n")
    body = "    line 2: ap -> tor9k\n    line 3: Please ensure \"zz\" is a valid platform\n"
    result = patch(path, body, fixes=True, comments=True)
    assert result == (True, [f"{path}:\n  - FIXES_ADDED\n  - COMMENTS_ADDED\n"], [])
    assert path.read_bytes() == (
        b"x = 1\r\n# * ABSTRACTION:TOKEN_CHANGE - ap -> tor9k\r\nif platform == 'tor9k':\r\n"
        b"    # * ABSTRACTION:TOKEN_CHECK - Please ensure \"zz\" is a valid platform\r\n"
        b"    y = platform == 'zz'\r\n")


def test_init_message_applies_only_its_own_lines(patch, tmp_path):
    pkg = tmp_path / "rhenx" / "ap"
    pkg.mkdir(parents=True)
    path = pkg / "__init__.py"
    path.write_text("from nuvik.abstract import declare_token\n\ndeclare_token(__name__)\n")
    body = (f"    line 3: declare_token(__name__) -> declare_token(model='q9100ap')\n"
            f"    move {pkg} to {tmp_path}/rhenx/tor9k/q9100ap\n"
            f"{tmp_path}/rhenx/tor9k/__init__.py:\n"
            f"    from nuvik.abstract import declare token\n"
            f"    line 3: declare_token(__name__) -> declare_token(platform='tor9k')\n")
    assert patch(path, body, fixes=True) == (True, [f"{path}:\n  - FIXES_ADDED\n"], [])
    assert path.read_text() == (
        "from nuvik.abstract import declare_token\n\n"
        "# * ABSTRACTION:TOKEN_CHANGE - declare_token(__name__) -> declare_token(model='q9100ap')\n"
        "declare_token(model='q9100ap')\n")


def test_failing_pass_leaves_the_file(patch, tmp_path):
    path = tmp_path / "t.py"
    path.write_text("platform = 'ap'\n")
    with pytest.raises(IndexError):
        patch(path, "    line 1: ap -> tor9k\n    line 5: zz -> tor9k\n", fixes=True)
    assert path.read_text() == "platform = 'ap'\n"
    assert os.listdir(tmp_path) == ["t.py"]


@pytest.mark.parametrize("patch_type, name, text, body", [
    ("PYTHON", "t.py", "platform = 'ap'\n", "    line 1: ap -> tor9k\n"),
    ("YAML", "tb.yaml", "platform: ap\n", "    platform: ap -> tor9k\n"),
])
def test_read_only_file_is_refused_and_kept(patch, tmp_path, patch_type, name, text, body):
    path = tmp_path / name
    path.write_text(text)
    path.chmod(0o444)
    with pytest.raises(PermissionError):
        patch(path, body, fixes=True, patch_type=patch_type)
    assert path.read_text() == text
    assert os.listdir(tmp_path) == [name]


def test_mode_and_symbolic_link_are_kept(patch, tmp_path):
    real = tmp_path / "real.py"
    real.write_text("platform = 'ap'\n")
    real.chmod(0o750)
    link = tmp_path / "link.py"
    link.symlink_to(real)
    patch(link, "    line 1: ap -> tor9k\n", fixes=True)
    assert link.is_symlink()
    assert real.read_text() == "# * ABSTRACTION:TOKEN_CHANGE - ap -> tor9k\nplatform = 'tor9k'\n"
    assert stat.S_IMODE(real.stat().st_mode) == 0o750


# ---- the command, end to end -------------------------------------------------------

REPO = {
    "tests/rhenx/__init__.py": "from nuvik.abstract import declare_token\n"
                               "declare_token(__name__)\n",
    "tests/rhenx/ap/__init__.py": "from nuvik.abstract import declare_token\n\n"
                                  "declare_token(__name__)\n",
    "tests/tb.yaml": dedent("""
        # testbed of the lab
        testbed:
          name: "lab1"
        groups:
          edge:
            platforms: [ap, 'tor9k']
        devices:
          r1:
            os: rhenx
            type: router
            platform: 'q9800cl'
            model: old
          r2:
            os: rhenx
            platform: zz9
        """),
    "tests/dup.yaml": "devices:\n  r1:\n    platform: ap\n    platform: ap\n",
    "tests/t.py": dedent("""
        def t(dev):
            if dev.platform == "q9800cl":
                pass
            if dev.platform == "zz9":
                return platform == "ap"
        """),
}

FIXED = {
    "tests/rhenx/__init__.py": "from nuvik.abstract import declare_token\n"
                               "# * ABSTRACTION:TOKEN_CHANGE - declare_token(__name__) -> "
                               "declare_token(os='rhenx')\n"
                               "declare_token(os='rhenx')\n",
    "tests/rhenx/ap/__init__.py": "from nuvik.abstract import declare_token\n\n"
                                  "# * ABSTRACTION:TOKEN_CHANGE - declare_token(__name__) -> "
                                  "declare_token(model='q9100ap')\n"
                                  "declare_token(model='q9100ap')\n",
    "tests/tb.yaml": REPO["tests/tb.yaml"]
    .replace("    platforms: [ap,", "    # * ABSTRACTION:TOKEN_CHANGE - platforms -> tor9k\n"
                                    "    platforms: [tor9k,")
    .replace("    platform: 'q9800cl'\n    model: old\n",
             "    # * ABSTRACTION:TOKEN_CHANGE - platform -> tor9k\n"
             "    platform: 'tor9k'\n    model: q9800cl\n"),
    "tests/t.py": REPO["tests/t.py"]
    .replace('    if dev.platform == "q9800cl"',
             '    # * ABSTRACTION:TOKEN_CHANGE - q9800cl -> tor9k\n    if dev.platform == "tor9k"')
    .replace('        return platform == "ap"',
             '        # * ABSTRACTION:TOKEN_CHANGE - ap -> tor9k\n        return platform == "tor9k"'),
}

CHECKED = {
    "tests/tb.yaml": "    # * ABSTRACTION:TOKEN_CHECK - Please ensure \"zz9\" is a valid rhenx "
                     "platform\n    platform: zz9\n",
    "tests/t.py": '    # * ABSTRACTION:TOKEN_CHECK - Please ensure "zz9" is a valid platform\n'
                  '    if dev.platform == "zz9":\n',
}


def run_migrate(root, *options):
    proc = subprocess.run([sys.executable, "-m", "tavox.cli.main", "migrate", "abstract",
                           str(root), *options], capture_output=True, text=True,
                          env=dict(os.environ), timeout=300)
    assert proc.returncode == 0, proc.stderr
    logs = {}
    for name in ("changes", "success", "failures"):
        with open(f"/tmp/tavox_migrate_{name}.log") as f:
            logs[name] = f.read()
    return logs


def write_tree(root, files):
    for rel, text in files.items():
        path = root / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text)


def read_tree(root):
    return {str(p.relative_to(root)): p.read_text()
            for p in sorted(root.rglob("*")) if p.is_file()}


def test_command_end_to_end(tmp_path):
    root = tmp_path / "repo"
    write_tree(root, REPO)
    dup = f"{root}/tests/dup.yaml:\n  - LOADING_FAILURE - duplicate keys\n\n"

    logs = run_migrate(root)
    assert read_tree(root) == REPO
    assert logs["success"] == logs["failures"] == ""
    assert f"{root}/tests/t.py:\n    line 2: q9800cl -> tor9k\n" in logs["changes"]

    fixed = root.parent / "fixed"
    write_tree(fixed, REPO)
    logs = run_migrate(fixed, "--apply-fixes")
    assert read_tree(fixed) == {**REPO, **FIXED}
    assert logs["success"] == "".join(f"{fixed}/{rel}:\n  - {report}\n\n" for rel, report in [
        ("tests/rhenx/__init__.py", "FIXES_ADDED"), ("tests/rhenx/ap/__init__.py", "FIXES_ADDED"),
        ("tests/tb.yaml", "FIXES_APPLIED"), ("tests/t.py", "FIXES_ADDED")])
    assert logs["failures"] == dup.replace(str(root), str(fixed))

    commented = root.parent / "commented"
    write_tree(commented, REPO)
    run_migrate(commented, "--apply-comments")
    tree = read_tree(commented)
    for rel, text in CHECKED.items():
        assert text in tree[rel]
        assert tree[rel].count("ABSTRACTION") == 1
    assert tree["tests/rhenx/__init__.py"] == REPO["tests/rhenx/__init__.py"]

    both = root.parent / "both"
    write_tree(both, REPO)
    logs = run_migrate(both, "-f", "-c")
    tree = read_tree(both)
    for rel, text in CHECKED.items():
        assert text in tree[rel]
    assert f"{both}/tests/t.py:\n  - FIXES_ADDED\n  - COMMENTS_ADDED\n" in logs["success"]
    assert f"{both}/tests/tb.yaml:\n  - FIXES_APPLIED\n  - COMMENTS_ADDED\n" in logs["success"]

    # a second run over the patched tree changes nothing
    logs = run_migrate(both, "-f", "-c")
    assert read_tree(both) == tree
    assert logs["failures"] == dup.replace(str(root), str(both))


def test_read_only_file_becomes_a_failure_item(tmp_path):
    root = tmp_path / "repo"
    write_tree(root, {"t.py": 'if platform == "ap":\n    pass\n'})
    (root / "t.py").chmod(0o444)
    logs = run_migrate(root, "-f")
    assert logs["failures"] == (f"{root}/t.py\n  - PATCHING_ERROR: Failed to apply patch: "
                                f"[Errno 13] Permission denied: '{root}/t.py'\n\n")
    assert (root / "t.py").read_text() == 'if platform == "ap":\n    pass\n'


SAMPLE = Path(__file__).resolve().parents[4] / "examples" / "sample_repo"

SAMPLE_FIXES = {
    "testbeds/lab.yaml": [
        ("    platforms: [ap, tor9k, Q9300]",
         "    # * ABSTRACTION:TOKEN_CHANGE - platforms -> tor9k\n"
         "    platforms: [tor9k, tor9k, Q9300]"),
        ("    platform: ap\n    model: ap-old\n",
         "    # * ABSTRACTION:TOKEN_CHANGE - platform -> tor9k\n"
         "    platform: tor9k\n    model: q9100ap\n"),
        ("    platform: q9800cl\n    connections:\n      cli: {protocol: ssh, ip: 192.0.2.12}\n",
         "    # * ABSTRACTION:TOKEN_CHANGE - platform -> tor9k\n"
         "    platform: tor9k\n    connections:\n      cli: {protocol: ssh, ip: 192.0.2.12}\n"
         "    model: q9800cl\n"),
        ("    platform: q9300\n    connections:\n      cli: {protocol: ssh, ip: 192.0.2.21}\n",
         "    # * ABSTRACTION:TOKEN_CHANGE - platform -> tor9k\n"
         "    platform: tor9k\n    connections:\n      cli: {protocol: ssh, ip: 192.0.2.21}\n"
         "    model: q9300\n"),
        ("    platform: Q9300-24S-D\n    connections:\n      cli: {protocol: ssh, ip: 192.0.2.31}\n",
         "    # * ABSTRACTION:TOKEN_CHANGE - platform -> q9k\n"
         "    platform: q9k\n    connections:\n      cli: {protocol: ssh, ip: 192.0.2.31}\n"
         "    model: q9300\n    pid: Q9300-24S-D\n"),
    ],
    "lib/rhenx/ap/__init__.py": [
        ("declare_token(__name__)",
         "# * ABSTRACTION:TOKEN_CHANGE - declare_token(__name__) -> declare_token(model='q9100ap')"
         "\ndeclare_token(model='q9100ap')"),
    ],
    "scripts/test_connect.py": [
        ('    return device.platform == "Q9300-24S-D"',
         "    # * ABSTRACTION:TOKEN_CHANGE - Q9300-24S-D -> q9k\n"
         '    return device.platform == "q9k"'),
    ],
}

SAMPLE_COMMENTS = {
    "testbeds/lab.yaml": [
        ("    os: rhen\n    platform: zz-edge",
         "    os: rhen\n"
         '    # * ABSTRACTION:TOKEN_CHECK - Please ensure "zz-edge" is a valid rhen platform\n'
         "    platform: zz-edge"),
    ],
    "lib/hexos/__init__.py": [
        ("declare_token(__name__)",
         "# * ABSTRACTION:TOKEN_CHECK - Please ensure hexos is a valid os\n"
         "declare_token(__name__)"),
    ],
}


def edited(tree, edits):
    tree = dict(tree)
    for rel, changes in edits.items():
        for old, new in changes:
            assert tree[rel].count(old) == 1, (rel, old)
            tree[rel] = tree[rel].replace(old, new)
    return tree


def log_items(text):
    return Counter(text.split("\n\n")) if text else Counter()


@pytest.mark.skipif(not SAMPLE.is_dir(), reason="the sample repository is not in this tree")
def test_sample_repository(tmp_path):
    original = read_tree(SAMPLE)
    copies = {}
    for name, options in [("check", ()), ("fixes", ("--apply-fixes",)),
                          ("comments", ("--apply-comments",)), ("both", ("-f", "-c"))]:
        root = tmp_path / name
        shutil.copytree(SAMPLE, root)
        copies[name] = (root, read_tree_after(root, options))

    root, (tree, logs) = copies["check"]
    assert tree == original and logs["success"] == logs["failures"] == ""
    assert f"{root}/testbeds/draft.yaml: Could not load yaml file\n" in logs["changes"]

    for name in ("fixes", "comments", "both"):
        root, (tree, logs) = copies[name]
        fixes, comments = name != "comments", name != "fixes"
        # every changed file is reported, once; a YAML file is reported for
        # each pass that rewrote it, changed or not
        changed = {rel for rel in tree if tree[rel] != original[rel]}
        reported = [item.split(":\n")[0][len(str(root)) + 1:]
                    for item in log_items(logs["success"]) if item]
        assert len(reported) == len(set(reported)) and changed <= set(reported)
        assert all(rel.endswith(".yaml") for rel in set(reported) - changed)
        # the draft does not load: the only failure, and left as it was
        failures = logs["failures"].split("\n  - PATCHING_ERROR: Failed to apply patch: ")
        assert failures[0] == f"{root}/testbeds/draft.yaml" and len(failures) == 2
        assert tree["testbeds/draft.yaml"] == original["testbeds/draft.yaml"]
        expected = [(rel, new) for rel, changes in SAMPLE_FIXES.items() for _, new in changes
                    if fixes]
        expected += [("testbeds/lab.yaml", new) for _, new in SAMPLE_COMMENTS["testbeds/lab.yaml"]
                     if comments]
        for rel, new in expected:
            assert new in tree[rel], (name, rel)
        if fixes and not comments:
            assert tree["testbeds/lab.yaml"] == edited(original, SAMPLE_FIXES)["testbeds/lab.yaml"]
            assert not any("TOKEN_CHECK" in text for text in tree.values())
        if comments and not fixes:
            assert edited(original, SAMPLE_COMMENTS)["lib/hexos/__init__.py"] == \
                tree["lib/hexos/__init__.py"]
            assert not any("TOKEN_CHANGE" in text for text in tree.values())
        if fixes and comments:
            assert "    line 4: Please ensure hexos is a valid os" in logs["changes"]
            assert tree["lib/hexos/__init__.py"].endswith(
                "# * ABSTRACTION:TOKEN_CHANGE - declare_token(__name__) -> "
                "declare_token(os='hexos')\n"
                "# * ABSTRACTION:TOKEN_CHECK - Please ensure hexos is a valid os\n"
                "declare_token(os='hexos')\n")

    # a second run over the patched copy marks nothing twice: a file changes
    # again only for a suggestion the first run did not have
    root, (tree, _) = copies["both"]
    again, logs = read_tree_after(root, ("-f", "-c"))
    fix_line = re.compile(r"^\s+(line \d+: +\S+ +-> +\S+|\S+:\s+\S+(\s+->\s+\S+)?)$", re.M)
    new_fixes = {message.split(":", 1)[0][len(str(root)) + 1:]
                 for message in re.split(r"\n(?=/)", logs["changes"]) if fix_line.search(message)}
    assert {rel for rel in tree if again[rel] != tree[rel]} <= new_fixes
    # these were checked and patched again, for their check lines
    assert not new_fixes & {"testbeds/lab.yaml", "scripts/test_connect.py", "lib/hexos/__init__.py"}
    assert f"{root}/scripts/test_connect.py:\n" in logs["changes"]


def read_tree_after(root, options):
    logs = run_migrate(root, *options)
    return read_tree(root), logs


@pytest.mark.slow
def test_killed_run_leaves_every_file_whole(tmp_path):
    """Kill the command while it rewrites a large tree: every file holds
    either its old content or its new one."""
    def make(root):
        for i in range(500 if SANITIZED else 1500):
            path = root / f"d{i % 10}" / f"t{i:04d}.py"
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_text(f"# {i}\n" + "x = 1\n" * (i % 300)
                            + 'if platform == "ap":\n    pass\n' * 3)
    old, new, victim = tmp_path / "old", tmp_path / "new", tmp_path / "victim"
    for root in (old, new, victim):
        make(root)
    run_migrate(new, "-f", "-c", "--python")
    old_tree, new_tree = read_tree(old), read_tree(new)
    assert all(old_tree[k] != new_tree[k] for k in old_tree)

    sizes = {p: p.stat().st_size for p in victim.rglob("*.py")}

    def rewritten():
        return sum(1 for p, size in sizes.items() if p.stat().st_size != size)

    proc = subprocess.Popen([sys.executable, "-m", "tavox.cli.main", "migrate", "abstract",
                             str(victim), "-f", "-c", "--python"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 120
    while rewritten() < 5 and proc.poll() is None and time.monotonic() < deadline:
        time.sleep(0.001)
    proc.send_signal(signal.SIGKILL)
    proc.wait()

    tree = {k: v for k, v in read_tree(victim).items() if not os.path.basename(k).startswith(".")}
    assert set(tree) == set(old_tree)
    done = [k for k in tree if tree[k] == new_tree[k]]
    assert all(tree[k] in (old_tree[k], new_tree[k]) for k in tree)
    assert 0 < len(done) < len(tree), "the kill did not land while files were rewritten"
