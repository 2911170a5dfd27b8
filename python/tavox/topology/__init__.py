"""Testbeds: the devices a test runs against, loaded from YAML files."""
