"""Loading job manifests.

A manifest (a ".tem" file) is a YAML mapping that describes one job: its
script ``type``, the execution ``profiles`` it can run under and the
``runtimes`` those profiles name.  What the keys mean is up to the manifest
runtime and its plug-ins; the loader only reads the file.
"""
import os

from tavox.utils.yaml import Loader


class Manifest(dict):
    """A loaded manifest: the file's mapping, plus ``path``, the file name
    as given to ``load``."""

    def __init__(self, path, data=()):
        super().__init__(data)
        self.path = path


def load(path):
    """Load the manifest file ``path`` and return its ``Manifest``.

    An empty file gives an empty manifest.  Raises ``OSError`` when the file
    cannot be read, ``yaml.YAMLError`` when it is not valid YAML and
    ``ValueError`` when it does not hold a mapping.
    """
    path = os.fspath(path)
    with open(path, encoding="utf-8") as stream:
        data = Loader().load(stream)
    if data is None:
        data = {}
    if not isinstance(data, dict):
        raise ValueError("manifest file '%s' must hold a YAML mapping, not %s"
                         % (path, type(data).__name__))
    return Manifest(path, data)
