"""The ``tavox`` command line: ``tavox <command> [options]``.

The commands are the built-in ones of ``BUILTIN_COMMANDS`` followed by any
that plug-ins register under the entry-point group "tavox.cli.commands".
Only the module of the command that runs is imported, so one command whose
module is missing or broken leaves the others usable; ``tavox --help``
imports them all to show their summaries, and lists a command that cannot
be loaded as not available.

Logging: ``main`` attaches the framework's console handler
(``tavox.log.managed_handlers.screen``: each record's message alone, on
standard output) to the root logger and sets the root level to INFO, so the
messages that a command logs at INFO and above are its output.

Exit status: 0 when the command returns (or the help is shown), the
command's own status when it ends through ``sys.exit``, 1 when it raises or
is not available, 2 for a usage error, 130 when interrupted by Ctrl-C.
"""
import argparse
import logging
import sys

from tavox.log.managed_handlers import screen
from tavox.utils.import_utils import get_entry_points
from tavox.utils.parser import Tavox_HelpFormatter

from .base import PROG, BuiltinEntryPoint, CommandUnavailable, load_command_class

COMMANDS_ENTRYPOINT = "tavox.cli.commands"

# name -> "module:class" of the built-in commands, in the order of the help.
BUILTIN_COMMANDS = {
    "shell": "tavox.cli.commands.shell:ShellCommand",
    "create": "tavox.cli.commands.create:CreateCommand",
    "secret": "tavox.cli.commands.secret:SecretCommand",
    "validate": "tavox.cli.commands.validate:ValidateCommand",
    "version": "tavox.cli.groups:VersionCommand",
    "migrate": "tavox.cli.groups:MigrateCommand",
}

DESCRIPTION = "Tavox command line: tools for writing and running network tests."
EPILOG = "Run '%(prog)s <command> --help' for help on a command."


def find_commands():
    """Return name -> entry point of every top-level command.  A plug-in
    command whose name is already taken is ignored."""
    commands = {name: BuiltinEntryPoint(name, value, COMMANDS_ENTRYPOINT)
                for name, value in BUILTIN_COMMANDS.items()}
    for entry_point in get_entry_points(COMMANDS_ENTRYPOINT):
        commands.setdefault(entry_point.name, entry_point)
    return commands


class MainParser(argparse.ArgumentParser):
    """Parser of the first word of the command line (the command); the rest
    is left to the command's own parser.

    Its help lists the commands with their summaries, gathered only when
    the help is shown.
    """

    def __init__(self, commands):
        super().__init__(prog=PROG, usage="%(prog)s [-h] <command> ...",
                         description=DESCRIPTION, epilog=EPILOG,
                         formatter_class=Tavox_HelpFormatter)
        self.commands = commands
        self.add_argument("command", nargs="?", choices=list(commands),
                          metavar="<command>", help=argparse.SUPPRESS)
        self.add_argument("arguments", nargs=argparse.REMAINDER,
                          help=argparse.SUPPRESS)

    def format_listing(self):
        formatter = Tavox_HelpFormatter(prog=self.prog)
        formatter.start_section("commands")
        for name, entry_point in self.commands.items():
            try:
                cls = load_command_class(entry_point, "%s %s" % (PROG, name))
                text = cls.help or ""
            except CommandUnavailable as exc:
                text = "(not available: %s)" % exc.reason
            formatter.add_argument(argparse.Action(
                [], dest=name, help=text.replace("%", "%%")))
        formatter.end_section()
        return formatter.format_help()

    def format_help(self):
        description = self.description
        self.description = description + "\n\n" + self.format_listing()
        try:
            return super().format_help()
        finally:
            self.description = description


def configure_logging(level=logging.INFO):
    """Show the commands' log messages at ``level`` and above on the
    console."""
    root = logging.getLogger()
    root.addHandler(screen)
    root.setLevel(level)


def main(argv=None):
    """Run the ``tavox`` command line ``argv`` (by default the process's
    arguments) and return the exit status."""
    argv = sys.argv[1:] if argv is None else list(argv)
    commands = find_commands()
    if argv and argv[0] in commands:
        name, arguments = argv[0], argv[1:]
    else:
        parser = MainParser(commands)
        parsed = parser.parse_args(argv)
        if parsed.command is None:
            parser.print_help()
            return 0
        name, arguments = parsed.command, parsed.arguments

    configure_logging()
    prog = "%s %s" % (PROG, name)
    try:
        command = load_command_class(commands[name], prog)(prog=prog)
        command.run(command.parser.parse_args(arguments))
    except CommandUnavailable as exc:
        print("%s: %s" % (PROG, exc), file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(file=sys.stderr)
        return 130
    return 0


if __name__ == "__main__":
    sys.exit(main())
