"""YAML loading for the framework's files."""
import yaml

try:
    # libyaml's parser is several times faster on large testbeds.
    _SafeLoader = yaml.CSafeLoader
except AttributeError:
    _SafeLoader = yaml.SafeLoader


class Loader:
    """Loads one YAML document with the safe loader (plain data only: no
    Python objects are constructed).

    Instances hold no state, so one may be shared between threads.
    """

    def load(self, stream):
        """Return the document read from ``stream`` (an open text file or a
        string); raise ``yaml.YAMLError`` when it is not valid YAML."""
        return yaml.load(stream, Loader=_SafeLoader)

    if _SafeLoader is getattr(yaml, "CSafeLoader", None):
        # What load returns is exactly what yaml.CSafeLoader returns, so a
        # reader that follows that loader may stand in for it.  The value
        # names the function making the promise: a wrapper that copies its
        # attributes (functools.wraps) does not make it.
        load.csafeloader_equivalent = load
