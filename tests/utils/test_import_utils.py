"""Entry points as the framework finds them."""
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
