"""What the migration may and may not write: only the file a check read, only
the content it read, each real file once, one run at a time, log files that
cannot be turned against the user, YAML files kept in their own form, and
runs that converge."""
import hashlib
import importlib.util
import os
import queue
import re
import shutil
import stat
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pytest

from .conftest import SANITIZED, drain

LOGS = {name: f"/tmp/tavox_migrate_{name}.log" for name in ("changes", "success", "failures")}
LOCK = "/tmp/tavox_migrate.lock"
ROOT = Path(__file__).resolve().parents[4]
FIX = "# * ABSTRACTION:TOKEN_CHANGE - q9800cl -> tor9k\n"


def environ():
    env = dict(os.environ)
    if env.get("PYTHONPATH"):
        env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(p)
                                            for p in env["PYTHONPATH"].split(os.pathsep))
    return env


def migrate(root, *options, **kwargs):
    return subprocess.run([sys.executable, "-m", "tavox.cli.main", "migrate", "abstract",
                           str(root), *options], capture_output=True, text=True, env=environ(),
                          timeout=600, **kwargs)


def logs():
    return {name: Path(path).read_text() for name, path in LOGS.items()}


def write(root, files):
    for rel, text in files.items():
        path = root / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(text if isinstance(text, bytes) else text.encode())


def tree(root):
    return {str(p.relative_to(root)): p.read_bytes()
            for p in sorted(root.rglob("*")) if p.is_file() and not p.is_symlink()}


@pytest.fixture
def run_in_process(command, monkeypatch):
    """run_in_process(root, *options): the command's run in this process."""
    def run(root, *options):
        monkeypatch.setattr(command, "threads", [])
        command.run(command.parser.parse_args([str(root), *options]))
        return logs()
    return run


# ---- the file a message is for ---------------------------------------------------

def test_names_with_a_colon_patch_the_checked_file(tmp_path):
    repo = tmp_path / "repo"
    write(repo, {"notes": "x = 1\n", "notes:v2.py": 'return device.platform == "q9800cl"\n',
                 "cfg": "a: 1\n", "cfg:old.yaml": "devices:\n  r1: {os: rhenx, platform: ap}\n"})
    proc = migrate(repo, "-f")
    assert proc.returncode == 0, proc.stderr
    assert (repo / "notes").read_text() == "x = 1\n" and (repo / "cfg").read_text() == "a: 1\n"
    assert (repo / "notes:v2.py").read_text() == FIX + 'return device.platform == "tor9k"\n'
    assert "platform: tor9k" in (repo / "cfg:old.yaml").read_text()
    assert logs()["success"] == (f"{repo}/cfg:old.yaml:\n  - FIXES_APPLIED\n\n"
                                 f"{repo}/notes:v2.py:\n  - FIXES_ADDED\n\n")


def test_message_for_a_file_no_check_read_is_not_applied(abstract, run_in_process, tmp_path,
                                                         monkeypatch):
    repo = tmp_path / "repo"
    write(repo, {"s.py": "platform == 'q9800cl'\n", "other.py.txt": "platform == 'q9800cl'\n"})
    check = abstract.MigrateAbstractCommand.check_python

    def check_python(self, path, q):
        check(self, path, q)
        q.put(f"{repo}/other.py.txt:\n    line 1: q9800cl -> tor9k\n")

    monkeypatch.setattr(abstract.MigrateAbstractCommand, "check_python", check_python)
    out = run_in_process(repo, "-f")
    assert (repo / "other.py.txt").read_text() == "platform == 'q9800cl'\n"
    assert (repo / "s.py").read_text() == FIX + "platform == 'tor9k'\n"
    assert out["failures"] == (f"{repo}/other.py.txt\n  - PATCHING_ERROR: Failed to apply patch: "
                               f"'{repo}/other.py.txt' is not a file this run has checked; its "
                               "suggestions were not applied\n\n")


