"""Entry points: how plug-ins register themselves with the framework."""
import importlib.machinery
import os
import sys
import time


def get_entry_points(group):
    """Return the entry points registered under ``group``, as a list.

    Each one has ``name``, ``module``, ``value``, ``dist`` (the distribution
    that declared it) and ``load()``.  The same distribution found twice on
    ``sys.path`` (an installed copy and a development checkout, say) gives its
    entry points once: the first occurrence on the path wins.
    """
    if not _may_declare(group):
        return []
    from importlib import metadata

    try:
        found = metadata.entry_points(group=group)
    except TypeError:
        # Interpreters whose entry_points() takes no selection return a
        # mapping of group name to entry points.
        found = metadata.entry_points().get(group, ())

    entry_points = []
    seen = set()
    for entry_point in found:
        key = (entry_point.name, entry_point.value)
        if key not in seen:
            seen.add(key)
            entry_points.append(entry_point)
    return entry_points


def _may_declare(group):
    """False only when no distribution on the path can declare ``group``:
    no entry_points.txt in a metadata directory of a ``sys.path`` directory
    has a section of that name.  That saves importing importlib.metadata
    (and the email package behind it), which is most of a short command's
    start-up, when there is nothing to find.  Any place this quick look
    cannot see into (a zip archive on the path, a finder of distributions
    other than the path's) gives True, and the full lookup decides."""
    for finder in sys.meta_path:
        if hasattr(finder, "find_distributions") and \
                finder is not importlib.machinery.PathFinder:
            return True
    groups = _declared_groups()
    return groups is None or group in groups


# (path entries with their directories' modification times, groups found)
_scanned = (None, None)


class _Unseen(Exception):
    """A place on the path whose distributions the quick look cannot list."""


def _declared_groups():
    """The section names of every entry_points.txt on the path, or None
    when some entry cannot be looked into.  Kept while neither the path
    nor any of its directories changes (a distribution installed or removed
    changes its directory)."""
    global _scanned
    key = []
    for entry in sys.path:
        try:
            key.append((entry, os.stat(entry or ".").st_mtime_ns))
        except OSError:
            key.append((entry, None))
    key = tuple(key)
    if _scanned[0] == key:
        return _scanned[1]
    groups = set()
    try:
        for entry, mtime in key:
            if mtime is not None:
                for lines in _entry_point_files(entry or "."):
                    groups.update(line.strip("[]") for line in map(str.strip, lines)
                                  if line.startswith("[") and line.endswith("]"))
    except _Unseen:
        groups = None
    # A directory changed within the clock's coarse tick of this look may
    # change again with the same time stamp: such a look is not kept.
    recent = time.time_ns() - 2_000_000_000
    if all(mtime is None or mtime < recent for _, mtime in key):
        _scanned = (key, groups)
    return groups


def _entry_point_files(path):
    """The lines of each entry_points.txt of the distributions in the
    directory `path`, as importlib.metadata finds them there (dist-info,
    egg-info and egg directories).  Raises _Unseen for an archive."""
    try:
        names = os.listdir(path)
    except NotADirectoryError:
        raise _Unseen(path) from None
    except OSError:
        return
    for name in names:
        if name.endswith((".dist-info", ".egg-info")):
            meta = os.path.join(path, name)
        elif name.endswith(".egg"):
            if not os.path.isdir(os.path.join(path, name)):
                raise _Unseen(name)  # a zipped egg
            meta = os.path.join(path, name, "EGG-INFO")
        else:
            continue
        try:
            with open(os.path.join(meta, "entry_points.txt"),
                      encoding="utf-8", errors="replace") as f:
                lines = f.read().splitlines()
        except (FileNotFoundError, NotADirectoryError):
            continue
        except OSError:
            raise _Unseen(meta) from None
        yield lines
