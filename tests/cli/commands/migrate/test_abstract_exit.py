"""A process that ends while a worker is inside a native check: a second
Ctrl-C lets the interpreter finalize with the worker alive, and a worker
that comes back from its work without the interpreter lock must not bring
the process down with an abort."""
import os
import pathlib
import select
import signal
import subprocess
import sys
import textwrap
import time

# The worker runs the command with --gitignore: it waits for git with the
# interpreter lock released, and the git it finds first on PATH reads a FIFO
# until the FIFO's writer (the main thread here) closes it.  That happens
# only during finalization, after the two SIGINTs; then the worker's thread
# is watched until it has either ended or waits for good in another call
# than the read.
FAKE_GIT = "#!/bin/sh\ncat \"$TAVOX_TEST_FIFO\" > /dev/null\necho false\n"
CHILD = textwrap.dedent(r"""
    import os, signal, sys, threading, time
    import tavox.cli.commands.migrate.abstract as abstract

    fifo, repo = sys.argv[1], sys.argv[2]
    command = abstract.MigrateAbstractCommand(prog="tavox migrate abstract")
    native_id = []

    def work():
        signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})  # the main thread gets them
        native_id.append(threading.get_native_id())
        command.run(command.parser.parse_args([repo, "--gitignore"]))

    class Release:
        # Everything __del__ needs is kept here: the modules are being cleared.
        write, close, sleep, monotonic = os.write, os.close, time.sleep, time.monotonic

        def __del__(self):
            task = "/proc/self/task/%d/syscall" % self.tid
            with open(task) as f:
                blocked_in = f.read().split()[0]
            self.close(self.fd)
            self.write(1, b"released\n")
            deadline = self.monotonic() + 60
            while self.monotonic() < deadline:
                try:
                    with open(task) as f:
                        now = f.read().split()[0]
                except OSError:
                    self.write(1, b"worker ended\n")
                    return
                if now not in ("running", blocked_in):
                    self.write(1, b"worker waits\n")
                    return
                self.sleep(0.01)

    threading._register_atexit(lambda: print("shutting down", flush=True))
    worker = threading.Thread(target=work)
    worker.start()
    release = Release()
    release.fd = os.open(fifo, os.O_WRONLY)  # returns once the worker has the FIFO open
    release.tid = native_id[0]
    sys.modules["tavox_test_release"] = release  # let go of while the interpreter finalizes
    del release
    print("ready", flush=True)
    worker.join()
""")


class Lines:
    """The child's standard output, read straight from the pipe (nothing
    waits in a reader's buffer between a line taken and the rest)."""

    def __init__(self, proc):
        self.fd, self.pending = proc.stdout.fileno(), b""

    def _more(self, deadline):
        ready, _, _ = select.select([self.fd], [], [], max(0.0, deadline - time.monotonic()))
        chunk = os.read(self.fd, 4096) if ready else b""
        self.pending += chunk
        return bool(chunk)

    def line(self, timeout=60):
        """The next line ("" when none comes within `timeout` seconds): a
        child that hangs fails the test instead of stopping it."""
        deadline = time.monotonic() + timeout
        while b"\n" not in self.pending and self._more(deadline):
            pass
        line, nl, self.pending = self.pending.partition(b"\n")
        if not nl:
            self.pending = line
            return ""
        return (line + nl).decode()

    def rest(self, timeout=120):
        deadline = time.monotonic() + timeout
        while self._more(deadline):
            pass
        rest, self.pending = self.pending, b""
        return rest.decode()


def wait_until_blocked(proc):
    """Until the main thread of `proc` waits on a lock (the interpreter
    waiting for its threads), or the process has ended."""
    wchan = pathlib.Path(f"/proc/{proc.pid}/wchan")
    while proc.poll() is None and "futex" not in wchan.read_text():
        time.sleep(0.01)


def test_a_second_ctrl_c_with_a_worker_inside_a_native_check_ends_without_abort(tmp_path):
    fifo = tmp_path / "blocking"
    os.mkfifo(fifo)
    bin_dir, repo = tmp_path / "bin", tmp_path / "repo"
    bin_dir.mkdir()
    repo.mkdir()
    (bin_dir / "git").write_text(FAKE_GIT)
    (bin_dir / "git").chmod(0o755)
    env = dict(os.environ, PATH=f"{bin_dir}:{os.environ['PATH']}", TAVOX_TEST_FIFO=str(fifo))
    errors = tmp_path / "stderr"
    with open(errors, "wb") as err_file:
        proc = subprocess.Popen([sys.executable, "-c", CHILD, str(fifo), str(repo)], env=env,
                                stdout=subprocess.PIPE, stderr=err_file)
    lines = Lines(proc)
    try:
        assert lines.line() == "ready\n"
        proc.send_signal(signal.SIGINT)  # KeyboardInterrupt: the interpreter waits for the worker
        assert lines.line() == "shutting down\n"
        wait_until_blocked(proc)
        proc.send_signal(signal.SIGINT)  # and now finalizes with the worker still inside
        out = lines.rest()
        proc.wait(timeout=120)
    finally:
        proc.kill()
        proc.wait()
        proc.stdout.close()
    err = errors.read_text()
    assert proc.returncode in (130, -signal.SIGINT), err
    assert out.startswith("released\nworker "), (out, err)
