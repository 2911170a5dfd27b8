"""Loading testbeds from YAML files.

A testbed file is a YAML mapping::

    testbed:
      name: lab-3              # optional; the file name without suffix
    devices:
      r1:
        os: rhenx
        platform: tor9k
        connections: {...}
    topology: {...}            # optional

``load`` returns a ``Testbed`` whose ``devices`` maps each device name to a
``Device``; both keep the mappings they were made from in ``data``.
"""
import argparse
import os

from tavox.utils.yaml import Loader


class TestbedError(argparse.ArgumentTypeError, ValueError):
    """A testbed file that cannot be loaded.

    It is an ``argparse.ArgumentTypeError``, so that ``load`` used as the
    ``type`` of an option makes argparse report the message itself (and end
    with its usage error), and a ``ValueError`` for every other caller.
    """


class Device:
    """One device of a testbed."""

    def __init__(self, name, data, testbed=None):
        self.name = name
        self.testbed = testbed
        self.data = data
        self.os = data.get("os")
        self.platform = data.get("platform")
        self.model = data.get("model")
        self.type = data.get("type")
        self.connections = data.get("connections") or {}

    def __repr__(self):
        return "<Device %r os=%r platform=%r>" % (self.name, self.os,
                                                   self.platform)


class Testbed:
    """A loaded testbed.

    ``testbed_file`` is the file name exactly as it was given to ``load``
    (relative names stay relative), so that it can be shown back to the user
    as they typed it.
    """

    def __init__(self, testbed_file, data):
        self.testbed_file = testbed_file
        self.data = data
        info = data.get("testbed") or {}
        default_name = os.path.splitext(os.path.basename(testbed_file))[0]
        self.name = info.get("name") or default_name
        self.custom = info.get("custom") or {}
        self.topology = data.get("topology") or {}
        self.devices = {str(name): Device(str(name), device or {}, self)
                        for name, device in (data.get("devices") or {}).items()}

    def __repr__(self):
        return "<Testbed %r from %r, %d devices>" % (
            self.name, self.testbed_file, len(self.devices))


def _check(testbed_file, data):
    """Raise TestbedError unless ``data`` has the shape of a testbed."""
    def fail(reason):
        raise TestbedError("cannot load testbed file '%s': %s"
                           % (testbed_file, reason))

    if data is None:
        fail("the file is empty")
    if not isinstance(data, dict):
        fail("expected a YAML mapping at the top level, found %s"
             % type(data).__name__)
    for section in ("testbed", "devices", "topology"):
        value = data.get(section)
        if value is not None and not isinstance(value, dict):
            fail("'%s' must be a mapping, not %s"
                 % (section, type(value).__name__))
    for name, device in (data.get("devices") or {}).items():
        if device is not None and not isinstance(device, dict):
            fail("device '%s' must be a mapping, not %s"
                 % (name, type(device).__name__))


def load(testbed_file):
    """Load the testbed file ``testbed_file`` (a path) and return its
    ``Testbed``.

    Raises ``TestbedError`` when the file cannot be read, is not valid YAML
    or is not shaped like a testbed.
    """
    testbed_file = os.fspath(testbed_file)
    try:
        with open(testbed_file, encoding="utf-8") as stream:
            data = Loader().load(stream)
    except OSError as exc:
        raise TestbedError("cannot load testbed file '%s': %s"
                           % (testbed_file, exc.strerror or exc)) from exc
    except Exception as exc:  # a YAML syntax error, or bad encoding
        reason = " ".join(str(exc).split())
        raise TestbedError("cannot load testbed file '%s': %s"
                           % (testbed_file, reason)) from exc
    _check(testbed_file, data)
    return Testbed(testbed_file, data)
