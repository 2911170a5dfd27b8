"""How long the commands take to refuse a YAML document nested far deeper
than any loader may go: the migration (check and -f), the shell and the
manifest runner, each a whole process, over block and flow nesting.  Nested
flow collections cost libyaml a time that grows with the square of the
depth; the commands stop at the bound, so each figure stays near the
process's start-up time.  Prints seconds per case, the median of --runs.

    python bench/deep_yaml.py [--runs 3]
"""
import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

NESTING = {"block 50,000": "- " * 50_000 + "1\n",
           "flow 200,000": "[" * 200_000 + "]" * 200_000 + "\n"}


def timed(argv, cwd, runs):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        subprocess.run(argv, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       stdin=subprocess.DEVNULL, timeout=600)
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=3)
    runs = parser.parse_args().runs
    tavox = [sys.executable, "-m", "tavox.cli.main"]
    with tempfile.TemporaryDirectory(prefix="tavox-deep-") as top:
        print("%-14s %10s %10s %10s %10s" % ("nesting", "migrate", "migrate -f", "shell",
                                             "runner"))
        for name, body in NESTING.items():
            os.makedirs(os.path.join(top, "repo"), exist_ok=True)
            with open(os.path.join(top, "repo", "deep.yaml"), "w") as f:
                f.write("devices: &a\n  r1:\n    " + body)
            with open(os.path.join(top, "deep.yaml"), "w") as f:
                f.write("devices: &a\n  r1:\n    " + body)
            with open(os.path.join(top, "deep.tem"), "w") as f:
                f.write("type: job\nprofiles:\n  " + body)
            figures = [timed([*tavox, "migrate", "abstract", "repo"], top, runs),
                       timed([*tavox, "migrate", "abstract", "repo", "-f"], top, runs),
                       timed([*tavox, "shell", "--no-ipython", "--testbed-file", "deep.yaml"],
                             top, runs),
                       timed([sys.executable, "-m", "tavox.manifest", "deep.tem"], top, runs)]
            print("%-14s %9.2fs %9.2fs %9.2fs %9.2fs" % (name, *figures))


if __name__ == "__main__":
    main()
