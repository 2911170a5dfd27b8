"""What looking before changing costs: `tavox migrate abstract --diff -f -c`
against `-f -c` itself, and `--report` against a plain check-only run.

Each figure is the median of several fresh processes, the two runs of a pair
taken in turn so that a shared machine's load falls on both alike.  A run
that patches gets a fresh copy of the repository (the copying is not timed).

    python bench/migrate_review.py [--repo DIR | --size small|medium|large]
        [--runs N] [--scratch DIR]

Targets, printed beside the figures (nothing fails on them): --diff -f -c no
slower than -f -c; --report under 5% over a check-only run.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import migrate_abstract  # noqa: E402  (the generator)

TAVOX = [sys.executable, "-m", "tavox.cli.main", "migrate", "abstract"]


def timed(repo, *options):
    start = time.perf_counter()
    done = subprocess.run(TAVOX + [repo, *options], stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL)
    wall = time.perf_counter() - start
    if done.returncode != 0:
        sys.exit("run failed (%d): %s" % (done.returncode, " ".join(options)))
    return wall


def fresh(source, scratch, name):
    copy = os.path.join(scratch, name)
    shutil.rmtree(copy, ignore_errors=True)
    shutil.copytree(source, copy, symlinks=True)
    return copy


def pairs(runs, first, second):
    a, b = [], []
    for _ in range(runs):
        a.append(first())
        b.append(second())
    return statistics.median(a), statistics.median(b)


def line(label, base, other, target, met):
    print(f"  {label:<26} {base:7.2f} s -> {other:7.2f} s  ({(other / base - 1) * 100:+5.1f}%)"
          f"  target {target}: {'met' if met else 'NOT met'}")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repo", help="repository to copy (default: a generated one)")
    parser.add_argument("--size", choices=migrate_abstract.SIZES, default="medium")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--scratch", help="where copies go (default: a temporary directory)")
    opts = parser.parse_args(argv)
    scratch = opts.scratch or tempfile.mkdtemp(prefix="tavox-review-")
    source = opts.repo
    if not source:
        source = os.path.join(tempfile.gettempdir(), f"tavox-bench-{opts.size}-7", "repo")
        migrate_abstract.ensure(source, *migrate_abstract.SIZES[opts.size], 7)
    print(f"repository {source}; median of {opts.runs} runs of each, taken in turn; "
          f"load average {os.getloadavg()[0]:.1f} at start")

    check = fresh(source, scratch, "check")
    timed(check)  # page cache and byte-code caches warm
    report = os.path.join(scratch, "report.json")
    plain, reported = pairs(opts.runs, lambda: timed(check),
                            lambda: timed(check, "--report", report))
    line("check only -> --report", plain, reported, "under +5%", reported < plain * 1.05)

    def patched(*options):
        return lambda: timed(fresh(source, scratch, "patched"), *options)
    applied, previewed = pairs(opts.runs, patched("-f", "-c"), patched("--diff", "-f", "-c"))
    line("-f -c -> --diff -f -c", applied, previewed, "no slower", previewed <= applied)
    if not opts.scratch:
        shutil.rmtree(scratch)


if __name__ == "__main__":
    main()
