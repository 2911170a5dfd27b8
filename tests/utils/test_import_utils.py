"""Entry points as the framework finds them."""
import subprocess
import sys

import pytest

from tavox.utils.import_utils import get_entry_points

GROUP = "test.tavox.import_utils"


def test_entry_points_of_a_group(make_dist, monkeypatch):
    one = make_dist("plugin-one", "1.0", {GROUP: {"alpha": "plugin_one:ALPHA"},
                                          "test.tavox.other": {"x": "plugin_one:X"}},
                    {"plugin_one.py": "ALPHA = 'a'\nX = 'x'\n"})
    two = make_dist("plugin-two", "2.0", {GROUP: {"beta": "plugin_two.sub:make"}},
                    {"plugin_two/__init__.py": "",
                     "plugin_two/sub.py": "def make():\n    return 'b'\n"})
    for path in (two, one):
        monkeypatch.syspath_prepend(str(path))

    found = get_entry_points(GROUP)

    assert [(ep.name, ep.module, ep.dist.name) for ep in found] == [
        ("alpha", "plugin_one", "plugin-one"), ("beta", "plugin_two.sub", "plugin-two")]
    assert found[0].load() == "a"
    assert found[1].load()() == "b"
    assert get_entry_points("test.tavox.no.such.group") == []


def test_a_distribution_seen_twice_gives_its_entry_points_once(make_dist, monkeypatch):
    # The same distribution installed in two places on the path, as with an
    # installed copy and a development checkout.
    for _ in range(2):
        dist = make_dist("plugin-twice", "1.0", {GROUP + ".twice": {"only": "twice:ONLY"}},
                         {"twice.py": "ONLY = 1\n"})
        monkeypatch.syspath_prepend(str(dist))
    found = get_entry_points(GROUP + ".twice")
    assert [ep.name for ep in found] == ["only"]


def test_a_distribution_added_to_a_directory_already_on_the_path(make_dist, monkeypatch):
    from ..conftest import _write_dist
    where = make_dist("plugin-first", "1.0", {GROUP + ".first": {"a": "first:A"}})
    monkeypatch.syspath_prepend(str(where))
    assert get_entry_points(GROUP + ".late") == []
    # installed later into the same directory: the path itself is unchanged
    _write_dist(where, "plugin-late", "1.0", {GROUP + ".late": {"late": "late:LATE"}}, {})
    assert [ep.name for ep in get_entry_points(GROUP + ".late")] == ["late"]


@pytest.mark.parametrize("group, imported", [
    ("test.tavox.no.such.group", False),   # nothing declares it: no metadata machinery
    ("console_scripts", True),             # declared: the full lookup runs
])
def test_the_metadata_machinery_is_imported_only_when_needed(group, imported, subprocess_env):
    code = ("import sys\nfrom tavox.utils.import_utils import get_entry_points\n"
            "found = get_entry_points(%r)\n"
            "print('importlib.metadata' in sys.modules, bool(found))" % group)
    out = subprocess.run([sys.executable, "-c", code], env=subprocess_env(), check=True,
                         capture_output=True, text=True).stdout.split()
    assert out == [str(imported), str(imported)]


def test_built_in_commands_need_no_metadata(subprocess_env):
    # the dispatcher and the groups name their own commands without it
    code = ("import sys\nimport tavox.cli.main, tavox.cli.groups as g\n"
            "ep = g.MigrateCommand.SUBCOMMANDS[0]\n"
            "print('importlib.metadata' in sys.modules, ep.load().__name__, ep.module, repr(ep))")
    out = subprocess.run([sys.executable, "-c", code], env=subprocess_env(), check=True,
                         capture_output=True, text=True).stdout.strip()
    assert out == ("False MigrateAbstractCommand tavox.cli.commands.migrate.abstract "
                   "EntryPoint(name='abstract', value='tavox.cli.commands.migrate.abstract:"
                   "MigrateAbstractCommand', group='tavox.cli.commands.migrate')")
