"""The three checks, each on real files: the suggestion lines they queue
(texts the patcher parses back, so exact), and how they take bad input."""
import logging
import os
import queue
import re
import textwrap

import pytest

from .conftest import drain

LOGGER = "tavox.cli.commands.migrate.abstract"


def errors(caplog):
    return [(r.getMessage(), r.exc_info is not None) for r in caplog.records
            if r.name == LOGGER and r.levelno == logging.ERROR]


# ---- YAML ------------------------------------------------------------------

TESTBED = """\
groups:
  g1:
    platforms: [q9800cl, tor9k, TOR9K, nope, rhenx]
  g2:
    platforms: q9300
devices:
  r1: {os: rhenx, platform: ap, model: old}
  r2: {os: rhenx, platform: ap}
  r3: {os: rheny, platform: q9300}
  r4: {os: linux, platform: q9300}
  r5: {platform: q9300}
  r6: {os: rhenx, platform: Q9800-4}
  r7: {os: rhenx, platform: q9800cl, model: q9800cl}
  r8: {os: rhenx, platform: rhenx}
  r9: {os: rhenx, platform: tor9k}
  r10:
  r11: {os: rhenx, platform: ''}
  r12: {os: rhenx, platform: weird}
  r13: {os: rhenx, platform: m3}
"""

TESTBED_MESSAGE = """\
tb.yaml:
    groups.g1.platforms: q9800cl -> tor9k
    groups.g1.platforms: TOR9K -> tor9k
    groups.g1.platforms: Please ensure "nope" is a valid platform
    devices.r1.platform: ap -> tor9k
    devices.r1.model: old -> q9100ap
    devices.r2.platform: ap -> tor9k
    devices.r2.model: q9100ap
    devices.r3.platform: q9300 -> tor9k
    devices.r3.model: q9300
    devices.r4.platform: Please ensure "q9300" is a valid linux platform
    devices.r5.platform: Please ensure "q9300" is a valid unknown_os platform
    devices.r6.platform: Q9800-4 -> tor9k
    devices.r6.model: q9800
    devices.r6.pid: Q9800-4
    devices.r7.platform: q9800cl -> tor9k
    devices.r7.model: q9800cl -> q9800
    devices.r7.model: q9800cl
    devices.r12.platform: Please ensure "weird" is a valid rhenx platform
    devices.r13.platform: m3 -> tor9k or tor7k
    devices.r13.model: m3
"""


def test_yaml_message_lists_every_kind_of_line_in_order(tokens, check):
    assert check("check_yaml", "tb.yaml", TESTBED) == [TESTBED_MESSAGE]


@pytest.mark.parametrize("content", [
    "", "just: data\n", "- a\n- b\n", "plain scalar\n",
    "devices:\n  r1: [1, 2]\n", "groups:\n  g: {platforms: []}\n",
])
def test_yaml_without_findings_queues_nothing(tokens, check, content):
    assert check("check_yaml", "x.yaml", content) == []


@pytest.mark.parametrize("content", [
    "devices: [unclosed\n", "a: b: c\n", b"\x00\x01\x02\xff\xfe binary",
    "devices:\n  r1: {platform: ap}\n".encode("latin-1") + b"# caf\xe9\n",
])
def test_yaml_that_cannot_be_loaded(tokens, check, content):
    assert check("check_yaml", "x.yaml", content) == ["x.yaml: Could not load yaml file"]


def test_yaml_fallback_loader_reads_from_the_start(abstract, tokens, check, monkeypatch):
    class Partial:
        """A loader that consumes some of the stream and gives up."""
        def load(self, stream):
            stream.read(10)
            raise ValueError("not for me")

    monkeypatch.setattr(abstract, "Loader", Partial)
    assert check("check_yaml", "x.yaml", "devices:\n  r1: {os: rhenx, platform: ap}\n") == [
        "x.yaml:\n    devices.r1.platform: ap -> tor9k\n    devices.r1.model: q9100ap\n"]


@pytest.mark.parametrize("content", [
    "devices:\n",                                        # devices with no value
    "groups: [a, b]\n",                                  # groups not a mapping
    "groups:\n  g1: [x]\ndevices:\n  r1: {platform: ap}\n",  # group data without get
    "devices:\n  r1: {os: [a], platform: m3}\n",         # OS value that is no key
    "devices:\n  r1: {os: rhenx, platform: 42}\n",       # platform not text
])
def test_yaml_structure_errors_are_logged_and_yield_no_message(tokens, check, caplog, content):
    assert check("check_yaml", "x.yaml", content) == []
    [(message, with_traceback)] = errors(caplog)
    assert message.endswith("x.yaml: Exception processing file") and with_traceback


