"""Fixtures of the version tests: a local package index served on
127.0.0.1 for the whole session, and virtual environments that use it."""
import json
import os
import sys

import pytest

from . import local_index


@pytest.fixture(autouse=True)
def _no_machine_pip_settings(monkeypatch):
    # The machine's PIP_* variables would override the environments' pip.conf.
    for key in list(os.environ):
        if key.startswith("PIP_"):
            monkeypatch.delenv(key)


@pytest.fixture(scope="session")
def index(tmp_path_factory):
    """The served index: ``index.url`` is the base URL of the good index
    (pip's index-url is that plus "/simple"), ``index.broken_url`` one whose
    version lists work but whose wheels are missing."""
    root = tmp_path_factory.mktemp("index")
    local_index.build_index(root / "good")
    local_index.build_index(root / "broken", broken=True)
    with local_index.serve(root) as base:
        yield type("Index", (), {"url": base + "/good", "broken_url": base + "/broken",
                                 "base": base})()


@pytest.fixture(scope="session")
def shim(tmp_path_factory):
    return local_index.package_shim(tmp_path_factory.mktemp("shim"))


@pytest.fixture
def make_venv(tmp_path, shim, index):
    """Factory: a fresh virtual environment under ``tmp_path`` whose pip uses
    the local index (unless ``index_url=None`` is given)."""
    def make(name="venv", index_url=index.url):
        return local_index.Venv(tmp_path / name, shim, index_url)
    return make


@pytest.fixture(scope="session")
def query_venv(tmp_path_factory, shim, index):
    """One environment, at a path with a blank, for version queries only."""
    return local_index.Venv(tmp_path_factory.mktemp("query") / "my env", shim, index.url)


FAKE_PIP = r'''#!{python}
# Stand-in for the package installer: answers from state.json, records
# every call in log.
import json, os, sys, time
DIR = {dir!r}
with open(DIR + "/state.json") as f:
    state = json.load(f)
argv = sys.argv[1:]
with open(DIR + "/log", "a") as f:
    f.write(json.dumps(argv) + "\n")

def save():
    with open(DIR + "/state.json", "w") as f:
        json.dump(state, f)

if argv[:2] == ["index", "versions"]:
    name = argv[2]
    with open(DIR + "/started-" + name, "w") as f:
        f.write(str(os.getpid()))
    # Answers once the queries named have ended and their callers have
    # waited for them (their processes are gone).
    for other in state["after"].get(name, []):
        while True:
            try:
                with open(DIR + "/started-" + other) as f:
                    if not os.path.exists("/proc/" + str(int(f.read()))):
                        break
            except (OSError, ValueError):
                pass
            time.sleep(0.01)
    if name in state["raw"]:
        sys.stdout.buffer.write(state["raw"][name].encode("latin-1"))
        sys.exit(0)
    versions = state["versions"].get(name)
    if "--pre" in argv:
        versions = state["pre"].get(name, versions)
    if not versions:
        print("ERROR: No matching distribution found for " + name, file=sys.stderr)
        sys.exit(1)
    print("%s (%s)" % (name, versions[0]))
    print("Available versions: " + ", ".join(versions))
elif argv[0] == "list":
    print(json.dumps(state["installed"]))
elif argv[0] == "uninstall":
    names = argv[2:]
    state["installed"] = [e for e in state["installed"] if e["name"] not in names]
    save()
elif argv[0] == "install":
    if state["fail_install"]:
        state["fail_install"] -= 1
        save()
        print("ERROR: install failed", file=sys.stderr)
        sys.exit(1)
    for req in argv[2:]:
        name, _, version = req.partition("==")
        state["installed"] = [e for e in state["installed"] if e["name"] != name]
        state["installed"].append({{"name": name, "version": version}})
    save()
'''


class FakeInstaller:
    """A directory laid out like a virtual environment (``bin/activate``)
    whose ``pip`` and ``pip3`` are a scripted stand-in for the installer."""

    def __init__(self, root):
        self.venv = root
        self.bin = root / "bin"
        self.bin.mkdir(parents=True)
        for name in ("pip", "pip3"):
            script = self.bin / name
            script.write_text(FAKE_PIP.format(python=sys.executable, dir=str(root)))
            script.chmod(0o755)
        (self.bin / "activate").write_text('PATH="%s:$PATH"\nexport PATH\n' % self.bin)
        (root / "log").write_text("")
        self.state = {"versions": {}, "pre": {}, "installed": [], "after": {},
                      "raw": {}, "fail_install": 0}
        self.save()

    def save(self):
        (self.venv / "state.json").write_text(json.dumps(self.state))

    def set(self, **changes):
        """versions={name: [...]}, pre={...}, installed={name: version},
        after={name: [names]} (its query answers once theirs are done), raw={name:
        output}, fail_install=number of
        installs that fail before one succeeds"""
        if "installed" in changes:
            changes["installed"] = [{"name": n, "version": v}
                                    for n, v in changes["installed"].items()]
        self.state.update(changes)
        self.save()
        return self

    def calls(self):
        """The argument lists of every call so far, in order."""
        return [json.loads(line) for line in (self.venv / "log").read_text().splitlines()]

    def installed(self):
        state = json.loads((self.venv / "state.json").read_text())
        return {e["name"]: e["version"] for e in state["installed"]}


@pytest.fixture
def fake_pip(tmp_path, monkeypatch):
    """A scripted installer, first on PATH (so it is the running
    environment's) and also usable as a virtual environment: ``.venv``."""
    fake = FakeInstaller(tmp_path / "fake env")
    monkeypatch.setenv("PATH", "%s%s%s" % (fake.bin, os.pathsep, os.environ["PATH"]))
    return fake
