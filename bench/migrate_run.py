"""Whole `tavox migrate abstract` processes against the floor of one process.

Generates (or reuses) a synthetic repository with bench/migrate_abstract.py,
then times, each as the median of several runs of a fresh process:

  - the floor (bench/migrate_floor.py): start-up, walk, read every file,
    parse every YAML file with the host Loader;
  - libyaml's bare event parse of the same YAML files on one core
    (bench/libyaml_parse.cpp, compiled here into build/bench), and the
    YAML check phase of the command against it (a --yaml run: from the
    first YAML worker to the last one joined);
  - the command at each --threads value: wall, CPU (user + system), peak
    resident size, the ratio of its wall to the floor's, and its CPU
    outside the YAML check phase; the changes log must hold the same
    messages whatever --threads is, and the same as the loader path's (a
    run whose loader does not declare itself bypassable);
  - patching: a run with --apply-fixes --apply-comments on a fresh copy
    against a check-only run, in pairs; the YAML files the native patcher
    handed to the round trip; and the native patch of each testbed against
    libyaml's bare parse of it (bench/yaml_patch.cpp);
  - start-up: `tavox --help` and `tavox migrate abstract --help` against a
    process that only imports the same third-party modules.

    python bench/migrate_run.py [--size small|medium|large] [--seed N]
        [--runs N] [--threads 100 8 1] [--root DIR] [--no-patch] [--no-startup]

The targets are printed beside the figures; nothing here fails on them.
"""
import argparse
import collections
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import migrate_abstract  # noqa: E402  (the generator)

CHANGES_LOG = "/tmp/tavox_migrate_changes.log"
TAVOX = [sys.executable, "-m", "tavox.cli.main"]

# The command as above, reporting its own peak resident size as it ends.
# The kernel's figure for a child (ru_maxrss) also counts the moment between
# fork and exec, when the child is still a copy of this process: as this
# process grows with the logs it keeps, that would be what is measured.
HWM_FILE = os.path.join(tempfile.gettempdir(), "tavox-bench-hwm-%d" % os.getpid())
MEASURED = r"""
import runpy, sys
sys.argv = ["tavox"] + sys.argv[1:]
try:
    runpy.run_module("tavox.cli.main", run_name="__main__", alter_sys=True)
finally:
    with open("/proc/self/status") as f:
        hwm = next(line.split()[1] for line in f if line.startswith("VmHWM:"))
    with open(%r, "w") as f:
        f.write(hwm)
""" % HWM_FILE
TAVOX_MEASURED = [sys.executable, "-c", MEASURED]
# The same, every YAML file read by the loader: a Loader whose load does not
# declare itself equivalent to PyYAML's C safe loader is never bypassed.
LOADER_PATH = ("import tavox.utils.yaml as host\n"
               "class Loader(host.Loader):\n"
               "    def load(self, stream):\n"
               "        return super().load(stream)\n"
               "host.Loader = Loader\n")
TAVOX_LOADER_PATH = [sys.executable, "-c", LOADER_PATH + MEASURED]
ROOT = os.path.dirname(HERE)

# Targets on the large repository.
WALL_RATIO = 0.5
OUTSIDE_YAML_SHARE = 0.10
YAML_PHASE_RATIO = 1.5  # against libyaml's bare parse on one core
PEAK_RSS_MIB = 40
PATCH_RATIO = 1.5         # -f -c against the check-only run
PATCH_RSS_MIB = 10        # -f -c's peak resident size over the check-only run's
NATIVE_SHARE = 0.99       # readable YAML files patched without the round trip
NATIVE_PATCH_RATIO = 2.0  # a testbed's native patch against libyaml's bare parse
STARTUP_RATIO = 1.2


CPUS = None  # --cpus: the processors every measured process is kept on


def on_cpus():
    if CPUS:
        os.sched_setaffinity(0, CPUS)


