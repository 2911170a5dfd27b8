"""`tavox migrate abstract` on a busy machine against the same on an idle one.

A run of the command has many threads that hand work to one another (the
interpreter lock between its workers, the YAML readers); on a machine whose
processors are taken by other processes, every hand-over waits for the
scheduler.  This prints, for the one-process floor (bench/migrate_floor.py)
and the command at each --threads value (check only), the median wall and
CPU seconds idle and busy and the median of the busy/idle ratios, each pair
measured one after the other; and the YAML check phase of a --yaml run,
busy, with the longest wait of a worker for the read-ahead when the modules
were built with -DTAVOX_TAKE_TIMER=ON.

    python bench/migrate_busy.py [--busy N] [--runs N] [--size large]
        [--threads 100 8 1] [--against DIR] [--only floor threads yaml]

--busy N starts N CPU-bound processes for the sitting; they are stopped
(SIGSTOP) while the idle half of each pair runs.  --against DIR measures a
second package tree (a PYTHONPATH, for instance a copy of python/ with
another build's libraries) in the same pairs, so that two builds are
compared on the same machine at the same moments.

The target: each run's busy/idle ratio no more than TARGET x the floor's.
Nothing here fails on it.  The migration's logs go to /tmp: run it where
no other migration runs (or under a private /tmp).
"""
import argparse
import contextlib
import os
import signal
import statistics
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import migrate_abstract  # noqa: E402  (the generator)
import migrate_run  # noqa: E402
from migrate_run import PHASES, TAVOX_MEASURED, Run, phase_times  # noqa: E402

TARGET = 1.5


class Busy:
    """N CPU-bound processes, running only inside `with busy.on():`."""

    def __init__(self, count):
        # A loop of the interpreter's own rather than yes(1): nobody else's
        # clean-up of stray yes processes ends ours in the middle of a sitting.
        self.procs = [subprocess.Popen([sys.executable, "-c", "while True: pass"])
                      for _ in range(count)]
        self._signal(signal.SIGSTOP)

    def _signal(self, sig):
        for p in self.procs:
            p.send_signal(sig)

    @contextlib.contextmanager
    def on(self):
        if any(p.poll() is not None for p in self.procs):
            raise SystemExit("a busy process ended: the figures would not be busy ones")
        self._signal(signal.SIGCONT)
        try:
            yield
        finally:
            self._signal(signal.SIGSTOP)

    def close(self):
        for p in self.procs:
            p.kill()
            p.wait()


def with_tree(tree):
    """Children see package tree `tree` (None: the environment as it is)."""
    if tree is None:
        os.environ.pop("PYTHONPATH", None)
        if ORIGINAL_PYTHONPATH is not None:
            os.environ["PYTHONPATH"] = ORIGINAL_PYTHONPATH
    else:
        os.environ["PYTHONPATH"] = tree


ORIGINAL_PYTHONPATH = os.environ.get("PYTHONPATH")


def floor_run(repo):
    return Run([sys.executable, os.path.join(HERE, "migrate_floor.py"), repo],
               stdout=subprocess.PIPE)


def command_run(repo, threads):
    return Run([*TAVOX_MEASURED, "migrate", "abstract", repo, "--threads", str(threads)])


def yaml_phase_run(repo, threads):
    run = Run([sys.executable, "-c", PHASES, "migrate", "abstract", repo, "--yaml",
               "--threads", str(threads)], stderr=subprocess.PIPE)
    wall, cpu = phase_times(run, "Iterating over yaml files...")
    waits = [line.split() for line in run.errors.decode(errors="replace").splitlines()
             if line.startswith("TAKE_TIMER ")]
    longest = max((float(w[4]) for w in waits), default=None)
    longest_locked = max((float(w[6]) for w in waits), default=None)
    return wall, cpu, longest, longest_locked


def med(values):
    return statistics.median(values)


