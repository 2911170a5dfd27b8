"""The framework's Configuration: plug-ins and INI files merged in order."""
import pytest

from tavox.datastructures import Configuration


def write(path, text):
    path.write_text(text)
    return str(path)


def test_load_cfgs_merges_in_order_and_skips_what_is_absent(tmp_path):
    general = write(tmp_path / "general.conf",
                    "[report]\nformat = text\nlevel = info\n"
                    "[paths]\nlogs = /var/log/tavox\n")
    user = write(tmp_path / "user.conf",
                 "[report]\nlevel = debug\nTimeStamps = yes\n")
    specific = write(tmp_path / "specific.conf",
                     "[DEFAULT]\nowner = lab\n[report]\nformat = 100% json\n")
    config = Configuration()

    loaded = config.load_cfgs(general, str(tmp_path / "missing.conf"), "",
                              str(tmp_path), user, specific)

    assert loaded == [general, user, specific]
    assert config == {
        "report": {"format": "100% json", "level": "debug",
                   "TimeStamps": "yes", "owner": "lab"},
        "paths": {"logs": "/var/log/tavox"},
    }


def test_load_cfgs_with_nothing_to_load():
    config = Configuration()
    assert config.load_cfgs("", "", "/nonexistent/tavox.conf") == []
    assert config == {}


def test_load_cfgs_rejects_a_malformed_file(tmp_path):
    bad = write(tmp_path / "bad.conf", "no section header here\n")
    with pytest.raises(Exception) as exc:
        Configuration().load_cfgs(bad)
    assert "bad.conf" in str(exc.value)


PLUGIN = """
    def defaults():
        return {"report": {"format": "html", "level": "info"}}

    OVERRIDES = {"report": {"level": "warning"}, "extra": {"on": "1"}}
    NOT_A_MAPPING = ["report"]
"""


def test_load_entrypoint_applies_plugins(make_dist, monkeypatch, tmp_path):
    first = make_dist("conf-defaults", "1.0",
                      {"test.tavox.configuration": {"defaults": "conf_plugin:defaults"}},
                      {"conf_plugin.py": PLUGIN})
    second = make_dist("conf-overrides", "2.0",
                       {"test.tavox.configuration": {"overrides": "conf_plugin:OVERRIDES"}})
    monkeypatch.syspath_prepend(str(second))
    monkeypatch.syspath_prepend(str(first))
    config = Configuration()

    applied = config.load_entrypoint("test.tavox.configuration")

    assert [(ep.name, ep.module, ep.dist.name) for ep in applied] == [
        ("defaults", "conf_plugin", "conf-defaults"),
        ("overrides", "conf_plugin", "conf-overrides")]
    assert "conf_plugin:defaults" in str(applied[0])
    assert config == {"report": {"format": "html", "level": "warning"},
                      "extra": {"on": "1"}}
    # Files come after the plug-ins and override them.
    config.load_cfgs(write(tmp_path / "t.conf", "[report]\nformat = text\n"))
    assert config["report"] == {"format": "text", "level": "warning"}


def test_load_entrypoint_rejects_a_plugin_without_a_mapping(make_dist, monkeypatch):
    dist = make_dist("conf-bad", "1.0",
                     {"test.tavox.configuration.bad": {"bad": "conf_plugin:NOT_A_MAPPING"}},
                     {"conf_plugin.py": PLUGIN})
    monkeypatch.syspath_prepend(str(dist))
    with pytest.raises(TypeError, match="not a mapping"):
        Configuration().load_entrypoint("test.tavox.configuration.bad")
    assert Configuration().load_entrypoint("test.tavox.no.such.group") == []
