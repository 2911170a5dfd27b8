"""The YAML check read natively against the loader path: every document
gives the same message, the same "Could not load yaml file" or the same
logged failure whichever path reads it.

The loader path is forced by binding a Loader whose load does not declare
itself equivalent to PyYAML's C safe loader.  Which path decided is seen by
counting the host loader's calls into PyYAML."""
import argparse
import collections
import functools
import logging
import os
import pathlib
import queue
import re
import sys
import threading
import time
import types

import pytest
import yaml
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

import tavox.utils.yaml as host_yaml

from .conftest import drain

ROOT = pathlib.Path(__file__).resolve().parents[4]
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
EXAMPLES = int(os.environ.get("TAVOX_FUZZ_EXAMPLES", "25" if SANITIZED else "300"))

needs_c_loader = pytest.mark.skipif(
    not hasattr(yaml, "CSafeLoader"),
    reason="PyYAML without its C loader: the host loader declares nothing")


class Undeclared(host_yaml.Loader):
    """The host loader, its load overridden: the loader path reads every file."""

    def load(self, stream):
        return super().load(stream)


@pytest.fixture
def paths(abstract, tokens, command, tmp_path, monkeypatch):
    """paths(content) -> ((native outcome, loader calls), loader outcome),
    an outcome being the queued messages and the logged failures."""
    calls = []

    class CountingYaml:
        def __getattr__(self, name):
            return getattr(yaml, name)

        def load(self, *args, **kwargs):
            calls.append(1)
            return yaml.load(*args, **kwargs)

    monkeypatch.setattr(host_yaml, "yaml", CountingYaml())
    logger = logging.getLogger(abstract.__name__)
    path = tmp_path / "tb.yaml"

    def outcome(loader):
        monkeypatch.setattr(abstract, "Loader", loader)
        failures = []
        handler = logging.Handler()
        handler.emit = lambda r: failures.append((r.getMessage(), r.exc_info and r.exc_info[0]))
        logger.addHandler(handler)
        try:
            q = queue.Queue()
            command.check_yaml(str(path), q)
        finally:
            logger.removeHandler(handler)
        return drain(q), failures

    def run(content):
        path.write_bytes(content if isinstance(content, bytes) else content.encode())
        calls.clear()
        native = outcome(host_yaml.Loader)
        return (native, len(calls)), outcome(Undeclared)

    return run


# ---- documents of testbed shape, with every YAML feature -------------------

WORDS = ["ap", "AP", "q9300", "Q9300", "m3", "M3-A", "Q9800-4", "q9800cl", "Q9800_L", "tor9k",
         "TOR9K", "tor7k", "rhenx", "rheny", "linux", "dalos", "trago", "zel_ap", "Ferrin",
         "weird", "unknown_os", "q9100ap"]
HARMLESS = ["1", "-2", "0x1F", "017", "0b101", "1_000", "1:30", "1.5", ".inf", "-.Inf", ".NaN",
            "yes", "Off", "~", "null", "", "2001-12-14", "2001-12-14t21:59:43.10-05:00",
            "plain words", "caf\u00e9"]
TRICKY = HARMLESS + ["Null", "NO", "True", "0x_", "0b_", "-0", "+12", "08", "-.5", "1e5", "1.0e+5", "2001-13-01",
                     "2001-02-29", "2000-02-29", "2001-1-1 1:02:03", "2001-12-14 21:59:43 +24:00",
                     "2001-12-14 24:00:00", "0000-01-01", "=", "<<", "TOR9\u212a", "\u0130ap",
                     "a: b", "- x", "#c", "'q'", "[x]", "7" * 700, "x\ty", "! x", "@x"]
NAMES = ["r1", "r2", "dev-1", "r1", "Dev 2"]
ODD_NAMES = ["1", "yes", "~", "1.5", "2001-12-14", "<<", "=", "caf\u00e9"]


class S(str):
    """A scalar with its style: plain, single or double."""
    style = "plain"


