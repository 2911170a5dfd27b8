"""A package index of small dummy distributions on 127.0.0.1, and virtual
environments whose pip uses it.

Shared by the version tests and bench/scoutver_bench.py.

The wheels are written directly (METADATA, WHEEL, RECORD; no files of
their own), so a dummy distribution called ``tavox`` can be installed and
uninstalled beside the real package under test without touching it.
"""
import base64
import contextlib
import hashlib
import json
import os
import re
import socket
import subprocess
import sys
import time
import urllib.request
import zipfile
from pathlib import Path

MAIN_LINE = ["19.6", "22.1", "22.1.3", "22.10", "23.1rc1"]

LEGACY = [
    "nuvik", "nuvik.abstract", "nuvik.metaparser", "nuvik.libs.parser",
    "nuvik.parsergen", "nuvik.telemetry", "nuvik.libs.telemetry", "nuvik.conf",
    "nuvik.ops", "nuvik.harness", "nuvik.predcore", "nuvik.utils",
    "nuvik.libs.conf", "nuvik.libs.ops", "nuvik.libs.sdk",
    "nuvik.libs.filetransferutils", "nuvik.trafficgen",
]

# name -> versions on offer.  Every legacy name has a 19.6 except
# nuvik.libs.parser; brask.plugins has no 22.10; tavoxlib is no framework
# distribution (no full stop after "tavox").
CATALOGUE = {name: ["19.6"] for name in LEGACY}
CATALOGUE.update({
    "tavox": ["19.6", "19.7.1", "22.1", "22.1.3", "22.10", "23.1rc1"],
    "tavox.log": MAIN_LINE,
    "tavox.utils": MAIN_LINE,
    "nuvik": MAIN_LINE,
    "nuvik.libs.sdk": MAIN_LINE,
    "nuvik.libs.parser": ["22.1", "22.10"],
    "brask": MAIN_LINE,
    "brask.plugins": ["22.1", "22.1.3"],
    "halvo.connector": ["22.1", "22.10"],
    "tavoxlib": ["1.0"],
})


def normalize(name):
    return re.sub(r"[-_.]+", "-", name).lower()


def _record_hash(data):
    digest = hashlib.sha256(data).digest()
    return "sha256=" + base64.urlsafe_b64encode(digest).rstrip(b"=").decode()


def build_wheel(dest, name, version):
    """Write the wheel of an empty distribution; return its path."""
    stem = "%s-%s" % (re.sub(r"[-_.]+", "_", name), version)
    info = stem + ".dist-info"
    files = {
        info + "/METADATA": "Metadata-Version: 2.1\nName: %s\nVersion: %s\n"
                            "Summary: dummy distribution\n" % (name, version),
        info + "/WHEEL": "Wheel-Version: 1.0\nGenerator: tavox-tests\n"
                         "Root-Is-Purelib: true\nTag: py3-none-any\n",
    }
    record = ["%s,%s,%d" % (path, _record_hash(text.encode()), len(text.encode()))
              for path, text in files.items()]
    record.append(info + "/RECORD,,")
    files[info + "/RECORD"] = "\n".join(record) + "\n"
    path = Path(dest) / (stem + "-py3-none-any.whl")
    with zipfile.ZipFile(path, "w") as whl:
        for member, text in files.items():
            whl.writestr(member, text)
    return path


def build_index(root, catalogue=CATALOGUE, broken=False):
    """Lay out a PEP 503 simple index under ``root`` (``root/simple/...``).

    A ``broken`` index lists the same files but links to wheels that do not
    exist: version queries work, installs fail.
    """
    root = Path(root)
    files = root / "files"
    files.mkdir(parents=True, exist_ok=True)
    simple = root / "simple"
    projects = []
    for name, versions in catalogue.items():
        project = normalize(name)
        projects.append(project)
        links = []
        for version in versions:
            wheel = build_wheel(files, name, version)
            href = "../../%s/%s" % ("missing" if broken else "files", wheel.name)
            links.append('<a href="%s">%s</a><br/>' % (href, wheel.name))
        page = simple / project
        page.mkdir(parents=True, exist_ok=True)
        (page / "index.html").write_text(
            "<!DOCTYPE html>\n<html><body>\n%s\n</body></html>\n" % "\n".join(links))
    (simple / "index.html").write_text(
        "<!DOCTYPE html>\n<html><body>\n%s\n</body></html>\n"
        % "\n".join('<a href="%s/">%s</a><br/>' % (p, p) for p in projects))
    return root


