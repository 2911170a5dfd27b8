"""Plain package: no token."""
