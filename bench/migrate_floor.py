"""The floor of one `tavox migrate abstract` process over a repository.

What no implementation of the command can avoid, done as cheaply as one
Python process can do it: start-up with the third-party modules the
command imports, the directory walk, reading every file once, and parsing
every YAML file with the host framework's Loader (which holds the
interpreter lock, so a second thread would not make it faster).  Prints the
time of each phase as JSON on standard output.

    python bench/migrate_floor.py REPO            # the check floor
    python bench/migrate_floor.py REPO --thread-each
        the same, each YAML file parsed in a thread of its own, started and
        joined one after the other: what one worker thread per file costs
        (thread start, and a parser that starts cold on each new thread)
    python bench/migrate_floor.py REPO --ruamel LIST
        the patching floor instead: round-trip load and dump, with
        ruamel.yaml, of every YAML file named in LIST (one path a line)
"""
import sys
import time

started = time.perf_counter()

import os  # noqa: E402
import threading  # noqa: E402

# The third-party modules `tavox migrate abstract` imports at start-up.
import ruamel.yaml  # noqa: E402,F401
import tqdm  # noqa: E402,F401
import yaml  # noqa: E402,F401
from ruamel.yaml.constructor import DuplicateKeyError  # noqa: E402,F401
from tavox.utils.yaml import Loader  # noqa: E402

YAML_SUFFIXES = (".yaml", ".yml")


def check_floor(repo, thread_each=False):
    phases = {"imports": time.perf_counter() - started}
    t = time.perf_counter()
    paths = [os.path.join(root, f) for root, _, files in os.walk(repo) for f in files
             if f.lower().endswith((".py",) + YAML_SUFFIXES)]
    phases["walk"] = time.perf_counter() - t

    t = time.perf_counter()
    contents = []
    for path in paths:
        with open(path, "rb") as f:
            contents.append((path, f.read()))
    phases["read"] = time.perf_counter() - t

    t, c = time.perf_counter(), time.process_time()
    loader = Loader()
    parsed = failed = 0

    def parse(data):
        nonlocal parsed, failed
        try:
            loader.load(data.decode("utf-8"))
            parsed += 1
        except Exception:  # broken or undecodable: the command tries and gives up too
            failed += 1

    for path, data in contents:
        if not path.lower().endswith(YAML_SUFFIXES):
            continue
        if thread_each:
            worker = threading.Thread(target=parse, args=(data,))
            worker.start()
            worker.join()
        else:
            parse(data)
    phases["yaml"] = time.perf_counter() - t
    phases["yaml_cpu"] = time.process_time() - c
    phases.update(files=len(paths), yaml_parsed=parsed, yaml_failed=failed,
                  bytes=sum(len(d) for _, d in contents))
    return phases


def ruamel_floor(listing):
    phases = {"imports": time.perf_counter() - started}
    with open(listing) as f:
        paths = [line.rstrip("\n") for line in f if line.strip()]
    t = time.perf_counter()
    done = 0
    for path in paths:
        with open(path) as f:
            text = f.read()
        rt = ruamel.yaml.YAML()
        rt.preserve_quotes = True
        data = rt.load(text)
        out = ruamel.yaml.compat.StringIO()
        rt.dump(data, out)
        done += 1
    phases["ruamel"] = time.perf_counter() - t
    phases["files"] = done
    return phases


def main():
    import json
    if len(sys.argv) == 4 and sys.argv[2] == "--ruamel":
        result = ruamel_floor(sys.argv[3])
    elif len(sys.argv) == 2:
        result = check_floor(sys.argv[1])
    elif len(sys.argv) == 3 and sys.argv[2] == "--thread-each":
        result = check_floor(sys.argv[1], thread_each=True)
    else:
        sys.exit(__doc__)
    print(json.dumps(result))


if __name__ == "__main__":
    main()
