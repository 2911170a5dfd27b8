"""The token table shipped with the connection library's plug-in package:
its shape, and a vocabulary that exercises the migration's token rules."""
import csv
import os
import re
from collections import defaultdict

import brask.plugins

KNOWN_OS = {"rhen", "rhenx", "rheny", "dalos", "linux", "skelos"}
KNOWN_PLATFORMS = {"trago", "vlim", "l2vlim"}
PLATFORM = re.compile(r"^\w+\dk$")
MODEL = re.compile(r"^(q|tor|w|wbx|ut|grx|hrx|qrx)\d\d(00(ap|v|_cl|l)?|\d\d)$")


def read_table():
    path = os.path.join(os.path.dirname(brask.plugins.__file__), "pid_tokens.csv")
    with open(path, newline="") as stream:
        return list(csv.reader(stream))


def test_table_shape_and_vocabulary():
    header, *rows = read_table()
    assert header == ["pid", "os", "platform", "model"]
    assert 40 <= len(rows) <= 80
    assert all(len(row) == 4 for row in rows)
    pids = [row[0] for row in rows]
    assert len(set(pids)) == len(pids)
    for pid, os_, platform, model in rows:
        assert re.fullmatch(r"[A-Z0-9]+(-[A-Z0-9]+)+", pid), pid
        assert os_ in KNOWN_OS, pid
        assert platform in KNOWN_PLATFORMS or PLATFORM.match(platform), pid
        assert MODEL.match(model), pid


def test_table_has_the_overlaps_the_migration_must_resolve():
    _, *rows = read_table()
    platforms_of_model = defaultdict(set)
    os_of_platform = defaultdict(set)
    for _pid, os_, platform, model in rows:
        platforms_of_model[model].add(platform)
        os_of_platform[platform].add(os_)
    assert any(len(p) > 1 for p in platforms_of_model.values())
    assert any(len(o) > 1 for o in os_of_platform.values())
    assert KNOWN_PLATFORMS <= set(os_of_platform)
    # The fixed special cases of the migration name these tokens.
    assert {"tor9k"} <= platforms_of_model["q9100ap"] & platforms_of_model["q9800"]
    assert "rhenx" in os_of_platform["tor9k"]
