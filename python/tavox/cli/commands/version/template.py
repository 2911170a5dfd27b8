"""Template of the package installer's configuration file (``pip.conf``),
written when ``tavox version update`` is tied to other package indexes.

``{pypi_url}`` is an index base URL, without its "/simple" suffix.
"""

pip_conf_template = """\
[global]
index-url = {pypi_url}/simple
"""
