"""Libraries of the Q9800-4."""
from nuvik.abstract import declare_token

declare_token(__name__)
