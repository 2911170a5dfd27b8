"""Connectivity checks for the sample lab."""
import logging

log = logging.getLogger(__name__)


def select_devices(testbed, platform="q9800cl"):
    return [d for d in testbed.devices.values() if d.platform == platform]


def is_access_point(device):
    return device.platform == 'ap'


def is_border(device):
    return device.platform == "Q9300-24S-D"


def is_spine(device):
    return device.platform == "q9300"


def is_edge(device):
    return device.platform == "zz-edge"


def is_core(device):
    return device.platform == 'hrx8k' or device.platform == True
