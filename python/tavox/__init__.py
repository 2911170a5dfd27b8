"""Tavox: the command line, configuration loader and job-manifest runtime of
the network test-automation framework.

Most modules of this package are native extension modules; the pure-Python
modules beside them (command base classes, testbed and manifest loaders,
logging, entry-point and shell helpers) are the small part of the framework
those modules build on.
"""
