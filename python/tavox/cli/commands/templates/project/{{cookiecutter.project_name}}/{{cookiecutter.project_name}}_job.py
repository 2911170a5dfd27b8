{%- set project = cookiecutter.project_name -%}
{%- set use_datafile = cookiecutter.use_datafile|string|trim|lower in ["true", "yes", "y", "1"] -%}
#!/usr/bin/env python3
"""Job file of the {{ project }} project: runs its test script.

    python {{ project }}_job.py [--testbed FILE]{% if use_datafile %} [--datafile FILE]{% endif %} [-v]

Without --testbed the example testbed beside this file is used{% if use_datafile %}, and
without --datafile the project's datafile{% endif %}.  Every argument is passed on
to the test script.
"""
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
TESTSCRIPT = os.path.join(HERE, "{{ project }}_testscript.py")

# Options of the test script, with the files they default to.
DEFAULTS = {
    "--testbed": os.path.join(HERE, "testbed.yaml"),
{%- if use_datafile %}
    "--datafile": os.path.join(HERE, "{{ project }}_datafile.yaml"),
{%- endif %}
}


def given(option, argv):
    """True when ``argv`` sets ``option``, as "--x value" or "--x=value"."""
    return any(arg == option or arg.startswith(option + "=") for arg in argv)


def main(argv=None):
    """Run the test script; return its exit status."""
    argv = sys.argv[1:] if argv is None else list(argv)
    for option, default in DEFAULTS.items():
        if not given(option, argv):
            argv = [option, default] + argv
    return subprocess.call([sys.executable, TESTSCRIPT] + argv)


if __name__ == "__main__":
    sys.exit(main())
