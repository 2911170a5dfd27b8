"""Libraries for devices running rhenx."""
from nuvik.abstract import declare_token

declare_token(__name__)
