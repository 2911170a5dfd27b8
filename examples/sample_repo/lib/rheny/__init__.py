"""Libraries for devices running rheny."""
from nuvik.abstract import declare_token

declare_token(__name__)
