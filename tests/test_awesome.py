"""The greeting plays its verse and banner at import; the sleeps are
recorded instead of slept."""
import json
import subprocess
import sys

import pytest

PROBE = r"""
import json, random, sys, time
events, sleeps, draws = [], [], []

class Out:
    def write(self, text):
        events.append(("w", text))
        return len(text)
    def flush(self):
        events.append(("f", None))

real = sys.stdout
sys.stdout = Out()
time.sleep = sleeps.append
uniform = random.uniform
random.uniform = lambda a, b: draws.append((a, b)) or uniform(a, b)
import tavox.awesome as m
sys.stdout = real
print(json.dumps({"events": events, "sleeps": sleeps, "draws": draws,
                  "s": m.s, "f": m.f, "x": m.x,
                  "names": sorted(k for k in vars(m) if not k.startswith("__"))}))
"""


@pytest.fixture(scope="module")
def played():
    result = subprocess.run([sys.executable, "-c", PROBE], capture_output=True, text=True,
                            timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    return json.loads(result.stdout)


def test_namespace(played):
    assert played["names"] == ["f", "random", "s", "sys", "time", "x", "zlib"]
    assert played["x"] == ""  # the last banner piece


def test_verse_shape(played):
    s = played["s"]
    assert len(s) == 784 and s.startswith("\n") and s.endswith("\n")
    stanzas = s.strip("\n").split("\n\n")
    assert [len(st.split("\n")) for st in stanzas] == [4, 4, 4, 1, 3, 3]
    lines = [line for st in stanzas for line in st.split("\n")]
    assert all(line.startswith("    ") and line[4] != " " for line in lines)
    assert stanzas[3] == "    ..."
    assert s.count("Tavox") == 2


def test_banner_shape(played):
    f = played["f"]
    assert len(f) == 507
    pieces = f.split("\n")
    assert len(pieces) == 12
    assert pieces[0] == "" and pieces[9:] == ["", "", ""]
    for line in pieces[1:9]:
        lead = len(line) - len(line.lstrip(" "))
        assert len(line) == 62 and 29 <= lead <= 48


def test_typed_then_shown_with_the_pacing(played):
    s, f, events = played["s"], played["f"], played["events"]
    n = len(s)
    # What was written between two flushes: one character of the verse each
    # time, then one banner piece with its line ending each time.
    groups, current = [], []
    for kind, text in events:
        if kind == "w":
            current.append(text)
        else:
            groups.append("".join(current))
            current = []
    assert current == []
    assert groups[:n] == list(s)
    assert groups[n:] == [piece + "\n" for piece in f.split("\n")]
    sleeps = played["sleeps"]
    assert len(sleeps) == n + 1 + 12
    assert all(0 <= d <= 0.1 for d in sleeps[:n])
    assert played["draws"] == [[0, 0.1]] * n
    assert sleeps[n] == 2 and sleeps[n + 1:] == [0.15] * 12
