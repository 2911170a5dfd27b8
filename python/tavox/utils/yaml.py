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
