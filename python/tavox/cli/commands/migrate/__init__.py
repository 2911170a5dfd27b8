"""Commands of the ``tavox migrate`` group."""
