"""Throughput of `tavox migrate abstract` on a synthetic test repository.

Generates a deterministic repository (seeded): Python test scripts, YAML
testbeds and a package tree of __init__.py files, with token values drawn
from the shipped pid_tokens.csv, then runs the command over it in this
process for each --threads value and prints files per second.

    python bench/migrate_abstract.py [--python N] [--yaml N] [--init N]
                                     [--seed S] [--threads 1 8 100] [--repeat R]
"""
import argparse
import contextlib
import csv
import io
import logging
import os
import random
import sys
import tempfile
import time

SCRIPT_FILLER = [
    "    log.info('checking %s', device.name)",
    "    output = device.execute('show version')",
    "    assert 'uptime' in output",
    "    for intf in device.interfaces:",
    "        steps.append(intf.name)",
    "    result = parse(output)",
    "    # wait for the control plane to settle",
    "    time.sleep(0)",
    "    return result",
]


def read_table():
    import brask.plugins
    path = os.path.join(os.path.dirname(brask.plugins.__file__), "pid_tokens.csv")
    with open(path, newline="") as f:
        rows = list(csv.reader(f))[1:]
    return [row[:4] for row in rows if len(row) >= 4]


def platform_line(rng, rows):
    pid, os_, platform, model = rng.choice(rows)
    value = rng.choice([pid, platform, model, model.upper(), "ap", "q9800cl", "unknownplat"])
    form = rng.choice([
        "    if device.platform == '{v}':",
        '    devices = testbed.find(platform="{v}")',
        "    if device.platform == expected_platform:",
        "    check(os='ferrin', platform='{v}')",
    ])
    return form.format(v=value)


def python_file(rng, rows):
    lines = ['"""Synthetic test script."""', "import logging", "import time", "",
             "log = logging.getLogger(__name__)", ""]
    for n in range(rng.randint(8, 24)):
        lines.append(f"def test_case_{n}(device, testbed, steps):")
        for _ in range(rng.randint(6, 20)):
            if rng.random() < 0.08:
                lines.append(platform_line(rng, rows))
            else:
                lines.append(rng.choice(SCRIPT_FILLER))
        lines.append("")
    return "\n".join(lines) + "\n"


def yaml_file(rng, rows):
    out = ["testbed:", "  name: synthetic", "groups:", "  access:",
           "    platforms: [{}]".format(", ".join(rng.choice(rows)[2] for _ in range(3))),
           "devices:"]
    for n in range(rng.randint(4, 30)):
        pid, os_, platform, model = rng.choice(rows)
        value = rng.choice([pid, platform, model, "ap", "q9800cl", "mystery"])
        out += [f"  dev-{n}:", f"    os: {os_}", f"    platform: {value}",
                "    connections:", "      cli:", "        protocol: ssh",
                f"        ip: 192.0.2.{n + 1}"]
        if rng.random() < 0.5:
            out.append(f"    model: {model}")
    return "\n".join(out) + "\n"


def init_dirs(rng, rows, count):
    """Package directories in the old layout, OS / platform-or-model / PID,
    spread over several libraries of the repository."""
    dirs, seen = [], set()
    while len(dirs) < count:
        library = f"lib{len(dirs) // 60}"
        pid, os_, platform, model = rng.choice(rows)
        middle = rng.choice([platform, model])
        for d in (library, f"{library}/{os_}", f"{library}/{os_}/{middle}",
                  f"{library}/{os_}/{middle}/{pid}"):
            if d not in seen:
                seen.add(d)
                dirs.append(d)
    return dirs[:count]


def generate(root, n_python, n_yaml, n_init, seed):
    rng = random.Random(seed)
    rows = read_table()
    for i in range(n_python):
        path = os.path.join(root, "scripts", f"area{i % 20}", f"test_{i}.py")
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write(python_file(rng, rows))
    for i in range(n_yaml):
        path = os.path.join(root, "testbeds", f"lab{i % 10}", f"tb_{i}.yaml")
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write(yaml_file(rng, rows))
    for d in init_dirs(rng, rows, n_init):
        path = os.path.join(root, d, "__init__.py")
        os.makedirs(os.path.dirname(path), exist_ok=True)
        call = "declare_token" if "/" in d else "declare_package"
        with open(path, "w") as f:
            f.write(f'"""Token package."""\nfrom nuvik.abstract import {call}\n\n'
                    f"{call}(__name__)\n")


def run_once(abstract, root, threads):
    cmd = abstract.MigrateAbstractCommand(prog="tavox migrate abstract")
    args = cmd.parser.parse_args([root, "--threads", str(threads)])
    with contextlib.redirect_stderr(io.StringIO()):   # the progress bars
        start = time.perf_counter()
        cmd.run(args)
        return time.perf_counter() - start


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--python", type=int, default=2000)
    parser.add_argument("--yaml", type=int, default=500)
    parser.add_argument("--init", type=int, default=300)
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--threads", type=int, nargs="+", default=[1, 8, 100])
    parser.add_argument("--repeat", type=int, default=3)
    opts = parser.parse_args(argv)

    import tavox.cli.commands.migrate.abstract as abstract
    logger = logging.getLogger(abstract.__name__)
    logger.addHandler(logging.NullHandler())
    logger.propagate = False  # the report itself is not what is measured

    with tempfile.TemporaryDirectory(prefix="tavox-bench-") as root:
        generate(root, opts.python, opts.yaml, opts.init, opts.seed)
        total = opts.python + opts.yaml + opts.init
        size = sum(os.path.getsize(os.path.join(d, f))
                   for d, _, files in os.walk(root) for f in files)
        print(f"repository: {opts.python} Python, {opts.yaml} YAML, {opts.init} __init__.py "
              f"files, {size / 1e6:.1f} MB (seed {opts.seed}); Python {sys.version.split()[0]}")
        run_once(abstract, root, max(opts.threads))  # warm the page cache and the table
        for threads in opts.threads:
            best = min(run_once(abstract, root, threads) for _ in range(opts.repeat))
            print(f"--threads {threads:>3}: {total / best:8.0f} files/s  "
                  f"({best:.3f} s, best of {opts.repeat})")


if __name__ == "__main__":
    main()
