"""Log handlers managed by the framework.

``screen`` is the console handler: records go to standard output as their
bare message text, one line per record, whatever their level, so that what
a command reports reads like its ordinary output.  The handler's level is
left at NOTSET; the logger it is attached to decides what is shown.
"""
import logging
import sys


class ScreenHandler(logging.StreamHandler):
    """A stream handler that writes to the current ``sys.stdout``.

    The stream is looked up for every record rather than once at creation,
    so output still arrives when ``sys.stdout`` is replaced later (by a
    pager, a test harness or ``contextlib.redirect_stdout``).
    """

    def __init__(self):
        super().__init__()
        self.setFormatter(logging.Formatter("%(message)s"))

    @property
    def stream(self):
        return sys.stdout

    @stream.setter
    def stream(self, value):
        # StreamHandler assigns its stream on creation; this handler always
        # follows sys.stdout instead.
        pass


screen = ScreenHandler()