def scalar(texts, styles=("plain", "plain", "plain", "single", "double")):
    def make(text, style):
        s = S(text)
        s.style = style
        return s
    return st.builds(make, texts, st.sampled_from(styles))


def pairs(keys, values, max_size=4):
    return st.lists(st.tuples(keys, values), max_size=max_size).map(
        lambda items: collections.OrderedDict(enumerate(items)))


def shaped_like_a_testbed(clean):
    """A document: a mapping with groups, devices and other sections.  A
    clean one holds only what the native check decides itself."""
    words = scalar(st.sampled_from(WORDS))
    values = words if clean else scalar(st.sampled_from(WORDS + TRICKY))
    names = scalar(st.sampled_from(NAMES), ("plain", "double")) if clean else \
        scalar(st.sampled_from(NAMES + ODD_NAMES))
    junk = st.recursive(scalar(st.sampled_from(HARMLESS if clean else TRICKY)),
                        lambda inner: st.one_of(st.lists(inner, max_size=3),
                                                pairs(names, inner, 3)), max_leaves=8)
    device_keys = st.sampled_from(["os", "platform", "model", "type", "platform"])
    device = pairs(scalar(device_keys), st.one_of(values, junk) if not clean else values, 5)
    group = pairs(scalar(st.sampled_from(["platforms", "role"])),
                  st.one_of(st.lists(values, max_size=4), values), 2)
    if not clean:
        device = st.one_of(device, junk)
        group = st.one_of(group, junk)
    section = st.sampled_from(["groups", "devices", "testbed", "topology", "devices"])
    body = {"groups": pairs(names, group), "devices": pairs(names, device),
            "testbed": junk, "topology": junk}
    return st.lists(section, max_size=5).flatmap(
        lambda keys: st.tuples(*[st.tuples(st.just(S(k)), body[k]) for k in keys])
    ).map(lambda items: collections.OrderedDict(enumerate(items)))


def render_scalar(s):
    style = getattr(s, "style", "plain")
    if style == "single":
        return "'" + s.replace("'", "''") + "'"
    if style == "double":
        return '"' + s.replace("\\", "\\\\").replace('"', '\\"').replace("\t", "\\t") + '"'
    return str(s)


def render(node, indent=0, flow=False):
    """YAML text of `node`: ordered dicts of (key, value) pairs are mappings
    (keys may repeat), lists are sequences, S are scalars."""
    pad = " " * indent
    if isinstance(node, str):
        return render_scalar(node)
    if isinstance(node, dict):
        items = list(node.values())
        if flow or not items:
            return "{" + ", ".join(f"{render(k, 0, True)}: {render(v, 0, True)}"
                                   for k, v in items) + "}"
        out = []
        for k, v in items:
            if isinstance(v, (dict, list)) and v:
                out.append(f"{pad}{render(k, 0, True)}:\n{render(v, indent + 2)}")
            else:
                out.append(f"{pad}{render(k, 0, True)}: {render(v, 0, True)}")
        return "\n".join(out)
    if flow or not node:
        return "[" + ", ".join(render(v, 0, True) for v in node) + "]"
    return "\n".join(f"{pad}-\n{render(v, indent + 2)}" if isinstance(v, (dict, list)) and v
                     else f"{pad}- {render(v, 0, True)}" for v in node)


FEATURES = [
    lambda t: "%YAML 1.1\n---\n" + t,
    lambda t: t + "\n---\nsecond: document",
    lambda t: t + "\n...\n",
    lambda t: t.replace("platform:", "platform: !!str", 1),
    lambda t: t.replace("platform:", "platform: !custom", 1),
    lambda t: t.replace("os:", "os: &a", 1) + "\nalias: *a",
    lambda t: t + "\nbase: &b {os: rhenx}\nmerged:\n  <<: *b",
    lambda t: t + "\n? [complex, key]\n: value",
    lambda t: t + "\n{a: 1}: mapping key",
    lambda t: "[" * 300 + "]" * 300 + "\n" if "devices" not in t else t,
    lambda t: "  " + t.replace("\n", "\n  "),  # indented: same document
    lambda t: t.replace(": ", ":\t", 1),
    lambda t: t + "\n# a comment\n",
]