class Run:
    """One finished child process: wall and CPU seconds, peak RSS in MiB."""

    def __init__(self, argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL):
        start = time.perf_counter()
        proc = subprocess.Popen(argv, stdout=stdout, stderr=stderr, preexec_fn=on_cpus)
        _, status, usage = os.wait4(proc.pid, 0)
        self.wall = time.perf_counter() - start
        proc.returncode = os.waitstatus_to_exitcode(status)
        self.output = proc.stdout.read() if proc.stdout else None
        self.errors = proc.stderr.read() if proc.stderr else None
        for stream in (proc.stdout, proc.stderr):
            if stream:
                stream.close()
        if proc.returncode != 0:
            raise SystemExit(f"{' '.join(argv)}: exit status {proc.returncode}")
        self.cpu = usage.ru_utime + usage.ru_stime
        self.rss = usage.ru_maxrss / 1024
        if argv[:2] == TAVOX_MEASURED[:2] and argv[2].endswith(MEASURED):
            with open(HWM_FILE) as f:
                self.rss = int(f.read()) / 1024  # kB
            os.unlink(HWM_FILE)


def median(values):
    return statistics.median(values)


def verdict(ok):
    return "ok" if ok else "MISSED"


# ---- the changes log -------------------------------------------------------

def message_blocks(text):
    """The changes log as a multiset of blocks: a line at the left margin
    with the indented lines below it.  Messages are written one after the
    other in whatever order the workers finished, so the same run over the
    same tree gives the same multiset."""
    blocks, current = collections.Counter(), []
    for line in text.splitlines():
        if not line:
            continue
        if not line.startswith(" ") and current:
            blocks["\n".join(current)] += 1
            current = []
        current.append(line)
    if current:
        blocks["\n".join(current)] += 1
    return blocks


def read_changes(repo):
    with open(CHANGES_LOG, encoding="utf-8", errors="surrogateescape") as f:
        text = f.read()
    first = text.split("\n", 1)[0]
    if text and not first.startswith(repo):
        return None  # another process wrote the log meanwhile
    return text


# ---- phases ----------------------------------------------------------------

# Runs the command with a log handler that notes the time of the command's
# milestones (its info lines, and the first message shown while the queues
# are drained), and prints them as JSON on standard error at the end.
PHASES = r"""
import json, logging, runpy, sys, time
marks = [("start", time.perf_counter(), time.process_time())]
class Marks(logging.Handler):
    drained = False
    def emit(self, record):
        text = record.getMessage()
        if text.startswith(("Discovering", "Iterating", "The upcoming")):
            marks.append((text.split("\n")[0], time.perf_counter(), time.process_time()))
        elif record.levelno == logging.WARNING and not self.drained:
            self.drained = True
            marks.append(("draining the queues", time.perf_counter(), time.process_time()))
logging.getLogger("tavox.cli.commands.migrate.abstract").addHandler(Marks())
sys.argv = ["tavox"] + sys.argv[1:]
try:
    runpy.run_module("tavox.cli.main", run_name="__main__")
finally:
    marks.append(("end", time.perf_counter(), time.process_time()))
    sys.stderr.write("\nPHASES " + json.dumps(marks) + "\n")
"""

PHASE_NAMES = {
    "start": "start-up",
    "Discovering files...": "walk",
    "Iterating over init files...": "__init__.py checks",
    "Iterating over yaml files...": "YAML workers",
    "Iterating over python files...": "Python workers, then joining",
    "draining the queues": "changes log, patcher, success and failure logs",
    "The upcoming changes": "closing text",
}


def phase_name(mark):
    return next((v for k, v in PHASE_NAMES.items() if mark.startswith(k)), mark)


def where_time_goes(repo, threads):
    run = Run([sys.executable, "-c", PHASES, "migrate", "abstract", repo, "--threads",
               str(threads)], stderr=subprocess.PIPE)
    line = run.errors.decode(errors="replace").rsplit("PHASES ", 1)[1]
    marks = json.loads(line)
    print(f"  where the time goes (one run, --threads {threads}):")
    for (name, wall, cpu), (_, next_wall, next_cpu) in zip(marks, marks[1:]):
        print(f"    {phase_name(name):<50} wall {next_wall - wall:6.2f} s   "
              f"cpu {next_cpu - cpu:6.2f} s")


def phase_times(run, first):
    """Wall and CPU seconds from the mark starting with `first` to the next
    one, in a run of the PHASES harness."""
    marks = json.loads(run.errors.decode(errors="replace").rsplit("PHASES ", 1)[1])
    for (name, wall, cpu), (_, next_wall, next_cpu) in zip(marks, marks[1:]):
        if name.startswith(first):
            return next_wall - wall, next_cpu - cpu
    raise SystemExit(f"no mark {first!r} in {marks}")