def pairs_of(label, trees, measure, busy, runs):
    """Idle and busy runs of `measure` for each tree, interleaved."""
    idle = {t: [] for t in trees}
    loaded = {t: [] for t in trees}
    for _ in range(runs):
        for tree in trees:
            with_tree(tree)
            idle[tree].append(measure())
            with busy.on():
                loaded[tree].append(measure())
    with_tree(None)
    out = {}
    for tree in trees:
        i, b = idle[tree], loaded[tree]
        ratio = med(y.wall / x.wall for x, y in zip(i, b))
        name = label if len(trees) == 1 else f"{label} [{tree or 'as installed'}]"
        print(f"{name:<44} idle wall {med(r.wall for r in i):6.2f} s cpu "
              f"{med(r.cpu for r in i):6.2f} s   busy wall {med(r.wall for r in b):6.2f} s cpu "
              f"{med(r.cpu for r in b):6.2f} s   busy/idle {ratio:5.2f}", flush=True)
        out[tree] = ratio
    return out


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--busy", type=int, default=2, metavar="N",
                        help="CPU-bound processes started for the sitting (default 2)")
    parser.add_argument("--size", choices=migrate_abstract.SIZES, default="large")
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--runs", type=int, default=5, help="pairs per figure (default 5)")
    parser.add_argument("--threads", type=int, nargs="+", default=[100, 8, 1])
    parser.add_argument("--root", help="where the repository is generated and kept")
    parser.add_argument("--against", metavar="DIR",
                        help="a second package tree measured in the same pairs")
    parser.add_argument("--only", nargs="+", choices=["floor", "threads", "yaml"],
                        default=["floor", "threads", "yaml"])
    opts = parser.parse_args(argv)

    base = opts.root or os.path.join(tempfile.gettempdir(),
                                     f"tavox-bench-{opts.size}-{opts.seed}")
    repo = os.path.join(base, "repo")
    counts = migrate_abstract.SIZES[opts.size]
    migrate_abstract.ensure(repo, *counts, opts.seed)
    trees = [None] + ([os.path.abspath(opts.against)] if opts.against else [])
    print(f"repository {repo} ({opts.size}); Python {sys.version.split()[0]}; {opts.busy} busy "
          f"processes; median of {opts.runs} pairs; load average {os.getloadavg()[0]:.2f} "
          f"at start; {os.cpu_count()} processors", flush=True)
    for tree in trees:
        with_tree(tree)
        command_run(repo, opts.threads[0])  # page cache and byte-code caches warm
    with_tree(None)

    busy = Busy(opts.busy)
    try:
        floor = None
        if "floor" in opts.only:
            floor = pairs_of("floor", trees, lambda: floor_run(repo), busy, opts.runs)
        if "threads" in opts.only:
            for threads in opts.threads:
                ratios = pairs_of(f"--threads {threads}", trees,
                                  lambda: command_run(repo, threads), busy, opts.runs)
                if floor:
                    for tree, ratio in ratios.items():
                        limit = TARGET * floor[tree]
                        print(f"  {ratio / floor[tree]:5.2f} x the floor's ratio "
                              f"(target <= {TARGET})  {migrate_run.verdict(ratio <= limit)}")
        if "yaml" in opts.only:
            results = {t: [] for t in trees}
            for _ in range(opts.runs):
                for tree in trees:
                    with_tree(tree)
                    with busy.on():
                        results[tree].append(yaml_phase_run(repo, opts.threads[0]))
            with_tree(None)
            for tree in trees:
                r = results[tree]
                name = "YAML phase, busy" + ("" if len(trees) == 1 else
                                             f" [{tree or 'as installed'}]")
                text = (f"{name:<44} wall {med(x[0] for x in r):6.2f} s cpu "
                        f"{med(x[1] for x in r):6.2f} s  (--threads {opts.threads[0]}; each: "
                        + " ".join(f"{x[0]:.2f}" for x in r) + ")")
                if r[0][2] is not None:
                    text += (f"\n  longest wait in take {max(x[2] for x in r) / 1e3:.3f} ms, "
                             f"with the interpreter lock held {max(x[3] for x in r) / 1e3:.3f} ms")
                print(text, flush=True)
    finally:
        busy.close()


if __name__ == "__main__":
    main()
