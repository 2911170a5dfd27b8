"""Helpers without any platform name."""


def first(items):
    return next(iter(items), None)
