"""Property-based tests of the checks and the appliers: random files and
random suggestion lines never crash the interpreter, a check's own
suggestions applied to its file never raise, and migrating a file a second
time changes nothing more."""
import io
import os
import queue
import tempfile


from hypothesis import given
from hypothesis import strategies as st

from .fuzz import FUZZ, command, messages, migrate_once, migrate_outcomes, module, vocabulary

abstract = module()
# Token values, and values holding characters at which str.splitlines()
# breaks a line (the suggestion that names one is cut there).
token = vocabulary(abstract) | st.text(alphabet="ap9z\x1c\x1e\x85\xa0\u2028", min_size=1,
                                       max_size=6)
quote = st.sampled_from(["'", '"'])
indent = st.sampled_from(["", "    ", "        ", "\t", "\f", "  \f"])
newline = st.sampled_from(["\n", "\r\n"])
# Errors a malformed suggestion may raise by design; anything else (in
# particular the RuntimeError or SystemError that a C++ exception becomes)
# is a fault.
EXPECTED = (KeyError, IndexError, TypeError, AttributeError, ValueError)


@st.composite
def python_line(draw):
    v, v2, q = draw(token), draw(token), draw(quote)
    body = draw(st.sampled_from([
        "if dev.platform == {q}{v}{q}:", "platform = {q}{v}{q}", "platform={q}{v}{q}, os={q}{v2}{q}",
        "assert d.platform == {q}{v}{q} or d.platform == {q}{v2}{q}", "platform = dev.platform",
        "platform == True", "platform=None", "os == 'Ferrin'", "x = {q}{v}{q}  # platform",
        "return 1", "# platform == {q}{v}{q}", "",
    ])).format(q=q, v=v, v2=v2)
    if draw(st.booleans()):
        body = draw(st.text(max_size=30).filter(lambda s: "\n" not in s and "\r" not in s))
    return draw(indent) + body


@st.composite
def python_source(draw):
    lines = draw(st.lists(python_line(), max_size=25))
    nl = draw(newline)
    text = nl.join(lines)
    if lines and draw(st.booleans()):
        text += nl
    return text


# Keys the two YAML loaders read as text alike (the check's loader takes
# yes/no/on/off for booleans, the patcher's does not: see the bad-input
# tests for what a key that is not text gives).
names = st.from_regex(r"[a-z][a-z0-9.-]{0,8}", fullmatch=True).filter(
    lambda n: n not in {"y", "n", "yes", "no", "on", "off", "true", "false", "null"})


@st.composite
def yaml_source(draw):
    out = []
    groups = draw(st.lists(st.tuples(names,
                                     st.lists(token, max_size=4)), max_size=3,
                            unique_by=lambda g: g[0]))
    if groups:
        out.append("groups:")
        for name, platforms in groups:
            out.append("  %s:" % name)
            out.append("    platforms: [%s]" % ", ".join(repr(p) for p in platforms))
    devices = draw(st.lists(st.tuples(names,
                                      st.one_of(st.none(), token), st.one_of(st.none(), token),
                                      st.one_of(st.none(), token)), max_size=5,
                             unique_by=lambda d: d[0]))
    if devices:
        out.append("devices:")
        for name, os_, platform, model in devices:
            out.append("  %r:" % name)
            out.append("    type: router   # kept")
            for key, value in (("os", os_), ("platform", platform), ("model", model)):
                if value is not None:
                    out.append("    %s: %r" % (key, value))
    return "\n".join(out) + "\n"


_TMP = tempfile.TemporaryDirectory(prefix="tavox-fuzz-")


def scratch(name, data):
    tmp = tempfile.mkdtemp(dir=_TMP.name)
    path = os.path.join(tmp, name)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    mode = "wb" if isinstance(data, bytes) else "w"
    with open(path, mode, **({} if isinstance(data, bytes) else {"newline": ""})) as f:
        f.write(data)
    return path


def read(path):
    with open(path, "rb") as f:
        return f.read()


# ---- random files never crash a check -----------------------------------------------

@FUZZ
@given(st.binary(max_size=2000))
def test_python_check_on_random_bytes(data):
    cmd = command(abstract)
    path = scratch("x.py", data)
    for msg in messages(cmd.check_python, path):
        assert msg.startswith(path + ":\n")


@FUZZ
@given(st.binary(max_size=1000))
def test_yaml_and_init_checks_on_random_bytes(data):
    cmd = command(abstract)
    for name, method in (("x.yaml", cmd.check_yaml), ("rhenx/__init__.py", cmd.check_init)):
        path = scratch(name, data)
        for msg in messages(method, path):
            assert msg.startswith(path + ":")


