{%- set project = cookiecutter.project_name -%}
{%- set use_datafile = cookiecutter.use_datafile|string|trim|lower in ["true", "yes", "y", "1"] -%}
{#- Each test case becomes a class named after it.  Test case names may hold
    characters or words a class name cannot, so: a full stop becomes an
    underscore; a name that starts with a digit, is a Python keyword, is a
    dunder or is one of the names this script uses itself gets a leading
    underscore; a name already taken gets a number. -#}
{%- set reserved = [
    "False", "None", "True", "and", "as", "assert", "async", "await", "break",
    "class", "continue", "def", "del", "elif", "else", "except", "finally",
    "for", "from", "global", "if", "import", "in", "is", "lambda", "nonlocal",
    "not", "or", "pass", "raise", "return", "try", "while", "with", "yield",
    "argparse", "logging", "sys", "unittest", "yaml", "loader", "logger",
    "Testcase", "TESTCASES", "load_datafile", "main", "open", "isinstance",
    "type", "str"] -%}
{%- set names = namespace(classes=[]) -%}
{%- for tc in cookiecutter.testcases -%}
{%- set base = tc|replace(".", "_") -%}
{%- if base[:1] in "0123456789" or base in reserved or (base[:2] == "__" and base[-2:] == "__") -%}
{%- set base = "_" ~ base -%}
{%- endif -%}
{%- set pick = namespace(name=base) -%}
{%- for i in range(cookiecutter.testcases|length) -%}
{%- if pick.name in names.classes -%}
{%- set pick.name = base ~ "_" ~ (i + 2) -%}
{%- endif -%}
{%- endfor -%}
{%- set names.classes = names.classes + [pick.name] -%}
{%- endfor -%}
#!/usr/bin/env python3
"""Test script of the {{ project }} project.

Every test case is a class below; they run in the order of TESTCASES.  Run
the script through the job file, {{ project }}_job.py, or on its own:

    python {{ project }}_testscript.py --testbed testbed.yaml{% if use_datafile %} --datafile {{ project }}_datafile.yaml{% endif %}
"""
import argparse
import logging
import sys
import unittest

{% if use_datafile -%}
import yaml

{% endif -%}
from tavox.topology import loader

logger = logging.getLogger(__name__)


class Testcase(unittest.TestCase):
    """What the test cases of this script share."""

    #: the name the test case was created with
    uid = None
    #: the loaded testbed, set by main()
    testbed = None
{%- if use_datafile %}
    #: the content of the datafile, set by main()
    datafile = {}

    @property
    def parameters(self):
        """This test case's section of the datafile."""
        sections = self.datafile.get("testcases") or {}
        return sections.get(self.uid) or {}
{%- endif %}
{% for tc in cookiecutter.testcases %}

class {{ names.classes[loop.index0] }}(Testcase):
    """Test case {{ tc }}."""

    uid = "{{ tc }}"

    def setUp(self):
        # Prepare what the test needs, for example a device of the testbed:
        # self.device = self.testbed.devices["r1"]
        pass

    def test(self):
        # Replace with the checks of this test case.
        self.assertTrue(self.testbed.devices, "the testbed has no devices")
{%- if use_datafile %}
        logger.info("%s: %s", self.uid, self.parameters.get("description"))
{%- endif %}

    def tearDown(self):
        # Undo what setUp did.
        pass
{% endfor %}

# The test cases, in the order they run.
TESTCASES = [{{ names.classes|join(", ") }}]
{% if use_datafile %}

def load_datafile(path):
    """The datafile's content (a mapping; empty for an empty file)."""
    try:
        with open(path, encoding="utf-8") as stream:
            content = yaml.safe_load(stream)
    except (OSError, yaml.YAMLError) as exc:
        raise argparse.ArgumentTypeError(
            "cannot load datafile '%s': %s" % (path, exc))
    if content is None:
        return {}
    if not isinstance(content, dict):
        raise argparse.ArgumentTypeError(
            "datafile '%s' must hold a mapping, not %s"
            % (path, type(content).__name__))
    return content
{% endif %}

def main(argv=None):
    """Run the test cases; return the exit status, 0 when all pass."""
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--testbed", required=True, type=loader.load,
                        metavar="FILE", help="testbed file")
{%- if use_datafile %}
    parser.add_argument("--datafile", required=True, type=load_datafile,
                        metavar="FILE", help="datafile of the test cases")
{%- endif %}
    parser.add_argument("-v", "--verbose", action="store_true",
                        help="show debug messages")
    args = parser.parse_args(argv)
    logging.basicConfig(level=logging.DEBUG if args.verbose else logging.INFO,
                        format="%(levelname)s %(name)s: %(message)s")

    Testcase.testbed = args.testbed
{%- if use_datafile %}
    Testcase.datafile = args.datafile
{%- endif %}
    suite = unittest.TestSuite()
    for testcase in TESTCASES:
        suite.addTests(unittest.defaultTestLoader.loadTestsFromTestCase(testcase))
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
