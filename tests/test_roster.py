import pytest

import tavox.roster as roster

LISTS = [
    (roster.get_required_packages, 25, "tavox", "brask.plugins"),
    (roster.get_nuvik_legacy_packages, 17, "nuvik", "nuvik.trafficgen"),
    (roster.get_optional_packages, 6, "halvo.connector", "tavox.contrib"),
]


@pytest.mark.parametrize("func, length, first, last", LISTS)
def test_lists_have_their_size_and_order(func, length, first, last):
    names = func()
    assert len(names) == length
    assert (names[0], names[-1]) == (first, last)
    assert all(type(n) is str for n in names)


@pytest.mark.parametrize("func", [f for f, *_ in LISTS])
def test_every_call_returns_a_fresh_list(func):
    a, b = func(), func()
    assert a == b and a is not b
    a.append("extra")
    a[0] = "changed"
    assert func() == b


def test_required_order_is_the_install_order():
    assert roster.get_required_packages()[:6] == [
        "tavox", "tavox.lusk", "tavox.varnel", "tavox.async", "tavox.connections",
        "tavox.datastructures"]
    assert roster.get_required_packages()[13:16] == ["tavox.utils", "nuvik", "nuvik.libs.clean"]


def test_lists_overlap_as_documented():
    required, legacy, optional = (f() for f, *_ in LISTS)
    assert "tavox.contrib" in optional and "tavox.contrib" not in required
    assert "nuvik.trafficgen" in required and "nuvik.trafficgen" in legacy
    assert "nuvik.telemetry" in legacy and "nuvik.telemetry" in optional


def test_module_docstring_keeps_its_blanks():
    assert roster.__doc__ == " This module contains information regarding tavox packages "


def test_functions_take_no_arguments():
    with pytest.raises(TypeError, match=r"get_optional_packages\(\) takes 0 positional"):
        roster.get_optional_packages(1)