def yaml_phase(repo, threads, runs):
    """The YAML check phase of a --yaml run: from "Iterating over yaml
    files..." until every worker is joined (the first message shown)."""
    walls, cpus = [], []
    for _ in range(runs):
        run = Run([sys.executable, "-c", PHASES, "migrate", "abstract", repo, "--yaml",
                   "--threads", str(threads)], stderr=subprocess.PIPE)
        wall, cpu = phase_times(run, "Iterating over yaml files...")
        walls.append(wall)
        cpus.append(cpu)
    return median(walls), median(cpus)


def yaml_files(repo):
    """The files the command takes for YAML, in walk order."""
    return [os.path.join(root, f) for root, _, files in os.walk(repo) for f in files
            if f.lower().endswith((".yaml", ".yml")) and os.path.isfile(os.path.join(root, f))]


def libyaml_program():
    """bench/libyaml_parse.cpp, compiled when missing or older than its source."""
    source = os.path.join(HERE, "libyaml_parse.cpp")
    exe = os.path.join(ROOT, "build", "bench", "libyaml_parse")
    if not os.path.exists(exe) or os.path.getmtime(exe) < os.path.getmtime(source):
        os.makedirs(os.path.dirname(exe), exist_ok=True)
        subprocess.run(["g++", "-O2", "-Wall", "-Wextra", "-o", exe, source, "-lyaml"],
                       check=True)
    return exe


def libyaml_parse(repo, base, runs):
    """libyaml's bare event parse of the repository's YAML files, one core:
    the median parse wall and CPU seconds, and the program's figures."""
    listing = os.path.join(base, "yaml-files.txt")
    with open(listing, "w") as f:
        f.write("".join(p + "\n" for p in yaml_files(repo)))
    exe = libyaml_program()
    results = [json.loads(Run([exe, listing], stdout=subprocess.PIPE).output)
               for _ in range(runs)]
    return (median(r["parse_wall"] for r in results), median(r["parse_cpu"] for r in results),
            results[0])


def floor(repo, runs, *options):
    results = []
    for _ in range(runs):
        run = Run([sys.executable, os.path.join(HERE, "migrate_floor.py"), repo, *options],
                  stdout=subprocess.PIPE)
        run.phases = json.loads(run.output)
        results.append(run)
    return results


def command(repo, threads, runs, *options, argv=TAVOX_MEASURED):
    results, logs = [], []
    for _ in range(runs):
        results.append(Run([*argv, "migrate", "abstract", repo,
                            "--threads", str(threads), *options]))
        logs.append(read_changes(repo))
    return results, logs


def summary(label, runs, floor_wall=None):
    wall, cpu = median(r.wall for r in runs), median(r.cpu for r in runs)
    rss = max(r.rss for r in runs)
    text = f"{label:<28} wall {wall:7.2f} s   cpu {cpu:7.2f} s   peak rss {rss:6.1f} MiB"
    if floor_wall:
        text += f"   {wall / floor_wall:5.2f} x floor"
    print(text)
    return wall, cpu, rss


# The command as measured, counting the YAML files the native patcher handed
# to the round trip (its debug lines) into a file of its own.
HANDED_FILE = os.path.join(tempfile.gettempdir(), "tavox-bench-handed-%d" % os.getpid())
COUNT_HANDED = (
    "import logging\n"
    "class Handed(logging.Handler):\n"
    "    lines = []\n"
    "    def emit(self, record):\n"
    "        text = record.getMessage()\n"
    "        if record.levelno == logging.DEBUG and ': patched through the round trip (' in text:\n"
    "            self.lines.append(text)\n"
    "        if text.startswith('The upcoming changes'):\n"
    "            with open(%r, 'w') as f:\n"
    "                f.write('\\n'.join(self.lines))\n"
    "_log = logging.getLogger('tavox.cli.commands.migrate.abstract')\n"
    "_log.setLevel(logging.DEBUG)\n"
    "_log.addHandler(Handed())\n"
    "_log.propagate = False\n" % HANDED_FILE)
TAVOX_COUNTING = [sys.executable, "-c", COUNT_HANDED + MEASURED]


