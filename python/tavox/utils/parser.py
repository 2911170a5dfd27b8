"""argparse helpers shared by the framework's command lines."""
import argparse


class Tavox_HelpFormatter(argparse.RawDescriptionHelpFormatter):
    """Help formatter of the framework's parsers.

    Descriptions and epilogs are printed as written, with their own line
    breaks and indentation; only the blank lines before and the white space
    after them are dropped, since class texts often begin and end with
    them.  Option help is wrapped as usual, with the help column a little
    further right than argparse's default so that long option names keep
    their help on the same line.
    """

    def __init__(self, prog, indent_increment=2, max_help_position=30,
                 width=None):
        super().__init__(prog, indent_increment=indent_increment,
                         max_help_position=max_help_position, width=width)

    def _fill_text(self, text, width, indent):
        return super()._fill_text(text.lstrip("\n").rstrip(), width, indent)
