"""Token tables: reading pid_tokens.csv, mapping one value to its tokens, and
merging the tokens of the enclosing package directories."""
import os

import pytest


def test_read_tokens_fills_the_four_tables(abstract, tokens):
    assert tokens is abstract.PID_TOKENS
    assert abstract.PID_TOKENS["M3-B"] == ["m3", "tor8k", "rheny"]
    assert abstract.TOKEN_HIERARCHY["rhenx"]["tor9k"]["q9300"] == ["Q9300-24T"]
    assert list(abstract.TOKEN_HIERARCHY["rhenx"]) == ["tor9k", "tor7k"]
    assert abstract.PLATFORM_TOKENS["tor9k"] == {"rhenx", "rheny"}
    assert abstract.MODEL_TOKENS["q9300"] == {"tor9k": {"rhenx", "rheny"}, "q9k": {"dalos"}}


def test_read_tokens_reads_the_file_once(abstract, tokens, monkeypatch):
    monkeypatch.setattr(abstract, "PID_TOKENS_FILE", "/nonexistent/pid_tokens.csv")
    assert abstract.read_tokens() is tokens


def test_repeated_pid_keeps_the_last_row_and_every_hierarchy_entry(abstract, load_table):
    load_table("pid,os,platform,model\nP1,rhenx,tor9k,a\nP1,rheny,tor8k,b\n")
    assert abstract.PID_TOKENS == {"P1": ["b", "tor8k", "rheny"]}
    assert abstract.TOKEN_HIERARCHY == {"rhenx": {"tor9k": {"a": ["P1"]}},
                                        "rheny": {"tor8k": {"b": ["P1"]}}}


@pytest.mark.parametrize("bad_row", ["P2,rhenx,tor9k", ""])
def test_short_row_ends_the_load_and_keeps_earlier_rows(abstract, load_table, bad_row):
    with pytest.raises(IndexError, match="line 3"):
        load_table(f"pid,os,platform,model\nP1,rhenx,tor9k,a\n{bad_row}\nP3,rhenx,tor9k,c\n")
    assert list(abstract.PID_TOKENS) == ["P1"]


def test_missing_table_raises_and_changes_nothing(abstract, load_table, monkeypatch):
    load_table()
    before = dict(abstract.PID_TOKENS)
    abstract.PID_TOKENS.clear()
    monkeypatch.setattr(abstract, "PID_TOKENS_FILE", "/nonexistent/pid_tokens.csv")
    with pytest.raises(FileNotFoundError):
        abstract.read_tokens()
    assert abstract.PID_TOKENS == {} and before


@pytest.mark.parametrize("value, expected", [
    ("RHENX", {"os": "rhenx"}),
    ("L2VLIM", {"platform": "l2vlim"}),
    ("M3-A", {"os": "rhenx", "platform": "tor9k", "model": "m3", "pid": "M3-A"}),
    ("Ferrin", {"os": "rhenx", "platform": "tor9k", "model": "q9100ap"}),
    ("zel_ap", {"os": "rhenx", "platform": "tor9k", "model": "q9100ap"}),
    ("Q9800_CL", {"os": "rhenx", "platform": "tor9k", "model": "q9800", "submodel": "q9800cl"}),
    ("q9800l", {"os": "rhenx", "platform": "tor9k", "model": "q9800", "submodel": "q9800l"}),
    ("Mystery", {"unknown": "Mystery"}),
])
def test_compute_tokens_rules(abstract, tokens, value, expected):
    result = abstract.compute_tokens(value)
    assert result == expected
    assert list(result) == list(expected)  # keys in hierarchy order


def test_pid_matches_only_in_its_own_case(abstract, tokens):
    assert abstract.compute_tokens("m3-a") == {"unknown": "m3-a"}


def test_model_on_several_platforms_lists_them(abstract, tokens):
    result = abstract.compute_tokens("Q9300")
    assert list(result) == ["os", "platform", "model"]
    assert result["platform"] == ["tor9k", "q9k"]
    assert sorted(result["os"]) == ["dalos", "rhenx", "rheny"]
    assert result["model"] == "q9300"


def test_platform_of_the_table(abstract, tokens):
    result = abstract.compute_tokens("TOR7K")
    assert result == {"os": ["rhenx"], "platform": "tor7k"}


def test_special_cases_win_over_the_table(abstract, load_table):
    load_table("pid,os,platform,model\nX1,dalos,ap,q9800cl\n")
    assert abstract.compute_tokens("ap")["platform"] == "tor9k"
    assert abstract.compute_tokens("q9800cl")["submodel"] == "q9800cl"


def test_compute_tokens_refuses_what_is_not_text(abstract, tokens):
    with pytest.raises(AttributeError):
        abstract.compute_tokens(42)


@pytest.mark.parametrize("registered, path, expected", [
    ({}, "a/b/c", {}),
    ({"a": {"os": "rhenx"}, "a/b": {"platform": "tor9k"}}, "a/b/c",
     {"os": "rhenx", "platform": "tor9k"}),
    ({"a": {"os": "rhenx", "platform": "x"}, "a/b": {"platform": "tor9k"}}, "a/b/c",
     {"os": "rhenx", "platform": "tor9k"}),
    # the directory itself is not looked up, only its ancestors
    ({"a/b/c": {"model": "m"}}, "a/b/c", {}),
    ({"/r": {"os": "rhen"}, "/r/x": {"platform": "p"}}, "/r/x/y/z",
     {"os": "rhen", "platform": "p"}),
])
def test_get_parent_tokens(command, registered, path, expected):
    command.token_paths.update(registered)
    result = command.get_parent_tokens(path.replace("/", os.sep))
    assert result == expected
    assert result is not registered.get(os.path.dirname(path))


@pytest.mark.parametrize("pattern, text, groups", [
    ("PLATFORM_MATCH", "tor9k", {}),
    ("PLATFORM_MATCH", "tor9", None),
    ("MODEL_MATCH", "q9100ap", {"platform_identifier": "q", "model_num": "91",
                                "platform_num": "9", "model_suffix": "ap", "pid_num": None}),
    ("MODEL_MATCH", "grx5212-extra", {"platform_identifier": "grx", "model_num": "52",
                                      "platform_num": "5", "model_suffix": None,
                                      "pid_num": "12"}),
    ("MODEL_MATCH", "zz9100", None),
])
def test_exported_token_patterns(abstract, pattern, text, groups):
    match = getattr(abstract, pattern).match(text)
    if groups is None:
        assert match is None
    else:
        assert match is not None and match.groupdict() == groups
