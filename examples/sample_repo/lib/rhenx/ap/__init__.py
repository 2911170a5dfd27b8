"""Access-point libraries, before the platform level existed."""
from nuvik.abstract import declare_token

declare_token(__name__)
