"""The YAML patcher against the round trip it stands for: generated testbeds
in every layout people write (indentation that differs per level and per
device, comment and blank lines inside mappings, CRLF, a byte-order mark,
trailing blanks, quoted values, flow mappings on one line or several, a
document end marker, the same device in two sections) patched with their
own check's suggestions.  For every file: the result loads, holds the data
the round trip's document holds, has each marker directly above its key,
and differs from the input only in value spans and inserted lines."""
import difflib
import io
import logging
import queue
import re

from hypothesis import given
from hypothesis import strategies as st
from ruamel.yaml import YAML
import yaml as pyyaml

from .fuzz import FUZZ, command, messages, module, vocabulary
from .test_fuzz_apply import names, scratch

abstract = module()
token = vocabulary(abstract)
LOGGER = "tavox.cli.commands.migrate.abstract"
MARKER = re.compile(r"^\s*# \* ABSTRACTION:TOKEN_(CHANGE - (\S+) -> |ADDITION - (\S+): |CHECK - )")


def plain_ok(value):
    """Whether both loaders read `value` written plain as that text."""
    try:
        return (pyyaml.safe_load("k: %s" % value) == {"k": value}
                and YAML(typ="safe", pure=True).load("k: %s" % value) == {"k": value})
    except Exception:
        return False


@st.composite
def scalar(draw):
    value = draw(token)
    style = draw(st.sampled_from(["plain", "plain", "single", "double"]))
    if style == "plain" and plain_ok(value):
        return value
    return "'%s'" % value if style != "double" else '"%s"' % value


@st.composite
def generated_testbed(draw):
    """The text of a testbed and whether a device is a flow mapping on
    several lines (which the round trip patches)."""
    nl = draw(st.sampled_from(["\n", "\r\n"]))
    out = []

    def line(col, text):
        pad = draw(st.sampled_from(["", "", "  ", " "]))
        comment = draw(st.sampled_from(["", "", "", "  # note"]))
        out.append(" " * col + text + comment + pad)

    def filler(col):
        for _ in range(draw(st.integers(0, 2))):
            out.append(draw(st.sampled_from(["", "  ", " " * draw(st.integers(0, col + 4)) + "# about"])))

    def mapping(col, entries):
        for key, value in entries:
            filler(col)
            if isinstance(value, list):
                line(col, key + ":")
                mapping(col + draw(st.integers(1, 4)), value)
            else:
                line(col, "%s: %s" % (key, value))

    spanning = False
    if draw(st.booleans()):
        out.append("---")
    sections = []
    groups = draw(st.lists(st.tuples(names, st.lists(scalar(), min_size=1, max_size=3)),
                           max_size=2, unique_by=lambda g: g[0]))
    if groups:
        sections.append(("groups", [(g, [("platforms", "[%s]" % ", ".join(p))]) for g, p in groups]))
    devices = draw(st.lists(names, min_size=1, max_size=4, unique=True))
    entries = []
    for name in devices:
        keys = [("os", draw(scalar())), ("platform", draw(scalar())), ("type", "router")]
        if draw(st.booleans()):
            keys.append(("model", draw(scalar())))
        keys = draw(st.permutations(keys))
        form = draw(st.sampled_from(["block", "block", "block", "flow", "flow lines"]))
        if form == "flow":
            entries.append((name, "{%s}" % ", ".join("%s: %s" % kv for kv in keys)))
        elif form == "flow lines":
            spanning = True
            entries.append((name, "{%s}" % (",%s    " % nl).join("%s: %s" % kv for kv in keys)))
        else:
            entries.append((name, list(keys) + [("custom", [("rack", "r1")])]))
    sections.append(("devices", entries))
    sections.append(("topology", [(d, [("interfaces", "{a: b}")]) for d in devices]))
    for key, body in draw(st.permutations(sections)):
        filler(0)
        out.append(key + ":")
        mapping(draw(st.integers(1, 4)), body)
    text = nl.join(out) + nl
    if draw(st.booleans()):
        text += "..." + nl
    if draw(st.booleans()):
        text = "\ufeff" + text
    return text, spanning


