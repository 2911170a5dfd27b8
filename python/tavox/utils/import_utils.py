"""Entry points: how plug-ins register themselves with the framework."""
from importlib import metadata


def get_entry_points(group):
    """Return the entry points registered under ``group``, as a list.

    Each one has ``name``, ``module``, ``value``, ``dist`` (the distribution
    that declared it) and ``load()``.  The same distribution found twice on
    ``sys.path`` (an installed copy and a development checkout, say) gives its
    entry points once: the first occurrence on the path wins.
    """
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
