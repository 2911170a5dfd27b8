"""The ``tavox`` dispatcher, run as users run it: a real process, with
commands contributed by real installed distributions where a test needs
one."""
import importlib
import subprocess

import pytest

BUILTIN = ["shell", "create", "secret", "validate", "version", "migrate"]
BUILTIN_CLASSES = {
    "shell": ("tavox.cli.commands.shell", "ShellCommand"),
    "create": ("tavox.cli.commands.create", "CreateCommand"),
    "secret": ("tavox.cli.commands.secret", "SecretCommand"),
    "validate": ("tavox.cli.commands.validate", "ValidateCommand"),
    "version": ("tavox.cli.groups", "VersionCommand"),
    "migrate": ("tavox.cli.groups", "MigrateCommand"),
}

# A top-level command whose run() ends in the way its --mode option says.
ENDINGS_MODULE = """
    import logging
    import sys
    from tavox.cli.base import Command

    logger = logging.getLogger(__name__)

    class EndCommand(Command):
        name = "end"
        help = "end in a chosen way"

        def __init__(self, *args, **kwargs):
            super().__init__(*args, **kwargs)
            self.parser.add_argument("--mode", default="return")

        def run(self, args):
            logger.debug("debug line")
            logger.info("info line")
            logger.warning("warning line")
            if args.mode == "exit":
                sys.exit(3)
            if args.mode == "raise":
                raise ValueError("broken on purpose")
            if args.mode == "interrupt":
                raise KeyboardInterrupt
"""


def run(cmd, env=None):
    return subprocess.run(cmd, capture_output=True, text=True, env=env,
                          stdin=subprocess.DEVNULL, timeout=120)


def loaded_help(name):
    module, cls = BUILTIN_CLASSES[name]
    try:
        return getattr(importlib.import_module(module), cls).help
    except ImportError:
        return None


@pytest.mark.parametrize("argv", [[], ["--help"], ["-h"]])
def test_help_lists_every_command_with_its_summary(tavox_cmd, argv):
    result = run(tavox_cmd + argv)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("usage: tavox")
    lines = result.stdout.splitlines()
    for name in BUILTIN:
        [line] = [l for l in lines if l.split()[:1] == [name]]
        summary = loaded_help(name)
        expected = summary if summary is not None else "(not available:"
        assert expected in line


def test_unknown_command_is_a_usage_error(tavox_cmd):
    result = run(tavox_cmd + ["frobnicate"])
    assert result.returncode == 2
    assert result.stdout == ""
    assert result.stderr.startswith("usage: tavox")
    assert "tavox: error: argument <command>: invalid choice: 'frobnicate'" in result.stderr


@pytest.mark.parametrize("module, reason", [
    (None, "No module named 'ghost_command'"),
    ("raise RuntimeError('half built')", "RuntimeError: half built"),
    ("EndCommand = 42", "42 is not a command class"),
])
def test_command_that_cannot_be_loaded(tavox_cmd, make_dist, subprocess_env,
                                       module, reason):
    modules = {"ghost_command.py": module} if module else {}
    dist = make_dist("ghost", "1.0",
                     {"tavox.cli.commands": {"ghost": "ghost_command:EndCommand"}},
                     modules)
    env = subprocess_env(dist)

    result = run(tavox_cmd + ["ghost", "--anything"], env)
    assert result.returncode == 1
    assert result.stderr == f"tavox: command 'ghost' is not available: {reason}\n"

    # The other commands, and the listing, are not disturbed.
    listing = run(tavox_cmd + ["--help"], env)
    assert listing.returncode == 0
    [line] = [l for l in listing.stdout.splitlines() if l.split()[:1] == ["ghost"]]
    assert f"(not available: {reason})" in line


@pytest.mark.parametrize("mode, status, stdout_has, stderr_has", [
    ("return", 0, "info line\nwarning line\n", None),
    ("exit", 3, "warning line", None),
    ("raise", 1, "warning line", "ValueError: broken on purpose"),
    ("interrupt", 130, "warning line", None),
])
def test_command_outcome_and_logging(tavox_cmd, make_dist, subprocess_env,
                                     mode, status, stdout_has, stderr_has):
    dist = make_dist("ending", "1.0",
                     {"tavox.cli.commands": {"end": "ending_command:EndCommand"}},
                     {"ending_command.py": ENDINGS_MODULE})
    result = run(tavox_cmd + ["end", "--mode", mode], subprocess_env(dist))
    assert result.returncode == status, result.stderr
    assert stdout_has in result.stdout
    assert "debug line" not in result.stdout + result.stderr
    if stderr_has:
        assert stderr_has in result.stderr
    else:
        assert "Traceback" not in result.stderr