# ---- a check's own suggestions apply, and applying them is done once -------------------

MARK = "# * ABSTRACTION"


def changes_announced(before, after, success):
    """A marker is written only with the change it announces: the lines
    other than markers are the file's own, one for one; a fix marker was
    added exactly when a line changed (and names what it now holds), and
    only then does the success item say FIXES_ADDED."""
    def split(text):
        lines = io.StringIO(text, newline="").readlines()  # lines as a source has them
        body = [line for line in lines if not line.lstrip().startswith(MARK)]
        marks = [line.strip() for line in lines if line.lstrip().startswith(MARK)]
        return body, marks
    (body_before, marks_before), (body_after, marks_after) = split(before), split(after)
    assert len(body_after) == len(body_before)
    changed = [b for a, b in zip(body_before, body_after) if a != b]
    fixes = [m for m in marks_after if "TOKEN_CHANGE" in m]
    added = len(fixes) - sum("TOKEN_CHANGE" in m for m in marks_before)
    assert (added > 0) == bool(changed)
    assert ("  - FIXES_ADDED\n" in "".join(success)) == bool(changed)
    for mark in fixes[len(fixes) - added:]:
        assert any(mark.rsplit(" -> ", 1)[1] in line for line in changed), mark


@FUZZ
@given(python_source(), st.booleans(), st.booleans())
def test_python_file_migrated_twice_is_migrated_once(source, fixes, comments):
    cmd = command(abstract, fixes, comments or not fixes)
    path = scratch("script.py", source)
    success, failures = migrate_outcomes(abstract, cmd, path, "python")
    assert failures == []
    once = read(path)
    changes_announced(source, once.decode(), success)
    success, failures = migrate_outcomes(abstract, cmd, path, "python")
    assert failures == [] and success == []
    assert read(path) == once
    # nothing but comment lines was added, and the line breaks were kept
    assert once.count(b"\n") >= source.count("\n")
    if "\r\n" in source and "\n" not in source.replace("\r\n", ""):
        assert b"\n" not in once.replace(b"\r\n", b"")


BOM = b"\xef\xbb\xbf"


@st.composite
def compiling_source(draw):
    """A Python source that compiles, with what a comment line inserted
    above the wrong line breaks: a byte-order mark, a shebang, an encoding
    declaration, statements a backslash carries on, strings that span
    lines, tabs and form feeds in the indentation, CRLF line breaks."""
    v, q, nl = draw(token.filter(str.isidentifier)), draw(quote), draw(newline)
    lines = []
    if draw(st.booleans()):
        lines.append("#!/usr/bin/env python3")
    if draw(st.booleans()):
        lines.append(draw(st.sampled_from(["# -*- coding: utf-8 -*-", "latin-1"])))
    blocks = draw(st.lists(st.sampled_from([
        ["x = platform == {q}{v}{q}"],
        ["y = (1 and \\", "     platform == {q}{v}{q})"],
        ["z = 1 + \\", "    2 if platform == {q}{v}{q} else 3"],
        ['s = """', "platform == {q}{v}{q}", '"""'],
        ["t = '''text", "    platform == {q}{v}{q} '''"],
        ['u = "line \\', "platform == '{v}'\""],
        ["if platform == {q}{v}{q}:", "\tpass"],
        ["\fw = platform == {q}{v}{q}"],
        ["f(platform == {q}{v}{q},", "  platform == {q}zz{q})"],
    ]), min_size=1, max_size=6))
    for block in blocks:
        lines += [line.format(q=q, v=v) for line in block]
    lines = ["# vim: set fileencoding=latin-1 :" if line == "latin-1" else line for line in lines]
    text = (nl.join(lines) + nl).encode("utf-8")
    # a byte-order mark says UTF-8: not with another encoding declared
    latin = any("latin-1" in line for line in lines[:2])
    return BOM + text if not latin and draw(st.booleans()) else text


@FUZZ
@given(compiling_source(), st.booleans())
def test_a_file_that_compiled_still_compiles(source, comments):
    compile(source, "<before>", "exec")
    path = scratch("script.py", source)
    assert migrate_once(abstract, command(abstract, True, comments), path, "python") == []
    after = read(path)
    compile(after, "<after>", "exec")
    # the byte-order mark, the shebang and the encoding declaration stay first
    assert after.startswith(BOM) == source.startswith(BOM)
    head = [line for line in source.removeprefix(BOM).splitlines()[:2]
            if line.startswith((b"#!", b"# -*-", b"# vim"))]
    assert after.removeprefix(BOM).splitlines()[:len(head)] == head


