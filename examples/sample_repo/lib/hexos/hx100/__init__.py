"""Libraries of a platform nobody has declared yet."""
from nuvik.abstract import declare_token

declare_token(__name__)
