"""Shared pieces of the property-based tests: the migration module with the
shipped token table loaded, a vocabulary of token values, and a runner that
takes a check's message for a file and applies it the way the command does."""
import os
import queue

from hypothesis import HealthCheck, settings
from hypothesis import strategies as st

# Moderate example counts keep the whole suite fast (TAVOX_FUZZ_EXAMPLES
# asks for more, for a longer search); no example database in the tree.
FUZZ = settings(max_examples=int(os.environ.get("TAVOX_FUZZ_EXAMPLES", "60")), deadline=None,
                database=None,
                suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])


def module():
    import tavox.cli.commands.migrate.abstract as abstract
    for table in (abstract.TOKEN_HIERARCHY, abstract.PID_TOKENS, abstract.MODEL_TOKENS,
                  abstract.PLATFORM_TOKENS):
        table.clear()
    abstract.read_tokens()
    return abstract


def vocabulary(abstract):
    """Token values the rules treat specially, in several spellings."""
    words = set(abstract.KNOWN_OS) | set(abstract.KNOWN_PLATFORMS)
    words |= set(abstract.PID_TOKENS) | set(abstract.MODEL_TOKENS) | set(abstract.PLATFORM_TOKENS)
    words |= {"ferrin", "ap", "zel_ap", "q9800_cl", "q9800cl", "q9800_l", "q9800l", "unknown_os"}
    words = sorted(words)
    return st.one_of(
        st.sampled_from(words),
        st.sampled_from(words).map(str.upper),
        st.sampled_from(words).map(str.title),
        st.text(alphabet="abcdefghijklmnopqrstuvwxyz0123456789_-.", min_size=1, max_size=12),
    )


def command(abstract, fixes=True, comments=True):
    cmd = abstract.MigrateAbstractCommand(prog="tavox migrate abstract")
    cmd.max_threads = 2
    cmd.apply_fixes_flag, cmd.apply_comments_flag = fixes, comments
    return cmd


def messages(method, path):
    q = queue.Queue()
    method(str(path), q)
    out = []
    while not q.empty():
        out.append(q.get_nowait())
    return out


def migrate_outcomes(abstract, cmd, path, kind):
    """Check `path` and apply what the check found, as the command's run
    does for one file.  Returns the success and the failure items."""
    check = {"yaml": cmd.check_yaml, "python": cmd.check_python, "init": cmd.check_init}[kind]
    patch_type = abstract.FileTypes.YAML if kind == "yaml" else abstract.FileTypes.PYTHON
    success, failure = queue.Queue(), queue.Queue()
    for msg in messages(check, path):
        cmd.apply_patches(patch_type=patch_type, msg=msg, success_queue=success,
                          failer_queue=failure)
    return list(success.queue), list(failure.queue)


def migrate_once(abstract, cmd, path, kind):
    """migrate_outcomes' failure items."""
    return migrate_outcomes(abstract, cmd, path, kind)[1]
