"""Plug-ins of the connection library.

``pid_tokens.csv`` beside this file maps every product id (PID) to the OS,
platform and model tokens of the device abstraction: a header line, then one
row ``pid,os,platform,model`` per product id.
"""