@contextlib.contextmanager
def refused_port():
    """A port of 127.0.0.1 that refuses connections: bound here and never
    listened on, so that no other process can take it meanwhile."""
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        yield sock.getsockname()[1]


# http.server on a port the system picks (bound before the port is said:
# no other process can take it in between), whose every answer waits
# `latency` seconds, as a distant index would.
SERVER = """
import functools, http.server, sys, time
directory, latency = sys.argv[1], float(sys.argv[2])
class Handler(http.server.SimpleHTTPRequestHandler):
    def do_GET(self):
        time.sleep(latency)
        super().do_GET()
    def log_message(self, *args):
        pass
server = http.server.ThreadingHTTPServer(
    ("127.0.0.1", 0), functools.partial(Handler, directory=directory))
print(server.server_address[1], flush=True)
server.serve_forever()
"""


@contextlib.contextmanager
def serve(directory, latency=0):
    """Serve ``directory`` over HTTP on 127.0.0.1; yield the base URL."""
    server = subprocess.Popen([sys.executable, "-c", SERVER, str(directory), str(latency)],
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    try:
        port = server.stdout.readline().strip()  # listening once it is said
        if not port:
            raise RuntimeError("index server did not start")
        yield "http://127.0.0.1:%s" % port
    finally:
        server.terminate()
        server.wait()
        server.stdout.close()


def package_shim(dest):
    """A directory holding only the ``tavox`` package under test and
    ``packaging``, as links: on an environment's path it lends them without
    any distribution metadata, so pip never lists or removes them."""
    import packaging
    import tavox

    dest = Path(dest)
    dest.mkdir(parents=True, exist_ok=True)
    for module in (tavox, packaging):
        link = dest / module.__name__
        if not link.exists():
            link.symlink_to(Path(module.__file__).resolve().parent)
    return dest


def clean_environ(base=None, **extra):
    """The environment without the machine's PIP_* settings (they would
    override an environment's pip.conf)."""
    env = {k: v for k, v in (os.environ if base is None else base).items()
           if not k.startswith("PIP_")}
    env.update({k: str(v) for k, v in extra.items()})
    return env


class Venv:
    """A virtual environment made from this interpreter, whose ``pip`` and
    ``pip3`` are the installer run by its own interpreter (so pip.conf in
    the environment applies and installs land in it)."""

    def __init__(self, path, shim, index_url=None):
        self.path = Path(path)
        subprocess.run([sys.executable, "-m", "venv", "--system-site-packages",
                        "--without-pip", str(self.path)], check=True)
        self.bin = self.path / "bin"
        self.python = self.bin / "python"
        for name in ("pip", "pip3"):
            script = self.bin / name
            script.write_text('#!/bin/sh\nexec "%s" -m pip "$@"\n' % self.python)
            script.chmod(0o755)
        site = subprocess.run(
            [str(self.python), "-c",
             "import sysconfig; print(sysconfig.get_paths()['purelib'])"],
            check=True, capture_output=True, text=True).stdout.strip()
        Path(site, "tavox_under_test.pth").write_text(str(shim) + "\n")
        if index_url:
            self.write_pip_conf(index_url)

    @property
    def pip_conf(self):
        return self.path / "pip.conf"

    def write_pip_conf(self, index_url):
        self.pip_conf.write_text(
            "[global]\nindex-url = %s/simple\nretries = 0\ntimeout = 10\n"
            "disable-pip-version-check = true\nno-cache-dir = true\n" % index_url)

    def env(self, base=None, **extra):
        """Environment of a process run as if this venv were activated."""
        env = clean_environ(base, **extra)
        env["PATH"] = "%s%s%s" % (self.bin, os.pathsep, env.get("PATH", ""))
        env["VIRTUAL_ENV"] = str(self.path)
        env["PYTHONNOUSERSITE"] = "1"
        return env

    def pip(self, *args, **extra_env):
        return subprocess.run([str(self.python), "-m", "pip", *args],
                              env=self.env(**extra_env), check=True,
                              capture_output=True, text=True).stdout

    def install(self, *requirements, index_url=None):
        args = ["install", "--no-deps", "-q", *requirements]
        if index_url:
            args[1:1] = ["--index-url", index_url + "/simple"]
        self.pip(*args)

    def installed(self):
        """name -> version of what ``pip3 list`` shows in the environment."""
        out = self.pip("list", "--local", "--format", "json")
        return {entry["name"]: entry["version"] for entry in json.loads(out)}
