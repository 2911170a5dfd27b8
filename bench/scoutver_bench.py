"""How long the available-version check takes for N distributions, against
the time of its slowest single query.

The checker runs one `pip index versions` per distribution, all at once, so
its wall time should stay near that of the slowest query however many
distributions are asked for, as long as the machine has the cores for the
installer processes.  For N = 1, 10 and 50 this builds an index of N dummy
distributions on 127.0.0.1, times each query on its own (one after the
other), then the checker over all N, and prints the ratio

    checker wall time / slowest single query

On a local index a query is mostly the installer's own start-up, which is
CPU time: with few cores the parallel queries queue for them.  Each answer
of the index can also be delayed (--latency, seconds; default: 0 and 1) to
stand for a distant index, where the queries mostly wait.

Run with the interpreter whose tavox is to be measured, for example
    PYTHONPATH=python /usr/bin/python3 bench/scoutver_bench.py
"""
import argparse
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "cli" / "commands"
                       / "version"))
import local_index  # noqa: E402

from tavox.cli.commands.version.scoutver import ScoutverVersions  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("sizes", nargs="*", type=int, default=[1, 10, 50])
    parser.add_argument("--latency", type=float, action="append",
                        help="delay of each index answer in seconds (repeatable)")
    options = parser.parse_args()

    for key in [k for k in os.environ if k.startswith("PIP_")]:
        del os.environ[key]
    largest = max(options.sizes)
    names = ["bench.dist%02d" % i for i in range(largest)]
    with tempfile.TemporaryDirectory() as tmp:
        root = Path(tmp)
        catalogue = {name: ["1.%d" % minor for minor in range(12, 0, -1)] for name in names}
        local_index.build_index(root / "index", catalogue)
        shim = local_index.package_shim(root / "shim")
        for latency in options.latency or [0, 1]:
            with local_index.serve(root / "index", latency) as base:
                venv = local_index.Venv(root / ("venv%g" % latency), shim, base)
                print("cores: %d, pip %s, index latency %g s"
                      % (os.cpu_count(), venv.pip("--version").split()[1], latency))
                measure(venv, names, options.sizes)


def measure(venv, names, sizes):
    print("%4s  %10s  %10s  %10s  %6s" % ("N", "slowest s", "serial s", "checker s", "ratio"))
    for n in sizes:
        single = []
        for name in names[:n]:
            start = time.perf_counter()
            subprocess.run("pip index versions %s" % name, shell=True, env=venv.env(),
                           capture_output=True, check=True)
            single.append(time.perf_counter() - start)
        start = time.perf_counter()
        found = ScoutverVersions.get_all_available_versions(names[:n], venv=str(venv.path))
        wall = time.perf_counter() - start
        assert all(found[name] for name in names[:n]), found
        print("%4d  %10.2f  %10.2f  %10.2f  %6.2f" % (
            n, max(single), sum(single), wall, wall / max(single)), flush=True)


if __name__ == "__main__":
    main()