# ---- Python ----------------------------------------------------------------

SCRIPT = """\
if platform == 'q9800cl':
    pass
dev(platform="M3-A", x=1)
if platform=="Q9300" or platform == 'ap':
    x = platform == 'tor9k'
    y = platform == "mystery"
z = platform == True
w = platform = dev.platform
v = connect(platform=None)
if os == "Ferrin": pass
"""

SCRIPT_MESSAGE = """\
s.py:
    line 1: q9800cl -> tor9k
      or platform -> submodel
    line 3: M3-A -> tor9k
      or platform -> pid
    line 4: Q9300 -> tor9k or q9k
      or platform -> model
    line 4: ap -> tor9k
      or platform -> model
    line 6: Please ensure "mystery" is a valid platform
    Please ensure references to platform are being assigned/compared with correct variable values
    os='ferrin', platform='ap' has been updated to os='rhenx', platform='tor9k', model='q9100ap'
"""


@pytest.mark.parametrize("newline", ["\n", "\r\n", "\r"])
def test_python_message_with_every_suggestion(tokens, check, newline):
    content = SCRIPT.replace("\n", newline).encode()
    assert check("check_python", "s.py", content) == [SCRIPT_MESSAGE]


@pytest.mark.parametrize("content, expected", [
    ("x = 1\nplatform == 'tor9k'\n", []),
    ("platform == True\nplatform=False\n", []),
    ("a = platform == b\nplatform = dev.platform\n",
     ["s.py:\n    Please ensure references to platform are being assigned/compared "
      "with correct variable values\n"]),
    ("# only os='ferrin' here\n",
     ["s.py:\n    os='ferrin', platform='ap' has been updated to os='rhenx', "
      "platform='tor9k', model='q9100ap'\n"]),
    ("caf\u00e9 = platform == 'ap'  # \u00e9\n",
     ["s.py:\n    line 1: ap -> tor9k\n      or platform -> model\n"]),
])
def test_python_cases(tokens, check, content, expected):
    assert check("check_python", "s.py", content) == expected


def test_python_honours_a_rebound_pattern(abstract, tokens, check, monkeypatch):
    # Another pattern bound in the module's place sees every line.
    monkeypatch.setattr(abstract, "PYTHON_PLATFORM_MATCH",
                        re.compile(r"PLATFORM\s*==\s*(?P<p>'.+?')"))
    monkeypatch.setattr(abstract, "PYTHON_FERRIN_MATCH", re.compile(r"retired"))
    assert check("check_python", "s.py", "if PLATFORM == 'ap':\n    retired()\n") == [
        "s.py:\n    line 1: ap -> tor9k\n      or platform -> model\n"
        "    os='ferrin', platform='ap' has been updated to os='rhenx', "
        "platform='tor9k', model='q9100ap'\n"]


def test_python_uses_a_rebound_compute_tokens(abstract, tokens, check, monkeypatch, caplog):
    def broken(value):
        raise RuntimeError("table gone")

    monkeypatch.setattr(abstract, "compute_tokens", broken)
    assert check("check_python", "s.py", "platform == 'ap'\n") == []
    [(message, with_traceback)] = errors(caplog)
    assert message.endswith("/s.py: Exception processing file") and with_traceback
    assert "table gone" in caplog.text


def every_line_message(abstract, path):
    """The message of the Python check run as written: both patterns tried on
    every line of the file (no line left out beforehand)."""
    with open(path) as f:
        lines = f.readlines()
    suggestions, var_refs, ferrin = [], False, False
    for i, line in enumerate(lines):
        for match in abstract.PYTHON_PLATFORM_MATCH.findall(line):
            if match.startswith(("'", '"')):
                match = match.strip("'\"")
                tokens = abstract.compute_tokens(match)
                if "platform" in tokens and tokens["platform"] != match:
                    new = tokens["platform"]
                    fix = f"    line {i + 1}: {match} -> " + (
                        " or ".join(new) if isinstance(new, list) else new)
                    kind = next((k for k in ("pid", "submodel", "model") if k in tokens), None)
                    suggestions.append(fix + (f"\n      or platform -> {kind}" if kind else ""))
                elif "unknown" in tokens:
                    suggestions.append(f'    line {i + 1}: Please ensure "{tokens["unknown"]}" '
                                       "is a valid platform")
            elif match not in ("True", "False") and match.strip():
                var_refs = True
        ferrin = ferrin or abstract.PYTHON_FERRIN_MATCH.search(line) is not None
    if var_refs:
        suggestions.append("    Please ensure references to platform are being "
                           "assigned/compared with correct variable values")
    if ferrin:
        suggestions.append("    os='ferrin', platform='ap' has been updated to os='rhenx', "
                           "platform='tor9k', model='q9100ap'")
    return [f"{path}:\n" + "\n".join(suggestions) + "\n"] if suggestions else []


