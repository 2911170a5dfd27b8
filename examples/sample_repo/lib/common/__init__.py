"""Helpers common to every OS."""
from nuvik.abstract import declare_package, declare_token

declare_package(__name__)
# declare_token(__name__) was tried here once
