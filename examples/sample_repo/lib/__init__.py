"""Shared libraries of the sample lab."""
from nuvik.abstract import declare_package

declare_package(__name__)