@st.composite
def documents(draw):
    clean = draw(st.booleans())
    text = render(draw(shaped_like_a_testbed(clean)))
    if not clean:
        for feature in draw(st.lists(st.sampled_from(FEATURES), max_size=2)):
            text = feature(text)
    text += "\n"
    text = draw(st.sampled_from([text, text, text.replace("\n", "\r\n"),
                                 text.replace("\n", "\r"), "\ufeff" + text]))
    data = text.encode()
    if not clean and draw(st.integers(0, 9)) == 0:
        data = text.encode("latin-1", "replace")
    return data, clean


@needs_c_loader
@settings(max_examples=EXAMPLES, deadline=None, database=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])
@given(documents())
def test_native_check_matches_the_loader_path(paths, document):
    content, clean = document
    (native, loader_calls), loaded = paths(content)
    assert native == loaded
    event(f"{'clean' if clean else 'any'} document, {'native' if not loader_calls else 'loader'}")
    if clean:  # plain testbed data: decided without the loader
        assert loader_calls == 0, content


@needs_c_loader
@pytest.mark.parametrize("content, native", [
    ("devices:\n  r1: {os: rhenx, platform: ap}\n  r1: {os: rheny, platform: q9300}\n"
     "  r2: {platform: m3, os: linux}\n", True),                  # last value, first position
    ("groups: {g: {platforms: [ap]}, g: {platforms: [m3]}}\n", True),
    ("\ufeffdevices:\r\n  r1: {os: rhenx, platform: \"a\\\r\n  p\"}\r\n", True),
    ("devices:\r  r1:\r    platform: 'Q9300\r\r      x'\r", True),
    ("devices:\n  r1: {os: ~, platform: m3, model: 0}\n  r2: {os: yes, platform: xx}\n", True),
    ("devices:\n  r1: {os: rhenx, platform: ap, model: [1]}\n", False),   # str([1])
    ("devices:\n  r1: {os: rhenx, platform: ap, model: 0x10}\n", False),
    ("devices:\n  r1: {platform: 1.5}\n", False),                 # logged: no lower()
    ("devices:\n  r1: {platform: 0}\n  r2: {platform: false}\n", False),
    ("devices:\n", False),                                        # logged: None.items()
    ("groups:\n  g: ~\n", False),
    ("devices:\n  1: {platform: ap}\n  1.0: {platform: m3}\n", False),
    ("devices:\n  r1: {platform: TOR9\u212a}\n", False),         # lower() beyond ASCII
    ("when: 2001-02-29\ndevices:\n  r1: {platform: ap}\n", False),  # no such date
    ("n: " + "9" * 4400 + "\ndevices:\n  r1: {platform: ap}\n", False),  # digit limit
    ("n: 0x_\n", False),
    ("devices:\n  r1: {platform: ap}\n" + "x: " + "[" * 1000 + "]" * 1000 + "\n", True),
    (b"devices:\n  r1: {platform: caf\xe9}\n", True),              # not UTF-8: refused by both
    ("devices: [unclosed\n", False),
], ids=lambda v: repr(v)[:40] if isinstance(v, str) else None)
def test_edge_documents(paths, content, native):
    (native_outcome, loader_calls), loaded = paths(content)
    assert native_outcome == loaded
    assert (loader_calls == 0) == native


PLAIN = ["", "~", "null", "Null", "NULL", "nULL", "yes", "NO", "On", "oFF", "0", "-0", "+7", "017",
         "08", "0o17", "0x1F", "0x_", "0b101", "0b2", "-0b_", "1_000", "1__2", "_1", "1:30",
         "-1:59:05", "1:60", "1:5:", "1.5", "-1.5e+3", "1.5e3", "1e5", ".5", "-.5", "._5", "1.",
         "1:30.5", ".inf", "+.INF", ".Nan", ".NaN", "2001-12-14", "2001-1-14", "20011-12-14",
         "2001-12-14 21:59:43", "2001-12-14T21:59:43.5Z", "2001-12-14t1:02:03 -5",
         "2001-12-14 1:02:03 +23:59", "2001-12-14 1:02:03 +24:00", "2001-12-14 1:02:03  Z",
         "2004-02-29", "1900-02-29", "2001-04-31", "2001-12-14 23:59:60", "<<", "=", "<", "~~"]


