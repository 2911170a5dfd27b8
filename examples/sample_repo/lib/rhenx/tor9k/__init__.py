"""rhenx libraries of the tor9k platform."""
from nuvik.abstract import declare_token

declare_token(__name__)
