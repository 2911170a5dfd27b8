"""The `secret` and `validate` groups: declarations only; the host collects
their subcommands from installed plug-ins."""
import subprocess

import pytest

from tavox.cli.base import CommandWithSubcommands
from tavox.cli.commands.secret import SecretCommand
from tavox.cli.commands.validate import ValidateCommand

GROUPS = [
    (SecretCommand, "secret", "utilities for working with secret strings.",
     " Command for working with secret strings. "),
    (ValidateCommand, "validate", "utilities that help to validate input files", None),
]


@pytest.mark.parametrize("cls, name, help_text, doc", GROUPS)
def test_group_declaration(cls, name, help_text, doc):
    assert issubclass(cls, CommandWithSubcommands)
    assert cls.__doc__ == doc
    assert (cls.name, cls.help) == (name, help_text)
    assert cls.SUBCOMMANDS == []
    assert cls.SUBCMDS_ENTRYPOINT == "tavox.cli.commands." + name
    assert cls.__module__ == "tavox.cli.commands." + name
    # Declarations only: no method of their own.
    assert not [k for k, v in vars(cls).items() if callable(v) and not k.startswith("__")]


def test_modules_define_nothing_else():
    import tavox.cli.commands.secret as secret
    import tavox.cli.commands.validate as validate
    for mod, cls in ((secret, "SecretCommand"), (validate, "ValidateCommand")):
        public = {k for k in vars(mod) if not k.startswith("__")}
        assert public == {"CommandWithSubcommands", cls}


@pytest.mark.parametrize("name", ["secret", "validate"])
def test_group_loads_without_plugins(name, tavox_cmd):
    result = subprocess.run(tavox_cmd + [name, "--help"], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    assert "usage:" in result.stdout


def test_plugin_subcommand_is_offered_and_runs(tavox_cmd, make_dist, subprocess_env):
    dist = make_dist("demo-secret", "1.0",
                     {"tavox.cli.commands.secret": {"encode": "demo_secret:Encode"}},
                     {"demo_secret.py": """
                         from tavox.cli.base import Subcommand

                         class Encode(Subcommand):
                             name = "encode"
                             help = "encode a secret string"
                             description = "Encode a secret string."

                             def __init__(self, *args, **kwargs):
                                 super().__init__(*args, **kwargs)
                                 self.parser.add_argument("text")

                             def run(self, args):
                                 print("encoded:", args.text[::-1])
                     """})
    env = subprocess_env(dist)
    listing = subprocess.run(tavox_cmd + ["secret", "--help"], capture_output=True,
                             text=True, env=env)
    assert "encode" in listing.stdout
    result = subprocess.run(tavox_cmd + ["secret", "encode", "abc"], capture_output=True,
                            text=True, env=env)
    assert result.returncode == 0, result.stderr
    assert "encoded: cba" in result.stdout
