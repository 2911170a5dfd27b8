"""Base classes of the commands of the ``tavox`` command line.

A command is a class with three texts, ``name`` (the word typed on the
command line), ``help`` (its one-line summary in its parent's list of
commands) and ``description`` (the long text of its own help), and a
``run(args)`` method.  Creating one leaves in ``self.parser`` an
``argparse.ArgumentParser`` of its own, on which a subclass registers its
options after calling the base initialiser with its arguments unchanged::

    class HelloCommand(Command):
        name = "hello"
        help = "say hello"
        description = "Says hello to someone."

        def __init__(self, *args, **kwargs):
            super().__init__(*args, **kwargs)
            self.parser.add_argument("--who", default="world")

        def run(self, args):
            print("hello", args.who)

The caller parses the command line with ``self.parser`` and passes the
namespace to ``run``.

A group (``CommandWithSubcommands``) holds subcommands, ``Subcommand``
classes: those listed in its ``SUBCOMMANDS`` and those that plug-ins
register under the entry-point group named by its ``SUBCMDS_ENTRYPOINT``.
A distribution adds ``tavox secret encode`` by declaring::

    [tavox.cli.commands.secret]
    encode = my_plugin.secret:EncodeCommand

The entry point's name is the word that selects the subcommand.
"""
import argparse
import logging

from tavox.utils.import_utils import get_entry_points
from tavox.utils.parser import Tavox_HelpFormatter

logger = logging.getLogger(__name__)

# The name of the command-line tool, first word of every command's prog.
PROG = "tavox"


class CommandUnavailable(Exception):
    """A command that cannot be used because its class cannot be loaded (its
    module is not installed, or fails to import)."""

    def __init__(self, command, reason):
        super().__init__(command, reason)
        self.command = command
        self.reason = reason

    def __str__(self):
        return "command '%s' is not available: %s" % (self.command,
                                                        self.reason)


class BuiltinEntryPoint:
    """Names a command class of the framework itself by "module:attr", as an
    entry point does, without the metadata machinery behind one: the
    command line's own commands are found without reading any distribution's
    metadata."""

    __slots__ = ("name", "value", "group")

    def __init__(self, name, value, group):
        self.name = name
        self.value = value
        self.group = group

    @property
    def module(self):
        return self.value.partition(":")[0].strip()

    def load(self):
        import pkgutil
        return pkgutil.resolve_name(self.value)

    def __repr__(self):
        return "EntryPoint(name=%r, value=%r, group=%r)" % (self.name, self.value, self.group)


def describe_failure(exc):
    """One line that says why loading a command failed."""
    if isinstance(exc, ImportError):
        return str(exc)
    return "%s: %s" % (type(exc).__name__, exc)


def command_path(prog):
    """The command words of ``prog`` without the tool's name: "secret
    encode" for "tavox secret encode"."""
    words = prog.split()
    if words and words[0] == PROG:
        words = words[1:]
    return " ".join(words)


def load_command_class(entry_point, prog):
    """Load the command class that ``entry_point`` names.

    Raises ``CommandUnavailable`` (for the command ``prog``) when loading
    fails or gives something that is not a command class.
    """
    try:
        obj = entry_point.load()
    except Exception as exc:
        raise CommandUnavailable(command_path(prog),
                                 describe_failure(exc)) from exc
    if not (isinstance(obj, type) and issubclass(obj, Command)):
        raise CommandUnavailable(command_path(prog),
                                 "%s is not a command class" % (obj,))
    return obj


class Command:
    """A command of the ``tavox`` command line.

    ``__init__(prog=None, parser=None)``: ``parser`` is the parser to
    register the options on (a group passes the subparser it made for the
    command); without one, a new parser is made whose prog is ``prog``,
    by default "tavox" followed by the command's name.
    """

    name = None
    help = None
    description = None

    def __init__(self, prog=None, parser=None):
        if parser is None:
            parser = argparse.ArgumentParser(
                prog=prog or "%s %s" % (PROG, self.name),
                description=self.description or self.help,
                formatter_class=Tavox_HelpFormatter)
        self.parser = parser

    def run(self, args):
        """Carry out the command with the parsed arguments ``args``."""
        raise NotImplementedError("%s does not implement run()"
                                  % type(self).__name__)


class Subcommand(Command):
    """A command that is selected within a group (``tavox create project``)."""


