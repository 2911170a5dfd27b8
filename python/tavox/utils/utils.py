"""Process-wide runtime information."""
from types import SimpleNamespace

# One runtime environment per process.  ``argv.custom`` holds the command-line
# arguments that belong to the user's job rather than to the framework; the
# manifest runtime fills it in when it parses its own options.
_runtime_env = SimpleNamespace(argv=SimpleNamespace(custom=[]))


def get_runtime_env():
    """Return the runtime environment of this process (always the same
    object)."""
    return _runtime_env
