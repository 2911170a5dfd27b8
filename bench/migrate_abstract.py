"""Synthetic test repositories for `tavox migrate abstract`, and its throughput.

The generator is deterministic (seeded): Python test scripts of 50 to 800
lines, YAML testbeds and data files, and a package tree of token-declaring
__init__.py files, with token values drawn from the shipped pid_tokens.csv.
A few YAML files are broken and a few files of each kind are not UTF-8, as
in any real repository.  Sizes:

    small    600 Python,  300 YAML,  100 __init__.py   (about 10 MB)
    medium  3000 Python, 1500 YAML,  500 __init__.py   (about 48 MB)
    large  12000 Python, 6000 YAML, 2000 __init__.py   (about 190 MB)

    python bench/migrate_abstract.py generate DIR [--size S] [--seed N]
        write (or keep, when DIR already holds the same repository) and exit
    python bench/migrate_abstract.py [--size S | --python N --yaml N --init N]
                                     [--seed S] [--threads 1 8 100] [--repeat R]
        files per second of the command run in this process, per --threads
"""
import argparse
import contextlib
import csv
import io
import json
import logging
import os
import random
import shutil
import sys
import tempfile
import time

SIZES = {
    "small": (600, 300, 100),
    "medium": (3000, 1500, 500),
    "large": (12000, 6000, 2000),
}

# Lines a test script is mostly made of.
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
    "    host = testbed.servers['tftp']['address']",
    "    path = os.path.join(os.path.dirname(__file__), 'golden', name)",
    "    with open(path) as f:",
    "        expected = json.load(f)",
    "    device.configure(['interface loopback0', 'no shutdown'])",
    "    self.passed('all interfaces up')",
    "    if not output.strip():",
    "        self.failed('empty output from %s' % device.name)",
    "    neighbors = device.parse('show lldp neighbors')",
    "    assert neighbors['total_entries'] >= 1, neighbors",
    "    counters = {k: v for k, v in stats.items() if v}",
    "    device.disconnect()",
    "    connection.close()",
    "",
    "    # verify the post-upgrade state",
    "    timeout = Timeout(max_time=120, interval=5)",
    "    while timeout.iterate():",
    "        if device.is_connected():",
    "            break",
    "        pass",
    "    try:",
    "    except Exception:",
    "        raise",
    "",
]

SCRIPT_HEADER = [
    '"""Synthetic test script."""',
    "import json",
    "import logging",
    "import os",
    "import time",
    "",
    "from nuvik import aetest",
    "",
    "log = logging.getLogger(__name__)",
    "",
]

PLATFORM_FORMS = [
    "    if device.platform == '{v}':",
    '    devices = testbed.find(platform="{v}")',
    "    if device.platform == expected_platform:",
    "    check(os='ferrin', platform='{v}')",
    "    uut = Device(name, os='{os}', platform='{v}')",
    "    platform = device.platform",
    "    log.info('running on platform %s', device.platform)",
    "    if platform=='{v}' or platform == '{w}':",
]

# Latin-1 bytes in a comment: such a file is not valid UTF-8.
NOT_UTF8 = "# Pr\u00fcfung der Schnittstellen (\u00e9t\u00e9)\n".encode("latin-1")


def read_table():
    import brask.plugins
    path = os.path.join(os.path.dirname(brask.plugins.__file__), "pid_tokens.csv")
    with open(path, newline="") as f:
        rows = list(csv.reader(f))[1:]
    return [row[:4] for row in rows if len(row) >= 4]


def token_value(rng, rows):
    pid, os_, platform, model = rng.choice(rows)
    return rng.choice([pid, platform, platform, model, model, model.upper(), "ap",
                       "q9800cl", "Q9800_L", "unknownplat", os_])


def platform_line(rng, rows):
    return rng.choice(PLATFORM_FORMS).format(
        v=token_value(rng, rows), w=token_value(rng, rows), os=rng.choice(rows)[1])


def python_file(rng, rows):
    target = rng.randint(50, 800)
    lines = list(SCRIPT_HEADER)
    n = 0
    while len(lines) < target:
        lines.append(f"def test_case_{n}(device, testbed, steps):")
        for _ in range(rng.randint(6, 30)):
            if rng.random() < 0.02:
                lines.append(platform_line(rng, rows))
            else:
                lines.append(rng.choice(SCRIPT_FILLER))
        lines.append("")
        n += 1
    return "\n".join(lines[:target]) + "\n"


