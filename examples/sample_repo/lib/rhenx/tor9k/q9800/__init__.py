"""Libraries of the q9800 model."""
from nuvik.abstract import declare_token

declare_token(__name__)
