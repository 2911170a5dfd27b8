"""Libraries for devices running rhen."""
from nuvik.abstract import declare_token

declare_token(__name__)
