"""Commands of the ``tavox version`` group."""
