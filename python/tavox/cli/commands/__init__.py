"""Commands of the ``tavox`` command line, one module each."""
