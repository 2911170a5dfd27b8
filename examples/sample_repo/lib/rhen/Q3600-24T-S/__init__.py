"""Libraries of the Q3600-24T-S, directly under its OS."""
from nuvik.abstract import declare_token

declare_token(__name__)