def yaml_testbed(rng, rows):
    out = ["testbed:", f"  name: lab-{rng.randint(1, 999)}",
           "  credentials:", "    default:", "      username: admin",
           "      password: '%ENC{w5PDosOUw5fDosKQwpbCmMKH}'"]
    groups = rng.randint(0, 3)
    if groups:
        out.append("groups:")
    for g in range(groups):
        values = ", ".join(token_value(rng, rows) for _ in range(rng.randint(1, 4)))
        out += [f"  group{g}:", f"    platforms: [{values}]", "    role: access"]
    out.append("devices:")
    names = []
    for n in range(rng.randint(2, 12)):
        pid, os_, platform, model = rng.choice(rows)
        name = f"dev-{n}"
        names.append(name)
        out += [f"  {name}:", f"    os: {rng.choice([os_, os_, os_, 'ferrin'])}",
                f"    platform: {token_value(rng, rows)}", "    type: switch",
                f"    alias: uut{n}"]
        if rng.random() < 0.5:
            out.append(f"    model: {model}")
        out += ["    connections:", "      defaults:", "        class: brask.Connection",
                "        via: cli", "      cli:", "        protocol: ssh",
                f"        ip: 192.0.2.{n + 1}", "        port: 22",
                "    custom:", f"      rack: r{rng.randint(1, 40)}"]
    out.append("topology:")
    for name in names:
        out += [f"  {name}:", "    interfaces:"]
        for j in range(rng.randint(2, 16)):
            out += [f"      Ethernet1/{j + 1}:", f"        link: link-{name}-{j}",
                    "        type: ethernet", f"        ipv4: 10.{j}.{rng.randint(0, 255)}.1/24"]
    return "\n".join(out) + "\n"


def yaml_datafile(rng, rows):
    out = ["# test parameters", "parameters:", f"  iterations: {rng.randint(1, 50)}",
           f"  timeout: {rng.randint(10, 600)}", "  features:"]
    out += [f"    - feature{rng.randint(1, 200)}" for _ in range(rng.randint(3, 20))]
    out.append("expected:")
    for k in range(rng.randint(5, 60)):
        out += [f"  check_{k}:", f"    command: show running-config section {k}",
                f"    contains: ['line {k}', 'vlan {rng.randint(1, 4094)}']",
                f"    retries: {rng.randint(0, 3)}"]
    return "\n".join(out) + "\n"


def broken_yaml(rng, rows):
    good = yaml_testbed(rng, rows).splitlines()
    where = rng.randrange(1, len(good))
    broken = rng.choice(["\tplatform: q9300", "  - [unclosed", "devices: {a: b"])
    return "\n".join(good[:where] + [broken] + good[where:]) + "\n"


def yaml_file(rng, rows):
    r = rng.random()
    if r < 0.01:
        return broken_yaml(rng, rows)
    if r < 0.65:
        return yaml_testbed(rng, rows)
    return yaml_datafile(rng, rows)


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


def init_file(rng, d):
    call = "declare_token" if "/" in d else "declare_package"
    body = ['"""Token package."""', f"from nuvik.abstract import {call}", ""]
    if rng.random() < 0.1:                     # a package that declares nothing
        body.append("__all__ = []")
    else:
        body.append(f"{call}(__name__)")
    body += ["", "# helpers shared by the scripts below this package"]
    body += [f"TIMEOUT_{k} = {rng.randint(1, 600)}" for k in range(rng.randint(0, 30))]
    return "\n".join(body) + "\n"


def write(path, text, rng, non_utf8_rate):
    data = text.encode("utf-8")
    if rng.random() < non_utf8_rate:
        data = NOT_UTF8 + data
    with open(path, "wb") as f:
        f.write(data)


