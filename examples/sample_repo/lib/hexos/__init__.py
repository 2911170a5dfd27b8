"""Libraries for an OS the token table does not know."""
from nuvik.abstract import declare_token

declare_token(__name__)
