"""Helpers for commands: running shell command lines, asking the user,
printing tables."""
import subprocess


def cmd(command, env=None):
    """Run ``command``, one command line, through the system shell and return
    what it wrote to its standard output, as text.

    ``env`` is the environment of the command (a mapping), or None for this
    process's own.  Standard error is not captured: it goes to this process's
    standard error, where the user sees the command's complaints as they
    come.  A command that ends with a non-zero status raises
    ``subprocess.CalledProcessError``, whose ``output`` holds what the
    command wrote to standard output before it failed.
    """
    completed = subprocess.run(command, shell=True, env=env,
                               stdout=subprocess.PIPE, text=True,
                               errors="replace")
    if completed.returncode:
        raise subprocess.CalledProcessError(completed.returncode, command,
                                            output=completed.stdout)
    return completed.stdout


_ANSWERS = {"y": True, "yes": True, "n": False, "no": False}
_PROMPTS = {None: " [y/n] ", "yes": " [Y/n] ", "no": " [y/N] "}


def yes_or_no(question, default="no"):
    """Ask ``question`` on the terminal and return True when the user agrees.

    "y" and "yes" agree, "n" and "no" refuse (in any case, blanks around
    ignored).  An empty answer takes ``default``: "yes", "no", or None for
    no default, in which case the question is asked again.  At the end of the
    input, when no answer can be read any more, the default is taken too
    (and None counts as "no").  Any other answer is asked again.
    """
    if default not in _PROMPTS:
        raise ValueError("invalid default answer: %r" % (default,))
    prompt = question + _PROMPTS[default]
    while True:
        try:
            answer = input(prompt).strip().lower()
        except EOFError:
            print()
            return default == "yes"
        if not answer and default is not None:
            return _ANSWERS[default]
        if answer in _ANSWERS:
            return _ANSWERS[answer]
        print("Please answer 'yes' or 'no' (or 'y' or 'n').")


def format_table(rows, headers):
    """Return the lines of a plain text table: the headers, a rule of dashes
    under each column, then one line per row.

    Cells are converted with ``str`` and left-aligned; columns are separated
    by two blanks and lines carry no trailing blanks.
    """
    headers = [str(h) for h in headers]
    rows = [[str(cell) for cell in row] for row in rows]
    columns = max([len(headers)] + [len(row) for row in rows])
    widths = [0] * columns
    for line in [headers] + rows:
        for i, cell in enumerate(line):
            widths[i] = max(widths[i], len(cell))

    def render(cells):
        return "  ".join(cell.ljust(width)
                         for cell, width in zip(cells, widths)).rstrip()

    lines = [render(headers), render(["-" * width for width in widths])]
    lines.extend(render(row) for row in rows)
    return lines
