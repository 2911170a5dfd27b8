"""Checks that still know access points by their retired OS."""


def test_ap_uplinks(device):
    if device.os == 'ferrin':
        assert device.uplinks