class _SubcommandsAction(argparse._SubParsersAction):
    """The subparsers of a group.  Words that the chosen subcommand does not
    know are reported by the subcommand's own parser, so that the usage and
    the error name the command as typed ("tavox migrate abstract"), not the
    group; words before the subcommand stay the group's."""

    def __call__(self, parser, namespace, values, option_string=None):
        unknown = getattr(namespace, _UNRECOGNIZED, [])
        known = len(unknown)
        super().__call__(parser, namespace, values, option_string)
        extras = getattr(namespace, _UNRECOGNIZED, [])[known:]
        if extras:
            self.choices[values[0]].error(
                "unrecognized arguments: %s" % " ".join(extras))


# Where argparse collects the words a subparser left over.
_UNRECOGNIZED = getattr(argparse, "_UNRECOGNIZED_ARGS_ATTR", "_unrecognized_args")


class _Unavailable:
    """Stands in a group for a subcommand whose class could not be loaded:
    running it reports why."""

    def __init__(self, error):
        self.error = error

    def run(self, args):
        raise self.error


class CommandWithSubcommands(Command):
    """A group of subcommands (``tavox create``, ``tavox secret``).

    ``SUBCOMMANDS`` lists ``Subcommand`` classes, or entry points naming
    them; ``SUBCMDS_ENTRYPOINT`` names the entry-point group of further
    subcommands contributed by plug-ins.  The group's own ones come first;
    a plug-in subcommand whose name is already taken is ignored with a
    warning.  Every subcommand gets a subparser of the group's parser, so
    one parse of the command line yields the options of the chosen one
    together with ``subcommand``, its name.

    A plug-in whose class cannot be loaded is still listed, as not
    available; selecting it, or one whose initialiser failed, raises
    ``CommandUnavailable``.  The group called without a subcommand prints
    its help.
    """

    SUBCOMMANDS = []
    SUBCMDS_ENTRYPOINT = None

    def __init__(self, prog=None, parser=None):
        super().__init__(prog, parser)
        #: name -> subcommand object (or the stand-in of an unavailable one)
        self.subcommands = {}
        found = self._find_subcommands()
        if not found:
            if self.parser.epilog is None:
                self.parser.epilog = self._none_installed()
            return
        subparsers = self.parser.add_subparsers(
            title="subcommands", dest="subcommand", metavar="<subcommand>",
            action=_SubcommandsAction)
        for name, source in found:
            self._add_subcommand(subparsers, name, source)

    def _find_subcommands(self):
        """The (name, class or entry point) pairs of the subcommands, in
        order, each name once."""
        found = {}
        for item in self.SUBCOMMANDS:
            found.setdefault(item.name, item)
        if self.SUBCMDS_ENTRYPOINT:
            for entry_point in get_entry_points(self.SUBCMDS_ENTRYPOINT):
                if entry_point.name in found:
                    logger.warning(
                        "Ignoring plug-in subcommand %r (%s): '%s' already has "
                        "a subcommand of that name", entry_point.name,
                        entry_point.value, self.parser.prog)
                    continue
                found[entry_point.name] = entry_point
        return list(found.items())

    def _add_subcommand(self, subparsers, name, source):
        prog = "%s %s" % (self.parser.prog, name)
        try:
            if isinstance(source, type):
                cls = source
            else:
                cls = load_command_class(source, prog)
        except CommandUnavailable as exc:
            self._add_unavailable(subparsers, name, exc)
            return
        parser = subparsers.add_parser(
            name, help=cls.help, description=cls.description or cls.help,
            formatter_class=Tavox_HelpFormatter)
        try:
            self.subcommands[name] = cls(parser=parser)
        except Exception as exc:
            # The subparser is already registered and may hold part of the
            # options; the stand-in makes sure the subcommand never runs.
            error = CommandUnavailable(command_path(prog),
                                       describe_failure(exc))
            self.subcommands[name] = _Unavailable(error)

    def _add_unavailable(self, subparsers, name, error):
        # Whatever follows the name is taken as plain words (no argument can
        # begin with a NUL), so that running it reaches the error message.
        parser = subparsers.add_parser(
            name, help="(not available: %s)" % error.reason.replace("%", "%%"),
            add_help=False, prefix_chars="\0")
        parser.add_argument("arguments", nargs="*", help=argparse.SUPPRESS)
        self.subcommands[name] = _Unavailable(error)

    def _none_installed(self):
        text = "No subcommands are installed."
        if self.SUBCMDS_ENTRYPOINT:
            text += ("\nPlug-ins add them under the entry-point group '%s'."
                     % self.SUBCMDS_ENTRYPOINT)
        return text

    def run(self, args):
        """Run the subcommand that ``args.subcommand`` names, or print the
        group's help when none was given."""
        name = getattr(args, "subcommand", None)
        if not name:
            self.parser.print_help()
            return
        self.subcommands[name].run(args)