@FUZZ
@given(st.lists(st.sampled_from(["lib", "tests", "x"]), max_size=3),
       st.sampled_from(["rhen", "rhenx", "tor9k", "q9300", "Q9300-24T", "ap", "m3", "zz",
                        "q9800cl", "Q9800-4"]),
       indent, st.sampled_from(["declare_token(__name__)", "declare_package(__name__)",
                                "declare_token( __name__ )", "abstract.declare_token(__name__)",
                                "x.declare_token( __name__ )"]), newline)
def test_package_file_migrated_twice_is_migrated_once(parents, name, pad, call, nl):
    # One package file: what a check says of a package also depends on the
    # packages above it, which a second run sees already migrated.
    path = os.path.join(tempfile.mkdtemp(dir=_TMP.name), *parents, name, "__init__.py")
    os.makedirs(os.path.dirname(path))
    with open(path, "w", newline="") as f:
        f.write(nl.join(["from nuvik.abstract import declare_token", "", pad + call, ""]))
    for _ in range(2):
        assert migrate_once(abstract, command(abstract), path, "init") == []
        if _ == 0:
            once = read(path)
    assert read(path) == once


@FUZZ
@given(yaml_source(), st.booleans())
def test_yaml_file_migrated_twice_is_migrated_once(source, comments):
    cmd = command(abstract, True, comments)
    path = scratch("testbed.yaml", source)
    assert migrate_once(abstract, cmd, path, "yaml") == []
    once = read(path)
    assert b"# kept" in once or b"devices:" not in once
    assert migrate_once(abstract, cmd, path, "yaml") == []
    assert read(path) == once


# ---- random suggestion lines never crash an applier --------------------------------------

suggestion = st.one_of(
    st.builds("    line {}: {} -> {}".format, st.integers(-3, 40), token, token),
    st.builds("    line {}: Please ensure \"{}\" is a valid platform".format, st.integers(-3, 40), token),
    st.builds("    {}: {} -> {}".format, st.from_regex(r"[a-z0-9.]{1,20}", fullmatch=True), token, token),
    st.builds("    {}: {}".format, st.from_regex(r"[a-z0-9.]{1,20}", fullmatch=True), token),
    st.builds("    {}: Please ensure {} is a valid {} platform".format,
              st.from_regex(r"[a-z0-9.]{1,20}", fullmatch=True), token, token),
    st.text(max_size=40),
)


@FUZZ
@given(st.lists(python_line(), max_size=15), st.lists(suggestion, max_size=8), st.integers(0, 3))
def test_python_appliers_on_random_suggestions(lines, msg_lines, offset):
    cmd = command(abstract)
    file_lines = [line + "\n" for line in lines]
    try:
        out, new_offset = cmd.apply_python_fixes(list(file_lines), msg_lines, offset)
        out, new_offset = cmd.apply_python_comments(out, msg_lines, new_offset)
    except EXPECTED:
        return
    assert new_offset >= offset
    assert len(out) == len(file_lines) + new_offset - offset


@FUZZ
@given(yaml_source(), st.lists(suggestion, max_size=8))
def test_yaml_appliers_on_random_suggestions(source, msg_lines):
    from ruamel.yaml import YAML
    yaml = YAML()
    yaml.preserve_quotes = True
    obj = yaml.load(source)
    cmd = command(abstract)
    lines = list(msg_lines)
    try:
        cmd.apply_yaml_fix(obj, lines)
        cmd.apply_yaml_comment(obj, lines)
    except EXPECTED:
        return
    assert all(line in msg_lines for line in lines)


def patch(path, msg, fixes, comments):
    cmd = command(abstract, fixes, comments)
    patch_type = abstract.FileTypes.YAML if path.endswith(".yaml") else abstract.FileTypes.PYTHON
    cmd.apply_patches(patch_type=patch_type, msg=msg, success_queue=queue.Queue(),
                      failer_queue=queue.Queue())


@FUZZ
@given(st.lists(st.one_of(suggestion, st.text(max_size=30)), max_size=6), st.booleans(),
       st.sampled_from(["x.py", "x.yaml"]))
def test_patcher_on_random_messages(lines, header_colon, name):
    text = ("platform = 'q9800cl'\n" if name.endswith(".py") else
            "devices:\n  r1:\n    platform: q9800cl\n")
    path = scratch(name, text)
    body = "\n" + "\n".join(lines)
    msg = path + (":" if header_colon else "") + body
    try:
        patch(path, msg, True, True)
    except EXPECTED:
        # The fix pass is written before the comment pass runs: a failing
        # pass leaves the file as the passes before it wrote it, whole.
        fixed_only = scratch(name, text)
        try:
            patch(fixed_only, fixed_only + ":" + body, True, False)
        except EXPECTED:
            pass
        assert read(path) in (text.encode(), read(fixed_only))