@needs_c_loader
@pytest.mark.parametrize("value", PLAIN)
def test_plain_scalars_resolve_as_the_safe_loader_does(paths, value):
    # A device platform that loads as a str is checked natively, None is
    # skipped; anything else (or no document at all) is the loader's.
    try:
        loaded = yaml.load("x: " + value, Loader=yaml.CSafeLoader)["x"]
        native = loaded is None or isinstance(loaded, str)
    except (yaml.YAMLError, ValueError):
        native = False
    (native_outcome, loader_calls), loaded_outcome = paths(
        "devices:\n  r1: {os: rhenx, platform: %s}\n" % value)
    assert native_outcome == loaded_outcome and (loader_calls == 0) == native


# ---- when the native path steps aside --------------------------------------

DOC = "devices:\n  r1: {os: rhenx, platform: M3-A}\n  r2: {os: rheny, platform: q9300}\n"


@needs_c_loader
@pytest.mark.parametrize("change, loader_calls", [
    (lambda a, load: load("pid,os,platform,model\nM3-A,rheny,tor5k,m5\nQ1,rheny,tor9k,q9300\n"), 0),
    (lambda a, load: a.PID_TOKENS["M3-A"].__setitem__(1, "tor1k"), 1),  # a row, in place
    (lambda a, load: a.TOKEN_HIERARCHY["rheny"].update({"q9k": {}}), 0),
    (lambda a, load: a.MODEL_TOKENS["q9300"].update({"tor8k": {"rheny"}}), 0),
    (lambda a, load: a.KNOWN_PLATFORMS.add("q9300"), 0),
    (lambda a, load: setattr(a, "KNOWN_OS", {"m3-a"}), 0),
    (lambda a, load: setattr(a, "compute_tokens", lambda v: {"unknown": v}), 1),
])
def test_changed_token_tables_are_followed(abstract, load_table, paths, change, loader_calls):
    _, before = paths(DOC)  # the copy of the tables is made
    saved = {n: getattr(abstract, n) for n in ("KNOWN_OS", "KNOWN_PLATFORMS", "compute_tokens")}
    abstract.KNOWN_PLATFORMS = set(saved["KNOWN_PLATFORMS"])
    try:
        change(abstract, load_table)
        (native, calls), loaded = paths(DOC)
    finally:
        for name, value in saved.items():
            setattr(abstract, name, value)
    assert native == loaded != before and calls == loader_calls


@needs_c_loader
def test_loader_made_once_per_file_and_only_a_declared_load_bypassed(abstract, tokens, command,
                                                                     tmp_path, monkeypatch):
    path = tmp_path / "tb.yaml"
    path.write_text(DOC)
    made, loads = [], []

    class Counted(host_yaml.Loader):  # the declared load, inherited
        def __init__(self):
            made.append(1)

    @functools.wraps(host_yaml.Loader.load)  # copies the declaration too
    def wrapped(self, stream):
        loads.append(1)
        return {"devices": {"r9": {"platform": "ap"}}}

    class Wrapped(Counted):
        load = wrapped

    class Instance(Counted):
        def __init__(self):
            super().__init__()
            self.load = functools.partial(wrapped, self)

    def check(loader):
        made.clear(), loads.clear()
        monkeypatch.setattr(abstract, "Loader", loader)
        q = queue.Queue()
        command.check_yaml(str(path), q)
        return drain(q), len(made), len(loads)

    [native], made_native, _ = check(Counted)
    assert native.endswith("devices.r2.model: q9300\n") and made_native == 1
    r9 = f"{path}:\n    devices.r9.platform: ap -> tor9k\n    devices.r9.model: q9100ap\n"
    assert check(Wrapped) == check(Instance) == ([r9], 1, 1)