def test_plugin_command_options_are_its_own(tavox_cmd, make_dist, subprocess_env):
    dist = make_dist("ending", "1.0",
                     {"tavox.cli.commands": {"end": "ending_command:EndCommand"}},
                     {"ending_command.py": ENDINGS_MODULE})
    env = subprocess_env(dist)
    result = run(tavox_cmd + ["end", "--help"], env)
    assert result.returncode == 0
    assert result.stdout.startswith("usage: tavox end [-h] [--mode MODE]")

    result = run(tavox_cmd + ["end", "--bogus"], env)
    assert result.returncode == 2
    assert "tavox end: error: unrecognized arguments: --bogus" in result.stderr


SECRET_PLUGINS = {
    "demo_secret.py": """
        from tavox.cli.base import Subcommand

        class Reverse(Subcommand):
            name = "reverse"
            help = "reverse a secret string"
            description = "Reverses TEXT, which hides it from nobody."

            def __init__(self, *args, **kwargs):
                super().__init__(*args, **kwargs)
                self.parser.add_argument("text")

            def run(self, args):
                print("reversed:", args.text[::-1])
    """,
    "broken_secret.py": "import no_such_dependency\n",
}


def test_group_with_plugin_subcommands(tavox_cmd, make_dist, subprocess_env):
    pytest.importorskip("tavox.cli.commands.secret")
    dist = make_dist("demo-secret", "1.0",
                     {"tavox.cli.commands.secret": {
                         "reverse": "demo_secret:Reverse",
                         "broken": "broken_secret:Whatever"}},
                     SECRET_PLUGINS)
    env = subprocess_env(dist)

    listing = run(tavox_cmd + ["secret", "--help"], env)
    assert listing.returncode == 0, listing.stderr
    lines = listing.stdout.splitlines()
    assert any(l.split() == ["reverse", "reverse", "a", "secret", "string"] for l in lines)
    assert any(l.split()[:1] == ["broken"] and "No module named 'no_such_dependency'" in l
               for l in lines)

    # Without a subcommand the group shows the same help.
    assert run(tavox_cmd + ["secret"], env).stdout == listing.stdout

    sub_help = run(tavox_cmd + ["secret", "reverse", "--help"], env)
    assert sub_help.stdout.startswith("usage: tavox secret reverse [-h] text")
    assert "Reverses TEXT, which hides it from nobody." in sub_help.stdout

    result = run(tavox_cmd + ["secret", "reverse", "abc"], env)
    assert (result.returncode, result.stdout) == (0, "reversed: cba\n")

    result = run(tavox_cmd + ["secret", "broken", "abc"], env)
    assert result.returncode == 1
    assert result.stderr == ("tavox: command 'secret broken' is not available: "
                             "No module named 'no_such_dependency'\n")

    result = run(tavox_cmd + ["secret", "nope"], env)
    assert result.returncode == 2
    assert "tavox secret: error: argument <subcommand>: invalid choice: 'nope'" in result.stderr


# Every group with a subcommand of each kind: built in, or from a plug-in.
PLAIN_SUBCOMMAND = {"plain_subcommand.py": """
    from tavox.cli.base import Subcommand

    class Plain(Subcommand):
        name = "plain"
        help = "takes no options"

        def run(self, args):
            print("ran")
"""}


@pytest.mark.parametrize("argv, prog, extras", [
    (["create", "project", "--bogus"], "tavox create project", "--bogus"),
    (["version", "update", "--bogus"], "tavox version update", "--bogus"),
    (["migrate", "abstract", ".", "--bogus", "x"], "tavox migrate abstract", "--bogus x"),
    (["secret", "plain", "--bogus"], "tavox secret plain", "--bogus"),
    (["validate", "plain", "--bogus"], "tavox validate plain", "--bogus"),
    # a word before the subcommand is still the group's
    (["migrate", "--bogus", "abstract", "."], "tavox migrate", "--bogus"),
])
def test_unknown_words_are_reported_by_the_command_typed(tavox_cmd, make_dist, subprocess_env,
                                                        argv, prog, extras):
    dist = make_dist("plain", "1.0", {
        "tavox.cli.commands.secret": {"plain": "plain_subcommand:Plain"},
        "tavox.cli.commands.validate": {"plain": "plain_subcommand:Plain"},
    }, PLAIN_SUBCOMMAND)
    result = run(tavox_cmd + argv, subprocess_env(dist))
    assert result.returncode == 2
    assert result.stderr.startswith("usage: %s [-h]" % prog)
    assert result.stderr.endswith("\n%s: error: unrecognized arguments: %s\n" % (prog, extras))
