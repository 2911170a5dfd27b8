"""Data structures of the framework."""
import configparser
import os
from collections.abc import Mapping

from tavox.utils.import_utils import get_entry_points


def _merge(target, source):
    """Merge the mapping ``source`` into the dict ``target``: nested mappings
    are merged key by key, any other value replaces the one before."""
    for key, value in source.items():
        if isinstance(value, Mapping):
            current = target.get(key)
            if not isinstance(current, dict):
                current = target[key] = {}
            _merge(current, value)
        else:
            target[key] = value


class Configuration(dict):
    """The framework's configuration: a dict of sections, each section a dict
    of settings, merged from plug-ins and configuration files.

    Sources are merged in the order they are loaded; a later source
    overrides the settings of an earlier one key by key and keeps the rest.
    """

    def load_entrypoint(self, group):
        """Merge in the configuration of every plug-in registered under the
        entry-point group ``group``, in discovery order.

        An entry point names a mapping, or a callable that returns one when
        called with no arguments.  Returns the list of entry points applied.
        """
        applied = []
        for entry_point in get_entry_points(group):
            config = entry_point.load()
            if callable(config) and not isinstance(config, Mapping):
                config = config()
            if not isinstance(config, Mapping):
                raise TypeError("configuration plug-in %s gave %s, not a "
                                "mapping" % (entry_point, type(config).__name__))
            _merge(self, config)
            applied.append(entry_point)
        return applied

    def load_cfgs(self, *paths):
        """Merge in the configuration files ``paths``, from the most general
        to the most specific.

        The files are in INI format: each section becomes a dict of its
        settings (names keep their case; values are text, taken as written,
        with no interpolation; the settings of a DEFAULT section apply to
        every section of that file).  Empty paths and paths that are not
        regular files are skipped.  Returns the list of paths merged.
        """
        loaded = []
        for path in paths:
            if not path or not os.path.isfile(path):
                continue
            parser = configparser.ConfigParser(interpolation=None)
            parser.optionxform = str
            with open(path, encoding="utf-8") as stream:
                parser.read_file(stream, source=os.fspath(path))
            _merge(self, {section: dict(parser.items(section))
                          for section in parser.sections()})
            loaded.append(path)
        return loaded