@pytest.mark.parametrize("name, text, replaced", [
    ("s.py", "if platform == 'q9800cl':\n    pass\n",
     "# the old value moved\nx = 'q9800cl'\nif platform == 'tor9k':\n    pass\n"),
    ("tb.yaml", "devices:\n  r1:\n    os: rhenx\n    platform: q9800cl\n",
     "devices:\n  r1:\n    os: rhenx\n    platform: hrx8k\n"),
])
def test_file_replaced_after_its_check_is_left_alone(abstract, run_in_process, tmp_path,
                                                     monkeypatch, name, text, replaced):
    repo = tmp_path / "repo"
    write(repo, {name: text})
    method = "check_yaml" if name.endswith(".yaml") else "check_python"
    check = getattr(abstract.MigrateAbstractCommand, method)

    def check_then_replace(self, path, q):
        check(self, path, q)
        new = Path(path + ".new")
        new.write_text(replaced)
        new.rename(path)  # a new file in its place, as an editor or a checkout does

    monkeypatch.setattr(abstract.MigrateAbstractCommand, method, check_then_replace)
    out = run_in_process(repo, "-f", "-c")
    assert (repo / name).read_text() == replaced
    assert out["success"] == ""
    assert out["failures"] == (f"{repo}/{name}\n  - PATCHING_ERROR: Failed to apply patch: "
                               f"'{repo}/{name}' changed since it was checked; its suggestions "
                               "were not applied\n\n")


# Replaces (or rewrites in place) the file named by TAVOX_SHIM_TARGET with
# TAVOX_SHIM_CONTENT when the first new file reaches the disk: the moment
# between the last look at the file and its replacement.  With
# TAVOX_SHIM_NO_EXCHANGE, the file system "cannot" exchange two files.
SHIM = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static int done;