@needs_c_loader
def test_a_replaced_yaml_load_is_called(paths, monkeypatch):
    def load(stream, Loader):
        return {"devices": {"r9": {"platform": "ap"}}}

    monkeypatch.setattr(yaml, "load", load)
    (native, loader_calls), loaded = paths(DOC)
    assert native == loaded and "r9" in native[0][0] and loader_calls == 1


@needs_c_loader
def test_a_resolver_added_to_the_c_loader_is_followed(paths, monkeypatch):
    (native, _), loaded = paths(DOC)
    monkeypatch.setattr(yaml.CSafeLoader, "yaml_implicit_resolvers",
                        {k: v[:] for k, v in yaml.CSafeLoader.yaml_implicit_resolvers.items()},
                        raising=False)
    yaml.CSafeLoader.add_implicit_resolver("tag:yaml.org,2002:null", re.compile("^M3-A$"),
                                           list("M"))
    (changed, loader_calls), loaded_changed = paths(DOC)
    assert changed == loaded_changed != native and loader_calls == 1


@pytest.mark.skipif(hasattr(yaml, "CSafeLoader"), reason="PyYAML has its C loader here")
def test_without_the_c_loader_the_loader_reads_every_file(paths):
    assert not hasattr(host_yaml.Loader.load, "csafeloader_equivalent")
    (native, loader_calls), loaded = paths(DOC)
    assert native == loaded and loader_calls == 1


# ---- a whole repository ----------------------------------------------------

@needs_c_loader
def test_generated_repository_gives_the_same_changes_log(abstract, command, load_table,
                                                         tmp_path, monkeypatch):
    with open(abstract.PID_TOKENS_FILE) as f:
        load_table(f.read())  # the shipped table, which the generator draws from
    sys.path.insert(0, str(ROOT / "bench"))
    try:
        import migrate_abstract
        from migrate_run import message_blocks
    finally:
        sys.path.pop(0)
    repo = tmp_path / "repo"
    migrate_abstract.generate(str(repo), 0, 40 if SANITIZED else 300, 0, seed=3)
    args = argparse.Namespace(path=str(repo), init=False, python=False, yaml=True, threads=8,
                              apply_fixes=False, apply_comments=False)
    monkeypatch.setattr(logging.getLogger(abstract.__name__), "disabled", True)

    def changes(loader):
        monkeypatch.setattr(abstract, "Loader", loader)
        command.threads.clear()
        command.run(args)
        with open("/tmp/tavox_migrate_changes.log") as f:
            return message_blocks(f.read())

    native, loaded = changes(host_yaml.Loader), changes(Undeclared)
    assert native == loaded and sum(native.values()) > 20


# ---- a run's files read ahead of their workers ------------------------------

def readers():
    """The threads of this process that read YAML files ahead of a run's workers."""
    found = []
    for task in pathlib.Path("/proc/self/task").iterdir():
        try:
            name = (task / "comm").read_text().strip()
        except OSError:
            continue  # a thread that has just ended
        if name == "tavox-yaml-read":
            found.append(task)
    return found


def readers_gone(timeout=5):
    """Whether no reader is left.  A thread already joined may stay listed
    while the kernel finishes its exit: that is waited for, within `timeout`."""
    deadline = time.monotonic() + timeout
    while readers():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.01)
    return True


