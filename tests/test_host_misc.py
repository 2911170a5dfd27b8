"""The console log handler and the installer configuration template."""
import contextlib
import io
import logging
import re

from tavox import log
from tavox.cli.commands.version.template import pip_conf_template


def test_screen_handler_writes_bare_messages_to_the_current_stdout():
    screen = log.managed_handlers.screen
    logger = logging.getLogger("tavox.test.screen")
    logger.propagate = False
    logger.setLevel(logging.INFO)
    logger.addHandler(screen)
    try:
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            logger.warning("Uninstalling existing packages...")
            logger.info("\nDone! %s", "Enjoy!")
        assert out.getvalue() == "Uninstalling existing packages...\n\nDone! Enjoy!\n"
    finally:
        logger.removeHandler(screen)


def test_pip_conf_template_fits_the_index_rewriting():
    text = pip_conf_template.format(pypi_url="http://127.0.0.1:8080/first")
    assert text.splitlines()[:2] == ["[global]", "index-url = http://127.0.0.1:8080/first/simple"]
    # On a later attempt the update command rewrites the index-url line of
    # the file it created; the template's line must be one it recognises.
    rewritten = re.sub(r"(index-url\s+=\s+)(\S+)(/simple)",
                       r"\g<1>http://127.0.0.1:8080/second\g<3>", text)
    assert "index-url = http://127.0.0.1:8080/second/simple" in rewritten
