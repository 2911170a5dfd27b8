"""The ``tavox`` command line: the dispatcher (``tavox.cli.main``), the
command base classes (``tavox.cli.base``) and shell helpers
(``tavox.cli.utils``)."""
