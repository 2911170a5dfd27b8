"""The command groups of the ``tavox`` command line that hold commands of
the framework itself: ``tavox version`` and ``tavox migrate``.

Their subcommands are named by entry points, so that a subcommand's module
is imported only when the group is used.
"""
from .base import BuiltinEntryPoint, CommandWithSubcommands


class VersionCommand(CommandWithSubcommands):
    name = "version"
    help = "commands about the version of this Tavox installation"
    description = """
Commands that inspect or change the version of the Tavox installation in
this environment.
"""
    SUBCMDS_ENTRYPOINT = "tavox.cli.commands.version"
    SUBCOMMANDS = [
        BuiltinEntryPoint("update",
                   "tavox.cli.commands.version.update:VersionUpdateCommand",
                   SUBCMDS_ENTRYPOINT),
    ]


class MigrateCommand(CommandWithSubcommands):
    name = "migrate"
    help = "migrate test repositories to newer Tavox conventions"
    description = """
Commands that find, and on request apply, the changes that test scripts,
testbeds and libraries need to follow newer Tavox conventions.
"""
    SUBCMDS_ENTRYPOINT = "tavox.cli.commands.migrate"
    SUBCOMMANDS = [
        BuiltinEntryPoint("abstract",
                   "tavox.cli.commands.migrate.abstract:MigrateAbstractCommand",
                   SUBCMDS_ENTRYPOINT),
    ]