@pytest.mark.parametrize("content", [
    "platform == 'ap'",                                   # first line, no line break
    "x = 1\n" * 300 + "y = platform=='q9800cl'",          # last line, far down
    "a = 'x'\nplatform\u3000==\u3000'ap'\n",             # blanks the pattern's \\s takes
    "s = 'platform' if platform == 'ap' else platform == \"M3-A\"\n",
    "os = 'Ferrin'; platform='ap'\nq = 1\n",               # both patterns on one line
    "# ferrin ferrin, os ==  \"ferrin\"\n",                # a match after a near miss
    "os='ferrin",                                          # "errin" at the very end
    "os = ferrin\nos == 'errin'\nOS='ferrin'\n",           # near misses only
    "a\x0cb = platform == 'ap'\u2028platform == 'zz'\n",  # no line break for readlines
    "x\r\nplatform == 'ap'\rplatform == 'q9300'\r\n",     # other line breaks
    "Platform == 'ap'\nplat form == 'ap'\nplatform\n== 'ap'\n",
])
def test_python_finds_what_trying_every_line_finds(abstract, tokens, command, tmp_path,
                                                   content):
    path = tmp_path / "s.py"
    path.write_bytes(content.encode())
    q = queue.Queue()
    command.check_python(str(path), q)
    assert drain(q) == every_line_message(abstract, str(path))


@pytest.mark.parametrize("content", [
    b"\x00\xff\xfeplatform == 'ap'\x80\x81",   # binary named .py
    b"platform == 'ap'  # caf\xe9\n",            # Latin-1, not UTF-8
    b"platform == 'ap'\n\xed\xa0\x80\n",          # an encoded surrogate
])
def test_python_that_is_not_utf8_is_logged(tokens, check, caplog, content):
    assert check("check_python", "s.py", content) == []
    [(message, with_traceback)] = errors(caplog)
    assert message.endswith("s.py: Exception processing file") and with_traceback
    assert "UnicodeDecodeError" in caplog.text


@pytest.mark.parametrize("method", ["check_python", "check_init"])
def test_unreadable_file_is_logged(tokens, command, tmp_path, caplog, method):
    path = tmp_path / "__init__.py"
    path.write_text("platform == 'ap'\ndeclare_token(__name__)\n")
    path.chmod(0)
    if os.access(path, os.R_OK):
        pytest.skip("running with permissions that read any file")
    q = queue.Queue()
    getattr(command, method)(str(path), q)
    assert drain(q) == []
    assert errors(caplog) == [(f"{path}: Exception processing file", True)]
    assert "PermissionError" in caplog.text


def test_unreadable_yaml_cannot_be_loaded(tokens, command, tmp_path):
    path = tmp_path / "x.yaml"
    path.write_text("devices:\n  r1: {platform: ap}\n")
    path.chmod(0)
    if os.access(path, os.R_OK):
        pytest.skip("running with permissions that read any file")
    q = queue.Queue()
    command.check_yaml(str(path), q)
    assert drain(q) == [f"{path}: Could not load yaml file"]


def test_missing_files_and_broken_links(tokens, command, tmp_path, caplog):
    (tmp_path / "broken.py").symlink_to(tmp_path / "nowhere.py")
    q = queue.Queue()
    command.check_python(str(tmp_path / "broken.py"), q)
    command.check_init(str(tmp_path / "missing" / "__init__.py"), q)
    command.check_yaml(str(tmp_path / "missing.yaml"), q)
    command.check_python(str(tmp_path), q)  # a directory
    assert drain(q) == [f"{tmp_path}/missing.yaml: Could not load yaml file"]
    assert [m for m, _ in errors(caplog)] == [
        f"{tmp_path}/broken.py: Exception processing file",
        f"{tmp_path}/missing/__init__.py: Exception processing file",
        f"{tmp_path}: Exception processing file"]
    assert [r.exc_info[0] for r in caplog.records] == [
        FileNotFoundError, FileNotFoundError, IsADirectoryError]


