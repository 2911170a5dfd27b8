"""Libraries of the Q9300-24T, not yet under its model."""
from nuvik.abstract import declare_token

declare_token(__name__)