@pytest.fixture
def hooked_run(abstract, command, tokens, tmp_path, monkeypatch):
    """hooked_run(loader, hook) -> changes log of a --yaml run over 20 files,
    hook() called as each worker thread is made."""
    repo = tmp_path / "repo"
    repo.mkdir()
    for i in range(20):
        (repo / f"tb{i}.yaml").write_text(DOC)
    args = argparse.Namespace(path=str(repo), init=False, python=False, yaml=True, threads=4,
                              apply_fixes=False, apply_comments=False)
    monkeypatch.setattr(logging.getLogger(abstract.__name__), "disabled", True)

    def run(loader, hook=lambda: None):
        class Hooked(threading.Thread):
            def __init__(self, *a, **kw):
                hook()
                super().__init__(*a, **kw)

        monkeypatch.setattr(abstract, "Loader", loader)
        monkeypatch.setattr(abstract, "threading",
                            types.SimpleNamespace(**{**vars(threading), "Thread": Hooked}))
        command.threads.clear()
        try:
            command.run(args)
        finally:
            for t in command.threads:
                t.join()
        with open("/tmp/tavox_migrate_changes.log") as f:
            return sorted(b for b in f.read().split("\n\n") if b)

    run.repo = repo
    return run


@needs_c_loader
def test_tables_changed_after_the_files_were_read_ahead_are_followed(abstract, hooked_run):
    def change():  # once every file has been read ahead with the tables of the run's start
        if not abstract.TOKEN_HIERARCHY["rheny"].get("q9k") == {}:
            while readers():  # a reader ends when no file is left for it
                time.sleep(0.01)
            abstract.TOKEN_HIERARCHY["rheny"]["q9k"] = {}

    before = hooked_run(host_yaml.Loader)
    after = hooked_run(host_yaml.Loader, change)
    assert after == hooked_run(Undeclared, change) != before
    assert readers_gone()


@needs_c_loader
def test_files_decided_ahead_are_read_again_for_a_load_that_is_not_declared(hooked_run):
    class Instance(host_yaml.Loader):  # the class declares; what its objects call does not
        def __init__(self):
            self.load = lambda stream: yaml.load(stream, Loader=yaml.SafeLoader)

    native = hooked_run(host_yaml.Loader)
    assert hooked_run(Instance) == native and len(native) == 20


@needs_c_loader
@pytest.mark.parametrize("files", [1, 3])
def test_files_still_being_read_when_their_worker_asks_are_read_by_it(hooked_run, files):
    for old in hooked_run.repo.iterdir():
        old.unlink()
    devices = "".join(f"  r{i}: {{os: rheny, platform: q9300, model: m{i}}}\n"
                      for i in range(2000 if SANITIZED else 5000))
    for i in range(files):  # the readers are still on a file when its worker comes
        (hooked_run.repo / f"big{i}.yaml").write_text("devices:\n" + devices)
    native = hooked_run(host_yaml.Loader)
    assert native == hooked_run(Undeclared) and len(native) == files
    assert readers_gone()


def test_an_interrupted_run_stops_reading_ahead(abstract, hooked_run):
    made = []

    def interrupt():
        made.append(1)
        if len(made) == 3:
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        hooked_run(host_yaml.Loader, interrupt)
    assert readers_gone()
    made.clear()
    assert len(hooked_run(host_yaml.Loader)) == 20


@needs_c_loader
def test_a_process_forked_while_files_are_read_ahead_leaves_the_run_cleanly(hooked_run):
    # The child has none of the reading threads: leaving the run there must
    # neither join them nor touch what they may have held.
    class Leave(Exception):
        pass

    for old in hooked_run.repo.iterdir():
        old.unlink()
    devices = "".join(f"  r{i}: {{os: rheny, platform: q9300, model: m{i}}}\n"
                      for i in range(2000 if SANITIZED else 5000))
    for i in range(8):  # still being read when the process forks
        (hooked_run.repo / f"big{i}.yaml").write_text("devices:\n" + devices)
    made, forked, in_child = [], [], []

    def fork():
        made.append(1)
        if len(made) == 3:
            pid = os.fork()
            if pid == 0:
                in_child.append(1)
                raise Leave
            forked.append(pid)

    try:
        native = hooked_run(host_yaml.Loader, fork)
    except BaseException as e:
        if in_child:
            os._exit(7 if isinstance(e, Leave) else 1)
        raise
    if in_child:
        os._exit(1)
    _, status = os.waitpid(forked[0], 0)
    assert os.waitstatus_to_exitcode(status) == 7
    assert len(native) == 8 and readers_gone()