# ---- __init__.py -----------------------------------------------------------

DECLARE = "from nuvik.abstract import declare_token\n\ndeclare_token(__name__)\n"

# Package directories, in discovery order, and what each declares.
TREE = [
    ("t", "declare_package(__name__)\n"),
    ("t/rhenx", DECLARE),
    ("t/rhenx/ap", DECLARE),
    ("t/rhenx/m3", DECLARE),
    ("t/rhenx/Q9800-4", DECLARE),
    ("t/rhenx/tor9k", DECLARE),
    ("t/rhenx/tor9k/Q9300-24T", DECLARE),
    ("t/rhenx/tor9k/q9300", DECLARE),
    ("t/rhenx/tor9k/q9300/Q9300-24T", DECLARE),
    ("t/rhenx/tor9k/q9300/Q9300-24T/deeper", "declare_token( __name__ )\n"),
    ("t/rheny", DECLARE),
    ("t/linux", DECLARE),
    ("t/linux/m3", DECLARE),
    ("t/dalos", DECLARE),
    ("t/dalos/m3", DECLARE),
    ("t/tor9k", DECLARE),
    ("t/Mystery", DECLARE),
    ("t/Mystery/deep", "declare_package(__name__)\ndeclare_token(__name__)\n"),
    ("t/rhenx/plain", "import os\n# - declare_token(__name__) was here\n"),
]

L3 = "    line 3: declare_token(__name__) -> "
IMPORT = "    from nuvik.abstract import declare token\n"

TREE_MESSAGES = {
    "t": "t/__init__.py:\n    line 1: declare_package(__name__) -> declare_package()\n",
    "t/rhenx": f"t/rhenx/__init__.py:\n{L3}declare_token(os='rhenx')\n",
    "t/rhenx/ap": (
        f"t/rhenx/ap/__init__.py:\n{L3}declare_token(model='q9100ap')\n"
        "    move t/rhenx/ap to t/rhenx/tor9k/q9100ap\n"
        f"t/rhenx/tor9k/__init__.py:\n{IMPORT}{L3}declare_token(platform='tor9k')\n"),
    "t/rhenx/m3": (
        f"t/rhenx/m3/__init__.py:\n{L3}declare_token(model='m3')\n"
        "    move t/rhenx/m3 to t/rhenx/tor9k/m3\n"
        f"t/rhenx/tor9k/__init__.py:\n{IMPORT}{L3}declare_token(platform='tor9k')\n"
        f"    or\n{L3}declare_token(platform='tor9k')\n"
        f"    or\n{L3}declare_token(platform='tor7k')\n"),
    "t/rhenx/Q9800-4": (
        f"t/rhenx/Q9800-4/__init__.py:\n{L3}declare_token(pid='Q9800-4')\n"
        "    move t/rhenx/Q9800-4 to t/rhenx/tor9k/q9800/Q9800-4\n"
        f"t/rhenx/tor9k/q9800/__init__.py:\n{IMPORT}{L3}declare_token(model='q9800')\n"
        f"t/rhenx/tor9k/__init__.py:\n{IMPORT}{L3}declare_token(platform='tor9k')"),
    "t/rhenx/tor9k": f"t/rhenx/tor9k/__init__.py:\n{L3}declare_token(platform='tor9k')\n",
    "t/rhenx/tor9k/Q9300-24T": (
        f"t/rhenx/tor9k/Q9300-24T/__init__.py:\n{L3}declare_token(pid='Q9300-24T')\n"
        "    move t/rhenx/tor9k/Q9300-24T to t/rhenx/tor9k/q9300/Q9300-24T\n"
        f"t/rhenx/tor9k/q9300/__init__.py:\n{IMPORT}{L3}declare_token(model='q9300')\n"),
    "t/rhenx/tor9k/q9300": (
        f"t/rhenx/tor9k/q9300/__init__.py:\n{L3}declare_token(model='q9300')\n"),
    "t/rhenx/tor9k/q9300/Q9300-24T": (
        f"t/rhenx/tor9k/q9300/Q9300-24T/__init__.py:\n{L3}declare_token(pid='Q9300-24T')\n"),
    "t/rhenx/tor9k/q9300/Q9300-24T/deeper": (
        "t/rhenx/tor9k/q9300/Q9300-24T/deeper/__init__.py:\n"
        "    line 1: declare_token( __name__ ) -> declare_token(<unknown_4>='deeper')\n"
        "    line 1: Please ensure deeper is a valid <unknown_4>\n"),
    "t/rheny": f"t/rheny/__init__.py:\n{L3}declare_token(os='rheny')\n",
    "t/linux": f"t/linux/__init__.py:\n{L3}declare_token(os='linux')\n",
    "t/linux/m3": (
        f"t/linux/m3/__init__.py:\n{L3}declare_token(model='m3')\n"
        "    move t/linux/m3 to t/linux/tor8k/m3\n"
        f"t/linux/tor8k/__init__.py:\n{IMPORT}{L3}declare_token(platform='tor8k')\n"),
    "t/dalos": f"t/dalos/__init__.py:\n{L3}declare_token(os='dalos')\n",
    # t/dalos/m3: no platform of m3 exists under dalos -- logged, no message
    "t/tor9k": f"t/tor9k/__init__.py:\n{L3}declare_token(platform='tor9k')\n",
    "t/Mystery": (
        f"t/Mystery/__init__.py:\n{L3}declare_token(os='Mystery')\n"
        "    line 3: Please ensure Mystery is a valid os\n"),
    "t/Mystery/deep": (
        "t/Mystery/deep/__init__.py:\n    line 1: declare_package(__name__) -> declare_package()\n"),
}