// The user's edit lands while the new content is being made durable: at
// the flush of the file alone (fsync) or of its batch (syncfs).
static void edit(void) {
    const char *target = getenv("TAVOX_SHIM_TARGET");
    if (target && !done) {
        done = 1;
        const char *content = getenv("TAVOX_SHIM_CONTENT");
        char other[4096];
        int in_place = getenv("TAVOX_SHIM_IN_PLACE") != NULL;
        snprintf(other, sizeof other, "%s.user", target);
        int out = open(in_place ? target : other, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (write(out, content, strlen(content)) < 0) abort();
        close(out);
        if (!in_place && rename(other, target) != 0) abort();
    }
}

int fsync(int fd) {
    int (*real)(int) = (int (*)(int))dlsym(RTLD_NEXT, "fsync");
    edit();
    return real(fd);
}

int syncfs(int fd) {
    int (*real)(int) = (int (*)(int))dlsym(RTLD_NEXT, "syncfs");
    const char *count = getenv("TAVOX_SHIM_SYNCFS_COUNT");
    if (count) {
        int out = open(count, O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (write(out, "s", 1) < 0) abort();
        close(out);
    }
    edit();
    return real(fd);
}

int renameat2(int olddirfd, const char *oldpath, int newdirfd, const char *newpath,
              unsigned int flags) {
    int (*real)(int, const char *, int, const char *, unsigned int) =
        (int (*)(int, const char *, int, const char *, unsigned int))dlsym(RTLD_NEXT, "renameat2");
    if (flags && getenv("TAVOX_SHIM_NO_EXCHANGE")) {
        errno = EINVAL;
        return -1;
    }
    return real(olddirfd, oldpath, newdirfd, newpath, flags);
}
"""


@pytest.fixture(scope="module")
def shim(tmp_path_factory):
    cc = shutil.which("cc") or shutil.which("gcc")
    if cc is None:
        pytest.skip("no C compiler to build the test's file-system shim")
    where = tmp_path_factory.mktemp("shim")
    (where / "shim.c").write_text(SHIM)
    subprocess.run([cc, "-shared", "-fPIC", "-o", str(where / "shim.so"), str(where / "shim.c"),
                    "-ldl"], check=True)
    return where / "shim.so"


@pytest.mark.parametrize("how", ["replaced", "in place", "replaced, no exchange",
                                 "in place, no exchange"])
def test_file_changed_while_its_new_content_is_written_keeps_the_change(tmp_path, shim, how):
    repo = tmp_path / "repo"
    write(repo, {"s.py": "if platform == 'q9800cl':\n    pass\n"})
    edited = "# the user's edit\nif platform == 'q9800cl':\n    pass\n"
    env = environ()
    env["LD_PRELOAD"] = " ".join(filter(None, [env.get("LD_PRELOAD"), str(shim)]))
    env["TAVOX_PRELOAD"] = str(shim)  # for an interpreter that sets LD_PRELOAD itself
    env.update(TAVOX_SHIM_TARGET=str(repo / "s.py"), TAVOX_SHIM_CONTENT=edited)
    if "in place" in how:
        env["TAVOX_SHIM_IN_PLACE"] = "1"
    if "no exchange" in how:
        env["TAVOX_SHIM_NO_EXCHANGE"] = "1"
    proc = subprocess.run([sys.executable, "-m", "tavox.cli.main", "migrate", "abstract",
                           str(repo), "-f"], capture_output=True, text=True, env=env, timeout=600)
    assert proc.returncode == 0, proc.stderr
    assert (repo / "s.py").read_text() == edited
    assert sorted(os.listdir(repo)) == ["s.py"]
    assert logs()["failures"] == (f"{repo}/s.py\n  - PATCHING_ERROR: Failed to apply patch: "
                                  f"'{repo}/s.py' changed since it was checked; its suggestions "
                                  "were not applied\n\n")


def test_large_files_are_made_durable_in_batches_of_bounded_size(tmp_path, shim):
    # Five files of 400 KB: a batch goes through once the old contents it
    # holds pass 1 MiB (the third file), the rest at the end.
    repo = tmp_path / "repo"
    filler = "x = 1  # " + "." * 90 + "\n"
    files = {f"s{i}.py": "platform == 'q9800cl'\n" + filler * 4000 for i in range(5)}
    write(repo, files)
    count = tmp_path / "syncfs"
    env = environ()
    env["LD_PRELOAD"] = " ".join(filter(None, [env.get("LD_PRELOAD"), str(shim)]))
    env["TAVOX_PRELOAD"] = str(shim)
    env["TAVOX_SHIM_SYNCFS_COUNT"] = str(count)
    proc = subprocess.run([sys.executable, "-m", "tavox.cli.main", "migrate", "abstract",
                           str(repo), "-f"], capture_output=True, text=True, env=env, timeout=600)
    assert proc.returncode == 0, proc.stderr
    assert count.read_text() == "ss"
    for name, text in files.items():
        assert (repo / name).read_text() == FIX + text.replace("q9800cl", "tor9k", 1)
    # In the order the messages were taken, across the two batches.
    taken = [line[:-1] for line in logs()["changes"].splitlines() if line.endswith(".py:")]
    assert len(taken) == 5
    assert logs()["success"] == "".join(f"{path}:\n  - FIXES_ADDED\n\n" for path in taken)


def test_interruption_never_parts_a_rename_from_its_log_entry(abstract, run_in_process, tmp_path,
                                                               monkeypatch):
    import queue as queue_module
    import signal
    repo = tmp_path / "repo"
    write(repo, {f"s{i}.py": "platform == 'q9800cl'\n" for i in range(3)})
    fired = []

    class Interrupting(queue_module.Queue):
        # Ctrl-C at the worst moment: the file is renamed, its success item
        # not yet put.
        def put(self, item, *args, **kwargs):
            if isinstance(item, str) and "FIXES_ADDED" in item and not fired:
                fired.append(item)
                signal.raise_signal(signal.SIGINT)
            super().put(item, *args, **kwargs)

    class Queues:
        Queue = Interrupting

    monkeypatch.setattr(abstract, "queue", Queues)
    with pytest.raises(KeyboardInterrupt):
        run_in_process(repo, "-f")
    out = logs()
    assert fired and out["success"] == fired[0] + "\n"
    patched = [p for p in sorted(repo.iterdir()) if p.read_text().startswith("# * ABSTRACTION")]
    assert [f"{p}:\n  - FIXES_ADDED\n" for p in patched] == fired


@pytest.mark.parametrize("link", ["symbolic", "hard"])
def test_a_file_reached_twice_is_patched_once(tmp_path, link):
    repo = tmp_path / "repo"
    write(repo, {"real.py": "if platform == 'q9800cl':\n    pass\n"})
    (repo / "real.py").chmod(0o640)
    if link == "symbolic":
        (repo / "link_in.py").symlink_to("real.py")
    else:
        os.link(repo / "real.py", repo / "link_in.py")
    proc = migrate(repo, "-f", "-c")
    assert proc.returncode == 0, proc.stderr
    patched = FIX + "if platform == 'tor9k':\n    pass\n"
    assert (repo / "real.py").read_text() == (repo / "link_in.py").read_text() == patched
    assert stat.S_IMODE((repo / "real.py").stat().st_mode) == 0o640
    if link == "hard":  # still one file with two names
        assert (repo / "real.py").stat().st_ino == (repo / "link_in.py").stat().st_ino
    assert sorted(os.listdir(repo)) == ["link_in.py", "real.py"]
    out = logs()
    assert out["success"].count("  - FIXES_ADDED\n") == 1
    assert "which this run has patched already" in out["failures"]


# ---- one run at a time, and log files of the user's own -------------------------------

BLOCKING_RUN = textwrap.dedent("""
    import sys, time
    from pathlib import Path
    import tavox.cli.commands.migrate.abstract as abstract
    check = abstract.MigrateAbstractCommand.check_python
    def slow_check(self, path, q):
        Path(sys.argv[2]).touch()
        while not Path(sys.argv[3]).exists():
            time.sleep(0.01)
        check(self, path, q)
    abstract.MigrateAbstractCommand.check_python = slow_check
    cmd = abstract.MigrateAbstractCommand(prog="tavox migrate abstract")
    cmd.run(cmd.parser.parse_args([sys.argv[1], "-f"]))
""")


def test_second_run_at_the_same_time_is_refused(tmp_path):
    repo = tmp_path / "repo"
    write(repo, {"s.py": "if platform == 'q9800cl':\n    pass\n"})
    started, go = tmp_path / "started", tmp_path / "go"
    first = subprocess.Popen([sys.executable, "-c", BLOCKING_RUN, str(repo), str(started), str(go)],
                             env=environ(), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        deadline = time.monotonic() + 60
        while not started.exists() and time.monotonic() < deadline and first.poll() is None:
            time.sleep(0.01)
        assert started.exists(), first.communicate()
        second = migrate(repo, "-f")
        assert second.returncode == 1
        assert second.stdout == (f"Another migration (process {first.pid}) is running with the "
                                 f"same log files; it holds {LOCK}. Try again once it has "
                                 "finished.\n")
        assert (repo / "s.py").read_text() == "if platform == 'q9800cl':\n    pass\n"
    finally:
        go.touch()
        out, err = first.communicate(timeout=120)
    assert first.returncode == 0, err
    assert (repo / "s.py").read_text() == FIX + "if platform == 'tor9k':\n    pass\n"
    assert logs()["success"] == f"{repo}/s.py:\n  - FIXES_ADDED\n\n"


@pytest.fixture
def planted(tmp_path):
    """plant(path, kind): put a file of the given kind at a fixed path of the
    command; whatever stood there before comes back afterwards."""
    saved = {}

    def plant(path, kind):
        if path not in saved:
            saved[path] = Path(path).read_bytes() if os.path.isfile(path) else None
        if os.path.lexists(path):
            os.remove(path) if not os.path.isdir(path) or os.path.islink(path) else os.rmdir(path)
        if kind == "symbolic link":
            os.symlink(tmp_path / "victim", path)
        elif kind == "directory":
            os.mkdir(path)
        elif kind == "fifo":
            os.mkfifo(path)
        elif kind == "hard link":
            Path(path + ".other").write_text("")
            os.link(path + ".other", path)
        elif kind == "other user":
            Path(path).write_text("")
            os.chown(path, 65534, 65534)
        # None: nothing there

    yield plant
    for path, content in saved.items():
        if os.path.lexists(path + ".other"):
            os.remove(path + ".other")
        if os.path.isdir(path) and not os.path.islink(path):
            os.rmdir(path)
        elif os.path.lexists(path):
            os.remove(path)
        if content is not None:
            Path(path).write_bytes(content)


def owner(uid):
    import pwd
    try:
        return f"{pwd.getpwuid(uid).pw_name} (uid {uid})"
    except KeyError:
        return f"uid {uid}"


# what to do about a file in the way: only its owner or root may remove it
# from /tmp
REMOVE = "remove it, then run again"
OTHERS = REMOVE if os.geteuid() == 0 else "only they or root can remove it"


@pytest.mark.parametrize("path", [LOGS["changes"], LOGS["failures"], LOCK])
@pytest.mark.parametrize("kind, reason", [
    ("symbolic link", f"it is a symbolic link; {REMOVE}"),
    ("directory", f"it is a directory; {REMOVE}"),
    ("fifo", f"it is not a regular file; {REMOVE}"),
    ("hard link", f"it has 2 hard links (other names for it); {REMOVE}"),
    ("other user", f"it belongs to another user, {owner(65534)}; {OTHERS}"),
])
def test_log_path_that_is_not_the_users_own_file_is_refused(tmp_path, planted, path, kind,
                                                            reason):
    if kind == "other user" and os.geteuid() != 0:
        pytest.skip("only root can give a file away")
    repo = tmp_path / "repo"
    write(repo, {"s.py": "if platform == 'q9800cl':\n    pass\n"})
    (tmp_path / "victim").write_text("precious\n")
    planted(path, kind)
    proc = migrate(repo, "-f")
    assert (tmp_path / "victim").read_text() == "precious\n"
    if path == LOCK and kind in ("hard link", "other user"):
        # a lock file is only locked, read-only when it is not the user's
        # own: it stops no run, and is left where it is
        assert proc.returncode == 0, proc.stdout
        assert (repo / "s.py").read_text() == FIX + "if platform == 'tor9k':\n    pass\n"
        assert os.path.isfile(LOCK)
        return
    what = "lock" if path == LOCK else "log"
    assert (proc.returncode, proc.stdout) == (1, f"Cannot use the {what} file {path}: {reason}\n")
    assert (repo / "s.py").read_text() == "if platform == 'q9800cl':\n    pass\n"


def test_lock_is_removed_and_names_who_holds_it(tmp_path, planted):
    repo = tmp_path / "repo"
    write(repo, {"s.py": "if platform == 'q9800cl':\n    pass\n"})
    planted(LOCK, None)  # none left by an earlier test
    assert migrate(repo).returncode == 0
    assert not os.path.lexists(LOCK)
    # a stale lock (a killed run, or a plain touch) stops nothing, and goes
    Path(LOCK).write_text("123\n")
    assert migrate(repo).returncode == 0
    assert not os.path.lexists(LOCK)
    # held: by which process, of which user when another one, and what to do
    Path(LOCK).write_text("4242\n")  # a stale number: the holder is asked of the system
    os.chmod(LOCK, 0o644)
    def hold(other):
        return subprocess.Popen(
            [sys.executable, "-c", "import fcntl, sys; f = open(sys.argv[1]); "
             "fcntl.flock(f, fcntl.LOCK_EX); print(flush=True); sys.stdin.read()", LOCK],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
            **({"user": 65534} if other else {}))
    other = os.geteuid() == 0  # a second user, where the machine allows it
    try:
        holder = hold(other)
    except PermissionError:  # an interpreter that user may not run
        other, holder = False, hold(False)
    try:
        holder.stdout.readline()
        proc = migrate(repo, "-f")
    finally:
        holder.communicate("")
    by = f" of {owner(65534)}" if other else ""
    assert (proc.returncode, proc.stdout) == (
        1, f"Another migration (process {holder.pid}{by}) is running with the same log files; "
           f"it holds {LOCK}. Try again once it has finished.\n")
    assert (repo / "s.py").read_text() == "if platform == 'q9800cl':\n    pass\n"


def test_interrupted_run_leaves_logs_of_that_run(abstract, run_in_process, tmp_path, monkeypatch):
    old = tmp_path / "old"
    write(old, {"a.py": "platform == 'ap'\n"})
    run_in_process(old, "-f")
    assert logs()["success"]
    repo = tmp_path / "repo"
    write(repo, {f"s{i}.py": "platform == 'q9800cl'\n" for i in range(4)})
    apply = abstract.MigrateAbstractCommand.apply_patches
    calls = []

    def interrupted(self, **kwargs):
        calls.append(kwargs["msg"])
        if len(calls) == 3:
            raise KeyboardInterrupt
        return apply(self, **kwargs)

    monkeypatch.setattr(abstract.MigrateAbstractCommand, "apply_patches", interrupted)
    with pytest.raises(KeyboardInterrupt):
        run_in_process(repo, "-f")
    out = logs()
    assert out["changes"] == "".join(m + "\n" for m in calls)
    patched = [m.split(":\n")[0] for m in calls[:2]]
    assert out["success"] == "".join(f"{p}:\n  - FIXES_ADDED\n\n" for p in patched)
    assert out["failures"] == ""
    # the lock went with the interrupted run
    assert run_in_process(repo, "-f")["success"].count("FIXES_ADDED") == 2


# ---- YAML files ------------------------------------------------------------------------

def test_yaml_that_the_check_could_not_load_is_not_rewritten(tmp_path):
    repo = tmp_path / "repo"
    text = "extends: !include base.yaml\ndevices:\n    r1:\n        os: rhenx\n        platform: ap\n"
    write(repo, {"tb.yaml": text})
    proc = migrate(repo, "-f", "-c")
    assert proc.returncode == 0, proc.stderr
    assert f"{repo}/tb.yaml: Could not load yaml file" in logs()["changes"]
    assert (repo / "tb.yaml").read_text() == text


CHANGE = "    devices.r1.platform: q9800cl -> tor9k\n"


@pytest.mark.parametrize("original, patched", [
    # byte-order mark and CRLF line breaks
    (b"\xef\xbb\xbfdevices:\r\n  r1:\r\n    os: rhenx\r\n    platform: q9800cl\r\n",
     b"\xef\xbb\xbfdevices:\r\n  r1:\r\n    os: rhenx\r\n"
     b"    # * ABSTRACTION:TOKEN_CHANGE - platform -> tor9k\r\n    platform: tor9k\r\n"),
    # four-space indentation and an indented sequence
    (b"devices:\n    r1:\n        os: rhenx\n        platform: q9800cl\n"
     b"        tags:\n            - lab\n",
     b"devices:\n    r1:\n        os: rhenx\n"
     b"        # * ABSTRACTION:TOKEN_CHANGE - platform -> tor9k\n        platform: tor9k\n"
     b"        tags:\n            - lab\n"),
    # a long line, a character outside the BMP in double quotes, no final line break
    ("testbed:\n  note: " + "word " * 30 + "end\n  name: \"lab \U0001F600\"\n"
     "devices:\n  r1:\n    os: rhenx\n    platform: q9800cl", None),
])
def test_patched_yaml_keeps_its_form(patch_yaml, original, patched):
    if isinstance(original, str):
        original = original.encode()
        patched = original.replace(b"    platform: q9800cl", b"    # * ABSTRACTION:TOKEN_CHANGE"
                                   b" - platform -> tor9k\n    platform: tor9k")
    assert patch_yaml(original, CHANGE, fixes=True) == patched


@pytest.fixture
def patch_yaml(command, abstract, tmp_path):
    """patch_yaml(content, body, fixes=, comments=): the file's bytes after
    apply_patches of the message `body` for it."""
    def run(content, body, fixes=False, comments=False):
        path = tmp_path / "tb.yaml"
        path.write_bytes(content)
        command.apply_fixes_flag, command.apply_comments_flag = fixes, comments
        ok, failed = queue.Queue(), queue.Queue()
        assert command.apply_patches(patch_type=abstract.FileTypes.YAML, msg=f"{path}:\n{body}",
                                     success_queue=ok, failer_queue=failed) is True
        assert drain(failed) == []
        return path.read_bytes()
    return run


# ---- running again -----------------------------------------------------------------------

DEVICE = ("devices:\n  d1:\n    os: rhenx\n    platform: q9300\n    connections:\n"
          "      cli:\n        ip: 192.0.2.1\n")


@pytest.mark.parametrize("content, body, fixes", [
    # a model fix to the value the file holds: nothing changes, no marker
    (DEVICE + "    model: q9300\n", "    devices.d1.model: q9300 -> q9300\n", True),
    (DEVICE + "    model: q9300\n", "    devices.d1.model: q9300\n", True),
    # a marker above a key after a nested block stands already
    (DEVICE + "    # * ABSTRACTION:TOKEN_ADDITION - model: q9300\n    model: q9300\n",
     "    devices.d1.model: q9300 -> hrx8k\n", True),
    (DEVICE + '    # * ABSTRACTION:TOKEN_CHECK - Please ensure "zz" is a valid rhenx platform\n'
     "    plat: zz\n", '    devices.d1.plat: Please ensure "zz" is a valid rhenx platform\n', False),
])
def test_yaml_marker_is_never_added_twice(patch_yaml, content, body, fixes):
    out = patch_yaml(content.encode(), body, fixes=fixes, comments=not fixes).decode()
    assert out.count("ABSTRACTION") == content.count("ABSTRACTION")


def test_python_fix_to_the_same_value_changes_nothing(command):
    lines = ["if platform == 'tor9k':\n"]
    assert command.apply_python_fixes(list(lines), ["    line 1: tor9k -> tor9k"]) == (lines, 0)


def tree_hash(root):
    digest = hashlib.sha256()
    for p in sorted(root.rglob("*")):
        if p.is_file():
            digest.update(str(p.relative_to(root)).encode() + b"\0" + p.read_bytes())
    return digest.hexdigest()


def test_third_run_changes_nothing(tmp_path):
    found = importlib.util.spec_from_file_location("bench_generator",
                                                  ROOT / "bench" / "migrate_abstract.py")
    if found is None or not (ROOT / "bench").is_dir():
        pytest.skip("the benchmark generator ships with the source tree only")
    generator = importlib.util.module_from_spec(found)
    found.loader.exec_module(generator)
    repo = tmp_path / "repo"
    generator.generate(str(repo), *((4, 8, 30) if SANITIZED else (10, 20, 100)), 7)
    hashes, changes = [tree_hash(repo)], []
    for _ in range(3):
        proc = migrate(repo, "-f", "-c")
        assert proc.returncode == 0, proc.stderr
        hashes.append(tree_hash(repo))
        changes.append(logs()["changes"])
    assert hashes[1] != hashes[0]
    assert hashes[3] == hashes[2]
    # the repository holds what used to make every run add a marker: a
    # device whose platform the table places on two platforms, which the
    # first run gave a model that later checks report as "X -> X"
    assert re.search(r"\.model: (\S+) -> \1$", changes[2], re.M)


def test_a_package_file_changes_once_per_declaring_call(tmp_path):
    # each run fixes the first call on __name__ that the package's check
    # reports: three calls, three runs, and the fourth changes nothing
    repo = tmp_path / "repo"
    calls = "".join(f"{pad}declare_token(__name__)\n" for pad in ("", "# ", "x."))
    write(repo, {"rhenx/__init__.py": "from nuvik import abstract\n" + calls})
    seen = [tree_hash(repo)]
    for _ in range(4):
        assert migrate(repo, "-f").returncode == 0
        seen.append(tree_hash(repo))
    assert len(set(seen[:4])) == 4 and seen[4] == seen[3]
    lines = (repo / "rhenx" / "__init__.py").read_text().splitlines()
    assert not [line for line in lines if "declare_token(__name__)" in line and "ABSTRACTION"
                not in line]


def test_after_a_failed_patch_the_other_name_of_the_file_is_tried_on_its_own(tmp_path):
    repo = tmp_path / "repo"
    device = "  r1:\n    os: rhenx\n    platform: q9800cl\n"
    write(repo, {"a.yaml": "devices:\n" + device + device})  # the patcher refuses duplicate keys
    os.link(repo / "a.yaml", repo / "b.yaml")
    assert migrate(repo, "-f").returncode == 0
    failures = logs()["failures"]
    assert failures.count("  - LOADING_FAILURE - duplicate keys\n") == 2, failures
    assert "patched already" not in failures
