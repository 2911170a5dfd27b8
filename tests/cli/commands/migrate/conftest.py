"""Fixtures of the migration tests: the module, a token table of the tests'
own, a command object and a way to collect what a check queued."""
import os
import queue
import textwrap

import pytest

# Under the sanitizer every process runs several times slower: the tests
# that run whole migrations over generated trees make smaller ones there.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")

# pid,os,platform,model -- small, but with every overlap the rules care
# about: a model on two platforms (q9300), a model on three platforms of
# which two exist under rhenx and one under linux (m3), a platform under two OSes (tor9k).
TOKEN_TABLE = """\
pid,os,platform,model
Q9100-AP-E,rhenx,tor9k,q9100ap
Q9800-4,rhenx,tor9k,q9800
Q9300-24T,rhenx,tor9k,q9300
Q9300-24UX,rheny,tor9k,q9300
Q9300-24S-D,dalos,q9k,q9300
M3-A,rhenx,tor9k,m3
M3-B,rheny,tor8k,m3
M3-C,rhenx,tor7k,m3
M3-D,linux,tor8k,m3
UT2400-8G,skelos,trago,ut2400
"""


@pytest.fixture(scope="session")
def abstract():
    import tavox.cli.commands.migrate.abstract as module
    return module


def _clear_tables(module):
    for table in (module.TOKEN_HIERARCHY, module.PID_TOKENS,
                  module.MODEL_TOKENS, module.PLATFORM_TOKENS):
        table.clear()


@pytest.fixture
def load_table(abstract, tmp_path, monkeypatch):
    """load_table(text=TOKEN_TABLE): make ``text`` the module's token table
    and read it.  The shipped table comes back after the test."""
    def load(text=TOKEN_TABLE):
        path = tmp_path / "pid_tokens.csv"
        path.write_text(text)
        monkeypatch.setattr(abstract, "PID_TOKENS_FILE", str(path))
        _clear_tables(abstract)
        return abstract.read_tokens()

    yield load
    _clear_tables(abstract)


@pytest.fixture
def tokens(load_table):
    """The tests' token table, loaded."""
    return load_table()


@pytest.fixture
def command(abstract):
    cmd = abstract.MigrateAbstractCommand(prog="tavox migrate abstract")
    cmd.max_threads = 4
    cmd.apply_fixes_flag = cmd.apply_comments_flag = False
    return cmd


def drain(q):
    items = []
    while True:
        try:
            items.append(q.get_nowait())
        except queue.Empty:
            return items


@pytest.fixture
def check(command, tmp_path):
    """check(method, relpath, text) -> list of queued messages.  ``text`` is
    dedented; bytes are written as they are."""
    def run(method, relpath, content):
        path = tmp_path / relpath
        path.parent.mkdir(parents=True, exist_ok=True)
        if isinstance(content, bytes):
            path.write_bytes(content)
        else:
            path.write_text(textwrap.dedent(content))
        q = queue.Queue()
        getattr(command, method)(str(path), q)
        return [m.replace(str(tmp_path) + "/", "") for m in drain(q)]

    return run
