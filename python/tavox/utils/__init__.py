"""Small helpers shared by the framework's modules."""