def yaml_patch_program():
    """bench/yaml_patch.cpp with the migration's engine (its own sources,
    no Python), compiled when missing or older than any of them."""
    engine = os.path.join(ROOT, "src", "tavox", "cli", "commands", "migrate", "abstract", "engine")
    sources = [os.path.join(HERE, "yaml_patch.cpp")] + sorted(
        os.path.join(engine, f) for f in os.listdir(engine) if f.endswith(".cpp"))
    headers = [os.path.join(engine, f) for f in os.listdir(engine) if f.endswith(".hpp")]
    exe = os.path.join(ROOT, "build", "bench", "yaml_patch")
    if not os.path.exists(exe) or any(os.path.getmtime(exe) < os.path.getmtime(f)
                                      for f in sources + headers):
        os.makedirs(os.path.dirname(exe), exist_ok=True)
        subprocess.run(["g++", "-O2", "-Wall", "-Wextra", "-pthread", "-I",
                        os.path.join(ROOT, "src"), "-o", exe, *sources, "-lyaml"], check=True)
    return exe


def patching(repo, base, runs, threads, changes_text):
    """-f -c against a check-only run, in pairs one after the other (the
    machine's speed drifts over minutes), each -f -c run on a fresh copy."""
    work = os.path.join(base, "patch-work")
    pairs, handed = [], None
    for _ in range(runs):
        if os.path.exists(work):
            shutil.rmtree(work)
        shutil.copytree(repo, work, symlinks=True)
        check = Run([*TAVOX_MEASURED, "migrate", "abstract", work, "--threads", str(threads)])
        patch = Run([*TAVOX_COUNTING, "migrate", "abstract", work, "--threads", str(threads),
                     "--apply-fixes", "--apply-comments"])
        with open(HANDED_FILE) as f:
            handed = [line for line in f.read().splitlines() if line]
        os.unlink(HANDED_FILE)
        pairs.append((check, patch))
    shutil.rmtree(work)

    check_wall = median(c.wall for c, _ in pairs)
    patch_wall = median(p.wall for _, p in pairs)
    ratio = median(p.wall / c.wall for c, p in pairs)
    check_rss = max(c.rss for c, _ in pairs)
    patch_rss = max(p.rss for _, p in pairs)
    print(f"{'check only':<28} wall {check_wall:7.2f} s   peak rss {check_rss:6.1f} MiB")
    print(f"{'--apply-fixes --apply-comments':<28} wall {patch_wall:7.2f} s   "
          f"peak rss {patch_rss:6.1f} MiB")
    print(f"  {ratio:.2f} x the check-only run (median of the pairs; target <= {PATCH_RATIO})"
          f"  {verdict(ratio <= PATCH_RATIO)}")
    print(f"  peak rss {patch_rss - check_rss:+.1f} MiB over the check-only run (target <= "
          f"+{PATCH_RSS_MIB} MiB)  {verdict(patch_rss - check_rss <= PATCH_RSS_MIB)}")

    # The YAML files the patcher was given: those with a message, of which
    # the unreadable ones (neither loader reads them) go to the round trip
    # only to fail there.
    blocks = [b for b in re.split(r"\n(?=\S)", changes_text)
              if b.split(":")[0].lower().endswith((".yaml", ".yml"))]
    unreadable = sum(b.rstrip().endswith(": Could not load yaml file") for b in blocks)
    readable = len(blocks) - unreadable
    reasons = collections.Counter(line.rsplit("(", 1)[-1].rstrip(")") for line in handed)
    fallbacks = sum(v for k, v in reasons.items() if k != "not one document")
    native = 1 - fallbacks / readable if readable else 1.0
    print(f"  YAML files given to the patcher: {len(blocks)}; patched natively {native:.1%} of the "
          f"{readable} readable (target >= {NATIVE_SHARE:.0%})  {verdict(native >= NATIVE_SHARE)}")
    print(f"  through the round trip: {fallbacks} readable"
          + "".join(f"; {n} {why}" for why, n in reasons.most_common())
          + f"; {unreadable} that neither loader reads")

    # The patcher on its own: each testbed with a message, against libyaml's
    # bare parse of it.
    log = os.path.join(base, "changes-for-patch.log")
    with open(log, "w") as f:
        f.write(changes_text)
    figures = json.loads(Run([yaml_patch_program(), log, str(max(runs, 3))],
                             stdout=subprocess.PIPE).output)
    print(f"  native patch of a testbed, from its check's reading: {figures['ratio']:.2f} x "
          f"libyaml's bare parse (target <= {NATIVE_PATCH_RATIO})  "
          f"{verdict(figures['ratio'] <= NATIVE_PATCH_RATIO)}; from its bytes alone "
          f"{figures['alone_ratio']:.2f} x ({figures['files']} files, {figures['changed']} "
          f"changed, {figures['fallbacks']} handed over)")