def round_trip(cmd, text, lines, fixes, comments):
    """What the round trip of the passes makes of `text`: the dumped text,
    or the exception it raises."""
    yaml = YAML()
    yaml.preserve_quotes = True
    try:
        obj = yaml.load(text.lstrip("\ufeff"))
        lines = list(lines)
        if fixes:
            obj = cmd.apply_yaml_fix(obj, lines)
        if comments:
            obj = cmd.apply_yaml_comment(obj, lines)
    except Exception as e:  # noqa: BLE001 -- compared with the patcher's
        return e
    buffer = io.StringIO()
    yaml.dump(obj, buffer)
    return buffer.getvalue()


def data(text):
    return YAML(typ="safe", pure=True).load(text.lstrip("\ufeff"))


def assert_markers_above_keys(text):
    lines = text.splitlines()
    for i, current in enumerate(lines):
        m = MARKER.match(current)
        if not m:
            continue
        below = next(x for x in lines[i + 1:] if not x.lstrip().startswith("#"))
        key = m.group(2) or m.group(3) or "platform"
        assert re.search(r"(^|[\s{,])%s:" % re.escape(key), below), (current, below)


def assert_only_values_changed(before, after):
    """Lines of `before` are all in `after`, changed at most in their value
    (indentation, key, trailing blanks, comment and line break kept); the
    other lines of `after` are markers and added keys."""
    a, b = before.splitlines(True), after.splitlines(True)
    tail = re.compile(r"[ \t]*(#.*)?\r?\n?$")
    for op, i1, i2, j1, j2 in difflib.SequenceMatcher(None, a, b, autojunk=False).get_opcodes():
        assert op in ("equal", "insert", "replace"), (a[i1:i2], b[j1:j2])
        olds = [] if op == "equal" else a[i1:i2]
        for new in [] if op == "equal" else b[j1:j2]:
            if MARKER.match(new):
                continue
            if olds and olds[0].split(":")[0] == new.split(":")[0]:
                old = olds.pop(0)
                assert tail.search(old).group(0) == tail.search(new).group(0), (old, new)
            else:
                assert re.match(r"^ *[^\s:]+: \S+\r?\n?$", new), new
        assert not olds, olds


class Records(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG)
        self.messages = []

    def emit(self, record):
        self.messages.append(record.getMessage())


@FUZZ
@given(generated_testbed(), st.sampled_from([(True, False), (False, True), (True, True)]))
def test_native_patch_holds_what_the_round_trip_holds(generated, passes):
    text, spanning = generated
    fixes, comments = passes
    cmd = command(abstract, fixes, comments)
    path = scratch("tb.yaml", text.encode())
    msgs = messages(cmd.check_yaml, path)
    if not msgs or msgs[0].endswith("Could not load yaml file"):
        return
    msg = msgs[0]
    expected = round_trip(cmd, text, msg.splitlines()[1:], fixes, comments)
    logger, records = logging.getLogger(LOGGER), Records()
    level = logger.level
    logger.addHandler(records)
    logger.setLevel(logging.DEBUG)
    try:
        cmd.apply_patches(patch_type=abstract.FileTypes.YAML, msg=msg,
                          success_queue=queue.Queue(), failer_queue=queue.Queue())
    except Exception as e:  # noqa: BLE001
        assert isinstance(expected, Exception) and type(e) is type(expected), (e, expected)
        return
    finally:
        logger.removeHandler(records)
        logger.setLevel(level)
    assert not isinstance(expected, Exception), expected
    with open(path, "rb") as f:
        result = f.read().decode()
    pyyaml.safe_load(result.lstrip("\ufeff"))  # the file's loader reads it
    assert data(result) == data(expected)
    assert_markers_above_keys(result)
    assert result.startswith("\ufeff") == text.startswith("\ufeff")
    handed = [m for m in records.messages if "patched through the round trip" in m]
    if not spanning:
        assert handed == []
        assert_only_values_changed(text, result)
