"""The command base classes, used in-process as the native commands and
plug-ins use them."""
import argparse
import logging

import pytest

from tavox.cli.base import (Command, CommandUnavailable, CommandWithSubcommands,
                            Subcommand)

PLUGINS = """
    from tavox.cli.base import Subcommand

    class Shout(Subcommand):
        name = "shout"
        help = "say it loudly"

        def __init__(self, *args, **kwargs):
            super().__init__(*args, **kwargs)
            self.parser.add_argument("--word", required=True)

        def run(self, args):
            print(args.word.upper(), args.subcommand, sorted(vars(args)))

    class Fragile(Subcommand):
        name = "fragile"

        def __init__(self, *args, **kwargs):
            super().__init__(*args, **kwargs)
            self.parser.add_argument("--needed", required=True)
            raise RuntimeError("cannot start")

    class Project(Subcommand):
        name = "project"
        help = "a plug-in that tries to replace a built-in subcommand"

    NOT_A_COMMAND = len
"""


class Greet(Subcommand):
    name = "greet"
    help = "greet someone"
    description = "\nGreets WHO.\n    "

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        group = self.parser.add_mutually_exclusive_group()
        group.add_argument("--loud", action="store_true")
        group.add_argument("--quiet", action="store_true")
        self.parser.add_argument("who")

    def run(self, args):
        print(("HELLO " if args.loud else "hello ") + args.who)


class Project(Greet):
    name = "project"


def make_group(entrypoint_group="test.tavox.group"):
    class Group(CommandWithSubcommands):
        name = "demo"
        help = "a demo group"
        SUBCOMMANDS = [Greet, Project]
        SUBCMDS_ENTRYPOINT = entrypoint_group
    return Group


@pytest.fixture
def plugins(make_dist, monkeypatch):
    dist = make_dist("demo-plugins", "1.0", {"test.tavox.group": {
        "shout": "demo_plugins:Shout",
        "fragile": "demo_plugins:Fragile",
        "project": "demo_plugins:Project",
        "notacommand": "demo_plugins:NOT_A_COMMAND",
        "missing": "demo_plugins_missing:Thing",
    }}, {"demo_plugins.py": PLUGINS})
    monkeypatch.syspath_prepend(str(dist))
    return dist


def test_command_parser_belongs_to_the_command():
    first, second = Greet(), Greet()
    assert isinstance(first.parser, argparse.ArgumentParser)
    assert first.parser is not second.parser
    assert first.parser.prog == "tavox greet"
    assert Greet(prog="tavox demo greet").parser.prog == "tavox demo greet"
    args = first.parser.parse_args(["--loud", "bob"])
    assert (args.loud, args.quiet, args.who) == (True, False, "bob")
    with pytest.raises(SystemExit) as exc:
        first.parser.parse_args(["--loud", "--quiet", "bob"])
    assert exc.value.code == 2


def test_description_is_shown_as_written():
    text = Greet().parser.format_help()
    assert "\n\nGreets WHO.\n\n" in text


def test_base_run_is_abstract():
    with pytest.raises(NotImplementedError):
        Command().run(argparse.Namespace())


def test_group_dispatches_to_builtin_and_plugin_subcommands(plugins, capsys):
    group = make_group()()
    args = group.parser.parse_args(["greet", "--loud", "ann"])
    assert args.subcommand == "greet"
    group.run(args)
    args = group.parser.parse_args(["shout", "--word", "hey"])
    group.run(args)
    assert capsys.readouterr().out == (
        "HELLO ann\nHEY shout ['subcommand', 'word']\n")
    assert group.subcommands["shout"].parser.prog == "tavox demo shout"


def test_group_without_subcommand_prints_its_help(plugins, capsys):
    group = make_group()()
    group.run(group.parser.parse_args([]))
    out = capsys.readouterr().out
    assert out.startswith("usage: tavox demo [-h] <subcommand> ...")
    for name, text in [("greet", "greet someone"), ("shout", "say it loudly")]:
        assert any(line.split() == [name] + text.split() for line in out.splitlines())


def test_builtin_subcommand_wins_over_plugin_of_same_name(plugins, caplog):
    with caplog.at_level(logging.WARNING, logger="tavox.cli.base"):
        group = make_group()()
    assert type(group.subcommands["project"]) is Project
    assert "Ignoring plug-in subcommand 'project'" in caplog.text


@pytest.mark.parametrize("name, reason", [
    ("fragile", "RuntimeError: cannot start"),
    ("missing", "No module named 'demo_plugins_missing'"),
    ("notacommand", "is not a command class"),
])
def test_unusable_plugin_is_listed_and_refuses_to_run(plugins, name, reason):
    group = make_group()()
    assert "(not available:" in group.parser.format_help()
    args = group.parser.parse_args([name, "--needed", "x"])
    with pytest.raises(CommandUnavailable) as exc:
        group.run(args)
    assert exc.value.command == "demo " + name
    assert reason in str(exc.value)
    # The usable ones still work.
    group.run(group.parser.parse_args(["greet", "x"]))


def test_group_without_any_subcommand():
    group = make_group("test.tavox.nothing.here")
    group.SUBCOMMANDS = []
    command = group()
    assert "No subcommands are installed." in command.parser.format_help()
    with pytest.raises(SystemExit) as exc:
        command.parser.parse_args(["anything"])
    assert exc.value.code == 2
