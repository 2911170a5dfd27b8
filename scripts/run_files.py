"""Run a pytest command once per test file, several files at a time.

    python3 scripts/run_files.py --jobs N -- COMMAND... -- PATH...

Each PATH (a test file, or a directory searched for test_*.py) is run as
COMMAND PATH, the largest files first, at most N at once: the files of a
suite whose tests run processes (the sanitized run above all) keep both
cores busy without any change to the tests.  The migration writes fixed
files in /tmp and takes a lock there, so each run gets a /tmp of its own
(a private mount namespace, as root); where that cannot be had, or where the
files or the current directory lie in /tmp themselves, the files run one at
a time.

A line per file as it ends (its status, time and pytest's summary), the
whole output of each file that failed, then one line in all.  The exit
status is 0 when every file passed.
"""
import os
import subprocess
import sys
import tempfile
import threading
import time

# TAVOX_PRIVATE_TMP=1 tells the suite's conftest that /tmp is private already.
ISOLATE = ["unshare", "--mount", "--propagation", "private", "sh", "-c",
           'mount -t tmpfs -o mode=1777 none /tmp && TAVOX_PRIVATE_TMP=1 exec "$@"', "sh"]


def test_files(paths):
    found = []
    for path in paths:
        if os.path.isdir(path):
            for root, dirs, files in os.walk(path):
                dirs.sort()
                found += [os.path.join(root, f) for f in sorted(files)
                          if f.startswith("test_") and f.endswith(".py")]
        else:
            found.append(path)
    return found


def in_tmp(path):
    real = os.path.realpath(path)
    return real == "/tmp" or real.startswith("/tmp/")


def can_isolate(files):
    if os.geteuid() != 0 or any(in_tmp(p) for p in files + [os.getcwd()]):
        return False
    probe = subprocess.run(ISOLATE + ["true"], stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
    return probe.returncode == 0


def summary(output):
    lines = [l for l in output.splitlines() if l.strip()]
    return lines[-1].strip("= ") if lines else "(no output)"


def main(argv):
    if argv[:1] != ["--jobs"] or argv.count("--") < 2:
        sys.exit(__doc__)
    jobs = max(1, int(argv[1]))
    first = argv.index("--")
    second = argv.index("--", first + 1)
    command, paths = argv[first + 1:second], argv[second + 1:]
    files = sorted(test_files(paths), key=os.path.getsize, reverse=True)
    prefix = []
    if jobs > 1 and len(files) > 1:
        if can_isolate(files):
            prefix = ISOLATE
        else:
            print("run_files: no private /tmp to be had here; one file at a time", flush=True)
            jobs = 1
    print(f"run_files: {len(files)} files, {jobs} at a time", flush=True)
    env = dict(os.environ)
    if not prefix:
        env.pop("TAVOX_PRIVATE_TMP", None)  # each file's run sees to its own

    lock = threading.Lock()
    pending = list(files)
    failed = []
    start = time.monotonic()

    def worker():
        while True:
            with lock:
                if not pending:
                    return
                path = pending.pop(0)
            began = time.monotonic()
            with tempfile.TemporaryFile(mode="w+") as out:
                status = subprocess.run(prefix + command + [path], stdout=out,
                                        stderr=subprocess.STDOUT, env=env).returncode
                out.seek(0)
                output = out.read()
            ok = status == 0
            with lock:
                print(f"{'passed' if ok else 'FAILED'} {path} ({time.monotonic() - began:.0f} s): "
                      f"{summary(output)}", flush=True)
                if not ok:
                    failed.append((path, output))

    threads = [threading.Thread(target=worker) for _ in range(jobs)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for path, output in failed:
        print(f"\n---- {path}\n{output}", end="", flush=True)
    print(f"\nrun_files: {len(files) - len(failed)} of {len(files)} files passed "
          f"in {time.monotonic() - start:.0f} s", flush=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