# ---- start-up --------------------------------------------------------------

def third_party_imports(argv):
    """The third-party modules a process imports, in the order their
    imports ended, from -X importtime."""
    proc = subprocess.run([sys.executable, "-X", "importtime", *argv[1:]],
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    stdlib = set(sys.stdlib_module_names)
    ours = {"tavox", "brask"}
    names, own_self = [], []
    for line in proc.stderr.splitlines():
        if not line.startswith("import time:") or "|" not in line:
            continue
        parts = line.split("|")
        try:
            self_us = int(parts[0].split(":")[1])
        except ValueError:
            continue  # the header line
        name = parts[2].strip()
        top = name.split(".")[0]
        if top in ours:
            own_self.append((self_us, name))
        elif top not in stdlib and not top.startswith("_") and name not in names:
            names.append(name)
    return names, sorted(own_self, reverse=True)


def startup(runs):
    for label, args in (("tavox --help", ["--help"]),
                        ("tavox migrate abstract --help", ["migrate", "abstract", "--help"])):
        argv = [*TAVOX, *args]
        modules, own = third_party_imports(argv)
        script = ("import importlib\nfor n in %r:\n    try:\n        importlib.import_module(n)\n"
                  "    except Exception:\n        pass\n" % modules)
        baseline = [sys.executable, "-c", script]
        ours, theirs = [], []
        for _ in range(runs):  # interleaved, so that both see the same machine
            ours.append(Run(argv).wall)
            theirs.append(Run(baseline).wall)
        a, b = median(ours), median(theirs)
        print(f"{label:<32} {a:6.3f} s   imports alone {b:6.3f} s   ratio {a / b:5.2f} "
              f"(target <= {STARTUP_RATIO})  {verdict(a / b <= STARTUP_RATIO)}")
        tops = {n.split(".")[0] for n in modules}
        print(f"  third-party packages: {', '.join(sorted(tops))}")
        print("  own modules, self import time: " +
              ", ".join(f"{n} {us / 1000:.1f} ms" for us, n in own[:4]))


# ---- main ------------------------------------------------------------------

def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", choices=migrate_abstract.SIZES, default="medium")
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--threads", type=int, nargs="+", default=[100, 8, 1])
    parser.add_argument("--root", help="where the repository is generated and kept "
                        "(default: a directory under the system's temporary directory)")
    parser.add_argument("--cpus", type=int, nargs="+", metavar="CPU",
                        help="keep every measured process on these processors (on a shared "
                        "machine, figures steadier than the scheduler's)")
    parser.add_argument("--no-patch", action="store_true")
    parser.add_argument("--no-startup", action="store_true")
    opts = parser.parse_args(argv)
    global CPUS
    CPUS = opts.cpus

    base = opts.root or os.path.join(tempfile.gettempdir(),
                                     f"tavox-bench-{opts.size}-{opts.seed}")
    repo = os.path.join(base, "repo")
    counts = migrate_abstract.SIZES[opts.size]
    size = migrate_abstract.ensure(repo, *counts, opts.seed)
    print(f"repository {repo}: {opts.size}, {counts[0]} Python, {counts[1]} YAML, "
          f"{counts[2]} __init__.py files, {size / 2**20:.1f} MiB (seed {opts.seed})")
    print(f"Python {sys.version.split()[0]} ({sys.executable}); median of {opts.runs} runs; "
          f"load average {os.getloadavg()[0]:.1f} at start; processors "
          f"{', '.join(map(str, CPUS)) if CPUS else 'all'} of {os.cpu_count()}")
    print()

    Run([*TAVOX, "migrate", "abstract", repo])  # page cache and byte-code caches warm

    floor_runs = floor(repo, opts.runs)
    floor_wall, floor_cpu, _ = summary("floor", floor_runs)
    phases = {k: median(r.phases[k] for r in floor_runs)
              for k in ("imports", "walk", "read", "yaml", "yaml_cpu")}
    print("  " + ", ".join(f"{k} {v:.2f} s" for k, v in phases.items()) +
          f"; {floor_runs[0].phases['yaml_failed']} YAML files fail to load")
    # For reference, not a target: the same with one thread per YAML file,
    # as the command's structure has it (a worker thread for each file).
    each_runs = floor(repo, opts.runs, "--thread-each")
    summary("floor, thread per YAML", each_runs, floor_wall)

    # The parse and the phase in turn, each ratio from a pair measured one
    # after the other: this machine's speed drifts over minutes.
    pairs = []
    for _ in range(opts.runs):
        parse_wall, parse_cpu, parsed = libyaml_parse(repo, base, 1)
        pairs.append((parse_wall, parse_cpu, *yaml_phase(repo, opts.threads[0], 1)))
    parse_wall, parse_cpu, phase_wall, phase_cpu = (median(p[i] for p in pairs) for i in range(4))
    ratio = median(p[2] / p[0] for p in pairs)
    print(f"{'libyaml event parse, 1 core':<28} wall {parse_wall:7.2f} s   cpu {parse_cpu:7.2f} s"
          f"   ({parsed['files']} files, {parsed['bytes'] / 2**20:.1f} MiB, "
          f"{parsed['events']} events, {parsed['errors']} parse errors)")
    print(f"{'YAML check phase (--yaml)':<28} wall {phase_wall:7.2f} s   cpu {phase_cpu:7.2f} s"
          f"   {ratio:5.2f} x libyaml parse (median of the pairs; target <= {YAML_PHASE_RATIO})"
          f"  {verdict(ratio <= YAML_PHASE_RATIO)}")

    logs_by_threads = {}
    for threads in opts.threads:
        runs, logs = command(repo, threads, opts.runs)
        wall, cpu, rss = summary(f"--threads {threads}", runs, floor_wall)
        outside = cpu - phase_cpu
        print(f"  wall {verdict(wall <= WALL_RATIO * floor_wall)} (<= {WALL_RATIO} x floor); "
              f"peak rss {verdict(rss <= PEAK_RSS_MIB)} (<= {PEAK_RSS_MIB} MiB)")
        print(f"  cpu outside the YAML check phase {outside:.2f} s = {outside / floor_wall:.1%} "
              f"of the floor {verdict(outside <= OUTSIDE_YAML_SHARE * floor_wall)} "
              f"(<= {OUTSIDE_YAML_SHARE:.0%})")
        logs_by_threads[threads] = [log for log in logs if log is not None]
        if threads == opts.threads[0]:
            where_time_goes(repo, threads)
    # Every YAML file through the loader, for the changes log and for reference.
    loader_runs, loader_logs = command(repo, opts.threads[0], 1, argv=TAVOX_LOADER_PATH)
    summary(f"loader path, --threads {opts.threads[0]}", loader_runs, floor_wall)

    reference = None
    for threads, logs in logs_by_threads.items():
        for log in logs:
            blocks = message_blocks(log)
            if reference is None:
                reference = blocks
            elif blocks != reference:
                print(f"changes log differs at --threads {threads}: "
                      f"{sum((blocks - reference).values())} blocks more, "
                      f"{sum((reference - blocks).values())} blocks fewer")
                break
    checked = sum(len(v) for v in logs_by_threads.values())
    if reference is not None:
        print(f"changes log: {sum(reference.values())} blocks, compared over {checked} runs "
              f"at --threads {', '.join(map(str, opts.threads))}")
        for log in loader_logs:
            if log is None:
                continue
            blocks = message_blocks(log)
            same = blocks == reference
            print(f"changes log of the loader path: {sum(blocks.values())} blocks, "
                  f"{'the same multiset' if same else 'DIFFERENT'}"
                  + ("" if same else f" ({sum((blocks - reference).values())} more, "
                                     f"{sum((reference - blocks).values())} fewer)"))
    print()

    if not opts.no_patch:
        some_log = next((logs[0] for logs in logs_by_threads.values() if logs), None)
        if some_log is None:
            print("patching: skipped, the changes log was overwritten by another process")
        else:
            patching(repo, base, opts.runs, opts.threads[0], some_log)
        print()
    if not opts.no_startup:
        startup(max(opts.runs, 5))


if __name__ == "__main__":
    main()