@pytest.fixture
def checked_tree(tokens, command, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)  # relative paths, as the messages show them
    messages = {}
    for directory, content in TREE:
        os.makedirs(directory, exist_ok=True)
        with open(os.path.join(directory, "__init__.py"), "w") as f:
            f.write(content)
    for directory, _ in TREE:
        q = queue.Queue()
        command.check_init(os.path.join(directory, "__init__.py"), q)
        found = drain(q)
        assert len(found) <= 1
        if found:
            messages[directory] = found[0]
    return messages


def test_init_messages_for_every_level(checked_tree):
    assert checked_tree == TREE_MESSAGES


def test_init_registers_the_tokens_of_each_directory(checked_tree, command, caplog):
    paths = command.token_paths
    assert paths["t/rhenx"] == {"os": "rhenx"}
    assert paths["t/rhenx/ap"] == {"os": "rhenx", "platform": "tor9k", "model": "q9100ap"}
    # several valid platforms: the entry keeps the whole list; one: just it
    assert paths["t/rhenx/m3"]["platform"] == ["tor9k", "tor8k", "tor7k"]
    assert paths["t/linux/m3"]["platform"] == "tor8k"
    assert paths["t/Mystery"] == {"os": "Mystery"}
    assert paths["t/rhenx/tor9k/q9300/Q9300-24T/deeper"] == {"<unknown_4>": "deeper"}
    for unregistered in ("t", "t/Mystery/deep", "t/rhenx/plain", "t/dalos/m3"):
        assert unregistered not in paths
    [failed] = [r for r in caplog.get_records("setup") if r.levelno == logging.ERROR]
    assert failed.getMessage() == "t/dalos/m3/__init__.py: Exception processing file"
    assert failed.exc_info[0] is IndexError


def test_init_line_endings_and_non_utf8(tokens, check, caplog):
    assert check("check_init", "p/__init__.py", b"x = 1\r\n\r\ndeclare_package(__name__)\r\n") == [
        "p/__init__.py:\n    line 3: declare_package(__name__) -> declare_package()\n"]
    assert check("check_init", "q/__init__.py", b"declare_package(__name__) # \xff\n") == []
    [(message, _)] = errors(caplog)
    assert message.endswith("q/__init__.py: Exception processing file")


def test_except_log_passes_results_and_takes_positional_arguments_only(abstract):
    wrapped = abstract.except_log(lambda *args: args)
    assert wrapped(1, "f", 3) == (1, "f", 3)
    assert wrapped.__qualname__ == "except_log.<locals>.inner"
    with pytest.raises(TypeError):
        wrapped(1, file_path="f")


def test_except_log_lets_non_exceptions_through(abstract):
    def interrupted(*args):
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        abstract.except_log(interrupted)(None, "f", None)


def test_except_log_logs_an_exception_raised_before_any_frame(abstract, caplog):
    # len() refuses three arguments in C: the exception has no traceback
    assert abstract.except_log(len)(None, "f.py", None) is None
    [logged] = [r for r in caplog.records if r.levelno == logging.ERROR]
    assert logged.getMessage() == "f.py: Exception processing file"
    assert logged.exc_info[0] is TypeError
