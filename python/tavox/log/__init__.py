"""Logging of the framework: ``managed_handlers.screen`` is its console
handler."""
from . import managed_handlers  # noqa: F401  (callers use log.managed_handlers)