def generate(root, n_python, n_yaml, n_init, seed):
    rng = random.Random(seed)
    rows = read_table()
    for i in range(n_python):
        path = os.path.join(root, "scripts", f"area{i % 40}", f"suite{i % 7}", f"test_{i}.py")
        os.makedirs(os.path.dirname(path), exist_ok=True)
        write(path, python_file(rng, rows), rng, 0.005)
    for i in range(n_yaml):
        kind = "testbeds" if i % 3 else "data"
        path = os.path.join(root, kind, f"lab{i % 20}", f"tb_{i}.yaml" if i % 5 else f"tb_{i}.yml")
        os.makedirs(os.path.dirname(path), exist_ok=True)
        write(path, yaml_file(rng, rows), rng, 0.005)
    for d in init_dirs(rng, rows, n_init):
        path = os.path.join(root, "libs", d, "__init__.py")
        os.makedirs(os.path.dirname(path), exist_ok=True)
        write(path, init_file(rng, d), rng, 0.005)


STAMP = ".tavox-bench.json"


def ensure(root, n_python, n_yaml, n_init, seed):
    """Generate the repository into ``root`` unless it already holds the
    same one (same counts, seed and generator); return its size in bytes."""
    want = {"python": n_python, "yaml": n_yaml, "init": n_init, "seed": seed,
            "generator": os.path.getmtime(__file__)}
    stamp = os.path.join(root, STAMP)
    try:
        with open(stamp) as f:
            have = json.load(f)
    except (OSError, ValueError):
        have = None
    if have is None or {k: have.get(k) for k in want} != want:
        if have is None and os.path.isdir(root) and os.listdir(root):
            sys.exit(f"{root}: not empty and not a generated repository; not touching it")
        if os.path.isdir(root):
            shutil.rmtree(root)
        os.makedirs(root)
        generate(root, n_python, n_yaml, n_init, seed)
        size = sum(os.path.getsize(os.path.join(d, f))
                   for d, _, files in os.walk(root) for f in files)
        with open(stamp, "w") as f:
            json.dump(dict(want, bytes=size), f)
        return size
    return have["bytes"]


def run_once(abstract, root, threads):
    cmd = abstract.MigrateAbstractCommand(prog="tavox migrate abstract")
    args = cmd.parser.parse_args([root, "--threads", str(threads)])
    with contextlib.redirect_stderr(io.StringIO()):   # the progress bars
        start = time.perf_counter()
        cmd.run(args)
        return time.perf_counter() - start


def counts(opts):
    if opts.size:
        return SIZES[opts.size]
    return opts.python, opts.yaml, opts.init


def main(argv=None):
    argv = sys.argv[1:] if argv is None else list(argv)
    if argv[:1] == ["generate"]:
        parser = argparse.ArgumentParser(prog="migrate_abstract.py generate")
        parser.add_argument("root")
        parser.add_argument("--size", choices=SIZES, default="medium")
        parser.add_argument("--seed", type=int, default=7)
        opts = parser.parse_args(argv[1:])
        size = ensure(opts.root, *SIZES[opts.size], opts.seed)
        print(f"{opts.root}: {opts.size}, {size / 2**20:.1f} MiB")
        return

    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", choices=SIZES)
    parser.add_argument("--python", type=int, default=2000)
    parser.add_argument("--yaml", type=int, default=500)
    parser.add_argument("--init", type=int, default=300)
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--threads", type=int, nargs="+", default=[1, 8, 100])
    parser.add_argument("--repeat", type=int, default=3)
    opts = parser.parse_args(argv)
    n_python, n_yaml, n_init = counts(opts)

    import tavox.cli.commands.migrate.abstract as abstract
    logger = logging.getLogger(abstract.__name__)
    logger.addHandler(logging.NullHandler())
    logger.propagate = False  # the report itself is not what is measured

    with tempfile.TemporaryDirectory(prefix="tavox-bench-") as root:
        size = ensure(os.path.join(root, "repo"), n_python, n_yaml, n_init, opts.seed)
        root = os.path.join(root, "repo")
        total = n_python + n_yaml + n_init
        print(f"repository: {n_python} Python, {n_yaml} YAML, {n_init} __init__.py "
              f"files, {size / 2**20:.1f} MiB (seed {opts.seed}); "
              f"Python {sys.version.split()[0]}")
        run_once(abstract, root, max(opts.threads))  # warm the page cache and the table
        for threads in opts.threads:
            best = min(run_once(abstract, root, threads) for _ in range(opts.repeat))
            print(f"--threads {threads:>3}: {total / best:8.0f} files/s  "
                  f"({best:.3f} s, best of {opts.repeat})")


if __name__ == "__main__":
    main()
