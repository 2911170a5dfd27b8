"""How long `tavox migrate abstract` takes to rewrite a tree.

Generates a repository of Python scripts and YAML testbeds that all need
fixes, then times a run that only checks and a run that also applies fixes
and comments; the difference is the patching.  Prints the figures.

    python bench/migrate_patch.py [number of Python files] [number of YAML files]
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

SCRIPT = ("import x\n\n\ndef test(dev):\n"
          + "    x = 1\n" * 40
          + '    if dev.platform == "q9800cl":\n        pass\n'
          + '    if dev.platform == "zz9":\n        return platform == "ap"\n')
TESTBED = ("testbed:\n  name: \"lab\"\ndevices:\n"
           + "".join(f"  r{i}:\n    os: rhenx\n    platform: 'q9800cl'\n    model: old\n"
                     for i in range(20)))


def make(root, n_py, n_yaml):
    for i in range(n_py):
        d = os.path.join(root, f"d{i % 20}")
        os.makedirs(d, exist_ok=True)
        with open(os.path.join(d, f"t{i}.py"), "w") as f:
            f.write(SCRIPT)
    for i in range(n_yaml):
        d = os.path.join(root, f"d{i % 20}")
        os.makedirs(d, exist_ok=True)
        with open(os.path.join(d, f"tb{i}.yaml"), "w") as f:
            f.write(TESTBED)


def timed(root, *options):
    start = time.perf_counter()
    subprocess.run([sys.executable, "-m", "tavox.cli.main", "migrate", "abstract", root,
                    *options], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return time.perf_counter() - start


def main():
    n_py = int(sys.argv[1]) if len(sys.argv) > 1 else 1000
    n_yaml = int(sys.argv[2]) if len(sys.argv) > 2 else 100
    base = tempfile.mkdtemp(prefix="tavox-bench-")
    try:
        check_root, patch_root = os.path.join(base, "check"), os.path.join(base, "patch")
        make(check_root, n_py, n_yaml)
        make(patch_root, n_py, n_yaml)
        check = timed(check_root)
        patch = timed(patch_root, "--apply-fixes", "--apply-comments")
        again = timed(patch_root, "--apply-fixes", "--apply-comments")
        files = n_py + n_yaml
        print(f"files: {n_py} Python, {n_yaml} YAML")
        print(f"check only:              {check:7.2f} s")
        print(f"check, fix and comment:  {patch:7.2f} s")
        print(f"patching:                {patch - check:7.2f} s "
              f"({(patch - check) / files * 1000:.2f} ms per file)")
        print(f"second run (no change):  {again:7.2f} s")
    finally:
        shutil.rmtree(base)


if __name__ == "__main__":
    main()
